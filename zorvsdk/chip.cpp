// zorvsdk.chip: chips, polarity, sense DACs, readout modes, DACs and thresholds.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple
from enum import Enum
)";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.acquisition may be imported first.
    PyTypeObject* type = make_type("zorvsdk.chip.__Chip", ZORV_COMPONENT_DOC("Chip object."), sizeof(ChipObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    if (!import_common(m)) return -1;
    PyTypeObject* acq = import_type("zorvsdk.acquisition", "__Acquisition", sizeof(AcquisitionObject));
    if (!acq) return -1;
    Py_DECREF(acq);  // imported for type checking only
    return run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(chip, "Chips, polarity, sense DACs, readout modes, DACs and thresholds.", exec)
