"""The ophyd-async detector with a real RunEngine on the virtual device: the documents against
event-model's schemas, the StreamDatum rows against the hits in the file, the settings' units and
limits, device faults, Ctrl-C, and the threshold scan against examples/threshold_scan.py."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from urllib.parse import urlparse

import numpy as np
import pytest

import zorvsim
from zorvsdk.zorv import Device

pytest.importorskip("ophyd_async")
h5py = pytest.importorskip("h5py")
pytest.importorskip("hdf5plugin")
import bluesky.plan_stubs as bps  # noqa: E402
import bluesky.plans as bp  # noqa: E402
import bluesky.preprocessors as bpp  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402
from bluesky.utils import RunEngineInterrupted  # noqa: E402
from event_model import DocumentNames, schema_validators  # noqa: E402
from ophyd_async.core import (StaticFilenameProvider, StaticPathProvider, TriggerInfo,  # noqa: E402
                              UUIDFilenameProvider, init_devices)

from zorvsdk.bluesky import ReadoutMode, ZorvDetector  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
STEPS = "entry/instrument/detector_steps"
EVENTS = "entry/instrument/detector/event_data"
DELIVERIES = 4


def model(deliveries=DELIVERIES, real_time=False, hits=3000):
    """One device whose every threshold is calibrated (a scan of the common threshold then moves
    every chip), delivering `deliveries` per acquisition, as fast as they are taken unless real_time,
    with a bias that ramps at once."""
    zorvsim.reset()  # the defaults to start from
    thresholds = [dict(t, calibrated=True) for t in zorvsim.get("/devices/0/chip/thresholds")]
    biases = [dict(b, rate=1e6) for b in zorvsim.get("/devices/0/supplies/biases")]
    return {"devices": [{"chip": {"thresholds": thresholds}, "supplies": {"biases": biases}, "acquisition": {
        "deliveries": deliveries, "hitsPerDelivery": hits, "realTime": real_time}}]}


@pytest.fixture
def run(tmp_path):
    """A RunEngine that keeps every document, the device, and a maker of its detector on zorvsim:0
    of a model."""
    RE = RunEngine({})
    docs = []
    RE.subscribe(lambda name, doc: docs.append((name, doc)))
    device = Device()

    def detector(doc=None, filename=None):
        zorvsim.load_model(doc or model())
        device.open("zorvsim:0")
        names = StaticFilenameProvider(filename) if filename else UUIDFilenameProvider()
        with init_devices():
            det = ZorvDetector(device, StaticPathProvider(names, tmp_path), locator="zorvsim:0", flush_seconds=0.05)
        return det

    yield RE, docs, device, detector
    device.finalize()


def failure(excinfo):
    """The texts of an exception and of those it came from."""
    texts, e = [], excinfo.value
    while e is not None:
        texts.append(str(e))
        e = e.__cause__ or e.__context__
    return " | ".join(texts)


def validate(docs):
    for name, doc in docs:
        schema_validators[DocumentNames[name]].validate(doc)


def steps_of(docs):
    """Per event of the primary stream: its readings and the event range its StreamDatum points at in
    the run's file, and the file's path."""
    resource = next(d for n, d in docs if n == "stream_resource")
    path = urlparse(resource["uri"]).path
    datums = {d["seq_nums"]["start"]: d for n, d in docs if n == "stream_datum"}
    with h5py.File(path, "r") as f:  # a plain open: the file was closed cleanly
        table = f[resource["parameters"]["dataset"]][...]
    out = []
    for event in (d for n, d in docs if n == "event"):
        datum = datums[event["seq_num"]]
        assert datum["indices"]["stop"] - datum["indices"]["start"] == 1
        out.append((event["data"], tuple(table[datum["indices"]["start"]])))
    return out, path


def direct_hits(device, settings):
    """The pixel ids of one acquisition per setting, taken by a plain callable (no detector)."""
    got, lock = [], threading.Lock()

    def keep(data, metadata):
        with lock:
            got[-1].append(data["address"].copy())

    device.chip.selectMode("0:tpx3-dd-toa-tot")
    device.acq.setDataCallback("ch0", keep)
    for apply in settings:
        apply(device)
        got.append([])
        device.acq.begin("ch0")
        device.acq.end("ch0")
    return [np.concatenate(g) for g in got]


def set_thresholds(kev):
    return lambda device: [device.chip.setThreshold(t, kev) for t in device.chip.getThresholdIds()]


def set_bias(volts):
    def apply(device):
        device.bias.setBias("hv", volts)
        while device.bias.getBias("hv") != volts:  # the ramp, of microseconds
            time.sleep(0.001)
    return apply


@pytest.mark.parametrize("plan, settings", [
    (lambda det: bp.count([det], num=3), [set_thresholds(5.0)] * 3),
    (lambda det: bp.scan([det], det.threshold, 5, 20, 4), [set_thresholds(k) for k in (5, 10, 15, 20)]),
    (lambda det: bp.scan([det], det.bias, 10, 100, 4), [set_bias(v) for v in (10, 40, 70, 100)]),
])
def test_each_streamdatum_points_at_exactly_the_hits_of_its_step(run, plan, settings):
    RE, docs, device, detector = run
    det = detector()
    # The same acquisitions without the detector, from the same settings.
    expected = direct_hits(device, [lambda d: (set_bias(100)(d), set_thresholds(5.0)(d))] + settings)[1:]
    RE(bps.mv(det.threshold, 5.0, det.bias, 100.0))
    RE(plan(det))
    validate(docs)
    steps, path = steps_of(docs)
    assert len(steps) == len(expected)
    with h5py.File(path, "r") as f:
        ids, index = f[EVENTS]["event_id"][...], f[EVENTS]["event_index"][...]
        pulses = f[STEPS]["pulse_range"][...]
        assert f.attrs["hits"] == len(ids) and f.attrs["steps"] == len(steps) and not f.attrs["interrupted"]
    end = 0
    for (data, (first, stop)), hits, (d0, d1) in zip(steps, expected, pulses):
        assert first == end and stop - first == data["det-hits"] == data["det-hitmap_sum"] == len(hits)
        np.testing.assert_array_equal(ids[first:stop], hits)  # the step's own hits, in order
        assert index[d0] == first and d1 - d0 == data["det-deliveries"] == DELIVERIES and data["det-dropped"] == 0
        assert data["det-bias"] == pytest.approx(data["det-bias_readback"], abs=0.1)
        end = stop
    assert end == len(ids)


def test_the_threshold_scan_gives_the_integral_spectrum_of_the_example(run, tmp_path):
    # On a model whose every threshold is calibrated the example scans every chip, as the
    # detector's common threshold does: the counts of the two must be the same.
    doc = model()
    (tmp_path / "model.json").write_text(json.dumps(doc))
    env = dict(os.environ, ZORVSIM_MODEL=str(tmp_path / "model.json"), MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(EXAMPLES / "threshold_scan.py"), "--start", "5", "--stop", "20",
                           "--steps", "16", "--deliveries", str(DELIVERIES), "--csv", "scan.csv"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    rows = [line.split(",") for line in (tmp_path / "scan.csv").read_text().split()[1:]]
    RE, docs, device, detector = run
    det = detector(doc)
    RE(bp.scan([det], det.threshold, 5, 20, 16))
    events = [d["data"] for n, d in docs if n == "event"]
    assert [(e["det-threshold"], e["det-hits"], e["det-deliveries"]) for e in events] == [
        (float(v), int(h), int(n)) for v, h, n in rows]
    assert events[0]["det-hits"] > events[-1]["det-hits"]


@pytest.mark.parametrize("fn, skip, announced", [
    ("zorv_acq_begin", 2, 2),            # the third step cannot begin
    ("zorv_acq_end", 1, 1),              # the second step's acquisition fails
    ("zorv_chip_threshold_set", 9, 2),   # the third step's threshold (4 thresholds a step)
])
def test_a_device_fault_mid_scan_fails_the_plan_and_leaves_the_device_closed_and_the_file_readable(
        run, fn, skip, announced):
    RE, docs, device, detector = run
    det = detector()
    zorvsim.fail(fn, -1, "the link to the device was lost", skip=skip)
    start = time.monotonic()
    with pytest.raises(Exception) as failed:
        RE(bp.scan([det], det.threshold, 5, 20, 6))
    assert time.monotonic() - start < 8  # at once, not by a timeout
    assert "the link to the device was lost" in failure(failed)
    assert [d["exit_status"] for n, d in docs if n == "stop"] == ["fail"]
    assert not device.isOpened() and not zorvsim.acquiring("ch0")
    validate(docs)
    steps, path = steps_of(docs)  # opens as any other file: it was finished
    with h5py.File(path, "r") as f:
        rows, ids, hits = f[STEPS]["event_range"][...], f[EVENTS]["event_id"][...], f.attrs["hits"]
    assert len(steps) == len(rows) == announced  # a failed step has no row ...
    for (data, row), kept in zip(steps, rows):
        assert row == tuple(kept) and row[1] - row[0] == data["det-hits"] > 0
    assert rows[-1][1] <= len(ids) == hits  # ... its hits are kept after the last
    docs.clear()
    RE(bp.count([det]))  # the next run opens the device again
    assert device.isOpened() and [d["exit_status"] for n, d in docs if n == "stop"] == ["success"]


def test_a_pause_mid_step_then_resume_takes_the_step_again_into_the_same_file(run):
    RE, docs, device, detector = run
    det = detector(model(deliveries=-1, real_time=True))
    RE(bps.mv(det.acquire_time, 1.0))
    pause = threading.Timer(0.5, RE.request_pause, kwargs={"defer": False})  # half-way through the second step
    RE.subscribe(lambda name, doc: pause.start() if name == "event" and doc["seq_num"] == 1 else None)
    with pytest.raises(RunEngineInterrupted):
        RE(bp.count([det], num=3))
    assert not zorvsim.acquiring("ch0")  # the pause stopped the acquisition
    RE.resume()
    validate(docs)
    steps, path = steps_of(docs)
    with h5py.File(path, "r") as f:
        rows, ids = f[STEPS]["event_range"][...], f[EVENTS]["event_id"][...]
        assert f.attrs["interrupted"] and f.attrs["hits"] == len(ids)
    assert len(steps) == len(rows) == 3  # one row per event, the step taken again among them
    for data, (first, end) in steps:
        assert end - first == data["det-hits"] == data["det-hitmap_sum"] > 0
    assert rows[1][0] > rows[0][1] and rows[2][0] == rows[1][1]  # the cut step's hits lie between
    assert len(ids) == rows[-1][1]


CHILD = textwrap.dedent("""
    import json, sys
    from pathlib import Path
    import zorvsim
    import bluesky.plan_stubs as bps, bluesky.plans as bp
    from bluesky import RunEngine
    from bluesky.utils import RunEngineInterrupted
    from ophyd_async.core import StaticFilenameProvider, StaticPathProvider, init_devices
    from zorvsdk.bluesky import ZorvDetector
    from zorvsdk.zorv import Device
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {"deliveries": -1})
    RE = RunEngine({})
    device = Device()
    device.open("zorvsim:0")
    with init_devices():
        det = ZorvDetector(device, StaticPathProvider(StaticFilenameProvider("run"), Path(sys.argv[1])),
                           locator="zorvsim:0")
    RE(bps.mv(det.acquire_time, 60.0))
    print("running", flush=True)
    try:
        RE(bp.count([det], num=3))
    except RunEngineInterrupted:
        RE.abort()
    print(json.dumps({"acquiring": zorvsim.acquiring("ch0"), "file open": det.writer is not None}), flush=True)
    device.close()
