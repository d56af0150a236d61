"""How long a native sink is fed, and what that means for its readers and its memory: a reader
waiting without a timeout is woken once the SDK can no longer deliver to the sink (end, abort, close,
finalize, a replaced registration), gets what is left and then queue.Empty, or its iteration ends;
a replaced registration and its sink's memory go as soon as no acquisition may deliver to them."""

import gc
import os
import queue
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zorvsim
from cluster_reference import WIDTH
from native_sink import Native
from programs import HELPERS, run
from zorvsdk import sinks

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8], "itemsize": 16})
DELIVERIES = [{"packets": np.array([(5 + k, 10, 1000 * k), (6 + k, 12, 1000 * k + 1)], TOA_TOT)} for k in range(2)]


def recorder():
    return sinks.Recorder(1000, idle=30)


def clusterer():
    return sinks.Clusterer(WIDTH, WIDTH, idle=30)


def until_empty(take):
    def read(sink):
        got = []
        try:
            while True:
                got.append(take(sink))
        except queue.Empty:
            return got, "empty"
    return read


def iterate(sink):
    return list(sink), "ended"


READERS = {
    "Recorder.get": (recorder, until_empty(lambda s: s.get())),
    "Recorder.get_batch": (recorder, until_empty(lambda s: s.get_batch())),
    "Recorder iteration": (recorder, iterate),
    "Clusterer.get": (clusterer, until_empty(lambda s: s.get())),
    "Clusterer iteration": (clusterer, iterate),
}


def records_in(got):
    """Hits a Recorder's deliveries or batches hold, or clusters a Clusterer's arrays hold."""
    n = 0
    for item in got:
        arrays = item.arrays if isinstance(item, sinks.Batch) else item if isinstance(item, tuple) else (item,)
        n += len(arrays[0])
    return n


class Reader:
    def __init__(self, sink, read):
        self.got, self.outcome, self.finished = None, None, None
        self.thread = threading.Thread(target=self.run, args=(sink, read))
        self.thread.start()

    def run(self, sink, read):
        self.got, self.outcome = read(sink)
        self.finished = time.monotonic()


STOPS = {
    "end": lambda dev, other: dev.acq.end("ch0"),
    "abort": lambda dev, other: dev.acq.abort("ch0"),
    "close": lambda dev, other: dev.close(),
    "finalize": lambda dev, other: dev.finalize(),
    "replaced, then aborted": lambda dev, other: (dev.acq.setDataCallback("ch0", other), dev.acq.abort("ch0")),
}


@pytest.mark.parametrize("stop", STOPS)
@pytest.mark.parametrize("reader", READERS)
def test_a_reader_without_timeout_is_woken_by_the_end_of_the_deliveries(opened, reader, stop):
    make, read = READERS[reader]
    sink = make()
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", sink)
    zorvsim.script("ch0", DELIVERIES)  # delivered at once; the acquisition counts as running until end
    opened.acq.begin("ch0")
    zorvsim.wait_deliveries("ch0", len(DELIVERIES))
    r = Reader(sink, read)
    time.sleep(0.3)
    assert r.thread.is_alive()  # the SDK may still deliver: it waits
    STOPS[stop](opened, recorder())
    stopped = time.monotonic()
    r.thread.join(5)
    assert not r.thread.is_alive()
    assert r.finished - stopped < 1.0
    assert r.outcome == ("ended" if "iteration" in reader else "empty")
    hits = sum(len(d["packets"]) for d in DELIVERIES)
    if reader.startswith("Recorder"):
        assert records_in(r.got) == hits  # what was left, then the end
    else:
        assert 1 <= records_in(r.got) <= hits


@pytest.mark.parametrize("reader", ["Recorder.get", "Clusterer.get"])
def test_a_sink_replaced_with_no_acquisition_running_wakes_its_reader_at_once(opened, reader):
    make, read = READERS[reader]
    sink = make()
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", sink)
    r = Reader(sink, read)
    time.sleep(0.3)
    assert r.thread.is_alive()  # registered: an acquisition may begin
    opened.acq.setDataCallback("ch0", recorder())
    replaced = time.monotonic()
    r.thread.join(5)
    assert not r.thread.is_alive() and r.outcome == "empty" and r.got == []
    assert r.finished - replaced < 1.0


