"""A readout mode selected on one thread while another begins an acquisition: the acquisition runs in
the mode its registration decodes, or begin refuses it, whichever call the SDK holds up. The virtual
device delays one call so that the other thread's call falls inside it."""

import threading
import time

import numpy as np
import pytest

import zorvsim
from programs import run
from zorvsdk.errors import ZorvSdkInvalidOperationError

N = 64
TOA_BYTES = {"0:tpx3-dd-toa-tot-vec": 8, "0:tpx3-seq-toa-tot-vec": 4}  # a 64-bit and a 32-bit ToA
PAIRS = [("0:tpx3-dd-toa-tot-vec", "0:tpx3-seq-toa-tot-vec"), ("0:tpx3-seq-toa-tot-vec", "0:tpx3-dd-toa-tot-vec")]


def script():
    # The ToA vector as bytes: the virtual device sizes it by the mode the acquisition begins in.
    zorvsim.script("ch0", [{"pixel_address_vec": np.arange(N, dtype=np.uint32), "toa_vec": bytes(4 * N),
                            "tot_vec": np.ones(N, np.uint16)}] * 3)


class Seen:
    """A data callable that notes the size of each ToA array it is handed, reading nothing of it."""

    def __init__(self):
        self.toas = []

    def __call__(self, addresses, toas, tots, *metadata):
        self.toas.append((toas.dtype.itemsize, toas.nbytes))


def in_thread(fn, *args):
    outcome = {}

    def body():
        try:
            fn(*args)
            outcome["ok"] = True
        except Exception as e:  # noqa: BLE001 - the outcome is checked by the test
            outcome["error"] = e

    t = threading.Thread(target=body)
    t.start()
    return t, outcome


def begin_during_selection(dev, other):
    zorvsim.block("zorv_chip_mode_select", 0.4)
    zorvsim.block("zorv_acq_begin", 0.6)  # a begin that checked before the selection acts after it
    t, selected = in_thread(dev.chip.selectMode, other)
    time.sleep(0.15)
    try:
        dev.acq.begin("ch0")
        began = True
    except ZorvSdkInvalidOperationError as e:
        assert "register it again" in str(e)
        began = False
    t.join(10)
    return began, selected


def selection_during_begin(dev, other):
    zorvsim.block("zorv_acq_begin", 0.4)
    t, begun = in_thread(dev.acq.begin, "ch0")
    time.sleep(0.15)
    selected = {}
    try:
        dev.chip.selectMode(other)
        selected["ok"] = True
    except ZorvSdkInvalidOperationError as e:  # the SDK refuses a change while acquiring
        selected["error"] = e
    t.join(10)
    assert "error" not in begun, begun
    return True, selected


@pytest.mark.parametrize("interleave", [begin_during_selection, selection_during_begin])
@pytest.mark.parametrize("registered, other", PAIRS)
def test_a_callable_sees_only_buffers_of_the_mode_it_was_registered_for(opened, registered, other, interleave):
    seen = Seen()
    opened.chip.selectMode(registered)
    opened.acq.setDataCallback("ch0", seen)
    script()
    began, selected = interleave(opened, other)
    if began:
        opened.acq.end("ch0")
        assert len(seen.toas) == 3
        for i, (itemsize, nbytes) in enumerate(seen.toas):
            assert itemsize == TOA_BYTES[registered]
            assert nbytes == len(zorvsim.delivered_buffer("ch0", i, "toa_vec"))  # never past the SDK's buffer
    else:
        assert seen.toas == [] and selected.get("ok")


@pytest.mark.parametrize("registered, other", PAIRS)
def test_a_registration_made_while_a_selection_is_held_decodes_the_selected_mode(opened, registered, other):
    opened.chip.selectMode(registered)
    zorvsim.block("zorv_chip_mode_select", 0.4)
    t, selected = in_thread(opened.chip.selectMode, other)
    time.sleep(0.15)
    seen = Seen()
    opened.acq.setDataCallback("ch0", seen)
    t.join(10)
    assert selected.get("ok")
    script()
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert [size for size, _ in seen.toas] == [TOA_BYTES[other]] * 3


def test_ctrl_c_reaches_a_selection_waiting_for_a_begin_held_in_the_sdk():
    out = run("""
        import os, signal, threading, time, zorvsim
        from zorvsdk.zorv import Device
        dev = Device()
        dev.open("zorvsim:0")
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        dev.acq.setDataCallback("ch0", lambda *a: None)
        zorvsim.block("zorv_acq_begin", 3.0)
        begin = threading.Thread(target=dev.acq.begin, args=("ch0",))
        begin.start()
        time.sleep(0.2)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            dev.chip.selectMode("0:tpx3-seq-toa-tot")
            print("selected after", round(time.monotonic() - start, 1))
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 1))
        begin.join()
        dev.acq.abort("ch0")
        dev.close()
        dev.finalize()
    """)
    assert out.startswith("interrupted after") and float(out.split()[-1]) < 2, out
