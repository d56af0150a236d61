"""Control of the virtual device that ships as the default SDK library.

The virtual device models attached devices (chips, supplies, memories, acquisition channels) and
offers a test bench around every SDK function: fault injection, forced out-values, delays, log
lines and a journal of calls. A model is a JSON document; ``ZORVSIM_MODEL`` names a model file
that is loaded when the library is first used.

Example::

    import zorvsim
    zorvsim.reset()
    zorvsim.fail("zorv_dev_open", -2, b"device busy")
    with zorvsim.Journal() as journal:
        ...
    print(journal.calls("zorv_dev_open"))
"""

from __future__ import annotations

import ctypes
import json
import os
from pathlib import Path
from typing import Any, Iterable

__all__ = [
    "SimError", "library", "reset", "load_model", "load_model_file", "model", "get", "set",
    "fail", "force", "block", "log_on_call", "clear_controls", "journal", "take_journal", "Journal",
    "log", "clock_manual", "clock_advance", "clock_now", "context_count",
    "DEBUG", "INFO", "WARNING", "ERROR", "FATAL",
]

DEBUG, INFO, WARNING, ERROR, FATAL = 9, 0, -1, -2, -3


class SimError(RuntimeError):
    """A control call that the virtual device refused."""


def _load() -> ctypes.CDLL:
    import zorvsdk.context  # noqa: F401  (loads the SDK library that the modules use)

    path = Path(__file__).resolve().parent.parent / "zorvsdkpy.libs" / "libZorvSdk.so"
    lib = ctypes.CDLL(os.fspath(path))
    if not hasattr(lib, "zorvsim_reset"):
        raise SimError(f"{path} is not the virtual device")
    c_char_p, c_int, c_void_p = ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p
    sigs = {
        "zorvsim_error": (ctypes.c_char_p, []),
        "zorvsim_free": (None, [c_void_p]),
        "zorvsim_reset": (c_int, []),
        "zorvsim_load_model": (c_int, [c_char_p]),
        "zorvsim_load_model_file": (c_int, [c_char_p]),
        "zorvsim_get_model": (c_void_p, []),
        "zorvsim_get": (c_void_p, [c_char_p]),
        "zorvsim_set": (c_int, [c_char_p, c_char_p]),
        "zorvsim_fail": (c_int, [c_char_p, c_int, c_char_p, c_int, c_int, c_int]),
        "zorvsim_force": (c_int, [c_char_p, c_char_p, c_int, c_int]),
        "zorvsim_block": (c_int, [c_char_p, c_int, c_int]),
        "zorvsim_log_on_call": (c_int, [c_char_p, c_int, c_char_p, c_int]),
        "zorvsim_clear_controls": (None, []),
        "zorvsim_journal": (None, [c_int]),
        "zorvsim_journal_take": (c_void_p, []),
        "zorvsim_log": (c_int, [c_int, c_char_p, c_int, c_int]),
        "zorvsim_clock_manual": (None, [c_int]),
        "zorvsim_clock_advance": (None, [ctypes.c_double]),
        "zorvsim_clock_now": (ctypes.c_double, []),
        "zorvsim_context_count": (c_int, []),
    }
    for name, (res, args) in sigs.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args
    return lib


_lib: ctypes.CDLL | None = None


def library() -> ctypes.CDLL:
    """The virtual device library, as loaded by the zorvsdk modules."""
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def _check(status: int) -> None:
    if status != 0:
        raise SimError(library().zorvsim_error().decode("utf-8", "replace"))


def _text(ptr: int | None) -> str:
    if not ptr:
        raise SimError(library().zorvsim_error().decode("utf-8", "replace"))
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        library().zorvsim_free(ptr)


def _bytes(msg: str | bytes | None) -> tuple[bytes | None, int]:
    if msg is None:
        return None, -1
    data = msg.encode("utf-8") if isinstance(msg, str) else bytes(msg)
    return data, len(data)


def reset() -> None:
    """Restores the default model (two attached devices), closes every open device and clears
    every fault, forced value, delay, journal and manual clock."""
    _check(library().zorvsim_reset())


def load_model(doc: dict[str, Any] | str) -> None:
    """Replaces the attached devices by a model document; members left out keep their defaults.
    A refused document changes nothing."""
    text = doc if isinstance(doc, str) else json.dumps(doc)
    _check(library().zorvsim_load_model(text.encode("utf-8")))


