"""Scan the energy thresholds and plot the integral spectrum: hits per delivery against threshold.

For every step the thresholds are set, one short acquisition runs (a few deliveries), and its hits
are counted. Lowering the threshold records more of each deposit: the curve falls in a step at each
photon line of the source and rises steeply at the noise floor (the noise edge), where the
electronic noise of the pixels starts to fire. The curve is written as a PNG image (logarithmic
counts, the photon lines and the noise edge marked) above its derivative, the differential spectrum
(each line a peak); with ``--csv`` the numbers too. The thresholds are restored afterwards.

By default every calibrated threshold is scanned together, in keV; ``--threshold`` picks one (an
uncalibrated one is scanned in raw units, as is any with ``--raw``). Only the hits of the chips
whose thresholds are scanned are counted (a threshold's identifier starts with its chip's index, as
in ``2:threshold``; the chips laid out as in energy_spectrum.py), so that the chips left at their
own thresholds do not flatten the steps; the figure names them. Runs against the virtual device
that ships with the package, or a real SDK library put on LD_LIBRARY_PATH.

    python examples/threshold_scan.py --output scan.png
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import threading
from typing import TYPE_CHECKING, Any

import matplotlib

matplotlib.use("Agg")  # no display needed: the plot goes to a file
import matplotlib.pyplot as plt
import numpy as np

from energy_spectrum import chip_of
from zorvsdk.zorv import Device

if TYPE_CHECKING:  # names of the type stubs only: annotations are not evaluated
    from zorvsdk.acquisition import AcqMetadata
    from zorvsdk.chip import __Chip as Chip

DATA_DRIVEN_MODES = ("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot")
PHOTON_LINES_KEV = (8.0, 17.5, 59.5)  # the lines of the virtual device's source


class HitCounter:
    """Counts the hits of a few deliveries on some chips (None: on all), then stops the acquisition
    from its own callable (the SDK allows that; the acquisition ends once the callable returns).
    Runs on a thread of the SDK."""

    def __init__(self, device: Device, channel: str, deliveries: int, chips: list[int] | None) -> None:
        self.device, self.channel, self.wanted, self.chips = device, channel, deliveries, chips
        self.width, self.height = device.config.getMaskSize()
        self.chip_count = len(device.chip.getChipIds())
        self.lock = threading.Lock()
        self.hits = 0
        self.deliveries = 0

    def reset(self) -> None:
        with self.lock:
            self.hits = 0
            self.deliveries = 0

    def __call__(self, data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
        if self.chips is None:
            hits = len(data)
        else:
            chip = chip_of(data["address"].astype(np.int64), self.width, self.height, self.chip_count)
            hits = int(np.count_nonzero(np.isin(chip, self.chips)))
        with self.lock:
            self.hits += hits
            self.deliveries += 1
            enough = self.deliveries == self.wanted
        if enough:
            self.device.acq.abort(self.channel)


def chips_of(ids: list[str]) -> list[int] | None:
    """The chips of the thresholds, told by the index that begins each identifier ("2:threshold");
    None when an identifier does not say."""
    heads = [head for head, sep, _ in (i.partition(":") for i in ids) if sep and head.isdigit()]
    return sorted({int(head) for head in heads}) if len(heads) == len(ids) else None


def scan_values(start: float, stop: float, steps: int, raw: bool) -> list[float]:
    """The threshold of each step, from start to stop inclusive (whole numbers when raw)."""
    values = np.linspace(start, stop, steps)
    if raw:
        return sorted({float(round(v)) for v in values})
    return [float(v) for v in values]


class Thresholds:
    """The thresholds of one scan: set together, restored at the end."""

    def __init__(self, chip: Chip, ids: list[str], raw: bool) -> None:
        self.chip, self.ids, self.raw = chip, ids, raw
        if raw:
            self.original = [float(chip.getRawThreshold(i)) for i in ids]
        else:
            self.original = [chip.getThreshold(i) for i in ids]

    def span(self) -> tuple[float, float]:
        """The values that every threshold of the scan accepts."""
        if self.raw:
            ranges = [self.chip.getRawThresholdRange(i) for i in self.ids]
            return float(max(r.min for r in ranges)), float(min(r.max for r in ranges))
        kev = [self.chip.getThresholdRange(i) for i in self.ids]
        # The range comes back in single precision: keep the steps on a 0.1 keV grid inside it,
        # and at 0 keV or above.
        return max(0.0, math.ceil(max(r.min for r in kev) * 10) / 10), math.floor(min(r.max for r in kev) * 10) / 10

    def noise(self) -> float | None:
        """The largest noise of the thresholds, in keV (None in raw units)."""
        return None if self.raw else max(self.chip.getThresholdRange(i).noise for i in self.ids)

    def set(self, values: list[float] | float) -> None:
        for tid, value in zip(self.ids, values if isinstance(values, list) else [values] * len(self.ids)):
            if self.raw:
                self.chip.setRawThreshold(tid, int(value))
            else:
                self.chip.setThreshold(tid, value)

    def restore(self) -> None:
        self.set(self.original)


def plot(values: list[float], rates: list[float], unit: str, noise: float | None, title: str, output: str) -> None:
    """The integral spectrum (logarithmic) above its derivative, the differential spectrum, in
    which each photon line is a peak; the photon lines and the noise edge marked."""
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(7, 6), dpi=100, sharex=True,
                                         gridspec_kw={"height_ratios": [3, 2]})
    shown = [(v, r) for v, r in zip(values, rates) if r > 0]  # a logarithmic axis has no 0
    if shown:
        top.plot(*zip(*shown), marker="o", markersize=3, label="hits above the threshold")
    top.set_yscale("log")
    top.set_ylabel("hits per delivery")
    top.set_title(title, fontsize=10)
    edge = 5 * noise if noise else None
    if len(values) > 1:
        middles = [(a + b) / 2 for a, b in zip(values, values[1:])]
        slope = [(r0 - r1) / (b - a) for a, b, r0, r1 in zip(values, values[1:], rates, rates[1:])]
        keep = [(m, d) for m, d in zip(middles, slope) if edge is None or m > edge]
        if keep:
            bottom.plot(*zip(*keep), color="tab:green", marker=".", markersize=3, label="hits lost per step")
    bottom.set_ylabel(f"hits per delivery and {unit}")
    bottom.set_xlabel(f"threshold ({unit})")
    for axes in (top, bottom):
        axes.grid(True, which="both", alpha=0.3)
        if unit == "keV":
            for line in PHOTON_LINES_KEV:
                if values and values[0] <= line <= values[-1]:
                    axes.axvline(line, color="tab:red", linestyle=":", linewidth=1)
            if edge:
                axes.axvspan(0, edge, color="tab:orange", alpha=0.15)
    if unit == "keV":
        for line in PHOTON_LINES_KEV:
            if values and values[0] <= line <= values[-1]:
                bottom.annotate(f"{line:g} keV", (line, 0.9), xycoords=("data", "axes fraction"), xytext=(3, 0),
                                textcoords="offset points", color="tab:red", fontsize=8)
        if edge:
            top.annotate(f"noise edge\n(< 5 x {noise:.2f} keV noise)", (edge, 0.6), xycoords=("data", "axes fraction"),
                         xytext=(4, 0), textcoords="offset points", color="tab:orange", fontsize=8)
    top.legend(loc="upper right", fontsize=8)
    bottom.legend(loc="center right", fontsize=8)
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--threshold", help="scan this threshold only (default: every calibrated one)")
    parser.add_argument("--start", type=float, help="first threshold (default: the lower end of the range)")
    parser.add_argument("--stop", type=float, help="last threshold (default: the upper end of the range)")
    parser.add_argument("--steps", type=int, default=81, help="number of steps (default: 81)")
    parser.add_argument("--deliveries", type=int, default=4, help="deliveries counted per step (default: 4)")
    parser.add_argument("--raw", action="store_true", help="scan raw threshold values even if calibrated")
    parser.add_argument("--mode", default=DATA_DRIVEN_MODES[0], choices=DATA_DRIVEN_MODES, help="readout mode")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="threshold_scan.png", help="PNG file of the curve")
    parser.add_argument("--csv", help="also write the numbers to this CSV file")
    args = parser.parse_args(argv)
    if args.steps < 1 or args.deliveries < 1:
        parser.error("--steps and --deliveries must be at least 1")

    device = Device()
    try:
        locator = args.device
        if locator is None:
            descriptors = device.enumerate()
            if not descriptors:
                print("no device attached", file=sys.stderr)
                return 1
            locator = descriptors[0].connectionString
        device.open(locator)
        try:
            chip = device.chip
            width, height = device.config.getMaskSize()
            if args.threshold:
                ids = [args.threshold]
                raw = args.raw or not chip.isThresholdCalibrated(args.threshold)
            else:
                raw = args.raw
                ids = [t for t in chip.getThresholdIds() if raw or chip.isThresholdCalibrated(t)]
            if not ids:
                print("no threshold to scan (none is calibrated: try --raw)", file=sys.stderr)
                return 1
            thresholds = Thresholds(chip, ids, raw)
            unit = "raw" if raw else "keV"
            low, high = thresholds.span()
            start = low if args.start is None else args.start
            stop = high if args.stop is None else args.stop
            values = scan_values(start, stop, args.steps, raw)
            noise = thresholds.noise()

            channel = args.channel or device.acq.getChannelIds()[0]
            chip.selectMode(args.mode)
            scanned = chips_of(ids)
            counter = HitCounter(device, channel, args.deliveries, scanned)
            counted = ("the hits of every chip" if scanned is None else
                       f"the hits of chip{'s' * (len(scanned) > 1)} {', '.join(map(str, scanned))} "
                       f"of {counter.chip_count}")
            device.acq.setDataCallback(channel, counter)
            print(f"scanning {', '.join(ids)} of {locator} ({width} x {height} pixels) in {len(values)} steps, "
                  f"counting {counted}")
            counts: list[tuple[int, int]] = []
            try:
                for step, value in enumerate(values, 1):
                    thresholds.set(value)
                    counter.reset()
                    device.acq.begin(channel)
                    device.acq.end(channel)  # the callable stops it after --deliveries deliveries
                    with counter.lock:
                        counts.append((counter.hits, counter.deliveries))
                    print(f"[{step}/{len(values)}] threshold {value:g} {unit}: {counts[-1][0]} hits in "
                          f"{counts[-1][1]} deliveries")
            finally:
                thresholds.restore()
        finally:
            device.close()
    finally:
        device.finalize()

    rates = [hits / n if n else 0.0 for hits, n in counts]
    title = f"Threshold scan of {', '.join(ids)}: {counted}\n{locator}, {width} x {height} pixels, {args.mode}"
    plot(values, rates, unit, noise, title, args.output)
    print(f"curve written to {args.output}")
    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow([f"threshold_{unit}", "hits", "deliveries"])
            writer.writerows((v, hits, n) for v, (hits, n) in zip(values, counts))
        print(f"numbers written to {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
