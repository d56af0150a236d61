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


def ideal_detector(device=0):
    """Makes the synthetic detector of a device record every deposit: thresholds at 0 keV without
    noise and no hot pixels, so that a delivery carries exactly hitsPerDelivery hits (for tests of
    layouts and counts rather than of the detector's response)."""
    chip = f"/devices/{device}/chip"
    thresholds = [dict(t, raw=0, rawDefault=0, offset=0.0, noise=0.0) for t in zorvsim.get(f"{chip}/thresholds")]
    zorvsim.set(f"{chip}/thresholds", thresholds)
    zorvsim.set(f"{chip}/hotPixels", [])
