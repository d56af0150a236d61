#include "args.hpp"

#include <cstring>

namespace zorv {

bool ParamsBase::fail_count(Py_ssize_t given) {
    bool exact = required_ == count_;
    const char* how;
    size_t expected;
    if (exact) {
        how = "exactly";
        expected = count_;
    } else if (given < Py_ssize_t(required_)) {
        how = "at least";
        expected = required_;
    } else {
        how = "at most";
        expected = count_;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname_, how,
                 Py_ssize_t(expected), expected == 1 ? "" : "s", given);
    return false;
}

Py_ssize_t ParamsBase::index_of(PyObject* name) {
    for (size_t i = 0; i < count_; ++i) {
        if (!interned_[i]) {
            interned_[i] = PyUnicode_InternFromString(names_[i]);
            if (!interned_[i]) return -2;
        }
        if (interned_[i] == name) return Py_ssize_t(i);
    }
    for (size_t i = 0; i < count_; ++i) {
        int eq = PyUnicode_Compare(interned_[i], name) == 0;
        if (eq) return Py_ssize_t(i);
    }
    if (PyErr_Occurred()) return -2;
    return -1;
}

bool ParamsBase::parse_keywords(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs, PyObject** out) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname_);
            return false;
        }
        Py_ssize_t i = index_of(name);
        if (i == -2) return false;
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, name);
            return false;
        }
        if (i < nargs || out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname_, name);
            return false;
        }
        out[i] = kwvalues[k];
    }
    for (size_t i = 0; i < required_; ++i)
        if (!out[i]) return fail_count(Py_ssize_t(i));
    return true;
}

bool ParamsBase::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > Py_ssize_t(count_)) return fail_count(nargs);
    for (size_t i = 0; i < count_; ++i) out[i] = Py_ssize_t(i) < nargs ? args[i] : nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) return parse_keywords(args + nargs, kwnames, nargs, out);
    if (nargs < Py_ssize_t(required_)) return fail_count(nargs);
    return true;
}

bool ParamsBase::parse_tuple(PyObject* args, PyObject* kwds, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return parse(&PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    // Lay the keywords out as a vectorcall would: values after the positional ones, names in a tuple.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    PyObject* stack[16];
    if (nargs + nkw > 16) return nargs > Py_ssize_t(count_) ? fail_count(nargs) : fail_count(nargs + nkw);
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        stack[nargs + k] = value;
        ++k;
    }
    return parse(stack, nargs, kwnames.get(), out);
}

bool NoParams::fail(Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname_,
                     "exactly", Py_ssize_t(0), "s", nargs);
        return false;
    }
    PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
    if (!PyUnicode_Check(name)) PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname_);
    else PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, name);
    return false;
}

}  // namespace zorv
