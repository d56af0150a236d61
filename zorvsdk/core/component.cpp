#include "component.hpp"

#include <vector>

namespace zorv {

PyTypeObject* make_type(const char* name, const char* doc, Py_ssize_t basicsize, PyMethodDef* methods,
                        std::initializer_list<PyType_Slot> slots, unsigned long flags) {
    std::vector<PyType_Slot> all = {
        {Py_tp_new, reinterpret_cast<void*>(component_new)},
        ComponentSlots::dealloc_slot,
        ComponentSlots::traverse_slot,
        ComponentSlots::clear_slot,
    };
    if (doc) all.push_back({Py_tp_doc, const_cast<char*>(doc)});
    if (methods) all.push_back({Py_tp_methods, methods});
    for (const PyType_Slot& s : slots) {
        bool replaced = false;
        for (auto& a : all)
            if (a.slot == s.slot) { a.pfunc = s.pfunc; replaced = true; }
        if (!replaced) all.push_back(s);
    }
    all.push_back({0, nullptr});
    PyType_Spec spec = {name, int(basicsize), 0,
                        static_cast<unsigned int>(flags ? flags : Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC),
                        all.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

bool add_component(PyObject* module, const char* name, const char* doc, Methods& methods,
                   Py_ssize_t basicsize, const Lifetime& own) {
    PyMethodDef* table = methods.table();
    PyTypeObject* type = nullptr;
    if (!table) return false;
    if (own.construct)
        type = make_type(name, doc, basicsize, table,
                         {{Py_tp_new, reinterpret_cast<void*>(own.construct)},
                          {Py_tp_dealloc, reinterpret_cast<void*>(own.dealloc)},
                          {Py_tp_traverse, reinterpret_cast<void*>(own.traverse)},
                          {Py_tp_clear, reinterpret_cast<void*>(own.clear)}});
    else
        type = make_type(name, doc, basicsize, table);
    return type && add_type(module, type) && import_common(module);
}

bool check_instance(PyObject* value, PyTypeObject* type, bool none_ok) {
    if ((none_ok && value == Py_None) || PyObject_TypeCheck(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, type->tp_name);
    return false;
}

PyObject* component_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<1> params("__cinit__", {"ctx"});
    PyObject* a[1];
    if (!params.parse_tuple(args, kwds, a) || !check_context(a[0])) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<ComponentObject*>(self)->context = Py_NewRef(a[0]);
    return self;
}

PyObject* refuse_reduce(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

// self.<name>(*args): the package's own method called directly where nothing can stand before it
// (compat::own_method), the ordinary method call otherwise.
static PyObject* call_method(PyObject* self, PyObject* name, PyObject* arg) {
    if (compat::FastMethod fn = compat::own_method(self, name)) return fn(self, &arg, arg ? 1 : 0, nullptr);
    return arg ? PyObject_CallMethodOneArg(self, name, arg) : PyObject_CallMethodNoArgs(self, name);
}

PyObject* id_list(PyObject* self, PyObject* count_name, PyObject* id_name) {
    Ref count = Ref::steal(call_method(self, count_name, nullptr));
    if (!count) return nullptr;
    Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    // A list of the usual sizes is made at its length (its empty places are never seen: it is
    // dropped on a failure); beyond that it grows, so that a count no list could hold fails as the
    // identifier calls do.
    const Py_ssize_t sized = n > 0 && n <= 4096 ? n : 0;
    Ref list = Ref::steal(PyList_New(sized));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        Ref id = Ref::steal(call_method(self, id_name, index.get()));
        if (!id) return nullptr;
        if (i < sized) PyList_SET_ITEM(list.get(), i, id.release());
        else if (PyList_Append(list.get(), id.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* count_method(PyObject* self, int (*fn)(zorv_ctx_t*, int*), int preset) {
    int count = preset;
    if (!call(self, fn, &count)) return nullptr;
    return PyLong_FromLong(count);
}

PyObject* id_method(PyObject* self, PyObject* index, int (*fn)(zorv_ctx_t*, int, const char**)) {
    int i;
    if (!to_int(index, i)) return nullptr;
    const char* text = "";
    if (!call(self, fn, i, &text)) return nullptr;
    return from_utf8(text);
}

PyObject* uint8_array(PyObject* function, PyObject* size, bool c_order) {
    static Name np_name("np"), uint8_name("uint8"), dtype("dtype"), order("order"), C("C");
    Ref np = Ref::steal(global(np_name));
    if (!np) return nullptr;
    Ref make = Ref::steal(PyObject_GetAttr(np.get(), function));
    if (!make) return nullptr;
    Ref uint8 = Ref::steal(PyObject_GetAttr(np.get(), uint8_name));
    if (!uint8) return nullptr;
    Ref kw = Ref::steal(c_order ? PyTuple_Pack(2, dtype.get(), order.get()) : PyTuple_Pack(1, dtype.get()));
    if (!kw) return nullptr;
    PyObject* argv[3] = {size, uint8.get(), C.get()};
    return PyObject_Vectorcall(make.get(), argv, 1, kw.get());
}

PyObject* make_record(PyObject* name, std::initializer_list<PyObject*> values) {
    constexpr size_t kMax = 12;
    Ref owned[kMax];
    PyObject* argv[kMax];
    size_t n = 0;
    bool ok = values.size() <= kMax;
    for (PyObject* v : values) {
        if (n < kMax) owned[n] = Ref::steal(v), argv[n++] = v;
        else Py_XDECREF(v);
        ok = ok && v;
    }
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "make_record: too many fields");
        return nullptr;
    }
    Ref cls = Ref::steal(global(name));
    if (!cls) return nullptr;
    return PyObject_Vectorcall(cls.get(), argv, n, nullptr);
}

}  // namespace zorv
