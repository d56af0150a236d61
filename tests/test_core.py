"""Status mapping, argument parsing and text conversion shared by every method."""
import os
import subprocess
import sys
import threading
import time

import pytest

import zorvsim
import zorvsdk.zorv
from zorvsdk import errors

from conftest import LOCATOR


@pytest.mark.parametrize(
    "status, cls",
    [
        (-1, errors.ZorvSdkInternalException),
        (-2, errors.ZorvSdkInvalidOperationError),
        (-3, errors.ZorvSdkInvalidArgumentError),
        (-4, errors.ZorvSdkNoMemoryException),
        (-5, errors.ZorvSdkPointerException),
    ],
)
def test_failure_status_raises_its_exception(device, status, cls):
    assert issubclass(cls, errors.ZorvSdkException)
    zorvsim.fail("zorv_dev_is_opened", status, b"went wrong")
    with pytest.raises(cls) as info:
        device.isOpened()
    assert type(info.value) is cls
    assert info.value.args == ("went wrong",)


@pytest.mark.parametrize("status", [-6, 1])
def test_unmapped_status_raises_nothing(device, status):
    zorvsim.fail("zorv_dev_is_opened", status, b"ignored")
    assert device.isOpened() is False


@pytest.mark.parametrize("message", [b"", None])
def test_empty_or_null_message_gives_empty_text(device, message):
    zorvsim.fail("zorv_dev_is_opened", -2, message)
    with pytest.raises(errors.ZorvSdkInvalidOperationError) as info:
        device.isOpened()
    assert info.value.args == ("",)


def test_message_is_decoded_as_utf8(device):
    zorvsim.fail("zorv_dev_is_opened", -3, "größe µ".encode())
    with pytest.raises(errors.ZorvSdkInvalidArgumentError) as info:
        device.isOpened()
    assert info.value.args == ("größe µ",)


def test_invalid_utf8_message_raises_decode_error(device):
    zorvsim.fail("zorv_dev_is_opened", -3, b"bad \xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        device.isOpened()


def test_failure_is_only_injected_once(device):
    zorvsim.fail("zorv_dev_is_opened", -2, b"once")
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        device.isOpened()
    assert device.isOpened() is False


def test_throw_zorv_error_names_the_operation():
    with pytest.raises(errors.ZorvSdkInvalidArgumentError) as info:
        errors._throwZorvError(-3, "getBoardCount")
    assert "getBoardCount" in str(info.value)


class _NoneEncoding(str):
    def encode(self, *args, **kwargs):
        return None


class _StrEncoding(str):
    def encode(self, *args, **kwargs):
        return "zorvsim:0"


class _BytesEncoding(str):
    def encode(self, *args, **kwargs):
        return b"zorvsim:0"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.isOpened(1), "isOpened() takes exactly 0 positional arguments (1 given)"),
        (lambda d: d.isOpened(x=1), "isOpened() got an unexpected keyword argument 'x'"),
        (lambda d: d.close(1, 2), "close() takes exactly 0 positional arguments (2 given)"),
        (lambda d: d.enumerate(y=1), "enumerate() got an unexpected keyword argument 'y'"),
        (lambda d: d.open(), "open() takes exactly 1 positional argument (0 given)"),
        (lambda d: d.open("a", "b"), "open() takes exactly 1 positional argument (2 given)"),
        (lambda d: d.open("zorvsim:0", locator="x"),
         "open() got multiple values for keyword argument 'locator'"),
        (lambda d: d.open(where="x"), "open() got an unexpected keyword argument 'where'"),
        (lambda d: d.open(_NoneEncoding("x")), "expected bytes, NoneType found"),
        (lambda d: d.open(_StrEncoding("x")), "Expected bytes, got str"),
        (lambda d: type(d.bias)(), "__cinit__() takes exactly 1 positional argument (0 given)"),
        (lambda d: type(d.bias)(5), "Cannot convert int to zorvsdk.context._Context"),
        (lambda d: type(d.acq)(None), "__cinit__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_errors(device, call, message):
    with pytest.raises(TypeError) as info:
        call(device)
    assert str(info.value) == message
    assert device.isOpened() is False


@pytest.mark.parametrize("locator", [b"zorvsim:0", None])
def test_open_needs_an_encodable_locator(device, locator):
    with pytest.raises(AttributeError):
        device.open(locator)
    assert device.isOpened() is False


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.open(locator=LOCATOR),
        lambda d: d.open(_BytesEncoding("ignored")),
    ],
)
def test_open_accepts_keyword_and_str_subclass(device, call):
    call(device)
    assert device.isOpened() is True


def test_locator_reaches_the_sdk_unchanged(device):
    with zorvsim.Journal() as journal:
        device.open(LOCATOR)
    assert [e["args"] for e in journal.calls("zorv_dev_open")][0][-1] == LOCATOR


@pytest.mark.parametrize(
    "fn, call",
    [
        ("zorv_dev_is_opened", lambda d: d.isOpened()),
        ("zorv_dev_open", lambda d: d.open(LOCATOR)),
        ("zorv_dev_close", lambda d: (d.open(LOCATOR), d.close())),
        ("zorv_dev_enumerate", lambda d: d.enumerate()),
        ("zorv_enum_get_product", lambda d: d.enumerate()),
    ],
)
def test_lock_is_released_around_sdk_calls(device, fn, call):
    with zorvsim.Journal() as journal:
        call(device)
    entries = journal.calls(fn)
    assert entries
    assert all(e["gil"] is False for e in entries)


def test_blocked_call_lets_other_threads_run(device):
    zorvsim.block("zorv_dev_is_opened", 0.3)
    span = {}

    def worker():
        span["start"] = time.monotonic()
        span["result"] = device.isOpened()
        span["end"] = time.monotonic()

    thread = threading.Thread(target=worker)
    stamps = []
    thread.start()
    while thread.is_alive():
        stamps.append(time.monotonic())
        time.sleep(0.002)
    thread.join()
    assert span["result"] is False
    assert span["end"] - span["start"] >= 0.25
    inside = [t for t in stamps if span["start"] + 0.05 < t < span["end"] - 0.05]
    assert len(inside) >= 3


@pytest.mark.parametrize("component", ["bias", "board", "chip", "monitor", "config"])
def test_component_without_context_can_be_made(device, component):
    cls = type(getattr(device, component))
    obj = cls(None)
    assert type(obj) is cls


def test_module_reinitialisation_is_refused():
    stage = os.path.dirname(os.path.dirname(os.path.abspath(zorvsdk.zorv.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [stage, env.get("PYTHONPATH")] if p)
    code = (
        "import zorvsdk.board, sys\n"
        "del sys.modules['zorvsdk.board']\n"
        "try:\n"
        "    import zorvsdk.board\n"
        "except RuntimeError as e:\n"
        "    print('RuntimeError:', e)\n"
        "else:\n"
        "    print('imported again')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "RuntimeError: Module 'board' has already been imported. Re-initialisation is not supported."
    )
