// Writer: hits written to the event datasets of an HDF5 file by the file writer's threads
// (zorvsdk/writer/engine.hpp).
//
// Python makes the file, its groups and its datasets with h5py (zorvsdk.nexus) and hands their
// identifiers to the Writer, whose threads append to them through the same HDF5 library, taking
// h5py's own lock around their calls.
#include "object.hpp"
#include "wait.hpp"

#include "zorvsdk/core/gil.hpp"
#include "zorvsdk/core/method.hpp"
#include "zorvsdk/writer/engine.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

namespace zorv::sinks {

namespace {

// Takes h5py's lock (a reentrant lock object with acquire() and release(), taken with the
// interpreter lock held) around the engine's HDF5 calls, and gives the interpreter lock up while
// they run: h5py's calls in other threads wait for them, and Python runs meanwhile.
class PhilSession final : public writer::Session {
public:
    explicit PhilSession(PyObject* lock) : lock_(lock) {}  // the Writer object holds the reference

    bool enter(std::string& error) override {
        gil_.emplace();
        if (!gil_->ok()) {
            gil_.reset();
            error = "the interpreter is exiting: the file is left as last flushed";
            return false;
        }
        Ref got = Ref::steal(PyObject_CallMethod(lock_, "acquire", nullptr));
        if (!got) {
            PyErr_Clear();
            gil_.reset();
            error = "h5py's lock could not be taken";
            return false;
        }
        saved_ = PyEval_SaveThread();
        return true;
    }
    void leave() override {
        PyEval_RestoreThread(saved_);
        Ref released = Ref::steal(PyObject_CallMethod(lock_, "release", nullptr));
        if (!released) PyErr_Clear();
        gil_.reset();
    }

private:
    PyObject* const lock_;
    std::optional<Gil> gil_;
    PyThreadState* saved_ = nullptr;
};

class FileWriter final : public Sink {
public:
    static constexpr const char* kName = "Writer";
    static constexpr bool kTakesRaw = false;

    FileWriter(std::unique_ptr<writer::Engine> engine, PyObject* lock, uint64_t width, uint64_t height)
        : engine_(std::move(engine)), lock_(Ref::borrow(lock)), width_(width), height_(height) {}
    // With the interpreter lock held: the engine's threads may be waiting for it, so it is given up
    // while they stop.
    ~FileWriter() override {
        Py_BEGIN_ALLOW_THREADS
        engine_.reset();
        Py_END_ALLOW_THREADS
    }

