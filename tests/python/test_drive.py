"""morvane.Drive against the simulated drive: every request gives what the
command-line tool gives for it, the records behave as Python's own, the port
and its threads (polls included) come and go with the Drive, the port's
reports are logged, and the ports are listed as the settings dialog sees them."""

import copy
import errno
import logging
import pickle
import threading
import time
from pathlib import Path

import pytest

import morvane
from conftest import cli, task_count


def cli_fields(text):
    """'Name: X' lines as a dict."""
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def test_info_status_and_counters_read_as_the_cli_reads_them(sim):
    with morvane.Drive(sim.path) as drive:
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
    # Values in the units their names end with; the earlier names still read them.
    assert status.complete and status.speed_rpm == 0 and status.phase_current_a == 0.0
    assert (status.bus_voltage_v, status.controller_temp_c, status.motor_temp_ohm) == (48.0, 25, 500)
    assert (status.motor_temp, status.speed) == (500, 0)
    assert set(status.as_dict()) == {"time"} | set(morvane.Status.units)
    assert abs(status.time - time.time()) < 60
    assert str(counters) == "Tx=13 Rx=13 TO=0 Errs=0 Busy=0"


def test_records_compare_pickle_and_print_their_flags(sim):
    with morvane.Drive(sim.path) as drive:
        records = [drive.info(), drive.counters, drive.status(), drive.get_profile(2)]
    for record in records:
        assert pickle.loads(pickle.dumps(record)) == record == copy.deepcopy(record), type(record)
    status = records[2]
    assert status.flags == morvane.StatusBits.MOTOR_CONNECT | morvane.StatusBits.STOPPED
    assert str(status.flags) == f"{status.flags}" == "StatusBits.MOTOR_CONNECT|STOPPED"
    assert "MOTOR_CONNECT|STOPPED" in repr(status.flags) and status.internal_flags == 0
    assert hash(records[0]) == hash(pickle.loads(pickle.dumps(records[0])))


def test_motor_control_speed_and_activation(sim):
    with morvane.Drive(sim.path) as drive:
        for rpm, error in [(10, ValueError), (250000, ValueError), (7000.5, TypeError), ("7000", TypeError)]:
            with pytest.raises(error, match="rpm"):
                drive.set_speed(rpm)
        assert drive.set_speed(10, clamp=True) == 3000  # the speed edit's limits, when asked for
        assert drive.set_speed(250000, clamp=True) == 100000
        assert drive.set_speed(7250) == 7250
        drive.activate(2)
        drive.start()
        assert morvane.StatusBits.START_STOP in drive.status().flags
        drive.stop()
        drive.activate(None)  # "none" also stops the motor
        stopped = next(s for s in drive.poll(200, count=30) if s.speed_rpm == 0)
        assert morvane.StatusBits.START_STOP not in stopped.flags
        drive.reset()
        with pytest.raises(ValueError, match="slot is 1 to 6"):
            drive.activate(7)


def test_profiles_travel_both_ways(sim):
    with morvane.Drive(sim.path) as drive:
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
        results = drive.save_all(six)
        assert [(r.slot, r.outcome, r.ok, r.profile) for r in results] == [
            (s, "saved", True, p) for s, p in enumerate(six, 1)]
        assert drive.get_all() == six
        assert drive.counters.to == 0
        with pytest.raises(ValueError, match="slot is 1 to 6"):
            drive.get_profile(0)
        with pytest.raises(ValueError, match="6 profiles"):
            drive.save_all(six[:5])


