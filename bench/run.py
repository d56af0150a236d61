#!/usr/bin/env python3
"""Measures the delivery path, the native sinks and the call path of zorvsdk against their
reference points, side by side in one run, prints tables of ratios and writes the figures as JSON.

    tools/dev-build bench -DZORV_BENCH=ON && PYTHONPATH=build/bench/stage python bench/run.py

What is measured:

- Deliveries, for each of the eleven kinds, into one no-op callable, all on the virtual device's
  library thread from the same scripted delivery replayed --deliveries times (data-driven kinds with
  a realistic shutter time, which the interpreter must allocate as an int):
    package   the package's data callback;
    device    a harness callback that makes the same SDK calls and nothing else (the virtual
              device's own cost, subtracted from the others: "net");
    floor     the same SDK calls, then an entry into the interpreter with a kept thread state and a
              call with prebuilt arguments: on the library thread ("lib"), and on a thread of the
              harness without the SDK calls;
    fair      a careful implementation without the package's reuse of objects: a kept thread
              state, element types made once, every array, dictionary and list made new;
    baseline  the straightforward one: a new thread state per delivery and each array made by
              numpy.asarray over a buffer exposing the record format.
- One delivery of 1 hit against one of 1,000,000 hits (dd-toa-tot).
- Sinks, on synthetic dd-toa-tot data (realTime false) at 1,000 and 100,000 hits per delivery: a
  Recorder pulled by a Python thread that stores every batch against a callable appending
  data.copy(), a HitMap against a callable adding np.bincount into an accumulator, and both sinks
  and the copying callable again while the main thread runs a pure-Python loop (and the sinks
  while another process runs one: a core taken without the interpreter lock, which tells the two
  apart).
- Method calls against a hand-written C method of the harness making the same SDK call with the
  interpreter lock released, and against the same SDK call through ctypes (loop overhead removed).
- The virtual device's synthetic detector: hits delivered per second, every delivery made afresh
  (per second of wall time, and per second of the process's CPU time, which load on the machine
  disturbs less), and the time it takes to build the particle pool of a configuration.
- Recording (bench/recording.py): every hit to a file on the local disk at fixed detector rates, the
  native NeXus writer beside the command's Python writer, with the disk's direct-write rate and the
  compressor's rate measured in the same run.
- Clusters (bench/clusters.py): the Clusterer on the twin's data at two occupancies, per core and
  with one thread per chip, beside the plain reference, and paced at fixed detector rates into a
  file of clusters, with drops.
- Stream (bench/stream.py): the Streamer's ev44 messages over loopback to a receiver process that
  decodes them into NumPy, at fixed detector rates, beside the same deliveries pickled over pyzmq,
  with raw ZeroMQ's rate over the same loopback measured in the same run.

Every figure comes from --repeat short samples, taken in rounds that run each variant once, so that
the machine's load falls on all of them alike. A figure is the 10th percentile of its samples (of
the time taken: the fast end, which load can only slow), and the spread printed beside it is the
distance from the 10th to the 90th percentile. Benchmarks never fail on time: the targets are
reported, not asserted.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import queue
import subprocess
import threading
import os
import platform
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

import clusters  # noqa: E402  (beside this file)
import recording  # noqa: E402
import stream  # noqa: E402
import zorvsim
from zorvsdk import chip as chip_module
from zorvsdk import sinks, zorv

CHANNEL = "ch0"
TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
ITOT_EVENT = np.dtype({"names": ["address", "itot", "event"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
BINNED = np.dtype({"names": ["address", "count", "itot"], "formats": ["<u4", "<u4", "<u4"], "offsets": [0, 4, 8], "itemsize": 12})
BIN_DESCR = np.dtype({"names": ["offset", "packet_count"], "formats": ["<u4", "<u4"], "offsets": [0, 4], "itemsize": 8})
BINNING = chip_module.BinningParams(4, 4, 1000)
SHUTTER = 1_234_567_890_123  # ticks: about half an hour into an acquisition (0 is a cached int)
WIDTH = HEIGHT = 512  # the default detector


def tdcs() -> dict:
    # The synthetic detector's default: 4, 1 and 0 time stamps (the third is an empty array).
    return {"tdc0": np.arange(4, dtype=np.uint64), "tdc1": np.arange(1, dtype=np.uint64), "shutter": SHUTTER}


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


def ideal_detector() -> None:
    """The synthetic detector records every deposit (thresholds at 0 keV without noise, no hot
    pixels): a delivery carries exactly hitsPerDelivery hits."""
    chip = "/devices/0/chip"
    thresholds = [dict(t, raw=0, rawDefault=0, offset=0.0, noise=0.0) for t in zorvsim.get(f"{chip}/thresholds")]
    zorvsim.set(f"{chip}/thresholds", thresholds)
    zorvsim.set(f"{chip}/hotPixels", [])


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
    """One delivery through the package and through the baselines must reach the callable alike."""
    got = []
    for how in ("package", "fair", "baseline"):
        c = Checker()
        if how == "package":
            register_package(dev, kind, c)
        else:
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], how, c, (None,) * KINDS[kind][2])
        acquire(dev, delivery, 1)
        if len(c.got) != 1 or len(c.got[0]) != KINDS[kind][2]:
            raise RuntimeError(f"{kind}: {how} delivered {c.got!r}")
        got.append(c.got[0])
    if got[0] != got[1] or got[0] != got[2]:
        raise RuntimeError(f"{kind}: the package delivered {got[0]!r}, the fair and straightforward baselines "
                           f"{got[1]!r} and {got[2]!r}")


def deliveries(dev, args, samples: dict) -> None:
    for kind, (mode, raw, nargs) in KINDS.items():
        if args.kind and kind not in args.kind:
            continue
        select(dev, kind)
        delivery = delivery_of(kind, args.hits)
        check_kind(dev, kind, delivery)
        prebuilt = tuple(np.zeros(1) for _ in range(nargs))
        s = samples.setdefault(kind, {"package": [], "device": [], "floor": [], "floor_device": [], "fair": [],
                                      "baseline": []})
        base_count = max(20, args.deliveries // 20)
        for _ in range(args.repeat):
            register_package(dev, kind, noop)
            s["package"].append(acquire(dev, delivery, args.deliveries))
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "sdk", noop, prebuilt)
            s["device"].append(acquire(dev, delivery, args.deliveries))
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "floor", noop, prebuilt)
            s["floor_device"].append(acquire(dev, delivery, args.deliveries))
            s["floor"].append(zorvbench.floor(noop, prebuilt, args.deliveries) / args.deliveries)
            zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS[kind], "fair", noop, (None,) * nargs)
            s["fair"].append(acquire(dev, delivery, args.deliveries))
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


# ---- sinks ----

SINK_HITS = (1000, 100_000)  # hits per delivery
SINK_CHANNELS = {1000: "ch0", 100_000: "ch1"}  # each channel keeps the synthetic pool of its size
SINK_VARIANTS = ["recorder", "recorder_count", "copy", "hitmap", "bincount"]
BUSY_VARIANTS = ["recorder", "recorder_count", "hitmap", "copy"]
SINK_NAMES = {"recorder": "Recorder (stored)", "recorder_count": "Recorder (batches let go)", "hitmap": "HitMap",
              "copy": "callable data.copy()"}


class Puller:
    """A Python thread that takes a Recorder's deliveries in batches of about 4 MB and stores them
    (or, with `keep` false, only counts their hits and lets them go, so that their memory is used
    again)."""

    def __init__(self, recorder: sinks.Recorder, hits: int, keep: bool = True):
        self.recorder, self.keep, self.stored, self.hits, self.done = recorder, keep, [], 0, threading.Event()
        self.most = max(1, 262_144 // hits)
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self) -> None:
        while True:
            try:
                batch = self.recorder.get_batch(timeout=0.01, max_deliveries=self.most)
            except queue.Empty:
                if self.done.is_set():
                    return
                continue
            self.hits += batch.arrays[0].size
            if self.keep:
                self.stored.append(batch)

    def finish(self) -> list:
        """Once the acquisition has ended: waits until everything is taken; the batches stored."""
        self.done.set()
        self.thread.join()
        return self.stored


class Taker:
    """What a variant registers, how many hits it has taken in so far, and, once the acquisition
    has ended, everything it took (for checking) and the deliveries it dropped."""

    def __init__(self, variant: str, hits: int, capacity: int):
        self.hits_per_delivery = hits
        if variant in ("recorder", "recorder_count"):
            self.sink = recorder = sinks.Recorder(capacity)
            puller = Puller(recorder, hits, keep=variant == "recorder")
            self.taken = lambda: puller.hits
            self.finish = lambda: (puller.finish(), recorder.dropped)
        elif variant == "hitmap":
            self.sink = hitmap = sinks.HitMap(WIDTH, HEIGHT)
            self.taken = lambda: hitmap.delivered * hits  # every delivery holds `hits` hits (ideal detector)
            self.finish = lambda: (hitmap, 0)
        elif variant == "copy":
            kept: list = []
            self.sink = lambda data, metadata: kept.append(data.copy())
            self.taken = lambda: len(kept) * hits
            self.finish = lambda: (kept, 0)
        else:
            counts = np.zeros(WIDTH * HEIGHT, np.int64)  # the hit map idiom of the documentation
            done = [0]

            def bincount(data, metadata):
                np.add(counts, np.bincount(data["address"], minlength=counts.size), out=counts)
                done[0] += data.size

            self.sink = bincount
            self.taken = lambda: done[0]
            self.finish = lambda: (counts, 0)


def pure_python_loop(seconds: float) -> int:
    """The busy main thread: a loop of pure Python for `seconds`."""
    spins, end = 0, time.perf_counter() + seconds
    while True:
        for _ in range(1000):
            spins += 1
        if time.perf_counter() >= end:
            return spins


def sink_run(dev, variant: str, hits: int, capacity: int, window: float, busy: str = "", deliveries: int = -1):
    """One acquisition of synthetic deliveries into a variant: (seconds per hit taken in during a
    window of steady state, deliveries dropped, what was taken). The acquisition runs until aborted
    (or for `deliveries` deliveries, then the window is the whole acquisition); the window opens
    once the first hits are in and lasts `window` seconds, during which the main thread sleeps, or
    runs a pure-Python loop (`busy` "loop"), or sleeps while another process runs one ("process":
    it takes a core, but not the interpreter lock)."""
    channel = SINK_CHANNELS[hits]
    zorvsim.clear_script(channel)
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": deliveries, "hitsPerDelivery": hits, "realTime": False})
    taker = Taker(variant, hits, capacity)
    dev.acq.setDataCallback(channel, taker.sink)
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"]) if busy == "process" else None
    if spinner:
        time.sleep(0.05)  # past its start
    try:
        if deliveries >= 0:  # a whole acquisition: for checking what was taken
            dev.acq.begin(channel)
            dev.acq.end(channel)
            return 0.0, 0, taker.finish()[0]
        dev.acq.begin(channel)
        give_up = time.perf_counter() + 10
        while taker.taken() == 0:
            if time.perf_counter() > give_up:
                raise RuntimeError(f"{variant}: nothing taken in after 10 s (is --recorder-capacity below {hits} hits?)")
            time.sleep(0.001)
        time.sleep(0.02)  # past the first deliveries
        start, before = time.perf_counter(), taker.taken()
        if busy == "loop":
            pure_python_loop(window)
        else:
            time.sleep(window)
        elapsed, got = time.perf_counter() - start, taker.taken() - before
        dev.acq.abort(channel)
        _, dropped = taker.finish()
        return elapsed / max(got, 1), dropped, None
    finally:
        if spinner:
            spinner.kill()
            spinner.wait()
        if zorvsim.acquiring(channel):
            dev.acq.abort(channel)
        dev.acq.setDataCallback(channel, noop)  # the sink and what it holds go


def check_sinks(dev, hits: int) -> None:
    """The sinks and the callables they are measured against take in the same data."""
    capacity = 20 * (hits + 8)  # every delivery, with its time stamps
    stored = sink_run(dev, "recorder", hits, capacity, 0, deliveries=20)[2]
    kept = sink_run(dev, "copy", hits, capacity, 0, deliveries=20)[2]
    if b"".join(b.arrays[0].tobytes() for b in stored) != b"".join(k.tobytes() for k in kept):
        raise RuntimeError(f"{hits} hits: the Recorder stored other data than the copying callable")
    hitmap = sink_run(dev, "hitmap", hits, capacity, 0, deliveries=20)[2]
    counts = sink_run(dev, "bincount", hits, capacity, 0, deliveries=20)[2]
    if not (hitmap.counts().ravel() == counts).all():
        raise RuntimeError(f"{hits} hits: the HitMap counted otherwise than np.bincount")


def fresh_memory(window: float) -> float:
    """Seconds per 16-byte hit for one thread copying into memory it has just allocated (4 MB
    arrays, kept): what keeping copies costs where the system must map fresh pages."""
    source, kept = np.ones(1 << 22, np.uint8), []
    start = time.perf_counter()
    while time.perf_counter() - start < window:
        kept.append(source.copy())
    return (time.perf_counter() - start) / (len(kept) * source.size / 16)


def sink_part(dev, args, samples: dict) -> None:
    select(dev, "dd-toa-tot")
    window = args.sink_window
    fresh = samples.setdefault("fresh_memory", [])
    new = samples.setdefault("new_memory", {"4 KB": [], "2 MB": []})
    for hits in SINK_HITS:
        check_sinks(dev, hits)
        s = samples.setdefault(str(hits), {"alone": {v: [] for v in SINK_VARIANTS}, "busy": {v: [] for v in BUSY_VARIANTS},
                                           "process": {v: [] for v in BUSY_VARIANTS if v != "copy"},
                                           "dropped": {"alone": [], "busy": []}})
        for _ in range(args.sink_repeat):
            fresh.append(fresh_memory(window))
            for pages, seconds in new.items():
                seconds.append(zorvbench.new_memory(window, pages == "2 MB"))
            for variant in SINK_VARIANTS:
                seconds, dropped, _ = sink_run(dev, variant, hits, args.recorder_capacity, window)
                s["alone"][variant].append(seconds)
                if variant == "recorder":
                    s["dropped"]["alone"].append(dropped)
            for variant in BUSY_VARIANTS:
                seconds, dropped, _ = sink_run(dev, variant, hits, args.recorder_capacity, window, busy="loop")
                s["busy"][variant].append(seconds)
                if variant == "recorder":
                    s["dropped"]["busy"].append(dropped)
                if variant in s["process"]:
                    s["process"][variant].append(sink_run(dev, variant, hits, args.recorder_capacity, window,
                                                          busy="process")[0])


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


# ---- the virtual device's synthetic detector ----


def generation(dev, args, samples: dict) -> None:
    hits, count = args.generation_hits, args.generation_deliveries
    model = {"deliveries": count, "hitsPerDelivery": hits, "realTime": False}
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | model)
    select(dev, "dd-toa-tot")
    zorvbench.attach(dev.acq, CHANNEL, zorvbench.KINDS["dd-toa-tot"], "sdk", noop, (None, None))
    zorvsim.clear_script(CHANNEL)
    cold = acquire(dev, None, count) * count  # builds the pool, then delivers
    s = samples.setdefault("dd-toa-tot", {"build_seconds": [], "delivery_seconds": [], "cpu_seconds": [],
                                          "hits": hits, "deliveries": count})
    for _ in range(args.repeat):
        # The main thread waits in end(): the process's CPU time is the library thread's.
        cpu = time.process_time()
        s["delivery_seconds"].append(acquire(dev, None, count))
        s["cpu_seconds"].append((time.process_time() - cpu) / count)
    s["build_seconds"].append(max(0.0, cold - low(s["delivery_seconds"]) * count))


# ---- report ----


def low(values):
    """The figure of a set of samples of time: its 10th percentile."""
    return float(np.percentile(values, 10)) if len(values) else float("nan")


def spread(values) -> float:
    """How far the samples lie apart: the 10th to the 90th percentile, relative to the 10th."""
    if len(values) < 2:
        return float("nan")
    p10, p90 = np.percentile(values, [10, 90])
    return float((p90 - p10) / p10) if p10 > 0 else float("nan")


def summarise(samples: dict) -> dict:
    out: dict = {"deliveries": {}, "sizes": {}, "sinks": {}, "methods": {}, "generation": {}}
    fresh = samples["sinks"].get("fresh_memory")
    if fresh:
        out["fresh_memory"] = {"hits_per_second": 1 / low(fresh), "spread": spread(fresh)}
    for kind, s in samples["deliveries"].items():
        m = {k: low(v) for k, v in s.items()}
        net = m["package"] - m["device"]
        floor_lib = m["floor_device"] - m["device"]
        fair_net = m["fair"] - m["device"]
        base_net = m["baseline"] - m["device"]
        out["deliveries"][kind] = {
            "arguments": KINDS[kind][2],
            "package_us": m["package"] * 1e6,
            "package_spread": spread(s["package"]),
            "device_us": m["device"] * 1e6,
            "package_net_us": net * 1e6,
            "floor_us": m["floor"] * 1e6,
            "floor_library_thread_net_us": floor_lib * 1e6,
            "fair_net_us": fair_net * 1e6,
            "baseline_us": m["baseline"] * 1e6,
            "baseline_net_us": base_net * 1e6,
            "net_vs_floor": net / m["floor"],
            "net_vs_library_floor": net / floor_lib if floor_lib > 0 else float("inf"),
            "fair_vs_package": fair_net / net if net > 0 else float("inf"),
            "baseline_vs_package": base_net / net if net > 0 else float("inf"),
            "deliveries_per_second": 1 / m["package"],
        }
    for kind, s in samples["sizes"].items():
        small, big = low(s["1"]), low(s["1000000"])
        out["sizes"][kind] = {"1_hit_us": small * 1e6, "1000000_hits_us": big * 1e6, "ratio": big / small,
                              "spread": max(spread(s["1"]), spread(s["1000000"]))}
    new = samples["sinks"].get("new_memory")
    if new and all(new.values()):
        out["new_memory"] = {pages: {"hits_per_second": 1 / low(v), "spread": spread(v)} for pages, v in new.items()}
    for hits, s in samples["sinks"].items():
        if hits in ("fresh_memory", "new_memory"):
            continue
        rate = {k: 1 / low(v) for k, v in s["alone"].items()}
        busy = {k: 1 / low(v) for k, v in s["busy"].items()}
        process = {k: 1 / low(v) for k, v in s["process"].items()}
        out["sinks"][hits] = {
            "hits_per_second": rate,
            "spread": {k: spread(v) for k, v in s["alone"].items()},
            "busy_hits_per_second": busy,
            "busy_spread": {k: spread(v) for k, v in s["busy"].items()},
            "kept_when_busy": {k: busy[k] / rate[k] for k in busy},
            "kept_beside_a_process": {k: process[k] / rate[k] for k in process},
            "recorder_vs_copy": rate["recorder"] / rate["copy"],
            "hitmap_vs_bincount": rate["hitmap"] / rate["bincount"],
            "recorder_dropped": {k: max(v) for k, v in s["dropped"].items()},
        }
    for name, s in samples["methods"].items():
        m = {k: low(v) for k, v in s.items()}
        out["methods"][name] = {
            "package_ns": m["package"] * 1e9,
            "c_ns": m["c"] * 1e9,
            "ctypes_ns": m["ctypes"] * 1e9,
            "vs_c": m["package"] / m["c"],
            "ctypes_vs_package": m["ctypes"] / m["package"],
            "spread": spread(s["package"]),
        }
    for kind, s in samples["generation"].items():
        out["generation"][kind] = {
            "hits_per_delivery": s["hits"],
            "delivered_hits_per_second": s["hits"] / low(s["delivery_seconds"]),
            "cpu_hits_per_second": s["hits"] / low(s["cpu_seconds"]),
            "pool_build_seconds": low(s["build_seconds"]),
            "spread": spread(s["delivery_seconds"]),
            "cpu_spread": spread(s["cpu_seconds"]),
        }
    if samples.get("recording"):
        out["recording"] = recording.summarise(samples["recording"])
    if samples.get("clusters"):
        out["clusters"] = clusters.summarise(samples["clusters"])
    if samples.get("stream"):
        out["stream"] = stream.summarise(samples["stream"])
    return out


def targets(r: dict) -> list[tuple[str, str, bool]]:
    d = r["deliveries"].get("dd-toa-tot")
    rows = []
    if d:
        rows.append(("dd-toa-tot delivery <= 1 us (net of the device)", f"{d['package_net_us']:.3f} us", d["package_net_us"] <= 1))
        rows.append(("dd-toa-tot delivery <= 2x the floor", f"{d['net_vs_floor']:.2f}x", d["net_vs_floor"] <= 2))
        rows.append(("dd-toa-tot delivery <= 2x the floor on the library thread", f"{d['net_vs_library_floor']:.2f}x",
                     d["net_vs_library_floor"] <= 2))
        rows.append(("dd-toa-tot delivery >= 15x cheaper than the baseline", f"{d['baseline_vs_package']:.1f}x",
                     d["baseline_vs_package"] >= 15))
    single = [r["deliveries"][k] for k in SINGLE_ARRAY if k in r["deliveries"]]
    if single:
        slowest = min(single, key=lambda x: x["deliveries_per_second"])
        rows.append(("single-array kinds >= 1,000,000 deliveries/s on one library thread",
                     f"{slowest['deliveries_per_second'] / 1e6:.2f} M/s (slowest)", slowest["deliveries_per_second"] >= 1e6))
    for kind, s in r["sizes"].items():
        rows.append((f"{kind}: 1,000,000 hits within 10% of 1 hit", f"{s['ratio']:.3f}x", s["ratio"] <= 1.1))
    for hits, s in r["sinks"].items():
        n = f"{int(hits):,} hits"
        rows.append((f"Recorder (pulled, stored) >= 20x a callable appending data.copy() ({n})",
                     f"{s['recorder_vs_copy']:.1f}x", s["recorder_vs_copy"] >= 20))
        if int(hits) == 1000:
            rate = s["hits_per_second"]["recorder"]
            rows.append((f"Recorder >= 320 M hits/s ({n})", f"{rate / 1e6:.0f} M hits/s", rate >= 320e6))
            rows.append((f"HitMap >= 20x the np.bincount callable ({n})", f"{s['hitmap_vs_bincount']:.1f}x",
                         s["hitmap_vs_bincount"] >= 20))
        for sink in ("recorder", "recorder_count", "hitmap"):
            kept = s["kept_when_busy"][sink]
            rows.append((f"{SINK_NAMES[sink]} keeps >= 90% beside a pure-Python loop ({n})", f"{kept:.0%}", kept >= 0.9))
    if r["methods"]:
        worst_c = max(r["methods"].values(), key=lambda m: m["vs_c"])
        worst_ct = min(r["methods"].values(), key=lambda m: m["ctypes_vs_package"])
        rows.append(("method calls <= 1.3x the hand-written C", f"{worst_c['vs_c']:.2f}x (worst)", worst_c["vs_c"] <= 1.3))
        rows.append(("method calls >= 4x faster than ctypes", f"{worst_ct['ctypes_vs_package']:.2f}x (worst)",
                     worst_ct["ctypes_vs_package"] >= 4))
    for kind, g in r["generation"].items():
        rate = g["delivered_hits_per_second"]
        rows.append((f"virtual device >= 400 M hits/s delivered, each delivery made afresh ({kind})",
                     f"{rate / 1e6:.0f} M hits/s", rate >= 400e6))
    if r.get("recording"):
        rows += recording.targets(r["recording"])
    if r.get("clusters"):
        rows += clusters.targets(r["clusters"])
    if r.get("stream"):
        rows += stream.targets(r["stream"])
    return rows


def table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows])


def pct(x: float) -> str:
    return f"{x:.0%}" if x == x else "-"


def report(r: dict, args) -> str:
    parts = []
    if r["deliveries"]:
        rows = [[k, f"{d['net_vs_floor']:.2f}x", f"{d['net_vs_library_floor']:.2f}x", f"{d['fair_vs_package']:.1f}x",
                 f"{d['baseline_vs_package']:.0f}x", f"{d['package_net_us']:.3f}", f"{d['floor_us']:.3f}",
                 f"{d['floor_library_thread_net_us']:.3f}", f"{d['fair_net_us']:.2f}", f"{d['baseline_net_us']:.2f}",
                 f"{d['device_us']:.3f}", f"{d['deliveries_per_second'] / 1e6:.2f}", pct(d["package_spread"])]
                for k, d in r["deliveries"].items()]
        parts.append(f"Deliveries of {args.hits} hits into a no-op callable (us per delivery; net: the virtual "
                     "device's own cost removed; lib: on the library thread)\n" + table(
            ["kind", "package / floor", "package / floor (lib)", "fair / package", "baseline / package", "package net",
             "floor", "floor (lib) net", "fair net", "baseline net", "device's own", "M deliveries/s (total)", "spread"],
            rows))
    if r["sizes"]:
        rows = [[k, f"{s['ratio']:.3f}x", f"{s['1_hit_us']:.3f}", f"{s['1000000_hits_us']:.3f}", pct(s["spread"])]
                for k, s in r["sizes"].items()]
        parts.append("One delivery of 1 hit against 1,000,000 hits (us per delivery, with the device's own cost)\n" +
                     table(["kind", "1,000,000 / 1", "1 hit", "1,000,000 hits", "spread"], rows))
    if r["sinks"]:
        rows = []
        for hits, s in r["sinks"].items():
            h, sp = s["hits_per_second"], s["spread"]
            rows.append([f"{int(hits):,}", f"{h['recorder'] / 1e6:.0f} ({pct(sp['recorder'])})",
                         f"{h['recorder_count'] / 1e6:.0f} ({pct(sp['recorder_count'])})",
                         f"{h['copy'] / 1e6:.1f} ({pct(sp['copy'])})", f"{s['recorder_vs_copy']:.1f}x",
                         f"{h['hitmap'] / 1e6:.0f} ({pct(sp['hitmap'])})", f"{h['bincount'] / 1e6:.1f} ({pct(sp['bincount'])})",
                         f"{s['hitmap_vs_bincount']:.1f}x", str(s["recorder_dropped"]["alone"])])
        parts.append("Sinks, dd-toa-tot synthetic data (M hits/s taken in, spread in brackets; Recorder: pulled in "
                     "batches by a Python thread that stores them, or counts their hits and lets them go)\n" + table(
            ["hits/delivery", "Recorder", "Recorder, batches let go", "callable data.copy()", "Recorder / copy", "HitMap",
             "callable np.bincount",
             "HitMap / bincount", "Recorder drops (most)"], rows))
        if "fresh_memory" in r:
            f = r["fresh_memory"]
            parts[-1] += (f"\nFor scale: one thread copying into arrays it has just allocated (4 MB each, kept) writes "
                          f"{f['hits_per_second'] / 1e6:.0f} M hits/s of 16 bytes ({pct(f['spread'])}), at the pace "
                          "at which the system maps them (fresh 4 KB pages): what a callable keeping copies pays too.")
        if "new_memory" in r:
            m = r["new_memory"]
            parts[-1] += ("\nAnd one C thread of the harness, nothing else running, writes hits into memory new to "
                          "the process (4 MB runs mapped in whole, kept) at " +
                          " and ".join(f"{v['hits_per_second'] / 1e6:.0f} M hits/s on {p} pages ({pct(v['spread'])})"
                                       for p, v in m.items()) +
                          ". Memory that the process gave back moments before is mapped again faster (a "
                          "virtual machine returns it to its host only after a while), so a stored reader's figure "
                          "depends on what ran before it.")
        rows = []
        for hits, s in r["sinks"].items():
            for v in BUSY_VARIANTS:
                rows.append([f"{int(hits):,}", SINK_NAMES[v],
                             f"{s['hits_per_second'][v] / 1e6:.1f}", f"{s['busy_hits_per_second'][v] / 1e6:.2f}",
                             pct(s["busy_spread"][v]), pct(s["kept_when_busy"][v]),
                             pct(s["kept_beside_a_process"].get(v, float("nan")))])
        parts.append("The same while the main thread runs a pure-Python loop (M hits/s), and the share kept while "
                     "another process runs one instead (a core taken, the interpreter lock free)\n" + table(
            ["hits/delivery", "taken in by", "alone", "beside the loop", "spread", "kept", "kept beside a process"], rows))
    if r["methods"]:
        rows = [[k, f"{m['vs_c']:.2f}x", f"{m['ctypes_vs_package']:.1f}x", f"{m['package_ns']:.0f}", f"{m['c_ns']:.0f}",
                 f"{m['ctypes_ns']:.0f}", pct(m["spread"])] for k, m in r["methods"].items()]
        parts.append("Method calls (ns per call, loop overhead removed)\n" +
                     table(["method", "package / C", "ctypes / package", "package", "hand-written C", "ctypes", "spread"], rows))
    if r["generation"]:
        rows = [[k, f"{g['delivered_hits_per_second'] / 1e6:.0f} ({pct(g['spread'])})",
                 f"{g['cpu_hits_per_second'] / 1e6:.0f} ({pct(g['cpu_spread'])})", f"{g['pool_build_seconds']:.2f}",
                 f"{g['hits_per_delivery']:,}"] for k, g in r["generation"].items()]
        parts.append("Virtual device, synthetic data made afresh for every delivery (one library thread; spread in "
                     "brackets)\n" + table(["mode", "M hits/s delivered", "M hits/s per CPU second",
                                              "pool built in (s)", "hits per delivery"], rows))
    if r.get("recording"):
        parts.append(recording.report(r["recording"]))
    if r.get("clusters"):
        parts.append(clusters.report(r["clusters"]))
    if r.get("stream"):
        parts.append(stream.report(r["stream"]))
    rows = [[name, value, "met" if ok else "MISSED"] for name, value, ok in targets(r)]
    parts.append("Targets\n" + table(["target", "measured", ""], rows))
    return "\n\n".join(parts)


PARTS = {"deliveries": deliveries, "sizes": sizes, "sinks": sink_part, "methods": method_calls, "generation": generation,
         "recording": recording.measure, "clusters": clusters.measure,
         "stream": stream.measure}


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--json", type=Path, default=Path(__file__).resolve().parent / "results.json",
                   help="where the figures go (default bench/results.json)")
    p.add_argument("--repeat", type=int, default=15, help="samples of every measurement (rounds)")
    p.add_argument("--deliveries", type=int, default=20_000, help="deliveries per sample")
    p.add_argument("--hits", type=int, default=1000, help="hits per delivery in the per-kind samples")
    p.add_argument("--calls", type=int, default=100_000, help="method calls per sample")
    p.add_argument("--sink-repeat", type=int, default=5, help="samples of every sink measurement (rounds)")
    p.add_argument("--sink-window", type=float, default=0.25,
                   help="seconds of steady state measured per sink sample")
    p.add_argument("--recorder-capacity", type=int, default=1 << 23,
                   help="records of the measured Recorder (10 ms at 800 M hits/s: a reader beside a busy thread "
                        "waits up to 5 ms for the interpreter lock)")
    p.add_argument("--generation-hits", type=int, default=1_000_000, help="hits per synthetic delivery")
    p.add_argument("--generation-deliveries", type=int, default=40, help="synthetic deliveries per sample")
    p.add_argument("--kind", choices=list(KINDS), action="append", help="measure only these kinds of delivery")
    recording.add_arguments(p)
    clusters.add_arguments(p)
    stream.add_arguments(p)
    p.add_argument("--only", choices=list(PARTS), action="append", help="run only these parts (may be given more than once)")
    args = p.parse_args(argv)
    parts = args.only or list(PARTS)

    zorvsim.reset()
    ideal_detector()
    dev = zorv.Device()
    dev.open("zorvsim:0")
    samples: dict = {part: {} for part in PARTS}
    try:
        for part, fn in PARTS.items():
            if part in parts:
                print(f"measuring {part} ...", file=sys.stderr, flush=True)
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
                    "processor": platform.processor() or platform.machine(), "cpus": os.cpu_count(),
                    "load_average": os.getloadavg()},
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
