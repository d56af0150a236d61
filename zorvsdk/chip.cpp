// zorvsdk.chip: chips, polarity, sense DACs, readout modes, DACs and thresholds.
#include "core/component.hpp"

#include <cstring>

#include "zorv/chip.h"
#include "zorv/chip_dac.h"
#include "zorv/chip_mode.h"
#include "zorv/chip_sensedac.h"
#include "zorv/threshold.h"

using namespace zorv;

namespace {

Name s_ChipPolarity("ChipPolarity"), s_positive("positive"), s_DacLimits("DacLimits"),
    s_ThresholdRange("ThresholdRange"), s_RawThresholdRange("RawThresholdRange"),
    s_withoutParams("_Chip__selectModeWithoutParams"), s_withParams("_Chip__selectModeWithParams"),
    s_width("width"), s_height("height"), s_dwellTime("dwellTime");

// The methods whose one parameter is an identifier: parses it and encodes it with encode().
template <size_t N>
bool parse_with_id(Params<N>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* (&a)[N], TextArg& id) {
    return params.parse(args, nargs, kwnames, a) && id.encode(a[0]);
}

PyObject* refresh(ZORV_METHOD_ARGS) {
    static NoParams params("refresh");
    (void)args;
    if (!params.parse(nargs, kwnames) || !call(self, zorv_chip_refresh)) return nullptr;
    Py_RETURN_NONE;
}

// ---- chips and polarity ----

constexpr auto getChipIds = list_entry<"getChipIds", "_Chip__getChipCount", "_Chip__getChipId">;
constexpr auto getChipCount = count_entry<"__getChipCount", zorv_chip_count>;
constexpr auto getChipId = id_entry<"__getChipId", "chipIdx", zorv_chip_id>;

PyObject* getPolarity(ZORV_METHOD_ARGS) {
    static Params<1> params("getPolarity", {"chipIdx"});
    PyObject* a[1];
    int idx;
    if (!params.parse(args, nargs, kwnames, a) || !to_int(a[0], idx)) return nullptr;
    // The SDK may report any int: it is received as one, since a value outside the enumeration's
    // members is not a value of the C++ enumeration type (ChipPolarity then raises ValueError).
    static_assert(sizeof(zorv_chip_polarity_t) == sizeof(int));
    int polarity = positive_polarity;
    if (!call(self, zorv_chip_get_polarity, idx, reinterpret_cast<zorv_chip_polarity_t*>(&polarity))) return nullptr;
    return make_record(s_ChipPolarity, {PyLong_FromLong(long(polarity))});
}

PyObject* setPolarity(ZORV_METHOD_ARGS) {
    static Params<2> params("setPolarity", {"chipIdx", "chipPolarity"});
    PyObject* a[2];
    int idx;
    if (!params.parse(args, nargs, kwnames, a) || !to_int(a[0], idx)) return nullptr;
    Ref cls = Ref::steal(global(s_ChipPolarity));
    if (!cls) return nullptr;
    Ref positive = Ref::steal(PyObject_GetAttr(cls.get(), s_positive));
    if (!positive) return nullptr;
    int is_positive = -1;
    if (Ref eq = Ref::steal(PyObject_RichCompare(a[1], positive.get(), Py_EQ))) is_positive = PyObject_IsTrue(eq.get());
    if (is_positive < 0) return nullptr;
    if (!call(self, zorv_chip_set_polarity, idx, is_positive ? positive_polarity : negative_polarity)) return nullptr;
    Py_RETURN_NONE;
}

// ---- sense DACs ----

constexpr auto getSenseDacIds = list_entry<"getSenseDacIds", "_Chip__getSenseDacCount", "_Chip__getSenseDacName">;
constexpr auto getSenseDacCount = count_entry<"__getSenseDacCount", zorv_chip_sense_dac_count>;
constexpr auto getSenseDacName = id_entry<"__getSenseDacName", "senseDacIdx", zorv_chip_sense_dac_name>;

PyObject* selectSenseDac(ZORV_METHOD_ARGS) {
    static Params<1> params("selectSenseDac", {"senseDacId"});
    PyObject* a[1];
    TextArg id;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !call(self, zorv_chip_sense_dac_sel, id.c_str()))
        return nullptr;
    Py_RETURN_NONE;
}

// ---- readout modes ----

