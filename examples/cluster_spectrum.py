"""Energy spectrum from clusters: a photon's charge, shared by up to four pixels, summed back.

A data-driven acquisition goes into a :class:`zorvsdk.sinks.Clusterer`, which groups the hits that
touch in space and time into clusters on threads of its own, and gives each cluster its energy
(the summed energies of its hits, through its chip's ToT calibration) and its ToT-weighted
centroid. Two spectra are drawn: that of the single hits, in which a photon whose charge several
pixels share counts as several smaller ones, and that of the clusters, in which it counts once at
its full energy; the width of each photon line (8.0, 17.5 and 59.5 keV) is measured in both. Beside
them, the centroids of a patch of the detector at a quarter of a pixel. Written as a PNG image.

The calibration comes from ``--calibration`` (a JSON list with one {"a", "b", "c", "t"} per chip);
without it, the calibration of the virtual device's default chips.

    python examples/cluster_spectrum.py --output cluster_spectrum.png
"""

from __future__ import annotations

import argparse
import json
import sys
import threading
from typing import Any

import matplotlib

matplotlib.use("Agg")  # no display needed: the plot goes to a file
import matplotlib.pyplot as plt
import numpy as np
from numpy.typing import NDArray

from zorvsdk import dtypes
from zorvsdk.sinks import Clusterer, Recorder
from zorvsdk.zorv import Device

PHOTON_LINES_KEV = (8.0, 17.5, 59.5)  # the lines of the virtual device's source
# The ToT calibration of the virtual device's default chips (docs/virtual-device.md).
DEFAULT_CALIBRATION = [{"a": 4.7 + 0.2 * i, "b": 9.0 + 2.0 * i, "c": 30.0, "t": 2.0} for i in range(4)]
BIN_KEV = 0.25
SUBPIXEL = 4  # bins per pixel of the centroid image, each way
PATCH = 64  # pixels of the side of the patch drawn


