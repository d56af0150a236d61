#include "arrays.hpp"

#include "compat_arrays.hpp"
#include "sdk_buffer.hpp"

#include <cstdint>
#include <iterator>

namespace zorv {

namespace {

// The element types, made once when the module loads.

struct Element {
    const ElementType* type;
    PyArray_Descr* descr = nullptr;
    int alignment = 1;  // of the element type, as NumPy has it
};

// One per element type of the table, in its order.
Element g_elements[std::size(readout::kElements)];
const Element* g_stamps;  // the uint64 of TDC time stamps

const Element* find_element(const ElementType& type) {
    for (const Element& e : g_elements)
        if (e.type == &type) return &e;
    return nullptr;
}

// The element of each array of each delivery kind, resolved when the module loads.
const Element* g_by_kind[int(DeliveryKind::Count)][kMaxArrays];

PyTypeObject* g_buffer_type;

// The pool of arrays kept for later views, where arrays can be renewed (compat_arrays.hpp).
// Making and freeing an ndarray costs more than the rest of a delivery's work.

#if NPY_ABI_VERSION < 0x02000000  // NumPy 1 headers
#define PyDataType_ALIGNMENT(descr) ((descr)->alignment)
#endif

PyArrayObject* as_array(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

PyArray_Descr* g_float64;  // the element type of np.empty(0)

struct Kept {
    static constexpr int kCapacity = 32;
    PyObject* views[kCapacity];    // over a buffer, with an SdkBuffer base
    PyObject* empties[kCapacity];  // np.empty(0): float64, owning its (empty) data
    int nviews = 0, nempties = 0;
} g_kept;

}  // namespace

void give_back(PyObject* array) {
    if (compat::renewable(array)) {
        PyArrayObject* a = as_array(array);
        PyObject* base = PyArray_BASE(a);
        const bool owns = PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA);
        if (base) {
            if (Py_IS_TYPE(base, g_buffer_type) && Py_REFCNT(base) == 1 && !owns && g_kept.nviews < Kept::kCapacity) {
                g_kept.views[g_kept.nviews++] = array;
                return;
            }
        } else if (owns && PyArray_DIM(a, 0) == 0 && PyArray_DESCR(a) == g_float64 && g_kept.nempties < Kept::kCapacity) {
            g_kept.empties[g_kept.nempties++] = array;
            return;
        }
    }
    Py_DECREF(array);
}

namespace {

// The flags NumPy gives a writable one-dimensional array whose stride is its item size (contiguous
// both ways; aligned when the data address is a multiple of the element type's alignment).
int new_flags(const void* data, npy_intp count, int alignment, int owned) {
    bool aligned = count == 0 || reinterpret_cast<uintptr_t>(data) % uintptr_t(alignment) == 0;
    return NPY_ARRAY_WRITEABLE | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS | (aligned ? NPY_ARRAY_ALIGNED : 0) |
           owned;
}

SdkBuffer* new_buffer(const ElementType& type, const void* data, Py_ssize_t count) {
    auto* b = PyObject_New(SdkBuffer, g_buffer_type);
    if (!b) return nullptr;
    b->data = const_cast<void*>(data);
    b->shape = count;
    b->itemsize = type.itemsize;
    b->format = type.format;
    return b;
}

PyObject* view(const Element& kind, unsigned long long count, const void* data) {
    if (count == 0 || !data) {
        if (g_kept.nempties) {
            PyObject* array = g_kept.empties[--g_kept.nempties];
            compat::renew(array, nullptr, 0, sizeof(double), g_float64, new_flags(nullptr, 0, alignof(double), NPY_ARRAY_OWNDATA));
            return array;
        }
        npy_intp zero = 0;
        return PyArray_EMPTY(1, &zero, NPY_DOUBLE, 0);
    }
    const Py_ssize_t itemsize = kind.type->itemsize;
    if (count > (unsigned long long)(PY_SSIZE_T_MAX / itemsize)) {
        PyErr_Format(PyExc_OverflowError, "a delivery of %llu records of %zd bytes cannot be addressed", count,
                     itemsize);
        return nullptr;
    }
    if (g_kept.nviews) {
        PyObject* array = g_kept.views[--g_kept.nviews];
        auto* b = reinterpret_cast<SdkBuffer*>(PyArray_BASE(as_array(array)));
        b->data = const_cast<void*>(data);
        b->shape = Py_ssize_t(count);
        b->itemsize = itemsize;
        b->format = kind.type->format;
        compat::renew(array, static_cast<char*>(b->data), npy_intp(count), itemsize, kind.descr,
                      new_flags(data, npy_intp(count), kind.alignment, 0));
        return array;
    }
    SdkBuffer* b = new_buffer(*kind.type, data, Py_ssize_t(count));
    if (!b) return nullptr;
    Ref base = Ref::steal(reinterpret_cast<PyObject*>(b));
    npy_intp dims = npy_intp(count);
    Py_INCREF(kind.descr);  // stolen by the array
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, kind.descr, 1, &dims, nullptr, b->data,
                                                NPY_ARRAY_CARRAY, nullptr));
    if (!array || PyArray_SetBaseObject(as_array(array.get()), base.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace

PyObject* view(DeliveryKind kind, int place, unsigned long long count, const void* data) {
    const Element* e = unsigned(kind) < unsigned(DeliveryKind::Count) && unsigned(place) < unsigned(kMaxArrays)
                           ? g_by_kind[int(kind)][place]
                           : nullptr;
    if (!e) {
        PyErr_Format(PyExc_SystemError, "a delivery of kind %d has no array %d", int(kind), place);
        return nullptr;
    }
    return view(*e, count, data);
}

PyObject* stamps_view(unsigned long long count, const void* data) { return view(*g_stamps, count, data); }

bool viewed(PyObject* array) {
    if (!Py_IS_TYPE(array, &PyArray_Type)) return false;
    PyObject* base = PyArray_BASE(as_array(array));
    return base && Py_IS_TYPE(base, g_buffer_type) && (Py_REFCNT(array) > 1 || Py_REFCNT(base) > 1);
}

namespace {

// The element type NumPy reads from a buffer format, through an SdkBuffer of one item ("I" is
// NumPy's unsigned int and "Q" its unsigned long long: equal to, but not the same type number as,
// its uint64). Declared once as the format, the dtype follows from it.
PyArray_Descr* descr_from_format(const ElementType& type) {
    alignas(16) static char item[16];
    SdkBuffer* b = new_buffer(type, item, 1);
    if (!b) return nullptr;
    Ref buffer = Ref::steal(reinterpret_cast<PyObject*>(b));
    Ref array = Ref::steal(PyArray_FromAny(buffer.get(), nullptr, 1, 1, 0, nullptr));
    if (!array) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_ITEMSIZE(a) != type.itemsize) {
        PyErr_Format(PyExc_SystemError, "the buffer format %s gives items of %d bytes", type.format,
                     int(PyArray_ITEMSIZE(a)));
        return nullptr;
    }
    PyArray_Descr* descr = PyArray_DESCR(a);
    Py_INCREF(descr);
    return descr;
}

}  // namespace

PyObject* element_type(const ElementType& type) {
    const Element* e = find_element(type);
    return e ? reinterpret_cast<PyObject*>(e->descr) : nullptr;  // every element type of the table has one
}

bool init_arrays(const char* buffer_type_name) {
    g_buffer_type = make_sdk_buffer_type(buffer_type_name, "A buffer of the SDK, exposed to the arrays of one delivery.");
    if (!g_buffer_type) return false;
    g_float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (!g_float64) return false;
    for (size_t i = 0; i < std::size(g_elements); ++i) {
        Element& e = g_elements[i];
        e.type = readout::kElements[i];
        if (!(e.descr = descr_from_format(*e.type))) return false;
        e.alignment = int(PyDataType_ALIGNMENT(e.descr));
    }
    g_stamps = find_element(kU64);
    for (int k = 0; k < int(DeliveryKind::Count); ++k)
        for (int i = 0; i < kKinds[k].arrays; ++i)
            if (!(g_by_kind[k][i] = find_element(*kKinds[k].types[i]))) {
                PyErr_Format(PyExc_SystemError, "the array %d of a %s delivery has no element type", i, kKinds[k].name);
                return false;
            }
    return true;
}

}  // namespace zorv
