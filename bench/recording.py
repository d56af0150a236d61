"""The recording part of bench/run.py: every hit to a file on the local disk, the virtual device
paced in real time at fixed detector rates, the native NeXus writer beside the command's earlier
Python writer, and in the same run the machine's limits: the disk's direct-write rate for the same
bytes and the compressor's rate on every core.

The synthetic detector replays at most eight blocks of hits, so the files of these runs compress
better than fresh data would: the compressor's rate and bytes per hit are also measured on fresh
scripted hits (random pixels and ToT, ToA rising), and the report says which is which.
"""

from __future__ import annotations

import mmap
import os
import resource
import tempfile
import time
from pathlib import Path

import numpy as np

import zorvsim
from zorvsdk import acquire, dtypes
from zorvsdk.sinks import Recorder

RATES = (10, 20, 40, 80, 160, 320)  # M hits/s
SIZES = (1000, 100_000)  # hits per delivery
WRITERS = ("native", "python")
WIDTH = HEIGHT = 512


def add_arguments(p) -> None:
    p.add_argument("--record-seconds", type=float, default=20.0,
                   help="seconds of every recording run (at least 20 for the targets; less for trying)")
    p.add_argument("--record-rates", type=float, nargs="+", default=list(RATES), help="detector rates, M hits/s")
    p.add_argument("--record-dir", type=Path, default=None,
                   help="a folder on the local disk for the files (default: a temporary folder)")


def cpu() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def record(dev, writer: str, rate: float, hits: int, seconds: float, path: Path) -> dict:
    """One run at `rate` M hits/s in deliveries of `hits`, for `seconds`, into `path`."""
    zorvsim.clear_script("ch0")
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": -1, "hitsPerDelivery": hits, "period": hits / (rate * 1e6), "realTime": True})
    capacity = 1 << 24  # 256 MB of hits: 0.2 s at 80 M hits/s
    if writer == "native":
        from zorvsdk.nexus import NexusWriter

        out = NexusWriter(path, width=WIDTH, height=HEIGHT, mode="0:tpx3-dd-toa-tot", capacity=capacity)
        sink, taken = out.sink, out.sink
    else:
        py = acquire.Hdf5Output(path, {"width": WIDTH, "height": HEIGHT}, {}, True)
        recorder, pixels = Recorder(capacity), acquire.make_map(WIDTH, HEIGHT)
        thread = acquire.Writer(recorder, pixels, "0:tpx3-dd-toa-tot", py, None)
        thread.start()
        sink, taken = recorder, thread
    dev.acq.setDataCallback("ch0", sink)
    before, start = cpu(), time.perf_counter()
    dev.acq.begin("ch0")
    written_per_second = []
    last = 0
    while time.perf_counter() - start < seconds:
        time.sleep(1.0)
        now = out.written if writer == "native" else taken.hits
        written_per_second.append(now - last)
        last = now
    dev.acq.abort("ch0")
    if writer == "native":
        out.close({})
        kept, dropped, delivered = out.hits, out.dropped, out.delivered
    else:
        thread.finish()
        thread.join()
        py.close(pixels.counts(), pixels.tot(), {})
        kept, dropped, delivered = thread.hits, recorder.dropped, thread.deliveries
    elapsed, used = time.perf_counter() - start, cpu() - before
    size = path.stat().st_size
    path.unlink()
    dev.acq.setDataCallback("ch0", lambda *a: None)
    return {"kept": kept, "dropped": dropped, "delivered": delivered, "seconds": elapsed,
            "bytes_per_hit": size / max(kept, 1), "cpu_seconds_per_million": used / max(kept, 1) * 1e6,
            "bytes": size, "per_second": written_per_second}


def disk_rate(folder: Path, nbytes: int) -> float:
    """Bytes per second of direct writes (O_DIRECT, 4 MB aligned blocks) of `nbytes` to the disk."""
    block = 4 << 20
    buf = mmap.mmap(-1, block)
    buf.write(np.random.default_rng(0).integers(0, 255, block, dtype=np.uint8).tobytes())
    path = folder / "direct.bin"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_DIRECT", 0))
    try:
        start, done = time.perf_counter(), 0
        while done < max(nbytes, 64 * block):
            done += os.write(fd, buf)
        os.fsync(fd)
        return done / (time.perf_counter() - start)
    finally:
        os.close(fd)
        path.unlink()


