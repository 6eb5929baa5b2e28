"""Ctrl-C ends every wait of a script and leaves the device usable.

Each case is a script run as a process of its own with SIGINT handled as an
interactive interpreter does (KeyboardInterrupt). It prints "waiting" once
it is about to wait, the test sends SIGINT, and the script prints
"interrupted" when KeyboardInterrupt reached it, then "answered" when the
device took a command afterwards.
"""

import signal
import subprocess
import sys

import pytest

import veltor

SCRIPT = r"""
import signal, sys, threading, veltor

signal.signal(signal.SIGINT, signal.default_int_handler)
case = sys.argv[1]
sim = veltor.Simulator()
device = veltor.Device(sim.port)
sim.cpp.WaitForRawBytes(1024, 5000)  # the filler burst is in
sim.clear_log()


def announce_once_sent():
    # The request has reached the instrument: the command is inside its wait.
    sim.wait_for_requests(1, timeout=60)
    print("waiting", flush=True)


try:
    if case == "reports":
        with device.reports() as reports:
            print("waiting", flush=True)
            next(reports)
    elif case == "reports with a time-out":
        with device.reports(timeout=600) as reports:
            print("waiting", flush=True)
            next(reports)
    elif case == "implement logic, silent instrument":
        sim.fault("no-answer", count=1000)
        threading.Thread(target=announce_once_sent, daemon=True).start()
        device.implement_logic()
    elif case == "low layer, silent instrument":
        sim.fault("no-answer", count=1000)
        threading.Thread(target=announce_once_sent, daemon=True).start()
        device.cveltor.CmdImplementLogic()
    print("not interrupted", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
sim.clear_faults()
device.outputs_on()
assert sim.state().outputs_enabled
print("answered", flush=True)
"""

CASES = [
    "reports",
    "reports with a time-out",
    "implement logic, silent instrument",
    "low layer, silent instrument",
]


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_ends_the_wait_and_the_device_answers_after(case):
    child = subprocess.Popen(
        [sys.executable, "-c", SCRIPT, case],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "waiting\n"
        child.send_signal(signal.SIGINT)
        # Without the cancel, the command would hold the script for five
        # attempts of 10 s; the bound only keeps a broken build from hanging.
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert out == "interrupted\nanswered\n", err
    assert child.returncode == 0, err


def test_commands_on_the_main_thread_run_as_before(device, sim):
    # The handler that cancels stays installed between commands and passes
    # other signals' handling to Python untouched.
    for _ in range(3):
        device.outputs_off()
        device.outputs_on()
    assert sim.state().outputs_enabled
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
