"""The acquisition command zorvsdk-acquire: arguments, device errors, the outputs of a run read back,
the geometry of the detector, the buffer between the SDK's threads and the writer, and Ctrl-C."""

import json
import os
import queue
import re
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
DELIVERIES, HITS, TDCS = 6, 1500, [3, 1, 0]


def model(deliveries=DELIVERIES, real_time=False, **chip):
    """A device whose detector records every deposit, so that each delivery has HITS hits."""
    acquisition = {"deliveries": deliveries, "hitsPerDelivery": HITS, "realTime": real_time, "seed": 7,
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


def test_progress_shows_hits_rate_and_time_left(tmp_path, capsys):
    zorvsim.load_model(model(real_time=True))  # 0.3 s: a few looks at the acquisition
    assert acquire.main(["--output", str(tmp_path / "map.png")]) == 0
    err = capsys.readouterr().err
    assert "acquiring:" in err and " left, " in err and " hits/s" in err
    # Each refresh shows the hits of the deliveries written so far: whole deliveries, and some.
    shown = [int(n.replace(",", "")) for n in re.findall(r"([\d,]+) hits, ", err)]
    assert shown and max(shown) > 0 and all(n % HITS == 0 for n in shown)


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
    (None, ["--threshold", "3:threshold=5"], "device error: "),  # uncalibrated
    (None, ["--dac", "preamp_bias=9999"], "device error: "),
    (None, ["--bias", "hv=5000"], "device error: "),
    (None, ["--device", "zorvsim:7"], "no device 'zorvsim:7' attached (attached: zorvsim:0, zorvsim:1)"),
    (None, ["--channel", "ch9"], "no channel 'ch9' (channels: ch0, ch1)"),
    (None, ["--config", "missing.yml"], "No such file or directory"),
    (None, ["--hdf5", "no/such/dir/run.h5"], "no/such/dir/run.h5"),
])
def test_a_failure_is_one_line_and_status_1(tmp_path, capsys, monkeypatch, fault, args, message):
    monkeypatch.chdir(tmp_path)
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


def run_module(tmp_path, *args, model_doc, **popen):
    model_file = tmp_path / "model.json"
    model_file.write_text(json.dumps(model_doc))
    path = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, PYTHONPATH=path, ZORVSIM_MODEL=str(model_file), MPLBACKEND="Agg")
    return subprocess.Popen([sys.executable, "-m", "zorvsdk.acquire", *args], cwd=tmp_path, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def test_ctrl_c_half_way_stops_and_still_writes_every_output(tmp_path):
    proc = run_module(tmp_path, "--quiet", "--seconds", "120", "--hdf5", "run.h5", "--output", "map.png",
                      model_doc=model(deliveries=-1, real_time=True))
    try:
        assert proc.stdout.readline().startswith("acquiring")  # the acquisition has begun
        time.sleep(0.5)  # half-way: some deliveries of 0.05 s each, far from the end
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 130, err
    assert "Traceback" not in err
    data, attrs, _ = read(tmp_path / "run.h5")
    assert attrs["interrupted"] and attrs["seconds"] < 60
    assert 0 < attrs["hits"] == len(data["hits"]) == data["hitmap"].sum() == attrs["deliveries"] * HITS
    assert f"interrupted: {attrs['deliveries']} deliveries, {attrs['hits']:,} hits" in out
    assert (tmp_path / "map.png").stat().st_size > 0


def test_the_command_runs_as_a_module(tmp_path):
    proc = run_module(tmp_path, "--help", model_doc=model())
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert out.startswith("usage: zorvsdk-acquire") and "--hdf5 FILE" in out and "Ctrl-C" in out
