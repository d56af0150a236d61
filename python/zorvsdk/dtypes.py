"""The element types of the arrays that acquisition delivers, as named NumPy types.

The record types are packed and little-endian, with the fields, offsets and item sizes of the
SDK's buffers; a delivered array that is not empty has exactly the type given here for its place
(an empty place is an empty ``float64`` array). Use them to allocate arrays of your own, for
example to collect copies of deliveries or to read back files of records::

    from zorvsdk import dtypes

    hits = np.empty(0, dtype=dtypes.TOA_TOT)
    x, y = hits["address"] % width, hits["address"] // width

Pixel addresses number the pixels of the whole detector row by row (``y * width + x``), with the
detector's width and height as ``device.config.getMaskSize()`` reports them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["TOA_TOT", "ITOT_EVENT", "BINNED", "BIN_DESCRIPTOR", "TDC_STAMP", "RAW_BYTE", "FRAME_SHAPE",
           "TOA_TICK_SECONDS", "MODES", "METADATA_MODES"]


def _packed(*fields: tuple[str, str]) -> np.dtype[np.void]:
    offsets, at = [], 0
    for _, fmt in fields:
        offsets.append(at)
        at += np.dtype(fmt).itemsize
    return np.dtype({"names": [n for n, _ in fields], "formats": [f for _, f in fields], "offsets": offsets,
                     "itemsize": at})


TOA_TOT = _packed(("address", "<u4"), ("tot", "<u4"), ("toa", "<u8"))
"""A hit of the ToA/ToT modes (pixel address, ToT in chip ticks, ToA in ticks), 16 bytes."""
ITOT_EVENT = _packed(("address", "<u4"), ("itot", "<u4"), ("event", "<u8"))
"""A pixel of ``0:tpx3-seq-itot-event`` (address, summed ToT, number of hits), 16 bytes."""
BINNED = _packed(("address", "<u4"), ("count", "<u4"), ("itot", "<u4"))
"""A pixel of ``0:tpx3-binned-packets`` (address, hit count, summed ToT), 12 bytes."""
BIN_DESCRIPTOR = _packed(("offset", "<u4"), ("packet_count", "<u4"))
"""A bin of ``0:tpx3-binned-packets`` (index of its first packet, packet count), 8 bytes."""
TDC_STAMP = np.dtype("<u8")
"""A TDC time stamp of the data-driven modes' metadata, in ToA ticks."""
RAW_BYTE = np.dtype("u1")
"""The raw byte stream of a raw registration (``setRawDataCallback``)."""
FRAME_SHAPE = (256, 256)
"""Rows and columns of one frame of ``0:tpx-medipix``; a delivery holds its frames one after the other, flat."""
TOA_TICK_SECONDS = 1.5625e-9
"""The duration of one ToA tick (640 MHz), also the unit of shutter times and TDC stamps."""

_U16, _U32, _U64 = np.dtype("<u2"), np.dtype("<u4"), np.dtype("<u8")

MODES: dict[str, tuple[np.dtype[Any], ...]] = {
    "0:tpx3-seq-toa-tot": (TOA_TOT,),
    "0:tpx3-seq-toa-tot-vec": (_U32, _U32, _U16),
    "0:tpx3-seq-itot-event": (ITOT_EVENT,),
    "0:tpx3-seq-itot-event-vec": (_U32, _U16, _U16),
    "0:tpx3-dd-toa-tot": (TOA_TOT,),
    "0:tpx3-sorted-dd-toa-tot": (TOA_TOT,),
    "0:tpx3-dd-toa-tot-vec": (_U32, _U64, _U16),
    "0:tpx3-binned-packets": (BINNED, BIN_DESCRIPTOR, _U64, _U64),
    "0:tpx3-binned-count-sums": (_U64,),
    "0:tpx3-binned-itot-sums": (_U64,),
    "0:tpx-medipix": (_U16,),
}
"""The element types of the arrays that the data callable receives in each readout mode, in the
order of its arguments (the metadata dictionary of :data:`METADATA_MODES` follows them)."""

METADATA_MODES = frozenset({"0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-dd-toa-tot-vec"})
"""The modes whose deliveries end with the metadata dictionary (``shutterStart``, ``tdcs``)."""