def hit_energies(hits: NDArray[Any], width: int, side: int, calibration: list[dict[str, float]]) -> NDArray[Any]:
    """keV of each hit: the larger root of a E^2 + (b - a t - ToT) E + (ToT t - b t - c) = 0."""
    x, y = hits["address"] % width, hits["address"] // width
    chip = (y // side) * (width // side) + x // side
    kev = np.full(len(hits), np.nan)
    for i, cal in enumerate(calibration):
        a, b, c, t = cal["a"], cal["b"], cal["c"], cal["t"]
        tot = hits["tot"][chip == i].astype(np.float64)
        p, q = b - a * t - tot, tot * t - b * t - c
        kev[chip == i] = (-p + np.sqrt(np.maximum(0.0, p * p - 4 * a * q))) / (2 * a)
    return kev


def width_of_line(kev: NDArray[Any], line: float) -> tuple[float, int]:
    """The full width at half maximum of a line (keV, from the histogram within 15 % of it), and
    its counts within that width."""
    edges = np.arange(line * 0.85, line * 1.15 + BIN_KEV / 4, BIN_KEV / 4)
    counts, _ = np.histogram(kev, edges)
    if counts.max(initial=0) == 0:
        return float("nan"), 0
    above = np.flatnonzero(counts >= counts.max() / 2)
    return float(edges[above[-1] + 1] - edges[above[0]]), int(counts[above[0]:above[-1] + 1].sum())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--calibration", help="JSON file of the chips' ToT calibration")
    parser.add_argument("--deliveries", type=int, default=20, help="deliveries to record (default: 20)")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="cluster_spectrum.png", help="PNG file of the figure")
    args = parser.parse_args(argv)
    if args.deliveries < 1:
        parser.error("--deliveries must be at least 1")
    calibration: list[dict[str, float]] = DEFAULT_CALIBRATION
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
            side = int(round((width * height / max(chips, 1)) ** 0.5))  # square chips, row by row
            if chips > len(calibration):
                print(f"the calibration covers {len(calibration)} chips, the device has {chips}", file=sys.stderr)
                return 1
            channel = args.channel or device.acq.getChannelIds()[0]
            device.chip.selectMode("0:tpx3-dd-toa-tot")
            recorder = Recorder(1 << 24)  # the hits as well, for the single-hit spectrum
            clusterer = Clusterer(width, height, chip_width=side, chip_height=side, calibration=calibration[:chips],
                                  then=recorder)
            device.acq.setDataCallback(channel, clusterer)
            print(f"recording {args.deliveries} deliveries of {locator} ({width} x {height} pixels, {chips} chips)")
            taken: list[NDArray[Any]] = []
            reader = threading.Thread(target=lambda: taken.extend(clusterer))  # until the end, every cluster
            device.acq.begin(channel)
            reader.start()
            ender = threading.Thread(target=device.acq.end, args=(channel,))  # returns once the device ends it
            ender.start()
            while ender.is_alive() and recorder.delivered + recorder.dropped < args.deliveries:
                ender.join(0.01)
            if ender.is_alive():
                device.acq.abort(channel)
            ender.join()
            reader.join()
        finally:
            device.close()
    finally:
        device.finalize()

    clusters = np.concatenate(taken) if taken else np.zeros(0, dtypes.CLUSTER)
    hits = np.concatenate([d[0] for d in recorder]) if recorder.delivered else np.zeros(0, dtypes.TOA_TOT)
    single = hit_energies(hits, width, side, calibration)
    print(f"{len(hits):,} hits, {len(clusters):,} clusters ({clusterer.dropped} deliveries not clustered)")

    figure, (spectrum, image) = plt.subplots(1, 2, figsize=(14, 5.2), gridspec_kw={"width_ratios": [1.6, 1]})
    edges = np.arange(0.0, 80.0 + BIN_KEV, BIN_KEV)
    spectrum.stairs(np.histogram(single, edges)[0], edges, label="single hits", alpha=0.6, fill=True)
    spectrum.stairs(np.histogram(clusters["kev"], edges)[0], edges, label="clusters", linewidth=1.5)
    spectrum.set_yscale("log")
    spectrum.set_ylim(bottom=0.8)
    spectrum.set_xlabel("energy (keV)")
    spectrum.set_ylabel(f"counts per {BIN_KEV:g} keV")
    spectrum.set_title("Energy spectrum: single hits and clusters")
    spectrum.grid(True, which="both", alpha=0.3)
    for k, line in enumerate(PHOTON_LINES_KEV):
        hit_width, hit_counts = width_of_line(single, line)
        cluster_width, cluster_counts = width_of_line(clusters["kev"], line)
        text = (f"{line:g} keV: FWHM {hit_width:.2f} keV from {hit_counts:,} hits, "
                f"{cluster_width:.2f} keV from {cluster_counts:,} clusters")
        print(text)
        spectrum.axvline(line, color="tab:red", linestyle=":", linewidth=1)
        spectrum.annotate(f"{line:g} keV\nFWHM {hit_width:.2f} / {cluster_width:.2f}", (line, 0.97 - 0.13 * (k % 2)),
                          xycoords=("data", "axes fraction"), xytext=(3, 0), textcoords="offset points", va="top",
                          color="tab:red", fontsize=8)
    spectrum.legend(loc="upper right", fontsize=8)

    patch = (clusters["x"] < PATCH - 0.5) & (clusters["y"] < PATCH - 0.5)
    bins = np.arange(-0.5, PATCH - 0.5 + 1e-9, 1 / SUBPIXEL)
    counts, _, _ = np.histogram2d(clusters["y"][patch], clusters["x"][patch], bins=(bins, bins))
    shown = image.imshow(np.ma.masked_less(counts, 1), origin="lower", cmap="viridis", interpolation="nearest",
                         extent=(bins[0], bins[-1], bins[0], bins[-1]))
    figure.colorbar(shown, ax=image, label=f"clusters per 1/{SUBPIXEL} x 1/{SUBPIXEL} pixel", shrink=0.85)
    image.set_xlabel("centroid x (pixel)")
    image.set_ylabel("centroid y (pixel)")
    image.set_title(f"Centroids at 1/{SUBPIXEL} pixel, {PATCH} x {PATCH} pixels")
    figure.tight_layout()
    figure.savefig(args.output)
    plt.close(figure)
    print(f"figure written to {args.output}")
    return 0 if len(clusters) else 1


if __name__ == "__main__":
    sys.exit(main())
