// zorvsdk.chip: chips, polarity, sense DACs, readout modes, DACs and thresholds.
#include "core/component.hpp"

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

// The texts of the parameters that most methods share.
constexpr std::string_view kDacIdArg = "dacId (str): DAC identifier.";
constexpr std::string_view kThreshIdArg = "threshId (str): Threshold identifier.";

Name s_ChipPolarity("ChipPolarity"), s_positive("positive"), s_withoutParams("_Chip__selectModeWithoutParams"),
    s_withParams("_Chip__selectModeWithParams"), s_width("width"), s_height("height"), s_dwellTime("dwellTime");

// The texts of the chip's identifier lists: the items of the list ("DAC"), their number ("DACs"),
// and one of them with the parameter of its index ("a DAC", "dacIdx").
IdListDocs id_list_docs(std::string_view item, std::string_view items, std::string_view one, std::string_view index) {
    return {list_doc(item), count_doc(items),
            docstring("Retrieves " + std::string(one) + " identifier by its index.",
                      {std::string(index) + " (int): Index."}, "A str value representing the identifier.")};
}

ZORV_SDK_METHOD(methods, refresh, (command<zorv_chip_refresh>), {},
                docstring("Brings chips into their default state.\n"
                          "\n"
                          "This includes DAC and configuration matrix setup.", {}, "None"));

// ---- chips and polarity ----

[[maybe_unused]] const bool chips =
    declare_id_list<"getChipIds", "_Chip__getChipCount", "_Chip__getChipId", zorv_chip_count, zorv_chip_id>(
        methods, "chipIdx", id_list_docs("chip", "chips", "a chip", "chipIdx"));

PyObject* getPolarity(PyObject* self, int chipIdx) {
    // The SDK may report any int: it is received as one, since a value outside the enumeration's
    // members is not a value of the C++ enumeration type (ChipPolarity then raises ValueError).
    static_assert(sizeof(zorv_chip_polarity_t) == sizeof(int));
    int polarity = positive_polarity;
    if (!call(self, zorv_chip_get_polarity, chipIdx, reinterpret_cast<zorv_chip_polarity_t*>(&polarity)))
        return nullptr;
    return make_record(s_ChipPolarity, {PyLong_FromLong(long(polarity))});
}
ZORV_METHOD(methods, getPolarity, {"chipIdx"},
            docstring("Retrieves chip polarity.", {"chipIdx (int): Chip index."}, "A ChipPolarity enum."));

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
ZORV_METHOD(methods, setPolarity, {"chipIdx", "chipPolarity"},
            docstring("Sets chip polarity.", {"chipIdx (int): Chip index.",
                       "chipPolarity (ChipPolarity): Chip polarity to be set."}, "None"));

// ---- sense DACs ----

[[maybe_unused]] const bool sense_dacs =
    declare_id_list<"getSenseDacIds", "_Chip__getSenseDacCount", "_Chip__getSenseDacName", zorv_chip_sense_dac_count,
                    zorv_chip_sense_dac_name>(methods, "senseDacIdx",
                                              id_list_docs("sense DAC", "sense DACs", "a sense DAC", "senseDacIdx"));

ZORV_SDK_METHOD(methods, selectSenseDac, (command<zorv_chip_sense_dac_sel>), {"senseDacId"},
                docstring("Selects the specified sense DAC.", {"senseDacId (str): Sense DAC identifier."}, "None"));

// ---- readout modes ----

[[maybe_unused]] const bool modes =
    declare_id_list<"getModeIds", "_Chip__getModeCount", "_Chip__getModeId", zorv_chip_mode_count, zorv_chip_mode_id>(
        methods, "modeIdx", id_list_docs("acquisition mode", "acquisition modes", "an acquisition mode", "modeIdx"));

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
    if (!encode_mode_id(id, modeId) || !call(self, zorv_chip_mode_select, id.c_str())) return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Chip__selectModeWithoutParams", selectModeWithoutParams, {"modeId"},
               docstring("Selects acquisition mode.", {"modeId (str): Acquisition mode identifier."}, "None"));

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
    if (!call(self, zorv_chip_mode_select_ex, id.c_str(), static_cast<void*>(&record))) return nullptr;
    record_mode(self, id);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Chip__selectModeWithParams", selectModeWithParams, {"modeId", "modeParams"},
               docstring("Selects acquisition mode.", {"modeId (str): Acquisition mode identifier.",
                          "modeParams (obj): Acquisition mode parameters."}, "None"));

// ---- DACs ----

[[maybe_unused]] const bool dacs =
    declare_id_list<"getDacIds", "_Chip__getDacCount", "_Chip__getDacName", zorv_chip_dac_count, zorv_chip_dac_name>(
        methods, "dacIdx", id_list_docs("DAC", "DACs", "a DAC", "dacIdx"));

