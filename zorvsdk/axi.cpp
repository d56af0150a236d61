// zorvsdk.axi: aXI register access.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.axi.__Axi", ZORV_COMPONENT_DOC("Axi object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(axi, "AXI register access.", exec)
