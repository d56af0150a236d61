#include "status.hpp"

#include <cstring>

#include "module.hpp"
#include "statuses.hpp"

namespace zorv {

PyObject* exception(Exc which) { return imported().exceptions[int(which)]; }

static PyObject* mapped(int status) {
    int index = exception_index(status);
    return index < 0 ? nullptr : imported().exceptions[index];
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
    int opened = 1;
    return !is_failure(sdk_call(ctx, zorv_dev_is_opened, &opened), Failing::Negative) && !opened;
}

}  // namespace zorv
