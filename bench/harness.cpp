// zorvbench: the reference points that bench/run.py measures the package against.
//
// - A floor: a thread of the harness keeps one interpreter thread state and, per delivery, enters
//   the interpreter, calls a callable with prebuilt arguments and leaves.
// - Data callbacks registered with the SDK in place of the package's, on the same deliveries:
//   "sdk" asks for the counts and buffers of a kind and does nothing else (the cost of the library
//   itself), "floor" then enters with a kept thread state and calls with prebuilt arguments, and
//   "baseline" is the straightforward implementation: a new thread state per delivery and every
//   array made by numpy.asarray over a buffer object that exposes the record format string; "fair"
//   is a careful one without the package's reuse of objects: a kept thread state, the element
//   types made once, and every array, dictionary and list made new through NumPy's C interface.
// - The clustering alone: the clusters of a chip's hits made by one thread, timed by its CPU clock
//   (the Clusterer's algorithm per core, without the copies into and out of it).
// - Direct: hand-written methods making the same SDK calls as a few package methods, each with the
//   interpreter lock released around exactly one SDK call.
#include "zorvsdk/cluster/grid.hpp"
#include "zorvsdk/core/layouts.hpp"
#include "zorvsdk/core/sdk_buffer.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zorvbench_numpy_api
#include <numpy/arrayobject.h>

#include <sys/mman.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "zorv/acquisition.h"
#include "zorv/acquisition_metadata.h"
#include "zorv/acquisition_tpx.h"
#include "zorv/acquisition_tpx3.h"
#include "zorv/axi.h"
#include "zorv/chip.h"
#include "zorv/chip_dac.h"
#include "zorv/device_context.h"
#include "zorv/threshold.h"

