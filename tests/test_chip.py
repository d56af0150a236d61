"""Chips, polarity, sense DACs, readout modes, DACs and thresholds through Device.chip."""
import contextlib
import copy
import ctypes
import pickle
import types

import numpy
import pytest

import zorvsim
from zorvsdk import chip, errors
from zorvsdk.chip import BinningParams, ChipPolarity

CHIP = "/devices/0/chip"
CAL, UNCAL = "0:threshold", "3:threshold"
BINNED = ["0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"]
ACQUISITION_MODES = {"0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event",
                     "0:tpx3-seq-itot-event-vec", "0:tpx3-dd-toa-tot-vec", "0:tpx3-dd-toa-tot", "0:tpx-medipix",
                     "0:tpx3-sorted-dd-toa-tot", *BINNED}
PLAIN = "0:tpx3-dd-toa-tot"
MODE_OFFSET = object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)  # after the head and the context


def mode_of(obj):
    """The chip object's native 30-byte record of the mode last selected, up to its NUL."""
    raw = ctypes.string_at(id(obj) + MODE_OFFSET, 30)
    assert b"\0" in raw
    return raw.split(b"\0")[0]


def f32(value):
    return float(numpy.float32(value))


def threshold_model(tid):
    return next(t for t in zorvsim.get(f"{CHIP}/thresholds") if t["id"] == tid)


class Logged:
    """An identifier or value that records when it is converted."""

    def __init__(self, log, text="preamp_bias", number=7):
        self.log, self.text, self.number = log, text, number

    def encode(self):
        self.log.append("id")
        return self.text.encode()

    def __int__(self):
        self.log.append("value")
        return self.number

    def __float__(self):
        return float(self.__int__())


# ---- module objects ----

@pytest.mark.parametrize("cls, fields, kind, summary", [
    (chip.DacLimits, ("min", "max"), "int", "Contains minimum and maximum DAC values."),
    (chip.ThresholdRange, ("min", "max", "noise"), "float", "Contains minimum, maximum and noise of threshold."),
    (chip.RawThresholdRange, ("min", "max"), "int", "Contains minimum and maximum raw threshold."),
    (BinningParams, ("width", "height", "dwellTime"), "int", "Contains binning parameters."),
])
def test_records_are_named_tuples(cls, fields, kind, summary):
    assert issubclass(cls, tuple) and cls._fields == fields
    names = {k: getattr(v, "__forward_arg__", v) for k, v in cls.__annotations__.items()}
    assert names == dict.fromkeys(fields, kind)
    assert cls.__doc__.strip().splitlines()[0] == summary
    assert cls(*range(len(fields))) == tuple(range(len(fields)))


def test_chip_polarity_enum():
    assert [(m.name, m.value) for m in ChipPolarity] == [("positive", 0), ("negative", 1)]
    assert ChipPolarity.__doc__.strip() == "Contains polarity of a chip."


def test_pickling_and_copying_are_refused(opened):
    for action in (pickle.dumps, copy.copy, lambda c: c.__setstate__({})):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            action(opened.chip)


def test_chip_without_context_refuses_calls_without_the_sdk(opened):
    loose = type(opened.chip)(None)
    assert mode_of(loose) == b"" and mode_of(opened.chip) == b""
    with zorvsim.Journal() as journal:
        for call in (loose.refresh, loose.getChipIds, lambda: loose.selectMode(PLAIN)):
            with pytest.raises(errors.ZorvSdkInvalidOperationError):
                call()
    assert journal.entries == [] and mode_of(loose) == b""