def columns(records: np.ndarray, zero: int) -> list[np.ndarray]:
    t = records["toa"].astype(np.uint64)
    ns = (t + ((t * np.uint64(9) + np.uint64(8)) >> np.uint64(4))).astype(np.int64)
    return [records["address"].astype(np.uint32), ns - zero, records["tot"].astype(np.uint32)]


def fresh_hits(n: int) -> np.ndarray:
    """Hits that never repeat: random pixels and ToT, ToA rising at 80 M hits/s."""
    rng = np.random.default_rng(7)
    r = np.empty(n, dtypes.TOA_TOT)
    r["address"] = rng.integers(0, WIDTH * HEIGHT, n)
    r["tot"] = rng.gamma(2.0, 60.0, n).astype(np.uint32) + 1
    r["toa"] = np.cumsum(rng.exponential(8.0, n)).astype(np.uint64)  # 8 ticks = 12.5 ns apart
    return r


def synthetic_hits(dev, n: int) -> np.ndarray:
    from zorvsdk import sinks

    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": max(1, n // 100_000), "hitsPerDelivery": 100_000, "period": 0.00125, "realTime": False})
    rec = sinks.Recorder(n + 1000)
    dev.acq.setDataCallback("ch0", rec)
    dev.acq.begin("ch0")
    dev.acq.end("ch0")
    got = []
    while True:
        try:
            got.append(rec.get(timeout=0)[0])
        except Exception:
            break
    dev.acq.setDataCallback("ch0", lambda *a: None)
    return np.concatenate(got)


