"""Run the detector from Bluesky: an ophyd-async detector over an open :class:`~zorvsdk.zorv.Device`.

:class:`ZorvDetector` is a ``StandardDetector``: ``bp.count``, ``bp.scan`` and fly scans
(prepare, kickoff, complete, collect) drive it like any other. Each trigger, or each collection of
a fly scan, is one acquisition on the device's channel; its hits go through the native writer into
the run's NeXus file (one file per run, from stage to unstage), and the documents point at them::

    from pathlib import Path
    import bluesky.plans as bp
    from bluesky import RunEngine
    from ophyd_async.core import StaticPathProvider, UUIDFilenameProvider, init_devices
    from zorvsdk.bluesky import ZorvDetector
    from zorvsdk.zorv import Device

    RE = RunEngine()
    device = Device()
    device.open("zorvsim:0")
    with init_devices():
        det = ZorvDetector(device, StaticPathProvider(UUIDFilenameProvider(), Path("data")),
                           locator="zorvsim:0")
    RE(bp.scan([det], det.threshold, 5, 20, 16))       # the thresholds from 5 to 20 keV

The file holds a table of the steps (``entry/instrument/detector_steps``): row ``i`` gives step
``i``'s hits as ``event_range`` [first, end) of the per-hit datasets of ``event_data`` and its
deliveries as ``pulse_range`` [first, end) of ``event_index``. The run's StreamResource announces
that table (data key ``<name>-events``) and each step's StreamDatum its row. Each event also holds
readings that need no file: the step's hits, deliveries, dropped deliveries, rate and hit map sum,
the sensor's temperature and the bias read-back.

Every SDK call runs on a thread of its own, never on the RunEngine's event loop. A device error
fails the plan; unstage then closes the device (and the next stage opens it again by its
locator). The file is finished at unstage whatever happened, and stays readable. The page
docs/bluesky.md says more.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import math
import threading
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Generic, TypeVar

import numpy as np
from bluesky.protocols import Reading, StreamAsset
from event_model import DataKey
from ophyd_async.core import (
    Callback,
    DetectorAcquireLogic,
    DetectorDataLogic,
    DetectorTriggerLogic,
    DeviceVector,
    PathProvider,
    ReadableDataProvider,
    SignalBackend,
    SignalDatatypeT,
    SignalMetadata,
    SignalR,
    SignalRW,
    StandardDetector,
    StreamResourceDataProvider,
    StreamResourceInfo,
    StrictEnum,
    TriggerInfo,
    make_datakey,
    soft_signal_r_and_setter,
    soft_signal_rw,
)

import zorvsdk
from zorvsdk.acquire import read_settings
from zorvsdk.errors import ZorvSdkException, ZorvSdkInvalidArgumentError
from zorvsdk.nexus import STEP_CHUNK, NexusWriter, Step
from zorvsdk.zorv import Device, getRuntimeVersion

__all__ = ["ZorvDetector", "ReadoutMode", "StepReading"]

T = TypeVar("T")
Range = tuple[float, float]  # low, high

BEAT = 1.0  # seconds between two reports of the steps written while an acquisition runs
POLL = 0.02  # seconds between two looks at the writer
MONITOR = 0.5  # seconds between two readings of a monitored device value
END_TIMEOUT = 10.0  # seconds an acquisition may take to end once aborted
WRITE_TIMEOUT = 30.0  # seconds a step's hits may take to reach the file once the acquisition ended
STOP_TIMEOUT = 60.0  # seconds a stop waits for the step under way
BIAS_STALL = 10.0  # seconds without the bias coming nearer its set point before a set fails
UNITS = {"DegreeCelsius": "degC", "DegreeFahrenheit": "degF", "Kelvin": "K"}


class ReadoutMode(StrictEnum):
    """The readout modes whose hits the NeXus file takes: a pixel address, a ToA and a ToT."""

    DD_TOA_TOT = "0:tpx3-dd-toa-tot"
    SORTED_DD_TOA_TOT = "0:tpx3-sorted-dd-toa-tot"
    DD_TOA_TOT_VEC = "0:tpx3-dd-toa-tot-vec"
    SEQ_TOA_TOT = "0:tpx3-seq-toa-tot"
    SEQ_TOA_TOT_VEC = "0:tpx3-seq-toa-tot-vec"


async def in_thread(fn: Callable[[], T]) -> T:
    """Runs a blocking call on a thread of its own and waits for it without blocking the event
    loop. The thread is a daemon: a call that never returns cannot hold up the interpreter's exit."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[T] = loop.create_future()

    def settle(result: Any, error: BaseException | None) -> None:
        if future.done():  # the waiter was cancelled
            return
        if error is None:
            future.set_result(result)
        else:
            future.set_exception(error)

    def run() -> None:
        result: Any = None
        error: BaseException | None = None
        try:
            result = fn()
        except BaseException as e:  # handed to the waiter
            error = e
        try:
            loop.call_soon_threadsafe(settle, result, error)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    threading.Thread(target=run, name="zorvsdk-bluesky", daemon=True).start()
    return await future


