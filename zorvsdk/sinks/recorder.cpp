// Recorder: a ring of deliveries, copied in on the SDK's threads and pulled from Python as arrays
// it owns, one delivery or a batch at a time.
#include "object.hpp"
#include "ring.hpp"

#include "zorvsdk/core/method.hpp"

#include <cstring>
#include <new>

namespace zorv::sinks {

namespace {

Name s_shutterStart("shutterStart"), s_tdcs("tdcs"), s_queue("queue"), s_Empty("Empty"), s_Batch("Batch");

Ring& ring_of(PyObject* self) { return part_of<Ring>(self); }

// Seconds without a delivery that end an iteration: a number, never None.
bool to_idle(PyObject* value, double& out) {
    if (value != Py_None) return to_timeout(value, out, "idle");
    PyErr_SetString(PyExc_TypeError, "'idle' is a number of seconds, not None");
    return false;
}

PyObject* recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("Recorder", {"capacity", "idle"}, 1);
    PyObject* a[2];
    uint64_t capacity;
    double idle = 1.0;
    if (!params.parse_tuple(args, kwds, a) || !to_positive(a[0], "capacity", Ring::kMaxCapacity, capacity) ||
        (a[1] && !to_idle(a[1], idle)) || !fits_in_memory("the ring", capacity * Ring::kRecordBytes))
        return nullptr;
    PyObject* self = new_sink(type, new (std::nothrow) Ring(capacity));
    if (!self) return nullptr;
    Ring& r = ring_of(self);
    r.idle = idle;
    bool reserved;
    Py_BEGIN_ALLOW_THREADS
    reserved = r.reserve();
    Py_END_ALLOW_THREADS
    if (reserved) return self;
    Py_DECREF(self);
    return PyErr_NoMemory();
}

constexpr uint64_t kCopyWithoutLock = 1 << 23;  // bytes copied out with the interpreter lock held

// Claimed slots, done once copied out (one by one in a long copy without the interpreter lock, so
// that their room is free for the SDK's threads at once); what is left when the claim ends (an
// array could not be made) is given back unread.
class Claim {
public:
    Claim(Ring& r, uint64_t first, uint64_t n) : r_(r), first_(first), next_(first), end_(first + n) {}
    ~Claim() {
        if (next_ < end_) r_.unclaim(next_, end_);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    // Copies the places of the slots that are not views into `out`: place p of slot first + j goes
    // to out[p] (null for a view) at the element offset at[p][j]. With the interpreter lock released
    // when the bytes are many.
    void copy_out(char* const* out, const uint64_t* const* at, uint64_t bytes) {
        if (bytes < kCopyWithoutLock) return copy(out, at, false);
        Py_BEGIN_ALLOW_THREADS
        copy(out, at, true);
        Py_END_ALLOW_THREADS
    }

private:
    void copy(char* const* out, const uint64_t* const* at, bool one_by_one) {
        const uint64_t from = next_;
        for (; next_ < end_; ++next_) {
            const Ring::Slot& s = r_.slot(next_);
            for (int p = 0, places = places_in(s.kind); p < places; ++p)
                if (out[p] && s.runs[p]) {
                    const uint64_t itemsize = uint64_t(place_type(s.kind, p)->itemsize);
                    std::memcpy(out[p] + at[p][next_ - first_] * itemsize, s.runs[p]->data() + s.at[p],
                                s.counts[p] * itemsize);
                }
            if (one_by_one) r_.finish(next_, 1);
        }
        if (!one_by_one) r_.finish(from, end_ - from);
    }

    Ring& r_;
    const uint64_t first_;
    uint64_t next_;
    const uint64_t end_;
};

constexpr uint64_t kViewBytes = uint64_t(1) << 20;  // a place of a batch this large may be a view

// The array of place p of the claimed slots first..first+n, of `count` elements: a view of the run
// where they lie back to back when they are many (`out` null), else a new array for the claim to
// copy them into (`out` its data). Null with an exception set.
PyObject* place_array(const Ring& r, uint64_t first, uint64_t n, int p, uint64_t count, char*& out) {
    const ElementType* type = place_type(r.slot(first).kind, p);
    uint64_t start = 0;
    Run* run = count * uint64_t(type->itemsize) >= kViewBytes ? r.span(first, n, p, start) : nullptr;
    out = nullptr;
    if (run) return view_of(run, type, run->data() + start, count);
    PyObject* array = new_array(type, count);
    if (array) out = data_of(array);
    return array;
}

PyObject* metadata_of(uint64_t shutter, PyObject* const* tdcs) {
    Ref list = Ref::steal(PyList_New(kTdcInputs));
    if (!list) return nullptr;
    for (int i = 0; i < kTdcInputs; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(tdcs[i]));
    Ref value = Ref::steal(from_u64(shutter));
    Ref dict = Ref::steal(value ? PyDict_New() : nullptr);
    if (!dict || PyDict_SetItem(dict.get(), s_shutterStart, value.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_tdcs, list.get()) < 0)
        return nullptr;
    return dict.release();
}

// One claimed delivery as the data callable receives it: (arrays..., metadata) or (arrays...).
PyObject* take_one(Ring& r, uint64_t first) {
    Claim claim(r, first, 1);
    const Ring::Slot s = r.slot(first);  // a copy: the slot is free once copied out
    const KindInfo& k = info(s.kind);
    const int places = places_in(s.kind);
    Ref arrays[kPlaces];
    char* out[kPlaces] = {};
    uint64_t zero = 0, bytes = 0;
    const uint64_t* at[kPlaces] = {};
    for (int p = 0; p < places; ++p) {
        arrays[p] = Ref::steal(s.counts[p] ? place_array(r, first, 1, p, s.counts[p], out[p]) : empty_place());
        if (!arrays[p]) return nullptr;
        at[p] = &zero;
        if (out[p]) bytes += s.counts[p] * uint64_t(place_type(s.kind, p)->itemsize);
    }
    claim.copy_out(out, at, bytes);
    Ref result = Ref::steal(PyTuple_New(k.arrays + (k.metadata ? 1 : 0)));
    if (!result) return nullptr;
    for (int p = 0; p < k.arrays; ++p) PyTuple_SET_ITEM(result.get(), p, arrays[p].release());
    if (k.metadata) {
        PyObject* tdcs[kTdcInputs] = {arrays[k.arrays].get(), arrays[k.arrays + 1].get(), arrays[k.arrays + 2].get()};
        PyObject* meta = metadata_of(s.shutter, tdcs);
        if (!meta) return nullptr;
        PyTuple_SET_ITEM(result.get(), k.arrays, meta);
    }
    return result.release();
}

// An int64 array of `rows` x (n + 1) offsets of the deliveries in each place, and the element
// counts of the places: row p holds where slot j starts in place (first_place + p).
PyObject* offsets_of(const Ring& r, uint64_t first, uint64_t n, int first_place, int rows, uint64_t* totals,
                     const uint64_t** at) {
    npy_intp dims[2] = {rows, npy_intp(n + 1)};
    PyObject* offsets = PyArray_EMPTY(2, dims, NPY_INT64, 0);
    if (!offsets) return nullptr;
    auto* o = reinterpret_cast<int64_t*>(data_of(offsets));
    for (int p = 0; p < rows; ++p) {
        int64_t* row = o + p * (n + 1);
        row[0] = 0;
        for (uint64_t j = 0; j < n; ++j) row[j + 1] = row[j] + int64_t(r.slot(first + j).counts[first_place + p]);
        totals[p] = uint64_t(row[n]);
        at[first_place + p] = reinterpret_cast<const uint64_t*>(row);  // offsets are never negative
    }
    return offsets;
}

PyObject* tuple_of(Ref* items, int n) {
    PyObject* t = PyTuple_New(n);
    if (t)
        for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, items[i].release());
    return t;
}

// Claimed deliveries of one kind as a Batch: each place's elements concatenated, with offsets.
PyObject* take_batch(Ring& r, uint64_t first, uint64_t n) {
    Claim claim(r, first, n);
    const DeliveryKind kind = r.slot(first).kind;
    const KindInfo& k = info(kind);
    const int places = places_in(kind);
    uint64_t totals[kPlaces] = {}, bytes = 0;
    const uint64_t* at[kPlaces] = {};
    Ref offsets = Ref::steal(offsets_of(r, first, n, 0, k.arrays, totals, at));
    Ref tdc_offsets = Ref::borrow(Py_None), shutters = Ref::borrow(Py_None);
    if (!offsets || (k.metadata && !(tdc_offsets = Ref::steal(offsets_of(r, first, n, k.arrays, kTdcInputs, totals + k.arrays, at)))))
        return nullptr;
    Ref arrays[kPlaces];
    char* out[kPlaces] = {};
    for (int p = 0; p < places; ++p) {
        arrays[p] = Ref::steal(place_array(r, first, n, p, totals[p], out[p]));
        if (!arrays[p]) return nullptr;
        if (out[p]) bytes += totals[p] * uint64_t(place_type(kind, p)->itemsize);
    }
    if (k.metadata) {
        shutters = Ref::steal(new_array(&kU64, n));
        if (!shutters) return nullptr;
        auto* times = reinterpret_cast<uint64_t*>(data_of(shutters.get()));
        for (uint64_t j = 0; j < n; ++j) times[j] = r.slot(first + j).shutter;
    }
    claim.copy_out(out, at, bytes);
    Ref tdcs = k.metadata ? Ref::steal(tuple_of(arrays + k.arrays, kTdcInputs)) : Ref::borrow(Py_None);
    Ref data = Ref::steal(tuple_of(arrays, k.arrays));
    if (!tdcs || !data) return nullptr;
    return make_record(s_Batch, {PyUnicode_FromString(k.name), from_u64(n), data.release(), offsets.release(),
                                 shutters.release(), tdcs.release(), tdc_offsets.release()});
}

PyObject* raise_empty() {
    Ref queue = Ref::steal(global(s_queue));
    Ref empty = Ref::steal(queue ? PyObject_GetAttr(queue.get(), s_Empty) : nullptr);
    if (empty) PyErr_SetNone(empty.get());
    return nullptr;
}

Methods recorder_methods;

PyObject* recorder_get(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    Ring& r = ring_of(self);
    uint64_t first = 0;
    int got = r.wait(timeout, [&] { return r.claim(1, first) ? 1 : 0; });
    if (got <= 0) return got < 0 ? nullptr : raise_empty();
    return take_one(r, first);
}
ZORV_METHOD_AS(recorder_methods, "get", recorder_get, {"timeout=None"}, R"(
        Takes the oldest delivery held, waiting for one if there is none.

        The wait releases the interpreter lock and answers Ctrl-C.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            A tuple of the arguments a data callable of the delivery's readout mode receives (its
            arrays, owned by Python, and the metadata dictionary where the mode has one). An empty
            place is an empty float64 array, as for the callable.

