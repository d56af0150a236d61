"""Sensor bias supplies through Device.bias."""
import struct

import pytest

import zorvsim
from zorvsdk import bias, errors

BIASES = "/devices/0/supplies/biases"


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


@pytest.fixture
def clock():
    """The manual clock, with hv at rest at 0 V (it comes at its operating voltage)."""
    zorvsim.clock_manual()
    zorvsim.set(f"{BIASES}/0", dict(zorvsim.get(f"{BIASES}/0"), volts=0.0, target=0.0))
    yield
    zorvsim.clock_manual(False)


def test_bias_ids_in_device_order(opened):
    assert opened.bias.getBiasIds() == ["hv", "guard"]


def test_bias_ids_follow_the_model(opened):
    zorvsim.set(BIASES, [{"id": "only", "min": 0.0, "max": 1.0}])
    assert opened.bias.getBiasIds() == ["only"]


@pytest.mark.parametrize("bias_id, expected", [("hv", (0.0, 200.0)), ("guard", (-50.0, 50.0))])
def test_range_is_a_bias_range(opened, bias_id, expected):
    got = opened.bias.getBiasRange(bias_id)
    assert type(got) is bias.BiasRange
    assert tuple(got) == expected
    assert got.min == expected[0] and got.max == expected[1]


def test_range_class_is_looked_up_at_call_time(opened, monkeypatch):
    monkeypatch.setattr(bias, "BiasRange", lambda lo, hi: ("swapped", lo, hi))
    assert opened.bias.getBiasRange("hv") == ("swapped", 0.0, 200.0)


@pytest.mark.parametrize("elapsed, expected", [(0.0, 0.0), (1.0, 10.0), (2.5, 25.0), (10.0, 50.0), (60.0, 50.0)])
def test_read_back_ramps_toward_the_set_value(opened, clock, elapsed, expected):
    opened.bias.setBias("hv", 50)
    zorvsim.clock_advance(elapsed)
    assert opened.bias.getBias("hv") == pytest.approx(expected)


def test_ramp_down_restarts_from_the_current_voltage(opened, clock):
    opened.bias.setBias("hv", 100.0)
    zorvsim.clock_advance(3.0)
    opened.bias.setBias(biasId="hv", volts=0.0)
    zorvsim.clock_advance(1.0)
    assert opened.bias.getBias("hv") == pytest.approx(20.0)


@pytest.mark.parametrize("value", [0.1, 1.3, -7.7, 40])
def test_set_value_is_single_precision(opened, value):
    with zorvsim.Journal() as journal:
        opened.bias.setBias("guard", value)
    (entry,) = journal.calls("zorv_bias_set")
    assert entry["args"][-1] == single(value)


def test_forced_read_back_is_returned_unchanged(opened):
    zorvsim.force("zorv_bias_get", [0.1])
    assert opened.bias.getBias("hv") == single(0.1)


@pytest.mark.parametrize("bias_id, volts", [("hv", -0.5), ("hv", 200.5), ("guard", 51.0), ("hv", float("nan"))])
def test_out_of_range_is_refused(opened, clock, bias_id, volts):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match=bias_id):
        opened.bias.setBias(bias_id, volts)
    zorvsim.clock_advance(100.0)
    assert opened.bias.getBias(bias_id) == 0.0


def test_text_value_is_refused_after_the_identifier_without_an_sdk_call(opened):
    with zorvsim.Journal() as journal:
        with pytest.raises(TypeError):
            opened.bias.setBias("hv", "100")
        with pytest.raises(AttributeError):
            opened.bias.setBias(b"hv", "100")
    assert journal.calls("zorv_bias_set") == []


@pytest.mark.parametrize("method", ["getBias", "getBiasRange"])
def test_unknown_supply_is_an_invalid_argument(opened, method):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'nope'"):
        getattr(opened.bias, method)("nope")


@pytest.mark.parametrize("call", [lambda b: b.getBiasIds(), lambda b: b.getBias("hv"), lambda b: b.setBias("hv", 1.0)])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.bias)
