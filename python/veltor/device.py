"""The instrument, its channels and its delay reports, Pythonically.

A :class:`Device` wraps one ``CVeltor`` (``device.cveltor``). Commands raise
instead of returning False, with the library's diagnosis (see
:mod:`veltor.errors`). Commands that send timing modes or logic check them
first and send nothing when one would be refused.

Threads: every method may be called from any thread; each command holds the
device's lock for its run, and ``with device.hold():`` keeps other threads'
commands out while a script changes modes or general properties they send.
Report listeners run on the device's report thread; the wire trace runs while
the device holds its receive lock, so it must not call the device.

A listener may run commands, so under ``hold()`` nothing here waits for a
listener call in progress (it may be waiting for that very hold): ``close()``
and replacing or removing listeners return at once there. What a caller can
rely on then: a listener taken out is not called again, and after close() no
further report reaches the listeners; the report being handed on at that
moment may still reach them, and their commands wait for the hold to end.

A script may end while listeners, report streams or other threads still use
a device: the interpreter's exit stops calling listeners and traces, ends
the threads that are in the middle of a call, and the process exits with
the script's status.
"""

from __future__ import annotations

import contextlib
import os
import queue
import threading
from collections import namedtuple
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Union

from . import _veltor
from ._args import expect, expect_callable, expect_instance, store
from .errors import (
    ConnectionFailedError,
    LogicError,
    Outcome,
    ParameterError,
    SetupError,
    VeltorError,
    from_outcome,
)
from .modes import pythonic

__all__ = [
    "Device",
    "Channel",
    "CheckReport",
    "Report",
    "TraceEvent",
    "ReportStream",
    "CLOCK_SOURCES",
]

LETTERS = "ABCDEFGH"

#: Clock sources of a channel pair by their setup-file names (codes 0..3).
CLOCK_SOURCES = ("200MHz", "3.125MHz", "2xref", "2xref/64")
_PAIRS = {"AB": "nClockAB", "CD": "nClockCD", "EF": "nClockEF", "GH": "nClockGH"}

Report = namedtuple("Report", "channel counts seconds time_ns")
Report.__doc__ = """A delay report: the channel letter, the delay in clock counts and in
seconds (at the pair's clock when it was handed on) and the monotonic time
stamp of its arrival in nanoseconds."""

def _failed() -> NoReturn:
    """Raises for this thread's last failed command. A bound command keeps
    its own failure, read under the device's lock, so that the simple
    commands need no hold (a context manager costs more than the host's own
    work for an exchange) to raise for theirs and not another thread's."""
    raise from_outcome(*_veltor.LastCommandFailure())


class TraceEvent(namedtuple("TraceEvent", "kind bytes time_ns status")):
    """One event of the wire trace: kind "request", "answer" or "unasked",
    the bytes, a monotonic time stamp in nanoseconds and the status text of
    the command in progress ("Setting timing mode..."; empty when none runs).
    repr() and str() show the bytes in hex ("01 4b 00 ..."), as the tool's
    trace does."""

    __slots__ = ()

    @property
    def hex(self) -> str:
        """The bytes in hex, a space between two bytes."""
        return self.bytes.hex(" ")

    def __repr__(self) -> str:
        return (
            f"TraceEvent(kind={self.kind!r}, bytes=bytes.fromhex({self.hex!r}), "
            f"time_ns={self.time_ns!r}, "
            f"status={self.status!r})"
        )

    def __str__(self) -> str:
        status = f" ({self.status})" if self.status else ""
        return f"{self.kind}: {self.hex}{status}"


class CheckReport(list):  # type: ignore[type-arg]
    """What ``Device.check()`` found: a list of the problems (each one text),
    which ``update_all()`` would refuse, and ``warnings``, which it would
    send all the same: times that run other than as written and logic texts
    that mix operators of different kinds without parentheses."""

    def __init__(self, problems: Sequence[str], warnings: Sequence[str]) -> None:
        super().__init__(problems)
        self.warnings: List[str] = list(warnings)

    @property
    def problems(self) -> List[str]:
        """The problems, as a plain list."""
        return list(self)

    def __repr__(self) -> str:
        return f"CheckReport(problems={list(self)!r}, warnings={self.warnings!r})"

