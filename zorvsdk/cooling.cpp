// zorvsdk.cooling: cooling units.
#include "core/component.hpp"

#include "zorv/cooling.h"

using namespace zorv;

namespace {

Methods methods;

// The texts of the parameters that most methods share.
constexpr std::string_view kCoolingIdArg = "coolingId (str): Cooling unit identifier.";

[[maybe_unused]] const bool ids =
    declare_id_list<"getIds", "_Cooling__getCount", "_Cooling__getId", zorv_cooling_count, zorv_cooling_id>(
        methods, "coolingIdx",
        {docstring("Retrieves identifiers of cooling units.", {},
                   "A list of str objects representing cooling units identifiers."),
         count_doc("cooling units"), id_doc("a", "cooling unit", "coolingIdx")});

ZORV_SDK_METHOD(methods, getValueUnit, (value_by_id<zorv_cooling_value_unit, from_utf8>), {"coolingId"},
                docstring("Retrieves the temperature unit of the specified cooling unit.",
                          {kCoolingIdArg},
                          "A str value representing the unit of temperature.\n"
                          "Possible values: \"DegreeCelsius\"."));

ZORV_SDK_METHOD(methods, getActualTemperature, (value_by_id<zorv_cooling_get_actual, PyFloat_FromDouble>),
                {"coolingId"},
                docstring("Retrieves actual temperature of the specified cooling unit.",
                          {kCoolingIdArg},
                          "A float value representing temperature.\n"
                          "Unit can be retrieved with :func:`~getValueUnit`."));

ZORV_SDK_METHOD(methods, getDesiredTemperature, (value_by_id<zorv_cooling_get_desired, PyFloat_FromDouble>),
                {"coolingId"},
                docstring("Retrieves desired temperature of the specified cooling unit.",
                          {kCoolingIdArg},
                          "A float value representing temperature.\n"
                          "Unit can be retrieved with :func:`~getValueUnit`."));

ZORV_SDK_METHOD(methods, setDesiredTemperature, (command<zorv_cooling_set_desired>), {"coolingId", "temperature"},
                docstring("Sets desired temperature of the specified cooling unit.",
                          {kCoolingIdArg,
                           "temperature (float): Temperature to be set.\n"
                           "    Unit of temperature can be retrieved with :func:`~getValueUnit`."}, "None"));

ZORV_SDK_METHOD(methods, getLimits, (record_by_id<zorv_cooling_limits, "CoolingLimits">), {"coolingId"},
                docstring("Retrieves temperature limits of the specified cooling unit.",
                          {kCoolingIdArg}, "A :obj:`~CoolingLimits` object."));

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.cooling.__Cooling", "Cooling object.", methods) &&
                   add_records(m, {{"CoolingLimits", "Contains minimum and maximum temperature of cooling unit.",
                                    {{"min", "float", "Minimum temperature."},
                                     {"max", "float", "Maximum temperature."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(cooling, "Cooling units.", exec)