    bool ok() const { return engine_ && engine_->ok(); }
    void deliver(const DeliveredData& d) noexcept { engine_->deliver(d); }
    void acquiring(int) noexcept {}
    writer::Engine& engine() { return *engine_; }
    uint64_t width() const { return width_; }
    uint64_t height() const { return height_; }

protected:
    void lock() override { engine_->lock(); }
    void unlock() override { engine_->unlock(); }
    void repair_child() override { engine_->orphan(); }

private:
    std::unique_ptr<writer::Engine> engine_;
    Ref lock_;
    const uint64_t width_, height_;
};

FileWriter& writer_of(PyObject* self) { return part_of<FileWriter>(self); }

bool to_path(PyObject* value, const char* what, std::string& out) {
    Ref path = Ref::steal(PyOS_FSPath(value));
    const char* text = path && PyUnicode_Check(path.get()) ? PyUnicode_AsUTF8(path.get()) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'%s' is the path of a library, as str", what);
        return false;
    }
    out = text;
    return true;
}

// The nine dataset identifiers: the file, then event_id, event_time_offset, event_tot,
// event_time_zero, event_index and the three TDC inputs' (-1 for none).
bool to_datasets(PyObject* value, writer::Datasets& out) {
    Ref seq = Ref::steal(PySequence_Fast(value, "'datasets' is a sequence of nine HDF5 identifiers"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 9) {
        PyErr_SetString(PyExc_ValueError, "'datasets' holds nine HDF5 identifiers");
        return false;
    }
    writer::hid_t ids[9];
    for (int i = 0; i < 9; ++i) {
        ids[i] = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (ids[i] == -1 && PyErr_Occurred()) return false;
        if (ids[i] < 0 && i < 6) {
            PyErr_Format(PyExc_ValueError, "'datasets'[%d] is not an open HDF5 identifier", i);
            return false;
        }
    }
    out = {ids[0], ids[1], ids[2], ids[3], ids[4], ids[5], {ids[6], ids[7], ids[8]}};
    return true;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<14> params("Writer", {"datasets", "width", "height", "hdf5", "blosc2", "lock", "capacity",
                                        "chunk_events", "chunk_pulses", "chunk_stamps", "threads", "flush_seconds",
                                        "level", "deliveries"},
                             6);
    PyObject* a[14];
    writer::Datasets datasets{};
    writer::Settings s{0, 0, uint64_t(1) << 23, uint64_t(1) << 16, uint64_t(1) << 14, uint64_t(1) << 14, 0, 0.5, 5, 0};
    std::string hdf5_path, blosc2_path;
    uint64_t threads = 0, level = 5;
    double flush = 0.5;
    constexpr uint64_t kMaxChunk = uint64_t(1) << 24;  // 128 MB of 8-byte elements
    if (!params.parse_tuple(args, kwds, a) || !to_datasets(a[0], datasets) ||
        !to_positive(a[1], "width", uint64_t(1) << 32, s.width) || !to_positive(a[2], "height", uint64_t(1) << 32, s.height) ||
        !to_path(a[3], "hdf5", hdf5_path) || !to_path(a[4], "blosc2", blosc2_path) ||
        (a[6] && !to_positive(a[6], "capacity", uint64_t(1) << 36, s.capacity)) ||
        (a[7] && !to_positive(a[7], "chunk_events", kMaxChunk, s.chunk_events)) ||
        (a[8] && !to_positive(a[8], "chunk_pulses", kMaxChunk, s.chunk_pulses)) ||
        (a[9] && !to_positive(a[9], "chunk_stamps", kMaxChunk, s.chunk_stamps)) ||
        (a[10] && a[10] != Py_None && !to_positive(a[10], "threads", 256, threads)) ||
        (a[11] && !to_timeout(a[11], flush, "flush_seconds")) || (a[12] && !to_positive(a[12], "level", 9, level)) ||
        (a[13] && a[13] != Py_None && !to_positive(a[13], "deliveries", UINT64_MAX >> 1, s.limit)))
        return nullptr;
    if (!fits_32bit_addresses("detector", s.width, s.height) || !in_seconds("flush_seconds", flush, 1)) return nullptr;
    if (!PyObject_HasAttrString(a[5], "acquire") || !PyObject_HasAttrString(a[5], "release"))
        return PyErr_Format(PyExc_TypeError, "'lock' is h5py's lock (h5py._objects.phil), not %R", a[5]);
    s.threads = threads ? int(threads) : std::max(1, int(std::thread::hardware_concurrency()));
    s.flush_seconds = flush;
    s.level = int(level);
    const uint64_t ring = (s.capacity + s.chunk_events - 1) / s.chunk_events * s.chunk_events;
    if (!fits_in_memory("the writer", 16 * std::max(ring, 2 * s.chunk_events) + 32 * s.width * s.height * s.threads))
        return nullptr;
    std::string error;
    const writer::Hdf5* h5 = writer::load_hdf5(hdf5_path, error);
    const writer::Blosc2* b2 = h5 ? writer::load_blosc2(blosc2_path, error) : nullptr;
    if (!b2) return PyErr_Format(PyExc_ImportError, "%s", error.c_str());
    std::unique_ptr<writer::Engine> engine;
    Py_BEGIN_ALLOW_THREADS  // maps the ring in whole
    engine = std::make_unique<writer::Engine>(*h5, *b2, datasets, s, std::make_unique<PhilSession>(a[5]));
    Py_END_ALLOW_THREADS
    if (!engine->ok()) return PyErr_NoMemory();
    PyObject* self = new_sink(type, new (std::nothrow) FileWriter(std::move(engine), a[5], s.width, s.height));
    if (!self) return nullptr;
    if (!writer_of(self).engine().start(error)) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_RuntimeError, "%s", error.c_str());
    }
    return self;
}

