"""What must hold across threads and object lifetimes."""

import gc
import itertools
import subprocess
import sys
import threading
import time
import weakref

import pytest

import veltor


def connect_when_free(port, timeout=5.0):
    """A device on the port, as soon as the port's previous holder let go."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return veltor.Device(port)
        except veltor.ConnectionFailedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def await_reports(device, timeout=20.0):
    """Returns once channel A's reports flow (a busy machine may take long)."""
    deadline = time.monotonic() + timeout
    while device["A"].report_count == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert device["A"].report_count > 0


# ---- Lifetimes ---------------------------------------------------------------


def attach_pythonic(device):
    device["A"].mode = veltor.DelayDuration(delay=1e-6, duration=10e-6)


def attach_native(device):
    mode = veltor.CDelayDurate()
    mode.m_Dly.dDelay, mode.m_Dly.dDuration = 1e-6, 10e-6
    device.cveltor.GetChannel("A").SetTimingMode(mode)


@pytest.mark.parametrize("attach", [attach_pythonic, attach_native])
def test_an_attached_mode_outlives_the_scripts_reference(device, sim, attach):
    attach(device)
    gc.collect()
    kept = weakref.ref(device["A"].mode)
    device.update_all()
    assert (sim.state()["A"].mode_name, sim.state()["A"].delay_counts) == ("delay", 200)
    device["A"].mode = None  # replaced: the device lets go of it
    gc.collect()
    assert kept() is None


# Objects that live inside another; each must keep its owner alive.
INNER = [
    ("channel", veltor.CVeltor, lambda d: d.GetChannel("C"), lambda c: c.GetChannelLogic()),
    ("general", veltor.CVeltor, lambda d: d.GetPropA(), lambda g: g.dRefClockHz),
    ("record", veltor.CUpDown, lambda m: m.m_Dly, lambda r: r.dDelay),
    ("setup mode", lambda: veltor.setup.Parse('{"channels": {"B": {"mode": "clock"}}}'),
     lambda s: s.channels[1].mode, lambda m: m.m_Clock.dDelay),
]


@pytest.mark.parametrize("make, inner, use", [i[1:] for i in INNER], ids=[i[0] for i in INNER])
def test_inner_objects_keep_their_owner(make, inner, use):
    owner = make()
    owner_ref = weakref.ref(owner)
    inside = inner(owner)
    del owner
    gc.collect()
    assert owner_ref() is not None
    use(inside)
    del inside
    gc.collect()
    assert owner_ref() is None


def cycle_pythonic(port):
    device = veltor.Device(port)
    device.on_report = lambda report: device.last_error
    device.trace = lambda event: device
    return weakref.ref(device)


def cycle_native(port):
    device = veltor.CVeltor()
    assert device.InitConnection(port, veltor.CSerDev.kBaud115200) == 0
    device.SetReportListener(lambda *report: device.GetLastError())
    device.SetTrace(lambda event: device)
    return weakref.ref(device)


@pytest.mark.parametrize("make", [cycle_pythonic, cycle_native])
def test_a_device_its_callbacks_refer_to_is_collected(sim, make):
    gone = make(sim.port)
    gc.collect()
    assert gone() is None
    with connect_when_free(sim.port, timeout=0):  # its port was closed
        pass


def test_a_device_let_go_inside_its_own_callback(sim):
    # The report thread that runs the callback cannot tear its own device
    # down (the teardown waits for it); the package hands that to another thread.
    held = {"device": veltor.Device(sim.port)}
    called = threading.Event()

    def listener(report):
        held.pop("device", None)
        called.set()

    held["device"].on_report = listener
    sim.send_report("A", 1)
    assert called.wait(5)
    with connect_when_free(sim.port) as again:
        assert again.connected


@pytest.mark.parametrize("daemon", [False, True], ids=["thread", "daemon"])
def test_a_device_let_go_on_another_thread(sim, daemon):
    # A thread the interpreter's exit may end hands the teardown to the
    # package's own thread and goes on at once; any other thread tears the
    # device down itself, which waits for the listener call in progress.
    entered, release, left, returned = (threading.Event() for _ in range(4))

    def listener(report):
        entered.set()
        release.wait(5)
        left.set()

    device = veltor.Device(sim.port)
    device.on_report = listener
    sim.send_report("A", 1)
    assert entered.wait(5)
    seen = []

    def let_go(held):
        held.pop()  # the last reference
        seen.append(left.is_set())
        returned.set()

    thread = threading.Thread(target=let_go, args=([device],), daemon=daemon)
    del device
    thread.start()
    if daemon:
        assert returned.wait(5)
    release.set()
    thread.join(5)
    assert seen == [not daemon]
    with connect_when_free(sim.port, timeout=5 if daemon else 0):
        pass


def test_dropping_a_busy_device_with_callbacks_does_not_hang(sim):
    device = veltor.Device(sim.port)
    device.on_report = lambda report: time.sleep(0.001)
    device.trace = lambda event: None
    sim.start_reports("A", interval=0.0005)
    await_reports(device)
    del device
    gc.collect()
    sim.stop_reports()
    with connect_when_free(sim.port):
        pass


# ---- Reports -------------------------------------------------------------------