def compressor(records: np.ndarray, threads: int) -> tuple[float, float]:
    """Hits per second and bytes per hit of the writer's codecs (LZ4; bit shuffle for pixel ids and
    ToT, byte shuffle for time offsets) over chunks of 65,536 hits, on `threads` threads."""
    import blosc2

    chunk = 1 << 16
    cols = columns(records, 0)
    settings = [(blosc2.Filter.BITSHUFFLE, 4), (blosc2.Filter.SHUFFLE, 8), (blosc2.Filter.BITSHUFFLE, 4)]
    start, size = time.perf_counter(), 0
    for (filt, typesize), col in zip(settings, cols):
        for i in range(0, len(col) - chunk + 1, chunk):
            size += len(blosc2.compress2(col[i:i + chunk], typesize=typesize, clevel=5, codec=blosc2.Codec.LZ4,
                                         filters=[filt], nthreads=threads))
    n = (len(records) // chunk) * chunk
    return n / (time.perf_counter() - start), size / n


def measure(dev, args, samples: dict) -> None:
    dev.chip.selectMode("0:tpx3-dd-toa-tot")
    with tempfile.TemporaryDirectory(dir=args.record_dir) as folder:
        folder = Path(folder)
        cores = os.cpu_count() or 1
        for name, hits in (("fresh", fresh_hits(1 << 22)), ("synthetic", synthetic_hits(dev, 1 << 22))):
            rate, per_hit = compressor(hits, cores)
            samples.setdefault("compressor", {})[name] = {"hits_per_second": rate, "bytes_per_hit": per_hit,
                                                         "threads": cores}
        runs = samples.setdefault("runs", [])
        for hits in SIZES:
            for rate in args.record_rates:
                for writer in WRITERS:
                    if writer == "python" and rate > 20:
                        continue  # drops from a few M hits/s on: two rates show it
                    r = record(dev, writer, rate, hits, args.record_seconds, folder / f"{writer}.h5")
                    runs.append({"writer": writer, "rate": rate, "hits_per_delivery": hits,
                                 "asked_seconds": args.record_seconds, **r})
                    # the disk's direct-write rate for the same bytes, measured right after
                    runs[-1]["disk_bytes_per_second"] = disk_rate(folder, r["bytes"])
                    print(f"  {writer} {rate:g} M hits/s x {hits}: kept {r['kept']:,}, dropped {r['dropped']}",
                          flush=True)


def summarise(samples: dict) -> dict:
    out = {"compressor": samples.get("compressor", {}), "runs": samples.get("runs", [])}
    best = {}
    for hits in SIZES:
        # held: nothing dropped, and the device delivered (nearly) the rate asked
        clean = [r for r in out["runs"] if r["writer"] == "native" and r["hits_per_delivery"] == hits and
                 r["dropped"] == 0 and r["kept"] >= 0.9 * r["rate"] * 1e6 * r["asked_seconds"]]
        best[str(hits)] = max(clean, key=lambda r: r["rate"]) if clean else None
    out["best"] = best
    return out


def limit_of(r: dict, run: dict) -> tuple[float, str]:
    """The machine's limit for a run, in hits/s, and the resource that sets it."""
    disk = run["disk_bytes_per_second"] / max(run["bytes_per_hit"], 1e-9)
    comp = r["compressor"].get("synthetic", {}).get("hits_per_second", float("inf"))
    return (disk, "disk") if disk < comp else (comp, "compressor")


def targets(r: dict) -> list[tuple[str, str, bool]]:
    rows = []
    for hits, run in r.get("best", {}).items():
        rate = run["rate"] if run else 0
        # without a clean run, the most kept without a drop where the device fell short of its pace
        short = [x for x in r["runs"] if x["writer"] == "native" and x["hits_per_delivery"] == int(hits) and
                 x["dropped"] == 0]
        note = "" if run or not short else (
            f" (the device delivered below its pace; at most {max(x['kept'] / x['seconds'] for x in short) / 1e6:.0f}"
            " M hits/s kept, none dropped)")
        rows.append((f"recording: highest rate with no drop >= 80 M hits/s ({int(hits):,} hits per delivery)",
                     f"{rate:g} M hits/s{note}", rate >= 80))
        if run:
            limit, what = limit_of(r, run)
            kept = run["kept"] / run["seconds"]
            rows.append((f"recording at that rate: >= 90% of the machine's limit ({int(hits):,} hits)",
                         f"{kept / 1e6:.0f} of {limit / 1e6:.0f} M hits/s ({what})", kept >= 0.9 * limit))
    return rows


def report(r: dict) -> str:
    from run import table  # noqa: PLC0415  (bench/run.py's own table)

    rows = []
    for run in r["runs"]:
        limit, what = limit_of(r, run)
        per_second = np.array(run["per_second"][1:] or [0]) / 1e6
        rows.append([run["writer"], f"{run['hits_per_delivery']:,}", f"{run['rate']:g}", f"{run['kept'] / 1e6:.1f}",
                     str(run["dropped"]), f"{run['bytes_per_hit']:.2f}", f"{run['cpu_seconds_per_million']:.3f}",
                     f"{per_second.min():.0f}-{per_second.max():.0f}",
                     f"{run['disk_bytes_per_second'] / 1e9:.2f}", f"{limit / 1e6:.0f} ({what})"])
    text = ("Recording to a file on the local disk, the virtual device paced in real time (dd-toa-tot; "
            "M hits kept, deliveries dropped, bytes per hit on disk, CPU seconds per million hits for the whole "
            "process, the device's thread included; M hits written per second, lowest to highest second)\n" +
            table(["writer", "hits/delivery", "M hits/s asked", "M hits kept", "dropped", "bytes/hit", "CPU s/M hits",
                   "written per s", "disk GB/s (direct)", "limit M hits/s"], rows))
    comp = r["compressor"]
    if comp:
        text += "\nThe compressor alone, the writer's codecs on " + " and ".join(
            f"{name} hits: {c['hits_per_second'] / 1e6:.0f} M hits/s on {c['threads']} threads, "
            f"{c['bytes_per_hit']:.2f} bytes per hit" for name, c in comp.items()) + (
            " (fresh: random pixels; synthetic: the twin's particles, noise and hot pixels)")
    return text
