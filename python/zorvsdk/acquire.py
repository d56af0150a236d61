"""Acquire hits from a detector and write a hit map (PNG) and, on request, the hits (HDF5).

Opens a device (the first attached by default), applies the settings given (a configuration
document, DAC values, thresholds, bias voltages), selects a readout mode that delivers hits and
acquires on one channel for a duration or a number of deliveries, or until the acquisition ends by
itself, whichever comes first. A progress bar shows the hits, their rate and the time left; Ctrl-C
stops the acquisition and still writes every output for the data taken so far (exit status 130).

Deliveries are copied into a bounded buffer on the SDK's threads and handed to a writer thread,
which counts them into the hit map and appends them to the HDF5 file, so that slow disks never
hold up the device; deliveries that find the buffer full are dropped, counted and reported.

Outputs: the hit map as a figure (pixel axes with the detector's row 0 at the bottom, as the
pixel addresses y * width + x number them; a logarithmic colour scale of hits per pixel) and with
--hdf5 an HDF5 file holding the hits (address, ToT, ToA), the deliveries, the TDC time stamps, the
hit and ToT maps, and as attributes the device, the readout mode, the settings (DACs, thresholds,
bias, temperatures) and the units. A device error ends the command with a one-line message and
exit status 1; bad arguments with exit status 2.

    zorvsdk-acquire --seconds 5 --output hitmap.png --hdf5 run.h5
    python -m zorvsdk.acquire --threshold 0:threshold=5.5 --bias hv=100 --deliveries 100
"""

from __future__ import annotations

import argparse
import datetime
import queue
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

import zorvsdk
from zorvsdk import dtypes
from zorvsdk.errors import ZorvSdkException
from zorvsdk.sinks import HitMap, Recorder
from zorvsdk.zorv import Device, DeviceDescriptor, getRuntimeVersion

if TYPE_CHECKING:
    from numpy.typing import NDArray

PROG = "zorvsdk-acquire"
# The readout modes whose deliveries are hits with a pixel address, ToT and ToA.
HIT_MODES = ("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-dd-toa-tot-vec",
             "0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec")
DEFAULT_SECONDS = 10.0
DEFAULT_BUFFER = 1 << 23  # hits held between the SDK's threads and the writer (128 MiB)
INTERRUPTED = 130  # the shell's status for a program stopped by SIGINT
POLL = 0.1  # seconds between looks at the acquisition from the main thread


class CommandError(Exception):
    """A failure of the command's own (no such device or channel), reported in one line."""


# ---------------------------------------------------------------------------------------------
# From the SDK's threads to the writer: a Recorder copies each delivery into its ring without the
# interpreter lock; the writer thread takes them out, writes them and feeds the HitMap.

def make_capture(capacity: int, width: int, height: int) -> tuple[Recorder, HitMap]:
    """The recorder to register for the channel and the hit map that the writer feeds."""
    return Recorder(capacity), HitMap(width, height)


def as_hits(mode: str, delivery: tuple[Any, ...]) -> NDArray[Any]:
    """The hits of one delivery of a hit mode as toa_tot records (an empty place gives none)."""
    if "vec" not in mode:
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


class Hdf5Output:
    """Hits appended delivery by delivery to resizable, compressed datasets; the maps and the
    totals written at the end."""

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
    """Takes the deliveries from the recorder, counts their hits into the map and appends them to
    the file. After ``finish()`` it takes what is still held, then ends."""

    def __init__(self, capture: Recorder, pixels: HitMap, mode: str, output: Hdf5Output | None,
                 limit: int | None) -> None:
        super().__init__(name="zorvsdk-acquire writer", daemon=True)
        self.capture, self.pixels, self.mode, self.output, self.limit = capture, pixels, mode, output, limit
        self.deliveries = 0
        self.hits = 0
        self.error: BaseException | None = None
        self._finish = threading.Event()

    def finish(self) -> None:
        self._finish.set()

    def run(self) -> None:
        try:
            while self.limit is None or self.deliveries < self.limit:
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


