"""The event stream: the Streamer sink's messages over ZeroMQ (all on the loopback interface) and
zorvsdk.stream's receiving side, the commands included. Programs that must be killed or run beside
each other run in subprocesses with time limits."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import zorvsim
from calls import METHODS, THREADED
from zorvsdk import dtypes, sinks
from zorvsdk.stream import Deliveries, Receiver, StreamError, decode, missing_ids
from zorvsdk.zorv import Device

pytest.importorskip("zmq")
pytest.importorskip("streaming_data_types")

META = {"shutterStart": 0, "tdcs": [np.empty(0, np.uint64)] * 3}


def ns_of(ticks):
    """The device's ToA ticks (1.5625 ns) in whole ns, halves rounded up, as the file holds them."""
    return (np.asarray(ticks, np.int64) * 25 + 8) // 16


def records(address, tot, toa):
    r = np.zeros(len(address), dtypes.TOA_TOT)
    r["address"], r["tot"], r["toa"] = address, tot, toa
    return r


def meta(shutter):
    return dict(META, shutterStart=shutter)


def push_pair(**kw):
    """A PUSH streamer on a port of the system's choosing and one receiver of it."""
    s = sinks.Streamer("tcp://127.0.0.1:*", pattern="push", width=256, height=256, **kw)
    return s, Receiver(s.endpoint, pattern="pull", idle=2.0)


def receive_all(r, count, timeout=10.0):
    out, end = [], time.monotonic() + timeout
    while len(out) < count and time.monotonic() < end:
        m = r.receive(timeout=0.2)
        if m is not None:
            out.append(m)
    return out


def hits_of(messages):
    """The hits of messages as (pixel id, ns, ToT) rows, in the order sent."""
    ms = sorted(messages, key=lambda m: m.message_id)
    if not ms:
        return np.empty((0, 3), np.int64)
    return np.concatenate([np.stack([m.pixel_id.astype(np.int64), m.times(), m.tot.astype(np.int64)], 1) for m in ms])


# ---------------------------------------------------------------------------------------------
# Exact contents

RNG = np.random.default_rng(5)


def scripted(mode, n, shutter):
    """One scripted delivery of `n` hits of `mode`, and what its hits are in the stream."""
    address = RNG.integers(0, 512 * 512, n, dtype=np.uint32)
    tot = RNG.integers(0, 1024, n, dtype=np.uint16)
    toa = np.sort(RNG.integers(shutter, shutter + 10_000_000, n)).astype(np.uint64)
    if mode in ("0:tpx3-dd-toa-tot", "0:tpx3-seq-toa-tot"):
        delivery = {"packets": records(address, tot, toa)}
    else:
        width = np.uint32 if mode == "0:tpx3-seq-toa-tot-vec" else np.uint64
        delivery = {"pixel_address_vec": address, "toa_vec": toa.astype(width), "tot_vec": tot}
    if mode.startswith("0:tpx3-dd"):
        delivery["shutter"] = shutter
    zero = ns_of(shutter) if mode.startswith("0:tpx3-dd") else ns_of(toa[0]) if n else None
    return delivery, np.stack([address.astype(np.int64), ns_of(toa), tot.astype(np.int64)], 1), zero


@pytest.mark.parametrize("batch", [1 << 16, 700])  # whole deliveries per message, or deliveries split
@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot",
                                  "0:tpx3-seq-toa-tot-vec"])
