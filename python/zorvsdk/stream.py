"""Receiving the event stream of :class:`zorvsdk.sinks.Streamer`: ev44 messages over ZeroMQ.

Pure Python over pyzmq and the ev44 decoder of ``streaming_data_types``: no device and no native
module is needed, so it runs on the machines that analyse the hits::

    from zorvsdk.stream import Receiver

    with Receiver("tcp://daq-host:5556") as receiver:      # a subscriber of a PUB stream
        for message in receiver:                          # ends after `idle` seconds of silence
            print(message.message_id, len(message.pixel_id), message.times()[:3])
        print(receiver.missing, "messages lost")

A PUSH stream is shared among its receivers (``Receiver(endpoint, pattern="pull")``): each gets
some of the messages, and the union of the ids they received tells what was lost
(:func:`missing_ids`). The wire format is described in docs/stream.md.
"""

from __future__ import annotations

import glob
import os
import struct
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from zorvsdk._libraries import mapped

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["Message", "Receiver", "StreamError", "decode", "libzmq", "missing_ids", "TOT_MAGIC", "TICK_NS"]

TOT_MAGIC = b"ztot"
"""The first bytes of the companion frame, which holds the hits' ToT."""
TOT_HEADER = struct.Struct("<4sHHIIQII")  # magic, version, ToT width, hits, flags, message id, width, height
CONTINUES = 1
"""The companion frame's flag: the message's first reference goes on with the last one of the
message before (a delivery split over messages)."""
TICK_NS = 1.5625
"""The length of the device's ToA tick in ns; ``round(ns / TICK_NS)`` gives the tick back from a stream's time."""


class StreamError(ValueError):
    """A message that is not of the stream's format."""


@dataclass(frozen=True)
class Message:
    """One message of the stream, its arrays views of the received frames (read-only). Its fields:

    - ``source``: the source name;
    - ``message_id``: the message's number, consecutive per source (a gap: messages lost);
    - ``reference_time``: int64 ns, one per reference, a delivery's time zero;
    - ``reference_index``: int32, the first hit of each reference;
    - ``time_of_flight``: int32 ns of each hit after its reference's time;
    - ``pixel_id``: int32 pixel ids, ``y * width + x`` (the NeXus file's ``detector_number``);
    - ``tot``: uint16 (or uint32) ToT ticks of each hit;
    - ``continues``: the first reference goes on with the last one of the message before;
    - ``width``, ``height``: the detector's size as the sender told it (0: not told);
    - ``size``: bytes received, both frames.
    """

    source: str
    message_id: int
    reference_time: NDArray[np.int64]
    reference_index: NDArray[np.int32]
    time_of_flight: NDArray[np.int32]
    pixel_id: NDArray[np.int32]
    tot: NDArray[Any]
    continues: bool = False
    width: int = 0
    height: int = 0
    size: int = 0

    def __len__(self) -> int:
        return len(self.pixel_id)

    def reference_of_hits(self) -> NDArray[np.intp]:
        """The reference of each hit (an index into ``reference_time``)."""
        counts = np.diff(np.append(self.reference_index.astype(np.int64), len(self.pixel_id)))
        return np.repeat(np.arange(len(self.reference_index)), counts)

    def times(self) -> NDArray[np.int64]:
        """Each hit's time in ns on the device's clock: its reference's time plus its time of flight."""
        return self.reference_time[self.reference_of_hits()] + self.time_of_flight

    def addresses(self) -> NDArray[np.uint32]:
        """The pixel ids as the device's uint32 pixel addresses."""
        return self.pixel_id.view(np.uint32)


