// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods and for constructors, with the
// interpreter's usual TypeError texts:
//   "getDacValue() takes exactly 1 positional argument (2 given)"
//   "getDacValue() got an unexpected keyword argument 'x'"
//   "getDacValue() got multiple values for keyword argument 'dacId'"
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace zorv {

class ParamsBase {
protected:
    ParamsBase(const char* fname, const char* const* names, PyObject** interned, size_t count, size_t required)
        : fname_(fname), names_(names), interned_(interned), count_(count), required_(required) {}

    // Fills out[0..count): given values, or null for optional parameters left out.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
    bool parse_tuple(PyObject* args, PyObject* kwds, PyObject** out);

private:
    bool parse_keywords(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs, PyObject** out);
    bool fail_count(Py_ssize_t given);
    Py_ssize_t index_of(PyObject* name);

    const char* fname_;
    const char* const* names_;
    PyObject** interned_;
    size_t count_;
    size_t required_;
};

// The parameter list of one method: names by position, the first `required` of them required.
template <size_t N>
class Params : public ParamsBase {
public:
    Params(const char* fname, const char* const (&names)[N], size_t required = N)
        : ParamsBase(fname, names_copy_, interned_, N, required) {
        for (size_t i = 0; i < N; ++i) names_copy_[i] = names[i];
    }
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
        if (nargs == Py_ssize_t(N) && !kwnames) {
            for (size_t i = 0; i < N; ++i) out[i] = args[i];
            return true;
        }
        return ParamsBase::parse(args, nargs, kwnames, out);
    }
    bool parse_tuple(PyObject* args, PyObject* kwds, PyObject* (&out)[N]) { return ParamsBase::parse_tuple(args, kwds, out); }

private:
    const char* names_copy_[N];
    PyObject* interned_[N] = {};
};

// A method without parameters.
class NoParams {
public:
    explicit NoParams(const char* fname) : fname_(fname) {}
    bool parse(Py_ssize_t nargs, PyObject* kwnames) {
        if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
        return fail(nargs, kwnames);
    }

private:
    bool fail(Py_ssize_t nargs, PyObject* kwnames);
    const char* fname_;
};

}  // namespace zorv
