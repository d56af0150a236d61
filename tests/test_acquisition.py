"""The acquisition object: channels, registration by readout mode, and the deliveries handed to the
data callable as arrays over the library's buffers (scripted through the virtual device)."""

import ctypes
import gc
import os
import pickle
import sys
import threading
import time
import warnings
import weakref

import numpy as np
import pytest

import zorvsim
from conftest import ideal_detector
from zorvsdk import acquisition, chip, errors

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
ITOT_EVENT = np.dtype({"names": ["address", "itot", "event"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
BINNED = np.dtype({"names": ["address", "count", "itot"], "formats": ["<u4", "<u4", "<u4"], "offsets": [0, 4, 8], "itemsize": 12})
BIN_DESCR = np.dtype({"names": ["offset", "packet_count"], "formats": ["<u4", "<u4"], "offsets": [0, 4], "itemsize": 8})
BINNING = chip.BinningParams(4, 4, 1000)


def records(dtype, rows):
    return np.array(rows, dtype=dtype)


class Recorder:
    """A data callable that keeps copies of what it was given (buffers live only during the call)."""

    def __init__(self, fail=False):
        self.calls = []
        self.views = []
        self.threads = set()
        self.fail = fail

    def __call__(self, *arrays):
        self.threads.add(threading.get_ident())
        # the flags object refers to its array: only its values are kept
        self.views.append([(type(a), getattr(a, "base", None).__class__.__name__,
                            (a.flags.writeable, a.flags.owndata) if hasattr(a, "flags") else None,
                            type_numbers(a.dtype) == type_numbers(np.asarray(a.base).dtype) if is_view(a) else None)
                           for a in arrays])
        self.calls.append([copy(a) for a in arrays])
        if self.fail:
            raise RuntimeError("callable failed")


def is_view(value):
    return isinstance(value, np.ndarray) and value.base.__class__.__name__ == "SdkBuffer"


def type_numbers(dtype):
    """NumPy's type numbers of an element type and its fields (uint64 and ulonglong are equal but differ here)."""
    return [dtype.num] + [dtype.fields[name][0].num for name in dtype.names or ()]


def pending_error():
    """The exception left set on the calling thread, if any: a call into the interpreter's C API raises it."""
    try:
        ctypes.pythonapi.PyErr_Occurred()
    except BaseException as e:  # whatever was pending
        return e
    return None


def copy(value):
    if isinstance(value, dict):
        return {"shutterStart": value["shutterStart"], "tdcs": [np.array(t) for t in value["tdcs"]], "keys": list(value)}
    return np.array(value)


RECORD = object()  # acquire(): a new Recorder


def acquire(dev, mode, deliveries, *, raw=False, channel="ch0", func=RECORD):
    dev.chip.selectMode(mode, BINNING if "binned" in mode else None)
    func = Recorder() if func is RECORD else func
    (dev.acq.setRawDataCallback if raw else dev.acq.setDataCallback)(channel, func)
    zorvsim.script(channel, deliveries)
    dev.acq.begin(channel)
    dev.acq.end(channel)
    return func


# ---- registration ----


def test_no_mode_selected_is_not_supported_and_reaches_no_sdk(opened):
    with zorvsim.Journal() as j:
        with pytest.raises(errors.ZorvSdkInvalidOperationError) as e:
            opened.acq.setDataCallback("ch0", print)
    assert str(e.value) == " is not supported!"
    assert j.calls("zorv_acq_set_data_callback") == []


def test_mode_no_longer_listed_is_not_supported(opened):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    zorvsim.set("/devices/0/chip/modes", ["0:tpx-medipix"])
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match=r"^0:tpx3-dd-toa-tot is not supported!$"):
        opened.acq.setRawDataCallback("ch0", print)


def test_listed_mode_without_a_delivery_kind_is_refused(opened):
    zorvsim.set("/devices/0/chip/modes", ["0:tpx3-dd-toa-tot", "0:future-mode"])
    opened.chip.selectMode("0:future-mode")
    with zorvsim.Journal() as j, pytest.raises(errors.ZorvSdkInvalidOperationError, match="0:future-mode is not supported!"):
        opened.acq.setDataCallback("ch0", print)
    assert j.calls("zorv_acq_set_data_callback") == []


def test_registration_passes_channel_and_reports_failures(opened):
    opened.chip.selectMode("0:tpx3-seq-toa-tot")
    with zorvsim.Journal() as j:
        opened.acq.setDataCallback("ch1", print)
    (call,) = j.calls("zorv_acq_set_data_callback")
    assert call["args"][0] == "ch1" and call["gil"] is False
    zorvsim.fail("zorv_acq_set_data_callback", -3, b"no such channel")
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="no such channel"):
        opened.acq.setDataCallback("nope", print)


@pytest.mark.parametrize("acquiring", [False, True])
def test_a_replaced_callable_stays_alive_while_an_acquisition_may_deliver_to_it(opened, acquiring):
    opened.chip.selectMode("0:tpx3-seq-toa-tot")

    class F:
        def __call__(self, *a):
            pass

    f, g = F(), F()
    ref = weakref.ref(f)
    opened.acq.setDataCallback("ch0", f)
    if acquiring:
        zorvsim.script("ch0", [], hold=True)
        opened.acq.begin("ch0")
    opened.acq.setDataCallback("ch0", g)
    del f
    gc.collect()
    assert (ref() is not None) == acquiring
    if acquiring:
        opened.acq.abort("ch0")
        gc.collect()
        assert ref() is None


def test_holder_is_replaced_even_when_registration_fails(opened):
    class F:
        def __call__(self, *a):
            pass

    f = F()
    before = sys.getrefcount(f)
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        opened.acq.setDataCallback("ch0", f)
    assert sys.getrefcount(f) == before + 1


@pytest.mark.parametrize("raw, kind", [(True, "raw"), (1, "processed"), (False, "processed")])
def test_only_true_selects_the_raw_path(opened, raw, kind):
    opened.chip.selectMode("0:tpx3-seq-toa-tot")
    got = Recorder()
    opened.acq._Acquisition__setDataCallback("ch0", got, raw=raw)
    zorvsim.script("ch0", [{"packets": records(TOA_TOT, [(1, 2, 3)]), "raw": b"\x01\x02\x03"}])
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    (arrays,) = got.calls
    if kind == "raw":
        assert arrays[0].dtype == np.uint8 and arrays[0].tolist() == [1, 2, 3]
    else:
        assert arrays[0].dtype == TOA_TOT


def test_channel_ids_and_conversions(opened):
    assert opened.acq.getChannelIds() == ["ch0", "ch1"]
    zorvsim.force("zorv_acq_ch_count", [0])
    assert opened.acq.getChannelIds() == []
    with pytest.raises(AttributeError):
        opened.acq.begin(b"ch0")
    with pytest.raises(TypeError, match=r"begin\(\) takes exactly 1 positional argument \(0 given\)"):
        opened.acq.begin()

    class Text(str):
        def encode(self, *args):
            assert args == ("utf-8",)
            return bytearray(b"ch0")

    opened.chip.selectMode("0:tpx3-seq-toa-tot")
    with zorvsim.Journal() as j:
        opened.acq.setDataCallback(Text("ignored"), print)
    assert j.calls("zorv_acq_set_data_callback")[0]["args"][0] == "ch0"


@pytest.mark.parametrize("method", ["begin", "abort", "end"])
def test_failures_wait_100_ms_before_raising(opened, method):
    zorvsim.fail(f"zorv_acq_{method}", -2, b"channel busy")
    start = time.monotonic()
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="channel busy"):
        getattr(opened.acq, method)("ch0")
    assert time.monotonic() - start >= 0.1


