"""The virtual device's model documents and control API."""

import json
import os
import subprocess
import sys

import pytest

import zorvsim
from zorvsdk.errors import ZorvSdkInternalException
from zorvsdk.zorv import Device


@pytest.fixture(autouse=True)
def _fresh():
    zorvsim.reset()
    yield
    zorvsim.reset()


@pytest.mark.parametrize(
    "doc, place",
    [
        ({"devices": [{"usbVid": "x"}]}, "/devices/0/usbVid: expected an integer"),
        ({"devices": [{"usbVid": 70000}]}, "/devices/0/usbVid: expected a value from 0 to 65535"),
        ({"devices": [{"colour": 1}]}, "/devices/0/colour: unknown member"),
        ({"devices": [{}, {"connectionString": "zorvsim:0"}]}, "/devices/1/connectionString"),
        ({"version": [1, 2]}, "/version: expected [major, minor, patch]"),
        ('{"devices": [', "model:1:14: unexpected end of document"),
    ],
)
def test_a_refused_model_names_the_place_and_changes_nothing(doc, place):
    before = zorvsim.model()
    with pytest.raises(zorvsim.SimError) as e:
        zorvsim.load_model(doc)
    assert place in str(e.value)
    assert zorvsim.model() == before


ONE_CHIP = {"chips": [{"id": "W0017_C04"}], "chipsPerRow": 1}


@pytest.mark.parametrize("chip, size", [
    ({"chipWidth": 2147483647, "chipHeight": 1}, "4294967294 x 2"),  # the default 2 x 2 grid
    ({"chipWidth": 65536, "chipHeight": 65536}, "131072 x 131072"),
    ({**ONE_CHIP, "chipWidth": 65536, "chipHeight": 65537}, "65536 x 65537"),
    ({**ONE_CHIP, "chipWidth": 2147483647, "chipHeight": 3}, "2147483647 x 3"),
    # fewer than 2^32 pixels, but a side beyond the model's integers
    ({"chips": [{"id": "a"}, {"id": "b"}], "chipsPerRow": 2, "chipWidth": 2147483647, "chipHeight": 1}, "4294967294 x 1"),
    ({"chips": [{"id": f"c{i}"} for i in range(3)], "chipsPerRow": 3, "chipWidth": 1431655766, "chipHeight": 1},
     "4294967298 x 1"),
])
def test_a_detector_beyond_32_bit_pixel_addresses_is_refused(opened, chip, size):
    before = zorvsim.model()
    with pytest.raises(zorvsim.SimError) as e:
        zorvsim.load_model({"devices": [{"chip": chip}]})
    assert str(e.value) == (
        f"model: /devices/0/chip: a detector of {size} pixels (the chip grid times the chip size) is beyond the "
        "32-bit pixel addresses of its deliveries: y * width + x must stay below 2^32, each side below 2^31")
    with pytest.raises(zorvsim.SimError, match="beyond the 32-bit pixel addresses"):
        zorvsim.set("/devices/0/chip", {**zorvsim.get("/devices/0/chip"), **chip})  # on an open device
    assert zorvsim.model() == before
    assert tuple(opened.config.getMaskSize()) == (512, 512)


@pytest.mark.parametrize("chip, size", [
    ({**ONE_CHIP, "chipWidth": 65536, "chipHeight": 65536}, (65536, 65536)),  # 2^32 pixels: the last address is 2^32 - 1
    ({**ONE_CHIP, "chipWidth": 2147483647, "chipHeight": 2}, (2147483647, 2)),
])
def test_a_detector_whose_addresses_fit_is_loaded(device, chip, size):
    zorvsim.load_model({"devices": [{"chip": chip}]})
    device.open("zorvsim:0")
    assert tuple(device.config.getMaskSize()) == size


def test_members_left_out_keep_their_defaults():
    zorvsim.load_model({"devices": [{"product": "Bench unit"}]})
    [d] = Device().enumerate()
    assert d.product == "Bench unit"
    assert d.connectionString == "zorvsim:0"


def test_set_keeps_open_devices_open():
    device = Device()
    device.open("zorvsim:0")
    zorvsim.set("/devices/0/serialNumber", "S-1")
    assert device.isOpened()
    assert zorvsim.get("/devices/0/serialNumber") == "S-1"
    device.close()
    device.finalize()


def test_model_file_from_the_environment(tmp_path):
    good = tmp_path / "good.json"
    good.write_text(json.dumps({"devices": [{"product": "From file"}]}))
    bad = tmp_path / "bad.json"
    bad.write_text('{"devices": [{"usbPid": true}]}')
    script = "from zorvsdk.zorv import Device\nprint(Device().enumerate()[0].product)"
    env = dict(os.environ, ZORVSIM_MODEL=str(good))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "From file", out.stderr
    env["ZORVSIM_MODEL"] = str(bad)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode != 0
    assert "ZorvSdkInternalException" in out.stderr
    assert f"{bad}: /devices/0/usbPid: expected an integer" in out.stderr


