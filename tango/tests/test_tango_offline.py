"""veltor-tango whose instrument cannot be reached, and its own command
line. One server for the module, without a Tango database."""

import os
import subprocess

import pytest
import tango

import veltor
from helpers import DEVICE, SERVER, free_port, point, until


def start(port_path, *options):
    port = free_port()
    process = subprocess.Popen(
        [SERVER, "offline", f"--port={port_path}", *options, "-nodb", "-dlist", DEVICE,
         "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    proxy = tango.DeviceProxy(f"tango://127.0.0.1:{port}/{DEVICE}#dbase=no")
    until(lambda: proxy.ping() >= 0, "answer to ping")
    return process, proxy


def stop(process):
    process.terminate()
    assert process.wait(timeout=20) == 0, process.stdout.read()


@pytest.fixture(scope="module")
def device(tmp_path_factory):
    missing = str(tmp_path_factory.mktemp("tango") / "no-port")
    process, proxy = start(missing, "--baud=9600")
    yield proxy, missing
    stop(process)


def test_a_port_that_cannot_be_opened_is_a_fault(device):
    proxy, missing = device
    words = f"{missing}: cannot open the port: No such file or directory"
    assert (proxy.state(), proxy.status()) == (tango.DevState.FAULT, words)
    with pytest.raises(tango.DevFailed) as failed:
        proxy.Enable("A")
    assert failed.value.args[0].reason == "Veltor_CommandFailed"
    assert failed.value.args[0].desc.endswith("not connected")


def test_host_settings_and_checks_work_offline(device):
    proxy, _ = device
    proxy.H_Mode = "clock"
    proxy.H_Delay = 1e-6
    assert proxy.H_Delay == 1e-6
    exported = proxy.ExportSetup()
    assert '"mode": "clock"' in exported
    assert list(proxy.CheckSetup(exported) or []) == []


def test_a_port_missing_at_start_is_tried_again_with_reconnect(tmp_path):
    link = str(tmp_path / "later")
    process, proxy = start(link, "--reconnect")
    try:
        assert proxy.state() == tango.DevState.ALARM
        assert "reconnecting" in proxy.status() and "No such file" in proxy.status()
        with veltor.Simulator() as sim:
            point(link, sim.port)
            until(lambda: proxy.state() == tango.DevState.ON, "ON")
            proxy.Enable("A")
            assert sim.state()["A"].enabled
    finally:
        stop(process)


def test_help_needs_no_database():
    run = subprocess.run([SERVER, "--help"], capture_output=True, text=True, timeout=20,
                         env=dict(os.environ, TANGO_HOST=""))
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("Usage: veltor-tango INSTANCE"), run.stdout
    for option in ("--port", "--baud", "--reconnect", "-nodb", "--help"):
        assert option in run.stdout, option


# arguments, the message on standard error
BAD_COMMAND_LINES = [
    (["--baud", "fast"], "--baud: expected a positive number of bit/s, got 'fast'"),
    (["--baud=0"], "--baud: expected a positive number of bit/s, got '0'"),
    (["--port"], "--port needs a value"),
]


def test_bad_options_are_refused_before_tango_starts():
    for arguments, words in BAD_COMMAND_LINES:
        run = subprocess.run([SERVER, "x", *arguments], capture_output=True, text=True, timeout=20,
                             env=dict(os.environ, TANGO_HOST=""))
        assert (run.returncode, run.stderr.strip()) == (2, f"veltor-tango: {words}"), arguments