class PausingTime:
    """Stands for the module's `time` (looked up when a failure waits): notes each wait and makes a
    failing call of its own meanwhile, on the waiting thread."""

    def __init__(self, device):
        self.device = device
        self.waits = []

    def sleep(self, seconds):
        self.waits.append(seconds)
        zorvsim.fail("zorv_dev_is_opened", -3, b"a later failure")
        with pytest.raises(errors.ZorvSdkInvalidArgumentError):
            self.device.isOpened()


@pytest.mark.parametrize("where", ["main thread", "other thread"])
@pytest.mark.parametrize("method", ["begin", "abort", "end"])
def test_failure_text_is_read_after_the_wait(opened, monkeypatch, method, where):
    # The wait comes first, then the last error of the failed call is read, on the thread that made
    # it: end and abort on the main thread are made on a helper thread, whose text is kept until the
    # wait is over; a call made in place reads its thread's text as the wait left it.
    pausing = PausingTime(opened)
    monkeypatch.setattr(acquisition, "time", pausing)
    zorvsim.fail(f"zorv_acq_{method}", -2, b"channel busy")
    raised = []

    def run():
        with pytest.raises(errors.ZorvSdkInvalidOperationError) as e:
            getattr(opened.acq, method)("ch0")
        raised.append(e.value.args)

    with zorvsim.Journal() as j:
        if where == "main thread":
            run()
        else:
            worker = threading.Thread(target=run)
            worker.start()
            worker.join(10)
    assert pausing.waits == [0.1]
    calls = [(e["fn"], e["thread"]) for e in j.entries]
    failed = next(i for i, (fn, _) in enumerate(calls) if fn == f"zorv_acq_{method}")
    waited = next(i for i, (fn, _) in enumerate(calls) if fn == "zorv_dev_is_opened")
    text_read = [i for i, call in enumerate(calls) if call == ("zorv_ctx_get_last_error", calls[failed][1]) and i > failed]
    assert failed < waited < text_read[0], calls
    in_place = method == "begin" or where == "other thread"
    assert raised == [("a later failure",) if in_place else ("channel busy",)]


