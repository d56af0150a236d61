// zorvsdk.acquisition: acquisition channels, registration of data callables by readout mode, and
// the data deliveries handed to them as NumPy arrays over the SDK's buffers.
#include "core/component.hpp"
#include "core/gil.hpp"
#include "core/numpy.hpp"
#include "core/sdk_buffer.hpp"

#include <cstring>
#include <new>

#include "zorv/acquisition.h"
#include "zorv/acquisition_metadata.h"
#include "zorv/acquisition_tpx.h"
#include "zorv/acquisition_tpx3.h"

using namespace zorv;

namespace {

PyTypeObject* g_chip_type;

// ---- buffer wrapping ----
//
// Each array of a delivery is an ndarray over the SDK's buffer whose base is an SdkBuffer: the
// typed array object that exposes that buffer (with its record format) and never owns it. The
// element types are made once, when the module loads.

struct Kind {
    const char* format;         // buffer format exposed by the SdkBuffer
    Py_ssize_t itemsize;
    PyArray_Descr* descr = nullptr;
    int alignment = 1;  // of the element type, as NumPy has it
};

Kind k8b{"B", 1}, k16b{"H", 2}, k32b{"I", 4}, k64b{"Q", 8};
Kind kToaTot{"T{^I:address:^I:tot:^Q:toa:}", 16};
Kind kItotEvent{"T{^I:address:^I:itot:^Q:event:}", 16};
Kind kBinnedDdToaTot{"T{^I:address:^I:count:^I:itot:}", 12};
Kind kBinDescriptor{"T{^I:offset:^I:packet_count:}", 8};

PyTypeObject* g_buffer_type;

// ---- arrays kept for later deliveries ----
//
// Making and freeing an ndarray costs more than the rest of a delivery's work, so the arrays of a
// delivery that nobody kept once the callable has returned (the delivery's reference is the only
// one left, and no view, weak reference or buffer export refers to it or to its SdkBuffer) are kept
// here and made new again for a later delivery: every field that the callable could have changed
// (data, shape, strides, element type, flags) is set as a newly made array has it. Nobody can tell
// a kept array from a new one: nothing outside the package refers to it. Touched only with the
// interpreter lock held.

using ArrayFields = PyArrayObject_fields;

#if NPY_ABI_VERSION < 0x02000000  // NumPy 1 headers
#define PyDataType_ALIGNMENT(descr) ((descr)->alignment)
#endif

ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

PyArray_Descr* g_float64;  // the element type of np.empty(0)

struct KeptMeta {
    PyObject* dict;  // the metadata dictionary of a data-driven delivery
    PyObject* list;  // its "tdcs" list, also referred to by the package
};

struct Kept {
    static constexpr int kCapacity = 32, kMeta = 4;
    PyObject* views[kCapacity];    // over a buffer, with an SdkBuffer base
    PyObject* empties[kCapacity];  // np.empty(0): float64, owning its (empty) data
    KeptMeta meta[kMeta];          // untracked by the garbage collector while kept
    int nviews = 0, nempties = 0, nmeta = 0;
} g_kept;

// Only the package refers to `array` (and, for a view, to its SdkBuffer).
bool unshared(PyObject* array) {
    if (Py_REFCNT(array) != 1 || !Py_IS_TYPE(array, &PyArray_Type)) return false;
    ArrayFields* f = fields(array);
    return f->nd == 1 && !f->weakreflist && !(f->flags & NPY_ARRAY_WRITEBACKIFCOPY);
}

// Takes over the delivery's reference to `array`: kept when nobody else refers to it, else dropped.
void give_back(PyObject* array) {
    if (unshared(array)) {
        ArrayFields* f = fields(array);
        if (f->base) {
            if (Py_IS_TYPE(f->base, g_buffer_type) && Py_REFCNT(f->base) == 1 && !(f->flags & NPY_ARRAY_OWNDATA) &&
                g_kept.nviews < Kept::kCapacity) {
                g_kept.views[g_kept.nviews++] = array;
                return;
            }
        } else if ((f->flags & NPY_ARRAY_OWNDATA) && f->dimensions[0] == 0 && f->descr == g_float64 &&
                   g_kept.nempties < Kept::kCapacity) {
            g_kept.empties[g_kept.nempties++] = array;
            return;
        }
    }
    Py_DECREF(array);
}

// Sets what a newly made array has: its element type and the flags NumPy gives a writable
// one-dimensional array whose stride is its item size (contiguous both ways; aligned when the data
// address is a multiple of the element type's alignment).
void renew(PyObject* array, PyArray_Descr* descr, int alignment, npy_intp count, npy_intp stride, int owned) {
    ArrayFields* f = fields(array);
    f->dimensions[0] = count;
    f->strides[0] = stride;
    if (f->descr != descr) {
        PyArray_Descr* old = f->descr;
        Py_INCREF(descr);
        f->descr = descr;
        Py_DECREF(old);
    }
    bool aligned = count == 0 || reinterpret_cast<uintptr_t>(f->data) % uintptr_t(alignment) == 0;
    f->flags = NPY_ARRAY_WRITEABLE | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS | (aligned ? NPY_ARRAY_ALIGNED : 0) |
               owned;
}

// An empty float64 array stands for a delivery's missing buffer (a count of 0 or a null pointer).
PyObject* wrap(const Kind& kind, unsigned long long count, const void* data) {
    if (count == 0 || !data) {
        if (g_kept.nempties) {
            PyObject* array = g_kept.empties[--g_kept.nempties];
            renew(array, g_float64, alignof(double), 0, sizeof(double), NPY_ARRAY_OWNDATA);
            return array;
        }
        npy_intp zero = 0;
        return PyArray_EMPTY(1, &zero, NPY_DOUBLE, 0);
    }
    if (count > (unsigned long long)(PY_SSIZE_T_MAX / kind.itemsize)) {
        PyErr_Format(PyExc_OverflowError, "a delivery of %llu records of %zd bytes cannot be addressed", count,
                     kind.itemsize);
        return nullptr;
    }
    if (g_kept.nviews) {
        PyObject* array = g_kept.views[--g_kept.nviews];
        auto* b = reinterpret_cast<SdkBuffer*>(fields(array)->base);
        b->data = const_cast<void*>(data);
        b->shape = Py_ssize_t(count);
        b->itemsize = kind.itemsize;
        b->format = kind.format;
        fields(array)->data = static_cast<char*>(b->data);
        renew(array, kind.descr, kind.alignment, npy_intp(count), kind.itemsize, 0);
        return array;
    }
    auto* b = PyObject_New(SdkBuffer, g_buffer_type);
    if (!b) return nullptr;
    b->data = const_cast<void*>(data);
    b->shape = Py_ssize_t(count);
    b->itemsize = kind.itemsize;
    b->format = kind.format;
    Ref base = Ref::steal(reinterpret_cast<PyObject*>(b));
    npy_intp dims = npy_intp(count);
    Py_INCREF(kind.descr);  // stolen by the array
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, kind.descr, 1, &dims, nullptr, b->data,
                                                NPY_ARRAY_CARRAY, nullptr));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        return nullptr;
    return array.release();
}