ZORV_SDK_METHOD(methods, getDacValue, (value_by_id<zorv_chip_dac_value_get, PyLong_FromLong>), {"dacId"},
                docstring("Retrieves value of the specified DAC.", {kDacIdArg},
                          "An int value representing the value of specified DAC."));

ZORV_SDK_METHOD(methods, setDacValue, (command<zorv_chip_dac_value_set>), {"dacId", "dacValue"},
                docstring("Sets value of the specified DAC.",
                          {kDacIdArg, "dacValue (int): DAC value to set."}, "None"));

ZORV_SDK_METHOD(methods, getDacLimits, (record_by_id<zorv_chip_dac_limits, "DacLimits">), {"dacId"},
                docstring("Retrieves DAC limits of the specified DAC.", {kDacIdArg},
                          "A :obj:`~DacLimits` object."));

// ---- thresholds ----

[[maybe_unused]] const bool thresholds =
    declare_id_list<"getThresholdIds", "_Chip__getThresholdCount", "_Chip__getThresholdId", zorv_chip_threshold_count,
                    zorv_chip_threshold_id>(methods, "threshIdx",
                                            id_list_docs("threshold", "thresholds", "a threshold", "threshIdx"));

ZORV_SDK_METHOD(methods, isThresholdCalibrated, (value_by_id<zorv_chip_threshold_is_calibrated, from_bool>),
                {"threshId"},
                docstring("Checks whether a specified threshold is calibrated.",
                          {kThreshIdArg},
                          "A bool value. True if the threshold is calibrated, False otherwise."));

ZORV_SDK_METHOD(methods, getThreshold, (value_by_id<zorv_chip_threshold_get, PyFloat_FromDouble>), {"threshId"},
                docstring("Retrieves value of the specified threshold (in keV).",
                          {kThreshIdArg},
                          "A float value representing the value of the specified threshold."));

ZORV_SDK_METHOD(methods, setThreshold, (command<zorv_chip_threshold_set>), {"threshId", "threshValue"},
                docstring("Sets value of the specified threshold (in keV).",
                          {kThreshIdArg, "threshValue (float): Threshold value to be set."},
                          "None"));

ZORV_SDK_METHOD(methods, getThresholdRange, (record_by_id<zorv_chip_threshold_range, "ThresholdRange">), {"threshId"},
                docstring("Retrieves threshold range of the specified threshold (in keV).",
                          {kThreshIdArg}, "A :obj:`~ThresholdRange` object."));

ZORV_SDK_METHOD(methods, getRawThreshold, (value_by_id<zorv_chip_threshold_raw_get, PyLong_FromLong>), {"threshId"},
                docstring("Retrieves raw value of the specified threshold.",
                          {kThreshIdArg},
                          "An int value representing raw value of the specified threshold."));

ZORV_SDK_METHOD(methods, setRawThreshold, (command<zorv_chip_threshold_raw_set>), {"threshId", "threshValue"},
                docstring("Sets raw value of the specified threshold.",
                          {kThreshIdArg, "threshValue (int): Threshold value to be set."},
                          "None"));

ZORV_SDK_METHOD(methods, getRawThresholdRange, (record_by_id<zorv_chip_threshold_raw_range, "RawThresholdRange">),
                {"threshId"},
                docstring("Retrieves raw threshold range of the specified threshold.",
                          {kThreshIdArg}, "A :obj:`~RawThresholdRange` object."));

// The polarity of a chip, defined between the records so that the module's names keep their order.
const char kPolarity[] = R"(

class ChipPolarity(Enum):
    """
    Contains polarity of a chip.
    """
    positive = 0
    negative = 1
)";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.acquisition may be imported first.
    if (!add_component(m, "zorvsdk.chip.__Chip", "Chip object.", methods, sizeof(ChipObject))) return -1;
    PyTypeObject* acq = import_type("zorvsdk.acquisition", "__Acquisition", sizeof(AcquisitionObject));
    if (!acq) return -1;
    Py_DECREF(acq);  // imported for type checking only
    return add_records(m, {{"DacLimits", "Contains minimum and maximum DAC values.",
                            {{"min", "int", "Minimum DAC value."}, {"max", "int", "Maximum DAC value."}}},
                           {"ThresholdRange", "Contains minimum, maximum and noise of threshold.",
                            {{"min", "float", "Minimum threshold."},
                             {"max", "float", "Maximum threshold."},
                             {"noise", "float", "Noise of threshold."}},
                            "Args"},
                           {"RawThresholdRange", "Contains minimum and maximum raw threshold.",
                            {{"min", "int", "Minimum raw threshold."}, {"max", "int", "Maximum raw threshold."}}}},
                       "from enum import Enum\n") &&
                   run_body(m, kPolarity) &&
                   add_records(m, {{"BinningParams", "Contains binning parameters.",
                                    {{"width", "int", "Bin width in pixels."},
                                     {"height", "int", "Bin height in pixels."},
                                     {"dwellTime", "int", "Dwell time of a bin."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(chip, "Chips, polarity, sense DACs, readout modes, DACs and thresholds.", exec)
