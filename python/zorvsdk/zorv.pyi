import logging as logging
from types import TracebackType
from typing import Any, Literal, NamedTuple as NamedTuple
from typing_extensions import Self, disjoint_base

from zorvsdk import errors as errors
from zorvsdk.acquisition import __Acquisition
from zorvsdk.axi import __Axi
from zorvsdk.bias import __Bias
from zorvsdk.board import __Board
from zorvsdk.chip import __Chip
from zorvsdk.configuration import __Configuration
from zorvsdk.cooling import __Cooling
from zorvsdk.flashmem import __Flashmem
from zorvsdk.identity import __Identity
from zorvsdk.monitor import __Monitor
from zorvsdk.revision import __Revision
from zorvsdk.syncmode import __SyncMode
from zorvsdk.trigger import __Trigger

class DeviceDescriptor(NamedTuple):
    """Contains information about a device."""

    connectionString: str
    product: str
    manufacturer: str
    serialNumber: str
    usbVid: int
    usbPid: int
    usbInstancePath: str
    # The SDK's flags, passed on as the ints 0 and 1.
    isHighSpeed: int
    isSuperSpeed: int

class SdkVersion(NamedTuple):
    """Represents the version of the SDK."""

    major: int
    minor: int
    patch: int

@disjoint_base
class Device:
    # Each attribute accepts an instance of its class or None; deleting it stores None.
    bias: __Bias
    board: __Board
    chip: __Chip
    config: __Configuration
    monitor: __Monitor
    trigger: __Trigger
    syncmode: __SyncMode
    cooling: __Cooling
    acq: __Acquisition
    revision: __Revision
    props: __Identity
    axi: __Axi
    flashmem: __Flashmem
    def __new__(cls, *args: Any, **kwargs: Any) -> Self: ...
    def open(self, locator: str) -> None: ...
    def close(self) -> None: ...
    def isOpened(self) -> bool: ...
    def enumerate(self) -> list[DeviceDescriptor]: ...
    def finalize(self) -> None: ...
    # ``with Device() as device:`` closes the device if open and finalizes, also on an exception,
    # which goes on.
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None
    ) -> Literal[False]: ...
    def _Device__setLogger(self) -> None: ...
    def __del__(self) -> None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...

def getRuntimeVersion() -> SdkVersion: ...
def getCompileTimeVersion() -> SdkVersion: ...
