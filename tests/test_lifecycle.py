"""The acquisition lifecycle under real use: registrations checked against the selected readout mode,
waits that answer Ctrl-C, exits and forks that never hang, callables released exactly when the SDK can
no longer call them, failures and kept arrays reported, texts never cut short at a NUL.

Programs that exit, fork or take signals run in their own interpreter with a time limit: a hang
fails the test instead of holding the suite."""

import gc
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import warnings
import weakref

import numpy as np
import pytest

from programs import HELPERS

import zorvsim
from calls import BINNING, LOCATOR
from zorvsdk import errors, zorv

SANITIZED = bool(os.environ.get("ZORV_SANITIZED"))

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8],
                    "itemsize": 16})
PACKETS = {"packets": np.array([(1, 2, 3), (4, 5, 6)], dtype=TOA_TOT)}
TDCS = {"tdc0": np.array([5, 6], dtype="<u8"), "shutter": 1234}


def select(dev, mode):
    dev.chip.selectMode(mode, BINNING if "binned" in mode else None)


def endless():
    zorvsim.set("/devices/0/acquisition", {"deliveries": -1, "hitsPerDelivery": 50, "realTime": False})


class Callable:
    def __init__(self):
        self.n = 0

    def __call__(self, *arrays):
        self.n += 1


# ---- programs in their own interpreter ----

TIMEOUT = 30

PRELUDE = """
import gc, json, os, queue, signal, sys, threading, time, warnings, weakref
import zorvsim
from zorvsdk.zorv import Device

def report(**values):
    print(json.dumps(values), flush=True)

# Forking while the library's threads run is what some of these programs test (3.12 and later warn).
warnings.filterwarnings("ignore", "This process .* is multi-threaded, use of fork", DeprecationWarning)

""" + HELPERS + """

def interrupt_after(*seconds):
    # Ctrl-C as the terminal sends it: SIGINT to the main thread, at each delay. The times are kept.
    sent = []
    def send():
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    for s in seconds:
        threading.Timer(s, send).start()
    return sent

def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()

def child_status(pid, seconds=8):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"
"""


def run(body, *, timeout=TIMEOUT):
    """Runs a program; its status, its reports (one dict per line of output) and its stderr."""
    try:
        proc = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(body)], capture_output=True,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the program did not end within {timeout} s\nstdout: {e.stdout}\nstderr: {e.stderr}")
    assert "Fatal Python error" not in proc.stderr, proc.stderr
    reports = [json.loads(line) for line in proc.stdout.splitlines()]
    return proc.returncode, reports, proc.stderr


def merged(reports):
    out = {}
    for r in reports:
        out.update(r)
    return out


# ---- registrations and the selected readout mode ----

# A processed registration decodes deliveries by the layout of its mode.
@pytest.mark.parametrize("registered, selected, refused", [
    ("0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot-vec", True),  # 8-byte ToA over a 4-byte buffer
    ("0:tpx3-seq-toa-tot", "0:tpx3-binned-packets", True),  # 16-byte records over 12-byte ones
    ("0:tpx-medipix", "0:tpx3-dd-toa-tot", True),  # frames over hits: every hit lost
    ("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", False),  # the same layout
    ("raw", "0:tpx3-binned-packets", False),  # bytes whatever the mode
])
def test_begin_refuses_a_registration_made_for_another_layout(opened, registered, selected, refused):
    got = Callable()
    if registered == "raw":
        select(opened, "0:tpx3-seq-toa-tot")
        opened.acq.setRawDataCallback("ch0", got)
    else:
        select(opened, registered)
        opened.acq.setDataCallback("ch0", got)
    select(opened, selected)
    zorvsim.script("ch0", [{"raw": b"abc", **PACKETS}])
    if refused:
        with zorvsim.Journal() as j, pytest.raises(errors.ZorvSdkInvalidOperationError) as e:
            opened.acq.begin("ch0")
        assert re.search(f"{registered}.*{selected}.*register", str(e.value)), str(e.value)
        assert j.calls("zorv_acq_begin") == []
        opened.acq.setDataCallback("ch0", got)  # registered again for the selected mode
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert got.n == 1


def test_each_channel_is_checked_against_its_own_registration(opened):
    select(opened, "0:tpx3-seq-toa-tot")
    for ch in ("ch0", "ch1"):
        opened.acq.setDataCallback(ch, print)
    select(opened, "0:tpx3-binned-count-sums")
    opened.acq.setDataCallback("ch0", lambda sums: None)
    zorvsim.script("ch0", [])
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="'ch1'.*0:tpx3-seq-toa-tot"):
        opened.acq.begin("ch1")


