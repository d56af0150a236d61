// Clusterer: the hits of every delivery grouped into particles (zorvsdk/cluster/) by threads of its
// own, the clusters pulled from Python as arrays it owns.
#include "object.hpp"
#include "then.hpp"
#include "wait.hpp"

#include "zorvsdk/cluster/pipeline.hpp"
#include "zorvsdk/core/method.hpp"
#include "zorvsdk/core/module.hpp"
#include "zorvsdk/core/sink_api.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

namespace zorv::sinks {

namespace {

using cluster::Cluster;
using cluster::Pipeline;

Name s_queue("queue"), s_Empty("Empty");

PyArray_Descr* g_cluster_type = nullptr;  // zorvsdk.sinks.CLUSTER, made at load

class ClusterSink final : public Sink {
public:
    static constexpr const char* kName = "Clusterer";
    static constexpr bool kTakesRaw = false;

    ClusterSink(const cluster::Settings& s, Then&& then) : pipeline_(s), then_(std::move(then)) {}

    bool ok() const { return pipeline_.ok(); }
    Pipeline& pipeline() { return pipeline_; }
    uint64_t ignored() const { return ignored_.load(std::memory_order_relaxed); }
    double idle = 1.0;

    void deliver(const DeliveredData& d) noexcept {
        if (!known(d.kind)) return;
        if (info(d.kind).hits.counts != readout::Counts::Hits || !addressable(d)) {
            ignored_.fetch_add(1, std::memory_order_relaxed);
            then_.deliver(d);
            return;
        }
        (this->*kPut[int(d.kind)])(d);
        then_.deliver(d);
    }
    void acquiring(int running) noexcept {
        pipeline_.acquiring(running != 0);
        then_.acquiring(running);
    }
    void fed(int on) noexcept {
        Sink::fed(on);
        then_.fed(on);
    }
    // With the pipeline's mutex held: every cluster of what was put in is taken.
    bool settled() const override { return pipeline_.ended(); }
    PyObject* then() const { return then_.object(); }

protected:
    void lock() override { pipeline_.lock(); }
    void unlock() override { pipeline_.unlock(); }
    void repair_child() override { pipeline_.repair_child(); }

private:
    // The hits of a delivery of kind K, read by its hit rule (readout/modes.hpp).
    template <DeliveryKind K>
    void put(const DeliveredData& d) {
        constexpr const KindInfo& k = info(K);
        if constexpr (k.hits.counts == readout::Counts::Hits) {
            constexpr readout::Located address = readout::locate(k, k.hits.address), tot = readout::locate(k, k.hits.tot),
                                       toa = readout::locate(k, k.hits.toa);
            const DeliveredArray* a = d.arrays;
            const uint64_t n = std::min({count_of(a[address.place]), count_of(a[tot.place]), count_of(a[toa.place])});
            pipeline_.put(n, toa.width == 4, [a](uint64_t i, uint64_t& at, uint64_t& t, uint64_t& time) {
                at = read_value<address>(a, i), t = read_value<tot>(a, i), time = read_value<toa>(a, i);
            });
        }
    }
    using Put = void (ClusterSink::*)(const DeliveredData&);
    static constexpr auto kPut = []<size_t... K>(std::index_sequence<K...>) {
        return std::array<Put, sizeof...(K)>{&ClusterSink::put<DeliveryKind(K)>...};
    }(std::make_index_sequence<size_t(readout::kKindCount)>{});

