// zorvsdk.bias: sensor bias voltage supplies.
#include "core/component.hpp"

#include "zorv/bias.h"

using namespace zorv;

namespace {

Methods methods;

Name s_BiasRange("BiasRange");

[[maybe_unused]] const bool ids =
    declare_id_list<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId", zorv_bias_supply_count,
                    zorv_bias_supply_id>(methods, "biasIdx", {R"(
        Retrieves bias supply identifiers.

        Args:
            None

        Returns:
            A list of str objects representing bias supply identifiers.
        )", R"(
        Retrieves the number of bias supplies.

        Args:
            None

        Returns:
            An int representing the number of bias supplies.
        )", R"(
        Retrieves a bias supply identifier by its index.

        Args:
            biasIdx (int): Index of the bias supply.

        Returns:
            A str value representing the bias supply identifier.
        )"});

PyObject* getBias(PyObject* self, const Text& biasId) {
    float volts = 0;
    return call(self, zorv_bias_get, biasId.c_str(), &volts) ? PyFloat_FromDouble(volts) : nullptr;
}
ZORV_METHOD(methods, getBias, {"biasId"}, R"(
        Retrieves bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A float value representing bias voltage.
        )");

PyObject* setBias(PyObject* self, const Text& biasId, float volts) {
    if (!call(self, zorv_bias_set, biasId.c_str(), volts)) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, setBias, {"biasId", "volts"}, R"(
        Sets the bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.
            volts (float): Value to be set.

        Returns:
            None
        )");

PyObject* getBiasRange(PyObject* self, const Text& biasId) {
    float min = 0, max = 0;
    if (!call(self, zorv_bias_range, biasId.c_str(), &min, &max)) return nullptr;
    return make_record(s_BiasRange, {PyFloat_FromDouble(min), PyFloat_FromDouble(max)});
}
ZORV_METHOD(methods, getBiasRange, {"biasId"}, R"(
        Retrieves range of possible bias values (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A :obj:`~BiasRange` object.
        )");

int exec(PyObject* m) {
    PyTypeObject* type =
        make_type("zorvsdk.bias.__Bias", ZORV_COMPONENT_DOC("Bias object."), sizeof(ComponentObject), methods.table());
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && add_records(m, {{"BiasRange", "Contains minimum and maximum bias values.",
                                                 {{"min", "float", "Minimum bias value."},
                                                  {"max", "float", "Maximum bias value."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(bias, "Sensor bias voltage supplies.", exec)
