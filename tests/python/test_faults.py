"""A drive that does not answer, answers late, garbled or refuses a save, a
line at 9600 baud, and ports that cannot be opened: each is an exception with
the words morvane-cli uses, and nothing is changed by a refused operation."""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

import morvane
from conftest import CLI, cli


def cli_says(sim_path, *command):
    """What morvane-cli writes on stderr for the same request."""
    return cli("drive", "--device", sim_path, *command).stderr


@pytest.mark.parametrize(
    "options, call, step, outcome",
    [
        (("--fault", "none:0x77"), "info", 1, "timeout"),
        (("--fault", "late:0x0D"), "info", 2, "timeout"),
        (("--fault", "gap:0x78"), "info", 3, "timeout"),
        (("--stall", "400@2"), "info", 2, "timeout"),
        (("--fault", "badcode:0x60:1"), "status", 4, "bad_code"),
        (("--fault", "none:0x35"), "get_profile", 1, "timeout"),
        (("--fault", "none:0x34:2"), "save_all", 2, "timeout"),
    ],
)
def test_a_request_without_a_usable_answer_is_abandoned_at_its_step(start_sim, options, call, step, outcome):
    sim = start_sim(*options)
    args = {"get_profile": (3,), "save_all": ([morvane.Profile.default(s) for s in range(1, 7)],)}.get(call, ())
    with morvane.Drive(device=sim.path) as drive:
        with pytest.raises(morvane.RequestAbandoned) as e:
            getattr(drive, call)(*args)
        assert (e.value.step, e.value.outcome) == (step, outcome)
        assert drive.counters.to + drive.counters.errs == 1
        time.sleep(0.5)  # a late answer or a stall is over
        assert drive.status().complete  # the next request goes through
    # The tool says the same (its status command counts polls instead).
    other = start_sim(*options)
    if call == "info":
        assert "morvane-cli: " + str(e.value) in cli_says(other.path, "info")
    if call == "get_profile":
        assert "morvane-cli: " + str(e.value) in cli_says(other.path, "get-profile", "3", "/dev/null")
    if call == "status":
        assert str(e.value).endswith(cli_says(other.path, "status").split("first: ")[1].strip())


def test_a_failed_poll_is_raised_and_polling_goes_on(start_sim):
    sim = start_sim("--fault", "badcode:0x60:2")
    with morvane.Drive(device=sim.path) as drive:
        poll = drive.poll(200, count=3)
        assert next(poll).complete
        with pytest.raises(morvane.RequestAbandoned) as e:
            next(poll)
        assert (e.value.step, e.value.outcome) == (4, "bad_code")
        assert next(poll).complete  # a soak run keeps going after one bad answer
        with pytest.raises(StopIteration):
            next(poll)
        assert drive.counters.errs == 1 and drive.counters.busy == 0


def test_a_profile_with_a_bad_checksum_never_reaches_the_slot(start_sim):
    sim = start_sim("--fault", "badsum:0x35:2")
    with morvane.Drive(device=sim.path) as drive:
        first = drive.get_profile(5)
        with pytest.raises(morvane.InvalidChecksum) as e:
            drive.get_profile(5)
        assert e.value.slot == 5 and e.value.text == "Motor profile 5\nInvalid Checksum"
        assert str(e.value) == "Motor profile 5: Invalid Checksum"
        assert drive.get_profile(5) == first
    every = start_sim("--fault", "badsum:0x35")
    assert str(e.value) in cli_says(every.path, "get-profile", "5", "/dev/null")

    other = start_sim("--fault", "badsum:0x35:3")
    with morvane.Drive(device=other.path) as drive:
        with pytest.raises(morvane.InvalidChecksum) as e:
            drive.get_all()
        assert e.value.slot == 3


