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

from zorvsdk import acquisition as _acquisition
from zorvsdk import sinks as _sinks

__all__ = ["TOA_TOT", "ITOT_EVENT", "BINNED", "BIN_DESCRIPTOR", "TDC_STAMP", "RAW_BYTE", "FRAME_SHAPE",
           "TOA_TICK_SECONDS", "MODES", "METADATA_MODES", "HIT_MODES", "CLUSTER"]


def _named(t: np.dtype[Any]) -> np.dtype[Any]:
    """A plain integer type as NumPy names it (``<u8`` is numpy.uint64); a record as it is."""
    return t if t.names else np.dtype(t.str)


# The acquisition module's table of readout modes: every element type, every kind of delivery and
# the kind of every mode.
_ELEMENTS = {name: _named(t) for name, t in _acquisition._element_types().items()}
_KINDS = {kind[0]: kind for kind in _acquisition._delivery_kinds()}
_MODE_KINDS = {mode: _KINDS[kind] for mode, kind in _acquisition._readout_modes().items() if kind != "raw"}

TOA_TOT = _ELEMENTS["toa_tot"]
"""A hit of the ToA/ToT modes (pixel address, ToT in chip ticks, ToA in ticks), 16 bytes."""
ITOT_EVENT = _ELEMENTS["itot_event"]
"""A pixel of ``0:tpx3-seq-itot-event`` (address, summed ToT, number of hits), 16 bytes."""
BINNED = _ELEMENTS["binned"]
"""A pixel of ``0:tpx3-binned-packets`` (address, hit count, summed ToT), 12 bytes."""
BIN_DESCRIPTOR = _ELEMENTS["bin_descriptor"]
"""A bin of ``0:tpx3-binned-packets`` (index of its first packet, packet count), 8 bytes."""
TDC_STAMP = _ELEMENTS["uint64"]
"""A TDC time stamp of the data-driven modes' metadata, in ToA ticks."""
RAW_BYTE = _ELEMENTS["uint8"]
"""The raw byte stream of a raw registration (``setRawDataCallback``)."""
FRAME_SHAPE = (256, 256)
"""Rows and columns of one frame of ``0:tpx-medipix``; a delivery holds its frames one after the other, flat."""
TOA_TICK_SECONDS = 1.5625e-9
"""The duration of one ToA tick (640 MHz), also the unit of shutter times and TDC stamps."""

MODES: dict[str, tuple[np.dtype[Any], ...]] = {
    mode: tuple(_ELEMENTS[name] for name in kind[1]) for mode, kind in _MODE_KINDS.items()}
"""The element types of the arrays that the data callable receives in each readout mode, in the
order of its arguments (the metadata dictionary of :data:`METADATA_MODES` follows them)."""

METADATA_MODES = frozenset(mode for mode, kind in _MODE_KINDS.items() if kind[2])
"""The modes whose deliveries end with the metadata dictionary (``shutterStart``, ``tdcs``)."""

HIT_MODES = tuple(mode for mode, kind in _MODE_KINDS.items() if kind[3] == "hits")
"""The modes whose deliveries are hits, each with its pixel address, ToT and ToA (as records
:data:`TOA_TOT` or as three vectors), in the order the acquisition module lists them."""

CLUSTER: np.dtype[Any] = _sinks.CLUSTER
"""A cluster of hits (a particle) as :class:`zorvsdk.sinks.Clusterer` hands it out, packed, 60 bytes:
``x``, ``y`` (float32: the ToT-weighted centroid in pixels of the detector, the centre of the pixel
in column x and row y at (x, y)), ``toa`` and ``toa_peak`` (uint64: the ToA of its first hit and of
its largest-ToT hit, in ticks), ``time_ns`` and ``time_peak_ns`` (float64: the same in ns),
``tot_sum`` and ``tot_max`` (uint32: ToT ticks), ``size`` (uint32: hits), ``kev`` (float32: the
summed energy of its hits from its chip's ToT calibration, NaN without one) and ``chip`` (uint32)."""