bool make_descr(Kind& kind, int type) {
    kind.descr = PyArray_DescrFromType(type);
    if (kind.descr) kind.alignment = int(PyDataType_ALIGNMENT(kind.descr));
    return kind.descr != nullptr;
}

bool make_record_descr(Kind& kind, const char* const (&names)[3], const char* const (&formats)[3],
                       const int (&offsets)[3], int fields) {
    Ref n = Ref::steal(PyList_New(0)), f = Ref::steal(PyList_New(0)), o = Ref::steal(PyList_New(0));
    if (!n || !f || !o) return false;
    for (int i = 0; i < fields; ++i) {
        Ref name = Ref::steal(PyUnicode_FromString(names[i])), format = Ref::steal(PyUnicode_FromString(formats[i])),
            offset = Ref::steal(PyLong_FromLong(offsets[i]));
        if (!name || !format || !offset || PyList_Append(n.get(), name.get()) < 0 ||
            PyList_Append(f.get(), format.get()) < 0 || PyList_Append(o.get(), offset.get()) < 0)
            return false;
    }
    Ref spec = Ref::steal(Py_BuildValue("{sOsOsOsn}", "names", n.get(), "formats", f.get(), "offsets", o.get(),
                                        "itemsize", kind.itemsize));
    if (!spec || PyArray_DescrConverter(spec.get(), &kind.descr) != NPY_SUCCEED) return false;
    kind.alignment = int(PyDataType_ALIGNMENT(kind.descr));
    return true;
}

