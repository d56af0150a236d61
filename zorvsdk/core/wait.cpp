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

// The call and, after a failure, the last error: both on the calling thread, without the lock.
CallResult call_here(zorv_ctx_t* ctx, const std::function<int()>& call) {
    CallResult r;
    r.status = call();
    if (r.status < 0) {
        const char* text = "";
        zorv_ctx_get_last_error(ctx, &text);
        r.error = text ? text : "";
    }
    return r;
}

CallResult call_in_place(zorv_ctx_t* ctx, const std::function<int()>& call) {
    CallResult r;
    Py_BEGIN_ALLOW_THREADS
    r = call_here(ctx, call);
    Py_END_ALLOW_THREADS
    return r;
}

// How often the waiting main thread runs the signal handlers.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// One call on a helper thread. Whoever finishes last lets go of it: the waiter, or the helper
// thread once the waiter has stopped waiting (it then also releases the reference it was handed).
struct Job {
    std::mutex m;
    std::condition_variable cv;
    zorv_ctx_t* ctx = nullptr;
    std::function<int()> call;
    CallResult result;
    bool done = false;
    PyObject* abandoned = nullptr;  // the waiter left: this reference is the helper's to release

    void run() {
        CallResult r = call_here(ctx, call);
        PyObject* keep;
        {
            std::lock_guard<std::mutex> l(m);
            result = std::move(r);
            done = true;
            keep = abandoned;
            cv.notify_all();
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

    // The waiter leaves while the call goes on: hands its reference to `keep` to the helper.
    void abandon(Ref& keep) {
        std::lock_guard<std::mutex> l(m);
        if (!done) abandoned = keep.release();
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
    if (!_PyOS_IsMainThread()) {
        result = call_in_place(c.ctx, c.call);
        return true;
    }
    Ref keep = Ref::borrow(c.keep);
    std::shared_ptr<Job> job;
    try {
        job = std::make_shared<Job>();
        job->ctx = c.ctx;
        job->call = std::move(c.call);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (!run_detached([job] { job->run(); })) {  // no thread to be had: the call is made here
        result = call_in_place(job->ctx, job->call);
        return true;
    }
    if (job->wait()) {
        result = std::move(job->result);
        return true;
    }
    // Interrupted: the handler's exception is raised once the wait ends.
    if (c.on_interrupt) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        bool go_on = c.on_interrupt();
        if (!go_on || PyErr_Occurred()) PyErr_Clear();
        if (go_on && job->wait()) {
            PyErr_Restore(type, value, tb);
            return false;
        }
        if (go_on) {  // a second interrupt: the first one is raised
            PyErr_Clear();
        }
        PyErr_Restore(type, value, tb);
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

}  // namespace zorv
