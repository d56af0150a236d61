"""The Device: construction, enumeration, opening, component attributes and cleanup."""
import contextlib
import copy
import gc
import pickle
import weakref

import pytest

import zorvsim
import zorvsdk.zorv
from zorvsdk import errors
from zorvsdk.zorv import Device, DeviceDescriptor, SdkVersion

from conftest import LOCATOR

COMPONENTS = ["bias", "board", "chip", "config", "monitor", "trigger", "syncmode", "cooling",
              "acq", "revision", "props", "axi", "flashmem"]

DEFAULT_DEVICES = [
    DeviceDescriptor("zorvsim:0", "ZQ4 Quad Readout", "Zorv Instruments", "ZQ4-000417",
                     27226, 1025, "usb:1-2.1", 1, 1),
    DeviceDescriptor("zorvsim:1", "ZQ4 Quad Readout Lite", "Zorv Instruments", "ZQ4-000418",
                     27226, 1026, "usb:1-2.2", 1, 0),
]


def test_constructor_ignores_arguments():
    dev = Device(1, x=2)
    try:
        assert dev.isOpened() is False
    finally:
        dev.finalize()


def test_enumerate_lists_attached_devices(device):
    found = device.enumerate()
    assert found == DEFAULT_DEVICES
    assert all(type(d) is DeviceDescriptor for d in found)
    for d in found:
        assert type(d.isHighSpeed) is int
        assert type(d.isSuperSpeed) is int


def test_enumerate_without_devices(device):
    zorvsim.set("/devices", [])
    assert device.enumerate() == []


@pytest.mark.parametrize("vid", [0, 65535])
def test_usb_vid_is_unsigned(device, vid):
    zorvsim.set("/devices/0/usbVid", vid)
    assert device.enumerate()[0].usbVid == vid


def test_enumerate_follows_the_model(device):
    zorvsim.set("/devices/1/product", "Ünïcode product")
    zorvsim.set("/devices/1/isSuperSpeed", 1)
    second = device.enumerate()[1]
    assert second.product == "Ünïcode product"
    assert second.isSuperSpeed == 1


@pytest.mark.parametrize("skip", [0, 1])
def test_failing_device_query_drops_the_list(device, skip):
    zorvsim.fail("zorv_enum_get_product", -3, b"bad", skip=skip)
    with pytest.raises(errors.ZorvSdkInvalidArgumentError) as info:
        device.enumerate()
    assert info.value.args == ("bad",)
    assert device.enumerate() == DEFAULT_DEVICES  # the next enumeration is whole again


def test_enumerate_failure_of_the_call_itself(device):
    zorvsim.fail("zorv_dev_enumerate", -1, b"bus down")
    with pytest.raises(errors.ZorvSdkInternalException) as info:
        device.enumerate()
    assert info.value.args == ("bus down",)


def test_open_close(device):
    assert device.isOpened() is False
    device.open(LOCATOR)
    assert device.isOpened() is True
    device.close()
    assert device.isOpened() is False


def test_open_unknown_locator(device):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError):
        device.open("zorvsim:99")
    assert device.isOpened() is False


def test_second_open_of_a_device_is_refused(opened):
    other = Device()
    try:
        with pytest.raises(errors.ZorvSdkInvalidOperationError):
            other.open(LOCATOR)
        assert other.isOpened() is False
    finally:
        other.finalize()


def test_close_when_not_open(device):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        device.close()


def test_wrong_component_type_is_refused(device):
    bias = device.bias
    with pytest.raises(TypeError) as info:
        device.bias = device.board
    assert str(info.value) == "Cannot convert zorvsdk.board.__Board to zorvsdk.bias.__Bias"
    assert device.bias is bias


@pytest.mark.parametrize("name", COMPONENTS)
def test_attribute_is_the_same_object_every_read(device, name):
    assert getattr(device, name) is getattr(device, name)
    assert getattr(device, name) is not None


@pytest.mark.parametrize("name", COMPONENTS)
def test_attribute_can_be_deleted_or_set_to_none(device, name):
    original = getattr(device, name)
    delattr(device, name)
    assert getattr(device, name) is None
    setattr(device, name, original)
    assert getattr(device, name) is original
    setattr(device, name, None)
    assert getattr(device, name) is None


@pytest.mark.parametrize("copier", [pickle.dumps, copy.copy])
@pytest.mark.parametrize("name", [None] + COMPONENTS)
def test_pickling_is_refused(device, copier, name):
    obj = device if name is None else getattr(device, name)
    with pytest.raises(TypeError) as info:
        copier(obj)
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_dropped_open_device_is_closed():
    dev = Device()
    dev.open(LOCATOR)
    with zorvsim.Journal() as journal:
        del dev
        gc.collect()
    assert len(journal.calls("zorv_dev_close")) == 1
    other = Device()
    try:
        other.open(LOCATOR)
        assert other.isOpened() is True
    finally:
        other.finalize()


