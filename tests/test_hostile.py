"""Hostile input: every method of every module called with arbitrary arguments (integers of every size,
floats with nan and infinities, texts with surrogates and NULs, bytes, None, arrays, and objects whose
conversions raise or return the wrong type). Only the documented exception types may come back, never
with a pending exception left behind, and the interpreter survives."""

import array
import gc
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zorvsim
from calls import HITMAP, LOCATOR, PACKETS, RECORDER, opened_device
from zorvsdk import chip, errors, flashmem, sinks, zorv


class Hostile(Exception):
    """Raised by the objects below from inside a conversion; it must come back unchanged."""


class RaisingInt:
    def __int__(self):
        raise Hostile("__int__")

    def __index__(self):
        raise Hostile("__index__")


class WrongInt:
    def __int__(self):
        return "17"


class RaisingFloat:
    def __float__(self):
        raise Hostile("__float__")


class WrongFloat:
    def __float__(self):
        return 1  # an int, not a float


class RaisingEncode:
    def encode(self, *args, **kwargs):
        raise Hostile("encode")


class WrongEncode:
    def __init__(self, result):
        self.result = result

    def encode(self, *args, **kwargs):
        return self.result


class NotCallableEncode:
    encode = 5


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    def encode(self, *args, **kwargs):
        return BytesSubclass(b"ch0")


class Flattening:
    """An array-like whose flatten raises or gives something that is not an array."""

    def __init__(self, result=None):
        self.result = result
        self.shape = (512, 512)
        self.size = 512 * 512

    def flatten(self, *args, **kwargs):
        if self.result is None:
            raise Hostile("flatten")
        return self.result

    def tobytes(self):
        raise Hostile("tobytes")


class Everything(RaisingInt, RaisingFloat, RaisingEncode):
    def flatten(self):
        raise Hostile("flatten")

    def __len__(self):
        raise Hostile("__len__")

    def __getattr__(self, name):
        raise Hostile(name)


# Identifiers the default device knows, so that arbitrary calls also reach the paths after the lookup.
KNOWN = ["ch0", "ch1", "hv", "guard", "sensor", "board-0", "board-1", "preamp_bias", "0:threshold", "3:threshold",
         "calibration", "fpga", "master", "temperature", "0:tpx3-dd-toa-tot", "0:tpx3-binned-packets", "yml", "xml",
         "dacs:\n  preamp_bias: 10\n", "<configuration><dac name='x' value='1'/></configuration>"]

hostile_objects = st.sampled_from([
    RaisingInt(), WrongInt(), RaisingFloat(), WrongFloat(), RaisingEncode(), WrongEncode(None), WrongEncode(17),
    WrongEncode("text"), WrongEncode(BytesSubclass(b"hv")), WrongEncode(b"a\x00b"), NotCallableEncode(),
    StrSubclass("x"), Flattening(), Flattening(17), Flattening(np.zeros(3, dtype=np.uint8)), Everything(), object(),
    print, chip.ChipPolarity.negative, chip.BinningParams(4, 4, 1), chip.BinningParams("a", None, -1.5),
])

arrays = st.sampled_from([
    np.zeros((512, 512), dtype=np.uint8), np.zeros((512, 512), dtype=np.bool_), np.zeros((2, 2), dtype=np.uint8),
    np.zeros(0, dtype=np.uint8), np.zeros(7, dtype=np.int8), np.zeros((512, 512), dtype=np.float64),
    np.arange(16, dtype=np.uint8)[::2], np.zeros((4, 4, 4), dtype=np.uint8), np.array([None], dtype=object),
    bytearray(b"\x00\xff" * 4), bytearray(), array.array("B", b"abcd"), array.array("d", [1.0]), memoryview(b"ro"),
])

values = st.one_of(
    st.integers(),
    st.sampled_from([0, -1, 1, 2**31 - 1, 2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63, 2**64, -2**64, 10**100]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(alphabet=st.characters(blacklist_categories=()), max_size=40),  # surrogates and NULs included
    st.sampled_from(KNOWN),
    st.binary(max_size=40),
    st.none(),
    st.booleans(),
    st.lists(st.integers(0, 3), max_size=3),
    hostile_objects,
    arrays,
)

# What a method may raise for any input: the argument errors of the interpreter, the SDK's failures,
# and whatever the caller's own objects raise.
DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError, IndexError, BufferError, MemoryError,
              errors.ZorvSdkException, Hostile)


