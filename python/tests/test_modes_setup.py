"""Modes, logic and setup files end to end against the simulated instrument."""

import gc
import json

import pytest

import veltor
from veltor import Scaling, Trigger

# Each mode on channel C (200 MHz clock: 1 us is 200 counts) and what the
# instrument decodes from it.
MODES = [
    (veltor.DelayDuration(delay=1e-6, duration=10e-6, sweep=5e-8),
     "delay", dict(delay_counts=200, duration_counts=2000, sweep_counts=10, mode_byte=0x90)),
    (veltor.DelayDuration(trigger=Trigger(kind="alternate", value=5, value_mode="on"), invert=True),
     "delay", dict(trigger_value=5, value_selector=0x03, mode_byte=0x70, inverted=True)),
    (veltor.DelayDuration(trigger=Trigger(kind="plain", value_mode="low", value_flag=True)),
     "delay", dict(value_selector=0x05, mode_byte=0x00)),
    (veltor.DynamicDelayDuration(delay=2e-6, duration=16e-6, average=8),
     "dyn-delay", dict(delay_counts=400, duration_counts=3200, aux_byte=8)),
    (veltor.UpDown(delay=-5e-5, duration=1e-3, scaling=Scaling(use_first=True, first=16, second=3)),
     "up-down", dict(signed_delay=-10000, duration_counts=200000, aux_byte=16)),
    (veltor.UpDown(scaling=Scaling(use_first=False, first=16, second=3)),
     "up-down", dict(aux_byte=3)),
    (veltor.Validate(delay=2e-4, duration=1e-3, mode_bit3=True),
     "validate", dict(delay_counts=40000, duration_counts=200000, mode_byte=0x18)),
    (veltor.Clock(delay=1e-6, duration=2e-6), "clock", dict(delay_counts=200, duration_counts=400)),
    (veltor.Toggle(invert=True), "toggle", dict(inverted=True)),
    (veltor.Count(counter_mode=0, text="pulses"), "count", {}),
    (veltor.Passive(invert=True), "passive", dict(inverted=True)),
    (veltor.Null(), "null", dict(inverted=False)),
]


@pytest.mark.parametrize("mode, name, expected", MODES,
                         ids=[f"{m[1]}-{i}" for i, m in enumerate(MODES)])
def test_each_mode_reaches_the_instrument(device, sim, mode, name, expected):
    device["C"].mode = mode
    device.update_all()
    channel = sim.state()["C"]
    assert mode.name == name
    assert (channel.mode_name, channel.mode_count) == (name, 1)
    assert {key: getattr(channel, key) for key in expected} == expected
    # The Pythonic mode sends what the same records in a plain library mode send.
    twin = veltor.setup.MakeMode(name)
    veltor._veltor._copy_mode(twin, mode)
    assert channel.mode_payload == twin.MakeCommand(device.cveltor, "C")


def test_mode_fields_round_trip_through_the_records():
    mode = veltor.DelayDuration(delay=3e-6, trigger=Trigger(kind=7, value_mode=9))
    assert (mode.m_Dly.dDelay, mode.m_Trigger.nKind, mode.m_Trigger.nValueMode) == (3e-6, 7, 9)
    assert mode.trigger == Trigger(kind=7, value_mode=9)
    mode.sweep = None
    assert (mode.m_Sweep.bEnable, mode.sweep) == (False, None)
    assert mode.copy() == mode and mode.copy() is not mode
    with pytest.raises(ValueError, match="known: 'normal'"):
        Trigger(kind="sideways")
    with pytest.raises(ValueError):
        veltor.Count(counter_mode=256)


def test_setup_file_round_trip(device, sim, demo_path, tmp_path):
    device.load_setup(demo_path)
    gc.collect()  # the file's own objects are gone; the device keeps Pythonic copies
    assert [type(c.mode).__name__ for c in device] == [
        "DelayDuration", "DynamicDelayDuration", "UpDown", "Validate", "Clock", "Toggle", "Count",
        "Passive"]
    assert device.clock_sources == {"AB": "200MHz", "CD": "3.125MHz", "EF": "200MHz", "GH": "2xref"}
    device.update_all()
    state = sim.state()
    assert [state[c.letter].mode_name for c in device] == [c.mode.name for c in device]
    assert state.outputs_enabled and not state.panel_locked and state.logic_implemented
    assert state["A"].active_logic_code == device["A"].logic_code != b""

    saved = tmp_path / "saved.json"
    device.save_setup(saved)
    assert json.loads(saved.read_text()) == json.loads(demo_path.read_text())


