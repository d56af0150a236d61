// zorvsdk.configuration: configuration documents and the pixel mask.
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
    PyTypeObject* type = make_type("zorvsdk.configuration.__Configuration", ZORV_COMPONENT_DOC("Configuration object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(configuration, "Configuration documents and the pixel mask.", exec)
