// Renewing an ndarray in place: the one place where the package writes NumPy's array struct.
//
// NumPy has no public call that points an existing array at other memory, and making and freeing
// an ndarray costs more than the rest of a delivery's work, so the arrays of deliveries are kept
// in a pool and renewed (arrays.cpp). That needs the array struct, which NumPy still declares but
// calls internal. It is used only with the layouts known here (NumPy 1.x and 2.x headers, whose
// fields up to the weak-reference list are the same, so a module built against 2.x runs on 1.26);
// with another layout, or built with ZORV_PUBLIC_ONLY, kRenewable is false: nothing is kept and
// every array is made anew through the public calls. bench/compare.py, both builds in interleaved
// rounds, gave a dd-toa-tot delivery (four arrays) 0.35 us net with the pool and 0.92 us without it,
// 0.60 against 1.18 us for dd-toa-tot-vec (docs/architecture.md, "Interfaces of CPython and NumPy").
#pragma once

#include "numpy.hpp"

#include <cstdint>

namespace zorv::compat {

#if NPY_ABI_VERSION <= 0x02000000 && !defined(ZORV_PUBLIC_ONLY)
inline constexpr bool kRenewable = true;

// `array` is a one-dimensional ndarray that only the caller refers to (no other reference, weak
// reference or pending write-back), so that renewing it changes nothing anybody can see.
inline bool renewable(PyObject* array) {
    if (Py_REFCNT(array) != 1 || !Py_IS_TYPE(array, &PyArray_Type)) return false;
    auto* f = reinterpret_cast<PyArrayObject_fields*>(array);
    return f->nd == 1 && !f->weakreflist && !(f->flags & NPY_ARRAY_WRITEBACKIFCOPY);
}

// Points a renewable array at `count` elements of `descr` from `data` (its own data for an owning
// array: null), one `stride` apart, with `flags` as the only flags, as NumPy sets them on a new
// array.
inline void renew(PyObject* array, char* data, npy_intp count, npy_intp stride, PyArray_Descr* descr, int flags) {
    auto* f = reinterpret_cast<PyArrayObject_fields*>(array);
    if (data) f->data = data;
    f->dimensions[0] = count;
    f->strides[0] = stride;
    if (f->descr != descr) {
        PyArray_Descr* old = f->descr;
        Py_INCREF(descr);
        f->descr = descr;
        Py_DECREF(old);
    }
    f->flags = flags;
}
#else
inline constexpr bool kRenewable = false;
inline bool renewable(PyObject*) { return false; }
inline void renew(PyObject*, char*, npy_intp, npy_intp, PyArray_Descr*, int) {}
#endif

}  // namespace zorv::compat
