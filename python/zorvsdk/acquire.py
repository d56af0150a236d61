"""Acquire hits from a detector and write a hit map (a figure) and, on request, the hits (HDF5).

Opens a device (the first attached by default), applies the settings given (a configuration
document, DAC values, thresholds, bias voltages), selects a readout mode that delivers hits and
acquires on one channel for a duration or a number of deliveries, or until the acquisition ends by
itself, whichever comes first. A progress bar shows the hits written, their rate and the time left,
and then the writing of what is still held; Ctrl-C, SIGTERM and SIGHUP stop the acquisition and
still write every output for the data taken so far (exit status 128 + the signal's number: 130
for Ctrl-C).

The SDK's threads only copy each delivery into bounded memory, so that slow disks never hold up
the device: with --hdf5 into the native writer's (zorvsdk.nexus), whose own threads count the maps,
compress the hits and append them to the file without Python per delivery; without it into a
Recorder, whose deliveries a thread of the command counts into the hit map. Deliveries that find
the memory full are dropped, counted and reported.

Outputs: the hit map as a figure (pixel axes with the detector's row 0 at the bottom, as the
pixel addresses y * width + x number them; a logarithmic colour scale of hits per pixel) and with
--hdf5 a NeXus file of event data holding every hit (pixel id, time, ToT), the deliveries' times,
the TDC time stamps, the hit and ToT maps, and the device, the readout mode, the settings (DACs,
thresholds, bias, temperatures) with their units. The outputs' paths are checked before anything is acquired. A
device error, or an output that cannot be written, ends the command with a one-line message and
exit status 1; bad arguments with exit status 2. Standard output closed early (| head) does not
stop the run: its outputs are written, and the exit status is 141, as for a broken pipe.

With --stream the hits are also sent to receivers on other machines while they are acquired:
ev44 messages over ZeroMQ (zorvsdk.stream; zorvsdk-receive writes the same outputs there), published
to every subscriber, or with --stream-pattern push shared among the receivers. A receiver that falls
behind loses whole messages, which it sees as gaps in their ids; the device is never held up.

With --clusters the hits are also grouped into clusters (particles) while they are acquired: the
clusters go into the HDF5 file (their own group, with units) and into a second figure: the
centroid image at a quarter of a pixel, the cluster sizes and the energy spectrum (with
--calibration, the chips' ToT calibration; without it, the summed ToT).

    zorvsdk-acquire --seconds 5 --output hitmap.png --hdf5 run.h5
    zorvsdk-acquire --clusters --calibration chips.json --hdf5 run.h5
    zorvsdk-acquire --stream tcp://*:5556 --seconds 60     # receivers: zorvsdk-receive tcp://host:5556
    python -m zorvsdk.acquire --threshold 0:threshold=5.5 --bias hv=100 --deliveries 100
"""

from __future__ import annotations

import argparse
import datetime
import io
import math
import os
import queue
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Protocol, TextIO, cast

import numpy as np

import zorvsdk
from zorvsdk import dtypes
from zorvsdk.errors import ZorvSdkException
from zorvsdk.sinks import Clusterer, HitMap, Recorder, Streamer
from zorvsdk.zorv import Device, DeviceDescriptor, getRuntimeVersion

if TYPE_CHECKING:
    from numpy.typing import NDArray

PROG = "zorvsdk-acquire"
# The readout modes whose deliveries are hits with a pixel address, ToT and ToA; the first is the
# default.
HIT_MODES = tuple(sorted(dtypes.HIT_MODES, key=lambda mode: mode != "0:tpx3-dd-toa-tot"))
DEFAULT_SECONDS = 10.0
DEFAULT_BUFFER = 1 << 23  # hits held between the SDK's threads and the writer (128 MiB)
POLL = 0.1  # seconds between looks at the acquisition from the main thread
# Ctrl-C, a batch scheduler's request to stop, a lost terminal: each stops the acquisition.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
BROKEN_PIPE = 128 + signal.SIGPIPE  # the shell's status of a program whose output was closed early
INT32 = (-(1 << 31), (1 << 31) - 1)  # the SDK's integer settings (DACs, raw thresholds)


def signalled(signum: int) -> int:
    """The shell's exit status of a program stopped by a signal."""
    return 128 + signum


class CommandError(Exception):
    """A failure of the command's own (no such device or channel, an output that cannot be
    written), reported in one line."""


# ---------------------------------------------------------------------------------------------
# Standard output and error, and the signals that stop the command

class _Guarded(io.TextIOBase):
    """A text stream that outlives its reader: once a write finds the pipe closed (``| head``),
    the rest is dropped and the descriptor points at /dev/null, so that neither the run nor the
    interpreter's last flush fails on it."""

    def __init__(self, stream: TextIO | None) -> None:
        super().__init__()
        self.stream = stream  # None: the interpreter started with the descriptor closed
        self.broken = False

    def write(self, text: str) -> int:
        self._guard(lambda stream: (stream.write(text), stream.flush()))
        return len(text)

    def flush(self) -> None:
        self._guard(lambda stream: stream.flush())

    def _guard(self, act: Callable[[TextIO], object]) -> None:
        if self.broken or self.stream is None:
            return
        try:
            act(self.stream)
        except BrokenPipeError:
            self.broken = True
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, self.stream.fileno())
                os.close(devnull)
            except (OSError, ValueError):  # a stream without a descriptor of its own
                pass

    def fileno(self) -> int:
        if self.stream is None:
            raise io.UnsupportedOperation("fileno")
        return self.stream.fileno()

    def isatty(self) -> bool:
        return not self.broken and self.stream is not None and self.stream.isatty()

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return "utf-8" if self.stream is None else self.stream.encoding


class Console:
    """Standard output and error of one run of the command, each guarded against a reader that
    goes away: the run goes on and writes its files."""

    def __enter__(self) -> Console:
        self.saved = sys.stdout, sys.stderr
        self.out, self.err = _Guarded(sys.stdout), _Guarded(sys.stderr)
        sys.stdout, sys.stderr = cast(TextIO, self.out), cast(TextIO, self.err)
        return self

    def __exit__(self, *exc: object) -> None:
        sys.stdout, sys.stderr = self.saved

    @property
    def broken(self) -> bool:
        return self.out.broken or self.err.broken


