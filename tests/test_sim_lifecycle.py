"""The virtual device's acquisition lifecycle under concurrency: data callbacks that stop other
channels or close the device at the same time, and processes that fork while acquiring. Each case
runs in its own interpreter with a time limit, so that a deadlock fails the test instead of hanging
the suite."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 60
TESTS = os.path.dirname(os.path.abspath(__file__))
SANITIZED = bool(os.environ.get("ZORV_SANITIZED"))

PRELUDE = f"""
import ctypes, json, os, signal, sys, threading, time
sys.path.insert(0, {TESTS!r})
import zorvsim
from test_sim_acquisition import CALLBACK, Sdk

def until(predicate, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True
"""


def run(body, stderr=None):
    """Runs a program; returns the JSON document its last line prints (and appends its standard error
    output to `stderr`, where the program's children report)."""
    proc = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=TIMEOUT)
    assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (proc.returncode, proc.stdout, proc.stderr)
    if stderr is not None:
        stderr.append(proc.stderr)
    return json.loads(proc.stdout.splitlines()[-1])


# ---- data callbacks that stop acquisitions ----

# Each channel's callback, on its first delivery and once every channel's callback has got there,
# makes one call about the next channel (in a ring): close the device, end or abort that channel.
STOPPING = """
channels = [b"ch0", b"ch1", b"ch2"][:len(ACTIONS)]
zorvsim.set("/devices/0/acquisition/channels", [c.decode() for c in channels])
sdk = Sdk().open()
sdk.select("0:tpx3-dd-toa-tot")
barrier = threading.Barrier(len(channels))
results = {}

def callback(i):
    me, other, action = channels[i], channels[(i + 1) % len(channels)], ACTIONS[i]
    def on_data(acq, user):
        if me.decode() in results:
            return
        results[me.decode()] = "at the barrier"
        barrier.wait(10)
        results[me.decode()] = "calling " + action
        if action == "close":
            status = sdk.lib.zorv_dev_close(sdk.ctx)
        else:
            status = sdk.call("zorv_acq_" + action, other)
        results[me.decode()] = [action, status, sdk.error() if status else ""]
    return CALLBACK(on_data)

keep = []
for i, ch in enumerate(channels):
    zorvsim.script(ch.decode(), [{"packets": bytes(16)}] * 3)
    keep.append(callback(i))
    assert sdk.call("zorv_acq_set_data_callback", ch, keep[-1], None) == 0
for ch in channels:
    assert sdk.call("zorv_acq_begin", ch) == 0, sdk.error()
settled = until(lambda: all(isinstance(results.get(c.decode()), list) for c in channels)) and until(
    lambda: not any(zorvsim.acquiring(c.decode()) for c in channels))
opened = ctypes.c_int()
sdk.lib.zorv_dev_is_opened(sdk.ctx, ctypes.byref(opened))
print(json.dumps({"settled": settled, "results": results, "opened": opened.value,
                  "delivered": [zorvsim.delivery_count(c.decode()) for c in channels]}))
"""

CYCLE = "waits for this thread"


@pytest.mark.parametrize("actions", [
    ("close", "close"),
    ("end", "end"),
    ("abort", "abort"),
    ("close", "end"),
    ("abort", "end"),
    ("end", "end", "end"),
], ids="-".join)
def test_callbacks_stopping_each_other_all_return(actions):
    out = run(f"ACTIONS = {list(actions)!r}\n" + STOPPING)
    assert out["settled"], out
    results = [out["results"][f"ch{i}"] for i in range(len(actions))]
    statuses = sorted(status for _, status, _ in results)
    ended = [r for r in results if r[0] == "end"]
    if actions.count("end") == len(actions):
        # exactly one wait would close the cycle: it is refused, and the others wait it out
        assert statuses == [-2] + [0] * (len(actions) - 1), results
        [(_, _, text)] = [r for r in results if r[1] == -2]
        assert CYCLE in text and "ch" in text, text
        assert out["delivered"] == [3] * len(actions)
    elif "close" in actions:
        # one closes the device; a call that finds it closed (or its session's acquisitions
        # forgotten by the close in progress) fails, and so does an end that the close waits for
        assert 0 in statuses and out["opened"] == 0, results
        refusals = ("no device is open", "no acquisition was begun", CYCLE)
        for action, status, text in results:
            assert status == 0 or any(r in text for r in refusals), results
    else:
        # an abort requests the stop and lets a thread that waits for its caller go
        assert all(status == 0 for action, status, _ in results if action == "abort"), results
        for _, status, text in ended:
            assert status == 0 or CYCLE in text, results
    if "close" in actions or actions == ("abort", "abort"):
        assert out["delivered"] == [1] * len(actions)


def test_binding_callables_closing_and_ending_each_other():
    # The same through the package: two callables close the device, then two end each other.
    out = run("""
    from zorvsdk.zorv import Device
    from zorvsdk.errors import ZorvSdkInvalidOperationError
    outcome = {}
    for action in ("close", "end"):
        dev = Device()
        dev.open("zorvsim:0")
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        barrier = threading.Barrier(2)
        outcome[action] = {}
        def make(me, other):
            def f(data, metadata):
                if me in outcome[action]:
                    return
                outcome[action][me] = "waiting"
                barrier.wait(10)
                try:
                    dev.close() if action == "close" else dev.acq.end(other)
                    outcome[action][me] = "ok"
                except ZorvSdkInvalidOperationError as e:
                    outcome[action][me] = str(e)
            return f
        for me, other in (("ch0", "ch1"), ("ch1", "ch0")):
            zorvsim.script(me, [{"packets": bytes(16)}] * 3)
            dev.acq.setDataCallback(me, make(me, other))
        dev.acq.begin("ch0")
        dev.acq.begin("ch1")
        outcome[action + " settled"] = until(lambda: len(outcome[action]) == 2 and "waiting" not in outcome[action].values()) \
            and until(lambda: not zorvsim.acquiring("ch0") and not zorvsim.acquiring("ch1"))
        if dev.isOpened():
            dev.close()
        dev.finalize()
    print(json.dumps(outcome))
    """)
    assert out["close settled"] and out["end settled"], out
    assert "ok" in out["close"].values()
    ok, refused = sorted(out["end"].values(), key=len)
    assert ok == "ok" and "waits for this thread" in refused, out


@pytest.mark.parametrize("stop", ["close", "reset"])
def test_closing_stops_every_channel_before_waiting_for_one(stop):
    # ch0's callback waits in end() for ch1's endless acquisition when the program closes the device
    # (or resets): ch1 is stopped too, so that wait ends and so does the close.
    out = run(f"""
    zorvsim.load_model({{"devices": [{{"acquisition": {{"deliveries": -1, "hitsPerDelivery": 10, "period": 0.001}}}}]}})
    sdk = Sdk().open()
    sdk.select("0:tpx3-dd-toa-tot")
    ended = []
    def wait_for_ch1(acq, user):
        if not ended:
            ended.append("waiting")
            ended.append(sdk.call("zorv_acq_end", b"ch1"))
    keep = {{b"ch1": CALLBACK(), b"ch0": CALLBACK(wait_for_ch1)}}  # ch1 runs when ch0's callback waits for it
    for ch, cb in keep.items():
        assert sdk.call("zorv_acq_set_data_callback", ch, cb, None) == 0
        assert sdk.call("zorv_acq_begin", ch) == 0
    assert until(lambda: ended)
    time.sleep(0.05)
    status = sdk.lib.zorv_dev_close(sdk.ctx) if {stop!r} == "close" else zorvsim.reset()
    print(json.dumps({{"status": status, "ended": ended, "acquiring": [zorvsim.acquiring(c) for c in ("ch0", "ch1")]}}))
    """)
    assert out == {"status": 0 if stop == "close" else None, "ended": ["waiting", 0], "acquiring": [False, False]}


# ---- fork while acquiring ----

# Channel ch0 delivers as fast as it can to a null callback (its thread takes the channel's lock
# all the time), ch1 to a callback that makes a journaled getter call, ch2 holds a scripted
# acquisition (its thread waits on the channel), and a Python thread keeps calling the library and
# taking the journal. The process forks FORKS times; each child ends in its own way, within a time
# limit, while the parent goes on. No callback runs Python code: a thread that enters the
# interpreter without a thread state of its own can make the interpreter's own fork step hang. Under
# the sanitizers no Python thread calls meanwhile either: their allocator is not fork-safe (a child
# can block in malloc on a lock that a thread of the parent held).
FORKING = """
zorvsim.load_model({"devices": [{"acquisition": {"channels": ["ch0", "ch1", "ch2"], "deliveries": -1,
                                                   "hitsPerDelivery": 50, "realTime": False}}]})
sdk = Sdk().open()
sdk.select("0:tpx3-dd-toa-tot")
getter = CALLBACK(ctypes.cast(sdk.lib.zorv_acq_get_last_error, ctypes.c_void_p).value)  # with a null text pointer
keep = [CALLBACK(), getter, getter]
zorvsim.script("ch2", [{"packets": bytes(16)}], hold=True)
for ch, cb in zip((b"ch0", b"ch1", b"ch2"), keep):
    assert sdk.call("zorv_acq_set_data_callback", ch, cb, None) == 0
    assert sdk.call("zorv_acq_begin", ch) == 0, sdk.error()
zorvsim.wait_deliveries("ch2", 1)
stop = threading.Event()
def hammer():
    opened = ctypes.c_int()
    while not stop.is_set():
        zorvsim.journal(True)
        sdk.lib.zorv_dev_is_opened(sdk.ctx, ctypes.byref(opened))
        zorvsim.journal(False)
        zorvsim.take_journal()
hammering = threading.Thread(target=hammer)
if HAMMER:
    hammering.start()

def child():
    # No thread of the parent exists here: nothing may wait for one, nor find a lock it held.
    acquiring = [zorvsim.acquiring(c) for c in ("ch0", "ch1", "ch2")]
    if ENDING == "end and abort":
        statuses = [sdk.call(fn, ch) for ch in (b"ch0", b"ch1", b"ch2") for fn in ("zorv_acq_end", "zorv_acq_abort")]
        assert statuses == [0] * 6, statuses
    if ENDING in ("close", "end and abort"):
        assert sdk.lib.zorv_dev_close(sdk.ctx) == 0
    if ENDING == "reset":
        zorvsim.reset()
    if ENDING == "begin again":  # the child's own acquisition runs on a thread of its own
        assert sdk.call("zorv_acq_end", b"ch1") == 0
        zorvsim.clear_script("ch1")
        assert sdk.call("zorv_acq_begin", b"ch1") == 0, sdk.error()
        n = zorvsim.delivery_count("ch1")
        assert zorvsim.wait_deliveries("ch1", n + 3, timeout=5) >= n + 3
        assert sdk.call("zorv_acq_abort", b"ch1") == 0
    sys.stdout.flush()
    assert acquiring == [False] * 3, acquiring

hung, failed = 0, 0
for i in range(FORKS):
    pid = os.fork()
    if pid == 0:
        try:
            child()
        except BaseException:
            import traceback
            print("child:", traceback.format_exc(), file=sys.stderr, flush=True)
            os._exit(3)
        if ENDING == "exit":
            sys.exit(0)  # the interpreter's and the library's own exit steps
        os._exit(0)
    deadline = time.monotonic() + DEADLINE
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            failed += status != 0
            break
        if time.monotonic() > deadline:
            hung += 1
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            break
        time.sleep(0.005)
stop.set()
if HAMMER:
    hammering.join()
# the parent's acquisitions went on
n = zorvsim.delivery_count("ch1")
went_on = [zorvsim.acquiring(c) for c in ("ch0", "ch1", "ch2")] + [zorvsim.wait_deliveries("ch1", n + 10) >= n + 10]
assert sdk.call("zorv_acq_abort", b"ch2") == 0 and sdk.call("zorv_acq_abort", b"ch0") == 0
sdk.close()
print(json.dumps({"hung": hung, "failed": failed, "went on": went_on}))
"""


@pytest.mark.parametrize("ending", ["close", "end and abort", "reset", "begin again", "exit"])
def test_a_child_forked_while_acquiring_ends_at_once(ending):
    # an exiting child's interpreter takes a while to finalize on a machine the parent keeps busy
    stderr = []
    # (under the sanitizers three times longer: a child's every step is instrumented)
    out = run(f"ENDING = {ending!r}\nFORKS = {6 if ending == 'exit' else 12}\nHAMMER = {not SANITIZED}\n"
              f"DEADLINE = {30 if SANITIZED else 10}\n" + FORKING,
              stderr)
    assert out == {"hung": 0, "failed": 0, "went on": [True] * 4}, stderr[0]


def test_multiprocessing_child_closes_a_device_that_was_acquiring():
    out = run("""
    import multiprocessing
    from zorvsdk.zorv import Device
    # deliveries every 10 ms: the parent's library thread is rarely inside the interpreter at a fork
    # (the sanitizers' allocator is not fork-safe)
    zorvsim.load_model({"devices": [{"acquisition": {"deliveries": -1, "hitsPerDelivery": 100, "period": 0.01}}]})
    dev = Device()
    dev.open("zorvsim:0")
    dev.chip.selectMode("0:tpx3-dd-toa-tot")
    n = [0]
    def count(data, metadata):
        n[0] += 1
    dev.acq.setDataCallback("ch0", count)
    dev.acq.begin("ch0")
    zorvsim.wait_deliveries("ch0", 10)

    def in_child(how):
        if how == "close":
            dev.close()
        elif how == "end":
            dev.acq.end("ch0")
        # "drop": the process ends with the device open

    ctx = multiprocessing.get_context("fork")
    codes = {}
    for how in ("close", "end", "drop"):
        p = ctx.Process(target=in_child, args=(how,))
        p.start()
        p.join(15)
        codes[how] = p.exitcode
        if p.exitcode is None:
            p.kill()
            p.join()
    seen = n[0]
    went_on = until(lambda: n[0] > seen + 10)
    dev.acq.abort("ch0")
    dev.close()
    print(json.dumps({"codes": codes, "went on": went_on}))
    """)
    assert out == {"codes": {"close": 0, "end": 0, "drop": 0}, "went on": True}


# ---- delivered buffers outlive their acquisition ----


def test_buffers_kept_beyond_their_callback_stay_readable():
    # A pointer kept from a delivery of 16 MB (memory of its own, returned to the system when freed)
    # and one into a scripted buffer the callback wrote to, read after the acquisition has ended and
    # after the next one on the channel.
    out = run("""
    import hashlib
    sdk = Sdk().open()
    zorvsim.set("/devices/0/acquisition", {"realTime": False, "deliveries": 2, "hitsPerDelivery": 1_000_000})
    sdk.select("0:tpx3-dd-toa-tot")
    kept = {}

    def packets(acq):
        ptr, n = ctypes.c_void_p(), ctypes.c_ulonglong()
        assert sdk.lib.zorv_acq_tpx3_get_packets(acq, ctypes.byref(ptr)) == 0
        assert sdk.lib.zorv_acq_tpx3_get_packet_count(acq, ctypes.byref(n)) == 0
        return ptr.value, 16 * n.value

    def digest(ptr, size):
        return hashlib.sha256(ctypes.string_at(ptr, size)).hexdigest()

    def keep_synthetic(acq):
        ptr, size = kept["synthetic"] = packets(acq)
        kept["last delivery"] = digest(ptr, size)

    def write_scripted(acq):
        ptr, size = kept["scripted"] = packets(acq)
        ctypes.memset(ptr, 0x5A, size)

    sdk.acquire(keep_synthetic)
    seen = {"synthetic after end": digest(*kept["synthetic"]) == kept["last delivery"]}
    zorvsim.script("ch0", [{"packets": bytes(16 * 400_000)}])
    sdk.acquire(write_scripted)
    seen["scripted after end"] = ctypes.string_at(*kept["scripted"]) == b"\\x5a" * kept["scripted"][1]
    sdk.acquire(lambda acq: None)  # synthetic again, the same configuration: the same deliveries
    seen["synthetic after the next"] = digest(*kept["synthetic"]) == kept["last delivery"]
    seen["scripted after the next"] = ctypes.string_at(*kept["scripted"]) == b"\\x5a" * kept["scripted"][1]
    print(json.dumps(seen))
    """)
    assert out == {"synthetic after end": True, "scripted after end": True, "synthetic after the next": True,
                   "scripted after the next": True}
