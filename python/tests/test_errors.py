"""Each kind of failure as its exception, with the library's diagnosis."""

import time

import pytest

import veltor
from veltor import CSerDev, Outcome


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


# Each exception on the standard one a generic handler catches, and the
# standard ones it must not be taken for.
STANDARD_BASES = [
    (veltor.ParameterError("m", "A"), ValueError, (OSError,)),
    (veltor.LogicError("m", 1, "A"), ValueError, (OSError,)),
    (veltor.SetupError("m", "channels.A"), ValueError, (OSError,)),
    (veltor.NoAnswerError("m", Outcome.NO_ANSWER), TimeoutError, (ValueError, ConnectionError)),
    (veltor.ConnectionFailedError(-1, "m"), ConnectionError, (ValueError, TimeoutError)),
    (veltor.NotConnectedError("m", Outcome.NOT_CONNECTED), ConnectionError, (TimeoutError,)),
    (veltor.PortLostError("m", Outcome.PORT_LOST), ConnectionError, (TimeoutError,)),
    (veltor.RefusedError("m", Outcome.NEGATIVE), veltor.VeltorError,
     (OSError, ValueError)),
    (veltor.ChecksumError("m", Outcome.BAD_CHECKSUM), veltor.CommunicationError,
     (OSError, ValueError)),
]


@pytest.mark.parametrize("error, base, not_bases", STANDARD_BASES,
                         ids=[type(e[0]).__name__ for e in STANDARD_BASES])
def test_exceptions_derive_from_the_standard_ones(error, base, not_bases):
    assert isinstance(error, base) and isinstance(error, veltor.VeltorError)
    assert not isinstance(error, not_bases)
    # An OSError among them keeps the message as its text, with no errno.
    assert str(error) == error.message or str(error).endswith(": m")
    assert error.args == (str(error),)


def test_a_generic_handler_catches_a_failed_command(device, sim):
    sim.fault("no-answer")  # a trigger is not sent again: one attempt
    with pytest.raises(TimeoutError) as caught:
        device["E"].trigger()
    assert str(caught.value) == device.last_error
    assert caught.value.errno is None and caught.value.outcome == Outcome.NO_ANSWER


def test_outcomes_read_as_plain_names(device, sim):
    sim.fault("negative", count=5)
    with pytest.raises(veltor.RefusedError) as caught:
        device.outputs_on()
    outcome = caught.value.outcome
    # One member under both names, equal to the low layer's outcome.
    assert outcome is Outcome.NEGATIVE is Outcome.kNegative is device.last_outcome
    assert (outcome.name, str(outcome)) == ("NEGATIVE", "Outcome.NEGATIVE")
    assert outcome == device.cveltor.GetLastOutcome() and outcome.low == CSerDev.kNegative
    assert Outcome(CSerDev.kOutOfStep) is Outcome.OUT_OF_STEP
    assert {"SUCCESS", "NO_ANSWER", "CANCELLED", "OUT_OF_STEP"} <= set(Outcome.__members__)
