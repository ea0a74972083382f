"""Type stubs of the morvane module (the C++ extension morvane._morvane and its Python side)."""

import enum
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, ClassVar, Literal, Self

from . import hex as hex
from . import spl as spl

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

__version__: str

# ---- errors ------------------------------------------------------------------

class MorvaneError(Exception):
    """Base of the module's errors; str() is one line, window_text what the window shows."""

    request: str | None
    window_text: str
    results: list[SlotResult] | None
    def __init__(self, message: str = "", /, **details: Any) -> None: ...

class PortError(MorvaneError, OSError):
    """The port cannot be opened (busy, no permission with the dialout advice, no device) or went away."""

    device: str

class RequestRefusedError(MorvaneError):
    """The request was not sent: the port is not open."""

class RequestAbandonedError(MorvaneError):
    """No (usable) answer: the request was abandoned at `step` (1-based)."""

    outcome: Literal[
        "timeout", "bad_code", "rx_error", "rx_break", "frame_refused", "shifted", "line_not_quiet", "preempted",
        "abandoned"
    ]
    step: int

class InvalidChecksumError(MorvaneError):
    """A profile whose checksum does not match its data (slot 1..6; text is the window's message)."""

    slot: int
    text: str

class ProfileNotChangedError(MorvaneError):
    """The drive answered a save of slot 1..6 with 'not changed'."""

    slot: int
    text: str

class InvalidProfileError(MorvaneError, ValueError):
    """A profile the profile file reader would refuse: the field's key and its line in the file."""

    field: str
    line: int

class FileRefusedError(MorvaneError):
    """A file not read or not written: path, 1-based line (0 for the whole file), the reader's message."""

    path: str | bytes
    line: int
    line_text: str
    message: str

class FileFormatError(FileRefusedError, ValueError):
    """The file's reader refused what it holds."""

class FileAccessError(FileRefusedError, OSError):
    """The file could not be read or written."""

class SplBuildError(MorvaneError, ValueError):
    """The SPL window would refuse this build."""

RequestRefused = RequestRefusedError
RequestAbandoned = RequestAbandonedError
InvalidChecksum = InvalidChecksumError
ProfileNotChanged = ProfileNotChangedError
FileRefused = FileRefusedError

# ---- records -----------------------------------------------------------------

class _Lamps(enum.IntFlag): ...

class StatusBits(_Lamps):
    """The lamps of the group 'Status Bits'."""

    START_STOP = 0x0002
    MOTOR_CONNECT = 0x0004
    AT_SPEED = 0x0020
    STOPPED = 0x0040
    UNDER_VOLTAGE = 0x0080
    OVER_VOLTAGE = 0x0100
    INVERTER = 0x1000
    OVERLOAD = 0x2000

class InternalStatusBits(_Lamps):
    """The lamps of the group 'Internal Status Bits'."""

    UNDER_VOLTAGE = 0x0001
    OVER_VOLTAGE = 0x0002
    OVERLOAD = 0x0004

@dataclass(frozen=True, slots=True)
class DriveInfo:
    """The drive's identity as the main window shows it."""

    name: str
    version: str
    serial_number: str
    hardware_id: str

@dataclass(frozen=True, slots=True)
class Counters:
    """The five link counters of the status bar; str() is 'Tx=.. Rx=.. TO=.. Errs=.. Busy=..'."""

    tx: int
    rx: int
    to: int
    errs: int
    busy: int

@dataclass(frozen=True, slots=True)
class Status:
    """One completed status poll; a value is None when its answer was too short."""

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
    texts: dict[str, str] = ...
    units: ClassVar[dict[str, str]]
    @property
    def flags(self) -> StatusBits | None: ...
    @property
    def internal_flags(self) -> InternalStatusBits | None: ...
    @property
    def complete(self) -> bool: ...
    def as_dict(self) -> dict[str, float | int | None]: ...
    @property
    def phase_current(self) -> float | None:
        """Alias of phase_current_a."""
    @property
    def speed(self) -> int | None:
        """Alias of speed_rpm."""
    @property
    def phase_power(self) -> int | None:
        """Alias of phase_power_w."""
    @property
    def controller_temp(self) -> int | None:
        """Alias of controller_temp_c."""
    @property
    def motor_temp(self) -> int | None:
        """Alias of motor_temp_ohm."""
    @property
    def torque(self) -> int | None:
        """Alias of torque_nm."""
    @property
    def bus_voltage(self) -> float | None:
        """Alias of bus_voltage_v."""

