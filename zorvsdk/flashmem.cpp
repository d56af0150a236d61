// zorvsdk.flashmem: non-volatile (flash) memories.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import List
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.flashmem.__Flashmem", ZORV_COMPONENT_DOC("Non-volatile memory object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(flashmem, "Non-volatile (flash) memories.", exec)
