"""veltor-tango against the simulated instrument over a real pseudo-terminal,
driven by Debian's PyTango without a Tango database. One server for the
module; the tests run in file order and the last one stops it."""

import json
import os
import queue
import signal
import subprocess
import threading

import pytest
import tango

import veltor
from helpers import DEVICE, SERVER, free_port, point, until

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
SETUPS = os.path.join(ROOT, "examples", "setups")
DOCS = os.path.join(ROOT, "docs", "tango.md")


class Server:
    def __init__(self, tmp):
        self.link = str(tmp / "port")
        self.sim = veltor.Simulator()
        point(self.link, self.sim.port)
        self.port = free_port()
        self.process = subprocess.Popen(
            [SERVER, "test", "--port", self.link, "--reconnect", "-nodb", "-dlist", DEVICE,
             "-ORBendPoint", f"giop:tcp:127.0.0.1:{self.port}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.url = f"tango://127.0.0.1:{self.port}/{DEVICE}#dbase=no"
        until(lambda: self.client().ping() >= 0, "answer to ping")
        # A busy machine may keep the port from opening at the first try.
        until(lambda: self.client().state() == tango.DevState.ON, "ON")

    def client(self):
        return tango.DeviceProxy(self.url)

    def admin(self):
        admin = f"tango://127.0.0.1:{self.port}/dserver/veltor-tango/test#dbase=no"
        return tango.DeviceProxy(admin)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    running = Server(tmp_path_factory.mktemp("tango"))
    yield running
    if running.process.poll() is None:
        running.process.send_signal(signal.SIGTERM)
        running.process.wait(timeout=20)
    running.sim.close()


@pytest.fixture(scope="module")
def device(server):
    return server.client()


# channel, mode, delay, duration: counts of the 200 MHz clock (5 ns)
MODES = [
    ("A", "delay", 1.5e-6, 10e-6, 300, 2000),
    ("B", "clock", 1e-6, 2e-6, 200, 400),
    ("C", "validate", 4e-6, 8e-6, 800, 1600),
    ("D", "up-down", -1e-6, 20e-6, -200, 4000),
]


def test_modes_and_times_reach_the_instrument(server, device):
    for channel, mode, delay, duration, _, _ in MODES:
        device.write_attribute(f"{channel}_Mode", mode)
        device.write_attribute(f"{channel}_Delay", delay)
        device.write_attribute(f"{channel}_Duration", duration)
    device.UpdateAll()
    assert device.state() == tango.DevState.ON
    state = server.sim.state()
    for channel, mode, delay, duration, delay_counts, duration_counts in MODES:
        assert device.read_attribute(f"{channel}_Mode").value == mode
        assert device.read_attribute(f"{channel}_Delay").value == delay
        assert state[channel].mode_name == mode
        assert (state[channel].signed_delay, state[channel].duration_counts) == (
            delay_counts, duration_counts)


def test_the_ranges_follow_the_mode_and_the_clock(device):
    device.A_Mode = "delay"
    config = device.get_attribute_config("A_Duration")
    assert (config.unit, config.min_value, config.max_value) == ("s", "7.695e-06", "21.474836475")
    device.ClockAB = "3.125MHz"
    assert device.get_attribute_config("A_Duration").min_value == "0.00049248"
    device.ClockAB = "200MHz"


# attribute, value written, the reason, the start of the refusal
OUTSIDE = "API_WAttrOutsideLimit"
REFUSED = [
    ("A_Duration", 1e-9, OUTSIDE,
     "channel A: duration 1e-09 s is outside 7.695e-06 s to 21.474836475 s"),
    ("A_Delay", 30.0, OUTSIDE, "channel A: delay 30 s is outside 2e-08 s to 21.474836475 s"),
    ("E_Delay", 1e-6, "Veltor_Refused", "channel E: mode null has no delay"),
    ("A_Mode", "pulse", "Veltor_Refused", "channel A: no mode 'pulse'; known: delay,"),
    ("A_Logic", "inB = in1;", "Veltor_Refused", "channel A: Error--"),
    ("GlobalLogic", "x = (in1;", "Veltor_Refused",
     "global logic: Error--Unbalanced parentheses. (line 1)"),
    ("ClockCD", "1GHz", "Veltor_Refused", "unknown clock source '1GHz'"),
]


def test_refused_values_give_the_library_words(device):
    device.A_Mode = "delay"
    device.A_Delay = 1.5e-6
    taken = {name: device.read_attribute(name).value for name in ("A_Logic", "GlobalLogic")}
    with open(DOCS) as f:
        documented = f.read()
    for name, value, reason, words in REFUSED:
        with pytest.raises(tango.DevFailed) as refused:
            device.write_attribute(name, value)
        assert (refused.value.args[0].reason, refused.value.args[0].desc[:len(words)]) == (
            reason, words), name
        # The guide names each reason a client may meet.
        assert f"`{reason}`" in documented, reason
    assert device.A_Delay == 1.5e-6
    assert {name: device.read_attribute(name).value for name in taken} == taken
    assert device.state() == tango.DevState.ON


def test_a_failed_command_is_a_fault_until_one_succeeds(server, device):
    server.sim.fault("negative", 5)
    with pytest.raises(tango.DevFailed) as failed:
        device.Enable("A")
    message = "channel A: enabling the channel: refused by the instrument after 5 attempts"
    assert failed.value.args[0].desc == message
    assert (device.state(), device.status()) == (tango.DevState.FAULT, message)
    device.Enable("A")
    assert device.A_Enabled and server.sim.state()["A"].enabled
    assert device.state() == tango.DevState.ON
    with pytest.raises(tango.DevFailed, match="no channel 'Z'"):
        device.Reset("Z")


def test_a_failed_update_leaves_outputs_and_panel_as_written(server, device):
    device.OutputsEnabled = True
    device.PanelLocked = False
    # Locking the panel and then disabling the outputs refused five times
    # each: the update stops with the outputs off and the panel locked.
    server.sim.fault("negative", 10)
    with pytest.raises(tango.DevFailed) as failed:
        device.UpdateAll()
    words = failed.value.args[0].desc
    assert words.startswith("update stopped at disabling the outputs"), words
    assert "bLockFP" not in words and "OutputsEnabled and PanelLocked" in words, words
    assert (device.OutputsEnabled, device.PanelLocked) == (True, False)
    device.UpdateAll()
    state = server.sim.state()
    assert (state.outputs_enabled, state.panel_locked) == (True, False)
    assert device.state() == tango.DevState.ON


# command, argument, what the instrument counts for it
CHANNEL_COMMANDS = [
    ("ForceTrigger", "B", lambda state: state["B"].trigger_count),
    ("Reset", "c", lambda state: state["C"].reset_count),
    ("ResetAll", None, lambda state: state.reset_all_count),
    ("Disable", "A", lambda state: int(not state["A"].enabled)),
]


def test_commands_reach_the_instrument(server, device):
    for command, argument, counted in CHANNEL_COMMANDS:
        before = counted(server.sim.state())
        device.command_inout(command, argument) if argument else device.command_inout(command)
        assert counted(server.sim.state()) == before + 1, command
    server.sim.delay_counts("D", 640)
    assert device.Query("D") == 3.2e-6 == device.D_LastDelay


def test_setup_files_in_and_out(server, device):
    with open(os.path.join(SETUPS, "delay.json")) as f:
        text = f.read()
    assert list(device.CheckSetup(text) or []) == []
    bad = json.loads(text)
    bad["channels"]["A"]["duration"] = 1e-9
    problems = device.CheckSetup(json.dumps(bad))
    assert len(problems) == 1 and problems[0].startswith("channels.A: duration 1e-09 s is outside")
    requests = server.sim.state().request_count
    with pytest.raises(tango.DevFailed, match="nothing sent"):
        device.ApplySetup(json.dumps(bad))
    with pytest.raises(tango.DevFailed, match="expected"):
        device.ApplySetup('{"channels": []}')
    assert server.sim.state().request_count == requests

    device.ApplySetup(text)
    state = server.sim.state()
    a = state["A"]
    assert (a.mode_name, a.delay_counts, a.enabled) == ("delay", 300, True)
    assert device.A_Mode == "delay" and device.A_Delay == 1.5e-6
    assert json.loads(device.ExportSetup())["channels"]["A"] == json.loads(text)["channels"]["A"]


def test_delay_reports_reach_every_subscriber(server, device):
    clients = [device, server.client()]
    heard = [queue.SimpleQueue() for _ in clients]
    ids = [client.subscribe_event("A_LastDelay", tango.EventType.CHANGE_EVENT, q.put)
           for client, q in zip(clients, heard)]
    try:
        for q in heard:  # the value when subscribing
            assert not q.get(timeout=10).err
        # The clients' event channel connects on its own after subscribing
        # returns: probe reports until each client has heard one through it.
        probe = 5e-7
        unheard = set(range(len(heard)))
        before = device.A_ReportCount
        sent = [2]

        def all_heard():
            server.sim.send_report("A", counts=100)
            sent[0] += 1
            for i in list(unheard):
                while not heard[i].empty():
                    if heard[i].get().attr_value.value == probe:
                        unheard.discard(i)
            return not unheard

        until(all_heard, "a probe report's event")
        for counts in (300, 400):
            server.sim.send_report("A", counts=counts)
        for q in heard:
            values = []
            while not values or values[-1] != 2e-6:
                value = q.get(timeout=10).attr_value.value
                if value != probe:
                    values.append(value)
            # Tango's client may hand the first event after subscribing twice.
            assert [v for i, v in enumerate(values) if i == 0 or v != values[i - 1]] == [
                1.5e-6, 2e-6]
        assert device.A_ReportCount == before + sent[0]
    finally:
        for client, event in zip(clients, ids):
            client.unsubscribe_event(event)


def test_two_clients_see_one_instrument(server, device):
    failures = []

    def work(channel, delays):
        client = server.client()
        try:
            client.write_attribute(f"{channel}_Mode", "delay")
            for delay in delays:
                client.write_attribute(f"{channel}_Delay", delay)
                client.UpdateAll()
                values = client.read_attributes([f"{channel}_Delay", "G_LastDelay"])
                assert values[0].value == delay
        except Exception as error:  # reported below, from the test's thread
            failures.append(error)

    # Reports pushed as events while both clients write and read.
    events = queue.SimpleQueue()
    subscription = device.subscribe_event("G_LastDelay", tango.EventType.CHANGE_EVENT, events.put)
    server.sim.start_reports("G", first=1, interval=0.001)
    threads = [threading.Thread(target=work, args=(c, [n * 1e-6 for n in range(1, 21)]))
               for c in "EF"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    server.sim.stop_reports()
    device.unsubscribe_event(subscription)
    assert failures == []
    assert events.qsize() > 1
    state = server.sim.state()
    assert state["E"].delay_counts == state["F"].delay_counts == 4000
    assert device.state() == tango.DevState.ON


def states_until_alarm(server, lose):
    """Every State a second client reads from before the line is lost until
    it reads ALARM."""
    seen = []
    started = threading.Event()

    def watch():
        client = server.client()
        while not seen or seen[-1] != tango.DevState.ALARM:
            seen.append(client.state())
            started.set()

    watcher = threading.Thread(target=watch)
    watcher.start()
    started.wait(timeout=20)
    lose()
    watcher.join(timeout=30)
    assert not watcher.is_alive(), "no ALARM"
    return seen


def test_a_lost_line_is_an_alarm_until_it_comes_back(server, device):
    device.A_Delay = 2e-6
    device.UpdateAll()
    device.Enable("A")
    device.Disable("B")
    for attempt in range(3):
        first = server.sim

        def lose():
            # The name goes before the line: a freed terminal number may go
            # to another program's pseudo-terminal, and a reconnect through
            # a stale name would take it.
            os.unlink(server.link)
            first.hang_up()

        # A line lost while the server reconnects is no fault, not even for
        # a moment.
        seen = states_until_alarm(server, lose)
        assert tango.DevState.FAULT not in seen, (attempt, seen)
        assert "reconnecting" in device.status()
        with pytest.raises(tango.DevFailed):
            device.Query("A")
        server.sim = veltor.Simulator()
        first.close()
        point(server.link, server.sim.port)
        until(lambda: device.state() == tango.DevState.ON, "ON")
        # ON once the last update and the channels' enabled states went again
        # to the instrument that came back.
        state = server.sim.state()
        assert (state["A"].delay_counts, state["A"].enabled, state["B"].enabled) == (
            400, True, False), attempt
        assert state.outputs_enabled and not state.panel_locked
    device.Query("A")


def test_init_amid_reports_starts_over(server, device):
    events = queue.SimpleQueue()
    subscription = device.subscribe_event("G_LastDelay", tango.EventType.CHANGE_EVENT, events.put)
    # Tango's clients give up on a request after 3 s; Init must end well
    # within that every time, with the pusher busy when it comes.
    assert device.get_timeout_millis() == 3000
    for _ in range(8):
        server.sim.start_reports("G", first=1, interval=0.0002)
        until(lambda: events.qsize() > 3, "reports before Init")
        device.Init()
        server.sim.stop_reports()
        while not events.empty():
            events.get()
    assert (device.state(), device.A_Mode) == (tango.DevState.ON, "null")
    # After Init nothing is known of the channels' outputs.
    assert device.read_attribute("A_Enabled").quality == tango.AttrQuality.ATTR_INVALID
    server.sim.send_report("G", counts=5)
    until(lambda: events.get(timeout=10).attr_value.value == 25e-9, "event after Init")
    device.unsubscribe_event(subscription)


def test_kill_stops_the_server_cleanly(server):
    server.admin().command_inout("Kill")
    assert server.process.wait(timeout=20) == 0, server.process.stdout.read()
