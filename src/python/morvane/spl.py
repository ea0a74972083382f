"""SPL firmware images, as ``morvane-cli spl build`` and ``spl inspect`` make and read them."""

from ._morvane import spl as _spl

SplBuild = _spl.SplBuild
SplContents = _spl.SplContents
build = _spl.build
inspect = _spl.inspect

for _cls in (SplBuild, SplContents):
    _cls.__module__ = __name__
del _cls

__all__ = ["SplBuild", "SplContents", "build", "inspect"]
