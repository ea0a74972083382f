"""The module's exceptions.

Every one is a MorvaneError; those about the port or a file are also an
OSError, those about a value a ValueError, so the habits of pyserial and of
Python's own file functions hold. str() is one line; ``window_text`` is the
text the desktop application's window shows for the same failure ('' when
none). The names without the ``Error`` suffix are aliases kept for scripts
written against earlier versions.
"""

from __future__ import annotations

from typing import Any


class MorvaneError(Exception):
    """Base of the errors of the morvane module. str() is one line; 'request' names the request ('info',
    'status', ...) or is None; 'window_text' is what the window shows for it ('' when nothing); 'results'
    is the result of each slot (SlotResult) for get_all() and save_all(), else None."""

    request: str | None
    window_text: str
    results: list[Any] | None

    def __init__(self, message: str = "", /, **details: Any) -> None:
        super().__init__(message)
        self.request = None
        self.window_text = ""
        self.results = None
        for name, value in details.items():
            setattr(self, name, value)

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __reduce__(self) -> tuple[Any, ...]:
        # OSError keeps errno, strerror and filename outside __dict__.
        state = dict(self.__dict__)
        if isinstance(self, OSError):
            state.update(errno=self.errno, strerror=self.strerror, filename=self.filename)
        return (type(self), (str(self),), state)


class PortError(MorvaneError, OSError):
    """The port cannot be opened, or its device went away. str() says why in the main window's words on one
    line (the device is busy, the user lacks the permission and how to get it, or there is no device);
    'errno' is the system's error number (0 when the device itself was not the cause), 'filename' and
    'device' the device path."""

    device: str


class RequestRefusedError(MorvaneError):
    """The request was not sent: the port is not open ('status: request refused: COM port not opened')."""


class RequestAbandonedError(MorvaneError):
    """The drive's answer did not come or could not be read, and the request was abandoned: 'outcome' is
    'timeout', 'bad_code' (unknown response code), 'rx_error' (framing, overrun or parity error), 'rx_break',
    'frame_refused' (the port could not send), 'shifted' (answers that were another request's),
    'line_not_quiet', 'preempted' (given up for a stop()) or 'abandoned'; 'step' is the 1-based step of the
    request. str() as the command-line tool says it: 'info: request abandoned at step 2: no answer from the
    drive (timeout)'."""

    outcome: str
    step: int


class InvalidChecksumError(MorvaneError):
    """A profile whose checksum does not match its data: received from the drive, or given to a save (then
    nothing is sent). 'slot' is 1..6; str() is 'Motor profile 3: Invalid Checksum', 'window_text' (and
    'text') the main window's box ('Motor profile 3\\nInvalid Checksum')."""

    slot: int
    text: str


class ProfileNotChangedError(MorvaneError):
    """The drive answered a save with 'not changed'. 'slot' is 1..6 (the first refused), str() is
    'Motor profile 3 not changed', 'window_text' (and 'text') the box 'ERROR: Motor profile 3 not changed'."""

    slot: int
    text: str


class InvalidProfileError(MorvaneError, ValueError):
    """A profile the profile file reader would refuse (Profile.check()): 'field' is the field's key, 'line'
    its line in the profile file, str() names the field, its value and what the field takes."""

    field: str
    line: int


class FileRefusedError(MorvaneError):
    """A file was not read or not written: FileFormatError when its reader refused what it holds,
    FileAccessError when it could not be read or written. 'path' is the file as given, 'line' the 1-based
    line whose check failed (0: the file as a whole), 'message' the reader's or writer's own message,
    'line_text' that line when the reader keeps it (HEX files), else ''."""

    path: str | bytes
    line: int
    message: str
    line_text: str


class FileFormatError(FileRefusedError, ValueError):
    """The file's reader refused what it holds; str() names the file, the line and the reader's words."""


class FileAccessError(FileRefusedError, OSError):
    """The file could not be read or written (a file being written is then unchanged); 'errno' and
    'strerror' say why, 'filename' is the file."""


class SplBuildError(MorvaneError, ValueError):
    """The SPL window would refuse this build (a page that must be blank, an address outside the image);
    str() is the window's message without its 'ERROR: - '."""


# The names of earlier versions.
RequestRefused = RequestRefusedError
RequestAbandoned = RequestAbandonedError
InvalidChecksum = InvalidChecksumError
ProfileNotChanged = ProfileNotChangedError
FileRefused = FileRefusedError