_TRACE_KINDS = {
    _veltor.CSerDev.TraceEvent.kRequest: "request",
    _veltor.CSerDev.TraceEvent.kAnswer: "answer",
    _veltor.CSerDev.TraceEvent.kUnasked: "unasked",
}

_END = object()


def _baud_index(baud: int) -> int:
    expect("Device.connect() argument 'baud'", baud, "integer")
    for index in range(_veltor.CSerDev.kBaud2400, _veltor.CSerDev.kBaud115200 + 1):
        if _veltor.CSerDev.BaudRate(index) == baud:
            return index
    raise ValueError(
        f"no line speed {baud} bit/s: use 2400, 4800, 9600, 19200, 38400, 57600 or 115200"
    )


def _letter(channel: Union[str, int]) -> str:
    expect("the channel", channel, "channel")
    if isinstance(channel, int) and not isinstance(channel, bool) and 0 <= channel < 8:
        return LETTERS[channel]
    if isinstance(channel, str) and len(channel) == 1 and channel.upper() in LETTERS:
        return channel.upper()
    raise KeyError(f"no channel {channel!r}: channels are A to H")


def _describe_rounding(time: Any) -> str:
    # "channel C: delay 1.5e-06 s runs as 1.6e-06 s (5 counts of the
    # 3.125 MHz clock, +6.67 %)": as many digits as tell the two apart.
    digits = 6
    while digits < 17 and f"{time.written:.{digits}g}" == f"{time.running:.{digits}g}":
        digits += 1
    change = (time.running / time.written - 1.0) * 100.0
    return (
        f"channel {time.channel}: {time.name} {time.written:.{digits}g} s runs as "
        f"{time.running:.{digits}g} s ({time.counts} counts of the "
        f"{_hz(time.clockHz)} clock, {change:+.3g} %)"
    )


def _hz(hz: float) -> str:
    for unit, scale in (("GHz", 1e9), ("MHz", 1e6), ("kHz", 1e3)):
        if hz >= scale:
            return f"{hz / scale:g} {unit}"
    return f"{hz:g} Hz"


def _report_unraisable(error: BaseException, context: object) -> None:
    _veltor._write_unraisable(error, context)