namespace {

using clock_type = std::chrono::steady_clock;

PyInterpreterState* g_interp;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// ---- buffers exposing a format, for the baseline ----

using zorv::SdkBuffer;

PyTypeObject* g_format_buffer;

// ---- the deliveries of each kind ----

struct Format {
    const char* text;
    Py_ssize_t itemsize;
};

constexpr Format f8{"B", 1}, f16{"H", 2}, f32{"I", 4}, f64{"Q", 8};
constexpr Format fToaTot{"T{^I:address:^I:tot:^Q:toa:}", 16};
constexpr Format fItotEvent{"T{^I:address:^I:itot:^Q:event:}", 16};
constexpr Format fBinned{"T{^I:address:^I:count:^I:itot:}", 12};
constexpr Format fBinDescr{"T{^I:offset:^I:packet_count:}", 8};

// The element types as NumPy reads the formats, made once for the fair baseline.
constexpr const Format* kFormats[] = {&f8, &f16, &f32, &f64, &fToaTot, &fItotEvent, &fBinned, &fBinDescr};
PyArray_Descr* g_descrs[std::size(kFormats)];

PyArray_Descr* descr_of(const Format& f) {
    for (size_t i = 0; i < std::size(kFormats); ++i)
        if (kFormats[i]->text == f.text) return g_descrs[i];
    return nullptr;
}

struct Part {
    Format format;
    unsigned long long count = 0;
    void* data = nullptr;
};

// What one delivery of a kind gave: its arrays, and the metadata of the data-driven kinds.
struct Fetched {
    Part parts[4];
    int n = 0;
    bool meta = false;
    unsigned long long shutter = 0;
    Part tdc[3];
};

enum Kind {
    SeqToaTot, SeqItotEvent, SeqToaTotVec, SeqItotEventVec, DdToaTot, DdToaTotVec, BinnedPackets,
    BinnedCountSums, BinnedItotSums, Medipix, Raw, KindCount
};

#define ASK(call) \
    if ((call) < 0) return false

bool fetch_meta(zorv_acq_t* acq, Fetched& f) {
    f.meta = true;
    ASK(zorv_acq_meta_get_shutter_rising_time_ticks(acq, &f.shutter));
    for (int i = 0; i < 3; ++i) {
        uint64_t count = 0;
        const uint64_t* toas = nullptr;
        ASK(zorv_acq_meta_get_tdc_toas_count(acq, i, &count));
        ASK(zorv_acq_meta_get_tdc_toas(acq, i, &toas));
        f.tdc[i] = {f64, count, const_cast<uint64_t*>(toas)};
    }
    return true;
}

// The SDK calls of each kind, in the package's order.
bool fetch(int kind, zorv_acq_t* acq, Fetched& f) {
    unsigned long long n = 0;
    void *a = nullptr, *b = nullptr, *c = nullptr;
    switch (kind) {
    case SeqToaTot:
    case SeqItotEvent:
    case DdToaTot:
        ASK(zorv_acq_tpx3_get_packet_count(acq, &n));
        ASK(zorv_acq_tpx3_get_packets(acq, &a));
        f.parts[f.n++] = {kind == SeqItotEvent ? fItotEvent : fToaTot, n, a};
        return kind != DdToaTot || fetch_meta(acq, f);
    case SeqToaTotVec:
    case DdToaTotVec:
        ASK(zorv_acq_tpx3_get_vec_length(acq, &n));
        ASK(zorv_acq_tpx3_get_pixel_address_vec(acq, &a));
        ASK(zorv_acq_tpx3_get_toa_vec(acq, &b));
        ASK(zorv_acq_tpx3_get_tot_vec(acq, &c));
        f.parts[f.n++] = {f32, n, a};
        f.parts[f.n++] = {kind == DdToaTotVec ? f64 : f32, n, b};
        f.parts[f.n++] = {f16, n, c};
        return kind != DdToaTotVec || fetch_meta(acq, f);
    case SeqItotEventVec:
        ASK(zorv_acq_tpx3_get_vec_length(acq, &n));
        ASK(zorv_acq_tpx3_get_pixel_address_vec(acq, &a));
        ASK(zorv_acq_tpx3_get_event_vec(acq, &b));
        ASK(zorv_acq_tpx3_get_itot_vec(acq, &c));
        f.parts[f.n++] = {f32, n, a};
        f.parts[f.n++] = {f16, n, b};
        f.parts[f.n++] = {f16, n, c};
        return true;
    case BinnedPackets: {
        unsigned long long d = 0, h = 0, i = 0;
        uint64_t *hits = nullptr, *itots = nullptr;
        ASK(zorv_acq_tpx3_get_packet_count(acq, &n));
        ASK(zorv_acq_tpx3_get_packets(acq, &a));
        ASK(zorv_acq_meta_get_bin_descriptor_count(acq, &d));
        ASK(zorv_acq_meta_get_bin_descriptors(acq, &b));
        ASK(zorv_acq_tpx3_get_binned_hitcounters_count(acq, &h));
        ASK(zorv_acq_tpx3_get_binned_hitcounters(acq, &hits));
        ASK(zorv_acq_tpx3_get_binned_itots_count(acq, &i));
        ASK(zorv_acq_tpx3_get_binned_itots(acq, &itots));
        f.parts[f.n++] = {fBinned, n, a};
        f.parts[f.n++] = {fBinDescr, d, b};
        f.parts[f.n++] = {f64, h, hits};
        f.parts[f.n++] = {f64, i, itots};
        return true;
    }
    case BinnedCountSums:
    case BinnedItotSums: {
        uint64_t* sums = nullptr;
        if (kind == BinnedCountSums) {
            ASK(zorv_acq_tpx3_get_binned_hitcounters_count(acq, &n));
            ASK(zorv_acq_tpx3_get_binned_hitcounters(acq, &sums));
        } else {
            ASK(zorv_acq_tpx3_get_binned_itots_count(acq, &n));
            ASK(zorv_acq_tpx3_get_binned_itots(acq, &sums));
        }
        f.parts[f.n++] = {f64, n, sums};
        return true;
    }
    case Medipix:
        ASK(zorv_acq_tpx_get_frame_count(acq, &n));
        ASK(zorv_acq_tpx_get_frames(acq, &a));
        f.parts[f.n++] = {f16, n << 16, a};
        return true;
    case Raw:
        ASK(zorv_acq_raw_get_data(acq, &a, &n));
        f.parts[f.n++] = {f8, n, a};
        return true;
    default: return false;
    }
}

int arguments_of(int kind) {
    switch (kind) {
    case SeqToaTotVec:
    case SeqItotEventVec: return 3;
    case DdToaTot: return 2;
    case DdToaTotVec:
    case BinnedPackets: return 4;
    default: return 1;
    }
}

// ---- entering the interpreter ----

// The thread state kept for a library thread by the floor callbacks, released when it ends.
struct KeptState {
    PyThreadState* ts = nullptr;
    ~KeptState() {
        if (!ts || !Py_IsInitialized() || _Py_IsFinalizing()) return;
        PyEval_RestoreThread(ts);
        PyThreadState_Clear(ts);
        PyThreadState_DeleteCurrent();
    }
};

thread_local KeptState t_kept;

// What a registered harness callback calls, and how.
struct Target {
    enum Variant { Sdk, Floor, Baseline, Fair } variant;
    int kind;
    PyObject* func;
    PyObject* args[4];
    int nargs;
    PyObject* asarray;
    PyObject* empty;
};

// Registrations stay alive for the life of the process: the SDK may still call them.
std::vector<std::unique_ptr<Target>>& targets() {
    static auto* t = new std::vector<std::unique_ptr<Target>>;
    return *t;
}

PyObject* baseline_array(const Target& t, const Part& p) {
    if (p.count == 0 || !p.data) return PyObject_CallOneArg(t.empty, t.args[0]);
    auto* b = PyObject_New(SdkBuffer, g_format_buffer);
    if (!b) return nullptr;
    b->data = p.data;
    b->shape = Py_ssize_t(p.count);
    b->itemsize = p.format.itemsize;
    b->format = p.format.text;
    PyObject* array = PyObject_CallOneArg(t.asarray, reinterpret_cast<PyObject*>(b));
    Py_DECREF(b);
    return array;
}

// An array over a part through NumPy's C interface, with its element type made once.
PyObject* fair_array(const Target&, const Part& p) {
    if (p.count == 0 || !p.data) {
        npy_intp zero = 0;
        return PyArray_EMPTY(1, &zero, NPY_DOUBLE, 0);
    }
    auto* b = PyObject_New(SdkBuffer, g_format_buffer);
    if (!b) return nullptr;
    b->data = p.data;
    b->shape = Py_ssize_t(p.count);
    b->itemsize = p.format.itemsize;
    b->format = p.format.text;
    PyArray_Descr* descr = descr_of(p.format);
    Py_INCREF(descr);  // stolen
    npy_intp dims = npy_intp(p.count);
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &dims, nullptr, p.data, NPY_ARRAY_CARRAY, nullptr);
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), reinterpret_cast<PyObject*>(b)) < 0) {
        Py_XDECREF(array);
        return nullptr;
    }
    return array;
}

