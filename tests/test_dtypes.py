"""The named element types of zorvsdk.dtypes against what each readout mode delivers."""

import numpy as np
import pytest

import zorvsim
from conftest import ideal_detector
from zorvsdk import dtypes
from zorvsdk.chip import BinningParams


def one_delivery(dev, mode, raw=False):
    zorvsim.load_model({"devices": [{"acquisition": {"deliveries": 1, "hitsPerDelivery": 50, "realTime": False,
                                                     "tdcPerDelivery": [2, 2, 2]}}]})
    ideal_detector()
    dev.open("zorvsim:0")
    dev.chip.selectMode(mode, BinningParams(4, 4, 1000) if "binned" in mode else None)
    got = []
    register = dev.acq.setRawDataCallback if raw else dev.acq.setDataCallback
    register("ch0", lambda *args: got.append(args))
    dev.acq.begin("ch0")
    dev.acq.end("ch0")
    assert len(got) == 1
    return got[0]


@pytest.mark.parametrize("mode", sorted(dtypes.MODES))
def test_every_array_of_a_mode_has_the_named_type(device, mode):
    args = one_delivery(device, mode)
    arrays = args[:-1] if mode in dtypes.METADATA_MODES else args
    assert len(arrays) == len(dtypes.MODES[mode])
    for array, dtype in zip(arrays, dtypes.MODES[mode]):
        assert len(array) > 0
        assert array.dtype == dtype and array.dtype.itemsize == dtype.itemsize
    if mode in dtypes.METADATA_MODES:
        assert [t.dtype for t in args[-1]["tdcs"]] == [dtypes.TDC_STAMP] * 3
    else:
        assert not any(isinstance(a, dict) for a in args)


def test_raw_deliveries_are_bytes(device):
    (data,) = one_delivery(device, "0:tpx3-dd-toa-tot", raw=True)
    assert len(data) > 0 and data.dtype == dtypes.RAW_BYTE
    # The raw stream of this mode is its packets: it reads back as records of the named type.
    assert len(data.view(dtypes.TOA_TOT)) == 50



# The documented layouts, written out here: the named types come from the acquisition module's table.
def packed(*fields):
    return np.dtype({"names": [n for n, _, _ in fields], "formats": [f for _, f, _ in fields],
                     "offsets": [o for _, _, o in fields], "itemsize": sum(np.dtype(f).itemsize for _, f, _ in fields)})


@pytest.mark.parametrize("named, layout, itemsize", [
    (dtypes.TOA_TOT, packed(("address", "<u4", 0), ("tot", "<u4", 4), ("toa", "<u8", 8)), 16),
    (dtypes.ITOT_EVENT, packed(("address", "<u4", 0), ("itot", "<u4", 4), ("event", "<u8", 8)), 16),
    (dtypes.BINNED, packed(("address", "<u4", 0), ("count", "<u4", 4), ("itot", "<u4", 8)), 12),
    (dtypes.BIN_DESCRIPTOR, packed(("offset", "<u4", 0), ("packet_count", "<u4", 4)), 8),
    (dtypes.TDC_STAMP, np.dtype("<u8"), 8),
    (dtypes.RAW_BYTE, np.dtype("u1"), 1),
])
def test_named_types_have_the_documented_layouts(named, layout, itemsize):
    assert named == layout and named.itemsize == itemsize
    assert named.fields == layout.fields  # names, types and offsets


def test_the_table_holds_every_mode_the_device_lists(device):
    device.open("zorvsim:0")
    assert sorted(dtypes.MODES) == sorted(device.chip.getModeIds())
    assert set(dtypes.METADATA_MODES) == {"0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-dd-toa-tot-vec"}
    assert set(dtypes.HIT_MODES) == {"0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-dd-toa-tot-vec",
                                     "0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec"}
    # Every hit mode's arrays hold an address, a ToT and a ToA, as records or as three vectors.
    for mode in dtypes.HIT_MODES:
        types = dtypes.MODES[mode]
        assert types == (dtypes.TOA_TOT,) or [t.kind for t in types] == ["u", "u", "u"] and len(types) == 3