def test_setup_file_errors_name_the_key(device, tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"channels": {"C": {"mode": "delay", "delay": "abc"}}}')
    with pytest.raises(veltor.SetupError) as caught:
        device.load_setup(bad)
    assert caught.value.path == "channels.C.delay"
    with pytest.raises(veltor.SetupError, match="cannot read"):
        device.load_setup(tmp_path / "missing.json")


LOGIC_ERRORS = [
    ("A", "x = in1;\ninA = x & ;", 2, "lacks its right operand"),
    ("A", "inB = in1;", 1, "must assign inA"),
    ("D", "// comment\n\ninD = in9;", 3, "in9"),
    (None, "run = in1;\nstop = (in2;", 2, "Unbalanced parentheses"),
    (None, "a = in1;\nb = a a;", 2, ""),
]


@pytest.mark.parametrize("channel, text, line, words", LOGIC_ERRORS)
def test_logic_errors_tell_the_line(device, channel, text, line, words):
    with pytest.raises(veltor.LogicError) as caught:
        if channel is None:
            device.global_logic = text
        else:
            device[channel].logic = text
    error = caught.value
    assert (error.line, error.channel) == (line, channel)
    assert words in error.message and f"(line {line})" in error.message
    # The text is kept, as the library keeps it.
    assert (device.global_logic if channel is None else device[channel].logic) == text


def test_channel_logic_compiles_against_the_global_logic(device, sim):
    device.global_logic = "run = in1 & not in2;"
    device["B"].logic = "inB = run;"
    device.global_logic = "go = in3;"  # "run" is gone: B no longer compiles
    with pytest.raises(veltor.LogicError) as caught:
        device.update_all()
    assert (caught.value.channel, caught.value.line) == ("B", 1)
    assert sim.requests() == []  # checked before anything was sent
    assert any(p.startswith("channel B: logic:") for p in device.check())


# The instrument takes only the low two bits of a pair's clock-source code,
# while the host converts times at 200 MHz for any code outside 0 to 3: such
# a code is a problem of the check, is never sent, and no file carries it.
BAD_CLOCKS = [("CD", "nClockCD", 5), ("AB", "nClockAB", 4), ("GH", "nClockGH", -1)]


@pytest.mark.parametrize("pair, field, code", BAD_CLOCKS)
def test_a_clock_source_outside_0_to_3_is_never_sent(device, sim, pair, field, code):
    words = f"the clock source of pair {pair} is {code}; only 0 to 3 name a clock"
    # A failed exchange before it: the refusal must not be taken for one.
    sim.fault("negative", count=5)
    with pytest.raises(veltor.RefusedError):
        device.reset_all()
    sim.clear_log()

    setattr(device.general, field, code)
    problems = veltor._veltor.FindDeviceProblems(device.cveltor)
    assert [(letter, logic) for letter, logic, text in problems if words in text] == [(None, False)]
    assert any(words in problem for problem in device.check())
    with pytest.raises(veltor.VeltorError, match=f"^clock options: {words}") as caught:
        device.set_clock()
    assert not isinstance(caught.value, veltor.CommunicationError)
    assert sim.requests() == []
    with pytest.raises(veltor.VeltorError, match="update not started, nothing was sent"):
        device.update_all()
    assert sim.requests() == []


@pytest.mark.parametrize("pair, field, code", BAD_CLOCKS)
def test_a_setup_file_with_such_a_clock_source_is_refused(device, tmp_path, pair, field, code):
    bad = tmp_path / "clock.json"
    bad.write_text(json.dumps({"general": {"clocks": {pair: code}}}))
    with pytest.raises(veltor.SetupError, match=f"unknown clock source {code}") as caught:
        device.load_setup(bad)
    assert caught.value.path == f"general.clocks.{pair}"
    assert getattr(device.general, field) == 0
    setattr(device.general, field, code)
    with pytest.raises(veltor.SetupError) as caught:
        device.save_setup(tmp_path / "saved.json")
    assert caught.value.path == f"general.clocks.{pair}"


