"""Each Pythonic command reaches the instrument as the command it names."""

import threading

import pytest

import veltor


# (what the script does, what the instrument then shows)
COMMANDS = [
    (lambda d: d["B"].enable(), lambda s: s["B"].enabled),
    (lambda d: (d["B"].enable(), d["B"].disable()), lambda s: not s["B"].enabled),
    (lambda d: d["E"].trigger(), lambda s: s["E"].trigger_count == 1),
    (lambda d: d["F"].reset(), lambda s: s["F"].reset_count == 1),
    (lambda d: d.reset_all(), lambda s: s.reset_all_count == 1),
    (lambda d: d.outputs_on(), lambda s: s.outputs_enabled),
    (lambda d: (d.outputs_on(), d.outputs_off()), lambda s: not s.outputs_enabled),
    (lambda d: d.lock_panel(), lambda s: s.panel_locked),
    (lambda d: (d.lock_panel(), d.unlock_panel()), lambda s: not s.panel_locked),
    (lambda d: d.implement_logic(), lambda s: s.implement_count == 1 and s.logic_implemented),
    (lambda d: d["G"].transfer_logic(), lambda s: s["G"].logic_load_count == 1),
    (lambda d: d.transfer_all_logic(),
     lambda s: all(c.logic_load_count == 1 for c in s.channels.values())),
    (lambda d: d["H"].set_timing_mode(), lambda s: s["H"].mode_name == "null"),
    (lambda d: d.set_all_timing_modes(),
     lambda s: all(c.mode_count == 1 for c in s.channels.values())),
]


@pytest.mark.parametrize("command, shows", COMMANDS)
def test_commands(device, sim, command, shows):
    command(device)
    assert shows(sim.state())


def test_query_answers_in_seconds_at_the_pairs_clock(device, sim):
    sim.delay("C", counts=4000)
    assert device["C"].query() == pytest.approx(4000 / 200e6)
    device.clock_sources = {"CD": "3.125MHz"}
    assert device["D"].query() == 0.0
    sim.delay_counts("D", 3125)
    assert device["D"].query() == pytest.approx(1e-3)
    assert device["D"].last_delay == pytest.approx(1e-3)
    device.set_clock()  # the simulator converts seconds at the clock it was sent
    sim.delay("D", 2e-3)
    assert device["D"].query() == pytest.approx(2e-3)
    assert sim.state()["D"].query_counts == 6250


def test_the_simulators_old_spelling_is_counts():
    with veltor.Simulator() as sim:
        with pytest.warns(DeprecationWarning, match="give counts=300"):
            sim.delay("A", 300)
        assert sim.state()["A"].query_counts == 300
        with pytest.raises(TypeError, match="seconds or counts="):
            sim.delay("A", 1e-6, counts=3)
        with pytest.raises(ValueError, match="outside 0 to 4294967295"):
            sim.delay("A", 30.0)  # 6e9 counts of 200 MHz


def test_trace_events_show_their_bytes_in_hex(device):
    events = []
    device.trace = events.append
    device.reset_all()
    request = events[0]
    assert request.kind == "request" and request.bytes[:2] == b"\x25\xd8"
    text = request.bytes.hex(" ")
    assert request.status and str(request) == f"request: {text} ({request.status})"
    assert f"bytes=bytes.fromhex('{request.bytes.hex(' ')}')" in repr(request)
    assert eval(repr(request).replace("TraceEvent", "veltor.TraceEvent")) == request


def test_general_properties_reach_the_instrument(device, sim):
    device.clock_sources = {"AB": "3.125MHz", "CD": "2xref", "EF": "2xref/64", "GH": 0}
    device.reference_hz = 50e6
    device.general.bLockFP = True
    device.set_clock()
    state = sim.state()
    assert state.clock_sources == 1 | 2 << 2 | 3 << 4
    assert state.clock_flags & 0x20
    assert device.clock_sources == {
        "AB": "3.125MHz", "CD": "2xref", "EF": "2xref/64", "GH": "200MHz"}
    assert [device.clock_hz(c) for c in "ACEG"] == [3.125e6, 100e6, 100e6 / 64, 200e6]
    with pytest.raises(ValueError, match="known: 200MHz"):
        device.clock_sources = {"AB": "1GHz"}
    with pytest.raises(KeyError):
        device.clock_sources = {"BC": 0}


def test_callbacks_come_back_with_a_new_connection(device, sim):
    # The library hands a report on before it traces the bytes that carried
    # it, and streams before listeners: each callback is awaited on its own.
    reports, reported, unasked = [], threading.Event(), threading.Event()

    def on_report(report):
        reports.append(report)
        reported.set()

    device.on_report = on_report
    device.trace = lambda event: event.kind == "unasked" and unasked.set()
    device.close()
    device.connect(sim.port)
    sim.send_report("A", counts=9)
    assert reported.wait(5) and unasked.wait(5)
    assert [r.counts for r in reports] == [9]
    device.on_report = None
    with device.reports(timeout=2, count=2) as stream:
        sim.send_report("A", counts=10)
        sim.send_report("A", 55e-9)  # 11 counts of 200 MHz
        assert [r.counts for r in stream] == [10, 11]
    assert [r.counts for r in reports] == [9]


@pytest.mark.parametrize("channel", ["a", 0, "A"])
def test_channels_by_letter_or_index(device, channel):
    assert device[channel] == device.channel("A") and device[channel].letter == "A"


@pytest.mark.parametrize("channel", ["I", 8, "AB", -1])
def test_no_such_channel(device, channel):
    with pytest.raises(KeyError, match="channels are A to H"):
        device[channel]


@pytest.mark.parametrize("fault, fired, raised", [
    ("negative", 1, False),       # refused: not carried out, sent again
    ("bad-checksum", 1, True),    # carried out, the answer garbled
    ("header-only", 1, True),     # carried out, the answer cut
])
def test_a_trigger_fires_at_most_once_per_call(device, sim, fault, fired, raised):
    sim.fault(fault)
    if raised:
        with pytest.raises(veltor.VeltorError, match="may or may not have been carried out"):
            device["E"].trigger()
    else:
        device["E"].trigger()
    assert sim.state()["E"].trigger_count == fired


def test_a_failed_update_leaves_the_flags_as_asked_and_a_retry_turns_the_outputs_on(device, sim):
    sim.fault("negative", count=10)  # the panel lock, then the outputs' disabling, refused
    with pytest.raises(veltor.VeltorError):
        device.update_all()
    assert not device.general.bDisableOutputs and not device.general.bLockFP
    device.update_all()
    state = sim.state()
    assert state.outputs_enabled and not state.panel_locked
