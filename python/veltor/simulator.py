"""The simulated instrument, for trying scripts without hardware.

::

    with veltor.Simulator() as sim, veltor.Device(sim.port) as device:
        device["A"].mode = veltor.DelayDuration(delay=1e-6, duration=10e-6)
        device.update_all()
        print(sim.state()["A"].mode_name)        # "delay"
        sim.fault("negative")                    # the next request is refused
        sim.send_report("A", seconds=20e-6)      # an unasked delay report

It serves on a pseudo-terminal (``sim.port``) from threads of its own, which
never call Python; ``close()`` (or the end of the ``with`` block) stops it.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, fields
from numbers import Integral
from typing import Dict, List, Optional, Tuple, Union

from . import _veltor
from ._args import expect

__all__ = ["Simulator", "SimState", "SimChannel", "FAULTS"]

_vsim = _veltor.vsim

#: Fault names for fault() and fault_rate().
FAULTS: Tuple[str, ...] = tuple(_vsim.FAULTS)

# The simulator's own names of two modes, as setup files and veltor's mode
# classes name them.
_MODE_NAMES = {"updown": "up-down", "dyndelay": "dyn-delay"}


@dataclass(frozen=True)
class SimChannel:
    """One channel as the instrument holds it."""

    enabled: bool
    mode_name: Optional[str]  # as in setup files ("delay", "up-down", ...); None: no mode yet
    mode_count: int  # timing modes received
    delay_counts: int  # the mode's delay (the clock mode's first time)
    signed_delay: int  # the same read as signed (up-down)
    duration_counts: int
    sweep_counts: int
    delay_seconds: float  # at the pair's clock
    duration_seconds: float
    clock_hz: float
    inverted: bool
    mode_byte: int
    option_byte: int
    aux_byte: int  # averaging or scaling
    trigger_value: int
    value_selector: int
    mode_payload: bytes
    query_counts: int  # what a query of the channel answers
    trigger_count: int  # forced triggers
    reset_count: int
    logic_code: bytes  # loaded
    logic_load_count: int
    logic_well_formed: bool
    active_logic_code: bytes  # in effect since the last implement-logic


@dataclass(frozen=True)
class SimState:
    """What the instrument holds; ``state["A"]`` is channel A."""

    outputs_enabled: bool
    panel_locked: bool
    logic_implemented: bool
    clock_sources: int  # two bits per pair, A/B lowest
    clock_flags: int
    clock_options_received: int
    reset_all_count: int
    implement_count: int
    reference_hz: float
    request_count: int
    negative_count: int  # requests answered negatively
    channels: Dict[str, SimChannel]

    def __getitem__(self, channel: Union[str, int]) -> SimChannel:
        """The channel by letter "A".."H" or index 0..7."""
        return self.channels[_letter(channel)]


_CHANNEL_FIELDS = {
    "enabled": "enabled",
    "mode_count": "modeCount",
    "delay_counts": "delayCounts1",
    "signed_delay": "signedDelay",
    "duration_counts": "durationCounts",
    "sweep_counts": "sweepCounts",
    "delay_seconds": "delaySeconds",
    "duration_seconds": "durationSeconds",
    "clock_hz": "clockHz",
    "inverted": "inverted",
    "mode_byte": "modeByte",
    "option_byte": "optionByte",
    "aux_byte": "auxByte",
    "trigger_value": "triggerValue",
    "value_selector": "valueSelector",
    "mode_payload": "modePayload",
    "query_counts": "delayCounts",
    "trigger_count": "triggerCount",
    "reset_count": "resetCount",
    "logic_code": "logicCode",
    "logic_load_count": "logicLoadCount",
    "logic_well_formed": "logicWellFormed",
    "active_logic_code": "activeLogicCode",
}
_STATE_FIELDS = {
    f.name: "".join(p.capitalize() if i else p for i, p in enumerate(f.name.split("_")))
    for f in fields(SimState)
    if f.name != "channels"
}
_STATE_FIELDS["reference_hz"] = "referenceHz"


def _letter(channel: Union[str, int]) -> str:
    expect("the channel", channel, "channel")
    if isinstance(channel, int) and not isinstance(channel, bool) and 0 <= channel < 8:
        return "ABCDEFGH"[channel]
    if isinstance(channel, str) and len(channel) == 1 and channel.upper() in "ABCDEFGH":
        return channel.upper()
    raise KeyError(f"no channel {channel!r}: channels are A to H")


def _index(channel: Union[str, int]) -> int:
    return "ABCDEFGH".index(_letter(channel))


def _channel(state: "_vsim.ChannelState") -> SimChannel:
    values = {name: getattr(state, native) for name, native in _CHANNEL_FIELDS.items()}
    values["mode_name"] = _MODE_NAMES.get(state.modeName, state.modeName) if state.hasMode else None
    return SimChannel(**values)


def _checked_counts(method: str, counts: int) -> int:
    expect(f"Simulator.{method}() argument 'counts'", counts, "integer")
    if not 0 <= counts <= 0xFFFFFFFF:
        raise ValueError(f"Simulator.{method}(): {counts} counts is outside 0 to 4294967295")
    return int(counts)


def _check_fault(method: str, kind: str, delay: float) -> None:
    expect(f"Simulator.{method}() argument 'kind'", kind, "text")
    expect(f"Simulator.{method}() argument 'delay'", delay, "seconds")


class Simulator:
    """The simulated instrument on a pseudo-terminal; ``port`` is its path."""

    def __init__(self, pacing: bool = False) -> None:
        self._sim = _vsim.Simulator()
        self._pacing = False
        self.pacing = pacing

    def __enter__(self) -> "Simulator":
        """The simulator itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Closes the simulator."""
        self.close()

    def close(self) -> None:
        """Stops serving and closes the pseudo-terminal."""
        self._sim.Close()

    def __repr__(self) -> str:
        if self._sim.IsClosed():
            return "<veltor.Simulator closed>"
        return f"<veltor.Simulator {self.port}>"

    @property
    def port(self) -> str:
        """The path a Device opens."""
        return self._sim.SlavePath()  # type: ignore[no-any-return]

    @property
    def cpp(self) -> "_vsim.Simulator":
        """The bound vsim::Simulator, for what this class does not cover."""
        return self._sim

    def state(self) -> SimState:
        """A snapshot of what the instrument holds."""
        native = self._sim.State()
        values = {name: getattr(native, attr) for name, attr in _STATE_FIELDS.items()}
        channels = {letter: _channel(c) for letter, c in zip("ABCDEFGH", native.ch)}
        return SimState(channels=channels, **values)

    # ---- What the instrument answers and sends -----------------------------

    def delay(
        self,
        channel: Union[str, int],
        seconds: Optional[float] = None,
        *,
        counts: Optional[int] = None,
    ) -> None:
        """The delay a query of the channel answers, in seconds at the clock
        the instrument runs the channel at (rounded to whole counts), or in
        clock counts with ``counts=``. An int given in place of seconds is
        taken as counts, as before seconds were (with a DeprecationWarning)."""
        self.delay_counts(channel, self._counts(channel, seconds, counts, "delay"))

    def delay_counts(self, channel: Union[str, int], counts: int) -> None:
        """The delay, in clock counts, a query of the channel answers."""
        self._sim.SetChannelDelay(_index(channel), _checked_counts("delay_counts", counts))

    def send_report(
        self,
        channel: Union[str, int],
        seconds: Optional[float] = None,
        *,
        counts: Optional[int] = None,
    ) -> None:
        """Sends one unasked delay report, of ``seconds`` at the clock the
        instrument runs the channel at (rounded to whole counts), or of
        ``counts=`` clock counts; returns once it is written. An int given in
        place of seconds is taken as counts, as before seconds were (with a
        DeprecationWarning)."""
        counts = self._counts(channel, seconds, counts, "send_report")
        self._sim.SendDelayReport(_index(channel), counts)

    def _counts(
        self,
        channel: Union[str, int],
        seconds: Optional[float],
        counts: Optional[int],
        method: str,
    ) -> int:
        if isinstance(seconds, Integral) and not isinstance(seconds, bool) and counts is None:
            # Scripts written when the second argument was counts.
            warnings.warn(
                f"Simulator.{method}(channel, {seconds}) takes seconds now: "
                f"give counts={seconds} (taken as counts)",
                DeprecationWarning,
                stacklevel=3,
            )
            seconds, counts = None, int(seconds)
        if (seconds is None) == (counts is None):
            raise TypeError(f"Simulator.{method}() takes seconds or counts=, one of them")
        if counts is None:
            expect(f"Simulator.{method}() argument 'seconds'", seconds, "seconds")
            counts = round(seconds * self.state()[channel].clock_hz)  # type: ignore[operator]
        return _checked_counts(method, counts)

    def start_reports(
        self, channel: Union[str, int, None] = None, first: int = 0, interval: float = 0.1
    ) -> None:
        """A stream of reports with counts first, first + 1, ... every
        ``interval`` seconds, of one channel or (None) of A..H in turn."""
        expect("Simulator.start_reports() argument 'first'", first, "integer")
        expect("Simulator.start_reports() argument 'interval'", interval, "seconds")
        _checked_counts("start_reports", first)
        index = -1 if channel is None else _index(channel)
        self._sim.StartReportStream(index, first, int(interval * 1e6))

    def stop_reports(self) -> int:
        """Stops the stream; returns how many reports it sent."""
        return self._sim.StopReportStream()  # type: ignore[no-any-return]

    @property
    def reference_hz(self) -> float:
        """The reference clock behind the clock sources "2xref" and "2xref/64"."""
        return self.state().reference_hz

    @reference_hz.setter
    def reference_hz(self, hz: float) -> None:
        expect("Simulator.reference_hz", hz, "number")
        self._sim.SetReferenceHz(hz)

    # ---- Faults and the line ---------------------------------------------------

    def fault(self, kind: str, count: int = 1, delay: float = 0.0) -> None:
        """The next ``count`` requests meet the fault (see FAULTS): "no-answer"
        swallows a request, "negative" refuses it, "bad-checksum" spoils the
        answer's checksum, "delay" answers after ``delay`` seconds, "hang-up"
        closes the line instead of answering, ..."""
        _check_fault("fault", kind, delay)
        expect("Simulator.fault() argument 'count'", count, "integer")
        self._sim.QueueFaults(kind, count, int(delay * 1000))

    def fault_rate(self, kind: str, probability: float, seed: int = 1, delay: float = 0.0) -> None:
        """Each request meets the fault with that probability while no queued
        fault is left (reproducible by seed); probability 0 ends it."""
        _check_fault("fault_rate", kind, delay)
        expect("Simulator.fault_rate() argument 'probability'", probability, "number")
        expect("Simulator.fault_rate() argument 'seed'", seed, "integer")
        self._sim.SetFaultRate(kind, probability, seed, int(delay * 1000))

    def clear_faults(self) -> None:
        """Drops the queued faults."""
        self._sim.ClearFaults()

    @property
    def pacing(self) -> bool:
        """Both directions at the line speed the host set, ten bit times a
        byte, as on a real line."""
        return self._pacing

    @pacing.setter
    def pacing(self, on: bool) -> None:
        expect("Simulator.pacing", on, "flag")
        self._sim.SetPacing(on)
        self._sim.SetReadPacing(on)
        self._pacing = bool(on)

    def hang_up(self) -> None:
        """Closes the line as when a USB adapter is pulled."""
        self._sim.HangUp()

    @property
    def hung_up(self) -> bool:
        """Whether the line is closed (hang_up() or the "hang-up" fault)."""
        return self._sim.IsHungUp()  # type: ignore[no-any-return]

    # ---- Requests received --------------------------------------------------------

    def requests(self) -> List[bytes]:
        """The payloads of the valid requests received since clear_log()."""
        return self._sim.Payloads()  # type: ignore[no-any-return]

    def wait_for_requests(self, count: int, timeout: float = 5.0) -> bool:
        """Waits until ``count`` requests (valid or not) arrived since clear_log()."""
        expect("Simulator.wait_for_requests() argument 'count'", count, "integer")
        expect("Simulator.wait_for_requests() argument 'timeout'", timeout, "seconds")
        return self._sim.WaitForFrames(count, int(timeout * 1000))  # type: ignore[no-any-return]

    def clear_log(self) -> None:
        """Forgets the requests received so far."""
        self._sim.ClearLog()
