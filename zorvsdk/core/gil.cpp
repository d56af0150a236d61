#include "gil.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zorv {

namespace {

// The gate of gil.hpp. One per process, shared by every module of the package through a capsule in
// the interpreter's state dictionary, and never freed: a library thread may still test it after the
// interpreter is gone.
struct Gate {
    std::atomic<bool> closed{false};
    std::atomic<long> entries{0};              // entries in progress
    std::atomic<std::thread::id> closer{};     // the thread that closed the gate

    // Both sides use sequentially consistent operations: either an entry sees the gate closed, or
    // the closing thread sees the entry counted and waits for it.
    bool enter() {
        entries.fetch_add(1);
        if (closed.load() && closer.load() != std::this_thread::get_id()) {
            entries.fetch_sub(1);
            return false;
        }
        return true;
    }
    void leave() { entries.fetch_sub(1); }

    // The threads whose entries were counted do not exist in a child process after a fork.
    static void after_fork_in_child();
};

constexpr const char* kGateKey = "zorvsdk.core.gate";
constexpr const char* kGateCapsule = "zorvsdk.core.gate.v1";

std::atomic<Gate*> g_gate{nullptr};  // this module's binding

bool interpreter_usable() { return Py_IsInitialized() && !compat::finalizing(); }

// Owns the thread state that the first entry made on a library thread. The state API's counter
// of that thread state stays one above what the entries bring it to, so that leaving an entry
// gives the lock back but keeps the state; the thread's end takes the last count and deletes it.
// A thread that ends once the interpreter is exiting leaves its state to the interpreter, which
// deletes every thread state when it finalizes.
struct KeptThreadState {
    bool kept = false;
    ~KeptThreadState() {
        if (!kept) return;
        Gate* gate = g_gate.load();
        if (gate && !gate->enter()) return;
        if (interpreter_usable()) {
            PyGILState_Ensure();
            PyGILState_Release(PyGILState_LOCKED);    // this entry
            PyGILState_Release(PyGILState_UNLOCKED);  // the kept count: clears and deletes the state
        }
        if (gate) gate->leave();
    }
};

thread_local KeptThreadState t_kept;

}  // namespace

void Gate::after_fork_in_child() {
    if (Gate* gate = g_gate.load()) gate->entries.store(0);
}

bool bind_gate() {
    if (g_gate.load()) return true;
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dictionary for extension modules");
        return false;
    }
    Gate* gate = nullptr;
    PyObject* capsule = PyDict_GetItemString(dict, kGateKey);  // borrowed; the key is a plain str
    if (capsule) {
        gate = static_cast<Gate*>(PyCapsule_GetPointer(capsule, kGateCapsule));
        if (!gate) return false;
    } else {
        gate = new Gate;
        pthread_atfork(nullptr, nullptr, Gate::after_fork_in_child);  // by the module that made it
        Ref made = Ref::steal(PyCapsule_New(gate, kGateCapsule, nullptr));
        if (!made || PyDict_SetItemString(dict, kGateKey, made.get()) < 0) {
            delete gate;
            return false;
        }
    }
    g_gate.store(gate);
    return true;
}

bool exiting() {
    Gate* gate = g_gate.load();
    return gate && gate->closed.load();
}

bool close_gate(double timeout) {
    if (!bind_gate()) return false;
    Gate* gate = g_gate.load();
    gate->closer.store(std::this_thread::get_id());
    gate->closed.store(true);
    Py_BEGIN_ALLOW_THREADS
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (gate->entries.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
    return true;
}

Gil::Gil() {
    Gate* gate = g_gate.load();
    if (gate) {
        if (!gate->enter()) return;
        counted_ = true;
    }
    if (!interpreter_usable()) {
        if (counted_) gate->leave();
        counted_ = false;
        return;
    }
    if (!t_kept.kept && !PyGILState_GetThisThreadState()) {
        PyGILState_Ensure();  // makes the thread state, count 1
        PyEval_SaveThread();
        t_kept.kept = true;
    }
    state_ = PyGILState_Ensure();
    if (!gate) {  // the first entry of a module that was not bound when it loaded
        {
            ErrorScope waiting;
            if (!bind_gate()) PyErr_Clear();
        }
        gate = g_gate.load();
        if (gate) {
            if (!gate->enter()) {
                PyGILState_Release(state_);
                return;
            }
            counted_ = true;
        }
    }
    ok_ = true;
}

Gil::~Gil() {
    // A thread that the interpreter ended while it ran Python code (it released the lock and found
    // the interpreter finalizing when it took it back) is unwound without the lock: nothing to give.
    if (ok_ && PyGILState_Check()) PyGILState_Release(state_);
    if (counted_) g_gate.load()->leave();
}

}  // namespace zorv
