"""The acquisition command zorvsdk-acquire: arguments, device errors, the outputs of a run read back,
the geometry of the detector, the buffer between the SDK's threads and the writer, the outputs'
paths checked first, the stop signals, a closed standard output, and the progress bar."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import zorvsdk
import zorvsim
from conftest import ideal_detector
from zorvsdk import acquire, dtypes
from zorvsdk.zorv import Device

h5py = pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

PACKAGE_ROOT = str(Path(zorvsdk.__file__).resolve().parent.parent)
DOCS = Path(__file__).resolve().parent.parent / "docs"
DELIVERIES, HITS, TDCS = 6, 1500, [3, 1, 0]


def model(deliveries=DELIVERIES, real_time=False, hits=HITS, **chip):
    """A device whose detector records every deposit, so that each delivery has `hits` hits."""
    acquisition = {"deliveries": deliveries, "hitsPerDelivery": hits, "realTime": real_time, "seed": 7,
                   "tdcPerDelivery": TDCS}
    zorvsim.load_model({"devices": [{"acquisition": acquisition, **({"chip": chip} if chip else {})}]})
    ideal_detector()
    return zorvsim.model()


def command(tmp_path, *args, hdf5=True):
    """Runs the command in this process; returns its exit status."""
    argv = ["--quiet", "--output", str(tmp_path / "hitmap.png"), *args]
    return acquire.main(argv + (["--hdf5", str(tmp_path / "run.h5")] if hdf5 else []))


def ticks(ns):
    """ToA ticks of 1.5625 ns back from the file's whole ns."""
    return np.rint(np.asarray(ns, dtype=np.float64) / 1.5625).astype(np.uint64)


def read(path):
    """The NeXus file as the hits (address, tot, toa in ticks), the deliveries (first, count and the
    shutter in ticks), the TDC stamps in ticks and the maps; its attributes; its settings."""
    import hdf5plugin  # noqa: F401

    with h5py.File(path, "r") as f:
        det, inst = f["entry/instrument/detector"], f["entry/instrument"]
        ev = det["event_data"]
        first, zero = ev["event_index"][...], ev["event_time_zero"][...]
        count = np.diff(np.append(first, len(ev["event_id"])))
        hits = np.empty(len(ev["event_id"]), dtype=dtypes.TOA_TOT)
        hits["address"], hits["tot"] = ev["event_id"][...], ev["event_tot"][...]
        hits["toa"] = ticks(np.repeat(zero, count) + ev["event_time_offset"][...])
        data = {"hits": hits, "hitmap": det["hitmap"][...], "totmap": det["totmap"][...]}
        fields = [("first", "<u8"), ("count", "<u8")] + ([("shutterStart", "<u8")] if "detector_tdc" in inst else [])
        data["deliveries"] = np.empty(len(first), dtype=fields)
        data["deliveries"]["first"], data["deliveries"]["count"] = first, count
        if "detector_tdc" in inst:
            data["deliveries"]["shutterStart"] = ticks(zero)
            data.update({name: ticks(stamps[...]) for name, stamps in inst["detector_tdc"].items()})
        return data, dict(f.attrs), {name: dict(group.attrs) for name, group in inst["detector_settings"].items()}


def delivered_here(mode):
    """The same acquisition through a callable in this process: copies of every delivery."""
    got = []
    with Device() as device:
        device.open("zorvsim:0")
        device.chip.selectMode(mode)
        device.acq.setDataCallback("ch0", lambda *a: got.append(
            a[0].copy() if "vec" not in mode else np.rec.fromarrays([v.copy() for v in a[:3]],
                                                                    names=["address", "toa", "tot"])))
        device.acq.begin("ch0")
        device.acq.end("ch0")
    return got


def one_line_error(capsys):
    err = capsys.readouterr().err
    assert "Traceback" not in err
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("zorvsdk-acquire: error: ")
    return lines[0]


