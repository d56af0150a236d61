"""The record classes and the enumeration of the extension modules.

Each class belongs to the module that hands it out: it names that module as its own
(``__module__``), and the module binds it at load, so that it is found, shown, documented and
pickled there (``zorvsdk.bias.BiasRange``). Import them from those modules, not from here.
"""

from __future__ import annotations

from enum import Enum
from typing import TYPE_CHECKING, Callable, NamedTuple, TypeVar

if TYPE_CHECKING:
    import numpy

_Class = TypeVar("_Class", bound=type)


def _of(module: str) -> Callable[[_Class], _Class]:
    """Makes the class the named module's own."""

    def own(cls: _Class) -> _Class:
        cls.__module__ = module
        return cls

    return own


# ---- zorvsdk.zorv ----


@_of("zorvsdk.zorv")
class DeviceDescriptor(NamedTuple):
    """
    Contains information about a device.

    Attributes:
        connectionString (str): Unique device locator.
        product (str): Product name.
        manufacturer (str): Manufacturer name.
        serialNumber (str): Serial number.
        usbVid (int): Vendor id.
        usbPid (int): Product id.
        usbInstancePath (str): Instance path.
        isHighSpeed (bool): Signifies whether the device is high speed.
        isSuperSpeed (bool): Signifies whether the device is super speed.
    """
    connectionString: str
    product: str
    manufacturer: str
    serialNumber: str
    usbVid: int
    usbPid: int
    usbInstancePath: str
    isHighSpeed: bool
    isSuperSpeed: bool


@_of("zorvsdk.zorv")
class SdkVersion(NamedTuple):
    """
    Represents the version of the SDK.

    Attributes:
        major (int): Major version.
        minor (int): Minor version.
        patch (int): Patch version.
    """
    major: int
    minor: int
    patch: int


# ---- zorvsdk.identity ----


@_of("zorvsdk.identity")
class VidPid(NamedTuple):
    """
    Contains vendor id and product id of the USB device.

    Attributes:
        vendorId (int): Vendor id of the USB device.
        productId (int): Product id of the USB device.
    """
    vendorId: int
    productId: int


# ---- zorvsdk.chip ----


@_of("zorvsdk.chip")
class DacLimits(NamedTuple):
    """
    Contains minimum and maximum DAC values.

    Attributes:
        min (int): Minimum DAC value.
        max (int): Maximum DAC value.
    """
    min: int
    max: int


@_of("zorvsdk.chip")
class ThresholdRange(NamedTuple):
    """
    Contains minimum, maximum and noise of threshold.

    Args:
        min (float): Minimum threshold.
        max (float): Maximum threshold.
        noise (float): Noise of threshold.
    """
    min: float
    max: float
    noise: float


@_of("zorvsdk.chip")
class RawThresholdRange(NamedTuple):
    """
    Contains minimum and maximum raw threshold.

    Attributes:
        min (int): Minimum raw threshold.
        max (int): Maximum raw threshold.
    """
    min: int
    max: int


@_of("zorvsdk.chip")
class ChipPolarity(Enum):
    """
    Contains polarity of a chip.
    """
    positive = 0
    negative = 1


@_of("zorvsdk.chip")
class BinningParams(NamedTuple):
    """
    Contains binning parameters.

    Attributes:
        width (int): Bin width in pixels.
        height (int): Bin height in pixels.
        dwellTime (int): Dwell time of a bin.
    """
    width: int
    height: int
    dwellTime: int


# ---- zorvsdk.bias, zorvsdk.cooling, zorvsdk.configuration ----


@_of("zorvsdk.bias")
class BiasRange(NamedTuple):
    """
    Contains minimum and maximum bias values.

    Attributes:
        min (float): Minimum bias value.
        max (float): Maximum bias value.
    """
    min: float
    max: float


@_of("zorvsdk.cooling")
class CoolingLimits(NamedTuple):
    """
    Contains minimum and maximum temperature of cooling unit.

    Attributes:
        min (float): Minimum temperature.
        max (float): Maximum temperature.
    """
    min: float
    max: float


@_of("zorvsdk.configuration")
class PixelMaskDimensions(NamedTuple):
    """
    Contains dimensions of pixel mask.

    Attributes:
        width (int): Width of the pixel mask.
        height (int): Height of the pixel mask.
    """
    width: int
    height: int


# ---- zorvsdk.sinks ----


@_of("zorvsdk.sinks")
class Batch(NamedTuple):
    """
    Consecutive deliveries of one kind, taken at once by :func:`Recorder.get_batch`.

    Attributes:
        kind (str): The kind of delivery, such as "dd-toa-tot", "medipix" or "raw".
        deliveries (int): How many deliveries the batch holds.
        arrays (tuple): One array per argument of the data callable (metadata aside), each the concatenation of that argument over the deliveries, of its element type even when empty.
        offsets (numpy.ndarray): int64, one row per array and deliveries + 1 columns: delivery ``i`` is ``arrays[p][offsets[p, i]:offsets[p, i + 1]]``.
        shutters (numpy.ndarray): The uint64 shutter times of the deliveries; None for a kind without metadata.
        tdcs (tuple): The time stamps of TDC inputs 0, 1 and 2, each concatenated; None for a kind without metadata.
        tdc_offsets (numpy.ndarray): int64 offsets of the deliveries in ``tdcs``, as ``offsets``; None for a kind without metadata.
    """
    kind: str
    deliveries: int
    arrays: tuple
    offsets: numpy.ndarray
    shutters: numpy.ndarray
    tdcs: tuple
    tdc_offsets: numpy.ndarray
