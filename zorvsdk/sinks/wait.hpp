// Waits of Python threads for a sink: the interpreter lock given up while waiting, in slices, so
// that Ctrl-C is answered.
#pragma once

#include "fork.hpp"

#include "zorvsdk/core/ref.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zorv::sinks {

using Clock = std::chrono::steady_clock;

// Waits until `attempt` (run with `mu` held) returns non-zero, `timeout` seconds pass (negative:
// never), the deliveries of `sink` have ended (it starved and settled: it was handed to the SDK and
// no registration of it is fed any more, so nothing more can come; null: a wait on the sink's own
// work, which never ends so), or a signal handler raises. Called with the interpreter lock held; it
// is given up while waiting, in slices, so that Ctrl-C is answered and the end of the deliveries
// seen within a slice. Returns what attempt returned, 0 on timeout or at the end of the
// deliveries, or -1 with the handler's exception set.
template <class Attempt>
int wait_for(const Sink* sink, std::mutex& mu, std::condition_variable& cv, int& waiters, double timeout, Attempt attempt) {
    constexpr double kSlice = 0.05;
    bool over = false;  // with `mu` held: nothing more can come
    auto ready = [&] {
        if (int got = attempt()) return got;
        over = sink && sink->starved() && sink->settled();
        return 0;
    };
    {
        std::lock_guard<std::mutex> lock(mu);
        if (int got = ready()) return got;
        if (over) return 0;
    }
    const auto start = Clock::now();
    for (;;) {
        double left = timeout < 0 ? kSlice : timeout - std::chrono::duration<double>(Clock::now() - start).count();
        if (left <= 0) return 0;
        int got = 0;
        PyThreadState* ts = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(mu);
            ++waiters;
            cv.wait_for(lock, std::chrono::duration<double>(std::min(left, kSlice)), [&] { return (got = ready()) != 0 || over; });
            --waiters;
        }
        PyEval_RestoreThread(ts);
        if (got) return got;
        if (over) return 0;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// None (or left out): wait for ever (-1); else a number of seconds, as queue.Queue takes it.
inline bool to_timeout(PyObject* value, double& out, const char* what = "timeout") {
    out = -1;
    if (!value || value == Py_None) return true;
    out = PyFloat_AsDouble(value);
    if (out == -1 && PyErr_Occurred()) return false;
    if (!(out >= 0)) {
        PyErr_Format(PyExc_ValueError, "'%s' must be a non-negative number", what);
        return false;
    }
    return true;
}


}  // namespace zorv::sinks