@pytest.fixture
def dev():
    zorvsim.load_model({"devices": [{"acquisition": {"deliveries": 3, "hitsPerDelivery": 10, "realTime": False}}]})
    d = opened_device()
    yield d
    for ch in ("ch0", "ch1"):
        if zorvsim.acquiring(ch):
            d.acq.abort(ch)
    d.finalize()


def bounded_recorder(*args, **kwargs):
    """A Recorder, but not one that would reserve more than 64 MB: the machine's memory is shared
    (a capacity beyond the machine's memory is refused by the Recorder itself, and is passed on)."""
    capacity = args[0] if args else kwargs.get("capacity")
    if type(capacity) is int and (1 << 22) < capacity * 16 <= os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"):
        return None
    return sinks.Recorder(*args, **kwargs)


def targets(d):
    """(name, callable) for every method of the Device, its component objects, the memory objects and
    the module-level functions and record constructors; the Device's own close/finalize are left to
    their own tests, so that each example starts on an open device."""
    objs = {name: getattr(d, name) for name in
            ("chip", "acq", "bias", "cooling", "board", "config", "flashmem", "props", "revision", "syncmode", "axi",
             "monitor")}
    objs["memory"] = d.flashmem.selectMemory("calibration")
    objs["recorder"] = RECORDER
    objs["hitmap"] = HITMAP
    out = []
    for oname, obj in objs.items():
        for name in dir(type(obj)):
            if name.startswith("__") and name.endswith("__"):
                continue
            attr = getattr(obj, name)
            if callable(attr):
                out.append((f"{oname}.{name}", attr))
        out.append((f"{oname}.<constructor>", bounded_recorder if obj is RECORDER else type(obj)))
    out += [("Device.open", d.open), ("Device.isOpened", d.isOpened), ("Device.enumerate", d.enumerate),
            ("Device.__setLogger", d._Device__setLogger), ("zorv.getRuntimeVersion", zorv.getRuntimeVersion),
            ("zorv.getCompileTimeVersion", zorv.getCompileTimeVersion), ("errors._throwZorvError", errors._throwZorvError)]
    out += [("recorder.__call__", RECORDER), ("recorder.__next__", RECORDER.__next__), ("hitmap.__call__", HITMAP)]
    for cls in (flashmem.NonVolatileMemory, flashmem.Region, flashmem.Sector, chip.BinningParams, chip.ChipPolarity,
                chip.DacLimits, zorv.Device):
        out.append((cls.__qualname__, cls))
    return out


def _names():
    zorvsim.reset()
    d = opened_device()
    names = sorted(n for n, _ in targets(d))
    d.finalize()
    return names


NAMES = _names()
# Methods whose failures wait 100 ms before raising: fewer examples.
SLOW = {"acq.begin", "acq.end", "acq.abort"}


@pytest.mark.parametrize("name", NAMES)
def test_arbitrary_arguments_raise_only_documented_errors(dev, name):
    target = dict(targets(dev))[name]

    @settings(max_examples=15 if name in SLOW else 60, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(args=st.lists(values, max_size=4),
           kwargs=st.dictionaries(st.sampled_from(["ctx", "chipId", "dacId", "value", "modeId", "x", "channelId"]),
                                  values, max_size=2))
    def call(args, kwargs):
        if not dev.isOpened():
            dev.open(LOCATOR)
        if name.startswith("recorder."):
            RECORDER(PACKETS)  # a delivery held, so that a wait of any length returns at once
        try:
            target(*args, **kwargs)
        except DOCUMENTED:
            pass
        except SystemError as e:  # a method returned an error without setting one, or the reverse
            pytest.fail(f"{name}{tuple(args)!r} {kwargs!r}: {e!r}")
        for ch in ("ch0", "ch1"):  # an acquisition begun here must not outlive the example
            if zorvsim.acquiring(ch):
                dev.acq.abort(ch)

    call()
    gc.collect()
    assert dev.isOpened() in (True, False)  # the device still answers
