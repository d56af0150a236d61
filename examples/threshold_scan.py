"""Scan an energy threshold across a range and plot the hits counted at each step.

For every step the threshold is set, one acquisition runs to its end, and the hits of all its
deliveries are counted. The curve (hits against threshold) is written as a PNG image; with
``--csv`` the numbers are written too. The threshold is restored afterwards.

A calibrated threshold is scanned in keV, an uncalibrated one (or any with ``--raw``) in raw
units. Runs against the virtual device that ships with the package, or a real SDK library put on
LD_LIBRARY_PATH.

    python examples/threshold_scan.py --steps 8 --output scan.png
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

from zorvsdk.zorv import Device

if TYPE_CHECKING:  # a name of the type stubs only: annotations are not evaluated
    from zorvsdk.acquisition import AcqMetadata

DATA_DRIVEN_MODES = ("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot")


class HitCounter:
    """Counts the hits of the deliveries of one acquisition. Called on a thread of the SDK."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.hits = 0
        self.deliveries = 0

    def reset(self) -> None:
        with self.lock:
            self.hits = 0
            self.deliveries = 0

    def __call__(self, data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
        with self.lock:
            self.hits += len(data)
            self.deliveries += 1


def scan_values(start: float, stop: float, steps: int, raw: bool) -> list[float]:
    """The threshold of each step, from start to stop inclusive (whole numbers when raw)."""
    values = np.linspace(start, stop, steps)
    if raw:
        return sorted({float(round(v)) for v in values})
    return [float(v) for v in values]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--threshold", help="threshold identifier (default: the first)")
    parser.add_argument("--start", type=float, help="first threshold (default: the lower end of its range)")
    parser.add_argument("--stop", type=float, help="last threshold (default: the upper end of its range)")
    parser.add_argument("--steps", type=int, default=5, help="number of steps (default: 5)")
    parser.add_argument("--raw", action="store_true", help="scan raw threshold values even if calibrated")
    parser.add_argument("--mode", default=DATA_DRIVEN_MODES[0], choices=DATA_DRIVEN_MODES, help="readout mode")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="threshold_scan.png", help="PNG file of the curve")
    parser.add_argument("--csv", help="also write the numbers to this CSV file")
    args = parser.parse_args(argv)
    if args.steps < 1:
        parser.error("--steps must be at least 1")

    with Device() as device:  # closed and finalized at the end of the block, also on an error
        locator = args.device
        if locator is None:
            descriptors = device.enumerate()
            if not descriptors:
                print("no device attached", file=sys.stderr)
                return 1
            locator = descriptors[0].connectionString
        device.open(locator)
        chip = device.chip
        threshold = args.threshold or chip.getThresholdIds()[0]
        raw = args.raw or not chip.isThresholdCalibrated(threshold)
        if raw:
            raw_range = chip.getRawThresholdRange(threshold)
            low, high, unit = float(raw_range.min), float(raw_range.max), "raw"
            original: float = chip.getRawThreshold(threshold)
        else:
            kev_range = chip.getThresholdRange(threshold)
            # The range comes back in single precision: keep the default steps on a 0.1 keV
            # grid inside it, and above 0 keV.
            low = max(0.0, math.ceil(kev_range.min * 10) / 10)
            high, unit = math.floor(kev_range.max * 10) / 10, "keV"
            original = chip.getThreshold(threshold)
        start = low if args.start is None else args.start
        stop = high if args.stop is None else args.stop
        values = scan_values(start, stop, args.steps, raw)

        channel = args.channel or device.acq.getChannelIds()[0]
        chip.selectMode(args.mode)
        counter = HitCounter()
        device.acq.setDataCallback(channel, counter)

        counts: list[int] = []
        try:
            for value in values:
                if raw:
                    chip.setRawThreshold(threshold, int(value))
                else:
                    chip.setThreshold(threshold, value)
                counter.reset()
                device.acq.begin(channel)
                device.acq.end(channel)
                with counter.lock:
                    counts.append(counter.hits)
                print(f"{threshold} = {value:g} {unit}: {counts[-1]} hits in {counter.deliveries} deliveries")
        finally:
            if raw:
                chip.setRawThreshold(threshold, int(original))
            else:
                chip.setThreshold(threshold, original)

    figure, axes = plt.subplots(figsize=(6, 4), dpi=100)
    axes.plot(values, counts, marker="o")
    axes.set_xlabel(f"threshold {threshold} ({unit})")
    axes.set_ylabel("hits")
    axes.set_title(f"Threshold scan, {args.mode}")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(args.output)
    plt.close(figure)
    print(f"curve written to {args.output}")

    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow([f"threshold_{unit}", "hits"])
            writer.writerows(zip(values, counts))
        print(f"numbers written to {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