class InterruptedTime:
    def sleep(self, seconds):
        raise KeyboardInterrupt


@pytest.mark.parametrize("method", ["abort", "end"])
def test_interrupted_wait_lets_the_helper_thread_go(opened, monkeypatch, method):
    # On the main thread the call is made on a helper thread, which keeps the failure's text until
    # the wait is over; a wait that raises ends the call and lets the helper go without it.
    def tasks():
        return len(os.listdir("/proc/self/task"))

    before = tasks()
    monkeypatch.setattr(acquisition, "time", InterruptedTime())
    zorvsim.fail(f"zorv_acq_{method}", -2, b"channel busy")
    with pytest.raises(KeyboardInterrupt):
        getattr(opened.acq, method)("ch0")
    deadline = time.monotonic() + 5
    while tasks() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert tasks() == before
    monkeypatch.undo()
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="no acquisition was begun on channel 'ch0'"):
        getattr(opened.acq, method)("ch0")


def test_construction_checks_and_pickling(opened):
    acq_type = type(opened.acq)
    with pytest.raises(TypeError, match=r"Cannot convert int to zorvsdk\.chip\.__Chip"):
        acq_type(None, 5)
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 2 positional arguments \(1 given\)"):
        acq_type(None)
    bare = acq_type(None, None)
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        bare.getChannelIds()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(opened.acq)


# ---- deliveries ----

TDCS = {"tdc0": np.array([5, 6], dtype="<u8"), "tdc1": None, "tdc2": np.array([9], dtype="<u8"), "shutter": 1234}


def expect_metadata(meta):
    assert meta["keys"] == ["shutterStart", "tdcs"] and meta["shutterStart"] == 1234
    assert [t.tolist() for t in meta["tdcs"]] == [[5, 6], [], [9]]
    assert meta["tdcs"][0].dtype == np.uint64 and meta["tdcs"][1].dtype == np.float64


