"""The C interface through ctypes, against libveltor.so and the simulated
instrument (veltor-sim) on a pseudo-terminal: what a foreign-language host
sees of the same calls as the C tests."""
import ctypes
import os
import subprocess
import threading

import pytest

lib = ctypes.CDLL(os.environ["VELTOR_LIBRARY"])
OK, INVALID_ARGUMENT, BUFFER_TOO_SMALL, CONNECT_FAILED, NOT_CONNECTED, REJECTED = range(6)
MODE_DELAY = 3
REPORT_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char, ctypes.c_uint,
                             ctypes.c_double, ctypes.c_longlong)


class Trigger(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in
                ("option1", "option2", "kind", "value", "value_mode", "value_flag")]


class ModeDelay(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("delay", ctypes.c_double),
                ("duration", ctypes.c_double), ("invert", ctypes.c_int),
                ("mode_bit3", ctypes.c_int), ("sweep_enable", ctypes.c_int),
                ("sweep", ctypes.c_double), ("trigger", Trigger)]


def message():
    needed = ctypes.c_size_t()
    lib.veltor_last_message(None, 0, ctypes.byref(needed))
    text = ctypes.create_string_buffer(needed.value)
    assert lib.veltor_last_message(text, needed, ctypes.byref(needed)) == OK
    return text.value.decode()


@pytest.fixture
def device():
    handle = ctypes.c_void_p()
    assert lib.veltor_create(ctypes.byref(handle)) == OK
    yield handle
    assert lib.veltor_destroy(handle) == OK


@pytest.fixture
def line(device):
    sim = subprocess.Popen([os.environ["VELTOR_SIM"], "--delay", "E:4000",
                            "--reports", "A:5:7"], stdout=subprocess.PIPE, text=True)
    path = sim.stdout.readline().strip()
    assert lib.veltor_connect_path(device, path.encode(), 6) == OK, message()
    yield device
    sim.terminate()
    sim.wait()


def test_version_and_argument_checks(device):
    major, minor, patch = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    assert lib.veltor_version(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(patch)) == OK
    text = ctypes.c_char_p()
    assert lib.veltor_version_string(ctypes.byref(text)) == OK
    assert text.value.decode() == f"{major.value}.{minor.value}.{patch.value}"
    assert lib.veltor_create(None) == INVALID_ARGUMENT
    assert lib.veltor_channel_enable(device, ctypes.c_char(b"Z")) == INVALID_ARGUMENT
    assert "channels are 'A' to 'H'" in message()
    assert lib.veltor_enable_outputs(device) == NOT_CONNECTED
    assert lib.veltor_connect_path(device, b"/nonexistent", 6) == CONNECT_FAILED


def test_strings_report_the_size_they_need(device):
    needed = ctypes.c_size_t()
    line = ctypes.c_int(-1)
    assert lib.veltor_channel_set_logic(device, ctypes.c_char(b"B"), b"inB = (in2;",
                                        ctypes.byref(line)) == REJECTED
    assert line.value == 1 and message()
    small = ctypes.create_string_buffer(4)
    assert lib.veltor_channel_get_logic(device, ctypes.c_char(b"B"), small, 4,
                                        ctypes.byref(needed)) == BUFFER_TOO_SMALL
    assert (small.value, needed.value) == (b"inB", 12)


def test_commands_modes_and_query(line):
    record = ModeDelay(size=ctypes.sizeof(ModeDelay))
    assert lib.veltor_mode_defaults(MODE_DELAY, ctypes.byref(record), ctypes.sizeof(record)) == OK
    assert record.trigger.option2 == 1
    record.delay, record.duration = 0.001, 0.0025
    assert lib.veltor_channel_set_mode(line, ctypes.c_char(b"E"), MODE_DELAY,
                                       ctypes.byref(record)) == OK
    assert lib.veltor_channel_send_mode(line, ctypes.c_char(b"E")) == OK
    record.delay = 0.0
    assert lib.veltor_channel_set_mode(line, ctypes.c_char(b"E"), MODE_DELAY,
                                       ctypes.byref(record)) == OK
    assert lib.veltor_channel_send_mode(line, ctypes.c_char(b"E")) == REJECTED
    assert "channel E: delay 0 s is outside" in message()
    seconds = ctypes.c_double()
    assert lib.veltor_channel_query(line, ctypes.c_char(b"E"), ctypes.byref(seconds)) == OK
    assert seconds.value == 4000 / 200e6
    assert lib.veltor_update_all(line) == REJECTED
    assert message().startswith("update stopped at setting the timing modes")


def test_report_callback_gets_its_user_pointer(line):
    seen, done = [], threading.Event()
    cookie = ctypes.c_int(42)

    def on_report(user, channel, counts, seconds, time_ns):
        seen.append((ctypes.cast(user, ctypes.POINTER(ctypes.c_int)).contents.value,
                     channel, counts, seconds))
        if len(seen) == 3:
            done.set()

    callback = REPORT_FN(on_report)  # kept alive until the callback is removed
    assert lib.veltor_set_report_callback(line, callback, ctypes.byref(cookie)) == OK
    assert done.wait(30)
    assert lib.veltor_set_report_callback(line, None, None) == OK
    first = seen[0][2]
    assert seen[:3] == [(42, b"A", first + i, (first + i) / 200e6) for i in range(3)]