def decode(frames: list[bytes] | list[memoryview] | list[Any]) -> Message:
    """One message from its two frames: the ev44 flatbuffer and the ToT frame."""
    from streaming_data_types.fbschemas.eventdata_ev44 import (  # type: ignore[import-untyped,unused-ignore]
        Event44Message,
    )

    if len(frames) != 2:
        raise StreamError(f"a message of the stream has 2 frames, not {len(frames)}")
    event, companion = (memoryview(f).cast("B") for f in frames)
    if len(event) < 8 or bytes(event[4:8]) != b"ev44":
        raise StreamError("the first frame is not an ev44 message (its file identifier)")
    try:  # read in place, without a copy of the frame
        ev = Event44Message.Event44Message.GetRootAs(event, 0)
        source, ev_id = ev.SourceName(), ev.MessageId()
        refs, index = _array(ev.ReferenceTimeAsNumpy(), np.int64), _array(ev.ReferenceTimeIndexAsNumpy(), np.int32)
        tof, pixel = _array(ev.TimeOfFlightAsNumpy(), np.int32), _array(ev.PixelIdAsNumpy(), np.int32)
        source = source.decode("utf-8") if source is not None else ""
    except (ValueError, IndexError, TypeError, struct.error, UnicodeDecodeError) as e:
        raise StreamError(f"the first frame is not an ev44 message: {e}") from None
    if len(companion) < TOT_HEADER.size:
        raise StreamError(f"the ToT frame has {len(companion)} bytes, less than its header")
    magic, version, width_bytes, hits, flags, message_id, width, height = TOT_HEADER.unpack_from(companion)
    if magic != TOT_MAGIC or version != 1 or width_bytes not in (2, 4):
        raise StreamError(f"the second frame is not a ToT frame of version 1 ({bytes(magic)!r}, {version}, {width_bytes})")
    if message_id != ev_id or hits != len(pixel) or len(tof) != len(pixel) or len(refs) != len(index):
        raise StreamError(f"message {ev_id}: its frames disagree (ToT frame of message {message_id}, "
                          f"{hits} ToT for {len(pixel)} pixel ids and {len(tof)} times, "
                          f"{len(refs)} reference times for {len(index)} indices)")
    if len(companion) != TOT_HEADER.size + hits * width_bytes:
        raise StreamError(f"message {message_id}: the ToT frame has {len(companion)} bytes for {hits} values")
    if len(index) and (index[0] != 0 or np.any(np.diff(index) < 0) or index[-1] > len(pixel)):
        raise StreamError(f"message {message_id}: the reference indices are not in order within its hits")
    if len(pixel) and not len(index):
        raise StreamError(f"message {message_id}: hits without a reference time")
    tot = np.frombuffer(companion, dtype=np.uint16 if width_bytes == 2 else np.uint32, offset=TOT_HEADER.size)
    return Message(source, int(message_id), refs, index, tof, pixel, tot, bool(flags & CONTINUES),
                   int(width), int(height), len(event) + len(companion))


def _array(values: Any, dtype: type[np.generic]) -> NDArray[Any]:
    """A vector of the flatbuffer as an array (the decoder gives 0 for a vector left out)."""
    if isinstance(values, np.ndarray):
        return values.astype(dtype, copy=False)
    return np.empty(0, dtype)


