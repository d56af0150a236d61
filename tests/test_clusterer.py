"""The Clusterer: its clusters against a plain reference (connected components over the same
neighbour and time rule, with NumPy and SciPy) for every hit mode, scripted and synthetic, across
delivery boundaries and chips; against the virtual device's truth (particles found whole, split or
merged; centroid errors) at low and high occupancy; energies; drops under a slow reader; waits;
lifecycle (close, finalize, fork, two channels)."""

import queue

import numpy as np
import pytest
import zorvsim
from cluster_reference import CHIP, WIDTH, WINDOW, chip_of, reference_clusters, reference_labels
from native_sink import Native
from programs import run
from zorvsdk import dtypes, sinks
from zorvsdk.zorv import Device

META = {"shutterStart": 0, "tdcs": [np.zeros(0, np.uint64)] * 3}
# The virtual device's default ToT calibrations (docs/virtual-device.md); chip 3 left without one.
CALIBRATION = [{"a": 4.7 + 0.2 * i, "b": 9.0 + 2.0 * i, "c": 30.0, "t": 2.0} for i in range(3)] + [None]
rng = np.random.default_rng(25)


def in_order(clusters):
    return clusters[np.lexsort((np.round(clusters["y"], 3), np.round(clusters["x"], 3), clusters["toa"], clusters["chip"]))]


def assert_same_clusters(got, expected):
    got, expected = in_order(got), in_order(expected)
    assert len(got) == len(expected)
    for field in ("chip", "toa", "toa_peak", "size", "tot_sum", "tot_max"):
        np.testing.assert_array_equal(got[field], expected[field], err_msg=field)
    for field in ("x", "y", "time_ns", "time_peak_ns"):
        np.testing.assert_allclose(got[field], expected[field], rtol=1e-6, atol=1e-3, err_msg=field)
    np.testing.assert_allclose(got["kev"], expected["kev"], rtol=1e-4, equal_nan=True)


def take_all(clusterer):
    """Every cluster, once a flush has closed them all (taking them while they fill the buffer)."""
    parts = []
    for _ in range(10_000):
        done = clusterer.flush(10)
        while True:
            try:
                parts.append(clusterer.get(timeout=0))
            except queue.Empty:
                break
        if done:
            return np.concatenate(parts) if parts else np.zeros(0, dtypes.CLUSTER)
    raise AssertionError("the flush never ended")


def scripted_hits(particles=400, span=200_000, noise=300):
    """Particles of 1 to 30 hits (random walks over neighbouring pixels, a pixel hit again now and
    then, some across chip borders), within a few hundred ticks each, and noise, in time order."""
    parts = []
    for _ in range(particles):
        k = int(rng.integers(1, 31))
        start = rng.integers(0, WIDTH, 2)
        if rng.random() < 0.2:  # at a border between chips
            start[rng.integers(0, 2)] = CHIP - 1 + rng.integers(0, 2)
        steps = rng.integers(-1, 2, (k, 2))
        xy = np.clip(start + np.cumsum(steps, axis=0), 0, WIDTH - 1)
        t = rng.integers(0, span) + rng.integers(0, 250, k)
        parts.append((xy[:, 1] * WIDTH + xy[:, 0], rng.integers(1, 1024, k), t))
    parts.append((rng.integers(0, WIDTH * WIDTH, noise), rng.integers(1, 100, noise), rng.integers(0, span, noise)))
    hits = np.zeros(sum(len(p[0]) for p in parts), dtypes.TOA_TOT)
    hits["address"] = np.concatenate([p[0] for p in parts])
    hits["tot"] = np.concatenate([p[1] for p in parts])
    hits["toa"] = np.concatenate([p[2] for p in parts])
    return hits[np.argsort(hits["toa"], kind="stable")]


def split(hits, deliveries):
    cuts = np.sort(rng.choice(np.arange(1, len(hits)), deliveries - 1, replace=False))
    return np.split(hits, cuts)


def as_mode(mode, part):
    """A delivery of `mode`'s kind over the hits: the callable's arrays and the script's buffers."""
    if mode.endswith("-vec"):
        toa = part["toa"].astype(np.uint32 if "seq" in mode else np.uint64)
        arrays = (part["address"].copy(), toa, part["tot"].astype(np.uint16))
        script = {"pixel_address_vec": arrays[0], "toa_vec": arrays[1], "tot_vec": arrays[2]}
    else:
        arrays = (part.copy(),)
        script = {"packets": arrays[0]}
    return (arrays + (META,) if mode in dtypes.METADATA_MODES else arrays), script