@pytest.mark.parametrize("call, message", [
    (lambda c: c.refresh(1), "refresh() takes exactly 0 positional arguments (1 given)"),
    (lambda c: c.getDacIds(x=1), "getDacIds() got an unexpected keyword argument 'x'"),
    (lambda c: c.getPolarity(), "getPolarity() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.setDacValue("preamp_bias"), "setDacValue() takes exactly 2 positional arguments (1 given)"),
    (lambda c: c.setDacValue("preamp_bias", 1, dacId="x"),
     "setDacValue() got multiple values for keyword argument 'dacId'"),
    (lambda c: c.setThreshold(CAL, value=1.0), "setThreshold() got an unexpected keyword argument 'value'"),
    (lambda c: c.selectMode(), "selectMode() takes at least 1 positional argument (0 given)"),
    (lambda c: c.selectMode(modeParams=None), "selectMode() takes at least 1 positional argument (0 given)"),
    (lambda c: c.selectMode(PLAIN, None, 1), "selectMode() takes at most 2 positional arguments (3 given)"),
    (lambda c: type(c)(5), "Cannot convert int to zorvsdk.context._Context"),
])
def test_argument_errors(opened, call, message):
    with zorvsim.Journal() as journal:
        with pytest.raises(TypeError) as info:
            call(opened.chip)
    assert str(info.value) == message
    assert journal.entries == []


def test_parameters_by_keyword(opened):
    opened.chip.setDacValue(dacValue=9, dacId="preamp_bias")
    opened.chip.selectMode(modeParams=BinningParams(16, 16, 5), modeId=BINNED[0])
    assert opened.chip.getDacValue(dacId="preamp_bias") == 9 and mode_of(opened.chip) == BINNED[0].encode()


# ---- conversions ----

@pytest.mark.parametrize("value, sent", [(True, 1), (1.9, 1), (-2**31, -2**31), (2**31 - 1, 2**31 - 1)])
def test_integers_reach_the_sdk_converted(opened, value, sent):
    c = opened.chip
    with zorvsim.Journal() as journal:
        for call in (c.getPolarity, c._Chip__getChipId, lambda v: c.setDacValue("nope", v)):
            with contextlib.suppress(errors.ZorvSdkInvalidArgumentError):  # no such chip index or DAC
                call(value)
    fns = ("zorv_chip_get_polarity", "zorv_chip_id", "zorv_chip_dac_value_set")
    assert [e["args"] for e in journal.entries if e["fn"] in fns] == [[sent], [sent], ["nope", sent]]


@pytest.mark.parametrize("call", [
    lambda c, v: c.getPolarity(v), lambda c, v: c.setPolarity(v, ChipPolarity.positive),
    lambda c, v: c._Chip__getModeId(v), lambda c, v: c.setDacValue("preamp_bias", v),
    lambda c, v: c.setRawThreshold(CAL, v),
])
@pytest.mark.parametrize("value, exc, message", [
    ("1", TypeError, "an integer is required"), (None, TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
])
def test_integer_conversion_errors_make_no_sdk_call(opened, call, value, exc, message):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc, match=f"^{message}$"):
            call(opened.chip, value)
    assert journal.entries == []


@pytest.mark.parametrize("call", [
    lambda c, i, v: c.setDacValue(i, v), lambda c, i, v: c.setRawThreshold(i, v),
    lambda c, i, v: c.setThreshold(i, v),
])
def test_identifier_is_converted_before_the_value(opened, call):
    log = []
    with pytest.raises(errors.ZorvSdkInvalidArgumentError):
        call(opened.chip, Logged(log, text="nope"), Logged(log))
    assert log == ["id", "value"]
    with zorvsim.Journal() as journal:
        for ident in (b"preamp_bias", None):
            with pytest.raises(AttributeError):
                call(opened.chip, ident, "not a number")
        with pytest.raises(TypeError):
            call(opened.chip, CAL, "5")
    assert journal.entries == []


class _EncodesTo(str):
    def __new__(cls, result):
        obj = super().__new__(cls, "preamp_bias")
        obj.result = result
        return obj

    def encode(self, *args):
        return self.result


@pytest.mark.parametrize("call", [
    lambda c, i: c.getDacValue(i), lambda c, i: c.selectSenseDac(i), lambda c, i: c.selectMode(i),
    lambda c, i: c.selectMode(i, BinningParams(1, 1, 1)), lambda c, i: c.getRawThresholdRange(i),
])
@pytest.mark.parametrize("result, message", [
    (None, "expected bytes, NoneType found"), ("text", "Expected bytes, got str"),
    (bytearray(b"x"), "Expected bytes, got bytearray"),
])
def test_identifier_must_encode_to_bytes(opened, call, result, message):
    with zorvsim.Journal() as journal:
        with pytest.raises(TypeError, match=f"^{message}$"):
            call(opened.chip, _EncodesTo(result))
    assert journal.entries == [] and mode_of(opened.chip) == b""


@pytest.mark.parametrize("value, sent", [(5, 5.0), (0.1, f32(0.1)), (numpy.float64(-1.3), f32(-1.3))])
def test_threshold_is_sent_in_single_precision(opened, value, sent):
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInvalidArgumentError):
            opened.chip.setThreshold("nope", value)
    assert journal.calls("zorv_chip_threshold_set")[0]["args"] == ["nope", sent]


