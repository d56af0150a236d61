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
from typing import Any, Iterable, NamedTuple

import numpy as np

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
    c_ll, c_ull = ctypes.c_longlong, ctypes.c_ulonglong
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
        "zorvsim_flash_erase": (c_int, [c_int, c_char_p, c_int]),
        "zorvsim_script_create": (c_void_p, []),
        "zorvsim_script_discard": (None, [c_void_p]),
        "zorvsim_script_add_delivery": (c_int, [c_void_p]),
        "zorvsim_script_buffer": (c_int, [c_void_p, c_char_p, c_char_p, c_ull]),
        "zorvsim_script_count": (c_int, [c_void_p, c_char_p, c_ll]),
        "zorvsim_script_shutter": (c_int, [c_void_p, c_ull]),
        "zorvsim_script_repeat": (c_int, [c_void_p, c_ll]),
        "zorvsim_script_fail": (c_int, [c_void_p, c_char_p, c_int, c_char_p, c_int]),
        "zorvsim_script_install": (c_int, [c_void_p, c_int, c_char_p, c_int]),
        "zorvsim_script_clear": (c_int, [c_int, c_char_p]),
        "zorvsim_delivery_count": (c_ll, [c_int, c_char_p]),
        "zorvsim_wait_deliveries": (c_ll, [c_int, c_char_p, c_ll, ctypes.c_double]),
        "zorvsim_acquiring": (c_int, [c_int, c_char_p]),
        "zorvsim_delivered_buffer": (c_ll, [c_int, c_char_p, c_ll, c_char_p, c_void_p, c_ull]),
        "zorvsim_truth_keep": (c_int, [c_int, c_char_p, c_ll]),
        "zorvsim_truth_hits": (c_ll, [c_int, c_char_p, c_ll, c_void_p, c_ull]),
        "zorvsim_truth_particles": (c_ll, [c_int, c_char_p, c_ll, c_void_p, c_ull]),
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


def _error() -> SimError:
    """The reason the last failed control call of this thread left."""
    return SimError(library().zorvsim_error().decode("utf-8", "replace"))


def _check(result: int) -> int:
    """A control call's status or count, or its reason raised when it is -1."""
    if result < 0:
        raise _error()
    return result


def _text(ptr: int | None) -> str:
    if not ptr:
        raise _error()
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        library().zorvsim_free(ptr)


def _bytes(msg: str | bytes | None) -> tuple[bytes | None, int]:
    if msg is None:
        return None, -1
    data = msg.encode("utf-8") if isinstance(msg, str) else bytes(msg)
    return data, len(data)


def _json(value: Any) -> str:
    """A value as JSON; bytes become the escape object {"bytes": "<hex>"} that a text of the model
    accepts, so that a text may hold bytes that are not valid UTF-8."""

    def escape(o: Any) -> Any:
        if isinstance(o, (bytes, bytearray)):
            return {"bytes": bytes(o).hex()}
        raise TypeError(f"Object of type {type(o).__name__} is not JSON serializable")

    return json.dumps(value, default=escape)


def reset() -> None:
    """Restores the default model (two attached devices), closes every open device and clears
    every fault, forced value, delay, journal and manual clock."""
    _check(library().zorvsim_reset())


def load_model(doc: dict[str, Any] | str) -> None:
    """Replaces the attached devices by a model document; members left out keep their defaults.
    A refused document changes nothing. A text given as bytes may hold any bytes but NUL."""
    text = doc if isinstance(doc, str) else _json(doc)
    _check(library().zorvsim_load_model(text.encode("utf-8")))


def load_model_file(path: str | os.PathLike[str]) -> None:
    """Loads a model document from a file."""
    _check(library().zorvsim_load_model_file(os.fsencode(path)))


def model() -> dict[str, Any]:
    """The current state of every device as a model document (a text that is not valid UTF-8 as
    ``{"bytes": "<hex>"}``)."""
    return json.loads(_text(library().zorvsim_get_model()))


