#include "module.hpp"

#include <cstring>

#include "layouts.hpp"
#include "statuses.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zorv_numpy_api
#include <numpy/arrayobject.h>

namespace zorv {

Imported& imported() {
    static Imported i;
    return i;
}

static PyObject* g_module_dict = nullptr;

PyObject* module_dict() { return g_module_dict; }

PyObject* global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_module_dict, name);
    if (v) return Py_NewRef(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* create_module(PyObject* spec, PyModuleDef* def) {
    static int64_t interpreter = -1;
    static bool created = false;
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        interpreter = current;
    } else if (interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    const char* dot = std::strrchr(def->m_name, '.');
    if (created) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     dot ? dot + 1 : def->m_name);
        return nullptr;
    }
    if (!compat::remember_main_thread()) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* m = PyModule_NewObject(name.get());
    if (!m) return nullptr;
    created = true;
    g_module_dict = PyModule_GetDict(m);
    Py_INCREF(g_module_dict);  // the namespace lives for the process, as the module does
    return m;
}

PyTypeObject* import_type(const char* module, const char* name, size_t min_basicsize) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref t = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!t) return nullptr;
    if (!PyType_Check(t.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type", module, name);
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(t.get());
    if (size_t(type->tp_basicsize) < min_basicsize) {
        PyErr_Format(PyExc_ValueError, "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                     module, name, Py_ssize_t(min_basicsize), type->tp_basicsize);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(t.release());  // kept for the life of the process
}

bool import_common(PyObject* module) {
    Imported& im = imported();
    if (!im.context_type) {
        im.context_type = import_type("zorvsdk.context", "_Context", sizeof(ContextObject));
        if (!im.context_type) return false;
    }
    return import_exceptions(module);
}

bool import_exceptions(PyObject* module) {
    Imported& im = imported();
    Ref errors = Ref::steal(PyImport_ImportModule("zorvsdk.errors"));
    if (!errors) return false;
    for (int i = 0; i < kExceptionCount; ++i) {
        if (im.exceptions[i]) continue;
        PyObject* e = PyObject_GetAttrString(errors.get(), kExceptionClasses[i].name);
        if (!e) return false;
        im.exceptions[i] = e;
    }
    return PyModule_AddObjectRef(module, "errors", errors.get()) == 0;
}

bool import_numpy() {
    if (_import_array() < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            Ref cause;
            {
                ErrorScope failed;
                cause = Ref::steal(failed.value());
            }
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "numpy's C interface cannot be imported: %S",
                         cause ? cause.get() : Py_None);
        }
        return false;
    }
    return true;
}

bool add_type(PyObject* module, PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return PyModule_AddObjectRef(module, dot ? dot + 1 : type->tp_name, reinterpret_cast<PyObject*>(type)) == 0;
}

bool add_imports(PyObject* module, std::initializer_list<Import> imports) {
    PyObject* dict = PyModule_GetDict(module);
    if (PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0) return false;
    for (const Import& i : imports) {
        Ref from = Ref::steal(PyImport_ImportModule(i.module));
        if (!from) return false;
        if (i.names.size() == 0 && PyDict_SetItemString(dict, i.as ? i.as : i.module, from.get()) < 0) return false;
        for (const char* name : i.names) {
            Ref value = Ref::steal(PyObject_GetAttrString(from.get(), name));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, i.module);
                return false;
            }
            if (PyDict_SetItemString(dict, name, value.get()) < 0) return false;
        }
    }
    return true;
}

}  // namespace zorv
