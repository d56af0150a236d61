// zorvsdk.syncmode: external synchronisation options.
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
    PyTypeObject* type = make_type("zorvsdk.syncmode.__SyncMode", ZORV_COMPONENT_DOC("External synchronization object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(syncmode, "External synchronisation options.", exec)