class Interrupted(KeyboardInterrupt):
    """A stop signal that ends the command before the acquisition has begun, or a second one."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class StopSignals:
    """Ctrl-C, SIGTERM and SIGHUP while the command runs (a signal that was ignored when it started,
    as under nohup or in a background job, stays ignored). The first signal is only noted, never
    raised where it lands: before the acquisition, `check` and `arm` end the command between its
    steps (`Interrupted`); once armed, the acquisition stops and the data taken are written, with
    every output. A second signal ends the command at once, wherever it is."""

    def __init__(self) -> None:
        self.received: int | None = None  # the first signal
        self._armed = False
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> StopSignals:
        if threading.current_thread() is threading.main_thread():  # only there can Python handle them
            for signum in STOP_SIGNALS:
                if signal.getsignal(signum) in (signal.SIG_DFL, signal.default_int_handler):
                    self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, frame: object) -> None:
        if self.received is not None:
            raise Interrupted(signum)
        self.received = signum

    def check(self) -> None:
        """Ends the command if a signal came before the acquisition."""
        if self.received is not None and not self._armed:
            raise Interrupted(self.received)

    def arm(self) -> None:
        """From here on the first signal stops the acquisition and keeps its data."""
        self.check()
        self._armed = True


# ---------------------------------------------------------------------------------------------
# From the SDK's threads to the writer: a Recorder copies each delivery into its ring without the
# interpreter lock; the writer thread takes them out, writes them and feeds the HitMap.

def make_map(width: int, height: int) -> HitMap:
    """The hit map that the writer feeds, for the detector's size as the device reports it."""
    try:
        return HitMap(width, height)
    except (ValueError, MemoryError) as e:
        raise CommandError(f"cannot map the device's {width} x {height} pixels: {e}") from None


def as_hits(mode: str, delivery: tuple[Any, ...]) -> NDArray[Any]:
    """The hits of one delivery of a hit mode as toa_tot records (an empty place gives none)."""
    if len(dtypes.MODES[mode]) == 1:  # records, else the address, ToA and ToT vectors
        data = delivery[0]
        return data if len(data) else np.empty(0, dtype=dtypes.TOA_TOT)
    addresses, toas, tots = delivery[:3]
    hits = np.empty(len(addresses), dtype=dtypes.TOA_TOT)
    if len(hits):
        hits["address"], hits["toa"], hits["tot"] = addresses, toas, tots
    return hits


# ---------------------------------------------------------------------------------------------
# The HDF5 file

HIT_UNITS = {
    "address": "pixel index y * width + x",
    "tot": "ToT tick of the chip",
    "toa": "ToA tick of 1.5625 ns",
}
# Per delivery: the index of its first hit, its hit count and, in the data-driven modes, the
# shutter's rising time.
DELIVERY = [("first", "<u8"), ("count", "<u8")]
SHUTTER = [("shutterStart", "<u8")]
CHUNK = 1 << 16


class HitsOutput(Protocol):
    """The file of hits as the command uses it. ``add`` may hand the rows to threads of the
    output's own; ``written`` and ``pending`` then tell how far they are."""

    def add(self, hits: NDArray[Any], metadata: dict[str, Any] | None) -> None:
        """Appends one delivery: its hits and, in the data-driven modes, its metadata."""

    def written(self) -> tuple[int, int]:
        """The deliveries and hits in the file so far."""

    def pending(self) -> int:
        """The deliveries added and not yet in the file."""

    def close(self, counts: NDArray[Any], tot: NDArray[Any], totals: dict[str, Any]) -> None:
        """Writes what is pending, the hit and ToT maps and the totals, and closes the file."""

    def abandon(self) -> None:
        """Closes the file as it is, after a failure or a second stop signal."""


class Hdf5Output:
    """Hits appended delivery by delivery to resizable, compressed datasets; the maps and the
    totals written at the end. Writes in ``add``: nothing is ever pending."""

    def __init__(self, path: Path, attrs: dict[str, Any], settings: dict[str, dict[str, Any]], metadata: bool) -> None:
        import h5py  # type: ignore[import-untyped,unused-ignore]

        self.file = h5py.File(path, "w")
        self.file.attrs.update(attrs)
        group = self.file.create_group("settings")
        for name, values in settings.items():
            group.create_group(name).attrs.update(values)

        def dataset(name: str, dtype: Any, units: dict[str, str]) -> Any:
            ds = self.file.create_dataset(name, shape=(0,), maxshape=(None,), dtype=dtype, chunks=(CHUNK,),
                                          compression="gzip", shuffle=True)
            ds.attrs.update({f"unit_{k}": v for k, v in units.items()})
            return ds

        self.hits = dataset("hits", dtypes.TOA_TOT, HIT_UNITS)
        self.delivery = np.dtype(DELIVERY + SHUTTER if metadata else DELIVERY)
        self.deliveries = dataset("deliveries", self.delivery, {"shutterStart": HIT_UNITS["toa"]} if metadata else {})
        self.tdcs = [dataset(f"tdc{i}", dtypes.TDC_STAMP, {"stamp": HIT_UNITS["toa"]}) for i in
                     range(3)] if metadata else []
        self._written = (0, 0)

    @staticmethod
    def _append(ds: Any, rows: NDArray[Any]) -> None:
        n = ds.shape[0]
        ds.resize((n + len(rows),))
        ds[n:] = rows

    def add(self, hits: NDArray[Any], metadata: dict[str, Any] | None) -> None:
        first = self.hits.shape[0]
        if len(hits):
            self._append(self.hits, hits)
        row = (first, len(hits), metadata["shutterStart"]) if metadata else (first, len(hits))
        self._append(self.deliveries, np.array([row], dtype=self.delivery))
        for ds, stamps in zip(self.tdcs, metadata["tdcs"] if metadata else ()):
            if len(stamps):
                self._append(ds, stamps)
        self._written = (self.deliveries.shape[0], self.hits.shape[0])

    def written(self) -> tuple[int, int]:
        return self._written

    def pending(self) -> int:
        return 0

    def close(self, counts: NDArray[Any], tot: NDArray[Any], totals: dict[str, Any]) -> None:
        for name, image, unit in (("hitmap", counts, "hits"), ("totmap", tot, "ToT tick of the chip")):
            ds = self.file.create_dataset(name, data=image, compression="gzip", shuffle=True)
            ds.attrs.update({"unit": unit, "axes": "row y, column x of the pixel address y * width + x"})
        self.file.attrs.update(totals)
        self.file.close()

    def abandon(self) -> None:
        """Closes the file as it is, after a failure."""
        self.file.close()


# ---------------------------------------------------------------------------------------------
# The writer thread

