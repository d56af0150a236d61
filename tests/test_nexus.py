"""The NeXus writer: the file's layout read back by h5py and scippnexus against scripted
deliveries, what a crash, a full disk and a slow reader leave, and h5py beside it."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zorvsim
from zorvsdk import dtypes
from zorvsdk.zorv import Device

h5py = pytest.importorskip("h5py")
pytest.importorskip("hdf5plugin")
pytest.importorskip("blosc2")
from zorvsdk.nexus import EVENT_ID_FILL, NexusWriter  # noqa: E402

WIDTH, HEIGHT = 64, 32
EVENTS = "entry/instrument/detector/event_data"


def ns(ticks):
    """Whole ns of ToA ticks of 1.5625 ns, rounded."""
    t = np.asarray(ticks, dtype=np.uint64)
    return (t + ((t * np.uint64(9) + np.uint64(8)) >> np.uint64(4))).astype(np.int64)


def scripted(mode, seed=0, deliveries=40, most=700, start=0):
    """Deliveries of a mode with random hits, some empty, and their true 64-bit ToA: in the 32-bit
    ToA mode the ToA crosses 2^32 (it wraps) and the script carries its low 32 bits."""
    rng = np.random.default_rng(seed)
    out, truth, toa = [], [], start
    for k in range(deliveries):
        n = int(rng.integers(0, most)) if k % 7 else 0
        address = rng.integers(0, WIDTH * HEIGHT, n).astype(np.uint32)
        tot = rng.integers(1, 1023, n).astype(np.uint32)
        times = toa + np.sort(rng.integers(0, 1 << 27, n)).astype(np.uint64)
        toa += 1 << 27
        shutter = toa - (1 << 27)
        truth.append((address, tot, times, shutter))
        if "vec" in mode:
            wide = "dd" in mode
            d = {"pixel_address_vec": address, "tot_vec": tot.astype(np.uint16),
                 "toa_vec": times if wide else (times & 0xFFFFFFFF).astype(np.uint32)}
        else:
            p = np.zeros(n, dtypes.TOA_TOT)
            p["address"], p["tot"], p["toa"] = address, tot, times
            d = {"packets": p}
        if mode in dtypes.METADATA_MODES:
            d |= {"shutter": shutter, "tdc0": np.arange(k % 3, dtype=np.uint64) + shutter,
                  "tdc1": np.array([shutter + 5], dtype=np.uint64)}
        out.append(d)
    return out, truth


def write(path, mode, deliveries, **kw):
    """One scripted acquisition into a NexusWriter, closed; the writer."""
    zorvsim.script("ch0", deliveries)
    with Device() as device:
        device.open("zorvsim:0")
        device.chip.selectMode(mode)
        w = NexusWriter(path, width=WIDTH, height=HEIGHT, mode=mode, attrs={"product": "twin"},
                        settings={"bias": {"unit": "V", "hv": 100.0}}, **kw)
        device.acq.setDataCallback("ch0", w.sink)
        device.acq.begin("ch0")
        device.acq.end("ch0")
        w.close({"hits": w.hits})
    return w


@pytest.fixture(autouse=True)
def fresh_device():
    zorvsim.reset()
    yield
    zorvsim.reset()


@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot",
                                  "0:tpx3-seq-toa-tot-vec"])
@pytest.mark.parametrize("chunk", [1000, 1 << 16])  # chunks filled and spanned by deliveries, or one partial chunk
def test_every_hit_is_in_the_file_with_its_pixel_time_and_tot(tmp_path, mode, chunk):
    import hdf5plugin  # noqa: F401

    start = (1 << 32) - (5 << 27) if mode == "0:tpx3-seq-toa-tot-vec" else 1 << 40
    deliveries, truth = scripted(mode, start=start)
    w = write(tmp_path / "run.h5", mode, deliveries, chunk_events=chunk, chunk_pulses=8)
    address = np.concatenate([t[0] for t in truth])
    tot = np.concatenate([t[1] for t in truth])
    toa = np.concatenate([t[2] for t in truth])
    counts = [len(t[0]) for t in truth]
    assert w.error is None and w.dropped == 0 and w.hits == w.written == len(address)
    assert toa.max() > 1 << 32 or start > 1 << 32  # the 32-bit ToA wrapped
    with h5py.File(tmp_path / "run.h5", "r") as f:
        ev = f[EVENTS]
        np.testing.assert_array_equal(ev["event_id"][...], address)
        np.testing.assert_array_equal(ev["event_tot"][...], tot)
        index, zero = ev["event_index"][...], ev["event_time_zero"][...]
        np.testing.assert_array_equal(index, np.cumsum([0] + counts[:-1]))
        # the time zero: the shutter, or (without one) the delivery's first hit, or the last hit before
        if mode in dtypes.METADATA_MODES:
            np.testing.assert_array_equal(zero, ns([t[3] for t in truth]))
            assert list(f["entry/instrument/detector_tdc/tdc0"][...]) == list(ns(np.concatenate(
                [np.arange(k % 3, dtype=np.uint64) + t[3] for k, t in enumerate(truth)])))
        else:
            assert "detector_tdc" not in f["entry/instrument"]
            firsts = [t[2][0] for t in truth if len(t[2])]
            np.testing.assert_array_equal(zero[np.array(counts) > 0], ns(firsts))
        absolute = np.repeat(zero, counts) + ev["event_time_offset"][...]
        np.testing.assert_array_equal(absolute, ns(toa))  # ns on the device's clock, nothing wrapped
        np.testing.assert_array_equal(np.rint(absolute / 1.5625).astype(np.uint64), toa)  # ticks told back
        det = f["entry/instrument/detector"]
        np.testing.assert_array_equal(det["hitmap"][...].ravel(), np.bincount(address, minlength=WIDTH * HEIGHT))
        np.testing.assert_array_equal(det["totmap"][...].ravel(),
                                      np.bincount(address, weights=tot, minlength=WIDTH * HEIGHT))
        assert det["detector_number"][3, 5] == 3 * WIDTH + 5
        assert det["x_pixel_offset"][0, 1] - det["x_pixel_offset"][0, 0] == pytest.approx(55e-6)
        assert f["entry/instrument/detector_settings/bias"].attrs["hv"] == 100
        assert f.attrs["hits"] == len(address) and f.attrs["product"] == "twin"


def test_scippnexus_loads_the_detector_with_every_hit_on_its_pixel(tmp_path):
    snx = pytest.importorskip("scippnexus")
    deliveries, truth = scripted("0:tpx3-dd-toa-tot")
    w = write(tmp_path / "run.h5", "0:tpx3-dd-toa-tot", deliveries, chunk_events=1000)
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no fallback to a plain group
        with snx.File(tmp_path / "run.h5") as f:
            detector = f["entry/instrument/detector"][...]["event_data"]
    assert detector.bins.size().sum().value == w.hits
    per_pixel = detector.bins.size().values  # (height, width)
    address = np.concatenate([t[0] for t in truth])
    np.testing.assert_array_equal(per_pixel.ravel(), np.bincount(address, minlength=WIDTH * HEIGHT))
    assert detector.bins.coords["event_time_offset"].unit == "ns"
    assert str(detector.coords["x_pixel_offset"].unit) == "m"


def test_a_delivery_that_finds_no_room_is_dropped_whole_and_counted(tmp_path):
    deliveries, truth = scripted("0:tpx3-dd-toa-tot", deliveries=10, most=400)
    big = max(len(t[0]) for t in truth)
    w = write(tmp_path / "run.h5", "0:tpx3-dd-toa-tot", deliveries, capacity=big - 1)
    # The largest never fits; the others fit when the writer has freed room for them.
    assert w.dropped >= 1 and w.delivered + w.dropped == 10
    with h5py.File(tmp_path / "run.h5", "r") as f:
        ids, index = f[EVENTS]["event_id"][...], f[EVENTS]["event_index"][...]
    assert len(index) == w.delivered
    pieces = np.split(ids, index[1:])
    scripted_ids = iter([t[0] for t in truth])
    for piece in pieces:  # each kept delivery whole, in order, none of them too large
        assert any(len(s) == len(piece) and (s == piece).all() for s in scripted_ids)
        assert len(piece) < big


def test_h5py_in_another_thread_goes_on_while_the_writer_writes(tmp_path):
    # The writer's threads take h5py's lock around their calls: another file used meanwhile from
    # Python stays whole.
    deliveries, _ = scripted("0:tpx3-dd-toa-tot", deliveries=400, most=2000)
    stop, errors = threading.Event(), []

    def other():
        try:
            with h5py.File(tmp_path / "other.h5", "w") as f:
                n = 0
                while not stop.is_set():
                    f.create_dataset(f"d{n}", data=np.arange(1000))
                    n += 1
                assert all((f[f"d{i}"][...] == np.arange(1000)).all() for i in range(n))
        except BaseException as e:
            errors.append(e)

    zorvsim.block("zorv_acq_tpx3_get_packets", 0.002, count=400)  # the deliveries last 0.8 s
    t = threading.Thread(target=other)
    t.start()
    try:
        w = write(tmp_path / "run.h5", "0:tpx3-dd-toa-tot", deliveries, chunk_events=4096, flush_seconds=0.01)
    finally:
        stop.set()
        t.join()
    assert not errors and w.error is None and w.sink.flushes > 1


CHILD = textwrap.dedent("""
    import os, signal, sys, time, resource
    import numpy as np
    import zorvsim
    from zorvsdk.zorv import Device
    from zorvsdk.nexus import NexusWriter
    zorvsim.reset()
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": -1, "hitsPerDelivery": 20000, "period": 0.01, "realTime": True})
    device = Device()
    device.open("zorvsim:0")
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    w = NexusWriter(sys.argv[1], width=512, height=512, mode="0:tpx3-dd-toa-tot", flush_seconds=0.2)
    if sys.argv[2] == "full":
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4_000_000, 4_000_000))
    device.acq.setDataCallback("ch0", w.sink)
    device.acq.begin("ch0")
    if sys.argv[2] == "kill":
        while w.sink.flushes < 4:
            time.sleep(0.01)
        print(w.written, flush=True)
        time.sleep(0.3)
        os.kill(os.getpid(), signal.SIGKILL)
    while w.error is None:
        time.sleep(0.01)
    device.acq.abort("ch0")
    try:
        w.close()
    except OSError as e:
        print(f"error: {e}", file=sys.stderr)
    print(w.written, flush=True)
    device.close()
