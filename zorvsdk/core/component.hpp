// What every component type shares: construction from a _Context, garbage collection, refusal of
// copying and pickling, identifier lists read through the object's own methods, and the bodies of
// the methods that follow one pattern.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "layouts.hpp"
#include "method.hpp"
#include "module.hpp"
#include "status.hpp"

#include <initializer_list>
#include <utility>
#include <tuple>

namespace zorv {

// Makes a heap type. `slots` adds to (or replaces) the default component slots.
PyTypeObject* make_type(const char* name, const char* doc, Py_ssize_t basicsize, PyMethodDef* methods,
                        std::initializer_list<PyType_Slot> slots = {}, unsigned long flags = 0);

// Binds the module's component type `name` ("zorvsdk.bias.__Bias") with its class text `doc`, then
// makes the imports every module makes (so the type is bound before them). A layout larger than
// ComponentObject may bring its own construction and lifetime slots; its traversal, which runs
// inside the collector, must not throw.
struct Lifetime {
    newfunc construct = nullptr;
    destructor dealloc = nullptr;
    int (*traverse)(PyObject*, visitproc, void*) noexcept = nullptr;
    inquiry clear = nullptr;
};
bool add_component(PyObject* module, const char* name, const char* doc, Methods& methods,
                   Py_ssize_t basicsize = sizeof(ComponentObject), const Lifetime& own = {});

// The default slots of a component type (layout ComponentObject).
PyObject* component_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

// The garbage-collector slots of a layout, from the list of its object members:
//   using Slots = GcSlots<Members<MemoryObject, &MemoryObject::context, &MemoryObject::regions, ...>,
//                         Members<MemoryObject, &MemoryObject::context, &MemoryObject::regions>>;
// traverse visits the type and every member of the first list; clear sets every member of the
// second list (which defaults to the first) to None; dealloc untracks the object, drops every
// member of the first list and frees it. slots() gives the three for make_type.
template <class T, PyObject* T::*... M>
struct Members {
    static int visit(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(self));
        [[maybe_unused]] T* o = reinterpret_cast<T*>(self);
        for (PyObject* member : {static_cast<PyObject*>(nullptr), o->*M...}) Py_VISIT(member);
        return 0;
    }
    static void to_none(PyObject* self) noexcept {
        [[maybe_unused]] T* o = reinterpret_cast<T*>(self);
        (replace(o->*M, Py_NewRef(Py_None)), ...);
    }
    static void drop(PyObject* self) noexcept {
        [[maybe_unused]] T* o = reinterpret_cast<T*>(self);
        (replace(o->*M, nullptr), ...);
    }
    // The member holds `value` before its old object is released (whose destructor may look).
    static void replace(PyObject*& member, PyObject* value) noexcept { Py_XDECREF(std::exchange(member, value)); }
};

template <class Held, class Cleared = Held>
struct GcSlots {
    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept { return Held::visit(self, visit, arg); }
    static int clear(PyObject* self) noexcept {
        Cleared::to_none(self);
        return 0;
    }
    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        Held::drop(self);
        type->tp_free(self);
        Py_DECREF(type);
    }
    static inline const PyType_Slot traverse_slot{Py_tp_traverse, reinterpret_cast<void*>(&traverse)};
    static inline const PyType_Slot clear_slot{Py_tp_clear, reinterpret_cast<void*>(&clear)};
    static inline const PyType_Slot dealloc_slot{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)};
};

using ComponentSlots = GcSlots<Members<ComponentObject, &ComponentObject::context>>;

// Type checks of constructor arguments: "Cannot convert %.200s to %.200s".
bool check_instance(PyObject* value, PyTypeObject* type, bool none_ok = true);
inline bool check_context(PyObject* value) { return check_instance(value, imported().context_type); }

// The method that refuses copying and pickling (the rows __reduce__ and __setstate__).
PyObject* refuse_reduce(PyObject* self, PyObject* unused) noexcept;

// count = self.<count>(); [self.<id>(i) for i in range(count)]
PyObject* id_list(PyObject* self, PyObject* count_method, PyObject* id_method);

// Shared method bodies of the identifier-list pattern.
// A count method: fn(ctx, &count) with the count preset to `preset`.
PyObject* count_method(PyObject* self, int (*fn)(zorv_ctx_t*, int*), int preset = 0);
// An identifier method: fn(ctx, index, &text), decoded as UTF-8.
PyObject* id_method(PyObject* self, PyObject* index, int (*fn)(zorv_ctx_t*, int, const char**));

// np.<function>(size, dtype=np.uint8), with order="C" when `c_order`: a byte array made as the
// module's Python code would make it, with np looked up in the module's namespace at call time.
PyObject* uint8_array(PyObject* function, PyObject* size, bool c_order = false);

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