@pytest.mark.parametrize("value, text", [(1e300, "inf"), (-1e39, "-inf"), (3.5e38, "inf")])
def test_threshold_beyond_single_precision_becomes_infinite(opened, value, text):
    # The device's refusal names the value it received.
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match=f"^{text} keV for threshold '{CAL}'"):
        opened.chip.setThreshold(CAL, value)


# ---- polarity ----

class _EqualsAnything:
    def __eq__(self, other):
        return True


@pytest.mark.parametrize("polarity, sent", [
    (ChipPolarity.positive, 0), (_EqualsAnything(), 0), (ChipPolarity.negative, 1), (0, 1), ("positive", 1),
    (None, 1),
])
def test_set_polarity_mapping(opened, polarity, sent):
    with zorvsim.Journal() as journal:
        opened.chip.setPolarity(2, polarity)
    assert journal.calls("zorv_chip_set_polarity")[0]["args"] == [2, sent]
    assert opened.chip.getPolarity(2) is ChipPolarity(sent)
    assert zorvsim.get(f"{CHIP}/chips/2/polarity") == sent


# ---- forced out-values and statuses ----

@pytest.mark.parametrize("forced, expected", [(2, True), (-1, True), (1, True), (0, False)])
def test_is_threshold_calibrated_is_a_bool(opened, forced, expected):
    zorvsim.force("zorv_chip_threshold_is_calibrated", [forced])
    assert opened.chip.isThresholdCalibrated(UNCAL) is expected


def test_forced_out_values_are_returned_in_order(opened):
    zorvsim.force("zorv_chip_get_polarity", [2])
    with pytest.raises(ValueError):
        opened.chip.getPolarity(0)
    zorvsim.force("zorv_chip_threshold_range", [0.1, 0.2, 0.3])
    zorvsim.force("zorv_chip_dac_limits", [-5, 9])
    zorvsim.force("zorv_chip_threshold_raw_range", [3, -4])
    zorvsim.force("zorv_chip_threshold_get", [0.7])
    got = opened.chip.getThresholdRange(CAL)
    assert type(got) is chip.ThresholdRange and tuple(got) == (f32(0.1), f32(0.2), f32(0.3))
    limits = opened.chip.getDacLimits("preamp_bias")
    assert type(limits) is chip.DacLimits and (limits.min, limits.max) == (-5, 9)
    assert opened.chip.getRawThresholdRange(CAL) == chip.RawThresholdRange(3, -4)
    assert opened.chip.getThreshold(CAL) == f32(0.7)


@pytest.mark.parametrize("count_fn, method, id_fn", [
    ("zorv_chip_count", "getChipIds", "zorv_chip_id"), ("zorv_chip_mode_count", "getModeIds", "zorv_chip_mode_id"),
    ("zorv_chip_dac_count", "getDacIds", "zorv_chip_dac_name"),
    ("zorv_chip_threshold_count", "getThresholdIds", "zorv_chip_threshold_id"),
])
def test_negative_count_gives_an_empty_list(opened, count_fn, method, id_fn):
    zorvsim.force(count_fn, [-1])
    with zorvsim.Journal() as journal:
        assert getattr(opened.chip, method)() == []
    assert journal.calls(id_fn) == []


@pytest.mark.parametrize("status, cls", [(-1, errors.ZorvSdkInternalException), (-4, errors.ZorvSdkNoMemoryException),
                                         (-5, errors.ZorvSdkPointerException)])
@pytest.mark.parametrize("fn, call", [
    ("zorv_chip_refresh", lambda c: c.refresh()),
    ("zorv_chip_dac_value_set", lambda c: c.setDacValue("preamp_bias", 1)),
    ("zorv_chip_threshold_raw_get", lambda c: c.getRawThreshold(CAL)),
    ("zorv_chip_sense_dac_name", lambda c: c.getSenseDacIds()),
])
def test_sdk_failure_raises_with_its_text(opened, status, cls, fn, call):
    zorvsim.fail(fn, status, "kaputt µ".encode())
    with pytest.raises(cls) as info:
        call(opened.chip)
    assert type(info.value) is cls and info.value.args == ("kaputt µ",)