class _ReportHub:
    """Hands each report to the listeners and the open report streams.

    It is the device's one listener in the library and holds no reference to
    the device, so a script's Device goes when the script lets go of it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._listeners: List[Callable[[Report], Any]] = []
        self._streams: List["queue.SimpleQueue[Any]"] = []

    def __call__(self, channel: str, counts: int, seconds: float, time_ns: int) -> None:
        report = Report(channel, counts, seconds, time_ns)
        with self._lock:
            streams = list(self._streams)
            listeners = list(self._listeners)
        for stream in streams:
            stream.put(report)
        for listener in listeners:
            # Taken out by an earlier listener of this report, or by another
            # thread meanwhile: a listener removed is not called again.
            with self._lock:
                if listener not in self._listeners:
                    continue
            try:
                listener(report)
            except Exception as error:  # one listener's failure is reported, not fatal
                _report_unraisable(error, listener)

    def add(self, listener: Callable[[Report], Any]) -> None:
        with self._lock:
            self._listeners.append(listener)

    def remove(self, listener: Callable[[Report], Any]) -> None:
        with self._lock:
            self._listeners.remove(listener)

    def open(self) -> "queue.SimpleQueue[Any]":
        stream: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        with self._lock:
            self._streams.append(stream)
        return stream

    def close(self, stream: "queue.SimpleQueue[Any]") -> None:
        with self._lock:
            if stream in self._streams:
                self._streams.remove(stream)

    def end_streams(self) -> None:
        with self._lock:
            streams, self._streams = self._streams, []
        for stream in streams:
            stream.put(_END)


class ReportStream:
    """An iterator over delay reports as they arrive, from the moment it was
    made. It ends when no report comes within ``timeout`` seconds (None:
    waits on), after ``count`` reports, or when the device is closed. Use it
    in a ``with`` block or close() it, so that reports stop queueing up."""

    def __init__(self, hub: _ReportHub, timeout: Optional[float], count: Optional[int]) -> None:
        self._hub = hub
        self._queue: Optional["queue.SimpleQueue[Any]"] = hub.open()
        self._timeout = timeout
        self._left = count

    def __iter__(self) -> "ReportStream":
        """The stream itself."""
        return self

    def __next__(self) -> Report:
        """The next report; StopIteration when the stream ends."""
        if self._queue is None or self._left == 0:
            self.close()
            raise StopIteration
        try:
            report = self._queue.get(timeout=self._timeout)
        except queue.Empty:
            report = _END
        if report is _END:
            self.close()
            raise StopIteration
        if self._left is not None:
            self._left -= 1
        return report  # type: ignore[no-any-return]

    def close(self) -> None:
        """Ends the stream: no further report queues up for it."""
        if self._queue is not None:
            self._hub.close(self._queue)
            self._queue = None

    def __enter__(self) -> "ReportStream":
        """The stream itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Closes the stream."""
        self.close()

    def __del__(self) -> None:
        self.close()


class Channel:
    """One of the device's channels A to H (``device["A"]``). It keeps its
    device alive."""

    def __init__(self, device: "Device", letter: str) -> None:
        self._device = device
        self._letter = letter
        self._low = device.cveltor.GetChannel(letter)

    def __repr__(self) -> str:
        return f"<veltor.Channel {self._letter} mode={self.mode!r}>"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Channel):
            return NotImplemented
        return self._device is other._device and self._letter == other._letter

    def __hash__(self) -> int:
        return hash((id(self._device), self._letter))

    @property
    def letter(self) -> str:
        """The channel's letter, "A".."H"."""
        return self._letter

    @property
    def cchannel(self) -> _veltor.CChannel:
        """The library's channel object."""
        return self._low

    @property
    def mode(self) -> Optional[_veltor.CTimingMode]:
        """The channel's own timing mode, or None when it runs on the default.
        The device keeps an attached mode alive while it is attached."""
        return self._low.GetTimingMode()  # type: ignore[no-any-return]

    @mode.setter
    def mode(self, mode: Optional[_veltor.CTimingMode]) -> None:
        expect_instance("Channel.mode", mode, _veltor.CTimingMode, optional=True)
        self._low.SetTimingMode(mode)

    @property
    def logic(self) -> str:
        """The channel's logic text ("inA = in1 & in2;"). Setting it compiles
        it against the global logic now in force and raises LogicError when it
        does not compile; the text is kept all the same."""
        return self._low.GetChannelLogic()  # type: ignore[no-any-return]

    @logic.setter
    def logic(self, text: str) -> None:
        expect("Channel.logic", text, "text")
        with self._device.hold():
            self._low.SetChannelLogic(text)
            self._device._check_logic(self._letter)

    @property
    def logic_code(self) -> bytes:
        """The logic code of the last successful compile (empty: none)."""
        return self._low.GetLogicCode()  # type: ignore[no-any-return]

    @property
    def last_delay(self) -> float:
        """The last delay queried or reported, in seconds at the pair's clock."""
        return self._low.GetLastDelay()  # type: ignore[no-any-return]

    @property
    def report_count(self) -> int:
        """Delay reports the instrument sent for this channel so far."""
        return self._low.GetReportCount()  # type: ignore[no-any-return]

    def problems(self) -> List[str]:
        """Why the channel's mode would be refused now (empty: it passes)."""
        mode = self.mode
        if mode is None:
            return []
        return _veltor.FindParameterProblems(mode, self._device.cveltor, self._letter)

    @property
    def enable_on_update(self) -> Optional[bool]:
        """What ``update_all()`` does with the channel after the update, as a
        setup file's "enabled" says: True enables it, False disables it, None
        (the default) leaves it as it is. ``load_setup()`` sets it."""
        return self._device._enable_on_update[self._letter]

    @enable_on_update.setter
    def enable_on_update(self, enabled: Optional[bool]) -> None:
        expect("Channel.enable_on_update", enabled, "flag?")
        self._device._enable_on_update[self._letter] = None if enabled is None else bool(enabled)

    def enable(self) -> None:
        """Enables the channel's output."""
        self._low.CmdEnable() or _failed()

    def disable(self) -> None:
        """Disables the channel's output."""
        self._low.CmdDisable() or _failed()

    def trigger(self) -> None:
        """Forces a trigger: fires the channel once. Never sent twice for one
        call: it is repeated only when the instrument refused it. After no
        answer, or a garbled, cut or late one, it raises at once, and the
        message says the trigger may or may not have been carried out."""
        self._low.CmdForceTrigger() or _failed()

    def reset(self) -> None:
        """Resets the channel."""
        self._low.CmdReset() or _failed()

    def query(self) -> float:
        """Asks the instrument for the channel's delay; returns it in seconds."""
        with self._device.hold():
            self._low.CmdQuery() or _failed()
            return self.last_delay

    def set_timing_mode(self) -> None:
        """Sends the channel's mode (ParameterError when a time is out of range)."""
        self._device._run(self._low.CmdSetTimingMode, modes=self._letter)

    def transfer_logic(self) -> None:
        """Sends the channel's logic (LogicError when it does not compile)."""
        self._device._run(self._low.CmdTransferLogic, logic=self._letter)