// A delivery made the straightforward way (numpy.asarray) or the fair way (fair_array): its
// arrays, and a new dictionary and list for the metadata.
template <PyObject* (*Array)(const Target&, const Part&)>
void baseline_call(const Target& t, const Fetched& f) {
    PyObject* argv[5] = {};
    int n = 0;
    bool ok = true;
    for (int i = 0; i < f.n && ok; ++i) ok = (argv[n++] = Array(t, f.parts[i])) != nullptr;
    if (ok && f.meta) {
        PyObject* dict = PyDict_New();
        argv[n++] = dict;
        PyObject* shutter = PyLong_FromUnsignedLongLong(f.shutter);
        PyObject* list = PyList_New(0);
        ok = dict && shutter && list && PyDict_SetItemString(dict, "shutterStart", shutter) == 0 &&
             PyDict_SetItemString(dict, "tdcs", list) == 0;
        for (int i = 0; i < 3 && ok; ++i) {
            PyObject* a = Array(t, f.tdc[i]);
            ok = a && PyList_Append(list, a) == 0;
            Py_XDECREF(a);
        }
        Py_XDECREF(shutter);
        Py_XDECREF(list);
    }
    if (ok) {
        PyObject* r = PyObject_Vectorcall(t.func, argv, size_t(n), nullptr);
        Py_XDECREF(r);
    }
    for (int i = 0; i < n; ++i) Py_XDECREF(argv[i]);
    PyErr_Clear();
}