// The element types are those NumPy reads from the buffer formats: "I" is NumPy's unsigned int and
// "Q" its unsigned long long (equal to, but not the same type number as, its uint64).
bool make_kinds() {
    g_float64 = PyArray_DescrFromType(NPY_DOUBLE);
    return g_float64 && make_descr(k8b, NPY_UBYTE) && make_descr(k16b, NPY_USHORT) && make_descr(k32b, NPY_UINT) &&
           make_descr(k64b, NPY_ULONGLONG) &&
           make_record_descr(kToaTot, {"address", "tot", "toa"}, {"<I", "<I", "<Q"}, {0, 4, 8}, 3) &&
           make_record_descr(kItotEvent, {"address", "itot", "event"}, {"<I", "<I", "<Q"}, {0, 4, 8}, 3) &&
           make_record_descr(kBinnedDdToaTot, {"address", "count", "itot"}, {"<I", "<I", "<I"}, {0, 4, 8}, 3) &&
           make_record_descr(kBinDescriptor, {"offset", "packet_count", ""}, {"<I", "<I", ""}, {0, 4, 0}, 2);
}

// ---- data deliveries ----

// One array of a delivery: its kind and what the SDK reported for it.
struct Array {
    const Kind& kind;
    unsigned long long count;
    const void* data;
};

// Shutter time and TDC time stamps of the data-driven kinds.
struct Metadata {
    unsigned long long shutter = 0;
    uint64_t counts[3] = {0, 0, 0};
    const uint64_t* toas[3] = {nullptr, nullptr, nullptr};
};

Name s_shutterStart("shutterStart"), s_tdcs("tdcs");

// One delivery. The SDK is asked for counts and buffers without the interpreter lock; the lock is
// taken once to build the arrays and call the user's callable. An exception of the delivery (a
// failing SDK call, a failed array, or one the callable raised) ends it and is discarded, so that
// nothing stays pending on the thread and the next delivery starts clean.
class Delivery {
public:
    Delivery(zorv_acq_t* acq, void* func) : acq_(acq), func_(static_cast<PyObject*>(func)) {}

    // One SDK call of the delivery. False when its status maps to an exception: the delivery ends.
    template <class... P, class... A>
    bool ask(int (*fn)(zorv_acq_t*, P...), A... args) {
        int status = fn(acq_, args...);
        return status >= 0 || !failed(status);
    }

    bool ask_metadata(Metadata& m) {
        if (!ask(zorv_acq_meta_get_shutter_rising_time_ticks, &m.shutter)) return false;
        for (int tdc = 0; tdc < 3; ++tdc)
            if (!ask(zorv_acq_meta_get_tdc_toas_count, tdc, &m.counts[tdc]) ||
                !ask(zorv_acq_meta_get_tdc_toas, tdc, &m.toas[tdc]))
                return false;
        return true;
    }

