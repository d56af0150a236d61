#include "gil.hpp"

namespace zorv {

namespace {

// Owns the thread state that the first entry made on a library thread. The state API's counter
// of that thread state stays one above what the entries bring it to, so that leaving an entry
// gives the lock back but keeps the state; the thread's end takes the last count and deletes it.
struct KeptThreadState {
    bool kept = false;
    ~KeptThreadState() {
        if (!kept || !Py_IsInitialized() || _Py_IsFinalizing()) return;  // never touch a finalizing interpreter
        PyGILState_Ensure();
        PyGILState_Release(PyGILState_LOCKED);    // this entry
        PyGILState_Release(PyGILState_UNLOCKED);  // the kept count: clears and deletes the state
    }
};

thread_local KeptThreadState t_kept;

}  // namespace

Gil::Gil() {
    if (_Py_IsFinalizing()) return;
    if (!t_kept.kept && !PyGILState_GetThisThreadState()) {
        PyGILState_Ensure();  // makes the thread state, count 1
        PyEval_SaveThread();
        t_kept.kept = true;
    }
    state_ = PyGILState_Ensure();
    ok_ = true;
}

Gil::~Gil() {
    if (ok_) PyGILState_Release(state_);
}

}  // namespace zorv