void on_delivery(zorv_acq_t* acq, void* user) {
    const Target& t = *static_cast<Target*>(user);
    Fetched f;
    if (!fetch(t.kind, acq, f)) return;
    switch (t.variant) {
    case Target::Sdk: return;
    case Target::Floor:
    case Target::Fair: {
        if (!t_kept.ts) t_kept.ts = PyThreadState_New(g_interp);
        PyEval_RestoreThread(t_kept.ts);
        if (t.variant == Target::Fair) {
            baseline_call<fair_array>(t, f);
        } else {
            PyObject* r = PyObject_Vectorcall(t.func, t.args, size_t(t.nargs), nullptr);
            if (r) Py_DECREF(r);
            else PyErr_Clear();
        }
        PyEval_SaveThread();
        return;
    }
    case Target::Baseline: {
        PyGILState_STATE s = PyGILState_Ensure();
        baseline_call<baseline_array>(t, f);
        PyGILState_Release(s);
        return;
    }
    }
}

// The context handle of a component object (layout: the _Context first).
zorv_ctx_t* handle_of(PyObject* component) {
    PyObject* ctx = reinterpret_cast<zorv::ComponentObject*>(component)->context;
    if (!ctx || ctx == Py_None || std::strstr(Py_TYPE(ctx)->tp_name, "_Context") == nullptr) {
        PyErr_SetString(PyExc_TypeError, "expected a component object of an open Device");
        return nullptr;
    }
    return reinterpret_cast<zorv::ContextObject*>(ctx)->c_zorvCtx;
}

// attach(component, channel, kind, variant, func, args): registers a harness callback on the
// channel of the component's device. variant: "sdk", "floor", "baseline" or "fair".
PyObject* attach(PyObject*, PyObject* args) {
    PyObject *component, *func, *prebuilt;
    const char *channel, *variant;
    int kind;
    if (!PyArg_ParseTuple(args, "OsisOO!", &component, &channel, &kind, &variant, &func, &PyTuple_Type, &prebuilt))
        return nullptr;
    zorv_ctx_t* ctx = handle_of(component);
    if (!ctx) return nullptr;
    if (kind < 0 || kind >= KindCount || PyTuple_GET_SIZE(prebuilt) != arguments_of(kind)) {
        PyErr_SetString(PyExc_ValueError, "unknown kind, or not its number of arguments");
        return nullptr;
    }
    auto t = std::make_unique<Target>();
    if (!std::strcmp(variant, "sdk")) t->variant = Target::Sdk;
    else if (!std::strcmp(variant, "floor")) t->variant = Target::Floor;
    else if (!std::strcmp(variant, "baseline")) t->variant = Target::Baseline;
    else if (!std::strcmp(variant, "fair")) t->variant = Target::Fair;
    else {
        PyErr_SetString(PyExc_ValueError, "variant: sdk, floor, baseline or fair");
        return nullptr;
    }
    t->kind = kind;
    t->func = Py_NewRef(func);
    t->nargs = int(PyTuple_GET_SIZE(prebuilt));
    for (int i = 0; i < t->nargs; ++i) t->args[i] = Py_NewRef(PyTuple_GET_ITEM(prebuilt, i));
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return nullptr;
    t->asarray = PyObject_GetAttrString(numpy, "asarray");
    t->empty = PyObject_GetAttrString(numpy, "empty");
    Py_DECREF(numpy);
    if (!t->asarray || !t->empty) return nullptr;
    if (t->variant == Target::Baseline || t->variant == Target::Fair)
        Py_SETREF(t->args[0], PyLong_FromLong(0));  // numpy.empty(0)
    if (!t->args[0]) return nullptr;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_acq_set_data_callback(ctx, channel, on_delivery, t.get());
    Py_END_ALLOW_THREADS
    if (status < 0) {
        PyErr_Format(PyExc_RuntimeError, "zorv_acq_set_data_callback failed with %d", status);
        return nullptr;
    }
    targets().push_back(std::move(t));
    Py_RETURN_NONE;
}

