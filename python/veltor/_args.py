"""Type checks of the Pythonic layer's arguments.

The library's bindings refuse a wrong type with their own text, which names
C++ signatures; these checks refuse it first, with the argument's name, the
type given and the type expected.
"""

from __future__ import annotations

import numbers
import os
from typing import Any, Dict, Tuple

# Each kind: the types it takes and how a message names them.
_KINDS: Dict[str, Tuple[Tuple[type, ...], str]] = {
    "seconds": ((numbers.Real,), "a number of seconds"),
    "number": ((numbers.Real,), "a number"),
    "integer": ((numbers.Integral,), "an integer"),
    "flag": ((bool, numbers.Integral), "True or False"),
    "text": ((str,), "a str"),
    "path": ((str, os.PathLike), "a path (str or os.PathLike)"),
    "port": ((str, int, os.PathLike), "a device path (str or os.PathLike) or a port number"),
    "channel": ((str, int), "a channel letter 'A'..'H' or an index 0..7"),
    "clock": ((str, int), "a clock-source name or a code 0..3"),
}


def expect(where: str, value: Any, kind: str) -> Any:
    """Returns ``value`` when it is of the kind ("seconds", "integer?", ...;
    a trailing "?" also takes None); raises TypeError naming ``where`` (an
    argument, "Device.connect() argument 'baud'", or a property,
    "DelayDuration.delay") otherwise."""
    optional = kind.endswith("?")
    kinds, expected = _KINDS[kind.rstrip("?")]
    if value is None and optional:
        return value
    # True is an int to Python, but never a time or a count to a script.
    numeric = kind.rstrip("?") != "flag" and bool not in kinds
    if isinstance(value, kinds) and not (numeric and isinstance(value, bool)):
        return value
    raise TypeError(
        f"{where} must be {expected}{' or None' if optional else ''}, "
        f"not {type(value).__name__}"
    )


def expect_callable(where: str, value: Any, optional: bool = False) -> Any:
    """The same for a callable (or None when ``optional``)."""
    if callable(value) or (optional and value is None):
        return value
    raise TypeError(
        f"{where} must be a callable{' or None' if optional else ''}, not {type(value).__name__}"
    )


def expect_instance(where: str, value: Any, cls: type, optional: bool = False) -> Any:
    """The same for an instance of ``cls`` (or None when ``optional``)."""
    if isinstance(value, cls) or (optional and value is None):
        return value
    raise TypeError(
        f"{where} must be a {cls.__name__}{' or None' if optional else ''}, "
        f"not {type(value).__name__}"
    )


def store(where: str, record: Any, field: str, value: Any) -> None:
    """Sets a field of a library record to a value whose type was checked:
    the binding refuses only a number beyond the field's C++ type then, and
    that is a ValueError naming ``where``."""
    try:
        setattr(record, field, value)
    except TypeError:
        raise ValueError(
            f"{where} = {value!r:.40} is out of range for {type(record).__name__}.{field}"
        ) from None
