"""The virtual device's acquisition side, driven through the C interface: channels, the delivery
threads, scripted deliveries and the synthetic detector."""

import ctypes
import threading
import time

import numpy as np
import pytest

import zorvsim
from conftest import ideal_detector

TOA_TOT = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
ITOT_EVENT = np.dtype([("address", "<u4"), ("itot", "<u4"), ("event", "<u8")])
BINNED = np.dtype([("address", "<u4"), ("count", "<u4"), ("itot", "<u4")])
DESCRIPTOR = np.dtype([("offset", "<u4"), ("packet_count", "<u4")])
WIDTH = HEIGHT = 512  # the default detector: 2 x 2 chips of 256 x 256

CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
P, ULL, VP = ctypes.c_void_p, ctypes.POINTER(ctypes.c_ulonglong), ctypes.POINTER(ctypes.c_void_p)


class ScanParams(ctypes.Structure):
    _fields_ = [("width_", ctypes.c_uint32), ("height_", ctypes.c_uint32), ("dwell_time_", ctypes.c_uint64)]


def _lib():
    lib = zorvsim.library()
    sigs = {
        "zorv_ctx_create": [ctypes.POINTER(P)], "zorv_ctx_destroy": [P], "zorv_dev_open": [P, ctypes.c_char_p],
        "zorv_dev_close": [P], "zorv_ctx_get_last_error": [P, ctypes.POINTER(ctypes.c_char_p)],
        "zorv_chip_mode_select": [P, ctypes.c_char_p], "zorv_chip_mode_select_ex": [P, ctypes.c_char_p, P],
        "zorv_board_power_off": [P, ctypes.c_char_p], "zorv_acq_ch_count": [P, ctypes.POINTER(ctypes.c_int)],
        "zorv_acq_ch_id": [P, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)],
        "zorv_acq_begin": [P, ctypes.c_char_p], "zorv_acq_end": [P, ctypes.c_char_p],
        "zorv_acq_abort": [P, ctypes.c_char_p], "zorv_acq_set_data_callback": [P, ctypes.c_char_p, CALLBACK, P],
        "zorv_acq_get_last_error": [P, ctypes.POINTER(ctypes.c_char_p)],
        "zorv_acq_raw_get_data": [P, VP, ULL],
        "zorv_acq_meta_get_tdc_toas_count": [P, ctypes.c_int, ULL],
        "zorv_acq_meta_get_tdc_toas": [P, ctypes.c_int, VP],
    }
    for name in COUNTS.values():
        sigs[name] = [P, ULL]
    for name in GETTERS.values():
        sigs[name] = [P, VP]
    for name, args in sigs.items():
        getattr(lib, name).argtypes = args
        getattr(lib, name).restype = ctypes.c_int
    return lib


# Buffer of a delivery -> (count getter, buffer getter).
COUNTS = {"packets": "zorv_acq_tpx3_get_packet_count", "vec": "zorv_acq_tpx3_get_vec_length",
          "shutter": "zorv_acq_meta_get_shutter_rising_time_ticks",
          "bin_descriptors": "zorv_acq_meta_get_bin_descriptor_count",
          "binned_hitcounters": "zorv_acq_tpx3_get_binned_hitcounters_count",
          "binned_itots": "zorv_acq_tpx3_get_binned_itots_count", "frames": "zorv_acq_tpx_get_frame_count"}
GETTERS = {"packets": "zorv_acq_tpx3_get_packets", "pixel_address_vec": "zorv_acq_tpx3_get_pixel_address_vec",
           "toa_vec": "zorv_acq_tpx3_get_toa_vec", "tot_vec": "zorv_acq_tpx3_get_tot_vec",
           "event_vec": "zorv_acq_tpx3_get_event_vec", "itot_vec": "zorv_acq_tpx3_get_itot_vec",
           "bin_descriptors": "zorv_acq_meta_get_bin_descriptors",
           "binned_hitcounters": "zorv_acq_tpx3_get_binned_hitcounters",
           "binned_itots": "zorv_acq_tpx3_get_binned_itots", "frames": "zorv_acq_tpx_get_frames"}


def sizes(mode):
    return {"packets": 12 if mode == "0:tpx3-binned-packets" else 16, "pixel_address_vec": 4,
            "toa_vec": 4 if mode == "0:tpx3-seq-toa-tot-vec" else 8, "tot_vec": 2, "event_vec": 2, "itot_vec": 2,
            "bin_descriptors": 8, "binned_hitcounters": 8, "binned_itots": 8, "frames": 131072}