@pytest.fixture
def opened():
    zorvsim.reset()
    dev = Device()
    dev.open("zorvsim:0")
    yield dev
    dev.close()
    dev.finalize()


@pytest.mark.parametrize("path", ["acquisition", "native", "call"])
@pytest.mark.parametrize("mode", dtypes.HIT_MODES)
def test_clusters_equal_the_reference_in_every_hit_mode_across_deliveries_and_chips(opened, mode, path):
    hits = scripted_hits()
    parts = split(hits, 12)
    clusterer = sinks.Clusterer(WIDTH, WIDTH, calibration=CALIBRATION)
    deliveries = [as_mode(mode, p) for p in parts]
    if path == "acquisition":
        opened.chip.selectMode(mode)
        opened.acq.setDataCallback("ch0", clusterer)
        zorvsim.script("ch0", [script for _, script in deliveries])
        opened.acq.begin("ch0")
        opened.acq.end("ch0")  # the end of the acquisition closes every cluster
        got = np.concatenate(list(clusterer))
    else:
        native = Native(clusterer)
        kind = dict(zip(dtypes.HIT_MODES, ["seq-toa-tot", "seq-toa-tot-vec", "dd-toa-tot-vec", "dd-toa-tot", "dd-toa-tot"]))[mode]
        for arrays, _ in deliveries:
            if path == "native":
                native.deliver(kind, list(arrays[:-1] if isinstance(arrays[-1], dict) else arrays),
                               arrays[-1] if isinstance(arrays[-1], dict) else None)
            else:
                clusterer(*arrays)
        got = take_all(clusterer)
    assert (clusterer.delivered, clusterer.hits, clusterer.dropped, clusterer.late) == (len(parts), len(hits), 0, 0)
    assert clusterer.clusters == len(got) and got["size"].sum() == len(hits)
    assert_same_clusters(got, reference_clusters(hits, reference_labels(hits), CALIBRATION))


@pytest.mark.parametrize("radius, window", [(1, 1), (1, 2000), (2, 320), (3, 50)])
def test_the_radius_and_the_window_are_those_of_the_reference(radius, window):
    hits = scripted_hits(particles=300, span=50_000)
    clusterer = sinks.Clusterer(WIDTH, WIDTH, radius=radius, window=window * 1.5625)
    assert (clusterer.radius, clusterer.window) == (radius, window * 1.5625)
    for part in split(hits, 5):
        clusterer(part, META)
    assert_same_clusters(take_all(clusterer), reference_clusters(hits, reference_labels(hits, window, radius)))


def test_hits_out_of_time_order_within_a_delivery_give_the_same_clusters():
    hits = scripted_hits()
    clusterer = sinks.Clusterer(WIDTH, WIDTH, threads=1)
    for part in split(hits, 4):
        clusterer(part[rng.permutation(len(part))], META)
    assert clusterer.late == 0
    assert_same_clusters(take_all(clusterer), reference_clusters(hits, reference_labels(hits)))


def test_a_cluster_split_by_deliveries_and_by_the_32_bit_toa_wrap_is_joined():
    # Three hits of one particle in three deliveries of the seq-toa-tot-vec mode, whose ToA is the
    # low 32 bits: the last two after the wrap. A fourth hit far away in time stays apart.
    base = (1 << 32) - 100
    toas = [base, base + 90, base + 200, base + 10_000]
    clusterer = sinks.Clusterer(WIDTH, WIDTH)
    for i, toa in enumerate(toas):
        address = np.array([100 * WIDTH + 100 + min(i, 2)], np.uint32)
        clusterer(address, np.array([toa % (1 << 32)], np.uint32), np.array([10 * (i + 1)], np.uint16))
    got = in_order(take_all(clusterer))
    assert got["size"].tolist() == [3, 1]
    assert got["toa"].tolist() == [base, base + 10_000] and got["toa_peak"][0] == base + 200
    assert got["x"][0] == pytest.approx(100 + (0 * 10 + 1 * 20 + 2 * 30) / 60) and got["y"][0] == 100


def test_energies_follow_each_chips_calibration_and_are_nan_without():
    hits = scripted_hits(particles=200)
    clusterer = sinks.Clusterer(WIDTH, WIDTH, calibration=CALIBRATION)
    clusterer(hits, META)
    got = take_all(clusterer)
    assert np.isnan(got["kev"][got["chip"] == 3]).all() and not np.isnan(got["kev"][got["chip"] < 3]).any()
    assert_same_clusters(got, reference_clusters(hits, reference_labels(hits), CALIBRATION))
    plain = sinks.Clusterer(WIDTH, WIDTH)
    plain(hits, META)
    assert np.isnan(take_all(plain)["kev"]).all()


