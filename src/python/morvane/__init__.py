"""Scripting a Morvane drive from Python.

The module is the same core as the desktop application and ``morvane-cli``:
the same frames, timeouts, checks and texts. It talks to a drive on a serial
port, reads, compares and writes motor profiles and profile files, and reads
HEX files and builds SPL firmware images::

    import morvane

    with morvane.Drive("/dev/ttyUSB0", stop_on_exit=True) as drive:
        print(drive.info())
        drive.set_speed(20000)
        drive.start()
        for status in drive.poll(250, count=40):
            print(status.speed_rpm, status.phase_current_a, status.controller_temp_c)
        drive.stop()

Errors are exceptions with one-line texts; every one is a MorvaneError, and
those about a port or a file are OSErrors too. Values given to a profile are
checked (ValueError naming the field, its unit and its range) unless the
profile editor's clamping is asked for (``Profile.set(key, value,
clamp=True)``). The port's reports are logged to ``logging.getLogger("morvane")``
at WARNING, each frame and event of the link at DEBUG.
"""

import logging as _logging

from . import _morvane
from ._errors import (
    FileAccessError,
    FileFormatError,
    FileRefused,
    FileRefusedError,
    InvalidChecksum,
    InvalidChecksumError,
    InvalidProfileError,
    MorvaneError,
    PortError,
    ProfileNotChanged,
    ProfileNotChangedError,
    RequestAbandoned,
    RequestAbandonedError,
    RequestRefused,
    RequestRefusedError,
    SplBuildError,
)
from ._records import Counters, DriveInfo, InternalStatusBits, PortInfo, SlotResult, Status, StatusBits

__version__: str = _morvane.__version__

_log = _logging.getLogger(__name__)
_log.addHandler(_logging.NullHandler())

_morvane._bind_python(
    MorvaneError=MorvaneError,
    PortError=PortError,
    RequestRefusedError=RequestRefusedError,
    RequestAbandonedError=RequestAbandonedError,
    InvalidChecksumError=InvalidChecksumError,
    ProfileNotChangedError=ProfileNotChangedError,
    InvalidProfileError=InvalidProfileError,
    FileFormatError=FileFormatError,
    FileAccessError=FileAccessError,
    SplBuildError=SplBuildError,
    DriveInfo=DriveInfo,
    Counters=Counters,
    Status=Status,
    PortInfo=PortInfo,
    SlotResult=SlotResult,
    logger=_log,
)

from ._morvane import Drive, Profile, ProfileDifference, ProfileField, StatusPoll, TraceEvent  # noqa: E402
from . import hex, spl  # noqa: E402

for _cls in (Drive, Profile, ProfileDifference, ProfileField, StatusPoll, TraceEvent):
    _cls.__module__ = __name__  # where scripts, pickles and help() find them
del _cls


def list_ports(present_only: bool = False) -> list[PortInfo]:
    """The ports as the port settings dialog lists them, COM1 to COM32: each one's device path as the port
    map says, whether that device is there now and, for a USB adapter, its vendor and product id, serial
    number, manufacturer and product (as pyserial's list_ports.comports() gives them). present_only=True
    leaves out the ports whose device is not there."""
    ports = [PortInfo(**p) for p in _morvane._ports("/sys")]
    return [p for p in ports if p.present] if present_only else ports


__all__ = [
    "Counters",
    "Drive",
    "DriveInfo",
    "FileAccessError",
    "FileFormatError",
    "FileRefused",
    "FileRefusedError",
    "InternalStatusBits",
    "InvalidChecksum",
    "InvalidChecksumError",
    "InvalidProfileError",
    "MorvaneError",
    "PortError",
    "PortInfo",
    "Profile",
    "ProfileDifference",
    "ProfileField",
    "ProfileNotChanged",
    "ProfileNotChangedError",
    "RequestAbandoned",
    "RequestAbandonedError",
    "RequestRefused",
    "RequestRefusedError",
    "SlotResult",
    "SplBuildError",
    "Status",
    "StatusBits",
    "StatusPoll",
    "TraceEvent",
    "__version__",
    "hex",
    "list_ports",
    "spl",
]
