// zorvsdk.identity: properties of the open device.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.identity.__Identity", ZORV_COMPONENT_DOC("Identity object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(identity, "Properties of the open device.", exec)
