"""Scripting a Morvane drive from Python.

The module is the same core as the desktop application and ``morvane-cli``:
the same frames, timeouts, checks and texts. It talks to a drive on a serial
port, reads, compares and writes motor profiles and profile files, and reads
HEX files and builds SPL firmware images::

    import morvane

    with morvane.Drive(device="/dev/ttyUSB0") as drive:
        print(drive.info())
        drive.set_speed(20000)
        drive.start()
        for status in drive.poll(250, count=40):
            print(status.speed, status.phase_current, status.controller_temp)
        drive.stop()

Errors are exceptions with the system's texts; every one is a MorvaneError.
"""

from ._morvane import (
    Counters,
    Drive,
    DriveInfo,
    FileRefused,
    InternalStatusBits,
    InvalidChecksum,
    MorvaneError,
    PortError,
    Profile,
    ProfileDifference,
    ProfileField,
    ProfileNotChanged,
    RequestAbandoned,
    RequestRefused,
    Status,
    StatusBits,
    StatusPoll,
    TraceEvent,
)
from . import hex, spl

__all__ = [
    "Counters",
    "Drive",
    "DriveInfo",
    "FileRefused",
    "InternalStatusBits",
    "InvalidChecksum",
    "MorvaneError",
    "PortError",
    "Profile",
    "ProfileDifference",
    "ProfileField",
    "ProfileNotChanged",
    "RequestAbandoned",
    "RequestRefused",
    "Status",
    "StatusBits",
    "StatusPoll",
    "TraceEvent",
    "hex",
    "spl",
]
