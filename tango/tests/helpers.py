"""What the tests of veltor-tango share: the server program, free ports and
waiting for the server's own threads."""

import os
import socket
import time

import tango

SERVER = os.environ["VELTOR_TANGO"]
DEVICE = "test/veltor/1"


def point(link, target):
    fresh = link + ".new"
    os.symlink(target, fresh)
    os.replace(fresh, link)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def until(predicate, what, timeout=20.0):
    """Retries a check until it holds: the server's state changes on its own
    threads, with nothing to wait on from here."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = predicate()
            if value:
                return value
        except tango.DevFailed:
            if time.monotonic() > deadline:
                raise
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.02)