def test_faults_count_and_skip():
    device = Device()
    zorvsim.fail("zorv_dev_is_opened", -1, "first", skip=1, count=2)
    assert device.isOpened() is False
    for _ in range(2):
        with pytest.raises(ZorvSdkInternalException, match="first"):
            device.isOpened()
    assert device.isOpened() is False
    device.finalize()


def test_forced_out_values():
    device = Device()
    zorvsim.force("zorv_dev_is_opened", [2])
    assert device.isOpened() is True
    zorvsim.force("zorv_enum_get_product", [b"\xc3\xa9t\xc3\xa9"], count=-1)
    assert [d.product for d in device.enumerate()] == ["\u00e9t\u00e9", "\u00e9t\u00e9"]
    device.finalize()


def test_journal_records_arguments_and_threads():
    import threading

    device = Device()
    with zorvsim.Journal() as journal:
        with pytest.raises(Exception):
            device.open("nowhere")
    [call] = journal.calls("zorv_dev_open")
    assert call["args"] == ["nowhere"]
    assert call["gil"] is False
    assert call["thread"] == threading.get_native_id()
    assert journal.names()[-1] == "zorv_ctx_get_last_error"
    device.finalize()


def test_contexts_go_with_their_last_holder():
    import gc

    gc.collect()
    before = zorvsim.context_count()
    device = Device()
    bias = device.bias
    assert zorvsim.context_count() == before + 1
    del device
    gc.collect()
    assert zorvsim.context_count() == before + 1  # the component object still holds the context
    del bias
    gc.collect()
    assert zorvsim.context_count() == before


# ---- model documents: refusals, files and size ----

FLASH = "/devices/0/memory/flash"


def flash_with_file(path):
    return [{"id": "img", "partNumber": "ZN-TEST", "regions": [{"sectorSize": 4096, "sectors": 4}], "file": str(path)}]


@pytest.mark.parametrize("doc, place", [
    ('{"devices": [{"usbVid": 1, "usbVid": 2}]}', "model: /devices/0/usbVid: duplicate member name"),
    ("[" * 65 + "]" * 65, "model: " + "/0" * 64 + ": nesting deeper than 64 levels"),
    ('{"devices": [{"product": "x"}] x', "model:1:32: "),
    ({"devices": [{"chip": {"sensor": {"carriers": "protons"}}}]}, '/devices/0/chip/sensor/carriers: expected "holes"'),
    ({"devices": [{"chip": {"sensor": {"depletionVoltage": 0}}}]}, "/devices/0/chip/sensor/depletionVoltage: expected a positive"),
    ({"devices": [{"chip": {"chips": [{"id": "a", "tot": {"a": 0}}]}}]}, "/devices/0/chip/chips/0/tot: expected a > 0"),
    ({"devices": [{"chip": {"hotPixels": [{"x": -1, "y": 0}]}}]}, "/devices/0/chip/hotPixels/0: expected the column"),
    ({"devices": [{"chip": {"hotPixels": [{"x": 1, "z": 0}]}}]}, "/devices/0/chip/hotPixels/0/z: unknown member"),
])
def test_refused_documents_name_the_place(doc, place):
    before = zorvsim.model()
    with pytest.raises(zorvsim.SimError) as e:
        zorvsim.load_model(doc)
    assert place in str(e.value)
    assert zorvsim.model() == before