    // Builds the arrays (and the metadata dictionary) and calls the callable with them. Everything
    // the delivery built is released before the lock is given back.
    int deliver(std::initializer_list<Array> arrays, const Metadata* meta = nullptr) {
        Gil gil;
        if (!gil.ok() || !func_) return -1;
        Built built;
        bool ok = true;
        for (const Array& a : arrays)
            if (!(ok = built.add(wrap(a.kind, a.count, a.data)))) break;
        if (ok && meta) ok = built.metadata(*meta);
        if (ok) {
            PyObject* result = PyObject_Vectorcall(func_, built.argv(), built.n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            ok = result != nullptr;
            Py_XDECREF(result);
        }
        if (!ok) PyErr_Clear();  // first, so that a traceback's frames let go of the arrays
        built.release();
        return ok ? 0 : -1;
    }

private:
    // What one delivery builds. Slot 0 of `slots` is left free for the callee
    // (PY_VECTORCALL_ARGUMENTS_OFFSET: a bound method puts its instance there without copying).
    struct Built {
        PyObject* slots[1 + 4 + 1] = {};
        size_t n = 0;
        PyObject* dict = nullptr;  // the metadata, the last argument
        PyObject* list = nullptr;  // metadata["tdcs"], and its arrays, referred to by the delivery too
        PyObject* toas[3] = {};

        PyObject** argv() { return slots + 1; }
        bool add(PyObject* o) {
            if (!o) return false;
            argv()[n++] = o;
            return true;
        }

        bool metadata(const Metadata& m) {
            for (int i = 0; i < 3; ++i)
                if (!(toas[i] = wrap(k64b, m.counts[i], m.toas[i]))) return false;
            Ref shutter = Ref::steal(PyLong_FromUnsignedLongLong(m.shutter));
            if (!shutter) return false;
            if (g_kept.nmeta) {  // {"shutterStart": ..., "tdcs": [None, None, None]}, untracked
                const KeptMeta& k = g_kept.meta[--g_kept.nmeta];
                dict = k.dict;
                list = k.list;
                argv()[n++] = dict;
                for (Py_ssize_t i = 0; i < 3; ++i) {
                    PyList_SET_ITEM(list, i, Py_NewRef(toas[i]));
                    Py_DECREF(Py_None);
                }
                PyObject_GC_Track(list);
                PyObject_GC_Track(dict);
                return PyDict_SetItem(dict, s_shutterStart, shutter.get()) == 0;
            }
            if (!(list = PyList_New(3))) return false;
            for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(list, i, Py_NewRef(toas[i]));
            if (!(dict = PyDict_New())) return false;
            argv()[n++] = dict;
            return PyDict_SetItem(dict, s_shutterStart, shutter.get()) == 0 && PyDict_SetItem(dict, s_tdcs, list) == 0;
        }

        // The dictionary and the list are made new again for a later delivery when nobody kept
        // them or changed what they are: exactly the two keys in their order, "tdcs" still the
        // delivery's list of three places (its values are replaced when it is used again).
        bool metadata_unshared() const {
            if (Py_REFCNT(dict) != 1 || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 2 ||
                Py_REFCNT(list) != 2 || PyList_GET_SIZE(list) != 3 ||
                reinterpret_cast<PyListObject*>(list)->allocated != 3 || g_kept.nmeta >= Kept::kMeta)
                return false;
            Py_ssize_t pos = 0;
            PyObject *key0, *value0, *key1, *value1;
            return PyDict_Next(dict, &pos, &key0, &value0) && PyDict_Next(dict, &pos, &key1, &value1) &&
                   key0 == s_shutterStart.get() && key1 == s_tdcs.get() && value1 == list;
        }

        // The dictionary and the list go first, so that only what the callable kept still refers
        // to the arrays when they are given back.
        void release() {
            if (dict && list && metadata_unshared()) {
                PyObject_GC_UnTrack(dict);
                PyObject_GC_UnTrack(list);
                for (Py_ssize_t i = 0; i < 3; ++i) {
                    PyObject* item = PyList_GET_ITEM(list, i);
                    PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
                    Py_DECREF(item);
                }
                g_kept.meta[g_kept.nmeta++] = {dict, list};
            } else {
                Py_XDECREF(dict);
                Py_XDECREF(list);
            }
            for (size_t i = 0; i < n; ++i)
                if (argv()[i] != dict) give_back(argv()[i]);
            for (PyObject* a : toas)
                if (a) give_back(a);
        }
    };

    bool failed(int status) {
        Gil gil;
        if (!gil.ok()) return true;
        const char* text = "";
        zorv_acq_get_last_error(acq_, &text);
        if (!throw_status(status, text)) return false;
        PyErr_Clear();
        return true;
    }

    zorv_acq_t* acq_;
    PyObject* func_;
};

// Counts are preset to 0 and pointers to null, so that a failure the SDK reports without a mapped
// status never leaves an undefined count or pointer to be wrapped.

int seq_toatot_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void* data = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_packet_count, &n) || !d.ask(zorv_acq_tpx3_get_packets, static_cast<void*>(&data)))
        return -1;
    return d.deliver({{kToaTot, n, data}});
}

