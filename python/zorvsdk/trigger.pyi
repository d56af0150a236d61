from typing import Any
from typing_extensions import Self, disjoint_base

from zorvsdk.context import _Context

@disjoint_base
class __Trigger:
    def __new__(cls, ctx: _Context | None) -> Self: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...