def snapshot(lib, acq, mode):
    """Every count and buffer of a delivery, copied: {name: bytes or None}, {"count:" name: n}."""
    out, count = {}, ctypes.c_ulonglong()
    for key, fn in COUNTS.items():
        assert getattr(lib, fn)(acq, ctypes.byref(count)) == 0
        out["count:" + key] = count.value
    for key, fn in GETTERS.items():
        ptr = ctypes.c_void_p()
        assert getattr(lib, fn)(acq, ctypes.byref(ptr)) == 0
        n = out["count:" + ("vec" if key.endswith("_vec") else key)] * sizes(mode)[key]
        out[key] = ctypes.string_at(ptr.value, n) if ptr.value else None
    for tdc in range(3):
        ptr = ctypes.c_void_p()
        assert lib.zorv_acq_meta_get_tdc_toas_count(acq, tdc, ctypes.byref(count)) == 0
        assert lib.zorv_acq_meta_get_tdc_toas(acq, tdc, ctypes.byref(ptr)) == 0
        out[f"count:tdc{tdc}"] = count.value
        out[f"tdc{tdc}"] = ctypes.string_at(ptr.value, 8 * count.value) if ptr.value else None
    ptr = ctypes.c_void_p()
    assert lib.zorv_acq_raw_get_data(acq, ctypes.byref(ptr), ctypes.byref(count)) == 0
    out["raw"] = ctypes.string_at(ptr.value, count.value) if ptr.value else None
    return out


class Sdk:
    """A context with zorvsim:0 open, and acquisitions whose deliveries a reader copies."""

    def __init__(self):
        self.lib = _lib()
        self.ctx = P()
        assert self.lib.zorv_ctx_create(ctypes.byref(self.ctx)) == 0
        self.keep = []

    def open(self):
        assert self.lib.zorv_dev_open(self.ctx, b"zorvsim:0") == 0
        return self

    def error(self):
        text = ctypes.c_char_p()
        self.lib.zorv_ctx_get_last_error(self.ctx, ctypes.byref(text))
        return text.value.decode()

    def call(self, fn, *args):
        return getattr(self.lib, fn)(self.ctx, *args)

    def select(self, mode, params=None):
        if params:
            assert self.call("zorv_chip_mode_select_ex", mode.encode(), ctypes.byref(ScanParams(*params))) == 0
        else:
            assert self.call("zorv_chip_mode_select", mode.encode()) == 0
        self.mode = mode

    def register(self, reader=None, channel=b"ch0", null=False):
        """Registers a callback that appends reader(acq) to the returned list (null: a null callback)."""
        got, errors = [], []

        def on_data(acq, user):
            try:
                got.append(reader(acq))
            except BaseException as e:  # ctypes would only print it
                errors.append(e)

        cb = CALLBACK() if null else CALLBACK(on_data)
        self.keep.append(cb)
        assert self.call("zorv_acq_set_data_callback", channel, cb, None) == 0
        self.errors = errors
        return got

    def acquire(self, reader=None, channel=b"ch0"):
        got = self.register(reader or (lambda acq: snapshot(self.lib, acq, self.mode)), channel)
        assert self.call("zorv_acq_begin", channel) == 0, self.error()
        assert self.call("zorv_acq_end", channel) == 0, self.error()
        if self.errors:
            raise self.errors[0]
        return got

    def close(self):
        self.lib.zorv_dev_close(self.ctx)
        self.lib.zorv_ctx_destroy(self.ctx)


@pytest.fixture
def sdk():
    s = Sdk().open()
    yield s
    s.close()


def synthetic(**members):
    """A short synthetic acquisition of an ideal detector (every deposit recorded)."""
    zorvsim.set("/devices/0/acquisition", {"realTime": False, "deliveries": 3, "hitsPerDelivery": 2000, **members})
    ideal_detector()


# ---- channels, begin, end and abort ----


def test_channels_come_from_the_model(sdk):
    zorvsim.set("/devices/0/acquisition/channels", ["left", "right", "top"])
    n, text = ctypes.c_int(), ctypes.c_char_p()
    assert sdk.call("zorv_acq_ch_count", ctypes.byref(n)) == 0 and n.value == 3
    assert sdk.call("zorv_acq_ch_id", 2, ctypes.byref(text)) == 0 and text.value == b"top"
    assert sdk.call("zorv_acq_ch_id", 3, ctypes.byref(text)) == -3
    assert sdk.call("zorv_acq_begin", b"ch0") == -3 and "'ch0'" in sdk.error()


