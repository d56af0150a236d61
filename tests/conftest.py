import gc

import pytest

import zorvsim
import zorvsdk.zorv

LOCATOR = "zorvsim:0"


@pytest.fixture(autouse=True)
def fresh_sim():
    zorvsim.reset()
    yield
    # Objects of the test are dropped after teardown, and dropping a Device calls the SDK: no
    # fault or log line of this test may act on those calls.
    zorvsim.clear_controls()
    gc.collect()


@pytest.fixture
def device():
    dev = zorvsdk.zorv.Device()
    yield dev
    dev.finalize()  # closes the device if a test left it open


@pytest.fixture
def opened(device):
    device.open(LOCATOR)
    return device
