"""A threshold scan run by the Bluesky RunEngine, and its integral spectrum drawn from the run's documents.

The detector (zorvsdk.bluesky.ZorvDetector) is scanned with ``bp.scan([det], det.threshold, start,
stop, steps)``: at each step every calibrated threshold is set, one acquisition of
``--acquire-time`` seconds runs, and its hits go into the run's NeXus file in --data. The figure is
made from the documents alone: the hits of each step against its threshold (the integral
spectrum, which falls in a step at each photon line of the source) above its derivative (the
differential spectrum, each line a peak), with the units the documents give. Needs the bluesky
extra: pip install "zorvsdkpy[bluesky,examples]".

    python examples/bluesky_threshold_scan.py --output scan.png --data data
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # no display needed: the figure goes to a file
import bluesky.plan_stubs as bps
import bluesky.plans as bp
import matplotlib.pyplot as plt
import numpy as np
from bluesky import RunEngine
from ophyd_async.core import StaticPathProvider, UUIDFilenameProvider, init_devices

from zorvsdk.bluesky import ZorvDetector
from zorvsdk.zorv import Device


class Documents:
    """Keeps the documents of the runs, by kind."""

    def __init__(self) -> None:
        self.docs: list[tuple[str, dict[str, Any]]] = []

    def __call__(self, name: str, doc: dict[str, Any]) -> None:
        self.docs.append((name, doc))

    def all(self, kind: str) -> list[dict[str, Any]]:
        return [doc for name, doc in self.docs if name == kind]


def plot(docs: Documents, motor: str, det: str, output: str) -> None:
    """The integral spectrum (the hits of each step against its threshold, logarithmic) above the
    differential one, from the run's start, descriptor and events."""
    start, (descriptor,), events = docs.all("start")[-1], docs.all("descriptor"), docs.all("event")
    keys = descriptor["data_keys"]
    threshold = np.array([e["data"][motor] for e in events])
    hits = np.array([e["data"][f"{det}-hits"] for e in events])
    unit, counted = keys[motor]["units"], keys[f"{det}-hits"]["units"]
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(7, 6), dpi=100, sharex=True,
                                         gridspec_kw={"height_ratios": [3, 2]})
    shown = hits > 0  # a logarithmic axis has no 0
    top.plot(threshold[shown], hits[shown], marker="o", markersize=3, label="hits above the threshold")
    top.set_yscale("log")
    top.set_ylabel(f"{counted} per step")
    if len(threshold) > 1:
        middle = (threshold[1:] + threshold[:-1]) / 2
        lost = -np.diff(hits) / np.diff(threshold)
        bottom.plot(middle, lost, color="tab:green", marker=".", markersize=4, label="hits lost per step")
        bottom.axhline(0, color="grey", linewidth=0.5)
    bottom.set_ylabel(f"-d(hits)/d(threshold)\n({counted} per {unit})")
    bottom.set_xlabel(f"threshold ({unit})")
    for axes in (top, bottom):
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(loc="upper right", fontsize=8)
    seconds = np.mean([e["data"][f"{det}-seconds"] for e in events])
    top.set_title(f"Threshold scan {start['scan_id']} (run {start['uid'][:8]}) of {start['device']}, "
                  f"channel {start['channel']}\n{len(events)} steps of {seconds:.2f} s, "
                  f"{int(hits.sum()):,} hits", fontsize=10)
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--start", type=float, default=5.0, help="first threshold in keV (default: 5)")
    parser.add_argument("--stop", type=float, default=20.0, help="last threshold in keV (default: 20)")
    parser.add_argument("--steps", type=int, default=16, help="number of steps (default: 16)")
    parser.add_argument("--acquire-time", type=float, default=1.0, help="seconds per step (default: 1)")
    parser.add_argument("--data", type=Path, default=Path("."), help="directory of the run's NeXus file")
    parser.add_argument("--output", default="bluesky_threshold_scan.png", help="PNG file of the figure")
    args = parser.parse_args(argv)
    if args.steps < 1 or not args.acquire_time > 0:
        parser.error("--steps must be at least 1 and --acquire-time above 0")
    if not args.data.is_dir():
        parser.error(f"--data: no directory {args.data}")

    RE = RunEngine({})
    docs = Documents()
    RE.subscribe(docs)  # type: ignore[no-untyped-call]
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
        with init_devices():
            det = ZorvDetector(device, StaticPathProvider(UUIDFilenameProvider(), args.data.resolve()),
                               locator=locator)
        uncalibrated = [t for t in device.chip.getThresholdIds() if not device.chip.isThresholdCalibrated(t)]
        if uncalibrated:
            print(f"not scanned (not calibrated): {', '.join(uncalibrated)}; their chips count at their own "
                  "thresholds in every step")
        RE(bps.mv(det.acquire_time, args.acquire_time))
        RE(bp.scan([det], det.threshold, args.start, args.stop, args.steps,
                   md={"device": locator, "channel": det.channel}))
    finally:
        device.finalize()  # closes the device
    (resource,) = docs.all("stream_resource")
    plot(docs, det.threshold.name, det.name, args.output)
    print(f"{len(docs.all('event'))} steps written to {resource['uri']}; figure written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
