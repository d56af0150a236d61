from typing import Any, NamedTuple as NamedTuple, Protocol
from typing_extensions import Self, disjoint_base

import numpy as np
from numpy.typing import NDArray

from zorvsdk import errors as errors
from zorvsdk.context import _Context

class PixelMaskDimensions(NamedTuple):
    """Contains dimensions of pixel mask."""

    width: int
    height: int

class _Flattenable(Protocol):
    """An array whose ``flatten()`` gives one-byte elements (uint8, bool or char)."""

    def flatten(self) -> Any: ...

@disjoint_base
class __Configuration:
    def __new__(cls, ctx: _Context | None) -> Self: ...
    def load(self, configType: str, content: str) -> None: ...
    def getMaskSize(self) -> PixelMaskDimensions: ...
    def getMask(self) -> NDArray[np.uint8]: ...
    def setMask(self, mask: _Flattenable) -> None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...
