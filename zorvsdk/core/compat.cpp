#include "compat.hpp"

#include "ref.hpp"

#include <pthread.h>

#include <atomic>

namespace zorv::compat {

namespace {

std::atomic<unsigned long> g_main_thread{0};
std::atomic<bool> g_main_known{false};

void after_fork_in_child() { g_main_thread.store(PyThread_get_thread_ident()); }

}  // namespace

bool remember_main_thread() {
    if (g_main_known.load()) return true;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) return false;
    unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    g_main_thread.store(value);
    g_main_known.store(true);
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}

bool is_main_thread() { return g_main_known.load() && PyThread_get_thread_ident() == g_main_thread.load(); }

}  // namespace zorv::compat
