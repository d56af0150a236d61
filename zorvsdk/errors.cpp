// zorvsdk.errors: the exception classes of the SDK's failure statuses, under one base class.
#include <string>

#include "core/method.hpp"
#include "core/module.hpp"
#include "core/statuses.hpp"

#include <climits>

using namespace zorv;

namespace {

PyObject* g_classes[kExceptionCount];

Methods functions;

PyObject* _throwZorvError(PyObject*, PyObject* status, PyObject* operation) {
    long value = PyLong_AsLong(status);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    int index = value < INT32_MIN || value > INT32_MAX ? -1 : exception_index(int(value));
    if (index < 0) Py_RETURN_NONE;  // no exception belongs to this status
    Ref text = Ref::steal(PyUnicode_FromFormat("%S failed with status %ld", operation, value));
    if (!text) return nullptr;
    PyErr_SetObject(g_classes[index], text.get());
    return nullptr;
}
ZORV_FUNCTION(functions, _throwZorvError, {"status", "operation"},
              "Raises the exception that belongs to an SDK status, naming the failed operation.");

int exec(PyObject* m) {
    PyObject* base = PyErr_NewExceptionWithDoc("zorvsdk.errors.ZorvSdkException",
                                               "Base class of every exception raised for an SDK failure.",
                                               PyExc_Exception, nullptr);
    if (!base || PyModule_AddObject(m, "ZorvSdkException", base) < 0) return -1;
    for (int i = 0; i < kExceptionCount; ++i) {
        const ExceptionClass& e = kExceptionClasses[i];
        std::string full = std::string("zorvsdk.errors.") + e.name;
        PyObject* cls = PyErr_NewExceptionWithDoc(full.c_str(), e.doc, base, nullptr);
        if (!cls) return -1;
        g_classes[i] = Py_NewRef(cls);
        if (PyModule_AddObject(m, e.name, cls) < 0) return -1;
    }
    return PyModule_AddFunctions(m, functions.table(false));
}

}  // namespace

ZORV_MODULE(errors, "Exception classes of the SDK's failure statuses.", exec)
