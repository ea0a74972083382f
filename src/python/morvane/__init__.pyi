"""Type stubs of the morvane module (the C++ extension morvane._morvane)."""

import enum
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Literal

from . import hex as hex
from . import spl as spl

_Path = str | os.PathLike[str]

class MorvaneError(Exception):
    """Base of the module's errors; str() is the text the system shows."""

    request: str | None

class PortError(MorvaneError):
    """The port cannot be opened: busy, no permission (with the dialout advice) or no device."""

    device: str
    errno: int

class RequestRefused(MorvaneError):
    """The request was not sent: the port is not open, or another request is running."""

class RequestAbandoned(MorvaneError):
    """No (usable) answer: the request was abandoned at `step` (1-based)."""

    outcome: Literal[
        "timeout", "bad_code", "rx_error", "rx_break", "frame_refused", "shifted", "line_not_quiet", "preempted",
        "abandoned"
    ]
    step: int

class InvalidChecksum(MorvaneError):
    """A profile whose checksum does not match its data (slot 1..6; text is the window's message)."""

    slot: int
    text: str

class ProfileNotChanged(MorvaneError):
    """The drive answered a save of slot 1..6 with 'not changed'."""

    slot: int
    text: str

class FileRefused(MorvaneError):
    """A file refused by its reader (message, 1-based line, 0 for the whole file) or not written."""

    path: str
    line: int
    line_text: str
    message: str

class StatusBits(enum.IntFlag):
    """The lamps of the group 'Status Bits'."""

    START_STOP = 0x0002
    MOTOR_CONNECT = 0x0004
    AT_SPEED = 0x0020
    STOPPED = 0x0040
    UNDER_VOLTAGE = 0x0080
    OVER_VOLTAGE = 0x0100
    INVERTER = 0x1000
    OVERLOAD = 0x2000

class InternalStatusBits(enum.IntFlag):
    """The lamps of the group 'Internal Status Bits'."""

    UNDER_VOLTAGE = 0x0001
    OVER_VOLTAGE = 0x0002
    OVERLOAD = 0x0004

class DriveInfo:
    """The drive's identity as the main window shows it."""

    @property
    def name(self) -> str: ...
    @property
    def version(self) -> str:
        """'S0001-03, H0002-01'"""
    @property
    def serial_number(self) -> str: ...
    @property
    def hardware_id(self) -> str:
        """'0xC1 0x12 0xAB'"""

class Counters:
    """The five link counters of the status bar; repr() is 'Tx=.. Rx=.. TO=.. Errs=.. Busy=..'."""

    @property
    def tx(self) -> int:
        """Frames sent."""
    @property
    def rx(self) -> int:
        """Complete answers received."""
    @property
    def to(self) -> int:
        """Response timeouts."""
    @property
    def errs(self) -> int:
        """Unknown response codes, receive errors and breaks."""
    @property
    def busy(self) -> int:
        """Requests refused while another was running."""

class Status:
    """One completed status poll; a value is None when its answer was too short."""

    units: dict[str, str]
    @property
    def phase_current(self) -> float | None:
        """Phase current, A."""
    @property
    def speed(self) -> int | None:
        """Motor speed, RPM."""
    @property
    def phase_power(self) -> int | None:
        """Phase power, W."""
    @property
    def status_word(self) -> int | None:
        """The status word (bits in flags)."""
    @property
    def controller_temp(self) -> int | None:
        """Controller temperature, degrees Celsius."""
    @property
    def internal_status_word(self) -> int | None:
        """The internal status word (bits in internal_flags)."""
    @property
    def motor_temp(self) -> int | None:
        """Motor temperature sensor resistance, ohms."""
    @property
    def torque(self) -> int | None:
        """Motor torque in the drive's unit (the window's 'NM')."""
    @property
    def bus_voltage(self) -> float | None:
        """Bus voltage, V."""
    @property
    def flags(self) -> StatusBits | None: ...
    @property
    def internal_flags(self) -> InternalStatusBits | None: ...
    @property
    def time(self) -> float:
        """When the poll completed, seconds since 1970-01-01 UTC."""
    @property
    def complete(self) -> bool: ...
    @property
    def texts(self) -> dict[str, str]:
        """The fields as the control window shows them, by caption."""
    def as_dict(self) -> dict[str, float | int | None]: ...