KINDS = [
    ("0:tpx3-seq-toa-tot", {"packets": records(TOA_TOT, [(1, 2, 3), (4, 5, 2**40)])},
     lambda a: a[0].dtype == TOA_TOT and a[0]["toa"].tolist() == [3, 2**40] and len(a) == 1),
    ("0:tpx3-seq-itot-event", {"packets": records(ITOT_EVENT, [(7, 8, 9)])},
     lambda a: a[0].dtype == ITOT_EVENT and a[0].tolist() == [(7, 8, 9)] and len(a) == 1),
    ("0:tpx3-seq-toa-tot-vec",
     {"pixel_address_vec": np.array([1, 2], "<u4"), "toa_vec": np.array([10, 20], "<u4"), "tot_vec": np.array([3, 4], "<u2")},
     lambda a: [x.dtype for x in a] == [np.uint32, np.uint32, np.uint16] and a[1].tolist() == [10, 20]),
    ("0:tpx3-seq-itot-event-vec",
     {"pixel_address_vec": np.array([1], "<u4"), "event_vec": np.array([2], "<u2"), "itot_vec": np.array([3], "<u2")},
     lambda a: [x.dtype for x in a] == [np.uint32, np.uint16, np.uint16] and [x.tolist() for x in a] == [[1], [2], [3]]),
    ("0:tpx3-dd-toa-tot", {"packets": records(TOA_TOT, [(1, 2, 3)]), **TDCS},
     lambda a: a[0].dtype == TOA_TOT and len(a) == 2 and expect_metadata(a[1]) is None),
    ("0:tpx3-sorted-dd-toa-tot", {"packets": records(TOA_TOT, [(1, 2, 3)]), **TDCS},
     lambda a: a[0].dtype == TOA_TOT and len(a) == 2 and expect_metadata(a[1]) is None),
    ("0:tpx3-dd-toa-tot-vec",
     {"pixel_address_vec": np.array([1], "<u4"), "toa_vec": np.array([2**50], "<u8"), "tot_vec": np.array([3], "<u2"), **TDCS},
     lambda a: [x.dtype for x in a[:3]] == [np.uint32, np.uint64, np.uint16] and a[1].tolist() == [2**50]
     and expect_metadata(a[3]) is None),
    ("0:tpx3-binned-packets",
     {"packets": records(BINNED, [(1, 2, 3), (4, 5, 6)]), "bin_descriptors": records(BIN_DESCR, [(0, 2)]),
      "binned_hitcounters": np.array([7], "<u8"), "binned_itots": np.array([8, 9], "<u8")},
     lambda a: [x.dtype for x in a] == [BINNED, BIN_DESCR, np.uint64, np.uint64] and a[0].dtype.itemsize == 12
     and a[3].tolist() == [8, 9]),
    ("0:tpx3-binned-count-sums", {"binned_hitcounters": np.array([1, 2, 3], "<u8")},
     lambda a: a[0].dtype == np.uint64 and a[0].tolist() == [1, 2, 3]),
    ("0:tpx3-binned-itot-sums", {"binned_itots": np.array([4], "<u8")},
     lambda a: a[0].dtype == np.uint64 and a[0].tolist() == [4]),
    ("0:tpx-medipix", {"frames": np.arange(2 * 65536, dtype="<u2")},
     lambda a: a[0].dtype == np.uint16 and a[0].shape == (131072,) and a[0][65537] == 65537 % 65536),
]


@pytest.mark.parametrize("mode, delivery, check", KINDS, ids=[k[0] for k in KINDS])
def test_each_kind_delivers_its_arrays(opened, mode, delivery, check):
    got = acquire(opened, mode, [delivery])
    (arrays,) = got.calls
    assert check(arrays)
    for array_type, base, flags, as_numpy_reads_it in got.views[0]:
        if array_type is np.ndarray and base == "SdkBuffer":
            writeable, owndata = flags
            assert writeable and not owndata and as_numpy_reads_it


