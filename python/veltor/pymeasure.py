"""The Veltor as a PyMeasure instrument.

::

    from veltor.pymeasure import Veltor

    generator = Veltor("/dev/ttyUSB0")
    generator.ch_a.mode = "delay"
    generator.ch_a.delay = 1.5e-6          # seconds; checked, then sent at once
    generator.ch_a.enabled = True
    print(generator.ch_a.queried_delay)    # asks the instrument
    generator.shutdown()                   # outputs off, port closed

PyMeasure's instruments talk text through an adapter (VISA, serial). The
Veltor's protocol is binary frames that only the library builds, so this
instrument talks through a :class:`veltor.Device` instead, and hands
``Instrument`` an adapter that carries no text at all: PyMeasure's
``control()`` properties would have to format every value into a command
string and parse it back, which adds a text language the instrument does
not have and rounds the times. The properties here follow PyMeasure's
conventions all the same: values in seconds, a validator from
``pymeasure.instruments.validators`` run before anything is sent (the
intervals come from the library, at the channel's clock as it is now),
setting a property sends it, reading a measurement asks the instrument.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Optional, Tuple, Union

try:
    from pymeasure.adapters import Adapter
    from pymeasure.instruments import Instrument
    from pymeasure.instruments.validators import strict_discrete_set, strict_range
except ImportError as error:
    raise ImportError(
        "veltor.pymeasure needs PyMeasure: install python3-pymeasure "
        "(apt-get install python3-pymeasure)"
    ) from error

from . import _veltor
from .device import LETTERS, Device
from .modes import MODES

__all__ = ["Veltor", "VeltorChannel", "DeviceAdapter"]


class DeviceAdapter(Adapter):
    """The adapter the instrument gives PyMeasure: it holds the device and
    refuses text, so that a generic ``Instrument`` call (``write``, ``ask``,
    ``id``) fails plainly instead of sending bytes the instrument cannot
    read."""

    def __init__(self, device: Device) -> None:
        super().__init__()
        self.device = device

    def write(self, command: str) -> None:
        raise NotImplementedError(
            f"the Veltor takes no text commands ({command!r}): use the instrument's properties"
        )

    def read(self) -> str:
        raise NotImplementedError("the Veltor sends no text: use the instrument's properties")


def _control(
    fget: Callable[[Any], Any],
    fset: Callable[[Any, Any], None],
    doc: str,
    validator: Callable[[Any, Any], Any],
    values: Callable[[Any], Any],
) -> property:
    # Instrument.control's order: validate against the values, then send.
    # The values are asked for at each set, as the ranges follow the clock.
    def validated(self: Any, value: Any) -> None:
        fset(self, validator(value, values(self)))

    return property(fget, validated, doc=doc)


def _time(name: str, doc: str) -> property:
    def fget(self: "VeltorChannel") -> float:
        return getattr(self._mode_with(name), name)  # type: ignore[no-any-return]

    def fset(self: "VeltorChannel", seconds: float) -> None:
        with self.instrument.device.hold():
            setattr(self._mode_with(name), name, seconds)
            self.update()

    def values(self: "VeltorChannel") -> Tuple[float, float]:
        return self.time_range(name)

    return _control(fget, fset, doc, strict_range, values)


def _mode_name(mode: Optional[_veltor.CTimingMode]) -> str:
    # A mode set through the low layer has no Pythonic name of its own.
    return "null" if mode is None else _veltor.setup.ModeName(mode)  # type: ignore[no-any-return]


class VeltorChannel:
    """One channel A..H (``generator.ch_a``, ``generator.channel("A")``).

    Setting ``mode`` or a time sends the channel's timing mode at once; a
    time outside its interval raises ValueError and changes nothing. A time
    within its own interval is kept even when another time of the mode is
    out of range at the channel's clock: then ParameterError names that one,
    nothing is sent, and setting it next sends both."""

    def __init__(self, instrument: "Veltor", letter: str) -> None:
        self.instrument = instrument
        self.letter = letter
        self._channel = instrument.device[letter]
        self._enabled: Optional[bool] = None

    def __repr__(self) -> str:
        return f"<VeltorChannel {self.letter} mode={self.mode!r}>"

    def _mode_with(self, name: str) -> Any:
        mode = self._channel.mode
        if mode is None or not hasattr(mode, name):
            raise ValueError(f"channel {self.letter}: mode {self.mode!r} has no {name}")
        return mode

    def _set_mode(self, name: str) -> None:
        # A mode of the same kind keeps its times, as a front panel would.
        with self.instrument.device.hold():
            if self.mode != name:
                self._channel.mode = MODES[name]()
            self.update()

    mode = _control(
        lambda self: _mode_name(self._channel.mode),
        _set_mode,
        "The timing mode by its setup-file name: " + ", ".join(MODES) + ". "
        "A new kind starts with its default times.",
        strict_discrete_set,
        lambda self: tuple(MODES),
    )
    delay = _time("delay", "The delay in seconds (the clock mode's first time).")
    duration = _time("duration", "The duration in seconds (the clock mode's second time).")

    def time_range(self, name: str) -> Tuple[float, float]:
        """The interval (seconds, both ends allowed) of the mode's ``name``
        ("delay", "duration", "sweep") at the channel's clock now."""
        try:
            return self.time_ranges[name]
        except KeyError:
            raise ValueError(f"channel {self.letter}: mode {self.mode!r} has no {name}") from None

    @property
    def time_ranges(self) -> Dict[str, Tuple[float, float]]:
        """Every time the mode checks, with its interval in seconds."""
        mode = self._channel.mode
        if mode is None:
            return {}
        parameters = mode.time_parameters(self.instrument.device, self.letter)
        return {p.szName: (p.dMinimum, p.dMaximum) for p in parameters}

    def _set_enabled(self, on: bool) -> None:
        (self._channel.enable if on else self._channel.disable)()
        self._enabled = on

    enabled = _control(
        lambda self: self._enabled,
        _set_enabled,
        "Whether the channel is enabled, as last acknowledged (None before either).",
        strict_discrete_set,
        lambda self: (True, False),
    )

    @property
    def queried_delay(self) -> float:
        """The channel's delay as the instrument holds it, asked for at each
        read, in seconds at the pair's clock."""
        return self._channel.query()

    @property
    def last_delay(self) -> float:
        """The last delay queried or reported, in seconds; asks nothing."""
        return self._channel.last_delay

    def trigger(self) -> None:
        """Fires the channel once (never sent twice for one call)."""
        self._channel.trigger()

    def reset(self) -> None:
        self._channel.reset()

    def update(self) -> None:
        """Sends the channel's timing mode again."""
        self._channel.set_timing_mode()