class Device:
    """One instrument. ``Device(port)`` connects (a device path, or a port
    number: 1 is /dev/ttyS0) at ``baud`` bit/s; ``Device()`` makes an
    unconnected one (``connect()`` later). As a context manager it closes
    on exit. ``reconnect=True`` opens a lost line again by the same name
    (see ``set_reconnect()``).

    General properties: ``device.general`` is the library's SGeneral record
    itself (nClockAB.., dRefClockHz, bLockFP, bDisableOutputs);
    ``clock_sources`` and ``reference_hz`` are friendlier views of it. They
    reach the instrument with ``set_clock()`` or ``update_all()``."""

    def __init__(
        self,
        port: Union[str, int, os.PathLike, None] = None,
        baud: int = 115200,
        reconnect: bool = False,
    ) -> None:
        self._low = _veltor.CVeltor()
        self._on_reconnect: Optional[Callable[[str], Any]] = None
        if reconnect:
            self.set_reconnect()
        self._hub = _ReportHub()
        self._listening = False
        self._on_report: Optional[Callable[[Report], Any]] = None
        self._trace: Optional[Callable[[TraceEvent], Any]] = None
        self._port: Optional[Union[str, int]] = None
        # Per channel, what update_all() does with it after the update (see
        # Channel.enable_on_update); a setup file sets them.
        self._enable_on_update: Dict[str, Optional[bool]] = dict.fromkeys(LETTERS)
        if port is not None:
            self.connect(port, baud)

    # ---- Connection -------------------------------------------------------

    def connect(self, port: Union[str, int, os.PathLike], baud: int = 115200) -> None:
        """Opens the port (closing a connection first) and sends the filler
        burst. Raises ConnectionFailedError with the library's reason."""
        expect("Device.connect() argument 'port'", port, "port")
        index = _baud_index(baud)
        target: Union[str, int] = port if isinstance(port, int) else os.fspath(port)
        code = self._low.InitConnection(target, index)
        if code != 0:
            raise ConnectionFailedError(code, self._low.GetLastError())
        self._port = target
        if self._listening:
            self._low.SetReportListener(self._hub)
        if self._trace is not None:
            self._install_trace()

    def close(self) -> None:
        """Takes the callbacks away from the library (they stay set here and
        return with ``connect()``), closes the port and ends the report
        streams. A command running on another thread ends at once.

        When it returns no further report reaches the listeners. Called
        under ``hold()`` or from a listener it does not wait for the report
        being handed on at that moment (a listener may be waiting for that
        very hold): that one may still reach them, and their commands fail
        as the device is closed. From elsewhere it returns once that report
        has been handed on."""
        self._low.SetReportListener(None)
        self._low.SetTrace(None)
        self._low.CloseConnection()
        self._hub.end_streams()

    def set_reconnect(
        self,
        enabled: bool = True,
        *,
        first: float = 0.1,
        longest: float = 5.0,
        resend_update: bool = False,
    ) -> None:
        """After the line is lost, opens the port again by the same name on a
        thread of the device's own: first after ``first`` seconds, the wait
        doubling up to ``longest``. Commands raise meanwhile (the port is
        lost). With ``resend_update`` the last ``update_all()`` that
        succeeded is sent again once back, from the settings as they are
        then. ``close()`` ends the tries; ``connect()`` keeps the policy."""
        for name, value in (("first", first), ("longest", longest)):
            if not isinstance(value, (int, float)) or not 0 < value <= 3600:
                raise ValueError(f"Device.set_reconnect() argument '{name}' must be seconds in (0, 3600]")
        self._low.SetReconnect(
            bool(enabled), max(1, round(first * 1000)), max(1, round(longest * 1000)), bool(resend_update)
        )

    @property
    def on_reconnect(self) -> Optional[Callable[[str], Any]]:
        """A callable given "lost", "back", "update resent" or "update failed"
        on the device's reconnecting thread. It may run commands; an
        exception it raises is reported through sys.unraisablehook. None
        removes it. Replacing it waits for a call in progress, except under
        ``hold()`` and from the callable itself."""
        return self._on_reconnect

    @on_reconnect.setter
    def on_reconnect(self, listener: Optional[Callable[[str], Any]]) -> None:
        expect_callable("Device.on_reconnect", listener, optional=True)
        self._on_reconnect = listener
        if listener is None:
            self._low.SetReconnectListener(None)
            return
        names = ("lost", "back", "update resent", "update failed")
        self._low.SetReconnectListener(lambda event: listener(names[event]))

    def __enter__(self) -> "Device":
        """The device itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Closes the device."""
        self.close()

    def __repr__(self) -> str:
        state = "connected" if self.connected else "not connected"
        return f"<veltor.Device {self._port!r} {state}>"

    @property
    def connected(self) -> bool:
        """False once the port is closed or lost."""
        return self._low.IsConnected()  # type: ignore[no-any-return]

    @property
    def cveltor(self) -> _veltor.CVeltor:
        """The library's device object, for the low layer's calls."""
        return self._low

    @property
    def last_error(self) -> str:
        """Why the device's last command failed (empty after a success)."""
        return self._low.GetLastError()  # type: ignore[no-any-return]

    @property
    def last_outcome(self) -> Outcome:
        """How the last attempt of the device's last exchange ended (an Outcome)."""
        return Outcome(self._low.GetLastOutcome())

    @contextlib.contextmanager
    def hold(self) -> Iterator["Device"]:
        """Holds the device's lock: no other thread's command runs meanwhile.
        Listeners go on being called on the report thread; a command they run
        waits for the hold to end, and nothing done under the hold waits for
        them (see the module's notes on threads)."""
        self._low.Lock()
        try:
            yield self
        finally:
            self._low.Unlock()

    # ---- Channels -----------------------------------------------------------

    # A Channel refers to its device and the device to none of them, so that
    # a device no script refers to goes (and frees its port) at once.
    def channel(self, letter: Union[str, int]) -> Channel:
        """Channel "A".."H" (or 0..7)."""
        return Channel(self, _letter(letter))

    __getitem__ = channel

    def __iter__(self) -> Iterator[Channel]:
        """The channels A to H."""
        return (Channel(self, letter) for letter in LETTERS)

    @property
    def channels(self) -> Sequence[Channel]:
        """The channels A to H, as a tuple."""
        return tuple(self)

    # ---- General properties and logic ---------------------------------------

    @property
    def general(self) -> _veltor.SGeneral:
        """The general properties: the device's own SGeneral record."""
        return self._low.GetPropA()

    @property
    def clock_sources(self) -> Dict[str, Union[str, int]]:
        """The clock source of each pair: {"AB": "200MHz", "CD": "3.125MHz",
        ...}; names as in setup files ("200MHz", "3.125MHz", "2xref",
        "2xref/64") or codes. Setting takes some or all pairs."""
        general = self.general
        return {
            pair: CLOCK_SOURCES[code] if 0 <= code < 4 else code
            for pair, code in ((p, getattr(general, f)) for p, f in _PAIRS.items())
        }

    @clock_sources.setter
    def clock_sources(self, sources: Dict[str, Union[str, int]]) -> None:
        expect_instance("Device.clock_sources", sources, dict)
        codes = {}
        for pair, source in sources.items():
            expect(f"Device.clock_sources[{pair!r}]", source, "clock")
            if pair not in _PAIRS:
                raise KeyError(f"no channel pair {pair!r}: pairs are AB, CD, EF, GH")
            if isinstance(source, str):
                if source not in CLOCK_SOURCES:
                    known = ", ".join(CLOCK_SOURCES)
                    raise ValueError(f"no clock source {source!r}; known: {known}")
                source = CLOCK_SOURCES.index(source)
            elif not (isinstance(source, int) and 0 <= source < 4):
                raise ValueError(f"no clock source {source!r}; codes are 0 to 3")
            codes[_PAIRS[pair]] = source
        with self.hold():
            for field, code in codes.items():
                setattr(self.general, field, code)

    @property
    def reference_hz(self) -> float:
        """The reference clock behind clock sources "2xref" and "2xref/64"."""
        return self.general.dRefClockHz  # type: ignore[no-any-return]

    @reference_hz.setter
    def reference_hz(self, hz: float) -> None:
        expect("Device.reference_hz", hz, "number")
        with self.hold():
            store("Device.reference_hz", self.general, "dRefClockHz", hz)

    @property
    def global_logic(self) -> str:
        """The global logic text, whose assignments every channel may use.
        Setting it raises LogicError when it does not parse (the text is kept,
        the previous symbols stay in force)."""
        return self._low.GetGlobalLogic()  # type: ignore[no-any-return]

    @global_logic.setter
    def global_logic(self, text: str) -> None:
        expect("Device.global_logic", text, "text")
        if not self._low.SetGlobalLogic(text):
            message, line = self._low.GetGlobalLogicError()
            raise LogicError(message, line, None)

    def clock_hz(self, channel: Union[str, int]) -> float:
        """The clock frequency of the channel's pair."""
        return self._low.GetClockFrequencyHz(_letter(channel))  # type: ignore[no-any-return]

    def check(self) -> CheckReport:
        """Everything found offline. The problems (the report is a list of
        them, one text each): the global logic, a pair's clock-source code
        outside 0 to 3, each channel's mode out of range and each logic text
        that does not compile; empty: update_all() would send everything.
        Its ``warnings``, which update_all() sends all the same: each time
        that runs other than as written (rounded to the channel's clock), and
        each logic assignment that mixes |, & and ^ without parentheses (they
        group from the left, with one precedence)."""
        problems = []
        for letter, logic, text in _veltor.FindDeviceProblems(self._low):
            if letter is None:
                problems.append(f"{'global logic' if logic else 'general'}: {text}")
            else:
                problems.append(f"channel {letter}: {'logic: ' if logic else ''}{text}")
        warnings = [_describe_rounding(time) for time in _veltor.FindRoundedTimes(self._low)]
        with self.hold():
            texts = [("global logic", self._low.GetGlobalLogic())] + [
                (f"channel {c.letter}: logic", c.cchannel.GetChannelLogic()) for c in self
            ]
        for where, text in texts:
            for warning in _veltor.FindLogicWarnings(text):
                warnings.append(f"{where}: line {warning.line}: {warning.text}")
        return CheckReport(problems, warnings)

    # ---- Commands -------------------------------------------------------------

    def update_all(self) -> None:
        """Logic, clock options and timing modes of all channels, as one
        locked sequence; then the outputs and panel as the general properties
        say; then each channel enabled or disabled as its
        ``enable_on_update`` says, A to H (``veltor apply`` does the same
        with a setup file). When the update fails, the general properties'
        panel and output flags are put back as they were before the call
        (the library leaves both set, as the instrument may now be), so that
        calling it again ends with the outputs and panel as the script asked;
        when a channel's enabling fails, the channels after it are sent
        nothing."""
        general = self._low.GetPropA()
        with self.hold():
            asked = (general.bLockFP, general.bDisableOutputs)
            try:
                self._run(self._low.CmdUpdateAll, modes=LETTERS, logic=LETTERS)
            except VeltorError:
                general.bLockFP, general.bDisableOutputs = asked
                raise
            for letter, enabled in self._enable_on_update.items():
                if enabled is not None:
                    channel = self._low.GetChannel(letter)
                    self._run(channel.CmdEnable if enabled else channel.CmdDisable)

    def set_all_timing_modes(self) -> None:
        """Sends every channel's mode (ParameterError when a time is out of range)."""
        self._run(self._low.CmdSetAllTimingModes, modes=LETTERS)

    def transfer_all_logic(self) -> None:
        """Sends every channel's logic (LogicError when one does not compile)."""
        self._run(self._low.CmdTransferAllLogic, logic=LETTERS)

    def implement_logic(self) -> None:
        """Puts the transferred logic into effect."""
        self._low.CmdImplementLogic() or _failed()

    def outputs_on(self) -> None:
        """Enables the outputs."""
        self._low.CmdEnableOutputs() or _failed()

    def outputs_off(self) -> None:
        """Disables the outputs."""
        self._low.CmdDisableOutputs() or _failed()

    def lock_panel(self) -> None:
        """Locks the front panel."""
        self._low.CmdLockFP() or _failed()

    def unlock_panel(self) -> None:
        """Unlocks the front panel."""
        self._low.CmdUnlockFP() or _failed()

    def reset_all(self) -> None:
        """Resets all channels."""
        self._low.CmdResetAll() or _failed()

    def set_clock(self) -> None:
        """Sends the clock options: clock sources, panel lock, outputs off."""
        self._low.CmdSetClock() or _failed()

    # ---- Setup files ----------------------------------------------------------

    def load_setup(self, path: Union[str, os.PathLike]) -> None:
        """Gives the device a setup file: general properties, global logic,
        each channel's logic text and mode (a channel without a mode runs on
        the default), and whether update_all() enables or disables it
        (``enable_on_update``, from "enabled"; the file's "outputs" and
        "panel" are general properties). Sends nothing: ``update_all()`` then
        does what ``veltor apply`` does. The modes become Pythonic objects the
        device keeps (``device["A"].mode``). Raises SetupError for a file that
        cannot be read, LogicError when its global logic does not parse."""
        expect("Device.load_setup() argument 'path'", path, "path")
        try:
            setup = _veltor.setup.Load(os.fspath(path))
        except _veltor.setup.Error as error:
            raise SetupError(str(error), error.path) from error
        modes = [pythonic(channel.mode) for channel in setup.channels]
        accepted = True
        with self.hold():
            general = self.general
            for field in _veltor.SGeneral._fields:
                setattr(general, field, getattr(setup.general, field))
            if setup.globalLogic is not None:
                accepted = self._low.SetGlobalLogic(setup.globalLogic)
            for channel, given, mode in zip(self, setup.channels, modes):
                if given.logic is not None:
                    channel.cchannel.SetChannelLogic(given.logic)
                channel.mode = mode
                self._enable_on_update[channel.letter] = given.enabled
        if not accepted:
            message, line = self._low.GetGlobalLogicError()
            raise LogicError(message, line, None)

    def save_setup(self, path: Union[str, os.PathLike]) -> None:
        """Writes what the device holds now as a setup file, with "enabled"
        for each channel as the next update_all() leaves it: its
        ``enable_on_update``, or else what the instrument last acknowledged
        (nothing when neither says)."""
        expect("Device.save_setup() argument 'path'", path, "path")
        try:
            with self.hold():
                setup = _veltor.setup.Capture(self._low)
                for channel, enabled in zip(setup.channels, self._enable_on_update.values()):
                    if enabled is not None:
                        channel.enabled = enabled
            _veltor.setup.Save(os.fspath(path), setup)
        except _veltor.setup.Error as error:
            raise SetupError(str(error), error.path) from error

    # ---- Reports and trace ------------------------------------------------------

    def reports(self, timeout: Optional[float] = None, count: Optional[int] = None) -> ReportStream:
        """Delay reports as they arrive from now on: ``for report in
        device.reports(timeout=1.0): ...`` ends after ``timeout`` seconds
        without a report, after ``count`` reports or when the device closes."""
        expect("Device.reports() argument 'timeout'", timeout, "seconds?")
        expect("Device.reports() argument 'count'", count, "integer?")
        stream = ReportStream(self._hub, timeout, count)  # open before listening: none missed
        self._listen()
        return stream

    @property
    def dropped_reports(self) -> int:
        """Reports lost because the report thread's queue was full: at most
        4096 wait for the listeners, and the oldest waiting give way first."""
        return self._low.GetDroppedReportCount()  # type: ignore[no-any-return]

    @property
    def on_report(self) -> Optional[Callable[[Report], Any]]:
        """A callable given every delay report (a Report), on the device's
        report thread, in arrival order. It may run commands; an exception it
        raises is reported through sys.unraisablehook. None removes it.

        Replacing or removing it never waits for a call in progress (from
        any thread, under ``hold()`` or not, and from a listener): once it
        returns the old one is not called again, and a call of it already
        started may still run."""
        return self._on_report

    @on_report.setter
    def on_report(self, listener: Optional[Callable[[Report], Any]]) -> None:
        expect_callable("Device.on_report", listener, optional=True)
        if self._on_report is not None:
            self._hub.remove(self._on_report)
        self._on_report = listener
        if listener is not None:
            self.add_report_listener(listener)

    def add_report_listener(self, listener: Callable[[Report], Any]) -> None:
        """Adds a listener beside on_report (see there)."""
        expect_callable("Device.add_report_listener() argument 'listener'", listener)
        self._hub.add(listener)
        self._listen()

    def remove_report_listener(self, listener: Callable[[Report], Any]) -> None:
        """Takes a listener out, as setting on_report does (see there)."""
        self._hub.remove(listener)

    @property
    def trace(self) -> Optional[Callable[[TraceEvent], Any]]:
        """A callable given every request written, answer read and chunk sent
        unasked (a TraceEvent). It runs while the device holds its receive
        lock, on the commanding thread or the watcher: it must not call the
        device, and should return soon. None turns the trace off."""
        return self._trace

    @trace.setter
    def trace(self, trace: Optional[Callable[[TraceEvent], Any]]) -> None:
        expect_callable("Device.trace", trace, optional=True)
        self._trace = trace
        if trace is None:
            self._low.SetTrace(None)
        else:
            self._install_trace()

    def _install_trace(self) -> None:
        trace = self._trace

        def adapter(event: Any) -> None:
            try:
                trace(TraceEvent(_TRACE_KINDS[event.kind], event.bytes, event.timeNs, event.status))
            except Exception as error:
                _report_unraisable(error, trace)

        self._low.SetTrace(adapter)

    def _listen(self) -> None:
        # The hub replaces no listener of the library's but the one a script
        # set on cveltor itself; under hold() the library does not wait for
        # a call of that one, which may be waiting for the hold.
        if not self._listening:
            self._listening = True
            self._low.SetReportListener(self._hub)

    # ---- Failures ---------------------------------------------------------------

    def _run(self, command: Callable[[], bool], modes: str = "", logic: str = "") -> None:
        if not modes and not logic:
            command() or _failed()
            return
        # The checks, the command and the reading of its failure under one
        # hold, so that no other thread's command comes between them.
        with self.hold():
            for letter in modes:
                self._check_mode(letter)
            for letter in logic:
                self._check_logic(letter)
            command() or _failed()

    def _check_mode(self, letter: str) -> None:
        mode = self._low.GetChannel(letter).GetTimingMode()
        if mode is None or mode.CheckParameters(self._low, letter):
            return
        problems = _veltor.FindParameterProblems(mode, self._low, letter)
        failing = mode.GetTimeParameters(self._low, letter, True)
        raise ParameterError(f"channel {letter}: " + "; ".join(problems), letter, failing)

    def _check_logic(self, letter: str) -> None:
        channel = self._low.GetChannel(letter)
        if not channel.CompileLogic():
            message, line = channel.GetLogicError()
            raise LogicError(message, line, letter)

