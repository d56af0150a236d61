"""Acquire data-driven hits on the first attached device and save a labelled hit map.

The short form of the command ``zorvsdk-acquire`` (see ``zorvsdk-acquire --help``), which adds
device settings, a progress bar, a clean stop on Ctrl-C and HDF5 output. Here the hits of every
delivery are counted per pixel inside the data callable, and the map is drawn with matplotlib.
Runs against the virtual device that ships with the package, or a real SDK library put on
LD_LIBRARY_PATH.

    python examples/acquire.py --output hitmap.png
"""

from __future__ import annotations

import argparse
import sys
import threading
from typing import TYPE_CHECKING, Any

import matplotlib

matplotlib.use("Agg")  # no display needed: the map goes to a file
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm

from zorvsdk.zorv import Device

if TYPE_CHECKING:  # a name of the type stubs only: annotations are not evaluated
    from zorvsdk.acquisition import AcqMetadata


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", choices=("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot"))
    parser.add_argument("--output", default="hitmap.png", help="PNG file of the hit map")
    args = parser.parse_args(argv)

    with Device() as device:  # closed and finalized at the end of the block, also on an error
        descriptors = device.enumerate()
        if not descriptors:
            print("no device attached", file=sys.stderr)
            return 1
        device.open(descriptors[0].connectionString)
        width, height = device.config.getMaskSize()  # pixel addresses are y * width + x
        counts = np.zeros(width * height, dtype=np.int64)
        lock = threading.Lock()

        def count(data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
            # On a thread of the SDK; the array is valid only during the call: reduce it now.
            if len(data):
                hits = np.bincount(data["address"], minlength=counts.size)[: counts.size]
                with lock:
                    counts[:] += hits

        device.chip.selectMode(args.mode)
        channel = device.acq.getChannelIds()[0]
        device.acq.setDataCallback(channel, count)
        device.acq.begin(channel)
        device.acq.end(channel)  # returns when the acquisition has finished

    image = counts.reshape(height, width)
    hits = int(image.sum())
    figure, axes = plt.subplots(layout="constrained")
    shown = axes.imshow(np.ma.masked_less(image, 1), origin="lower", interpolation="nearest",
                        norm=LogNorm(vmin=1, vmax=max(10, int(image.max()))))
    figure.colorbar(shown, ax=axes, label="hits per pixel")
    axes.set(xlabel="x (pixel)", ylabel="y (pixel)", title=f"{descriptors[0].product}, {args.mode}: {hits} hits")
    figure.savefig(args.output)
    print(f"{hits} hits on {int((image > 0).sum())} of {image.size} pixels; hit map written to {args.output}")
    return 0 if hits else 1


if __name__ == "__main__":
    sys.exit(main())
