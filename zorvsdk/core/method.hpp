// Methods declared once. A method is its body, a C++ function whose parameter types say how each
// argument is converted, and one declaration beside it with the Python name, the parameter names
// and the docstring; the parser, the text signature and the method-table row come from it:
//
//   PyObject* getBias(PyObject* self, const Text& biasId) {
//       float volts = 0;
//       return call(self, zorv_bias_get, biasId.c_str(), &volts) ? PyFloat_FromDouble(volts) : nullptr;
//   }
//   ZORV_METHOD(methods, getBias, {"biasId"}, R"(
//           Retrieves bias value (in volts).
//           ...
//           )");
//
// Parameter types: `const Text&` (value.encode()), `const Utf8Text&` (value.encode("utf-8")),
// `const AsciiText&`, `int` (32-bit signed), `uint32_t`, `uint64_t`, `float`, and
// `PyObject*` (the argument as given; null for an optional one left out). A parameter name written
// "raw=False" is optional, with that default shown in the signature (PyObject* parameters only).
// The arguments are converted in order, before the body runs; a body that must do something first
// takes PyObject* and converts itself.
#pragma once

#include "args.hpp"
#include "convert.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace zorv {

struct Text : TextArg {};
struct Utf8Text : TextArg {};
struct AsciiText : TextArg {};

template <class T>
struct Convert;

template <>
struct Convert<PyObject*> {
    using Stored = PyObject*;
    static bool from(PyObject* v, Stored& out) {
        out = v;
        return true;
    }
};

template <class T, bool (TextArg::*Encode)(PyObject*)>
struct ConvertText {
    using Stored = T;
    static bool from(PyObject* v, Stored& out) {
        TextArg& text = out;
        return (text.*Encode)(v);
    }
};
template <>
struct Convert<const Text&> : ConvertText<Text, &TextArg::encode> {};
template <>
struct Convert<const Utf8Text&> : ConvertText<Utf8Text, &TextArg::encode_utf8> {};
template <>
struct Convert<const AsciiText&> : ConvertText<AsciiText, &TextArg::encode_ascii> {};

template <class T, bool (*To)(PyObject*, T&)>
struct ConvertNumber {
    using Stored = T;
    static bool from(PyObject* v, Stored& out) { return To(v, out); }
};
template <>
struct Convert<int> : ConvertNumber<int, to_int> {};
template <>
struct Convert<uint32_t> : ConvertNumber<uint32_t, to_uint32> {};
template <>
struct Convert<uint64_t> : ConvertNumber<uint64_t, to_uint64> {};
template <>
struct Convert<float> : ConvertNumber<float, to_float> {};

// The parameter list of a declared method, made when it is declared.
class DeclaredParams : public ParamsBase {
public:
    DeclaredParams(const char* fname, const char* const* names, PyObject** interned, size_t count, size_t required)
        : ParamsBase(fname, names, interned, count, required) {}
    using ParamsBase::parse;
};

template <auto Fn>
struct Entry;

// The C entry of a body: parses, converts and calls it.
template <class... P, PyObject* (*Fn)(PyObject*, P...)>
struct Entry<Fn> {
    static constexpr size_t N = sizeof...(P);
    static inline DeclaredParams* params = nullptr;

    // No try/catch here: a catch at every entry would sit above every blocking wait, and the unwind
    // by which the interpreter ends a thread still waiting at exit would run its landing pad (which
    // the sanitizer build reports). Bodies that allocate in C++ catch std::bad_alloc themselves.
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        // Every argument given by position, the usual call: converted where they stand.
        if (nargs == Py_ssize_t(N) && !kwnames) return invoke(self, args, std::index_sequence_for<P...>{});
        PyObject* a[N + 1];
        if (!params->parse(args, nargs, kwnames, a)) return nullptr;
        return invoke(self, a, std::index_sequence_for<P...>{});
    }

    template <size_t... I>
    static PyObject* invoke(PyObject* self, PyObject* const* a, std::index_sequence<I...>) {
        std::tuple<typename Convert<P>::Stored...> values;
        if (!(Convert<P>::from(a[I], std::get<I>(values)) && ...)) return nullptr;
        return Fn(self, std::get<I>(values)...);
    }
};

// The methods of one type (or the functions of one module), in declaration order. Kept for the
// life of the process: the types refer to them.
class Methods {
public:
    // Declares `Fn` under `name` (a class-private name such as "_Bias__getCount" is reported in
    // argument errors as "__getCount"). `self` false: a module function, shown without $self.
    template <auto Fn>
    bool add(const char* name, std::initializer_list<const char*> params, std::string_view doc, bool self = true) {
        using E = Entry<Fn>;
        if (params.size() != E::N) return refuse(name, "its parameter names do not match its body");
        if (E::params) return refuse(name, "its body is already declared under another name");
        E::params = make_params(name, params);
        return add_row(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&E::call)), params, doc,
                       self);
    }
    // The table, closed by the rows that refuse copying and pickling (`pickling`) and the end mark;
    // null with SystemError when a declaration was wrong.
    PyMethodDef* table(bool pickling = true);

private:
    bool refuse(const char* name, const char* why);
    const char* wrong_ = nullptr;  // the first wrong declaration, and why
    const char* why_ = nullptr;
    DeclaredParams* make_params(const char* name, std::initializer_list<const char*> params);
    bool add_row(const char* name, PyCFunction fn, std::initializer_list<const char*> params, std::string_view doc,
                 bool self);
    std::vector<PyMethodDef>* rows_ = nullptr;
};

// ZORV_METHOD(table, fn, {"param", ...}, doc): declares `fn` under its own name.
#define ZORV_METHOD(table, fn, ...) [[maybe_unused]] const bool zorv_declared_##fn = (table).add<fn>(#fn, __VA_ARGS__)
// ZORV_METHOD_AS(table, "_Bias__getCount", fn, {...}, doc): under another name.
#define ZORV_METHOD_AS(table, name, fn, ...) \
    [[maybe_unused]] const bool zorv_declared_##fn = (table).add<fn>(name, __VA_ARGS__)
// ZORV_FUNCTION(table, fn, {...}, doc): a module function.
#define ZORV_FUNCTION(table, fn, ...) \
    [[maybe_unused]] const bool zorv_declared_##fn = (table).add<fn>(#fn, __VA_ARGS__, false)

}  // namespace zorv