        Raises:
            queue.Empty: no delivery arrived within the timeout, or none can arrive any more
                (every registration of the recorder was stopped: end, abort, close, finalize).
        )");

PyObject* recorder_get_batch(PyObject* self, PyObject* timeout_arg, PyObject* most_arg) {
    double timeout;
    uint64_t most = UINT64_MAX;
    if (!to_timeout(timeout_arg, timeout) ||
        (most_arg && most_arg != Py_None && !to_positive(most_arg, "max_deliveries", UINT64_MAX >> 1, most)))
        return nullptr;
    Ring& r = ring_of(self);
    uint64_t first = 0, n = 0;
    int got = r.wait(timeout, [&] { return (n = r.claim(most, first)) ? 1 : 0; });
    if (got <= 0) return got < 0 ? nullptr : raise_empty();
    return take_batch(r, first, n);
}
ZORV_METHOD_AS(recorder_methods, "get_batch", recorder_get_batch, {"timeout=None", "max_deliveries=None"}, R"(
        Takes the oldest deliveries held, as many as are ready, in one go.

        A batch holds consecutive deliveries of one kind (a sink registered on channels of
        different readout modes hands them out in separate batches) that lie in one run of the
        recorder's memory (at most 4 MB, or one larger delivery). It waits, as :func:`~get` does, only
        when no delivery is held.

        Args:
            timeout (float): Seconds to wait at most for the first delivery; None waits for as
                long as it takes.
            max_deliveries (int): The most deliveries to take; None takes every one that is ready.

        Returns:
            A :obj:`Batch` of the deliveries' arrays, concatenated place by place, with the
            offsets where each delivery starts.

        Raises:
            queue.Empty: no delivery arrived within the timeout, or none can arrive any more
                (every registration of the recorder was stopped: end, abort, close, finalize).
        )");