def test_a_refused_save_is_said_and_the_drive_keeps_its_profile(start_sim):
    sim = start_sim("--fault", "refuse:0x34:2")
    changed = morvane.Profile.default(3)
    changed.comment = "new"
    with morvane.Drive(device=sim.path) as drive:
        drive.save_profile(3, changed)  # the first save is taken
        newer = changed.copy()
        newer.comment = "newer"
        with pytest.raises(morvane.ProfileNotChanged) as e:
            drive.save_profile(3, newer)
        assert e.value.slot == 3 and str(e.value) == "ERROR: Motor profile 3 not changed"
        assert drive.get_profile(3) == changed
    other = start_sim("--fault", "refuse")
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"mv-py-refuse-{os.getpid()}.ini")
    changed.save(path)
    try:
        assert str(e.value) in cli_says(other.path, "save-profile", "3", path)
    finally:
        os.unlink(path)


def test_profiles_travel_at_9600_baud(start_sim):
    sim = start_sim("--baud", "9600")
    with morvane.Drive(device=sim.path, baud=9600) as drive:
        changed = morvane.Profile.default(6)
        changed.name = "Slow line"
        drive.save_profile(6, changed)
        assert drive.get_profile(6) == changed
        assert drive.counters.to == 0


def test_a_missing_or_busy_device_is_said_in_the_windows_words(sim, tmp_path):
    missing = str(tmp_path / "ttyUSB9")
    with pytest.raises(morvane.PortError) as e:
        morvane.Drive(device=missing)
    assert f"There is no device at {missing}" in str(e.value)
    assert e.value.device == missing and e.value.errno == 2
    assert "morvane-cli: " + str(e.value) in cli("drive", "--device", missing, "info").stderr

    holder = os.open(sim.path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(morvane.PortError) as e:
            morvane.Drive(device=sim.path)
        assert f"{sim.path} is in use by another program" in str(e.value)
        assert "morvane-cli: " + str(e.value) in cli("drive", "--device", sim.path, "info").stderr
    finally:
        os.close(holder)
    with morvane.Drive(device=sim.path) as drive:  # free again
        assert drive.info().name


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                    reason="needs root to run a script as an ordinary user")
def test_a_device_without_rights_is_said_with_the_group_advice(sim, request):
    # An ordinary user (uid 65534) may not open the simulator's terminal. The
    # package and the tool are copied where that user may read them.
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o755)
    request.addfinalizer(lambda: shutil.rmtree(folder))
    package = os.path.join(folder, "python")
    shutil.copytree(os.path.dirname(os.path.dirname(morvane.__file__)), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    script = ("import morvane\n"
              "try:\n"
              f"    morvane.Drive(device={sim.path!r})\n"
              "except morvane.PortError as e:\n"
              "    print(e.errno)\n"
              "    print(e)\n")
    as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    r = subprocess.run([*as_user, "env", f"PYTHONPATH={package}", "PYTHONDONTWRITEBYTECODE=1", sys.executable, "-c",
                        script], capture_output=True, text=True, timeout=60, cwd="/")
    assert r.returncode == 0, r.stderr
    errno, said = r.stdout.split("\n", 1)
    assert errno == "13"
    assert f"You have no permission to use {sim.path}" in said and "sudo usermod -aG" in said
    cli_copy = os.path.join(folder, "morvane-cli")
    shutil.copy(CLI, cli_copy)
    by_cli = subprocess.run([*as_user, cli_copy, "drive", "--device", sim.path, "info"], capture_output=True,
                            text=True, timeout=60, cwd="/")
    assert "morvane-cli: " + said.rstrip("\n") in by_cli.stderr


def test_a_device_that_goes_away_is_said_as_such(start_sim):
    sim = start_sim()
    with morvane.Drive(device=sim.path) as drive:
        assert drive.status().complete
        sim.stop()  # the far end of the line goes, as an adapter pulled out
        with pytest.raises(morvane.PortError) as e:
            for _ in range(50):  # the port's report arrives with the next read
                drive.status()
                time.sleep(0.01)
        assert str(e.value).endswith("the device has gone")
