// Module loading: multi-phase initialisation that refuses a second initialisation and a second
// interpreter, the imports every module makes, and the Python names of the module's namespace (its
// record classes among them).
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace zorv {

struct Imported {
    PyTypeObject* context_type = nullptr;  // zorvsdk.context._Context
    PyObject* exceptions[6] = {};           // zorvsdk.errors, in the order of statuses.hpp
};
Imported& imported();

// The create slot of every module.
PyObject* create_module(PyObject* spec, PyModuleDef* def);

// Imports _Context and the six exception classes, and binds `errors` in the module.
bool import_common(PyObject* module);
// Only the exception classes (and `errors`): for zorvsdk.context itself.
bool import_exceptions(PyObject* module);
// A type from another module, checked to have at least the native layout this module reads.
PyTypeObject* import_type(const char* module, const char* name, size_t min_basicsize);
// NumPy's C interface; ImportError when it cannot be imported.
bool import_numpy();
// Adds a type to the module under its own short name ("__Bias").
bool add_type(PyObject* module, PyTypeObject* type);
// What the module's namespace imports, bound as Python's import statements would bind it:
//   {"time"}                               import time
//   {"numpy", {}, "np"}                    import numpy as np
//   {"typing", {"NamedTuple"}}             from typing import NamedTuple
//   {"zorvsdk._records", {"BiasRange"}}    the module's record classes (python/zorvsdk/_records.py)
struct Import {
    const char* module;
    std::initializer_list<const char*> names = {};
    const char* as = nullptr;
};
// Binds __builtins__ (as a module of Python source has it), then each import in order. A record
// class names the module that binds it as its own, so it is shown, documented and pickled there.
bool add_imports(PyObject* module, std::initializer_list<Import> imports);

// The module's namespace (borrowed) and a lookup in it by name at call time (new reference).
PyObject* module_dict();
PyObject* global(PyObject* name);

// An interned name, created on first use.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    PyObject* get() {
        if (!obj_) obj_ = PyUnicode_InternFromString(text_);
        return obj_;
    }
    operator PyObject*() { return get(); }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

}  // namespace zorv

// Defines the module `name` with its docstring and its exec function `int exec(PyObject*)`.
#define ZORV_MODULE(name, doc, exec)                                                         \
    static PyModuleDef_Slot name##_slots[] = {                                               \
        {Py_mod_create, reinterpret_cast<void*>(::zorv::create_module)},                     \
        {Py_mod_exec, reinterpret_cast<void*>(exec)},                                        \
        {0, nullptr}};                                                                       \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, "zorvsdk." #name, doc, 0,       \
                                     nullptr, name##_slots, nullptr, nullptr, nullptr};      \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
