// zorvsdk.cooling: cooling units.
#include "core/component.hpp"

#include "zorv/cooling.h"

using namespace zorv;

namespace {

Name s_CoolingLimits("CoolingLimits");

constexpr auto getIds = list_entry<"getIds", "_Cooling__getCount", "_Cooling__getId">;

constexpr auto getCount = count_entry<"__getCount", zorv_cooling_count>;

constexpr auto getId = id_entry<"__getId", "coolingIdx", zorv_cooling_id>;

PyObject* getValueUnit(ZORV_METHOD_ARGS) {
    static Params<1> params("getValueUnit", {"coolingId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    const char* unit = "";
    if (!call(self, zorv_cooling_value_unit, id.c_str(), &unit)) return nullptr;
    return from_utf8(unit);
}

// A temperature read: fn(ctx, id, &value) with the value preset to 0.
PyObject* temperature(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Params<1>& params, int (*fn)(zorv_ctx_t*, const char*, float*)) {
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float value = 0;
    if (!call(self, fn, id.c_str(), &value)) return nullptr;
    return PyFloat_FromDouble(value);
}

PyObject* getActualTemperature(ZORV_METHOD_ARGS) {
    static Params<1> params("getActualTemperature", {"coolingId"});
    return temperature(self, args, nargs, kwnames, params, zorv_cooling_get_actual);
}

PyObject* getDesiredTemperature(ZORV_METHOD_ARGS) {
    static Params<1> params("getDesiredTemperature", {"coolingId"});
    return temperature(self, args, nargs, kwnames, params, zorv_cooling_get_desired);
}

PyObject* setDesiredTemperature(ZORV_METHOD_ARGS) {
    static Params<2> params("setDesiredTemperature", {"coolingId", "temperature"});
    PyObject* a[2];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float value;
    if (!to_float(a[1], value)) return nullptr;
    if (!call(self, zorv_cooling_set_desired, id.c_str(), value)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* getLimits(ZORV_METHOD_ARGS) {
    static Params<1> params("getLimits", {"coolingId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    float min = 0, max = 0;
    if (!call(self, zorv_cooling_limits, id.c_str(), &min, &max)) return nullptr;
    return make_record(s_CoolingLimits, {PyFloat_FromDouble(min), PyFloat_FromDouble(max)});
}

PyMethodDef kMethods[] = {
    {"getIds", ZORV_FASTCALL(getIds), ZORV_DOC("getIds($self)", R"(
        Retrieves identifiers of cooling units.

        Args:
            None

        Returns:
            A list of str objects representing cooling units identifiers.
        )")},
    {"_Cooling__getCount", ZORV_FASTCALL(getCount), ZORV_DOC("_Cooling__getCount($self)", R"(
        Retrieves the number of cooling units.

        Args:
            None

        Returns:
            An int representing the number of cooling units.
        )")},
    {"_Cooling__getId", ZORV_FASTCALL(getId), ZORV_DOC("_Cooling__getId($self, coolingIdx)", R"(
        Retrieves a cooling unit identifier by its index.

        Args:
            coolingIdx (int): Index of the cooling unit.

        Returns:
            A str value representing the cooling unit identifier.
        )")},
    {"getValueUnit", ZORV_FASTCALL(getValueUnit), ZORV_DOC("getValueUnit($self, coolingId)", R"(
        Retrieves the temperature unit of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A str value representing the unit of temperature.
            Possible values: "DegreeCelsius".
        )")},
    {"getActualTemperature", ZORV_FASTCALL(getActualTemperature), ZORV_DOC("getActualTemperature($self, coolingId)", R"(
        Retrieves actual temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )")},
    {"getDesiredTemperature", ZORV_FASTCALL(getDesiredTemperature), ZORV_DOC("getDesiredTemperature($self, coolingId)", R"(
        Retrieves desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A float value representing temperature.
            Unit can be retrieved with :func:`~getValueUnit`.
        )")},
    {"setDesiredTemperature", ZORV_FASTCALL(setDesiredTemperature), ZORV_DOC("setDesiredTemperature($self, coolingId, temperature)", R"(
        Sets desired temperature of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.
            temperature (float): Temperature to be set.
                Unit of temperature can be retrieved with :func:`~getValueUnit`.

        Returns:
            None
        )")},
    {"getLimits", ZORV_FASTCALL(getLimits), ZORV_DOC("getLimits($self, coolingId)", R"(
        Retrieves temperature limits of the specified cooling unit.

        Args:
            coolingId (str): Cooling unit identifier.

        Returns:
            A :obj:`~CoolingLimits` object.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple


class CoolingLimits(NamedTuple):
    """
    Contains minimum and maximum temperature of cooling unit.

    Attributes:
        min (float): Minimum temperature.
        max (float): Maximum temperature.
    """
    min: float
    max: float
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.cooling.__Cooling", ZORV_COMPONENT_DOC("Cooling object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(cooling, "Cooling units.", exec)