def test_arrays_view_the_sdk_buffer_with_its_format(opened):
    seen = []

    def look(data, meta):
        view = memoryview(data.base)
        seen.append((view.format, view.itemsize, view.readonly, data.base is meta["tdcs"][0].base))
        data["tot"][0] = 99  # writes into the library's buffer
        seen.append(int(np.frombuffer(data.base, dtype=TOA_TOT)["tot"][0]))

    acquire(opened, "0:tpx3-dd-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)]), **TDCS}], func=look)
    assert seen == [("T{^I:address:^I:tot:^Q:toa:}", 16, False, False), 99]


@pytest.mark.parametrize("delivery", [{"packets": None, "packet_count": 3}, {"packets": records(TOA_TOT, [(1, 2, 3)]), "packet_count": 0}])
def test_missing_buffer_gives_an_empty_float64_array(opened, delivery):
    got = acquire(opened, "0:tpx3-seq-toa-tot", [delivery])
    (arrays,) = got.calls
    assert arrays[0].dtype == np.float64 and arrays[0].shape == (0,)


def test_raw_path_delivers_bytes_whatever_the_mode(opened):
    got = acquire(opened, "0:tpx-medipix", [{"raw": b"abc"}, {"raw": b""}], raw=True)
    assert [a[0].tolist() for a in got.calls] == [[97, 98, 99], []]
    assert got.calls[0][0].dtype == np.uint8 and got.calls[1][0].dtype == np.float64


def test_getters_run_without_the_lock_in_order(opened):
    with zorvsim.Journal() as j:
        acquire(opened, "0:tpx3-dd-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)]), **TDCS}])
    getters = [e for e in j.entries if e["fn"].startswith("zorv_acq_") and e["fn"] not in
               ("zorv_acq_begin", "zorv_acq_end", "zorv_acq_set_data_callback")]
    assert [(e["fn"], e["args"]) for e in getters] == [
        ("zorv_acq_tpx3_get_packet_count", []), ("zorv_acq_tpx3_get_packets", []),
        ("zorv_acq_meta_get_shutter_rising_time_ticks", []),
        ("zorv_acq_meta_get_tdc_toas_count", [0]), ("zorv_acq_meta_get_tdc_toas", [0]),
        ("zorv_acq_meta_get_tdc_toas_count", [1]), ("zorv_acq_meta_get_tdc_toas", [1]),
        ("zorv_acq_meta_get_tdc_toas_count", [2]), ("zorv_acq_meta_get_tdc_toas", [2]),
    ]
    assert all(e["gil"] is False for e in getters)


DD_GETTERS = ["zorv_acq_tpx3_get_packet_count", "zorv_acq_tpx3_get_packets", "zorv_acq_meta_get_shutter_rising_time_ticks"] + [
    f"zorv_acq_meta_get_tdc_toas{part}" for _ in range(3) for part in ("_count", "")]


@pytest.mark.parametrize("status, called", [(-3, False), (-7, True)])
def test_failing_getter_skips_only_that_delivery(opened, capfd, status, called):
    good = {"packets": records(TOA_TOT, [(1, 2, 3)]), **TDCS}
    bad = dict(good, fail={"zorv_acq_meta_get_shutter_rising_time_ticks": (status, b"lost sync")})
    with zorvsim.Journal() as j:
        got = acquire(opened, "0:tpx3-dd-toa-tot", [bad, good])
    assert len(got.calls) == (2 if called else 1)
    names = [e["fn"] for e in j.entries if e["fn"].startswith(("zorv_acq_", "zorv_ctx_get_last_error")) and e["fn"] not in
             ("zorv_acq_begin", "zorv_acq_end", "zorv_acq_set_data_callback")]
    # The failure text is the delivery handle's; a mapped status stops the delivery before any later getter.
    first = DD_GETTERS[:3] + ["zorv_acq_get_last_error"] + (DD_GETTERS[3:] if called else [])
    assert names == first + DD_GETTERS
    if called:  # an unmapped failure leaves the preset shutter time
        assert got.calls[0][1]["shutterStart"] == 0 and got.calls[1][1]["shutterStart"] == 1234
    assert capfd.readouterr().err == ""


@pytest.fixture
def reports(monkeypatch):
    """What deliveries report through sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append((args.err_msg, args.exc_type)))
    return seen


def test_callable_errors_are_reported_once_and_deliveries_go_on(opened, reports):
    got = acquire(opened, "0:tpx3-seq-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)])}] * 3, func=Recorder(fail=True))
    assert len(got.calls) == 3
    assert len(reports) == 1 and "readout mode 0:tpx3-seq-toa-tot" in reports[0][0]
    assert opened.acq.getDeliveryFailures("ch0") == 3


@pytest.mark.parametrize("failure", ["callable raises", "array kept, warning raised"])
def test_a_failure_report_names_what_failed_and_the_callable(opened, monkeypatch, failure):
    # Every interpreter version hands the hook the package's own message; the callable is its
    # object where the version can hand one over, and named in the message where it cannot.
    seen = []
    # (the traceback is not kept: its frames would keep the delivery's arrays)
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append((args.err_msg, args.exc_type, args.object)))
    func = Recorder(fail=True) if failure == "callable raises" else (lambda data: kept.append(data))
    kept = []
    good = {"packets": records(TOA_TOT, [(1, 2, 3)])}
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # the warning of a kept array fails to be shown
        acquire(opened, "0:tpx3-seq-toa-tot", [good, good], func=func)
    assert len(seen) == 1
    err_msg, exc_type, obj = seen[0]
    expected = ("Exception ignored in the data callable of channel 'ch0' (readout mode 0:tpx3-seq-toa-tot)"
                if failure == "callable raises" else
                "Exception ignored while warning of an array kept beyond its delivery")
    assert err_msg.startswith(expected), err_msg
    assert exc_type is (RuntimeError if failure == "callable raises" else RuntimeWarning)
    assert obj is func or (obj is None and err_msg.endswith(f": {func!r}"))


@pytest.mark.parametrize("failure", ["callable raises", "getter fails", "invalid UTF-8 error text"])
def test_a_failed_delivery_leaves_no_exception_pending_on_the_library_thread(opened, reports, failure):
    seen = []

    def probe(data):
        seen.append(pending_error())
        if failure == "callable raises" and len(seen) == 1:
            raise RuntimeError("callable failed")

    good = {"packets": records(TOA_TOT, [(1, 2, 3)])}
    text = b"\xff lost sync" if failure == "invalid UTF-8 error text" else b"lost sync"
    first = good if failure == "callable raises" else dict(good, fail={"zorv_acq_tpx3_get_packets": (-3, text)})
    acquire(opened, "0:tpx3-seq-toa-tot", [first, good, good], func=probe)
    assert seen == [None] * (3 if failure == "callable raises" else 2)
    expected = {"callable raises": RuntimeError, "getter fails": errors.ZorvSdkInvalidArgumentError,
                "invalid UTF-8 error text": UnicodeDecodeError}[failure]
    assert [exc_type for _, exc_type in reports] == [expected]


@pytest.mark.parametrize("register", ["setDataCallback", "setRawDataCallback", "_Acquisition__setDataCallback"])
@pytest.mark.parametrize("func", [42, None, "f", object()], ids=["int", "None", "str", "object"])
def test_an_object_that_is_not_callable_is_refused_before_any_sdk_call(opened, register, func):
    # It would fail every delivery: refused at registration, and the channel's registration stands.
    opened.chip.selectMode("0:tpx3-seq-toa-tot")
    got = Recorder()
    opened.acq.setDataCallback("ch0", got)
    holder_refs = sys.getrefcount(got)
    with zorvsim.Journal() as j:
        with pytest.raises(TypeError, match=f"the data callable must be callable, not {type(func).__name__}"):
            getattr(opened.acq, register)("ch0", func)
    assert j.entries == []
    assert sys.getrefcount(got) == holder_refs  # nothing replaced or released
    zorvsim.script("ch0", [{"packets": records(TOA_TOT, [(1, 2, 3)])}])
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert len(got.calls) == 1 and opened.acq.getDeliveryFailures("ch0") == 0


def test_bound_method_gets_its_instance_first(opened):
    class Sink:
        def __init__(self):
            self.got = []

        def take(self, data):
            self.got.append((self, len(data)))

    sink = Sink()
    acquire(opened, "0:tpx3-seq-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3), (4, 5, 6)])}], func=sink.take)
    assert sink.got == [(sink, 2)]


def test_deliveries_run_on_a_library_thread_while_end_waits(opened):
    got = acquire(opened, "0:tpx3-seq-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)])}] * 5)
    assert len(got.calls) == 5 and threading.get_ident() not in got.threads


def test_registration_reads_the_mode_only_when_registering(opened):
    opened.chip.selectMode("0:tpx3-seq-toa-tot")
    got = Recorder()
    opened.acq.setDataCallback("ch0", got)
    opened.chip.selectMode("0:tpx3-binned-count-sums", BINNING)
    zorvsim.script("ch0", [{"packets": records(TOA_TOT, [(1, 2, 3)]), "binned_hitcounters": np.array([1], "<u8")}])
    # Deliveries of the new mode would be decoded with the layout the registration was made for.
    with zorvsim.Journal() as j, pytest.raises(errors.ZorvSdkInvalidOperationError,
                                               match="0:tpx3-seq-toa-tot.*0:tpx3-binned-count-sums.*register"):
        opened.acq.begin("ch0")
    assert j.calls("zorv_acq_begin") == []
    opened.acq.setDataCallback("ch0", got)
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert got.calls[0][0].tolist() == [1]


def test_registration_uses_the_mode_it_checked(opened):
    # getModeIds runs Python code (and releases the lock in the SDK): the chip's mode may change meanwhile.
    chip_type = type(opened.chip)
    ctx = next(o for o in gc.get_referents(opened.chip) if type(o).__name__ == "_Context")

    class Moving(chip_type):
        def getModeIds(self):
            ids = chip_type.getModeIds(self)
            self.selectMode("0:tpx-medipix")
            return ids

    moving = Moving(ctx)
    moving.selectMode("0:tpx3-seq-toa-tot")
    acq = type(opened.acq)(ctx, moving)
    got = Recorder()
    acq.setDataCallback("ch0", got)
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="0:tpx3-seq-toa-tot.*0:tpx-medipix"):
        acq.begin("ch0")
    chip_type.selectMode(moving, "0:tpx3-seq-toa-tot")
    zorvsim.script("ch0", [{"packets": records(TOA_TOT, [(1, 2, 3)]), "frames": np.zeros(65536, "<u2")}])
    acq.begin("ch0")
    acq.end("ch0")
    assert got.calls[0][0].dtype == TOA_TOT


@pytest.mark.parametrize("source", ["scripted", "synthetic"])
def test_scrubbed_arrays_kept_beyond_the_callable_read_the_pattern(opened, source):
    zorvsim.set("/devices/0/acquisition", {"realTime": False, "deliveries": 3, "hitsPerDelivery": 100, "scrub": True})
    ideal_detector()
    kept, seen = [], []

    def keep(data, meta):
        kept.append(data)  # wrong without a copy: the buffer belongs to the delivery
        seen.append(data["address"].tolist())

    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", keep)
    if source == "scripted":  # repeated: every round delivers the script's data, not the pattern
        deliveries = [{"packets": records(TOA_TOT, [(1, 2, 3)])}, {"packets": records(TOA_TOT, [(4, 5, 6), (7, 8, 9)])}]
        zorvsim.script("ch0", deliveries, repeat=3)
    with pytest.warns(RuntimeWarning, match="outlived its delivery"):  # once for the registration
        opened.acq.begin("ch0")
        opened.acq.end("ch0")
    if source == "scripted":
        assert seen == [[1], [4, 7]] * 3
    else:
        assert len(seen) == 3 and all(len(s) == 100 for s in seen)
    assert all(set(a.view(np.uint8).tolist()) == {0xA5} for a in kept)


@pytest.mark.parametrize("method, lines", [
    ("getChannelIds", ["Retrieves identifiers of acquisition channels.", "Returns:",
                       "A list of str objects representing identifiers of acquistion channels."]),
    ("begin", ["Begins asynchronous acquisition.", "Args:", "channelId (str): Acquisition channel identifier."]),
    ("abort", ["Aborts acquisition.", "Args:", "channelId (str): Acquisition channel identifier."]),
    ("end", ["Blocks until the asynchronous acquisition started by :func:`~begin` is finished.", "Args:",
             "channelId (str): Acquisition channel identifier."]),
    ("setDataCallback", ["Sets processed acquisition data callback.", "Args:", "channelId (str): Acquisition channel identifier.",
                         "func (AcqDataCallback): Acquisition data callback."]),
    ("setRawDataCallback", ["Sets raw acquisition data callback.", "Args:", "channelId (str): Acquisition channel identifier.",
                            "func (AcqDataCallback): Raw acquisition data callback."]),
    ("_Acquisition__setDataCallback", ["Sets acquisition data callback.", "Args:",
                                       "channelId (str): Acquisition channel identifier.",
                                       "func (AcqDataCallback): Acquisition data callback.",
                                       "raw (bool): True if raw data should be retrieved, False otherwise"]),
    ("_Acquisition__getChannelCount", None),
    ("_Acquisition__getChannelId", None),
])
def test_docstrings(method, lines):
    cls = acquisition.__dict__["__Acquisition"]
    doc = getattr(cls, method).__doc__
    if lines is None:
        assert doc is None
        return
    assert doc.startswith("\n        " + lines[0] + "\n")
    body = [line.strip() for line in doc.splitlines() if line.strip()]
    assert [line for line in body if line in lines] == lines
    assert cls.__doc__ == ("\n    Acquisition object.\n    Should not be used on its own, access it via "
                           ":obj:`~zorvsdk.zorv.Device`.\n    ")


def test_synthetic_acquisition_delivers_time_ordered_hits(opened):
    got = []
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", lambda data, meta: got.append(np.array(data)))
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert got and sum(len(d) for d in got) > 0
    for d in got:
        assert d.dtype == TOA_TOT and np.all(np.diff(d["toa"].astype(np.int64)) >= 0)
    assert zorvsim.delivery_count("ch0") == len(got)


def test_module_namespace(opened):
    assert acquisition.np is np and acquisition.time is time and acquisition.errors is errors
