// zorvsdk.context: _Context, the owner of one SDK context.
//
// The module also keeps the live contexts, so that when the interpreter begins to exit (an atexit
// step, before finalization) every device still open is closed: the SDK stops its deliveries and
// joins its threads while the interpreter still works, and the package's entry gate is closed
// (core/gil.hpp), so that nothing arriving later touches the interpreter.
#include "core/component.hpp"
#include "core/gil.hpp"
#include "core/wait.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <pthread.h>
#include <vector>

using namespace zorv;

namespace {

PyTypeObject* g_context_type;

// The contexts alive, touched only with the interpreter lock held.
std::vector<ContextObject*>* g_live;

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) > 0 || (kwds && PyDict_GET_SIZE(kwds) > 0)) {
        static NoParams params("__cinit__");
        Ref names = kwds && PyDict_GET_SIZE(kwds) > 0 ? Ref::steal(PyDict_Keys(kwds)) : Ref();
        Ref tuple = names ? Ref::steal(PyList_AsTuple(names.get())) : Ref();
        params.parse(PyTuple_GET_SIZE(args), tuple.get());
        return nullptr;
    }
    zorv_ctx_t* handle = nullptr;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_ctx_create(&handle);
    Py_END_ALLOW_THREADS
    if (status < 0 || !handle) {
        const char* text = "";
        zorv_ctx_get_last_error(nullptr, &text);
        if (!throw_status(status < 0 ? status : -1, text)) throw_status(-1, text);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        try {
            reinterpret_cast<ContextObject*>(self)->mode_lock = new ModeLock;
            g_live->push_back(reinterpret_cast<ContextObject*>(self));
        } catch (const std::bad_alloc&) {
            Py_DECREF(self);  // no handle yet: nothing to destroy
            self = nullptr;
            PyErr_NoMemory();
        }
    }
    if (!self) {
        Py_BEGIN_ALLOW_THREADS
        zorv_ctx_destroy(handle);
        Py_END_ALLOW_THREADS
        return nullptr;
    }
    reinterpret_cast<ContextObject*>(self)->c_zorvCtx = handle;
    return self;
}

void context_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* c = reinterpret_cast<ContextObject*>(self);
    g_live->erase(std::remove(g_live->begin(), g_live->end(), c), g_live->end());
    zorv_ctx_t* handle = c->c_zorvCtx;
    if (handle) {
        // Destroying joins the library's threads, which may need the interpreter lock to finish.
        Py_BEGIN_ALLOW_THREADS
        zorv_ctx_destroy(handle);
        Py_END_ALLOW_THREADS
    }
    delete std::exchange(c->mode_lock, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

// A child process has only the thread that forked: a mode lock that another thread held is free.
void after_fork_in_child() {
    if (!g_live) return;
    for (ContextObject* c : *g_live)
        if (c->mode_lock && c->mode_lock->owner.load() != PyThread_get_thread_ident()) {
            c->mode_lock->~ModeLock();
            new (c->mode_lock) ModeLock;
        }
}

Methods methods;

// Closing a device waits for its deliveries in progress. A data callable that never returns (one
// blocked on a full queue that nobody drains any more) must not hold the exit: the closes are
// waited for this long at most, then the interpreter exits with the deliveries left running.
constexpr double kCloseSeconds = 2.0;
// Entries of library threads still in progress once the devices are closed (log lines of other
// SDK threads) are waited for this long at most; after closes that did not finish, shorter.
constexpr double kDrainSeconds = 5.0;
constexpr double kStuckDrainSeconds = 0.5;

struct Closing {
    std::mutex m;
    std::condition_variable cv;
    std::vector<zorv_ctx_t*> handles;
    bool done = false;

    void run() {
        for (zorv_ctx_t* handle : handles) {
            int opened = 0;
            if (zorv_dev_is_opened(handle, &opened) >= 0 && opened) zorv_dev_close(handle);
        }
        std::lock_guard<std::mutex> l(m);
        done = true;
        cv.notify_all();
    }
};

// The atexit step: closes every device still open, with the interpreter lock released, then
// closes the entry gate.
PyObject* close_open_devices(PyObject*, PyObject*) {
    std::vector<Ref> held;  // keeps each context alive while the lock is released
    auto closing = std::make_shared<Closing>();
    try {
        for (ContextObject* c : *g_live) {
            if (!c->c_zorvCtx) continue;
            held.push_back(Ref::borrow(reinterpret_cast<PyObject*>(c)));
            closing->handles.push_back(c->c_zorvCtx);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    bool finished = true;
    Py_BEGIN_ALLOW_THREADS
    if (run_detached([closing] { closing->run(); })) {
        std::unique_lock<std::mutex> l(closing->m);
        finished = closing->cv.wait_for(l, std::chrono::duration<double>(kCloseSeconds), [&] { return closing->done; });
    } else {  // no thread to be had: closed here, however long it takes
        closing->run();
    }
    Py_END_ALLOW_THREADS
    if (!finished) {
        // The contexts stay alive for as long as their closes may run: they are not released.
        for (Ref& r : held) r.release();
        PySys_WriteStderr("zorvsdk: deliveries were still running at exit (a data callable did not return); "
                          "the interpreter exits without waiting for them\n");
    }
    if (!close_gate(finished ? kDrainSeconds : kStuckDrainSeconds)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kAtExit = {"_close_open_devices", close_open_devices, METH_NOARGS,
                       "Closes every device still open when the interpreter begins to exit."};

bool register_at_exit(PyObject* m) {
    Ref name = Ref::steal(PyModule_GetNameObject(m));
    Ref fn = name ? Ref::steal(PyCFunction_NewEx(&kAtExit, nullptr, name.get())) : Ref();
    Ref atexit = fn ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
    Ref done = atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get())) : Ref();
    return bool(done);
}

int exec(PyObject* m) {
    g_live = new (std::nothrow) std::vector<ContextObject*>;  // for the life of the process
    if (!g_live) {
        PyErr_NoMemory();
        return -1;
    }
    if (!bind_gate() || !register_at_exit(m)) return -1;
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    g_context_type = make_type("zorvsdk.context._Context",
                               "\n    SDK context of one device session.\n"
                               "    Created by :obj:`~zorvsdk.zorv.Device`; the context is released with the last reference.\n    ",
                               sizeof(ContextObject), methods.table(),
                               {{Py_tp_new, reinterpret_cast<void*>(context_new)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
                                {Py_tp_traverse, nullptr},
                                {Py_tp_clear, nullptr}},
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
    if (!g_context_type || !add_type(m, g_context_type)) return -1;
    return import_exceptions(m) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(context, "The SDK context owned by a Device.", exec)
