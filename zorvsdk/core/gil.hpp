// Entering the interpreter from a thread that the library owns (log lines, data deliveries) or from
// a Python thread waiting inside an SDK call.
//
// A library thread gets one interpreter thread state on its first entry and keeps it for every
// later one (creating and destroying a thread state each time costs far more than the rest of a
// delivery); it is released when the thread ends. Once the interpreter is finalizing nothing is
// touched: the entry reports that it may not go on, and the caller drops its work.
#pragma once

#include "ref.hpp"

namespace zorv {

class Gil {
public:
    Gil();
    ~Gil();
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;
    // False when the interpreter is finalizing: the lock was not taken.
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    PyGILState_STATE state_{};
};


}  // namespace zorv
