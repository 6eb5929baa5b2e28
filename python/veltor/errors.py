"""The exceptions of the Pythonic layer.

Every failure is a :class:`VeltorError` whose text is the library's own
diagnosis (``CVeltor.GetLastError()``, ``FindParameterProblems``, the logic
compiler's message), so it says what failed and why in words a user can act
on. The low layer (``veltor.CVeltor`` and friends) keeps C++'s booleans and
raises none of these.

Each also derives from the standard exception a generic handler expects:
``ParameterError``, ``LogicError`` and ``SetupError`` are ValueErrors,
``NoAnswerError`` a TimeoutError, ``ConnectionFailedError``,
``NotConnectedError`` and ``PortLostError`` ConnectionErrors (so OSErrors).
A refusal (``RefusedError``), a garbled answer and the library's own
refusals are VeltorErrors only. ``str()`` of each is the library's message
(an OSError among them carries no errno).
"""

from __future__ import annotations

import enum
import re
from typing import Any, Optional, Sequence

from . import _veltor

_LowOutcome = _veltor.CSerDev.Outcome


def _plain(name: str) -> str:
    # "kNoAnswer" -> "NO_ANSWER"
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name[1:]).upper()


class _OutcomeBase(enum.IntEnum):
    """How the last attempt of an exchange ended.

    Plain names (``Outcome.NO_ANSWER``); the C++ names (``Outcome.kNoAnswer``)
    are aliases of the same members. Equal to the low layer's
    ``CSerDev.Outcome`` of the same value, and ``Outcome(low)`` converts one."""

    def __eq__(self, other: object) -> bool:
        if isinstance(other, _LowOutcome):
            other = int(other)
        return int(self) == other

    def __ne__(self, other: object) -> bool:
        return not self == other

    __hash__ = int.__hash__
    # "Outcome.NO_ANSWER" rather than the number IntEnum prints.
    __str__ = enum.Enum.__str__

    @classmethod
    def _missing_(cls, value: object) -> Any:
        if isinstance(value, _LowOutcome):
            return cls(int(value))
        return None

    @property
    def low(self) -> Any:
        """The low layer's CSerDev.Outcome of the same value."""
        return _LOW_BY_VALUE[int(self)]

    @property
    def words(self) -> str:
        """The library's words for it ("refused by the instrument")."""
        return _veltor.CSerDev.DescribeOutcome(self.low)  # type: ignore[no-any-return]


_LOW_BY_VALUE = {int(value): value for value in _LowOutcome.__members__.values()}
# Built from the library's own list, plain names first so that they are the
# members and the C++ names their aliases.
Outcome = _OutcomeBase(  # type: ignore[call-overload]
    "Outcome",
    [(_plain(name), int(value)) for name, value in _LowOutcome.__members__.items()]
    + [(name, int(value)) for name, value in _LowOutcome.__members__.items()],
    module=__name__,
)
Outcome.__doc__ = _OutcomeBase.__doc__

__all__ = [
    "VeltorError",
    "Outcome",
    "ParameterError",
    "LogicError",
    "SetupError",
    "CommunicationError",
    "ConnectionFailedError",
    "NotConnectedError",
    "NoAnswerError",
    "RefusedError",
    "ChecksumError",
    "PortLostError",
]