def test_a_setups_enabled_channels_outputs_and_panel_as_apply_leaves_them(device, sim, tmp_path):
    path = tmp_path / "enabled.json"
    path.write_text(json.dumps({
        "general": {"outputs": "off", "panel": "locked"},
        "channels": {"A": {"enabled": True}, "B": {"enabled": False, "mode": "toggle"},
                     "C": {"logic": "inC = in1;"}},
    }))
    device["B"].enable()
    device["C"].enable()
    device.load_setup(path)
    assert [c.enable_on_update for c in device][:4] == [True, False, None, None]
    assert sim.state()["B"].enabled  # loading sends nothing
    device.update_all()
    state = sim.state()
    assert [state[c].enabled for c in "ABCD"] == [True, False, True, False]
    assert not state.outputs_enabled and state.panel_locked

    saved = tmp_path / "saved.json"
    device["D"].enable_on_update = True  # not yet sent: the file says what the update makes
    device.save_setup(saved)
    channels = json.loads(saved.read_text())["channels"]
    # C was enabled by a command the instrument acknowledged.
    assert [channels[c].get("enabled") for c in "ABCDE"] == [True, False, True, True, None]
    general = json.loads(saved.read_text())["general"]
    assert (general["outputs"], general["panel"]) == ("off", "locked")


def test_an_enabling_that_fails_stops_the_update_there(device, sim):
    for channel in device:
        channel.enable_on_update = True
    device["A"].enable_on_update = False
    steps = []

    def trace(event):
        # The panel's answer ends the update proper: A's disabling comes next.
        if event.kind == "answer" and event.status == "Unlocking the front panel...":
            sim.fault("negative", count=5)
        if event.kind == "request":
            steps.append(event.status)

    device.trace = trace
    with pytest.raises(veltor.RefusedError, match="channel A: disabling the channel"):
        device.update_all()
    assert steps[-1] == "Disabling the channel..." and "Enabling the channel..." not in steps


# (what the script sets, the warning check() gives for it)
WARNINGS = [
    (lambda d: setattr(d, "clock_sources", {"CD": "3.125MHz"}) or setattr(
        d["C"], "mode", veltor.DelayDuration(delay=1.5e-6, duration=1e-3)),
     "channel C: delay 1.5e-06 s runs as 1.6e-06 s (5 counts of the 3.125 MHz clock, +6.67 %)"),
    (lambda d: setattr(d["A"], "mode", veltor.DelayDuration(delay=1.0025e-6)),
     "channel A: delay 1.0025e-06 s runs as 1.005e-06 s (201 counts of the 200 MHz clock"),
    (lambda d: setattr(d["B"], "logic", "inB = in1 | in2 & in3;"),
     "channel B: logic: line 1: inB mixes or and and without parentheses"),
    (lambda d: setattr(d, "global_logic", "x = in1;\ny = in1 ^ in2 | in3;"),
     "global logic: line 2: y mixes"),
]


@pytest.mark.parametrize("change, warning", WARNINGS)
def test_check_lists_warnings_apart_from_problems(device, change, warning):
    assert device.check() == [] and device.check().warnings == []
    change(device)
    report = device.check()
    assert report.problems == []
    assert len(report.warnings) == 1 and report.warnings[0].startswith(warning), report.warnings


def test_low_layer_diagnostics():
    device = veltor.CVeltor()
    device.GetPropA().nClockCD = 1
    mode = veltor.DelayDuration(delay=1.5e-6, duration=1e-3)
    rounded = veltor.FindRoundedTimes(mode, device, "C")
    assert [(r.channel, r.name, r.counts) for r in rounded] == [("C", "delay", 5)]
    assert rounded[0].running == pytest.approx(1.6e-6) and rounded[0].clockHz == 3.125e6
    assert veltor.FindRoundedTimes(device) == []  # no channel has a mode of its own
    assert [w.line for w in veltor.FindLogicWarnings("a = in1;\n\nb = a & in2 | in3;")] == [3]
    assert veltor.FindLogicWarnings("b = (a & in2) | in3;") == []