# ---- waits that answer Ctrl-C ----

# Ctrl-C while the main thread waits in end() on an endless acquisition; and the lock trap: the caller
# holds the lock that the callable waits for, then waits for the delivery in progress (an interrupted
# end() asks for an abort and waits for it: a second Ctrl-C stops that wait). The call must come back
# with KeyboardInterrupt, and once the lock is let go everything stops by itself.
@pytest.mark.parametrize("call, trap, interrupts, calls", [
    ("dev.acq.end('ch0')", False, (0.2,), ["zorv_acq_end", "zorv_acq_abort"]),
    ("dev.acq.abort('ch0')", True, (0.2,), ["zorv_acq_abort"]),
    ("dev.close()", True, (0.2,), ["zorv_dev_close"]),
    ("dev.acq.end('ch0')", True, (0.2, 0.6), ["zorv_acq_end", "zorv_acq_abort"]),
], ids=["end", "abort-trap", "close-trap", "end-trap"])
def test_ctrl_c_ends_the_wait(call, trap, interrupts, calls):
    stopped = "not dev.isOpened()" if "close" in call else "not zorvsim.acquiring('ch0')"
    status, reports, stderr = run(f"""
        endless()
        dev = opened()
        lock = threading.Lock()
        inside = threading.Event()
        def on_data(*arrays):
            inside.set()
            with lock:
                pass
        dev.acq.setDataCallback("ch0", on_data)
        if {trap}:
            lock.acquire()
        dev.acq.begin("ch0")
        inside.wait(10)
        sent = interrupt_after(*{interrupts})
        zorvsim.journal(True)
        try:
            {call}
            report(outcome="returned")
        except KeyboardInterrupt:
            report(outcome="KeyboardInterrupt", seconds=time.monotonic() - sent[-1], interrupts=len(sent),
                   acquiring=zorvsim.acquiring("ch0"))
        if {trap}:
            lock.release()  # the call goes on by itself once the delivery in progress returns
        report(stopped=wait_until(lambda: {stopped}))
        zorvsim.journal(False)
        report(calls=[e["fn"] for e in zorvsim.take_journal() if e["fn"] in {calls!r}])
        if dev.isOpened():  # usable at once
            zorvsim.script("ch0", [{{"packets": bytes(16)}}] * 3)
            n = zorvsim.delivery_count("ch0")
            dev.acq.begin("ch0")
            dev.acq.end("ch0")
            report(again=zorvsim.delivery_count("ch0") - n)
            dev.close()
    """)
    assert (status, stderr) == (0, "")
    result = merged(reports)
    assert result["outcome"] == "KeyboardInterrupt" and result["seconds"] < 1.0, result
    assert result["interrupts"] == len(interrupts) and result["acquiring"] == trap and result["stopped"], result
    assert result["calls"] == calls
    assert result.get("again") == (None if "close" in call else 3)


STOPS = {
    "end": (lambda d: d.acq.end("ch0"), "zorv_acq_end"),
    "abort": (lambda d: d.acq.abort("ch0"), "zorv_acq_abort"),
    "close": (lambda d: d.close(), "zorv_dev_close"),
}


@pytest.mark.parametrize("method", STOPS)
def test_without_an_interrupt_each_wait_is_one_sdk_call(opened, method):
    stop, fn = STOPS[method]
    select(opened, "0:tpx3-seq-toa-tot")
    opened.acq.setDataCallback("ch0", print)
    zorvsim.script("ch0", [], hold=method != "end")
    opened.acq.begin("ch0")
    with zorvsim.Journal() as j:
        stop(opened)
    assert [(e["fn"], e["gil"]) for e in j.entries] == [(fn, False)]


# ---- exit and fork ----

# A callable blocked on a full bounded queue that nobody drains any more.
@pytest.mark.parametrize("ending, expected", [("sys.exit(3)", 3), ("pass", 0)])
def test_exit_never_waits_for_a_blocked_callable(ending, expected):
    status, reports, stderr = run(f"""
        endless()
        dev = opened()
        q = queue.Queue(maxsize=1)
        entered = []
        def on_data(data, meta):
            entered.append(1)
            q.put(len(data))
        dev.acq.setDataCallback("ch0", on_data)
        dev.acq.begin("ch0")
        report(blocked=wait_until(lambda: len(entered) >= 2 and q.full()))
        {ending}
    """, timeout=20)
    assert status == expected, stderr
    assert reports == [{"blocked": True}]
    lines = stderr.strip().splitlines()
    assert len(lines) <= 1 and all("deliveries were still running" in line for line in lines), stderr


