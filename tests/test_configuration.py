"""Configuration documents and the pixel mask through Device.config."""
import struct

import numpy as np
import pytest

import zorvsim
from zorvsdk import configuration, errors

MASK = "/devices/0/memory/pixelMask"
MISMATCH = "\\\n" + " " * 16

YML = """\
# bench settings
dacs:
  preamp_bias: 90      # lower gain
  threshold_fine: 300
thresholds:
  0:threshold: 6.5
rawThresholds:
  "1:threshold": 321
bias:
  hv: 80
pixelMask:
  width: 3
  height: 2
"""

XML = """\
<?xml version="1.0" encoding="utf-8"?>
<!-- bench settings -->
<configuration>
  <dac name="preamp_bias" value="90"/>
  <dac name='threshold_fine' value='300' />
  <threshold id="0:threshold" kev="6.5"/>
  <threshold id="1:threshold" raw="321"/>
  <bias id="hv" volts="80"/>
  <pixelMask width="3" height="2"/>
</configuration>
"""


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def set_mask_bytes(data):
    zorvsim.set(MASK + "/contents", [{"address": 0, "hex": bytes(data).hex()}])


@pytest.fixture
def small(opened):
    """A 3 x 2 mask holding the bytes 0 to 5."""
    opened.config.load("yml", "pixelMask:\n  width: 3\n  height: 2\n")
    set_mask_bytes(range(6))
    return opened


# ---- configuration documents ----

@pytest.mark.parametrize("kind, doc", [("yml", YML), ("xml", XML)])
def test_loading_changes_what_the_device_reports(opened, kind, doc):
    assert opened.config.load(kind, doc) is None
    chip = opened.chip
    assert (chip.getDacValue("preamp_bias"), chip.getDacValue("threshold_fine")) == (90, 300)
    assert chip.getThreshold("0:threshold") == single(6.5)
    assert chip.getRawThreshold("1:threshold") == 321
    assert zorvsim.get("/devices/0/supplies/biases/0/target") == 80.0
    assert opened.config.getMaskSize() == (3, 2)
    assert opened.config.getMask().tolist() == [[0, 0], [0, 0], [0, 0]]


def test_an_empty_document_changes_nothing(opened):
    before = zorvsim.model()
    opened.config.load("yml", "# nothing\n---\n")
    assert zorvsim.model() == before


@pytest.mark.parametrize("kind, doc, where", [
    ("yml", "dacs:\n  preamp_bias: 90\n\tthreshold_fine: 1\n", "line 3: tabs are not allowed"),
    ("yml", "dacs:\n  preamp_bias: 90\ncolours:\n", "line 3: unknown section 'colours'"),
    ("yml", "dacs:\n  preamp_bias: 90\n  threshold_fine: lots\n", "line 3: expected an integer for DAC 'threshold_fine'"),
    ("yml", "dacs:\n  preamp_bias: 90\n  threshold_fine\n", "line 3: expected 'key: value'"),
    ("yml", "  preamp_bias: 90\n", "line 1: an indented entry outside any section"),
    ("yml", "dacs:\n  preamp_bias: 90\n    threshold_fine: 1\n", "line 3: inconsistent indentation"),
    ("yml", "dacs:\n  preamp_bias: 90\nthresholds:\n  0:threshold: hot\n", "line 4: expected a number of keV"),
    ("yml", "dacs:\n  preamp_bias: 90\npixelMask:\n  width: 3\n", "line 4: the pixel mask needs both"),
    ("yml", "dacs:\n  preamp_bias: 90\npixelMask:\n  width: 0\n  height: 2\n", "line 4: expected a pixel mask width from 1 to 4096"),
    ("xml", "<configuration>\n  <dac name=\"preamp_bias\" value=\"90\"/>\n  <dac name=\"x\">\n", "line 3: <dac> lacks an attribute"),
    ("xml", "<configuration>\n  <dac name=\"preamp_bias\" value=\"90\"/>\n  <led on=\"1\"/>\n</configuration>", "line 3: unknown element <led>"),
    ("xml", "<configuration>\n  <dac name=\"preamp_bias\" value=\"90\"/>\n", "line 3: the document ends before </configuration>"),
    ("xml", "<configuration>\n<dac name=\"preamp_bias\" value=\"90\"/>\n<dac name=preamp_bias value=\"1\"/>\n</configuration>",
     "line 3: the value of the attribute 'name' is not quoted"),
    ("xml", "<configuration>\n<dac name=\"preamp_bias\" value=\"90\"/>\n</configuration>\n<dac/>", "line 4: unexpected content after"),
    ("xml", "\n<settings/>", "line 2: expected the root element <configuration>, found <settings>"),
    ("xml", "<configuration>\n<threshold id=\"0:threshold\" kev=\"5\" raw=\"3\"/>\n</configuration>", "line 2: <threshold> lacks"),
    ("xml", "<configuration>\n<dac name=\"preamp_bias\" value=\"90\"/>\nstray\n</configuration>", "line 3: unexpected text"),
])
def test_malformed_documents_give_the_line_and_change_nothing(opened, kind, doc, where):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError) as info:
        opened.config.load(kind, doc)
    assert info.value.args[0].startswith(f"{kind} configuration, {where}")
    assert opened.chip.getDacValue("preamp_bias") == 150


