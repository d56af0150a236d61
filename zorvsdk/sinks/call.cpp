#include "call.hpp"

#include "runs.hpp"

#include "zorvsdk/core/convert.hpp"
#include "zorvsdk/core/module.hpp"
#include "zorvsdk/core/numpy.hpp"

namespace zorv::sinks {

namespace {

Name s_kind("kind"), s_shutterStart("shutterStart"), s_tdcs("tdcs");

}  // namespace

bool Called::parse(const char* sink, PyObject* args, PyObject* kwds) {
    PyObject* wanted = nullptr;
    if (kwds && !parse_keywords(sink, kwds, wanted)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject* meta = n && PyDict_Check(PyTuple_GET_ITEM(args, n - 1)) ? PyTuple_GET_ITEM(args, n - 1) : nullptr;
    const Py_ssize_t narrays = n - (meta ? 1 : 0);
    PyObject* const* arrays = &PyTuple_GET_ITEM(args, 0);
    for (Py_ssize_t i = 0; i < narrays; ++i)
        if (!PyArray_Check(arrays[i])) {
            PyErr_Format(PyExc_TypeError,
                         "a sink takes the NumPy arrays a data callable receives (and the metadata dictionary), "
                         "not %.200s",
                         Py_TYPE(arrays[i])->tp_name);
            return false;
        }
    int kind = -1;
    if (!pick_kind(wanted, arrays, narrays, meta != nullptr, kind)) return false;
    dd_.kind = DeliveryKind(kind);
    for (Py_ssize_t i = 0; i < narrays; ++i)
        if (!hold(int(i), arrays[i], dd_.arrays[i])) return false;
    if (narrays == 3 && !(dd_.arrays[0].count == dd_.arrays[1].count && dd_.arrays[1].count == dd_.arrays[2].count)) {
        PyErr_Format(PyExc_ValueError, "the three vectors of a %s delivery have one length, not %llu, %llu and %llu",
                     info(dd_.kind).name, dd_.arrays[0].count, dd_.arrays[1].count, dd_.arrays[2].count);
        return false;
    }
    return !meta || parse_metadata(meta);
}

bool Called::parse_keywords(const char* sink, PyObject* kwds, PyObject*& wanted) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, s_kind) == 0) {
            wanted = value;
            continue;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sink, key);
        return false;
    }
    return true;
}

bool Called::fits(const KindInfo& k, PyObject* const* arrays, Py_ssize_t n, bool meta) {
    if (k.arrays != n || k.metadata != meta) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* a = reinterpret_cast<PyArrayObject*>(arrays[i]);
        if (PyArray_SIZE(a) && !PyArray_EquivTypes(PyArray_DESCR(a), descr_of(k.types[i]))) return false;
    }
    return true;
}

bool Called::pick_kind(PyObject* wanted, PyObject* const* arrays, Py_ssize_t n, bool meta, int& kind) {
    int named = -1;
    if (wanted && wanted != Py_None) {
        for (int k = 0; k < int(DeliveryKind::Count) && named < 0; ++k)
            if (PyUnicode_Check(wanted) && PyUnicode_CompareWithASCIIString(wanted, kKinds[k].name) == 0) named = k;
        if (named < 0) {
            PyErr_Format(PyExc_ValueError, "unknown delivery kind %R: %s", wanted, kind_names().c_str());
            return false;
        }
    }
    std::string found;
    int count = 0;
    for (int k = 0; k < int(DeliveryKind::Count); ++k)
        if ((named < 0 || k == named) && fits(kKinds[k], arrays, n, meta)) {
            found += std::string(count++ ? ", " : "") + kKinds[k].name;
            kind = k;
        }
    if (count == 1) return true;
    Ref types = Ref::steal(PyTuple_New(n));
    if (!types) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(types.get(), i, Py_NewRef(reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(arrays[i])))));
    const char* with = meta ? "with" : "without";
    if (count > 1)
        PyErr_Format(PyExc_TypeError, "arrays of %R %s metadata fit more than one kind of delivery (%s): pass kind= to choose",
                     types.get(), with, found.c_str());
    else if (named >= 0)
        PyErr_Format(PyExc_TypeError, "arrays of %R %s metadata are not a %s delivery", types.get(), with, kKinds[named].name);
    else
        PyErr_Format(PyExc_TypeError, "no readout mode delivers arrays of %R %s metadata", types.get(), with);
    return false;
}

std::string Called::kind_names() {
    std::string names;
    for (const KindInfo& k : kKinds) names += std::string(names.empty() ? "" : ", ") + k.name;
    return names;
}

bool Called::hold(int place, PyObject* array, DeliveredArray& out) {
    held_[place] = Ref::steal(PyArray_FromAny(array, nullptr, 0, 0, NPY_ARRAY_C_CONTIGUOUS, nullptr));
    if (!held_[place]) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(held_[place].get());
    out = {PyArray_SIZE(a) ? PyArray_DATA(a) : nullptr, uint64_t(PyArray_SIZE(a))};
    return true;
}

bool Called::parse_metadata(PyObject* meta) {
    PyObject* shutter = PyDict_GetItemWithError(meta, s_shutterStart);
    PyObject* tdcs = shutter ? PyDict_GetItemWithError(meta, s_tdcs) : nullptr;
    if (!shutter || !tdcs) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError,
                            "metadata holds 'shutterStart' (int) and 'tdcs' (three uint64 arrays), as a data "
                            "callable receives it");
        return false;
    }
    uint64_t time;
    if (!to_uint64(shutter, time)) return false;
    dd_.shutter = time;
    Ref seq = Ref::steal(PySequence_Fast(tdcs, "metadata['tdcs'] is a list of three uint64 arrays"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != kTdcInputs) {
        PyErr_Format(PyExc_ValueError, "metadata['tdcs'] holds three arrays (TDC inputs 0, 1, 2), not %zd",
                     PySequence_Fast_GET_SIZE(seq.get()));
        return false;
    }
    const int first = info(dd_.kind).arrays;
    for (int i = 0; i < kTdcInputs; ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyArray_Check(t) || (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(t)) &&
                                  !PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(t)), descr_of(&kU64)))) {
            PyErr_Format(PyExc_TypeError, "metadata['tdcs'][%d] is a uint64 array, not %R", i, t);
            return false;
        }
        if (!hold(first + i, t, dd_.tdcs[i])) return false;
    }
    return true;
}

}  // namespace zorv::sinks
