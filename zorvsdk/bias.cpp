// zorvsdk.bias: sensor bias voltage supplies.
#include "core/component.hpp"

#include "zorv/bias.h"

using namespace zorv;

namespace {

Name s_BiasRange("BiasRange");

constexpr auto getBiasIds = list_entry<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId">;

constexpr auto getSupplyCount = count_entry<"__getSupplyCount", zorv_bias_supply_count>;

constexpr auto getSupplyId = id_entry<"__getSupplyId", "biasIdx", zorv_bias_supply_id>;

PyObject* getBias(ZORV_METHOD_ARGS) {
    static Params<1> params("getBias", {"biasId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float volts = 0;
    if (!call(self, zorv_bias_get, id.c_str(), &volts)) return nullptr;
    return PyFloat_FromDouble(volts);
}

PyObject* setBias(ZORV_METHOD_ARGS) {
    static Params<2> params("setBias", {"biasId", "volts"});
    PyObject* a[2];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float volts;
    if (!to_float(a[1], volts)) return nullptr;
    if (!call(self, zorv_bias_set, id.c_str(), volts)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* getBiasRange(ZORV_METHOD_ARGS) {
    static Params<1> params("getBiasRange", {"biasId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float min = 0, max = 0;
    if (!call(self, zorv_bias_range, id.c_str(), &min, &max)) return nullptr;
    return make_record(s_BiasRange, {PyFloat_FromDouble(min), PyFloat_FromDouble(max)});
}

PyMethodDef kMethods[] = {
    {"getBiasIds", ZORV_FASTCALL(getBiasIds), ZORV_DOC("getBiasIds($self)", R"(
        Retrieves bias supply identifiers.

        Args:
            None

        Returns:
            A list of str objects representing bias supply identifiers.
        )")},
    {"_Bias__getSupplyCount", ZORV_FASTCALL(getSupplyCount), ZORV_DOC("_Bias__getSupplyCount($self)", R"(
        Retrieves the number of bias supplies.

        Args:
            None

        Returns:
            An int representing the number of bias supplies.
        )")},
    {"_Bias__getSupplyId", ZORV_FASTCALL(getSupplyId), ZORV_DOC("_Bias__getSupplyId($self, biasIdx)", R"(
        Retrieves a bias supply identifier by its index.

        Args:
            biasIdx (int): Index of the bias supply.

        Returns:
            A str value representing the bias supply identifier.
        )")},
    {"getBias", ZORV_FASTCALL(getBias), ZORV_DOC("getBias($self, biasId)", R"(
        Retrieves bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A float value representing bias voltage.
        )")},
    {"setBias", ZORV_FASTCALL(setBias), ZORV_DOC("setBias($self, biasId, volts)", R"(
        Sets the bias value (in volts).

        Args:
            biasId (str): Bias supply identifier.
            volts (float): Value to be set.

        Returns:
            None
        )")},
    {"getBiasRange", ZORV_FASTCALL(getBiasRange), ZORV_DOC("getBiasRange($self, biasId)", R"(
        Retrieves range of possible bias values (in volts).

        Args:
            biasId (str): Bias supply identifier.

        Returns:
            A :obj:`~BiasRange` object.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple


class BiasRange(NamedTuple):
    """
    Contains minimum and maximum bias values.

    Attributes:
        min (float): Minimum bias value.
        max (float): Maximum bias value.
    """
    min: float
    max: float
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.bias.__Bias", ZORV_COMPONENT_DOC("Bias object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(bias, "Sensor bias voltage supplies.", exec)
