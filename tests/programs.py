"""Source text shared by the tests that run whole programs in their own interpreter: an endless
synthetic acquisition, an opened Device, and a counting data callable. A program includes it after
its own imports (time, zorvsim, and Device from zorvsdk.zorv). And run(), which runs a program with
this folder on its path."""

import os
import signal
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))


def run(body, timeout=60):
    """Runs the program `body` (dedented) in an interpreter of its own, Ctrl-C at its default
    disposition; asserts that it succeeded and returns its standard output."""
    program = f"import sys; sys.path.insert(0, {TESTS!r})\n" + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=timeout,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (proc.stdout, proc.stderr)
    return proc.stdout


HELPERS = """
def endless(hits=200, real_time=False, period=0.001):
    zorvsim.load_model({"devices": [{"acquisition": {
        "deliveries": -1, "hitsPerDelivery": hits, "realTime": real_time, "period": period}}]})

def opened(mode="0:tpx3-dd-toa-tot"):
    dev = Device()
    dev.open("zorvsim:0")
    dev.chip.selectMode(mode)
    return dev

class Counter:
    def __init__(self, pause=0.0):
        self.n = 0
        self.pause = pause
    def __call__(self, *arrays):
        if self.pause:
            time.sleep(self.pause)  # gives the interpreter lock away in the middle of a delivery
        self.n += 1
"""
