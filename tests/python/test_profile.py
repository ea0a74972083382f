"""morvane.Profile: files as the reader and writer of the core make and check
them (byte for byte what morvane-cli writes), fields checked when set (the
editor's clamping when asked for), the file reader's rules as check(), the
V/F table, the comparison, raw bytes, and profiles through a drive."""

import array
import copy
import errno
import math
import os
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
    with pytest.raises(morvane.FileFormatError) as e:
        morvane.Profile.load(bad)
    said = cli("profile", "check", bad, check=1).stderr.strip()
    assert e.value.message == e.value.window_text == said
    assert str(e.value) == f"{bad}, line {expected_line}: {said.removeprefix('ERROR: - ')}"
    assert e.value.line == expected_line and e.value.path == str(bad)


def test_unreadable_and_unwritable_files_are_refused_whole(tmp_path):
    with pytest.raises(FileNotFoundError.__mro__[1]) as e:  # an OSError
        morvane.Profile.load(tmp_path / "missing.ini")
    assert (type(e.value), e.value.line, e.value.errno) == (morvane.FileAccessError, 0, errno.ENOENT)
    assert str(e.value) == f"unable to read motor profile file {tmp_path / 'missing.ini'}: No such file or directory"
    (tmp_path / "short.ini").write_text("Motor Profile Configuration File\r\n")
    with pytest.raises(morvane.FileFormatError, match="short.ini: invalid motor profile file size, got 1 lines") as e:
        morvane.Profile.load(tmp_path / "short.ini")
    assert e.value.line == 0

    target = tmp_path / "folder-is-a-file"
    target.write_text("kept")
    with pytest.raises(morvane.FileAccessError) as e:
        morvane.Profile.default(1).save(target / "p.ini")
    assert str(e.value).startswith("unable to write motor profile file") and e.value.errno == errno.ENOTDIR
    assert target.read_text() == "kept"


def test_fields_are_checked_and_clamped_only_when_asked():
    p = morvane.Profile.default(1)
    kinds = {f.key: f for f in morvane.Profile.fields}
    assert len(kinds) == 2 + 35 + 5
    for f in morvane.Profile.fields:
        if f.kind in ("integer", "speed", "tenths"):
            for outside in (f.minimum - 10, f.maximum * 10 + 10):
                with pytest.raises(ValueError, match=f"{f.key} is .*{f.minimum} to {f.maximum}"):
                    setattr(p, f.key, outside)
            assert p.set(f.key, f.minimum - 10, clamp=True) == f.minimum, f.key
            assert p.set(f.key, f.maximum * 10 + 7, clamp=True) == f.maximum, f.key
            setattr(p, f.key, f.minimum)
            assert p.checksum_ok and p.valid, f.key  # the checksum is made good as the editor makes it
    assert kinds["cont_under_voltage_trip"].unit == "V" and kinds["motor_type"].choices == {0: "DC", 1: "AC"}

    p.cont_under_voltage_trip = 36.5
    p.motor_pole_pairs = 4.0
    p.motor_speed_max = 61230
    p.comment = ""  # the file takes an empty comment
    assert (p.cont_under_voltage_trip, p.motor_pole_pairs, p.motor_speed_max, p.comment) == (36.5, 4, 61230, "")
    before = p.to_bytes()
    for key, value, error, said in [
        ("cont_under_voltage_trip", 365, ValueError, "cont_under_voltage_trip is 25.0 to 55.0 V, not 365"),
        ("cont_under_voltage_trip", 35.37, ValueError, "one decimal"),
        ("cont_under_voltage_trip", math.nan, ValueError, "not nan"),
        ("cont_under_voltage_trip", "35", TypeError, r"takes a number \(25.0 to 55.0 V\), not str"),
        ("motor_speed_max", -5, ValueError, "motor_speed_max is 2000 to 100000 RPM, not -5"),
        ("motor_speed_max", 61239, ValueError, "a multiple of 10 RPM"),
        ("motor_pole_pairs", 2.5, ValueError, "a whole number"),
        ("motor_pole_pairs", 2**80, ValueError, "1 to 12"),
        ("motor_over_power_trip", math.inf, ValueError, "20 to 1200 W"),
        ("motor_type", 2, ValueError, "motor_type is one of 0 = DC, 1 = AC, not 2"),
        ("cont_io_input1_edge", 1.0, TypeError, "is one of"),
        ("name", "", ValueError, "name is 1 to 11 characters, not 0"),
        ("name", "Spindle motor A", ValueError, "name is 1 to 11 characters, not 15"),
        ("comment", "two\nlines", ValueError, "line break"),
        ("name", "Motor\u20ac", ValueError, "Latin-1"),
        ("name", b"P01", TypeError, "takes text"),
        ("motor_ac_vf_data_speed", [1000] * 11, ValueError, "12 values, not 11"),
        ("motor_ac_vf_data_speed", [1000] * 11 + [12345], ValueError, r"motor_ac_vf_data_speed\[11\] is a multiple"),
        ("motor_ac_vf_data_speed", "0" * 12, TypeError, "sequence"),
        ("vf_table", [[0] * 12] * 4, ValueError, "5 rows"),
    ]:
        with pytest.raises(error, match=said):
            setattr(p, key, value)
        assert p.to_bytes() == before, key  # a refused value changes nothing

    # The editor's rules, asked for: pulled in, the fraction dropped, a long text cut.
    assert p.set("cont_under_voltage_trip", 35.37, clamp=True) == 35.3
    assert p.set("motor_speed_max", 61239, clamp=True) == 61230
    assert p.set("motor_over_power_trip", math.inf, clamp=True) == 1200
    assert p.set("name", "Spindle motor A", clamp=True) == "Spindle mot"
    assert p.set("name", "", clamp=True) == "Spindle mot"  # an empty name keeps the previous
    p.motor_type = 1
    p.motor_temp_enable = True
    p.comment = "Test bench \xe9t\xe9"
    assert (p.motor_type, p.motor_temp_enable, p.comment) == (1, 1, "Test bench \xe9t\xe9")
    assert p.to_bytes()[12 + 11] == 0xE9  # Latin-1 in the record
    with pytest.raises(KeyError):
        p.set("no_such_field", 1)