""")


def child(path, how):
    return subprocess.run([sys.executable, "-c", CHILD, str(path), how], capture_output=True, text=True, timeout=60)


def events_in(path):
    """What a crashed writer's file holds: opened as SWMR leaves it."""
    import hdf5plugin  # noqa: F401

    with h5py.File(path, "r", swmr=True) as f:
        ev = f[EVENTS]
        ids = ev["event_id"][...]
        return ids, ev["event_index"][...], ev["event_time_offset"][...]


def test_after_kill_9_the_file_holds_every_hit_up_to_the_last_flush(tmp_path):
    r = child(tmp_path / "run.h5", "kill")
    assert r.returncode == -signal.SIGKILL, r.stderr
    flushed = int(r.stdout.split()[0])
    ids, index, _ = events_in(tmp_path / "run.h5")
    valid = ids[ids != EVENT_ID_FILL]  # hits past the last flush may read as the fill value
    assert len(valid) >= flushed > 0
    assert (valid < 512 * 512).all() and index[-1] <= len(ids) and (np.diff(index) >= 0).all()


def test_a_full_disk_ends_with_one_line_and_leaves_what_was_flushed(tmp_path):
    r = child(tmp_path / "run.h5", "full")
    assert r.returncode == 0, r.stderr  # no crash, no fault in the HDF5 library
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and "File too large" in lines[0], r.stderr
    flushed = int(r.stdout.split()[-1])
    ids, index, offsets = events_in(tmp_path / "run.h5")
    assert len(ids) == flushed > 0 and (ids < 512 * 512).all() and index[-1] <= len(ids)
    assert os.path.getsize(tmp_path / "run.h5") <= 4_000_000