class Writer(threading.Thread):
    """Takes the deliveries from the recorder, counts their hits into the map and adds them to the
    output. After ``finish()`` it takes what is still held, then ends; after ``stop()`` it ends
    without it."""

    def __init__(self, capture: Recorder, pixels: HitMap, mode: str, output: HitsOutput | None,
                 limit: int | None) -> None:
        super().__init__(name="zorvsdk-acquire writer", daemon=True)
        self.capture, self.pixels, self.mode, self.output, self.limit = capture, pixels, mode, output, limit
        self.deliveries = 0
        self.hits = 0
        self._counted = (0, 0)
        self.error: BaseException | None = None
        self._finish = threading.Event()
        self._leave = threading.Event()

    def finish(self) -> None:
        self._finish.set()

    def stop(self) -> None:
        self._leave.set()
        self._finish.set()

    def run(self) -> None:
        try:
            while not self._leave.is_set() and (self.limit is None or self.deliveries < self.limit):
                finishing = self._finish.is_set()  # read first: all held deliveries came before it
                try:
                    delivery = self.capture.get(timeout=0 if finishing else POLL)
                except queue.Empty:
                    if finishing:
                        return
                    continue
                self.take(delivery)
        except BaseException as e:  # handed to the main thread, which stops the acquisition
            self.error = e

    def take(self, delivery: tuple[Any, ...]) -> None:
        hits = as_hits(self.mode, delivery)
        metadata = delivery[-1] if isinstance(delivery[-1], dict) else None
        if len(hits):
            self.pixels(hits)
        if self.output is not None:
            self.output.add(hits, metadata)
        self.hits += len(hits)
        self.deliveries += 1
        self._counted = (self.deliveries, self.hits)  # read by other threads at once

    def written(self) -> tuple[int, int]:
        """The deliveries and hits that reached the output (without a file: the map) so far."""
        return self.output.written() if self.output is not None else self._counted

    def pending(self) -> int:
        """The deliveries taken in and not yet written: held by the recorder, or by the output."""
        return self.capture.delivered - self.deliveries + (self.output.pending() if self.output is not None else 0)

    def drained(self, timeout: float) -> bool:
        """Waits up to `timeout` seconds for the end of the writing; whether it has ended."""
        self.join(timeout)
        return not self.is_alive() and (self.output is None or self.output.pending() == 0)

    @property
    def dropped(self) -> int:
        """Deliveries that found the recorder full."""
        return self.capture.dropped

    def maps(self) -> tuple[NDArray[Any], NDArray[Any], int]:
        """The hit map, the ToT map and the hits outside them."""
        return self.pixels.counts(), self.pixels.tot(), self.pixels.outside

    def close(self, counts: NDArray[Any], tot: NDArray[Any], totals: dict[str, Any]) -> None:
        if self.output is not None:
            self.output.close(counts, tot, totals)

    def abandon(self) -> None:
        if self.output is not None:
            self.output.abandon()


class NativeWriter:
    """The native writer (zorvsdk.nexus) in the writer thread's place: the SDK's threads hand every
    delivery to its sink, and its own threads count the maps and write the NeXus file, so that no
    Python runs per delivery. It answers what the command asks of a :class:`Writer`."""

    def __init__(self, path: Path, attrs: dict[str, Any], settings: dict[str, dict[str, Any]], mode: str,
                 capacity: int, limit: int | None, clusters: bool = False) -> None:
        from zorvsdk.nexus import NexusWriter

        self.nexus = NexusWriter(path, width=attrs["width"], height=attrs["height"], mode=mode, attrs=attrs,
                                 settings=settings, capacity=capacity, deliveries=limit, clusters=clusters)
        self.capture = self.nexus.sink

    @property
    def deliveries(self) -> int:
        return int(self.nexus.delivered)

    @property
    def hits(self) -> int:
        return int(self.nexus.hits)

    @property
    def dropped(self) -> int:
        return int(self.nexus.dropped)

    @property
    def error(self) -> BaseException | None:
        failure = self.nexus.error
        return None if failure is None else OSError(f"{self.nexus.path}: {failure}")

    def start(self) -> None:
        pass  # its threads run from the start

    def finish(self) -> None:
        self.nexus.finish(timeout=0)  # no more deliveries; what is held is written meanwhile

    def drained(self, timeout: float) -> bool:
        return bool(self.nexus.finish(timeout=timeout))

    def stop(self) -> None:
        if not self.nexus.sink.done:  # a failure or a second signal: nothing more is written
            self.nexus.abandon()

    def join(self) -> None:
        pass

    def written(self) -> tuple[int, int]:
        return int(self.capture.deliveries_written), int(self.capture.written)

    def pending(self) -> int:
        return int(self.capture.delivered) - int(self.capture.deliveries_written)

    def maps(self) -> tuple[NDArray[Any], NDArray[Any], int]:
        counts, tot = self.capture.maps()
        return counts, tot, int(self.capture.outside)

    def close(self, counts: NDArray[Any], tot: NDArray[Any], totals: dict[str, Any]) -> None:
        self.nexus.close(totals)

    def abandon(self) -> None:
        self.nexus.abandon()


