// zorvsdk.trigger: the trigger object of a Device.
#include "core/component.hpp"

using namespace zorv;

namespace {

PyMethodDef kMethods[] = {
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.trigger.__Trigger", ZORV_COMPONENT_DOC("Trigger object."),
                                   sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(trigger, "Trigger functionality of the device.", exec)
