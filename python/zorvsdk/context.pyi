"""The SDK context that every component object of a device shares."""

from typing import Any
from typing_extensions import Self, disjoint_base

@disjoint_base
class _Context:
    """Owns one SDK context handle; created by :class:`zorvsdk.zorv.Device`."""

    def __new__(cls) -> Self: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...