class Clusters(threading.Thread):
    """The clusters of the acquisition: a Clusterer registered in the writer's place hands every
    delivery on to the writer's sink; this thread takes the clusters, appends them to the NeXus
    file and adds them into the histograms of the second figure."""

    SUBPIXEL = 4  # bins per pixel of the centroid image, each way
    SIZES = 64  # the last bin of the sizes: this many hits and more
    KEV_BIN, MAX_KEV = 0.25, 100.0
    TOT_BIN, MAX_TOT = 10, 20_000

    def __init__(self, width: int, height: int, chips: int, calibration: list[Any] | None, then: Any,
                 capacity: int, nexus: Any) -> None:
        super().__init__(name="zorvsdk-acquire clusters", daemon=True)
        side = int(round(math.sqrt(width * height / chips))) if chips else 0
        square = side > 0 and width % side == 0 and height % side == 0  # square chips, row by row
        cw, ch = (side, side) if square else (width, height)
        if calibration is not None and len(calibration) > (width // cw) * (height // ch):
            raise CommandError(f"--calibration has {len(calibration)} chips, the device {chips}")
        try:
            self.clusterer = Clusterer(width, height, chip_width=cw, chip_height=ch, calibration=calibration,
                                       capacity=capacity, then=then)
        except (TypeError, ValueError) as e:
            raise CommandError(f"--calibration: {e}") from None
        self.nexus, self.calibrated = nexus, calibration is not None
        self.width, self.height = width, height
        self.image = np.zeros((height * self.SUBPIXEL, width * self.SUBPIXEL), np.uint32)
        self.sizes = np.zeros(self.SIZES + 1, np.int64)
        top, step = (self.MAX_KEV, self.KEV_BIN) if self.calibrated else (self.MAX_TOT, self.TOT_BIN)
        self.edges = np.arange(0.0, top + step, step)
        self.spectrum = np.zeros(len(self.edges) - 1, np.int64)
        self.count = 0
        self.error: BaseException | None = None
        self._ending = threading.Event()

    def run(self) -> None:
        try:
            while not self._ending.is_set():
                self._take(0.1)
            while not self.clusterer.flush(1.0):  # the acquisition ended: every cluster closes
                self._take(0)
            self._take(0)
        except BaseException as e:  # handed to the main thread
            self.error = e

    def _take(self, timeout: float) -> None:
        try:
            part = self.clusterer.get(timeout=timeout)
        except queue.Empty:
            return
        if self.nexus is not None:
            self.nexus.append_clusters(part)
        s = self.SUBPIXEL
        col = np.clip(np.floor((part["x"] + 0.5) * s).astype(np.int64), 0, self.width * s - 1)
        row = np.clip(np.floor((part["y"] + 0.5) * s).astype(np.int64), 0, self.height * s - 1)
        self.image += np.bincount(row * self.image.shape[1] + col, minlength=self.image.size).reshape(
            self.image.shape).astype(np.uint32)
        self.sizes += np.bincount(np.minimum(part["size"], self.SIZES), minlength=self.SIZES + 1)
        self.spectrum += np.histogram(part["kev"] if self.calibrated else part["tot_sum"], self.edges)[0]
        self.count += len(part)

    def finish(self) -> None:
        """The acquisition has ended: the thread closes every cluster, takes them and ends."""
        self._ending.set()


# ---------------------------------------------------------------------------------------------
# Device settings

def parse_setting(kind: Callable[[str], float | int]) -> Callable[[str], tuple[str, float | int]]:
    """An argparse type for ID=VALUE (the identifier may itself contain ':')."""

    def parse(text: str) -> tuple[str, float | int]:
        ident, sep, value = text.rpartition("=")
        if not sep or not ident:
            raise argparse.ArgumentTypeError(f"expected ID=VALUE, got {text!r}")
        try:
            return ident, kind(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{value!r} is not a valid {kind.__name__}") from None

    parse.__name__ = "ID=VALUE"
    return parse


def int32(text: str) -> int:
    """An integer setting as the SDK takes it (DACs, raw thresholds): 32 bits with a sign."""
    value = int(text)
    if not INT32[0] <= value <= INT32[1]:
        raise argparse.ArgumentTypeError(f"{value} is outside the SDK's 32-bit integers ({INT32[0]} to {INT32[1]})")
    return value


CONFIG_KINDS = {".yml": "yml", ".yaml": "yml", ".xml": "xml"}


def config_file(text: str) -> tuple[Path, str]:
    """An argparse type: a configuration document's path and its kind, told by its suffix."""
    path = Path(text)
    kind = CONFIG_KINDS.get(path.suffix.lower())
    if kind is None:
        raise argparse.ArgumentTypeError(f"cannot tell the kind of {text!r}: name it .yml, .yaml or .xml")
    return path, kind


def apply_settings(device: Device, args: argparse.Namespace) -> None:
    """The configuration document first, then the single values, which take precedence."""
    if args.config is not None:
        path, kind = args.config
        try:
            text = path.read_text(encoding="utf-8")
        except UnicodeDecodeError as e:
            raise CommandError(f"{path} is not UTF-8 text: {e.reason} at byte {e.start}") from None
        device.config.load(kind, text)
    for name, value in args.dac:
        device.chip.setDacValue(name, value)
    for ident, kev in args.threshold:
        device.chip.setThreshold(ident, kev)
    for ident, raw in args.raw_threshold:
        device.chip.setRawThreshold(ident, raw)
    for ident, volts in args.bias:
        device.bias.setBias(ident, volts)


def read_settings(device: Device) -> dict[str, dict[str, Any]]:
    """DACs, thresholds (keV where calibrated, NaN elsewhere), bias voltages and temperatures, with
    their units; reals as the single-precision values the SDK reports."""
    chip, bias, cooling = device.chip, device.bias, device.cooling
    thresholds = chip.getThresholdIds()
    coolers = cooling.getIds()
    return {
        "dacs": {name: chip.getDacValue(name) for name in chip.getDacIds()},
        "thresholds": {"unit": "keV", **{t: np.float32(chip.getThreshold(t) if chip.isThresholdCalibrated(t) else
                                                       np.nan) for t in thresholds}},
        "rawThresholds": {t: chip.getRawThreshold(t) for t in thresholds},
        "bias": {"unit": "V", **{b: np.float32(bias.getBias(b)) for b in bias.getBiasIds()}},
        "temperature": {**{c: np.float32(cooling.getActualTemperature(c)) for c in coolers},
                        **{f"unit_{c}": cooling.getValueUnit(c) for c in coolers}},
    }


# ---------------------------------------------------------------------------------------------
# The acquisition

@dataclass
class Run:
    """What one acquisition took, for the outputs and the summary."""

    descriptor: DeviceDescriptor
    mode: str
    channel: str
    width: int
    height: int
    seconds: float = 0.0
    deliveries: int = 0
    hits: int = 0
    dropped: int = 0
    outside: int = 0
    signal: int | None = None  # the stop signal that ended the acquisition
    ended_by_device: bool = False  # before the duration or delivery count asked for
    asked: str = ""  # the duration or delivery count asked for, as text
    counts: NDArray[Any] = field(default_factory=lambda: np.zeros((0, 0), dtype=np.uint64))
    clusters: Clusters | None = None
    streamer: Streamer | None = None
    streamed: bool = True  # every message reached the stream's socket when it closed

    @property
    def interrupted(self) -> bool:
        return self.signal is not None


def choose_device(device: Device, locator: str | None) -> DeviceDescriptor:
    descriptors = device.enumerate()
    if locator is None:
        if not descriptors:
            raise CommandError("no device attached")
        return descriptors[0]
    for d in descriptors:
        if d.connectionString == locator:
            return d
    known = ", ".join(d.connectionString for d in descriptors) or "none"
    raise CommandError(f"no device {locator!r} attached (attached: {known})")


def acquire(args: argparse.Namespace, capture: Recorder | None, stop: StopSignals) -> Run:
    """Runs the acquisition that the arguments describe into `capture` and writes the HDF5 file."""
    with Device() as device:
        descriptor = choose_device(device, args.device)
        device.open(descriptor.connectionString)
        apply_settings(device, args)
        device.chip.selectMode(args.mode)
        channels = device.acq.getChannelIds()
        if not channels:
            raise CommandError(f"the device {descriptor.connectionString} has no acquisition channel")
        channel = args.channel or channels[0]
        if channel not in channels:
            raise CommandError(f"no channel {channel!r} (channels: {', '.join(channels)})")
        width, height = device.config.getMaskSize()
        pixels = make_map(width, height)  # a detector the map cannot hold is refused before anything is made
        run = Run(descriptor, args.mode, channel, width, height,
                  asked=f"{args.deliveries} deliveries" if args.deliveries is not None else f"{args.seconds:g} s")
        started = datetime.datetime.now(datetime.timezone.utc)
        stop.arm()  # nothing written yet: a signal that came during the preparations ends the command here
        writer: Writer | NativeWriter
        if args.hdf5 is not None and args.writer == "native":
            del pixels  # the native writer counts its own maps
            writer = NativeWriter(args.hdf5, output_attrs(descriptor, run, started), read_settings(device), args.mode,
                                  args.buffer, args.deliveries, args.clusters)
        else:
            output = None if args.hdf5 is None else Hdf5Output(
                args.hdf5, output_attrs(descriptor, run, started), read_settings(device),
                args.mode in dtypes.METADATA_MODES)
            assert capture is not None
            writer = Writer(capture, pixels, run.mode, output, args.deliveries)
        head: Any = writer.capture
        if args.stream is not None:
            run.streamer = head = make_streamer(args, width, height, descriptor, writer.capture)
        if args.clusters:
            nexus = writer.nexus if isinstance(writer, NativeWriter) else None
            run.clusters = Clusters(width, height, len(device.chip.getChipIds()), args.calibration, head,
                                    args.buffer, nexus)
        try:
            take(device, run, writer, args, stop)
        except BaseException:
            writer.abandon()
            if run.streamer is not None:
                run.streamer.close(0)
            raise
    return run


STREAM_CLOSE = 10.0  # seconds the stream's last messages have to reach the receivers


def make_streamer(args: argparse.Namespace, width: int, height: int, descriptor: DeviceDescriptor,
                  then: Any) -> Streamer:
    """The stream of the hits, bound at its endpoint; every delivery goes on to `then`."""
    try:
        return Streamer(args.stream, source=args.stream_source or descriptor.connectionString,
                        pattern=args.stream_pattern, width=width, height=height, then=then)
    except (OSError, ValueError) as e:
        raise CommandError(f"--stream {args.stream}: {e}") from None


def output_attrs(descriptor: DeviceDescriptor, run: Run, started: datetime.datetime) -> dict[str, Any]:
    """The attributes of the HDF5 file's root: the device, the SDK and the package, the run."""
    return {**descriptor._asdict(), "sdkVersion": list(getRuntimeVersion()), "zorvsdk": zorvsdk.__version__,
            "mode": run.mode, "channel": run.channel, "width": run.width, "height": run.height,
            "startTime": started.isoformat()}


def take(device: Device, run: Run, writer: Writer | NativeWriter, args: argparse.Namespace, stop: StopSignals) -> None:
    """The acquisition itself, from registration to the totals, into `run` and the writer's output."""
    clusters = run.clusters
    head = clusters.clusterer if clusters is not None else run.streamer if run.streamer is not None else writer.capture
    device.acq.setDataCallback(run.channel, head)
    writer.start()
    if clusters is not None:
        clusters.start()
    try:
        follow(device, run, writer, args, stop)
    finally:
        if clusters is not None:  # the clusters reach the file before it closes
            clusters.finish()
            clusters.join()
        writer.stop()  # it has ended, unless this is a failure or a second signal: then nothing more is written
        writer.join()
        if run.streamer is not None:  # the last messages go out
            run.streamed = run.streamer.close(STREAM_CLOSE)
    if writer.error is not None:
        raise writer.error
    if clusters is not None and clusters.error is not None:
        raise clusters.error
    run.deliveries, run.hits, run.dropped = writer.deliveries, writer.hits, writer.dropped
    run.counts, tot, run.outside = writer.maps()
    writer.close(run.counts, tot, {
        "seconds": run.seconds, "deliveries": run.deliveries, "hits": run.hits,
        "droppedDeliveries": run.dropped, "outsideHits": run.outside, "interrupted": run.interrupted})


def follow(device: Device, run: Run, writer: Writer | NativeWriter, args: argparse.Namespace, stop: StopSignals) -> None:
    """Begins the acquisition and watches it from this thread until it ends by itself, reaches the
    duration or the delivery count, or a stop signal comes; stops it, and waits for the writer to
    write everything taken. The progress bar is up all along. Sets the run's seconds, the signal
    that stopped it and whether the device ended it by itself. The SDK's wait for the end runs on
    a thread of its own, so that this thread stays free to show progress and to take signals."""
    ended = threading.Event()
    failure: list[BaseException] = []

    def wait() -> None:
        try:
            device.acq.end(run.channel)
        except BaseException as e:  # handed to the main thread
            failure.append(e)
        finally:
            ended.set()

    progress = Progress(args)
    try:
        start = time.monotonic()
        device.acq.begin(run.channel)
        waiter = threading.Thread(target=wait, name="zorvsdk-acquire end", daemon=True)
        waiter.start()
        by_device = True
        try:
            print(f"acquiring {args.mode} on {run.channel} (Ctrl-C stops and keeps the data)", flush=True)
            while not ended.wait(POLL):
                elapsed = time.monotonic() - start
                progress.show(elapsed, writer)
                if stop.received is not None or writer.error is not None or (
                        args.seconds is not None and elapsed >= args.seconds) or (
                        args.deliveries is not None and writer.deliveries >= args.deliveries):
                    by_device = False
                    break
        finally:
            if not ended.is_set():
                device.acq.abort(run.channel)
            waiter.join()
        run.seconds = time.monotonic() - start
        run.signal, run.ended_by_device = stop.received, by_device
        if failure:
            raise failure[0]
        writer.finish()
        while not writer.drained(POLL):
            progress.show(run.seconds, writer, "writing")
        progress.show(run.seconds, writer, "written")  # the summary's figures
    finally:
        progress.close()


class Progress:
    """A progress bar over the duration, or over the deliveries when a count is asked for, with
    the deliveries and hits written and their rate; tqdm shows the time left. Once the acquisition
    has stopped it shows the writing of what is still held, and at last the summary's figures."""

    ACQUIRING = "{desc}: {percentage:3.0f}%|{bar}| {elapsed} elapsed, {remaining} left{postfix}"
    STOPPED = "{desc}: {elapsed} elapsed{postfix}"

    def __init__(self, args: argparse.Namespace) -> None:
        self.bar: Any = None
        self.by_count = args.deliveries is not None
        if args.quiet:
            return
        from tqdm import tqdm

        total, unit = (args.deliveries, " deliveries") if self.by_count else (args.seconds, " s")
        self.bar = tqdm(total=total, unit=unit, desc="acquiring", leave=True, dynamic_ncols=True,
                        bar_format=self.ACQUIRING)

    def show(self, seconds: float, writer: Writer | NativeWriter, stage: str = "acquiring") -> None:
        """One frame of a stage, "acquiring", "writing" (what is held) or "written", after `seconds`
        of acquisition."""
        if self.bar is None:
            return
        deliveries, hits = writer.written()
        figures = f"{deliveries} deliveries, {hits:,} hits written, "
        if stage == "writing":
            figures += f"{writer.pending():,} deliveries still to write"
        else:
            figures += f"{hits / seconds if seconds > 0 else 0.0:,.0f} hits/s"
        if stage == "acquiring":
            self.bar.n = min(deliveries if self.by_count else round(seconds, 1), self.bar.total)
        else:
            self.bar.bar_format = self.STOPPED
        self.bar.set_description_str(stage, refresh=False)
        self.bar.set_postfix_str(figures)  # refreshes

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---------------------------------------------------------------------------------------------
# The figure and the summary

def interruption(signum: int | None) -> str:
    """A stop signal in words ("" for none); Ctrl-C, the usual one, goes without its name."""
    if signum is None:
        return ""
    return "interrupted" if signum == signal.SIGINT else f"interrupted by {signal.Signals(signum).name}"


def title_of(run: Run) -> str:
    d = run.descriptor
    how = f"{interruption(run.signal)} after" if run.interrupted else "in"
    return (f"{d.product} {d.serialNumber} ({d.connectionString}), {run.mode}\n"
            f"{run.hits:,} hits {how} {run.seconds:.2f} s, {run.width} x {run.height} pixels")


def write_figure(path: Path, kind: str, run: Run) -> None:
    """The hit map with pixel axes (row 0 at the bottom) and a logarithmic colour bar, in the
    format `kind` (a suffix of matplotlib's)."""
    import matplotlib

    matplotlib.use("Agg")  # a file only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    counts = run.counts
    top = max(10, int(counts.max(initial=0)))
    figure, axes = plt.subplots(figsize=(7, 1.2 + 6 * min(2.0, max(0.25, run.height / max(run.width, 1)))))
    image = axes.imshow(np.ma.masked_less(counts, 1), origin="lower", cmap="viridis", interpolation="nearest",
                        norm=LogNorm(vmin=1, vmax=top), extent=(-0.5, run.width - 0.5, -0.5, run.height - 0.5))
    axes.set_facecolor("white")  # pixels without hits
    bar = axes.inset_axes((1.02, 0.0, 0.03, 1.0))  # beside the map, as tall as it
    figure.colorbar(image, cax=bar, label="hits per pixel")
    axes.set_xlabel("x (pixel)")
    axes.set_ylabel("y (pixel)")
    axes.set_title(title_of(run), fontsize=10)
    figure.savefig(path, format=kind, dpi=100, bbox_inches="tight")
    plt.close(figure)


def write_cluster_figure(path: Path, kind: str, run: Run) -> None:
    """The clusters: the centroid image at a quarter of a pixel (row 0 at the bottom, logarithmic
    colours), the cluster sizes and the energy spectrum (or the summed ToT without a calibration)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    c = run.clusters
    assert c is not None
    figure, (image_axes, size_axes, energy_axes) = plt.subplots(1, 3, figsize=(16, 5.2),
                                                                gridspec_kw={"width_ratios": [1.3, 1, 1]})
    top = max(10, int(c.image.max(initial=0)))
    image = image_axes.imshow(np.ma.masked_less(c.image, 1), origin="lower", cmap="viridis", interpolation="nearest",
                              norm=LogNorm(vmin=1, vmax=top), extent=(-0.5, run.width - 0.5, -0.5, run.height - 0.5))
    figure.colorbar(image, ax=image_axes, label=f"clusters per 1/{c.SUBPIXEL} x 1/{c.SUBPIXEL} pixel", shrink=0.8)
    image_axes.set_xlabel("centroid x (pixel)")
    image_axes.set_ylabel("centroid y (pixel)")
    image_axes.set_title("cluster centroids")
    sizes = np.arange(len(c.sizes))
    size_axes.bar(sizes[1:], c.sizes[1:], width=1.0)
    size_axes.set_yscale("log")
    size_axes.set_xlabel(f"cluster size (hits; the last bar: {c.SIZES} and more)")
    size_axes.set_ylabel("clusters")
    size_axes.set_title("cluster sizes")
    energy_axes.stairs(c.spectrum, c.edges, fill=True, alpha=0.7)
    energy_axes.set_yscale("log")
    energy_axes.set_ylim(bottom=0.8)
    if c.calibrated:
        energy_axes.set_xlabel("cluster energy (keV)")
        energy_axes.set_ylabel(f"clusters per {c.KEV_BIN:g} keV")
        energy_axes.set_title("energy spectrum")
    else:
        energy_axes.set_xlabel("summed ToT of the cluster (ToT ticks; no calibration given)")
        energy_axes.set_ylabel(f"clusters per {c.TOT_BIN} ticks")
        energy_axes.set_title("summed ToT spectrum")
    for axes in (size_axes, energy_axes):
        axes.grid(True, which="both", alpha=0.3)
    figure.suptitle(f"{title_of(run)}, {c.count:,} clusters", fontsize=10, y=1.04)
    figure.savefig(path, format=kind, dpi=100, bbox_inches="tight")
    plt.close(figure)


def summary(run: Run) -> list[str]:
    rate = run.hits / run.seconds if run.seconds > 0 else 0.0
    lines = [f"{interruption(run.signal) + ': ' if run.interrupted else ''}{run.deliveries} deliveries, {run.hits:,} hits in "
             f"{run.seconds:.3f} s ({rate:,.0f} hits/s) from {run.descriptor.connectionString}, {run.mode} on "
             f"{run.channel}"]
    hit = int(np.count_nonzero(run.counts))
    if hit:
        y, x = np.unravel_index(int(run.counts.argmax()), run.counts.shape)
        lines.append(f"{hit:,} of {run.counts.size:,} pixels hit; busiest pixel (x {x}, y {y}) with "
                     f"{int(run.counts[y, x]):,} hits")
    if run.clusters is not None:
        n = run.clusters.count
        lines.append(f"{n:,} clusters ({run.clusters.clusterer.hits / n if n else 0:.2f} hits per cluster)")
    if run.streamer is not None:
        s = run.streamer
        lines.append(f"{s.messages:,} messages streamed to {s.endpoint} ({s.pattern}, source {s.source!r}): "
                     f"{s.hits - s.dropped_hits:,} hits, {s.bytes / max(s.hits - s.dropped_hits, 1):.2f} bytes per hit")
    if run.ended_by_device:
        lines.append(f"the device ended the acquisition by itself, before the {run.asked} asked for")
    return lines


def warnings_of(run: Run) -> list[str]:
    out = []
    if run.dropped:
        out.append(f"deliveries dropped because the writer fell behind (see --buffer): {run.dropped}")
    if run.outside:
        out.append(f"hits with a pixel address outside the {run.width} x {run.height} detector: {run.outside:,}")
    if not run.hits:
        out.append("no hits were delivered")
    if run.streamer is not None and run.streamer.dropped:
        s = run.streamer
        why = "" if run.streamed else "; the receivers did not take the last ones in time"
        out.append(f"stream messages dropped because the receivers fell behind: {s.dropped:,} ({s.dropped_hits:,} hits)"
                   f"{why}")
    if run.streamer is not None and run.streamer.error is not None:
        out.append(f"the stream stopped: {run.streamer.error}")
    if run.clusters is not None and run.clusters.clusterer.dropped:
        out.append(f"deliveries not clustered because the clustering fell behind (see --buffer): "
                   f"{run.clusters.clusterer.dropped}")
    return out


# ---------------------------------------------------------------------------------------------
# The command line

def positive(kind: Callable[[str], float | int]) -> Callable[[str], float | int]:
    def parse(text: str) -> float | int:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a valid {kind.__name__}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0, got {text}")
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"must be finite, got {text}")
        return value

    parse.__name__ = kind.__name__
    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0] if __doc__ else None,
                                epilog="\n\n".join(__doc__.split("\n\n")[1:]) if __doc__ else None,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--device", metavar="LOCATOR", help="connection string of the device (default: the first attached)")
    p.add_argument("--mode", default=HIT_MODES[0], choices=HIT_MODES, help="readout mode (default: %(default)s)")
    p.add_argument("--channel", help="acquisition channel (default: the device's first)")
    stop = p.add_mutually_exclusive_group()
    stop.add_argument("--seconds", type=positive(float),
                      help=f"stop after this many seconds (default: {DEFAULT_SECONDS:g} unless --deliveries is given); "
                           "the acquisition may end sooner by itself")
    stop.add_argument("--deliveries", type=positive(int), metavar="N",
                      help="stop after N deliveries instead of after a time")
    settings = p.add_argument_group("settings applied before the acquisition, in this order")
    settings.add_argument("--config", type=config_file, metavar="FILE",
                          help="configuration document to load (.yml, .yaml or .xml)")
    settings.add_argument("--dac", type=parse_setting(int32), action="append", default=[], metavar="NAME=VALUE",
                          help="set a DAC (repeatable)")
    settings.add_argument("--threshold", type=parse_setting(float), action="append", default=[], metavar="ID=KEV",
                          help="set a calibrated threshold in keV, for example 0:threshold=5.5 (repeatable)")
    settings.add_argument("--raw-threshold", type=parse_setting(int32), action="append", default=[], metavar="ID=RAW",
                          help="set a threshold in raw units (repeatable)")
    settings.add_argument("--bias", type=parse_setting(float), action="append", default=[], metavar="ID=VOLTS",
                          help="set a bias supply in volts, for example hv=100 (repeatable)")
    out = p.add_argument_group("outputs")
    out.add_argument("--output", type=Path, default=Path("hitmap.png"), metavar="FIGURE",
                     help="hit map figure, in the format its suffix names: .png, .pdf, .svg, ... (default: %(default)s)")
    out.add_argument("--hdf5", type=Path, metavar="FILE", help="also write the hits and the settings to this HDF5 file")
    out.add_argument("--buffer", type=positive(int), default=DEFAULT_BUFFER, metavar="HITS",
                     help="hits held for the writer before deliveries are dropped (default: %(default)s)")
    out.add_argument("--clusters", action="store_true",
                     help="also group the hits into clusters: into the HDF5 file and a second figure")
    out.add_argument("--cluster-output", type=Path, default=Path("clusters.png"), metavar="FIGURE",
                     help="the clusters' figure, with --clusters (default: %(default)s)")
    out.add_argument("--calibration", type=calibration_file, metavar="FILE",
                     help="the chips' ToT calibration for the clusters' energies: a JSON list with, per chip, "
                          '{"a", "b", "c", "t"} (ToT = a E + b - c / (E - t) ticks at E keV) or null')
    out.add_argument("--stream", metavar="ENDPOINT",
                     help="also stream the hits to receivers (zorvsdk-receive) as ev44 messages over ZeroMQ, bound "
                          "at ENDPOINT, for example tcp://*:5556")
    out.add_argument("--stream-pattern", choices=("pub", "push"), default="pub",
                     help="pub: every receiver gets every message; push: the receivers share them "
                          "(default: %(default)s)")
    out.add_argument("--stream-source", metavar="NAME",
                     help="the stream's source name (default: the device's connection string)")
    out.add_argument("--quiet", action="store_true", help="no progress bar")
    # The writer of the HDF5 file: the native NeXus writer, or the Python thread of earlier versions
    # (kept for comparison in bench/run.py).
    out.add_argument("--writer", choices=("native", "python"), default="native", help=argparse.SUPPRESS)
    return p


def calibration_file(text: str) -> list[Any]:
    """The chips' ToT calibration, read from a JSON file: a list with an entry per chip."""
    import json

    try:
        with open(text, encoding="utf-8") as f:
            value = json.load(f)
    except OSError as e:
        raise argparse.ArgumentTypeError(f"cannot read {text}: {e.strerror}") from None
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"{text} is not JSON: {e}") from None
    if not isinstance(value, list) or not all(v is None or isinstance(v, dict) for v in value):
        raise argparse.ArgumentTypeError(f"{text}: expected a list with an object or null per chip")
    return value


def require(args: argparse.Namespace) -> None:
    """Imports the optional packages that this run needs before anything is acquired."""
    needed = ["matplotlib"] + ([] if args.quiet else ["tqdm"]) + ([] if args.hdf5 is None else ["h5py"] + (
        ["hdf5plugin", "blosc2"] if args.writer == "native" else [])) + ([] if args.stream is None else ["zmq"])
    for name in needed:
        try:
            __import__(name)
        except ImportError:
            raise CommandError(f"the package {name!r} is missing: pip install 'zorvsdkpy[examples]'") from None


def check_outputs(args: argparse.Namespace) -> str:
    """Refuses, before anything is acquired, an output that cannot be written, a figure in a format
    that matplotlib cannot write, and two files given as one (the outputs, or an output and the
    configuration document), whatever the spelling. Returns the figure's format."""
    outputs = [("--output", args.output)] + ([("--hdf5", args.hdf5)] if args.hdf5 is not None else []) + (
        [("--cluster-output", args.cluster_output)] if args.clusters else [])
    for option, path in outputs:
        writable(option, path)
    kind = figure_format(args.output)
    if args.clusters:
        figure_format(args.cluster_output, "--cluster-output")
        if args.hdf5 is not None and args.writer != "native":
            raise CommandError("--clusters writes its clusters through the native writer only")
    files = outputs + ([("--config", args.config[0])] if args.config is not None else [])
    for i, (option, path) in enumerate(files):
        for other, other_path in files[i + 1:]:
            if same_file(path, other_path):
                raise CommandError(f"{option} {path} and {other} {other_path} are the same file")
    return kind


def figure_format(path: Path, option: str = "--output") -> str:
    """The figure's format, told by the suffix of its name, once matplotlib has written a small
    figure in it (some formats need programs of their own, such as LaTeX for .pgf)."""
    from matplotlib.backend_bases import FigureCanvasBase
    from matplotlib.figure import Figure

    kinds = FigureCanvasBase.get_supported_filetypes()
    kind = path.suffix[1:].lower()
    if kind not in kinds:
        raise CommandError(f"{option} {path}: the name must end in a figure format's suffix "
                           f"({', '.join('.' + k for k in sorted(kinds))})")
    trial = Figure(figsize=(1, 1))
    trial.text(0.5, 0.5, "x (pixel)")
    try:
        trial.savefig(io.BytesIO(), format=kind)
    except Exception as e:  # whatever the format's writer needs and lacks
        raise CommandError(f"{option} {path}: matplotlib cannot write .{kind} here: {e}") from None
    return kind


def writable(option: str, path: Path) -> None:
    """Refuses a path that cannot be written, tried as the writing will: an existing file opened
    for appending (its contents stay as they are), a new one created and removed again."""
    if path.is_dir():
        raise CommandError(f"{option} {path} is a folder")
    folder = path.parent
    if not folder.is_dir():
        raise CommandError(f"{option} {path}: " + (f"{folder} is not a folder" if folder.exists() else
                                                   f"there is no folder {folder}"))
    try:
        if path.exists():
            os.close(os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK))
        else:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL))
            os.unlink(path)
    except OSError as e:
        raise CommandError(f"{option} {path}: cannot write it: {e.strerror}") from None


