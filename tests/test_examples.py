"""The programs in examples/, each run as a user runs it (a subprocess) against the virtual device,
with a small model file so that every run takes well under a second of acquisition."""

import csv
import json
import os
import re
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


# Thresholds at 0 keV without noise and no hot pixels: every deposit is recorded, so that a delivery
# carries exactly HITS hits.
IDEAL_CHIP = {"hotPixels": [], "thresholds": [
    {"id": f"{i}:threshold", "rawMax": 1023, "raw": 0, "rawDefault": 0, "offset": 0.0, "slope": 0.08, "noise": 0.0,
     "calibrated": i != 3} for i in range(4)]}


def model(real_time=False):
    """One attached device with a short acquisition of an ideal detector; deliveries as fast as they
    are made unless real_time."""
    acquisition = {"deliveries": DELIVERIES, "hitsPerDelivery": HITS, "realTime": real_time, "seed": 7,
                   "tdcPerDelivery": TDCS}
    return {"devices": [{"acquisition": acquisition, "chip": IDEAL_CHIP}]}


def bench_model(hits, deliveries=1000):
    """One attached device as it comes (the default detector settings), delivering fast."""
    return {"devices": [{"acquisition": {"deliveries": deliveries, "hitsPerDelivery": hits, "realTime": False,
                                         "seed": 3}}]}


def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], [[float(v) for v in r] for r in rows[1:]]


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


def test_threshold_scan_draws_the_integral_spectrum_with_its_steps_and_noise_edge(tmp_path):
    pytest.importorskip("matplotlib")
    # Every calibrated threshold in 1 keV steps; each step counts 3 deliveries of the same deposits.
    out = run(tmp_path, "threshold_scan.py", "--start", "0", "--stop", "64", "--steps", "65", "--deliveries", "3",
              "--output", "scan.png", "--csv", "scan.csv", doc=bench_model(30000)).stdout
    header, rows = read_csv(tmp_path / "scan.csv")
    assert header == ["threshold_keV", "hits", "deliveries"]
    kev = [r[0] for r in rows]
    hits = {round(r[0]): r[1] / r[2] for r in rows}
    assert kev == [float(k) for k in range(65)] and {r[2] for r in rows} == {3.0}
    assert "0:threshold, 1:threshold, 2:threshold" in out and "(512 x 512 pixels)" in out
    assert "counting the hits of chips 0, 1, 2 of 4" in out  # chip 3 keeps its own threshold
    # The integral spectrum only falls as the threshold rises ...
    assert all(hits[k + 1] <= hits[k] * 1.01 + 5 for k in range(64))
    # ... in a step at each photon line: far more hits are lost across the line than across the
    # same span a few keV above it, and a good part of what is left (the hits of a chip that is
    # not scanned would flatten it) ...
    for line, (below, above) in {8.0: (7, 9), 17.5: (17, 18), 59.5: (59, 60)}.items():
        lost = hits[below] - hits[above]
        assert lost > 2 * (hits[below + 4] - hits[above + 4]) and lost > 0.2 * hits[above], line
    # ... and rises steeply at the noise floor (about 0.5 keV of noise): the noise edge.
    assert hits[0] > 5 * hits[1] > 5 * hits[2] and hits[2] < 1.3 * hits[4]
    assert png_size(tmp_path / "scan.png") == (700, 600)


