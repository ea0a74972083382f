"""morvane.Profile: files as the reader and writer of the core make and check
them (byte for byte what morvane-cli writes), the editor's fields and rules,
the V/F table, the comparison, and profiles through a drive."""

import copy
import math
import pickle

import pytest

import morvane
from conftest import cli


def test_files_are_written_and_read_as_the_cli_does(tmp_path):
    for slot in range(1, 7):
        cli("profile", "default", slot, tmp_path / f"cli{slot}.ini", check=0)
        morvane.Profile.default(slot).save(tmp_path / f"py{slot}.ini")
        assert (tmp_path / f"py{slot}.ini").read_bytes() == (tmp_path / f"cli{slot}.ini").read_bytes()

    p = morvane.Profile.default(2)
    p.name = "Spindle"
    p.cont_under_voltage_trip = 36.5
    p.motor_ac_vf_data_speed_loss_no_load = [600] * 12
    p.save(str(tmp_path / "py.ini"))
    cli("profile", "from-bytes", p.to_bytes().hex(), tmp_path / "cli.ini", check=0)
    assert (tmp_path / "py.ini").read_bytes() == (tmp_path / "cli.ini").read_bytes()
    assert morvane.Profile.load(tmp_path / "cli.ini") == p
    assert cli("profile", "dump", tmp_path / "py.ini", check=0).stdout.strip() == p.to_bytes().hex()


@pytest.mark.parametrize(
    "line, text, expected_line",
    [
        (1, "Motor Profile", 1),
        (8, "x", 8),
        (6, "name: ", 6),
        (11, "cont_over_temp_trip: 101", 11),
        (31, "motor_speed_max: x", 31),
        (49, "motor_ac_vf_data_voltage_no_load: 60 60 60 60 70 120 170 230 290 340 410 481", 49),
        (54, "checksum: 1", 54),
        (9, "cont_under_voltage_trip: 351", 54),  # the data no longer matches the stored checksum
    ],
)
def test_a_refused_file_carries_the_readers_message_and_line(tmp_path, line, text, expected_line):
    good = tmp_path / "good.ini"
    morvane.Profile.default(1).save(good)
    lines = good.read_bytes().split(b"\r\n")
    lines[line - 1] = text.encode()
    bad = tmp_path / "bad.ini"
    bad.write_bytes(b"\r\n".join(lines))
    with pytest.raises(morvane.FileRefused) as e:
        morvane.Profile.load(bad)
    said = cli("profile", "check", bad, check=1).stderr.strip()
    assert str(e.value) == e.value.message == said
    assert e.value.line == expected_line and e.value.path == str(bad)


def test_unreadable_and_unwritable_files_are_refused_whole(tmp_path):
    with pytest.raises(morvane.FileRefused) as e:
        morvane.Profile.load(tmp_path / "missing.ini")
    assert e.value.line == 0
    assert str(e.value).startswith(f"ERROR: - unable to read motor profile file {tmp_path / 'missing.ini'}: ")
    (tmp_path / "short.ini").write_text("Motor Profile Configuration File\r\n")
    with pytest.raises(morvane.FileRefused, match="got 1 lines, expected 55") as e:
        morvane.Profile.load(tmp_path / "short.ini")
    assert e.value.line == 0

    target = tmp_path / "folder-is-a-file"
    target.write_text("kept")
    with pytest.raises(morvane.FileRefused) as e:
        morvane.Profile.default(1).save(target / "p.ini")
    assert str(e.value).startswith("ERROR: - unable to write motor profile file")
    assert target.read_text() == "kept"


def test_fields_follow_the_editor_in_their_units():
    p = morvane.Profile.default(1)
    kinds = {f.key: f for f in morvane.Profile.fields}
    assert len(kinds) == 2 + 35 + 5
    for f in morvane.Profile.fields:
        if f.kind in ("integer", "speed", "tenths"):
            setattr(p, f.key, f.minimum - 10)
            assert getattr(p, f.key) == f.minimum, f.key
            setattr(p, f.key, f.maximum * 10 + 7)
            assert getattr(p, f.key) == f.maximum, f.key
            assert p.valid, f.key  # the checksum is made good as the editor makes it
    assert kinds["cont_under_voltage_trip"].unit == "V" and kinds["motor_speed_max"].unit == "RPM"
    assert kinds["motor_type"].choices == {0: "DC", 1: "AC"}

    p.cont_under_voltage_trip = 35.37  # one decimal kept, the rest dropped
    assert p.cont_under_voltage_trip == 35.3 and p.text("cont_under_voltage_trip") == "35.3 V"
    p.motor_speed_max = 61239  # whole tens of RPM
    assert p.motor_speed_max == 61230
    p.motor_pole_pairs = 4.0
    assert p.motor_pole_pairs == 4
    p.motor_over_power_trip = math.inf
    assert p.motor_over_power_trip == 1200

    before = p.to_bytes()
    for key, value, error in [
        ("motor_pole_pairs", 2.5, ValueError),
        ("cont_under_voltage_trip", math.nan, ValueError),
        ("cont_under_voltage_trip", "35", TypeError),
        ("motor_type", 2, ValueError),
        ("motor_temp_enable", -1, ValueError),
        ("cont_io_input1_edge", 1.0, ValueError),
        ("name", "", ValueError),
        ("name", "Motor\u20ac", ValueError),
        ("motor_ac_vf_data_speed", [1000] * 11, ValueError),
        ("motor_ac_vf_data_speed", [1000] * 11 + [12.5], ValueError),
        ("vf_table", [[0] * 12] * 4, ValueError),
    ]:
        with pytest.raises(error):
            setattr(p, key, value)
        assert p.to_bytes() == before, key  # a refused value changes nothing

    p.motor_type = 1
    p.motor_temp_enable = True
    assert (p.motor_type, p.motor_temp_enable) == (1, 1)
    p.name = "Spindle motor A"  # cut to 11 characters
    p.comment = "Test bench \xe9t\xe9"
    assert (p.name, p.comment) == ("Spindle mot", "Test bench \xe9t\xe9")
    assert p.to_bytes()[12 + 11] == 0xE9  # Latin-1 in the record


