"""Share one acquisition's hits among four receiver processes over a PUSH stream.

The acquiring process registers a :class:`zorvsdk.sinks.Streamer` that pushes ev44 messages to
``tcp://127.0.0.1:5556``; four receiver processes (here on the same machine; on others, give them
the acquiring host's address) each take a share of the messages and count their hits into a hit
map of their own. At the end the shares are merged: the merged map holds every hit the detector
delivered, and the message ids no receiver got (none, unless a receiver fell over) are reported.

    python examples/stream_receivers.py --seconds 2 --output shares.png
"""

from __future__ import annotations

import argparse
import multiprocessing
import sys
import threading
import time
from typing import Any

import numpy as np

RECEIVERS = 4


def receive(endpoint: str, width: int, height: int, results: Any, ended: Any) -> None:
    """One receiver: its share of the stream counted into a hit map, until the stream has ended and
    nothing more comes."""
    from zorvsdk.stream import Receiver

    counts = np.zeros(width * height, np.uint64)
    with Receiver(endpoint, pattern="pull", idle=None) as r:
        results.put(("ready", None))
        while True:
            m = r.receive(timeout=0.5)
            if m is None:
                if ended.is_set():
                    break
                continue
            counts += np.bincount(m.addresses(), minlength=width * height)[:width * height].astype(np.uint64)
        ids = [i for share in r.ids.values() for i in share]
    results.put(("done", (ids, r.hits, r.bytes, counts.reshape(height, width))))


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--endpoint", default="tcp://127.0.0.1:5556")
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--output", help="a figure of the four shares and the merged map")
    args = p.parse_args()

    from zorvsdk.sinks import Streamer
    from zorvsdk.stream import missing_ids
    from zorvsdk.zorv import Device

    spawn = multiprocessing.get_context("spawn")  # the receivers share nothing with this process
    results, ended = spawn.Queue(), spawn.Event()
    with Device() as device:
        device.open(device.enumerate()[0].connectionString)
        width, height = device.config.getMaskSize()
        procs = [spawn.Process(target=receive, args=(args.endpoint, width, height, results, ended)) for _ in range(RECEIVERS)]
        for proc in procs:
            proc.start()
        for _ in procs:
            results.get(timeout=60)  # "ready"
        # Messages of 4096 hits at most, so that even a short acquisition is shared.
        streamer = Streamer(args.endpoint, pattern="push", width=width, height=height, batch=1 << 12, queue=1024)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        channel = device.acq.getChannelIds()[0]
        device.acq.setDataCallback(channel, streamer)
        device.acq.begin(channel)
        ender = threading.Thread(target=device.acq.end, args=(channel,))
        ender.start()
        ender.join(args.seconds)  # the acquisition may end sooner by itself
        if ender.is_alive():
            device.acq.abort(channel)
        ender.join()
        streamer.close(10)  # every message sent
        ended.set()
        shares = [results.get(timeout=60)[1] for _ in procs]
        for proc in procs:
            proc.join(10)
    ids = [i for share in shares for i in share[0]]
    merged = np.sum([share[3] for share in shares], axis=0)
    print(f"streamed {streamer.messages} messages, {streamer.hits:,} hits; dropped {streamer.dropped}")
    for k, (got, hits, size, _) in enumerate(shares):
        print(f"receiver {k}: {len(got)} messages, {hits:,} hits, {size / max(hits, 1):.2f} bytes per hit")
    lost = missing_ids(ids, end=streamer.message_ids)
    print(f"merged: {int(merged.sum()):,} hits of {streamer.hits:,} delivered; "
          f"message ids missing: {lost if lost else 'none'}")
    if args.output:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        figure, axes = plt.subplots(1, RECEIVERS + 1, figsize=(4 * (RECEIVERS + 1), 4))
        for k, (a, image) in enumerate(zip(axes, [s[3] for s in shares] + [merged])):
            a.imshow(image, origin="lower", cmap="viridis", interpolation="nearest")
            a.set_title(f"receiver {k}" if k < RECEIVERS else "merged")
            a.set_xlabel("x (pixel)")
        axes[0].set_ylabel("y (pixel)")
        figure.savefig(args.output, dpi=80, bbox_inches="tight")
    return 0 if int(merged.sum()) == streamer.hits - streamer.dropped_hits and not lost else 1


if __name__ == "__main__":
    sys.exit(main())
