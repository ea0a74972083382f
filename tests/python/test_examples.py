"""The examples run against the simulated drive as a user runs them."""

import csv
import subprocess
import sys
from pathlib import Path

import morvane
from conftest import child_env

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *args, cwd):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd, env=child_env())


def test_speed_sweep_logs_every_poll(sim, tmp_path):
    r = run("speed_sweep.py", "--device", sim.path, "--from", 10000, "--to", 20000, "--step", 5000, "--dwell", 0.4,
            "--period", 200, "--out", tmp_path / "sweep.csv", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    rows = list(csv.reader(open(tmp_path / "sweep.csv", newline="")))
    assert rows[0] == ["time", "set speed (RPM)", "speed (RPM)", "phase current (A)", "phase power (W)",
                       "bus voltage (V)", "controller temp (C)", "motor temp (ohm)"]
    assert [int(row[1]) for row in rows[1:]] == [10000] * 2 + [15000] * 2 + [20000] * 2
    assert int(rows[-1][2]) > 0 and float(rows[-1][3]) > 0
    with morvane.Drive(sim.path) as drive:  # the motor was stopped at the end
        assert morvane.StatusBits.START_STOP not in drive.status().flags


def test_speed_sweep_starts_a_simulated_drive_when_given_none(tmp_path):
    r = run("speed_sweep.py", "--to", 10000, "--dwell", 0.2, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "simulated drive at /dev/pts/" in r.stdout
    assert len((tmp_path / "speed_sweep.csv").read_text().splitlines()) == 2


def test_end_of_line_passes_a_drive_that_matches_and_fails_one_that_does_not(sim, tmp_path):
    for slot in range(1, 7):
        morvane.Profile.default(slot).save(tmp_path / f"P{slot:02d}.ini")
    r = run("end_of_line.py", "--device", sim.path, "--profiles", tmp_path, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.startswith("Name: Morvane SIM-1\n") and r.stdout.endswith("PASS\n")

    changed = morvane.Profile.default(4)
    changed.cont_over_voltage_trip = 50.0
    changed.save(tmp_path / "P04.ini")
    (tmp_path / "P06.ini").write_text("damaged\r\n")
    r = run("end_of_line.py", "--device", sim.path, "--profiles", tmp_path, cwd=tmp_path)
    assert r.returncode == 1
    assert "slot 4: FAIL ('P04')\n    cont_over_voltage_trip: 51.0 V -> 50.0 V\n" in r.stdout
    assert f"slot 6: FAIL: {tmp_path / 'P06.ini'}: invalid motor profile file size, got 1 lines, expected 55" in r.stdout
    assert "slot 5: ok" in r.stdout and r.stdout.endswith("FAIL\n")