@dataclass(frozen=True)
class StepReading:
    """What one step took: its place in the file, and its readings."""

    step: Step
    seconds: float  # from begin to the end of the acquisition
    on_detector: int  # hits in the step's hit map: those whose pixel lies on the detector
    stopped: bool  # cut short by a stop (an abort of the plan)
    time: float  # when it ended (epoch seconds)

    @property
    def rate(self) -> float:
        return self.step.hits / self.seconds if self.seconds > 0 else 0.0


# The readings of a step: field, kind, units, how it is got.
STEP_FIELDS: tuple[tuple[str, type, str, Callable[[StepReading], int | float]], ...] = (
    ("hits", int, "hits", lambda r: r.step.hits),
    ("deliveries", int, "deliveries", lambda r: r.step.deliveries),
    ("dropped", int, "deliveries", lambda r: r.step.dropped),
    ("rate", float, "hits/s", lambda r: r.rate),
    ("hitmap_sum", int, "hits", lambda r: r.on_detector),
    ("seconds", float, "s", lambda r: r.seconds),
)


class Session:
    """The detector's hold on its device: SDK calls off the event loop, the steps of a run into
    its NeXus file, and what a device error leaves to do. Shared by the detector's signals and
    logics."""

    def __init__(self, device: Device, locator: str | None, channel: str, mode: str, *, capacity: int,
                 flush_seconds: float, threads: int | None) -> None:
        self.device, self.locator, self.channel, self.mode = device, locator, channel, mode
        self.capacity, self.flush_seconds, self.threads = capacity, flush_seconds, threads
        self.source = f"zorvsdk://{locator or 'device'}"
        self.writer: NexusWriter | None = None
        self.faulted: BaseException | None = None  # a device error since the device was opened
        self.last: StepReading | None = None
        self.exposures = 1  # acquisitions per start, as prepared
        self.deadtime = 0.0
        self.interrupted = False
        self.steps_written, self._set_steps_written = soft_signal_r_and_setter(int, 0)
        self._readings: list[StepReading] = []  # the steps of the run's file, recorded or not yet
        self._recorded = 0  # of those, the steps in the file's table
        self._task: asyncio.Task[None] | None = None
        self._stop = asyncio.Event()

    # -- SDK calls ------------------------------------------------------------------------------

    async def call(self, fn: Callable[..., T], *args: Any) -> T:
        """An SDK call (or a few, in a function) on a thread. A device error is remembered, so that
        unstage closes the device; a value the device refused is not one."""
        try:
            return await in_thread(lambda: fn(*args))
        except ZorvSdkInvalidArgumentError:
            raise
        except ZorvSdkException as e:
            self.faulted = e
            raise

    # -- stage and unstage ----------------------------------------------------------------------

    async def ready(self) -> None:
        """At stage: no step under way, the device open (again, after a device error) and in the
        readout mode."""
        await self.stop()
        device = self.device
        if self.faulted is not None or not await self.call(device.isOpened):
            if self.locator is None:
                raise RuntimeError("the detector's device is closed (after a device error?): open it again, or give "
                                   "the detector its locator so that stage can")
            if await in_thread(device.isOpened):
                await in_thread(device.close)
            await self.call(device.open, self.locator)
            self.faulted = None
        await self.call(device.chip.selectMode, self.mode)

    async def shut(self) -> None:
        """At unstage: the step under way stopped, and after a device error the device closed."""
        await self.stop()
        if self.faulted is not None and await in_thread(self.device.isOpened):
            await in_thread(self.device.close)

    # -- the run's file -------------------------------------------------------------------------

    async def open_file(self, path: Path) -> NexusWriter:
        """Makes the run's NeXus file and registers its writer for the channel."""
        await self.close_file()  # a file of an earlier prepare of the same run
        if path.exists():
            raise FileExistsError(f"{path} exists: a run's file is never replaced (a filename provider that names "
                                  "each run anew, such as UUIDFilenameProvider, avoids this)")
        if not path.parent.is_dir():
            raise FileNotFoundError(f"no directory {path.parent} to write the run's file into")
        device, mode, channel, locator = self.device, self.mode, self.channel, self.locator

        def make() -> NexusWriter:
            width, height = device.config.getMaskSize()
            described = [d for d in device.enumerate() if d.connectionString == locator] if locator else []
            started = datetime.datetime.now(datetime.timezone.utc)
            attrs = {**(described[0]._asdict() if described else {}), "sdkVersion": list(getRuntimeVersion()),
                     "zorvsdk": zorvsdk.__version__, "mode": mode, "channel": channel, "width": width,
                     "height": height, "startTime": started.isoformat()}
            return NexusWriter(path, width=width, height=height, mode=mode, attrs=attrs, settings=read_settings(device),
                               capacity=self.capacity, flush_seconds=self.flush_seconds, threads=self.threads,
                               start_time=started, steps=True)

        writer = await self.call(make)
        try:
            await self.call(device.acq.setDataCallback, channel, writer.sink)
        except BaseException:
            await in_thread(writer.abandon)
            raise
        self.writer, self.last, self.interrupted = writer, None, False
        self._readings, self._recorded = [], 0
        self._set_steps_written(0)
        return writer

    async def close_file(self) -> None:
        """Finishes the run's file, after the step under way: every hit held is written, then the
        maps and the totals. Raises OSError if writing failed (the file keeps what it flushed)."""
        await self.stop()
        writer, self.writer = self.writer, None
        if writer is None:
            return
        await self.record(writer, len(self._readings))  # steps taken, whether announced or not
        totals = {"steps": len(writer.steps), "seconds": float(sum(r.seconds for r in self._readings)),
                  "deliveries": writer.delivered, "hits": writer.hits, "droppedDeliveries": writer.dropped,
                  "outsideHits": int(writer.sink.outside), "interrupted": self.interrupted}
        self._readings = []
        await in_thread(lambda: writer.close(totals))

    async def record(self, writer: NexusWriter, steps: int) -> None:
        """Adds the rows of the run's first `steps` steps to the file's table (those not yet in it)."""
        for reading in self._readings[self._recorded:steps]:
            await in_thread(lambda: writer.record_step(reading.step))
            self._recorded += 1

    # -- steps ----------------------------------------------------------------------------------

    async def start(self, seconds: float) -> None:
        """Starts the prepared number of steps, one after the other, on a task of their own; the
        steps written count them as each one's hits reach the file."""
        await self.stop()  # a trigger that the RunEngine left behind (a pause) ends first
        if self.writer is None:
            raise RuntimeError("the detector has no file open: prepare it first")
        self._stop.clear()
        first = len(self._readings)
        self._task = asyncio.create_task(self._steps(self.writer, seconds, first, first + self.exposures))

    async def idle(self) -> None:
        """Waits for the steps started; raises what made them fail."""
        if self._task is not None:
            await asyncio.shield(self._task)

    async def pause(self) -> None:
        """The RunEngine pauses: it will take again, from its last checkpoint, what it has not yet
        read. The acquisition under way is aborted, and the steps taken but not announced are set
        aside: their hits stay in the file, in no row of its table."""
        await self.stop()
        del self._readings[self._recorded:]
        self._set_steps_written(len(self._readings))

    async def stop(self) -> None:
        """Stops the steps under way: the acquisition is aborted, its hits left in no step."""
        task = self._task
        if task is None:
            return
        self._stop.set()
        done, _ = await asyncio.wait([task], timeout=STOP_TIMEOUT)
        if not done:
            task.cancel()
            await asyncio.wait([task])
        if not task.cancelled():
            task.exception()  # already raised to the plan, or not wanted any more
        if self._task is task:
            self._task = None

    async def _steps(self, writer: NexusWriter, seconds: float, first: int, target: int) -> None:
        written = first
        try:
            for n in range(target - first):
                if n and self.deadtime:
                    await asyncio.sleep(self.deadtime)
                if self._stop.is_set():
                    break
                reading = await self._take(writer, seconds)
                if reading.stopped:  # cut short: not a step of the scan
                    self.interrupted = True
                    break
                self.last = reading
                self._readings.append(reading)
                written = len(self._readings)
                self._set_steps_written(written)
        finally:
            if written < target:
                # Those who wait for the steps (the detector's trigger and complete) look only at
                # this count: reaching the target lets them go on to wait for this task, which
                # raises what failed. The count goes back at once to what the file holds.
                self._set_steps_written(target)
                self._set_steps_written(written)

    async def _take(self, writer: NexusWriter, seconds: float) -> StepReading:
        try:
            ran, stopped = await self._acquire(writer, seconds)
        finally:
            step = await in_thread(writer.end_step)  # a failed step's hits stay in the file, in no row
        deadline = time.monotonic() + WRITE_TIMEOUT
        while not writer.step_written(step):  # announced only once its hits are in the file
            if writer.error is not None:
                raise OSError(f"{writer.path}: {writer.error}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"{writer.path}: the hits of a step did not reach the file within "
                                   f"{WRITE_TIMEOUT:g} s")
            await asyncio.sleep(POLL)
        pixels = writer.width * writer.height
        on_detector = await in_thread(lambda: sum(int(np.count_nonzero(ids < pixels))
                                                  for ids in writer.step_event_ids(step)))
        return StepReading(step, ran, on_detector, stopped, time.time())

    async def _acquire(self, writer: NexusWriter, seconds: float) -> tuple[float, bool]:
        """One acquisition: begun, then ended by the device itself, or aborted once `seconds` have
        passed, the writer failed, or a stop came. Returns its seconds and whether a stop cut it
        short."""
        acq, channel, stop = self.device.acq, self.channel, self._stop
        await self.call(acq.begin, channel)
        start = time.monotonic()
        ended = asyncio.ensure_future(self.call(acq.end, channel))
        stopping = asyncio.ensure_future(stop.wait())
        try:
            while not ended.done() and not stop.is_set() and writer.error is None:
                left = start + seconds - time.monotonic()
                if left <= 0:
                    break
                await asyncio.wait([ended, stopping], timeout=min(left, BEAT), return_when=asyncio.FIRST_COMPLETED)
                self._set_steps_written(len(self._readings))  # still at it: those who wait keep waiting
        finally:
            stopping.cancel()
            if not ended.done():
                await self.call(acq.abort, channel)
            elif ended.exception() is not None:  # the wait failed: the acquisition may go on
                with contextlib.suppress(ZorvSdkException):
                    await self.call(acq.abort, channel)
            try:
                await asyncio.wait_for(asyncio.shield(ended), END_TIMEOUT)
            except TimeoutError:
                self.faulted = TimeoutError(f"the acquisition on {channel!r} did not end within {END_TIMEOUT:g} s "
                                            "of its abort")
                raise self.faulted from None
        if writer.error is not None:
            raise OSError(f"{writer.path}: {writer.error}")
        return time.monotonic() - start, stop.is_set()