def test_poll_keeps_the_windows_period_rules(sim):
    with morvane.Drive(sim.path) as drive:
        with pytest.raises(ValueError, match="period_ms is 200 to 1500 ms, not 50"):
            drive.poll(50)
        assert drive.poll(10, clamp=True).period_ms == 200
        assert drive.poll(5000, clamp=True).period_ms == 1500
        with pytest.raises(ValueError):
            drive.poll(200, count=0)

        with drive.poll(200, count=3) as poll:
            polls = list(poll)
        assert len(polls) == 3
        assert polls[1].time - polls[0].time >= 0.15 and polls[2].time - polls[1].time >= 0.15

        # Periods that pass while the script is elsewhere give one poll at once,
        # never a burst; other requests meanwhile are not refused as busy.
        with drive.poll(200) as poll:
            next(poll)
            time.sleep(0.7)
            assert drive.status().complete
            drive.set_speed(9000)
            late = next(poll)
            following = next(poll)
            assert following.time - late.time >= 0.15
        with pytest.raises(StopIteration):
            next(poll)  # closed by the end of the block
        assert drive.counters.busy == 0


def test_a_poll_due_during_another_request_comes_right_after_it(start_sim):
    # At 9600 baud a get_all() takes about 1.4 s; the poll's tick falls within it.
    sim = start_sim("--baud", "9600")
    with morvane.Drive(sim.path, baud=9600) as drive, drive.poll(1500) as poll:
        first = next(poll)
        ended = []
        other = threading.Thread(target=lambda: ended.append((drive.get_all(), time.time())))
        time.sleep(max(0.0, first.time + 1.0 - time.time()))
        other.start()
        time.sleep(0.1)
        late = next(poll)  # due at +1.5 s, while get_all() runs
        following = next(poll)
        other.join()
    assert late.time > ended[0][1] - 0.1 and late.time - ended[0][1] < 0.4  # at once, not at a later tick
    assert following.time - late.time > 1.3  # a whole period after the late one, never a burst


def test_the_port_its_threads_and_its_polls_go_with_the_drive(sim):
    before = task_count()
    drive = morvane.Drive(sim.path)
    assert drive.is_open and drive.device == sim.path
    assert task_count() > before
    poll = drive.poll(1500)
    next(poll)
    drive.close()
    assert task_count() == before and not drive.is_open
    start = time.monotonic()
    with pytest.raises(morvane.RequestRefusedError, match="status: request refused: COM port not opened"):
        next(poll)  # at once, not after its period (1.5 s)
    assert time.monotonic() - start < 0.5

    # A poll that waits in another thread is refused once the drive is closed.
    drive.open()
    poll = drive.poll(1500)
    next(poll)
    refused = []

    def wait():
        try:
            next(poll)
        except morvane.RequestRefusedError:
            refused.append(time.monotonic())

    waiting = threading.Thread(target=wait)
    waiting.start()
    time.sleep(0.2)
    closed = time.monotonic()
    drive.close()
    waiting.join(5)
    assert refused and refused[0] - closed < 0.5
    assert task_count(before) == before
    drive.open()
    assert drive.info().name == "Morvane SIM-1"
    del drive, poll  # an open drive that goes closes its port
    assert task_count() == before
    with morvane.Drive(sim.path) as again:  # the port is free again
        assert again.status().complete


def test_a_port_is_named_by_number_or_by_path(sim, tmp_path, monkeypatch):
    for wrong, error, text in [
        ((), ValueError, "a port number"),
        ((1,), ValueError, "not both"),
        ((33,), ValueError, "port is 1 to 32"),
        ((True,), TypeError, "not bool"),
        ((sim.path + "\0x",), ValueError, "null byte"),
    ]:
        with pytest.raises(error, match=text):
            morvane.Drive(*wrong, **({"device": sim.path} if wrong == (1,) else {}))
    with pytest.raises(ValueError, match="baud is one of 110 300 .* 115200"):
        morvane.Drive(sim.path, baud=12345)
    (tmp_path / "ports").mkdir()
    (tmp_path / "ports" / "COM3").symlink_to(sim.path)
    monkeypatch.setenv("MORVANE_PORT_MAP", str(tmp_path / "ports"))
    for given in (3, sim.path, Path(sim.path), sim.path.encode(), tmp_path / "ports" / "COM3"):
        with morvane.Drive(given) as drive:  # nothing was left holding the port
            assert drive.info().name, given