int seq_eventitot_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void* data = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_packet_count, &n) || !d.ask(zorv_acq_tpx3_get_packets, static_cast<void*>(&data)))
        return -1;
    return d.deliver({{kItotEvent, n, data}});
}

int seq_toatot_vec_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void *addresses = nullptr, *toas = nullptr, *tots = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_vec_length, &n) ||
        !d.ask(zorv_acq_tpx3_get_pixel_address_vec, static_cast<void*>(&addresses)) ||
        !d.ask(zorv_acq_tpx3_get_toa_vec, static_cast<void*>(&toas)) ||
        !d.ask(zorv_acq_tpx3_get_tot_vec, static_cast<void*>(&tots)))
        return -1;
    return d.deliver({{k32b, n, addresses}, {k32b, n, toas}, {k16b, n, tots}});
}

int seq_eventitot_vec_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void *addresses = nullptr, *events = nullptr, *itots = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_vec_length, &n) ||
        !d.ask(zorv_acq_tpx3_get_pixel_address_vec, static_cast<void*>(&addresses)) ||
        !d.ask(zorv_acq_tpx3_get_event_vec, static_cast<void*>(&events)) ||
        !d.ask(zorv_acq_tpx3_get_itot_vec, static_cast<void*>(&itots)))
        return -1;
    return d.deliver({{k32b, n, addresses}, {k16b, n, events}, {k16b, n, itots}});
}

int dd_toatot_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void* data = nullptr;
    Metadata meta;
    if (!d.ask(zorv_acq_tpx3_get_packet_count, &n) || !d.ask(zorv_acq_tpx3_get_packets, static_cast<void*>(&data)) ||
        !d.ask_metadata(meta))
        return -1;
    return d.deliver({{kToaTot, n, data}}, &meta);
}

int dd_toatot_vec_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long n = 0;
    void *addresses = nullptr, *toas = nullptr, *tots = nullptr;
    Metadata meta;
    if (!d.ask(zorv_acq_tpx3_get_vec_length, &n) ||
        !d.ask(zorv_acq_tpx3_get_pixel_address_vec, static_cast<void*>(&addresses)) ||
        !d.ask(zorv_acq_tpx3_get_toa_vec, static_cast<void*>(&toas)) ||
        !d.ask(zorv_acq_tpx3_get_tot_vec, static_cast<void*>(&tots)) || !d.ask_metadata(meta))
        return -1;
    return d.deliver({{k32b, n, addresses}, {k64b, n, toas}, {k16b, n, tots}}, &meta);
}

int binned_packets_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long p = 0, descriptors = 0, h = 0, i = 0;
    void *packets = nullptr, *descr = nullptr;
    uint64_t *hits = nullptr, *itots = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_packet_count, &p) || !d.ask(zorv_acq_tpx3_get_packets, static_cast<void*>(&packets)) ||
        !d.ask(zorv_acq_meta_get_bin_descriptor_count, &descriptors) ||
        !d.ask(zorv_acq_meta_get_bin_descriptors, static_cast<void*>(&descr)) ||
        !d.ask(zorv_acq_tpx3_get_binned_hitcounters_count, &h) || !d.ask(zorv_acq_tpx3_get_binned_hitcounters, &hits) ||
        !d.ask(zorv_acq_tpx3_get_binned_itots_count, &i) || !d.ask(zorv_acq_tpx3_get_binned_itots, &itots))
        return -1;
    return d.deliver({{kBinnedDdToaTot, p, packets}, {kBinDescriptor, descriptors, descr}, {k64b, h, hits}, {k64b, i, itots}});
}

int binned_count_sums_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long h = 0;
    uint64_t* hits = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_binned_hitcounters_count, &h) || !d.ask(zorv_acq_tpx3_get_binned_hitcounters, &hits))
        return -1;
    return d.deliver({{k64b, h, hits}});
}

