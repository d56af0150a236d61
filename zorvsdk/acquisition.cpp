// zorvsdk.acquisition: acquisition channels, registration of data callables by readout mode, and
// the data deliveries handed to them as NumPy arrays over the SDK's buffers.
#include "core/component.hpp"
#include "core/numpy.hpp"

using namespace zorv;

namespace {

PyTypeObject* g_chip_type;

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("__cinit__", {"ctx", "chip"});
    PyObject* a[2];
    if (!params.parse_tuple(args, kwds, a) || !check_context(a[0]) || !check_instance(a[1], g_chip_type)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<AcquisitionObject*>(self);
    o->context = Py_NewRef(a[0]);
    o->chip = Py_NewRef(a[1]);
    o->data_func_ref = nullptr;
    o->modeToCallback = new ModeTable;
    return self;
}

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<AcquisitionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->context);
    Py_VISIT(o->chip);
    return 0;
}

int acquisition_clear(PyObject* self) {
    auto* o = reinterpret_cast<AcquisitionObject*>(self);
    Py_XSETREF(o->context, Py_NewRef(Py_None));
    Py_XSETREF(o->chip, Py_NewRef(Py_None));
    return 0;
}

// The holder of the registered callable is not deleted here: the SDK may still call it back.
void acquisition_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<AcquisitionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(o->context);
    Py_CLEAR(o->chip);
    delete o->modeToCallback;
    o->modeToCallback = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
import time
import numpy as np
)";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.chip may be imported first.
    PyTypeObject* type = make_type("zorvsdk.acquisition.__Acquisition", ZORV_COMPONENT_DOC("Acquisition object."),
                                   sizeof(AcquisitionObject), kMethods,
                                   {{Py_tp_new, reinterpret_cast<void*>(acquisition_new)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(acquisition_dealloc)},
                                    {Py_tp_traverse, reinterpret_cast<void*>(acquisition_traverse)},
                                    {Py_tp_clear, reinterpret_cast<void*>(acquisition_clear)}});
    if (!type || !add_type(m, type)) return -1;
    if (!import_common(m)) return -1;
    g_chip_type = import_type("zorvsdk.chip", "__Chip", sizeof(ChipObject));
    if (!g_chip_type || !import_numpy()) return -1;
    return run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(acquisition, "Acquisition channels and data deliveries.", exec)
