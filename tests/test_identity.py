"""Properties of the open device read through Device.props."""
import pytest

import zorvsim
from zorvsdk import errors
from zorvsdk.identity import VidPid

TEXT_GETTERS = ["getManufacturer", "getProduct", "getSerialNumber", "getConnectionString",
                "getUsbInstancePath"]


def test_properties_match_the_enumeration_descriptor(opened):
    desc = opened.enumerate()[0]
    props = opened.props
    assert props.getManufacturer() == desc.manufacturer
    assert props.getProduct() == desc.product
    assert props.getSerialNumber() == desc.serialNumber
    assert props.getConnectionString() == desc.connectionString
    assert props.getUsbInstancePath() == desc.usbInstancePath
    assert props.getUsbVidPid() == VidPid(desc.usbVid, desc.usbPid)
    assert props.isUsbHighSpeed() is bool(desc.isHighSpeed)
    assert props.isUsbSuperSpeed() is bool(desc.isSuperSpeed)


def test_vid_pid_is_a_named_record_and_unsigned(opened):
    zorvsim.set("/devices/0/usbVid", 65535)
    result = opened.props.getUsbVidPid()
    assert type(result) is VidPid
    assert result.vendorId == 65535
    assert result.productId == zorvsim.get("/devices/0/usbPid")


def test_vid_pid_class_is_looked_up_at_call_time(opened, monkeypatch):
    import zorvsdk.identity as identity
    monkeypatch.setattr(identity, "VidPid", lambda v, p: ("swapped", v, p))
    assert opened.props.getUsbVidPid()[0] == "swapped"


@pytest.mark.parametrize("method, fn", [("isUsbHighSpeed", "zorv_dev_prop_usb_is_high_speed"),
                                        ("isUsbSuperSpeed", "zorv_dev_prop_usb_is_super_speed")])
@pytest.mark.parametrize("forced, expected", [(2, True), (0, False), (-1, True)])
def test_flags_are_real_bools(opened, method, fn, forced, expected):
    zorvsim.force(fn, [forced])
    assert getattr(opened.props, method)() is expected


@pytest.mark.parametrize("method", TEXT_GETTERS + ["getUsbVidPid", "isUsbHighSpeed", "isUsbSuperSpeed"])
def test_closed_device_raises_invalid_operation(device, method):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        getattr(device.props, method)()


@pytest.mark.parametrize("method", TEXT_GETTERS + ["getUsbVidPid", "isUsbHighSpeed"])
def test_arguments_are_refused(opened, method):
    with pytest.raises(TypeError, match=rf"^{method}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        getattr(opened.props, method)(1)


def test_text_with_non_utf8_bytes_raises(opened):
    zorvsim.force("zorv_dev_prop_get_product", [b"\xff\xfe"])
    with pytest.raises(UnicodeDecodeError):
        opened.props.getProduct()


def test_docstrings_have_sections():
    from zorvsdk.identity import __Identity as Identity  # noqa: PLC2701
    doc = Identity.getUsbVidPid.__doc__
    assert doc.startswith("\n        Retrieves the vendor id and product id of the device.")
    assert "Returns:\n            A :obj:`~VidPid` object" in doc
