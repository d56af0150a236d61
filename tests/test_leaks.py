"""Reference and memory leaks: every public method of every module, on its success path and with
each SDK function it calls made to fail (on the first call and on later ones), called thousands of
times; and long runs of deliveries of every kind. Neither the process's memory nor the reference
counts of the objects involved may grow."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import zorvsim
from calls import BINNING, FAILING, HITMAP, LOCATOR, MASK, METHODS, RECORDER, THREADED, device_for_calls
from calls import opened_device as _opened
from zorvsdk import chip, errors, sinks, zorv

CALLS = 2000  # per path of each method
PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory waits in a quarantine and the process grows regardless: the
# growth of the process is judged in normal builds only (reference counts and traced memory always).
SANITIZED = bool(os.environ.get("ZORV_SANITIZED"))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


# SDK functions whose failure is not reported to the caller (no status, or only inside a destructor).
UNREPORTED = {"zorv_version", "zorv_log_set_func", "zorv_ctx_get_last_error", "zorv_ctx_destroy"}


def watched(dev):
    """The objects whose reference counts must not move: the device, its parts, the record and
    exception classes, and the arguments of the calls above."""
    objs = [dev, dev.chip, dev.acq, dev.config, dev.flashmem, dev.monitor, chip.ChipPolarity,
            chip.ChipPolarity.negative, BINNING, MASK, errors.ZorvSdkInvalidArgumentError,
            errors.ZorvSdkInvalidOperationError, errors.ZorvSdkAxiException, zorv.DeviceDescriptor,
            zorv.SdkVersion, chip.DacLimits, chip.ThresholdRange, print, LOCATOR, RECORDER, HITMAP, sinks.Batch]
    objs += [getattr(dev, name) for name in ("bias", "board", "cooling", "props", "revision", "syncmode", "axi")]
    objs += ["hv", "sensor", "board-0", "board-1", "preamp_bias", "0:threshold", "calibration", "master", "ch0"]
    return objs


def outcome(call, dev):
    try:
        call(dev)
        return None
    except Exception as e:  # the path is measured as it is, whatever it raises
        return type(e)


def measure(call, dev, times):
    """Calls `call` `times` times after a warm-up; returns the growth of traced Python memory, of the
    number of objects the collector tracks, and the objects whose reference count changed."""
    def loop(n):
        for _ in range(n):
            try:
                call(dev)
            except Exception:
                pass

    loop(50)
    gc.collect()
    objs = watched(dev)
    counts = [sys.getrefcount(o) for o in objs]
    tracked = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        loop(times)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objs]
    moved = [(o, c, a) for o, c, a in zip(objs, counts, after) if a != c]
    return traced, len(gc.get_objects()) - tracked, moved


def assert_no_growth(call, dev, times=CALLS):
    traced, tracked, moved = measure(call, dev, times)
    if traced >= 4 * times:  # once more: a thread an earlier test left may have allocated meanwhile; a leak repeats
        traced, tracked, moved = measure(call, dev, times)
    assert moved == []
    # the measurement itself makes a few; a leak of one container per call would be `times`
    assert tracked <= 16, f"{tracked} more objects tracked after {times} calls"
    # a leak of the smallest object per call would be 16 bytes x times
    assert traced < 4 * times, f"{traced} bytes of Python memory kept after {times} calls"


@pytest.fixture
def finalized():
    """Finalizes the Devices handed to it when the test ends, passed or failed, so that no device
    stays open (and logging) into later tests."""
    devices = []
    yield lambda d: devices.append(d) or d
    for d in devices:
        d.finalize()


@pytest.fixture
def dev():
    d = device_for_calls()
    yield d
    d.finalize()


def sdk_functions(call, dev):
    with zorvsim.Journal() as j:
        outcome(call, dev)
    return sorted({e["fn"] for e in j.entries} - UNREPORTED)


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_success_path_keeps_nothing(dev, name):
    if SANITIZED and name in THREADED:
        pytest.skip("a Streamer's sending thread under the sanitizers: judged in the normal build")
    call = METHODS[name]
    assert (outcome(call, dev) is None) == (name not in FAILING)
    assert_no_growth(call, dev)


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_failure_paths_keep_nothing(dev, name):
    call = METHODS[name]
    fns = sdk_functions(call, dev)
    if name == "Device":
        fns = ["zorv_ctx_create"]  # the others fail inside the new Device's destruction, reported apart
    if name.startswith("begin+") or name == "finalize":
        # a failing begin, end or abort waits 100 ms before it raises (thousands of calls would take
        # minutes), delivery getters fail inside the delivery, and finalize closes only once
        fns = [fn for fn in fns if not fn.startswith("zorv_acq_") and fn != "zorv_dev_close"]
    for fn in fns:
        for skip in (0, 1):  # the first call fails, or every call after the first
            zorvsim.clear_controls()
            status = 102 if fn.startswith("zorv_axi_") else -3
            zorvsim.fail(fn, status, b"injected failure", skip=skip, count=-1)
            if skip == 0:
                assert outcome(call, dev) is not None, fn
            assert_no_growth(call, dev, CALLS // 4)
    zorvsim.clear_controls()


def test_registration_keeps_exactly_its_callable():
    # Every registration keeps its callable for as long as the library may call it: with no
    # acquisition running, the latest of each channel only, and nothing else, until finalize
    # releases them.
    d = _opened()
    d.chip.selectMode("0:tpx3-seq-toa-tot")

    def f(*arrays):
        pass

    d.acq.setDataCallback("ch0", f)
    gc.collect()
    before = sys.getrefcount(f)
    tracked = len(gc.get_objects())
    for _ in range(CALLS):
        d.acq.setDataCallback("ch0", f)
        d.acq.setRawDataCallback("ch1", f)
    gc.collect()
    assert sys.getrefcount(f) - before == 1  # ch1's registration; ch0's replaced its first
    assert len(gc.get_objects()) - tracked <= 16
    d.finalize()
    assert sys.getrefcount(f) - before == -1


# ---- deliveries ----

DELIVERIES = 20_000  # 18,000 measured: a leak of one small object each is some 500 KB

MODES = ["0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec",
         "0:tpx3-dd-toa-tot-vec", "0:tpx3-dd-toa-tot", "0:tpx-medipix", "0:tpx3-sorted-dd-toa-tot",
         "0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"]


class Sink:
    """Counts deliveries; keeps the arrays of every 1000th until the next one, and every element
    type seen, so that their reference counts can be watched."""

    def __init__(self):
        self.n = 0
        self.kept = None
        self.dtypes = {}

    def __call__(self, *args):
        self.n += 1
        if self.n % 1000 == 1:
            self.kept = args
            for a in args:
                for x in (a["tdcs"] if isinstance(a, dict) else [a]):
                    self.dtypes.setdefault(x.dtype.str + str(x.dtype.fields), x.dtype)


@pytest.mark.parametrize("raw", [False, True], ids=["processed", "raw"])
@pytest.mark.parametrize("mode", MODES)
def test_deliveries_keep_nothing(mode, raw, finalized):
    zorvsim.load_model({"devices": [{"acquisition": {
        "deliveries": DELIVERIES // 10, "hitsPerDelivery": 4, "realTime": False, "tdcPerDelivery": [2, 1, 0]}}]})
    d = finalized(_opened())
    d.chip.selectMode(mode, BINNING if "binned" in mode else None)
    sink = Sink()
    (d.acq.setRawDataCallback if raw else d.acq.setDataCallback)("ch0", sink)

    def run():
        d.acq.begin("ch0")
        d.acq.end("ch0")

    run()  # warm-up: the synthetic pool is made once
    zorvsim.delivery_count("ch0")  # and the control functions' signatures are set up on first use
    gc.collect()
    sink.kept = None
    dtypes = list(sink.dtypes.values())
    counts = [sys.getrefcount(o) for o in [sink, *dtypes]]
    tracked = len(gc.get_objects())
    memory = rss()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(9):
        run()
    sink.kept = None
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    grown = rss() - memory
    assert sink.n == DELIVERIES == zorvsim.delivery_count("ch0")
    assert [sys.getrefcount(o) for o in [sink, *dtypes]] == counts
    assert len(gc.get_objects()) - tracked <= 16
    assert traced < 64 * 1024
    assert SANITIZED or grown < 4 * 1024 * 1024, f"RSS grew by {grown} bytes over {DELIVERIES} deliveries"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine grows the process")
def test_process_memory_stays_flat_over_every_method(finalized):
    # Rounds of every method on its success path: once the first rounds have filled the caches of the
    # allocator and the library, further rounds must not grow the process.
    d = finalized(device_for_calls())
    # begin+: a thread each, slow. A new Recorder's reservation joins the runs kept for reuse when it
    # goes, up to 32 MB: judged by test_recorders_give_their_memory_back. New streamers start threads,
    # as begin+ does.
    calls_ = [c for name, c in METHODS.items()
              if not name.startswith("begin+") and name != "Recorder" and name not in THREADED]

    def round_(n):
        for call in calls_:
            for _ in range(n):
                outcome(call, d)

    round_(200)
    gc.collect()
    memory = rss()
    round_(1000)
    gc.collect()
    grown = rss() - memory
    calls = 1000 * len(calls_)
    assert grown < 2 * 1024 * 1024, f"RSS grew by {grown} bytes over {calls} calls"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine grows the process")
def test_recorders_give_their_memory_back():
    # A recorder reserves its capacity in runs of memory, and hands large batches out as views of
    # them. Once recorders and arrays are gone, what the process keeps for reuse is bounded (32 MB).
    meta = {"shutterStart": 1, "tdcs": [np.empty(0)] * 3}
    packets = np.zeros(100_000, np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")]))

    def life():
        rec = sinks.Recorder(1 << 22)  # 64 MB
        kept = []
        for k in range(30):  # 48 MB, a third of it kept until the recorder is gone
            rec(packets, meta, kind="dd-toa-tot")
            batch = rec.get_batch(timeout=0)
            if k % 3 == 0:
                kept.append(batch)

    gc.collect()
    memory = rss()
    sinks.Recorder(1 << 23)  # 128 MB reserved, and given back as it goes
    assert rss() - memory < 40 * 1024 * 1024
    for _ in range(4):
        life()
    gc.collect()
    grown = rss() - memory
    assert grown < 48 * 1024 * 1024, f"RSS grew by {grown} bytes over four recorders"