@pytest.mark.parametrize("child", [
    "dev.close()",
    "del dev; gc.collect()",
    "sys.exit(0)",
    "os._exit(0)",
])
def test_fork_while_acquiring(child):
    status, reports, stderr = run(f"""
        endless()
        dev = opened()
        f = Counter()
        dev.acq.setDataCallback("ch0", f)
        dev.acq.begin("ch0")
        zorvsim.wait_deliveries("ch0", 5)
        pid = os.fork()
        if pid == 0:
            {child}
            os._exit(0)
        report(child=child_status(pid))
        n = zorvsim.delivery_count("ch0")
        report(parent_delivers=zorvsim.wait_deliveries("ch0", n + 20) >= n + 20)
        dev.acq.abort("ch0")
        report(acquiring=zorvsim.acquiring("ch0"), all_counted=f.n == zorvsim.delivery_count("ch0"))
        dev.close()
    """)
    assert (status, stderr) == (0, "")
    assert merged(reports) == {"child": 0, "parent_delivers": True, "acquiring": False, "all_counted": True}


def test_fork_while_a_library_thread_is_in_python():
    # A library thread runs a logging handler at the fork: it does not exist in the child, whose exit
    # must not wait for it (the package waits up to 5 s for entries of library threads in progress).
    status, reports, stderr = run("""
        import logging
        dev = Device()
        inside, release = threading.Event(), threading.Event()
        class Blocking(logging.Handler):
            def emit(self, record):
                inside.set()
                release.wait()
        logging.getLogger("zorvsdk").addHandler(Blocking())
        logging.getLogger("zorvsdk").setLevel(logging.INFO)
        threading.Thread(target=zorvsim.log, args=(zorvsim.INFO, "line"), kwargs={"on_thread": True}).start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        start = time.monotonic()
        report(child=child_status(pid), seconds=time.monotonic() - start)
        release.set()
    """)
    assert (status, stderr) == (0, "")
    result = merged(reports)
    assert result["child"] == 0 and result["seconds"] < 3.0, result


# ---- callables released exactly when the SDK can no longer call them ----

def test_finalize_releases_every_callable_once_the_device_is_closed(opened):
    endless()
    select(opened, "0:tpx3-dd-toa-tot")
    callables = [Callable() for _ in range(3)]  # an earlier registration of ch0, the latest of ch0 and of ch1
    refs = [weakref.ref(f) for f in callables]
    running_at_release = []
    for f in callables:
        weakref.finalize(f, lambda: running_at_release.append(zorvsim.acquiring("ch0") or zorvsim.acquiring("ch1")))
    for ch, f in zip(("ch0", "ch0", "ch1"), callables):
        opened.acq.setDataCallback(ch, f)
    del callables, f
    for ch in ("ch0", "ch1"):
        opened.acq.begin(ch)
        zorvsim.wait_deliveries(ch, 5)
        opened.acq.abort(ch)
    gc.collect()
    # The replaced one went at once (no acquisition ran on ch0); the device is open: the SDK may call
    # the latest of each channel.
    assert [r() is not None for r in refs] == [False, True, True]
    opened.finalize()
    gc.collect()
    assert [r() is None for r in refs] == [True] * 3
    assert running_at_release == [False] * 3


def _dropped_device_that_its_callable_refers_to():
    dev = zorv.Device()
    dev.open(LOCATOR)
    select(dev, "0:tpx3-dd-toa-tot")
    chips = []

    def on_data(data, meta):
        chips.append(dev.chip)

    dev.acq.setDataCallback("ch0", on_data)
    dev.acq.begin("ch0")
    zorvsim.wait_deliveries("ch0", 5)
    return weakref.ref(on_data)  # the Device goes with this frame, left to the collector


def test_a_dropped_device_whose_callable_refers_to_it_is_closed_on_collection():
    endless()
    ref = _dropped_device_that_its_callable_refers_to()
    gc.collect()
    assert ref() is None
    assert not zorvsim.acquiring("ch0") and zorvsim.context_count() == 0
    again = zorv.Device()
    again.open(LOCATOR)  # no longer in use
    assert again.isOpened()
    again.finalize()