@pytest.mark.parametrize("doc, cls, fragment", [
    ("dacs:\n  preamp_bias: 256\n", errors.ZorvSdkInvalidArgumentError, "value 256 of DAC 'preamp_bias' is outside its limits [0, 255]"),
    ("dacs:\n  volume: 1\n", errors.ZorvSdkInvalidArgumentError, "no DAC named 'volume'"),
    ("rawThresholds:\n  0:threshold: 1024\n", errors.ZorvSdkInvalidArgumentError, "raw value 1024 of threshold '0:threshold'"),
    ("thresholds:\n  3:threshold: 5\n", errors.ZorvSdkInvalidOperationError, "threshold '3:threshold' is not calibrated"),
    ("bias:\n  hv: 250\n", errors.ZorvSdkInvalidArgumentError, "bias 250 V is outside the range [0, 200] of 'hv'"),
    ("bias:\n  lv: 1\n", errors.ZorvSdkInvalidArgumentError, "no bias supply with the identifier 'lv'"),
])
def test_values_the_device_refuses_undo_the_whole_document(opened, doc, cls, fragment):
    with pytest.raises(cls) as info:
        opened.config.load("yml", "dacs:\n  threshold_fine: 1\n" + doc)
    assert info.value.args[0].startswith("yml configuration, line 4: " + fragment)
    assert opened.chip.getDacValue("threshold_fine") == 256


def test_a_later_refusal_undoes_the_earlier_settings(opened):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="line 4"):
        opened.config.load("yml", "dacs:\n  preamp_bias: 20\nbias:\n  hv: -1\n")
    assert opened.chip.getDacValue("preamp_bias") == 150
    assert zorvsim.get("/devices/0/supplies/biases/0/target") == 100.0  # the default operating voltage


@pytest.mark.parametrize("kind", ["json", "XML", "", "yaml"])
def test_unknown_kind_is_an_invalid_argument(opened, kind):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="unknown configuration kind"):
        opened.config.load(kind, "")


@pytest.mark.parametrize("kind, content, exc", [
    (b"yml", "", AttributeError), ("yml", None, AttributeError), ("yml", b"dacs:", AttributeError),
    ("yml", "dacs:\n  preamp_bias: 9\x00\n", ValueError), ("yml\x00junk", "", ValueError),
    ("yml", "bias:\n  h\udc80v: 1\n", UnicodeEncodeError),
])
def test_arguments_refused_before_the_sdk(opened, kind, content, exc):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc, match="^embedded null character$" if exc is ValueError else None):
            opened.config.load(kind, content)
    assert journal.entries == []


def test_load_passes_both_texts(opened):
    with zorvsim.Journal() as journal:
        opened.config.load(configType="xml", content="<configuration/>")
    assert journal.calls("zorv_load_configuration")[0]["args"] == ["xml", "<configuration/>"]


# ---- the pixel mask ----