// The bodies of an identifier list: the list over the object's own count and identifier methods,
// and those two over the SDK's functions, each declared with its text (bias.cpp's supplies):
//   ZORV_SDK_METHOD(methods, getBiasIds, (id_list_body<"_Bias__getSupplyCount", "_Bias__getSupplyId">),
//                   {}, doc);
//   ZORV_SDK_METHOD_AS(methods, "_Bias__getSupplyCount", getSupplyCount,
//                      (count_body<zorv_bias_supply_count>), {}, doc);
//   ZORV_SDK_METHOD_AS(methods, "_Bias__getSupplyId", getSupplyId, (id_body<zorv_bias_supply_id>),
//                      {"biasIdx"}, doc);
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

// The bodies of the methods that are one SDK call, one per shape, made for each SDK function and
// declared with it in one statement:
//   ZORV_SDK_METHOD(methods, getBias, (value_by_id<zorv_bias_get, PyFloat_FromDouble>), {"biasId"}, doc);
// The SDK's text parameters are taken as `Txt` (value.encode() by default), its other parameters
// as they are; a value the SDK writes is preset to zero (a text to null, which reads as "") and
// handed back through `Out`. Each instance serves one declaration (Methods::add refuses a second).

// fn(ctx, &value): Out(value).
template <auto Fn, auto Out>
struct ValueOf;
template <class T, int (*Fn)(zorv_ctx_t*, T*), auto Out>
struct ValueOf<Fn, Out> {
    static PyObject* body(PyObject* self) {
        T value{};
        return call(self, Fn, &value) ? Out(value) : nullptr;
    }
};
template <auto Fn, auto Out>
constexpr auto value_of = ValueOf<Fn, Out>::body;

// fn(ctx, id, &value): Out(value).
template <auto Fn, auto Out, class Txt>
struct ValueById;
template <class T, int (*Fn)(zorv_ctx_t*, const char*, T*), auto Out, class Txt>
struct ValueById<Fn, Out, Txt> {
    static PyObject* body(PyObject* self, const Txt& id) {
        T value{};
        return call(self, Fn, id.c_str(), &value) ? Out(value) : nullptr;
    }
};
template <auto Fn, auto Out, class Txt = Text>
constexpr auto value_by_id = ValueById<Fn, Out, Txt>::body;

// The parameter of a body for one parameter of an SDK function, and what the SDK is given.
template <class P, class Txt>
struct SdkParam {
    using type = P;
    static P pass(P value) { return value; }
};
template <class Txt>
struct SdkParam<const char*, Txt> {
    using type = const Txt&;
    static const char* pass(const Txt& text) { return text.c_str(); }
};

// fn(ctx, args...): None.
template <auto Fn, class Txt>
struct Command;
template <class... P, int (*Fn)(zorv_ctx_t*, P...), class Txt>
struct Command<Fn, Txt> {
    static PyObject* body(PyObject* self, typename SdkParam<P, Txt>::type... args) {
        if (!call(self, Fn, SdkParam<P, Txt>::pass(args)...)) return nullptr;
        Py_RETURN_NONE;
    }
};
template <auto Fn, class Txt = Text>
constexpr auto command = Command<Fn, Txt>::body;

// The Python value of a record field.
inline PyObject* to_python(int value) { return PyLong_FromLong(value); }
inline PyObject* to_python(float value) { return PyFloat_FromDouble(value); }

// fn(ctx, id, &field...): the record class `Record` of the module made of the fields.
template <auto Fn, FixedText Record>
struct RecordById;
template <class... T, int (*Fn)(zorv_ctx_t*, const char*, T*...), FixedText Record>
struct RecordById<Fn, Record> {
    static PyObject* body(PyObject* self, const Text& id) {
        static Name record(Record.s);
        std::tuple<T...> fields{};
        return std::apply(
            [&](T&... f) { return call(self, Fn, id.c_str(), &f...) ? make_record(record, {to_python(f)...}) : nullptr; },
            fields);
    }
};
template <auto Fn, FixedText Record>
constexpr auto record_by_id = RecordById<Fn, Record>::body;

// ZORV_SDK_METHOD(table, fn, (body), {"param", ...}, doc): `fn` made of one of the bodies above,
// or of a module's own body template, given in parentheses, and declared.
// ZORV_SDK_METHOD_AS(table, "_Bias__getCount", fn, (body), ...): under another name.
#define ZORV_PARENTHESES_OFF(...) __VA_ARGS__
#define ZORV_SDK_METHOD(table, fn, body, ...)      \
    constexpr auto fn = ZORV_PARENTHESES_OFF body; \
    ZORV_METHOD(table, fn, __VA_ARGS__)
#define ZORV_SDK_METHOD_AS(table, name, fn, body, ...) \
    constexpr auto fn = ZORV_PARENTHESES_OFF body;     \
    ZORV_METHOD_AS(table, name, fn, __VA_ARGS__)

}  // namespace zorv
