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