# A failure of zorv_dev_is_opened is no "closed": finalize closes the device before releasing.
@pytest.mark.parametrize("close_fails", [False, True])
def test_finalize_never_releases_a_callable_the_sdk_may_still_call(close_fails):
    status, reports, stderr = run(f"""
        endless()
        dev = opened()
        f = Counter(0.0002)
        ref = weakref.ref(f)
        running_at_release = []
        weakref.finalize(f, lambda: running_at_release.append(zorvsim.acquiring("ch0")))
        dev.acq.setDataCallback("ch0", f)
        dev.acq.begin("ch0")
        del f
        zorvsim.wait_deliveries("ch0", 5)
        zorvsim.fail("zorv_dev_is_opened", -77, b"no answer", count=-1)
        if {close_fails}:
            zorvsim.fail("zorv_dev_close", -77, b"no answer", count=-1)
        dev.finalize()
        gc.collect()
        n = zorvsim.delivery_count("ch0")
        report(after_finalize=ref() is not None, delivering=zorvsim.wait_deliveries("ch0", n + 20, timeout=1) >= n + 20)
        zorvsim.clear_controls()
        dev.finalize()
        gc.collect()
        report(released=ref() is None, running_at_release=running_at_release, opened=dev.isOpened())
    """)
    assert (status, stderr) == (0, "")
    assert merged(reports) == {"after_finalize": close_fails, "delivering": close_fails, "released": True,
                               "running_at_release": [False], "opened": False}


# The callable closes its own device, on the delivery thread: its delivery is still in progress when the
# registrations are released, and its failure (or kept array) is still to be reported.
@pytest.mark.parametrize("stop, then", [
    ("holder[0].finalize()", "raise RuntimeError('after finalize')"),
    ("holder[0].finalize()", "kept.append(data)"),
    ("holder.clear(); gc.collect()", "raise RuntimeError('after the drop')"),
])
def test_a_callable_that_closes_its_own_device_has_its_delivery_reported(stop, then):
    status, reports, stderr = run(f"""
        endless()
        holder = [opened()]
        kept, messages = [], []
        sys.unraisablehook = lambda args: messages.append(args.err_msg)
        warnings.simplefilter("always")
        warnings.showwarning = lambda message, *args: messages.append(str(message))
        def on_data(data, meta):
            if holder and not kept and not messages:
                {stop}
                {then}
        holder[0].acq.setDataCallback("ch0", on_data)
        holder[0].acq.begin("ch0")
        wait_until(lambda: messages)
        report(messages=messages)
    """)
    assert (status, stderr) == (0, "")
    (message,) = reports[0]["messages"]
    assert "readout mode 0:tpx3-dd-toa-tot" in message, message


@pytest.mark.parametrize("setter", ["setValueChangedCallback", "setAvailChangedCallback"])
def test_replacing_a_monitor_callable_whose_destructor_finalizes(setter):
    status, reports, stderr = run(f"""
        dev = opened()
        class Finalizes:
            def __call__(self, *args):
                pass
            def __del__(self):
                dev.finalize()
                report(finalized_by_del=not dev.isOpened())
        dev.monitor.{setter}("key", Finalizes())
        dev.monitor.{setter}("key", print)
        dev.monitor.{setter}("other", print)
        dev.monitor.{setter}("key", Finalizes())
        dev.finalize()
        report(done=True)
    """)
    assert (status, stderr) == (0, "")
    assert reports == [{"finalized_by_del": True}, {"finalized_by_del": True}, {"done": True}]


# ---- kept arrays and failures reported ----

KEEPS = {
    "the array": (lambda data, meta: data, True),
    "a field": (lambda data, meta: data["address"], True),
    "a record": (lambda data, meta: data[0], True),
    "a TDC array": (lambda data, meta: meta["tdcs"][0], True),
    "the metadata": (lambda data, meta: meta, True),
    "a copy": (lambda data, meta: data.copy(), False),
    "copied TDCs": (lambda data, meta: [np.array(t) for t in meta["tdcs"]], False),
}


@pytest.mark.parametrize("keep", KEEPS)
def test_an_array_kept_beyond_its_delivery_is_warned_once_per_registration(opened, keep):
    take, warned = KEEPS[keep]
    kept = []
    select(opened, "0:tpx3-dd-toa-tot")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for registration in range(2):
            opened.acq.setDataCallback("ch0", lambda data, meta: kept.append(take(data, meta)))
            zorvsim.script("ch0", [{**PACKETS, **TDCS}] * 3)
            opened.acq.begin("ch0")
            opened.acq.end("ch0")
    assert len(kept) == 6
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert len(messages) == (2 if warned else 0), messages
    for m in messages:
        assert "0:tpx3-dd-toa-tot" in m and "outlived its delivery" in m and "copy" in m


