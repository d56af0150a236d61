"""Acquisition channels and the data callable.

What the data callable receives depends on the readout mode selected with
``device.chip.selectMode`` when the callable was registered. Every array is a view of a buffer
that the SDK owns and is valid only while the callable runs: copy what you keep. A delivery with
nothing in a place gives an empty ``float64`` array there, so the element types below hold only
for non-empty arrays.
"""

import time as time
from collections.abc import Callable
from typing import Any, Literal, TypeAlias, TypedDict, overload
from typing_extensions import Self, disjoint_base

import numpy as np
from numpy.typing import NDArray

from zorvsdk import errors as errors
from zorvsdk.chip import __Chip
from zorvsdk.context import _Context

# ---- the arrays handed to the data callable ----

ToaTotRecords: TypeAlias = NDArray[Any]
"""Records ``address`` (uint32), ``tot`` (uint32), ``toa`` (uint64): 16 bytes each."""
ItotEventRecords: TypeAlias = NDArray[Any]
"""Records ``address`` (uint32), ``itot`` (uint32), ``event`` (uint64): 16 bytes each."""
BinnedRecords: TypeAlias = NDArray[Any]
"""Records ``address``, ``count``, ``itot`` (all uint32): 12 bytes each."""
BinDescriptorRecords: TypeAlias = NDArray[Any]
"""Records ``offset``, ``packet_count`` (both uint32): 8 bytes each."""
UInt8Array: TypeAlias = NDArray[Any]
"""Bytes (uint8)."""
UInt16Array: TypeAlias = NDArray[Any]
"""uint16 values."""
UInt32Array: TypeAlias = NDArray[Any]
"""uint32 values."""
UInt64Array: TypeAlias = NDArray[Any]
"""uint64 values."""

class AcqMetadata(TypedDict):
    """The second argument of data-driven deliveries."""

    shutterStart: int
    """Shutter rising time in ticks."""
    tdcs: list[UInt64Array]
    """Time stamps of TDC inputs 0, 1 and 2 (always three arrays)."""

# ---- the data callable's argument lists, one per readout mode ----
# The metadata place is typed Any so that a callable may annotate it as AcqMetadata, as
# dict[str, Any] or not at all.

SeqToaTotCallback: TypeAlias = Callable[[ToaTotRecords], object]
"""``0:tpx3-seq-toa-tot``: ``f(npData)``."""
SeqItotEventCallback: TypeAlias = Callable[[ItotEventRecords], object]
"""``0:tpx3-seq-itot-event``: ``f(npData)``."""
SeqToaTotVecCallback: TypeAlias = Callable[[UInt32Array, UInt32Array, UInt16Array], object]
"""``0:tpx3-seq-toa-tot-vec``: ``f(npAddresses, npToas, npTots)``."""
SeqItotEventVecCallback: TypeAlias = Callable[[UInt32Array, UInt16Array, UInt16Array], object]
"""``0:tpx3-seq-itot-event-vec``: ``f(npAddresses, npEvents, npItots)``."""
DdToaTotCallback: TypeAlias = Callable[[ToaTotRecords, Any], object]
"""``0:tpx3-dd-toa-tot`` and ``0:tpx3-sorted-dd-toa-tot``: ``f(npData, metadata)``."""
DdToaTotVecCallback: TypeAlias = Callable[[UInt32Array, UInt64Array, UInt16Array, Any], object]
"""``0:tpx3-dd-toa-tot-vec``: ``f(npAddresses, npToas, npTots, metadata)``."""
BinnedPacketsCallback: TypeAlias = Callable[[BinnedRecords, BinDescriptorRecords, UInt64Array, UInt64Array], object]
"""``0:tpx3-binned-packets``: ``f(npData, npBinDescriptors, npHitsData, npItotsData)``."""
BinnedSumsCallback: TypeAlias = Callable[[UInt64Array], object]
"""``0:tpx3-binned-count-sums`` and ``0:tpx3-binned-itot-sums``: ``f(npData)``."""
FramesCallback: TypeAlias = Callable[[UInt16Array], object]
"""``0:tpx-medipix``: ``f(npFrames)``, 65536 values per frame, frame after frame."""
RawDataCallback: TypeAlias = Callable[[UInt8Array], object]
"""Raw registrations (:meth:`__Acquisition.setRawDataCallback`): ``f(npData)``, the raw byte stream
as one uint8 array, whatever the readout mode."""

AcqDataCallback: TypeAlias = (
    SeqToaTotCallback
    | SeqItotEventCallback
    | SeqToaTotVecCallback
    | SeqItotEventVecCallback
    | DdToaTotCallback
    | DdToaTotVecCallback
    | BinnedPacketsCallback
    | BinnedSumsCallback
    | FramesCallback
    | RawDataCallback
)
"""Any of the data callables above."""

@disjoint_base
class __Acquisition:
    def __new__(cls, ctx: _Context | None, chip: __Chip | None) -> Self: ...
    def getChannelIds(self) -> list[str]: ...
    def _Acquisition__getChannelCount(self) -> int: ...
    def _Acquisition__getChannelId(self, channelIdx: int) -> str: ...
    def begin(self, channelId: str) -> None: ...
    def abort(self, channelId: str) -> None: ...
    def end(self, channelId: str) -> None: ...
    # raw=True registers for the raw byte stream, whatever the mode: the callable is then a
    # RawDataCallback. False registers for the processed data of the selected mode.
    @overload
    def _Acquisition__setDataCallback(self, channelId: str, func: RawDataCallback, raw: Literal[True]) -> None: ...
    @overload
    def _Acquisition__setDataCallback(self, channelId: str, func: AcqDataCallback, raw: Literal[False] = False) -> None: ...
    def setDataCallback(self, channelId: str, func: AcqDataCallback) -> None: ...
    def setRawDataCallback(self, channelId: str, func: RawDataCallback) -> None: ...
    def getDeliveryFailures(self, channelId: str) -> int: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...

def _interpreter_entries() -> int: ...
def _element_types() -> dict[str, np.dtype[Any]]: ...
def _delivery_kinds() -> tuple[tuple[str, tuple[str, ...], bool, str], ...]: ...
def _readout_modes() -> dict[str, str]: ...