def test_unmapped_status_counts_as_success(opened):
    zorvsim.fail("zorv_chip_dac_count", -6, b"")
    assert opened.chip._Chip__getDacCount() == 0
    zorvsim.fail("zorv_chip_mode_select", -6, b"")
    opened.chip.selectMode("0:tpx-medipix")
    assert mode_of(opened.chip) == b"0:tpx-medipix"


# ---- mode selection ----

def test_select_mode_dispatch(device):
    calls = []

    class Spy(type(device.chip)):
        def _Chip__selectModeWithoutParams(self, *args):
            calls.append(("without", args))
            return "dropped"

        def _Chip__selectModeWithParams(self, *args):
            calls.append(("with", args))
            raise KeyError("passes through")

    spy, params, anything = Spy(None), BinningParams(1, 2, 3), types.SimpleNamespace()
    assert spy.selectMode(b"m") is None and spy.selectMode("m", None) is None
    for p in (params, 0, anything):
        with pytest.raises(KeyError, match="passes through"):
            spy.selectMode("m", p)
    assert calls == [("without", (b"m",)), ("without", ("m",)), ("with", ("m", params)), ("with", ("m", 0)),
                     ("with", ("m", anything))]


@pytest.mark.parametrize("params, record", [
    (None, None), (BinningParams(0, 0, 0), {"width": 0, "height": 0, "dwellTime": 0}),
    (types.SimpleNamespace(width=16.9, height=True, dwellTime=2**64 - 1),
     {"width": 16, "height": 1, "dwellTime": 2**64 - 1}),
])
def test_plain_mode_accepts_either_form(opened, params, record):
    with zorvsim.Journal() as journal:
        opened.chip.selectMode(PLAIN, params)
    assert journal.names() == ["zorv_chip_mode_select" if record is None else "zorv_chip_mode_select_ex"]
    args = journal.entries[0]["args"]
    if record is not None:  # the journal keeps 64-bit values signed
        args[1]["dwellTime"] %= 2**64
    assert args == [PLAIN] + ([] if record is None else [record])
    assert mode_of(opened.chip) == PLAIN.encode() and zorvsim.get(f"{CHIP}/mode") == PLAIN


@pytest.mark.parametrize("params, exc, message", [
    (BinningParams(-1, 1, 1), OverflowError, "can't convert negative value to uint32_t"),
    (BinningParams(1, -1, 1), OverflowError, "can't convert negative value to uint32_t"),
    (BinningParams(2**32, 1, 1), OverflowError, "value too large to convert to uint32_t"),
    (BinningParams(1, 2**32, 1), OverflowError, "value too large to convert to uint32_t"),
    (BinningParams(1, 1, -1), OverflowError, "can't convert negative value to uint64_t"),
    (BinningParams(1, 1, 2**64), OverflowError, None),
    (BinningParams("1", 1, 1), TypeError, "an integer is required"),
    (types.SimpleNamespace(width=1, height=1), AttributeError, "dwellTime"),
    (types.SimpleNamespace(width=-1, height=1), OverflowError, "can't convert negative value to uint32_t"),
    (types.SimpleNamespace(width=1, height=2**32), OverflowError, "value too large to convert to uint32_t"),
])
def test_parameter_errors_keep_the_earlier_mode(opened, params, exc, message):
    opened.chip.selectMode(PLAIN)
    with zorvsim.Journal() as journal:
        with pytest.raises(exc, match=message):
            opened.chip.selectMode(BINNED[0], params)
    assert journal.entries == []
    assert mode_of(opened.chip) == PLAIN.encode()


def test_parameters_are_read_after_the_identifier_in_order(opened):
    log = []

    class Params:
        width = property(lambda self: log.append("width") or 16)
        height = property(lambda self: log.append("height") or 16)
        dwellTime = property(lambda self: log.append("dwellTime") or 2**32)

    opened.chip.selectMode(Logged(log, text=BINNED[2]), Params())
    assert log == ["id", "width", "height", "dwellTime"]
    assert zorvsim.get(f"{CHIP}/binning") == {"width": 16, "height": 16, "dwellTime": 2**32}
    assert mode_of(opened.chip) == BINNED[2].encode()


