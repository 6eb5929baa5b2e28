"""Each kind of failure as its exception, with the library's diagnosis."""

import time

import pytest

import veltor
from veltor import Outcome


def test_parameter_error_carries_the_numbers_and_sends_nothing(device, sim):
    device["A"].mode = veltor.DelayDuration(delay=20e-6, duration=1e-9)
    with pytest.raises(veltor.ParameterError) as caught:
        device["A"].set_timing_mode()
    error = caught.value
    assert (error.channel, error.parameter, error.value) == ("A", "duration", 1e-9)
    assert (error.minimum, error.maximum) == pytest.approx((7.695e-06, 21.474836475))
    assert str(error) == "channel A: " + "; ".join(device["A"].problems())
    assert "1539 to 4294967295 counts of the 200 MHz clock" in str(error)
    assert sim.requests() == []
    # The low layer answers as C++ does, with the same words.
    assert device["A"].cchannel.CmdSetTimingMode() is False
    assert device.last_error == str(error)


def test_parameter_error_follows_the_clock(device):
    device.clock_sources = {"AB": "3.125MHz"}
    device["B"].mode = veltor.Clock(delay=1e-6, duration=1e-3)  # 128 counts at least
    with pytest.raises(veltor.ParameterError) as caught:
        device.update_all()
    assert (caught.value.channel, caught.value.parameter) == ("B", "delay")
    assert caught.value.minimum == pytest.approx(128 / 3.125e6)


LINE_FAULTS = [
    ("negative", veltor.RefusedError, Outcome.kNegative,
     "refused by the instrument after 5 attempts"),
    ("bad-checksum", veltor.ChecksumError, Outcome.kBadChecksum, "after 5 attempts"),
    ("no-answer", veltor.NoAnswerError, Outcome.kNoAnswer, "no answer after 5 attempts"),
]


@pytest.mark.parametrize("fault, kind, outcome, words", LINE_FAULTS)
def test_line_faults(device, sim, fault, kind, outcome, words):
    sim.fault(fault, count=5)  # every attempt
    with pytest.raises(kind) as caught:
        device["C"].enable()
    error = caught.value
    assert isinstance(error, veltor.CommunicationError)
    assert error.outcome == outcome
    assert str(error) == device.last_error
    assert str(error).startswith("channel C: ") and words in str(error)
    device["C"].enable()  # the faults are used up


def test_update_stopped_halfway_says_where(device, sim):
    sim.fault("negative", count=10)  # the panel lock (not a failure), then disabling the outputs
    with pytest.raises(veltor.RefusedError, match="update stopped at disabling the outputs"):
        device.update_all()


def test_not_connected():
    device = veltor.Device()
    with pytest.raises(veltor.NotConnectedError) as caught:
        device.outputs_on()
    assert caught.value.outcome == Outcome.kNotConnected
    assert not device.connected


def test_port_lost(device, sim):
    sim.hang_up()
    deadline = time.monotonic() + 5
    while device.connected and time.monotonic() < deadline:
        time.sleep(0.01)
    with pytest.raises(veltor.PortLostError) as caught:
        device.reset_all()
    assert caught.value.outcome == Outcome.kPortLost
    device.close()


def test_connection_failed():
    with pytest.raises(veltor.ConnectionFailedError) as caught:
        veltor.Device("/dev/no-such-veltor")
    error = caught.value
    assert error.code == -1
    assert "/dev/no-such-veltor" in error.reason and error.reason in str(error)


def test_a_port_held_by_another_device(sim):
    with veltor.Device(sim.port):
        with pytest.raises(veltor.ConnectionFailedError, match="held by another program"):
            veltor.Device(sim.port)
    with veltor.Device(sim.port) as again:  # closing freed it
        assert again.connected


def test_bad_line_speed(sim):
    with pytest.raises(ValueError, match="115200"):
        veltor.Device(sim.port, baud=1234)
