"""Teardown while the library works: the interpreter exiting during deliveries, a Device collected
or finalized while its acquisition runs, and library threads that end while the package holds an
interpreter thread state for them. Each program runs in its own interpreter, with a time limit; it
must end with its own exit status, without a crash, a hang or a report of its own."""

import os
import subprocess
import sys
import textwrap

import pytest

from programs import HELPERS

TIMEOUT = 60

# Handlers registered with atexit run last-registered first. The one registered here, before the
# package is imported, runs after the package's own step; the one a program registers after
# creating its Device runs before it, while everything still works.
PRELUDE = """
import atexit, gc, logging, os, sys, threading, time, weakref
import zorvsim

LATE = []  # run by the handler below, after the package's step

def after_package_step():
    for hook in LATE:
        hook()
    print("late:", "opened" if KEEP["dev"] is not None and KEEP["dev"].isOpened() else "closed",
          [zorvsim.acquiring(ch) for ch in ("ch0", "ch1")], flush=True)

KEEP = {"dev": None}
atexit.register(after_package_step)

from zorvsdk.zorv import Device

""" + HELPERS + """
"""


def run(body, *, extra="", env=None):
    program = PRELUDE + extra + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-P", "-c", program], capture_output=True, text=True, timeout=TIMEOUT,
                          env={**os.environ, **(env or {})})
    return proc


def assert_clean(proc, status, *, stderr_may_have=()):
    assert "Fatal Python error" not in proc.stderr, proc.stderr
    assert proc.returncode == status, (proc.returncode, proc.stdout, proc.stderr)
    stderr = proc.stderr
    for allowed in stderr_may_have:
        stderr = stderr.replace(allowed, "")
    assert stderr.strip() == "", proc.stderr


# How a program ends, and the status it must end with.
ENDINGS = [
    ("sys.exit(3)", 3, ()),
    ("raise SystemExit(0)", 0, ()),
    ("pass", 0, ()),
    ("raise KeyError('the program failed')", 1, ("KeyError: 'the program failed'",)),
]


def assert_own_failure_only(proc, status, allowed):
    if status == 1:
        # the program's own traceback, nothing else
        assert proc.stderr.startswith("Traceback"), proc.stderr
        assert proc.stderr.rstrip().endswith(allowed[0]), proc.stderr
        assert "Fatal Python error" not in proc.stderr
        assert proc.returncode == 1
    else:
        assert_clean(proc, status)


@pytest.mark.parametrize("ending, status, allowed", ENDINGS)
@pytest.mark.parametrize("pause", [0.0, 0.0005])
def test_exit_while_two_channels_deliver(ending, status, allowed, pause):
    proc = run(f"""
        endless()
        dev = KEEP["dev"] = opened()
        counters = {{ch: Counter({pause}) for ch in ("ch0", "ch1")}}
        for ch, f in counters.items():
            dev.acq.setDataCallback(ch, f)
            dev.acq.begin(ch)
        for ch in counters:
            zorvsim.wait_deliveries(ch, 20)

        def before_package_step():  # the program's own atexit handler still finds everything working
            print("early:", dev.isOpened(), [zorvsim.acquiring(ch) for ch in counters], flush=True)
            n = zorvsim.delivery_count("ch0")
            print("early delivers:", zorvsim.wait_deliveries("ch0", n + 5) >= n + 5, flush=True)
        atexit.register(before_package_step)
        {ending}
    """)
    assert_own_failure_only(proc, status, allowed)
    assert proc.stdout.splitlines() == [
        "early: True [True, True]",
        "early delivers: True",
        # the package's step closed the device: no acquisition runs once finalization begins
        "late: closed [False, False]",
    ]


def test_exit_with_a_device_kept_until_late_in_finalization():
    # builtins are cleared last: without the package's step the device would be closed (and its
    # threads joined) from inside a finalizing interpreter
    proc = run("""
        import builtins
        endless()
        dev = KEEP["dev"] = builtins.kept_device = opened()
        for ch in ("ch0", "ch1"):
            dev.acq.setDataCallback(ch, Counter(0.0005))
            dev.acq.begin(ch)
            zorvsim.wait_deliveries(ch, 10)
        sys.exit(7)
    """)
    assert_clean(proc, 7)
    assert proc.stdout.splitlines() == ["late: closed [False, False]"]


def test_exit_while_a_scripted_acquisition_holds():
    proc = run("""
        dev = KEEP["dev"] = opened("0:tpx3-seq-toa-tot")
        f = Counter()
        dev.acq.setDataCallback("ch0", f)
        zorvsim.script("ch0", [{"packets": bytes(16 * 4)}] * 3, hold=True)
        dev.acq.begin("ch0")
        assert zorvsim.wait_deliveries("ch0", 3) == 3
        print("delivered:", f.n, zorvsim.acquiring("ch0"), flush=True)
        sys.exit(3)
    """)
    assert_clean(proc, 3)
    assert proc.stdout.splitlines() == ["delivered: 3 True", "late: closed [False, False]"]


