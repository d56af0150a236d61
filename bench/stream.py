"""The stream part of bench/run.py: the hits of the virtual device, paced in real time at fixed
detector rates, streamed over the loopback interface to one receiver process that decodes every
message into NumPy arrays (pixel ids, times, ToT); beside it the same deliveries pickled over pyzmq
by a data callable, and in the same run the machine's limit: raw ZeroMQ frames of 1 MB over the same
loopback, received and dropped.
"""

from __future__ import annotations

import json
import resource
import subprocess
import sys
import textwrap
import time

import zorvsim

RATES = (10, 40, 80, 160, 320)  # M hits/s
HITS = 100_000  # per delivery
SENDERS = ("ev44", "pickle")

# The receiver process: takes messages until the stream is silent, decodes them, and prints what it
# took and what it cost.
RECEIVER = """
import json, pickle, resource, sys, time
import numpy as np, zmq
from zorvsdk.stream import decode
endpoint, kind = sys.argv[1], sys.argv[2]
s = zmq.Context.instance().socket(zmq.PULL)
s.setsockopt(zmq.RCVHWM, 256)
s.connect(endpoint)
print("ready", flush=True)
hits = messages = size = gaps = 0
last_id, last, first = None, None, None
while last is None or time.monotonic() - last < 1.0:
    if not s.poll(100):
        continue
    frames = s.recv_multipart(copy=False)
    now = time.monotonic()
    first = first or now
    last = now
    size += sum(len(f.buffer) for f in frames)
    messages += 1
    if kind == "ev44":
        m = decode(frames)
        t = m.times()  # every hit's time, and its pixel and ToT arrays, in NumPy
        hits += len(m.pixel_id)
        gaps += 0 if last_id is None else m.message_id - last_id - 1
        last_id = m.message_id
    elif kind == "pickle":
        data, metadata = pickle.loads(frames[0].buffer)
        hits += len(data)
    else:
        hits += 1
u = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"hits": hits, "messages": messages, "bytes": size, "gaps": gaps,
                  "seconds": (last or 0) - (first or 0), "cpu": u.ru_utime + u.ru_stime}), flush=True)
"""


def add_arguments(p) -> None:
    p.add_argument("--stream-seconds", type=float, default=3.0, help="seconds of every streaming run")
    p.add_argument("--stream-rates", type=float, nargs="+", default=list(RATES), help="detector rates, M hits/s")


def cpu() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def receiver(endpoint: str, kind: str) -> subprocess.Popen:
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(RECEIVER), endpoint, kind],
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None and proc.stdout.readline().strip() == "ready"
    time.sleep(0.5)  # connected
    return proc


def result_of(proc: subprocess.Popen) -> dict:
    out, _ = proc.communicate(timeout=120)
    return json.loads(out.strip().splitlines()[-1])


class Pickling:
    """The peers' way: a data callable that pickles each delivery and pushes it with pyzmq, never
    waiting (a delivery that finds no room is dropped and counted)."""

    def __init__(self, endpoint: str) -> None:
        import zmq

        self.zmq = zmq
        self.socket = zmq.Context.instance().socket(zmq.PUSH)
        self.socket.setsockopt(zmq.SNDHWM, 64)
        self.socket.bind(endpoint)
        self.endpoint = self.socket.getsockopt_string(zmq.LAST_ENDPOINT)
        self.dropped = 0

    def __call__(self, data, metadata) -> None:
        import pickle

        try:
            self.socket.send(pickle.dumps((data, metadata), protocol=5), self.zmq.NOBLOCK)
        except self.zmq.Again:
            self.dropped += 1

    def close(self) -> None:
        self.socket.close(linger=5000)


def run_one(dev, sender: str, rate: float, seconds: float) -> dict:
    """One run at `rate` M hits/s for `seconds`: what the receiver took and what it cost each side."""
    from zorvsdk.sinks import Streamer

    zorvsim.clear_script("ch0")
    zorvsim.set("/devices/0/acquisition", zorvsim.get("/devices/0/acquisition") | {
        "deliveries": -1, "hitsPerDelivery": HITS, "period": HITS / (rate * 1e6), "realTime": True})
    if sender == "ev44":
        # 128 messages of 65,536 hits queued (0.1 s at 80 M hits/s) for the machine's pauses
        sink = Streamer("tcp://127.0.0.1:*", pattern="push", width=512, height=512, queue=128, hwm=64)
    else:
        sink = Pickling("tcp://127.0.0.1:*")
    proc = receiver(sink.endpoint, sender)
    dev.acq.setDataCallback("ch0", sink)
    counted = zorvsim.delivery_count("ch0")
    before, start = cpu(), time.perf_counter()
    dev.acq.begin("ch0")
    time.sleep(seconds)
    dev.acq.abort("ch0")
    if sender == "ev44":
        sink.close(30)
    else:
        sink.close()
    sending_cpu, elapsed = cpu() - before, time.perf_counter() - start
    got = result_of(proc)
    delivered = (zorvsim.delivery_count("ch0") - counted) * HITS
    return {"sender": sender, "rate": rate, "seconds": elapsed, "delivered_hits": delivered,
            "received_hits": got["hits"], "messages": got["messages"], "bytes": got["bytes"],
            "dropped_messages": sink.dropped, "gaps": got["gaps"], "receive_seconds": got["seconds"],
            "bytes_per_hit": got["bytes"] / max(got["hits"], 1),
            "send_cpu_per_million": sending_cpu / max(got["hits"], 1) * 1e6,
            "receive_cpu_per_million": got["cpu"] / max(got["hits"], 1) * 1e6}