@dataclass(frozen=True, slots=True)
class PortInfo:
    """A port as the port settings dialog lists it."""

    port: int
    name: str
    device: str
    present: bool
    vid: int | None = ...
    pid: int | None = ...
    serial_number: str = ...
    manufacturer: str = ...
    product: str = ...
    description: str = ...

@dataclass(frozen=True, slots=True)
class SlotResult:
    """What one slot of get_all() or save_all() came to."""

    slot: int
    outcome: Literal["received", "saved", "bad_checksum", "not_changed", "other_slot", "no_answer", "not_asked"]
    profile: Profile | None = ...
    message: str = ...
    @property
    def ok(self) -> bool: ...

def list_ports(present_only: bool = False) -> list[PortInfo]:
    """The ports COM1..COM32 as the port settings dialog lists them."""

# ---- the drive -----------------------------------------------------------------

class StatusPoll(Iterator[Status]):
    """Status polls at the control window's pace (Drive.poll)."""

    @property
    def period_ms(self) -> int:
        """The period in use, in ms."""
    def __iter__(self) -> Self: ...
    def __next__(self) -> Status: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, type: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> bool: ...

class TraceEvent:
    """One event of the link's flight recorder (Drive.trace)."""

    @property
    def time(self) -> float:
        """Seconds since 1970."""
    @property
    def kind(self) -> str:
        """'frame', 'received', 'request begun', 'verify', 'request ended', 'port opened', 'port closed',
        'line speed', 'break', 'line error' or 'report'."""
    @property
    def data(self) -> bytes:
        """The bytes of a frame or of what was received."""
    @property
    def request(self) -> str | None:
        """'get-all', 'status', ...; None for the port's events."""
    @property
    def step(self) -> int | None: ...
    @property
    def failure(self) -> bool: ...
    @property
    def text(self) -> str:
        """What the host made of it, in words."""

class Drive:
    """One drive on one serial port; opens at once, closes at the end of a with block."""

    def __init__(
        self,
        port: int | _Path | None = None,
        *,
        device: _Path | None = None,
        baud: int = 115200,
        stop_on_exit: bool = False,
        trace: _Path | None = None,
    ) -> None: ...
    @property
    def trace(self) -> list[TraceEvent]:
        """The link's flight recorder, oldest first; with trace=PATH also written there when the port closes."""
    def open(self) -> None: ...
    def close(self) -> None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def device(self) -> str: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, type: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> bool: ...
    def info(self) -> DriveInfo: ...
    def get_profile(self, slot: int) -> Profile:
        """The profile in slot 1..6."""
    def save_profile(self, slot: int, profile: Profile, *, force: bool = False) -> None: ...
    def get_all(self) -> list[Profile]: ...
    def save_all(self, profiles: Sequence[Profile], *, force: bool = False) -> list[SlotResult]: ...
    def activate(self, slot: int | None) -> None:
        """Slot 1..6, or None for none."""
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def reset(self) -> None: ...
    def set_speed(self, rpm: int, *, clamp: bool = False) -> int:
        """Speed in RPM, 3000..100000; returns the speed sent."""
    def status(self) -> Status: ...
    def poll(self, period_ms: int, count: int | None = None, *, clamp: bool = False) -> StatusPoll:
        """Polls every period_ms (200..1500 ms), count times or without end."""
    @property
    def counters(self) -> Counters: ...
    def reset_counters(self) -> None: ...

# ---- profiles ------------------------------------------------------------------