def test_reports_arrive_while_the_script_sends_commands(device, sim):
    with device.reports(timeout=2) as stream:  # open before the first report
        sim.start_reports("B", first=100, interval=0.005)
        for _ in range(10):
            device["A"].enable()
            device["A"].query()
        reports = list(itertools.islice(stream, 30))
    sim.stop_reports()
    assert [r.counts for r in reports] == list(range(100, 130))
    assert {r.channel for r in reports} == {"B"}
    assert reports[0].seconds == pytest.approx(100 / 200e6)
    assert all(a.time_ns < b.time_ns for a, b in zip(reports, reports[1:]))
    assert device["B"].report_count >= 30
    assert device.dropped_reports == 0


def test_a_report_stream_ends(device, sim):
    handed_on = threading.Event()
    device.add_report_listener(lambda report: handed_on.set())
    sim.send_report("C", 7)  # before the stream: not in it
    assert handed_on.wait(5)
    # Long enough for report 8 to arrive on a loaded machine.
    stream = device.reports(timeout=1.0)
    sim.send_report("C", 8)
    assert [r.counts for r in stream] == [8]  # then no report for 1 s
    later = device.reports()
    device.close()
    assert list(later) == []


def replace_on_report(device, listener):
    device.on_report = None


def remove_listener(device, listener):
    device.remove_report_listener(listener)


@pytest.mark.parametrize("remove", [replace_on_report, remove_listener])
def test_a_listener_removed_while_a_report_is_handed_on_is_not_called(device, sim, remove):
    # Nothing waits for a listener in progress, so what a caller can rely on
    # is that the removed one does not start again, even for this report.
    called, done = [], threading.Event()
    device.add_report_listener(lambda report: remove(device, second))

    def second(report):
        called.append(report.counts)

    device.on_report = second  # after the first
    device.add_report_listener(lambda report: done.set())
    sim.send_report("A", 1)
    assert done.wait(5)
    assert called == []


def native_listener(device, on_report):
    device.cveltor.SetReportListener(lambda channel, counts, seconds, ns: on_report(counts))


def pythonic_listener(device, on_report):
    device.on_report = lambda report: on_report(report.counts)


@pytest.mark.parametrize("install", [native_listener, pythonic_listener])
def test_a_raising_callback_is_reported_and_reports_go_on(device, sim, monkeypatch, install):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    counts = []
    both = threading.Event()

    def on_report(count):
        counts.append(count)
        if count == 1:
            raise RuntimeError("listener failed")
        both.set()

    install(device, on_report)
    sim.send_report("A", 1)
    sim.send_report("A", 2)
    assert both.wait(5)
    assert counts == [1, 2]
    assert [type(r.exc_value) for r in reported] == [RuntimeError]


def test_a_raising_trace_is_reported(device, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    device.trace = lambda event: 1 / 0
    device.outputs_on()
    assert reported and all(type(r.exc_value) is ZeroDivisionError for r in reported)


def test_the_trace_sees_requests_and_answers(device):
    events = []
    device.trace = events.append
    device["D"].trigger()
    device.trace = None
    assert [e.kind for e in events] == ["request", "answer"]
    assert events[0].bytes[0] == 0x25 and events[0].status
    device.outputs_on()
    assert len(events) == 2


# ---- Threads --------------------------------------------------------------------


def test_python_runs_during_a_slow_exchange(device, sim):
    # Another thread wakes when the request arrives and looks whether the
    # call is still going on: were the GIL held through the call, it could
    # look only once the call had returned. Four unanswered attempts keep
    # the call going for two seconds, however loaded the machine.
    returned = threading.Event()
    seen = []

    def look():
        sim.cpp.WaitForFrames(1, 30000)
        seen.append(not returned.is_set())

    looker = threading.Thread(target=look)
    looker.start()
    sim.fault("no-answer", count=4)
    device.outputs_on()
    returned.set()
    looker.join()
    assert seen == [True]  # it ran while the call waited


def test_commands_from_two_threads_with_a_trace(device, sim):
    # The trace takes the GIL while the library holds its locks; a thread
    # that waited for those locks holding the GIL would deadlock with it.
    # Reports make the report thread command the device meanwhile.
    events = []
    device.trace = events.append
    device.on_report = lambda report: device["H"].enable()
    sim.start_reports("A", interval=0.01)
    failures = []

    def work(letter):
        try:
            for _ in range(20):
                device[letter].enable()
                with device.hold():
                    device[letter].mode = veltor.Toggle()
                device[letter].set_timing_mode()
        except Exception as error:  # pragma: no cover - reported below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(letter,)) for letter in "AB"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    sim.stop_reports()
    assert not any(t.is_alive() for t in threads) and failures == []
    assert len(events) >= 160 and sim.state()["H"].enabled


def test_the_interpreter_exits_while_reports_stream(tmp_path):
    # Devices left connected, their callbacks busy: the exit silences them
    # before the interpreter stops serving their threads.
    script = tmp_path / "leave.py"
    script.write_text(
        "import time, veltor\n"
        "sim = veltor.Simulator()\n"
        "device = veltor.Device(sim.port)\n"
        "device.on_report = lambda report: time.sleep(0.0005)\n"
        "device.trace = lambda event: None\n"
        "sim.start_reports('A', interval=0.0002)\n"
        "deadline = time.monotonic() + 20\n"
        "while device['A'].report_count == 0 and time.monotonic() < deadline:\n"
        "    time.sleep(0.01)\n"
        "assert device['A'].report_count > 0\n"
    )
    done = subprocess.run([sys.executable, str(script)], timeout=30, capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")
