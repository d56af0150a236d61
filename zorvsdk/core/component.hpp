// What every component type shares: construction from a _Context, garbage collection, refusal of
// copying and pickling, identifier lists read through the object's own methods.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "layouts.hpp"
#include "module.hpp"
#include "status.hpp"

#include <initializer_list>

namespace zorv {

// The class docstring of a component type: "\n    Bias object.\n    Should not be used ...\n    ".
#define ZORV_COMPONENT_DOC(what) \
    "\n    " what "\n    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.\n    "

// Makes a heap type. `slots` adds to (or replaces) the default component slots.
PyTypeObject* make_type(const char* name, const char* doc, Py_ssize_t basicsize, PyMethodDef* methods,
                        std::initializer_list<PyType_Slot> slots = {}, unsigned long flags = 0);

// The default slots of a component type (layout ComponentObject).
PyObject* component_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
int component_traverse(PyObject* self, visitproc visit, void* arg);
int component_clear(PyObject* self);
void component_dealloc(PyObject* self);

// Type checks of constructor arguments: "Cannot convert %.200s to %.200s".
bool check_instance(PyObject* value, PyTypeObject* type, bool none_ok = true);
inline bool check_context(PyObject* value) { return check_instance(value, imported().context_type); }

// The two methods that refuse copying and pickling.
PyObject* refuse_reduce(PyObject* self, PyObject* unused);
#define ZORV_PICKLING_REFUSED                                                         \
    {"__reduce__", ::zorv::refuse_reduce, METH_NOARGS, nullptr},                      \
    {"__setstate__", ::zorv::refuse_reduce, METH_O, nullptr}

// count = self.<count>(); [self.<id>(i) for i in range(count)]
PyObject* id_list(PyObject* self, PyObject* count_method, PyObject* id_method);

// Shared method bodies of the identifier-list pattern.
// A count method: fn(ctx, &count) with the count preset to `preset`.
PyObject* count_method(PyObject* self, int (*fn)(zorv_ctx_t*, int*), int preset = 0);
// An identifier method: fn(ctx, index, &text), decoded as UTF-8.
PyObject* id_method(PyObject* self, PyObject* index, int (*fn)(zorv_ctx_t*, int, const char**));

}  // namespace zorv