PyObject* recorder_next(PyObject* self) {
    Ring& r = ring_of(self);
    uint64_t first = 0;
    enum { Got = 1, Ended = 2 };
    int got = r.wait(ring_of(self).idle,
                     [&] { return r.claim(1, first) ? Got : r.ended() ? Ended : 0; });
    return got == Got ? take_one(r, first) : nullptr;  // nothing set: the iteration ends
}

PyObject* recorder_clear(PyObject* self) {
    ring_of(self).clear();
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(recorder_methods, "clear", recorder_clear, {}, R"(
        Drops every delivery held and sets :attr:`delivered` and :attr:`dropped` to 0.

        Args:
            None

        Returns:
            None
        )");

PyObject* recorder_capacity(PyObject* self, void*) { return from_u64(ring_of(self).capacity()); }
PyObject* recorder_delivered(PyObject* self, void*) { return from_u64(ring_of(self).delivered()); }
PyObject* recorder_dropped(PyObject* self, void*) { return from_u64(ring_of(self).dropped()); }
PyObject* recorder_idle(PyObject* self, void*) { return PyFloat_FromDouble(ring_of(self).idle); }

int recorder_set_idle(PyObject* self, PyObject* value, void*) {
    double idle;
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete 'idle'");
        return -1;
    }
    if (!to_idle(value, idle)) return -1;
    ring_of(self).idle = idle;
    return 0;
}