@pytest.mark.parametrize("fail, exc", [
    (lambda c: c.selectMode("0:no-such-mode"), errors.ZorvSdkInvalidArgumentError),
    (lambda c: c.selectMode("0:no-such-mode", BinningParams(16, 16, 1)), errors.ZorvSdkInvalidArgumentError),
    (lambda c: (zorvsim.fail("zorv_chip_mode_select", -2, b"busy"), c.selectMode(PLAIN)),
     errors.ZorvSdkInvalidOperationError),
    (lambda c: (zorvsim.fail("zorv_chip_mode_select_ex", -1, b"busy"), c.selectMode(PLAIN, BinningParams(1, 1, 1))),
     errors.ZorvSdkInternalException),
])
def test_failed_selection_keeps_the_earlier_mode(opened, fail, exc):
    opened.chip.selectMode("0:tpx-medipix")
    with pytest.raises(exc):
        fail(opened.chip)
    assert mode_of(opened.chip) == b"0:tpx-medipix"
    assert zorvsim.get(f"{CHIP}/mode") == "0:tpx-medipix"


@pytest.mark.parametrize("params", [None, BinningParams(16, 16, 1)])
def test_mode_identifiers_up_to_29_bytes_are_recorded(opened, params):
    fits, too_long = "0:long-" + "m" * 22, "0:long-" + "é" * 11 + "x"  # 29 and 30 bytes
    zorvsim.set(f"{CHIP}/modes", [fits, too_long])
    opened.chip.selectMode(fits, params)
    assert mode_of(opened.chip) == fits.encode()
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="29 bytes"):
            opened.chip.selectMode(too_long, params)
    assert journal.entries == []
    assert mode_of(opened.chip) == fits.encode() and zorvsim.get(f"{CHIP}/mode") == fits


# ---- the virtual device ----

def test_default_lists_follow_the_model(opened):
    c, model = opened.chip, zorvsim.get(CHIP)
    assert c.getChipIds() == [x["id"] for x in model["chips"]] and len(model["chips"]) == 4
    assert c.getModeIds() == model["modes"] == c.getModeIds()
    assert set(model["modes"]) == ACQUISITION_MODES and len(model["modes"]) == 11
    assert c.getDacIds() == [d["name"] for d in model["dacs"]] != []
    assert c.getThresholdIds() == [t["id"] for t in model["thresholds"]] != []
    assert c.getSenseDacIds() == model["senseDacs"] and model["senseSelected"] in model["senseDacs"]


@pytest.mark.parametrize("member, method", [("chips", "getChipIds"), ("dacs", "getDacIds"),
                                            ("thresholds", "getThresholdIds"), ("modes", "getModeIds")])
def test_device_without_items_gives_empty_lists(opened, member, method):
    zorvsim.set(f"{CHIP}/{member}", [])
    assert getattr(opened.chip, method)() == []


@pytest.mark.parametrize("polarity", [2, -1])
def test_model_refuses_a_polarity_outside_the_enumeration(polarity):
    with pytest.raises(zorvsim.SimError, match="polarity"):
        zorvsim.set(f"{CHIP}/chips", [{"id": "x", "polarity": polarity}])


def test_dac_limits_are_enforced_and_refresh_restores_defaults(opened):
    c = opened.chip
    for dac in zorvsim.get(f"{CHIP}/dacs"):
        name, lo, hi = dac["name"], dac["min"], dac["max"]
        assert c.getDacLimits(name) == (lo, hi)
        for value in (lo, hi):
            c.setDacValue(name, value)
            assert c.getDacValue(name) == value
        for value in (lo - 1, hi + 1):
            with pytest.raises(errors.ZorvSdkInvalidArgumentError, match=rf"'{name}'.*\[{lo}, {hi}\]"):
                c.setDacValue(name, value)
        assert c.getDacValue(name) == hi
    c.setRawThreshold(CAL, 5)
    c.refresh()
    assert [c.getDacValue(d["name"]) for d in zorvsim.get(f"{CHIP}/dacs")] == [
        d["default"] for d in zorvsim.get(f"{CHIP}/dacs")]
    assert c.getRawThreshold(CAL) == threshold_model(CAL)["rawDefault"]