class NexusOutput:
    """The native writer (zorvsdk.nexus) behind the command's seam: the SDK's threads hand every
    delivery to it, and its threads count the maps and write the NeXus file, so no Python runs per
    delivery. It stands in for both the output and the writer thread."""

    def __init__(self, path: Path, attrs: dict[str, Any], settings: dict[str, dict[str, Any]], mode: str,
                 capacity: int, limit: int | None) -> None:
        from zorvsdk.nexus import NexusWriter

        self.nexus = NexusWriter(path, width=attrs["width"], height=attrs["height"], mode=mode, attrs=attrs,
                                 settings=settings, capacity=capacity, deliveries=limit)
        self.sink = self.nexus.sink

    # what the command reads of its writer thread
    @property
    def deliveries(self) -> int:
        return self.nexus.delivered

    @property
    def hits(self) -> int:
        return self.nexus.hits

    @property
    def error(self) -> BaseException | None:
        failure = self.nexus.error
        return None if failure is None else OSError(f"{self.nexus.path}: {failure}")

    def drain(self) -> tuple[NDArray[Any], NDArray[Any]]:
        """Writes every hit held; the maps (counts, tot)."""
        self.nexus.finish()
        if self.error is not None:
            raise self.error
        return self.nexus.sink.maps()

    def close(self, counts: NDArray[Any], tot: NDArray[Any], totals: dict[str, Any]) -> None:
        self.nexus.close(totals)

    def abandon(self) -> None:
        self.nexus.abandon()


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
        device.config.load(kind, path.read_text(encoding="utf-8"))
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
    interrupted: bool = False
    ended_by_device: bool = False  # before the duration or delivery count asked for
    asked: str = ""  # the duration or delivery count asked for, as text
    counts: NDArray[Any] = field(default_factory=lambda: np.zeros((0, 0), dtype=np.uint64))


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


def acquire(args: argparse.Namespace) -> Run:
    """Runs the acquisition that the arguments describe and writes its outputs."""
    with Device() as device:
        descriptor = choose_device(device, args.device)
        device.open(descriptor.connectionString)
        apply_settings(device, args)
        device.chip.selectMode(args.mode)
        channels = device.acq.getChannelIds()
        channel = args.channel or channels[0]
        if channel not in channels:
            raise CommandError(f"no channel {channel!r} (channels: {', '.join(channels)})")
        width, height = device.config.getMaskSize()
        run = Run(descriptor, args.mode, channel, width, height,
                  asked=f"{args.deliveries} deliveries" if args.deliveries is not None else f"{args.seconds:g} s")
        started = datetime.datetime.now(datetime.timezone.utc)
        output: Hdf5Output | NexusOutput | None = None
        if args.hdf5 is not None:
            attrs = {**descriptor._asdict(), "sdkVersion": list(getRuntimeVersion()), "zorvsdk": zorvsdk.__version__,
                     "mode": args.mode, "channel": channel, "width": width, "height": height,
                     "startTime": started.isoformat()}
            if args.writer == "python":
                output = Hdf5Output(args.hdf5, attrs, read_settings(device), args.mode in dtypes.METADATA_MODES)
            else:
                output = NexusOutput(args.hdf5, attrs, read_settings(device), args.mode, args.buffer,
                                     args.deliveries)
        try:
            take(device, run, output, args)
        except BaseException:
            if output is not None:
                output.abandon()
            raise
    return run


def take(device: Device, run: Run, output: Hdf5Output | NexusOutput | None, args: argparse.Namespace) -> None:
    """The acquisition itself, from registration to the totals, into `run` and `output`."""
    if isinstance(output, NexusOutput):
        return take_native(device, run, output, args)
    capture, pixels = make_capture(args.buffer, run.width, run.height)
    writer = Writer(capture, pixels, run.mode, output, args.deliveries)
    device.acq.setDataCallback(run.channel, capture)
    writer.start()
    try:
        run.seconds, run.interrupted, run.ended_by_device = follow(device, run.channel, writer, args)
    finally:
        writer.finish()
        writer.join()
    if writer.error is not None:
        raise writer.error
    run.deliveries, run.hits, run.dropped = writer.deliveries, writer.hits, capture.dropped
    run.counts, run.outside = pixels.counts(), pixels.outside
    if output is not None:
        output.close(run.counts, pixels.tot(), {
            "seconds": run.seconds, "deliveries": run.deliveries, "hits": run.hits,
            "droppedDeliveries": run.dropped, "outsideHits": run.outside, "interrupted": run.interrupted})


