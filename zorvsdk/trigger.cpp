// zorvsdk.trigger: the trigger object of a Device.
#include "core/component.hpp"

using namespace zorv;

namespace {

Methods methods;

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.trigger.__Trigger", ZORV_COMPONENT_DOC("Trigger object."),
                                   sizeof(ComponentObject), methods.table());
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(trigger, "Trigger functionality of the device.", exec)
