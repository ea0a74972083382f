"""Intel HEX files, as ``morvane-cli hex info`` reads them."""

from ._morvane import hex as _hex

HexInfo = _hex.HexInfo
HexInfo.__module__ = __name__
info = _hex.info

__all__ = ["HexInfo", "info"]
