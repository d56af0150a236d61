// zorvsdk.trigger: the trigger object of a Device.
#include "core/component.hpp"

using namespace zorv;

namespace {

Methods methods;

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.trigger.__Trigger", "Trigger object.", methods) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(trigger, "Trigger functionality of the device.", exec)
