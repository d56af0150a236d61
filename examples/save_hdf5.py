"""Record a data-driven (dd-toa-tot) acquisition into an HDF5 file.

Every delivery is appended, while the acquisition runs, to the resizable datasets of the file:

    /hits          records (address uint32, tot uint32, toa uint64), in delivery order
    /deliveries    per delivery: first hit index, hit count, shutterStart
    /tdc0 .. /tdc2 the TDC time stamps of the three inputs (uint64)

The file's attributes name the device, the readout mode, the channel and the detector size, so a
hit's pixel is (address % width, address // width). The arrays handed to the data callable are
views of the SDK's buffers that are valid only during the call: writing them into the file copies
them, which is all that is needed. Runs against the virtual device that ships with the package, or
a real SDK library put on LD_LIBRARY_PATH.

    python examples/save_hdf5.py --output run.h5
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from typing import TYPE_CHECKING, Any

import h5py  # type: ignore[import-untyped]
import numpy as np

from zorvsdk import dtypes
from zorvsdk.zorv import Device, getRuntimeVersion

if TYPE_CHECKING:  # a name of the type stubs only: annotations are not evaluated
    from zorvsdk.acquisition import AcqMetadata

DELIVERY = np.dtype([("first", "<u8"), ("count", "<u8"), ("shutterStart", "<u8")])
CHUNK = 1 << 16


def append(dataset: Any, rows: np.ndarray[Any, Any]) -> None:
    """Appends rows at the end of a resizable one-dimensional dataset."""
    n = dataset.shape[0]
    dataset.resize((n + len(rows),))
    dataset[n:] = rows


class Recorder:
    """Writes each delivery into the file. Called on a thread of the SDK."""

    def __init__(self, file: Any) -> None:
        self.lock = threading.Lock()  # deliveries of different channels may come on different threads
        self.hits = file.create_dataset("hits", shape=(0,), maxshape=(None,), dtype=dtypes.TOA_TOT, chunks=(CHUNK,))
        self.deliveries = file.create_dataset("deliveries", shape=(0,), maxshape=(None,), dtype=DELIVERY, chunks=True)
        self.tdcs = [
            file.create_dataset(f"tdc{i}", shape=(0,), maxshape=(None,), dtype="<u8", chunks=True) for i in range(3)
        ]

    def __call__(self, data: np.ndarray[Any, Any], metadata: AcqMetadata) -> None:
        with self.lock:
            first = self.hits.shape[0]
            if len(data):  # an empty delivery gives an empty array without fields
                append(self.hits, data)
            append(self.deliveries, np.array([(first, len(data), metadata["shutterStart"])], dtype=DELIVERY))
            for dataset, stamps in zip(self.tdcs, metadata["tdcs"]):
                if len(stamps):
                    append(dataset, stamps.astype("<u8", copy=False))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="connection string (default: the first attached device)")
    parser.add_argument("--mode", default="0:tpx3-dd-toa-tot", choices=("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot"))
    parser.add_argument("--channel", help="acquisition channel (default: the first)")
    parser.add_argument("--output", default="run.h5", help="HDF5 file to write (replaced if it exists)")
    args = parser.parse_args(argv)

    with Device() as device:  # closed and finalized at the end of the block, also on an error
        locator = args.device
        if locator is None:
            descriptors = device.enumerate()
            if not descriptors:
                print("no device attached", file=sys.stderr)
                return 1
            locator = descriptors[0].connectionString
        device.open(locator)
        width, height = device.config.getMaskSize()  # a hit's pixel: address % width, address // width
        channel = args.channel or device.acq.getChannelIds()[0]
        device.chip.selectMode(args.mode)
        with h5py.File(args.output, "w") as file:
            file.attrs.update({
                "product": device.props.getProduct(),
                "serialNumber": device.props.getSerialNumber(),
                "connectionString": locator,
                "sdkVersion": list(getRuntimeVersion()),
                "mode": args.mode,
                "channel": channel,
                "width": width,
                "height": height,
            })
            recorder = Recorder(file)
            device.acq.setDataCallback(channel, recorder)
            start = time.perf_counter()
            device.acq.begin(channel)
            device.acq.end(channel)  # deliveries are written on the SDK's threads meanwhile
            elapsed = time.perf_counter() - start
            file.attrs["seconds"] = elapsed
            hits, deliveries = recorder.hits.shape[0], recorder.deliveries.shape[0]

    print(f"{deliveries} deliveries, {hits} hits in {elapsed:.3f} s written to {args.output}")
    return 0 if deliveries else 1


if __name__ == "__main__":
    sys.exit(main())
