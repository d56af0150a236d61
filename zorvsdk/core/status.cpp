#include "status.hpp"

#include <cstring>

#include "module.hpp"

namespace zorv {

PyObject* exception(Exc which) { return imported().exceptions[int(which)]; }

static PyObject* mapped(int status) {
    switch (status) {
    case -1: return exception(Exc::Internal);
    case -2: return exception(Exc::InvalidOperation);
    case -3: return exception(Exc::InvalidArgument);
    case -4: return exception(Exc::NoMemory);
    case -5: return exception(Exc::Pointer);
    case 102:
    case 103: return exception(Exc::Axi);
    default: return nullptr;
    }
}

bool throw_status(int status, const char* message) {
    PyObject* type = mapped(status);
    if (!type) return false;
    if (!message) message = "";
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, Py_ssize_t(std::strlen(message)), nullptr));
    if (!text) return true;  // the UnicodeDecodeError is raised instead
    Ref exc = Ref::steal(PyObject_CallOneArg(type, text.get()));
    if (exc) PyErr_SetObject(type, exc.get());
    return true;
}

PyObject* raise(Exc which, const char* message) {
    PyErr_SetString(exception(which), message);
    return nullptr;
}

zorv_ctx_t* handle_of(PyObject* self) {
    PyObject* ctx = reinterpret_cast<ComponentObject*>(self)->context;
    if (ctx == Py_None || !ctx) {
        raise(Exc::InvalidOperation,
              "this object has no device context: it was not created by a Device, or it has been cleared");
        return nullptr;
    }
    return reinterpret_cast<ContextObject*>(ctx)->c_zorvCtx;
}

bool check_failure(zorv_ctx_t* ctx, int status) {
    const char* text = "";
    zorv_ctx_get_last_error(ctx, &text);
    return !throw_status(status, text);
}

bool known_closed(zorv_ctx_t* ctx) {
    if (!ctx) return false;
    int opened = 1, status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_dev_is_opened(ctx, &opened);
    Py_END_ALLOW_THREADS
    return status >= 0 && !opened;
}

}  // namespace zorv
