// zorvsdk.cooling: cooling units.
#include "core/component.hpp"

#include "zorv/cooling.h"

using namespace zorv;

namespace {

Methods methods;

ZORV_SDK_METHOD(methods, getIds, (id_list_body<"_Cooling__getCount", "_Cooling__getId">), {}, R"(
        Retrieves identifiers of cooling units.

        Args:
            None

        Returns:
            A list of str objects representing cooling units identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Cooling__getCount", getCount, (count_body<zorv_cooling_count>), {}, R"(
        Retrieves the number of cooling units.

        Args:
            None

        Returns:
            An int representing the number of cooling units.
        )");

ZORV_SDK_METHOD_AS(methods, "_Cooling__getId", getId, (id_body<zorv_cooling_id>), {"coolingIdx"}, R"(
        Retrieves a cooling unit identifier by its index.

        Args:
            coolingIdx (int): Index of the cooling unit.

        Returns:
            A str value representing the cooling unit identifier.
        )");

ZORV_SDK_METHOD(methods, getValueUnit, (value_by_id<zorv_cooling_value_unit, from_utf8>), {"coolingId"}, R"(
        Retrieves the temperature unit of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A str value representing the unit of temperature.
            Possible values: "DegreeCelsius".
        )");

ZORV_SDK_METHOD(methods, getActualTemperature, (value_by_id<zorv_cooling_get_actual, PyFloat_FromDouble>),
                {"coolingId"}, R"(
        Retrieves actual temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )");

ZORV_SDK_METHOD(methods, getDesiredTemperature, (value_by_id<zorv_cooling_get_desired, PyFloat_FromDouble>),
                {"coolingId"}, R"(
        Retrieves desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )");

ZORV_SDK_METHOD(methods, setDesiredTemperature, (command<zorv_cooling_set_desired>), {"coolingId", "temperature"}, R"(
        Sets desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.
            temperature (float): Temperature to be set.
                Unit of temperature can be retrieved with :func:`~getValueUnit`.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, getLimits, (record_by_id<zorv_cooling_limits, "CoolingLimits">), {"coolingId"}, R"(
        Retrieves temperature limits of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A :obj:`~CoolingLimits` object.
        )");

const char kCoolingDoc[] = R"(
    Cooling object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.cooling.__Cooling", kCoolingDoc, methods) &&
                   add_imports(m, {{"typing", {"NamedTuple"}}, {"zorvsdk._records", {"CoolingLimits"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(cooling, "Cooling units.", exec)