def test_threshold_in_kev_is_single_precision_and_moves_raw(opened):
    c, t = opened.chip, threshold_model(CAL)
    c.setThreshold(CAL, 0.1)
    assert c.getThreshold(CAL) == f32(0.1) != 0.1
    assert c.getRawThreshold(CAL) == round((f32(0.1) - t["offset"]) / t["slope"])
    c.setRawThreshold(CAL, 600)
    assert c.getThreshold(CAL) == f32(t["offset"] + t["slope"] * 600)
    lo, hi, noise = c.getThresholdRange(CAL)
    assert (lo, hi) == (f32(t["offset"] + t["slope"] * t["rawMin"]), f32(t["offset"] + t["slope"] * t["rawMax"]))
    assert noise == f32(t["noise"])
    assert c.getRawThresholdRange(CAL) == (t["rawMin"], t["rawMax"])
    for call in (lambda: c.setThreshold(CAL, hi + 1), lambda: c.setRawThreshold(CAL, t["rawMax"] + 1)):
        with pytest.raises(errors.ZorvSdkInvalidArgumentError, match=CAL):
            call()
    assert c.getRawThreshold(CAL) == 600
    # the reported range is accepted whole, although its ends are single-precision roundings
    for end, raw in ((lo, t["rawMin"]), (hi, t["rawMax"])):
        c.setThreshold(CAL, end)
        assert (c.getThreshold(CAL), c.getRawThreshold(CAL)) == (end, raw)


def test_uncalibrated_threshold_has_no_kev_view(opened):
    c = opened.chip
    assert c.isThresholdCalibrated(CAL) is True and c.isThresholdCalibrated(UNCAL) is False
    for call in (lambda: c.getThreshold(UNCAL), lambda: c.setThreshold(UNCAL, 5.0),
                 lambda: c.getThresholdRange(UNCAL)):
        with pytest.raises(errors.ZorvSdkInvalidOperationError, match="not calibrated"):
            call()
    c.setRawThreshold(UNCAL, 17)
    assert c.getRawThreshold(UNCAL) == 17


@pytest.mark.parametrize("mode", BINNED)
@pytest.mark.parametrize("params, exc", [
    (None, errors.ZorvSdkInvalidOperationError), (BinningParams(3, 16, 1), errors.ZorvSdkInvalidArgumentError),
    (BinningParams(16, 512, 1), errors.ZorvSdkInvalidArgumentError),
    (BinningParams(0, 16, 1), errors.ZorvSdkInvalidArgumentError),
    (BinningParams(16, 16, 0), errors.ZorvSdkInvalidArgumentError),
])
def test_binned_modes_need_fitting_parameters(opened, mode, params, exc):
    with pytest.raises(exc):
        opened.chip.selectMode(mode, params)
    assert zorvsim.get(f"{CHIP}/mode") == "" and mode_of(opened.chip) == b""


def test_sense_dac_selection_reaches_the_device(opened):
    opened.chip.selectSenseDac("temperature")
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'Größe'"):
            opened.chip.selectSenseDac("Größe")
    assert journal.calls("zorv_chip_sense_dac_sel")[0]["args"] == ["Größe"]  # sent as UTF-8
    assert zorvsim.get(f"{CHIP}/senseSelected") == "temperature"


CHIP_CALLS = [lambda c: c.refresh(), lambda c: c.getChipIds(), lambda c: c.setPolarity(0, ChipPolarity.negative),
              lambda c: c.selectMode(PLAIN), lambda c: c.selectMode(BINNED[0], BinningParams(16, 16, 1)),
              lambda c: c.getDacValue("preamp_bias"), lambda c: c.setThreshold(CAL, 1.0)]


@pytest.mark.parametrize("call", CHIP_CALLS)
def test_calls_fail_while_a_board_is_off(opened, call):
    opened.board.powerOff("board-1")
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="not powered"):
        call(opened.chip)
    assert mode_of(opened.chip) == b""
    opened.board.powerOn("board-1")
    call(opened.chip)


@pytest.mark.parametrize("call", CHIP_CALLS)
def test_calls_on_a_closed_device_fail(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.chip)
    assert mode_of(device.chip) == b""