@pytest.mark.parametrize("mode", acquire.HIT_MODES)
def test_a_run_writes_every_hit_with_the_device_and_its_settings(tmp_path, capsys, mode):
    zorvsim.load_model(model())
    assert command(tmp_path, "--mode", mode, "--threshold", "0:threshold=6.5", "--raw-threshold", "3:threshold=300",
                   "--dac", "preamp_bias=120", "--bias", "hv=50") == 0
    out = capsys.readouterr().out
    data, attrs, settings = read(tmp_path / "run.h5")
    # The hits of every delivery, unchanged and in order, whatever form the mode hands them in: the
    # same acquisition here, with the settings the command left on the device (the threshold of
    # chip 0 above the lowest deposits keeps some of them out).
    expected = delivered_here(mode)
    counts = [len(d) for d in expected]
    assert len(counts) == DELIVERIES and sum(counts) < DELIVERIES * HITS
    assert f"{DELIVERIES} deliveries, {sum(counts):,} hits" in out
    for name in ("address", "tot", "toa"):
        np.testing.assert_array_equal(data["hits"][name], np.concatenate([d[name] for d in expected]))
    assert list(data["deliveries"]["count"]) == counts
    assert list(data["deliveries"]["first"]) == list(np.cumsum([0] + counts[:-1]))
    with_metadata = mode in dtypes.METADATA_MODES
    assert ("tdc0" in data) == with_metadata == ("shutterStart" in data["deliveries"].dtype.names)
    if with_metadata:
        assert [len(data[f"tdc{i}"]) for i in range(3)] == [n * DELIVERIES for n in TDCS]
    width, height = 512, 512
    assert (attrs["width"], attrs["height"]) == (width, height)
    np.testing.assert_array_equal(
        data["hitmap"].ravel(), np.bincount(data["hits"]["address"], minlength=width * height))
    np.testing.assert_array_equal(
        data["totmap"].ravel(), np.bincount(data["hits"]["address"], weights=data["hits"]["tot"],
                                            minlength=width * height))
    assert attrs["hits"] == sum(counts) and attrs["deliveries"] == DELIVERIES
    assert not attrs["interrupted"] and attrs["droppedDeliveries"] == 0
    assert (attrs["connectionString"], attrs["serialNumber"], attrs["mode"], attrs["channel"]) == (
        "zorvsim:0", "ZQ4-000417", mode, "ch0")
    # What was set before the acquisition is what the file says, with units.
    assert settings["thresholds"]["0:threshold"] == pytest.approx(6.5) and settings["thresholds"]["unit"] == "keV"
    assert np.isnan(settings["thresholds"]["3:threshold"]) and settings["rawThresholds"]["3:threshold"] == 300
    assert settings["dacs"]["preamp_bias"] == 120
    # read back while the supply ramps from the model's operating voltage to the 50 V set
    assert settings["bias"]["unit"] == "V" and 50 <= settings["bias"]["hv"] <= 100
    assert settings["temperature"]["unit_sensor"] == "DegreeCelsius"


def test_the_file_is_compressed_and_says_its_units(tmp_path):
    zorvsim.load_model(model())
    assert command(tmp_path) == 0
    with h5py.File(tmp_path / "run.h5", "r") as f:
        ev = f["entry/instrument/detector/event_data"]
        blosc2 = 32026  # the filter hdf5plugin registers
        for ds in (ev["event_id"], ev["event_time_offset"], ev["event_tot"], f["entry/instrument/detector_tdc/tdc0"],
                   f["entry/instrument/detector/hitmap"]):
            assert ds.id.get_create_plist().get_filter(0)[0] == blosc2, ds.name
        assert ev["event_time_offset"].attrs["units"] == ev["event_time_zero"].attrs["units"] == "ns"
        assert f["entry/instrument/detector/x_pixel_offset"].attrs["units"] == "m"
        assert f["entry/instrument/detector/hitmap"].attrs["long_name"] == "hits"


@pytest.mark.parametrize("kind, document", [
    ("yml", "dacs:\n  preamp_bias: 140\nthresholds:\n  0:threshold: 5.5\n  1:threshold: 6\n"),
    ("xml", '<configuration><dac name="preamp_bias" value="140"/><threshold id="0:threshold" kev="5.5"/>'
            '<threshold id="1:threshold" kev="6"/></configuration>'),
])
def test_a_configuration_document_is_applied_before_the_single_values(tmp_path, kind, document):
    zorvsim.load_model(model())
    (tmp_path / f"settings.{kind}").write_text(document)
    assert command(tmp_path, "--config", str(tmp_path / f"settings.{kind}"), "--threshold", "1:threshold=7") == 0
    _, _, settings = read(tmp_path / "run.h5")
    assert settings["dacs"]["preamp_bias"] == 140
    assert settings["thresholds"]["0:threshold"] == pytest.approx(5.5)
    assert settings["thresholds"]["1:threshold"] == pytest.approx(7.0)  # the single value wins