@pytest.mark.parametrize("threshold, chips", [(None, [0, 1, 2]), ("1:threshold", [1])])
def test_threshold_scan_counts_the_hits_of_the_scanned_chips_only_and_says_which(tmp_path, threshold, chips):
    pytest.importorskip("matplotlib")
    doc = bench_model(20000)
    (tmp_path / "matplotlibrc").write_text("svg.fonttype: none\n")  # the figure's texts kept as text
    picked = ["--threshold", threshold] if threshold else []
    out = run(tmp_path, "threshold_scan.py", *picked, "--start", "30", "--stop", "30", "--steps", "1",
              "--deliveries", "2", "--output", "scan.svg", "--csv", "scan.csv", doc=doc).stdout
    # The same two deliveries here, every scanned threshold at 30 keV, their hits counted by chip
    # (2 x 2 chips of 256 x 256 pixels, row by row).
    zorvsim.load_model(doc)
    got = []
    with Device() as device:
        device.open("zorvsim:0")
        for t in threshold and [threshold] or [f"{c}:threshold" for c in chips]:
            device.chip.setThreshold(t, 30.0)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        device.acq.setDataCallback("ch0", lambda data, metadata: got.append(data["address"].copy()))
        device.acq.begin("ch0")
        zorvsim.wait_deliveries("ch0", 2)
        device.acq.abort("ch0")
    address = np.concatenate(got[:2]).astype(np.int64)
    per_chip = np.bincount((address // 512 // 256) * 2 + address % 512 // 256, minlength=4)
    assert read_csv(tmp_path / "scan.csv")[1] == [[30.0, float(per_chip[chips].sum()), 2.0]]
    assert per_chip.sum() > 2 * per_chip[chips].sum()  # the other chips, at their own thresholds, count more
    named = f"the hits of chip{'s' if len(chips) > 1 else ''} {', '.join(map(str, chips))} of 4"
    assert f"counting {named}" in out
    assert named in (tmp_path / "scan.svg").read_text()  # the figure's title says it too


def test_threshold_scan_of_an_uncalibrated_threshold_goes_in_raw_units(tmp_path):
    pytest.importorskip("matplotlib")
    run(tmp_path, "threshold_scan.py", "--threshold", "3:threshold", "--steps", "4", "--deliveries", "2",
        "--output", "scan.png", "--csv", "scan.csv", doc=bench_model(5000))
    header, rows = read_csv(tmp_path / "scan.csv")
    assert header == ["threshold_raw", "hits", "deliveries"]
    assert [r[0] for r in rows] == [0.0, 341.0, 682.0, 1023.0]
    assert rows[0][1] > rows[1][1] > rows[2][1] >= rows[3][1]  # raw 0 sits in the noise


def test_threshold_scan_steps_through_the_range_it_is_given(tmp_path):
    pytest.importorskip("matplotlib")
    run(tmp_path, "threshold_scan.py", "--threshold", "1:threshold", "--start", "5", "--stop", "6",
        "--steps", "3", "--output", "scan.png", "--csv", "scan.csv")
    assert [r[0] for r in read_csv(tmp_path / "scan.csv")[1]] == [5.0, 5.5, 6.0]


def test_cluster_spectrum_puts_shared_charge_back_into_the_lines(tmp_path):
    pytest.importorskip("matplotlib")
    out = run(tmp_path, "cluster_spectrum.py", "--deliveries", "6", "--output", "clusters.png",
              doc=bench_model(20000, deliveries=6)).stdout
    assert "0 deliveries not clustered" in out and png_size(tmp_path / "clusters.png") == (1400, 520)
    lines = {float(m[0]): [float(v.replace(",", "")) for v in m[1:]] for m in re.findall(
        r"([\d.]+) keV: FWHM ([\d.]+) keV from ([\d,]+) hits, ([\d.]+) keV from ([\d,]+) clusters", out)}
    assert sorted(lines) == [8.0, 17.5, 59.5]
    hit_width, _, cluster_width, _ = lines[17.5]
    assert cluster_width < 0.5 * hit_width  # the 17.5 keV line stands on the shared charge of 8 keV photons in hits
    _, hits_in_line, _, clusters_in_line = lines[59.5]
    assert clusters_in_line > 1.3 * hits_in_line  # a photon's shared charge counted once, at its energy


def test_energy_spectrum_shows_the_lines_where_they_are(tmp_path):
    pytest.importorskip("matplotlib")
    out = run(tmp_path, "energy_spectrum.py", "--deliveries", "8", "--output", "spectrum.png",
              "--csv", "spectrum.csv", doc=bench_model(50000)).stdout
    header, rows = read_csv(tmp_path / "spectrum.csv")
    assert header == ["kev_low", "kev_high", "hits"]
    centres = np.array([(lo + hi) / 2 for lo, hi, _ in rows])
    counts = np.array([n for _, _, n in rows])
    assert "8 deliveries" in out and counts.sum() > 8 * 50000 * 0.5
    for line in (8.0, 17.5, 59.5):
        near = np.abs(centres - line) < 0.1 * line
        peak = centres[near][np.argmax(counts[near])]
        assert abs(peak - line) < 0.03 * line, (line, peak)
        assert f"line {line:g} keV: peak {peak:.2f} keV" in out
        # a peak, not a shoulder: well above the spectrum 5 keV to its right
        assert counts[near].max() > 3 * counts[np.abs(centres - (line + 5)) < 0.2].mean()
    assert png_size(tmp_path / "spectrum.png") == (800, 450)


def test_mask_hot_pixels_finds_the_hot_pixels_and_silences_them(tmp_path):
    pytest.importorskip("matplotlib")
    done = run(tmp_path, "mask_hot_pixels.py", "--deliveries", "6", "--output", "masking.png",
               doc=bench_model(10000))
    found = sorted(tuple(int(v) for v in line.split("(")[1].split(")")[0].split(", "))
                   for line in done.stdout.splitlines() if line.startswith("hot pixel ("))
    zorvsim.reset()
    assert found == sorted((p["x"], p["y"]) for p in zorvsim.get("/devices/0/chip/hotPixels"))
    assert f"after masking: {len(found)} of {len(found)} hot pixels silent" in done.stdout
    assert png_size(tmp_path / "masking.png") == (1100, 500)


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


@pytest.mark.parametrize("script", ["acquire.py", "threshold_scan.py", "save_hdf5.py", "live_hitmap.py",
                                    "energy_spectrum.py", "mask_hot_pixels.py", "cluster_spectrum.py"])
def test_example_reports_when_no_device_is_attached(tmp_path, script):
    pytest.importorskip("matplotlib")
    pytest.importorskip("h5py")
    out = tmp_path / "out"
    done = run(tmp_path, script, "--output", str(out), doc={"devices": []}, expect=1)
    assert "no device attached" in done.stderr
    assert not out.exists()


def test_stream_receivers_share_every_hit_among_four_processes(tmp_path):
    pytest.importorskip("zmq")
    pytest.importorskip("matplotlib")
    port = 30000 + os.getpid() % 20000
    out = run(tmp_path, "stream_receivers.py", "--endpoint", f"tcp://127.0.0.1:{port}", "--seconds", "5",
              "--output", "shares.png").stdout
    total = DELIVERIES * HITS  # the ideal detector: every deposit a hit
    assert f"{total:,} hits; dropped 0" in out
    shares = [int(h.replace(",", "")) for h in re.findall(r"receiver \d: \d+ messages, ([\d,]+) hits", out)]
    assert len(shares) == 4 and sum(shares) == total
    assert f"merged: {total:,} hits of {total:,} delivered; message ids missing: none" in out
    assert png_size(tmp_path / "shares.png")[0] > 0
