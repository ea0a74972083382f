"""The build backend of the Python module for pip (`pip install .`).

It uses the standard library only, so pip needs nothing from the network:
neither setuptools nor wheel. The extension is built by the project's own
CMake (the build dependencies of scripts/install-deps, Debian's pybind11
among them) for the interpreter that runs pip, in build/pip/<tag>; the
package's Python files and stubs come from src/python/morvane, its metadata
from packaging/python3-morvane/METADATA.in, as in the Debian package.
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[2]
NAME = "morvane"


def _version() -> str:
    found = re.search(r"project\(\S+ VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())
    assert found is not None, "CMakeLists.txt names no version"
    return found.group(1)


def _tag() -> str:
    """The wheel's tag for the interpreter that builds it: cp311-cp311-linux_x86_64."""
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-{python}{sys.abiflags}-{platform}"


def _dist_info() -> str:
    return f"{NAME}-{_version()}.dist-info"


def _metadata_files() -> dict[str, bytes]:
    metadata = (ROOT / "packaging/python3-morvane/METADATA.in").read_text().replace("@PROJECT_VERSION@", _version())
    wheel = f"Wheel-Version: 1.0\nGenerator: morvane_build\nRoot-Is-Purelib: false\nTag: {_tag()}\n"
    return {"METADATA": metadata.encode(), "WHEEL": wheel.encode(), "top_level.txt": b"morvane\n"}


def _build_extension() -> Path:
    """Configures and builds the extension for this interpreter; returns the package folder it is in."""
    if sys.version_info < (3, 11):
        raise SystemExit(f"morvane needs Python 3.11 or later, not {sys.version.split()[0]}")
    build = ROOT / "build" / "pip" / _tag()
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DMV_WITH_GUI=OFF",
                 f"-DPython3_EXECUTABLE={sys.executable}"]
    if shutil.which("ccache"):
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    subprocess.run(configure, check=True, stdout=sys.stderr)
    jobs = os.environ.get("MV_PIP_JOBS", str(os.cpu_count() or 1))
    subprocess.run(["cmake", "--build", str(build), "--target", "_morvane", "-j", jobs], check=True, stdout=sys.stderr)
    package = build / "python" / NAME
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not (package / f"_morvane{suffix}").exists():
        raise SystemExit(f"the extension was not built for this interpreter (no _morvane{suffix} in {package})")
    return package


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings: dict[str, Any] | None = None) -> list[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: dict[str, Any] | None = None) -> str:
    folder = Path(metadata_directory) / _dist_info()
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in _metadata_files().items():
        (folder / name).write_bytes(data)
    return folder.name


def build_wheel(wheel_directory: str, config_settings: dict[str, Any] | None = None,
                metadata_directory: str | None = None) -> str:
    package = _build_extension()
    files: dict[str, bytes] = {}
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for path in sorted(package.iterdir()):
        # Only this interpreter's extension; no byte code (the installer compiles it).
        if path.is_file() and (not path.name.startswith("_morvane") or path.name == f"_morvane{suffix}"):
            files[f"{NAME}/{path.name}"] = path.read_bytes()
    for name, data in _metadata_files().items():
        files[f"{_dist_info()}/{name}"] = data
    record = [_record_line(name, data) for name, data in files.items()] + [f"{_dist_info()}/RECORD,,"]
    files[f"{_dist_info()}/RECORD"] = ("\n".join(record) + "\n").encode()

    wheel = f"{NAME}-{_version()}-{_tag()}.whl"
    with zipfile.ZipFile(Path(wheel_directory) / wheel, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, data)
    return wheel