int binned_itot_sums_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long i = 0;
    uint64_t* itots = nullptr;
    if (!d.ask(zorv_acq_tpx3_get_binned_itots_count, &i) || !d.ask(zorv_acq_tpx3_get_binned_itots, &itots)) return -1;
    return d.deliver({{k64b, i, itots}});
}

// A frame is 256 x 256 values; the frames of a delivery make one flat array.
int tpx1_medipix_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long c = 0;
    void* frames = nullptr;
    if (!d.ask(zorv_acq_tpx_get_frame_count, &c) || !d.ask(zorv_acq_tpx_get_frames, static_cast<void*>(&frames)))
        return -1;
    if (c > (~0ULL >> 16)) c = ~0ULL;  // beyond any address space: refused by the wrapping
    else c <<= 16;
    return d.deliver({{k16b, c, frames}});
}

int raw_data_cb(zorv_acq_t* acq, void* f) {
    Delivery d(acq, f);
    unsigned long long b = 0;
    void* data = nullptr;
    if (!d.ask(zorv_acq_raw_get_data, static_cast<void*>(&data), &b)) return -1;
    return d.deliver({{k8b, b, data}});
}

// The SDK's callback type returns nothing; the result of a delivery is for the package's own tests.
template <int (*Fn)(zorv_acq_t*, void*)>
void entry(zorv_acq_t* acq, void* user) {
    Fn(acq, user);
}

// ---- the acquisition object ----

const std::pair<const char*, zorv_acq_data_func> kModeTable[] = {
    {"0:tpx3-seq-toa-tot", entry<seq_toatot_data_cb>},
    {"0:tpx3-seq-toa-tot-vec", entry<seq_toatot_vec_data_cb>},
    {"0:tpx3-seq-itot-event", entry<seq_eventitot_data_cb>},
    {"0:tpx3-seq-itot-event-vec", entry<seq_eventitot_vec_data_cb>},
    {"0:tpx3-dd-toa-tot-vec", entry<dd_toatot_vec_data_cb>},
    {"0:tpx3-dd-toa-tot", entry<dd_toatot_data_cb>},
    {"0:tpx-medipix", entry<tpx1_medipix_cb>},
    {"0:raw-data", entry<raw_data_cb>},
    {"0:tpx3-sorted-dd-toa-tot", entry<dd_toatot_data_cb>},
    {"0:tpx3-binned-packets", entry<binned_packets_cb>},
    {"0:tpx3-binned-count-sums", entry<binned_count_sums_cb>},
    {"0:tpx3-binned-itot-sums", entry<binned_itot_sums_cb>},
};

constexpr const char* kRawKey = "0:raw-data";

AcquisitionObject* acq_of(PyObject* self) { return reinterpret_cast<AcquisitionObject*>(self); }

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("__cinit__", {"ctx", "chip"});
    PyObject* a[2];
    if (!params.parse_tuple(args, kwds, a) || !check_context(a[0]) || !check_instance(a[1], g_chip_type)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = acq_of(self);
    o->context = Py_NewRef(a[0]);
    o->chip = Py_NewRef(a[1]);
    o->data_func_ref = nullptr;
    try {
        o->modeToCallback = new ModeTable;
        for (const auto& [key, func] : kModeTable) o->modeToCallback->emplace(key, func);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = acq_of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->context);
    Py_VISIT(o->chip);
    return 0;
}

int acquisition_clear(PyObject* self) {
    auto* o = acq_of(self);
    Py_XSETREF(o->context, Py_NewRef(Py_None));
    Py_XSETREF(o->chip, Py_NewRef(Py_None));
    return 0;
}

