"""Drive(trace=PATH) and drive.trace: the link's flight recorder for scripts,
written as a trace file that morvane-sim --replay plays back."""

import morvane
import pytest


def test_a_run_is_traced_written_and_replayed(start_sim, tmp_path):
    path = tmp_path / "run.trace"
    drive = morvane.Drive(device=start_sim("--fault", "badsum:0x35:3").path, trace=path)
    with drive, pytest.raises(morvane.InvalidChecksum) as field:
        drive.get_all()
    events = drive.trace  # kept after the port has closed
    assert [e.data for e in events if e.kind == "frame"] == [bytes([0x35, slot]) for slot in range(6)]
    [bad] = [e for e in events if e.failure]
    assert (bad.kind, bad.request, bad.step) == ("received", "get-all", 3)
    assert "INVALID CHECKSUM" in bad.text and len(bad.data) == 224
    assert "port opened" in [e.kind for e in events] and events[-1].kind == "port closed"
    assert path.read_text().startswith("# Morvane link trace, format 1\n")

    with morvane.Drive(device=start_sim("--replay", str(path)).path) as desk:
        with pytest.raises(morvane.InvalidChecksum) as again:
            desk.get_all()
    assert str(again.value) == str(field.value)


def test_a_trace_that_cannot_be_written_is_said(sim, tmp_path):
    with pytest.raises(FileNotFoundError, match="is not a folder"):
        morvane.Drive(device=sim.path, trace=tmp_path / "missing" / "run.trace")
    drive = morvane.Drive(device=sim.path, trace=tmp_path)  # a folder: refused when written
    with pytest.raises(OSError, match="unable to write trace file"):
        drive.close()
    assert not drive.is_open