SYNTHETIC = {"deliveries": 8, "realTime": False}


def synthetic(model, sink, deliveries=None, truth=False):
    """The sink registered on ch0 of a synthetic acquisition; the truth of its deliveries."""
    deliveries = model.get("deliveries", 8) if deliveries is None else deliveries
    zorvsim.reset()
    zorvsim.load_model({"devices": [{"acquisition": model}]})
    if truth:
        zorvsim.keep_truth("ch0", deliveries)
    dev = Device()
    dev.open("zorvsim:0")
    try:
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        dev.acq.setDataCallback("ch0", sink)
        dev.acq.begin("ch0")
        dev.acq.end("ch0")
        return [zorvsim.truth("ch0", k) for k in range(deliveries)] if truth else None
    finally:
        dev.close()
        dev.finalize()


def synthetic_hits(model):
    recorder = sinks.Recorder(1 << 25)
    truth = synthetic(model, recorder, truth=True)
    hits = np.concatenate([delivery[0] for delivery in recorder])
    return hits, truth


# hits per delivery of 0.05 s: sparse photons (200 k hits/s); photons, blobs and tracks at 20 M hits/s
OCCUPANCIES = {
    "low": SYNTHETIC | {"hitsPerDelivery": 10_000},
    "high": SYNTHETIC | {"deliveries": 4, "hitsPerDelivery": 1_000_000,
                         "sources": {"photon": 0.9, "blob": 0.04, "track": 0.06}},
}


@pytest.mark.parametrize("occupancy", OCCUPANCIES)
def test_synthetic_clusters_equal_the_reference(occupancy):
    model = OCCUPANCIES[occupancy]
    hits, _ = synthetic_hits(model)
    clusterer = sinks.Clusterer(WIDTH, WIDTH, calibration=CALIBRATION)
    synthetic(model, clusterer)
    got = np.concatenate(list(clusterer))
    assert (clusterer.hits, clusterer.dropped, clusterer.late, clusterer.forced) == (len(hits), 0, 0, 0)
    assert_same_clusters(got, reference_clusters(hits, reference_labels(hits), CALIBRATION))


# occupancy: of the particles on one chip (one across a border between chips is a cluster on each),
# the shares found whole at least, split and merged at most; the median and 95th percentile of a
# photon's centroid error in pixels at most (half the photons hit one pixel: their error is where in
# the pixel they converted, 0.38 px at the median).
BOUNDS = {"low": (0.999, 0.0005, 0.001, 0.40, 0.60), "high": (0.995, 0.001, 0.003, 0.40, 0.60)}


@pytest.mark.parametrize("occupancy", OCCUPANCIES)
def test_particles_are_found_whole_with_their_position_against_the_truth(occupancy):
    hits, truth = synthetic_hits(OCCUPANCIES[occupancy])
    ids = np.concatenate([t.hits for t in truth])
    particles = np.concatenate([t.particles for t in truth])
    assert len(ids) == len(hits)
    labels = reference_labels(hits)  # the Clusterer's, as the test above shows
    made = ids >= 0
    p = np.searchsorted(particles["id"], ids[made])
    lab = labels[made]
    pairs = np.unique(np.stack([p, lab]), axis=1)
    clusters_of = np.bincount(pairs[0], minlength=len(particles))  # clusters per particle
    particles_in = np.bincount(pairs[1], minlength=labels.max() + 1)  # particles per cluster
    recorded = particles["hits"] > 0
    chips = np.unique(np.stack([p, chip_of(hits["address"][made].astype(np.int64))]), axis=1)
    across = np.bincount(chips[0], minlength=len(particles)) > 1  # a cluster on each chip, by design
    split_ = (clusters_of > 1) & recorded & ~across
    merged = np.zeros(len(particles), bool)
    merged[pairs[0][particles_in[pairs[1]] > 1]] = True
    whole = recorded & ~split_ & ~merged & ~across
    n = (recorded & ~across).sum()
    fractions = whole.sum() / n, split_.sum() / n, (merged & recorded).sum() / n
    clusters = reference_clusters(hits, labels)
    one = whole & (particles["kind"] == 0)
    label_of = np.zeros(len(particles), np.int64)
    label_of[pairs[0]] = pairs[1]
    error = np.hypot(clusters["x"][label_of[one]] - particles["x"][one], clusters["y"][label_of[one]] - particles["y"][one])
    median, p95 = np.median(error), np.percentile(error, 95)
    shared = particles["hits"][one] > 1  # photons whose charge several pixels share
    print(f"{occupancy}: {n} particles on one chip ({across.sum()} across chips), whole {fractions[0]:.4f}, "
          f"split {fractions[1]:.4f}, merged {fractions[2]:.4f}; photon centroid error median {median:.3f} px, "
          f"95% {p95:.3f} px; of photons over several pixels median {np.median(error[shared]):.3f} px")
    least_whole, most_split, most_merged, most_median, most_p95 = BOUNDS[occupancy]
    assert fractions[0] >= least_whole and fractions[1] <= most_split and fractions[2] <= most_merged
    assert median <= most_median and p95 <= most_p95 and np.median(error[shared]) < median