// The holder of the registered callable is not deleted here: the SDK may still call it back.
void acquisition_dealloc(PyObject* self) {
    auto* o = acq_of(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(o->context);
    Py_CLEAR(o->chip);
    delete o->modeToCallback;
    o->modeToCallback = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr auto getChannelIds =
    list_entry<"getChannelIds", "_Acquisition__getChannelCount", "_Acquisition__getChannelId">;
constexpr auto getChannelCount = count_entry<"__getChannelCount", zorv_acq_ch_count>;
constexpr auto getChannelId = id_entry<"__getChannelId", "channelIdx", zorv_acq_ch_id>;

Name s_time("time"), s_sleep("sleep"), s_getModeIds("getModeIds"), s_setDataCallback("_Acquisition__setDataCallback");

// begin, abort and end: a failure is raised after a wait of 100 ms.
PyObject* channel_call(PyObject* self, PyObject* channel, int (*fn)(zorv_ctx_t*, const char*)) {
    TextArg id;
    if (!id.encode_utf8(channel)) return nullptr;
    zorv_ctx_t* ctx = handle_of(self);
    if (!ctx) return nullptr;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = fn(ctx, id.c_str());
    Py_END_ALLOW_THREADS
    if (status < 0) {
        Ref time = Ref::steal(global(s_time));
        if (!time) return nullptr;
        Ref delay = Ref::steal(PyFloat_FromDouble(0.1));
        if (!delay) return nullptr;
        Ref slept = Ref::steal(PyObject_CallMethodOneArg(time.get(), s_sleep, delay.get()));
        if (!slept || !check_failure(ctx, status)) return nullptr;
    }
    Py_RETURN_NONE;
}

template <FixedText Method, int (*Fn)(zorv_ctx_t*, const char*)>
PyObject* channel_entry(ZORV_METHOD_ARGS) {
    static Params<1> params(Method.s, {"channelId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    return channel_call(self, a[0], Fn);
}

constexpr auto begin = channel_entry<"begin", zorv_acq_begin>;
constexpr auto abort_ = channel_entry<"abort", zorv_acq_abort>;
constexpr auto end = channel_entry<"end", zorv_acq_end>;

PyObject* not_supported(PyObject* mode) {
    PyErr_Format(exception(Exc::InvalidOperation), "%U is not supported!", mode);
    return nullptr;
}

PyObject* setDataCallbackImpl(ZORV_METHOD_ARGS) {
    static Params<3> params("__setDataCallback", {"channelId", "func", "raw"}, 2);
    PyObject* a[3];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    AcquisitionObject* o = acq_of(self);
    // Every holder stays allocated: the SDK may still deliver to an earlier callable.
    PyRef* holder = new (std::nothrow) PyRef(a[1]);
    if (!holder) return PyErr_NoMemory();
    o->data_func_ref = holder;
    TextArg channel;
    if (!channel.encode_utf8(a[0])) return nullptr;
    if (!PyObject_TypeCheck(o->chip, g_chip_type))
        return raise(Exc::InvalidOperation, "this acquisition object has no chip object to read the readout mode from");
    Ref chip = Ref::borrow(o->chip);  // a callable could clear the object meanwhile
    const char* selected = reinterpret_cast<ChipObject*>(chip.get())->mode;
    Ref mode = Ref::steal(PyUnicode_DecodeUTF8(selected, Py_ssize_t(strnlen(selected, kModeCapacity)), nullptr));
    if (!mode) return nullptr;
    Ref available = Ref::steal(PyObject_CallMethodNoArgs(chip.get(), s_getModeIds));
    if (!available) return nullptr;
    int listed = PySequence_Contains(available.get(), mode.get());
    if (listed < 0) return nullptr;
    if (!listed) return not_supported(mode.get());
    // The key is the mode that was checked: getModeIds may have let another thread select a new
    // mode on the chip meanwhile.
    Py_ssize_t size = 0;
    const char* checked = PyUnicode_AsUTF8AndSize(mode.get(), &size);
    if (!checked) return nullptr;
    const std::string key = a[2] == Py_True ? std::string(kRawKey) : std::string(checked, size_t(size));
    auto found = o->modeToCallback->find(key);
    if (found == o->modeToCallback->end() || !found->second) return not_supported(mode.get());  // no delivery for it
    if (!call(self, zorv_acq_set_data_callback, channel.c_str(), found->second, static_cast<void*>(a[1])))
        return nullptr;
    Py_RETURN_NONE;
}

// setDataCallback and setRawDataCallback: self._Acquisition__setDataCallback(channelId, func, raw=...)
template <FixedText Method, bool Raw>
PyObject* register_entry(ZORV_METHOD_ARGS) {
    static Params<2> params(Method.s, {"channelId", "func"});
    static PyObject* kwnames_raw = Py_BuildValue("(s)", "raw");  // kept for the life of the process
    PyObject* a[2];
    if (!params.parse(args, nargs, kwnames, a) || !kwnames_raw) return nullptr;
    PyObject* argv[4] = {self, a[0], a[1], Raw ? Py_True : Py_False};
    Ref done = Ref::steal(PyObject_VectorcallMethod(s_setDataCallback, argv, 3, kwnames_raw));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto setDataCallback = register_entry<"setDataCallback", false>;
constexpr auto setRawDataCallback = register_entry<"setRawDataCallback", true>;

#define CHANNEL_DOC(method, summary)                                                              \
    ZORV_DOC(method "($self, channelId)", "\n        " summary "\n\n        Args:\n"                 \
                                          "            channelId (str): Acquisition channel identifier.\n\n" \
                                          "        Returns:\n            None\n        ")

PyMethodDef kMethods[] = {
    {"getChannelIds", ZORV_FASTCALL(getChannelIds), ZORV_DOC("getChannelIds($self)", R"(
        Retrieves identifiers of acquisition channels.

        Args:
            None

        Returns:
            A list of str objects representing identifiers of acquistion channels.
        )")},
    {"_Acquisition__getChannelCount", ZORV_FASTCALL(getChannelCount), "_Acquisition__getChannelCount($self)\n--\n\n"},
    {"_Acquisition__getChannelId", ZORV_FASTCALL(getChannelId), "_Acquisition__getChannelId($self, channelIdx)\n--\n\n"},
    {"begin", ZORV_FASTCALL(begin), CHANNEL_DOC("begin", "Begins asynchronous acquisition.")},
    {"abort", ZORV_FASTCALL(abort_), CHANNEL_DOC("abort", "Aborts acquisition.")},
    {"end", ZORV_FASTCALL(end),
     CHANNEL_DOC("end", "Blocks until the asynchronous acquisition started by :func:`~begin` is finished.")},
    {"_Acquisition__setDataCallback", ZORV_FASTCALL(setDataCallbackImpl),
     ZORV_DOC("_Acquisition__setDataCallback($self, channelId, func, raw=False)", R"(
        Sets acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Acquisition data callback.
            raw (bool): True if raw data should be retrieved, False otherwise

        Returns:
            None
        )")},
    {"setDataCallback", ZORV_FASTCALL(setDataCallback), ZORV_DOC("setDataCallback($self, channelId, func)", R"(
        Sets processed acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Acquisition data callback.

        Returns:
            None
        )")},
    {"setRawDataCallback", ZORV_FASTCALL(setRawDataCallback), ZORV_DOC("setRawDataCallback($self, channelId, func)", R"(
        Sets raw acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Raw acquisition data callback.

        Returns:
            None
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
import time
import numpy as np
)";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.chip may be imported first.
    PyTypeObject* type = make_type("zorvsdk.acquisition.__Acquisition", ZORV_COMPONENT_DOC("Acquisition object."),
                                   sizeof(AcquisitionObject), kMethods,
                                   {{Py_tp_new, reinterpret_cast<void*>(acquisition_new)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(acquisition_dealloc)},
                                    {Py_tp_traverse, reinterpret_cast<void*>(acquisition_traverse)},
                                    {Py_tp_clear, reinterpret_cast<void*>(acquisition_clear)}});
    if (!type || !add_type(m, type)) return -1;
    if (!import_common(m)) return -1;
    g_chip_type = import_type("zorvsdk.chip", "__Chip", sizeof(ChipObject));
    if (!g_chip_type || !import_numpy() || !make_kinds()) return -1;
    g_buffer_type = make_sdk_buffer_type("zorvsdk.acquisition.SdkBuffer",
                                         "A buffer of the SDK, exposed to the arrays of one delivery.");
    if (!g_buffer_type) return -1;
    return run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(acquisition, "Acquisition channels and data deliveries.", exec)