def zmq_limit(seconds: float = 1.5, frame: int = 1 << 20) -> float:
    """The loopback's and ZeroMQ's own rate: 1 MB frames pushed as fast as they go to a receiver
    process that only counts them; bytes per second."""
    import zmq

    s = zmq.Context.instance().socket(zmq.PUSH)
    s.setsockopt(zmq.SNDHWM, 64)
    s.bind("tcp://127.0.0.1:*")
    proc = receiver(s.getsockopt_string(zmq.LAST_ENDPOINT), "raw")
    payload = bytes(frame)
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        s.send(payload, copy=False)
    s.close(linger=10000)
    got = result_of(proc)
    return got["bytes"] / max(got["seconds"], 1e-9)


def measure(dev, args, samples: dict) -> None:
    dev.chip.selectMode("0:tpx3-dd-toa-tot")
    runs = samples.setdefault("runs", [])
    limits = samples.setdefault("zmq_bytes_per_second", [])
    for rate in args.stream_rates:
        limits.append(zmq_limit())  # the machine's limit interleaved with the runs
        for sender in SENDERS:
            r = run_one(dev, sender, rate, args.stream_seconds)
            runs.append(r)
            print(f"  {sender} {rate:g} M hits/s: received {r['received_hits']:,} of {r['delivered_hits']:,}, "
                  f"dropped {r['dropped_messages']}, gaps {r['gaps']}", flush=True)


def clean(r: dict) -> bool:
    """Nothing lost, and the device delivered (nearly) the rate asked."""
    return (r["dropped_messages"] == 0 and r["gaps"] == 0 and r["received_hits"] == r["delivered_hits"]
            and r["delivered_hits"] >= 0.9 * r["rate"] * 1e6 * (r["seconds"] - 0.2))


def summarise(samples: dict) -> dict:
    out = {"runs": samples.get("runs", []), "zmq_bytes_per_second": samples.get("zmq_bytes_per_second", [])}
    for sender in SENDERS:
        ok = [r for r in out["runs"] if r["sender"] == sender and clean(r)]
        out[f"best_{sender}"] = max((r["rate"] for r in ok), default=0)
    return out


def targets(r: dict) -> list[tuple[str, str, bool]]:
    ev, pk = r.get("best_ev44", 0), r.get("best_pickle", 0)
    return [("stream: highest paced rate with no message lost to one receiver >= 80 M hits/s", f"{ev:g} M hits/s",
             ev >= 80),
            ("stream: that rate >= 4x the pickled stream's", f"{ev:g} vs {pk:g} M hits/s ({ev / pk if pk else 0:.1f}x)",
             pk > 0 and ev >= 4 * pk)]


def report(r: dict) -> str:
    import numpy as np

    from run import table  # noqa: PLC0415  (bench/run.py's own table)

    limit = np.array(r["zmq_bytes_per_second"] or [0.0])
    ev_bytes = np.median([x["bytes_per_hit"] for x in r["runs"] if x["sender"] == "ev44"] or [10.0])
    rows = []
    for x in r["runs"]:
        rows.append([x["sender"], f"{x['rate']:g}", f"{x['received_hits'] / 1e6:.1f} of {x['delivered_hits'] / 1e6:.1f}",
                     f"{x['received_hits'] / max(x['seconds'], 1e-9) / 1e6:.0f}", str(x["dropped_messages"]),
                     str(x["gaps"]), f"{x['messages'] / max(x['seconds'], 1e-9):,.0f}", f"{x['bytes_per_hit']:.2f}",
                     f"{x['send_cpu_per_million'] * 1e3:.1f}", f"{x['receive_cpu_per_million'] * 1e3:.1f}"])
    return ("Streaming over loopback to one receiver process decoding into NumPy (dd-toa-tot, the virtual device "
            f"paced in real time, {HITS:,} hits per delivery; ev44: the Streamer; pickle: a data callable pickling "
            "each delivery over pyzmq; CPU ms per million hits, the sending side the whole process with the "
            "device's thread)\n" +
            table(["sender", "M hits/s asked", "M hits received", "M hits/s", "dropped", "gaps", "messages/s",
                   "bytes/hit", "CPU ms/M send", "CPU ms/M receive"], rows) +
            f"\nThe machine's limit, raw ZeroMQ frames of 1 MB over loopback: {np.median(limit) / 1e9:.2f} GB/s "
            f"(runs {limit.min() / 1e9:.2f} to {limit.max() / 1e9:.2f}), {np.median(limit) / ev_bytes / 1e6:.0f} "
            f"M hits/s at ev44's {ev_bytes:.2f} bytes per hit")
