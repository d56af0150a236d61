"""The clusters part of bench/run.py: the Clusterer on the twin's non-repeating data at two
occupancies (sparse photons; photons with blobs and tracks), side by side in one run:

- the clustering alone, one thread chip after chip, timed by the thread's CPU clock (M hits/s per
  core), and the whole Clusterer fed by one Python thread with one clustering thread and with one
  per chip (wall clock, and the process's CPU seconds);
- the plain reference (connected components with NumPy and SciPy, tests/cluster_reference.py) on
  the same hits, its rate, and whether the clusters are equal;
- the virtual device paced in real time at fixed detector rates into a registered Clusterer whose
  clusters a reader thread appends to an HDF5 file, with the deliveries dropped.

Samples are interleaved (every measurement once per round) and each figure is the median of the
rounds with its spread (10th to 90th percentile, relative to the median); the load average of the
machine is printed beside them.
"""

from __future__ import annotations

import os
import queue
import resource
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import zorvsim
from zorvsdk import dtypes, sinks

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from cluster_reference import reference_clusters, reference_labels  # noqa: E402

WIDTH, CHIP, WINDOW = 512, 256, 320
OCCUPANCIES = {  # the mix of the sources, by cluster count
    "sparse photons": {"photon": 1.0, "blob": 0.0, "track": 0.0},
    "photons, blobs, tracks": {"photon": 0.9, "blob": 0.04, "track": 0.06},
}
RATES = (10, 20, 40, 80, 160, 320)  # M hits/s
SOURCE_RATE = 80e6  # hits/s of the twin's data measured unpaced: its occupancy
HITS_PER_DELIVERY = 100_000


def add_arguments(p) -> None:
    p.add_argument("--cluster-hits", type=int, default=4_000_000, help="hits of each occupancy's data")
    p.add_argument("--cluster-repeat", type=int, default=5, help="rounds of the clustering measurements")
    p.add_argument("--cluster-reference-hits", type=int, default=1_000_000,
                   help="hits the plain reference clusters (it is slow)")
    p.add_argument("--cluster-seconds", type=float, default=5.0, help="seconds of every paced run")
    p.add_argument("--cluster-rates", type=float, nargs="+", default=list(RATES), help="paced rates, M hits/s")


def cpu() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def twin_hits(dev, sources: dict, n: int) -> np.ndarray:
    """`n` hits of the synthetic detector at SOURCE_RATE, recorded."""
    zorvsim.clear_script("ch0")
    per = min(n, HITS_PER_DELIVERY)
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": max(1, n // per), "hitsPerDelivery": per, "period": per / SOURCE_RATE, "realTime": False, "sources": sources})
    rec = sinks.Recorder(2 * n + 1000)
    dev.acq.setDataCallback("ch0", rec)
    dev.acq.begin("ch0")
    dev.acq.end("ch0")
    got = [d[0] for d in rec]
    dev.acq.setDataCallback("ch0", lambda *a: None)
    return np.concatenate(got)


META = {"shutterStart": 0, "tdcs": [np.zeros(0, np.uint64)] * 3}


def pipeline(hits: np.ndarray, threads: int, keep: bool = False) -> tuple[float, float, np.ndarray | int]:
    """Wall and process CPU seconds of the whole Clusterer over the hits, fed in deliveries by this
    thread, its clusters taken after each delivery, until every cluster is taken; and the clusters
    (`keep`) or their number. A first pass over the same hits maps the Clusterer's memory (as a long
    acquisition has it), the second is timed. Kept clusters cost memory new to the process (60
    bytes each): the timed rounds let them go, as a reader that writes them out does."""
    c = sinks.Clusterer(WIDTH, WIDTH, threads=threads, capacity=2 * len(hits), clusters=len(hits) + 1)
    parts = [hits[i:i + HITS_PER_DELIVERY] for i in range(0, len(hits), HITS_PER_DELIVERY)]
    for _ in range(2):
        got: list[np.ndarray] = []
        count = 0

        def take(timeout: float) -> None:
            nonlocal count
            part = c.get(timeout=timeout)
            count += len(part)
            if keep:
                got.append(part)

        before, start = cpu(), time.perf_counter()
        for part in parts:  # taken as they come, as a reader keeping up takes them
            c(part, META)
            try:
                take(0)
            except queue.Empty:
                pass
        while not c.flush(60):
            take(0)
        try:
            take(0)
        except queue.Empty:
            pass
        wall, used = time.perf_counter() - start, cpu() - before
    assert c.dropped == 0, c.dropped
    return wall, used, (np.concatenate(got) if keep else count)


