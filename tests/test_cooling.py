"""Cooling units through Device.cooling."""
import math
import struct

import pytest

import zorvsim
from zorvsdk import cooling, errors

COOLERS = "/devices/0/supplies/coolers"
TAU = 30.0


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


@pytest.fixture
def clock():
    zorvsim.clock_manual()
    yield
    zorvsim.clock_manual(False)


def test_ids_in_device_order(opened):
    assert opened.cooling.getIds() == ["sensor"]


def test_ids_follow_the_model(opened):
    zorvsim.set(COOLERS, [{"id": "a", "min": 0.0, "max": 1.0}, {"id": "b", "min": 0.0, "max": 1.0}])
    assert opened.cooling.getIds() == ["a", "b"]


@pytest.mark.parametrize("unit", ["DegreeCelsius", "Kelvin"])
def test_value_unit_is_the_device_text(opened, unit):
    zorvsim.set(COOLERS, [{"id": "c", "unit": unit, "min": 0.0, "max": 1.0}])
    assert opened.cooling.getValueUnit("c") == unit


def test_limits_are_cooling_limits(opened):
    got = opened.cooling.getLimits("sensor")
    assert type(got) is cooling.CoolingLimits
    assert (got.min, got.max) == (-30.0, 40.0)


@pytest.mark.parametrize("elapsed", [0.0, 10.0, 30.0, 90.0])
def test_actual_follows_desired_as_a_first_order_lag(opened, clock, elapsed):
    opened.cooling.setDesiredTemperature("sensor", -10.0)
    zorvsim.clock_advance(elapsed)
    expected = -10.0 + 30.0 * math.exp(-elapsed / TAU)
    assert opened.cooling.getActualTemperature("sensor") == pytest.approx(expected, rel=1e-5)
    assert opened.cooling.getDesiredTemperature("sensor") == -10.0


def test_new_target_starts_from_the_current_temperature(opened, clock):
    opened.cooling.setDesiredTemperature("sensor", -10.0)
    zorvsim.clock_advance(TAU)
    start = -10.0 + 30.0 * math.exp(-1.0)
    opened.cooling.setDesiredTemperature(coolingId="sensor", temperature=20.0)
    zorvsim.clock_advance(TAU)
    expected = 20.0 + (start - 20.0) * math.exp(-1.0)
    assert opened.cooling.getActualTemperature("sensor") == pytest.approx(expected, rel=1e-5)


def test_desired_is_single_precision(opened):
    opened.cooling.setDesiredTemperature("sensor", 0.1)
    assert opened.cooling.getDesiredTemperature("sensor") == single(0.1)


@pytest.mark.parametrize("temperature", [-30.5, 40.5, float("inf")])
def test_desired_outside_the_limits_is_refused(opened, temperature):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'sensor'"):
        opened.cooling.setDesiredTemperature("sensor", temperature)
    assert opened.cooling.getDesiredTemperature("sensor") == 20.0


@pytest.mark.parametrize("method, fn", [("getActualTemperature", "zorv_cooling_get_actual"),
                                        ("getDesiredTemperature", "zorv_cooling_get_desired")])
def test_forced_temperature_is_returned(opened, method, fn):
    zorvsim.force(fn, [-12.5])
    assert getattr(opened.cooling, method)("sensor") == -12.5


def test_text_temperature_is_refused_without_an_sdk_call(opened):
    with zorvsim.Journal() as journal:
        with pytest.raises(TypeError):
            opened.cooling.setDesiredTemperature("sensor", "5")
    assert journal.calls("zorv_cooling_set_desired") == []


@pytest.mark.parametrize("method", ["getValueUnit", "getActualTemperature", "getDesiredTemperature", "getLimits"])
def test_unknown_unit_is_an_invalid_argument(opened, method):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'nope'"):
        getattr(opened.cooling, method)("nope")


@pytest.mark.parametrize("call", [lambda c: c.getIds(), lambda c: c.getActualTemperature("sensor"),
                                  lambda c: c.setDesiredTemperature("sensor", 0.0)])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.cooling)
