// What every component type shares: construction from a _Context, garbage collection, refusal of
// copying and pickling, identifier lists read through the object's own methods.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "layouts.hpp"
#include "method.hpp"
#include "module.hpp"
#include "status.hpp"

#include <initializer_list>

namespace zorv {

// The class docstring of a component type: "\n    Bias object.\n    Should not be used ...\n    ".
#define ZORV_COMPONENT_DOC(what) \
    "\n    " what "\n    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.\n    "

// Makes a heap type. `slots` adds to (or replaces) the default component slots.
PyTypeObject* make_type(const char* name, const char* doc, Py_ssize_t basicsize, PyMethodDef* methods,
                        std::initializer_list<PyType_Slot> slots = {}, unsigned long flags = 0);

// The default slots of a component type (layout ComponentObject).
PyObject* component_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
int component_traverse(PyObject* self, visitproc visit, void* arg);
int component_clear(PyObject* self);
void component_dealloc(PyObject* self);

// Type checks of constructor arguments: "Cannot convert %.200s to %.200s".
bool check_instance(PyObject* value, PyTypeObject* type, bool none_ok = true);
inline bool check_context(PyObject* value) { return check_instance(value, imported().context_type); }

// The two methods that refuse copying and pickling.
PyObject* refuse_reduce(PyObject* self, PyObject* unused);
#define ZORV_PICKLING_REFUSED                                                         \
    {"__reduce__", ::zorv::refuse_reduce, METH_NOARGS, nullptr},                      \
    {"__setstate__", ::zorv::refuse_reduce, METH_O, nullptr}

// count = self.<count>(); [self.<id>(i) for i in range(count)]
PyObject* id_list(PyObject* self, PyObject* count_method, PyObject* id_method);

// Shared method bodies of the identifier-list pattern.
// A count method: fn(ctx, &count) with the count preset to `preset`.
PyObject* count_method(PyObject* self, int (*fn)(zorv_ctx_t*, int*), int preset = 0);
// An identifier method: fn(ctx, index, &text), decoded as UTF-8.
PyObject* id_method(PyObject* self, PyObject* index, int (*fn)(zorv_ctx_t*, int, const char**));

// cls(*values), the record class looked up by name in the module's globals at call time. Takes
// the new references in `values`; a null among them means its exception is set.
PyObject* make_record(PyObject* name, std::initializer_list<PyObject*> values);

// A text fixed at compile time, so that method names can be template arguments.
template <size_t N>
struct FixedText {
    constexpr FixedText(const char (&text)[N]) {
        for (size_t i = 0; i < N; ++i) s[i] = text[i];
    }
    char s[N];
};

// The three methods of an identifier list, for a module's method table:
//   getBiasIds = list_entry<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId">
//   __getSupplyCount = count_entry<"__getSupplyCount", zorv_bias_supply_count>
//   __getSupplyId = id_entry<"__getSupplyId", "biasIdx", zorv_bias_supply_id>
template <FixedText Method, FixedText Count, FixedText Id>
PyObject* list_entry(ZORV_METHOD_ARGS) {
    static NoParams params(Method.s);
    static Name count(Count.s), id(Id.s);
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    return id_list(self, count, id);
}

// The bodies of an identifier list, for Methods::add, and the three rows declared at once:
//   declare_id_list<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId",
//                   zorv_bias_supply_count, zorv_bias_supply_id>(methods, "biasIdx", {docs...})
template <FixedText Count, FixedText Id>
PyObject* id_list_body(PyObject* self) {
    static Name count(Count.s), id(Id.s);
    return id_list(self, count, id);
}
template <int (*Fn)(zorv_ctx_t*, int*)>
PyObject* count_body(PyObject* self) {
    return count_method(self, Fn);
}
template <int (*Fn)(zorv_ctx_t*, int, const char**)>
PyObject* id_body(PyObject* self, PyObject* index) {
    return id_method(self, index, Fn);
}

struct IdListDocs {
    const char* list;
    const char* count;
    const char* id;
};

template <FixedText List, FixedText Count, FixedText Id, int (*CountFn)(zorv_ctx_t*, int*),
          int (*IdFn)(zorv_ctx_t*, int, const char**)>
bool declare_id_list(Methods& methods, const char* index, IdListDocs docs) {
    return methods.add<id_list_body<Count, Id>>(List.s, {}, docs.list) &&
           methods.add<count_body<CountFn>>(Count.s, {}, docs.count) &&
           methods.add<id_body<IdFn>>(Id.s, {index}, docs.id);
}

template <FixedText Method, int (*Fn)(zorv_ctx_t*, int*)>
PyObject* count_entry(ZORV_METHOD_ARGS) {
    static NoParams params(Method.s);
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    return count_method(self, Fn);
}

template <FixedText Method, FixedText Param, int (*Fn)(zorv_ctx_t*, int, const char**)>
PyObject* id_entry(ZORV_METHOD_ARGS) {
    static Params<1> params(Method.s, {Param.s});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    return id_method(self, a[0], Fn);
}

}  // namespace zorv
