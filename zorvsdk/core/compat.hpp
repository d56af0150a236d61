// What differs between the CPython versions the package supports (3.11, 3.12 and 3.13), and the two
// places where the package leans on a layout that CPython or NumPy do not promise, each behind one
// name. Everything else in the package uses public interfaces only.
//
// Building with ZORV_PUBLIC_ONLY (cmake -DZORV_PUBLIC_ONLY=ON) takes the public path everywhere a
// version allows one: that is how the bench weighs what each guarded shortcut is worth.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zorv::compat {

// ---- the pending exception ----------------------------------------------------------------------

// Takes the pending exception (a new reference, or null when none is pending) and clears it.
// Before 3.12 the three parts are normalized into the value, which then carries its traceback, so
// that one object stands for the exception on every version.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // deprecated from 3.12 on, where the branch above is taken
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Sets `exception` (taken over; null clears) as the pending exception.
inline void set_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (!exception) return PyErr_Clear();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

// ---- the interpreter's state ----------------------------------------------------------------------

// The interpreter is finalizing. Asked without the interpreter lock, by a library thread about to
// take it: 3.13 made the test public; before it the same function had an underscore, and there is
// no other test that needs no lock.
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The calling thread is the interpreter's main thread, the one that runs the signal handlers.
// remember_main_thread() is called (lock held) when a module is created; a fork makes the forking
// thread the child's main thread, as the interpreter does.
bool remember_main_thread();
bool is_main_thread();

// Reports the pending exception through sys.unraisablehook, the hook's message "Exception ignored
// <what>" and its object `obj` (may be null), and clears it. 3.13 has the public call; before it the
// only call that hands the hook a message of the caller's has an underscore (PyErr_WriteUnraisable
// alone would report "Exception ignored in" and lose what failed). On 3.13 the object is part of
// the message, since the public call hands the hook none.
inline void write_unraisable(const char* what, PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    if (obj)
        PyErr_FormatUnraisable("Exception ignored %s: %R", what, obj);
    else
        PyErr_FormatUnraisable("Exception ignored %s", what);
#else
    _PyErr_WriteUnraisableMsg(what, obj);
#endif
}

// ---- method calls ---------------------------------------------------------------------------------

// The C function of `self`'s method `name` when attribute lookup would find one of the package's
// own methods on the type and nothing could stand before it (no instance dictionary, the generic
// lookup, the class attribute still a method descriptor of a METH_FASTCALL | METH_KEYWORDS method
// that applies to `self`); null otherwise, with no exception set, and the caller takes the
// ordinary path.
//
// The type's attribute is looked up without a reference and without the descriptor protocol
// through the interpreter's own underscore lookup, where it is known (3.11 to 3.13), because it
// pays: bench/compare.py, this build against one with -DZORV_PUBLIC_ONLY=ON in interleaved rounds on
// a loaded two-core machine, gave chip.getChipIds (four chips) 1141 against 1494 ns a call (medians
// of 8 rounds; the rounds ranged over 90% to 200% of their median). docs/architecture.md, "Interfaces
// of CPython and NumPy", has the run. With ZORV_PUBLIC_ONLY, or on a later version, the method is
// called the ordinary way.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline FastMethod own_method(PyObject* self, PyObject* name) {
#if PY_VERSION_HEX < 0x030E0000 && !defined(ZORV_PUBLIC_ONLY)
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0) return nullptr;
    PyObject* found = _PyType_Lookup(type, name);  // borrowed
    if (!found || !Py_IS_TYPE(found, &PyMethodDescr_Type)) return nullptr;
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
    if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS) || !PyObject_TypeCheck(self, PyDescr_TYPE(found)))
        return nullptr;
    return reinterpret_cast<FastMethod>(reinterpret_cast<void (*)()>(def->ml_meth));
#else
    (void)self;
    (void)name;
    return nullptr;
#endif
}

}  // namespace zorv::compat
