// zorvsdk.board: board power.
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
    PyTypeObject* type = make_type("zorvsdk.board.__Board", ZORV_COMPONENT_DOC("Board object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(board, "Board power.", exec)
