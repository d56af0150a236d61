"""The fast delivery and call paths: arrays that a callable did not keep are made new again for
later deliveries, arrays it kept are left alone; deliveries of any size arrive intact; scripts
repeat; identifier lists still go through the object's own methods; the benchmark command runs."""

import json
import os
import subprocess
import sys
import weakref
from pathlib import Path

import numpy as np
import pytest

import zorvsim

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
FRESH_FLAGS = {"C_CONTIGUOUS": True, "F_CONTIGUOUS": True, "OWNDATA": False, "WRITEABLE": True, "ALIGNED": True,
               "WRITEBACKIFCOPY": False}


def packets(n, start=0):
    p = np.zeros(n, TOA_TOT)
    p["address"] = np.arange(start, start + n)
    p["tot"] = 7
    p["toa"] = np.arange(start, start + n, dtype=np.uint64) * 3
    return p


def run(dev, mode, deliveries, func, repeat=1):
    dev.chip.selectMode(mode)
    dev.acq.setDataCallback("ch0", func)
    zorvsim.script("ch0", deliveries, repeat=repeat)
    dev.acq.begin("ch0")
    dev.acq.end("ch0")


def flags_of(a):
    return {k: a.flags[k] for k in FRESH_FLAGS}


def test_arrays_changed_but_not_kept_arrive_new_in_the_next_delivery(opened):
    seen = []

    def vandal(npData, metadata):
        seen.append((npData.dtype, npData.shape, flags_of(npData), npData["address"].tolist(), npData.base.__class__.__name__,
                     memoryview(npData.base).format, [(t.dtype, t.shape, flags_of(t)) for t in metadata["tdcs"]]))
        # Change everything a callable can change in place, and keep nothing.
        npData.setflags(write=False)
        npData.dtype = np.uint8
        for t in metadata["tdcs"]:
            t.setflags(write=False)
            t.dtype = np.int8
        metadata.clear()

    deliveries = [{"packets": packets(3, 10 * k), "tdc0": np.arange(2, dtype=np.uint64)} for k in range(4)]
    run(opened, "0:tpx3-dd-toa-tot", deliveries, vandal)
    assert len(seen) == 4
    for k, (dtype, shape, flags, addresses, base, fmt, tdcs) in enumerate(seen):
        assert dtype == TOA_TOT and shape == (3,) and flags == FRESH_FLAGS
        assert addresses == [10 * k, 10 * k + 1, 10 * k + 2]
        assert base == "SdkBuffer" and fmt == "T{^I:address:^I:tot:^Q:toa:}"
        assert tdcs[0] == (np.dtype(np.uint64), (2,), FRESH_FLAGS)
        empty_flags = dict(FRESH_FLAGS, OWNDATA=True)
        assert tdcs[1] == (np.dtype(np.float64), (0,), empty_flags) and tdcs[2] == tdcs[1]


def test_arrays_kept_by_the_callable_are_never_reused(opened):
    kept, views, bases = [], [], []

    def keeper(npData, metadata):
        assert all(npData is not k[0] for k in kept)  # a failure here counts as a failed delivery
        if len(kept) < 2:
            kept.append((npData, metadata))
            bases.append(npData.base)
        else:
            views.append(npData[1:])  # a view keeps its array

    deliveries = [{"packets": packets(4, 100 * k)} for k in range(6)]
    run(opened, "0:tpx3-dd-toa-tot", deliveries, keeper)
    assert opened.acq.getDeliveryFailures("ch0") == 0
    assert len(kept) == 2 and len(views) == 4
    assert len({id(a) for a, _ in kept} | {id(v.base) for v in views}) == 6
    for (a, meta), base in zip(kept, bases):
        assert a.base is base and a.dtype == TOA_TOT and a.shape == (4,)
        assert list(meta) == ["shutterStart", "tdcs"] and len(meta["tdcs"]) == 3
    for v in views:
        assert v.base.dtype == TOA_TOT and v.base.shape == (4,) and v.shape == (3,)


def test_an_array_with_a_weak_reference_is_released(opened):
    refs = []

    def watcher(npData):
        refs.append(weakref.ref(npData))

    run(opened, "0:tpx3-seq-toa-tot", [{"packets": packets(2)}] * 3, watcher)
    assert len(refs) == 3 and all(r() is None for r in refs)


def test_one_hit_and_a_million_hits_arrive_intact(opened):
    sums = []

    def check(npData, metadata):
        sums.append((len(npData), int(npData["address"].astype(np.int64).sum()), int(npData["toa"][-1]),
                     metadata["tdcs"][0].tolist()))

    big = 1_000_000
    run(opened, "0:tpx3-dd-toa-tot", [{"packets": packets(1, 5), "tdc0": np.array([9], np.uint64)},
                                      {"packets": packets(big)}], check)
    assert sums == [(1, 5, 15, [9]), (big, big * (big - 1) // 2, 3 * (big - 1), [])]


def test_a_repeated_script_replays_its_deliveries_in_order(opened):
    got = []
    run(opened, "0:tpx3-seq-toa-tot", [{"packets": packets(1, 1)}, {"packets": packets(2, 7)}],
        lambda a: got.append(a["address"].tolist()), repeat=3)
    assert got == [[1], [7, 8]] * 3
    assert zorvsim.delivery_count("ch0") == 6
    with pytest.raises(zorvsim.SimError, match="repeated from 1"):
        zorvsim.script("ch0", [{}], repeat=0)


def test_identifier_lists_follow_instance_overrides(opened):
    sub = type("Sub", (type(opened.chip),), {})(None)
    sub._Chip__getChipCount = lambda: 2
    sub._Chip__getChipId = lambda i: f"chip-{i}"
    assert sub.getChipIds() == ["chip-0", "chip-1"]
    assert opened.chip.getChipIds() == [opened.chip._Chip__getChipId(i) for i in range(opened.chip._Chip__getChipCount())]


def test_the_bench_command_runs_with_tiny_counts(tmp_path):
    pytest.importorskip("zorvbench")
    out = tmp_path / "results.json"
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.run(
        [sys.executable, str(root / "bench" / "run.py"), "--json", str(out), "--repeat", "1", "--deliveries", "40",
         "--calls", "50", "--generation-hits", "20000", "--generation-deliveries", "2", "--sink-repeat", "1",
         "--sink-window", "0.02", "--recorder-capacity", "400000", "--record-seconds", "1", "--record-rates", "10",
         "--cluster-hits", "20000", "--cluster-repeat", "1", "--cluster-reference-hits", "20000",
         "--cluster-seconds", "0.5", "--cluster-rates", "10"],
        capture_output=True, text=True, timeout=300, env=dict(os.environ), cwd=root)
    assert proc.returncode == 0, proc.stderr
    assert "Targets" in proc.stdout and "package / floor" in proc.stdout
    doc = json.loads(out.read_text())
    r = doc["results"]
    assert len(r["deliveries"]) == 11 and all(d["package_us"] > 0 and d["floor_us"] > 0 for d in r["deliveries"].values())
    assert set(r["methods"]) == {"isOpened", "chip.getDacValue", "chip.setThreshold", "axi.read", "chip.getChipIds (4 chips)"}
    assert r["sizes"]["dd-toa-tot"]["ratio"] > 0 and r["generation"]["dd-toa-tot"]["delivered_hits_per_second"] > 0
    assert set(r["sinks"]) == {"1000", "100000"}
    assert all(s["hits_per_second"]["recorder"] > 0 and s["busy_hits_per_second"]["hitmap"] > 0 for s in r["sinks"].values())
    assert len(doc["targets"]) >= 16
