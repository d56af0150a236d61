// zorvsdk.context: _Context, the owner of one SDK context.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyTypeObject* g_context_type;

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) > 0 || (kwds && PyDict_GET_SIZE(kwds) > 0)) {
        static NoParams params("__cinit__");
        Ref names = kwds && PyDict_GET_SIZE(kwds) > 0 ? Ref::steal(PyDict_Keys(kwds)) : Ref();
        Ref tuple = names ? Ref::steal(PyList_AsTuple(names.get())) : Ref();
        params.parse(PyTuple_GET_SIZE(args), tuple.get());
        return nullptr;
    }
    zorv_ctx_t* handle = nullptr;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_ctx_create(&handle);
    Py_END_ALLOW_THREADS
    if (status < 0 || !handle) {
        const char* text = "";
        zorv_ctx_get_last_error(nullptr, &text);
        if (!throw_status(status < 0 ? status : -1, text)) throw_status(-1, text);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        zorv_ctx_destroy(handle);
        return nullptr;
    }
    reinterpret_cast<ContextObject*>(self)->c_zorvCtx = handle;
    return self;
}

void context_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    zorv_ctx_t* handle = reinterpret_cast<ContextObject*>(self)->c_zorvCtx;
    if (handle) {
        // Destroying joins the library's threads, which may need the interpreter lock to finish.
        Py_BEGIN_ALLOW_THREADS
        zorv_ctx_destroy(handle);
        Py_END_ALLOW_THREADS
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* m) {
    g_context_type = make_type("zorvsdk.context._Context",
                               "\n    SDK context of one device session.\n"
                               "    Created by :obj:`~zorvsdk.zorv.Device`; the context is released with the last reference.\n    ",
                               sizeof(ContextObject), kMethods,
                               {{Py_tp_new, reinterpret_cast<void*>(context_new)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
                                {Py_tp_traverse, nullptr},
                                {Py_tp_clear, nullptr}},
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
    if (!g_context_type || !add_type(m, g_context_type)) return -1;
    return import_exceptions(m) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(context, "The SDK context owned by a Device.", exec)
