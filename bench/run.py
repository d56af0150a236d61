#!/usr/bin/env python3
"""Measures the delivery path and the call path of zorvsdk against their reference points, side by
side in one run, prints a table of ratios and writes the figures as JSON.

    tools/dev-build bench -DZORV_BENCH=ON && PYTHONPATH=build/bench/stage python bench/run.py

What is measured (every figure is the median of --repeat runs):

- Deliveries, for each of the eleven kinds, into one no-op callable, all on the virtual device's
  library thread from the same scripted delivery replayed --deliveries times:
    package   the package's data callback;
    device    a harness callback that makes the same SDK calls and nothing else (the virtual
              device's own cost, subtracted from the package and the baseline: "net");
    baseline  a harness callback doing it the straightforward way: a new thread state per delivery
              and each array made by numpy.asarray over a buffer exposing the record format;
  and the floor: a harness thread that keeps one thread state and, per delivery, enters the
  interpreter and calls the same callable with the same number of prebuilt arguments.
- One delivery of 1 hit against one of 1,000,000 hits (dd-toa-tot).
- Method calls against a hand-written C method of the harness making the same SDK call with the
  interpreter lock released, and against the same SDK call through ctypes (loop overhead removed).
- The virtual device's synthetic generation rate, in hits per second.

Benchmarks never fail on time: the targets are reported, not asserted.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import statistics
import sys
import time
import timeit
from pathlib import Path

# A pool of BLAS threads spinning beside the library thread would take a core of this measurement.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

try:
    import zorvbench
except ImportError:
    sys.exit(
        "bench/run.py needs the harness module zorvbench: build it with\n"
        "    tools/dev-build bench -DZORV_BENCH=ON\n"
        "and run with PYTHONPATH=build/bench/stage python bench/run.py"
    )

import zorvsim
from zorvsdk import chip as chip_module
from zorvsdk import zorv

CHANNEL = "ch0"
TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
ITOT_EVENT = np.dtype({"names": ["address", "itot", "event"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
BINNED = np.dtype({"names": ["address", "count", "itot"], "formats": ["<u4", "<u4", "<u4"], "offsets": [0, 4, 8], "itemsize": 12})
BIN_DESCR = np.dtype({"names": ["offset", "packet_count"], "formats": ["<u4", "<u4"], "offsets": [0, 4], "itemsize": 8})
BINNING = chip_module.BinningParams(4, 4, 1000)


def tdcs() -> dict:
    # The synthetic detector's default: 4, 1 and 0 time stamps (the third is an empty array).
    return {"tdc0": np.arange(4, dtype=np.uint64), "tdc1": np.arange(1, dtype=np.uint64)}


def delivery_of(kind: str, n: int) -> dict:
    """One scripted delivery of a kind with n hits (records, vector entries or sums)."""
    u16, u32, u64 = np.uint16, np.uint32, np.uint64
    if kind in ("seq-toa-tot", "dd-toa-tot"):
        d = {"packets": np.zeros(n, TOA_TOT)}
        return d | tdcs() if kind == "dd-toa-tot" else d
    if kind == "seq-itot-event":
        return {"packets": np.zeros(n, ITOT_EVENT)}
    if kind in ("seq-toa-tot-vec", "dd-toa-tot-vec"):
        wide = kind == "dd-toa-tot-vec"
        d = {"pixel_address_vec": np.zeros(n, u32), "toa_vec": np.zeros(n, u64 if wide else u32), "tot_vec": np.zeros(n, u16)}
        return d | tdcs() if wide else d
    if kind == "seq-itot-event-vec":
        return {"pixel_address_vec": np.zeros(n, u32), "event_vec": np.zeros(n, u16), "itot_vec": np.zeros(n, u16)}
    if kind == "binned-packets":
        bins = max(1, n // 16)
        return {"packets": np.zeros(n, BINNED), "bin_descriptors": np.zeros(bins, BIN_DESCR),
                "binned_hitcounters": np.zeros(bins, u64), "binned_itots": np.zeros(bins, u64)}
    if kind == "binned-count-sums":
        return {"binned_hitcounters": np.zeros(n, u64)}
    if kind == "binned-itot-sums":
        return {"binned_itots": np.zeros(n, u64)}
    if kind == "medipix":
        return {"frames": np.zeros(65536, u16)}  # one frame
    if kind == "raw":
        return {"raw": bytes(16 * n)}
    raise ValueError(kind)


# kind: (readout mode selected, raw registration, number of arguments of the callable)
KINDS = {
    "seq-toa-tot": ("0:tpx3-seq-toa-tot", False, 1),
    "seq-itot-event": ("0:tpx3-seq-itot-event", False, 1),
    "seq-toa-tot-vec": ("0:tpx3-seq-toa-tot-vec", False, 3),
    "seq-itot-event-vec": ("0:tpx3-seq-itot-event-vec", False, 3),
    "dd-toa-tot": ("0:tpx3-dd-toa-tot", False, 2),
    "dd-toa-tot-vec": ("0:tpx3-dd-toa-tot-vec", False, 4),
    "binned-packets": ("0:tpx3-binned-packets", False, 4),
    "binned-count-sums": ("0:tpx3-binned-count-sums", False, 1),
    "binned-itot-sums": ("0:tpx3-binned-itot-sums", False, 1),
    "medipix": ("0:tpx-medipix", False, 1),
    "raw": ("0:tpx3-dd-toa-tot", True, 1),
}
SINGLE_ARRAY = ["seq-toa-tot", "seq-itot-event", "binned-count-sums", "binned-itot-sums", "medipix", "raw"]


def noop(*args):
    pass


class Checker:
    """A callable that records what one delivery gave (to make sure every path delivers)."""

    def __init__(self):
        self.got = []

    def __call__(self, *args):
        self.got.append([(len(a), a.dtype.itemsize) if isinstance(a, np.ndarray) else sorted(a) for a in args])


def select(dev, kind: str) -> None:
    mode = KINDS[kind][0]
    dev.chip.selectMode(mode, BINNING if "binned" in mode else None)


def register_package(dev, kind: str, func) -> None:
    raw = KINDS[kind][1]
    (dev.acq.setRawDataCallback if raw else dev.acq.setDataCallback)(CHANNEL, func)


def acquire(dev, delivery: dict | None, count: int) -> float:
    """Seconds per delivery of one acquisition of `count` deliveries (a script, or synthetic data)."""
    before = zorvsim.delivery_count(CHANNEL)
    if delivery is not None:
        zorvsim.script(CHANNEL, [delivery], repeat=count)
    start = time.perf_counter()
    dev.acq.begin(CHANNEL)
    dev.acq.end(CHANNEL)
    elapsed = time.perf_counter() - start
    done = zorvsim.delivery_count(CHANNEL) - before
    if done != count:
        raise RuntimeError(f"{done} deliveries made instead of {count}")
    return elapsed / count


def check_kind(dev, kind: str, delivery: dict) -> None:
    """One delivery through the package and through the baseline must reach the callable alike."""
    got = []
    for how in ("package", "baseline"):
        c = Checker()
        if how == "package":
            register_package(dev, kind, c)
        else:
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "baseline", c, (None,) * KINDS[kind][2])
        acquire(dev, delivery, 1)
        if len(c.got) != 1 or len(c.got[0]) != KINDS[kind][2]:
            raise RuntimeError(f"{kind}: {how} delivered {c.got!r}")
        got.append(c.got[0])
    if got[0] != got[1]:
        raise RuntimeError(f"{kind}: the package delivered {got[0]!r}, the baseline {got[1]!r}")


def deliveries(dev, args, samples: dict) -> None:
    for kind, (mode, raw, nargs) in KINDS.items():
        if args.kind and kind not in args.kind:
            continue
        select(dev, kind)
        delivery = delivery_of(kind, args.hits)
        check_kind(dev, kind, delivery)
        prebuilt = tuple(np.zeros(1) for _ in range(nargs))
        s = samples.setdefault(kind, {"package": [], "device": [], "floor": [], "floor_device": [], "baseline": []})
        base_count = max(20, args.deliveries // 20)
        for _ in range(args.repeat):
            register_package(dev, kind, noop)
            s["package"].append(acquire(dev, delivery, args.deliveries))
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "sdk", noop, prebuilt)
            s["device"].append(acquire(dev, delivery, args.deliveries))
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "floor", noop, prebuilt)
            s["floor_device"].append(acquire(dev, delivery, args.deliveries))
            s["floor"].append(zorvbench.floor(noop, prebuilt, args.deliveries) / args.deliveries)
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "baseline", noop, (None,) * nargs)
            s["baseline"].append(acquire(dev, delivery, base_count))


def sizes(dev, args, samples: dict) -> None:
    select(dev, "dd-toa-tot")
    register_package(dev, "dd-toa-tot", noop)
    small, big = delivery_of("dd-toa-tot", 1), delivery_of("dd-toa-tot", 1_000_000)
    s = samples.setdefault("dd-toa-tot", {"1": [], "1000000": []})
    for _ in range(args.repeat):
        s["1"].append(acquire(dev, small, args.deliveries))
        s["1000000"].append(acquire(dev, big, args.deliveries))


# ---- method calls ----


class CtypesBinding:
    """The same SDK calls through ctypes, written as a careful ctypes binding would be."""

    def __init__(self, ctx: int):
        lib = ctypes.CDLL(zorvsim.library()._name)
        c_int, c_void_p, c_char_p = ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p
        self._ctx = c_void_p(ctx)
        self._is_opened = lib.zorv_dev_is_opened
        self._is_opened.argtypes, self._is_opened.restype = [c_void_p, ctypes.POINTER(c_int)], c_int
        self._dac_get = lib.zorv_chip_dac_value_get
        self._dac_get.argtypes, self._dac_get.restype = [c_void_p, c_char_p, ctypes.POINTER(c_int)], c_int
        self._threshold_set = lib.zorv_chip_threshold_set
        self._threshold_set.argtypes, self._threshold_set.restype = [c_void_p, c_char_p, ctypes.c_float], c_int
        self._axi_read = lib.zorv_axi_read
        self._axi_read.argtypes, self._axi_read.restype = [c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)], c_int
        self._chip_count = lib.zorv_chip_count
        self._chip_count.argtypes, self._chip_count.restype = [c_void_p, ctypes.POINTER(c_int)], c_int
        self._chip_id = lib.zorv_chip_id
        self._chip_id.argtypes, self._chip_id.restype = [c_void_p, c_int, ctypes.POINTER(c_char_p)], c_int

    @staticmethod
    def _failed(status: int):
        raise RuntimeError(f"status {status}")

    def isOpened(self) -> bool:
        v = ctypes.c_int(0)
        status = self._is_opened(self._ctx, ctypes.byref(v))
        if status < 0:
            self._failed(status)
        return bool(v.value)

    def getDacValue(self, dacId: str) -> int:
        v = ctypes.c_int(0)
        status = self._dac_get(self._ctx, dacId.encode(), ctypes.byref(v))
        if status < 0:
            self._failed(status)
        return v.value

    def setThreshold(self, threshId: str, threshValue: float) -> None:
        status = self._threshold_set(self._ctx, threshId.encode(), threshValue)
        if status < 0:
            self._failed(status)

    def read(self, address: int) -> int:
        v = ctypes.c_uint32(0)
        status = self._axi_read(self._ctx, address, ctypes.byref(v))
        if status < 0 or status in (102, 103):
            self._failed(status)
        return v.value

    def getChipIds(self) -> list[str]:
        n = ctypes.c_int(0)
        status = self._chip_count(self._ctx, ctypes.byref(n))
        if status < 0:
            self._failed(status)
        ids = []
        text = ctypes.c_char_p()
        for i in range(n.value):
            status = self._chip_id(self._ctx, i, ctypes.byref(text))
            if status < 0:
                self._failed(status)
            ids.append(text.value.decode())
        return ids


METHODS = [  # name, object of the package, statement
    ("isOpened", "dev", "o.isOpened()"),
    ("chip.getDacValue", "chip", "o.getDacValue('preamp_bias')"),
    ("chip.setThreshold", "chip", "o.setThreshold('0:threshold', 5.5)"),
    ("axi.read", "axi", "o.read(0x8)"),
    ("chip.getChipIds (4 chips)", "chip", "o.getChipIds()"),
]


def method_calls(dev, args, samples: dict) -> None:
    if len(dev.chip.getChipIds()) != 4:
        raise RuntimeError("the default model should have four chips")
    objects = {"dev": dev, "chip": dev.chip, "axi": dev.axi}
    direct = {k: zorvbench.Direct(v if k != "dev" else dev.chip) for k, v in objects.items()}
    binding = CtypesBinding(zorvbench.context_handle(dev.chip))
    for name, which, stmt in METHODS:
        results = [eval(stmt, {"o": o}) for o in (objects[which], direct[which], binding)]
        if results[0] != results[1] or results[0] != results[2]:
            raise RuntimeError(f"{name}: the three calls disagree: {results!r}")
    empty = timeit.Timer("pass")
    for name, which, stmt in METHODS:
        s = samples.setdefault(name, {"package": [], "c": [], "ctypes": []})
        number = args.calls // 4 if "getChipIds" in name else args.calls
        timers = {
            "package": timeit.Timer(stmt, globals={"o": objects[which]}),
            "c": timeit.Timer(stmt, globals={"o": direct[which]}),
            "ctypes": timeit.Timer(stmt, globals={"o": binding}),
        }
        for _ in range(args.repeat):
            loop = empty.timeit(number)
            for how, t in timers.items():
                s[how].append(max(0.0, t.timeit(number) - loop) / number)


# ---- the virtual device's generation rate ----


def generation(dev, args, samples: dict) -> None:
    hits, count = args.generation_hits, args.generation_deliveries
    model = {"deliveries": count, "hitsPerDelivery": hits, "realTime": False}
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | model)
    select(dev, "dd-toa-tot")
    zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS["dd-toa-tot"], "sdk", noop, (None, None))
    zorvsim.clear_script(CHANNEL)
    cold = acquire(dev, None, count) * count  # builds the blocks, then delivers
    blocks = min(max(2_000_000 // max(1, hits), 1), 8, count)
    s = samples.setdefault("dd-toa-tot", {"build_seconds": [], "delivery_seconds": [], "hits": hits,
                                          "deliveries": count, "blocks": blocks})
    for _ in range(args.repeat):
        s["delivery_seconds"].append(acquire(dev, None, count))
    s["build_seconds"].append(max(0.0, cold - statistics.median(s["delivery_seconds"]) * count))


# ---- report ----


def med(values):
    return statistics.median(values) if values else float("nan")


def summarise(samples: dict) -> dict:
    out: dict = {"deliveries": {}, "sizes": {}, "methods": {}, "generation": {}}
    for kind, s in samples["deliveries"].items():
        m = {k: med(v) for k, v in s.items()}
        net = m["package"] - m["device"]
        base_net = m["baseline"] - m["device"]
        out["deliveries"][kind] = {
            "arguments": KINDS[kind][2],
            "package_us": m["package"] * 1e6,
            "device_us": m["device"] * 1e6,
            "package_net_us": net * 1e6,
            "floor_us": m["floor"] * 1e6,
            "floor_device_net_us": (m["floor_device"] - m["device"]) * 1e6,
            "baseline_us": m["baseline"] * 1e6,
            "baseline_net_us": base_net * 1e6,
            "net_vs_floor": net / m["floor"],
            "baseline_vs_package": base_net / net if net > 0 else float("inf"),
            "deliveries_per_second": 1 / m["package"],
        }
    for kind, s in samples["sizes"].items():
        small, big = med(s["1"]), med(s["1000000"])
        out["sizes"][kind] = {"1_hit_us": small * 1e6, "1000000_hits_us": big * 1e6, "ratio": big / small}
    for name, s in samples["methods"].items():
        m = {k: med(v) for k, v in s.items()}
        out["methods"][name] = {
            "package_ns": m["package"] * 1e9,
            "c_ns": m["c"] * 1e9,
            "ctypes_ns": m["ctypes"] * 1e9,
            "vs_c": m["package"] / m["c"],
            "ctypes_vs_package": m["ctypes"] / m["package"],
        }
    for kind, s in samples["generation"].items():
        per = med(s["delivery_seconds"])
        build = med(s["build_seconds"])
        out["generation"][kind] = {
            "hits_per_delivery": s["hits"],
            "delivered_hits_per_second": s["hits"] / per,
            "built_hits_per_second": s["hits"] * s["blocks"] / build if build > 0 else float("inf"),
        }
    return out


def targets(r: dict) -> list[tuple[str, str, bool]]:
    d = r["deliveries"].get("dd-toa-tot")
    rows = []
    if d:
        rows.append(("dd-toa-tot delivery <= 1 us (net of the device)", f"{d['package_net_us']:.3f} us", d["package_net_us"] <= 1))
        rows.append(("dd-toa-tot delivery <= 2x the floor", f"{d['net_vs_floor']:.2f}x", d["net_vs_floor"] <= 2))
        rows.append(("dd-toa-tot delivery >= 15x cheaper than the baseline", f"{d['baseline_vs_package']:.1f}x",
                     d["baseline_vs_package"] >= 15))
    single = [r["deliveries"][k] for k in SINGLE_ARRAY if k in r["deliveries"]]
    if single:
        slowest = min(single, key=lambda x: x["deliveries_per_second"])
        rows.append(("single-array kinds >= 1,000,000 deliveries/s on one library thread",
                     f"{slowest['deliveries_per_second'] / 1e6:.2f} M/s (slowest)", slowest["deliveries_per_second"] >= 1e6))
    for kind, s in r["sizes"].items():
        rows.append((f"{kind}: 1,000,000 hits within 10% of 1 hit", f"{s['ratio']:.3f}x", s["ratio"] <= 1.1))
    if r["methods"]:
        worst_c = max(r["methods"].values(), key=lambda m: m["vs_c"])
        worst_ct = min(r["methods"].values(), key=lambda m: m["ctypes_vs_package"])
        rows.append(("method calls <= 1.3x the hand-written C", f"{worst_c['vs_c']:.2f}x (worst)", worst_c["vs_c"] <= 1.3))
        rows.append(("method calls >= 4x faster than ctypes", f"{worst_ct['ctypes_vs_package']:.2f}x (worst)",
                     worst_ct["ctypes_vs_package"] >= 4))
    for kind, g in r["generation"].items():
        rate = g["delivered_hits_per_second"]
        rows.append((f"virtual device generation >= 200 M hits/s ({kind})", f"{rate / 1e6:.0f} M hits/s", rate >= 200e6))
    return rows


def table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows])


def report(r: dict, args) -> str:
    parts = []
    if r["deliveries"]:
        rows = [[k, f"{d['net_vs_floor']:.2f}x", f"{d['baseline_vs_package']:.0f}x", f"{d['package_net_us']:.3f}",
                 f"{d['floor_us']:.3f}", f"{d['baseline_net_us']:.2f}", f"{d['device_us']:.3f}",
                 f"{d['deliveries_per_second'] / 1e6:.2f}"] for k, d in r["deliveries"].items()]
        parts.append(f"Deliveries of {args.hits} hits into a no-op callable (us per delivery; net: the virtual "
                     "device's own cost removed)\n" + table(
            ["kind", "package / floor", "baseline / package", "package net", "floor", "baseline net",
             "device's own", "M deliveries/s (total)"], rows))
    if r["sizes"]:
        rows = [[k, f"{s['ratio']:.3f}x", f"{s['1_hit_us']:.3f}", f"{s['1000000_hits_us']:.3f}"] for k, s in r["sizes"].items()]
        parts.append("One delivery of 1 hit against 1,000,000 hits (us per delivery, with the device's own cost)\n" +
                     table(["kind", "1,000,000 / 1", "1 hit", "1,000,000 hits"], rows))
    if r["methods"]:
        rows = [[k, f"{m['vs_c']:.2f}x", f"{m['ctypes_vs_package']:.1f}x", f"{m['package_ns']:.0f}", f"{m['c_ns']:.0f}",
                 f"{m['ctypes_ns']:.0f}"] for k, m in r["methods"].items()]
        parts.append("Method calls (ns per call, loop overhead removed)\n" +
                     table(["method", "package / C", "ctypes / package", "package", "hand-written C", "ctypes"], rows))
    if r["generation"]:
        rows = [[k, f"{g['delivered_hits_per_second'] / 1e6:.0f}", f"{g['built_hits_per_second'] / 1e6:.1f}",
                 str(g["hits_per_delivery"])] for k, g in r["generation"].items()]
        parts.append("Virtual device, synthetic data (one library thread)\n" +
                     table(["mode", "M hits/s delivered", "M hits/s generated (blocks built)", "hits per delivery"], rows))
    rows = [[name, value, "met" if ok else "MISSED"] for name, value, ok in targets(r)]
    parts.append("Targets\n" + table(["target", "measured", ""], rows))
    return "\n\n".join(parts)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--json", type=Path, default=Path(__file__).resolve().parent / "results.json",
                   help="where the figures go (default bench/results.json)")
    p.add_argument("--repeat", type=int, default=7, help="runs of every measurement; the median is reported")
    p.add_argument("--deliveries", type=int, default=100_000, help="deliveries per run")
    p.add_argument("--hits", type=int, default=1000, help="hits per delivery in the per-kind runs")
    p.add_argument("--calls", type=int, default=200_000, help="method calls per run")
    p.add_argument("--generation-hits", type=int, default=1_000_000, help="hits per synthetic delivery")
    p.add_argument("--generation-deliveries", type=int, default=40, help="synthetic deliveries per run")
    p.add_argument("--kind", choices=list(KINDS), action="append", help="measure only these kinds of delivery")
    p.add_argument("--only", choices=["deliveries", "sizes", "methods", "generation"], action="append",
                   help="run only these parts (may be given more than once)")
    args = p.parse_args(argv)
    parts = args.only or ["deliveries", "sizes", "methods", "generation"]

    zorvsim.reset()
    dev = zorv.Device()
    dev.open("zorvsim:0")
    samples: dict = {"deliveries": {}, "sizes": {}, "methods": {}, "generation": {}}
    try:
        for part, fn in (("deliveries", deliveries), ("sizes", sizes), ("methods", method_calls), ("generation", generation)):
            if part in parts:
                fn(dev, args, samples[part])
    finally:
        dev.close()
        dev.finalize()
        zorvsim.reset()
    results = summarise(samples)
    text = report(results, args)
    print(text)
    document = {
        "machine": {"python": sys.version.split()[0], "numpy": np.__version__, "platform": platform.platform(),
                    "processor": platform.processor() or platform.machine(), "cpus": os.cpu_count()},
        "settings": {k: (str(v) if isinstance(v, Path) else v) for k, v in vars(args).items()},
        "results": results,
        "targets": [{"target": n, "measured": v, "met": ok} for n, v, ok in targets(results)],
        "samples": samples,
    }
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(document, indent=2) + "\n")
    print(f"\nfigures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