def test_the_ports_reports_and_each_request_are_logged(start_sim, caplog):
    sim = start_sim()
    caplog.set_level(logging.DEBUG, logger="morvane")
    drive = morvane.Drive(sim.path)
    drive.info()
    debug = [m for name, level, m in caplog.record_tuples if level == logging.DEBUG]  # the link trace of the call
    assert f"port opened: {sim.path}, 115200 bit/s" in debug
    assert debug[-10:] == [
        "request begun: #1 info: 4 steps",
        "frame 77: #1 info step 1 of 4: 0x77 get name",
        'received 77 4D 6F 72 76 61 6E 65 20 53 49 4D 2D 31 00 00 00: #1 info step 1 of 4: answer 0x77 name '
        '"Morvane SIM-1"',
        "frame 0D: #1 info step 2 of 4: 0x0D get version",
        "received DD 01 00 03 02 00 01: #1 info step 2 of 4: answer 0xDD version S0001-03, H0002-01",
        "frame 78: #1 info step 3 of 4: 0x78 get serial no",
        "received 07 92 10: #1 info step 3 of 4: answer 0x07 serial no 4242",
        "frame 10 00 00: #1 info step 4 of 4: 0x10 get hardware id",
        "received C1 12 AB: #1 info step 4 of 4: answer 0xC1 hardware id 0xC1 0x12 0xAB",
        "request ended: #1 info ended: completed"]
    sim.stop()  # the adapter is pulled out
    time.sleep(0.3)
    with pytest.raises(morvane.PortError) as e:
        drive.status()
    assert e.value.errno == errno.ENODEV and e.value.filename == sim.path
    warnings = [m for name, level, m in caplog.record_tuples if level == logging.WARNING]
    assert warnings and warnings[0].startswith(sim.path), caplog.record_tuples
    drive.close()


def test_ports_are_listed_as_the_settings_dialog_sees_them(sim, tmp_path, monkeypatch):
    (tmp_path / "ports").mkdir()
    (tmp_path / "ports" / "COM3").symlink_to(sim.path)
    (tmp_path / "ports" / "COM4").symlink_to(tmp_path / "unplugged")
    monkeypatch.setenv("MORVANE_PORT_MAP", str(tmp_path / "ports"))
    listed = morvane.list_ports()
    assert [p.name for p in listed] == [f"COM{n}" for n in range(1, 33)]
    assert (listed[2].device, listed[2].present, listed[3].present) == (sim.path, True, False)
    assert listed[2] in morvane.list_ports(present_only=True) and listed[3] not in morvane.list_ports(True)
    assert listed[8].device == "/dev/ttyACM0"  # the fixed table without a map entry

    # A USB adapter, as sysfs describes the one behind the device.
    usb = tmp_path / "sys/devices/usb1/1-1"
    (usb / "1-1:1.0").mkdir(parents=True)
    for name, text in [("idVendor", "0403"), ("idProduct", "6001"), ("manufacturer", "FTDI"),
                       ("product", "FT232R USB UART"), ("serial", "A10K3XYZ")]:
        (usb / name).write_text(text + "\n")
    tty = tmp_path / "sys/class/tty" / Path(sim.path).name
    tty.mkdir(parents=True)
    (tty / "device").symlink_to(usb / "1-1:1.0")
    com3 = morvane.PortInfo(**morvane._morvane._ports(tmp_path / "sys")[2])
    assert (com3.vid, com3.pid, com3.serial_number, com3.manufacturer, com3.product) == (
        0x0403, 0x6001, "A10K3XYZ", "FTDI", "FT232R USB UART")
    assert str(com3) == f"COM3: {sim.path} (present) FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)"


def test_a_drive_shared_by_threads_runs_one_request_at_a_time(sim):
    with morvane.Drive(sim.path) as drive:
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
