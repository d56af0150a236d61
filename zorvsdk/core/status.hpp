// SDK statuses to exceptions, and the call step shared by every method that calls the SDK:
// the interpreter lock released around exactly one call, the status tested, the last error of
// the same handle fetched, the mapped exception raised.
#pragma once

#include "layouts.hpp"
#include "statuses.hpp"

namespace zorv {

// The six exception classes of zorvsdk.errors, imported when the module loads.
enum class Exc { Internal, InvalidOperation, InvalidArgument, NoMemory, Pointer, Axi, Count };
PyObject* exception(Exc which);

// Raises the exception mapped to `status` with `message` decoded as strict UTF-8 (a null message
// is the empty text). Returns true when it raised; other statuses raise nothing.
bool throw_status(int status, const char* message);

// Raises `which` with a message of the package's own.
PyObject* raise(Exc which, const char* message);

// The context handle of a component object (any object whose layout starts with a context).
// A context of None raises ZorvSdkInvalidOperationError.
zorv_ctx_t* handle_of(PyObject* self);

// Fetches the context's last error and raises by the status; false when it raised.
bool check_failure(zorv_ctx_t* ctx, int status);

// Whether the SDK says clearly that no device is open on `ctx` (asked with the lock released):
// a failure of the question, whatever its status, counts as "may be open".
bool known_closed(zorv_ctx_t* ctx);

// One SDK call with the interpreter lock released around it; its status.
template <class... P, class... A>
inline int sdk_call(zorv_ctx_t* ctx, int (*fn)(zorv_ctx_t*, P...), A... args) {
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = fn(ctx, args...);
    Py_END_ALLOW_THREADS
    return status;
}

// The call step on a context handle: on a failure, the context's last error raised by the
// status. True when the method goes on (success, or a failure that maps to no exception).
template <Failing Which = Failing::Negative, class... P, class... A>
inline bool call_ctx(zorv_ctx_t* ctx, int (*fn)(zorv_ctx_t*, P...), A... args) {
    int status = sdk_call(ctx, fn, args...);
    return !is_failure(status, Which) || check_failure(ctx, status);
}

// The call step on the context of a component object.
template <Failing Which = Failing::Negative, class... P, class... A>
inline bool call(PyObject* self, int (*fn)(zorv_ctx_t*, P...), A... args) {
    zorv_ctx_t* ctx = handle_of(self);
    return ctx && call_ctx<Which>(ctx, fn, args...);
}

// The AXI calls also fail with ZORV_AXI_UNALIGNED and ZORV_AXI_UNMAPPED.
template <class... P, class... A>
inline bool call_axi(PyObject* self, int (*fn)(zorv_ctx_t*, P...), A... args) {
    return call<Failing::NegativeOrAxi>(self, fn, args...);
}

}  // namespace zorv