""")


def test_ctrl_c_twice_stops_a_plan_mid_acquisition_and_leaves_nothing_open(tmp_path):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(tmp_path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert proc.stdout.readline().strip() == "running"
        deadline = time.monotonic() + 30
        while not (tmp_path / "run.h5").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.0)  # into the first acquisition, of 60 s
        for _ in range(2):  # Ctrl-C, then again: a pause at once
            proc.send_signal(signal.SIGINT)
            time.sleep(0.3)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert json.loads(out.splitlines()[-1]) == {"acquiring": False, "file open": False}
    with h5py.File(tmp_path / "run.h5", "r") as f:  # finished: a plain open works
        assert f.attrs["interrupted"] and len(f[STEPS]["event_range"]) == 0 and len(f[EVENTS]["event_id"]) > 0


def test_a_fly_scan_collects_one_row_per_acquisition(run):
    RE, docs, device, detector = run
    det = detector()

    @bpp.run_decorator()
    @bpp.stage_decorator([det])
    def fly():
        yield from bps.prepare(det, TriggerInfo(number_of_events=3, livetime=5.0), wait=True)
        yield from bps.declare_stream(det, name="primary")
        yield from bps.kickoff(det, wait=True)
        yield from bps.complete(det, wait=True)
        yield from bps.collect(det, name="primary")

    RE(fly())
    validate(docs)
    datums = [d for n, d in docs if n == "stream_datum"]
    assert [(d["indices"]["start"], d["indices"]["stop"]) for d in datums] == [(0, 3)]
    path = urlparse(next(d for n, d in docs if n == "stream_resource")["uri"]).path
    with h5py.File(path, "r") as f:
        rows = f[STEPS]["event_range"][...]
        assert len(rows) == 3 and rows[-1][1] == len(f[EVENTS]["event_id"])
        assert list(np.diff(f[STEPS]["pulse_range"][...], axis=1).ravel()) == [DELIVERIES] * 3


@pytest.mark.parametrize("name, limits, unit", [
    ("threshold", lambda d: (max(d.chip.getThresholdRange(t).min for t in d.chip.getThresholdIds()),
                             min(d.chip.getThresholdRange(t).max for t in d.chip.getThresholdIds())), "keV"),
    ("bias", lambda d: tuple(d.bias.getBiasRange("hv")), "V"),
    ("bias_readback", lambda d: tuple(d.bias.getBiasRange("hv")), "V"),
    ("temperature", lambda d: tuple(d.cooling.getLimits("sensor")), "degC"),
])
def test_the_signals_have_the_units_and_limits_of_the_device(run, name, limits, unit):
    RE, docs, device, detector = run
    det = detector()
    key = call_in_bluesky_event_loop(getattr(det, name).describe())[f"det-{name}"]
    assert key["units"] == unit
    assert (key["limits"]["control"]["low"], key["limits"]["control"]["high"]) == limits(device)


@pytest.mark.parametrize("name, value, message", [
    ("threshold", 500.0, "outside the device's range"),
    ("bias", -5.0, "outside the device's range"),
    ("acquire_time", 0.0, "above 0"),
])
def test_a_value_out_of_range_is_refused_and_changes_nothing(run, name, value, message):
    RE, docs, device, detector = run
    det = detector()
    before = device.chip.getThreshold("0:threshold"), device.bias.getBias("hv")
    with pytest.raises(Exception) as refused:
        RE(bps.mv(getattr(det, name), value))
    assert message in failure(refused)
    assert (device.chip.getThreshold("0:threshold"), device.bias.getBias("hv")) == before
    RE(bp.count([det]))  # the device is well: nothing closed it
    assert device.isOpened()


def test_one_threshold_by_itself_and_the_readout_mode_between_runs(run):
    RE, docs, device, detector = run
    det = detector()
    RE(bps.mv(det.thresholds[1], 7.5, det.readout_mode, ReadoutMode.SEQ_TOA_TOT))
    assert device.chip.getThreshold("1:threshold") == 7.5 and device.chip.getThreshold("0:threshold") != 7.5
    RE(bp.count([det]))
    _, path = steps_of(docs)
    with h5py.File(path, "r") as f:
        assert f.attrs["mode"] == "0:tpx3-seq-toa-tot" and len(f[EVENTS]["event_id"]) > 0

    @bpp.stage_decorator([det])
    def change_mode_while_staged():
        yield from bps.trigger(det, wait=True)
        yield from bps.mv(det.readout_mode, ReadoutMode.DD_TOA_TOT)

    with pytest.raises(Exception) as refused:
        RE(change_mode_while_staged())
    assert "cannot change while a run's file is open" in failure(refused)


def test_a_file_is_never_replaced(run):
    RE, docs, device, detector = run
    det = detector(filename="scan")
    RE(bp.count([det]))
    _, path = steps_of(docs)
    before = Path(path).read_bytes()
    with pytest.raises(Exception) as refused:
        RE(bp.count([det]))
    assert "is never replaced" in failure(refused) and Path(path).read_bytes() == before


def resident():
    """Threads and resident memory (bytes) of this process."""
    with open("/proc/self/status") as f:
        rss = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/self/task")), rss


def test_runs_one_after_the_other_keep_no_threads_or_memory(run):
    # Each run's writer stays registered until the device closes: its threads and its memory for
    # hits (128 MB) must go when its file is finished.
    RE, docs, device, detector = run
    det = detector()
    RE(bp.count([det]))
    threads, rss = resident()
    for _ in range(4):
        RE(bp.count([det]))
    time.sleep(0.2)  # the threads of the last SDK calls end
    now = resident()
    assert now[0] <= threads and now[1] - rss < 64 << 20


def test_the_example_draws_the_scan_from_the_documents(tmp_path):
    (tmp_path / "model.json").write_text(json.dumps(model()))
    env = dict(os.environ, ZORVSIM_MODEL=str(tmp_path / "model.json"), MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(EXAMPLES / "bluesky_threshold_scan.py"), "--steps", "4",
                           "--output", "scan.png"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("figure written to scan.png") and "4 steps written to file://" in done.stdout
    assert (tmp_path / "scan.png").stat().st_size > 10_000 and len(list(tmp_path.glob("*.h5"))) == 1