def test_the_vf_table_in_rows_of_twelve():
    p = morvane.Profile.default(1)
    table = p.vf_table
    assert len(table) == 5 and all(len(row) == 12 for row in table)
    assert table[0] == p.motor_ac_vf_data_speed and table[0][11] == 100000
    assert table[2][3] == 21.0
    p.motor_ac_vf_data_voltage_max_load = (48.0, 12.3) + (48.0,) * 10
    assert p.motor_ac_vf_data_voltage_max_load[:2] == (48.0, 12.3)
    rows = [list(r) for r in p.vf_table]
    rows[0][4] = 12345
    rows[4][11] = -3
    with pytest.raises(ValueError, match=r"motor_ac_vf_data_speed\[4\]"):
        p.vf_table = rows
    p.set("vf_table", rows, clamp=True)
    assert p.vf_table[0][4] == 12340 and p.vf_table[4][11] == 0
    assert p.valid


def test_check_holds_a_profile_to_the_file_readers_rules(tmp_path):
    zeros = morvane.Profile.from_bytes(bytes(222))
    assert zeros.checksum_ok and not zeros.valid
    raw = bytearray(morvane.Profile.default(1).to_bytes())
    raw[5] = 0x41  # a byte after the name's NUL: the reader would rebuild it as zero
    raw[220:] = (-sum(raw[:220]) & 0xFFFF).to_bytes(2, "little")
    padded = morvane.Profile.from_bytes(raw)
    speed = bytearray(morvane.Profile.default(1).to_bytes())
    speed[100 + 2 * 3:100 + 2 * 3 + 2] = (24001).to_bytes(2, "little")
    for profile, field, line, said in [
        (zeros, "name", 6, "name is 1 to 11 characters, not 0"),
        (morvane.Profile.from_bytes(speed), "motor_ac_vf_data_speed[3]", 48,
         r"motor_ac_vf_data_speed\[3\] is 0 to 240000 RPM, not 240010"),
        (padded, "checksum", 54, "not zero"),
    ]:
        assert padded.checksum_ok and not profile.valid
        with pytest.raises(morvane.InvalidProfileError, match=said) as e:
            profile.check()
        assert (e.value.field, e.value.line) == (field, line)
        with pytest.raises(morvane.InvalidProfileError):  # nothing written that load() would refuse
            profile.save(tmp_path / "p.ini")
        assert not (tmp_path / "p.ini").exists()
    padded.save(tmp_path / "forced.ini", force=True)  # as the window writes it
    with pytest.raises(morvane.FileFormatError, match="Invalid checksum"):
        morvane.Profile.load(tmp_path / "forced.ini")
    padded.name = padded.name  # set again: the padding is cleared
    padded.save(tmp_path / "p.ini")
    assert morvane.Profile.load(tmp_path / "p.ini") == padded


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


def test_bytes_copies_and_checksums(tmp_path):
    p = morvane.Profile.default(3)
    assert len(p.to_bytes()) == 222 and p.checksum_ok and p.checksum == int.from_bytes(p.to_bytes()[220:], "little")
    raw = bytearray(p.to_bytes())
    raw[30] ^= 0xFF
    broken = morvane.Profile.from_bytes(raw)
    assert not broken.checksum_ok and "invalid" in repr(broken) and "(invalid, expected" in broken.text("checksum")
    # Any buffer, its strides followed; a wrong size refused.
    both = bytes(raw[i // 2] for i in range(444))
    for data in (memoryview(raw[::-1])[::-1], memoryview(both)[::2], array.array("B", raw)):
        assert morvane.Profile.from_bytes(data) == broken
    for data, error in [(bytes(221), ValueError), (memoryview(raw)[::2], ValueError), ("x" * 222, TypeError)]:
        with pytest.raises(error):
            morvane.Profile.from_bytes(data)
    q = copy.copy(p)
    q.comment = "changed"
    assert p.comment == "Default" and q != p
    assert pickle.loads(pickle.dumps(q)) == q and copy.deepcopy(q) == q
    with pytest.raises(TypeError):
        morvane.Profile()
    with pytest.raises(ValueError, match="slot is 1 to 6"):
        morvane.Profile.default(7)
    # Paths as the file system takes them: bytes and names that are not UTF-8.
    for name in (b"raw\xff.ini", os.fsdecode(b"text\xfe.ini"), tmp_path / "plain.ini"):
        path = os.path.join(os.fsencode(tmp_path), os.fsencode(name)) if not isinstance(name, os.PathLike) else name
        p.save(path)
        assert morvane.Profile.load(path) == p
    assert sorted(os.listdir(os.fsencode(tmp_path))) == [b"plain.ini", b"raw\xff.ini", b"text\xfe.ini"]
    with pytest.raises(ValueError, match="null byte"):
        p.save(str(tmp_path / "p.ini\0.bak"))
    assert not (tmp_path / "p.ini").exists()


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
