"""Finding the instrument's port: the machine's serial ports, and on request
which of them the instrument answers on."""

from typing import Iterable, List, NamedTuple, Optional

from . import _veltor

__all__ = ["Port", "list_ports"]

# What the probe found, in the words list_ports gives.
_PROBE_NAMES = {
    _veltor.PortProbe.NotProbed: None,
    _veltor.PortProbe.Instrument: "instrument",
    _veltor.PortProbe.NoAnswer: "no answer",
    _veltor.PortProbe.Busy: "busy",
    _veltor.PortProbe.Failed: "failed",
}


class Port(NamedTuple):
    """One serial port.

    ``path`` is what to connect to (``"/dev/ttyUSB0"``, ``"COM3"``);
    ``stable_name`` the ``/dev/serial/by-id`` link that stays with a USB
    adapter, or ``None``; ``description`` the port in words. USB adapters
    also give ``vendor_id``, ``product_id``, ``manufacturer``, ``product``
    and ``serial_number`` (``None`` where unknown). With a probe, ``probe``
    is ``"instrument"``, ``"no answer"``, ``"busy"`` (held by another
    program, left alone) or ``"failed"`` (``probe_note`` says why), and
    ``baud`` the line speed in bit/s the instrument answered at; without
    one both are ``None``.
    """

    path: str
    stable_name: Optional[str]
    description: str
    bus: Optional[str]
    vendor_id: Optional[int]
    product_id: Optional[int]
    manufacturer: Optional[str]
    product: Optional[str]
    serial_number: Optional[str]
    probe: Optional[str]
    baud: Optional[int]
    probe_note: Optional[str]

    @property
    def is_instrument(self) -> bool:
        """True when the probe found the instrument on this port."""
        return self.probe == "instrument"


def _baud_indexes(bauds: Iterable[int]) -> List[int]:
    by_speed = {
        _veltor.CSerDev.BaudRate(index): index
        for index in range(_veltor.CSerDev.kBaud2400, _veltor.CSerDev.kBaud115200 + 1)
    }
    indexes = []
    for baud in bauds:
        if isinstance(baud, bool) or not isinstance(baud, int) or baud not in by_speed:
            raise ValueError(
                f"no line speed {baud!r} bit/s: use 2400, 4800, 9600, 19200, 38400, 57600 "
                "or 115200"
            )
        indexes.append(by_speed[baud])
    return indexes


def _text(value: str) -> Optional[str]:
    return value or None


def list_ports(
    probe: bool = False,
    bauds: Iterable[int] = (115200,),
    paths: Iterable[str] = (),
    only_paths: bool = False,
) -> List[Port]:
    """The machine's serial ports, sorted by path, then ``paths``.

    On Linux from sysfs and ``/dev/serial/by-id`` (virtual consoles and the
    8250 driver's placeholder ports left out); on Windows the registry's COM
    ports, without USB details.

    With ``probe=True`` each port no other program holds is opened at each
    speed of ``bauds`` (bit/s, in order) until the instrument answers, sent
    one query of channel A, and closed again. Opening a port sends the
    library's 1024-byte filler burst first, so probe only lines where that
    is harmless. A port takes at most 0.3 s plus the burst's time on the
    line (0.09 s at 115200 bit/s, 4.3 s at 2400) per speed.

    ``paths`` adds ports the listing does not find (a pseudo-terminal);
    ``only_paths=True`` lists and probes those alone.
    """
    indexes = _baud_indexes(bauds)
    extra = [str(path) for path in paths]
    found = _veltor.ListPorts(
        probe=bool(probe), baudIndexes=indexes, extraPaths=extra, systemPorts=not only_paths
    )
    return [
        Port(
            path=p.path,
            stable_name=_text(p.stableName),
            description=p.description,
            bus=_text(p.bus),
            vendor_id=p.vendorId if p.vendorId >= 0 else None,
            product_id=p.productId if p.productId >= 0 else None,
            manufacturer=_text(p.manufacturer),
            product=_text(p.product),
            serial_number=_text(p.serialNumber),
            probe=_PROBE_NAMES[p.probe],
            baud=_veltor.CSerDev.BaudRate(p.probeBaudIndex) if p.probeBaudIndex >= 0 else None,
            probe_note=_text(p.probeNote),
        )
        for p in found
    ]