// floor(func, args, count): seconds that a thread of the harness takes to enter the interpreter
// with its kept thread state, call func(*args) and leave, count times.
PyObject* floor(PyObject*, PyObject* args) {
    PyObject *func, *prebuilt;
    long long count;
    if (!PyArg_ParseTuple(args, "OO!L", &func, &PyTuple_Type, &prebuilt, &count)) return nullptr;
    PyObject* const* argv = &PyTuple_GET_ITEM(prebuilt, 0);
    size_t nargs = size_t(PyTuple_GET_SIZE(prebuilt));
    double elapsed = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread worker([&] {
        PyThreadState* ts = PyThreadState_New(g_interp);
        auto start = clock_type::now();
        for (long long i = 0; i < count; ++i) {
            PyEval_RestoreThread(ts);
            PyObject* r = PyObject_Vectorcall(func, argv, nargs, nullptr);
            if (r) Py_DECREF(r);
            else PyErr_Clear();
            PyEval_SaveThread();
        }
        elapsed = seconds_since(start);
        PyEval_RestoreThread(ts);
        PyThreadState_Clear(ts);
        PyThreadState_DeleteCurrent();
    });
    worker.join();
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(elapsed);
}

// new_memory(window, huge): seconds per 16-byte hit for one thread of the harness writing hits into
// memory new to the process, for `window` seconds, keeping all of it (then given back): 4 MB runs,
// of 2 MB pages (`huge`) or 4 KB ones, each mapped in whole by the system before it is written
// (the fastest way to have new memory). Nothing else runs: the ceiling of any reader that keeps
// what it takes.
PyObject* new_memory(PyObject*, PyObject* args) {
    double window;
    int huge;
    if (!PyArg_ParseTuple(args, "dp", &window, &huge)) return nullptr;
    constexpr size_t kRun = size_t(4) << 20, kBlock = 16000, kAlign = size_t(2) << 20;
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;
#endif
    std::vector<char> block(kBlock, 1);
    std::vector<std::pair<void*, size_t>> kept;
    size_t written = 0;
    double elapsed = 0;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    const auto start = clock_type::now();
    while (!failed && seconds_since(start) < window) {
        const size_t span = kRun + kAlign;
        void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
        if (p == MAP_FAILED) {
            failed = true;
            break;
        }
        kept.emplace_back(p, span);
        char* run = reinterpret_cast<char*>((uintptr_t(p) + kAlign - 1) & ~uintptr_t(kAlign - 1));
        if (huge) {
            madvise(run, kRun, MADV_HUGEPAGE);
            madvise(run, kRun, MADV_POPULATE_WRITE);  // where the system has it; else the copy maps the pages
        }
        for (size_t at = 0; at + kBlock <= kRun; at += kBlock) std::memcpy(run + at, block.data(), kBlock);
        written += kRun / kBlock * kBlock;
    }
    elapsed = seconds_since(start);
    for (auto& [p, span] : kept) munmap(p, span);
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    return PyFloat_FromDouble(elapsed / double(written / 16));
}

// context_handle(component): the address of the SDK context, for ctypes.
PyObject* context_handle(PyObject*, PyObject* component) {
    zorv_ctx_t* ctx = handle_of(component);
    return ctx ? PyLong_FromVoidPtr(ctx) : nullptr;
}

// ---- hand-written methods ----

struct Direct {
    PyObject_HEAD
    PyObject* context;  // the _Context of a component
};

PyTypeObject* g_direct;

zorv_ctx_t* direct_ctx(PyObject* self) {
    PyObject* ctx = reinterpret_cast<Direct*>(self)->context;
    if (ctx == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "no context");
        return nullptr;
    }
    return reinterpret_cast<zorv::ContextObject*>(ctx)->c_zorvCtx;
}

PyObject* sdk_failed(zorv_ctx_t* ctx, int status) {
    const char* text = "";
    zorv_ctx_get_last_error(ctx, &text);
    PyErr_Format(PyExc_RuntimeError, "status %d: %s", status, text ? text : "");
    return nullptr;
}

PyObject* direct_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* component;
    if (!PyArg_ParseTuple(args, "O", &component) || !handle_of(component)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<Direct*>(self)->context = Py_NewRef(reinterpret_cast<zorv::ComponentObject*>(component)->context);
    return self;
}

void direct_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<Direct*>(self)->context);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* direct_is_opened(PyObject* self, PyObject*) {
    zorv_ctx_t* ctx = direct_ctx(self);
    if (!ctx) return nullptr;
    int opened = 0, status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_dev_is_opened(ctx, &opened);
    Py_END_ALLOW_THREADS
    if (status < 0) return sdk_failed(ctx, status);
    return PyBool_FromLong(opened);
}

