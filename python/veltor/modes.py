"""The timing modes with keyword arguments in seconds.

Each class *is* the library's mode (a Python subclass of ``CDelayDurate``,
``CClock``, ...), so a channel runs the very object the script holds, and
the C++ records stay reachable (``mode.m_Dly``). Properties read and write
those records; trigger and scaling settings are small immutable values::

    pulse = DelayDuration(delay=1.5e-6, duration=10e-6,
                          trigger=Trigger(kind="alternate", value=3))
    pulse.trigger = dataclasses.replace(pulse.trigger, option1=True)

Times are seconds. Ranges depend on the channel's clock, so they are checked
when a mode is sent (``ParameterError``) or with ``mode.problems(device,
"A")``. When other threads send, change a mode under ``device.hold()``.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar, Dict, List, Optional, Tuple, Type, Union

from . import _veltor
from ._args import expect, expect_instance, store

__all__ = [
    "Trigger",
    "Scaling",
    "Mode",
    "DelayDuration",
    "DynamicDelayDuration",
    "UpDown",
    "Validate",
    "Clock",
    "Toggle",
    "Count",
    "Passive",
    "Null",
    "MODES",
]

#: Trigger kinds by their setup-file names (STriggerProp.nKind 0, 1, 2).
TRIGGER_KINDS: Tuple[str, ...] = ("normal", "alternate", "plain")
#: Trigger value modes by their setup-file names (STriggerProp.nValueMode 0, 1, 2).
VALUE_MODES: Tuple[str, ...] = ("off", "on", "low")


def _code(name: Union[str, int], names: Tuple[str, ...], what: str) -> int:
    if isinstance(name, bool) or not isinstance(name, (str, int)):
        raise TypeError(f"{what} must be a name or an integer, not {type(name).__name__}")
    if isinstance(name, int):
        return name
    try:
        return names.index(name)
    except ValueError:
        known = ", ".join(repr(n) for n in names)
        raise ValueError(f"no {what} {name!r}; known: {known} or an integer") from None


def _name(code: int, names: Tuple[str, ...]) -> Union[str, int]:
    return names[code] if 0 <= code < len(names) else code


@dataclass(frozen=True)
class Trigger:
    """Trigger options of DelayDuration, UpDown and Validate.

    kind: "normal", "alternate" or "plain" (or the record's integer);
    value: 24 bits sent with the mode; value_mode: "off", "on" or "low"."""

    kind: Union[str, int] = "normal"
    option1: bool = False
    option2: bool = True
    value: int = 0
    value_mode: Union[str, int] = "off"
    value_flag: bool = False

    def __post_init__(self) -> None:
        for name, kind in (("option1", "flag"), ("option2", "flag"), ("value", "integer"),
                           ("value_flag", "flag")):
            expect(f"Trigger() argument '{name}'", getattr(self, name), kind)
        _code(self.kind, TRIGGER_KINDS, "trigger kind")
        _code(self.value_mode, VALUE_MODES, "value mode")

    def _write(self, record: _veltor.STriggerProp) -> None:
        store("Trigger.kind", record, "nKind", _code(self.kind, TRIGGER_KINDS, "trigger kind"))
        record.bOption1 = self.option1
        record.bOption2 = self.option2
        store("Trigger.value", record, "nValue", self.value)
        mode = _code(self.value_mode, VALUE_MODES, "value mode")
        store("Trigger.value_mode", record, "nValueMode", mode)
        record.bValueFlag = self.value_flag

    @classmethod
    def _read(cls, record: _veltor.STriggerProp) -> "Trigger":
        return cls(
            kind=_name(record.nKind, TRIGGER_KINDS),
            option1=record.bOption1,
            option2=record.bOption2,
            value=record.nValue,
            value_mode=_name(record.nValueMode, VALUE_MODES),
            value_flag=record.bValueFlag,
        )


@dataclass(frozen=True)
class Scaling:
    """Which value UpDown sends as its scaling: ``first`` when ``use_first``,
    else ``second`` (low 8 bits)."""

    use_first: bool = False
    first: int = 16
    second: int = 0

    def __post_init__(self) -> None:
        for name, kind in (("use_first", "flag"), ("first", "integer"), ("second", "integer")):
            expect(f"Scaling() argument '{name}'", getattr(self, name), kind)


class _Field:
    """A property that reads and writes one field of one of the mode's
    records, checking the type of what it is given (``kind`` as in
    ``_args.expect``)."""

    def __init__(self, record: str, field: str, doc: str, kind: str) -> None:
        self._record, self._field, self._kind = record, field, kind
        self.__doc__ = doc
        self._name = field

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    def __get__(self, mode: Any, owner: Optional[type] = None) -> Any:
        if mode is None:
            return self
        return getattr(getattr(mode, self._record), self._field)

    def __set__(self, mode: Any, value: Any) -> None:
        where = f"{type(mode).__name__}.{self._name}"
        expect(where, value, self._kind)
        store(where, getattr(mode, self._record), self._field, value)


def _field(record: str, field: str, doc: str, kind: str = "seconds") -> Any:
    return _Field(record, field, doc, kind)


def _trigger(record: str) -> Any:
    def get(self: Any) -> Trigger:
        return Trigger._read(getattr(self, record))

    def set(self: Any, value: Optional[Trigger]) -> None:
        expect_instance(f"{type(self).__name__}.trigger", value, Trigger, optional=True)
        (value if value is not None else Trigger())._write(getattr(self, record))

    return property(get, set, doc="The trigger settings (a Trigger).")


def _sweep(self: Any) -> Optional[float]:
    return self.m_Sweep.dSweep if self.m_Sweep.bEnable else None


def _set_sweep(self: Any, seconds: Optional[float]) -> None:
    expect(f"{type(self).__name__}.sweep", seconds, "seconds?")
    # The record keeps its time while the sweep is off, as the file does.
    self.m_Sweep.bEnable = seconds is not None
    if seconds is not None:
        store(f"{type(self).__name__}.sweep", self.m_Sweep, "dSweep", seconds)


_SWEEP = property(_sweep, _set_sweep, doc="The sweep time in seconds, or None while it is off.")
_INVERT_DOC = "The output inverted (mode byte bit 5)."
_BIT3_DOC = "Mode byte bit 3."


class Mode:
    """What the Pythonic modes share: repr, equality over their fields,
    copies, and the range checks at a device's channel."""

    #: The mode's name in setup files ("delay", "up-down", ...).
    name: ClassVar[str]
    _fields: ClassVar[Tuple[str, ...]]

    def __repr__(self) -> str:
        fields = ", ".join(f"{f}={getattr(self, f)!r}" for f in self._fields)
        return f"{type(self).__name__}({fields})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(getattr(self, f) == getattr(other, f) for f in self._fields)

    __hash__ = None  # type: ignore[assignment]

    def copy(self) -> "Mode":
        """A new mode of the same class with every record copied."""
        twin = type(self)()
        _veltor._copy_mode(twin, self)
        return twin

    def problems(self, device: Any, channel: str) -> List[str]:
        """Why the mode would be refused at that channel of the device (a
        ``Device`` or ``CVeltor``), one text per time out of range; empty when
        it passes."""
        native = _native(device, "problems")
        return _veltor.FindParameterProblems(self, native, _channel(channel, "problems"))

    def time_parameters(
        self, device: Any, channel: str, only_failing: bool = False
    ) -> List[_veltor.STimeParameter]:
        """Each time the mode checks, with its interval at the channel's clock."""
        native = _native(device, "time_parameters")
        letter = _channel(channel, "time_parameters")
        expect("Mode.time_parameters() argument 'only_failing'", only_failing, "flag")
        return self.GetTimeParameters(native, letter, only_failing)  # type: ignore[attr-defined]


def _native(device: Any, method: str) -> Optional[_veltor.CVeltor]:
    native = getattr(device, "cveltor", device)
    if native is None or isinstance(native, _veltor.CVeltor):
        return native
    raise TypeError(
        f"Mode.{method}() argument 'device' must be a Device, a CVeltor or None, "
        f"not {type(device).__name__}"
    )


def _channel(channel: Any, method: str) -> str:
    expect(f"Mode.{method}() argument 'channel'", channel, "text")
    return channel  # type: ignore[no-any-return]


class DelayDuration(Mode, _veltor.CDelayDurate):
    """A pulse of ``duration`` seconds ``delay`` seconds after the trigger;
    with ``sweep`` (seconds) the delay sweeps."""

    name = "delay"
    _fields = ("delay", "duration", "invert", "mode_bit3", "sweep", "trigger")

    def __init__(
        self,
        delay: float = 2e-05,
        duration: float = 1e-05,
        invert: bool = False,
        mode_bit3: bool = False,
        sweep: Optional[float] = None,
        trigger: Optional[Trigger] = None,
    ) -> None:
        _veltor.CDelayDurate.__init__(self)
        self.delay, self.duration, self.invert, self.mode_bit3 = delay, duration, invert, mode_bit3
        self.sweep = sweep
        self.trigger = trigger

    delay = _field("m_Dly", "dDelay", "Delay in seconds.")
    duration = _field("m_Dly", "dDuration", "Duration in seconds.")
    invert = _field("m_Dly", "bInvert", _INVERT_DOC, "flag")
    mode_bit3 = _field("m_Dly", "bModeBit3", _BIT3_DOC, "flag")
    sweep = _SWEEP
    trigger = _trigger("m_Trigger")


class DynamicDelayDuration(Mode, _veltor.CDynDelayDurate):
    """Delay and duration with an averaging amount instead of trigger options."""

    name = "dyn-delay"
    _fields = ("delay", "duration", "invert", "mode_bit3", "sweep", "average")

    def __init__(
        self,
        delay: float = 2e-05,
        duration: float = 1e-05,
        invert: bool = False,
        mode_bit3: bool = False,
        sweep: Optional[float] = None,
        average: int = 0,
    ) -> None:
        _veltor.CDynDelayDurate.__init__(self)
        self.delay, self.duration, self.invert, self.mode_bit3 = delay, duration, invert, mode_bit3
        self.sweep = sweep
        self.average = average

    delay = _field("m_Dly", "dDelay", "Delay in seconds.")
    duration = _field("m_Dly", "dDuration", "Duration in seconds.")
    invert = _field("m_Dly", "bInvert", _INVERT_DOC, "flag")
    mode_bit3 = _field("m_Dly", "bModeBit3", _BIT3_DOC, "flag")
    sweep = _SWEEP
    average = _field("m_Averaging", "nAverage", "Averaging amount (low 8 bits sent).", "integer")


class UpDown(Mode, _veltor.CUpDown):
    """Up/down mode: a delay that may be negative, a duration and a scaling."""

    name = "up-down"
    _fields = ("delay", "duration", "invert", "mode_bit3", "scaling", "trigger")

    def __init__(
        self,
        delay: float = 2e-05,
        duration: float = 1e-05,
        invert: bool = False,
        mode_bit3: bool = False,
        scaling: Optional[Scaling] = None,
        trigger: Optional[Trigger] = None,
    ) -> None:
        _veltor.CUpDown.__init__(self)
        self.delay, self.duration, self.invert, self.mode_bit3 = delay, duration, invert, mode_bit3
        self.scaling = scaling
        self.trigger = trigger

    delay = _field("m_Dly", "dDelay", "Delay in seconds (may be negative).")
    duration = _field("m_Dly", "dDuration", "Duration in seconds.")
    invert = _field("m_Dly", "bInvert", _INVERT_DOC, "flag")
    mode_bit3 = _field("m_Dly", "bModeBit3", _BIT3_DOC, "flag")
    trigger = _trigger("m_Trigger")

    @property
    def scaling(self) -> Scaling:
        """The scaling (a Scaling)."""
        record = self.m_Scaling
        return Scaling(record.bUseFirst, record.nFirst, record.nSecond)

    @scaling.setter
    def scaling(self, value: Optional[Scaling]) -> None:
        expect_instance("UpDown.scaling", value, Scaling, optional=True)
        value = value if value is not None else Scaling()
        record = self.m_Scaling
        record.bUseFirst = value.use_first
        store("Scaling.first", record, "nFirst", value.first)
        store("Scaling.second", record, "nSecond", value.second)


class Validate(Mode, _veltor.CValidate):
    """The validate mode: delay and duration with their own minimums, and a trigger."""

    name = "validate"
    _fields = ("delay", "duration", "invert", "mode_bit3", "trigger")

    def __init__(
        self,
        delay: float = 3e-05,
        duration: float = 3e-05,
        invert: bool = False,
        mode_bit3: bool = False,
        trigger: Optional[Trigger] = None,
    ) -> None:
        _veltor.CValidate.__init__(self)
        self.delay, self.duration, self.invert, self.mode_bit3 = delay, duration, invert, mode_bit3
        self.trigger = trigger

    delay = _field("m_Validate", "dDelay", "Delay in seconds.")
    duration = _field("m_Validate", "dDuration", "Duration in seconds.")
    invert = _field("m_Validate", "bInvert", _INVERT_DOC, "flag")
    mode_bit3 = _field("m_Validate", "bModeBit3", _BIT3_DOC, "flag")
    trigger = _trigger("m_Trigger")


class Clock(Mode, _veltor.CClock):
    """The clock output: two times of 128 to 10485720 counts each, named
    ``delay`` and ``duration`` as in setup files (SClockProp). With
    ``invert`` they change places on the wire."""

    name = "clock"
    _fields = ("delay", "duration", "invert")

    def __init__(self, delay: float = 1e-05, duration: float = 1e-05, invert: bool = False) -> None:
        _veltor.CClock.__init__(self)
        self.delay, self.duration, self.invert = delay, duration, invert

    delay = _field("m_Clock", "dDelay", "The first time in seconds.")
    duration = _field("m_Clock", "dDuration", "The second time in seconds.")
    invert = _field("m_Clock", "bInvert", _INVERT_DOC, "flag")


class Count(Mode, _veltor.CCount):
    """The counter. ``measured`` is the last decoded count in seconds."""

    name = "count"
    _fields = ("counter_mode", "option", "setting", "text")

    def __init__(
        self, counter_mode: int = 0, option: bool = False, setting: int = 0, text: str = ""
    ) -> None:
        _veltor.CCount.__init__(self)
        self.counter_mode, self.option = counter_mode, option
        self.setting, self.text = setting, text

    counter_mode = _field("m_Counter", "nMode", "Counter selector, 0..255.", "integer")
    option = _field("m_Counter", "bOption", "The counter's option flag.", "flag")
    setting = _field("m_Counter", "nSetting", "The counter's setting.", "integer")
    text = _field(
        "m_Counter", "szText", "A text for the host's own use (at most 4095 bytes).", "text"
    )

    @property
    def measured(self) -> float:
        """Seconds of the last count decoded (ParseQuery)."""
        return float(self.m_Counter.dMeasured)


class Toggle(Mode, _veltor.CToggle):
    """The output toggles at each trigger."""

    name = "toggle"
    _fields = ("invert",)

    def __init__(self, invert: bool = False) -> None:
        _veltor.CToggle.__init__(self)
        self.invert = invert

    invert = _field("m_Toggle", "bInvert", _INVERT_DOC, "flag")


class Passive(Mode, _veltor.CPassive):
    """The output passes its logic input on."""

    name = "passive"
    _fields = ("invert",)

    def __init__(self, invert: bool = False) -> None:
        _veltor.CPassive.__init__(self)
        self.invert = invert

    invert = _field("m_Passive", "bInvert", _INVERT_DOC, "flag")


class Null(Mode, _veltor.CNull):
    """The channel does nothing (the devices' default mode)."""

    name = "null"
    _fields = ("invert",)

    def __init__(self, invert: bool = False) -> None:
        _veltor.CNull.__init__(self)
        self.invert = invert

    invert = _field("m_Null", "bInvert", _INVERT_DOC, "flag")


#: The Pythonic class of each setup-file mode name.
MODES: Dict[str, Type[Mode]] = {
    cls.name: cls
    for cls in (
        DelayDuration,
        DynamicDelayDuration,
        UpDown,
        Validate,
        Clock,
        Toggle,
        Count,
        Passive,
        Null,
    )
}


def pythonic(mode: Optional[_veltor.CTimingMode]) -> Optional[Mode]:
    """A Pythonic copy of a library mode (the mode itself when it is one)."""
    if mode is None or isinstance(mode, Mode):
        return mode
    twin = MODES[_veltor.setup.ModeName(mode)]()
    _veltor._copy_mode(twin, mode)
    return twin
