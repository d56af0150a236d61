"""The record classes and the enumeration, written in Python (zorvsdk/_records.py), belong to the
extension modules that hand them out: each module binds exactly the classes that name it, under
their own names, and they are shown and pickled as that module's."""

import importlib
import inspect
import pickle
import subprocess
import sys

import pytest

import zorvsdk.zorv  # loads every module
from zorvsdk import _records

RECORDS = [cls for cls in vars(_records).values() if inspect.isclass(cls) and cls.__module__.startswith("zorvsdk.")]
EXTENSIONS = ["acquisition", "axi", "bias", "board", "chip", "configuration", "context", "cooling", "errors", "flashmem",
              "identity", "monitor", "revision", "sinks", "syncmode", "trigger", "zorv"]


def test_every_record_is_found_in_its_module():
    assert len(RECORDS) == 12
    for cls in RECORDS:
        module = importlib.import_module(cls.__module__)
        assert getattr(module, cls.__name__) is cls
        assert cls.__qualname__ == cls.__name__
        assert pickle.loads(pickle.dumps(cls)) is cls


@pytest.mark.parametrize("short", EXTENSIONS)
def test_module_binds_the_records_that_name_it(short):
    module = importlib.import_module(f"zorvsdk.{short}")
    bound = {name: v for name, v in vars(module).items() if any(v is cls for cls in RECORDS)}
    assert {name: v.__module__ for name, v in bound.items()} == {
        cls.__name__: module.__name__ for cls in RECORDS if cls.__module__ == module.__name__}


@pytest.mark.parametrize("value", [
    zorvsdk.zorv.SdkVersion(0, 2, 1),
    zorvsdk.chip.ChipPolarity.negative,
    zorvsdk.bias.BiasRange(-100.0, 0.5),
])
def test_records_pickle_through_their_module(value):
    again = pickle.loads(pickle.dumps(value))
    assert again == value and type(again) is type(value)
    assert pickle.dumps(value).count(type(value).__module__.encode()) == 1


@pytest.mark.parametrize("first, second", [("chip", "acquisition"), ("acquisition", "chip")])
def test_chip_and_acquisition_load_in_either_order(first, second):
    code = (
        f"import zorvsdk.{first}, zorvsdk.{second}\n"
        "from zorvsdk import chip, acquisition\n"
        "print(chip.ChipPolarity.positive, chip.BinningParams(1, 2, 3), acquisition.np.__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ChipPolarity.positive BinningParams(width=1, height=2, dwellTime=3) numpy"