PyObject* direct_get_dac_value(PyObject* self, PyObject* name) {
    zorv_ctx_t* ctx = direct_ctx(self);
    const char* text = ctx ? PyUnicode_AsUTF8(name) : nullptr;
    if (!text) return nullptr;
    int value = 0, status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_chip_dac_value_get(ctx, text, &value);
    Py_END_ALLOW_THREADS
    if (status < 0) return sdk_failed(ctx, status);
    return PyLong_FromLong(value);
}

PyObject* direct_set_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "setThreshold() takes exactly 2 arguments");
        return nullptr;
    }
    zorv_ctx_t* ctx = direct_ctx(self);
    const char* text = ctx ? PyUnicode_AsUTF8(args[0]) : nullptr;
    if (!text) return nullptr;
    double kev = PyFloat_AsDouble(args[1]);
    if (kev == -1.0 && PyErr_Occurred()) return nullptr;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_chip_threshold_set(ctx, text, float(kev));
    Py_END_ALLOW_THREADS
    if (status < 0) return sdk_failed(ctx, status);
    Py_RETURN_NONE;
}

PyObject* direct_axi_read(PyObject* self, PyObject* address) {
    zorv_ctx_t* ctx = direct_ctx(self);
    if (!ctx) return nullptr;
    unsigned long a = PyLong_AsUnsignedLong(address);
    if (a == (unsigned long)-1 && PyErr_Occurred()) return nullptr;
    if (a > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return nullptr;
    }
    uint32_t data = 0;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_axi_read(ctx, uint32_t(a), &data);
    Py_END_ALLOW_THREADS
    if (status < 0 || status == 102 || status == 103) return sdk_failed(ctx, status);
    return PyLong_FromUnsignedLong(data);
}

PyObject* direct_get_chip_ids(PyObject* self, PyObject*) {
    zorv_ctx_t* ctx = direct_ctx(self);
    if (!ctx) return nullptr;
    int count = 0, status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_chip_count(ctx, &count);
    Py_END_ALLOW_THREADS
    if (status < 0) return sdk_failed(ctx, status);
    PyObject* list = PyList_New(count);
    if (!list) return nullptr;
    for (int i = 0; i < count; ++i) {
        const char* id = "";
        Py_BEGIN_ALLOW_THREADS
        status = zorv_chip_id(ctx, i, &id);
        Py_END_ALLOW_THREADS
        PyObject* text = status < 0 ? sdk_failed(ctx, status) : PyUnicode_FromString(id ? id : "");
        if (!text) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, text);
    }
    return list;
}

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// cluster_rate(hits, width, chip_side, window_ticks, radius): the ToA/ToT records `hits` (a
// contiguous buffer of 16-byte records, in time order) split by chip (not timed), then clustered
// chip after chip on this thread, the interpreter lock released. Returns (CPU seconds, clusters).
PyObject* cluster_rate(PyObject*, PyObject* args) {
    Py_buffer view;
    unsigned width, side, radius;
    unsigned long long window;
    if (!PyArg_ParseTuple(args, "y*IIKI", &view, &width, &side, &window, &radius)) return nullptr;
    struct Record {
        uint32_t address, tot;
        uint64_t toa;
    };
    const auto* r = static_cast<const Record*>(view.buf);
    const size_t n = size_t(view.len) / sizeof(Record);
    const unsigned per_row = width / side;
    std::vector<std::vector<zorv::cluster::Hit>> chips(per_row * per_row);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t x = r[i].address % width, y = r[i].address / width;
        const unsigned c = (y / side) * per_row + x / side;
        if (c < chips.size()) chips[c].push_back({uint16_t(x % side), uint16_t(y % side), r[i].tot, r[i].toa});
    }
    PyBuffer_Release(&view);
    double seconds = 0;
    size_t clusters = 0;
    Py_BEGIN_ALLOW_THREADS
    std::vector<zorv::cluster::Cluster> out;
    out.reserve(1 << 16);
    const zorv::cluster::Rule rule{side, side, radius, window, 0};
    for (size_t c = 0; c < chips.size(); ++c) {
        zorv::cluster::ChipGrid grid(rule, unsigned(c), 0, 0, nullptr);
        const double start = thread_seconds();
        for (size_t at = 0; at < chips[c].size(); at += 1 << 14) {
            grid.add(chips[c].data() + at, std::min<size_t>(1 << 14, chips[c].size() - at), out);
            clusters += out.size();
            out.clear();
        }
        grid.close_all(out);
        seconds += thread_seconds() - start;
        clusters += out.size();
        out.clear();
    }
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(dn)", seconds, Py_ssize_t(clusters));
}

