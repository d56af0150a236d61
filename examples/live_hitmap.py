"""Show a hit map that fills in while the acquisition runs.

The acquisition waits for its end on a worker thread, and a native hit map
(:class:`zorvsdk.sinks.HitMap`) registered in place of a data callable adds each delivery's hits on
the SDK's threads, without taking the interpreter lock. The main thread, which owns the figure,
redraws the map from a snapshot of its counts every ``--interval`` seconds until the acquisition has
ended, then once more. With a display the figure is a window; headless (``MPLBACKEND=Agg``, or ``--headless``)
nothing is shown, and ``--frames DIR`` keeps every redraw as a PNG. ``--output`` saves the final
map.

    python examples/live_hitmap.py --interval 0.2
    MPLBACKEND=Agg python examples/live_hitmap.py --output hitmap.png --frames frames/
"""

from __future__ import annotations

import argparse
import sys
import threading
from pathlib import Path
from typing import Any

import matplotlib

if "--headless" in sys.argv[1:]:
    matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm

from zorvsdk.sinks import HitMap
from zorvsdk.zorv import Device


def snapshot(hitmap: HitMap) -> tuple[np.ndarray[Any, Any], int, int]:
    """The counts so far, the hits they add up to (those outside the map too) and the deliveries."""
    deliveries = hitmap.delivered  # read first: the counts then hold at least these deliveries
    counts = hitmap.counts()
    return counts, int(counts.sum()) + hitmap.outside, deliveries


class Acquisition(threading.Thread):
    """Runs one acquisition to its end, so that the main thread stays free to draw."""

    def __init__(self, device: Device, channel: str) -> None:
        super().__init__(name="acquisition", daemon=True)
        self.device, self.channel = device, channel
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self.device.acq.begin(self.channel)
            self.device.acq.end(self.channel)  # releases the interpreter lock while it waits
        except BaseException as e:  # handed to the main thread
            self.error = e


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", choices=("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot"))
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--interval", type=float, default=0.25, help="seconds between redraws (default: 0.25)")
    parser.add_argument("--headless", action="store_true", help="draw without a display (the Agg backend)")
    parser.add_argument("--frames", type=Path, help="directory to keep every redraw in as a PNG")
    parser.add_argument("--output", type=Path, help="PNG file of the final hit map")
    args = parser.parse_args(argv)
    interactive = matplotlib.get_backend().lower() != "agg"

    with Device() as device:  # closed and finalized at the end of the block, also on an error
        locator = args.device
        if locator is None:
            descriptors = device.enumerate()
            if not descriptors:
                print("no device attached", file=sys.stderr)
                return 1
            locator = descriptors[0].connectionString
        device.open(locator)
        width, height = device.config.getMaskSize()  # pixel addresses are y * width + x
        channel = args.channel or device.acq.getChannelIds()[0]
        device.chip.selectMode(args.mode)
        hitmap = HitMap(width, height)
        device.acq.setDataCallback(channel, hitmap)

        figure, axes = plt.subplots(figsize=(6, 6 * height / width + 0.5))
        image = axes.imshow(np.ones((height, width)), origin="lower", cmap="inferno", norm=LogNorm(vmin=1, vmax=10))
        figure.colorbar(image, ax=axes, label="hits per pixel")
        axes.set_xlabel("x (pixel)")
        axes.set_ylabel("y (pixel)")
        if args.frames:
            args.frames.mkdir(parents=True, exist_ok=True)

        updates = 0

        def redraw() -> None:
            nonlocal updates
            counts, hits, deliveries = snapshot(hitmap)
            shown = np.ma.masked_less(counts, 1)  # pixels without hits stay blank
            image.set_data(shown)
            image.set_norm(LogNorm(vmin=1, vmax=max(10, int(counts.max()))))
            axes.set_title(f"{hits} hits, {deliveries} deliveries")
            updates += 1
            if args.frames:
                figure.savefig(args.frames / f"frame{updates:04d}.png")
            if interactive:
                plt.pause(0.001)
            else:
                figure.canvas.draw_idle()

        if interactive:
            plt.show(block=False)
        worker = Acquisition(device, channel)
        worker.start()
        while True:
            worker.join(args.interval)
            ended = not worker.is_alive()
            redraw()
            if ended:  # that was the redraw of the complete map
                break
        if worker.error is not None:
            raise worker.error

    counts, hits, deliveries = snapshot(hitmap)
    if args.output:
        figure.savefig(args.output)
        print(f"hit map written to {args.output}")
    print(f"{deliveries} deliveries, {hits} hits, {int((counts > 0).sum())} pixels hit, {updates} redraws")
    if interactive:
        plt.show()
    plt.close(figure)
    return 0 if hits else 1


if __name__ == "__main__":
    sys.exit(main())