def get(path: str) -> Any:
    """One member of the model by its path, for example ``"/devices/0/usbVid"``."""
    return json.loads(_text(library().zorvsim_get(path.encode("utf-8"))))


def set(path: str, value: Any) -> None:  # noqa: A001
    """Replaces one member of the model by its path; open devices stay open. A text given as bytes
    may hold any bytes but NUL (``set("/devices/0/product", b"\\xffZQ4")``)."""
    _check(library().zorvsim_set(path.encode("utf-8"), _json(value).encode("utf-8")))


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


def flash_erase(flash_id: str, sector: int | None = None, *, device: int = 0) -> None:
    """Erases one sector (by its memory-wide index; None: every sector) of a flash memory of the
    device number ``device``. Erased bytes read 0xFF; programming can only clear bits, so a sector
    must be erased before bits that are 0 can be programmed to 1."""
    _check(library().zorvsim_flash_erase(device, flash_id.encode("utf-8"), -1 if sector is None else sector))


__all__ += ["flash_erase"]


# ---- scripted acquisitions and delivery counts ----

# Buffer keys of a scripted delivery, with the key of their count and their record size in bytes
# (0: depends on the readout mode, so a byte buffer's count is derived when the acquisition begins).
_SCRIPT_BUFFERS = {
    "packets": ("packet_count", 0),
    "pixel_address_vec": (None, 4),
    "toa_vec": (None, 0),
    "tot_vec": (None, 2),
    "event_vec": (None, 2),
    "itot_vec": (None, 2),
    "tdc0": ("tdc0_count", 8),
    "tdc1": ("tdc1_count", 8),
    "tdc2": ("tdc2_count", 8),
    "bin_descriptors": ("bin_descriptor_count", 8),
    "binned_hitcounters": ("binned_hitcounters_count", 8),
    "binned_itots": ("binned_itots_count", 8),
    "frames": ("frame_count", 256 * 256 * 2),
    "raw": (None, 1),
}
_SCRIPT_COUNTS = {count: name for name, (count, _) in _SCRIPT_BUFFERS.items() if count}
_SCRIPT_COUNTS["vec_length"] = "vec_length"
_SCRIPT_KEYS = {*_SCRIPT_BUFFERS, *_SCRIPT_COUNTS, "shutter", "fail"}
# Record sizes a typed array may have where the mode decides (packets: 16 or 12; ToA: 4 or 8).
_MODE_SIZES = {"packets": (16, 12), "toa_vec": (4, 8)}


def _buffer_bytes(key: str, value: Any) -> tuple[bytes, int]:
    """The bytes of a scripted buffer and its count of records (-1: derived by the library)."""
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
        itemsize = 0
    else:
        view = memoryview(value)
        data = view.tobytes()
        dtype = getattr(value, "dtype", None)
        itemsize = dtype.itemsize if dtype is not None else view.itemsize
    size = _SCRIPT_BUFFERS[key][1]
    if size:
        return data, len(data) // size
    if itemsize in _MODE_SIZES[key]:
        return data, len(data) // itemsize
    return data, -1