    Pipeline pipeline_;
    const Then then_;
    std::atomic<uint64_t> ignored_{0};
};

ClusterSink& sink_of(PyObject* self) { return part_of<ClusterSink>(self); }

// A positive number (of nanoseconds, in `what`).
bool to_ns(PyObject* value, const char* what, double& out) {
    out = PyFloat_AsDouble(value);
    if (out == -1 && PyErr_Occurred()) return false;
    if (!(out >= 0 && out <= 1e12)) {
        PyErr_Format(PyExc_ValueError, "'%s' is a number of nanoseconds from 0 to 1e12, not %R", what, value);
        return false;
    }
    return true;
}

// None, or per chip None or the four numbers a, b, c, t (a mapping with those keys, or a sequence).
bool to_calibration(PyObject* value, uint64_t chips, std::vector<std::optional<cluster::TotCalibration>>& out) {
    if (value == Py_None) return true;
    Ref seq = Ref::steal(PySequence_Fast(value, "'calibration' is a sequence with one calibration per chip, or None"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (uint64_t(n) > chips)
        return PyErr_Format(PyExc_ValueError, "'calibration' has %zd entries, the detector %llu chips", n,
                            (unsigned long long)chips),
               false;
    static const char* const kKeys[] = {"a", "b", "c", "t"};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (item == Py_None) {
            out.emplace_back();
            continue;
        }
        double v[4];
        for (int j = 0; j < 4; ++j) {
            Ref got = Ref::steal(PyMapping_Check(item) && !PySequence_Check(item) ? PyMapping_GetItemString(item, kKeys[j])
                                                                                 : PySequence_GetItem(item, j));
            v[j] = got ? PyFloat_AsDouble(got.get()) : -1;
            if (!got || (v[j] == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "'calibration'[%zd] is None or the numbers a, b, c, t (a mapping or a sequence), not %R", i,
                             item);
                return false;
            }
        }
        if (!(v[0] > 0) || !std::isfinite(v[1]) || !std::isfinite(v[2]) || !std::isfinite(v[3]))
            return PyErr_Format(PyExc_ValueError, "'calibration'[%zd] needs a > 0 ticks per keV and finite b, c, t", i), false;
        out.push_back(cluster::TotCalibration{v[0], v[1], v[2], v[3]});
    }
    return true;
}

PyObject* clusterer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<13> params("Clusterer", {"width", "height", "chip_width", "chip_height", "window", "radius", "order",
                                           "calibration", "capacity", "clusters", "threads", "idle", "then"},
                             2);
    PyObject* a[13];
    uint64_t width, height, cw = 256, ch = 256, radius = 1, capacity = uint64_t(1) << 23, clusters = uint64_t(1) << 21,
                            threads = 0;
    double window = 500, order = 50000, idle = 1.0;
    constexpr uint64_t kMaxSide = 1 << 16;
    if (!params.parse_tuple(args, kwds, a) || !to_positive(a[0], "width", uint64_t(1) << 31, width) ||
        !to_positive(a[1], "height", uint64_t(1) << 31, height) || (a[2] && !to_positive(a[2], "chip_width", kMaxSide - 1, cw)) ||
        (a[3] && !to_positive(a[3], "chip_height", kMaxSide - 1, ch)) || (a[4] && !to_ns(a[4], "window", window)) ||
        (a[5] && !to_positive(a[5], "radius", 8, radius)) || (a[6] && !to_ns(a[6], "order", order)) ||
        (a[8] && !to_positive(a[8], "capacity", uint64_t(1) << 36, capacity)) ||
        (a[9] && !to_positive(a[9], "clusters", uint64_t(1) << 32, clusters)) ||
        (a[10] && a[10] != Py_None && !to_positive(a[10], "threads", 256, threads)) ||
        (a[11] && !to_timeout(a[11], idle, "idle")))
        return nullptr;
    if (a[11] && idle < 0) return PyErr_Format(PyExc_TypeError, "'idle' is a number of seconds, not None");
    Then then;
    if (!then.parse(a[12]) || !fits_32bit_addresses("detector", width, height)) return nullptr;
    const uint64_t chips = ((width + cw - 1) / cw) * ((height + ch - 1) / ch);
    if (chips > 1024) return PyErr_Format(PyExc_ValueError, "%llu chips of %llu x %llu pixels: at most 1024", (unsigned long long)chips,
                                          (unsigned long long)cw, (unsigned long long)ch);
    cluster::Settings s{uint32_t(width), uint32_t(height),
                        {uint32_t(cw), uint32_t(ch), uint32_t(radius), uint64_t(std::ceil(window / cluster::kTickNs)),
                         uint64_t(std::ceil(order / cluster::kTickNs))},
                        {}, capacity, clusters, 0};
    if (a[7] && !to_calibration(a[7], chips, s.calibration)) return nullptr;
    s.threads = threads ? int(threads) : int(std::min<uint64_t>(chips, std::max(1u, std::thread::hardware_concurrency())));
    const uint64_t grid = (cw + 2 * radius) * (ch + 2 * radius) * 8 + cluster::ChipGrid::kTable * 100;
    if (!fits_in_memory("the clusterer", chips * grid + 16 * capacity + 2 * sizeof(Cluster) * clusters)) return nullptr;
    ClusterSink* part;
    Py_BEGIN_ALLOW_THREADS
    part = new (std::nothrow) ClusterSink(s, std::move(then));
    Py_END_ALLOW_THREADS
    PyObject* self = new_sink(type, part);
    if (self) sink_of(self).idle = idle;
    return self;
}

PyObject* raise_empty() {
    Ref queue = Ref::steal(global(s_queue));
    Ref empty = Ref::steal(queue ? PyObject_GetAttr(queue.get(), s_Empty) : nullptr);
    if (empty) PyErr_SetNone(empty.get());
    return nullptr;
}

// The clusters swapped out by take(), as a new array; the pipeline's buffer is free again after.
PyObject* array_of(Pipeline& p, const std::vector<Cluster>& got) {
    struct Taken {
        Pipeline& p;
        ~Taken() { p.taken(); }
    } taken{p};
    npy_intp n = npy_intp(got.size());
    Py_INCREF(g_cluster_type);
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, g_cluster_type, 1, &n, nullptr, nullptr, 0, nullptr);
    if (!array) return nullptr;
    char* to = data_of(array);
    const size_t bytes = got.size() * sizeof(Cluster);
    if (bytes < (size_t(1) << 22)) {
        std::memcpy(to, got.data(), bytes);
    } else {
        Py_BEGIN_ALLOW_THREADS
        std::memcpy(to, got.data(), bytes);
        Py_END_ALLOW_THREADS
    }
    return array;
}

Methods clusterer_methods;

PyObject* clusterer_get(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    Pipeline& p = sink_of(self).pipeline();
    const std::vector<Cluster>* got = nullptr;
    int r = wait_for(&sink_of(self), p.mutex(), p.ready(), p.waiters(), timeout, [&] { return p.take(got) ? 1 : 0; });
    if (r <= 0) return r < 0 ? nullptr : raise_empty();
    return array_of(p, *got);
}
ZORV_METHOD_AS(clusterer_methods, "get", clusterer_get, {"timeout=None"}, R"(
        Takes every cluster closed so far, waiting for one if there is none.

        The wait releases the interpreter lock and answers Ctrl-C.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            A new array of :data:`zorvsdk.dtypes.CLUSTER` records, in the order the clusters
            closed (roughly their time order, chip by chip).

        Raises:
            queue.Empty: no cluster closed within the timeout, or none can any more (every
                registration of the clusterer was stopped and its clusters taken).
        )");

PyObject* clusterer_flush(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    Pipeline& p = sink_of(self).pipeline();
    const uint64_t ticket = p.flush();
    int r = wait_for(nullptr, p.mutex(), p.ready(), p.waiters(), timeout,
                     [&] { return p.flushed(ticket) ? 1 : p.full() ? 2 : 0; });
    if (r < 0) return nullptr;
    return PyBool_FromLong(r == 1);
}
ZORV_METHOD_AS(clusterer_methods, "flush", clusterer_flush, {"timeout=None"}, R"(
        Closes every cluster of the hits taken in so far, as the end of an acquisition does, and
        waits until they are ready for :func:`~get`. Hits taken in later start afresh (their ToA
        as that of a new acquisition).

        The wait releases the interpreter lock and answers Ctrl-C.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            True once every cluster is ready; False when the timeout passed first, or when the
            clusters ready fill what the clusterer holds (take them with :func:`~get`, and flush
            again).
        )");

PyObject* clusterer_next(PyObject* self) {
    ClusterSink& s = sink_of(self);
    Pipeline& p = s.pipeline();
    const std::vector<Cluster>* got = nullptr;
    enum { Got = 1, Ended = 2 };
    int r = wait_for(&s, p.mutex(), p.ready(), p.waiters(), s.idle, [&] { return p.take(got) ? Got : p.ended() ? Ended : 0; });
    return r == Got ? array_of(p, *got) : nullptr;  // nothing set: the iteration ends
}

template <uint64_t cluster::Counts::*Member>
PyObject* clusterer_count(PyObject* self, void*) {
    return from_u64(sink_of(self).pipeline().counts().*Member);
}
PyObject* clusterer_ignored(PyObject* self, void*) { return from_u64(sink_of(self).ignored()); }
PyObject* clusterer_chips(PyObject* self, void*) { return from_u64(sink_of(self).pipeline().chips()); }
PyObject* clusterer_threads(PyObject* self, void*) { return from_u64(uint64_t(sink_of(self).pipeline().threads())); }
PyObject* clusterer_radius(PyObject* self, void*) { return from_u64(sink_of(self).pipeline().settings().rule.radius); }
PyObject* clusterer_window(PyObject* self, void*) {
    return PyFloat_FromDouble(double(sink_of(self).pipeline().settings().rule.window) * cluster::kTickNs);
}
PyObject* clusterer_order(PyObject* self, void*) {
    return PyFloat_FromDouble(double(sink_of(self).pipeline().settings().rule.order) * cluster::kTickNs);
}
PyObject* clusterer_idle(PyObject* self, void*) { return PyFloat_FromDouble(sink_of(self).idle); }
PyObject* clusterer_then(PyObject* self, void*) { return sink_of(self).then(); }

PyGetSetDef kClustererGetSet[] = {
    {"delivered", clusterer_count<&cluster::Counts::delivered>, nullptr, "Deliveries taken in (int).", nullptr},
    {"dropped", clusterer_count<&cluster::Counts::dropped>, nullptr,
     "Deliveries dropped whole because a chip's hits had no room (int).", nullptr},
    {"hits", clusterer_count<&cluster::Counts::hits>, nullptr, "Hits taken in (int).", nullptr},
    {"dropped_hits", clusterer_count<&cluster::Counts::dropped_hits>, nullptr, "Hits of the dropped deliveries (int).", nullptr},
    {"outside", clusterer_count<&cluster::Counts::outside>, nullptr,
     "Hits whose pixel address lay outside the detector, left out (int).", nullptr},
    {"ignored", clusterer_ignored, nullptr, "Deliveries of readout modes without hits and ToA, left out (int).", nullptr},
    {"clusters", clusterer_count<&cluster::Counts::clusters>, nullptr, "Clusters closed and ready or taken (int).", nullptr},
    {"late", clusterer_count<&cluster::Counts::late>, nullptr,
     "Hits older than the stream by more than the window and the order, which may have split a cluster (int).", nullptr},
    {"forced", clusterer_count<&cluster::Counts::forced>, nullptr,
     "Clusters closed early because a chip had 32,768 open at once (int).", nullptr},
    {"chips", clusterer_chips, nullptr, "Chips of the detector, each clustered on its own (int).", nullptr},
    {"threads", clusterer_threads, nullptr, "Threads that cluster (int).", nullptr},
    {"window", clusterer_window, nullptr, "Nanoseconds within which neighbouring hits join, in whole ToA ticks (float).", nullptr},
    {"radius", clusterer_radius, nullptr, "Columns and rows within which hits are neighbours (int).", nullptr},
    {"order", clusterer_order, nullptr, "Nanoseconds of disorder in the hits' ToA tolerated (float).", nullptr},
    {"idle", clusterer_idle, nullptr, "Seconds without a cluster after which an iteration ends (float).", nullptr},
    {"then", clusterer_then, nullptr, "The sink every delivery goes on to, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClustererDoc[] = R"(Clusterer(width, height, chip_width=256, chip_height=256, window=500.0, radius=1, order=50000.0, calibration=None, capacity=8388608, clusters=2097152, threads=None, idle=1.0, then=None)
--

    Hits grouped into clusters (particles) by threads of its own, pulled from Python.

    Register it like a data callable in a readout mode whose deliveries are hits with ToA and ToT
    (``dtypes.HIT_MODES``). Each delivery's hits are copied in without the interpreter lock, split
    by chip, or the delivery is dropped whole and counted in :attr:`dropped` when a chip's share
    has no room, so the SDK's thread never waits. Hits whose pixels lie within ``radius`` columns
    and rows of each other on one chip and whose ToAs differ by at most ``window`` join one
    cluster, across deliveries; a cluster is closed once the hits' time has passed its last hit by
    the window and ``order``, or when the acquisition ends (or :func:`~flush`). Take the clusters
    with :func:`~get`, or iterate: ``for clusters in clusterer:`` yields arrays until the
    acquisitions on its channels have ended and every cluster is taken, or none has come for
    :attr:`idle` seconds.

    Calling it, ``clusterer(*arrays, metadata)`` with the arguments a data callable receives,
    takes a delivery in the same way.

    Args:
        width (int): Pixels per row of the detector.
        height (int): Rows of the detector.
        chip_width (int): Pixels per row of a chip; chips lie row by row.
        chip_height (int): Rows of a chip.
        window (float): Nanoseconds within which neighbouring hits join (rounded up to ToA ticks).
        radius (int): Columns and rows within which hits are neighbours: 1 joins the 8 around a
            pixel, 1 to 8.
        order (float): Nanoseconds by which hits may come out of time order across deliveries;
            a cluster closes this much later.
        calibration (list): Per chip, None or its ToT calibration ``{"a", "b", "c", "t"}`` (ToT =
            a E + b - c / (E - t) ticks at E keV), for the clusters' energy; None: no energies.
        capacity (int): Hits held at most between the SDK's threads and the clustering, shared
            evenly by the chips (16 bytes each).
        clusters (int): Clusters held at most for the reader (twice 60 bytes each); while it is
            full the clustering waits, and deliveries that find no room are dropped.
        threads (int): Threads that cluster, each taking whole chips; None: one per chip, at most
            one per core.
        idle (float): Seconds without a cluster after which an iteration ends.
        then (object): A native sink that every delivery goes on to once its hits are copied in
            (a Recorder or a Writer, to keep the hits as well), on the same thread; None: none.
    )";

// The record type of clusters, from the fields of the clustering.
PyArray_Descr* make_cluster_type() {
    Ref names = Ref::steal(PyList_New(0)), formats = Ref::steal(PyList_New(0)), offsets = Ref::steal(PyList_New(0));
    if (!names || !formats || !offsets) return nullptr;
    for (const cluster::ClusterField& f : cluster::kClusterFields) {
        Ref name = Ref::steal(PyUnicode_FromString(f.name)), format = Ref::steal(PyUnicode_FromString(f.format)),
            offset = Ref::steal(from_u64(f.offset));
        if (!name || !format || !offset || PyList_Append(names.get(), name.get()) < 0 ||
            PyList_Append(formats.get(), format.get()) < 0 || PyList_Append(offsets.get(), offset.get()) < 0)
            return nullptr;
    }
    Ref itemsize = Ref::steal(from_u64(sizeof(Cluster)));
    Ref spec = Ref::steal(itemsize ? PyDict_New() : nullptr);
    if (!spec || PyDict_SetItemString(spec.get(), "names", names.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "formats", formats.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "offsets", offsets.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "itemsize", itemsize.get()) < 0)
        return nullptr;
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(spec.get(), &descr)) return nullptr;
    return descr;
}

bool add_clusterer(PyObject* m) {
    PyMethodDef* table = clusterer_methods.table(false);
    if (!table || !(g_cluster_type = make_cluster_type()) ||
        PyModule_AddObjectRef(m, "CLUSTER", reinterpret_cast<PyObject*>(g_cluster_type)) < 0)
        return false;
    return add_sink<ClusterSink>(m, "zorvsdk.sinks.Clusterer", kClustererDoc, table, clusterer_new, kClustererGetSet,
                                 clusterer_next) &&
           add_imports(m, {{"queue"}});
}
ZORV_SINK(add_clusterer);

}  // namespace

}  // namespace zorv::sinks
