"""The acquisition object: channels, registration by readout mode, and the deliveries handed to the
data callable as arrays over the library's buffers (scripted through the virtual device)."""

import gc
import pickle
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import zorvsim
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
        self.views.append([(type(a), getattr(a, "base", None).__class__.__name__, getattr(a, "flags", None)) for a in arrays])
        self.calls.append([copy(a) for a in arrays])
        if self.fail:
            raise RuntimeError("callable failed")


def copy(value):
    if isinstance(value, dict):
        return {"shutterStart": value["shutterStart"], "tdcs": [np.array(t) for t in value["tdcs"]], "keys": list(value)}
    return np.array(value)


def acquire(dev, mode, deliveries, *, raw=False, channel="ch0", func=None):
    dev.chip.selectMode(mode, BINNING if "binned" in mode else None)
    func = func or Recorder()
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


def test_every_registered_callable_stays_alive(opened):
    opened.chip.selectMode("0:tpx3-seq-toa-tot")

    class F:
        def __call__(self, *a):
            pass

    f, g = F(), F()
    ref = weakref.ref(f)
    opened.acq.setDataCallback("ch0", f)
    opened.acq.setDataCallback("ch0", g)
    del f
    gc.collect()
    assert ref() is not None


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
    for array_type, base, flags in got.views[0]:
        if array_type is np.ndarray and base == "SdkBuffer":
            assert flags.writeable and not flags.owndata


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


@pytest.mark.parametrize("status, called", [(-3, False), (-7, True)])
def test_failing_getter_skips_only_that_delivery(opened, capfd, status, called):
    good = {"packets": records(TOA_TOT, [(1, 2, 3)])}
    bad = dict(good, fail={"zorv_acq_tpx3_get_packets": (status, b"lost sync")})
    with zorvsim.Journal() as j:
        got = acquire(opened, "0:tpx3-seq-toa-tot", [bad, good])
    assert len(got.calls) == (2 if called else 1)
    # a mapped failure stops the delivery before any later getter and asks for the delivery's error text
    if not called:
        names = [e["fn"] for e in j.entries]
        assert "zorv_acq_get_last_error" in names
    assert capfd.readouterr().err == ""


def test_callable_errors_are_discarded_and_deliveries_go_on(opened, capfd):
    got = acquire(opened, "0:tpx3-seq-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)])}] * 3, func=Recorder(fail=True))
    assert len(got.calls) == 3
    assert capfd.readouterr().err == ""
    assert sys.exc_info() == (None, None, None)


def test_none_as_callable_fails_each_delivery_quietly(opened, capfd):
    acquire(opened, "0:tpx3-seq-toa-tot", [{"packets": records(TOA_TOT, [(1, 2, 3)])}] * 2, func=None)
    assert zorvsim.delivery_count("ch0") == 2
    assert capfd.readouterr().err == ""


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
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert got.calls[0][0].dtype == TOA_TOT


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
