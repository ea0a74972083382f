"""The Python module for pip: `pip install --no-build-isolation .` in a virtual
environment made with `python3 -m venv --system-site-packages`.

The extension is built by the project's own CMake (the build dependencies of
scripts/install-deps, Debian's pybind11 among them; nothing is fetched), in
build/pip, for the interpreter that runs pip; the package's Python files and
type stubs come from src/python/morvane.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r"project\(\S+ VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
PIP_BUILD = ROOT / "build" / "pip"  # setuptools' own folders, out of the CMake build's way


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = PIP_BUILD / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(cmake), "-DCMAKE_BUILD_TYPE=Release", "-DMV_WITH_GUI=OFF",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(cmake), "--target", "_morvane", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next((cmake / "python" / "morvane").glob("_morvane*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


PIP_BUILD.mkdir(parents=True, exist_ok=True)
setup(
    name="morvane",
    version=VERSION,
    description="The Morvane drive's core for scripts (the same as morvane-host and morvane-cli)",
    python_requires=">=3.11",
    packages=["morvane"],
    package_dir={"morvane": "src/python/morvane"},
    package_data={"morvane": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("morvane._morvane", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(PIP_BUILD)}, "egg_info": {"egg_base": str(PIP_BUILD)}},
    zip_safe=False,
)