def test_scripted_deliveries_arrive_exactly(mode, batch):
    zorvsim.reset()
    shutters = [1000, 5_000_000, 9_000_000_000]  # the last beyond 32-bit ToA ticks (6.7 s)
    script = [scripted(mode, n, t) for n, t in zip([1500, 0, 2300], shutters)]
    if mode == "0:tpx3-seq-toa-tot-vec":  # 32-bit ToA: ticks within reach of the previous delivery's
        script = [scripted(mode, n, t) for n, t in zip([1500, 0, 2300], [1000, 5_000_000, 900_000_000])]
    s, r = push_pair(batch=batch)
    with r, Device() as dev:
        dev.open("zorvsim:0")
        dev.chip.selectMode(mode)
        zorvsim.script("ch0", [d for d, _, _ in script])
        dev.acq.setDataCallback("ch0", s)
        dev.acq.begin("ch0")
        dev.acq.end("ch0")
        assert s.flush(10)
        messages = receive_all(r, s.messages)
        dev.close()
    assert (s.delivered, s.hits, s.dropped) == (3, 3800, 0)
    assert [m.message_id for m in messages] == list(range(s.messages))
    expected = np.concatenate([h for _, h, _ in script])
    zeros = [z if z is not None else script[i - 1][1][-1, 1] for i, (_, _, z) in enumerate(script)]  # else the last hit's
    assert np.array_equal(hits_of(messages), expected)
    # The deliveries again, as zorvsdk-receive hands them to the file: split ones joined.
    got = []
    joined = Deliveries(lambda hits, zero: got.append((zero, len(hits))))
    for m in messages:
        joined.add(m)
    joined.end()
    assert got == [(int(np.rint(z / 1.5625)), len(h)) for z, (_, h, _) in zip(zeros, script)]
    assert all(m.width == 256 and m.height == 256 and m.source == "zorvsdk" for m in messages)


def test_frames_read_by_the_reference_decoder():
    # The ev44 frame as the facilities' own decoder reads it, from a copy of its bytes.
    from streaming_data_types.eventdata_ev44 import deserialise_ev44

    s, r = push_pair(source="detector-7")
    with r:
        s(records([3, 1 << 20, 9], [5, 6, 7], [64, 640, 6400]), meta(64))
        assert s.flush(10)
        frames = r._socket.recv_multipart()
    ev = deserialise_ev44(frames[0])
    assert (ev.source_name, ev.message_id) == ("detector-7", 0)
    assert ev.reference_time.tolist() == [100] and ev.reference_time_index.tolist() == [0]
    assert ev.pixel_id.tolist() == [3, 1 << 20, 9]
    assert ev.time_of_flight.tolist() == [0, 900, 9900]
    assert decode(frames).tot.tolist() == [5, 6, 7]
    assert s.bytes == sum(len(f) for f in frames)


@pytest.mark.parametrize("case", ["offsets beyond int32", "ToT beyond 16 bits", "empty delivery"])
def test_edges_of_the_format(case):
    s, r = push_pair()
    if case == "offsets beyond int32":  # a hit 3 s after its delivery's time zero
        sent = records([1, 2, 3], [1, 1, 1], [10, 2_000_000_000, 2_000_000_001])
    elif case == "ToT beyond 16 bits":
        sent = records([1, 2], [70_000, 3], [10, 20])
    else:
        sent = np.empty(0, dtypes.TOA_TOT)
    with r:
        s(sent, meta(10))
        s(records([4], [2], [30]), meta(20))
        assert s.flush(10)
        (m,) = receive_all(r, 1)
    rows = hits_of([m])
    assert rows[:, 0].tolist() == [*sent["address"].tolist(), 4]
    assert rows[:, 1].tolist() == ns_of([*sent["toa"].tolist(), 30]).tolist()
    assert rows[:, 2].tolist() == [*sent["tot"].tolist(), 2]
    # A reference per delivery, and one more where an offset would leave the int32's range.
    assert len(m.reference_time) == (3 if case == "offsets beyond int32" else 2)
    assert m.tot.dtype == (np.uint32 if case == "ToT beyond 16 bits" else np.uint16)


@pytest.mark.parametrize("frames,says", [
    ([b"x" * 40], "2 frames"),
    ([b"\0" * 4 + b"ev43" + b"\0" * 40, b"ztot"], "ev44"),
    (None, "ToT frame"),
])
def test_malformed_messages_are_refused(frames, says):
    if frames is None:  # a good ev44 frame with a ToT frame of another message
        s, r = push_pair()
        with r:
            s(records([1], [1], [1]), meta(0))
            s.flush(10)
            good = r._socket.recv_multipart()
        frames = [good[0], good[1][:16] + b"\x07" + good[1][17:]]
    with pytest.raises(StreamError, match=says):
        decode(frames)


# ---------------------------------------------------------------------------------------------
# Losses: whole messages, seen as gaps in the ids

