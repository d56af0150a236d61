// A one-dimensional buffer of the SDK exposed through the buffer protocol, with the format of its
// items: the base object of the arrays of a delivery. Header-only, so that the benchmark harness's
// straightforward baseline exposes its buffers the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zorv {

struct SdkBuffer {
    PyObject_HEAD
    void* data;
    Py_ssize_t shape;
    Py_ssize_t itemsize;
    const char* format;
};

inline int sdk_buffer_get(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* b = reinterpret_cast<SdkBuffer*>(self);
    view->obj = Py_NewRef(self);
    view->buf = b->data;
    view->len = b->shape * b->itemsize;
    view->readonly = 0;
    view->itemsize = b->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(b->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &b->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &b->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

inline void sdk_buffer_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The type, named `name`; instances are made only by the package (PyObject_New).
inline PyTypeObject* make_sdk_buffer_type(const char* name, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(sdk_buffer_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(sdk_buffer_get)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {name, int(sizeof(SdkBuffer)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace zorv