Methods writer_methods;

PyObject* writer_finish(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    writer::Engine& e = writer_of(self).engine();
    e.finish();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const double left = timeout < 0 ? 0.05 : timeout - std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (left <= 0) Py_RETURN_FALSE;
        bool done;
        Py_BEGIN_ALLOW_THREADS
        done = e.wait_done(std::min(left, 0.05));
        Py_END_ALLOW_THREADS
        if (done) Py_RETURN_TRUE;
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}
ZORV_METHOD_AS(writer_methods, "finish", writer_finish, {"timeout=None"}, R"(
        Takes no more deliveries, writes every hit held and flushes the file.

        The wait releases the interpreter lock and answers Ctrl-C (the writing goes on; call
        :func:`~abandon` to stop it).

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            True once everything is written (or writing failed, see :attr:`error`), False when the
            timeout passed first.
        )");

PyObject* writer_flush(PyObject* self) {
    writer_of(self).engine().flush();
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(writer_methods, "flush", writer_flush, {}, R"(
        Flushes the file soon: every hit taken in so far reaches it within a few tens of
        milliseconds, rather than by the next periodic flush (see :attr:`written`).

        Args:
            None

        Returns:
            None
        )");

PyObject* writer_abandon(PyObject* self) {
    writer::Engine& e = writer_of(self).engine();
    Py_BEGIN_ALLOW_THREADS
    e.abandon();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(writer_methods, "abandon", writer_abandon, {}, R"(
        Stops at once: the file keeps what its last flush wrote. The writer's threads end and its
        memory is given back (the maps too); later deliveries are dropped.

        Args:
            None

        Returns:
            None
        )");

PyObject* writer_maps(PyObject* self) {
    FileWriter& w = writer_of(self);
    if (!w.engine().done())
        return PyErr_Format(PyExc_RuntimeError, "the maps are taken once the writer is done (finish() returned True)");
    if (w.engine().released()) return PyErr_Format(PyExc_RuntimeError, "the maps are gone: the writer was abandoned");
    npy_intp dims[2] = {npy_intp(w.height()), npy_intp(w.width())};
    Ref counts = Ref::steal(PyArray_EMPTY(2, dims, NPY_UINT64, 0)), tot = Ref::steal(PyArray_EMPTY(2, dims, NPY_UINT64, 0));
    if (!counts || !tot) return nullptr;
    w.engine().maps(reinterpret_cast<uint64_t*>(data_of(counts.get())), reinterpret_cast<uint64_t*>(data_of(tot.get())));
    return PyTuple_Pack(2, counts.get(), tot.get());
}
ZORV_METHOD_AS(writer_methods, "maps", writer_maps, {}, R"(
        Retrieves the hits and the summed ToT of every pixel written.

        Args:
            None

        Returns:
            A tuple (counts, tot) of new uint64 arrays of shape (height, width).
        )");

template <uint64_t writer::Counts::*Member>
PyObject* writer_count(PyObject* self, void*) {
    return from_u64(writer_of(self).engine().counts().*Member);
}

PyObject* writer_pending(PyObject* self, void*) {
    const writer::Counts c = writer_of(self).engine().counts();
    return from_u64(c.hits - c.written);
}

PyObject* writer_error(PyObject* self, void*) {
    const std::string error = writer_of(self).engine().error();
    if (error.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(error.data(), Py_ssize_t(error.size()), "replace");
}

PyObject* writer_done(PyObject* self, void*) { return PyBool_FromLong(writer_of(self).engine().done()); }

PyGetSetDef kWriterGetSet[] = {
    {"delivered", writer_count<&writer::Counts::delivered>, nullptr, "Deliveries taken in (int).", nullptr},
    {"dropped", writer_count<&writer::Counts::dropped>, nullptr,
     "Deliveries dropped whole, for want of room or because they came after finish() or a failure (int).", nullptr},
    {"ignored", writer_count<&writer::Counts::ignored>, nullptr,
     "Deliveries of readout modes without hits and ToA, not written (int).", nullptr},
    {"hits", writer_count<&writer::Counts::hits>, nullptr, "Hits taken in (int).", nullptr},
    {"written", writer_count<&writer::Counts::written>, nullptr, "Hits in the file as of its last flush (int).", nullptr},
    {"deliveries_written", writer_count<&writer::Counts::deliveries_written>, nullptr,
     "Deliveries in the file as of its last flush (int).", nullptr},
    {"pending", writer_pending, nullptr, "Hits taken in and not yet in the file (int).", nullptr},
    {"outside", writer_count<&writer::Counts::outside>, nullptr,
     "Hits written whose pixel address lies outside the detector, not counted in the maps (int).", nullptr},
    {"flushes", writer_count<&writer::Counts::flushes>, nullptr, "Flushes of the file so far (int).", nullptr},
    {"error", writer_error, nullptr, "Why writing stopped (str), or None.", nullptr},
    {"done", writer_done, nullptr, "Whether the writing has ended, finished, failed or abandoned (bool).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kWriterDoc[] = R"(Writer(datasets, width, height, hdf5, blosc2, lock, capacity=8388608, chunk_events=65536, chunk_pulses=16384, chunk_stamps=16384, threads=None, flush_seconds=0.5, level=5, deliveries=None)
--

    Hits written to the event datasets of an HDF5 file by threads of its own.

    Made by :class:`zorvsdk.nexus.NexusWriter`, which creates the file and hands over its
    datasets; register it like a data callable in a ToA/ToT readout mode. Each delivery is copied
    in whole, without the interpreter lock, into memory for ``capacity`` hits, or dropped whole and
    counted in :attr:`dropped` when it does not fit, so the SDK's thread never waits. The
    writer's threads encode and compress whole chunks of hits (Blosc2 frames) and append them with
    direct chunk writes, taking h5py's lock around their HDF5 calls; the file is flushed at least
    every ``flush_seconds``.

    Args:
        datasets (tuple): The HDF5 identifiers of the file and of the datasets event_id,
            event_time_offset, event_tot, event_time_zero, event_index, tdc0, tdc1, tdc2 (-1: none).
        width (int): Pixels per row of the detector.
        height (int): Rows.
        hdf5 (str): The path of the HDF5 library h5py loaded.
        blosc2 (str): The path of the Blosc2 library.
        lock (object): h5py's lock, ``h5py._objects.phil``.
        capacity (int): Hits held at most between the SDK's threads and the file.
        chunk_events (int): Elements per chunk of the per-hit datasets.
        chunk_pulses (int): Elements per chunk of the per-delivery datasets.
        chunk_stamps (int): Elements per chunk of the TDC datasets.
        threads (int): Threads that encode and compress; None: one per core.
        flush_seconds (float): Seconds between two flushes of the file, at most 1.
        level (int): LZ4's compression level, 1 to 9.
        deliveries (int): The most deliveries to take; later ones are let go (None: no limit).
    )";

bool add_writer(PyObject* m) {
    PyMethodDef* table = writer_methods.table(false);
    return table && add_sink<FileWriter>(m, "zorvsdk.sinks.Writer", kWriterDoc, table, writer_new, kWriterGetSet);
}
ZORV_SINK(add_writer);

}  // namespace

}  // namespace zorv::sinks
