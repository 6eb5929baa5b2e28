"""A device with reconnect=True comes back by the same name after its
instrument went away, over a real pseudo-terminal behind a stable link."""

import os
import queue

import pytest

import veltor


def _point(link, target):
    fresh = link + ".new"
    os.symlink(target, fresh)
    os.replace(fresh, link)


def test_a_lost_line_comes_back_and_gets_the_last_update(tmp_path):
    link = str(tmp_path / "port")
    heard = queue.SimpleQueue()
    first = veltor.Simulator()
    _point(link, first.port)
    with veltor.Device(reconnect=True) as device:
        device.set_reconnect(first=0.01, longest=0.08, resend_update=True)
        device.on_reconnect = heard.put
        device.connect(link)
        device.update_all()

        # The name goes before the line: a freed terminal number may go to
        # another program's pseudo-terminal, and a reconnect through a stale
        # name would take it.
        os.unlink(link)
        first.hang_up()
        assert heard.get(timeout=20) == "lost"
        with pytest.raises(veltor.VeltorError):
            device.outputs_on()

        with veltor.Simulator() as second:
            _point(link, second.port)
            assert heard.get(timeout=20) == "back"
            assert heard.get(timeout=20) == "update resent"
            assert second.state().logic_implemented
            device.outputs_on()
    first.close()


def test_bad_intervals_are_refused():
    device = veltor.Device()
    for bad in ({"first": 0}, {"longest": -1.0}, {"first": "1"}):
        with pytest.raises(ValueError):
            device.set_reconnect(**bad)