@pytest.mark.parametrize("kind", ["fifo", "dev-zero", "directory"])
def test_a_backing_file_must_be_a_regular_file(tmp_path, kind):
    # In a subprocess: a FIFO without a writer would block a reader that waits for one.
    path = {"fifo": tmp_path / "fifo", "dev-zero": "/dev/zero", "directory": tmp_path}[kind]
    if kind == "fifo":
        os.mkfifo(path)
    script = ("import json, sys, zorvsim\n"
              f"try:\n    zorvsim.set({FLASH!r}, json.loads(sys.argv[1]))\n"
              "except zorvsim.SimError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script, json.dumps(flash_with_file(path))], capture_output=True,
                          text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert f"{FLASH}/0/file: the backing file '{path}' is not a regular file" in done.stdout


@pytest.mark.parametrize("kind", ["fifo", "dev-zero"])
def test_a_model_file_must_be_a_regular_file(tmp_path, kind):
    path = tmp_path / "fifo" if kind == "fifo" else "/dev/zero"
    if kind == "fifo":
        os.mkfifo(path)
    script = f"import zorvsim\ntry:\n    zorvsim.load_model_file({str(path)!r})\nexcept zorvsim.SimError as e:\n    print(e)\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 0 and f"'{path}' is not a regular file" in done.stdout, done.stderr


def test_models_load_in_time_linear_in_their_size():
    import time

    # 200,000 members take a fraction of a second; work quadratic in them (4e10 steps) would take
    # many minutes, so the generous bound fails only on that, never on a slow machine.
    doc = json.dumps({"devices": [{"chip": {f"m{i}": i for i in range(200_000)}}]})
    start = time.perf_counter()
    with pytest.raises(zorvsim.SimError, match="/devices/0/chip/m0: unknown member"):
        zorvsim.load_model(doc)
    assert time.perf_counter() - start < 60
    doc = '{"devices": [{' + ", ".join(f'"m{i}": 0' for i in range(80_000)) + ', "m7": 1}]}'
    with pytest.raises(zorvsim.SimError, match="/devices/0/m7: duplicate member name"):
        zorvsim.load_model(doc)


# ---- the journal records what the script sent ----


class _EncodesTo:
    def __init__(self, data):
        self.data = data

    def encode(self, *args):
        return self.data


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), 1e300])
def test_journal_keeps_non_finite_floats(opened, value):
    with zorvsim.Journal() as journal:
        with pytest.raises(Exception):
            opened.chip.setThreshold("0:threshold", value)
        with pytest.raises(Exception):
            opened.bias.setBias("hv", value)
    for fn in ("zorv_chip_threshold_set", "zorv_bias_set"):
        [sent] = [e["args"][-1] for e in journal.calls(fn)]
        expected = float("inf") if value == 1e300 else value  # single precision on the way
        assert sent == expected or (sent != sent and expected != expected), fn


def test_journal_records_received_buffers_in_full_or_by_digest(opened):
    import hashlib

    import numpy as np

    mask = np.zeros(opened.config.getMaskSize(), dtype=np.uint8)
    mask[3, 4] = 1
    small = bytes(range(200)) * 3
    large = bytes((i * 7) % 256 for i in range((1 << 20) + 1))
    with zorvsim.Journal() as journal:
        opened.config.setMask(mask)
        memory = opened.flashmem.selectMemory("fpga")
        memory.program(0x10000, bytearray(small))
        memory.program(0x100000, bytearray(large))
    [masked] = journal.calls("zorv_set_pixel_mask")
    assert masked["args"] == [mask.size] and masked["data"] == {"length": mask.size, "hex": mask.tobytes().hex()}
    first, second = journal.calls("zorv_flash_program")
    assert first["data"] == {"length": len(small), "hex": small.hex()}
    assert second["data"] == {"length": len(large), "sha256": hashlib.sha256(large).hexdigest(),
                              "head": large[:64].hex()}


def test_journal_records_pointers_and_text_as_sent(opened):
    with zorvsim.Journal() as journal:
        second = Device()
        with pytest.raises(Exception):
            opened.bias.getBias(_EncodesTo(b"h\xffv"))
        second.finalize()
    logs = journal.calls("zorv_log_set_func")
    assert logs and logs[0]["args"][:2] == ["<ptr>", None]  # the bridge's callback, a null user pointer
    [get] = journal.calls("zorv_bias_get")
    assert get["args"] == [{"hex": "68ff76"}]


_handles: list[int] = []


def _script(deliveries: int = 0, *, kept: bool = True):
    """A fresh script handle with that many empty deliveries (kept: discarded after the test;
    otherwise the call under test takes it over)."""
    lib = zorvsim.library()
    handle = lib.zorvsim_script_create()
    assert handle
    for _ in range(deliveries):
        assert lib.zorvsim_script_add_delivery(handle) == 0
    if kept:
        _handles.append(handle)
    return handle


