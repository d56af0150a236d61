// zorvsdk.errors: the exception classes of the SDK's failure statuses, under one base class.
#include <string>

#include "core/method.hpp"
#include "core/module.hpp"

using namespace zorv;

namespace {

struct ExceptionDef {
    const char* name;
    const char* doc;
    int status;
};

const ExceptionDef kExceptions[] = {
    {"ZorvSdkInternalException", "Internal failure of the SDK (status -1).", -1},
    {"ZorvSdkInvalidOperationError", "Operation not possible in the present state (status -2).", -2},
    {"ZorvSdkInvalidArgumentError", "Argument refused by the SDK (status -3).", -3},
    {"ZorvSdkNoMemoryException", "The SDK ran out of memory (status -4).", -4},
    {"ZorvSdkPointerException", "Null or invalid pointer given to the SDK (status -5).", -5},
    {"ZorvSdkAxiException", "AXI register access failed (statuses 102 and 103).", 102},
};

PyObject* g_classes[6];

Methods functions;

PyObject* _throwZorvError(PyObject*, PyObject* status, PyObject* operation) {
    long value = PyLong_AsLong(status);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    int index = value >= -5 && value <= -1 ? int(-value - 1) : (value == 102 || value == 103) ? 5 : -1;
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
    for (int i = 0; i < 6; ++i) {
        std::string full = std::string("zorvsdk.errors.") + kExceptions[i].name;
        PyObject* cls = PyErr_NewExceptionWithDoc(full.c_str(), kExceptions[i].doc, base, nullptr);
        if (!cls) return -1;
        g_classes[i] = Py_NewRef(cls);
        if (PyModule_AddObject(m, kExceptions[i].name, cls) < 0) return -1;
    }
    return PyModule_AddFunctions(m, functions.table(false));
}

}  // namespace

ZORV_MODULE(errors, "Exception classes of the SDK's failure statuses.", exec)
