// zorvsdk.cooling: cooling units.
#include "core/component.hpp"

#include "zorv/cooling.h"

using namespace zorv;

namespace {

Methods methods;

[[maybe_unused]] const bool ids =
    declare_id_list<"getIds", "_Cooling__getCount", "_Cooling__getId", zorv_cooling_count, zorv_cooling_id>(
        methods, "coolingIdx", {R"(
        Retrieves identifiers of cooling units.

        Args:
            None

        Returns:
            A list of str objects representing cooling units identifiers.
        )", count_doc("cooling units"), id_doc("a", "cooling unit", "coolingIdx")});

constexpr auto getValueUnit = value_by_id<zorv_cooling_value_unit, from_utf8>;
ZORV_METHOD(methods, getValueUnit, {"coolingId"}, R"(
        Retrieves the temperature unit of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A str value representing the unit of temperature.
            Possible values: "DegreeCelsius".
        )");

constexpr auto getActualTemperature = value_by_id<zorv_cooling_get_actual, PyFloat_FromDouble>;
ZORV_METHOD(methods, getActualTemperature, {"coolingId"}, R"(
        Retrieves actual temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )");

constexpr auto getDesiredTemperature = value_by_id<zorv_cooling_get_desired, PyFloat_FromDouble>;
ZORV_METHOD(methods, getDesiredTemperature, {"coolingId"}, R"(
        Retrieves desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )");

constexpr auto setDesiredTemperature = command<zorv_cooling_set_desired>;
ZORV_METHOD(methods, setDesiredTemperature, {"coolingId", "temperature"}, R"(
        Sets desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.
            temperature (float): Temperature to be set.
                Unit of temperature can be retrieved with :func:`~getValueUnit`.

        Returns:
            None
        )");

constexpr auto getLimits = record_by_id<zorv_cooling_limits, "CoolingLimits">;
ZORV_METHOD(methods, getLimits, {"coolingId"}, R"(
        Retrieves temperature limits of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A :obj:`~CoolingLimits` object.
        )");

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.cooling.__Cooling", ZORV_COMPONENT_DOC("Cooling object."),
                                   sizeof(ComponentObject), methods.table());
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && add_records(m, {{"CoolingLimits", "Contains minimum and maximum temperature of cooling unit.",
                                                 {{"min", "float", "Minimum temperature."},
                                                  {"max", "float", "Maximum temperature."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(cooling, "Cooling units.", exec)
