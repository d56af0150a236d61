"""SDK log lines forwarded to the logger "zorvsdk"."""
import logging

import pytest

import zorvsim

LOGGER = "zorvsdk"


@pytest.fixture
def records(caplog, device):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def _ours(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


@pytest.mark.parametrize("on_thread", [False, True])
def test_line_is_stripped(records, on_thread):
    zorvsim.log(zorvsim.INFO, "  hello \n", on_thread=on_thread)
    got = _ours(records)
    assert [(r.getMessage(), r.levelno) for r in got] == [("hello", logging.INFO)]


@pytest.mark.parametrize("on_thread", [False, True])
@pytest.mark.parametrize(
    "severity, level",
    [
        (9, logging.DEBUG),
        (0, logging.INFO),
        (-1, logging.WARNING),
        (-2, logging.ERROR),
        (-3, logging.CRITICAL),
        (5, logging.CRITICAL),
    ],
)
def test_severity_to_level(records, severity, level, on_thread):
    zorvsim.log(severity, "line", on_thread=on_thread)
    assert [(r.getMessage(), r.levelno) for r in _ours(records)] == [("line", level)]


def test_percent_signs_are_kept(records):
    zorvsim.log(zorvsim.WARNING, "100% done %s")
    assert [r.getMessage() for r in _ours(records)] == ["100% done %s"]


@pytest.mark.parametrize("on_thread", [False, True])
def test_invalid_utf8_is_reported_and_next_line_passes(records, monkeypatch, on_thread):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", lambda args: reported.append(args.exc_type))
    zorvsim.log(zorvsim.INFO, b"bad \xff\xfe line", on_thread=on_thread)
    zorvsim.log(zorvsim.INFO, "next", on_thread=on_thread)
    assert reported == [UnicodeDecodeError]
    assert [r.getMessage() for r in _ours(records)] == ["next"]


def test_line_emitted_inside_a_call(records, device):
    zorvsim.log_on_call("zorv_dev_is_opened", zorvsim.WARNING, "inside")
    assert device.isOpened() is False
    assert [(r.getMessage(), r.levelno) for r in _ours(records)] == [("inside", logging.WARNING)]


def test_line_inside_a_failing_call_keeps_the_failure(records, device):
    from zorvsdk import errors

    zorvsim.log_on_call("zorv_dev_is_opened", zorvsim.ERROR, "inside")
    zorvsim.fail("zorv_dev_is_opened", -3, b"bad")
    with pytest.raises(errors.ZorvSdkInvalidArgumentError) as info:
        device.isOpened()
    assert info.value.args == ("bad",)
    assert [(r.getMessage(), r.levelno) for r in _ours(records)] == [("inside", logging.ERROR)]


def test_undecodable_line_inside_a_call_leaves_the_call_alone(monkeypatch, records, device):
    # monkeypatch first: its hook must outlive the device, whose teardown calls zorv_dev_is_opened
    reported = []
    monkeypatch.setattr("sys.unraisablehook", lambda args: reported.append(args.exc_type))
    zorvsim.log_on_call("zorv_dev_is_opened", zorvsim.INFO, b"\xc3(")
    assert device.isOpened() is False
    assert reported == [UnicodeDecodeError]
    assert _ours(records) == []
