"""The two Debian packages go in and out as Debian's own do, and the pip route
works in a virtual environment of every Python 3.11 or later on the machine,
with nothing fetched. Run by `make test-packaging` (it installs packages:
root only, and never part of `make test`); MV_BUILD names the build folder
that holds the packages (`cpack` made them)."""

import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("MV_BUILD", ROOT / "build")).resolve()
SITE = Path("/usr/lib/python3/dist-packages")
CHECK = ("import importlib.metadata, morvane; print(morvane.__version__, importlib.metadata.version('morvane'), "
         "morvane.__file__, morvane.Profile.default(1).valid)")

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("apt-get") is None,
                                reason="installs Debian packages: root with apt only")


def run(*command, **options):
    """Runs a command without the test's PYTHONPATH (a user's shell has none)."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONDONTWRITEBYTECODE")}
    r = subprocess.run(command, capture_output=True, text=True, env=env, timeout=1200, **options)
    assert r.returncode == 0, f"{command}: {r.stdout}{r.stderr}"
    return r.stdout


def packages():
    debs = {name: glob.glob(str(BUILD / f"{name}_*.deb")) for name in ("morvane-host", "python3-morvane")}
    if not all(debs.values()):
        pytest.skip(f"no packages in {BUILD}: run cpack there (make test-packaging does)")
    return {name: max(found, key=os.path.getmtime) for name, found in debs.items()}


def what_is_there():
    """Every path the packages could leave behind."""
    found = set()
    tops = [SITE, Path("/usr/bin"), Path("/usr/share/applications"), Path("/usr/share/icons/hicolor")]
    for top in tops + [Path(p) for p in glob.glob("/usr/lib/*/wireshark/plugins")]:
        found |= {str(p) for p in top.rglob("*") if "morvane" in str(p)}
    return found


def test_both_packages_install_and_remove_as_debians_own(tmp_path):
    debs = packages()
    control = {name: run("dpkg-deb", "-f", deb, "Depends", "Recommends") for name, deb in debs.items()}
    assert "qt" not in control["python3-morvane"].lower() and "python3 (<< 3." in control["python3-morvane"]
    assert "python3-morvane (=" in control["morvane-host"]

    before = what_is_there()
    assert not before, f"installed already: {before}"
    try:
        run("apt-get", "install", "-y", "-qq", *debs.values())
        version, metadata, path, valid = run("/usr/bin/python3", "-c", CHECK, cwd="/").split()
        assert version == metadata and path == str(SITE / "morvane/__init__.py") and valid == "True"
        assert (SITE / "morvane/__pycache__").is_dir()  # compiled on install
        # A virtual environment of the same interpreter sees it through the system's site packages.
        run("/usr/bin/python3", "-m", "venv", "--system-site-packages", str(tmp_path / "venv"))
        assert run(str(tmp_path / "venv/bin/python"), "-c", CHECK, cwd="/").split()[0] == version
        # Byte code of a run as root, too, goes with the package.
        run("/usr/bin/python3", "-c", "import morvane.hex, morvane.spl", cwd="/")
    finally:
        subprocess.run(["apt-get", "purge", "-y", "-qq", "python3-morvane", "morvane-host"], capture_output=True)
    assert what_is_there() == before
    r = subprocess.run(["/usr/bin/python3", "-c", "import morvane"], capture_output=True, text=True, cwd="/",
                       env={"PATH": os.environ["PATH"]})
    assert "ModuleNotFoundError" in r.stderr


def interpreters():
    """Every Python 3.11 or later on the machine, once each."""
    found = {}
    names = ["/usr/bin/python3", sys.executable] + [f"python3.{minor}" for minor in range(11, 20)]
    names += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/*/bin/python3")))  # as pyenv keeps them
    for name in names:
        program = shutil.which(name)
        if program is None:
            continue
        r = subprocess.run([program, "-c", "import sys; print(sys.version_info >= (3, 11), sys.executable)"],
                           capture_output=True, text=True)
        if r.returncode == 0 and r.stdout.split()[0] == "True":
            found.setdefault(os.path.realpath(r.stdout.split()[1]), program)
    return sorted(found.values())


@pytest.mark.parametrize("python", interpreters())
def test_pip_installs_the_module_in_a_virtual_environment(python, tmp_path):
    venv = tmp_path / "venv"
    run(python, "-m", "venv", str(venv))
    run(str(venv / "bin/pip"), "install", "--no-index", "--no-cache-dir", str(ROOT))
    version, metadata, path, valid = run(str(venv / "bin/python"), "-c", CHECK, cwd="/").split()
    assert version == metadata and path.startswith(str(venv)) and valid == "True"
    run(str(venv / "bin/pip"), "uninstall", "-y", "morvane")
    assert not list(venv.rglob("morvane*"))
