"""morvane.Drive against the simulated drive: every request gives what the
command-line tool gives for it, and the port and its threads come and go
with the Drive."""

import threading
import time

import pytest

import morvane
from conftest import cli, task_count


def cli_fields(text):
    """'Name: X' lines as a dict."""
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def test_info_status_and_counters_read_as_the_cli_reads_them(sim):
    with morvane.Drive(device=sim.path) as drive:
        info = drive.info()
        assert drive.counters.tx == 4 and drive.counters.rx == 4
        status = drive.status()
        counters = drive.counters
    shown = cli_fields(cli("drive", "--device", sim.path, "info", check=0).stdout)
    assert (info.name, info.version, info.serial_number, info.hardware_id) == (
        shown["Name"], shown["Version"], shown["Serial No"], shown["Hardware ID"])

    # A stopped drive's status does not change: the same texts as the tool's.
    printed = cli_fields(cli("drive", "--device", sim.path, "status", check=0).stdout)
    for label, text in status.texts.items():
        assert printed[label] == text, label
    assert printed["Status Bits"] == "Motor Connect, Stopped"
    assert status.flags == morvane.StatusBits.MOTOR_CONNECT | morvane.StatusBits.STOPPED
    assert status.internal_flags == morvane.InternalStatusBits(0)
    # Values in their units.
    assert status.complete
    assert status.speed == 0 and status.phase_current == 0.0
    assert status.bus_voltage == 48.0 and status.controller_temp == 25 and status.motor_temp == 500
    assert status.status_word == 0x0044
    assert morvane.Status.units["phase_current"] == "A" and morvane.Status.units["speed"] == "RPM"
    assert set(status.as_dict()) == {"time"} | set(morvane.Status.units)
    assert abs(status.time - time.time()) < 60
    assert repr(counters) == "Tx=13 Rx=13 TO=0 Errs=0 Busy=0"


def test_motor_control_speed_clamp_and_activation(sim):
    with morvane.Drive(device=sim.path) as drive:
        assert drive.set_speed(10) == 3000  # the speed edit's limits
        assert drive.set_speed(250000) == 100000
        assert drive.set_speed(7250) == 7250
        drive.activate(2)
        drive.start()
        running = drive.status()
        assert morvane.StatusBits.START_STOP in running.flags
        drive.stop()
        drive.activate(None)  # "none" also stops the motor
        stopped = next(s for s in drive.poll(200, count=30) if s.speed == 0)
        assert morvane.StatusBits.START_STOP not in stopped.flags
        drive.reset()
        assert drive.counters.to == 0 and drive.counters.errs == 0
        with pytest.raises(TypeError):
            drive.set_speed(7000.5)
        with pytest.raises(ValueError, match="slot is 1 to 6"):
            drive.activate(7)


def test_profiles_travel_both_ways(sim):
    with morvane.Drive(device=sim.path) as drive:
        assert drive.get_profile(4) == morvane.Profile.default(4)
        changed = morvane.Profile.default(4)
        changed.name = "Spindle"
        changed.motor_speed_max = 60000
        drive.save_profile(4, changed)
        assert drive.get_profile(4) == changed

        six = drive.get_all()
        assert six[3] == changed and six[0] == morvane.Profile.default(1)
        six = [morvane.Profile.default(s) for s in range(1, 7)]
        for p in six:
            p.comment = "rolled out"
        drive.save_all(six)
        assert drive.get_all() == six
        assert drive.counters.to == 0

        # A record whose checksum is wrong never leaves: the slot keeps its profile.
        broken = bytearray(changed.to_bytes())
        broken[40] ^= 1
        with pytest.raises(morvane.InvalidChecksum) as e:
            drive.save_profile(2, morvane.Profile.from_bytes(broken))
        assert str(e.value) == "Motor profile 2: Invalid Checksum" and e.value.slot == 2
        with pytest.raises(morvane.InvalidChecksum):
            drive.save_all([morvane.Profile.from_bytes(broken)] * 6)
        assert drive.get_profile(2) == six[1]
        with pytest.raises(ValueError, match="slot is 1 to 6"):
            drive.get_profile(0)
        with pytest.raises(ValueError, match="6 profiles"):
            drive.save_all(six[:5])


def test_poll_keeps_the_windows_period_rules(sim):
    with morvane.Drive(device=sim.path) as drive:
        assert drive.poll(10).period_ms == 200
        assert drive.poll(5000).period_ms == 1500
        assert drive.poll(300).period_ms == 300
        with pytest.raises(ValueError):
            drive.poll(200, count=0)

        polls = list(drive.poll(200, count=3))
        assert len(polls) == 3
        assert polls[1].time - polls[0].time >= 0.15 and polls[2].time - polls[1].time >= 0.15

        # Periods that pass while the script is elsewhere give one poll at once,
        # never a burst; other requests meanwhile are not refused as busy.
        poll = drive.poll(200)
        next(poll)
        time.sleep(0.7)
        assert drive.status().complete
        drive.set_speed(9000)
        late = next(poll)
        following = next(poll)
        assert following.time - late.time >= 0.15
        poll.close()
        with pytest.raises(StopIteration):
            next(poll)
        assert drive.counters.busy == 0


def test_a_drive_shared_by_threads_runs_one_request_at_a_time(sim):
    with morvane.Drive(device=sim.path) as drive:
        errors = []

        def work():
            try:
                for _ in range(15):
                    assert drive.status().complete
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        for s in drive.poll(200, count=3):
            assert s.complete
        for t in threads:
            t.join()
        assert errors == []
        assert drive.counters.busy == 0 and drive.counters.to == 0


def test_the_port_and_its_threads_go_with_the_drive(sim):
    before = task_count()
    drive = morvane.Drive(device=sim.path)
    assert drive.is_open and drive.device == sim.path
    assert task_count() > before
    drive.close()
    assert task_count() == before and not drive.is_open
    with pytest.raises(morvane.RequestRefused) as e:
        drive.status()
    assert str(e.value) == "status: request refused: COM port not opened"
    with pytest.raises(morvane.RequestRefused):
        next(drive.poll(200))
    drive.open()
    assert drive.info().name == "Morvane SIM-1"
    del drive  # an open drive that goes closes its port
    assert task_count() == before
    with morvane.Drive(device=sim.path) as again:  # the port is free again
        assert again.status().complete
    assert task_count() == before


def test_arguments_are_checked_before_anything_opens(sim):
    with pytest.raises(ValueError, match="one of port=N or device=PATH"):
        morvane.Drive()
    with pytest.raises(ValueError, match="one of port=N or device=PATH"):
        morvane.Drive(1, device=sim.path)
    with pytest.raises(ValueError, match="port number 1 to 32"):
        morvane.Drive(33)
    with pytest.raises(ValueError, match="baud is one of 110 300 .* 115200"):
        morvane.Drive(device=sim.path, baud=12345)
    with morvane.Drive(device=sim.path) as drive:  # nothing was left holding it
        drive.info()
        drive.reset_counters()
        assert repr(drive.counters) == "Tx=0 Rx=0 TO=0 Errs=0 Busy=0"
