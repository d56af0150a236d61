#include "sink_api.hpp"

#include "module.hpp"

namespace zorv {

const SinkApi* sink_api_of(PyObject* object) {
    static Name attribute(kSinkAttribute);
    Ref capsule = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), attribute));
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule.get(), kSinkCapsule)) return nullptr;
    auto* api = static_cast<const SinkApi*>(PyCapsule_GetPointer(capsule.get(), kSinkCapsule));
    if (api->version != kSinkApiVersion || api->size < sizeof(SinkApi)) {
        PyErr_Format(PyExc_TypeError, "%.200s is a sink of interface version %u, which this module does not know",
                     Py_TYPE(object)->tp_name, unsigned(api->version));
        return nullptr;
    }
    return api;
}

}  // namespace zorv