def test_exit_while_a_python_thread_waits_in_end():
    # The package's step closes the device, so the daemon thread's end() returns; the program's
    # status is its own whatever that thread then does.
    proc = run("""
        endless()
        dev = KEEP["dev"] = opened()
        dev.acq.setDataCallback("ch0", Counter())
        dev.acq.begin("ch0")
        zorvsim.wait_deliveries("ch0", 5)
        waiting = threading.Event()
        def wait_for_end():
            waiting.set()
            dev.acq.end("ch0")
            while True:
                dev.isOpened()
        threading.Thread(target=wait_for_end, daemon=True).start()
        waiting.wait()
        sys.exit(9)
    """)
    assert_clean(proc, 9)
    assert proc.stdout.splitlines() == ["late: closed [False, False]"]


def test_exit_while_library_threads_log():
    # A Python daemon thread keeps making the library emit lines on threads of its own, to a handler
    # that gives the interpreter lock away while it writes.
    proc = run("""
        dev = KEEP["dev"] = Device()
        lines = []
        class Slow(logging.Handler):
            def emit(self, record):
                time.sleep(0.0002)
                lines.append(record.getMessage())
        logging.getLogger("zorvsdk").addHandler(Slow())
        logging.getLogger("zorvsdk").setLevel(logging.INFO)
        started = threading.Event()
        def emit_lines():
            while True:
                zorvsim.log(zorvsim.INFO, "line", on_thread=True)
                started.set()
        threading.Thread(target=emit_lines, daemon=True).start()
        started.wait()
        print("logged:", lines[:1], flush=True)
        sys.exit(4)
    """)
    assert_clean(proc, 4)
    assert proc.stdout.splitlines() == ["logged: ['line']", "late: closed [False, False]"]


def test_device_collected_while_its_acquisition_runs():
    proc = run("""
        endless()
        dev = opened()
        f = Counter(0.0002)
        for ch in ("ch0", "ch1"):
            dev.acq.setDataCallback(ch, f)
            dev.acq.begin(ch)
            zorvsim.wait_deliveries(ch, 5)
        del dev
        gc.collect()
        # the Device and its context are gone, and its destruction closed the device, which stopped
        # both acquisitions
        print("collected:", zorvsim.context_count() == 0, [zorvsim.acquiring(ch) for ch in ("ch0", "ch1")],
              flush=True)
        n = f.n
        print("stopped:", n == zorvsim.delivery_count("ch0") + zorvsim.delivery_count("ch1"), flush=True)
        sys.exit(5)
    """)
    assert_clean(proc, 5)
    assert proc.stdout.splitlines() == ["collected: True [False, False]", "stopped: True", "late: closed [False, False]"]


def test_device_collected_while_its_components_stay_referenced():
    # The acquisition object keeps the context alive: the Device's destruction still closes it.
    proc = run("""
        endless()
        dev = opened()
        acq = dev.acq
        acq.setDataCallback("ch0", Counter())
        acq.begin("ch0")
        zorvsim.wait_deliveries("ch0", 5)
        del dev
        gc.collect()
        print("running:", zorvsim.acquiring("ch0"), flush=True)
        sys.exit(6)
    """)
    assert_clean(proc, 6)
    assert proc.stdout.splitlines() == ["running: False", "late: closed [False, False]"]


def test_device_dropped_by_its_own_callable():
    # The last reference goes inside a delivery: the Device is destroyed, and the device closed, on
    # the library's delivery thread, which the library then lets go.
    proc = run("""
        endless()
        holder = [opened()]
        dropped = threading.Event()
        def drop(*arrays):
            if holder:
                holder.clear()
                gc.collect()
                print("dropped:", zorvsim.context_count() == 0, flush=True)
                dropped.set()
        holder[0].acq.setDataCallback("ch0", drop)
        holder[0].acq.begin("ch0")
        dropped.wait()
        sys.exit(8)
    """)
    assert_clean(proc, 8)
    assert proc.stdout.splitlines() == ["dropped: True", "late: closed [False, False]"]