def load_model_file(path: str | os.PathLike[str]) -> None:
    """Loads a model document from a file."""
    _check(library().zorvsim_load_model_file(os.fsencode(path)))


def model() -> dict[str, Any]:
    """The current state of every device as a model document."""
    return json.loads(_text(library().zorvsim_get_model()))


def get(path: str) -> Any:
    """One member of the model by its path, for example ``"/devices/0/usbVid"``."""
    return json.loads(_text(library().zorvsim_get(path.encode("utf-8"))))


def set(path: str, value: Any) -> None:  # noqa: A001
    """Replaces one member of the model by its path; open devices stay open."""
    _check(library().zorvsim_set(path.encode("utf-8"), json.dumps(value).encode("utf-8")))


def fail(fn: str, status: int, message: str | bytes | None = b"", *, skip: int = 0, count: int = 1) -> None:
    """Makes calls of the SDK function ``fn`` fail with ``status`` and the last-error text
    ``message`` (bytes are passed unchanged, so invalid UTF-8 can be tested; None leaves the text
    pointer null): after ``skip`` calls, ``count`` calls in a row (``count=-1``: every call)."""
    data, n = _bytes(message)
    _check(library().zorvsim_fail(fn.encode(), status, data, n, skip, count))


def force(fn: str, values: Iterable[Any], *, skip: int = 0, count: int = 1) -> None:
    """Makes calls of ``fn`` write these out-values, one per out-parameter in order (None leaves
    one alone; a text as str, or as bytes for arbitrary bytes)."""
    out = []
    for v in values:
        if isinstance(v, (bytes, bytearray)):
            out.append({"hex": bytes(v).hex()})
        else:
            out.append(v)
    _check(library().zorvsim_force(fn.encode(), json.dumps(out).encode(), skip, count))


def block(fn: str, seconds: float, *, count: int = 1) -> None:
    """Makes calls of ``fn`` take ``seconds`` longer."""
    _check(library().zorvsim_block(fn.encode(), int(seconds * 1000), count))


def log_on_call(fn: str, severity: int, message: str | bytes) -> None:
    """Makes every call of ``fn`` emit a log line inside the call."""
    data, n = _bytes(message)
    _check(library().zorvsim_log_on_call(fn.encode(), severity, data, n))


def clear_controls() -> None:
    """Removes every fault, forced value, delay and log-on-call."""
    library().zorvsim_clear_controls()


def journal(on: bool) -> None:
    """Switches the call journal on or off (it costs nothing while off)."""
    library().zorvsim_journal(1 if on else 0)


def take_journal() -> list[dict[str, Any]]:
    """The calls journaled since the last take: ``fn``, ``args`` as received, ``gil`` (whether the
    caller held the interpreter lock) and ``thread`` (native thread id)."""
    return json.loads(_text(library().zorvsim_journal_take()))


class Journal:
    """Journals the calls made inside a ``with`` block."""

    def __init__(self) -> None:
        self.entries: list[dict[str, Any]] = []

    def __enter__(self) -> "Journal":
        take_journal()
        journal(True)
        return self

    def __exit__(self, *exc: object) -> None:
        journal(False)
        self.entries = take_journal()

    def calls(self, fn: str | None = None) -> list[dict[str, Any]]:
        """The entries of one function (or all)."""
        return [e for e in self.entries if fn is None or e["fn"] == fn]

    def names(self) -> list[str]:
        return [e["fn"] for e in self.entries]


def log(severity: int, message: str | bytes, *, on_thread: bool = False) -> None:
    """Emits a log line to every context with a log function, on this thread or on a library
    thread (waited for)."""
    data, n = _bytes(message)
    _check(library().zorvsim_log(severity, data, n, 1 if on_thread else 0))


def clock_manual(on: bool = True) -> None:
    """Stops (or restarts) real time for ramps and lags; :func:`clock_advance` moves it on."""
    library().zorvsim_clock_manual(1 if on else 0)


def clock_advance(seconds: float) -> None:
    library().zorvsim_clock_advance(seconds)


def clock_now() -> float:
    return float(library().zorvsim_clock_now())


def context_count() -> int:
    """Number of live SDK contexts."""
    return int(library().zorvsim_context_count())