def test_the_vf_table_in_rows_of_twelve():
    p = morvane.Profile.default(1)
    table = p.vf_table
    assert len(table) == 5 and all(len(row) == 12 for row in table)
    assert table[0] == p.motor_ac_vf_data_speed and table[0][11] == 100000
    assert table[2][3] == 21.0
    p.motor_ac_vf_data_voltage_max_load = [50.0, 12.34] + [48.0] * 10
    assert p.motor_ac_vf_data_voltage_max_load[:2] == (48.0, 12.3)
    rows = [list(r) for r in p.vf_table]
    rows[0][4] = 12345
    rows[4][11] = -3
    p.vf_table = rows
    assert p.vf_table[0][4] == 12340 and p.vf_table[4][11] == 0
    assert p.valid


def test_diff_lists_what_profile_diff_prints(tmp_path):
    a, b = morvane.Profile.default(1), morvane.Profile.default(1)
    assert a.diff(b) == []
    b.name = "Other"
    b.cont_over_voltage_trip = 52.5
    b.motor_ac_vf_data_speed = [0] * 12
    a.save(tmp_path / "a.ini")
    b.save(tmp_path / "b.ini")
    printed = cli("profile", "diff", tmp_path / "a.ini", tmp_path / "b.ini", check=1).stdout
    assert [str(d) for d in a.diff(b)] == printed.splitlines()
    first = a.diff(b)[0]
    assert (first.key, first.a, first.b) == ("name", '"P01"', '"Other"')
    volts = next(d for d in a.diff(b) if d.key == "cont_over_voltage_trip")
    assert (volts.unit, volts.a, volts.b) == ("V", "51.0 V", "52.5 V")


def test_bytes_copies_and_checksums():
    p = morvane.Profile.default(3)
    assert len(p.to_bytes()) == 222 and p.valid and p.checksum == int.from_bytes(p.to_bytes()[220:], "little")
    raw = bytearray(p.to_bytes())
    raw[30] ^= 0xFF
    broken = morvane.Profile.from_bytes(raw)
    assert not broken.valid and "invalid" in repr(broken) and "(invalid, expected" in broken.text("checksum")
    with pytest.raises(ValueError, match="222 bytes, not 221"):
        morvane.Profile.from_bytes(bytes(221))
    q = copy.copy(p)
    q.comment = "changed"
    assert p.comment == "Default" and q != p
    assert pickle.loads(pickle.dumps(q)) == q and copy.deepcopy(q) == q
    with pytest.raises(TypeError):
        morvane.Profile()
    with pytest.raises(ValueError, match="slot is 1 to 6"):
        morvane.Profile.default(7)


def test_a_profile_round_trip_through_the_drive_is_byte_identical_with_the_cli(sim, tmp_path):
    p = morvane.Profile.default(2)
    p.name = "Round trip"
    p.motor_ac_current_max_load = 12.7
    with morvane.Drive(device=sim.path) as drive:
        drive.save_profile(3, p)
    # The tool reads back what Python saved, into the same file bytes.
    cli("drive", "--device", sim.path, "get-profile", 3, tmp_path / "cli.ini", check=0)
    p.save(tmp_path / "py.ini")
    assert (tmp_path / "cli.ini").read_bytes() == (tmp_path / "py.ini").read_bytes()

    # Python reads back what the tool saved, into the same record bytes.
    q = morvane.Profile.load(tmp_path / "py.ini")
    q.comment = "from the tool"
    q.save(tmp_path / "tool.ini")
    cli("drive", "--device", sim.path, "save-profile", 4, tmp_path / "tool.ini", check=0)
    with morvane.Drive(device=sim.path) as drive:
        got = drive.get_profile(4)
    assert got.to_bytes().hex() == cli("profile", "dump", tmp_path / "tool.ini", check=0).stdout.strip()
    assert cli("profile", "diff", "drive:4", tmp_path / "tool.ini", "--device", sim.path).returncode == 0
