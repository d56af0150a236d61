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