PyGetSetDef kRecorderGetSet[] = {
    {"capacity", recorder_capacity, nullptr, "Records the ring holds at most (int).", nullptr},
    {"delivered", recorder_delivered, nullptr, "Deliveries taken in since creation or :func:`~clear` (int).", nullptr},
    {"dropped", recorder_dropped, nullptr,
     "Deliveries dropped whole because the ring had no room for them, since creation or :func:`~clear` (int).", nullptr},
    {"idle", recorder_idle, recorder_set_idle,
     "Seconds without a delivery after which an iteration ends (float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kRecorderDoc[] = R"(Recorder(capacity, idle=1.0)
--

    A ring of deliveries, copied in on the SDK's threads and pulled from Python.

    Register it like a data callable (``device.acq.setDataCallback(channelId, recorder)``, or
    setRawDataCallback). Each delivery is copied in whole by one copy of its bytes, without the
    interpreter lock; a delivery that does not fit is dropped whole and counted in
    :attr:`dropped`, so the SDK's thread never waits for a reader. Arrays of 1 MB or more are
    handed out without a copy, as views of the recorder's memory: they are yours to keep, and keep
    the run of memory they lie in (at most 4 MB, or one larger delivery) until they go. Take deliveries with
    :func:`~get` or :func:`~get_batch`, or iterate: ``for data, metadata in recorder:`` yields
    deliveries until the ring is drained and no acquisition on a channel registered with the
    recorder runs, or until none has arrived for :attr:`idle` seconds.

    Calling it, ``recorder(*arrays, metadata)`` with the arguments a data callable receives,
    records a delivery the same way; ``kind=`` names the delivery kind where the arrays leave more
    than one (an empty array fits any place).

    Args:
        capacity (int): Records the ring holds at most: a record is one element of a delivery's
            arrays (a packet, a vector entry, a sum, a frame value or a raw byte; TDC time stamps
            too), and every delivery counts at least one. 16 bytes per record are reserved when
            the recorder is made, and at most 65,536 deliveries are held at a time.
        idle (float): Seconds without a delivery after which an iteration ends.
    )";

bool add_recorder(PyObject* m) {
    PyMethodDef* table = recorder_methods.table(false);
    return table &&
           add_sink<Ring>(m, "zorvsdk.sinks.Recorder", kRecorderDoc, table, recorder_new, kRecorderGetSet,
                          recorder_next) &&
           add_imports(m, {{"typing", {"NamedTuple"}}, {"zorvsdk._records", {"Batch"}}, {"queue"}});
}
ZORV_SINK(add_recorder);

}  // namespace

}  // namespace zorv::sinks
