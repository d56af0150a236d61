"""Native sinks: what a Recorder hands back against what a data callable receives, for every readout
mode and raw data; drops under a slow reader; batches; waits that time out and answer Ctrl-C; the
hit map's sums; deliveries from several threads while Python reads; fork. Deliveries reach the sinks
through the acquisition module, through their C interface (as the acquisition module hands them,
without the interpreter lock), and through the call path."""

import ctypes
import os
import queue
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zorvsim
from native_sink import KINDS, DeliveredData, Native, SinkApi, api_of
from programs import TESTS, run
from zorvsdk import acquisition, sinks
from zorvsdk.chip import BinningParams

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
ITOT_EVENT = np.dtype({"names": ["address", "itot", "event"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
BINNED = np.dtype({"names": ["address", "count", "itot"], "formats": ["<u4", "<u4", "<u4"], "offsets": [0, 4, 8], "itemsize": 12})
BIN_DESCR = np.dtype({"names": ["offset", "packet_count"], "formats": ["<u4", "<u4"], "offsets": [0, 4], "itemsize": 8})
WIDTH = HEIGHT = 512
WIRED = hasattr(acquisition, "_interpreter_entries")
needs_wiring = pytest.mark.skipif(not WIRED, reason="the acquisition module does not hand deliveries to sinks yet")

rng = np.random.default_rng(15)


def records(dtype, n, address_limit=WIDTH * HEIGHT):
    a = np.zeros(n, dtype)
    for field in dtype.names:
        a[field] = rng.integers(0, address_limit if field == "address" else 1 << 31, n)
    return a


def ints(dtype, n, high=60000):
    return rng.integers(0, high, n).astype(dtype)


def tdcs():
    return {"tdc0": ints(np.uint64, 3), "tdc2": ints(np.uint64, 1), "shutter": (1 << 40) + 5}


# mode: (kind, a scripted delivery with every place filled)
MODES = {
    "0:tpx3-seq-toa-tot": ("seq-toa-tot", lambda: {"packets": records(TOA_TOT, 40)}),
    "0:tpx3-seq-itot-event": ("seq-itot-event", lambda: {"packets": records(ITOT_EVENT, 40)}),
    "0:tpx3-seq-toa-tot-vec": ("seq-toa-tot-vec", lambda: {
        "pixel_address_vec": ints(np.uint32, 40, WIDTH * HEIGHT), "toa_vec": ints(np.uint32, 40), "tot_vec": ints(np.uint16, 40)}),
    "0:tpx3-seq-itot-event-vec": ("seq-itot-event-vec", lambda: {
        "pixel_address_vec": ints(np.uint32, 40, WIDTH * HEIGHT), "event_vec": ints(np.uint16, 40), "itot_vec": ints(np.uint16, 40)}),
    "0:tpx3-dd-toa-tot": ("dd-toa-tot", lambda: {"packets": records(TOA_TOT, 40)} | tdcs()),
    "0:tpx3-sorted-dd-toa-tot": ("dd-toa-tot", lambda: {"packets": records(TOA_TOT, 30)} | tdcs()),
    "0:tpx3-dd-toa-tot-vec": ("dd-toa-tot-vec", lambda: {
        "pixel_address_vec": ints(np.uint32, 40, WIDTH * HEIGHT), "toa_vec": ints(np.uint64, 40), "tot_vec": ints(np.uint16, 40)} | tdcs()),
    "0:tpx3-binned-packets": ("binned-packets", lambda: {
        "packets": records(BINNED, 6), "bin_descriptors": records(BIN_DESCR, 2),
        "binned_hitcounters": ints(np.uint64, 2), "binned_itots": ints(np.uint64, 2)}),
    "0:tpx3-binned-count-sums": ("binned-count-sums", lambda: {"binned_hitcounters": ints(np.uint64, 7)}),
    "0:tpx3-binned-itot-sums": ("binned-itot-sums", lambda: {"binned_itots": ints(np.uint64, 7)}),
    "0:tpx-medipix": ("medipix", lambda: {"frames": ints(np.uint16, 2 * 65536)}),
    "raw": ("raw", lambda: {"raw": bytes(rng.integers(0, 256, 37, dtype=np.uint8))}),
}


def select(dev, mode):
    chosen = "0:tpx3-dd-toa-tot" if mode == "raw" else mode
    dev.chip.selectMode(chosen, BinningParams(4, 4, 1000) if "binned" in chosen else None)


def acquire(dev, mode, func, deliveries, channel="ch0"):
    select(dev, mode)
    (dev.acq.setRawDataCallback if mode == "raw" else dev.acq.setDataCallback)(channel, func)
    zorvsim.script(channel, deliveries)
    dev.acq.begin(channel)
    dev.acq.end(channel)


def owned_copy(args):
    return tuple({"shutterStart": a["shutterStart"], "tdcs": [t.copy() for t in a["tdcs"]]} if isinstance(a, dict)
                 else a.copy() for a in args)


def reference(dev, mode, deliveries):
    """What a data callable receives for the scripted deliveries, copied."""
    got = []
    acquire(dev, mode, lambda *args: got.append(owned_copy(args)), deliveries)
    assert len(got) == len(deliveries)
    return got


def assert_same(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        if isinstance(b, dict):
            assert list(a) == ["shutterStart", "tdcs"] and a["shutterStart"] == b["shutterStart"]
            assert type(a["tdcs"]) is list
            assert_same(a["tdcs"], b["tdcs"])
        else:
            assert (a.dtype, a.dtype.char, a.shape) == (b.dtype, b.dtype.char, b.shape)
            assert a.tobytes() == b.tobytes()
            assert a.flags.writeable and (a.base is None and a.flags.owndata or type(a.base).__name__ == "PyCapsule")


@pytest.mark.parametrize("mode", MODES)
def test_recorder_hands_back_what_a_callable_receives(opened, mode):
    kind, full = MODES[mode]
    expected = reference(opened, mode, [full(), {}])  # an empty delivery: every place empty
    rec = sinks.Recorder(1 << 20)
    for args in expected:
        rec(*args, kind=kind)
        try:
            rec(*args)  # the kind inferred, or refused as ambiguous
        except TypeError as e:
            assert "pass kind=" in str(e)
            rec(*args, kind=kind)
    for args in expected:
        assert_same(rec.get(timeout=0), args)
        assert_same(rec.get(timeout=0), args)
    assert (rec.delivered, rec.dropped) == (4, 0)


@needs_wiring
@pytest.mark.parametrize("mode", MODES)
def test_recorder_registered_like_a_callable_records_every_mode(opened, mode):
    deliveries = [MODES[mode][1](), {}, MODES[mode][1]()]
    expected = reference(opened, mode, deliveries)
    rec = sinks.Recorder(1 << 20)
    entries = acquisition._interpreter_entries()
    zorvsim.set("/devices/0/acquisition/scrub", True)  # a copy taken after the delivery would show 0xA5
    acquire(opened, mode, rec, deliveries)
    assert acquisition._interpreter_entries() == entries
    for args in expected:
        assert_same(rec.get(timeout=0), args)


def test_inference_of_the_kind_is_refused_where_it_is_unclear():
    rec = sinks.Recorder(100)
    u64 = np.arange(3, dtype=np.uint64)
    meta = {"shutterStart": 7, "tdcs": [u64, np.empty(0), np.empty(0)]}
    refused = [
        ((u64,), {}, TypeError, r"fit more than one kind .*binned-count-sums, binned-itot-sums.*pass kind="),
        ((np.empty(0),), {}, TypeError, "fit more than one kind"),
        ((np.zeros(3, np.int32),), {}, TypeError, "no readout mode delivers"),
        ((records(ITOT_EVENT, 2), meta), {}, TypeError, "no readout mode delivers"),
        ((records(ITOT_EVENT, 2),), {"kind": "seq-toa-tot"}, TypeError, "not a seq-toa-tot delivery"),
        ((u64,), {"kind": "hits"}, ValueError, "unknown delivery kind 'hits'"),
        (([1, 2, 3],), {}, TypeError, "not list"),
        ((u64,), {"knd": "raw"}, TypeError, "unexpected keyword argument 'knd'"),
        ((records(TOA_TOT, 2), {"tdcs": []}), {}, TypeError, "'shutterStart'"),
        ((records(TOA_TOT, 2), {"shutterStart": 1, "tdcs": [u64]}), {}, ValueError, "three arrays"),
        ((records(TOA_TOT, 2), {"shutterStart": -1, "tdcs": [u64] * 3}), {}, OverflowError, "negative"),
        ((records(TOA_TOT, 2), {"shutterStart": 1, "tdcs": [u64.astype(np.int64)] * 3}), {}, TypeError, r"\['tdcs'\]\[0\]"),
        ((np.zeros(3, np.uint32), np.zeros(2, np.uint32), np.zeros(3, np.uint16)), {}, ValueError, "one length"),
    ]
    for args, kwargs, error, message in refused:
        with pytest.raises(error, match=message):
            rec(*args, **kwargs)
    assert rec.delivered == 0
    # Views in any layout are taken as their values: a strided view, and frames as 2-D images.
    rec(np.arange(10, dtype=np.uint16)[::2])
    rec(np.arange(6, dtype=np.uint64)[::-2], kind="binned-itot-sums")
    assert rec.get(timeout=0)[0].tolist() == [0, 2, 4, 6, 8]
    assert rec.get(timeout=0)[0].tolist() == [5, 3, 1]


def test_a_batch_concatenates_deliveries_of_one_kind_with_their_boundaries():
    rec = sinks.Recorder(1000)
    sent = [records(TOA_TOT, n) for n in (3, 0, 5)]
    stamps = [np.arange(k, dtype=np.uint64) + 10 * k for k in (2, 0, 1)]
    for k, packets in enumerate(sent):
        rec(packets, {"shutterStart": 100 + k, "tdcs": [stamps[k], np.empty(0), stamps[k]]}, kind="dd-toa-tot")
    rec(records(TOA_TOT, 4))  # seq-toa-tot: a batch holds one kind
    rec(sent[0], {"shutterStart": 9, "tdcs": [np.empty(0)] * 3})

    b = rec.get_batch(timeout=0)
    assert (b.kind, b.deliveries) == ("dd-toa-tot", 3)
    assert b.offsets.tolist() == [[0, 3, 3, 8]] and b.offsets.dtype == np.int64
    assert b.arrays[0].dtype == TOA_TOT and b.arrays[0].tobytes() == b"".join(p.tobytes() for p in sent)
    assert b.shutters.tolist() == [100, 101, 102]
    assert b.tdc_offsets.tolist() == [[0, 2, 2, 3], [0, 0, 0, 0], [0, 2, 2, 3]]
    assert [t.tolist() for t in b.tdcs] == [[20, 21, 10], [], [20, 21, 10]] and b.tdcs[1].dtype == np.uint64
    b = rec.get_batch(timeout=0, max_deliveries=5)
    assert (b.kind, b.deliveries, b.shutters, b.tdcs, b.tdc_offsets) == ("seq-toa-tot", 1, None, None, None)
    assert rec.get_batch(timeout=0, max_deliveries=1).deliveries == 1
    with pytest.raises(ValueError, match="max_deliveries must be from 1"):
        rec.get_batch(timeout=0, max_deliveries=0)


def test_a_batch_mixes_views_of_its_large_places_with_copies_of_the_small_ones():
    rec = sinks.Recorder(1 << 21)
    sent = [(ints(np.uint32, 100_000), ints(np.uint64, 100_000), ints(np.uint16, 100_000), ints(np.uint64, k))
            for k in range(4)]
    for addresses, toas, tots, stamps in sent:
        rec(addresses, toas, tots, {"shutterStart": 7, "tdcs": [stamps, np.empty(0), stamps[::-1]]})
    b = rec.get_batch(timeout=0)
    assert (b.kind, b.deliveries) == ("dd-toa-tot-vec", 4)
    # addresses (1.6 MB) and ToA (3.2 MB) are views of the recorder's memory; ToT (0.8 MB) is a copy
    assert [a.flags.owndata for a in b.arrays] == [False, False, True]
    for i, (addresses, toas, tots, stamps) in enumerate(sent):
        for p, expected in enumerate((addresses, toas, tots)):
            assert (b.arrays[p][b.offsets[p, i]:b.offsets[p, i + 1]] == expected).all()
        for t, expected in enumerate((stamps, [], stamps[::-1])):
            assert b.tdcs[t][b.tdc_offsets[t, i]:b.tdc_offsets[t, i + 1]].tolist() == list(expected)


def test_large_batches_are_owned_and_their_memory_is_never_shared_with_a_live_array():
    # Batches of megabytes are views of the recorder's memory (a batch ends where a run of it does),
    # which is used again only once no array refers to it.
    rec = sinks.Recorder(1 << 21)
    meta = {"shutterStart": 1, "tdcs": [np.empty(0)] * 3}
    sent, kept = [], []
    for round_ in range(12):
        n = 150_000 + 40_000 * (round_ % 3)  # 2.4 to 3.7 MB a delivery
        pair = [records(TOA_TOT, n), records(TOA_TOT, n // 2)]
        for packets in pair:
            rec(packets, meta, kind="dd-toa-tot")
        got = []
        while sum(a.size for a in got) < n + n // 2:
            got.append(rec.get_batch(timeout=0).arrays[0])
        assert b"".join(a.tobytes() for a in got) == b"".join(p.tobytes() for p in pair)
        if round_ % 2:
            kept.append(got)  # kept: its memory must not be handed out again
            sent.append(b"".join(p.tobytes() for p in pair))
        else:
            for a in got:
                a[:] = np.zeros(1, TOA_TOT)  # writable; let go, and what a later batch must not show
    del rec
    assert [b"".join(a.tobytes() for a in got) for got in kept] == sent  # intact after the recorder's end
    assert all(a.flags.writeable and a.flags.c_contiguous for got in kept for a in got)


def test_views_are_of_memory_used_again_only_once_let_go():
    rec = sinks.Recorder(1 << 20)
    meta = {"shutterStart": 1, "tdcs": [np.empty(0)] * 3}

    def one():  # 1.6 MB: handed out as a view
        sent = records(TOA_TOT, 100_000)
        rec(sent, meta, kind="dd-toa-tot")
        data = rec.get(timeout=0)[0]
        assert data.tobytes() == sent.tobytes() and not data.flags.owndata
        return data, data.__array_interface__["data"][0]

    kept, at = one()
    kept_bytes, ends = kept.tobytes(), (at, at + kept.nbytes)
    starts = set()
    for _ in range(40):  # 64 MB through a ring of 16
        data, start = one()
        assert start + data.nbytes <= ends[0] or start >= ends[1]  # never over the kept view
        starts.add(start)
        del data
    assert len(starts) <= 12  # the same few runs, used again
    assert kept.tobytes() == kept_bytes


def test_a_reader_keeping_what_it_takes_leaves_the_ring_its_capacity():
    rec = sinks.Recorder(250_000)  # room for two deliveries of 100,000 records
    sent = [records(TOA_TOT, 100_000) for _ in range(12)]
    kept = []
    for k, packets in enumerate(sent):
        rec(packets, {"shutterStart": k, "tdcs": [np.arange(k, dtype=np.uint64)] * 3}, kind="dd-toa-tot")
        kept.append(rec.get(timeout=0))
    assert (rec.delivered, rec.dropped) == (12, 0)
    del rec
    for k, (data, metadata) in enumerate(kept):
        assert data.tobytes() == sent[k].tobytes() and metadata["shutterStart"] == k
        assert [t.tolist() for t in metadata["tdcs"]] == [list(range(k))] * 3


def test_deliveries_that_do_not_fit_are_dropped_whole_and_counted():
    rec = sinks.Recorder(100)
    native = Native(rec)
    meta = {"shutterStart": 1, "tdcs": [np.arange(3, dtype=np.uint64), None, None]}
    first = records(TOA_TOT, 57)
    native.deliver("dd-toa-tot", [first], meta)  # 57 records and 3 time stamps: 60 of 100
    native.deliver("dd-toa-tot", [records(TOA_TOT, 38)], meta)  # 101: dropped
    native.deliver("raw", [np.zeros(41, np.uint8)])  # 101: dropped
    native.deliver("raw", [np.zeros(40, np.uint8)])  # 100: fits
    native.deliver("raw", [None])  # an empty delivery holds a record too: dropped
    assert (rec.delivered, rec.dropped) == (2, 3)
    data, metadata = rec.get(timeout=0)
    assert data.tobytes() == first.tobytes() and metadata["tdcs"][0].tolist() == [0, 1, 2]
    native.deliver("raw", [np.zeros(200, np.uint8)])  # larger than the ring: never fits
    native.deliver("raw", [np.ones(60, np.uint8)])
    assert (rec.delivered, rec.dropped) == (3, 4)
    assert rec.get(timeout=0)[0].size == 40 and rec.get(timeout=0)[0].tolist() == [1] * 60
    rec.clear()
    assert (rec.delivered, rec.dropped) == (0, 0)


def test_a_slow_reader_loses_whole_deliveries_of_an_acquisition(opened):
    rec = sinks.Recorder(2500)  # two deliveries of 1002 records
    deliveries = [{"packets": records(TOA_TOT, 1000), "tdc0": ints(np.uint64, 2), "shutter": k} for k in range(10)]
    acquire(opened, "0:tpx3-dd-toa-tot", rec, deliveries)
    assert zorvsim.delivery_count("ch0") == 10
    assert (rec.delivered, rec.dropped) == (2, 8)
    shutters = [rec.get(timeout=0)[1]["shutterStart"] for _ in range(2)]
    assert shutters[0] < shutters[1]  # the first two, in order
    with pytest.raises(queue.Empty):
        rec.get(timeout=0)


def test_waits_time_out_and_refuse_bad_timeouts():
    rec = sinks.Recorder(10)
    for take in (rec.get, rec.get_batch):
        start = time.monotonic()
        with pytest.raises(queue.Empty):
            take(timeout=0.2)
        assert 0.19 < time.monotonic() - start < 5
        with pytest.raises(ValueError, match="non-negative"):
            take(timeout=-1)
    with pytest.raises(ValueError, match="capacity must be from 1"):
        sinks.Recorder(0)
    with pytest.raises(MemoryError, match="more than this machine's memory"):
        sinks.Recorder(1 << 40)  # granted on paper, the first pass over it would end the process
    with pytest.raises(ValueError, match="'idle' must be a non-negative number"):
        sinks.Recorder(10, idle=-1)
    with pytest.raises(TypeError, match="not None"):
        rec.idle = None
    # A reader waiting with the lock released gets a delivery made by another thread.
    threading.Timer(0.1, lambda: Native(rec).deliver("raw", [np.arange(3, dtype=np.uint8)])).start()
    assert rec.get(timeout=10)[0].tolist() == [0, 1, 2]


def test_iteration_ends_once_drained_with_no_acquisition_running_or_after_idle_time():
    rec = sinks.Recorder(1000, idle=30)
    native = Native(rec)
    native.acquiring(True)
    sent = list(range(5))

    def produce():
        for k in sent:
            native.deliver("raw", [np.full(3, k, np.uint8)])
            time.sleep(0.02)
        native.acquiring(False)

    threading.Thread(target=produce).start()
    start = time.monotonic()
    assert [d[0][0] for d in rec] == sent
    assert time.monotonic() - start < 10  # ended by the acquisition's end, not by the idle time
    native.acquiring(True)
    rec.idle = 0.2
    start = time.monotonic()
    assert list(rec) == [] and 0.19 < time.monotonic() - start < 5
    native.acquiring(False)
    native.acquiring(False)  # an end more than begins: still not running
    assert list(rec) == []


def test_deliveries_from_two_threads_read_by_two_threads_arrive_once_in_order_and_intact():
    rec = sinks.Recorder(20_000)
    native = Native(rec)
    per_producer, got, done = 1500, [[], []], threading.Event()

    def produce(producer):
        for seq in range(per_producer):
            n = 1 + seq % 40
            p = np.zeros(n, TOA_TOT)
            p["address"], p["toa"], p["tot"] = producer, seq, np.arange(n)
            native.deliver("seq-toa-tot", [p])

    def read(reader):
        while True:
            try:
                b = rec.get_batch(timeout=0.02, max_deliveries=50) if reader else rec.get(timeout=0.02)
            except queue.Empty:
                if done.is_set():
                    return
                continue
            parts = np.split(b.arrays[0], b.offsets[0][1:-1]) if reader else [b[0]]
            got[reader].extend(parts)

    producers = [threading.Thread(target=produce, args=(p,)) for p in (0, 1)]
    readers = [threading.Thread(target=read, args=(r,)) for r in (0, 1)]
    for t in producers + readers:
        t.start()
    for t in producers:
        t.join()
    done.set()
    for t in readers:
        t.join()
    seen = {0: [], 1: []}
    for reader in got:
        last = {0: -1, 1: -1}
        for p in reader:
            producer, seq = int(p["address"][0]), int(p["toa"][0])
            assert seq > last[producer]  # each reader sees a producer's deliveries in order
            last[producer] = seq
            assert len(p) == 1 + seq % 40 and (p["address"] == producer).all() and (p["toa"] == seq).all()
            assert p["tot"].tolist() == list(range(len(p)))
            seen[producer].append(seq)
    assert rec.delivered == len(seen[0]) + len(seen[1]) and rec.delivered + rec.dropped == 2 * per_producer
    for producer in (0, 1):
        assert len(set(seen[producer])) == len(seen[producer])  # none twice


def test_the_interface_is_published_as_a_versioned_capsule_on_immutable_types():
    for sink_type in (sinks.Recorder, sinks.HitMap):
        api = api_of(sink_type)
        assert (api.version, api.size) == (2, ctypes.sizeof(SinkApi))
        with pytest.raises(TypeError, match="immutable"):
            sink_type._zorv_sink_api_ = None
        with pytest.raises(TypeError):
            type("Sub", (sink_type,), {})


# ---- HitMap ----


def expected_map(kind, arrays, width, height):
    """counts, tot and outside as numpy computes them from a delivery's arrays."""
    pixels = width * height
    if kind in ("seq-toa-tot", "dd-toa-tot"):
        address, hits, tot = arrays[0]["address"], np.ones(len(arrays[0])), arrays[0]["tot"]
    elif kind == "seq-itot-event":
        address, hits, tot = arrays[0]["address"], arrays[0]["event"], arrays[0]["itot"]
    elif kind in ("seq-toa-tot-vec", "dd-toa-tot-vec"):
        address, hits, tot = arrays[0], np.ones(len(arrays[0])), arrays[2]
    elif kind == "seq-itot-event-vec":
        address, hits, tot = arrays
    elif kind == "binned-packets":
        address, hits, tot = np.arange(len(arrays[2])), arrays[2], arrays[3]
    elif kind == "binned-count-sums":
        address, hits, tot = np.arange(len(arrays[0])), arrays[0], np.zeros(len(arrays[0]))
    elif kind == "binned-itot-sums":
        address, hits, tot = np.arange(len(arrays[0])), np.zeros(len(arrays[0])), arrays[0]
    else:  # medipix: value j of a frame at row j // 256, column j % 256
        j = np.arange(len(arrays[0])) % 65536
        row, column = j // 256, j % 256
        address = np.where((row < height) & (column < width), row * width + column, pixels)
        hits, tot = arrays[0], np.zeros(len(arrays[0]))
    address = np.asarray(address, np.int64)
    inside = address < pixels
    counts = np.bincount(address[inside], weights=np.asarray(hits, np.float64)[inside], minlength=pixels)
    tots = np.bincount(address[inside], weights=np.asarray(tot, np.float64)[inside], minlength=pixels)
    return counts.reshape(height, width), tots.reshape(height, width), int((~inside).sum())


@pytest.mark.parametrize("mode", [m for m in MODES if m != "raw"])
@pytest.mark.parametrize("path", ["call", "native"])
def test_hitmap_sums_every_kind_by_address_and_counts_what_lies_outside(opened, mode, path):
    kind = MODES[mode][0]
    width, height = (300, 200) if kind == "medipix" else (6, 5) if "binned" in kind else (500, 400)
    deliveries = [reference(opened, mode, [MODES[mode][1]()])[0] for _ in range(2)]
    hitmap = sinks.HitMap(width, height)
    native = Native(hitmap)
    counts, tots, outside = np.zeros((height, width)), np.zeros((height, width)), 0
    for args in deliveries:
        meta = args[-1] if isinstance(args[-1], dict) else None
        arrays = args[:-1] if meta else args
        if path == "call":
            hitmap(*args, kind=kind)
        else:
            native.deliver(kind, arrays, meta)
        c, t, o = expected_map(kind, arrays, width, height)
        counts, tots, outside = counts + c, tots + t, outside + o
    got_counts, got_tot = hitmap.snapshot()
    assert got_counts.shape == (height, width) and got_counts.dtype == np.uint64
    assert (got_counts == counts).all() and (hitmap.counts() == counts).all()
    assert (got_tot == tots).all() and (hitmap.tot() == tots).all()
    assert hitmap.outside == outside and hitmap.delivered == 2
    if kind not in ("binned-count-sums", "binned-itot-sums") and "binned" not in mode:
        assert outside > 0  # the random addresses reach beyond the map
    hitmap.clear()
    assert not hitmap.counts().any() and (hitmap.outside, hitmap.delivered) == (0, 0)


def test_hitmap_refuses_raw_data_on_the_call_path_and_counts_it_natively():
    hitmap = sinks.HitMap(4, 4)
    with pytest.raises(TypeError, match="cannot read raw data"):
        hitmap(np.zeros(16, np.uint8))
    Native(hitmap).deliver("raw", [np.zeros(16, np.uint8)])
    assert (hitmap.ignored, hitmap.delivered, hitmap.counts().sum()) == (1, 0, 0)


def test_counts_no_buffer_can_have_are_never_read():
    # What the acquisition module hands over for a frame count beyond any address space.
    frames, rec, hitmap = np.ones(4, np.uint16), sinks.Recorder(100), sinks.HitMap(4, 4)
    d = DeliveredData(kind=KINDS.index("medipix"))
    d.arrays[0].data, d.arrays[0].count = frames.ctypes.data, (1 << 64) - 1
    for sink in (rec, hitmap):
        api_of(type(sink)).deliver(id(sink), ctypes.byref(d))
    assert (rec.dropped, rec.delivered) == (1, 0)
    assert (hitmap.ignored, hitmap.delivered, hitmap.counts().sum()) == (1, 0, 0)
    with pytest.raises(ValueError, match="beyond 32-bit"):
        sinks.HitMap(1 << 20, 1 << 20)
    with pytest.raises(MemoryError, match="more than this machine's memory"):
        sinks.HitMap(1 << 16, 1 << 16)


def test_hitmap_snapshots_are_consistent_while_two_threads_deliver():
    hitmap = sinks.HitMap(64, 64)
    native, n, rounds = Native(hitmap), 300, 400
    packets = records(TOA_TOT, n, address_limit=64 * 64)
    packets["tot"] = 3

    def produce():
        for _ in range(rounds):
            native.deliver("dd-toa-tot", [packets], {"shutterStart": 0, "tdcs": [None] * 3})

    producers = [threading.Thread(target=produce) for _ in range(2)]
    for t in producers:
        t.start()
    snapshots = 0
    while any(t.is_alive() for t in producers) or snapshots < 3:
        counts, tot = hitmap.snapshot()
        assert (tot == 3 * counts).all() and counts.sum() % n == 0
        snapshots += 1
    for t in producers:
        t.join()
    assert hitmap.counts().sum() == 2 * rounds * n and hitmap.delivered == 2 * rounds


@needs_wiring
def test_sinks_take_no_interpreter_lock_per_delivery(opened):
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": 50, "hitsPerDelivery": 2000, "realTime": False, "tdcPerDelivery": [0, 0, 0]})
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    hits = []  # every acquisition delivers the same synthetic data
    hitmap, rec = sinks.HitMap(WIDTH, HEIGHT), sinks.Recorder(1 << 20)
    for sink in (lambda data, metadata: hits.append(len(data)), hitmap, rec):
        before = acquisition._interpreter_entries()
        opened.acq.setDataCallback("ch0", sink)
        opened.acq.begin("ch0")
        opened.acq.end("ch0")
        entries = acquisition._interpreter_entries() - before
        if sink in (hitmap, rec):
            assert entries == 0 and sink.delivered == 50
        else:
            assert entries >= 50 and len(hits) == 50  # the counter counts
    assert hitmap.counts().sum() == sum(hits) == rec.get_batch(timeout=0).arrays[0].size


@needs_wiring
def test_a_recorder_on_two_channels_iterates_until_both_acquisitions_ended(opened):
    rec = sinks.Recorder(1 << 20, idle=30)
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    for ch, base in (("ch0", 0), ("ch1", 1000)):
        opened.acq.setDataCallback(ch, rec)
        zorvsim.script(ch, [{"packets": np.array([(base + k, 1, k)], TOA_TOT)} for k in range(20)])
    for ch in ("ch0", "ch1"):
        opened.acq.begin(ch)
    ender = threading.Thread(target=lambda: [opened.acq.end(ch) for ch in ("ch0", "ch1")])
    ender.start()
    start = time.monotonic()
    addresses = [int(data["address"][0]) for data, _ in rec]
    ender.join()
    assert time.monotonic() - start < 10
    assert [a for a in addresses if a < 1000] == list(range(20))
    assert [a - 1000 for a in addresses if a >= 1000] == list(range(20))


# ---- signals and fork, in programs of their own ----


@pytest.mark.skipif(bool(os.environ.get("ZORV_SANITIZED")), reason="the sanitizer's allocator ends the process when memory runs out")
def test_a_delivery_whose_arrays_cannot_be_made_stays_for_the_next_take():
    out = run("""
        import resource, numpy as np
        from zorvsdk import sinks
        rec = sinks.Recorder(100_000)
        sent = np.arange(60_000, dtype=np.uint64)  # 480 KB: a copy, in memory of its own
        rec(sent, kind="binned-count-sums")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 10), hard))
        try:
            rec.get(timeout=0)
            print("no MemoryError")
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print("again", (rec.get(timeout=0)[0] == sent).all(), rec.dropped)
    """)
    assert out.strip() == "again True 0", out


@pytest.mark.parametrize("wait", ["rec.get()", "rec.get_batch()", "next(iter(rec))"])
def test_ctrl_c_ends_a_wait(wait):
    out = run(f"""
        import os, signal, threading, time
        from zorvsdk import sinks
        rec = sinks.Recorder(10, idle=1e9)
        from native_sink import Native
        Native(rec).acquiring(True)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            {wait}
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 1))
    """)
    assert out.startswith("interrupted after") and float(out.split()[-1]) < 5, out


def test_a_child_forked_while_threads_deliver_and_read_uses_the_sinks():
    out = run("""
        import os, threading, numpy as np
        from zorvsdk import sinks
        from native_sink import Native
        rec, hitmap = sinks.Recorder(5000), sinks.HitMap(64, 64)
        stop = threading.Event()
        def deliver(sink):
            native, data = Native(sink), np.arange(64, dtype=np.uint32)
            while not stop.is_set():
                native.deliver("seq-toa-tot-vec", [data, data, data.astype(np.uint16)])
        def read():
            while not stop.is_set():
                try:
                    rec.get_batch(timeout=0.01)
                except Exception:
                    pass
                hitmap.snapshot()
        threads = [threading.Thread(target=deliver, args=(s,)) for s in (rec, rec, hitmap)] + [threading.Thread(target=read)]
        for t in threads:
            t.start()
        for _ in range(30):
            pid = os.fork()
            if pid == 0:  # only this thread exists here: no lock may be held by another
                ok = False
                try:
                    rec.clear()
                    hitmap.clear()
                    data = np.arange(4, dtype=np.uint32)
                    for sink in (rec, hitmap):
                        sink(data, data, data.astype(np.uint16), kind="seq-toa-tot-vec")
                    ok = rec.get(timeout=0)[0].tolist() == [0, 1, 2, 3] and hitmap.counts().sum() == 4
                finally:
                    os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            assert status == 0, status
        stop.set()
        for t in threads:
            t.join()
        print("forked", rec.delivered > 0, hitmap.delivered > 0)
    """)
    assert out.strip() == "forked True True", out


def test_close_finalize_and_exit_while_sinks_receive():
    program = f"import sys; sys.path.insert(0, {TESTS!r})\n" + textwrap.dedent("""
        import queue, threading, zorvsim
        from zorvsdk import sinks
        from zorvsdk.zorv import Device
        zorvsim.load_model({"devices": [{"acquisition": {"deliveries": -1, "hitsPerDelivery": 200, "realTime": False}}]})
        rec, hitmap = sinks.Recorder(100_000), sinks.HitMap(512, 512)

        def read():
            while True:
                try:
                    rec.get_batch(timeout=0.01)
                except queue.Empty:
                    pass

        def started():
            dev = Device()
            dev.open("zorvsim:0")
            dev.chip.selectMode("0:tpx3-dd-toa-tot")
            dev.acq.setDataCallback("ch0", rec)
            dev.acq.setDataCallback("ch1", hitmap)
            for ch in ("ch0", "ch1"):
                dev.acq.begin(ch)
            for ch in ("ch0", "ch1"):
                zorvsim.wait_deliveries(ch, zorvsim.delivery_count(ch) + 50)
            return dev

        threading.Thread(target=read, daemon=True).start()
        dev = started()
        dev.close()
        counted = (rec.delivered + rec.dropped, hitmap.delivered)
        print("closed", counted == (zorvsim.delivery_count("ch0"), zorvsim.delivery_count("ch1")), flush=True)
        dev.finalize()
        started().finalize()
        dev = started()
        print("exiting", flush=True)
        sys.exit(3)
    """)
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout.split(), proc.stderr) == (3, ["closed", "True", "exiting"], "")
