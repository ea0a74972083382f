from collections.abc import Mapping

from . import Profile, _Path

class SplBuild:
    """A built SPL file."""

    @property
    def path(self) -> str: ...
    @property
    def device(self) -> str: ...
    @property
    def summary(self) -> list[str]: ...
    @property
    def size(self) -> int: ...

class SplContents:
    """What an SPL image holds in its motor profile page."""

    @property
    def profiles(self) -> list[Profile]: ...
    @property
    def words_padded(self) -> bool: ...
    @property
    def marker_ok(self) -> bool: ...
    @property
    def firmware_version(self) -> int: ...
    @property
    def ok(self) -> bool: ...

def build(
    hex: _Path,
    out: _Path,
    *,
    app_start: int = 0x2000,
    profile_start: int = 0x4000,
    fw_version: int = 0,
    profiles: Mapping[int, Profile | _Path] | None = None,
    force: bool = False,
) -> SplBuild:
    """Builds a new SPL file (never replaces one); SplBuildError with the SPL window's message when refused."""

def inspect(path: _Path, *, app_start: int = 0x2000, profile_start: int = 0x4000) -> SplContents: ...
