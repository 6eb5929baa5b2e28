"""A report listener and another thread's hold of the device never wait for
each other for good.

Every case runs in a process of its own, so that a deadlock turns into a
failure after a time bound instead of hanging the test run. The listener's
first call waits until the other thread acts (holding the device's lock,
when it does), then acts itself; both must be done within the bound.
"""

import subprocess
import sys

import pytest

SCRIPT = r"""
import sys, threading, veltor

listener_does, other_does = sys.argv[1], sys.argv[2]
sim = veltor.Simulator()
dev = veltor.Device(sim.port)
entered, acting, left = threading.Event(), threading.Event(), threading.Event()
failures = []


def listener(report):
    if entered.is_set():
        return
    entered.set()
    acting.wait()
    try:
        if listener_does == "command":
            dev["B"].query()
        elif listener_does == "set listener":
            dev.on_report = lambda report: None
        elif listener_does == "close":
            dev.close()
    except veltor.VeltorError:
        pass  # the other thread closed the device first
    left.set()


def act():
    if other_does == "close":
        acting.set()
        dev.close()
        return
    with dev.hold():
        acting.set()
        if other_does == "hold + set listener":
            dev.on_report = None
        elif other_does == "hold + low-level set listener":
            dev.cveltor.SetReportListener(None)
        elif other_does == "hold + close":
            dev.close()
        # What the listener does next needs this hold, or has been done.
        if listener_does != "set listener" and left.is_set():
            failures.append("the listener got the device's lock during another's hold")


dev.on_report = listener
sim.start_reports("A", interval=0.001)
assert entered.wait(10)
other = threading.Thread(target=act)
other.start()
other.join()
assert left.wait(10)
sim.stop_reports()
if "close" in other_does or listener_does == "close":
    assert not dev.connected
assert not failures, failures
"""

LISTENER = ["command", "set listener", "close"]
OTHER = ["hold", "hold + set listener", "hold + low-level set listener", "hold + close", "close"]


@pytest.mark.parametrize("other_does", OTHER)
@pytest.mark.parametrize("listener_does", LISTENER)
def test_neither_waits_for_the_other_for_good(listener_does, other_does):
    try:
        done = subprocess.run([sys.executable, "-c", SCRIPT, listener_does, other_does],
                              timeout=20, capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        pytest.fail("deadlocked: still running after 20 s")
    assert (done.returncode, done.stderr) == (0, "")
