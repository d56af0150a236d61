#include "runs.hpp"

namespace zorv::sinks {

Runs runs;

constexpr char kRunCapsule[] = "zorvsdk.sinks.run";

namespace {

void release_run(PyObject* capsule) {
    runs.unref(static_cast<Run*>(PyCapsule_GetPointer(capsule, kRunCapsule)));
    runs.collect();
}

}  // namespace

PyObject* view_of(Run* run, const ElementType* type, char* data, uint64_t count) {
    Runs::ref(run);
    Ref owner = Ref::steal(PyCapsule_New(run, kRunCapsule, release_run));
    if (!owner) {
        runs.unref(run);
        return nullptr;
    }
    npy_intp dims = npy_intp(count);
    PyArray_Descr* descr = descr_of(type);
    Py_INCREF(descr);  // stolen
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr);
    if (array && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) Py_CLEAR(array);
    return array;
}

PyObject* new_array(const ElementType* type, uint64_t count) {
    npy_intp dims = npy_intp(count);
    const uint64_t bytes = count * uint64_t(type->itemsize);
    if (bytes + kHeader < kRun) {
        PyArray_Descr* descr = descr_of(type);
        Py_INCREF(descr);  // stolen
        return PyArray_NewFromDescr(&PyArray_Type, descr, 1, &dims, nullptr, nullptr, 0, nullptr);
    }
    Run* run = runs.take(bytes);
    if (!run) return PyErr_NoMemory();
    PyObject* array = view_of(run, type, run->data(), count);
    runs.unref(run);  // the array's reference is the one left
    return array;
}

PyObject* empty_place() {
    npy_intp zero = 0;
    return PyArray_EMPTY(1, &zero, NPY_DOUBLE, 0);
}

}  // namespace zorv::sinks