@pytest.mark.parametrize("reader", ["Recorder.get", "Recorder iteration", "Clusterer.get"])
def test_a_sink_waits_until_the_interface_says_it_was_fed_and_is_no_more(reader):
    make, read = READERS[reader]
    sink = make()
    native = Native(sink)
    native.acquiring(True)  # an iteration also waits while an acquisition runs
    r = Reader(sink, read)
    time.sleep(0.3)
    assert r.thread.is_alive()  # never registered: only the call path feeds it, at any time
    native.fed(True)
    time.sleep(0.2)
    assert r.thread.is_alive()
    native.acquiring(False)
    native.fed(False)
    r.thread.join(5)
    assert not r.thread.is_alive() and r.got == []


@pytest.mark.parametrize("stop", ["end", "abort", "close"])
def test_a_replaced_recorder_is_kept_while_its_acquisition_runs_and_let_go_when_it_stops(opened, stop):
    first = recorder()
    alone = sys.getrefcount(first)
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", first)
    zorvsim.script("ch0", DELIVERIES, hold=stop != "end")
    opened.acq.begin("ch0")
    zorvsim.wait_deliveries("ch0", len(DELIVERIES))
    opened.acq.setDataCallback("ch0", recorder())
    gc.collect()
    assert sys.getrefcount(first) == alone + 1  # the SDK may deliver to it until the acquisition stops
    {"end": lambda: opened.acq.end("ch0"), "abort": lambda: opened.acq.abort("ch0"), "close": opened.close}[stop]()
    assert sys.getrefcount(first) == alone


# ---- exit and memory, in programs of their own ----


@pytest.mark.parametrize("stop", ["dev.close()", "dev.finalize()", "del dev"])
def test_a_non_daemon_reader_lets_the_process_exit_once_its_device_is_closed(stop):
    out = run("import queue, threading, time, zorvsim\nfrom zorvsdk import sinks\nfrom zorvsdk.zorv import Device\n"
              + HELPERS + textwrap.dedent(f"""
        endless(real_time=True, period=0.01)
        dev = opened()
        rec = sinks.Recorder(100_000)
        dev.acq.setDataCallback("ch0", rec)
        dev.acq.begin("ch0")

        def read():
            n = 0
            try:
                while True:
                    rec.get()
                    n += 1
            except queue.Empty:
                print(f"reader ended {{n > 0}}", flush=True)  # one write: the main thread prints too

        threading.Thread(target=read).start()  # not a daemon: the exit waits for it
        zorvsim.wait_deliveries("ch0", 5)
        {stop}
        print("main done", flush=True)
    """), timeout=30)
    assert "main done" in out and "reader ended True" in out, out  # and the process exited


@pytest.mark.skipif(bool(os.environ.get("ZORV_SANITIZED")), reason="the sanitizer's allocator judges the growth differently")
def test_replaced_recorders_give_their_memory_back():
    out = run("""
        import zorvsim
        from zorvsdk import sinks
        from zorvsdk.zorv import Device

        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20

        dev = Device()
        dev.open("zorvsim:0")
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        base = grown = None
        for i in range(1000):
            dev.acq.setDataCallback("ch0", sinks.Recorder(100_000))  # 1.6 MB of records each
            if i == 20:
                base = rss_mb()
            elif i > 20:
                grown = max(grown or 0, rss_mb() - base)
                if grown > 100:
                    break
        print(i + 1, round(grown))
        dev.close()
        dev.finalize()
    """, timeout=120)
    replaced, grown = map(int, out.split())
    assert replaced == 1000 and grown < 100, out


def test_a_stop_that_failed_keeps_the_replaced_recorder_until_one_succeeds(opened):
    from zorvsdk.errors import ZorvSdkInvalidOperationError

    first = recorder()
    alone = sys.getrefcount(first)
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", first)
    zorvsim.script("ch0", DELIVERIES, hold=True)
    opened.acq.begin("ch0")
    opened.acq.setDataCallback("ch0", recorder())
    zorvsim.fail("zorv_acq_abort", -2, b"busy")
    with pytest.raises(ZorvSdkInvalidOperationError):
        opened.acq.abort("ch0")
    opened.acq.setDataCallback("ch0", recorder())
    assert sys.getrefcount(first) == alone + 1  # the acquisition may still deliver to it
    opened.acq.abort("ch0")
    assert sys.getrefcount(first) == alone