@pytest.mark.parametrize("case, status, text", [
    ("closed", -2, "no device is open"),
    ("unpowered", -2, "not powered"),
    ("unknown", -3, "no acquisition channel with the identifier 'ch9'"),
    ("unregistered", -2, "no data callback is registered for channel 'ch0'"),
    ("no mode", -2, "no readout mode is selected"),
    ("running", -2, "already running on channel 'ch0'"),
])
def test_begin_refusals(case, status, text):
    sdk = Sdk()
    try:
        if case != "closed":
            sdk.open()
        if case not in ("no mode", "closed"):
            sdk.select("0:tpx3-dd-toa-tot")
        if case not in ("unregistered", "closed", "unpowered"):
            sdk.register(lambda acq: None)
        if case == "unpowered":
            assert sdk.call("zorv_board_power_off", b"board-1") == 0
        if case == "running":
            zorvsim.script("ch0", [], hold=True)
            assert sdk.call("zorv_acq_begin", b"ch0") == 0
        assert sdk.call("zorv_acq_begin", b"ch9" if case == "unknown" else b"ch0") == status
        assert text in sdk.error()
        assert zorvsim.acquiring("ch0") is (case == "running")
    finally:
        sdk.close()
    assert not zorvsim.acquiring("ch0")  # closing stopped and joined the held acquisition


