"""A wrong argument type raises TypeError in Python's words: which argument,
the type given and the type expected, never the binding's C++ signatures."""

import pytest

import veltor
from veltor import Scaling, Trigger

# (the call, the argument it names, the type it expects, the type given)
DEVICE_CALLS = [
    (lambda d, s: d.connect(3.5), "'port'", "device path", "float"),
    (lambda d, s: d.connect(s.port, baud="fast"), "'baud'", "an integer", "str"),
    (lambda d, s: d.connect(s.port, baud=True), "'baud'", "an integer", "bool"),
    (lambda d, s: d.channel(1.0), "channel", "channel letter", "float"),
    (lambda d, s: d.clock_hz([0]), "channel", "channel letter", "list"),
    (lambda d, s: setattr(d["A"], "mode", "delay"), "Channel.mode", "CTimingMode", "str"),
    (lambda d, s: setattr(d["A"], "logic", b"inA = in1;"), "Channel.logic", "a str", "bytes"),
    (lambda d, s: setattr(d["A"], "enable_on_update", "yes"), "enable_on_update", "True or False",
     "str"),
    (lambda d, s: setattr(d, "global_logic", 3), "Device.global_logic", "a str", "int"),
    (lambda d, s: setattr(d, "reference_hz", "10MHz"), "reference_hz", "a number", "str"),
    (lambda d, s: setattr(d, "clock_sources", ["AB"]), "clock_sources", "dict", "list"),
    (lambda d, s: setattr(d, "clock_sources", {"AB": 2.0}), "clock_sources['AB']",
     "clock-source", "float"),
    (lambda d, s: setattr(d, "on_report", "print"), "on_report", "a callable", "str"),
    (lambda d, s: setattr(d, "trace", 1), "Device.trace", "a callable", "int"),
    (lambda d, s: d.add_report_listener(None), "'listener'", "a callable", "NoneType"),
    (lambda d, s: d.reports(timeout="1s"), "'timeout'", "seconds", "str"),
    (lambda d, s: d.reports(count=2.5), "'count'", "an integer", "float"),
    (lambda d, s: d.load_setup(7), "'path'", "a path", "int"),
    (lambda d, s: d.save_setup(None), "'path'", "a path", "NoneType"),
    (lambda d, s: s.delay("A", "1us"), "'seconds'", "seconds", "str"),
    (lambda d, s: s.send_report("A", counts=1.5), "'counts'", "an integer", "float"),
    (lambda d, s: s.delay_counts(2.0, 5), "channel", "channel letter", "float"),
    (lambda d, s: s.fault(3), "'kind'", "a str", "int"),
    (lambda d, s: s.fault("negative", count="2"), "'count'", "an integer", "str"),
    (lambda d, s: s.fault_rate("negative", "half"), "'probability'", "a number", "str"),
    (lambda d, s: s.start_reports("A", interval="1ms"), "'interval'", "seconds", "str"),
    (lambda d, s: setattr(s, "pacing", "on"), "pacing", "True or False", "str"),
]

# Mode constructors and properties, reached without a device.
MODE_CALLS = [
    (lambda: veltor.DelayDuration(delay="20 us"), "DelayDuration.delay", "seconds", "str"),
    (lambda: veltor.DelayDuration(sweep="on"), "DelayDuration.sweep", "seconds", "str"),
    (lambda: veltor.DelayDuration(invert="no"), "DelayDuration.invert", "True or False", "str"),
    (lambda: veltor.DelayDuration(trigger="alternate"), "DelayDuration.trigger", "Trigger", "str"),
    (lambda: veltor.DynamicDelayDuration(average=2.5), "average", "an integer", "float"),
    (lambda: veltor.UpDown(scaling=16), "UpDown.scaling", "Scaling", "int"),
    (lambda: veltor.Clock(duration=None), "Clock.duration", "seconds", "NoneType"),
    (lambda: veltor.Count(text=5), "Count.text", "a str", "int"),
    (lambda: veltor.Count(counter_mode="3"), "Count.counter_mode", "an integer", "str"),
    (lambda: Trigger(value=1.5), "'value'", "an integer", "float"),
    (lambda: Trigger(kind=1.0), "trigger kind", "a name or an integer", "float"),
    (lambda: Scaling(first="16"), "'first'", "an integer", "str"),
    (lambda: veltor.Toggle().problems(object(), "A"), "'device'", "a Device", "object"),
    (lambda: veltor.Toggle().problems(None, 0), "'channel'", "a str", "int"),
]

BINDING_WORDS = ("incompatible function arguments", "Unable to cast", "PYBIND11", "arg0")


def _check(caught, names, expected, given):
    text = str(caught.value)
    assert names in text and expected in text and f"not {given}" in text, text
    assert not any(words in text for words in BINDING_WORDS), text


@pytest.mark.parametrize("call, names, expected, given", DEVICE_CALLS)
def test_device_and_simulator_calls(device, sim, call, names, expected, given):
    with pytest.raises(TypeError) as caught:
        call(device, sim)
    _check(caught, names, expected, given)
    assert sim.requests() == []


@pytest.mark.parametrize("call, names, expected, given", MODE_CALLS)
def test_mode_calls(call, names, expected, given):
    with pytest.raises(TypeError) as caught:
        call()
    _check(caught, names, expected, given)


def test_right_types_of_other_kinds_pass():
    # Integers are times, and any number kind the records take works.
    mode = veltor.DelayDuration(delay=0, duration=1, invert=1, sweep=0)
    assert (mode.delay, mode.duration, mode.invert, mode.sweep) == (0.0, 1.0, True, 0.0)
    assert veltor.Count(option=0).option is False


# The right type, but beyond the record's C++ field: a ValueError, in words.
OUT_OF_RANGE = [
    (lambda: veltor.DynamicDelayDuration(average=2**70), "DynamicDelayDuration.average"),
    (lambda: veltor.DelayDuration(trigger=Trigger(value=2**40)), "Trigger.value"),
    (lambda: veltor.Count(setting=-2**64), "Count.setting"),
    (lambda: veltor.DelayDuration(delay=10**400), "DelayDuration.delay"),
    (lambda: veltor.UpDown(scaling=Scaling(first=2**40)), "Scaling.first"),
]


@pytest.mark.parametrize("call, names", OUT_OF_RANGE)
def test_numbers_beyond_the_records_fields(call, names):
    with pytest.raises(ValueError, match="is out of range for S") as caught:
        call()
    assert str(caught.value).startswith(names + " = ")
    assert not any(words in str(caught.value) for words in BINDING_WORDS)