# ---------------------------------------------------------------------------------------------
# Signals over the device


class DeviceBackend(SignalBackend[SignalDatatypeT], Generic[SignalDatatypeT]):
    """A value of the device, read and written by SDK calls off the event loop; its limits are read
    from the device when the signal connects, and a monitored value is read every half second."""

    def __init__(self, datatype: type[SignalDatatypeT], source: str, read: Callable[[], Awaitable[SignalDatatypeT]],
                 write: Callable[[SignalDatatypeT], Awaitable[None]] | None = None, *, units: str | None = None,
                 precision: int | None = None, limits: Callable[[], Awaitable[Range | None]] | None = None):
        super().__init__(datatype)
        self._source, self._read, self._write, self._limits = source, read, write, limits
        self.metadata: SignalMetadata = {}
        if units is not None:
            self.metadata["units"] = units
        if precision is not None:
            self.metadata["precision"] = precision
        self._reading: Reading[SignalDatatypeT] | None = None
        self._setpoint: SignalDatatypeT | None = None
        self._callback: Callback[Reading[SignalDatatypeT]] | None = None
        self._monitor: asyncio.Task[None] | None = None

    def source(self, name: str, read: bool) -> str:
        return self._source

    async def connect(self, timeout: float) -> None:
        if self._limits is not None and (limits := await self._limits()) is not None:
            low, high = limits
            self.metadata["limits"] = {"control": {"low": low, "high": high}, "display": {"low": low, "high": high}}
        self._setpoint = (await self._update())["value"]

    async def put(self, value: SignalDatatypeT | None) -> None:
        if self._write is None:
            raise TypeError(f"{self._source} is read-only")
        if value is None:
            raise ValueError(f"{self._source} needs a value")
        await self._write(value)
        self._setpoint = value
        await self._update()

    async def _update(self) -> Reading[SignalDatatypeT]:
        self._reading = Reading(value=await self._read(), timestamp=time.time(), alarm_severity=0)
        if self._callback is not None:
            self._callback(self._reading)
        return self._reading

    async def get_datakey(self, source: str) -> DataKey:
        reading = self._reading or await self._update()
        return make_datakey(self.datatype or float, reading["value"], source, self.metadata)

    async def get_reading(self) -> Reading[SignalDatatypeT]:
        return await self._update()

    async def get_value(self) -> SignalDatatypeT:
        return (await self._update())["value"]

    async def get_setpoint(self) -> SignalDatatypeT:
        return (await self.get_value()) if self._setpoint is None else self._setpoint

    def set_callback(self, callback: Callback[Reading[SignalDatatypeT]] | None) -> None:
        if self._monitor is not None:
            self._monitor.cancel()
            self._monitor = None
        self._callback = callback
        if callback is not None:
            if self._reading is not None:
                callback(self._reading)
            self._monitor = asyncio.create_task(self._follow())

    async def _follow(self) -> None:
        while True:
            try:
                await self._update()
            except Exception:  # the next reading may do; a read that fails says why
                pass
            await asyncio.sleep(MONITOR)


