// zorvsdk.bias: sensor bias voltage supplies.
#include "core/component.hpp"

#include "zorv/bias.h"

using namespace zorv;

namespace {

Methods methods;

// The texts of the parameters that most methods share.
constexpr std::string_view kBiasIdArg = "biasId (str): Bias supply identifier.";

[[maybe_unused]] const bool ids =
    declare_id_list<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId", zorv_bias_supply_count,
                    zorv_bias_supply_id>(methods, "biasIdx", {list_doc("bias supply"), count_doc("bias supplies"), id_doc("a", "bias supply", "biasIdx")});

ZORV_SDK_METHOD(methods, getBias, (value_by_id<zorv_bias_get, PyFloat_FromDouble>), {"biasId"},
                docstring("Retrieves bias value (in volts).", {kBiasIdArg},
                          "A float value representing bias voltage."));

ZORV_SDK_METHOD(methods, setBias, (command<zorv_bias_set>), {"biasId", "volts"},
                docstring("Sets the bias value (in volts).",
                          {kBiasIdArg, "volts (float): Value to be set."}, "None"));

ZORV_SDK_METHOD(methods, getBiasRange, (record_by_id<zorv_bias_range, "BiasRange">), {"biasId"},
                docstring("Retrieves range of possible bias values (in volts).",
                          {kBiasIdArg}, "A :obj:`~BiasRange` object."));

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.bias.__Bias", "Bias object.", methods) &&
                   add_records(m, {{"BiasRange", "Contains minimum and maximum bias values.",
                                    {{"min", "float", "Minimum bias value."},
                                     {"max", "float", "Maximum bias value."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(bias, "Sensor bias voltage supplies.", exec)
