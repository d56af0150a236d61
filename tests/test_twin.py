"""The synthetic detector as a twin of the device: its data follow the thresholds, the noise, the
pixel mask, the bias and polarity, and its ToT follows the deposited energy."""

from types import SimpleNamespace

import numpy as np
import pytest

import zorvsim
from zorvsdk.chip import ChipPolarity

CHIP = "/devices/0/chip"
WIDTH = 512
CALIBRATED = ["0:threshold", "1:threshold", "2:threshold"]


@pytest.fixture
def twin(opened):
    """The default device, acquiring fast: hits of `deliveries` deliveries of `hits` deposits."""
    opened.chip.selectMode("0:tpx3-dd-toa-tot")

    def acquire(deliveries=2, hits=20000):
        zorvsim.set("/devices/0/acquisition", dict(zorvsim.get("/devices/0/acquisition"), realTime=False,
                                                   deliveries=deliveries, hitsPerDelivery=hits))
        got = []
        opened.acq.setDataCallback("ch0", lambda data, metadata: got.append(data.copy()))
        opened.acq.begin("ch0")
        opened.acq.end("ch0")
        return np.concatenate(got)

    return SimpleNamespace(chip=opened.chip, bias=opened.bias, config=opened.config, twin=acquire)


def set_thresholds(device, kev):
    for t in CALIBRATED:
        device.chip.setThreshold(t, kev)


