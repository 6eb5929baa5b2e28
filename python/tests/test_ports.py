"""list_ports: the listing's records, and the probe against the simulated
instrument, a pseudo-terminal that answers other text, and a held port."""

import os
import threading

import pytest

import veltor


class Chatterbox:
    """A pseudo-terminal whose far end answers every read with other text."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.thread = threading.Thread(target=self._answer, daemon=True)
        self.thread.start()

    def _answer(self):
        # Ends when the last descriptor of the slave side is closed.
        try:
            while os.read(self.master, 256):
                os.write(self.master, b"OK\r\nready> ")
        except OSError:
            pass

    def close(self):
        os.close(self.slave)
        self.thread.join()
        os.close(self.master)


@pytest.fixture
def chatterbox():
    box = Chatterbox()
    yield box
    box.close()


def _by_path(ports, path):
    return next(port for port in ports if port.path == path)


def test_probe_marks_only_the_instrument(chatterbox):
    with veltor.Simulator() as sim, veltor.Simulator() as held_sim, \
            veltor.Device(held_sim.port) as holder:
        ports = veltor.list_ports(probe=True, bauds=(9600, 115200),
                                  paths=[sim.port, chatterbox.path, held_sim.port],
                                  only_paths=True)
        assert [port.path for port in ports] == [sim.port, chatterbox.path, held_sim.port]
        found = _by_path(ports, sim.port)
        assert found.is_instrument and found.baud == 9600 and found.probe_note is None
        other = _by_path(ports, chatterbox.path)
        assert (other.probe, other.baud) == ("no answer", None) and other.probe_note
        assert _by_path(ports, held_sim.port).probe == "busy"
        assert holder["A"].query() is not None
        # Each probed port was closed again.
        with veltor.Device(sim.port) as device:
            device["A"].query()


@pytest.mark.parametrize("bauds", [(115201,), (True,), ("115200",)])
def test_bad_speeds_are_refused(bauds):
    with pytest.raises(ValueError, match="no line speed"):
        veltor.list_ports(probe=True, bauds=bauds)


def test_listing_without_probe_opens_nothing():
    with veltor.Simulator() as sim:
        port = _by_path(veltor.list_ports(paths=[sim.port]), sim.port)
        assert (port.probe, port.baud, port.vendor_id, port.serial_number) == (
            None, None, None, None)
        assert sim.requests() == []
