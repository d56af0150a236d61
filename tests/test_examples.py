"""The programs in examples/, each run as a user runs it (a subprocess) against the virtual device,
with a small model file so that every run takes well under a second of acquisition."""

import csv
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import zorvsdk
import zorvsim
from zorvsdk.zorv import Device

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# The examples import the package that this test imports, wherever it was found.
PACKAGE_ROOT = str(Path(zorvsdk.__file__).resolve().parent.parent)
DELIVERIES = 6
HITS = 1500
TDCS = [3, 1, 0]


def model(real_time=False):
    """One attached device with a short acquisition; deliveries as fast as they are made unless
    real_time."""
    acquisition = {"deliveries": DELIVERIES, "hitsPerDelivery": HITS, "realTime": real_time, "seed": 7,
                   "tdcPerDelivery": TDCS}
    return {"devices": [{"acquisition": acquisition}]}


def run(tmp_path, script, *args, real_time=False, doc=None, expect=0):
    model_file = tmp_path / "model.json"
    model_file.write_text(json.dumps(model(real_time) if doc is None else doc))
    path = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, PYTHONPATH=path, ZORVSIM_MODEL=str(model_file), MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == expect, f"{script} exited with {done.returncode}\n{done.stdout}\n{done.stderr}"
    return done


def acquire_here(mode="0:tpx3-dd-toa-tot"):
    """The same acquisition in this process, for comparison: copies of every delivery."""
    zorvsim.load_model(model())
    device = Device()
    got = []
    lock = threading.Lock()

    def keep(data, metadata):
        with lock:
            got.append((data.copy(), metadata["shutterStart"], [t.copy() for t in metadata["tdcs"]]))

    device.open("zorvsim:0")
    try:
        device.chip.selectMode(mode)
        channel = device.acq.getChannelIds()[0]
        device.acq.setDataCallback(channel, keep)
        device.acq.begin(channel)
        device.acq.end(channel)
        width = device.config.getMaskSize().width
    finally:
        device.close()
        device.finalize()
    return got, width


def png_size(path):
    Image = pytest.importorskip("PIL.Image")
    with Image.open(path) as image:
        image.verify()
        return image.size


@pytest.mark.parametrize("threshold, unit", [("0:threshold", "keV"), ("3:threshold", "raw")])
def test_threshold_scan_counts_every_hit_of_every_step(tmp_path, threshold, unit):
    pytest.importorskip("matplotlib")
    out = run(tmp_path, "threshold_scan.py", "--threshold", threshold, "--steps", "4",
              "--output", "scan.png", "--csv", "scan.csv").stdout
    with open(tmp_path / "scan.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == [f"threshold_{unit}", "hits"]
    values = [float(r[0]) for r in rows[1:]]
    assert len(values) == 4 and values == sorted(values) and len(set(values)) == 4
    assert [int(r[1]) for r in rows[1:]] == [DELIVERIES * HITS] * 4
    assert out.count(f"{DELIVERIES} deliveries") == 4
    assert png_size(tmp_path / "scan.png") == (600, 400)


def test_threshold_scan_steps_through_the_range_it_is_given(tmp_path):
    pytest.importorskip("matplotlib")
    run(tmp_path, "threshold_scan.py", "--threshold", "1:threshold", "--start", "5", "--stop", "6",
        "--steps", "3", "--output", "scan.png", "--csv", "scan.csv")
    with open(tmp_path / "scan.csv", newline="") as f:
        assert [float(r[0]) for r in list(csv.reader(f))[1:]] == [5.0, 5.5, 6.0]


def test_save_hdf5_writes_the_run_as_delivered(tmp_path):
    h5py = pytest.importorskip("h5py")
    out = run(tmp_path, "save_hdf5.py", "--output", "run.h5").stdout
    assert f"{DELIVERIES} deliveries, {DELIVERIES * HITS} hits" in out
    expected, width = acquire_here()
    with h5py.File(tmp_path / "run.h5", "r") as f:
        hits = f["hits"][...]
        deliveries = f["deliveries"][...]
        tdcs = [f[f"tdc{i}"][...] for i in range(3)]
        attrs = dict(f.attrs)
    assert attrs["mode"] == "0:tpx3-dd-toa-tot" and attrs["connectionString"] == "zorvsim:0"
    assert attrs["width"] == width
    assert hits.dtype.names == ("address", "tot", "toa")
    # The same seed gives the same hits: the file holds every delivery, in order, unchanged.
    for field in ("address", "tot", "toa"):
        np.testing.assert_array_equal(hits[field], np.concatenate([d[field] for d, _, _ in expected]))
    assert np.all(np.diff(hits["toa"].astype(np.int64)) >= 0)
    assert list(deliveries["count"]) == [HITS] * DELIVERIES
    assert list(deliveries["first"]) == [i * HITS for i in range(DELIVERIES)]
    assert list(deliveries["shutterStart"]) == [s for _, s, _ in expected]
    assert [len(t) for t in tdcs] == [n * DELIVERIES for n in TDCS]
    np.testing.assert_array_equal(tdcs[0], np.concatenate([t[0] for _, _, t in expected]))


def test_live_hitmap_redraws_while_acquiring(tmp_path):
    pytest.importorskip("matplotlib")
    out = run(tmp_path, "live_hitmap.py", "--headless", "--interval", "0.05", "--frames", "frames",
              "--output", "hitmap.png", real_time=True).stdout
    expected, _ = acquire_here()
    pixels = np.unique(np.concatenate([d["address"] for d, _, _ in expected])).size
    summary = out.strip().splitlines()[-1]
    assert summary.startswith(f"{DELIVERIES} deliveries, {DELIVERIES * HITS} hits, {pixels} pixels hit, ")
    redraws = int(summary.split(", ")[-1].split()[0])
    frames = sorted((tmp_path / "frames").glob("frame*.png"))
    assert len(frames) == redraws >= 2  # at least one while running and the one after the end
    assert png_size(frames[-1]) == png_size(tmp_path / "hitmap.png")


def test_acquire_writes_a_hit_map(tmp_path):
    pytest.importorskip("matplotlib")
    out = run(tmp_path, "acquire.py", "--output", "hitmap.png").stdout
    expected, _ = acquire_here()
    pixels = np.unique(np.concatenate([d["address"] for d, _, _ in expected])).size
    assert out.startswith(f"{DELIVERIES * HITS} hits on {pixels} of {512 * 512} pixels")
    assert png_size(tmp_path / "hitmap.png")[0] > 0


def test_examples_take_the_geometry_from_the_device(tmp_path):
    """Four chips, three to a row: a detector of 768 x 512 pixels."""
    h5py = pytest.importorskip("h5py")
    doc = model()
    doc["devices"][0]["chip"] = {"chipsPerRow": 3}
    run(tmp_path, "save_hdf5.py", "--output", "run.h5", doc=doc)
    out = run(tmp_path, "acquire.py", "--output", "hitmap.png", doc=doc).stdout
    with h5py.File(tmp_path / "run.h5", "r") as f:
        assert (f.attrs["width"], f.attrs["height"]) == (768, 512)
    assert f" of {768 * 512} pixels" in out


@pytest.mark.parametrize("script", ["acquire.py", "threshold_scan.py", "save_hdf5.py", "live_hitmap.py"])
def test_example_reports_when_no_device_is_attached(tmp_path, script):
    pytest.importorskip("matplotlib")
    pytest.importorskip("h5py")
    out = tmp_path / "out"
    done = run(tmp_path, script, "--output", str(out), doc={"devices": []}, expect=1)
    assert "no device attached" in done.stderr
    assert not out.exists()