def test_a_slow_subscriber_sees_the_gaps():
    s = sinks.Streamer("tcp://127.0.0.1:*", batch=100, hwm=2)
    with Receiver(s.endpoint, hwm=2, idle=1.0) as r:
        hits = records(np.arange(100), np.ones(100), np.arange(100) + 1000)
        while r.receive(timeout=0.05) is None:  # subscribed: the first messages reach it
            s(hits, META)
        for _ in range(400):  # far more than the queues on both sides hold, while it sleeps
            s(hits, META)
        assert s.flush(10)
        time.sleep(0.5)
        for _ in r:
            pass
        s(hits, META)  # one after the loss, which shows it
        assert s.flush(10) and r.receive(timeout=5) is not None
    ids = r.ids["zorvsdk"]
    assert s.messages + s.dropped == s.message_ids  # the sender's own drops, where its queue filled
    missing = r.missing["zorvsdk"]
    assert missing > 0 and len(ids) + missing == ids[-1] - ids[0] + 1
    assert sum(b - a for a, b in missing_ids(ids)) == missing + ids[0]  # the ids before it joined too


def test_a_full_queue_drops_whole_messages_and_counts_them():
    # A PUSH stream whose receiver takes nothing for a while: the sending thread waits for room, the
    # queue behind it fills, and the SDK's thread (here the caller) drops whole messages.
    s, r = push_pair(batch=100, queue=2, hwm=1)
    with r:
        hits = records(np.arange(100), np.ones(100), np.arange(100))
        start = time.monotonic()
        for _ in range(300):
            s(hits, META)
        took = time.monotonic() - start
        assert s.dropped > 0 and s.dropped_hits == 100 * s.dropped
        assert s.flush(10)
        got = [m.message_id for m in receive_all(r, s.messages)]
    assert took < 2.0  # the caller never waited for the receiver
    assert len(got) == s.messages and s.messages + s.dropped == s.message_ids == 300
    assert sum(b - a for a, b in missing_ids(got, end=s.message_ids)) == s.dropped


def test_close_sends_what_is_held_and_gives_up_on_absent_receivers():
    s = sinks.Streamer("tcp://127.0.0.1:*", pattern="push", latency=5)
    s(records([1], [1], [1]), META)
    assert s.flush(0.2) is False  # no receiver: nothing can go
    assert s.close(0.2) is False
    assert (s.messages, s.dropped, s.closed) == (0, 1, True)
    s(records([1], [1], [1]), META)
    assert (s.late, s.delivered) == (1, 1)
    assert s.flush(0) is True  # nothing more to wait for


@pytest.mark.parametrize("kwargs,error,says", [
    ({"pattern": "pair"}, ValueError, "pattern"),
    ({"source": ""}, ValueError, "source"),
    ({"latency": 0}, ValueError, "latency"),
    ({"batch": 0}, ValueError, "batch"),
    ({"then": print}, TypeError, "then"),
    ({"libzmq": "/nonexistent/libzmq.so"}, ImportError, "cannot load"),
    ({"endpoint": "tcp://256.0.0.1:1"}, OSError, "cannot bind"),
    ({"endpoint": "nonsense"}, OSError, "cannot bind"),
])
def test_bad_arguments_are_refused(kwargs, error, says):
    kwargs = {"endpoint": "tcp://127.0.0.1:*", **kwargs}
    with pytest.raises(error, match=says):
        sinks.Streamer(**kwargs)


def test_deliveries_go_on_to_the_sink_after_it():
    rec = sinks.Recorder(1000)
    s, r = push_pair(then=rec)
    with r:
        s(records([1, 2], [3, 4], [5, 6]), meta(1))
        assert s.flush(10) and len(receive_all(r, 1)) == 1
    data, _ = rec.get(timeout=1)
    assert data["address"].tolist() == [1, 2] and s.then is rec


@pytest.mark.skipif(bool(os.environ.get("ZORV_SANITIZED")), reason="the sanitizer's quarantine grows the process")
def test_streamer_calls_keep_no_memory():
    # The rows of tests/calls.py that run on the streamer's threads, alone (see calls.THREADED).
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    rows = [METHODS[name] for name in sorted(THREADED)]

    def round_(n):
        for call in rows:
            for _ in range(n):
                try:
                    call(None)
                except Exception:
                    pass

    round_(300)
    gc.collect()
    before = rss()
    round_(1000)
    gc.collect()
    assert rss() - before < 2 * 1024 * 1024


