#include "object.hpp"

#include <cmath>

#include <unistd.h>

#include <vector>

namespace zorv::sinks {

bool to_positive(PyObject* value, const char* what, uint64_t max, uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 1 || uint64_t(v) > max) {
        PyErr_Format(PyExc_ValueError, "%s must be from 1 to %llu, not %R", what, (unsigned long long)max, index.get());
        return false;
    }
    out = uint64_t(v);
    return true;
}

bool fits_in_memory(const char* what, uint64_t bytes) {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0 || bytes <= uint64_t(pages) * uint64_t(page)) return true;
    PyErr_Format(PyExc_MemoryError, "%s needs %llu bytes, more than this machine's memory (%llu bytes)", what,
                 (unsigned long long)bytes, (unsigned long long)pages * (unsigned long long)page);
    return false;
}

bool fits_32bit_addresses(const char* what, uint64_t width, uint64_t height) {
    if (width * height <= (uint64_t(1) << 32)) return true;
    PyErr_Format(PyExc_ValueError, "a %s of %llu x %llu pixels is beyond 32-bit pixel addresses", what,
                 (unsigned long long)width, (unsigned long long)height);
    return false;
}

bool in_seconds(const char* what, double value, double max) {
    if (value > 0 && value <= max) return true;
    Ref shown = Ref::steal(PyFloat_FromDouble(value)),
        most = Ref::steal(max == std::floor(max) ? PyLong_FromDouble(max) : PyFloat_FromDouble(max));
    if (shown && most) PyErr_Format(PyExc_ValueError, "'%s' is more than 0 and at most %R, not %R", what, most.get(), shown.get());
    return false;
}

// The type is immutable, so the capsule cannot be replaced from Python.
bool publish(PyTypeObject* type, const SinkApi& api) {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<SinkApi*>(&api), kSinkCapsule, nullptr));
    if (!capsule || PyDict_SetItemString(type->tp_dict, kSinkAttribute, capsule.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}


namespace {

std::vector<AddSink>& registered() {
    static std::vector<AddSink> sinks;
    return sinks;
}

}  // namespace

bool register_sink(AddSink add) {
    registered().push_back(add);
    return true;
}

bool add_sinks(PyObject* module) {
    for (AddSink add : registered())
        if (!add(module)) return false;
    return true;
}

}  // namespace zorv::sinks