@pytest.mark.parametrize("per_row, chips, shape", [(4, 4, (256, 1024)), (1, 4, (1024, 256)), (4, 8, (512, 1024))])
def test_the_map_follows_the_detectors_geometry(tmp_path, capsys, per_row, chips, shape):
    """One hit at a known place of every chip lands on that pixel of the map, whatever the grid of
    chips; a hit beyond the detector is counted, not drawn."""
    zorvsim.load_model(model(chipsPerRow=per_row, chips=[{"id": f"C{i}", "polarity": 0} for i in range(chips)]))
    height, width = shape
    places = [(256 * (k % per_row) + 3 + k, 256 * (k // per_row) + 200 - k) for k in range(chips)]  # (x, y)
    hits = np.zeros(len(places) + 1, dtype=dtypes.TOA_TOT)
    hits["address"] = [y * width + x for x, y in places] + [width * height]
    hits["tot"], hits["toa"] = 10, np.arange(len(hits))
    zorvsim.script("ch0", [{"packets": hits}])
    assert command(tmp_path) == 0
    data, attrs, _ = read(tmp_path / "run.h5")
    assert (attrs["height"], attrs["width"]) == shape == data["hitmap"].shape
    assert sorted(zip(*np.nonzero(data["hitmap"]))) == sorted((y, x) for x, y in places)
    assert attrs["outsideHits"] == 1 and len(data["hits"]) == chips + 1
    assert f"hits with a pixel address outside the {width} x {height} detector: 1" in capsys.readouterr().err


def test_the_hit_map_figure_is_written(tmp_path):
    Image = pytest.importorskip("PIL.Image")
    zorvsim.load_model(model())
    assert command(tmp_path, hdf5=False) == 0
    with Image.open(tmp_path / "hitmap.png") as image:
        image.verify()
        assert image.size[0] >= 600 and image.size[1] >= 600


@pytest.mark.parametrize("real_time", [False, True])
def test_a_delivery_count_stops_the_acquisition_there_and_not_before(tmp_path, monkeypatch, real_time):
    monkeypatch.setattr(acquire, "DEFAULT_SECONDS", 0.1)  # the default duration applies without a count only
    zorvsim.load_model(model(deliveries=-1, real_time=real_time))  # 0.05 s a delivery in real time
    assert command(tmp_path, "--deliveries", "5") == 0
    data, attrs, _ = read(tmp_path / "run.h5")
    assert attrs["deliveries"] == 5 == len(data["deliveries"]) and len(data["hits"]) == 5 * HITS
    assert not zorvsim.acquiring("ch0")


def test_the_duration_stops_an_endless_acquisition(tmp_path, capsys):
    zorvsim.load_model(model(deliveries=-1, real_time=True))
    assert command(tmp_path, "--seconds", "0.3") == 0
    _, attrs, _ = read(tmp_path / "run.h5")
    assert 0.3 <= attrs["seconds"] < 30 and not attrs["interrupted"]
    assert "by itself" not in capsys.readouterr().out


@pytest.mark.parametrize("limit, asked", [(["--seconds", "20"], "20 s"), (["--deliveries", "10"], "10 deliveries")])
def test_an_acquisition_the_device_ends_early_is_said_to_have_ended_so(tmp_path, capsys, limit, asked):
    zorvsim.load_model(model(deliveries=3))
    assert command(tmp_path, *limit) == 0
    out = capsys.readouterr().out
    assert f"the device ended the acquisition by itself, before the {asked} asked for" in out
    assert read(tmp_path / "run.h5")[1]["deliveries"] == 3


def test_deliveries_that_find_the_buffer_full_are_dropped_and_reported(tmp_path, capsys):
    zorvsim.load_model(model())
    assert command(tmp_path, "--buffer", str(HITS - 1)) == 0  # no delivery fits
    err = capsys.readouterr().err
    assert f"deliveries dropped because the writer fell behind (see --buffer): {DELIVERIES}" in err
    data, attrs, _ = read(tmp_path / "run.h5")
    assert attrs["droppedDeliveries"] == DELIVERIES and len(data["hits"]) == 0


@pytest.mark.parametrize("args, message", [
    (["--seconds", "0"], "must be greater than 0"),
    (["--seconds", "soon"], "is not a valid float"),
    (["--deliveries", "-2"], "must be greater than 0"),
    (["--seconds", "1", "--deliveries", "2"], "not allowed with argument"),
    (["--threshold", "0:threshold"], "expected ID=VALUE"),
    (["--threshold", "0:threshold=warm"], "is not a valid float"),
    (["--dac", "preamp_bias=1.5"], "is not a valid int"),
    (["--config", "settings.txt"], "name it .yml, .yaml or .xml"),
    (["--mode", "0:tpx-medipix"], "invalid choice"),
    (["--buffer", "0"], "must be greater than 0"),
    (["--seconds", "inf"], "must be finite"),
    (["--dac", "preamp_bias=2147483648"], "2147483648 is outside the SDK's 32-bit integers"),
    (["--raw-threshold", "0:threshold=-2147483649"], "-2147483649 is outside the SDK's 32-bit integers"),
    (["--buffer", str(10 ** 30)], "argument --buffer: capacity must be from 1 to"),
    (["--buffer", str(1 << 39)], "argument --buffer: the ring needs 8796093022208 bytes, more than this machine's"),
])
def test_bad_arguments_are_refused_before_the_device_is_touched(tmp_path, capsys, args, message):
    with zorvsim.Journal() as journal, pytest.raises(SystemExit) as exit_:
        command(tmp_path, *args)
    assert exit_.value.code == 2
    assert message in capsys.readouterr().err
    assert journal.calls("zorv_dev_open") == []


@pytest.mark.parametrize("fault, args, message", [
    (("zorv_dev_open", -2, b"device busy"), [], "device error: device busy"),
    (("zorv_acq_begin", -1, b"link lost"), [], "device error: link lost"),
    (("zorv_dev_open", -2, b"device busy\nclose the other session"), [], "device busy; close the other session"),
    (None, ["--threshold", "3:threshold=5"], "device error: "),  # uncalibrated
    (None, ["--dac", "preamp_bias=9999"], "device error: "),
    (None, ["--bias", "hv=5000"], "device error: "),
    (None, ["--device", "zorvsim:7"], "no device 'zorvsim:7' attached (attached: zorvsim:0, zorvsim:1)"),
    (None, ["--channel", "ch9"], "no channel 'ch9' (channels: ch0, ch1)"),
    (None, ["--config", "missing.yml"], "No such file or directory"),
    (None, ["--config", "latin1.yml"], "latin1.yml is not UTF-8 text"),
    (None, ["--hdf5", "no/such/dir/run.h5"], "no/such/dir/run.h5"),
])
def test_a_failure_is_one_line_and_status_1(tmp_path, capsys, monkeypatch, fault, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "latin1.yml").write_bytes("dacs:\n  preamp_bias: 140  # \u00e9t\u00e9\n".encode("latin-1"))
    if fault:
        zorvsim.fail(*fault)
    assert acquire.main(["--quiet", "--output", "map.png", *args]) == 1
    assert message in one_line_error(capsys)
    assert not (tmp_path / "map.png").exists()
    assert not zorvsim.acquiring("ch0")
    with Device() as device:  # the device was closed: another session can open it
        device.open("zorvsim:0")


def test_no_device_attached(tmp_path, capsys):
    zorvsim.load_model({"devices": []})
    assert command(tmp_path) == 1
    assert one_line_error(capsys).endswith("no device attached")


BIG_CHIPS = {"chipWidth": 65536, "chipHeight": 65536}  # pixel addresses beyond 32 bits


@pytest.mark.parametrize("device, message", [
    ({"acquisition": {"channels": []}}, "the device zorvsim:0 has no acquisition channel"),
    ({"chip": BIG_CHIPS}, ""),  # refused by the virtual device, or by the command's hit map
    ({"chip": {"chipWidth": 2147483647, "chipHeight": 1}}, ""),
])
def test_a_device_the_command_cannot_serve_is_one_line_and_status_1(tmp_path, device, message):
    proc = run_module(tmp_path, "--quiet", "--hdf5", "run.h5", model_doc={"devices": [device]})
    out, err = finish(proc)
    assert proc.returncode == 1
    assert "Traceback" not in err and len(err.splitlines()) == 1 and message in err, err
    assert err.startswith("zorvsdk-acquire: error: ")
    assert not (tmp_path / "hitmap.png").exists() and not (tmp_path / "run.h5").exists()


def place_files(tmp_path):
    """Files and folders for the output paths' cases; what each file holds."""
    (tmp_path / "folder.png").mkdir()
    (tmp_path / "sub").mkdir()
    (tmp_path / "closed").mkdir()
    files = {"x.png": b"a figure to keep", "notes.txt": b"notes", "settings.yml": b"dacs:\n  preamp_bias: 140\n"}
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / "link.h5").symlink_to("x.png")
    os.link(tmp_path / "x.png", tmp_path / "hard.h5")
    return files


AS_ROOT = os.geteuid() == 0  # root writes where permissions forbid it


@pytest.mark.parametrize("args, message", [
    (["--output", "no/such/map.png"], "--output no/such/map.png: there is no folder no/such"),
    (["--hdf5", "no/such/run.h5"], "--hdf5 no/such/run.h5: there is no folder no/such"),
    (["--hdf5", "notes.txt/run.h5"], "notes.txt is not a folder"),
    (["--output", "folder.png"], "--output folder.png is a folder"),
    (["--hdf5", "sub"], "--hdf5 sub is a folder"),
    (["--hdf5", "/sys/run.h5"], "--hdf5 /sys/run.h5: cannot write it: "),  # a place no one writes
    pytest.param(["--output", "closed/map.png"], "cannot write it: Permission denied",
                 marks=pytest.mark.skipif(AS_ROOT, reason="root writes into a closed folder")),
    (["--output", "map.xyz"], "--output map.xyz: the name must end in a figure format's suffix (.avif, .eps"),
    (["--output", "map"], "--output map: the name must end in a figure format's suffix"),
    pytest.param(["--output", "map.pgf"], "matplotlib cannot write .pgf here: ",
                 marks=pytest.mark.skipif(shutil.which("xelatex") is not None, reason="LaTeX installed")),
    (["--output", "x.png", "--hdf5", "x.png"], "--output x.png and --hdf5 x.png are the same file"),
    (["--output", "x.png", "--hdf5", "./x.png"], "are the same file"),
    (["--output", "map.png", "--hdf5", "sub/../map.png"], "are the same file"),  # neither exists yet
    (["--output", "x.png", "--hdf5", "link.h5"], "--output x.png and --hdf5 link.h5 are the same file"),
    (["--output", "x.png", "--hdf5", "hard.h5"], "--output x.png and --hdf5 hard.h5 are the same file"),
    (["--hdf5", "settings.yml", "--config", "settings.yml"], "--hdf5 settings.yml and --config settings.yml are"),
])
def test_outputs_that_cannot_be_written_are_refused_before_anything_is_acquired(
        tmp_path, capsys, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    files = place_files(tmp_path)
    (tmp_path / "closed").chmod(0o500)
    before = sorted(p.name for p in tmp_path.iterdir())
    with zorvsim.Journal() as journal:
        assert acquire.main(["--quiet", "--output", "map.png", *args]) == 1
    assert message in one_line_error(capsys)
    assert journal.calls("zorv_dev_open") == []
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # nothing made, nothing overwritten
    assert {name: (tmp_path / name).read_bytes() for name in files} == files


def test_one_file_for_both_outputs_is_refused_from_the_shell_too(tmp_path):
    (tmp_path / "x.png").write_bytes(b"a figure to keep")
    proc = run_module(tmp_path, "--hdf5", "x.png", "--output", "x.png", model_doc=model())
    out, err = finish(proc)
    assert (proc.returncode, out) == (1, "")
    assert err == "zorvsdk-acquire: error: --output x.png and --hdf5 x.png are the same file\n"
    assert (tmp_path / "x.png").read_bytes() == b"a figure to keep"


def default_signals():
    """In the child before it runs: the stop signals as a terminal leaves them (a background job
    of a shell starts with SIGINT ignored)."""
    for signum in acquire.STOP_SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


def run_module(tmp_path, *args, model_doc, prelude=None, **popen):
    """The command in a new interpreter, as a user runs it; `prelude` runs before it there."""
    model_file = tmp_path / "model.json"
    model_file.write_text(json.dumps(model_doc))
    path = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, PYTHONPATH=path, ZORVSIM_MODEL=str(model_file), MPLBACKEND="Agg")
    program = ["-m", "zorvsdk.acquire"] if prelude is None else [
        "-c", f"{prelude}\nimport sys\nfrom zorvsdk.acquire import main\nsys.exit(main())"]
    options = dict(cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                   preexec_fn=default_signals)
    return subprocess.Popen([sys.executable, *program, *args], **{**options, **popen})


def finish(proc, timeout=60):
    """The process's output once it has ended; it is killed if it takes longer than `timeout`."""
    try:
        return proc.communicate(timeout=timeout)
    finally:
        proc.kill()
        proc.wait()


def complete(path, hits_per_delivery=HITS):
    """The file of a run that ended as it should: every hit delivered is in it and in its map."""
    data, attrs, _ = read(path)
    assert 0 < attrs["hits"] == len(data["hits"]) == data["hitmap"].sum() == attrs["deliveries"] * hits_per_delivery
    return attrs


def complete_python(path, hits_per_delivery):
    """The same for a file of the Python writer (--writer python): hits and maps at the root."""
    with h5py.File(path, "r") as f:
        attrs = dict(f.attrs)
        assert 0 < attrs["hits"] == len(f["hits"]) == f["hitmap"][...].sum() == attrs["deliveries"] * hits_per_delivery
    return attrs


@pytest.mark.parametrize("signum", acquire.STOP_SIGNALS)
def test_a_stop_signal_half_way_stops_and_still_writes_every_output(tmp_path, signum):
    """Ctrl-C, a batch scheduler's SIGTERM and a lost terminal's SIGHUP alike."""
    proc = run_module(tmp_path, "--quiet", "--seconds", "120", "--hdf5", "run.h5", "--output", "map.png",
                      model_doc=model(deliveries=-1, real_time=True))
    assert proc.stdout.readline().startswith("acquiring")  # the acquisition has begun
    time.sleep(0.5)  # half-way: some deliveries of 0.05 s each, far from the end
    proc.send_signal(signum)
    out, err = finish(proc)
    assert proc.returncode == 128 + signum, err
    assert "Traceback" not in err
    attrs = complete(tmp_path / "run.h5")
    assert attrs["interrupted"] and attrs["seconds"] < 60
    said = "interrupted" if signum == signal.SIGINT else f"interrupted by {signal.Signals(signum).name}"
    assert f"{said}: {attrs['deliveries']} deliveries, {attrs['hits']:,} hits" in out
    assert (tmp_path / "map.png").stat().st_size > 0


def test_a_second_stop_signal_while_the_rest_is_written_quits_without_the_outputs(tmp_path):
    """Deliveries come faster than the file takes them (the Python writer, into gzip): the first
    SIGTERM stops the acquisition with deliveries held, the second one comes while they are
    written."""
    proc = run_module(tmp_path, "--seconds", "120", "--hdf5", "run.h5", "--writer", "python",
                      model_doc=model(deliveries=-1, hits=400_000, real_time=True))
    try:
        frames = iter(proc.stderr.readline, "")  # text mode: each frame of the bar ends a line
        next(f for f in frames if re.search(r" [1-9]\d* deliveries, ", f))  # some written, more held
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        next(f for f in frames if f.startswith("writing:"))
        proc.send_signal(signal.SIGTERM)
    finally:
        out, err = finish(proc)
    assert proc.returncode == 128 + signal.SIGTERM
    assert err.strip().splitlines()[-1] == "zorvsdk-acquire: interrupted by SIGTERM" and "Traceback" not in err
    assert "hit map written" not in out and not (tmp_path / "hitmap.png").exists()
    with h5py.File(tmp_path / "run.h5", "r") as f:  # closed as it was: readable, without the totals
        assert "hits" not in f.attrs and len(f["hits"]) > 0


def test_a_signal_ignored_when_the_command_starts_stays_ignored(tmp_path):
    """As under nohup: SIGHUP goes by, SIGTERM still stops the command."""
    def ignore_hangups():
        default_signals()
        signal.signal(signal.SIGHUP, signal.SIG_IGN)

    proc = run_module(tmp_path, "--quiet", "--seconds", "120", "--hdf5", "run.h5", preexec_fn=ignore_hangups,
                      model_doc=model(deliveries=-1, real_time=True))
    assert proc.stdout.readline().startswith("acquiring")
    proc.send_signal(signal.SIGHUP)
    time.sleep(0.5)
    assert proc.poll() is None
    proc.send_signal(signal.SIGTERM)
    out, err = finish(proc)
    assert proc.returncode == 128 + signal.SIGTERM, err
    assert complete(tmp_path / "run.h5")["seconds"] >= 0.5


def test_a_stop_signal_before_the_acquisition_ends_the_command_at_once(tmp_path):
    """Nothing was taken: nothing is written, and the device is closed."""
    prelude = ("import sys, zorvsim\nfrom zorvsdk import acquire\nzorvsim.block('zorv_dev_open', 1.0)\n"
               "choose = acquire.choose_device\n"
               "def choose_device(*args):\n    print('opening', file=sys.stderr, flush=True)\n"
               "    return choose(*args)\nacquire.choose_device = choose_device")
    proc = run_module(tmp_path, "--quiet", "--hdf5", "run.h5", model_doc=model(deliveries=-1, real_time=True),
                      prelude=prelude)
    assert proc.stderr.readline().strip() == "opening"
    proc.send_signal(signal.SIGTERM)  # handled as the device's open returns
    out, err = finish(proc)
    assert proc.returncode == 128 + signal.SIGTERM
    assert err.strip() == "zorvsdk-acquire: interrupted by SIGTERM" and out == ""
    assert not (tmp_path / "run.h5").exists() and not (tmp_path / "hitmap.png").exists()


@pytest.mark.parametrize("stream, closed", [
    ("stdout", "never open"), ("stdout", "at once"), ("stdout", "after the first line"), ("stderr", "at once")])
def test_a_closed_standard_output_neither_stops_the_run_nor_makes_a_traceback(tmp_path, stream, closed):
    """As under `zorvsdk-acquire ... | head -c 10`: the outputs are complete, the exit status is
    the shell's for a broken pipe, and nothing is said about it; the same for the progress bar's
    standard error. Started without a standard output at all (`>&-`), the command has nothing to
    lose."""
    args = ["--deliveries", "8", "--hdf5", "run.h5"] + (["--quiet"] if stream == "stdout" else [])
    doc = model(deliveries=-1, real_time=True)
    if closed == "never open":
        def close_it():
            default_signals()
            os.close(1)

        proc = run_module(tmp_path, *args, model_doc=doc, stdout=None, preexec_fn=close_it)
    elif closed == "at once":
        read_end, write_end = os.pipe()
        os.close(read_end)
        proc = run_module(tmp_path, *args, model_doc=doc, **{stream: write_end})
        os.close(write_end)
    else:
        proc = run_module(tmp_path, *args, model_doc=doc)
        assert proc.stdout.read(10) == "acquiring "
        proc.stdout.close()
    out, err = finish(proc)
    assert proc.returncode == (0 if closed == "never open" else acquire.BROKEN_PIPE) and acquire.BROKEN_PIPE == 141
    if stream == "stdout":
        assert err == ""
    else:
        assert "8 deliveries" in out and "hit map written to hitmap.png" in out
    assert complete(tmp_path / "run.h5")["deliveries"] == 8
    assert (tmp_path / "hitmap.png").stat().st_size > 0


FRAME = re.compile(r"(\d+) deliveries, ([\d,]+) hits written, (?:([\d,]+) deliveries still to write|([\d,]+) hits/s)")


def test_the_progress_bar_counts_what_is_written_while_it_is_written_and_ends_on_the_summary(tmp_path):
    """Deliveries come faster than the file takes them (8 M hits/s into gzip, the Python writer):
    the bar stays up after the acquisition while the rest is written."""
    hits, deliveries = 400_000, 10
    proc = run_module(tmp_path, "--hdf5", "run.h5", "--writer", "python", model_doc=model(deliveries=deliveries, hits=hits, real_time=True))
    out, err = finish(proc, timeout=120)
    assert proc.returncode == 0, err
    frames = [f.strip() for f in re.split(r"[\r\n]", err) if FRAME.search(f)]  # tqdm's first frame aside
    stages = [f.split(":")[0] for f in frames]
    assert stages[0] == "acquiring" and stages[-1] == "written" and " left, " in frames[0]
    assert stages.index("writing") > stages.index("acquiring")
    for frame in frames:
        written, shown, held, rate = FRAME.search(frame).groups()
        # whole deliveries written: each carries `hits`; while writing, the rest is held
        assert int(shown.replace(",", "")) == int(written) * hits, frame
        if frame.startswith("writing"):
            assert int(written) + int(held) == deliveries, frame
        else:
            assert rate is not None
    summary = re.search(r"^(\d+) deliveries, ([\d,]+) hits in [\d.]+ s \(([\d,]+) hits/s\)", out, re.M).groups()
    last = FRAME.search(frames[-1]).groups()
    assert (last[0], last[1], last[3]) == summary and summary[:2] == (str(deliveries), f"{deliveries * hits:,}")
    complete_python(tmp_path / "run.h5", hits)


def test_the_sample_run_of_the_documentation_is_what_the_command_prints(tmp_path, capsys, monkeypatch):
    """docs/acquire.md shows a run on the default virtual device: the same lines, numbers aside."""
    page = (DOCS / "acquire.md").read_text()
    sample = re.search(r"A run on the virtual device prints.*?```text\n\$ zorvsdk-acquire (.*?)\n(.*?)```", page, re.S)
    args, lines = sample.group(1).split(), sample.group(2).splitlines()
    monkeypatch.chdir(tmp_path)
    assert acquire.main(args) == 0
    out, err = capsys.readouterr()

    def shape(line):  # the line with every number standing for any number
        return "".join(re.escape(part) if i % 2 == 0 else r"[\d,.:]+"
                       for i, part in enumerate(re.split(r"(\d(?:[\d,.:]*\d)?)", line)))

    bar = [line for line in lines if line.startswith("written: ")]
    assert len(bar) == 1 and re.fullmatch(shape(bar[0]), re.split(r"[\r\n]", err.strip())[-1].strip())
    printed = out.splitlines()
    assert len(printed) == len(lines) - 1
    for line, text in zip([line for line in lines if line not in bar], printed):
        assert re.fullmatch(shape(line), text), (line, text)


def test_the_command_runs_as_a_module(tmp_path):
    proc = run_module(tmp_path, "--help", model_doc=model())
    out, err = finish(proc)
    assert proc.returncode == 0, err
    assert out.startswith("usage: zorvsdk-acquire") and "--hdf5 FILE" in out and "Ctrl-C" in out


CALIBRATION = [{"a": 4.7 + 0.2 * i, "b": 9.0 + 2.0 * i, "c": 30.0, "t": 2.0} for i in range(4)]


@pytest.mark.parametrize("calibrated", [True, False])
def test_clusters_go_into_the_file_with_units_and_a_second_figure(tmp_path, capsys, calibrated):
    from cluster_reference import reference_clusters, reference_labels
    from zorvsdk.nexus import CLUSTER_COLUMNS, CLUSTERS_PATH

    zorvsim.load_model(model())
    (tmp_path / "chips.json").write_text(json.dumps(CALIBRATION))
    extra = ["--calibration", str(tmp_path / "chips.json")] if calibrated else []
    assert command(tmp_path, "--clusters", "--cluster-output", str(tmp_path / "clusters.svg"), *extra) == 0
    out = capsys.readouterr().out
    data, _, _ = read(tmp_path / "run.h5")
    with h5py.File(tmp_path / "run.h5", "r") as f:
        group = f[CLUSTERS_PATH]
        got = np.zeros(len(group["x"]), dtypes.CLUSTER)
        for field, key, units, _ in CLUSTER_COLUMNS:
            got[field] = group[key][...]
            assert group[key].attrs.get("units") == units
    assert got["size"].sum() == len(data["hits"]) == DELIVERIES * HITS
    assert f"{len(got):,} clusters" in out and "clusters to " in out
    expected = reference_clusters(data["hits"], reference_labels(data["hits"]), CALIBRATION if calibrated else None)
    order = lambda c: c[np.lexsort((np.round(c["x"], 3), c["toa"], c["chip"]))]  # noqa: E731
    np.testing.assert_array_equal(order(got)["size"], order(expected)["size"])
    np.testing.assert_allclose(order(got)["kev"], order(expected)["kev"], rtol=1e-4, equal_nan=True)
    figure = (tmp_path / "clusters.svg").read_text()
    assert ("cluster energy (keV)" if calibrated else "summed ToT of the cluster (ToT ticks") in figure
    assert "centroid x (pixel)" in figure and "cluster size (hits" in figure


@pytest.mark.parametrize("args, message", [
    (["--clusters", "--cluster-output", "clusters.txt"], "--cluster-output clusters.txt: the name must end in"),
    (["--clusters", "--calibration", "missing.json"], "cannot read missing.json"),
    (["--clusters", "--calibration", "bad.json"], "bad.json: expected a list with an object or null per chip"),
    (["--clusters", "--calibration", "short.json"], "--calibration: 'calibration'[0] is None or the numbers a, b, c"),
])
def test_bad_cluster_arguments_are_refused(tmp_path, capsys, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.json").write_text('{"a": 1}')
    (tmp_path / "short.json").write_text('[{"a": 1}]')
    zorvsim.load_model(model())
    try:
        status = command(tmp_path, *args)
    except SystemExit as e:
        status = e.code
    assert status in (1, 2) and message in capsys.readouterr().err