constexpr auto getModeIds = list_entry<"getModeIds", "_Chip__getModeCount", "_Chip__getModeId">;
constexpr auto getModeCount = count_entry<"__getModeCount", zorv_chip_mode_count>;
constexpr auto getModeId = id_entry<"__getModeId", "modeIdx", zorv_chip_mode_id>;

PyObject* selectMode(ZORV_METHOD_ARGS) {
    static Params<2> params("selectMode", {"modeId", "modeParams"}, 1);
    PyObject* a[2];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    bool with = a[1] && a[1] != Py_None;
    PyObject* argv[3] = {self, a[0], a[1]};
    Ref done = Ref::steal(PyObject_VectorcallMethod(with ? s_withParams : s_withoutParams, argv,
                                                    (with ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// The identifier is refused before the SDK hears of it when __mode could not record it whole.
bool encode_mode_id(TextArg& id, PyObject* value) {
    if (!id.encode(value)) return false;
    size_t length = std::strlen(id.c_str());
    if (length < kModeCapacity) return true;
    PyErr_Format(exception(Exc::InvalidArgument),
                 "Mode identifier of %zu bytes is longer than the %zu bytes that can be selected", length,
                 kModeCapacity - 1);
    return false;
}

// Records a selection that raised nothing.
void record_mode(PyObject* self, const TextArg& id) {
    char* mode = reinterpret_cast<ChipObject*>(self)->mode;
    std::strncpy(mode, id.c_str(), kModeCapacity - 1);
    mode[kModeCapacity - 1] = '\0';
}

PyObject* selectModeWithoutParams(ZORV_METHOD_ARGS) {
    static Params<1> params("__selectModeWithoutParams", {"modeId"});
    PyObject* a[1];
    TextArg id;
    if (!params.parse(args, nargs, kwnames, a) || !encode_mode_id(id, a[0])) return nullptr;
    if (!call(self, zorv_chip_mode_select, id.c_str())) return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}

template <class T>
bool read_attr(PyObject* obj, PyObject* name, bool (*convert)(PyObject*, T&), T& out) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    return value && convert(value.get(), out);
}

PyObject* selectModeWithParams(ZORV_METHOD_ARGS) {
    static Params<2> params("__selectModeWithParams", {"modeId", "modeParams"});
    PyObject* a[2];
    TextArg id;
    if (!params.parse(args, nargs, kwnames, a) || !encode_mode_id(id, a[0])) return nullptr;
    scan_params record{};
    if (!read_attr(a[1], s_width, to_uint32, record.width_) || !read_attr(a[1], s_height, to_uint32, record.height_) ||
        !read_attr(a[1], s_dwellTime, to_uint64, record.dwell_time_))
        return nullptr;
    if (!call(self, zorv_chip_mode_select_ex, id.c_str(), static_cast<void*>(&record))) return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}

// ---- DACs ----

constexpr auto getDacIds = list_entry<"getDacIds", "_Chip__getDacCount", "_Chip__getDacName">;
constexpr auto getDacCount = count_entry<"__getDacCount", zorv_chip_dac_count>;
constexpr auto getDacName = id_entry<"__getDacName", "dacIdx", zorv_chip_dac_name>;

PyObject* getDacValue(ZORV_METHOD_ARGS) {
    static Params<1> params("getDacValue", {"dacId"});
    PyObject* a[1];
    TextArg id;
    int value = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !call(self, zorv_chip_dac_value_get, id.c_str(), &value))
        return nullptr;
    return PyLong_FromLong(value);
}

PyObject* setDacValue(ZORV_METHOD_ARGS) {
    static Params<2> params("setDacValue", {"dacId", "dacValue"});
    PyObject* a[2];
    TextArg id;
    int value;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !to_int(a[1], value) ||
        !call(self, zorv_chip_dac_value_set, id.c_str(), value))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* getDacLimits(ZORV_METHOD_ARGS) {
    static Params<1> params("getDacLimits", {"dacId"});
    PyObject* a[1];
    TextArg id;
    int min = 0, max = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !call(self, zorv_chip_dac_limits, id.c_str(), &min, &max))
        return nullptr;
    return make_record(s_DacLimits, {PyLong_FromLong(min), PyLong_FromLong(max)});
}

// ---- thresholds ----

constexpr auto getThresholdIds = list_entry<"getThresholdIds", "_Chip__getThresholdCount", "_Chip__getThresholdId">;
constexpr auto getThresholdCount = count_entry<"__getThresholdCount", zorv_chip_threshold_count>;
constexpr auto getThresholdId = id_entry<"__getThresholdId", "threshIdx", zorv_chip_threshold_id>;

PyObject* isThresholdCalibrated(ZORV_METHOD_ARGS) {
    static Params<1> params("isThresholdCalibrated", {"threshId"});
    PyObject* a[1];
    TextArg id;
    int calibrated = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) ||
        !call(self, zorv_chip_threshold_is_calibrated, id.c_str(), &calibrated))
        return nullptr;
    return from_bool(calibrated);
}