@pytest.mark.parametrize("then_exit", ["sys.exit(2)", "dev.close(); sys.exit(2)"])
def test_finalize_during_deliveries(then_exit):
    proc = run(f"""
        endless()
        dev = KEEP["dev"] = opened()
        first, latest = Counter(0.0002), Counter(0.0002)
        refs = [weakref.ref(first), weakref.ref(latest)]
        for ch, f in (("ch0", first), ("ch1", latest)):
            dev.acq.setDataCallback(ch, f)
            dev.acq.begin(ch)
            zorvsim.wait_deliveries(ch, 5)
        dev.finalize()
        # the device was closed before the callable was released: no delivery can reach it
        print("finalized:", dev.isOpened(), [zorvsim.acquiring(ch) for ch in ("ch0", "ch1")], flush=True)
        counted = [first.n, latest.n]
        del first, latest, f
        gc.collect()
        # the device is closed: every callable held for it is released
        print("released:", [r() is None for r in refs], flush=True)
        print("all counted:", counted == [zorvsim.delivery_count("ch0"), zorvsim.delivery_count("ch1")], flush=True)
        try:
            dev.close()
        except Exception as e:
            print("close:", type(e).__name__, flush=True)
        {then_exit.replace("dev.close(); ", "")}
    """)
    assert_clean(proc, 2)
    assert proc.stdout.splitlines() == [
        "finalized: False [False, False]",
        "released: [True, True]",
        "all counted: True",
        "close: ZorvSdkInvalidOperationError",
        "late: closed [False, False]",
    ]


THREAD_STATES = """
import ctypes
api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
api.PyThreadState_Next.restype = ctypes.c_void_p
api.PyThreadState_Next.argtypes = [ctypes.c_void_p]

def thread_states():
    n, t = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
    while t:
        n, t = n + 1, api.PyThreadState_Next(t)
    return n
"""


def test_thread_state_of_an_ended_library_thread_is_released():
    # Every line is emitted on a new library thread, which ends after it; the package made a thread
    # state for each and must delete it when the thread ends.
    proc = run(extra=THREAD_STATES, body="""
        dev = KEEP["dev"] = Device()
        seen = []
        logging.getLogger("zorvsdk").addHandler(logging.Handler())
        logging.getLogger("zorvsdk").handlers[0].emit = lambda r: seen.append(thread_states())
        logging.getLogger("zorvsdk").setLevel(logging.INFO)
        before = thread_states()
        for i in range(200):
            zorvsim.log(zorvsim.INFO, "x", on_thread=True)
        print("during:", len(seen), set(seen) == {before + 1}, flush=True)
        print("after:", thread_states() == before, flush=True)
        sys.exit(3)
    """)
    assert_clean(proc, 3)
    assert proc.stdout.splitlines() == ["during: 200 True", "after: True", "late: closed [False, False]"]


def test_acquisition_threads_release_their_thread_states():
    proc = run(extra=THREAD_STATES, body="""
        dev = KEEP["dev"] = opened("0:tpx3-seq-toa-tot")
        before = thread_states()
        f = Counter()
        dev.acq.setDataCallback("ch0", f)
        for i in range(30):
            zorvsim.script("ch0", [{"packets": bytes(16)}])
            dev.acq.begin("ch0")
            dev.acq.end("ch0")
        print("delivered:", f.n, "states:", thread_states() - before, flush=True)
        sys.exit(3)
    """)
    assert_clean(proc, 3)
    assert proc.stdout.splitlines() == ["delivered: 30 states: 0", "late: closed [False, False]"]


def test_no_delivery_or_log_line_of_a_library_thread_reaches_python_once_exit_began():
    # From the package's step on, entries of library threads are refused: an acquisition begun by an
    # atexit handler that runs after the step delivers to nobody, and a line emitted on a library
    # thread is dropped. The exiting thread itself may still enter (a line emitted inside its call).
    proc = run("""
        dev = KEEP["dev"] = opened("0:tpx3-seq-toa-tot")
        f = Counter()
        lines = []
        logging.getLogger("zorvsdk").addHandler(logging.Handler())
        logging.getLogger("zorvsdk").handlers[0].emit = lambda r: lines.append(r.getMessage())
        logging.getLogger("zorvsdk").setLevel(logging.INFO)

        def after_step():
            dev.open("zorvsim:0")
            dev.chip.selectMode("0:tpx3-seq-toa-tot")
            dev.acq.setDataCallback("ch0", f)
            zorvsim.script("ch0", [{"packets": bytes(16)}] * 4)
            dev.acq.begin("ch0")
            dev.acq.end("ch0")
            zorvsim.log(zorvsim.INFO, "on a library thread", on_thread=True)
            zorvsim.log(zorvsim.INFO, "on the exiting thread")
            print("after step:", zorvsim.delivery_count("ch0"), f.n, lines, flush=True)
            dev.close()
        LATE.append(after_step)
        zorvsim.log(zorvsim.INFO, "before", on_thread=True)
        sys.exit(3)
    """)
    assert_clean(proc, 3)
    assert proc.stdout.splitlines() == [
        "after step: 4 0 ['before', 'on the exiting thread']",
        "late: closed [False, False]",
    ]