PyMethodDef kDirectMethods[] = {
    {"isOpened", direct_is_opened, METH_NOARGS, nullptr},
    {"getDacValue", direct_get_dac_value, METH_O, nullptr},
    {"setThreshold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(direct_set_threshold)), METH_FASTCALL,
     nullptr},
    {"read", direct_axi_read, METH_O, nullptr},
    {"getChipIds", direct_get_chip_ids, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kMethods[] = {
    {"attach", attach, METH_VARARGS, "attach(component, channel, kind, variant, func, args)"},
    {"floor", floor, METH_VARARGS, "floor(func, args, count) -> seconds"},
    {"context_handle", context_handle, METH_O, "context_handle(component) -> int"},
    {"new_memory", new_memory, METH_VARARGS, "new_memory(window, huge) -> seconds per 16-byte hit"},
    {"cluster_rate", cluster_rate, METH_VARARGS, "cluster_rate(hits, width, chip_side, window_ticks, radius) -> (CPU seconds, clusters)"},
    {nullptr, nullptr, 0, nullptr},
};

// The element type NumPy reads from a buffer of each format.
bool make_descrs() {
    static char zeros[16];
    for (size_t i = 0; i < std::size(kFormats); ++i) {
        auto* b = PyObject_New(SdkBuffer, g_format_buffer);
        if (!b) return false;
        b->data = zeros;
        b->shape = 1;
        b->itemsize = kFormats[i]->itemsize;
        b->format = kFormats[i]->text;
        PyObject* array = PyArray_FromAny(reinterpret_cast<PyObject*>(b), nullptr, 1, 1, 0, nullptr);
        Py_DECREF(b);
        if (!array) return false;
        g_descrs[i] = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array));
        Py_INCREF(g_descrs[i]);
        Py_DECREF(array);
    }
    return true;
}

int exec(PyObject* m) {
    g_interp = PyInterpreterState_Get();
    if (_import_array() < 0) return -1;
    g_format_buffer = zorv::make_sdk_buffer_type("zorvbench.FormatBuffer", "A buffer exposing its record format.");
    if (!g_format_buffer || !make_descrs()) return -1;
    PyType_Slot direct_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(direct_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(direct_dealloc)},
        {Py_tp_methods, kDirectMethods},
        {0, nullptr},
    };
    PyType_Spec direct_spec = {"zorvbench.Direct", int(sizeof(Direct)), 0, Py_TPFLAGS_DEFAULT, direct_slots};
    g_direct = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&direct_spec));
    if (!g_direct) return -1;
    if (PyModule_AddObjectRef(m, "Direct", reinterpret_cast<PyObject*>(g_direct)) < 0) return -1;
    const char* names[KindCount] = {"seq-toa-tot",      "seq-itot-event",    "seq-toa-tot-vec",   "seq-itot-event-vec",
                                    "dd-toa-tot",       "dd-toa-tot-vec",    "binned-packets",    "binned-count-sums",
                                    "binned-itot-sums", "medipix",           "raw"};
    PyObject* kinds = PyDict_New();
    if (!kinds) return -1;
    for (int k = 0; k < KindCount; ++k) {
        PyObject* v = PyLong_FromLong(k);
        if (!v || PyDict_SetItemString(kinds, names[k], v) < 0) return -1;
        Py_DECREF(v);
    }
    int added = PyModule_AddObjectRef(m, "KINDS", kinds);
    Py_DECREF(kinds);
    return added;
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)}, {0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "zorvbench", "Reference points of the benchmark.", 0, kMethods,
                       kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_zorvbench() { return PyModuleDef_Init(&kModule); }
