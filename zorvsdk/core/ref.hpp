// An owning reference to an interpreter object, so that no function needs hand-written cleanup.
#pragma once

#include "compat.hpp"

#include <utility>

namespace zorv {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (null is allowed and means "failed").
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets the pending exception aside while other work runs, and sets it back when the scope ends
// (lock held): a callback entered on a thread that waits with an exception of its own, a
// finalizer, a report that must not lose what it reports.
class ErrorScope {
public:
    ErrorScope() : exception_(compat::take_exception()) {}
    ~ErrorScope() { compat::set_exception(exception_); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;
    bool pending() const { return exception_ != nullptr; }
    // A new reference to the exception set aside (null when none was pending).
    PyObject* value() const { return Py_XNewRef(exception_); }

private:
    PyObject* exception_;
};

}  // namespace zorv