def paced(dev, rate: float, seconds: float, folder: Path) -> dict:
    """The virtual device at `rate` M hits/s into a registered Clusterer; a reader thread appends
    its clusters to an HDF5 file."""
    import h5py

    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": -1, "hitsPerDelivery": HITS_PER_DELIVERY, "period": HITS_PER_DELIVERY / (rate * 1e6),
        "realTime": True, "sources": OCCUPANCIES["photons, blobs, tracks"]})
    c = sinks.Clusterer(WIDTH, WIDTH)
    path = folder / "clusters.h5"
    written = [0]

    def write():
        with h5py.File(path, "w") as f:
            d = f.create_dataset("clusters", (0,), dtypes.CLUSTER, maxshape=(None,), chunks=(1 << 16,))
            for part in c:
                d.resize((written[0] + len(part),))
                d[written[0]:] = part
                written[0] += len(part)

    reader = threading.Thread(target=write)
    dev.acq.setDataCallback("ch0", c)
    before, start = cpu(), time.perf_counter()
    dev.acq.begin("ch0")
    reader.start()
    time.sleep(seconds)
    dev.acq.abort("ch0")
    reader.join()
    elapsed, used = time.perf_counter() - start, cpu() - before
    dev.acq.setDataCallback("ch0", lambda *a: None)
    size = path.stat().st_size
    path.unlink()
    return {"rate": rate, "delivered": c.delivered, "dropped": c.dropped, "hits": c.hits, "clusters": c.clusters,
            "written": written[0], "seconds": elapsed, "cpu_seconds": used, "bytes": size}


def measure(dev, args, samples: dict) -> None:
    import zorvbench

    dev.chip.selectMode("0:tpx3-dd-toa-tot")
    samples["load_average"] = [os.getloadavg()]
    for name, sources in OCCUPANCIES.items():
        hits = twin_hits(dev, sources, args.cluster_hits)
        s = samples.setdefault(name, {"hits": len(hits), "alone": [], "one": [], "one_cpu": [], "chips": [],
                                      "chips_cpu": [], "reference": []})
        for _ in range(args.cluster_repeat):  # interleaved rounds
            seconds, _ = zorvbench.cluster_rate(hits.tobytes(), WIDTH, CHIP, WINDOW, 1)
            s["alone"].append(len(hits) / seconds)
            for threads, key in ((1, "one"), (4, "chips")):
                wall, used, _ = pipeline(hits, threads)
                s[key].append(len(hits) / wall)
                s[key + "_cpu"].append(len(hits) / used)
        few = hits[:args.cluster_reference_hits]
        start = time.perf_counter()
        expected = reference_clusters(few, reference_labels(few))
        s["reference"].append(len(few) / (time.perf_counter() - start))
        _, _, got = pipeline(few, 1, keep=True)
        s["exact"] = bool(same(got, expected))
        s["clusters_per_hit"] = len(got) / len(few)
        print(f"  {name}: {len(hits):,} hits, exact {s['exact']}", flush=True)
    samples["load_average"].append(os.getloadavg())
    with tempfile.TemporaryDirectory() as folder:
        runs = samples.setdefault("paced", [])
        for rate in args.cluster_rates:
            r = paced(dev, rate, args.cluster_seconds, Path(folder))
            runs.append(r)
            print(f"  paced {rate:g} M hits/s: {r['hits']:,} hits, {r['clusters']:,} clusters, dropped {r['dropped']}",
                  flush=True)
    samples["load_average"].append(os.getloadavg())


def same(got: np.ndarray, expected: np.ndarray) -> bool:
    def order(c):
        return c[np.lexsort((np.round(c["y"], 3), np.round(c["x"], 3), c["toa"], c["chip"]))]

    got, expected = order(got), order(expected)
    return len(got) == len(expected) and all(np.array_equal(got[f], expected[f]) for f in
                                             ("chip", "toa", "toa_peak", "size", "tot_sum", "tot_max")) and \
        np.allclose(got["x"], expected["x"], atol=1e-3) and np.allclose(got["y"], expected["y"], atol=1e-3)


def median(values) -> float:
    return float(np.median(values)) if len(values) else float("nan")