class StatusPoll(Iterator[Status]):
    """Status polls at the control window's pace (Drive.poll)."""

    @property
    def period_ms(self) -> int:
        """The period in use, clamped to 200..1500 ms."""
    def __iter__(self) -> StatusPoll: ...
    def __next__(self) -> Status: ...
    def close(self) -> None: ...

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
        port: int | None = None,
        *,
        device: str | None = None,
        baud: int = 115200,
        stop_on_exit: bool = False,
        trace: str | os.PathLike[str] | None = None,
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
    def __enter__(self) -> Drive: ...
    def __exit__(self, *args: object) -> bool: ...
    def info(self) -> DriveInfo: ...
    def get_profile(self, slot: int) -> Profile:
        """The profile in slot 1..6."""
    def save_profile(self, slot: int, profile: Profile) -> None: ...
    def get_all(self) -> list[Profile]: ...
    def save_all(self, profiles: Sequence[Profile]) -> None: ...
    def activate(self, slot: int | None) -> None:
        """Slot 1..6, or None for none."""
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def reset(self) -> None: ...
    def set_speed(self, rpm: int) -> int:
        """Speed in RPM, clamped to 3000..100000; returns the speed sent."""
    def status(self) -> Status: ...
    def poll(self, period_ms: int, count: int | None = None) -> StatusPoll:
        """Polls every period_ms (clamped to 200..1500 ms), count times or without end."""
    @property
    def counters(self) -> Counters: ...
    def reset_counters(self) -> None: ...

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
    """A motor profile (222 bytes); fields in the profile editor's units and rules."""

    fields: tuple[ProfileField, ...]
    @staticmethod
    def load(path: _Path) -> Profile: ...
    def save(self, path: _Path) -> None: ...
    @staticmethod
    def default(slot: int) -> Profile: ...
    @staticmethod
    def from_bytes(data: bytes | bytearray | memoryview) -> Profile: ...
    def to_bytes(self) -> bytes: ...
    @property
    def checksum(self) -> int: ...
    @property
    def valid(self) -> bool: ...
    def diff(self, other: Profile) -> list[ProfileDifference]: ...
    def text(self, key: str) -> str: ...
    def copy(self) -> Profile: ...
    @property
    def vf_table(self) -> tuple[tuple[float, ...], ...]:
        """5 rows of 12: speed (RPM), voltage no load (V), voltage max. load (V), speed loss no load, max. load (RPM)."""
    @vf_table.setter
    def vf_table(self, value: Sequence[Sequence[float]]) -> None: ...
    @property
    def name(self) -> str:
        """Name: up to 11 Latin-1 characters (cut when longer; not empty)."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def comment(self) -> str:
        """Comment: up to 17 Latin-1 characters (cut when longer; not empty)."""
    @comment.setter
    def comment(self, value: str) -> None: ...
    @property
    def cont_under_voltage_trip(self) -> float:
        """Under Voltage Trip (V) (Controller): 25.0 to 55.0 V."""
    @cont_under_voltage_trip.setter
    def cont_under_voltage_trip(self, value: float) -> None: ...
    @property
    def cont_over_voltage_trip(self) -> float:
        """Over Voltage Trip (V) (Controller): 25.0 to 55.0 V."""
    @cont_over_voltage_trip.setter
    def cont_over_voltage_trip(self, value: float) -> None: ...
    @property
    def cont_over_temp_trip(self) -> int:
        """Over Temp. Trip (C) (Controller): 30 to 100 C."""
    @cont_over_temp_trip.setter
    def cont_over_temp_trip(self, value: int) -> None: ...
    @property
    def cont_over_temp_reset(self) -> int:
        """Reset Temp. Trip (C) (Controller): 30 to 100 C."""
    @cont_over_temp_reset.setter
    def cont_over_temp_reset(self, value: int) -> None: ...
    @property
    def cont_pwm_freq(self) -> int:
        """PWM Frequency (KHz) (Controller): 20 to 120 KHz."""
    @cont_pwm_freq.setter
    def cont_pwm_freq(self, value: int) -> None: ...
    @property
    def cont_braking_ratio(self) -> int:
        """Braking Ratio (Controller): 1 to 100."""
    @cont_braking_ratio.setter
    def cont_braking_ratio(self, value: int) -> None: ...
    @property
    def cont_io_input1_edge(self) -> int:
        """Input 1 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_input1_edge.setter
    def cont_io_input1_edge(self, value: int) -> None: ...
    @property
    def cont_io_input2_edge(self) -> int:
        """Input 2 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_input2_edge.setter
    def cont_io_input2_edge(self, value: int) -> None: ...
    @property
    def cont_io_output1_edge(self) -> int:
        """Output 1 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_output1_edge.setter
    def cont_io_output1_edge(self, value: int) -> None: ...
    @property
    def cont_io_output2_edge(self) -> int:
        """Output 2 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_output2_edge.setter
    def cont_io_output2_edge(self, value: int) -> None: ...
    @property
    def cont_io_output3_edge(self) -> int:
        """Output 3 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_output3_edge.setter
    def cont_io_output3_edge(self, value: int) -> None: ...
    @property
    def cont_io_output4_edge(self) -> int:
        """Output 4 edge (Controller I/O): 0 = -ve edge, 1 = +ve edge."""
    @cont_io_output4_edge.setter
    def cont_io_output4_edge(self, value: int) -> None: ...
    @property
    def cont_io_analogue_input_scaling(self) -> int:
        """Analogue Input Scaling (RPM/V) (Controller I/O): 0 to 4095 RPM/V."""
    @cont_io_analogue_input_scaling.setter
    def cont_io_analogue_input_scaling(self, value: int) -> None: ...
    @property
    def motor_type(self) -> int:
        """Motor Type (Motor Profile): 0 = DC, 1 = AC."""
    @motor_type.setter
    def motor_type(self, value: int) -> None: ...
    @property
    def motor_over_current_trip(self) -> float:
        """Over Current Trip (A) (Motor): 1.0 to 35.0 A."""
    @motor_over_current_trip.setter
    def motor_over_current_trip(self, value: float) -> None: ...
    @property
    def motor_over_power_trip(self) -> int:
        """Over Power Trip (W) (Motor): 20 to 1200 W."""
    @motor_over_power_trip.setter
    def motor_over_power_trip(self, value: int) -> None: ...
    @property
    def motor_dec_step(self) -> int:
        """Deceleration (Hz) (Motor): 1 to 25 Hz."""
    @motor_dec_step.setter
    def motor_dec_step(self, value: int) -> None: ...
    @property
    def motor_acc_step(self) -> int:
        """Acceleration (Hz) (Motor): 1 to 25 Hz."""
    @motor_acc_step.setter
    def motor_acc_step(self, value: int) -> None: ...
    @property
    def motor_dec_acc_period(self) -> int:
        """Dec./Acc. Period (mS) (Motor): 1 to 50 mS."""
    @motor_dec_acc_period.setter
    def motor_dec_acc_period(self, value: int) -> None: ...
    @property
    def motor_speed_min(self) -> int:
        """Minimum Speed (RPM) (Motor): 2000 to 20000 RPM."""
    @motor_speed_min.setter
    def motor_speed_min(self, value: int) -> None: ...
    @property
    def motor_speed_max(self) -> int:
        """Maximum Speed (RPM) (Motor): 2000 to 100000 RPM."""
    @motor_speed_max.setter
    def motor_speed_max(self, value: int) -> None: ...
    @property
    def motor_temp_resistance_min(self) -> int:
        """Minimum Resistance (R) (Motor): 100 to 50000 R."""
    @motor_temp_resistance_min.setter
    def motor_temp_resistance_min(self, value: int) -> None: ...
    @property
    def motor_temp_resistance_max(self) -> int:
        """Maximum Resistance (R) (Motor): 100 to 50000 R."""
    @motor_temp_resistance_max.setter
    def motor_temp_resistance_max(self, value: int) -> None: ...
    @property
    def motor_temp_enable(self) -> int:
        """Motor Temperature Enable (Motor): 0 = off, 1 = on."""
    @motor_temp_enable.setter
    def motor_temp_enable(self, value: int) -> None: ...
    @property
    def motor_pole_pairs(self) -> int:
        """Pole Pairs (Motor): 1 to 12."""
    @motor_pole_pairs.setter
    def motor_pole_pairs(self, value: int) -> None: ...
    @property
    def motor_dc_start_mdc(self) -> int:
        """Start MDC (DC Motor): 10 to 255."""
    @motor_dc_start_mdc.setter
    def motor_dc_start_mdc(self, value: int) -> None: ...
    @property
    def motor_dc_degauss_count(self) -> int:
        """Degauss Count (DC Motor): 2 to 32."""
    @motor_dc_degauss_count.setter
    def motor_dc_degauss_count(self, value: int) -> None: ...
    @property
    def motor_dc_bemf_sum(self) -> int:
        """BEMF Sum (DC Motor): 250 to 20000."""
    @motor_dc_bemf_sum.setter
    def motor_dc_bemf_sum(self, value: int) -> None: ...
    @property
    def motor_dc_pid_freq(self) -> int:
        """PID Frequency (Hz) (DC Motor): 64 to 512 Hz."""
    @motor_dc_pid_freq.setter
    def motor_dc_pid_freq(self, value: int) -> None: ...
    @property
    def motor_dc_pid_kp_mult(self) -> int:
        """PID Kp Multiplier (DC Motor): 0 to 100."""
    @motor_dc_pid_kp_mult.setter
    def motor_dc_pid_kp_mult(self, value: int) -> None: ...
    @property
    def motor_dc_pid_kp_div(self) -> int:
        """PID Kp Divisor (DC Motor): 0 to 6."""
    @motor_dc_pid_kp_div.setter
    def motor_dc_pid_kp_div(self, value: int) -> None: ...
    @property
    def motor_dc_pid_ki_mult(self) -> int:
        """PID Ki Multiplier (DC Motor): 0 to 100."""
    @motor_dc_pid_ki_mult.setter
    def motor_dc_pid_ki_mult(self, value: int) -> None: ...
    @property
    def motor_dc_pid_ki_div(self) -> int:
        """PID Ki Divisor (DC Motor): 0 to 6."""
    @motor_dc_pid_ki_div.setter
    def motor_dc_pid_ki_div(self, value: int) -> None: ...
    @property
    def motor_ac_current_no_load(self) -> float:
        """No Load Current (A) (AC Motor): 0.5 to 30.0 A."""
    @motor_ac_current_no_load.setter
    def motor_ac_current_no_load(self, value: float) -> None: ...
    @property
    def motor_ac_current_max_load(self) -> float:
        """Max. Load Current (A) (AC Motor): 0.5 to 30.0 A."""
    @motor_ac_current_max_load.setter
    def motor_ac_current_max_load(self, value: float) -> None: ...
    @property
    def motor_ac_vf_data_speed(self) -> tuple[int, ...]:
        """V/F table, Speed (RPM): 12 values, 0 to 240000 RPM."""
    @motor_ac_vf_data_speed.setter
    def motor_ac_vf_data_speed(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_voltage_no_load(self) -> tuple[float, ...]:
        """V/F table, Voltage No Load (Volts): 12 values, 0.0 to 48.0 Volts."""
    @motor_ac_vf_data_voltage_no_load.setter
    def motor_ac_vf_data_voltage_no_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_voltage_max_load(self) -> tuple[float, ...]:
        """V/F table, Voltage Max. Load (Volts): 12 values, 0.0 to 48.0 Volts."""
    @motor_ac_vf_data_voltage_max_load.setter
    def motor_ac_vf_data_voltage_max_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_speed_loss_no_load(self) -> tuple[int, ...]:
        """V/F table, Speed Loss No Load (RPM): 12 values, 0 to 20000 RPM."""
    @motor_ac_vf_data_speed_loss_no_load.setter
    def motor_ac_vf_data_speed_loss_no_load(self, value: Sequence[float]) -> None: ...
    @property
    def motor_ac_vf_data_speed_loss_max_load(self) -> tuple[int, ...]:
        """V/F table, Speed Loss Max. Load (RPM): 12 values, 0 to 20000 RPM."""
    @motor_ac_vf_data_speed_loss_max_load.setter
    def motor_ac_vf_data_speed_loss_max_load(self, value: Sequence[float]) -> None: ...
