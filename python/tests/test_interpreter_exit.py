"""A script ends, and the process with it, whatever the device's threads do.

Each case is a small script run as a process of its own: the interpreter's
exit ends the threads that take the GIL after it began, and that must end
neither in an abort nor in a hang. The process exits with the script's own
status (3) and prints nothing.
"""

import pathlib
import subprocess
import sys

import pytest

import veltor

EXIT_SCRIPT = r"""
import sys, threading, time, veltor

case, port = sys.argv[1], sys.argv[2]
sim = None
if port == "-":
    sim = veltor.Simulator()
    port = sim.port
dev = veltor.Device(port)
busy = threading.Event()


def reports():
    if sim is not None:  # the external simulator sends them from the start
        sim.start_reports("A", interval=0.0005)


def quietly(command):
    try:
        command()
    except veltor.VeltorError:
        pass


def daemon(target):
    threading.Thread(target=target, daemon=True).start()


def query_b(report):
    busy.set()
    quietly(dev["B"].query)


if case == "daemon in a command":
    def spin():
        while True:
            busy.set()
            quietly(dev["A"].query)
    daemon(spin)
elif case == "listener in a command":
    dev.on_report = query_b
    reports()
elif case == "listener waiting for a hold":
    held = threading.Event()
    def hold():
        with dev.hold():
            held.set()
            time.sleep(3600)
    daemon(hold)
    held.wait()
    dev.on_report = query_b
    reports()
elif case == "report stream open":
    stream = dev.reports()
    def read():
        for report in stream:
            busy.set()
    daemon(read)
    reports()
elif case == "device let go in its listener":
    kept = {"dev": dev}
    del dev
    def drop(report):
        if kept.pop("dev", None) is not None:
            busy.set()
            time.sleep(0.05)  # still in the call as the script ends
    kept["dev"].on_report = drop
    reports()
elif case == "devices let go on a daemon":
    def churn():
        while True:
            made = veltor.CVeltor()
            busy.set()
            del made
    daemon(churn)
busy.wait(10)
sys.exit(3)
"""

CASES = [
    "daemon in a command",
    "listener in a command",
    "listener waiting for a hold",
    "report stream open",
    "device let go in its listener",
    "devices let go on a daemon",
]

BUILD = pathlib.Path(veltor.__file__).resolve().parents[2]
EXTERNAL_SIM = BUILD / "sim" / "veltor-sim"


@pytest.fixture(params=["in-process", "external"])
def port(request):
    if request.param == "in-process":
        yield "-"
        return
    if not EXTERNAL_SIM.exists():
        pytest.skip(f"no {EXTERNAL_SIM}")
    # Reports every millisecond from the start, for the cases with listeners.
    with subprocess.Popen([str(EXTERNAL_SIM), "--reports", "A:1"], stdout=subprocess.PIPE,
                          text=True) as sim:
        try:
            yield sim.stdout.readline().strip()
        finally:
            sim.terminate()


def run_script(script, *args, timeout=20):
    try:
        return subprocess.run([sys.executable, "-c", script, *args], timeout=timeout,
                              capture_output=True, text=True)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"still running after {timeout} s: {expired.stderr!r}")


@pytest.mark.parametrize("case", CASES)
def test_the_script_ends_the_process(case, port):
    done = run_script(EXIT_SCRIPT, case, port)
    assert (done.returncode, done.stderr) == (3, "")


GC_SCRIPT = r"""
import gc, threading, veltor

stop = threading.Event()
def collect():
    while not stop.is_set():
        gc.collect()
collector = threading.Thread(target=collect)
collector.start()
for _ in range(2000):
    made = veltor.CVeltor()
    del made  # its teardown lets go of the GIL; the collector runs meanwhile
stop.set()
collector.join()
"""


def test_a_collection_during_a_teardown_leaves_the_device_alone():
    done = run_script(GC_SCRIPT)
    assert (done.returncode, done.stderr) == (0, "")
