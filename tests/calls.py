"""Calls of every method of every module, on an open Device, shared by the tests that run them all
(leaks, faults). Each is a name and a function of the Device. Every declared method is called by a
row, directly or through the package's own methods (tests/test_declarations.py checks it)."""

import tempfile
from pathlib import Path

import numpy as np

import zorvsim
from zorvsdk import acquisition, chip, dtypes, errors, sinks, zorv
from zorvsdk.context import _Context
from zorvsdk.flashmem import Region, Sector

LOCATOR = "zorvsim:0"


def opened_device():
    dev = zorv.Device()
    dev.open(LOCATOR)
    return dev


# The sinks that the calls below use: a recorder emptied again by every call that fills it, a
# hit map of the default detector and a clusterer of it, emptied by every call that fills it.
RECORDER = sinks.Recorder(1024)  # few slots: the process touches them all in the first rounds
HITMAP = sinks.HitMap(512, 512)
CLUSTERER = sinks.Clusterer(512, 512, capacity=1 << 16, clusters=1 << 12, threads=1)


_WRITERS = {}
_STREAMER = []


def streamer():
    """A streamer that the calls share, made at its first use (it runs a thread): a PUB socket of
    its own in-process endpoint, whose messages go to no subscriber."""
    if not _STREAMER:
        _STREAMER.append(sinks.Streamer("inproc://calls-shared", latency=0.01))
    return _STREAMER[0]


def writer(name="calls.h5"):
    """A native writer that the calls share, one per file name, made at its first use (it runs
    threads); its memory holds one chunk, so that the calls that fill it also write it."""
    from zorvsdk.nexus import NexusWriter

    if name not in _WRITERS:
        folder = Path(tempfile.mkdtemp(prefix="zorvsdk-calls-"))
        _WRITERS[name] = NexusWriter(folder / name, width=256, height=256, mode="0:tpx3-dd-toa-tot", capacity=64,
                                     threads=1)
    return _WRITERS[name].sink


def device_for_calls():
    """An open Device on which every call below can succeed: short acquisitions, a mode selected, a
    callable on ch0, the recorder on ch1 and an erased calibration memory."""
    zorvsim.load_model({"devices": [{"acquisition": {"deliveries": 1, "hitsPerDelivery": 10, "realTime": False}}]})
    dev = opened_device()
    dev.chip.selectMode("0:tpx3-seq-toa-tot")
    dev.acq.setDataCallback("ch0", lambda *a: None)
    dev.acq.setDataCallback("ch1", RECORDER)
    RECORDER.clear()
    zorvsim.flash_erase("calibration")
    return dev


class BadText:
    def encode(self, *args):
        return 17


def ignore(*arrays):
    """A data callable made once, so that registering it again makes no new object."""


def with_block(dev):
    """The Device as a context manager: the block's end closes and finalizes it; it is opened again."""
    with dev as same:
        same.isOpened()
    dev.open(LOCATOR)


MASK = np.zeros((512, 512), dtype=np.uint8)
BINNING = chip.BinningParams(4, 4, 1000)
DATA = b"\x00" * 16
PACKETS = np.zeros(8, dtypes.TOA_TOT)
META = {"shutterStart": 7, "tdcs": [np.arange(3, dtype=np.uint64), np.empty(0), np.ones(1, np.uint64)]}
VECTORS = (np.arange(8, dtype=np.uint32), np.arange(8, dtype=np.uint64), np.ones(8, np.uint16))