class Receiver:
    """A receiver of the stream of a :class:`zorvsdk.sinks.Streamer`.

    Args:
        endpoint: The streamer's endpoint, such as ``"tcp://daq-host:5556"``.
        pattern: ``"sub"`` for a PUB stream (every message to every receiver), ``"pull"`` for a
            PUSH stream (shared among its receivers).
        hwm: Messages that ZeroMQ holds for this receiver; more are lost (PUB) or wait in the
            sender (PUSH).
        idle: Seconds without a message after which an iteration ends (None: never).
        context: A ``zmq.Context`` to use (by default the process's).

    Per source it counts the messages received and, for a PUB stream, the messages missing between
    them (:attr:`missing`: what a slow receiver lost, or the sender dropped). A stream that starts
    again from id 0 (the sender restarted) is counted in :attr:`restarts`. The ids received are kept
    (:attr:`ids`) for merging the shares of a PUSH stream's receivers.
    """

    def __init__(self, endpoint: str, *, pattern: str = "sub", hwm: int = 1000, idle: float | None = 1.0,
                 context: Any = None) -> None:
        import zmq

        if pattern not in ("sub", "pull"):
            raise ValueError(f"pattern is 'sub' or 'pull', not {pattern!r}")
        self.endpoint, self.pattern, self.idle = endpoint, pattern, idle
        self._socket = (context or zmq.Context.instance()).socket(zmq.SUB if pattern == "sub" else zmq.PULL)
        self._socket.setsockopt(zmq.RCVHWM, hwm)
        self._socket.setsockopt(zmq.LINGER, 0)
        if pattern == "sub":
            self._socket.setsockopt(zmq.SUBSCRIBE, b"")
        self._socket.connect(endpoint)
        self.received: dict[str, int] = {}
        """Messages received, per source."""
        self.missing: dict[str, int] = {}
        """Messages missing between those received, per source (PUB streams)."""
        self.restarts: dict[str, int] = {}
        """Times the ids of a source started again lower (a restarted sender), per source."""
        self.ids: dict[str, list[int]] = {}
        """The message ids received, per source, in the order received."""
        self.hits = 0
        self.bytes = 0
        self._last: dict[str, int] = {}

    def receive(self, timeout: float | None = None) -> Message | None:
        """The next message, or None when `timeout` seconds pass first (None: wait for one).

        The wait answers Ctrl-C. Raises :class:`StreamError` for a message not of the format."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
            if left < 0 or not self._socket.poll(max(0, int(left * 1000))):
                if deadline is not None and time.monotonic() >= deadline:
                    return None
                continue
            message = decode(self._socket.recv_multipart(copy=False))
            self._count(message)
            return message

    def _count(self, m: Message) -> None:
        source = m.source
        last = self._last.get(source)
        if last is not None and m.message_id <= last:
            self.restarts[source] = self.restarts.get(source, 0) + 1
        elif last is not None and self.pattern == "sub":
            self.missing[source] = self.missing.get(source, 0) + m.message_id - last - 1
        self._last[source] = m.message_id
        self.received[source] = self.received.get(source, 0) + 1
        self.missing.setdefault(source, 0)
        self.ids.setdefault(source, []).append(m.message_id)
        self.hits += len(m)
        self.bytes += m.size

    def __iter__(self) -> Iterator[Message]:
        """The messages, until none has come for :attr:`idle` seconds."""
        while True:
            message = self.receive(self.idle)
            if message is None:
                return
            yield message

    def close(self) -> None:
        self._socket.close(linger=0)

    def __enter__(self) -> Receiver:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def missing_ids(ids: Iterable[int], end: int | None = None) -> list[tuple[int, int]]:
    """The ranges [first, end) of ids missing from `ids` (the merged ids of a stream's receivers),
    from 0 to `end` (by default the largest id received, plus 1)."""
    got = np.unique(np.fromiter(ids, dtype=np.int64))
    top = int(got[-1]) + 1 if end is None and len(got) else (end or 0)
    edges = np.concatenate(([-1], got[got < top], [top]))
    holes = np.flatnonzero(np.diff(edges) > 1)
    return [(int(edges[i]) + 1, int(edges[i + 1])) for i in holes]


def libzmq() -> str:
    """The path of the ZeroMQ library that pyzmq loaded (the streamer sends through it)."""
    global _libzmq
    if _libzmq is None:
        _libzmq = _find_libzmq()
    return _libzmq


_libzmq: str | None = None


def _find_libzmq() -> str:
    import zmq

    zmq.zmq_version()  # loaded
    found = mapped(r"libzmq[-.]")
    if found:
        return found
    here = os.path.dirname(os.path.dirname(zmq.__file__))
    shipped = sorted(glob.glob(os.path.join(here, "pyzmq.libs", "libzmq*.so*")))
    if not shipped:
        raise ImportError("the ZeroMQ library that pyzmq uses is not mapped into this process")
    return shipped[0]


# ---------------------------------------------------------------------------------------------
# The command: the stream into the NeXus file and the hit map that zorvsdk-acquire writes

PROG = "zorvsdk-receive"
MODE = "0:tpx3-dd-toa-tot"  # the file's deliveries as the stream carries them: hits with a time zero


def ticks_of(ns: NDArray[np.int64]) -> NDArray[np.uint64]:
    """ToA ticks back from the stream's whole ns (distinct ticks give distinct ns)."""
    return np.rint(ns / TICK_NS).astype(np.uint64)


class Deliveries:
    """The deliveries of a stream, as the streamer took them in: each message's references, a
    delivery split over two messages joined again. Each is handed on as toa_tot records (ToA in
    ticks) and its time zero in ticks, as the sinks take a dd-toa-tot delivery."""

    def __init__(self, take: Any) -> None:
        self.take = take
        self._held: tuple[int, list[NDArray[Any]]] | None = None  # the last reference of the last message

    def add(self, m: Message) -> None:
        from zorvsdk import dtypes

        hits = np.empty(len(m), dtype=dtypes.TOA_TOT)
        hits["address"], hits["tot"], hits["toa"] = m.addresses(), m.tot, ticks_of(m.times())
        ends = np.append(m.reference_index.astype(np.int64), len(m))
        for k, zero in enumerate(m.reference_time.tolist()):
            part = hits[ends[k]:ends[k + 1]]
            if k == 0 and m.continues and self._held is not None:
                self._held[1].append(part)
                continue
            self.end()
            self._held = (int(zero), [part])
        if not len(m.reference_time) and len(m):
            raise StreamError(f"message {m.message_id}: hits without a reference time")

    def end(self) -> None:
        """Hands on the delivery held back (the stream has ended, or the next one began)."""
        if self._held is not None:
            zero, parts = self._held
            self._held = None
            self.take(np.concatenate(parts) if len(parts) > 1 else parts[0], int(ticks_of(np.array([zero]))[0]))


def parser() -> Any:
    import argparse
    from pathlib import Path

    from zorvsdk.acquire import positive

    p = argparse.ArgumentParser(
        prog=PROG, description="Receive the hits that zorvsdk-acquire --stream sends and write the hit map and, on "
        "request, the NeXus file of the hits, as zorvsdk-acquire writes them.",
        epilog="The command ends once the stream has been silent for --idle seconds after its first message, "
        "after --seconds or --messages, or at Ctrl-C (the outputs are written in every case).\n\n"
        "    zorvsdk-receive tcp://daq-host:5556 --hdf5 run.h5 --output hitmap.png\n"
        "    zorvsdk-receive tcp://daq-host:5556 --pull --hdf5 share1.h5   # one of several sharing a PUSH stream",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("endpoint", help="the streamer's endpoint, for example tcp://daq-host:5556")
    p.add_argument("--pull", action="store_true", help="a PUSH stream, shared with other receivers (default: PUB)")
    p.add_argument("--output", type=Path, default=Path("hitmap.png"), metavar="FIGURE",
                   help="hit map figure, in the format its suffix names (default: %(default)s)")
    p.add_argument("--hdf5", type=Path, metavar="FILE", help="also write the hits to this NeXus file")
    p.add_argument("--width", type=positive(int), help="the detector's pixels per row, if the stream does not tell")
    p.add_argument("--height", type=positive(int), help="the detector's rows, if the stream does not tell")
    p.add_argument("--idle", type=positive(float), default=5.0, metavar="SECONDS",
                   help="end once no message has come for this long after the first (default: %(default)s)")
    p.add_argument("--seconds", type=positive(float), help="end after this many seconds")
    p.add_argument("--messages", type=positive(int), metavar="N", help="end after N messages")
    p.add_argument("--quiet", action="store_true", help="no progress line")
    return p


class _Output:
    """The file (or, without one, a hit map) that the deliveries go to, made with the first message,
    which tells the detector's size."""

    def __init__(self, args: Any, m: Message, started: Any) -> None:
        from zorvsdk.acquire import CommandError, make_map

        width, height = args.width or m.width, args.height or m.height
        if not width or not height:
            raise CommandError(f"the stream from {args.endpoint} tells no detector size: give --width and --height")
        self.width, self.height = width, height
        self.nexus: Any = None
        self.pixels: Any = None
        if args.hdf5 is not None:
            from zorvsdk.nexus import NexusWriter

            attrs = {"source": m.source, "endpoint": args.endpoint, "mode": MODE, "width": width, "height": height,
                     "startTime": started.isoformat()}
            self.nexus = NexusWriter(args.hdf5, width=width, height=height, mode=MODE, attrs=attrs, start_time=started)
        else:
            self.pixels = make_map(width, height)
        self.deliveries = Deliveries(self.take)
        self._empty = [np.empty(0, np.uint64)] * 3

    def take(self, hits: NDArray[Any], zero: int) -> None:
        if self.nexus is not None:
            self.nexus.sink(hits, {"shutterStart": zero, "tdcs": self._empty})
        elif len(hits):
            self.pixels(hits)

    def close(self, totals: dict[str, Any]) -> tuple[NDArray[Any], int]:
        """Writes what is held; the hit map and the hits outside it."""
        self.deliveries.end()
        if self.nexus is not None:
            counts, _ = self.nexus.close(totals)
            return counts, int(self.nexus.sink.outside)
        return self.pixels.counts(), int(self.pixels.outside)


def main(argv: list[str] | None = None) -> int:
    """The command: returns the exit status."""
    import datetime
    import sys

    from zorvsdk.acquire import CommandError, Console, StopSignals, check_outputs, signalled

    args = parser().parse_args(argv)
    args.clusters, args.config, args.writer = False, None, "native"  # what check_outputs asks about
    try:
        import zmq  # noqa: F401

        if args.hdf5 is not None:
            import h5py  # type: ignore[import-untyped,unused-ignore]  # noqa: F401
    except ImportError as e:
        return fail(f"the package {e.name!r} is missing: pip install 'zorvsdkpy[stream,nexus]'")
    with Console(), StopSignals() as stop:
        try:
            kind = check_outputs(args)
            stop.arm()
            result = receive(args, stop, datetime.datetime.now(datetime.timezone.utc))
            if result is None:
                print(f"{PROG}: no message came from {args.endpoint}", file=sys.stderr)
                return 1 if stop.received is None else signalled(stop.received)
            _figure(args, kind, *result)
        except (CommandError, OSError, StreamError) as e:
            return fail(str(e))
        return 0 if stop.received is None else signalled(stop.received)


def fail(message: str) -> int:
    """Reports a failure in one line; the exit status."""
    import sys

    print(f"{PROG}: error: {'; '.join(line.strip() for line in message.splitlines() if line.strip())}",
          file=sys.stderr)
    return 1


def receive(args: Any, stop: Any, started: Any) -> tuple[Receiver, Message, NDArray[Any], dict[str, Any]] | None:
    """Receives until the stream ends, into the outputs; None when no message came at all."""
    output: _Output | None = None
    first: Message | None = None
    begin = time.monotonic()
    last = begin
    with Receiver(args.endpoint, pattern="pull" if args.pull else "sub", idle=None) as r:
        try:
            while stop.received is None:
                now = time.monotonic()
                if args.seconds is not None and now - begin >= args.seconds:
                    break
                if first is not None and now - last >= args.idle:
                    break
                m = r.receive(timeout=0.1)
                if m is None:
                    continue
                last = time.monotonic()
                if output is None:
                    first, output = m, _Output(args, m, started)
                output.deliveries.add(m)
                if not args.quiet:
                    print(f"\r{sum(r.received.values())} messages, {r.hits:,} hits, "
                          f"{sum(r.missing.values())} missing", end="", flush=True)
                if args.messages is not None and sum(r.received.values()) >= args.messages:
                    break
        except BaseException:
            if output is not None and output.nexus is not None:
                output.nexus.abandon()
            raise
        if not args.quiet and first is not None:
            print()
        if output is None or first is None:
            return None
        seconds = last - begin
        totals = {"seconds": seconds, "messages": sum(r.received.values()), "hits": r.hits,
                  "missingMessages": sum(r.missing.values()), "interrupted": stop.received is not None}
        counts, outside = output.close(totals)
        told: dict[str, Any] = {**totals, "width": output.width, "height": output.height, "outside": outside}
        return r, first, counts, told


def _figure(args: Any, kind: str, r: Receiver, first: Message, counts: NDArray[Any], totals: dict[str, Any]) -> None:
    import sys

    from zorvsdk.acquire import Run, write_figure
    from zorvsdk.zorv import DeviceDescriptor

    told = {"connectionString": args.endpoint, "product": "stream", "serialNumber": first.source}
    descriptor = DeviceDescriptor._make(told.get(name, "") for name in DeviceDescriptor._fields)
    run = Run(descriptor, MODE, first.source, totals["width"], totals["height"], seconds=totals["seconds"],
              hits=r.hits, outside=totals["outside"], counts=counts)
    write_figure(args.output, kind, run)
    missing = sum(r.missing.values())
    print(f"{totals['messages']} messages, {r.hits:,} hits, {r.bytes / max(r.hits, 1):.2f} bytes per hit from "
          f"{args.endpoint} ({', '.join(r.received)})")
    if missing:
        print(f"{PROG}: warning: messages missing (lost by a slow receiver or dropped by the sender): {missing}",
              file=sys.stderr)
    if any(r.restarts.values()):
        print(f"{PROG}: warning: the sender started again {sum(r.restarts.values())} times", file=sys.stderr)
    if totals["outside"]:
        print(f"{PROG}: warning: hits outside the {totals['width']} x {totals['height']} detector: "
              f"{totals['outside']:,}", file=sys.stderr)
    print(f"hit map written to {args.output}" + (f", hits to {args.hdf5}" if args.hdf5 else ""))


if __name__ == "__main__":
    import sys

    sys.exit(main())
