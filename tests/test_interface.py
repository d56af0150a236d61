"""The SDK library honours the whole C interface the modules are built against."""

import re
from pathlib import Path

import pytest

import zorvsim

HEADERS = Path(__file__).resolve().parent.parent / "zorv"
PROTOTYPE = re.compile(r"ZORV_API\s+[\w\s\*]+?\b(zorv_\w+)\s*\(")


# Every area of the interface; the first test checks that none is left out.
BUILT = ["device_context", "enumeration", "version_info", "logging", "identity", "revision", "syncmode", "axi", "board",
         "bias", "cooling", "flash", "configuration", "acquisition", "acquisition_metadata", "acquisition_tpx",
         "acquisition_tpx3", "chip", "chip_dac", "chip_mode", "chip_sensedac", "threshold"]


def declared_functions(headers=BUILT):
    names = []
    for header in headers:
        names += PROTOTYPE.findall((HEADERS / f"{header}.h").read_text())
    return names


def test_the_interface_has_all_its_headers():
    assert len(list(HEADERS.glob("*.h"))) == 22
    assert sorted(BUILT) == sorted(h.stem for h in HEADERS.glob("*.h"))
    all_headers = [h.stem for h in HEADERS.glob("*.h")]
    assert len(declared_functions(all_headers)) > 100


@pytest.mark.parametrize("name", declared_functions())
def test_every_declared_function_is_exported(name):
    lib = zorvsim.library()
    assert hasattr(lib, name), f"{name} is declared but the library does not export it"