# Each method: a name and a call on an open Device. Some carry the objects passed to them, whose
# reference counts are watched besides the package's own objects.
METHODS = {
    # session
    "Device": lambda d: zorv.Device(),
    "_Context": lambda d: _Context(),
    "isOpened": lambda d: d.isOpened(),
    "enumerate": lambda d: d.enumerate(),
    "open+close": lambda d: (d.close(), d.open(LOCATOR)),
    "open(unknown)": lambda d: d.open("zorvsim:none"),
    "open(None)": lambda d: d.open(None),
    "open(bad encode)": lambda d: d.open(BadText()),
    "finalize": lambda d: d.finalize(),
    "__setLogger": lambda d: d._Device__setLogger(),
    "getRuntimeVersion": lambda d: zorv.getRuntimeVersion(),
    "getCompileTimeVersion": lambda d: zorv.getCompileTimeVersion(),
    "pickle refused": lambda d: d.bias.__reduce__(),
    "with": with_block,
    "_throwZorvError": lambda d: errors._throwZorvError(-3, "getBoardCount"),
    # acquisition
    "getChannelIds": lambda d: d.acq.getChannelIds(),
    "__getChannelId": lambda d: d.acq._Acquisition__getChannelId(1),
    "begin+end": lambda d: (zorvsim.script("ch0", [{"packets": DATA}]), d.acq.begin("ch0"), d.acq.end("ch0")),
    "begin+abort": lambda d: (zorvsim.script("ch1", [], hold=True), d.acq.begin("ch1"), d.acq.abort("ch1")),
    "setDataCallback(None)": lambda d: d.acq.setDataCallback("ch0", None),
    "setRawDataCallback": lambda d: d.acq.setRawDataCallback("ch1", ignore),
    "getDeliveryFailures": lambda d: d.acq.getDeliveryFailures("ch0"),
    "mode table": lambda d: (acquisition._element_types(), acquisition._delivery_kinds(), acquisition._readout_modes()),
    "begin+end(Recorder)": lambda d: (zorvsim.script("ch1", [{"packets": DATA}]), d.acq.begin("ch1"), d.acq.end("ch1"),
                                      RECORDER.get(timeout=5)),
    # sinks
    "Recorder": lambda d: sinks.Recorder(1000, idle=0.5),
    "Recorder(capacity 0)": lambda d: sinks.Recorder(0),
    "Recorder(packets)+get": lambda d: (RECORDER(PACKETS), RECORDER.get(timeout=0)),
    "Recorder(vectors)+get_batch": lambda d: (RECORDER(*VECTORS, META), RECORDER(*VECTORS, META),
                                              RECORDER.get_batch(timeout=0)),
    "Recorder.get(empty)": lambda d: RECORDER.get(timeout=0),
    "Recorder(packets)+next": lambda d: (RECORDER(PACKETS, META), next(RECORDER)),
    "Recorder(not arrays)": lambda d: RECORDER([1, 2]),
    "Recorder.clear": lambda d: (RECORDER(PACKETS), RECORDER.clear()),
    "Recorder counts": lambda d: (RECORDER.capacity, RECORDER.delivered, RECORDER.dropped, RECORDER.idle),
    "Writer(packets)+flush": lambda d: (writer()(PACKETS), writer().flush()),
    "Writer.finish+maps": lambda d: (writer().finish(5), writer().maps()),
    "Writer.abandon": lambda d: writer("abandoned.h5").abandon(),
    "HitMap": lambda d: sinks.HitMap(256, 256),
    "HitMap(0 wide)": lambda d: sinks.HitMap(0, 256),
    "HitMap(vectors)": lambda d: HITMAP(*VECTORS, META),
    "HitMap(raw)": lambda d: HITMAP(np.zeros(4, np.uint8), kind="raw"),
    "HitMap.snapshot": lambda d: HITMAP.snapshot(),
    "HitMap.counts+tot": lambda d: (HITMAP.counts(), HITMAP.tot()),
    "HitMap.clear": lambda d: HITMAP.clear(),
    "HitMap counts": lambda d: (HITMAP.width, HITMAP.height, HITMAP.outside, HITMAP.delivered, HITMAP.ignored),
    "Clusterer": lambda d: sinks.Clusterer(256, 256, capacity=1 << 16, clusters=1 << 10, threads=1, idle=0.5),
    "Clusterer(0 wide)": lambda d: sinks.Clusterer(0, 256),
    "Clusterer(packets)+flush+get": lambda d: (CLUSTERER(PACKETS, META), CLUSTERER.flush(5), CLUSTERER.get(timeout=0)),
    "Clusterer(vectors)+flush+next": lambda d: (CLUSTERER(*VECTORS, META), CLUSTERER.flush(5), next(CLUSTERER)),
    "Clusterer(raw)": lambda d: CLUSTERER(np.zeros(4, np.uint8), kind="raw"),
    "Clusterer.get(empty)": lambda d: CLUSTERER.get(timeout=0),
    "Clusterer counts": lambda d: (CLUSTERER.delivered, CLUSTERER.dropped, CLUSTERER.hits, CLUSTERER.dropped_hits,
                                   CLUSTERER.outside, CLUSTERER.ignored, CLUSTERER.clusters, CLUSTERER.late,
                                   CLUSTERER.forced, CLUSTERER.chips, CLUSTERER.threads, CLUSTERER.window,
                                   CLUSTERER.radius, CLUSTERER.order, CLUSTERER.idle),
    "Streamer": lambda d: sinks.Streamer("inproc://calls-new", pattern="push", width=256, height=256),
    "Streamer(bad pattern)": lambda d: sinks.Streamer("inproc://calls-bad", pattern="pair"),
    "Streamer(packets)+flush": lambda d: (streamer()(PACKETS, META), streamer().flush(5)),
    "Streamer(vectors)+flush": lambda d: (streamer()(*VECTORS, META), streamer().flush(5)),
    "Streamer(raw)": lambda d: streamer()(np.zeros(4, np.uint8), kind="raw"),
    "Streamer.close": lambda d: sinks.Streamer("inproc://calls-closed").close(1),
    "Streamer counts": lambda d: (streamer().delivered, streamer().hits, streamer().ignored, streamer().late,
                                  streamer().messages, streamer().message_ids, streamer().dropped,
                                  streamer().dropped_hits, streamer().bytes, streamer().pending, streamer().error,
                                  streamer().endpoint, streamer().source, streamer().pattern, streamer().closed),
    # chip
    "refresh": lambda d: d.chip.refresh(),
    "getChipIds": lambda d: d.chip.getChipIds(),
    "getPolarity": lambda d: d.chip.getPolarity(1),
    "setPolarity": lambda d: d.chip.setPolarity(1, chip.ChipPolarity.negative),
    "getSenseDacIds": lambda d: d.chip.getSenseDacIds(),
    "selectSenseDac": lambda d: d.chip.selectSenseDac("temperature"),
    "getModeIds": lambda d: d.chip.getModeIds(),
    "selectMode": lambda d: d.chip.selectMode("0:tpx3-dd-toa-tot"),
    "selectMode(params)": lambda d: d.chip.selectMode("0:tpx3-binned-packets", BINNING),
    "getDacIds": lambda d: d.chip.getDacIds(),
    "getDacValue": lambda d: d.chip.getDacValue("preamp_bias"),
    "setDacValue": lambda d: d.chip.setDacValue("preamp_bias", 100),
    "setDacValue(overflow)": lambda d: d.chip.setDacValue("preamp_bias", 2**40),
    "getDacLimits": lambda d: d.chip.getDacLimits("preamp_bias"),
    "getThresholdIds": lambda d: d.chip.getThresholdIds(),
    "isThresholdCalibrated": lambda d: d.chip.isThresholdCalibrated("0:threshold"),
    "getThreshold": lambda d: d.chip.getThreshold("0:threshold"),
    "setThreshold": lambda d: d.chip.setThreshold("0:threshold", 5.5),
    "getThresholdRange": lambda d: d.chip.getThresholdRange("0:threshold"),
    "getRawThreshold": lambda d: d.chip.getRawThreshold("0:threshold"),
    "setRawThreshold": lambda d: d.chip.setRawThreshold("0:threshold", 300),
    "getRawThresholdRange": lambda d: d.chip.getRawThresholdRange("0:threshold"),
    # supplies
    "getBiasIds": lambda d: d.bias.getBiasIds(),
    "getBias": lambda d: d.bias.getBias("hv"),
    "setBias": lambda d: d.bias.setBias("hv", 12.5),
    "getBiasRange": lambda d: d.bias.getBiasRange("hv"),
    "cooling.getIds": lambda d: d.cooling.getIds(),
    "getValueUnit": lambda d: d.cooling.getValueUnit("sensor"),
    "getActualTemperature": lambda d: d.cooling.getActualTemperature("sensor"),
    "getDesiredTemperature": lambda d: d.cooling.getDesiredTemperature("sensor"),
    "setDesiredTemperature": lambda d: d.cooling.setDesiredTemperature("sensor", -5.0),
    "getLimits": lambda d: d.cooling.getLimits("sensor"),
    "getBoardIds": lambda d: d.board.getBoardIds(),
    "powerOn": lambda d: d.board.powerOn("board-1"),
    "powerOn+powerOff": lambda d: (d.board.powerOn("board-1"), d.board.powerOff("board-1")),
    "isPowered": lambda d: d.board.isPowered("board-0"),
    # information
    "getManufacturer": lambda d: d.props.getManufacturer(),
    "getProduct": lambda d: d.props.getProduct(),
    "getSerialNumber": lambda d: d.props.getSerialNumber(),
    "getConnectionString": lambda d: d.props.getConnectionString(),
    "getUsbVidPid": lambda d: d.props.getUsbVidPid(),
    "getUsbInstancePath": lambda d: d.props.getUsbInstancePath(),
    "isUsbHighSpeed": lambda d: d.props.isUsbHighSpeed(),
    "isUsbSuperSpeed": lambda d: d.props.isUsbSuperSpeed(),
    "revision.get": lambda d: d.revision.get(),
    # sync and registers
    "getOptionIds": lambda d: d.syncmode.getOptionIds(),
    "selectOption": lambda d: d.syncmode.selectOption("master"),
    "axi.read": lambda d: d.axi.read(4),
    "axi.write": lambda d: d.axi.write(4, 0xDEADBEEF),
    # memories
    "flashmem.getIds": lambda d: d.flashmem.getIds(),
    "selectMemory": lambda d: d.flashmem.selectMemory("calibration"),
    "memory.read": lambda d: d.flashmem.selectMemory("calibration").read(4090, 16),
    "memory.program": lambda d: d.flashmem.selectMemory("calibration").program(4096, bytearray(b"\xff" * 8)),
    "memory.regions": lambda d: d.flashmem.selectMemory("calibration").regions,
    "Region+Sector": lambda d: Region(4096, [Sector(0, 4095), Sector(4096, 8191)]).sectors,
    # configuration
    "load": lambda d: d.config.load("yml", "dacs:\n  preamp_bias: 150\n"),
    "load(malformed)": lambda d: d.config.load("yml", "colours:\n  red: 1\n"),
    "getMaskSize": lambda d: d.config.getMaskSize(),
    "getMask": lambda d: d.config.getMask(),
    "setMask": lambda d: d.config.setMask(MASK),
    # monitor: replacing the callable of a key releases the previous one
    "setValueChangedCallback": lambda d: d.monitor.setValueChangedCallback("key", print),
    "setAvailChangedCallback": lambda d: d.monitor.setAvailChangedCallback("key", print),
}

# The calls above whose failure is their purpose: every other one succeeds on an open Device.
FAILING = {"open(unknown)", "open(None)", "open(bad encode)", "setDacValue(overflow)", "load(malformed)",
           "pickle refused", "_throwZorvError", "setDataCallback(None)", "Recorder(capacity 0)", "Recorder.get(empty)",
           "Recorder(not arrays)", "HitMap(0 wide)", "HitMap(raw)", "Clusterer(0 wide)", "Clusterer(raw)",
           "Clusterer.get(empty)", "Streamer(bad pattern)", "Streamer(raw)"}

# The calls above that run on threads of their own (the streamer's and ZeroMQ's I/O thread): the
# allocator's per-thread arenas of those threads fill over the first thousands of calls and then stay
# flat, so test_stream.py weighs their memory alone, after a warm-up of its own.
THREADED = {name for name in METHODS if name.startswith("Streamer")}

# The calls above that reach no SDK function (the sinks' own work).
NATIVE_ONLY = {name for name in METHODS if name.startswith(("Recorder", "HitMap", "Writer", "Clusterer", "Streamer"))}