PyObject* getThreshold(ZORV_METHOD_ARGS) {
    static Params<1> params("getThreshold", {"threshId"});
    PyObject* a[1];
    TextArg id;
    float kev = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !call(self, zorv_chip_threshold_get, id.c_str(), &kev))
        return nullptr;
    return PyFloat_FromDouble(kev);
}

PyObject* setThreshold(ZORV_METHOD_ARGS) {
    static Params<2> params("setThreshold", {"threshId", "threshValue"});
    PyObject* a[2];
    TextArg id;
    float kev;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !to_float(a[1], kev) ||
        !call(self, zorv_chip_threshold_set, id.c_str(), kev))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* getThresholdRange(ZORV_METHOD_ARGS) {
    static Params<1> params("getThresholdRange", {"threshId"});
    PyObject* a[1];
    TextArg id;
    float min = 0, max = 0, noise = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) ||
        !call(self, zorv_chip_threshold_range, id.c_str(), &min, &max, &noise))
        return nullptr;
    return make_record(s_ThresholdRange, {PyFloat_FromDouble(min), PyFloat_FromDouble(max), PyFloat_FromDouble(noise)});
}

PyObject* getRawThreshold(ZORV_METHOD_ARGS) {
    static Params<1> params("getRawThreshold", {"threshId"});
    PyObject* a[1];
    TextArg id;
    int raw = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !call(self, zorv_chip_threshold_raw_get, id.c_str(), &raw))
        return nullptr;
    return PyLong_FromLong(raw);
}

PyObject* setRawThreshold(ZORV_METHOD_ARGS) {
    static Params<2> params("setRawThreshold", {"threshId", "threshValue"});
    PyObject* a[2];
    TextArg id;
    int raw;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) || !to_int(a[1], raw) ||
        !call(self, zorv_chip_threshold_raw_set, id.c_str(), raw))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* getRawThresholdRange(ZORV_METHOD_ARGS) {
    static Params<1> params("getRawThresholdRange", {"threshId"});
    PyObject* a[1];
    TextArg id;
    int min = 0, max = 0;
    if (!parse_with_id(params, args, nargs, kwnames, a, id) ||
        !call(self, zorv_chip_threshold_raw_range, id.c_str(), &min, &max))
        return nullptr;
    return make_record(s_RawThresholdRange, {PyLong_FromLong(min), PyLong_FromLong(max)});
}

// Docstrings of the identifier-list methods, which share one form.
#define DOC_LINE(text) "        " text "\n"
#define ID_LIST_DOC(method, what)                                                              \
    ZORV_DOC(method "($self)", "\n" DOC_LINE("Retrieves " what " identifiers.") "\n" DOC_LINE("Args:") \
             DOC_LINE("    None") "\n" DOC_LINE("Returns:")                                        \
             DOC_LINE("    A list of str objects representing " what " identifiers.") "        ")
#define COUNT_DOC(method, what)                                                                \
    ZORV_DOC(method "($self)", "\n" DOC_LINE("Retrieves the number of " what ".") "\n"           \
             DOC_LINE("Args:") DOC_LINE("    None") "\n" DOC_LINE("Returns:")                      \
             DOC_LINE("    An int representing the number of " what ".") "        ")
#define ID_DOC(method, param, what)                                                            \
    ZORV_DOC(method "($self, " param ")", "\n" DOC_LINE("Retrieves " what " identifier by its index.") \
             "\n" DOC_LINE("Args:") DOC_LINE("    " param " (int): Index.") "\n" DOC_LINE("Returns:") \
             DOC_LINE("    A str value representing the identifier.") "        ")

