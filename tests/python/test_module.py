"""The package as a script user meets it: stubs that hold against the module
(stubtest) and type-check the examples (mypy --strict), its version and
metadata, docstrings, and errors that behave as Python's own."""

import importlib.metadata
import inspect
import os
import pickle
import re
import subprocess
import sys
from pathlib import Path

import pytest

import morvane

ROOT = Path(__file__).resolve().parents[2]


def run_mypy(*args):
    env = {**os.environ, "PYTHONPATH": str(Path(morvane.__file__).parents[1]), "MYPY_CACHE_DIR": os.devnull}
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=ROOT,
                          timeout=600)


def test_the_stubs_hold_against_the_module_and_type_check_the_examples():
    r = run_mypy("mypy.stubtest", "morvane", "--allowlist", str(ROOT / "tests/python/stubtest-allowlist.txt"))
    assert r.returncode == 0, r.stdout + r.stderr
    r = run_mypy("mypy", "--strict", "examples")
    assert r.returncode == 0, r.stdout + r.stderr


def test_version_and_metadata_are_the_projects():
    project = re.search(r"project\(\S+ VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert morvane.__version__ == importlib.metadata.version("morvane") == project
    assert importlib.metadata.metadata("morvane")["Requires-Python"] == ">=3.11"


def test_every_public_name_has_a_docstring():
    for owner in (morvane, morvane.hex, morvane.spl):
        for name in owner.__all__:
            thing = getattr(owner, name)
            if name == "__version__":
                continue
            assert inspect.getdoc(thing), name
            if isinstance(thing, type) and not issubclass(thing, BaseException):
                for member, value in vars(thing).items():
                    if not member.startswith("_") and callable(value):
                        assert inspect.getdoc(getattr(thing, member)), (name, member)
    # The profile fields carry their unit and range, the records their units.
    assert "25.0 to 55.0 V, one decimal" in morvane.Profile.cont_under_voltage_trip.__doc__
    assert "2000 to 100000 RPM" in morvane.Profile.motor_speed_max.__doc__
    assert morvane.Status.units["motor_temp_ohm"] == "ohm"


def test_errors_are_pythons_own_kinds_with_one_line_texts(tmp_path):
    # Every class ends in Error; the earlier names are the same classes.
    for old in ("RequestRefused", "RequestAbandoned", "InvalidChecksum", "ProfileNotChanged", "FileRefused"):
        assert getattr(morvane, old) is getattr(morvane, old + "Error")
    assert all(n.endswith("Error") or getattr(morvane, n) is getattr(morvane, n + "Error", None)
               for n in morvane.__all__ if isinstance(getattr(morvane, n), type)
               and issubclass(getattr(morvane, n), BaseException))

    missing = tmp_path / "ttyUSB9"
    with pytest.raises(OSError) as port:
        morvane.Drive(str(missing))
    with pytest.raises(OSError) as unreadable:
        morvane.Profile.load(tmp_path / "none.ini")
    (tmp_path / "bad.ini").write_text("x\n" * 55)
    with pytest.raises(ValueError) as refused:
        morvane.Profile.load(tmp_path / "bad.ini")
    cases = [
        (port.value, morvane.PortError, 2, str(missing), f"cannot open {missing}: There is no device at {missing}"),
        (unreadable.value, morvane.FileAccessError, 2, str(tmp_path / "none.ini"),
         f"unable to read motor profile file {tmp_path / 'none.ini'}: No such file or directory"),
        (refused.value, morvane.FileFormatError, None, None, f"{tmp_path / 'bad.ini'}, line 2: line #2 not blank"),
    ]
    for error, cls, errno, filename, text in cases:
        assert type(error) is cls and isinstance(error, morvane.MorvaneError), text
        assert str(error).startswith(text) and "\n" not in str(error) and "ERROR: " not in str(error), str(error)
        assert error.window_text.startswith(("ERROR: - ", "There is no device")), text
        if errno is not None:
            assert (error.errno, error.filename) == (errno, filename), text
        copy = pickle.loads(pickle.dumps(error))  # across processes (multiprocessing) too
        assert (type(copy), str(copy), copy.window_text) == (cls, str(error), error.window_text)
    assert refused.value.line == 2 and refused.value.message == "ERROR: - line #2 not blank"
