#include "wait.hpp"

#include "gil.hpp"
#include "status.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
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
        std::thread([job] { job->run(); }).detach();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    } catch (const std::system_error&) {  // no thread to be had: the call is made here
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
        job->abandon(held);
        std::thread([job] { job->run(); }).detach();
    } catch (const std::bad_alloc&) {
        if (job) Py_XDECREF(std::exchange(job->abandoned, nullptr));
        PyErr_NoMemory();
        return false;
    } catch (const std::system_error& e) {
        Py_XDECREF(std::exchange(job->abandoned, nullptr));
        PyErr_Format(PyExc_RuntimeError, "no thread can be started for the call: %s", e.what());
        return false;
    }
    return true;
}

}  // namespace zorv
