"""morvane.hex and morvane.spl give what morvane-cli hex info, spl build and
spl inspect give for the same files."""

import pytest

import morvane
from conftest import cli, hex_text


def cli_fields(text):
    return dict(line.split(": ", 1) for line in text.splitlines())


def test_hex_info_is_the_readers_summary_or_its_refusal(tmp_path, small_firmware):
    info = morvane.hex.info(small_firmware)
    printed = cli_fields(cli("hex", "info", small_firmware, check=0).stdout)
    assert printed["counts"] == " ".join(map(str, info.counts))
    assert printed["lowest"] == f"0x{info.lowest:08X}" and printed["highest"] == f"0x{info.highest:08X}"
    assert (printed["total"], printed["mode"], printed["longest"]) == (str(info.total), str(info.mode),
                                                                        str(info.longest))
    assert printed["limit"] == f"0x{info.limit:08X}"
    assert info.total == 2 * 4096 + 100 + 16 and info.mode == 2

    bad = tmp_path / "bad.hex"
    bad.write_text(hex_text({0x10: 1}).replace(":00000001FF", ":0001\n:00000001FF"))
    with pytest.raises(morvane.FileRefused) as e:
        morvane.hex.info(bad)
    said = cli("hex", "info", bad, check=1)
    assert "morvane-cli: " + str(e.value) in said.stderr
    assert (e.value.message, e.value.line, e.value.line_text) == ("record length too short", 3, ":0001")
    assert f"text: {e.value.line_text}" in said.stdout
    with pytest.raises(morvane.FileRefused, match="no such file"):
        morvane.hex.info(tmp_path / "missing.hex")


def test_spl_build_and_inspect_as_the_cli(tmp_path, small_firmware):
    grinder = morvane.Profile.default(2)
    grinder.name = "Grinder"
    grinder.comment = "line 4"
    grinder.save(tmp_path / "p2.ini")
    (tmp_path / "py").mkdir()
    (tmp_path / "cli").mkdir()

    built = morvane.spl.build(small_firmware, tmp_path / "py" / "fw.bin", fw_version=300,
                              profiles={2: grinder, 5: tmp_path / "p2.ini"})
    printed = cli("spl", "build", "--hex", small_firmware, "--out", tmp_path / "cli" / "fw.bin", "--fw-version", 255,
                  "--profile", f"2={tmp_path / 'p2.ini'}", "--profile", f"5={tmp_path / 'p2.ini'}", check=0).stdout
    assert [built.device, *built.summary] == printed.splitlines()
    assert built.path == str(tmp_path / "py" / "fw.spl") and built.size == 20584
    assert (tmp_path / "py" / "fw.spl").read_bytes() == (tmp_path / "cli" / "fw.spl").read_bytes()

    contents = morvane.spl.inspect(built.path)
    assert contents.ok and contents.marker_ok and contents.words_padded and contents.firmware_version == 255
    assert contents.profiles[1] == grinder and contents.profiles[4] == grinder
    assert contents.profiles[0] == morvane.Profile.default(1)
    shown = cli("spl", "inspect", built.path, check=0).stdout
    for slot, p in enumerate(contents.profiles, 1):
        assert f'profile {slot}: name "{p.name}" comment "{p.comment}" checksum ok' in shown

    # The same name again: refused with the window's message, the file kept.
    before = (tmp_path / "py" / "fw.spl").read_bytes()
    with pytest.raises(morvane.MorvaneError) as e:
        morvane.spl.build(small_firmware, tmp_path / "py" / "fw")
    assert str(e.value) == "ERROR: - SPL file name already exists."
    assert (tmp_path / "py" / "fw.spl").read_bytes() == before


def test_spl_refusals_change_nothing(tmp_path, small_firmware):
    out = tmp_path / "x"
    for bad in (0x2100, -2048):
        with pytest.raises(ValueError, match="multiple of 0x800"):
            morvane.spl.build(small_firmware, out, app_start=bad)
        with pytest.raises(ValueError, match="multiple of 0x800"):
            morvane.spl.inspect(small_firmware, profile_start=bad)
    (tmp_path / "bad.ini").write_text("not a profile\r\n")
    with pytest.raises(morvane.FileRefused):
        morvane.spl.build(small_firmware, out, profiles={1: tmp_path / "bad.ini"})
    broken = bytearray(morvane.Profile.default(1).to_bytes())
    broken[40] ^= 1
    with pytest.raises(morvane.InvalidChecksum):
        morvane.spl.build(small_firmware, out, profiles={3: morvane.Profile.from_bytes(broken)})
    with pytest.raises(ValueError, match="slot is 1 to 6"):
        morvane.spl.build(small_firmware, out, profiles={7: morvane.Profile.default(1)})
    with pytest.raises(morvane.MorvaneError, match="Motor profile flash page 4 must be blank"):
        morvane.spl.build(small_firmware, out, profile_start=0x2000)
    assert not (tmp_path / "x.spl").exists()

    built = morvane.spl.build(small_firmware, out)
    image = bytearray(open(built.path, "rb").read())
    image[0x4000 + 4 * 3] ^= 0x01  # profile 1, byte 6
    image[0x4FF9] = 0
    (tmp_path / "damaged.spl").write_bytes(image)
    damaged = morvane.spl.inspect(tmp_path / "damaged.spl")
    assert not damaged.ok and not damaged.profiles[0].valid and not damaged.marker_ok
    (tmp_path / "short.spl").write_bytes(image[:0x4800])
    with pytest.raises(morvane.FileRefused, match="too short"):
        morvane.spl.inspect(tmp_path / "short.spl")
