// zorvsdk.chip: chips, polarity, sense DACs, readout modes, DACs and thresholds.
#include "core/component.hpp"
#include "core/wait.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "zorv/chip.h"
#include "zorv/chip_dac.h"
#include "zorv/chip_mode.h"
#include "zorv/chip_sensedac.h"
#include "zorv/threshold.h"

using namespace zorv;

namespace {

Methods methods;

Name s_ChipPolarity("ChipPolarity"), s_positive("positive"), s_withoutParams("_Chip__selectModeWithoutParams"),
    s_withParams("_Chip__selectModeWithParams"), s_width("width"), s_height("height"), s_dwellTime("dwellTime");

ZORV_SDK_METHOD(methods, refresh, (command<zorv_chip_refresh>), {}, R"(
        Brings chips into their default state.

        This includes DAC and configuration matrix setup.

        Args:
            None

        Returns:
            None
        )");

// ---- chips and polarity ----

ZORV_SDK_METHOD(methods, getChipIds, (id_list_body<"_Chip__getChipCount", "_Chip__getChipId">), {}, R"(
        Retrieves chip identifiers.

        Args:
            None

        Returns:
            A list of str objects representing chip identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getChipCount", getChipCount, (count_body<zorv_chip_count>), {}, R"(
        Retrieves the number of chips.

        Args:
            None

        Returns:
            An int representing the number of chips.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getChipId", getChipId, (id_body<zorv_chip_id>), {"chipIdx"}, R"(
        Retrieves a chip identifier by its index.

        Args:
            chipIdx (int): Index.

        Returns:
            A str value representing the identifier.
        )");

PyObject* getPolarity(PyObject* self, int chipIdx) {
    // The SDK may report any int: it is received as one, since a value outside the enumeration's
    // members is not a value of the C++ enumeration type (ChipPolarity then raises ValueError).
    static_assert(sizeof(zorv_chip_polarity_t) == sizeof(int));
    int polarity = positive_polarity;
    if (!call(self, zorv_chip_get_polarity, chipIdx, reinterpret_cast<zorv_chip_polarity_t*>(&polarity)))
        return nullptr;
    return make_record(s_ChipPolarity, {PyLong_FromLong(long(polarity))});
}
ZORV_METHOD(methods, getPolarity, {"chipIdx"}, R"(
        Retrieves chip polarity.

        Args:
            chipIdx (int): Chip index.

        Returns:
            A ChipPolarity enum.
        )");

PyObject* setPolarity(PyObject* self, int chipIdx, PyObject* chipPolarity) {
    Ref cls = Ref::steal(global(s_ChipPolarity));
    if (!cls) return nullptr;
    Ref positive = Ref::steal(PyObject_GetAttr(cls.get(), s_positive));
    if (!positive) return nullptr;
    int is_positive = -1;
    if (Ref eq = Ref::steal(PyObject_RichCompare(chipPolarity, positive.get(), Py_EQ)))
        is_positive = PyObject_IsTrue(eq.get());
    if (is_positive < 0) return nullptr;
    if (!call(self, zorv_chip_set_polarity, chipIdx, is_positive ? positive_polarity : negative_polarity))
        return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, setPolarity, {"chipIdx", "chipPolarity"}, R"(
        Sets chip polarity.

        Args:
            chipIdx (int): Chip index.
            chipPolarity (ChipPolarity): Chip polarity to be set.

        Returns:
            None
        )");

// ---- sense DACs ----

ZORV_SDK_METHOD(methods, getSenseDacIds, (id_list_body<"_Chip__getSenseDacCount", "_Chip__getSenseDacName">), {}, R"(
        Retrieves sense DAC identifiers.

        Args:
            None

        Returns:
            A list of str objects representing sense DAC identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getSenseDacCount", getSenseDacCount, (count_body<zorv_chip_sense_dac_count>),
                   {}, R"(
        Retrieves the number of sense DACs.

        Args:
            None

        Returns:
            An int representing the number of sense DACs.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getSenseDacName", getSenseDacName, (id_body<zorv_chip_sense_dac_name>),
                   {"senseDacIdx"}, R"(
        Retrieves a sense DAC identifier by its index.

        Args:
            senseDacIdx (int): Index.

        Returns:
            A str value representing the identifier.
        )");

ZORV_SDK_METHOD(methods, selectSenseDac, (command<zorv_chip_sense_dac_sel>), {"senseDacId"}, R"(
        Selects the specified sense DAC.

        Args:
            senseDacId (str): Sense DAC identifier.

        Returns:
            None
        )");

// ---- readout modes ----

ZORV_SDK_METHOD(methods, getModeIds, (id_list_body<"_Chip__getModeCount", "_Chip__getModeId">), {}, R"(
        Retrieves acquisition mode identifiers.

        Args:
            None

        Returns:
            A list of str objects representing acquisition mode identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getModeCount", getModeCount, (count_body<zorv_chip_mode_count>), {}, R"(
        Retrieves the number of acquisition modes.

        Args:
            None

        Returns:
            An int representing the number of acquisition modes.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getModeId", getModeId, (id_body<zorv_chip_mode_id>), {"modeIdx"}, R"(
        Retrieves an acquisition mode identifier by its index.

        Args:
            modeIdx (int): Index.

        Returns:
            A str value representing the identifier.
        )");

PyObject* selectMode(PyObject* self, PyObject* modeId, PyObject* modeParams) {
    bool with = modeParams && modeParams != Py_None;
    PyObject* argv[3] = {self, modeId, modeParams};
    Ref done = Ref::steal(PyObject_VectorcallMethod(with ? s_withParams : s_withoutParams, argv,
                                                    (with ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, selectMode, {"modeId", "modeParams=None"}, "");

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

PyObject* selectModeWithoutParams(PyObject* self, PyObject* modeId) {
    TextArg id;
    ModeHold hold;
    if (!encode_mode_id(id, modeId) || !hold.take(self) || !call(self, zorv_chip_mode_select, id.c_str()))
        return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Chip__selectModeWithoutParams", selectModeWithoutParams, {"modeId"}, R"(
        Selects acquisition mode.

        Args:
            modeId (str): Acquisition mode identifier.

        Returns:
            None
        )");

template <class T>
bool read_attr(PyObject* obj, PyObject* name, bool (*convert)(PyObject*, T&), T& out) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    return value && convert(value.get(), out);
}

PyObject* selectModeWithParams(PyObject* self, PyObject* modeId, PyObject* modeParams) {
    TextArg id;
    if (!encode_mode_id(id, modeId)) return nullptr;
    scan_params record{};
    if (!read_attr(modeParams, s_width, to_uint32, record.width_) ||
        !read_attr(modeParams, s_height, to_uint32, record.height_) ||
        !read_attr(modeParams, s_dwellTime, to_uint64, record.dwell_time_))
        return nullptr;
    ModeHold hold;
    if (!hold.take(self) || !call(self, zorv_chip_mode_select_ex, id.c_str(), static_cast<void*>(&record)))
        return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Chip__selectModeWithParams", selectModeWithParams, {"modeId", "modeParams"}, R"(
        Selects acquisition mode.

        Args:
            modeId (str): Acquisition mode identifier.
            modeParams (obj): Acquisition mode parameters.

        Returns:
            None
        )");

// ---- DACs ----

ZORV_SDK_METHOD(methods, getDacIds, (id_list_body<"_Chip__getDacCount", "_Chip__getDacName">), {}, R"(
        Retrieves DAC identifiers.

        Args:
            None

        Returns:
            A list of str objects representing DAC identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getDacCount", getDacCount, (count_body<zorv_chip_dac_count>), {}, R"(
        Retrieves the number of DACs.

        Args:
            None

        Returns:
            An int representing the number of DACs.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getDacName", getDacName, (id_body<zorv_chip_dac_name>), {"dacIdx"}, R"(
        Retrieves a DAC identifier by its index.

        Args:
            dacIdx (int): Index.

        Returns:
            A str value representing the identifier.
        )");

ZORV_SDK_METHOD(methods, getDacValue, (value_by_id<zorv_chip_dac_value_get, PyLong_FromLong>), {"dacId"}, R"(
        Retrieves value of the specified DAC.

        Args:
            dacId (str): DAC identifier.

        Returns:
            An int value representing the value of specified DAC.
        )");

ZORV_SDK_METHOD(methods, setDacValue, (command<zorv_chip_dac_value_set>), {"dacId", "dacValue"}, R"(
        Sets value of the specified DAC.

        Args:
            dacId (str): DAC identifier.
            dacValue (int): DAC value to set.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, getDacLimits, (record_by_id<zorv_chip_dac_limits, "DacLimits">), {"dacId"}, R"(
        Retrieves DAC limits of the specified DAC.

        Args:
            dacId (str): DAC identifier.

        Returns:
            A :obj:`~DacLimits` object.
        )");

// ---- thresholds ----

ZORV_SDK_METHOD(methods, getThresholdIds, (id_list_body<"_Chip__getThresholdCount", "_Chip__getThresholdId">), {}, R"(
        Retrieves threshold identifiers.

        Args:
            None

        Returns:
            A list of str objects representing threshold identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getThresholdCount", getThresholdCount, (count_body<zorv_chip_threshold_count>),
                   {}, R"(
        Retrieves the number of thresholds.

        Args:
            None

        Returns:
            An int representing the number of thresholds.
        )");

ZORV_SDK_METHOD_AS(methods, "_Chip__getThresholdId", getThresholdId, (id_body<zorv_chip_threshold_id>),
                   {"threshIdx"}, R"(
        Retrieves a threshold identifier by its index.

        Args:
            threshIdx (int): Index.

        Returns:
            A str value representing the identifier.
        )");

ZORV_SDK_METHOD(methods, isThresholdCalibrated, (value_by_id<zorv_chip_threshold_is_calibrated, from_bool>),
                {"threshId"}, R"(
        Checks whether a specified threshold is calibrated.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A bool value. True if the threshold is calibrated, False otherwise.
        )");

ZORV_SDK_METHOD(methods, getThreshold, (value_by_id<zorv_chip_threshold_get, PyFloat_FromDouble>), {"threshId"}, R"(
        Retrieves value of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A float value representing the value of the specified threshold.
        )");

ZORV_SDK_METHOD(methods, setThreshold, (command<zorv_chip_threshold_set>), {"threshId", "threshValue"}, R"(
        Sets value of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.
            threshValue (float): Threshold value to be set.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, getThresholdRange, (record_by_id<zorv_chip_threshold_range, "ThresholdRange">),
                {"threshId"}, R"(
        Retrieves threshold range of the specified threshold (in keV).

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A :obj:`~ThresholdRange` object.
        )");

ZORV_SDK_METHOD(methods, getRawThreshold, (value_by_id<zorv_chip_threshold_raw_get, PyLong_FromLong>), {"threshId"}, R"(
        Retrieves raw value of the specified threshold.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            An int value representing raw value of the specified threshold.
        )");

ZORV_SDK_METHOD(methods, setRawThreshold, (command<zorv_chip_threshold_raw_set>), {"threshId", "threshValue"}, R"(
        Sets raw value of the specified threshold.

        Args:
            threshId (str): Threshold identifier.
            threshValue (int): Threshold value to be set.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, getRawThresholdRange, (record_by_id<zorv_chip_threshold_raw_range, "RawThresholdRange">),
                {"threshId"}, R"(
        Retrieves raw threshold range of the specified threshold.

        Args:
            threshId (str): Threshold identifier.

        Returns:
            A :obj:`~RawThresholdRange` object.
        )");

const char kChipDoc[] = R"(
    Chip object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.acquisition may be imported first.
    if (!add_component(m, "zorvsdk.chip.__Chip", kChipDoc, methods, sizeof(ChipObject))) return -1;
    PyTypeObject* acq = import_type("zorvsdk.acquisition", "__Acquisition", sizeof(AcquisitionObject));
    if (!acq) return -1;
    Py_DECREF(acq);  // imported for type checking only
    return add_imports(m, {{"typing", {"NamedTuple"}},
                           {"enum", {"Enum"}},
                           {"zorvsdk._records",
                            {"DacLimits", "ThresholdRange", "RawThresholdRange", "ChipPolarity", "BinningParams"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(chip, "Chips, polarity, sense DACs, readout modes, DACs and thresholds.", exec)
