// zorvsdk.bias: sensor bias voltage supplies.
#include "core/component.hpp"

#include "zorv/bias.h"

using namespace zorv;

namespace {

Methods methods;

ZORV_SDK_METHOD(methods, getBiasIds, (id_list_body<"_Bias__getSupplyCount", "_Bias__getSupplyId">), {}, R"(
        Retrieves bias supply identifiers.

        Args:
            None

        Returns:
            A list of str objects representing bias supply identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Bias__getSupplyCount", getSupplyCount, (count_body<zorv_bias_supply_count>), {}, R"(
        Retrieves the number of bias supplies.

        Args:
            None

        Returns:
            An int representing the number of bias supplies.
        )");

ZORV_SDK_METHOD_AS(methods, "_Bias__getSupplyId", getSupplyId, (id_body<zorv_bias_supply_id>), {"biasIdx"}, R"(
        Retrieves a bias supply identifier by its index.

        Args:
            biasIdx (int): Index of the bias supply.

        Returns:
            A str value representing the bias supply identifier.
        )");

ZORV_SDK_METHOD(methods, getBias, (value_by_id<zorv_bias_get, PyFloat_FromDouble>), {"biasId"}, R"(
        Retrieves bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A float value representing bias voltage.
        )");

ZORV_SDK_METHOD(methods, setBias, (command<zorv_bias_set>), {"biasId", "volts"}, R"(
        Sets the bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.
            volts (float): Value to be set.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, getBiasRange, (record_by_id<zorv_bias_range, "BiasRange">), {"biasId"}, R"(
        Retrieves range of possible bias values (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A :obj:`~BiasRange` object.
        )");

const char kBiasDoc[] = R"(
    Bias object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.bias.__Bias", kBiasDoc, methods) &&
                   add_imports(m, {{"typing", {"NamedTuple"}}, {"zorvsdk._records", {"BiasRange"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(bias, "Sensor bias voltage supplies.", exec)
