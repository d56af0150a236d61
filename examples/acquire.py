"""Acquire data-driven hits on the first attached device and save a hit map.

Opens the first device, selects a data-driven readout mode, counts the hits of every delivery into
a hit map while the acquisition runs (with a progress bar), then prints a summary and writes the
hit map as a PNG image. Runs against the virtual device that ships with the package, or against a
real SDK library put on LD_LIBRARY_PATH.

    python examples/acquire.py --output hitmap.png
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from typing import Any

import numpy as np

from zorvsdk.zorv import Device, getRuntimeVersion

try:  # the progress bar and the image are optional extras
    from tqdm import tqdm
except ImportError:  # pragma: no cover
    tqdm = None  # type: ignore[assignment,misc]
try:
    from PIL import Image
except ImportError:  # pragma: no cover
    Image = None  # type: ignore[assignment]


class HitMap:
    """Counts hits per pixel. Runs inside the data callable, on a thread of the SDK: the arrays
    are valid only during the call, so only what is needed is taken from them."""

    def __init__(self, width: int, height: int, progress: Any = None) -> None:
        self.width, self.height = width, height
        self.counts = np.zeros(width * height, dtype=np.uint64)
        self.deliveries = 0
        self.hits = 0
        self.last_toa = 0
        self.lock = threading.Lock()
        self.progress = progress

    def __call__(self, data: np.ndarray, metadata: dict[str, Any]) -> None:
        if len(data) == 0:
            return
        addresses = data["address"]
        inside = addresses < self.counts.size
        with self.lock:
            self.counts += np.bincount(addresses[inside], minlength=self.counts.size).astype(np.uint64)
            self.deliveries += 1
            self.hits += len(data)
            self.last_toa = max(self.last_toa, int(data["toa"][-1]))
        if self.progress is not None:
            self.progress.update(len(data))

    def image(self) -> np.ndarray:
        """The hit map as 8-bit grey levels on a logarithmic scale."""
        counts = np.log1p(self.counts.reshape(self.height, self.width).astype(np.float64))
        top = counts.max()
        return (counts * (255.0 / top) if top > 0 else counts).astype(np.uint8)


def detector_size(device: Device) -> tuple[int, int]:
    """Pixel width and height of the whole detector: the size of its pixel mask."""
    width, height = device.config.getMaskSize()
    return int(width), int(height)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", help="data-driven readout mode")
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="stop the acquisition after this time if it has not ended by itself")
    parser.add_argument("--output", default="hitmap.png", help="PNG file of the hit map")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)

    device = Device()
    try:
        descriptors = device.enumerate()
        if not descriptors:
            print("no device attached", file=sys.stderr)
            return 1
        first = descriptors[0]
        device.open(first.connectionString)
        try:
            print(f"SDK {tuple(getRuntimeVersion())}; opened {first.product} {first.serialNumber} "
                  f"({first.connectionString})")
            width, height = detector_size(device)
            channel = args.channel or device.acq.getChannelIds()[0]
            device.chip.selectMode(args.mode)
            progress = None if args.quiet or tqdm is None else tqdm(unit=" hits", unit_scale=True, desc="acquiring")
            hitmap = HitMap(width, height, progress)
            device.acq.setDataCallback(channel, hitmap)
            start = time.perf_counter()
            device.acq.begin(channel)
            stop = threading.Timer(args.seconds, device.acq.abort, args=(channel,))
            stop.start()
            try:
                device.acq.end(channel)  # deliveries run on the SDK's threads meanwhile
            finally:
                stop.cancel()
                stop.join()
            elapsed = time.perf_counter() - start
            if progress is not None:
                progress.close()
        finally:
            device.close()
    finally:
        device.finalize()

    rate = hitmap.hits / elapsed if elapsed > 0 else 0.0
    busiest = int(hitmap.counts.argmax())
    print(f"{hitmap.deliveries} deliveries, {hitmap.hits} hits in {elapsed:.3f} s ({rate:,.0f} hits/s)")
    print(f"{int((hitmap.counts > 0).sum())} of {width * height} pixels hit; busiest pixel "
          f"({busiest % width}, {busiest // width}) with {int(hitmap.counts[busiest])} hits")
    if hitmap.hits == 0:
        print("no hits were delivered", file=sys.stderr)
        return 1
    if Image is None:
        print("pillow is not installed: no image written", file=sys.stderr)
    else:
        Image.fromarray(hitmap.image(), mode="L").save(args.output)
        print(f"hit map written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