def test_dropped_closed_device_does_not_close():
    dev = Device()
    with zorvsim.Journal() as journal:
        del dev
        gc.collect()
    assert journal.calls("zorv_dev_close") == []


def test_finalize_closes_an_open_device(opened):
    with zorvsim.Journal() as journal:
        opened.finalize()
    assert len(journal.calls("zorv_dev_close")) == 1
    assert opened.isOpened() is False


class _Callback:
    def __call__(self, *args):
        pass


@pytest.mark.parametrize("setter", ["setValueChangedCallback", "setAvailChangedCallback"])
def test_finalize_releases_monitor_callables(device, setter):
    func = _Callback()
    ref = weakref.ref(func)
    getattr(device.monitor, setter)("k", func)
    del func
    gc.collect()
    assert ref() is not None  # held by the monitor until finalize
    device.finalize()
    gc.collect()
    assert ref() is None


def test_replaced_monitor_callable_is_released(device):
    first, second = _Callback(), _Callback()
    ref_first, ref_second = weakref.ref(first), weakref.ref(second)
    device.monitor.setValueChangedCallback("k", first)
    device.monitor.setValueChangedCallback("k", second)
    del first, second
    gc.collect()
    assert ref_first() is None
    assert ref_second() is not None


def test_compile_time_version():
    v = zorvsdk.zorv.getCompileTimeVersion()
    assert type(v) is SdkVersion
    assert v == (0, 2, 1)


@pytest.mark.parametrize("version", [[1, 4, 7], [0, 0, 0], [12, 0, 300]])
def test_runtime_version_follows_the_library(version):
    zorvsim.set("/version", version)
    v = zorvsdk.zorv.getRuntimeVersion()
    assert type(v) is SdkVersion
    assert tuple(v) == tuple(version)


# ---- the Device as a context manager ----

class BlockError(Exception):
    pass


@pytest.mark.parametrize("raises", [False, True])
def test_with_block_closes_and_finalizes_and_lets_the_exception_go_on(raises):
    func = _Callback()
    ref = weakref.ref(func)
    error = BlockError("in the block")
    with zorvsim.Journal() as journal, pytest.raises(BlockError) if raises else contextlib.nullcontext() as caught:
        with Device() as dev:
            assert type(dev) is Device
            dev.open(LOCATOR)
            dev.chip.selectMode("0:tpx3-dd-toa-tot")
            dev.acq.setDataCallback("ch0", func)
            del func
            if raises:
                raise error
    if raises:
        assert caught.value is error and caught.value.__context__ is None
    assert len(journal.calls("zorv_dev_close")) == 1
    assert dev.isOpened() is False
    gc.collect()
    assert ref() is None  # finalized: the data callable is released
    other = Device()
    try:
        other.open(LOCATOR)  # nothing holds the device any more
    finally:
        other.finalize()


def test_with_block_on_a_device_never_opened_closes_nothing():
    with zorvsim.Journal() as journal:
        with Device() as dev:
            pass
    assert journal.calls("zorv_dev_close") == []
    assert dev.isOpened() is False


def test_a_failure_to_close_is_raised_after_finalize_chained_to_the_blocks_exception():
    func = _Callback()
    ref = weakref.ref(func)
    with pytest.raises(errors.ZorvSdkInvalidOperationError) as caught:
        with Device() as dev:
            dev.open(LOCATOR)
            dev.chip.selectMode("0:tpx3-dd-toa-tot")
            dev.acq.setDataCallback("ch0", func)
            del func
            zorvsim.fail("zorv_dev_close", -2, b"stuck")  # the next close only
            raise BlockError("in the block")
    assert caught.value.args == ("stuck",)
    assert isinstance(caught.value.__context__, BlockError)
    gc.collect()
    assert ref() is None  # finalize ran all the same, and closed the device on its second try
    assert dev.isOpened() is False


def test_exit_takes_the_three_arguments_of_the_with_statement(device):
    assert device.__enter__() is device
    with pytest.raises(TypeError):
        device.__exit__(None, None)
    assert device.__exit__(None, None, None) is False


@pytest.mark.parametrize("state, expected", [
    ("closed", "<zorvsdk.zorv.Device, not open>"),
    ("open", "<zorvsdk.zorv.Device, open 'zorvsim:0'>"),
    ("failing", "<zorvsdk.zorv.Device, state unknown>"),
])
def test_repr_tells_the_open_locator(device, state, expected):
    if state == "open":
        device.open(LOCATOR)
    elif state == "failing":
        zorvsim.fail("zorv_dev_is_opened", -2, b"busy")
    assert repr(device) == expected


def test_repr_of_a_subclass_names_the_subclass():
    class Detector(Device):
        pass

    dev = Detector()
    try:
        dev.open("zorvsim:1")
        assert repr(dev) == f"<{__name__}.test_repr_of_a_subclass_names_the_subclass.<locals>.Detector, open 'zorvsim:1'>"
    finally:
        dev.finalize()