def take_native(device: Device, run: Run, output: NexusOutput, args: argparse.Namespace) -> None:
    """The same with the native writer registered for the channel."""
    device.acq.setDataCallback(run.channel, output.sink)
    run.seconds, run.interrupted, run.ended_by_device = follow(device, run.channel, output, args)
    run.counts, tot = output.drain()
    nexus = output.nexus
    run.deliveries, run.hits, run.dropped, run.outside = nexus.delivered, nexus.hits, nexus.dropped, int(nexus.sink.outside)
    output.close(run.counts, tot, {
        "seconds": run.seconds, "deliveries": run.deliveries, "hits": run.hits,
        "droppedDeliveries": run.dropped, "outsideHits": run.outside, "interrupted": run.interrupted})


def follow(device: Device, channel: str, writer: Writer | NexusOutput, args: argparse.Namespace) -> tuple[float, bool, bool]:
    """Begins the acquisition and watches it from this thread until it ends by itself, reaches the
    duration or the delivery count, or Ctrl-C; then stops it. Returns the seconds it ran, whether
    Ctrl-C stopped it, and whether the device ended it by itself. The SDK's wait for the end runs on a thread of its own, so that
    this thread stays free to show progress and to take Ctrl-C."""
    ended = threading.Event()
    failure: list[BaseException] = []

    def wait() -> None:
        try:
            device.acq.end(channel)
        except BaseException as e:  # handed to the main thread
            failure.append(e)
        finally:
            ended.set()

    progress = Progress(args)
    start = time.monotonic()
    device.acq.begin(channel)
    waiter = threading.Thread(target=wait, name="zorvsdk-acquire end", daemon=True)
    waiter.start()
    interrupted, by_device = False, True
    try:
        print(f"acquiring {args.mode} on {channel} (Ctrl-C stops and keeps the data)", flush=True)
        while not ended.wait(POLL):
            elapsed = time.monotonic() - start
            progress.show(elapsed, writer)
            if writer.error is not None or (args.seconds is not None and elapsed >= args.seconds) or (
                    args.deliveries is not None and writer.deliveries >= args.deliveries):
                by_device = False
                break
    except KeyboardInterrupt:
        interrupted, by_device = True, False
    finally:
        progress.close()
        if not ended.is_set():
            device.acq.abort(channel)
        waiter.join()
    if failure:
        raise failure[0]
    return time.monotonic() - start, interrupted, by_device


