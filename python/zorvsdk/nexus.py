"""NeXus event files, written at the detector's rate by native threads.

A :class:`NexusWriter` makes a NeXus file with h5py (an ``NXentry`` holding an ``NXinstrument`` with
one ``NXdetector``, whose ``NXevent_data`` receives the hits) and a native sink,
:class:`zorvsdk.sinks.Writer`, that appends every delivery to it: the SDK's thread copies the
delivery, and threads of the writer encode, compress (Blosc2, through hdf5plugin's filter) and write
it, with the interpreter lock released. The file is flushed at least once a second in HDF5's
single-writer/multiple-reader (SWMR) mode, so that a crash leaves it readable with every hit up to
the last flush::

    from zorvsdk.nexus import NexusWriter

    writer = NexusWriter("run.h5", width=512, height=512, mode="0:tpx3-dd-toa-tot")
    device.acq.setDataCallback("ch0", writer.sink)
    device.acq.begin("ch0")
    device.acq.end("ch0")
    writer.close({"hits": writer.hits})      # writes the maps and the attributes given

Reading the file needs ``import hdf5plugin`` before h5py opens it (the chunks are Blosc2 frames).
The layout is described in docs/nexus.md.
"""

from __future__ import annotations

import datetime
import glob
import importlib.util
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from zorvsdk._libraries import mapped

if TYPE_CHECKING:
    from collections.abc import Iterator

    from numpy.typing import NDArray

__all__ = ["NexusWriter", "Step", "HIT_MODES", "PIXEL_SIZE", "EVENT_ID_FILL", "libraries"]

PIXEL_SIZE = 55e-6
"""The pixel pitch in metres assumed for the pixel offsets. The device reports no pitch, and its
chips of 256 x 256 pixels lie side by side without gaps; pass ``pixel_size=`` for another."""

EVENT_ID_FILL = 0xFFFFFFFF
"""The event_id of hits past the last flush that a crash may leave in the file (no pixel has it)."""

HIT_MODES = ("0:tpx3-dd-toa-tot", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot",
             "0:tpx3-seq-toa-tot-vec")
"""The readout modes whose deliveries are hits with a pixel address, a ToA and a ToT."""

STEP_CHUNK = 1024
STEP_COLUMNS: tuple[tuple[str, int, type[np.generic], str], ...] = (
    ("event_range", 2, np.int64, "the step's hits: [first, end) of the per-hit datasets of event_data"),
    ("pulse_range", 2, np.int64, "the step's deliveries: [first, end) of event_index and event_time_zero"),
    ("dropped", 0, np.uint64, "deliveries dropped in the step: the writer had no room for them"),
)


class Step(NamedTuple):
    """One step of a file recorded in steps: its hits [first_hit, end_hit) and its deliveries
    [first_delivery, end_delivery) in the file, and the deliveries it dropped."""

    first_hit: int
    end_hit: int
    first_delivery: int
    end_delivery: int
    dropped: int

    @property
    def hits(self) -> int:
        return self.end_hit - self.first_hit

    @property
    def deliveries(self) -> int:
        return self.end_delivery - self.first_delivery


TOT_DESCRIPTION = "time over threshold (ToT) of the hit, in ticks of the chip"
TDC_DESCRIPTION = "time stamps of TDC input {}, ns on the device's clock"


def libraries() -> tuple[str, str]:
    """The paths of the HDF5 library that h5py loaded and of the Blosc2 library of the blosc2
    package: the native writer uses these very libraries."""
    global _libraries
    if _libraries is None:
        _libraries = _find_libraries()
    return _libraries


_libraries: tuple[str, str] | None = None


def _find_libraries() -> tuple[str, str]:
    import h5py  # type: ignore[import-untyped,unused-ignore]

    h5py.h5.get_libversion()  # loaded
    hdf5 = mapped(r"libhdf5(?!_hl)[-.]")
    if hdf5 is None:
        raise ImportError("the HDF5 library that h5py uses is not mapped into this process")
    spec = importlib.util.find_spec("blosc2")
    if spec is None or not spec.submodule_search_locations:
        raise ImportError("the package blosc2 is needed to write NeXus files: pip install blosc2")
    found = sorted(glob.glob(os.path.join(spec.submodule_search_locations[0], "lib", "libblosc2.so*")))
    if not found:
        raise ImportError(f"the package blosc2 at {spec.submodule_search_locations[0]} ships no libblosc2.so")
    return hdf5, found[0]