def _raises(data):
    raise RuntimeError("the callable failed")


FAILURES = {
    "raises": (_raises, None, RuntimeError),
    "wrong parameters": (lambda: None, None, TypeError),
    "getter fails": (print, {"zorv_acq_tpx3_get_packets": (-3, b"lost sync")}, errors.ZorvSdkInvalidArgumentError),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_the_first_failed_delivery_of_each_registration_is_reported(opened, monkeypatch, failure):
    func, fail, exc_type = FAILURES[failure]
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reported.append((args.exc_type, args.err_msg)))
    select(opened, "0:tpx3-seq-toa-tot")
    for registration in range(2):
        opened.acq.setDataCallback("ch0", func)
        zorvsim.script("ch0", [{**PACKETS, "fail": fail or {}}] * 3)
        opened.acq.begin("ch0")
        opened.acq.end("ch0")
        assert opened.acq.getDeliveryFailures("ch0") == 3
    assert [t for t, _ in reported] == [exc_type] * 2
    for _, message in reported:
        assert "readout mode 0:tpx3-seq-toa-tot" in message and "not reported" in message, message


@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit"])
def test_an_interrupt_raised_in_a_callable_is_reported_and_never_ends_the_process(exc):
    status, reports, stderr = run(f"""
        dev = opened("0:tpx3-seq-toa-tot")
        reported = []
        sys.unraisablehook = lambda args: reported.append(args.exc_type.__name__)
        def stops(data):
            raise {exc}()
        dev.acq.setDataCallback("ch0", stops)
        zorvsim.script("ch0", [{{"packets": bytes(16)}}] * 3)
        dev.acq.begin("ch0")
        dev.acq.end("ch0")
        report(reported=reported, failures=dev.acq.getDeliveryFailures("ch0"), delivered=zorvsim.delivery_count("ch0"))
        dev.close()
    """)
    assert (status, stderr) == (0, "")
    assert reports == [{"reported": [exc], "failures": 3, "delivered": 3}]


# ---- texts never cut short ----

# Each method with a text argument: its path from the Device, and the arguments after the text.
TEXT_CALLS = [
    ("open", LOCATOR), ("acq.begin", "ch0"), ("acq.end", "ch0"), ("acq.abort", "ch0"),
    ("acq.setDataCallback", "ch0", print), ("acq.setRawDataCallback", "ch0", print),
    ("chip.selectMode", "0:tpx3-dd-toa-tot"), ("chip.selectSenseDac", "temperature"),
    ("chip.getDacValue", "preamp_bias"), ("chip.setDacValue", "preamp_bias", 100), ("chip.getDacLimits", "preamp_bias"),
    ("chip.isThresholdCalibrated", "0:threshold"), ("chip.getThreshold", "0:threshold"),
    ("chip.setThreshold", "0:threshold", 5.5), ("chip.setRawThreshold", "0:threshold", 300),
    ("chip.getRawThresholdRange", "0:threshold"), ("bias.getBias", "hv"), ("bias.setBias", "hv", 12.5),
    ("cooling.getValueUnit", "sensor"), ("cooling.setDesiredTemperature", "sensor", -5.0),
    ("board.powerOn", "board-1"), ("board.isPowered", "board-0"), ("syncmode.selectOption", "master"),
    ("flashmem.selectMemory", "calibration"),
]


class Encoded(str):
    """A text whose encode() gives its bytes with a NUL and more after them."""

    def encode(self, *args):
        return str(self).encode() + b"\0x"


@pytest.mark.parametrize("encoded", [False, True])
@pytest.mark.parametrize("path, args", [(c[0], c[1:]) for c in TEXT_CALLS], ids=[c[0] for c in TEXT_CALLS])
def test_a_text_with_a_nul_is_refused_before_the_sdk(device, path, args, encoded):
    text, *rest = args
    if path != "open":
        device.open(LOCATOR)
        select(device, "0:tpx3-seq-toa-tot")
    method = device
    for name in path.split("."):
        method = getattr(method, name)
    with zorvsim.Journal() as j, pytest.raises(ValueError, match="^embedded null character$"):
        method(Encoded(text) if encoded else text + "\0x", *rest)
    assert j.names() == []