def spread(values) -> float:
    if len(values) < 2:
        return float("nan")
    p10, p50, p90 = np.percentile(values, [10, 50, 90])
    return float((p90 - p10) / p50) if p50 > 0 else float("nan")


def summarise(samples: dict) -> dict:
    out = {"load_average": samples.get("load_average", []), "occupancies": {}, "paced": samples.get("paced", [])}
    for name in OCCUPANCIES:
        s = samples.get(name)
        if not s:
            continue
        out["occupancies"][name] = {
            "hits": s["hits"], "exact": s.get("exact"), "clusters_per_hit": s.get("clusters_per_hit"),
            **{f"{k}_hits_per_second": median(s[k]) for k in ("alone", "one", "one_cpu", "chips", "chips_cpu", "reference")},
            **{f"{k}_spread": spread(s[k]) for k in ("alone", "one", "one_cpu", "chips", "chips_cpu")},
        }
    clean = [r for r in out["paced"] if r["dropped"] == 0 and r["hits"] >= 0.9 * r["rate"] * 1e6 * (r["seconds"] - 0.5)]
    out["best_paced"] = max(clean, key=lambda r: r["rate"]) if clean else None
    return out


def targets(r: dict) -> list[tuple[str, str, bool]]:
    rows = []
    for name, o in r["occupancies"].items():
        rows.append((f"clustering >= 40 M hits/s per core ({name})", f"{o['alone_hits_per_second'] / 1e6:.0f} M hits/s",
                     o["alone_hits_per_second"] >= 40e6))
        rows.append((f"clusters equal the reference's ({name})", "equal" if o["exact"] else "DIFFER", bool(o["exact"])))
    best = r.get("best_paced")
    rate = best["rate"] if best else 0
    rows.append(("clusters to a file: highest paced rate with no drop >= 80 M hits/s", f"{rate:g} M hits/s", rate >= 80))
    return rows


def report(r: dict) -> str:
    from run import table  # noqa: PLC0415  (bench/run.py's own table)

    m = lambda v: f"{v / 1e6:.1f}"  # noqa: E731
    sp = lambda v: f"{v:.0%}" if v == v else "-"  # noqa: E731
    rows = [[name, f"{o['hits']:,}", f"{m(o['alone_hits_per_second'])} ({sp(o['alone_spread'])})",
             f"{m(o['one_hits_per_second'])} ({sp(o['one_spread'])})", m(o["one_cpu_hits_per_second"]),
             f"{m(o['chips_hits_per_second'])} ({sp(o['chips_spread'])})", m(o["chips_cpu_hits_per_second"]),
             f"{o['reference_hits_per_second'] / 1e6:.2f}",
             f"{o['alone_hits_per_second'] / o['reference_hits_per_second']:.0f}x", "equal" if o["exact"] else "DIFFER",
             f"{o['clusters_per_hit']:.2f}"] for name, o in r["occupancies"].items()]
    loads = ", ".join(" ".join(f"{x:.2f}" for x in la) for la in r["load_average"])
    text = ("Clusters of the twin's data made at 80 M hits/s (M hits/s, median of the rounds, spread in brackets; "
            "alone: the clustering on one thread by its CPU clock; Clusterer: fed by one Python thread, wall clock, "
            "and per CPU second of the whole process; reference: NumPy and SciPy)\n" + table(
                ["data", "hits", "alone, per core", "Clusterer 1 thread", "per CPU s", "1 thread per chip",
                 "per CPU s", "reference", "alone / reference", "clusters", "clusters/hit"], rows))
    rows = [[f"{p['rate']:g}", f"{p['hits'] / 1e6:.1f}", f"{p['clusters'] / 1e6:.2f}", f"{p['written'] / 1e6:.2f}",
             str(p["delivered"]), str(p["dropped"]), f"{p['cpu_seconds'] / max(p['hits'], 1) * 1e6:.3f}",
             f"{p['bytes'] / max(p['written'], 1):.1f}"] for p in r["paced"]]
    if rows:
        text += ("\n\nThe virtual device paced in real time into a Clusterer (photons, blobs, tracks; 100,000 hits "
                 "per delivery); a reader thread appends the clusters to an HDF5 file (CPU s per M hits: the whole "
                 "process, the device's thread included)\n" + table(
                     ["M hits/s asked", "M hits", "M clusters", "M written", "deliveries", "dropped", "CPU s/M hits",
                      "bytes/cluster"], rows))
    return text + f"\nLoad average (1, 5, 15 min) before, between and after: {loads}"
