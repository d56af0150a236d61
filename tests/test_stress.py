"""Several Python threads calling control methods of every area while two channels deliver data
and the library emits log lines from its own threads: every result checked, no deadlock, and every
delivery the library made reached the data callable."""

import logging
import threading
import time

import numpy as np

import zorvsim
from zorvsdk import errors

SECONDS = 2.0
LOCATOR = "zorvsim:0"


def control_calls(d):
    """(call, check) pairs over every area; each check judges the result."""
    return [
        (lambda: d.isOpened(), lambda r: r is True),
        (lambda: d.chip.getChipIds(), lambda r: r == ["W0017_C04", "W0017_D05", "W0017_E06", "W0017_F07"]),
        (lambda: d.chip.getDacLimits("preamp_bias"), lambda r: r == (0, 255)),
        (lambda: d.chip.getRawThreshold("1:threshold"), lambda r: r == 300),
        (lambda: d.chip.getThresholdIds(), lambda r: len(r) == 4),
        (lambda: d.bias.getBiasIds(), lambda r: r == ["hv", "guard"]),
        (lambda: d.bias.getBiasRange("hv"), lambda r: tuple(r) == (0.0, 200.0)),
        (lambda: d.cooling.getValueUnit("sensor"), lambda r: r == "DegreeCelsius"),
        (lambda: d.board.isPowered("board-0"), lambda r: r is True),
        (lambda: d.props.getSerialNumber(), lambda r: r == "ZQ4-000417"),
        (lambda: d.props.getUsbVidPid(), lambda r: tuple(r) == (27226, 1025)),
        (lambda: d.revision.get(), lambda r: r == {"firmware": "2.4.1", "board": "rev C", "chip-carrier": "1.2"}),
        (lambda: d.syncmode.getOptionIds(), lambda r: r == ["internal", "master", "slave"]),
        (lambda: d.axi.read(8), lambda r: r == 1),
        (lambda: d.flashmem.selectMemory("calibration").partNumber, lambda r: r == "ZN25F008A"),
        (lambda: d.config.getMaskSize(), lambda r: tuple(r) == (512, 512)),
        (lambda: d.acq.getChannelIds(), lambda r: r == ["ch0", "ch1"]),
        (lambda: d.enumerate()[0].connectionString, lambda r: r == LOCATOR),
    ]


def failing_calls(d):
    """Calls whose failure is the expected result."""
    return [
        (lambda: d.chip.getDacValue("no-such-dac"), errors.ZorvSdkInvalidArgumentError),
        (lambda: d.axi.write(0, 1), errors.ZorvSdkInvalidArgumentError),  # a read-only register
        (lambda: d.chip.getPolarity(2**31), OverflowError),
    ]


def test_threads_call_every_area_while_two_channels_deliver_and_the_library_logs(caplog):
    zorvsim.load_model({"devices": [{"acquisition": {"deliveries": -1, "hitsPerDelivery": 500, "realTime": False}}]})
    from zorvsdk.zorv import Device

    d = Device()
    d.open(LOCATOR)
    d.chip.setRawThreshold("1:threshold", 300)
    d.chip.selectMode("0:tpx3-dd-toa-tot")
    caplog.set_level(logging.INFO, logger="zorvsdk")
    lock = threading.Lock()
    received = {"ch0": 0, "ch1": 0}
    bad = []

    def on_data(channel):
        def f(data, metadata):
            ok = data.dtype.names == ("address", "tot", "toa") and len(metadata["tdcs"]) == 3
            ok = ok and bool(np.all(np.diff(data["toa"].astype(np.int64)) >= 0))
            with lock:
                received[channel] += 1
                if not ok:
                    bad.append(channel)
        return f

    for ch in received:
        d.acq.setDataCallback(ch, on_data(ch))
        d.acq.begin(ch)
    stop = threading.Event()
    failures = []
    counts = []

    def worker(seed):
        calls, fails = control_calls(d), failing_calls(d)
        n, i = 0, seed
        while not stop.is_set():
            call, check = calls[i % len(calls)]
            try:
                result = call()
                if not check(result):
                    failures.append((i % len(calls), result))
            except Exception as e:  # any exception of a control call is a failure of the test
                failures.append((i % len(calls), repr(e)))
            call, expected = fails[i % len(fails)]
            try:
                call()
                failures.append(("no exception", i % len(fails)))
            except expected:
                pass
            except Exception as e:
                failures.append(("wrong exception", repr(e)))
            n, i = n + 1, i + 7
        counts.append(n)

    logged = []

    def logger_thread():
        k = 0
        while not stop.is_set():
            zorvsim.log(zorvsim.INFO, f"line {k}", on_thread=True)
            logged.append(k)
            k += 1

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)] + [threading.Thread(target=logger_thread)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + SECONDS
    stop.wait(SECONDS)  # the run lasts this long; nothing finishes it earlier
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert time.monotonic() - deadline < 30
    for ch in received:
        d.acq.abort(ch)
    assert failures == []
    assert bad == []
    assert len(counts) == 4 and min(counts) > 0
    for ch in received:
        assert received[ch] == zorvsim.delivery_count(ch) > 0
    lines = [r.getMessage() for r in caplog.records if r.name == "zorvsdk" and r.getMessage().startswith("line ")]
    assert lines == [f"line {k}" for k in logged]
    d.finalize()
