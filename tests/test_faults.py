"""The virtual device under faults: every SDK function that a public method calls, made to fail with
each status that maps to an exception, on its first call and on a later one (composite methods call
some functions several times): the method raises the mapped exception with the library's text, returns
no partial result, and works as before once the fault is gone."""

import threading

import numpy as np
import pytest

import zorvsim
from calls import LOCATOR, METHODS, NATIVE_ONLY, device_for_calls
from zorvsdk import errors

MAPPED = {
    -1: errors.ZorvSdkInternalException,
    -2: errors.ZorvSdkInvalidOperationError,
    -3: errors.ZorvSdkInvalidArgumentError,
    -4: errors.ZorvSdkNoMemoryException,
    -5: errors.ZorvSdkPointerException,
}
AXI = {102: errors.ZorvSdkAxiException, 103: errors.ZorvSdkAxiException}
TEXT = "injected: \u00b5A out of range"

# Functions whose status nobody sees: they return nothing, only fetch a failure's text, or run inside
# a destructor.
UNREPORTED = {"zorv_version", "zorv_log_set_func", "zorv_ctx_get_last_error", "zorv_ctx_destroy"}

# Calls that only succeed once per state, whose failure is their result, or that call no function of
# the library: they say nothing about a fault of their own functions.
NOT_HERE = {"finalize", "open+close", "with", "open(unknown)", "open(None)", "open(bad encode)",
            "setDacValue(overflow)", "load(malformed)", "pickle refused", "Region+Sector", "_Context",
            "Device", "__setLogger", "getRuntimeVersion", "getCompileTimeVersion", "setValueChangedCallback",
            "setAvailChangedCallback", "setDataCallback(None)", "getDeliveryFailures", "_throwZorvError",
            "mode table"}


def plain(value):
    """The result in a form that compares by value (arrays by their contents)."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        return value
    return type(value).__name__, plain(getattr(value, "__dict__", None))


@pytest.fixture
def dev():
    d = device_for_calls()
    yield d
    zorvsim.clear_controls()
    d.finalize()


def settle(dev):
    """Stops what a failed call left running (an acquisition whose abort failed)."""
    zorvsim.clear_controls()
    for ch in ("ch0", "ch1"):
        if zorvsim.acquiring(ch):
            dev.acq.abort(ch)


def calls_made(call, dev):
    """The SDK functions the call makes on the calling thread, with how often each is called."""
    me = threading.get_native_id()
    with zorvsim.Journal() as j:
        result = call(dev)
    counts = {}
    for e in j.entries:
        if e["thread"] == me and e["fn"] not in UNREPORTED:
            counts[e["fn"]] = counts.get(e["fn"], 0) + 1
    return plain(result), counts


def expected(fn, status):
    if fn == "zorv_board_count":  # reported through errors._throwZorvError, not the library's text
        return MAPPED[status], (f"getBoardCount failed with status {status}",)
    return {**MAPPED, **AXI}[status], (TEXT,)


@pytest.mark.parametrize("name", sorted(set(METHODS) - NOT_HERE - NATIVE_ONLY))
def test_every_function_of_a_method_fails_with_every_mapped_status(dev, name):
    call = METHODS[name]
    first, functions = calls_made(call, dev)
    assert functions, "the method calls the library"
    for fn, times in functions.items():
        statuses = list(MAPPED) + (list(AXI) if fn.startswith("zorv_axi_") else [])
        for skip in sorted({0, times - 1}):  # its first call, and its last one
            for status in statuses:
                zorvsim.clear_controls()
                zorvsim.fail(fn, status, TEXT, skip=skip)
                cls, args = expected(fn, status)
                with pytest.raises(errors.ZorvSdkException) as e:
                    call(dev)
                settle(dev)
                assert (type(e.value), e.value.args) == (cls, args), (fn, skip, status)
        zorvsim.clear_controls()
        # nothing of the fault is left behind: the method gives what it gave before
        assert plain(call(dev)) == first, fn


@pytest.mark.parametrize("status", [-6, -100, 1, 101, 104])
def test_statuses_outside_the_table_raise_nothing(dev, status):
    # a status that maps to no exception is passed over; composite methods still give whole results
    zorvsim.fail("zorv_chip_id", status, TEXT, count=-1)
    ids = dev.chip.getChipIds()
    assert len(ids) == 4 and all(isinstance(i, str) for i in ids)


@pytest.mark.parametrize("status", sorted(MAPPED))
def test_failed_open_or_close_leaves_the_device_as_it_was(dev, status):
    zorvsim.fail("zorv_dev_close", status, TEXT)
    with pytest.raises(MAPPED[status], match="injected"):
        dev.close()
    assert dev.isOpened()
    dev.close()
    zorvsim.fail("zorv_dev_open", status, TEXT)
    with pytest.raises(MAPPED[status], match="injected"):
        dev.open(LOCATOR)
    assert not dev.isOpened()
    dev.open(LOCATOR)
    assert dev.isOpened()