class VeltorError(Exception):
    """Base of every failure the veltor package reports; ``message`` is its text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ParameterError(VeltorError, ValueError):
    """A timing mode holds a time outside the interval the instrument accepts.

    Nothing was sent. ``channel``, ``parameter`` ("delay", "duration",
    "sweep"), ``value``, ``minimum`` and ``maximum`` (seconds at the channel's
    clock) describe the first time out of range; ``parameters`` lists every
    one (``STimeParameter`` records). The message is the library's
    (``FindParameterProblems``)."""

    def __init__(
        self,
        message: str,
        channel: str,
        parameters: Sequence[_veltor.STimeParameter] = (),
    ) -> None:
        super().__init__(message)
        self.channel = channel
        self.parameters = list(parameters)
        first = self.parameters[0] if self.parameters else None
        self.parameter: Optional[str] = first.szName if first else None
        self.value: Optional[float] = first.dValue if first else None
        self.minimum: Optional[float] = first.dMinimum if first else None
        self.maximum: Optional[float] = first.dMaximum if first else None


class LogicError(VeltorError, ValueError):
    """A logic text does not compile.

    ``message`` is the compiler's ("Error--Symbol: 'inA' must be defined
    (line 1); ..."), ``line`` the line it names (0: none), ``channel`` the
    channel letter, or None for the global logic. str() puts the channel in
    front."""

    def __init__(self, message: str, line: int, channel: Optional[str]) -> None:
        where = f"channel {channel}: logic" if channel else "global logic"
        super().__init__(f"{where}: {message}")
        self.message = message
        self.line = line
        self.channel = channel


class SetupError(VeltorError, ValueError):
    """A setup file cannot be read, parsed or written; ``path`` is the key
    path in the file ("channels.C.delay"), empty when the failure concerns no
    key."""

    def __init__(self, message: str, path: str = "") -> None:
        super().__init__(message)
        self.path = path


class CommunicationError(VeltorError):
    """The instrument did not carry out a command. ``outcome`` is how the
    last attempt ended (``CSerDev.Outcome``); the message is the device's
    ``GetLastError()`` ("channel C: enabling the channel: refused by the
    instrument after 5 attempts")."""

    def __init__(self, message: str, outcome: Any = Outcome.NONE) -> None:
        super().__init__(message)
        self.outcome = Outcome(outcome)


class ConnectionFailedError(CommunicationError, ConnectionError):
    """The port could not be opened. ``code`` is InitConnection's result (-1
    bad baud index or the port cannot be opened, -2..-5 a configuration
    step, -6 no watcher thread, -7 the filler burst could not be written); ``reason`` the library's words."""

    def __init__(self, code: int, reason: str) -> None:
        super().__init__(f"cannot connect (code {code}): {reason}")
        self.code = code
        self.reason = reason


class NotConnectedError(CommunicationError, ConnectionError):
    """Nothing was sent: the device is not connected, or it was closed (from
    another thread) while the command ran."""


class NoAnswerError(CommunicationError, TimeoutError):
    """No answer of the request came in the time allowed: silence, or only
    bytes that were no answer (wrong lead, an answer cut after its header,
    answers of other requests)."""


class RefusedError(CommunicationError):
    """The instrument answered negatively: it refused the request."""


class ChecksumError(CommunicationError):
    """The answer's checksum failed."""


class PortLostError(CommunicationError, ConnectionError):
    """The line went away (a USB adapter pulled, the pseudo-terminal
    closed): close the device and connect again."""


_BY_OUTCOME = {
    Outcome.NOT_CONNECTED: NotConnectedError,
    Outcome.CLOSED: NotConnectedError,
    Outcome.NO_ANSWER: NoAnswerError,
    Outcome.WRONG_LEAD: NoAnswerError,
    Outcome.INCOMPLETE: NoAnswerError,
    Outcome.MISMATCH: NoAnswerError,
    Outcome.OUT_OF_STEP: NoAnswerError,
    Outcome.NEGATIVE: RefusedError,
    Outcome.BAD_CHECKSUM: ChecksumError,
    Outcome.PORT_LOST: PortLostError,
    Outcome.WRITE_FAILED: CommunicationError,
}


def from_outcome(outcome: Any, message: str) -> VeltorError:
    """The exception for a command that failed with this outcome."""
    outcome = Outcome(outcome)
    if not message:
        message = outcome.words
    kind = _BY_OUTCOME.get(outcome)
    # An exchange failure names its outcome in the message. Without it no
    # exchange of this command failed: a check of the library's own refused
    # it (a clock-source code outside 0 to 3, say), and the last outcome is
    # an earlier command's.
    if kind is None or outcome.words not in message:
        return VeltorError(message)
    return kind(message, outcome)
