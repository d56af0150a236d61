// zorvsdk.trigger: the trigger object of a Device.
#include "core/component.hpp"

using namespace zorv;

namespace {

Methods methods;

const char kTriggerDoc[] = R"(
    Trigger object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.trigger.__Trigger", kTriggerDoc, methods) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(trigger, "Trigger functionality of the device.", exec)