def same_file(a: Path, b: Path) -> bool:
    """Whether two paths name one file: through links, or spelled apart (``./x``, ``dir/../x``)."""
    try:
        if os.path.samefile(a, b):
            return True
    except OSError:  # one of them does not exist yet
        pass
    return os.path.realpath(a) == os.path.realpath(b)


def main(argv: list[str] | None = None) -> int:
    """The command: returns the exit status."""
    p = parser()
    args = p.parse_args(argv)
    if args.seconds is None and args.deliveries is None:
        args.seconds = DEFAULT_SECONDS
    try:
        capture: Recorder | None = Recorder(args.buffer)  # made here: a size it refuses is a bad argument
    except (ValueError, MemoryError) as e:
        p.error(f"argument --buffer: {e}")
    if args.hdf5 is not None and args.writer == "native":
        capture = None  # the native writer holds the hits itself
    with Console() as console, StopSignals() as stop:
        status = execute(args, capture, stop)
    return BROKEN_PIPE if status == 0 and console.broken else status


def execute(args: argparse.Namespace, capture: Recorder | None, stop: StopSignals) -> int:
    """Checks, acquires, writes the outputs and reports; returns the exit status."""
    try:
        require(args)
        kind = check_outputs(args)
        stop.check()
        run = acquire(args, capture, stop)
        # The HDF5 file is complete at this point; the figures come last.
        write_figure(args.output, kind, run)
        if run.clusters is not None:
            write_cluster_figure(args.cluster_output, figure_format(args.cluster_output, "--cluster-output"), run)
    except ZorvSdkException as e:
        return fail(f"device error: {e.args[0] if e.args else type(e).__name__}")
    except (CommandError, OSError) as e:
        return fail(str(e))
    except MemoryError as e:
        return fail(f"out of memory: {e}")
    except KeyboardInterrupt as e:  # before the acquisition, or a second signal
        signum = e.signum if isinstance(e, Interrupted) else signal.SIGINT
        print(f"{PROG}: {interruption(signum)}", file=sys.stderr)
        return signalled(signum)
    for line in summary(run):
        print(line)
    for line in warnings_of(run):
        print(f"{PROG}: warning: {line}", file=sys.stderr)
    print(f"hit map written to {args.output}" + (f", clusters to {args.cluster_output}" if args.clusters else "") +
          (f", hits{' and clusters' if args.clusters else ''} to {args.hdf5}" if args.hdf5 else "") +
          (f", hits streamed from {run.streamer.endpoint}" if run.streamer is not None else ""))
    return 0 if stop.received is None else signalled(stop.received)


def fail(message: str) -> int:
    """Reports a failure in one line (an SDK's text may have several); the exit status."""
    print(f"{PROG}: error: {'; '.join(line.strip() for line in message.splitlines() if line.strip())}",
          file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