def _blosc2_filter(level: int, bitshuffle: bool) -> dict[str, Any]:
    import hdf5plugin  # type: ignore[import-untyped,unused-ignore]

    return dict(hdf5plugin.Blosc2(cname="lz4", clevel=level,
                                  filters=hdf5plugin.Blosc2.BITSHUFFLE if bitshuffle else hdf5plugin.Blosc2.SHUFFLE))


class NexusWriter:
    """A NeXus file receiving the hits of one detector, and the sink that writes them.

    Args:
        path: The file to make (replaced if it exists).
        width, height: The detector's size in pixels (``device.config.getMaskSize()``).
        mode: The readout mode, one of the ToA/ToT modes.
        attrs: Attributes of the file's root (the device, the settings' context).
        settings: Groups of attributes (DACs, thresholds, ...), written under the detector's
            ``settings`` collection.
        name: The NXdetector's name in the NXinstrument.
        instrument: The NXinstrument's ``name``.
        pixel_size: The pixel pitch in metres (:data:`PIXEL_SIZE` by default).
        capacity: Hits held between the SDK's threads and the file; a delivery that finds no room
            is dropped whole and counted.
        chunk_events: Hits per chunk of the per-hit datasets.
        threads: Threads that encode and compress (None: one per core).
        flush_seconds: Seconds between two flushes, at most 1.
        level: LZ4's compression level.
        start_time: The acquisition's start (now by default).
        deliveries: The most deliveries to write; later ones are let go (None: no limit).
        steps: Record the file in steps (several acquisitions one after the other, as a scan
            takes them): a table of the hits and deliveries of each step (:meth:`end_step`,
            :meth:`record_step`).
        clusters: Keep a table of clusters (``entry/clusters``), appended to by
            :meth:`append_clusters` while the hits are written.
    """

    def __init__(self, path: str | os.PathLike[str], *, width: int, height: int, mode: str,
                 attrs: dict[str, Any] | None = None, settings: dict[str, dict[str, Any]] | None = None,
                 name: str = "detector", instrument: str = "", pixel_size: float = PIXEL_SIZE,
                 capacity: int = 1 << 23, chunk_events: int = 1 << 16, chunk_pulses: int = 1 << 14,
                 threads: int | None = None, flush_seconds: float = 0.5, level: int = 5,
                 start_time: datetime.datetime | None = None, deliveries: int | None = None,
                 steps: bool = False, clusters: bool = False) -> None:
        import h5py  # type: ignore[import-untyped,unused-ignore]
        import hdf5plugin  # type: ignore[import-untyped,unused-ignore]  # noqa: F401  (registers the Blosc2 filter)

        from zorvsdk import dtypes, sinks

        if mode not in HIT_MODES:
            raise ValueError(f"{mode!r} is not a readout mode of hits with a ToA and a ToT")
        self.path = Path(path)
        self._detector = f"entry/instrument/{name}"
        self.steps_path = f"{self._detector}_steps"
        """The steps table's group (with ``steps=True``)."""
        self.width, self.height = int(width), int(height)
        if self.width * self.height > 1 << 32:  # refused before the pixel maps are made
            raise ValueError(f"a detector of {self.width} x {self.height} pixels is beyond 32-bit pixel addresses")
        # A chunk of hits is written (and its room in memory freed) once it is whole: four fit in
        # the memory held, so that deliveries go on arriving while one is written.
        chunk_events = max(1, min(chunk_events, capacity // 4))
        self._metadata = mode in dtypes.METADATA_MODES
        self._steps: dict[str, Any] = {}
        self.steps: list[Step] = []
        """The steps recorded so far (:meth:`record_step`), the table's rows."""
        self._step_ends = (0, 0, 0)  # hits, deliveries and dropped deliveries at the last step's end
        hdf5, blosc2 = libraries()
        self._start = start_time or datetime.datetime.now(datetime.timezone.utc)
        self._file = h5py.File(self.path, "w", libver="latest")
        try:
            self._layout(self._file, attrs or {}, settings or {}, name, instrument, pixel_size, mode,
                         chunk_events, chunk_pulses, level)
            if steps:
                self._steps_layout(_group(self._file, self.steps_path, "NXcollection"))
            self._clusters = self._clusters_layout(level) if clusters else {}
            self._file.swmr_mode = True
            ids = [self._file.id.id] + [d.id.id if d is not None else -1 for d in self._appended]
            self.sink = sinks.Writer(ids, self.width, self.height, hdf5, blosc2, h5py._objects.phil,
                                     capacity=capacity, chunk_events=chunk_events, chunk_pulses=chunk_pulses,
                                     chunk_stamps=chunk_pulses, threads=threads, flush_seconds=flush_seconds,
                                     level=level, deliveries=deliveries)
        except BaseException:
            self._file.close()
            raise
        self.counts: NDArray[np.uint64] | None = None
        self.tot: NDArray[np.uint64] | None = None

    # -- the layout ---------------------------------------------------------------------------

    def _layout(self, f: Any, attrs: dict[str, Any], settings: dict[str, dict[str, Any]], name: str,
                instrument: str, pixel_size: float, mode: str, chunk_events: int, chunk_pulses: int,
                level: int) -> None:
        import zorvsdk

        f.attrs.update({"NX_class": "NXroot", "default": "entry", "file_name": os.fspath(self.path.name),
                        "file_time": self._start.isoformat(), "creator": f"zorvsdk {zorvsdk.__version__}"})
        f.attrs.update(attrs)
        entry = _group(f, "entry", "NXentry")
        entry["start_time"] = self._start.isoformat()
        entry["title"] = f"{mode} acquisition"
        inst = _group(entry, "instrument", "NXinstrument")
        inst["name"] = instrument or str(attrs.get("product", ""))
        det = _group(inst, name, "NXdetector")
        rows, columns = np.mgrid[0:self.height, 0:self.width]
        det.create_dataset("detector_number", data=(rows * self.width + columns).astype(np.uint32),
                           chunks=True, **_blosc2_filter(level, True))
        for axis, index in (("x", columns), ("y", rows)):
            ds = det.create_dataset(f"{axis}_pixel_offset", data=(index + 0.5) * pixel_size, chunks=True,
                                    **_blosc2_filter(level, False))
            ds.attrs["units"] = "m"
        det["x_pixel_size"], det["y_pixel_size"] = pixel_size, pixel_size
        det["x_pixel_size"].attrs["units"] = det["y_pixel_size"].attrs["units"] = "m"
        for key, field in (("product", "local_name"), ("serialNumber", "serial_number"), ("manufacturer", "type")):
            if key in attrs:
                det[field] = str(attrs[key])
        det["description"] = f"{self.width} x {self.height} pixels, pixel id y * {self.width} + x"
        # Beside the detector rather than in it: scippnexus loads an NXdetector as pixels only when
        # every child fits its pixel dimensions.
        group = _group(inst, f"{name}_settings", "NXcollection")
        for key, values in settings.items():
            _group(group, key, "NXcollection").attrs.update(values)

        events = _group(det, "event_data", "NXevent_data")

        def extensible(parent: Any, key: str, dtype: Any, chunk: int, units: str | None, bitshuffle: bool,
                       **extra: Any) -> Any:
            ds = parent.create_dataset(key, shape=(0,), maxshape=(None,), dtype=dtype, chunks=(chunk,),
                                       **_blosc2_filter(level, bitshuffle), **extra)
            if units:
                ds.attrs["units"] = units
            return ds

        eid = extensible(events, "event_id", np.uint32, chunk_events, None, True, fillvalue=EVENT_ID_FILL)
        eto = extensible(events, "event_time_offset", np.int64, chunk_events, "ns", False)
        tot = extensible(events, "event_tot", np.uint32, chunk_events, None, True)
        tot.attrs["long_name"] = TOT_DESCRIPTION
        etz = extensible(events, "event_time_zero", np.int64, chunk_pulses, "ns", False)
        etz.attrs["long_name"] = ("the delivery's shutter time, ns on the device's clock" if self._metadata else
                                  "the ToA of the delivery's first hit, ns on the device's clock")
        index = extensible(events, "event_index", np.int64, chunk_pulses, None, False)
        tdcs: list[Any] = [None] * 3
        if self._metadata:
            stamps = _group(inst, f"{name}_tdc", "NXcollection")
            for i in range(3):
                tdcs[i] = extensible(stamps, f"tdc{i}", np.int64, chunk_pulses, "ns", False)
                tdcs[i].attrs["long_name"] = TDC_DESCRIPTION.format(i)
        self._appended = [eid, eto, tot, etz, index, *tdcs]

    def _steps_layout(self, group: Any) -> None:
        group.attrs["description"] = ("the steps of a scan, one row each: its hits are event_range [first, end) of "
                                      "event_data's per-hit datasets, its deliveries pulse_range [first, end) of "
                                      "event_index and event_time_zero; hits in no row are those of acquisitions "
                                      "cut short")
        for key, columns, dtype, text in STEP_COLUMNS:
            shape = (0, columns) if columns else (0,)
            ds = group.create_dataset(key, shape=shape, maxshape=(None, *shape[1:]), dtype=dtype,
                                      chunks=(STEP_CHUNK, *shape[1:]))
            ds.attrs["long_name"] = text
            self._steps[key] = ds

    def _clusters_layout(self, level: int) -> dict[str, Any]:
        from zorvsdk import dtypes

        group = _group(self._file, CLUSTERS_PATH, "NXcollection")
        group.attrs["description"] = ("clusters of hits neighbouring in space and time (particles), one per row, in "
                                      "the order they closed; x and y are pixel coordinates of the detector, the "
                                      "centre of the pixel in column x and row y at (x, y)")
        out = {}
        for field, key, units, text in CLUSTER_COLUMNS:
            ds = group.create_dataset(key, shape=(0,), maxshape=(None,), dtype=dtypes.CLUSTER[field], chunks=(1 << 16,),
                                      **_blosc2_filter(level, False))
            if units:
                ds.attrs["units"] = units
            ds.attrs["long_name"] = text
            out[field] = ds
        return out

    def append_clusters(self, clusters: NDArray[Any]) -> None:
        """Appends clusters (records of :data:`zorvsdk.dtypes.CLUSTER`) to the file's table of
        clusters; with the interpreter lock given up while HDF5 writes, as for any h5py call."""
        if not self._clusters:
            raise RuntimeError("this file keeps no clusters: made without clusters=True, or closed")
        for field, ds in self._clusters.items():
            n = ds.shape[0]
            ds.resize((n + len(clusters),))
            ds[n:] = clusters[field]

    # -- while it runs --------------------------------------------------------------------------

    @property
    def hits(self) -> int:
        """Hits taken in."""
        return int(self.sink.hits)

    @property
    def written(self) -> int:
        """Hits in the file as of its last flush."""
        return int(self.sink.written)

    @property
    def delivered(self) -> int:
        return int(self.sink.delivered)

    @property
    def dropped(self) -> int:
        return int(self.sink.dropped)

    @property
    def error(self) -> str | None:
        """Why writing stopped, or None."""
        return self.sink.error

    # -- steps ------------------------------------------------------------------------------------

    def end_step(self) -> Step:
        """Ends a step: the deliveries taken since the previous step's end (or the start) are this
        step's. Its hits reach the file within a few tens of milliseconds (:meth:`step_written`);
        :meth:`record_step` adds its row to the steps table. A step never recorded (one cut short)
        leaves its hits in the event data, in no row. Call it when no delivery is in progress (after
        the acquisition's ``end``).

        Raises:
            RuntimeError: the writer was made without ``steps=True``, or is closed.
        """
        if not self._steps:
            raise RuntimeError(f"{self.path} is not recorded in steps (NexusWriter(steps=True)), or is closed")
        hits, delivered, dropped = self.hits, self.delivered, self.dropped
        first_hit, first_delivery, dropped_before = self._step_ends
        self._step_ends = (hits, delivered, dropped)
        self.sink.flush()
        return Step(first_hit, hits, first_delivery, delivered, dropped - dropped_before)

    def record_step(self, step: Step) -> int:
        """Adds the step's row to the steps table, flushed at once; returns the row."""
        if not self._steps:
            raise RuntimeError(f"{self.path} is not recorded in steps (NexusWriter(steps=True)), or is closed")
        row = len(self.steps)
        for key, value in (("event_range", (step.first_hit, step.end_hit)),
                           ("pulse_range", (step.first_delivery, step.end_delivery)), ("dropped", step.dropped)):
            ds = self._steps[key]
            ds.resize(row + 1, axis=0)
            ds[row] = value
            ds.flush()
        self.steps.append(step)
        return row

    def step_written(self, step: Step) -> bool:
        """Whether every hit and delivery of the step is in the file as of its last flush."""
        return self.written >= step.end_hit and int(self.sink.deliveries_written) >= step.end_delivery

    def step_event_ids(self, step: Step, batch: int = 1 << 22) -> Iterator[NDArray[np.uint32]]:
        """The pixel ids of the step's hits as the file holds them, in batches (read them once
        :meth:`step_written` says they are in the file)."""
        ids = self._file[f"{self._detector}/event_data/event_id"]
        for at in range(step.first_hit, step.end_hit, batch):
            yield ids[at:min(at + batch, step.end_hit)]

    def finish(self, timeout: float | None = None) -> bool:
        """Writes every hit held and flushes (see :meth:`zorvsdk.sinks.Writer.finish`)."""
        return bool(self.sink.finish(timeout))

    # -- the end ----------------------------------------------------------------------------------

    def close(self, attrs: dict[str, Any] | None = None) -> tuple[NDArray[np.uint64], NDArray[np.uint64]]:
        """Writes every hit held, ends SWMR mode, then adds the hit and ToT maps, the end time and
        `attrs` (to the file's root). Returns the maps (counts, tot), each (height, width).

        Raises:
            OSError: writing failed (the file keeps what its last flush wrote).
        """
        self.finish()
        self.counts, self.tot = self.sink.maps()
        failure = self.error
        if failure is not None:
            self._give_up()
            raise OSError(f"{self.path}: {failure}")
        import h5py  # type: ignore[import-untyped,unused-ignore]

        self._appended = []
        self._steps = {}
        self._clusters = {}
        self._file.close()  # the end of SWMR mode; objects may be added again
        # The writer's threads and memory go now: the sink stays registered until its device closes.
        self.sink.abandon()
        end = datetime.datetime.now(datetime.timezone.utc)
        with h5py.File(self.path, "r+", libver="latest") as f:
            f["entry/end_time"] = end.isoformat()
            det = f[self._detector]
            for key, image, unit in (("hitmap", self.counts, "hits"), ("totmap", self.tot, "ToT tick of the chip")):
                ds = det.create_dataset(key, data=image, chunks=True, **_blosc2_filter(5, True))
                ds.attrs.update({"long_name": unit, "axes": "row y, column x of the pixel id y * width + x"})
            f.attrs.update(attrs or {})
        return self.counts, self.tot

    def abandon(self) -> None:
        """Stops writing at once: the file keeps what its last flush wrote."""
        self._give_up()

    def _give_up(self) -> None:
        """Closes the file as its last flush left it. After a failed write HDF5 cannot close a
        file cleanly: its closing flush fails again, and h5py's objects are then freed over a
        half-closed file, which crashes the process. So the file's descriptor is pointed at the null
        device first: the closing writes go nowhere, and the file on disk stays as it was (as a
        crash leaves it: open it with ``swmr=True``)."""
        self.sink.abandon()
        self._appended = []
        self._steps = {}
        self._clusters = {}
        if not self._file.id.valid:
            return
        try:
            fd = self._file.id.get_vfd_handle()
            null = os.open(os.devnull, os.O_RDWR)
            try:
                os.dup2(null, fd)
            finally:
                os.close(null)
        except Exception:  # not a plain file: keep its objects for the life of the process
            _ABANDONED.append(self._file)
            return
        try:
            self._file.close()
        except Exception:
            _ABANDONED.append(self._file)


_ABANDONED: list[Any] = []

CLUSTERS_PATH = "entry/clusters"
"""The group of the table of clusters (``NexusWriter(..., clusters=True)``)."""
# The table's columns: the field of dtypes.CLUSTER, the dataset, its units and its description.
CLUSTER_COLUMNS = (
    ("x", "x", "pixel", "ToT-weighted centroid, column"),
    ("y", "y", "pixel", "ToT-weighted centroid, row"),
    ("time_ns", "time", "ns", "ToA of the first hit, on the device's clock"),
    ("time_peak_ns", "time_peak", "ns", "ToA of the hit with the largest ToT"),
    ("toa", "toa", None, "ToA of the first hit, in ToA ticks of 1.5625 ns"),
    ("tot_sum", "tot_sum", None, "summed ToT of the hits, in ToT ticks of the chip"),
    ("tot_max", "tot_max", None, "largest ToT of a hit, in ToT ticks of the chip"),
    ("size", "size", None, "hits"),
    ("kev", "energy", "keV", "summed energy of the hits by the chip's ToT calibration; NaN without one"),
    ("chip", "chip", None, "the chip, numbered row by row"),
)


def _group(parent: Any, key: str, nx_class: str) -> Any:
    g = parent.create_group(key)
    g.attrs["NX_class"] = nx_class
    return g
