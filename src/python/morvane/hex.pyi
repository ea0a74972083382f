from . import _Path

class HexInfo:
    """The HEX reader's summary of a file it accepted."""

    @property
    def counts(self) -> list[int]:
        """Records of each type 00..05."""
    @property
    def lowest(self) -> int: ...
    @property
    def highest(self) -> int: ...
    @property
    def total(self) -> int: ...
    @property
    def mode(self) -> int:
        """0 none, 1 segment, 2 linear."""
    @property
    def limit(self) -> int: ...
    @property
    def longest(self) -> int: ...

def info(path: _Path) -> HexInfo:
    """Reads and checks a HEX file; FileFormatError with the reader's text and line."""
