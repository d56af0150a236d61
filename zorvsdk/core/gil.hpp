// Entering the interpreter from a thread that the library owns (log lines, data deliveries) or from
// a Python thread waiting inside an SDK call.
//
// A library thread gets one interpreter thread state on its first entry and keeps it for every
// later one (creating and destroying a thread state each time costs far more than the rest of a
// delivery); it is released when the thread ends. Once the interpreter is finalizing nothing is
// touched: the entry reports that it may not go on, and the caller drops its work.
//
// Taking the lock of a finalizing interpreter ends the calling thread (on 3.11 with pthread_exit,
// which unwinds the library's C++ stack), and a test of the finalizing state just before taking it
// leaves a window. So every entry also passes a gate that the whole package shares: when the
// interpreter begins to exit (an atexit step, before finalization), the gate is closed, the entries
// in progress are waited for, and from then on every entry is refused, except on the thread that
// closed it, which is the one that finalizes and may always take the lock.
#pragma once

#include "ref.hpp"

namespace zorv {

class Gil {
public:
    Gil();
    ~Gil();
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;
    // False when the interpreter is finalizing or exiting: the lock was not taken.
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    bool counted_ = false;  // counted among the gate's entries in progress
    PyGILState_STATE state_{};
};

// Binds this module to the gate that every module of the package shares (made by the first one).
// With the interpreter lock held; false with an exception set.
bool bind_gate();

// The interpreter has begun to exit: the gate is closed.
bool exiting();

// Closes the gate and waits, with the interpreter lock released, until the entries in progress
// have left or `timeout` seconds have passed. With the interpreter lock held; false with an
// exception set when the gate could not be reached.
bool close_gate(double timeout);

}  // namespace zorv
