// SDK calls that may wait long (the end of an acquisition, an abort or a close that waits for the
// delivery in progress), made so that Ctrl-C reaches the caller.
//
// Signal handlers run only on the main thread, between bytecodes or while it waits in a call that
// checks for them. So on the main thread such a call is made on a helper thread, while the caller
// waits with the interpreter lock released and runs the signal handlers every few milliseconds;
// elsewhere it is made in place, lock released, as every other SDK call. When a handler raises
// (KeyboardInterrupt), the caller stops waiting; the helper thread finishes the call on its own and
// keeps what the call needs (the context) alive until then.
#pragma once

#include "layouts.hpp"
#include "ref.hpp"

#include <functional>
#include <string>

#include "zorv/device_context.h"

namespace zorv {

struct BlockingCall {
    PyObject* keep;                  // alive until the call has returned (the _Context)
    zorv_ctx_t* ctx;                 // its last error is read on the thread that made the call
    std::function<int()> call;       // one SDK call on `ctx`; owns copies of its arguments
    // Run once, lock held, when a handler raised the first time (its exception set): true to go on
    // waiting until the call returns or a second handler raises.
    std::function<bool()> on_interrupt = {};
    // Run, lock held, after a failure and before its last error is read (still on the thread that
    // made the call, which keeps it until then): false, with an exception set, ends the call there.
    std::function<bool()> before_error = {};
};

// What the call returned, and the context's last error after a failure.
struct CallResult {
    int status = 0;
    std::string error;
    // True when the method goes on: success, or a status that maps to no exception (else raised).
    bool check() const;
};

// Makes the call with the interpreter lock released. True when it returned, with its result in
// `result`; false with the exception of a signal handler (or of `before_error`) set when the caller
// stopped waiting (also when it went on waiting after `on_interrupt` and the call then returned: the
// interrupt is raised).
bool call_blocking(BlockingCall&& c, CallResult& result);

// Runs `fn` on a new thread that nobody joins (created detached, so that no handle of it can be
// mistaken for another thread's, also in a child process after a fork). False when no thread
// could be made.
bool run_detached(std::function<void()> fn) noexcept;

// Starts the call on a helper thread without waiting for it (with the interpreter lock held); the
// helper keeps `keep` alive until the call has returned. False with an exception set when no
// thread could be started.
bool call_detached(PyObject* keep, zorv_ctx_t* ctx, std::function<int()> call);

// Holds the readout-mode lock of a component object's device (layouts.hpp) for its scope, or until
// release(). It is waited for with the interpreter lock released, so that its holder may take the
// interpreter lock meanwhile, and answering Ctrl-C; the context is kept alive while it is held. A
// thread that holds it takes it again at once (a selection made by the Python code that a
// registration runs: the registration keeps the mode it read, and begin refuses it).
class ModeHold {
public:
    ModeHold() = default;
    ~ModeHold() { release(); }
    ModeHold(const ModeHold&) = delete;
    ModeHold& operator=(const ModeHold&) = delete;

    // False with an exception set: no context, or a signal handler raised while waiting.
    bool take(PyObject* component);
    void release();  // with the interpreter lock held

private:
    ModeLock* held_ = nullptr;
    Ref context_;
};

}  // namespace zorv
