"""SPL firmware images, as ``morvane-cli spl build`` and ``spl inspect`` make and read them."""

from ._morvane import spl as _spl

SplBuild = _spl.SplBuild
SplContents = _spl.SplContents
build = _spl.build
inspect = _spl.inspect

__all__ = ["SplBuild", "SplContents", "build", "inspect"]