class Progress:
    """A progress bar over the duration, or over the deliveries when a count is asked for, with
    the hits taken and their rate; tqdm shows the time left."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.bar: Any = None
        self.by_count = args.deliveries is not None
        if args.quiet:
            return
        from tqdm import tqdm

        total, unit = (args.deliveries, " deliveries") if self.by_count else (args.seconds, " s")
        self.bar = tqdm(total=total, unit=unit, desc="acquiring", leave=False, dynamic_ncols=True,
                        bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed} elapsed, {remaining} left{postfix}")

    def show(self, elapsed: float, writer: Writer | NexusOutput) -> None:
        if self.bar is None:
            return
        rate = writer.hits / elapsed if elapsed > 0 else 0.0
        self.bar.n = min(writer.deliveries if self.by_count else round(elapsed, 1), self.bar.total)
        self.bar.set_postfix_str(f"{writer.hits:,} hits, {rate:,.0f} hits/s")  # refreshes

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---------------------------------------------------------------------------------------------
# The figure and the summary

def title_of(run: Run) -> str:
    d = run.descriptor
    how = "interrupted after" if run.interrupted else "in"
    return (f"{d.product} {d.serialNumber} ({d.connectionString}), {run.mode}\n"
            f"{run.hits:,} hits {how} {run.seconds:.2f} s, {run.width} x {run.height} pixels")


def write_figure(path: Path, run: Run) -> None:
    """The hit map with pixel axes (row 0 at the bottom) and a logarithmic colour bar."""
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
    figure.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(figure)


def summary(run: Run) -> list[str]:
    rate = run.hits / run.seconds if run.seconds > 0 else 0.0
    lines = [f"{'interrupted: ' if run.interrupted else ''}{run.deliveries} deliveries, {run.hits:,} hits in "
             f"{run.seconds:.3f} s ({rate:,.0f} hits/s) from {run.descriptor.connectionString}, {run.mode} on "
             f"{run.channel}"]
    hit = int(np.count_nonzero(run.counts))
    if hit:
        y, x = np.unravel_index(int(run.counts.argmax()), run.counts.shape)
        lines.append(f"{hit:,} of {run.counts.size:,} pixels hit; busiest pixel (x {x}, y {y}) with "
                     f"{int(run.counts[y, x]):,} hits")
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
    settings.add_argument("--dac", type=parse_setting(int), action="append", default=[], metavar="NAME=VALUE",
                          help="set a DAC (repeatable)")
    settings.add_argument("--threshold", type=parse_setting(float), action="append", default=[], metavar="ID=KEV",
                          help="set a calibrated threshold in keV, for example 0:threshold=5.5 (repeatable)")
    settings.add_argument("--raw-threshold", type=parse_setting(int), action="append", default=[], metavar="ID=RAW",
                          help="set a threshold in raw units (repeatable)")
    settings.add_argument("--bias", type=parse_setting(float), action="append", default=[], metavar="ID=VOLTS",
                          help="set a bias supply in volts, for example hv=100 (repeatable)")
    out = p.add_argument_group("outputs")
    out.add_argument("--output", type=Path, default=Path("hitmap.png"), metavar="PNG",
                     help="hit map figure (default: %(default)s)")
    out.add_argument("--hdf5", type=Path, metavar="FILE", help="also write the hits and the settings to this HDF5 file")
    out.add_argument("--buffer", type=positive(int), default=DEFAULT_BUFFER, metavar="HITS",
                     help="hits held for the writer before deliveries are dropped (default: %(default)s)")
    out.add_argument("--quiet", action="store_true", help="no progress bar")
    # The writer of the HDF5 file: the native NeXus writer, or the Python thread of earlier versions
    # (kept for comparison in bench/run.py).
    out.add_argument("--writer", choices=("native", "python"), default="native", help=argparse.SUPPRESS)
    return p


def require(args: argparse.Namespace) -> None:
    """Imports the optional packages that this run needs before anything is acquired."""
    needed = ["matplotlib"] + ([] if args.quiet else ["tqdm"]) + ([] if args.hdf5 is None else ["h5py"] + (
        ["hdf5plugin", "blosc2"] if args.writer == "native" else []))
    for name in needed:
        try:
            __import__(name)
        except ImportError:
            raise CommandError(f"the package {name!r} is missing: pip install 'zorvsdkpy[examples]'") from None


def main(argv: list[str] | None = None) -> int:
    """The command: returns the exit status."""
    args = parser().parse_args(argv)
    if args.seconds is None and args.deliveries is None:
        args.seconds = DEFAULT_SECONDS
    try:
        require(args)
        run = acquire(args)
        # The HDF5 file is complete at this point; the figure comes last.
        write_figure(args.output, run)
    except ZorvSdkException as e:
        return fail(f"device error: {e.args[0] if e.args else type(e).__name__}")
    except (CommandError, OSError) as e:
        return fail(str(e))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    for line in summary(run):
        print(line)
    for line in warnings_of(run):
        print(f"{PROG}: warning: {line}", file=sys.stderr)
    print(f"hit map written to {args.output}" + (f", hits to {args.hdf5}" if args.hdf5 else ""))
    return INTERRUPTED if run.interrupted else 0


def fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
