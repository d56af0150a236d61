"""Texts that the SDK hands out are decoded strictly (UTF-8, and ASCII for the flash memories'
texts): bytes that are not valid raise the interpreter's UnicodeDecodeError of that codec, with
the bytes and the place of the first bad one, and no partial result. The virtual device holds such
texts as the escape object {"bytes": "<hex>"} of its model (zorvsim turns bytes into it)."""

import pytest

import zorvsim
from zorvsdk.zorv import Device

RAW = b"W0017\xff\xfeC04"  # not UTF-8 from its sixth byte on


def expected(raw, codec="utf-8"):
    with pytest.raises(UnicodeDecodeError) as e:
        raw.decode(codec)
    return e.value.args


class Locator:
    """A locator whose encoding gives raw bytes, to open a device whose locator is not UTF-8."""

    def __init__(self, raw):
        self.raw = raw

    def encode(self):
        return self.raw


# (model member, the call that hands it out, the codec it is decoded with)
IDENTIFIERS = [
    ("chip/chips/1/id", lambda d: d.chip.getChipIds(), "utf-8"),
    ("chip/senseDacs/0", lambda d: d.chip.getSenseDacIds(), "utf-8"),
    ("chip/modes/3", lambda d: d.chip.getModeIds(), "utf-8"),
    ("chip/dacs/0/name", lambda d: d.chip.getDacIds(), "utf-8"),
    ("chip/thresholds/2/id", lambda d: d.chip.getThresholdIds(), "utf-8"),
    ("supplies/biases/0/id", lambda d: d.bias.getBiasIds(), "utf-8"),
    ("supplies/boards/1/id", lambda d: d.board.getBoardIds(), "utf-8"),
    ("supplies/coolers/0/id", lambda d: d.cooling.getIds(), "utf-8"),
    ("supplies/syncOptions/2", lambda d: d.syncmode.getOptionIds(), "utf-8"),
    ("supplies/revisions/1/id", lambda d: d.revision.get(), "utf-8"),
    ("supplies/revisions/1/version", lambda d: d.revision.get(), "utf-8"),
    ("supplies/coolers/0/unit", lambda d: d.cooling.getValueUnit("sensor"), "utf-8"),
    ("acquisition/channels/1", lambda d: d.acq.getChannelIds(), "utf-8"),
    ("memory/flash/0/id", lambda d: d.flashmem.getIds(), "ascii"),
    ("memory/flash/1/partNumber", lambda d: d.flashmem.selectMemory("calibration"), "ascii"),
]

PROPERTIES = [
    ("manufacturer", lambda d: d.props.getManufacturer()),
    ("product", lambda d: d.props.getProduct()),
    ("serialNumber", lambda d: d.props.getSerialNumber()),
    ("usbInstancePath", lambda d: d.props.getUsbInstancePath()),
]


@pytest.fixture
def device():
    dev = Device()
    yield dev
    dev.finalize()


@pytest.mark.parametrize("member, call, codec", IDENTIFIERS, ids=[m for m, _, _ in IDENTIFIERS])
def test_identifiers_are_decoded_strictly(device, member, call, codec):
    zorvsim.set(f"/devices/0/{member}", RAW)
    device.open("zorvsim:0")
    with pytest.raises(UnicodeDecodeError) as e:
        call(device)
    assert e.value.args == expected(RAW, codec)


@pytest.mark.parametrize("member", ["connectionString", "product", "manufacturer", "serialNumber", "usbInstancePath"])
def test_descriptors_are_decoded_strictly(device, member):
    zorvsim.set(f"/devices/1/{member}", RAW)
    with pytest.raises(UnicodeDecodeError) as e:
        device.enumerate()
    assert e.value.args == expected(RAW)
    zorvsim.reset()
    assert [d.connectionString for d in device.enumerate()] == ["zorvsim:0", "zorvsim:1"]


@pytest.mark.parametrize("member, call", PROPERTIES + [("connectionString", lambda d: d.props.getConnectionString())],
                         ids=[m for m, _ in PROPERTIES] + ["connectionString"])
def test_properties_are_decoded_strictly(device, member, call):
    zorvsim.set(f"/devices/0/{member}", RAW)
    device.open(Locator(RAW) if member == "connectionString" else "zorvsim:0")
    with pytest.raises(UnicodeDecodeError) as e:
        call(device)
    assert e.value.args == expected(RAW)
    assert device.isOpened()  # the device stays usable


@pytest.mark.parametrize("value", [{"bytes": RAW.hex()}, {"hex": RAW.hex()}, RAW], ids=["bytes", "hex", "python bytes"])
def test_forced_texts_take_bytes(device, value):
    device.open("zorvsim:0")
    zorvsim.force("zorv_dev_prop_get_product", [value])
    with pytest.raises(UnicodeDecodeError) as e:
        device.props.getProduct()
    assert e.value.args == expected(RAW)