def script(channel: str, deliveries: list[dict[str, Any]], device: int = 0, *, hold: bool = False,
           repeat: int = 1) -> None:
    """Scripts the next acquisition on ``channel`` of the device number ``device``: its deliveries
    in order, in place of the synthetic detector; after the last one the acquisition finishes (with
    ``hold``, it goes on without deliveries until it is aborted).

    Each delivery is a dict with any of the buffers ``packets``, ``pixel_address_vec``,
    ``toa_vec``, ``tot_vec``, ``event_vec``, ``itot_vec``, ``tdc0``, ``tdc1``, ``tdc2``,
    ``bin_descriptors``, ``binned_hitcounters``, ``binned_itots``, ``frames`` and ``raw`` (bytes,
    bytearray or an array; None or left out: a null pointer), the counts ``packet_count``,
    ``vec_length``, ``tdc0_count``, ``tdc1_count``, ``tdc2_count``, ``bin_descriptor_count``,
    ``binned_hitcounters_count``, ``binned_itots_count`` and ``frame_count``, ``shutter`` (ticks)
    and ``fail``: {getter name: (status, message)} for getters that fail in that delivery only
    (message bytes or str; None: a null text).

    A count left out is the number of whole records in its buffer: vectors, TDC time stamps and
    binned data by their element width, frames of 131072 bytes, packets and the ToA vector of a
    typed array by its item size, and those of a byte buffer by the record size of the readout mode
    selected when the acquisition begins (packets 16 bytes, 12 in binned-packets mode; ToA 4 bytes in
    seq-toa-tot-vec mode, else 8). ``vec_length`` defaults to the length of the first vector given.
    A count larger than its buffer is served from a zero-padded copy; ``raw`` delivers its bytes.

    ``repeat`` hands the deliveries out that many times over, in order, from the same buffers (a
    fast stream of deliveries, for example for benchmarks).
    """
    lib = library()
    handle = lib.zorvsim_script_create()
    if not handle:
        raise _error()
    try:
        for i, delivery in enumerate(deliveries):
            unknown = sorted(k for k in delivery if k not in _SCRIPT_KEYS)
            if unknown:
                raise ValueError(f"delivery {i}: unknown key {unknown[0]!r}")
            _check(lib.zorvsim_script_add_delivery(handle))
            counts: dict[str, int] = {}
            for key in _SCRIPT_BUFFERS:
                value = delivery.get(key)
                if value is None:
                    if key in delivery:
                        _check(lib.zorvsim_script_buffer(handle, key.encode(), None, 0))
                    continue
                data, count = _buffer_bytes(key, value)
                _check(lib.zorvsim_script_buffer(handle, key.encode(), data, len(data)))
                counts[key] = count
            vec = next((counts[k] for k in ("pixel_address_vec", "tot_vec", "event_vec", "itot_vec", "toa_vec")
                        if k in counts), None)
            if "vec_length" in delivery:
                vec = int(delivery["vec_length"])
            if vec is not None:
                _check(lib.zorvsim_script_count(handle, b"vec_length", vec))
            for count_key, key in _SCRIPT_COUNTS.items():
                if key == "vec_length":
                    continue
                value = delivery.get(count_key, counts.get(key))
                if value is not None:
                    _check(lib.zorvsim_script_count(handle, key.encode(), int(value)))
            if "shutter" in delivery:
                _check(lib.zorvsim_script_shutter(handle, int(delivery["shutter"])))
            for fn, (status, message) in (delivery.get("fail") or {}).items():
                data, n = _bytes(message)
                _check(lib.zorvsim_script_fail(handle, fn.encode(), int(status), data, n))
        if repeat != 1:
            _check(lib.zorvsim_script_repeat(handle, int(repeat)))
    except BaseException:
        lib.zorvsim_script_discard(handle)
        raise
    _check(lib.zorvsim_script_install(handle, device, channel.encode("utf-8"), 1 if hold else 0))


def clear_script(channel: str, device: int = 0) -> None:
    """Drops the script of the next acquisition on a channel: it delivers synthetic data again."""
    _check(library().zorvsim_script_clear(device, channel.encode("utf-8")))


def delivery_count(channel: str, device: int = 0) -> int:
    """Deliveries handed to a data callback on a channel since the last reset (a delivery skipped
    because the registered callback is null is not counted)."""
    return _check(library().zorvsim_delivery_count(device, channel.encode("utf-8")))


def wait_deliveries(channel: str, count: int, device: int = 0, *, timeout: float = 10.0) -> int:
    """Waits until ``count`` deliveries were made on a channel since the last reset, or ``timeout``
    seconds have passed; returns the delivery count reached."""
    return _check(library().zorvsim_wait_deliveries(device, channel.encode("utf-8"), count, timeout))


