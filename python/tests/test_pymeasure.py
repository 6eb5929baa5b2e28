"""veltor.pymeasure: the instrument's properties reach the simulated
instrument, its validators refuse before sending, and a PyMeasure
procedure sweeps a delay through a Worker."""

import importlib
import sys

import pytest

import veltor

try:
    import pymeasure  # noqa: F401
except ImportError:
    pymeasure = None

needs_pymeasure = pytest.mark.skipif(
    pymeasure is None, reason="PyMeasure is missing: apt-get install python3-pymeasure"
)


def test_import_without_pymeasure_says_what_to_install(monkeypatch):
    monkeypatch.delitem(sys.modules, "veltor.pymeasure", raising=False)
    for name in ("pymeasure", "pymeasure.adapters", "pymeasure.instruments"):
        monkeypatch.setitem(sys.modules, name, None)  # None makes the import fail
    with pytest.raises(ImportError, match="install python3-pymeasure"):
        importlib.import_module("veltor.pymeasure")


@pytest.fixture
def generator(sim):
    from veltor.pymeasure import Veltor

    instrument = Veltor(sim.port)
    sim.cpp.WaitForRawBytes(1024, 5000)  # the filler burst is in
    sim.clear_log()
    yield instrument
    instrument.shutdown()


# (what the script does to channel A, what the instrument then shows)
SETTINGS = [
    (lambda a: setattr(a, "mode", "delay"), lambda s: s["A"].mode_name == "delay"),
    (lambda a: (setattr(a, "mode", "delay"), setattr(a, "delay", 1.5e-6)),
     lambda s: s["A"].delay_counts == 300),
    (lambda a: (setattr(a, "mode", "clock"), setattr(a, "duration", 2e-6)),
     lambda s: s["A"].mode_name == "clock" and s["A"].duration_counts == 400),
    (lambda a: (setattr(a, "mode", "up-down"), setattr(a, "delay", -1e-6)),
     lambda s: s["A"].signed_delay == -200),
    (lambda a: setattr(a, "enabled", True), lambda s: s["A"].enabled),
    (lambda a: (setattr(a, "enabled", True), setattr(a, "enabled", False)),
     lambda s: not s["A"].enabled),
    (lambda a: a.trigger(), lambda s: s["A"].trigger_count == 1),
    (lambda a: a.reset(), lambda s: s["A"].reset_count == 1),
    (lambda a: setattr(a.instrument, "outputs_enabled", True), lambda s: s.outputs_enabled),
]


@needs_pymeasure
@pytest.mark.parametrize("change, shows", SETTINGS)
def test_settings_reach_the_instrument(generator, sim, change, shows):
    change(generator.ch_a)
    assert shows(sim.state())


@needs_pymeasure
def test_a_mode_of_the_same_kind_keeps_its_times(generator, sim):
    generator.ch_b.mode = "delay"
    generator.ch_b.delay = 3e-6
    generator.ch_b.mode = "delay"
    assert generator.ch_b.delay == 3e-6
    assert sim.state()["B"].mode_count == 3
    generator.ch_b.mode = "clock"
    assert generator.ch_b.delay == veltor.Clock().delay


# (mode, property, value): refused by the validator, nothing sent
REFUSED = [
    ("clock", "delay", 1e-9),
    ("clock", "duration", 1.0),
    ("delay", "duration", 1e-9),
    ("toggle", "delay", 1e-6),
    (None, "mode", "sawtooth"),
    (None, "enabled", "yes"),
]


@needs_pymeasure
@pytest.mark.parametrize("mode, name, value", REFUSED)
def test_validators_refuse_before_sending(generator, sim, mode, name, value):
    if mode:
        generator.ch_c.mode = mode
    sim.clear_log()
    with pytest.raises(ValueError):
        setattr(generator.ch_c, name, value)
    assert sim.requests() == []


@needs_pymeasure
def test_ranges_follow_the_pairs_clock(generator, sim):
    channel = generator.channel("D")
    channel.mode = "clock"
    assert channel.time_range("delay") == pytest.approx((128 / 200e6, 10485720 / 200e6))
    generator.device.clock_sources = {"CD": "3.125MHz"}
    assert channel.time_range("delay") == pytest.approx((128 / 3.125e6, 10485720 / 3.125e6))
    # Within its own interval, kept; the default duration is now too short,
    # so nothing is sent until it is set too.
    with pytest.raises(veltor.ParameterError, match="duration"):
        channel.delay = 1e-3
    channel.duration = 1.6e-4
    assert (sim.state()["D"].delay_counts, sim.state()["D"].duration_counts) == (3125, 500)
    assert set(channel.time_ranges) == {"delay", "duration"}


@needs_pymeasure
def test_queries_ask_the_instrument(generator, sim):
    sim.delay("E", 20e-6)
    assert generator.ch_e.last_delay == 0.0
    assert generator.ch_e.queried_delay == pytest.approx(20e-6)
    assert generator.ch_e.last_delay == pytest.approx(20e-6)


@needs_pymeasure
def test_text_commands_are_refused_without_sending(generator, sim):
    with pytest.raises(NotImplementedError, match="no text commands"):
        generator.write("*IDN?")
    assert sim.requests() == []


@needs_pymeasure
def test_shutdown_turns_outputs_off_and_closes_only_what_it_opened(device, sim):
    from veltor.pymeasure import Veltor

    borrowed = Veltor(device)
    borrowed.outputs_enabled = True
    borrowed.shutdown()
    assert not sim.state().outputs_enabled
    assert device.connected and borrowed.isShutdown


@needs_pymeasure
def test_procedure_sweeps_a_delay_and_records_the_queried_one(sim, tmp_path):
    from pymeasure.experiment import (
        FloatParameter, IntegerParameter, Parameter, Procedure, Results, Worker)
    from veltor.pymeasure import Veltor

    class DelaySweep(Procedure):
        port = Parameter("Port")
        start = FloatParameter("Start", units="s")
        stop = FloatParameter("Stop", units="s")
        steps = IntegerParameter("Steps")
        DATA_COLUMNS = ["Delay (s)", "Queried delay (s)"]

        def startup(self):
            self.generator = Veltor(self.port)
            self.generator.ch_a.mode = "delay"

        def execute(self):
            step = (self.stop - self.start) / (self.steps - 1)
            for i in range(self.steps):
                self.generator.ch_a.delay = self.start + i * step
                self.emit("results", {"Delay (s)": self.generator.ch_a.delay,
                                      "Queried delay (s)": self.generator.ch_a.queried_delay})

        def shutdown(self):
            self.generator.shutdown()

    sim.delay("A", 20e-6)  # what the instrument answers a query with
    procedure = DelaySweep(port=sim.port, start=1e-6, stop=5e-6, steps=5)
    results = Results(procedure, str(tmp_path / "sweep.csv"))
    worker = Worker(results)
    worker.start()
    worker.join(None)

    assert procedure.status == Procedure.FINISHED
    data = results.data
    assert list(data["Delay (s)"]) == pytest.approx([1e-6, 2e-6, 3e-6, 4e-6, 5e-6])
    assert list(data["Queried delay (s)"]) == pytest.approx([20e-6] * 5)
    state = sim.state()
    assert state["A"].mode_count == 6 and state["A"].delay_counts == 1000
    assert not state.outputs_enabled
