"""The synthetic detector as a twin of the device: its data follow the thresholds, the noise, the
pixel mask, the bias and polarity, and its ToT follows the deposited energy; no delivery repeats
another, and the truth of what the sources made agrees with what was delivered."""

from types import SimpleNamespace

import numpy as np
import pytest

import zorvsim
from conftest import ideal_detector
from zorvsdk.chip import ChipPolarity

CHIP = "/devices/0/chip"
WIDTH = 512
CALIBRATED = ["0:threshold", "1:threshold", "2:threshold"]


@pytest.fixture
def twin(opened):
    """The default device, acquiring fast: `deliveries` deliveries of `hits` deposits, as a list of
    their hits (`runs`, which calls `also` with each delivery's hits in the callback) or all hits in
    one array (`twin`)."""
    opened.chip.selectMode("0:tpx3-dd-toa-tot")

    def runs(deliveries=2, hits=20000, also=lambda data: None, **members):
        zorvsim.set("/devices/0/acquisition", dict(zorvsim.get("/devices/0/acquisition"), realTime=False,
                                                   deliveries=deliveries, hitsPerDelivery=hits, **members))
        got = []
        opened.acq.setDataCallback("ch0", lambda data, metadata: (got.append(data.copy()), also(data)))
        opened.acq.begin("ch0")
        opened.acq.end("ch0")
        return got

    return SimpleNamespace(chip=opened.chip, bias=opened.bias, config=opened.config, runs=runs,
                           twin=lambda *args, **kw: np.concatenate(runs(*args, **kw)))


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


# ---- a twin that does not repeat itself ----


def test_deliveries_never_repeat_while_the_hot_pixels_stay_where_they_are(twin):
    for t in CALIBRATED:  # near the noise floor: the hot pixels fire in every delivery
        twin.chip.setThreshold(t, 4 * twin.chip.getThresholdRange(t).noise)
    hot = {p["y"] * WIDTH + p["x"] for p in zorvsim.get(f"{CHIP}/hotPixels")}
    hot = {a for a in hot if chip_of(a) != 3}  # chip 3 stays far above its noise
    runs = twin.runs(deliveries=101, hits=2000)
    picked = [runs[k] for k in (0, 1, 8, 16, 100)]
    particles = [set(np.unique(d["address"])) - hot for d in picked]
    for i in range(len(picked)):
        assert hot <= set(np.unique(picked[i]["address"]))
        for j in range(i):
            assert len(particles[i] & particles[j]) < 0.1 * len(particles[j]), (i, j)
    assert all(hot <= set(np.unique(d["address"])) for d in runs)


def test_a_long_run_touches_many_more_pixels_than_a_short_one(twin):
    ideal_detector()
    short, long = (len(np.unique(twin.twin(deliveries=n, hits=1000)["address"])) for n in (20, 400))
    assert long > 8 * short  # ~19,000 against ~205,000 of the detector's 262,144 pixels


def test_small_deliveries_stay_in_order_and_in_their_time(twin):
    ideal_detector()
    runs = twin.runs(deliveries=60, hits=1500, period=0.002)
    span = 0.002 * 640e6
    toa = np.concatenate([d["toa"] for d in runs]).astype(np.int64)
    assert np.all(np.diff(toa) >= 0)
    assert all(k * span <= d["toa"].min() and d["toa"].max() < (k + 1) * span for k, d in enumerate(runs))
    assert [len(d) for d in runs] == [1500] * 60


# ---- the truth of what the sources made ----

LINES = np.array([8.04, 17.48, 59.54])
PHOTON, BLOB, TRACK = range(3)


def per_particle(truth, values):
    """The sum of `values` over the hits of each particle of the truth, in the order of its particles."""
    index = np.searchsorted(truth.particles["id"], truth.hits)
    return np.bincount(index, weights=values, minlength=len(truth.particles))