# Each failing control call, what it returns on failure (-1 or None for a null pointer) and the
# reason it must leave in zorvsim_error().
CONTROL_FAILURES = [
    ("load_model", lambda lib: lib.zorvsim_load_model(b'{"devices": 1}'), -1, "model: /devices: expected an array"),
    ("load_model_file", lambda lib: lib.zorvsim_load_model_file(b"/nonexistent/model.json"), -1, "/nonexistent/model.json"),
    ("get", lambda lib: lib.zorvsim_get(b"/devices/7"), None, "/devices/7"),
    ("set", lambda lib: lib.zorvsim_set(b"/devices/0/usbVid", b'"x"'), -1, "/devices/0/usbVid: expected an integer"),
    ("fail", lambda lib: lib.zorvsim_fail(b"open", -1, None, -1, 0, 1), -1, "not a library function: open"),
    ("force", lambda lib: lib.zorvsim_force(b"zorv_dev_open", b"{}", 0, 1), -1,
     "values: expected an array of out-values"),
    ("block", lambda lib: lib.zorvsim_block(b"sleep", 10, 1), -1, "not a library function: sleep"),
    ("log_on_call", lambda lib: lib.zorvsim_log_on_call(b"log", 0, b"x", 1), -1, "not a library function: log"),
    ("flash_erase device", lambda lib: lib.zorvsim_flash_erase(5, b"fpga", 0), -1,
     "device index 5 is out of range (2 devices)"),
    ("flash_erase id", lambda lib: lib.zorvsim_flash_erase(0, b"nope", 0), -1,
     "no flash memory with the identifier 'nope'"),
    ("flash_erase sector", lambda lib: lib.zorvsim_flash_erase(0, b"calibration", 31), -1, "sector 31 is out of range"),
    ("script_add_delivery", lambda lib: lib.zorvsim_script_add_delivery(None), -1, "the script is null"),
    ("script_buffer empty", lambda lib: lib.zorvsim_script_buffer(_script(), b"raw", b"x", 1), -1,
     "the script has no delivery yet"),
    ("script_buffer name", lambda lib: lib.zorvsim_script_buffer(_script(1), b"hits", b"x", 1), -1,
     "no delivery buffer is named 'hits'"),
    ("script_buffer size", lambda lib: lib.zorvsim_script_buffer(_script(1), b"raw", None, 1 << 31), -1,
     "a scripted buffer is limited to 1 GiB"),
    ("script_count name", lambda lib: lib.zorvsim_script_count(_script(1), b"raw", 1), -1,
     "no delivery count is named 'raw'"),
    ("script_count size", lambda lib: lib.zorvsim_script_count(_script(1), b"frames", 1 << 20), -1,
     "the count of frames needs a buffer of more than 1 GiB"),
    ("script_shutter", lambda lib: lib.zorvsim_script_shutter(None, 1), -1, "the script is null"),
    ("script_repeat", lambda lib: lib.zorvsim_script_repeat(_script(), 0), -1, "a script is repeated from 1 to 2^40 times"),
    ("script_fail", lambda lib: lib.zorvsim_script_fail(_script(1), b"zorv_dev_open", -1, None, -1), -1,
     "not a getter of a delivery: zorv_dev_open"),
    ("script_install null", lambda lib: lib.zorvsim_script_install(None, 0, b"ch0", 0), -1, "the script is null"),
    ("script_install device", lambda lib: lib.zorvsim_script_install(_script(kept=False), 9, b"ch0", 0), -1,
     "no device 9 is attached"),
    ("script_clear", lambda lib: lib.zorvsim_script_clear(0, b"ch9"), -1, "device 0 has no acquisition channel 'ch9'"),
    ("delivery_count", lambda lib: lib.zorvsim_delivery_count(0, None), -1, "device 0 has no acquisition channel '(null)'"),
    ("wait_deliveries", lambda lib: lib.zorvsim_wait_deliveries(-1, b"ch0", 1, 0.0), -1, "no device -1 is attached"),
    ("acquiring", lambda lib: lib.zorvsim_acquiring(1, b"ch2"), -1, "device 1 has no acquisition channel 'ch2'"),
    ("delivered_buffer", lambda lib: lib.zorvsim_delivered_buffer(0, b"ch0", 0, b"raw", None, 0), -1,
     "no scripted acquisition has ended on channel 'ch0'"),
]


@pytest.mark.parametrize("call, result, reason", [c[1:] for c in CONTROL_FAILURES], ids=[c[0] for c in CONTROL_FAILURES])
def test_every_failing_control_call_leaves_its_reason(call, result, reason):
    lib = zorvsim.library()
    assert lib.zorvsim_fail(b"stale", 0, None, -1, 0, 1) == -1  # an earlier reason, to be replaced
    before = zorvsim.model()
    assert call(lib) == result
    error = lib.zorvsim_error().decode()
    assert reason in error and "stale" not in error
    assert zorvsim.model() == before  # a refused call changes nothing
    while _handles:
        lib.zorvsim_script_discard(_handles.pop())


def test_the_reason_belongs_to_the_failing_thread():
    import threading

    lib = zorvsim.library()
    assert lib.zorvsim_flash_erase(0, b"nope", 0) == -1
    other = threading.Thread(target=lambda: lib.zorvsim_script_clear(0, b"ch9"))
    other.start()
    other.join()
    assert lib.zorvsim_error() == b"no flash memory with the identifier 'nope'"


def test_erase_reason_reaches_python_unchanged():
    with pytest.raises(zorvsim.SimError) as e:
        zorvsim.flash_erase("calibration", 31, device=1)
    assert str(e.value) == zorvsim.library().zorvsim_error().decode()