class Veltor(Instrument):
    """A Veltor delay and pulse generator for PyMeasure.

    ``Veltor(port)`` connects (a device path such as "/dev/ttyUSB0", a port
    number, or a ``socket://`` name); ``Veltor(device)`` uses a connected
    :class:`veltor.Device` and leaves closing it to its owner. The
    channels are ``ch_a`` .. ``ch_h``; ``device`` is the Pythonic device,
    for what is not here (logic, clocks, reports)."""

    def __init__(
        self,
        port: Union[Device, str, int, os.PathLike],
        name: str = "Veltor delay generator",
        baud: int = 115200,
    ) -> None:
        self._owned = not isinstance(port, Device)
        self._outputs: Optional[bool] = None
        self.device = Device(port, baud) if self._owned else port
        super().__init__(DeviceAdapter(self.device), name, includeSCPI=False)
        self.channels = {letter: VeltorChannel(self, letter) for letter in LETTERS}
        for letter, channel in self.channels.items():
            setattr(self, f"ch_{letter.lower()}", channel)

    def channel(self, letter: Union[str, int]) -> VeltorChannel:
        """Channel "A".."H" (or 0..7)."""
        return self.channels[self.device[letter].letter]

    def _set_outputs(self, on: bool) -> None:
        (self.device.outputs_on if on else self.device.outputs_off)()
        self._outputs = on

    outputs_enabled = _control(
        lambda self: self._outputs,
        _set_outputs,
        "Whether all outputs are on, as last acknowledged (None before either).",
        strict_discrete_set,
        lambda self: (True, False),
    )

    def update_all(self) -> None:
        """Logic, clock options and timing modes of all channels, in one
        locked sequence (``Device.update_all``)."""
        self.device.update_all()

    def reset(self) -> None:
        """Resets all channels."""
        self.device.reset_all()

    def shutdown(self) -> None:
        """Turns the outputs off and closes the port if this instrument
        opened it; the port is closed even when the outputs cannot be
        switched off."""
        try:
            if self.device.connected:
                self.outputs_enabled = False
        finally:
            if self._owned:
                self.device.close()
            super().shutdown()