def test_a_slow_reader_loses_whole_deliveries_and_every_hit_taken_in_is_in_one_cluster():
    # No reader while 200 deliveries of 5,000 hits arrive: the clusters' buffer (1,000) fills, the
    # clustering waits, the rings (64 K hits) fill, and later deliveries are dropped whole.
    clusterer = sinks.Clusterer(WIDTH, WIDTH, capacity=1 << 16, clusters=1000, threads=1)
    native = Native(clusterer)
    sent = 0
    for k in range(200):
        part = np.zeros(5000, dtypes.TOA_TOT)
        part["address"] = rng.integers(0, WIDTH * WIDTH, len(part))
        part["tot"], part["toa"] = 5, k * 10_000 + np.arange(len(part))
        native.deliver("dd-toa-tot", [part], META)
        sent += len(part)
    assert clusterer.dropped > 0 and clusterer.delivered + clusterer.dropped == 200
    assert clusterer.hits + clusterer.dropped_hits == sent and clusterer.dropped_hits == 5000 * clusterer.dropped
    got = take_all(clusterer)
    assert got["size"].sum() == clusterer.hits and clusterer.clusters == len(got)


@pytest.mark.parametrize("kwargs, error", [
    ({"width": 0}, ValueError), ({"width": 1 << 17, "height": 1 << 17}, ValueError), ({"chip_width": 0}, ValueError),
    ({"chip_width": 1 << 16}, ValueError), ({"window": -1.0}, ValueError), ({"window": "1"}, TypeError),
    ({"radius": 0}, ValueError), ({"radius": 9}, ValueError), ({"order": float("nan")}, ValueError),
    ({"capacity": 0}, ValueError), ({"clusters": 0}, ValueError), ({"threads": 0}, ValueError),
    ({"idle": None}, TypeError), ({"calibration": [None] * 5}, ValueError), ({"calibration": [{"a": 1}]}, TypeError),
    ({"calibration": [{"a": 0, "b": 1, "c": 1, "t": 1}]}, ValueError), ({"calibration": 3}, TypeError),
    ({"width": 64, "height": 64, "chip_width": 1, "chip_height": 1}, ValueError),
])
def test_bad_settings_are_refused(kwargs, error):
    with pytest.raises(error):
        sinks.Clusterer(**({"width": WIDTH, "height": WIDTH} | kwargs))


def test_settings_calibration_forms_and_what_cannot_be_clustered():
    c = sinks.Clusterer(300, 200, chip_width=100, chip_height=100, calibration=[(4.7, 9, 30, 2), None], threads=2)
    assert (c.chips, c.threads, c.radius, c.order, c.idle) == (6, 2, 1, pytest.approx(50000, abs=1.6), 1.0)
    c(np.zeros(3, dtypes.BINNED), np.zeros(0, dtypes.BIN_DESCRIPTOR), np.zeros(1, np.uint64), np.zeros(1, np.uint64))
    c(np.array([0, 299, 300 * 200, 300 * 200 + 5], np.uint32), np.arange(4, dtype=np.uint64), np.ones(4, np.uint16), META)
    with pytest.raises(TypeError, match="raw"):
        c(np.zeros(4, np.uint8), kind="raw")
    assert (c.ignored, c.outside, c.hits) == (1, 2, 2)
    got = in_order(take_all(c))
    assert got["chip"].tolist() == [0, 2] and got["x"].tolist() == [0, 299] and got["kev"][1] != got["kev"][1]


