"""Exceptions raised for failing SDK calls."""

from typing import NoReturn

class ZorvSdkException(Exception):
    """Base class of the exceptions below."""

class ZorvSdkInternalException(ZorvSdkException):
    """Status -1: an internal failure of the SDK."""

class ZorvSdkInvalidOperationError(ZorvSdkException):
    """Status -2: the operation is not possible in the current state."""

class ZorvSdkInvalidArgumentError(ZorvSdkException):
    """Status -3: an argument was refused."""

class ZorvSdkNoMemoryException(ZorvSdkException):
    """Status -4: the SDK ran out of memory."""

class ZorvSdkPointerException(ZorvSdkException):
    """Status -5: a pointer was refused."""

class ZorvSdkAxiException(ZorvSdkException):
    """Status 102 or 103 of an AXI register access."""

def _throwZorvError(status: int, operation: str) -> NoReturn: ...