def acquiring(channel: str, device: int = 0) -> bool:
    """Whether an acquisition is running on a channel (its library thread has not finished)."""
    return _check(library().zorvsim_acquiring(device, channel.encode("utf-8"))) == 1


def delivered_buffer(channel: str, delivery: int, name: str, device: int = 0) -> bytes:
    """The bytes that buffer ``name`` of delivery ``delivery`` (its index in the script) holds after
    the last scripted acquisition on ``channel`` ended: what a callable wrote through its array shows
    here. The length is the buffer's as delivered: what the script gave, padded with zeros to its
    count of records. The buffers stay allocated until the next script is installed on the channel
    or a reset; reading one back fails while an acquisition runs on the channel."""
    lib = library()
    args = (device, channel.encode("utf-8"), delivery, name.encode("utf-8"))
    size = _check(lib.zorvsim_delivered_buffer(*args, None, 0))
    while True:
        out = ctypes.create_string_buffer(size)
        n = _check(lib.zorvsim_delivered_buffer(*args, out, size))
        if n <= size:
            return out.raw[:n]
        size = n  # replaced meanwhile by a longer one


__all__ += ["script", "clear_script", "delivery_count", "wait_deliveries", "acquiring", "delivered_buffer"]


# ---- the truth of the synthetic detector ----

# A particle that the sources made (zorvsim_particle_t): its id, where it crossed the sensor (x, y in
# pixels, the centre of the pixel in column x and row y at (x, y); a track: its middle), when (ToA
# ticks of 1.5625 ns; its hits follow by their time walk), the energy it deposited (keV), the pixels
# it deposited energy in, how many of them the delivery records, and its kind (KINDS).
PARTICLE = np.dtype({"names": ["id", "x", "y", "toa", "kev", "deposits", "hits", "kind"],
                     "formats": ["<i8", "<f8", "<f8", "<u8", "<f8", "<u4", "<u4", "<i4"],
                     "offsets": [0, 8, 16, 24, 32, 40, 44, 48], "itemsize": 56})
KINDS = ("photon", "blob", "track")
NOISE = -1  # the particle id of a noise hit


class Truth(NamedTuple):
    """What the sources made for one delivery: ``hits``, the particle id of each of its hits in
    their order (``NOISE`` for a noise hit), and ``particles``, its particles (``PARTICLE``)."""

    hits: np.ndarray[Any, np.dtype[np.int64]]
    particles: np.ndarray[Any, np.dtype[np.void]]


def keep_truth(channel: str, deliveries: int, device: int = 0) -> None:
    """Keeps the truth of the synthetic acquisitions that begin on ``channel`` from now on, for their
    last ``deliveries`` deliveries (at most 1 GiB in all, older ones let go first); 0 (the default
    after a reset) keeps none. It costs nothing while off, and little on: a copy of each delivery's
    particle ids and its particles."""
    _check(library().zorvsim_truth_keep(device, channel.encode("utf-8"), int(deliveries)))


def truth(channel: str, delivery: int, device: int = 0) -> Truth:
    """The truth of delivery number ``delivery`` (from 0) of the last acquisition on ``channel``,
    kept by ``keep_truth``: there from the moment its callback is called until the next acquisition
    begins on the channel. ``SimError`` says when it is not kept (the acquisition kept none, the
    delivery was let go or has not come yet). In the modes that deliver sums by pixel, ``hits`` are
    those summed, in time order."""
    lib = library()
    args = (device, channel.encode("utf-8"), int(delivery))
    ids = np.empty(_check(lib.zorvsim_truth_hits(*args, None, 0)), np.int64)
    _check(lib.zorvsim_truth_hits(*args, ids.ctypes.data, ids.size))
    particles = np.empty(_check(lib.zorvsim_truth_particles(*args, None, 0)), PARTICLE)
    _check(lib.zorvsim_truth_particles(*args, particles.ctypes.data, particles.size))
    return Truth(ids, particles)


__all__ += ["PARTICLE", "KINDS", "NOISE", "Truth", "keep_truth", "truth"]
