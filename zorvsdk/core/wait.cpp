#include "wait.hpp"

#include "gil.hpp"
#include "status.hpp"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace zorv {

namespace {

// The context's last error, read on the thread that made the failed call, without the lock.
std::string last_error(zorv_ctx_t* ctx) {
    const char* text = "";
    zorv_ctx_get_last_error(ctx, &text);
    return text ? text : "";
}

// The call made here: its failure's text read after `before_error`. A thread that the interpreter
// ends at exit is unwound from where it takes the lock back. The result is a local of this frame, so
// that the unwind's first cleanup runs here: run first in a caller, over the stack of this frame,
// the sanitizer build reports it as an overflow.
bool call_in_place(const BlockingCall& c, CallResult& result) {
    CallResult r;
    Py_BEGIN_ALLOW_THREADS
    r.status = c.call();
    Py_END_ALLOW_THREADS
    if (r.status < 0) {
        if (c.before_error && !c.before_error()) return false;
        Py_BEGIN_ALLOW_THREADS
        r.error = last_error(c.ctx);
        Py_END_ALLOW_THREADS
    }
    result = std::move(r);
    return true;
}

// How often the waiting main thread runs the signal handlers.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// One call on a helper thread. Whoever finishes last lets go of it: the waiter, or the helper
// thread once the waiter has stopped waiting (it then also releases the reference it was handed).
// A failure's text is read on the helper thread, at once, or (`read_later`) when the waiter asks
// for it after its own wait; a waiter that leaves lets the helper go without it.
struct Job {
    std::mutex m;
    std::condition_variable cv;
    zorv_ctx_t* ctx = nullptr;
    std::function<int()> call;
    bool read_later = false;
    CallResult result;
    bool done = false;
    bool read_now = false, error_read = false, left = false;
    PyObject* abandoned = nullptr;  // the waiter left: this reference is the helper's to release

    void run() {
        int status = call();
        PyObject* keep;
        {
            std::unique_lock<std::mutex> l(m);
            result.status = status;
            done = true;
            cv.notify_all();
            if (status < 0) {
                if (read_later) cv.wait(l, [&] { return read_now || left; });
                if (!left) result.error = last_error(ctx);
                error_read = true;
                cv.notify_all();
            }
            keep = abandoned;
        }
        if (keep) {
            Gil gil;  // refused once the interpreter is exiting: the reference is left to it
            if (gil.ok()) Py_DECREF(keep);
        }
    }

    // Waits with the lock released until the call returns (true) or a handler raises (false).
    bool wait() {
        for (;;) {
            PyThreadState* state = PyEval_SaveThread();
            bool finished;
            {
                std::unique_lock<std::mutex> l(m);
                finished = cv.wait_for(l, kSignalPoll, [&] { return done; });
            }
            PyEval_RestoreThread(state);
            if (finished) return true;
            if (PyErr_CheckSignals() < 0) return false;
        }
    }

    // The result of a call that returned, its failure's text read now (the lock released meanwhile).
    CallResult take() {
        CallResult r;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> l(m);
            read_now = true;
            cv.notify_all();
            cv.wait(l, [&] { return result.status >= 0 || error_read; });
            r = std::move(result);
        }
        Py_END_ALLOW_THREADS
        return r;
    }

    // The waiter leaves while the call goes on (or before its text is read): hands its reference to
    // `keep` to the helper when the call has not returned.
    void abandon(Ref& keep) {
        std::lock_guard<std::mutex> l(m);
        if (!done) abandoned = keep.release();
        left = true;
        cv.notify_all();
    }
};

}  // namespace

bool run_detached(std::function<void()> fn) noexcept {
    std::function<void()>* owned;
    try {
        owned = new std::function<void()>(std::move(fn));
    } catch (...) {
        return false;
    }
    pthread_attr_t attr;
    pthread_t thread;
    bool made = pthread_attr_init(&attr) == 0;
    if (made) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        made = pthread_create(&thread, &attr, [](void* arg) -> void* {
            std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(arg));
            (*f)();
            return nullptr;
        }, owned) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!made) delete owned;
    return made;
}

bool CallResult::check() const { return status >= 0 || !throw_status(status, error.c_str()); }

bool call_blocking(BlockingCall&& c, CallResult& result) {
    if (!compat::is_main_thread()) return call_in_place(c, result);
    Ref keep = Ref::borrow(c.keep);
    std::shared_ptr<Job> job;
    try {
        job = std::make_shared<Job>();
        job->ctx = c.ctx;
        job->call = c.call;
        job->read_later = bool(c.before_error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (!run_detached([job] { job->run(); })) return call_in_place(c, result);  // no thread to be had
    if (job->wait()) {
        if (job->result.status < 0 && c.before_error && !c.before_error()) {
            job->abandon(keep);
            return false;
        }
        result = job->take();
        return true;
    }
    // Interrupted: the handler's exception is raised once the wait ends.
    if (c.on_interrupt) {
        PyObject* interrupt = compat::take_exception();
        bool go_on = c.on_interrupt();
        if (!go_on || PyErr_Occurred()) PyErr_Clear();
        if (go_on && job->wait()) {
            compat::set_exception(interrupt);
            job->abandon(keep);
            return false;
        }
        if (go_on) {  // a second interrupt: the first one is raised
            PyErr_Clear();
        }
        compat::set_exception(interrupt);
    }
    job->abandon(keep);
    return false;
}

bool call_detached(PyObject* keep, zorv_ctx_t* ctx, std::function<int()> call) {
    Ref held = Ref::borrow(keep);
    std::shared_ptr<Job> job;
    try {
        job = std::make_shared<Job>();
        job->ctx = ctx;
        job->call = std::move(call);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    job->abandon(held);
    if (!run_detached([job] { job->run(); })) {
        Py_XDECREF(std::exchange(job->abandoned, nullptr));
        PyErr_SetString(PyExc_RuntimeError, "no thread can be started for the call");
        return false;
    }
    return true;
}

// How often a thread waiting for the mode lock gives the interpreter a chance (and Ctrl-C).
constexpr auto kModePoll = std::chrono::milliseconds(20);

bool ModeHold::take(PyObject* component) {
    if (!handle_of(component)) return false;
    context_ = Ref::borrow(reinterpret_cast<ComponentObject*>(component)->context);
    ModeLock* lock = reinterpret_cast<ContextObject*>(context_.get())->mode_lock;
    if (!lock) {
        context_ = Ref();
        raise(Exc::InvalidOperation, "this object's device context has no readout-mode lock");
        return false;
    }
    const unsigned long me = PyThread_get_thread_ident();
    if (lock->owner.load() == me) {  // a selection made by Python code that a registration runs
        ++lock->depth;
        held_ = lock;
        return true;
    }
    for (bool got = lock->mutex.try_lock(); !got;) {
        Py_BEGIN_ALLOW_THREADS
        got = lock->mutex.try_lock_for(kModePoll);
        Py_END_ALLOW_THREADS
        if (!got && PyErr_CheckSignals() < 0) {
            context_ = Ref();
            return false;
        }
    }
    lock->owner.store(me);
    lock->depth = 1;
    held_ = lock;
    return true;
}

void ModeHold::release() {
    ModeLock* lock = std::exchange(held_, nullptr);
    if (!lock) return;
    if (--lock->depth == 0) {
        lock->owner.store(0);
        lock->mutex.unlock();
    }
    context_ = Ref();
}

}  // namespace zorv