PyMethodDef kMethods[] = {
    {"refresh", ZORV_FASTCALL(refresh), ZORV_DOC("refresh($self)", R"(
        Brings chips into their default state.

        This includes DAC and configuration matrix setup.

        Args:
            None

        Returns:
            None
        )")},
    {"getChipIds", ZORV_FASTCALL(getChipIds), ID_LIST_DOC("getChipIds", "chip")},
    {"_Chip__getChipCount", ZORV_FASTCALL(getChipCount), COUNT_DOC("_Chip__getChipCount", "chips")},
    {"_Chip__getChipId", ZORV_FASTCALL(getChipId), ID_DOC("_Chip__getChipId", "chipIdx", "a chip")},
    {"getPolarity", ZORV_FASTCALL(getPolarity), ZORV_DOC("getPolarity($self, chipIdx)", R"(
        Retrieves chip polarity.

        Args:
            chipIdx (int): Chip index.

        Returns:
            A ChipPolarity enum.
        )")},
    {"setPolarity", ZORV_FASTCALL(setPolarity), ZORV_DOC("setPolarity($self, chipIdx, chipPolarity)", R"(
        Sets chip polarity.

        Args:
            chipIdx (int): Chip index.
            chipPolarity (ChipPolarity): Chip polarity to be set.

        Returns:
            None
        )")},
    {"getSenseDacIds", ZORV_FASTCALL(getSenseDacIds), ID_LIST_DOC("getSenseDacIds", "sense DAC")},
    {"_Chip__getSenseDacCount", ZORV_FASTCALL(getSenseDacCount), COUNT_DOC("_Chip__getSenseDacCount", "sense DACs")},
    {"_Chip__getSenseDacName", ZORV_FASTCALL(getSenseDacName),
     ID_DOC("_Chip__getSenseDacName", "senseDacIdx", "a sense DAC")},
    {"selectSenseDac", ZORV_FASTCALL(selectSenseDac), ZORV_DOC("selectSenseDac($self, senseDacId)", R"(
        Selects the specified sense DAC.

        Args:
            senseDacId (str): Sense DAC identifier.

        Returns:
            None
        )")},
    {"getModeIds", ZORV_FASTCALL(getModeIds), ID_LIST_DOC("getModeIds", "acquisition mode")},
    {"_Chip__getModeCount", ZORV_FASTCALL(getModeCount), COUNT_DOC("_Chip__getModeCount", "acquisition modes")},
    {"_Chip__getModeId", ZORV_FASTCALL(getModeId), ID_DOC("_Chip__getModeId", "modeIdx", "an acquisition mode")},
    {"selectMode", ZORV_FASTCALL(selectMode), "selectMode($self, modeId, modeParams=None)\n--\n\n"},
    {"_Chip__selectModeWithoutParams", ZORV_FASTCALL(selectModeWithoutParams),
     ZORV_DOC("_Chip__selectModeWithoutParams($self, modeId)", R"(
        Selects acquisition mode.

        Args:
            modeId (str): Acquisition mode identifier.

        Returns:
            None
        )")},
    {"_Chip__selectModeWithParams", ZORV_FASTCALL(selectModeWithParams),
     ZORV_DOC("_Chip__selectModeWithParams($self, modeId, modeParams)", R"(
        Selects acquisition mode.

        Args:
            modeId (str): Acquisition mode identifier.
            modeParams (obj): Acquisition mode parameters.

        Returns:
            None
        )")},
    {"getDacIds", ZORV_FASTCALL(getDacIds), ID_LIST_DOC("getDacIds", "DAC")},
    {"_Chip__getDacCount", ZORV_FASTCALL(getDacCount), COUNT_DOC("_Chip__getDacCount", "DACs")},
    {"_Chip__getDacName", ZORV_FASTCALL(getDacName), ID_DOC("_Chip__getDacName", "dacIdx", "a DAC")},
    {"getDacValue", ZORV_FASTCALL(getDacValue), ZORV_DOC("getDacValue($self, dacId)", R"(
        Retrieves value of the specified DAC.

        Args:
            dacId (str): DAC identifier.

        Returns:
            An int value representing the value of specified DAC.
        )")},
    {"setDacValue", ZORV_FASTCALL(setDacValue), ZORV_DOC("setDacValue($self, dacId, dacValue)", R"(
        Sets value of the specified DAC.

        Args:
            dacId (str): DAC identifier.
            dacValue (int): DAC value to set.

        Returns:
            None
        )")},
    {"getDacLimits", ZORV_FASTCALL(getDacLimits), ZORV_DOC("getDacLimits($self, dacId)", R"(
        Retrieves DAC limits of the specified DAC.

        Args:
            dacId (str): DAC identifier.

        Returns:
            A :obj:`~DacLimits` object.
        )")},
    {"getThresholdIds", ZORV_FASTCALL(getThresholdIds), ID_LIST_DOC("getThresholdIds", "threshold")},
    {"_Chip__getThresholdCount", ZORV_FASTCALL(getThresholdCount), COUNT_DOC("_Chip__getThresholdCount", "thresholds")},
    {"_Chip__getThresholdId", ZORV_FASTCALL(getThresholdId),
     ID_DOC("_Chip__getThresholdId", "threshIdx", "a threshold")},
    {"isThresholdCalibrated", ZORV_FASTCALL(isThresholdCalibrated), ZORV_DOC("isThresholdCalibrated($self, threshId)", R"(
        Checks whether a specified threshold is calibrated.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A bool value. True if the threshold is calibrated, False otherwise.
        )")},
    {"getThreshold", ZORV_FASTCALL(getThreshold), ZORV_DOC("getThreshold($self, threshId)", R"(
        Retrieves value of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A float value representing the value of the specified threshold.
        )")},
    {"setThreshold", ZORV_FASTCALL(setThreshold), ZORV_DOC("setThreshold($self, threshId, threshValue)", R"(
        Sets value of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.
            threshValue (float): Threshold value to be set.

        Returns:
            None
        )")},
    {"getThresholdRange", ZORV_FASTCALL(getThresholdRange), ZORV_DOC("getThresholdRange($self, threshId)", R"(
        Retrieves threshold range of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A :obj:`~ThresholdRange` object.
        )")},
    {"getRawThreshold", ZORV_FASTCALL(getRawThreshold), ZORV_DOC("getRawThreshold($self, threshId)", R"(
        Retrieves raw value of the specified threshold.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            An int value representing raw value of the specified threshold.
        )")},
    {"setRawThreshold", ZORV_FASTCALL(setRawThreshold), ZORV_DOC("setRawThreshold($self, threshId, threshValue)", R"(
        Sets raw value of the specified threshold.

        Args:
            threshId (str): Threshold identifier.
            threshValue (int): Threshold value to be set.

        Returns:
            None
        )")},
    {"getRawThresholdRange", ZORV_FASTCALL(getRawThresholdRange), ZORV_DOC("getRawThresholdRange($self, threshId)", R"(
        Retrieves raw threshold range of the specified threshold.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A :obj:`~RawThresholdRange` object.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple
from enum import Enum


class DacLimits(NamedTuple):
    """
    Contains minimum and maximum DAC values.

    Attributes:
        min (int): Minimum DAC value.
        max (int): Maximum DAC value.
    """
    min: int
    max: int


class ThresholdRange(NamedTuple):
    """
    Contains minimum, maximum and noise of threshold.

    Args:
        min (float): Minimum threshold.
        max (float): Maximum threshold.
        noise (float): Noise of threshold.
    """
    min: float
    max: float
    noise: float


class RawThresholdRange(NamedTuple):
    """
    Contains minimum and maximum raw threshold.

    Attributes:
        min (int): Minimum raw threshold.
        max (int): Maximum raw threshold.
    """
    min: int
    max: int


class ChipPolarity(Enum):
    """
    Contains polarity of a chip.
    """
    positive = 0
    negative = 1


class BinningParams(NamedTuple):
    """
    Contains binning parameters.

    Attributes:
        width (int): Bin width in pixels.
        height (int): Bin height in pixels.
        dwellTime (int): Dwell time of a bin.
    """
    width: int
    height: int
    dwellTime: int
)";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.acquisition may be imported first.
    PyTypeObject* type = make_type("zorvsdk.chip.__Chip", ZORV_COMPONENT_DOC("Chip object."), sizeof(ChipObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    if (!import_common(m)) return -1;
    PyTypeObject* acq = import_type("zorvsdk.acquisition", "__Acquisition", sizeof(AcquisitionObject));
    if (!acq) return -1;
    Py_DECREF(acq);  // imported for type checking only
    return run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(chip, "Chips, polarity, sense DACs, readout modes, DACs and thresholds.", exec)