def check_within(what: str, value: float, low: float, high: float, unit: str) -> float:
    value = float(value)
    if not (math.isfinite(value) and low <= value <= high):
        raise ValueError(f"{what}: {value:g} {unit} is outside the device's range [{low:g}, {high:g}] {unit}")
    return value


# ---------------------------------------------------------------------------------------------
# The logics of the detector


class ZorvTriggerLogic(DetectorTriggerLogic):
    """Internal triggering: each exposure is one acquisition of ``acquire_time`` seconds (or less,
    when the device ends it by itself), the next one begun at once after its hits are written, or
    ``deadtime`` seconds later."""

    def __init__(self, session: Session, acquire_time: SignalRW[float]) -> None:
        self.session, self.acquire_time = session, acquire_time

    async def prepare_internal(self, num: int, livetime: float, deadtime: float) -> None:
        if livetime:
            await self.acquire_time.set(livetime)
        self.session.exposures, self.session.deadtime = num, deadtime

    async def default_trigger_info(self) -> TriggerInfo:
        return TriggerInfo(livetime=await self.acquire_time.get_value())


class ZorvAcquireLogic(DetectorAcquireLogic):
    def __init__(self, session: Session, acquire_time: SignalRW[float]) -> None:
        self.session, self.acquire_time = session, acquire_time

    async def ensure_ready(self) -> None:
        await self.session.ready()

    async def start_acquiring(self) -> None:
        await self.session.start(await self.acquire_time.get_value())

    async def wait_for_idle(self) -> None:
        await self.session.idle()

    async def ensure_stopped(self) -> None:
        await self.session.shut()