class ProfileField:
    """One field of a profile as the profile editor offers it."""

    @property
    def key(self) -> str: ...
    @property
    def label(self) -> str: ...
    @property
    def unit(self) -> str: ...
    @property
    def group(self) -> str: ...
    @property
    def kind(self) -> Literal["integer", "speed", "tenths", "choice", "flag", "text", "vf"]: ...
    @property
    def minimum(self) -> int | float: ...
    @property
    def maximum(self) -> int | float: ...
    @property
    def choices(self) -> dict[int, str] | None: ...

class ProfileDifference:
    """A differing field; str() is the line of 'morvane-cli profile diff'."""

    @property
    def key(self) -> str: ...
    @property
    def label(self) -> str: ...
    @property
    def unit(self) -> str: ...
    @property
    def a(self) -> str: ...
    @property
    def b(self) -> str: ...

class Profile:
    """A motor profile (222 bytes); fields in the profile editor's units, checked when set."""

    fields: ClassVar[tuple[ProfileField, ...]]
    @staticmethod
    def load(path: _Path) -> Profile: ...
    def save(self, path: _Path, *, force: bool = False) -> None: ...
    @staticmethod
    def default(slot: int) -> Profile: ...
    @staticmethod
    def from_bytes(data: bytes | bytearray | memoryview) -> Profile: ...
    def to_bytes(self) -> bytes: ...
    @property
    def checksum(self) -> int: ...
    @property
    def checksum_ok(self) -> bool: ...
    @property
    def valid(self) -> bool: ...
    def check(self) -> None: ...
    def set(self, key: str, value: Any, *, clamp: bool = False) -> Any: ...
    def diff(self, other: Profile) -> list[ProfileDifference]: ...
    def text(self, key: str) -> str: ...
    def copy(self) -> Profile: ...
    def __copy__(self) -> Profile: ...
    def __deepcopy__(self, memo: Any) -> Profile: ...
    @property
    def vf_table(self) -> tuple[tuple[float, ...], ...]:
        """5 rows of 12: speed (RPM), voltage no load (V), voltage max. load (V), speed loss no load, max. load (RPM)."""
    @vf_table.setter
    def vf_table(self, value: Sequence[Sequence[float]]) -> None: ...
    @property
    def name(self) -> str:
        """Name (Motor Profile): 1 to 11 single-byte (Latin-1) characters, no line break."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def comment(self) -> str:
        """Comment (Motor Profile): 0 to 17 single-byte (Latin-1) characters, no line break."""
    @comment.setter
    def comment(self, value: str) -> None: ...
    @property
    def cont_under_voltage_trip(self) -> float:
        """Under Voltage Trip (V) (Controller): 25.0 to 55.0 V, one decimal."""
    @cont_under_voltage_trip.setter
    def cont_under_voltage_trip(self, value: float) -> None: ...
    @property
    def cont_over_voltage_trip(self) -> float:
        """Over Voltage Trip (V) (Controller): 25.0 to 55.0 V, one decimal."""
    @cont_over_voltage_trip.setter
    def cont_over_voltage_trip(self, value: float) -> None: ...
    @property
    def cont_over_temp_trip(self) -> int:
        """Over Temp."""
    @cont_over_temp_trip.setter
    def cont_over_temp_trip(self, value: int) -> None: ...
    @property
    def cont_over_temp_reset(self) -> int:
        """Reset Temp."""
    @cont_over_temp_reset.setter
    def cont_over_temp_reset(self, value: int) -> None: ...
    @property
    def cont_pwm_freq(self) -> int:
        """PWM Frequency (KHz) (Controller): 20 to 120 KHz, a whole number."""
    @cont_pwm_freq.setter
    def cont_pwm_freq(self, value: int) -> None: ...
    @property
    def cont_braking_ratio(self) -> int:
        """Braking Ratio (Controller): 1 to 100, a whole number."""
    @cont_braking_ratio.setter
    def cont_braking_ratio(self, value: int) -> None: ...
    @property
    def cont_io_input1_edge(self) -> int:
        """Input 1 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_input1_edge.setter
    def cont_io_input1_edge(self, value: int) -> None: ...
    @property
    def cont_io_input2_edge(self) -> int:
        """Input 2 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_input2_edge.setter
    def cont_io_input2_edge(self, value: int) -> None: ...
    @property
    def cont_io_output1_edge(self) -> int:
        """Output 1 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_output1_edge.setter
    def cont_io_output1_edge(self, value: int) -> None: ...
    @property
    def cont_io_output2_edge(self) -> int:
        """Output 2 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_output2_edge.setter
    def cont_io_output2_edge(self, value: int) -> None: ...
    @property
    def cont_io_output3_edge(self) -> int:
        """Output 3 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_output3_edge.setter
    def cont_io_output3_edge(self, value: int) -> None: ...
    @property
    def cont_io_output4_edge(self) -> int:
        """Output 4 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge.."""
    @cont_io_output4_edge.setter
    def cont_io_output4_edge(self, value: int) -> None: ...
    @property
    def cont_io_analogue_input_scaling(self) -> int:
        """Analogue Input Scaling (RPM/V) (Controller I/O): 0 to 4095 RPM/V, a whole number."""
    @cont_io_analogue_input_scaling.setter
    def cont_io_analogue_input_scaling(self, value: int) -> None: ...
    @property
    def motor_type(self) -> int:
        """Motor Type (Motor Profile): 0 = DC, 1 = AC.."""
    @motor_type.setter
    def motor_type(self, value: int) -> None: ...
    @property
    def motor_over_current_trip(self) -> float:
        """Over Current Trip (A) (Motor): 1.0 to 35.0 A, one decimal."""
    @motor_over_current_trip.setter
    def motor_over_current_trip(self, value: float) -> None: ...
    @property
    def motor_over_power_trip(self) -> int:
        """Over Power Trip (W) (Motor): 20 to 1200 W, a whole number."""
    @motor_over_power_trip.setter
    def motor_over_power_trip(self, value: int) -> None: ...
    @property
    def motor_dec_step(self) -> int:
        """Deceleration (Hz) (Motor): 1 to 25 Hz, a whole number."""
    @motor_dec_step.setter
    def motor_dec_step(self, value: int) -> None: ...
    @property
    def motor_acc_step(self) -> int:
        """Acceleration (Hz) (Motor): 1 to 25 Hz, a whole number."""
    @motor_acc_step.setter
    def motor_acc_step(self, value: int) -> None: ...
    @property
    def motor_dec_acc_period(self) -> int:
        """Dec./Acc."""
    @motor_dec_acc_period.setter
    def motor_dec_acc_period(self, value: int) -> None: ...
    @property
    def motor_speed_min(self) -> int:
        """Minimum Speed (RPM) (Motor): 2000 to 20000 RPM, a multiple of 10 RPM."""
    @motor_speed_min.setter
    def motor_speed_min(self, value: int) -> None: ...
    @property
    def motor_speed_max(self) -> int:
        """Maximum Speed (RPM) (Motor): 2000 to 100000 RPM, a multiple of 10 RPM."""
    @motor_speed_max.setter
    def motor_speed_max(self, value: int) -> None: ...
    @property
    def motor_temp_resistance_min(self) -> int:
        """Minimum Resistance (R) (Motor): 100 to 50000 R, a whole number."""
    @motor_temp_resistance_min.setter
    def motor_temp_resistance_min(self, value: int) -> None: ...
    @property
    def motor_temp_resistance_max(self) -> int:
        """Maximum Resistance (R) (Motor): 100 to 50000 R, a whole number."""
    @motor_temp_resistance_max.setter
    def motor_temp_resistance_max(self, value: int) -> None: ...
    @property
    def motor_temp_enable(self) -> int:
        """Motor Temperature Enable (Motor): 0 = off, 1 = on.."""
    @motor_temp_enable.setter
    def motor_temp_enable(self, value: int) -> None: ...
    @property
    def motor_pole_pairs(self) -> int:
        """Pole Pairs (Motor): 1 to 12, a whole number."""
    @motor_pole_pairs.setter
    def motor_pole_pairs(self, value: int) -> None: ...
    @property
    def motor_dc_start_mdc(self) -> int:
        """Start MDC (DC Motor): 10 to 255, a whole number."""
    @motor_dc_start_mdc.setter
    def motor_dc_start_mdc(self, value: int) -> None: ...
    @property
    def motor_dc_degauss_count(self) -> int:
        """Degauss Count (DC Motor): 2 to 32, a whole number."""
    @motor_dc_degauss_count.setter
    def motor_dc_degauss_count(self, value: int) -> None: ...
    @property
    def motor_dc_bemf_sum(self) -> int:
        """BEMF Sum (DC Motor): 250 to 20000, a whole number."""
    @motor_dc_bemf_sum.setter
    def motor_dc_bemf_sum(self, value: int) -> None: ...
    @property
    def motor_dc_pid_freq(self) -> int:
        """PID Frequency (Hz) (DC Motor): 64 to 512 Hz, a whole number."""
    @motor_dc_pid_freq.setter
    def motor_dc_pid_freq(self, value: int) -> None: ...
    @property
    def motor_dc_pid_kp_mult(self) -> int:
        """PID Kp Multiplier (DC Motor): 0 to 100, a whole number."""
    @motor_dc_pid_kp_mult.setter
    def motor_dc_pid_kp_mult(self, value: int) -> None: ...
    @property
    def motor_dc_pid_kp_div(self) -> int:
        """PID Kp Divisor (DC Motor): 0 to 6, a whole number."""
    @motor_dc_pid_kp_div.setter
    def motor_dc_pid_kp_div(self, value: int) -> None: ...
    @property
    def motor_dc_pid_ki_mult(self) -> int:
        """PID Ki Multiplier (DC Motor): 0 to 100, a whole number."""
    @motor_dc_pid_ki_mult.setter
    def motor_dc_pid_ki_mult(self, value: int) -> None: ...
    @property
    def motor_dc_pid_ki_div(self) -> int:
        """PID Ki Divisor (DC Motor): 0 to 6, a whole number."""
    @motor_dc_pid_ki_div.setter
    def motor_dc_pid_ki_div(self, value: int) -> None: ...
    @property
    def motor_ac_current_no_load(self) -> float:
        """No Load Current (A) (AC Motor): 0.5 to 30.0 A, one decimal."""
    @motor_ac_current_no_load.setter
    def motor_ac_current_no_load(self, value: float) -> None: ...
    @property
    def motor_ac_current_max_load(self) -> float:
        """Max."""
    @motor_ac_current_max_load.setter
    def motor_ac_current_max_load(self, value: float) -> None: ...
    @property
    def motor_ac_vf_data_speed(self) -> tuple[int, ...]:
        """V/F table, Speed (RPM): 12 values, each 0 to 240000 RPM, a multiple of 10 RPM."""
    @motor_ac_vf_data_speed.setter
    def motor_ac_vf_data_speed(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_voltage_no_load(self) -> tuple[float, ...]:
        """V/F table, Voltage No Load (Volts): 12 values, each 0.0 to 48.0 Volts, one decimal."""
    @motor_ac_vf_data_voltage_no_load.setter
    def motor_ac_vf_data_voltage_no_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_voltage_max_load(self) -> tuple[float, ...]:
        """V/F table, Voltage Max."""
    @motor_ac_vf_data_voltage_max_load.setter
    def motor_ac_vf_data_voltage_max_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_speed_loss_no_load(self) -> tuple[int, ...]:
        """V/F table, Speed Loss No Load (RPM): 12 values, each 0 to 20000 RPM, a multiple of 10 RPM."""
    @motor_ac_vf_data_speed_loss_no_load.setter
    def motor_ac_vf_data_speed_loss_no_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_speed_loss_max_load(self) -> tuple[int, ...]:
        """V/F table, Speed Loss Max."""
    @motor_ac_vf_data_speed_loss_max_load.setter
    def motor_ac_vf_data_speed_loss_max_load(self, value: Sequence[float]) -> None: ...