def test_end_and_abort_before_and_after_an_acquisition(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    for fn in ("zorv_acq_end", "zorv_acq_abort"):
        assert sdk.call(fn, b"ch0") == -2 and "no acquisition was begun" in sdk.error()
    zorvsim.script("ch0", [{}, {}])
    assert len(sdk.acquire(lambda acq: acq)) == 2
    assert sdk.call("zorv_acq_end", b"ch0") == 0  # finished: ending again succeeds
    assert sdk.call("zorv_acq_abort", b"ch0") == 0
    assert sdk.call("zorv_acq_end", b"ch1") == -2


def test_abort_stops_an_endless_acquisition(sdk):
    synthetic(deliveries=-1, hitsPerDelivery=100)
    sdk.select("0:tpx3-dd-toa-tot")
    sdk.register(lambda acq: None)
    assert sdk.call("zorv_acq_begin", b"ch0") == 0
    assert zorvsim.wait_deliveries("ch0", 5) >= 5
    assert sdk.call("zorv_acq_abort", b"ch0") == 0
    assert not zorvsim.acquiring("ch0")
    count = zorvsim.delivery_count("ch0")
    assert sdk.call("zorv_acq_end", b"ch0") == 0
    assert zorvsim.delivery_count("ch0") == count


def shutter_of(sdk):
    def read(acq):
        ticks = ctypes.c_ulonglong()
        assert sdk.lib.zorv_acq_meta_get_shutter_rising_time_ticks(acq, ctypes.byref(ticks)) == 0
        return ticks.value
    return read


def test_a_held_script_delivers_every_round_then_waits_for_the_abort(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    zorvsim.script("ch0", [{"shutter": 7}, {"shutter": 9}], hold=True, repeat=2)
    got = sdk.register(shutter_of(sdk))
    assert sdk.call("zorv_acq_begin", b"ch0") == 0
    assert zorvsim.wait_deliveries("ch0", 4) == 4
    assert zorvsim.wait_deliveries("ch0", 5, timeout=0.1) == 4  # held: no more deliveries
    assert zorvsim.acquiring("ch0")
    assert sdk.call("zorv_acq_abort", b"ch0") == 0
    assert not zorvsim.acquiring("ch0") and got == [7, 9, 7, 9]


@pytest.mark.parametrize("real_time", [True, False])
def test_synthetic_deliveries_come_at_their_detector_time_in_real_time(sdk, real_time):
    period = 0.03
    synthetic(deliveries=4, hitsPerDelivery=100, period=period, realTime=real_time)
    sdk.select("0:tpx3-dd-toa-tot")
    read = shutter_of(sdk)
    begun = time.monotonic()
    got = sdk.acquire(lambda acq: (time.monotonic() - begun, read(acq)))
    span = round(period * 640e6)
    assert [ticks for _, ticks in got] == [k * span for k in range(4)]
    if real_time:  # delivery k once k + 1 periods have passed, never earlier
        assert all(at >= period * (k + 1) for k, (at, _) in enumerate(got))


def test_callbacks_run_on_a_library_thread_that_may_abort_but_not_wait(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    zorvsim.script("ch0", [{}] * 5)
    seen = []

    def reader(acq):
        seen.append((threading.get_ident(), sdk.call("zorv_acq_end", b"ch0"), sdk.error()))
        return sdk.call("zorv_acq_abort", b"ch0")

    assert sdk.acquire(reader) == [0]  # the abort ends the acquisition after the first delivery
    [(thread, end, text)] = seen
    assert thread != threading.get_ident()
    assert end == -2 and "from its own data callback" in text
    assert zorvsim.delivery_count("ch0") == 1


@pytest.mark.parametrize("stop", ["close", "reset"])
def test_closing_and_reset_join_running_threads(stop):
    sdk = Sdk().open()
    synthetic(deliveries=-1, hitsPerDelivery=10)
    sdk.select("0:tpx3-dd-toa-tot")
    sdk.register(lambda acq: None)
    zorvsim.script("ch1", [{}], hold=True)
    sdk.register(lambda acq: None, channel=b"ch1")
    assert sdk.call("zorv_acq_begin", b"ch0") == 0 and sdk.call("zorv_acq_begin", b"ch1") == 0
    zorvsim.wait_deliveries("ch1", 1)
    with pytest.raises(zorvsim.SimError, match="while an acquisition runs"):
        zorvsim.set("/devices/0/acquisition/deliveries", 1)
    if stop == "close":
        assert sdk.lib.zorv_dev_close(sdk.ctx) == 0
        assert zorvsim.delivery_count("ch1") == 1
    else:
        zorvsim.reset()
        assert zorvsim.delivery_count("ch1") == 0
    assert not zorvsim.acquiring("ch0") and not zorvsim.acquiring("ch1")
    sdk.close()


def test_a_null_callback_skips_deliveries_and_a_new_session_starts_unregistered(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    zorvsim.script("ch0", [{}, {}])
    sdk.register(null=True)
    assert sdk.call("zorv_acq_begin", b"ch0") == 0 and sdk.call("zorv_acq_end", b"ch0") == 0
    assert zorvsim.delivery_count("ch0") == 0
    sdk.lib.zorv_dev_close(sdk.ctx)
    sdk.open()
    sdk.select("0:tpx3-dd-toa-tot")
    assert sdk.call("zorv_acq_begin", b"ch0") == -2


# ---- scripted deliveries ----


def full_delivery(rng):
    """Every buffer of a delivery, as arrays of their own element types."""
    return {
        "packets": np.array([(7, 8, 9), (10, 11, 2**40)], TOA_TOT),
        "pixel_address_vec": rng.integers(0, 2**32, 3, dtype="<u4"),
        "toa_vec": rng.integers(0, 2**63, 3, dtype="<u8"),
        "tot_vec": np.array([1, 2, 3], "<u2"), "event_vec": np.array([4, 5, 6], "<u2"),
        "itot_vec": np.array([7, 8, 9], "<u2"),
        "tdc0": np.array([1, 2], "<u8"), "tdc1": np.array([3], "<u8"), "tdc2": np.array([], "<u8"),
        "bin_descriptors": np.array([(0, 1), (1, 1)], DESCRIPTOR),
        "binned_hitcounters": np.array([5, 6], "<u8"), "binned_itots": np.array([50], "<u8"),
        "frames": rng.integers(0, 2**16, 2 * 65536, dtype="<u2"),
        "raw": b"\x00\xffraw bytes", "shutter": 123456789,
    }


def test_scripted_buffers_arrive_byte_exact(sdk):
    rng = np.random.default_rng(5)
    sdk.select("0:tpx3-dd-toa-tot-vec")
    script = [full_delivery(rng), full_delivery(rng)]
    zorvsim.script("ch0", script)
    got = sdk.acquire()
    assert len(got) == 2
    for want, have in zip(script, got):
        assert have["count:shutter"] == want.pop("shutter")
        for key, value in want.items():
            expected = value if isinstance(value, bytes) else value.tobytes()
            assert have[key] == expected, key
        assert (have["count:packets"], have["count:vec"], have["count:frames"]) == (2, 3, 2)
        assert [have[f"count:tdc{i}"] for i in range(3)] == [2, 1, 0]


@pytest.mark.parametrize("mode, delivery, counts", [
    # Byte buffers of packets count by the record size of the mode; a typed array by its item size.
    ("0:tpx3-dd-toa-tot", {"packets": bytes(48)}, {"packets": 3}),
    ("0:tpx3-binned-packets", {"packets": bytes(48)}, {"packets": 4}),
    ("0:tpx3-binned-packets", {"packets": np.zeros(2, TOA_TOT)}, {"packets": 2}),
    ("0:tpx3-seq-toa-tot-vec", {"toa_vec": bytes(16)}, {"vec": 4}),
    ("0:tpx3-dd-toa-tot-vec", {"toa_vec": bytes(16)}, {"vec": 2}),
    ("0:tpx3-dd-toa-tot-vec", {"toa_vec": bytes(16), "tot_vec": bytes(6)}, {"vec": 3}),
    # Counts without buffers, and explicit counts over short buffers (read as zeros past the end).
    ("0:tpx3-dd-toa-tot", {"packet_count": 5, "tdc1_count": 2, "frame_count": 1}, {"packets": 5, "tdc1": 2, "frames": 1}),
    ("0:tpx3-dd-toa-tot", {"packets": b"\x01" * 16, "packet_count": 3}, {"packets": 3}),
    ("0:tpx3-dd-toa-tot-vec", {"pixel_address_vec": b"\x02" * 4, "vec_length": 4}, {"vec": 4}),
    ("0:tpx-medipix", {"frames": bytes(131072 * 2 + 5)}, {"frames": 2}),
])
def test_scripted_counts_and_null_pointers(sdk, mode, delivery, counts):
    sdk.select(mode, (64, 64, 10) if "binned" in mode else None)
    zorvsim.script("ch0", [delivery])
    [got] = sdk.acquire()
    for key in list(COUNTS) + ["tdc0", "tdc1", "tdc2"]:
        if key != "shutter":
            assert got["count:" + key] == counts.get(key, 0), key
    for key in GETTERS:
        given = delivery.get(key)
        if given is None:
            assert got[key] is None, key  # null pointer, whatever its count
        else:
            data = bytes(given) if isinstance(given, bytes) else given.tobytes()
            n = len(got[key])
            assert got[key] == (data + bytes(max(0, n - len(data))))[:n]


def test_scripted_failures_hit_one_getter_of_one_delivery(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    fail = {"zorv_acq_tpx3_get_packets": (-2, b"\xff not valid UTF-8"), "zorv_acq_meta_get_tdc_toas": (-4, None)}
    zorvsim.script("ch0", [{"packets": bytes(16)}, {"packets": bytes(16), "fail": fail}, {"packets": bytes(16)}])

    def reader(acq):
        ptr, text, n = ctypes.c_void_p(), ctypes.c_char_p(b"preset"), ctypes.c_ulonglong()
        out = [sdk.lib.zorv_acq_tpx3_get_packets(acq, ctypes.byref(ptr)), bool(ptr.value)]
        sdk.lib.zorv_acq_get_last_error(acq, ctypes.byref(text))
        out.append(text.value)
        out.append(sdk.lib.zorv_acq_meta_get_tdc_toas(acq, 1, ctypes.byref(ptr)))
        sdk.lib.zorv_acq_get_last_error(acq, ctypes.byref(text))
        out.append(text.value)
        out.append(sdk.lib.zorv_acq_tpx3_get_packet_count(acq, ctypes.byref(n)))
        return out

    first, failed, last = sdk.acquire(reader)
    assert failed == [-2, False, b"\xff not valid UTF-8", -4, None, 0]
    assert first[:2] == last[:2] == [0, True] and first[3] == last[3] == 0


def test_library_faults_and_the_journal_reach_the_getters(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    zorvsim.script("ch0", [{"packets": bytes(16)}] * 3)
    zorvsim.fail("zorv_acq_tpx3_get_packet_count", -3, b"injected", skip=1)
    count = ctypes.c_ulonglong()
    with zorvsim.Journal() as journal:
        got = sdk.acquire(lambda acq: sdk.lib.zorv_acq_tpx3_get_packet_count(acq, ctypes.byref(count)))
    assert got == [0, -3, 0]
    calls = journal.calls("zorv_acq_tpx3_get_packet_count")
    assert len(calls) == 3 and calls[1]["injected"] == -3
    assert {c["thread"] for c in calls} != {threading.get_native_id()} and len({c["thread"] for c in calls}) == 1
    assert [c["gil"] for c in calls] == [False] * 3


@pytest.mark.parametrize("scrub", [False, True])
def test_scrub_overwrites_a_delivery_once_its_callback_returned(sdk, scrub):
    zorvsim.set("/devices/0/acquisition/scrub", scrub)
    sdk.select("0:tpx3-dd-toa-tot")
    zorvsim.script("ch0", [{"packets": b"\x11" * 32}, {"packets": b"\x22" * 32}])
    first = []

    def reader(acq):
        if first:  # the first delivery's buffer, still allocated, seen from the second callback
            return ctypes.string_at(first[0], 32)
        ptr = ctypes.c_void_p()
        sdk.lib.zorv_acq_tpx3_get_packets(acq, ctypes.byref(ptr))
        first.append(ptr.value)

    assert sdk.acquire(reader)[1] == (b"\xa5" * 32 if scrub else b"\x11" * 32)


def write_through(lib, acq, getter, byte):
    """Overwrites the buffer a getter gives (its records, by the delivery's counts) with one byte."""
    ptr, n = ctypes.c_void_p(), ctypes.c_ulonglong()
    assert getattr(lib, GETTERS[getter])(acq, ctypes.byref(ptr)) == 0
    assert lib.zorv_acq_tpx3_get_vec_length(acq, ctypes.byref(n)) == 0
    ctypes.memset(ptr.value, byte, 2 * n.value)


@pytest.mark.parametrize("scrub", [False, True])
def test_scripted_buffers_read_back_what_the_callback_wrote(sdk, scrub):
    zorvsim.set("/devices/0/acquisition/scrub", scrub)
    sdk.select("0:tpx3-dd-toa-tot-vec")
    tot = np.arange(1, 6, dtype="<u2")
    zorvsim.script("ch0", [{"tot_vec": tot, "vec_length": 8}, {"tot_vec": tot, "raw": b"raw"}], repeat=2)
    written = iter([0x11, 0x22, 0x33, 0x44])
    sdk.acquire(lambda acq: write_through(sdk.lib, acq, "tot_vec", next(written)))
    # the last round's writes (a repeated script hands out the same buffers); zero-padded to the
    # count of records; scrubbing overwrites everything afterwards
    first, second = (zorvsim.delivered_buffer("ch0", i, "tot_vec") for i in (0, 1))
    assert (first, second) == ((b"\xa5" * 16, b"\xa5" * 10) if scrub else (b"\x33" * 16, b"\x44" * 10))
    assert zorvsim.delivered_buffer("ch0", 1, "raw") == (b"\xa5" * 3 if scrub else b"raw")
    # a synthetic acquisition on the channel keeps them; the next script replaces them
    zorvsim.set("/devices/0/acquisition", {"deliveries": 1, "realTime": False, "scrub": False})
    sdk.acquire(lambda acq: None)
    assert zorvsim.delivered_buffer("ch0", 0, "tot_vec") == first
    zorvsim.script("ch0", [{}])
    with pytest.raises(zorvsim.SimError, match="no scripted acquisition has ended on channel 'ch0' since"):
        zorvsim.delivered_buffer("ch0", 0, "tot_vec")


def test_read_back_through_the_package_shows_what_a_callable_wrote():
    from zorvsdk.zorv import Device
    dev = Device()
    try:
        dev.open("zorvsim:0")
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        zorvsim.script("ch0", [{"packets": np.array([(1, 2, 3), (4, 5, 6)], TOA_TOT)}])

        def double_tot(data, metadata):
            data["tot"] *= 2  # writes into the SDK's buffer

        dev.acq.setDataCallback("ch0", double_tot)
        dev.acq.begin("ch0")
        dev.acq.end("ch0")
    finally:
        dev.finalize()
    back = np.frombuffer(zorvsim.delivered_buffer("ch0", 0, "packets"), TOA_TOT)
    assert back.tolist() == [(1, 4, 3), (4, 10, 6)]


@pytest.mark.parametrize("setup, args, match", [
    ("none", ("ch0", 0, "packets"), "no scripted acquisition has ended on channel 'ch0'"),
    ("script", ("ch0", 2, "packets"), "no delivery 2: the last script of channel 'ch0' had 2"),
    ("script", ("ch0", -1, "packets"), "no delivery -1"),
    ("script", ("ch0", 0, "packet"), "no delivery buffer is named 'packet'"),
    ("script", ("ch0", 1, "frames"), "buffer 'frames' of delivery 1 was a null pointer"),
    ("script", ("ch1", 0, "packets"), "no scripted acquisition has ended on channel 'ch1'"),
    ("script", ("ch9", 0, "packets"), "no acquisition channel 'ch9'"),
    ("held", ("ch0", 0, "packets"), "an acquisition is running on channel 'ch0'"),
])
def test_read_back_refusals(sdk, setup, args, match):
    sdk.select("0:tpx3-dd-toa-tot")
    if setup != "none":
        zorvsim.script("ch0", [{"packets": bytes(16)}, {"packets": bytes(32)}], hold=setup == "held")
        sdk.register(lambda acq: None)
        assert sdk.call("zorv_acq_begin", b"ch0") == 0
        if setup == "script":
            assert sdk.call("zorv_acq_end", b"ch0") == 0
        else:
            zorvsim.wait_deliveries("ch0", 2)
    with pytest.raises(zorvsim.SimError, match=match):
        zorvsim.delivered_buffer(*args)


@pytest.mark.parametrize("call, match", [
    (lambda: zorvsim.script("ch7", []), "no acquisition channel 'ch7'"),
    (lambda: zorvsim.script("ch0", [], device=5), "no device 5"),
    (lambda: zorvsim.script("ch0", [{"fail": {"zorv_acq_begin": (-1, b"")}}]), "not a getter"),
    (lambda: zorvsim.script("ch0", [{"packet_count": 2**62}]), "more than 1 GiB"),
    (lambda: zorvsim.delivery_count("nope"), "no acquisition channel 'nope'"),
])
def test_control_refusals(call, match):
    with pytest.raises(zorvsim.SimError, match=match):
        call()


def test_unknown_delivery_keys_are_refused():
    with pytest.raises(ValueError, match="'packet'"):
        zorvsim.script("ch0", [{"packet": b""}])


@pytest.mark.parametrize("member, value, problem", [
    ("deliveries", -2, "expected a count"),
    ("hitsPerDelivery", 16000001, "from 0 to 16000000"),
    ("period", 0, "positive number of seconds"),
    ("sources", {"photon": 0, "blob": 0, "track": 0}, "positive sum"),
    ("tdcPerDelivery", [1, 2], "TDC inputs 0, 1 and 2"),
    ("channels", ["a", "a"], "same identifier"),
])
def test_refused_acquisition_members(member, value, problem):
    with pytest.raises(zorvsim.SimError, match=problem):
        zorvsim.set(f"/devices/0/acquisition/{member}", value)


# ---- the synthetic detector ----


def arrays(got, key, dtype):
    return [np.frombuffer(d[key] or b"", dtype) for d in got]


def test_data_driven_hits_are_time_ordered_within_and_across_deliveries(sdk):
    synthetic(deliveries=5, hitsPerDelivery=1_000_000)
    sdk.select("0:tpx3-dd-toa-tot")

    def reader(acq):
        d = {"count:shutter": 0}
        n, ptr, raw = ctypes.c_ulonglong(), ctypes.c_void_p(), ctypes.c_void_p()
        assert sdk.lib.zorv_acq_meta_get_shutter_rising_time_ticks(acq, ctypes.byref(n)) == 0
        d["count:shutter"] = n.value
        assert sdk.lib.zorv_acq_tpx3_get_packets(acq, ctypes.byref(ptr)) == 0
        assert sdk.lib.zorv_acq_raw_get_data(acq, ctypes.byref(raw), ctypes.byref(n)) == 0
        d["raw is packets"] = raw.value == ptr.value
        d["packets"] = ctypes.string_at(ptr.value, n.value)
        for tdc in range(3):
            assert sdk.lib.zorv_acq_meta_get_tdc_toas_count(acq, tdc, ctypes.byref(n)) == 0
            assert sdk.lib.zorv_acq_meta_get_tdc_toas(acq, tdc, ctypes.byref(ptr)) == 0
            d[f"tdc{tdc}"] = ctypes.string_at(ptr.value, 8 * n.value) if ptr.value else None
        return d

    got = sdk.acquire(reader)
    packets = arrays(got, "packets", TOA_TOT)
    assert [len(p) for p in packets] == [1_000_000] * 5
    toa = np.concatenate([p["toa"] for p in packets])
    assert np.all(np.diff(toa.astype(np.int64)) >= 0)
    span = got[1]["count:shutter"] - got[0]["count:shutter"]
    assert span == 0.05 * 640e6
    for k, (d, p) in enumerate(zip(got, packets)):
        assert d["count:shutter"] == k * span
        assert k * span <= p["toa"][0] and p["toa"][-1] < (k + 1) * span
        assert p["address"].max() < WIDTH * HEIGHT and 1 <= p["tot"].min() and p["tot"].max() <= 1023
        assert d["raw is packets"]
        tdcs = [np.frombuffer(d[f"tdc{i}"] or b"", "<u8") for i in range(3)]
        assert [len(t) for t in tdcs] == [4, 1, 0]
        assert np.all(np.diff(tdcs[0].astype(np.int64)) >= 0) and np.all((tdcs[0] >= k * span) & (tdcs[0] < (k + 1) * span))


@pytest.mark.parametrize("mode, toa", [("0:tpx3-dd-toa-tot-vec", "<u8"), ("0:tpx3-seq-toa-tot-vec", "<u4")])
def test_vectors_carry_the_hits_of_the_raw_records(sdk, mode, toa):
    synthetic(deliveries=2)
    sdk.select(mode)
    for d in sdk.acquire():
        raw = np.frombuffer(d["raw"], TOA_TOT)
        assert d["count:vec"] == len(raw) == 2000 and d["packets"] is None
        assert np.array_equal(np.frombuffer(d["pixel_address_vec"], "<u4"), raw["address"])
        assert np.array_equal(np.frombuffer(d["toa_vec"], toa), raw["toa"].astype(toa))
        assert np.array_equal(np.frombuffer(d["tot_vec"], "<u2"), raw["tot"])


def test_itot_event_sums_the_hits_per_pixel(sdk):
    synthetic(deliveries=1)
    sdk.select("0:tpx3-seq-itot-event")
    [d] = sdk.acquire()
    p = np.frombuffer(d["packets"], ITOT_EVENT)
    assert np.all(np.diff(p["address"].astype(np.int64)) > 0) and p["address"].max() < WIDTH * HEIGHT
    assert p["event"].sum() == 2000 and np.all(p["itot"] >= p["event"])


@pytest.mark.parametrize("mode", ["0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"])
def test_binned_data_agree_with_the_bins(sdk, mode):
    synthetic(deliveries=2)
    bw, bh = 64, 32
    sdk.select(mode, (bw, bh, 1000))
    bins = (WIDTH // bw) * (HEIGHT // bh)
    for d in sdk.acquire():
        counters, itots = (np.frombuffer(d[k] or b"", "<u8") for k in ("binned_hitcounters", "binned_itots"))
        if mode == "0:tpx3-binned-itot-sums":
            assert len(itots) == bins and d["count:binned_hitcounters"] == 0 and itots.sum() >= 2000
            continue
        assert len(counters) == bins and counters.sum() == 2000
        if mode == "0:tpx3-binned-count-sums":
            assert d["binned_itots"] is None and d["raw"] == d["binned_hitcounters"]
            continue
        packets = np.frombuffer(d["packets"], BINNED)
        descriptors = np.frombuffer(d["bin_descriptors"], DESCRIPTOR)
        assert len(descriptors) == bins and descriptors["packet_count"].sum() == len(packets)
        assert np.array_equal(descriptors["offset"][1:], np.cumsum(descriptors["packet_count"])[:-1])
        for b, (offset, n) in enumerate(descriptors):
            part = packets[offset:offset + n]
            x, y = part["address"] % WIDTH, part["address"] // WIDTH
            assert np.all((y // bh) * (WIDTH // bw) + x // bw == b)
            assert part["count"].sum() == counters[b] and part["itot"].sum() == itots[b]


def test_frames_count_the_hits_of_each_chip(sdk):
    synthetic(deliveries=1, hitsPerDelivery=50000)
    sdk.select("0:tpx-medipix")
    [d] = sdk.acquire()
    assert d["count:frames"] == 4 and d["raw"] == d["frames"]
    frames = np.frombuffer(d["frames"], "<u2").reshape(4, 256, 256)
    assert frames.sum() == 50000 and all(f.sum() > 5000 for f in frames)


def test_tot_grows_with_the_energy_of_the_source(sdk):
    medians = {}
    sdk.select("0:tpx3-dd-toa-tot")
    for source in ("photon", "track", "blob"):
        synthetic(deliveries=1, sources={"photon": 0, "blob": 0, "track": 0, source: 1})
        [d] = sdk.acquire()
        medians[source] = np.median(np.frombuffer(d["packets"], TOA_TOT)["tot"])
    assert medians["photon"] < medians["track"] < medians["blob"]


def test_the_seed_decides_the_data(sdk):
    sdk.select("0:tpx3-dd-toa-tot")
    runs = []
    for seed in (1, 1, 2):
        synthetic(deliveries=1, seed=seed)
        runs.append(sdk.acquire()[0]["packets"])
    assert runs[0] == runs[1] != runs[2]


@pytest.mark.parametrize("hits", [1_000_000, 16_000_000])
def test_abort_answers_at_once_while_the_pool_is_built(sdk, hits):
    synthetic(deliveries=-1, hitsPerDelivery=hits)
    sdk.select("0:tpx3-dd-toa-tot")
    sdk.register(lambda acq: None)
    took = []
    for seed in (11, 12, 13):  # each a configuration not built before: a cold start
        zorvsim.set("/devices/0/acquisition/seed", seed)
        assert sdk.call("zorv_acq_begin", b"ch0") == 0
        time.sleep(0.01)  # the library thread is building the pool meanwhile (some 50 ms)
        start = time.perf_counter()
        assert sdk.call("zorv_acq_abort", b"ch0") == 0
        took.append(time.perf_counter() - start)
        assert not zorvsim.acquiring("ch0")
    print(f"\nabort while building the pool for {hits:,} hits: {1e3 * max(took):.1f} ms at most "
          f"(median {1e3 * sorted(took)[1]:.1f} ms of 3)")
    assert zorvsim.delivery_count("ch0") == 0
    assert max(took) < 1.0  # generous: a loaded machine must not fail it