class StepsProvider(StreamResourceDataProvider):
    """The StreamResource of the run's steps table and a StreamDatum per step, for the steps
    whose hits are in the file."""

    def __init__(self, session: Session, writer: NexusWriter, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.session, self.writer = session, writer

    async def make_datakeys(self, collections_per_event: int) -> dict[str, DataKey]:
        keys = await super().make_datakeys(collections_per_event)
        for key in keys.values():
            key["dtype"] = "array"  # an event range: [first, end)
        return keys

    async def make_stream_docs(self, collections_written: int,
                               collections_per_event: int) -> AsyncIterator[StreamAsset]:
        # A step is put in the file's table when it is announced, so that the rows are the steps
        # of the documents: a step the RunEngine takes again after a pause has one row.
        await self.session.record(self.writer, collections_written)
        rows = len(self.writer.steps)  # no more than the table has, whatever the count says
        async for doc in super().make_stream_docs(min(collections_written, rows), collections_per_event):
            yield doc


@dataclass
class NexusDataLogic(DetectorDataLogic):
    """The run's NeXus file: made at the first prepare of a run, finished at unstage."""

    session: Session
    path_provider: PathProvider
    datakey_suffix: str = "-events"

    async def prepare_unbounded(self, datakey_name: str) -> StepsProvider:
        info = self.path_provider(datakey_name)
        filename = f"{info.filename}.h5"
        writer = await self.session.open_file(Path(info.directory_path) / filename)
        table = f"/{writer.steps_path}/event_range"
        resource = StreamResourceInfo(data_key=datakey_name, shape=(2,), chunk_shape=(STEP_CHUNK, 2),
                                      dtype_numpy=np.dtype(np.int64).str, parameters={"dataset": table})
        return StepsProvider(self.session, writer, uri=f"{info.directory_uri}{filename}", resources=[resource],
                             mimetype="application/x-hdf5", collections_written_signal=self.session.steps_written)

    async def stop(self) -> None:
        await self.session.close_file()


class StepReadings(ReadableDataProvider):
    """The readings of the last step, and the device values read at the end of it (the detector's
    own settable signals among them: a plan that moves one of them reads the detector only)."""

    def __init__(self, name: str, session: Session, signals: Sequence[SignalR[float]]) -> None:
        self.name, self.session, self.signals = name, session, signals

    async def make_datakeys(self) -> dict[str, DataKey]:
        keys: dict[str, DataKey] = {
            f"{self.name}-{field}": DataKey(source=f"{self.session.source}/{self.session.channel}/{field}", shape=[],
                                            dtype="integer" if kind is int else "number",
                                            dtype_numpy=np.dtype(kind).str, units=units)
            for field, kind, units, _ in STEP_FIELDS}
        for signal in self.signals:
            keys.update(await signal.describe())
        return keys

    async def make_readings(self) -> dict[str, Reading[Any]]:
        last = self.session.last
        if last is None:
            raise RuntimeError("no step was taken: trigger the detector first")
        readings: dict[str, Reading[Any]] = {
            f"{self.name}-{field}": Reading(value=kind(get(last)), timestamp=last.time, alarm_severity=0)
            for field, kind, _, get in STEP_FIELDS}
        for signal in self.signals:
            readings.update(await signal.read(cached=False))
        return readings


@dataclass
class StepReadingsLogic(DetectorDataLogic):
    session: Session
    signals: Sequence[SignalR[float]]

    async def prepare_single(self, datakey_name: str) -> StepReadings:
        return StepReadings(datakey_name, self.session, self.signals)

    def get_hinted_fields(self, datakey_name: str) -> Sequence[str]:
        return [f"{datakey_name}-hits"]


# ---------------------------------------------------------------------------------------------
# The detector


class ZorvDetector(StandardDetector):
    """An ophyd-async detector over an open :class:`~zorvsdk.zorv.Device`.

    Args:
        device: The open device (its thresholds, supplies and channels are listed here, their
            ranges when the detector connects).
        path_provider: Names the run's NeXus file (``<filename>.h5`` in its directory). A file is
            never replaced: give each run a new name (``UUIDFilenameProvider``).
        locator: The device's connection string: stage opens the device again with it after a
            device error closed it.
        channel: The acquisition channel (the device's first by default).
        mode: The readout mode at the start (``readout_mode`` changes it between runs).
        bias_supply: The supply that biases the sensor (the device's first by default).
        cooler: The cooler whose temperature is read (the device's first by default).
        bias_tolerance: Volts from its set point at which the bias counts as reached.
        capacity: Hits held between the SDK's threads and the file (16 bytes each); a delivery that
            finds no room is dropped whole and counted.
        flush_seconds: Seconds between two flushes of the file: a step's hits are announced once
            they are in it.
        threads: The writer's threads (None: one per core).
        name: The detector's name.

    Signals:
        threshold: Every calibrated threshold at once (keV); it reads their mean, and its limits are
            the range they all accept.
        thresholds: Each calibrated threshold by itself (keV), keyed by its index among
            ``device.chip.getThresholdIds()``; uncalibrated thresholds stay as they are.
        bias: The set point of the sensor's bias (V): a set waits until the read-back is within
            ``bias_tolerance`` of it.
        bias_readback: The bias supply's voltage (V).
        temperature: The cooler's actual temperature, in its unit.
        acquire_time: Seconds of each acquisition (the device may end one sooner by itself).
        readout_mode: The readout mode; it cannot change while a run's file is open.
        steps_written: Steps of the run whose hits are in the file.
    """

    def __init__(self, device: Device, path_provider: PathProvider, *, locator: str | None = None,
                 channel: str | None = None, mode: ReadoutMode | str = ReadoutMode.DD_TOA_TOT,
                 bias_supply: str | None = None, cooler: str | None = None, bias_tolerance: float = 0.1,
                 capacity: int = 1 << 23, flush_seconds: float = 1.0, threads: int | None = None,
                 name: str = "") -> None:
        if not device.isOpened():
            raise ValueError("the device is not open: open it before making its detector")
        chip = device.chip
        channels = device.acq.getChannelIds()
        channel = channel or (channels[0] if channels else None)
        if channel not in channels:
            raise ValueError(f"no channel {channel!r} (the device's channels: {', '.join(channels) or 'none'})")
        mode = ReadoutMode(mode)
        session = self._session = Session(device, locator, channel, mode.value, capacity=capacity,
                                          flush_seconds=flush_seconds, threads=threads)
        source, call = session.source, session.call

        thresholds = chip.getThresholdIds()
        calibrated = [t for t in thresholds if chip.isThresholdCalibrated(t)]

        async def common_range() -> Range | None:
            if not calibrated:
                return None
            ranges = await call(lambda: [chip.getThresholdRange(t) for t in calibrated])
            return max(r.min for r in ranges), min(r.max for r in ranges)

        def none_calibrated() -> ValueError:
            return ValueError("no threshold of the device is calibrated: none has a value in keV")

        async def mean_threshold() -> float:
            if not calibrated:
                raise none_calibrated()
            values = await call(lambda: [chip.getThreshold(t) for t in calibrated])
            return float(np.mean(values))

        async def set_thresholds(kev: float) -> None:
            accepted = await common_range()
            if accepted is None:
                raise none_calibrated()
            kev = check_within("threshold", kev, *accepted, "keV")

            def set_all() -> None:
                for t in calibrated:
                    chip.setThreshold(t, kev)

            await call(set_all)

        self.threshold = SignalRW(DeviceBackend(float, f"{source}/thresholds", mean_threshold, set_thresholds,
                                                units="keV", precision=3, limits=common_range))
        self.thresholds = DeviceVector({i: self._threshold_signal(session, t) for i, t in enumerate(thresholds)
                                        if t in calibrated})

        supplies = device.bias.getBiasIds()
        supply = bias_supply or (supplies[0] if supplies else None)
        if supply not in supplies:
            raise ValueError(f"no bias supply {supply!r} (the device's supplies: {', '.join(supplies) or 'none'})")

        async def bias_range() -> Range:
            r = await call(device.bias.getBiasRange, supply)
            return r.min, r.max

        async def read_bias() -> float:
            return await call(device.bias.getBias, supply)

        setpoint: list[float] = []  # the SDK reports the read-back only: the set point is the last one set

        async def read_setpoint() -> float:
            if not setpoint:
                setpoint.append(await read_bias())
            return setpoint[0]

        async def set_bias(volts: float) -> None:
            low, high = await bias_range()
            volts = check_within(f"bias {supply}", volts, low, high, "V")
            await call(device.bias.setBias, supply, volts)
            setpoint[:] = [volts]
            # The supply ramps: the set is done once the read-back is there.
            nearest, since = math.inf, time.monotonic()
            while (off := abs(await read_bias() - volts)) > bias_tolerance:
                if off < nearest - bias_tolerance / 2:
                    nearest, since = off, time.monotonic()
                elif time.monotonic() - since > BIAS_STALL:
                    raise TimeoutError(f"bias {supply}: the read-back stays {off:.3g} V from the set point "
                                       f"{volts:g} V (no nearer for {BIAS_STALL:g} s)")
                await asyncio.sleep(POLL * 5)

        self.bias = SignalRW(DeviceBackend(float, f"{source}/bias/{supply}", read_setpoint, set_bias, units="V",
                                           precision=2, limits=bias_range), timeout=None)
        self.bias_readback = SignalR(DeviceBackend(float, f"{source}/bias/{supply}", read_bias, units="V",
                                                   precision=2, limits=bias_range))

        coolers = device.cooling.getIds()
        cooler = cooler or (coolers[0] if coolers else None)
        if cooler not in coolers:
            raise ValueError(f"no cooler {cooler!r} (the device's coolers: {', '.join(coolers) or 'none'})")
        unit = device.cooling.getValueUnit(cooler)

        async def temperature_limits() -> Range:
            r = await call(device.cooling.getLimits, cooler)
            return r.min, r.max

        async def read_temperature() -> float:
            return await call(device.cooling.getActualTemperature, cooler)

        self.temperature = SignalR(DeviceBackend(float, f"{source}/cooling/{cooler}", read_temperature,
                                                 units=UNITS.get(unit, unit), precision=2, limits=temperature_limits))

        def positive(seconds: float | None) -> None:
            if seconds is None or not (math.isfinite(seconds) and seconds > 0):
                raise ValueError(f"the acquisition time is a number of seconds above 0, not {seconds!r}")

        self.acquire_time = soft_signal_rw(float, 1.0, units="s", precision=3, setter=positive)

        async def select(value: ReadoutMode | None) -> None:
            new = ReadoutMode(value or mode)
            if session.writer is not None:
                raise RuntimeError("the readout mode cannot change while a run's file is open: its layout follows "
                                   "the mode")
            if new.value not in await call(chip.getModeIds):
                raise ValueError(f"the device has no readout mode {new.value!r}")
            await call(chip.selectMode, new.value)
            session.mode = new.value

        self.readout_mode = soft_signal_rw(ReadoutMode, mode, setter=select)
        self.steps_written = session.steps_written

        self.add_detector_logics(ZorvTriggerLogic(session, self.acquire_time),
                                 ZorvAcquireLogic(session, self.acquire_time),
                                 NexusDataLogic(session, path_provider),
                                 StepReadingsLogic(session, [self.threshold, self.bias, self.bias_readback,
                                                             self.temperature]))
        self.add_config_signals(self.acquire_time, self.readout_mode)
        super().__init__(name=name)

    @staticmethod
    def _threshold_signal(session: Session, threshold: str) -> SignalRW[float]:
        chip = session.device.chip

        async def limits() -> Range:
            r = await session.call(chip.getThresholdRange, threshold)
            return r.min, r.max

        async def read() -> float:
            return await session.call(chip.getThreshold, threshold)

        async def write(kev: float) -> None:
            low, high = await limits()
            await session.call(chip.setThreshold, threshold, check_within(threshold, kev, low, high, "keV"))

        return SignalRW(DeviceBackend(float, f"{session.source}/thresholds/{threshold}", read, write, units="keV",
                                      precision=3, limits=limits))

    async def pause(self) -> None:
        """The RunEngine pauses (Ctrl-C): the acquisition under way stops; what the detector took
        since its last reading is taken again after the resume."""
        await self._session.pause()

    async def resume(self) -> None:
        """The RunEngine resumes: the next trigger or kickoff acquires anew."""

    @property
    def channel(self) -> str:
        """The acquisition channel."""
        return self._session.channel

    @property
    def writer(self) -> NexusWriter | None:
        """The run's NeXus file while it is open."""
        return self._session.writer
