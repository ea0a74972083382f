"""The records the drive's requests give back: plain frozen data classes, so
they compare, hash, pickle and print as Python's own records do. The lamp
flags are built from the control window's lamp tables in the core."""

from __future__ import annotations

import enum
import importlib
from dataclasses import dataclass, field
from typing import Any, ClassVar

_core: Any = importlib.import_module(__package__ + "._morvane")


class _Lamps(enum.IntFlag):
    """Flags that print with their names: str() and format() as 'StatusBits.MOTOR_CONNECT|STOPPED'."""

    def __str__(self) -> str:
        return enum.Flag.__str__(self)

    def __format__(self, format_spec: str) -> str:
        return str(self) if not format_spec else format(int(self), format_spec)


def _lamp_class(name: str) -> Any:
    group, lamps = _core._lamps(name)
    factory: Any = _Lamps  # the functional API: a new flag class with these members
    cls = factory(name, [(key, mask) for key, mask, _ in lamps], module="morvane")
    lines = [f"The lamps of the control window's group '{group}', by bit:"]
    lines += [f"  {key} (0x{mask:04X}): {label}" for key, mask, label in lamps]
    cls.__doc__ = "\n".join(lines)
    return cls


StatusBits = _lamp_class("StatusBits")
InternalStatusBits = _lamp_class("InternalStatusBits")


def _public(cls: Any) -> Any:
    # Pickles and reprs name the class where scripts find it.
    cls.__module__ = "morvane"
    return cls


@_public
@dataclass(frozen=True, slots=True)
class DriveInfo:
    """The drive's identity as the main window shows it: name, version ('S0001-03, H0002-01'), serial number
    and hardware id ('0xC1 0x12 0xAB')."""

    name: str
    version: str
    serial_number: str
    hardware_id: str


@_public
@dataclass(frozen=True, slots=True)
class Counters:
    """The five link counters of the status bar: frames sent (tx), complete answers (rx), response timeouts
    (to), unknown response codes, receive errors and breaks (errs), requests refused while another ran (busy).
    str() is the status bar's 'Tx=.. Rx=.. TO=.. Errs=.. Busy=..'."""

    tx: int
    rx: int
    to: int
    errs: int
    busy: int

    def __str__(self) -> str:
        return f"Tx={self.tx} Rx={self.rx} TO={self.to} Errs={self.errs} Busy={self.busy}"


@_public
@dataclass(frozen=True, slots=True)
class Status:
    """One completed status poll (nine requests to the drive). Each value is in the unit its name ends with
    (see 'units'), or None when this poll's answer for it was too short to hold one. 'time' is when the poll
    completed, in seconds since 1970-01-01 UTC (as time.time()); 'texts' are the fields as the control window
    shows them, by caption ('Speed (RPM)': '6000', 'Status': '0006')."""

    time: float
    phase_current_a: float | None
    speed_rpm: int | None
    phase_power_w: int | None
    status_word: int | None
    controller_temp_c: int | None
    internal_status_word: int | None
    motor_temp_ohm: int | None
    torque_nm: int | None
    bus_voltage_v: float | None
    texts: dict[str, str] = field(default_factory=dict, hash=False, repr=False)

    # The unit of each value, by name.
    units: ClassVar[dict[str, str]] = {
        "phase_current_a": "A",
        "speed_rpm": "RPM",
        "phase_power_w": "W",
        "status_word": "",
        "controller_temp_c": "C",
        "internal_status_word": "",
        "motor_temp_ohm": "ohm",
        "torque_nm": "N m",
        "bus_voltage_v": "V",
    }

    @property
    def flags(self) -> _Lamps | None:
        """The status word's lamps as StatusBits (None without a status word)."""
        return None if self.status_word is None else StatusBits(self.status_word)  # type: ignore[no-any-return]

    @property
    def internal_flags(self) -> _Lamps | None:
        """The internal status word's lamps as InternalStatusBits (None without one)."""
        return None if self.internal_status_word is None else InternalStatusBits(self.internal_status_word)

    @property
    def complete(self) -> bool:
        """Whether every field got its value."""
        return all(getattr(self, name) is not None for name in self.units)

    def as_dict(self) -> dict[str, float | int | None]:
        """The time and the nine values by name (a row for a table)."""
        row: dict[str, float | int | None] = {"time": self.time}
        for name in self.units:
            row[name] = getattr(self, name)
        return row

    # The names of earlier versions.
    @property
    def phase_current(self) -> float | None:
        """Alias of phase_current_a."""
        return self.phase_current_a

    @property
    def speed(self) -> int | None:
        """Alias of speed_rpm."""
        return self.speed_rpm

    @property
    def phase_power(self) -> int | None:
        """Alias of phase_power_w."""
        return self.phase_power_w

    @property
    def controller_temp(self) -> int | None:
        """Alias of controller_temp_c."""
        return self.controller_temp_c

    @property
    def motor_temp(self) -> int | None:
        """Alias of motor_temp_ohm (the motor's temperature sensor in ohms, not degrees)."""
        return self.motor_temp_ohm

    @property
    def torque(self) -> int | None:
        """Alias of torque_nm."""
        return self.torque_nm

    @property
    def bus_voltage(self) -> float | None:
        """Alias of bus_voltage_v."""
        return self.bus_voltage_v


@_public
@dataclass(frozen=True, slots=True)
class PortInfo:
    """A port as the port settings dialog lists it: the number (COM1 is 1), its name, the device path it
    stands for ('' when none), whether that device is there now and, for a USB adapter, its vendor and
    product id, serial number, manufacturer and product as the system knows them (None or '' otherwise).
    'description' is the dialog's adapter line ('FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)')."""

    port: int
    name: str
    device: str
    present: bool
    vid: int | None = None
    pid: int | None = None
    serial_number: str = ""
    manufacturer: str = ""
    product: str = ""
    description: str = ""

    def __str__(self) -> str:
        text = f"{self.name}: {self.device or 'no device'} ({'present' if self.present else 'absent'})"
        return text + (f" {self.description}" if self.description else "")


@_public
@dataclass(frozen=True, slots=True)
class SlotResult:
    """What one slot of get_all() or save_all() came to: 'slot' 1..6, 'outcome' ('received', 'saved',
    'bad_checksum', 'not_changed', 'other_slot', 'no_answer' or 'not_asked'), 'profile' (the profile
    received or saved, else None) and 'message' (one line, '' when all went well)."""

    slot: int
    outcome: str
    profile: Any = None
    message: str = ""

    @property
    def ok(self) -> bool:
        """Whether the slot's profile arrived intact or was saved."""
        return self.outcome in ("received", "saved")