def test_default_mask_covers_the_detector(opened):
    size = opened.config.getMaskSize()
    assert type(size) is configuration.PixelMaskDimensions and size == (512, 512)
    assert (size.width, size.height) == (512, 512)
    with zorvsim.Journal() as journal:
        mask = opened.config.getMask()
    assert mask.shape == (512, 512) and mask.dtype == np.uint8 and not mask.any()
    assert journal.names() == ["zorv_get_pixel_mask_size", "zorv_get_pixel_mask"]
    assert journal.calls("zorv_get_pixel_mask")[0]["args"] == [512 * 512]


def test_mask_follows_the_chip_grid(opened):
    zorvsim.set("/devices/0/chip/chipsPerRow", 4)
    assert opened.config.getMaskSize() == (1024, 256)


def test_mask_is_laid_out_by_columns(small):
    mask = small.config.getMask()
    assert mask.shape == (3, 2)
    assert (mask[1, 0], mask[2, 1], mask[0, 1]) == (2, 5, 1)


@pytest.mark.parametrize("make", [lambda a: a, lambda a: a.reshape(6), lambda a: a.reshape(2, 3),
                                  lambda a: np.asfortranarray(a)])
def test_set_mask_sends_row_major_bytes(small, make):
    values = np.array([[9, 8], [7, 6], [5, 4]], dtype=np.uint8)
    with zorvsim.Journal() as journal:
        assert small.config.setMask(make(values)) is None
    assert journal.calls("zorv_set_pixel_mask")[0]["args"] == [6]
    assert zorvsim.get(MASK + "/contents") == [{"address": 0, "hex": "090807060504"}]
    assert small.config.getMask().tolist() == values.tolist()


def test_bool_mask_is_accepted(small):
    small.config.setMask(np.array([[True, False], [False, True], [True, True]]))
    assert small.config.getMask().tolist() == [[1, 0], [0, 1], [1, 1]]


def test_mask_survives_a_reopen_and_a_new_size_clears_it(small):
    small.config.setMask(np.ones((3, 2), dtype=np.uint8))
    small.close()
    small.open("zorvsim:0")
    assert small.config.getMask().sum() == 6
    small.config.load("xml", '<configuration><pixelMask width="2" height="4"/></configuration>')
    assert small.config.getMask().tolist() == [[0] * 4] * 2


@pytest.mark.parametrize("mask, exc", [
    (np.zeros((3, 2), dtype=np.int64), ValueError), (np.zeros((3, 2)), ValueError),
    (np.zeros((3, 2), dtype=np.int8), ValueError), ([[0, 0], [0, 0], [0, 0]], AttributeError),
])
def test_refused_masks_make_no_sdk_call(small, mask, exc):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc):
            small.config.setMask(mask)
    assert journal.entries == []


def test_set_mask_size_mismatch_message(opened):
    zorvsim.force("zorv_get_pixel_mask_size", [256, 256])
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInternalException) as info:
            opened.config.setMask(np.zeros((255, 256), dtype=np.uint8))
    assert info.value.args == (f"Provided mask size (== 65280) != {MISMATCH}expected mask size (== 65536)",)
    assert journal.names() == ["zorv_get_pixel_mask_size"]


def test_get_mask_short_delivery_message(opened):
    zorvsim.set("/devices/0/chip/chips", [{"id": "single"}])
    zorvsim.force("zorv_get_pixel_mask", [65535])
    with pytest.raises(errors.ZorvSdkInternalException) as info:
        opened.config.getMask()
    assert info.value.args == (f"Pixel mask real size (== 65535) != {MISMATCH}expected size (== 65536)",)


def test_a_mask_sized_for_another_geometry_is_refused_by_the_device(opened):
    zorvsim.force("zorv_get_pixel_mask_size", [2, 3])
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="does not fit the 512 x 512 pixel mask"):
        opened.config.setMask(np.zeros(6, dtype=np.uint8))


def test_zero_sized_mask_is_an_index_error(opened):
    zorvsim.force("zorv_get_pixel_mask_size", [0, 0], count=2)
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        opened.config.getMask()
    with pytest.raises(IndexError):
        opened.config.setMask(np.zeros(0, dtype=np.uint8))


@pytest.mark.parametrize("call", [lambda c: c.load("yml", ""), lambda c: c.getMaskSize(), lambda c: c.getMask(),
                                  lambda c: c.setMask(np.zeros((512, 512), dtype=np.uint8))])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="no device is open"):
        call(device.config)
