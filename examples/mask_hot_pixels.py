"""Find the hot pixels of the detector in a short noise run and mask them.

The thresholds are lowered toward the noise floor (``--sigmas`` times each calibrated threshold's
noise; uncalibrated ones in the same proportion), where the few pixels that are noisier than the
rest fire long before the others. One short acquisition counts the hits of every pixel; a pixel
with far more hits than the detector's mean (more than mean + 10 sqrt(mean) + 10) is hot. The hot
pixels are added to the device's pixel mask with ``config.setMask``, and a second run at the same
thresholds shows them silent. The thresholds are restored afterwards; the mask stays set.

Writes a PNG with the hit maps of both runs (hot pixels circled). Runs against the virtual device
that ships with the package, or a real SDK library put on LD_LIBRARY_PATH.

    python examples/mask_hot_pixels.py --output masking.png
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
from typing import TYPE_CHECKING, Any

import matplotlib

matplotlib.use("Agg")  # no display needed: the plot goes to a file
import matplotlib.pyplot as plt
from matplotlib.colors import LogNorm
import numpy as np

from zorvsdk.zorv import Device

if TYPE_CHECKING:  # names of the type stubs only: annotations are not evaluated
    from zorvsdk.acquisition import AcqMetadata
    from zorvsdk.chip import __Chip as Chip


class PixelCounter:
    """Counts the hits of every pixel over a few deliveries, then stops the acquisition from its
    own callable. Runs on a thread of the SDK."""

    def __init__(self, device: Device, channel: str, pixels: int, deliveries: int) -> None:
        self.device, self.channel, self.wanted = device, channel, deliveries
        self.lock = threading.Lock()
        self.counts = np.zeros(pixels, dtype=np.int64)
        self.deliveries = 0

    def __call__(self, data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
        addresses = data["address"]
        addresses = addresses[addresses < self.counts.size]
        with self.lock:
            self.counts += np.bincount(addresses, minlength=self.counts.size)
            self.deliveries += 1
            enough = self.deliveries == self.wanted
        if enough:
            self.device.acq.abort(self.channel)


def run(device: Device, channel: str, pixels: int, deliveries: int) -> np.ndarray[Any, Any]:
    """Hits per pixel address of one short acquisition."""
    counter = PixelCounter(device, channel, pixels, deliveries)
    device.acq.setDataCallback(channel, counter)
    device.acq.begin(channel)
    device.acq.end(channel)
    with counter.lock:
        return counter.counts.copy()


def lower_thresholds(chip: Chip, sigmas: float) -> list[tuple[str, int]]:
    """Sets the thresholds near the noise floor; returns their raw values to restore."""
    ids = chip.getThresholdIds()
    saved = [(t, chip.getRawThreshold(t)) for t in ids]
    ratios = []
    for t in ids:
        if chip.isThresholdCalibrated(t):
            low, _, noise = chip.getThresholdRange(t)
            before = chip.getThreshold(t)
            chip.setThreshold(t, max(low, sigmas * noise))
            if before > 0:
                ratios.append(chip.getThreshold(t) / before)
    ratio = float(np.mean(ratios)) if ratios else 0.5
    for t in ids:
        if not chip.isThresholdCalibrated(t):
            lo, _ = chip.getRawThresholdRange(t)
            chip.setRawThreshold(t, lo + round((chip.getRawThreshold(t) - lo) * ratio))
    return saved


def hot_pixels(counts: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """Addresses of the pixels with far more hits than the mean."""
    mean = float(counts.mean())
    return np.flatnonzero(counts > mean + 10 * math.sqrt(mean) + 10)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--sigmas", type=float, default=5.5,
                        help="thresholds of the noise run, in units of each threshold's noise (default: 5.5)")
    parser.add_argument("--deliveries", type=int, default=10, help="deliveries of each run (default: 10)")
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", help="data-driven readout mode")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="masking.png", help="PNG file of the hit maps")
    args = parser.parse_args(argv)
    if args.deliveries < 1 or args.sigmas <= 0:
        parser.error("--deliveries must be at least 1 and --sigmas positive")

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
            channel = args.channel or device.acq.getChannelIds()[0]
            device.chip.selectMode(args.mode)
            saved = lower_thresholds(device.chip, args.sigmas)
            try:
                before = run(device, channel, width * height, args.deliveries)
                hot = hot_pixels(before)
                x, y = hot % width, hot // width
                for a, px, py in zip(hot, x, y):
                    print(f"hot pixel ({px}, {py}): {before[a]} hits (detector mean {before.mean():.2f})")
                # The mask is indexed [column, row]; what is masked already stays masked.
                mask = device.config.getMask()
                mask[x, y] = 1
                device.config.setMask(mask)
                print(f"masked {len(hot)} hot pixels; {int(np.count_nonzero(mask))} of {width * height} pixels masked")
                after = run(device, channel, width * height, args.deliveries)
            finally:
                for t, raw in saved:
                    device.chip.setRawThreshold(t, raw)
        finally:
            device.close()
    finally:
        device.finalize()

    silent = int(np.count_nonzero(after[hot] == 0))
    print(f"after masking: {silent} of {len(hot)} hot pixels silent; {int(after.sum())} hits in all "
          f"(before {int(before.sum())})")

    figure, axes = plt.subplots(1, 2, figsize=(11, 5), dpi=100, sharey=True)
    top = max(1, int(before.max()))
    for ax, counts, title in ((axes[0], before, "noise run"), (axes[1], after, "after masking")):
        image = ax.imshow(np.ma.masked_equal(counts.reshape(height, width), 0), origin="lower", cmap="viridis",
                          norm=LogNorm(vmin=1, vmax=top), interpolation="nearest")
        ax.scatter(x, y, s=120, facecolors="none", edgecolors="tab:red", linewidths=1.2)
        ax.set_title(f"{title}: {int(counts.sum())} hits in {args.deliveries} deliveries")
        ax.set_xlabel("column x (pixels)")
    axes[0].set_ylabel("row y (pixels)")
    figure.colorbar(image, ax=axes, label="hits per pixel", shrink=0.85)
    figure.suptitle(f"Hot pixels (circled) of {locator} ({width} x {height} pixels), thresholds at {args.sigmas:g} x noise")
    figure.savefig(args.output)
    plt.close(figure)
    print(f"hit maps written to {args.output}")
    return 0 if silent == len(hot) else 1


if __name__ == "__main__":
    sys.exit(main())