# ---------------------------------------------------------------------------------------------
# Receivers sharing a PUSH stream, in processes of their own

RECEIVER = """
import sys, time, numpy as np
from zorvsdk.stream import Receiver
endpoint, out, pause = sys.argv[1], sys.argv[2], float(sys.argv[3])
with Receiver(endpoint, pattern="pull", hwm=2, idle=None) as r:
    open(out + ".ready", "w").close()
    ids, rows, last = [], [], None
    while last is None or time.monotonic() - last < 3.0:
        m = r.receive(timeout=0.1)
        if m is None:
            continue
        time.sleep(pause)  # a slow receiver holds messages in its queue
        last = time.monotonic()
        ids.append(m.message_id)
        rows.append(np.stack([m.pixel_id.astype(np.int64), m.times(), m.tot.astype(np.int64)], 1))
        np.save(out + ".ids.npy", np.array(ids))  # what it took so far, should it be killed
        np.save(out + ".hits.npy", np.concatenate(rows))
"""

HITS_PER_MESSAGE = 500


def start_receiver(tmp_path, endpoint, name, pause=0.0):
    program = tmp_path / "receiver.py"
    program.write_text(textwrap.dedent(RECEIVER))
    out = str(tmp_path / name)
    proc = subprocess.Popen([sys.executable, str(program), endpoint, out, str(pause)],
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 20
    while not os.path.exists(out + ".ready"):
        assert proc.poll() is None and time.monotonic() < deadline, "the receiver did not start"
        time.sleep(0.05)
    return proc, out


def taken(out):
    if not os.path.exists(out + ".ids.npy"):
        return np.empty(0, np.int64), np.empty((0, 3), np.int64)
    return np.load(out + ".ids.npy"), np.load(out + ".hits.npy")


def delivery(k):
    """Delivery k: one message's worth of hits, its ToA telling k."""
    a = np.arange(HITS_PER_MESSAGE, dtype=np.uint32)
    return records((a * 7 + k) % 65536, (a + k) % 1024, np.full(HITS_PER_MESSAGE, k * 1000, np.uint64) + a)


def expected(ids):
    return [np.stack([d["address"].astype(np.int64), ns_of(d["toa"]), d["tot"].astype(np.int64)], 1)
            for d in map(delivery, ids)]


def finish(procs, timeout=30):
    for p in procs:
        try:
            p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            raise


def test_four_receivers_share_one_stream(tmp_path):
    zorvsim.reset()
    n = 200  # the queue holds them all: the receivers take them as they connect
    s = sinks.Streamer("tcp://127.0.0.1:*", pattern="push", batch=HITS_PER_MESSAGE, queue=n, width=256, height=256)
    procs, outs = zip(*(start_receiver(tmp_path, s.endpoint, f"r{i}") for i in range(4)))
    try:
        with Device() as dev:
            dev.open("zorvsim:0")
            dev.chip.selectMode("0:tpx3-dd-toa-tot")
            zorvsim.script("ch0", [{"packets": delivery(k), "shutter": k * 640} for k in range(n)])
            dev.acq.setDataCallback("ch0", s)
            dev.acq.begin("ch0")
            dev.acq.end("ch0")
            assert s.close(20)
            dev.close()
        finish(procs)
    finally:
        for p in procs:
            p.kill()
    shares = [taken(o) for o in outs]
    ids = np.concatenate([i for i, _ in shares])
    assert s.dropped == 0 and sorted(ids.tolist()) == list(range(n))
    assert sum(len(i) > 0 for i, _ in shares) >= 2  # shared, not all to one
    merged = np.concatenate([h for _, h in shares])
    want = np.concatenate(expected(ids))  # in the receivers' order
    assert np.array_equal(merged, want)


def test_a_receiver_killed_and_restarted_loses_only_what_it_held(tmp_path):
    s = sinks.Streamer("tcp://127.0.0.1:*", pattern="push", batch=HITS_PER_MESSAGE, hwm=2, latency=0.01)
    started = [start_receiver(tmp_path, s.endpoint, f"r{i}", pause=0.02 if i else 0.2) for i in range(4)]
    procs = [p for p, _ in started]
    outs = [o for _, o in started]
    n, killed_at = 300, None
    try:
        for k in range(n):
            s(delivery(k), META)
            time.sleep(0.003)  # a paced stream
            if k == 100:
                procs[0].kill()  # the slow one, with messages in its queue
                procs[0].wait(10)
                killed_at = s.message_ids
                p, o = start_receiver(tmp_path, s.endpoint, "r0-again")
                procs.append(p)
                outs.append(o)
        assert s.close(20)
        finish(procs[1:])
    finally:
        for p in procs:
            p.kill()
    shares = [taken(o) for o in outs]
    ids = np.concatenate([i for i, _ in shares])
    assert len(set(ids.tolist())) == len(ids)  # none twice
    gaps = missing_ids(ids, end=n)
    lost = sum(b - a for a, b in gaps)
    # The gap: what the killed receiver held when it went, and nothing else.
    assert lost > 0 and all(b <= killed_at + 1 for a, b in gaps), (gaps, killed_at)
    for i, hits in shares[1:]:  # every other receiver went on to the end, the restarted one too
        assert len(i) and i.max() > n - 20
        assert np.array_equal(hits, np.concatenate(expected(i)))


# ---------------------------------------------------------------------------------------------
# The commands

def command(*args, timeout=90):
    return subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


@pytest.mark.parametrize("hdf5", [True, False])
def test_receive_writes_what_acquire_writes(tmp_path, hdf5):
    h5py = pytest.importorskip("h5py")
    import hdf5plugin  # noqa: F401

    port = 20000 + os.getpid() % 20000
    endpoint = f"tcp://127.0.0.1:{port}"
    rx_args = ["--hdf5", str(tmp_path / "rx.h5")] if hdf5 else []
    # PUSH holds the messages until the receiver has connected, however slowly its process starts
    # (a subscriber that joins late misses what was published before it)
    rx = command("zorvsdk.stream", endpoint, "--pull", "--output", str(tmp_path / "rx.png"), "--idle", "2", "--quiet",
                 *rx_args)
    tx = command("zorvsdk.acquire", "--stream", endpoint, "--stream-pattern", "push", "--seconds", "1",
                 "--output", str(tmp_path / "tx.png"), "--hdf5", str(tmp_path / "tx.h5"), "--quiet")
    try:
        out, err = tx.communicate(timeout=90)
        assert tx.returncode == 0, err
        assert "messages streamed to" in out
        rx_out, rx_err = rx.communicate(timeout=60)
        assert rx.returncode == 0, rx_err
    finally:
        tx.kill()
        rx.kill()
    assert "hits" in rx_out and (tmp_path / "rx.png").stat().st_size > 0
    with h5py.File(tmp_path / "tx.h5") as a:
        sent = a["entry/instrument/detector"]
        if not hdf5:
            assert f"{int(sent['hitmap'][...].sum()):,} hits" in rx_out
            return
        with h5py.File(tmp_path / "rx.h5") as b:
            got = b["entry/instrument/detector"]
            for key in ("event_id", "event_time_offset", "event_tot", "event_time_zero", "event_index"):
                assert np.array_equal(sent["event_data"][key][...], got["event_data"][key][...]), key
            assert np.array_equal(sent["hitmap"][...], got["hitmap"][...])
            assert np.array_equal(sent["detector_number"][...], got["detector_number"][...])


def test_receive_without_a_stream_reports_it(tmp_path):
    rx = command("zorvsdk.stream", "tcp://127.0.0.1:1", "--seconds", "0.5", "--output", str(tmp_path / "x.png"),
                 "--quiet")
    out, err = rx.communicate(timeout=60)
    assert rx.returncode == 1 and "no message came" in err


def test_receive_stops_at_ctrl_c(tmp_path):
    rx = command("zorvsdk.stream", "tcp://127.0.0.1:1", "--output", str(tmp_path / "x.png"), "--quiet")
    try:
        time.sleep(2.0)  # waiting for a first message
        rx.send_signal(signal.SIGINT)
        out, err = rx.communicate(timeout=30)
    finally:
        rx.kill()
    assert rx.returncode == 130 and "Traceback" not in err, err