def test_the_truth_names_the_particle_of_every_hit(twin):
    ideal_detector()  # every deposit recorded: a particle's hits are its deposits
    zorvsim.keep_truth("ch0", 8)
    runs = twin.runs(deliveries=3, hits=30000)
    first = 0
    for k, hits in enumerate(runs):
        t = zorvsim.truth("ch0", k)
        p = t.particles
        assert len(t.hits) == len(hits) and p["deposits"].sum() == 30000
        assert np.array_equal(p["id"], np.arange(first, first + len(p)))  # numbered on across deliveries
        first += len(p)
        assert np.isin(t.hits, p["id"]).all()
        assert np.array_equal(per_particle(t, np.ones(len(hits))), p["hits"]) and np.array_equal(p["hits"], p["deposits"])
        assert set(np.unique(p["kind"])) == {PHOTON, BLOB, TRACK} and np.mean(p["kind"] == PHOTON) > 0.95
        later = hits["toa"].astype(np.int64) - p["toa"][np.searchsorted(p["id"], t.hits)].astype(np.int64)
        assert later.min() >= 0 and later.max() < 256  # a hit follows its particle by its time walk
        # Energies from the sources' spectrum: of particles made whole (the last one may be cut short by
        # the delivery's end, a photon at the detector's edge loses what falls off it).
        margin = np.where(p["kind"] == PHOTON, 1.5, 4.5)  # pixels to the edge that it may reach
        inside = np.minimum(np.minimum(p["x"], p["y"]), WIDTH - 1 - np.maximum(p["x"], p["y"])) > margin
        whole = p[(p["id"] != p["id"].max()) & (inside | (p["kind"] == TRACK))]
        photon, blob, track = (whole[whole["kind"] == kind] for kind in (PHOTON, BLOB, TRACK))
        assert np.abs(photon["kev"][:, None] - LINES).min(axis=1).max() < 1.5
        assert np.all((3500 < blob["kev"]) & (blob["kev"] < 6500))
        assert np.all(track["kev"] >= 14 * track["deposits"] - 1e-3)
        # Places on the detector, where their hits are.
        assert np.all((p["x"] >= -0.5) & (p["x"] < WIDTH - 0.5) & (p["y"] >= -0.5) & (p["y"] < WIDTH - 0.5))
        n = np.maximum(p["hits"], 1)
        cx, cy = (per_particle(t, v.astype(float)) / n for v in (hits["address"] % WIDTH, hits["address"] // WIDTH))
        off = np.hypot(cx - p["x"], cy - p["y"])
        assert off[p["kind"] == PHOTON].max() < 0.75 and off[p["kind"] == BLOB].max() < 1.0
        assert np.median(off[p["kind"] == TRACK]) < 1.5


def test_the_truth_follows_the_settings(twin):
    """At the default settings some deposits fall below the thresholds and noise is off; at a low
    threshold noise hits carry no particle."""
    zorvsim.keep_truth("ch0", 1)
    [hits] = twin.runs(deliveries=1)
    t = zorvsim.truth("ch0", 0)
    assert np.array_equal(per_particle(t, np.ones(len(hits))), t.particles["hits"])
    assert t.particles["hits"].sum() == len(hits) < t.particles["deposits"].sum()
    set_thresholds(twin, 1.5)  # far into the noise
    [hits] = twin.runs(deliveries=1, hits=0)
    t = zorvsim.truth("ch0", 0)
    assert len(hits) > 1000 and len(t.particles) == 0 and np.all(t.hits == zorvsim.NOISE)


@pytest.mark.parametrize("mode, count", [
    ("0:tpx3-seq-toa-tot-vec", lambda args: len(args[0])),
    ("0:tpx3-dd-toa-tot-vec", lambda args: len(args[0])),
    ("0:tpx3-seq-itot-event", lambda args: int(args[0]["event"].sum())),
    ("0:tpx-medipix", lambda args: int(args[0].sum())),
])
def test_the_truth_of_every_mode_counts_its_hits(opened, mode, count):
    ideal_detector()
    zorvsim.set("/devices/0/acquisition", {"realTime": False, "deliveries": 2, "hitsPerDelivery": 5000})
    opened.chip.selectMode(mode)
    zorvsim.keep_truth("ch0", 2)
    got = []
    opened.acq.setDataCallback("ch0", lambda *args: got.append(count(args)))
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert got == [len(zorvsim.truth("ch0", k).hits) for k in range(2)] == [5000, 5000]


def test_the_truth_is_there_in_the_callback_and_costs_the_data_nothing(twin):
    plain = twin.runs(deliveries=3)
    zorvsim.keep_truth("ch0", 1)
    seen = []
    with_truth = twin.runs(deliveries=3, also=lambda data: seen.append(len(zorvsim.truth("ch0", len(seen)).hits)))
    assert seen == [len(d) for d in with_truth]
    assert all(np.array_equal(a, b) for a, b in zip(plain, with_truth))  # the same data with the truth kept


@pytest.mark.parametrize("case, call, match", [
    ("off", lambda: zorvsim.truth("ch0", 0), "kept no truth: keep it"),
    ("let go", lambda: zorvsim.truth("ch0", 2), r"delivery 2 is not kept: channel 'ch0' keeps the truth of deliveries 3 to 4"),
    ("not yet", lambda: zorvsim.truth("ch0", 5), "no delivery 5 yet"),
    ("scripted", lambda: zorvsim.truth("ch0", 0), "kept no truth"),
    ("negative", lambda: zorvsim.keep_truth("ch0", -1), "0 \\(none\\) to 2\\^40 deliveries"),
    ("channel", lambda: zorvsim.truth("ch7", 0), "no acquisition channel 'ch7'"),
])
def test_the_truth_is_kept_within_bounds(twin, case, call, match):
    zorvsim.keep_truth("ch0", 0 if case == "off" else 2)
    if case == "scripted":
        zorvsim.script("ch0", [{}])
    twin.runs(deliveries=5, hits=1000)
    with pytest.raises(zorvsim.SimError, match=match):
        call()