def test_waits_time_out_raise_empty_and_refuse_bad_timeouts():
    c = sinks.Clusterer(64, 64, chip_width=64, chip_height=64)
    with pytest.raises(queue.Empty):
        c.get(timeout=0.05)
    for bad in (-1, float("nan")):
        with pytest.raises(ValueError):
            c.get(timeout=bad)
        with pytest.raises(ValueError):
            c.flush(timeout=bad)
    assert c.flush(timeout=5) is True and list(c) == []


def test_ctrl_c_interrupts_a_wait():
    out = run("""
        import os, signal, threading, time
        from zorvsdk import sinks
        signal.signal(signal.SIGINT, signal.default_int_handler)
        c = sinks.Clusterer(64, 64, chip_width=64, chip_height=64)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            c.get()
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 1))
    """)
    assert out.startswith("interrupted after") and float(out.split()[-1]) < 5, out


def test_two_channels_close_and_finalize_while_clustering():
    out = run("""
        import numpy as np, zorvsim
        from zorvsdk import sinks
        from zorvsdk.zorv import Device
        zorvsim.load_model({"devices": [{"acquisition": {"deliveries": -1, "hitsPerDelivery": 20000, "realTime": False}}]})
        c = sinks.Clusterer(512, 512)
        dev = Device()
        dev.open("zorvsim:0")
        dev.chip.selectMode("0:tpx3-dd-toa-tot-vec")
        for ch in ("ch0", "ch1"):
            dev.acq.setDataCallback(ch, c)
            dev.acq.begin(ch)
        for ch in ("ch0", "ch1"):
            zorvsim.wait_deliveries(ch, 20)
        dev.close()  # stops both: the last end flushes
        got = np.concatenate(list(c))
        print(c.delivered >= 40, got["size"].sum() == c.hits, c.dropped + c.forced, len(got) == c.clusters)
        del c  # the registrations keep it until finalize
        dev.finalize()
        print("finalized")
    """, timeout=120)
    assert out.split() == ["True", "True", "0", "True", "finalized"], out


def test_a_child_forked_while_clustering_clusters_with_threads_of_its_own():
    out = run("""
        import os, threading, numpy as np
        from zorvsdk import dtypes, sinks
        from native_sink import Native
        c = sinks.Clusterer(256, 256, threads=1)
        stop = threading.Event()
        def deliver():
            native, k = Native(c), 0
            while not stop.is_set():
                part = np.zeros(500, dtypes.TOA_TOT)
                part["address"] = np.arange(500) * 131 % 65536
                part["tot"], part["toa"] = 3, k * 1000 + np.arange(500)
                native.deliver("seq-toa-tot", [part])
                k += 1
        def read():
            while not stop.is_set():
                try:
                    c.get(timeout=0.01)
                except Exception:
                    pass
        threads = [threading.Thread(target=deliver), threading.Thread(target=read)]
        for t in threads:
            t.start()
        for _ in range(20):
            pid = os.fork()
            if pid == 0:  # only this thread exists here
                ok = False
                try:
                    c.flush(5)
                    while True:
                        try:
                            c.get(timeout=0)
                        except Exception:
                            break
                    hits = np.zeros(3, dtypes.TOA_TOT)
                    hits["address"], hits["tot"], hits["toa"] = [0, 1, 257], [1, 2, 3], [5, 6, 7]
                    c(hits)
                    ok = c.flush(5) and c.get(timeout=5)["size"].tolist() == [3]
                finally:
                    os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            assert status == 0, status
        stop.set()
        for t in threads:
            t.join()
        print("forked", c.delivered > 0, c.clusters > 0)
    """, timeout=120)
    assert out.strip() == "forked True True", out


def test_more_clusters_open_at_once_than_a_chip_holds_close_early_counted_and_lose_no_hit():
    # Three rounds of 16,384 isolated hits of one chip, a window apart, none closed before the
    # order of 1 ms has passed: the table of 32,768 open clusters fills, the oldest close early.
    x, y = np.meshgrid(np.arange(0, 256, 2), np.arange(0, 256, 2))
    one = (y * WIDTH + x).ravel()
    hits = np.zeros(3 * len(one), dtypes.TOA_TOT)
    hits["address"], hits["tot"], hits["toa"] = np.tile(one, 3), 1, np.repeat([0, 400, 800], len(one))
    c = sinks.Clusterer(WIDTH, WIDTH, order=1e6, threads=1)
    c(hits, META)
    got = take_all(c)
    assert c.forced > 0 and got["size"].sum() == len(hits) and len(got) == len(hits) == c.clusters