def chip_of(address):
    x, y = address % WIDTH, address // WIDTH
    return (y // 256) * 2 + x // 256


def test_default_device_is_ready_to_acquire(twin):
    hits = twin.twin()
    assert 0.6 * 40000 < len(hits) < 40000  # deposits under the ~5 keV thresholds are not recorded
    assert set(np.unique(chip_of(hits["address"]))) == {0, 1, 2, 3}
    assert all(4 <= twin.chip.getThreshold(t) <= 6 for t in CALIBRATED)
    assert twin.bias.getBias("hv") > zorvsim.get(f"{CHIP}/sensor/depletionVoltage")


def test_counts_fall_with_the_threshold_with_steps_at_the_lines(twin):
    counts = {}
    for kev in (6.0, 7.5, 8.5, 10.0, 16.5, 18.5, 20.0, 58.5, 60.5, 62.0):
        set_thresholds(twin, kev)
        counts[kev] = np.count_nonzero(chip_of(twin.twin(hits=40000)["address"]) != 3)
    ordered = [counts[k] for k in sorted(counts)]
    assert ordered == sorted(ordered, reverse=True)  # the same deposits at every threshold
    for below, above, beyond in ((7.5, 8.5, 10.0), (16.5, 18.5, 20.0), (58.5, 60.5, 62.0)):
        step = counts[below] - counts[above]
        assert step > 0.05 * counts[above] and step > 3 * (counts[above] - counts[beyond]), below


def test_noise_rises_steeply_near_the_noise_floor_and_hot_pixels_fire_first(twin):
    noise = {t: twin.chip.getThresholdRange(t).noise for t in CALIBRATED}
    hot = {p["y"] * WIDTH + p["x"] for p in zorvsim.get(f"{CHIP}/hotPixels")}
    zorvsim.set(f"{CHIP}/thresholds/3/raw", 0)  # the uncalibrated chip at 0 keV: all noise
    zorvsim.set(f"{CHIP}/thresholds/3/rawDefault", 0)
    seen = {}
    for sigmas in (12, 5.5, 4, 3):
        for t in CALIBRATED:
            twin.chip.setThreshold(t, sigmas * noise[t])
        hits = twin.twin(hits=0)  # no source: only noise
        hits = hits[chip_of(hits["address"]) != 3]
        seen[sigmas] = (len(hits), set(np.unique(hits["address"])) & hot, len(set(np.unique(hits["address"])) - hot))
    assert seen[12] == (0, set(), 0)
    assert seen[5.5][1] == {a for a in hot if chip_of(a) != 3} and seen[5.5][2] < 5  # the hot pixels first
    assert seen[4][0] > 20 * seen[5.5][0] / 5 and seen[3][0] > 10 * seen[4][0]  # then the bulk, steeply


def test_masked_pixels_are_silent(twin):
    set_thresholds(twin, 2.0)  # near the noise: sources, hot pixels and noise all record
    before = twin.twin()
    mask = np.zeros(twin.config.getMaskSize(), dtype=np.uint8)
    mask[:256, :] = 1  # columns 0..255: chips 0 and 2
    hot = zorvsim.get(f"{CHIP}/hotPixels")[0]
    mask[hot["x"] + 256 if hot["x"] < 256 else hot["x"], hot["y"]] = 1
    twin.config.setMask(mask)
    after = twin.twin()
    x, y = after["address"] % WIDTH, after["address"] // WIDTH
    assert len(after) > 0 and not mask[x, y].any()
    assert np.count_nonzero(before["address"] % WIDTH < 256) > 1000


@pytest.mark.parametrize("volts, share", [(0.0, 0.0), (12.5, None), (60.0, 1.0), (100.0, 1.0)])
def test_charge_collected_follows_the_bias_up_to_depletion(twin, volts, share):
    full = twin.twin()
    zorvsim.clock_manual()
    try:
        twin.bias.setBias("hv", volts)
        zorvsim.clock_advance(30.0)  # the ramp has arrived
        hits = twin.twin()
    finally:
        zorvsim.clock_manual(False)
    if share == 0.0:
        assert len(hits) == 0
    elif share == 1.0:
        assert len(hits) == len(full) and np.array_equal(hits["tot"], full["tot"])
    else:  # half the charge at a quarter of the depletion voltage: fewer hits, smaller ToT
        assert 0 < len(hits) < 0.9 * len(full) and np.median(hits["tot"]) < 0.7 * np.median(full["tot"])


def test_the_read_back_voltage_of_the_ramp_counts(twin):
    zorvsim.clock_manual()
    try:
        twin.bias.setBias("hv", 0.0)
        zorvsim.clock_advance(30.0)
        twin.bias.setBias("hv", 100.0)  # ramps at 10 V/s: still at 0 V
        assert len(twin.twin()) == 0
        zorvsim.clock_advance(2.0)  # 20 V: partly depleted
        partial = len(twin.twin())
        zorvsim.clock_advance(8.0)  # 100 V
        full = len(twin.twin())
    finally:
        zorvsim.clock_manual(False)
    assert 0 < partial < full


def test_a_chip_whose_polarity_does_not_match_the_carriers_records_nothing(twin):
    twin.chip.setPolarity(1, ChipPolarity.negative)
    chips = set(np.unique(chip_of(twin.twin()["address"])))
    assert chips == {0, 2, 3}
    zorvsim.set(f"{CHIP}/sensor/carriers", "electrons")
    assert set(np.unique(chip_of(twin.twin()["address"]))) == {1}


def test_tot_converted_back_peaks_at_the_lines(twin):
    zorvsim.set("/devices/0/acquisition/sources", {"photon": 1, "blob": 0, "track": 0})
    hits = twin.twin(deliveries=4, hits=100000)
    kev = np.zeros(len(hits))
    chip = chip_of(hits["address"])
    for i, c in enumerate(zorvsim.get(f"{CHIP}/chips")):
        a, b, cc, t = (c["tot"][k] for k in "abct")
        tot = hits["tot"][chip == i].astype(float)
        p, q = b - a * t - tot, tot * t - b * t - cc
        kev[chip == i] = (-p + np.sqrt(p * p - 4 * a * q)) / (2 * a)
    for line in (8.0, 17.5, 59.5):
        counts, edges = np.histogram(kev, bins=np.arange(0.8 * line, 1.2 * line, 0.02 * line))
        peak = (edges[counts.argmax()] + edges[counts.argmax() + 1]) / 2
        assert abs(peak - line) < 0.03 * line, (line, peak)


def test_uncalibrated_threshold_stands_at_its_place_in_the_raw_range(twin):
    def chip3(raw):
        zorvsim.set(f"{CHIP}/thresholds/3/raw", raw)
        return np.count_nonzero(chip_of(twin.twin()["address"]) == 3)

    # 80 keV over the raw range 0..1023: raw 100 is 7.8 keV, 128 is 10 keV, 1023 is 80 keV
    assert chip3(100) > chip3(128) > chip3(1023) > 0
