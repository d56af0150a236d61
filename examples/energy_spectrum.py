"""Record an energy spectrum: the ToT of every hit converted to keV through each chip's calibration.

A data-driven acquisition runs for a number of deliveries; each hit's time over threshold (ToT) is
turned into the energy it stands for with the ToT calibration of its chip,
ToT = a E + b - c / (E - t), solved for E. The histogram of the energies shows the photon lines of
the source; the strongest bin near each expected line is reported and marked. Written as a PNG
image (logarithmic counts against keV); with ``--csv`` the histogram too.

The calibration comes from ``--calibration``, a JSON list with one {"a", "b", "c", "t"} per chip
(ticks per keV, ticks, tick-keV, keV), as a calibration run of the detector gives it; without it,
the calibration of the virtual device's default chips. The chips are taken to be square and laid
out row by row, their size derived from the detector's size and the number of chips.

    python examples/energy_spectrum.py --output spectrum.png
"""

from __future__ import annotations

import argparse
import csv
import json
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

PHOTON_LINES_KEV = (8.0, 17.5, 59.5)  # the lines of the virtual device's source
# The ToT calibration of the virtual device's default chips (docs/virtual-device.md).
DEFAULT_CALIBRATION = [{"a": 4.7 + 0.2 * i, "b": 9.0 + 2.0 * i, "c": 30.0, "t": 2.0} for i in range(4)]
BIN_KEV = 0.25


class Collector:
    """Keeps the address and ToT of every hit (copies: the arrays are valid only during the call).
    Runs on a thread of the SDK."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.parts: list[np.ndarray[Any, Any]] = []
        self.deliveries = 0

    def __call__(self, data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
        part = np.empty(len(data), dtype=[("address", "<u4"), ("tot", "<u4")])
        part["address"] = data["address"]
        part["tot"] = data["tot"]
        with self.lock:
            self.parts.append(part)
            self.deliveries += 1

    def hits(self) -> np.ndarray[Any, Any]:
        with self.lock:
            return np.concatenate(self.parts) if self.parts else np.empty(0, dtype=[("address", "<u4"), ("tot", "<u4")])


def chip_of(address: np.ndarray[Any, Any], width: int, height: int, chips: int) -> np.ndarray[Any, Any]:
    """The chip of each pixel address (y * width + x): square chips, row by row."""
    side = int(round(math.sqrt(width * height / chips))) if chips else max(width, height)
    x, y = address % width, address // width
    chip: np.ndarray[Any, Any] = (y // side) * max(1, width // side) + x // side
    return chip


def energies(tot: np.ndarray[Any, Any], cal: dict[str, float]) -> np.ndarray[Any, Any]:
    """keV of each ToT: the larger root of a E^2 + (b - a t - ToT) E + (ToT t - b t - c) = 0."""
    a, b, c, t = cal["a"], cal["b"], cal["c"], cal["t"]
    tot = tot.astype(np.float64)
    p = b - a * t - tot
    q = tot * t - b * t - c
    return (-p + np.sqrt(np.maximum(0.0, p * p - 4 * a * q))) / (2 * a)


def peak_near(centres: np.ndarray[Any, Any], counts: np.ndarray[Any, Any], line: float) -> float | None:
    """The centre of the strongest bin within 10 % of a line, or None when it has no counts."""
    near = np.abs(centres - line) <= 0.1 * line
    if not near.any() or counts[near].max() == 0:
        return None
    return float(centres[near][np.argmax(counts[near])])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--calibration", help="JSON file of the chips' ToT calibration")
    parser.add_argument("--deliveries", type=int, default=20, help="deliveries to record (default: 20)")
    parser.add_argument("--max-kev", type=float, default=80.0, help="upper end of the spectrum (default: 80 keV)")
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", help="data-driven readout mode")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="energy_spectrum.png", help="PNG file of the spectrum")
    parser.add_argument("--csv", help="also write the histogram to this CSV file")
    args = parser.parse_args(argv)
    if args.deliveries < 1:
        parser.error("--deliveries must be at least 1")
    calibration = DEFAULT_CALIBRATION
    if args.calibration:
        with open(args.calibration) as f:
            calibration = json.load(f)

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
            width, height = device.config.getMaskSize()
            chips = len(device.chip.getChipIds())
            if chips > len(calibration):
                print(f"the calibration covers {len(calibration)} chips, the device has {chips}", file=sys.stderr)
                return 1
            channel = args.channel or device.acq.getChannelIds()[0]
            device.chip.selectMode(args.mode)
            collector = Collector()

            def on_data(data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
                collector(data, metadata)
                if collector.deliveries == args.deliveries:
                    device.acq.abort(channel)  # allowed from the callable: it stops once this returns

            device.acq.setDataCallback(channel, on_data)
            print(f"recording {args.deliveries} deliveries of {locator} ({width} x {height} pixels, {chips} chips)")
            device.acq.begin(channel)
            device.acq.end(channel)
        finally:
            device.close()
    finally:
        device.finalize()

    hits = collector.hits()
    kev = np.zeros(len(hits))
    chip = chip_of(hits["address"].astype(np.int64), width, height, chips)
    for i in range(chips):
        kev[chip == i] = energies(hits["tot"][chip == i], calibration[i])
    edges = np.arange(0.0, args.max_kev + BIN_KEV, BIN_KEV)
    counts, _ = np.histogram(kev, bins=edges)
    centres = (edges[:-1] + edges[1:]) / 2
    print(f"{collector.deliveries} deliveries, {len(hits)} hits")

    figure, axes = plt.subplots(figsize=(8, 4.5), dpi=100)
    axes.stairs(counts, edges, fill=True, alpha=0.6, label="hits")
    axes.set_yscale("log")
    axes.set_ylim(bottom=0.8)
    axes.set_xlabel("energy from ToT (keV)")
    axes.set_ylabel(f"hits per {BIN_KEV:g} keV")
    axes.set_title(f"Energy spectrum, {len(hits)} hits of {locator} ({width} x {height} pixels)")
    axes.grid(True, which="both", alpha=0.3)
    for k, line in enumerate(PHOTON_LINES_KEV):
        if line > args.max_kev:
            continue
        peak = peak_near(centres, counts, line)
        axes.axvline(line, color="tab:red", linestyle=":", linewidth=1)
        found = "no peak" if peak is None else f"peak {peak:.2f} keV ({100 * (peak - line) / line:+.1f} %)"
        axes.annotate(f"{line:g} keV\n{found}", (line, 0.97 - 0.12 * (k % 2)), xycoords=("data", "axes fraction"),
                      xytext=(3, 0),
                      textcoords="offset points", va="top", color="tab:red", fontsize=8)
        print(f"line {line:g} keV: {found}")
    axes.legend(loc="upper right", fontsize=8)
    figure.tight_layout()
    figure.savefig(args.output)
    plt.close(figure)
    print(f"spectrum written to {args.output}")
    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(["kev_low", "kev_high", "hits"])
            writer.writerows((float(lo), float(hi), int(n)) for lo, hi, n in zip(edges[:-1], edges[1:], counts))
        print(f"histogram written to {args.csv}")
    return 0 if len(hits) else 1


if __name__ == "__main__":
    sys.exit(main())