def test_steps_flushed_at_their_end_and_a_closed_writer_lets_its_memory_go(tmp_path):
    # A scan's steps, each one acquisition into the same file: each step's hits reach the file at
    # once at its end (flush_seconds would leave them up to a second), its row says where they are.
    import hdf5plugin  # noqa: F401

    with Device() as device:
        device.open("zorvsim:0")
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        w = NexusWriter(tmp_path / "run.h5", width=WIDTH, height=HEIGHT, mode="0:tpx3-dd-toa-tot", steps=True,
                        flush_seconds=1.0, chunk_events=1000)
        device.acq.setDataCallback("ch0", w.sink)
        truths, start = [], time.monotonic()
        for seed in range(5):
            deliveries, truth = scripted("0:tpx3-dd-toa-tot", seed=seed, deliveries=10)
            truths.append(np.concatenate([t[0] for t in truth]))
            zorvsim.script("ch0", deliveries)
            device.acq.begin("ch0")
            device.acq.end("ch0")
            step = w.end_step()
            while not w.step_written(step):
                time.sleep(0.005)
            if seed != 2:  # a step cut short has no row: its hits stay in no step
                w.record_step(step)
            assert step.hits == len(truths[-1]) and step.deliveries == 10 and step.dropped == 0
            assert np.concatenate(list(w.step_event_ids(step))).tolist() == truths[-1].tolist()
        assert time.monotonic() - start < 2.5  # five waits of up to a second each without the flush
        w.close()
    with pytest.raises(RuntimeError, match="the maps are gone"):
        w.sink.maps()  # its memory went with its threads
    with h5py.File(tmp_path / "run.h5", "r") as f:
        ranges = f["entry/instrument/detector_steps/event_range"][...]
        pulses = f["entry/instrument/detector_steps/pulse_range"][...]
    assert ranges.tolist() == [[s.first_hit, s.end_hit] for s in w.steps]
    assert pulses.tolist() == [[10 * i, 10 * i + 10] for i in (0, 1, 3, 4)]
    assert [b - a for a, b in ranges] == [len(t) for i, t in enumerate(truths) if i != 2]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"mode": "0:tpx3-binned-packets"}, ValueError, "'0:tpx3-binned-packets' is not a readout mode of hits"),
    ({"flush_seconds": 2.5}, ValueError, r"'flush_seconds' is more than 0 and at most 1, not 2\.5$"),
    ({"flush_seconds": 0}, ValueError, r"'flush_seconds' is more than 0 and at most 1, not 0\.0$"),
    ({"flush_seconds": -1}, ValueError, "'flush_seconds' must be a non-negative number"),
    ({"width": 1 << 17, "height": 1 << 16}, ValueError, "beyond 32-bit pixel addresses"),
])
def test_a_writer_refuses_bad_settings_and_leaves_no_file_open(tmp_path, kwargs, error, message):
    settings = {"width": WIDTH, "height": HEIGHT, "mode": "0:tpx3-dd-toa-tot"} | kwargs
    with pytest.raises(error, match=message):
        NexusWriter(tmp_path / "run.h5", **settings)
    h5py.File(tmp_path / "run.h5", "w").close()  # HDF5 refuses to truncate a file it holds open
