#!/usr/bin/env python3
"""End-of-line check of a drive: reads its identity and checks that each of
its six motor profiles is the one in the reference files, then prints PASS or
FAIL (exit status 0 or 1).

The reference folder holds P01.ini .. P06.ini, the profile files of slots
1..6 (as 'morvane-cli drive ... get-all DIR' or the main window's
"Save INI" write them). Every differing field is listed as
'morvane-cli profile diff' lists it.

    end_of_line.py --device /dev/ttyUSB0 --profiles reference/
    end_of_line.py --profiles reference/   # against a simulated drive (morvane-sim)
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import morvane


def start_simulated_drive() -> tuple["subprocess.Popen[str]", str]:
    """Starts morvane-sim (the build's own next to the module, else the one on PATH); returns it and its device."""
    built = Path(morvane.__file__).resolve().parents[2] / "src" / "morvane-sim"
    program = str(built) if built.exists() else shutil.which("morvane-sim")
    if program is None:
        sys.exit("end_of_line: no --device or --port given and morvane-sim not found")
    sim = subprocess.Popen([program], stdout=subprocess.PIPE, text=True)
    assert sim.stdout is not None
    return sim, sim.stdout.readline().strip()


def check(drive: morvane.Drive, folder: Path) -> bool:
    """Prints the identity and one line per slot; True when every slot matches its file."""
    info = drive.info()
    print(f"Name: {info.name}")
    print(f"Version: {info.version}")
    print(f"Serial No: {info.serial_number}")
    print(f"Hardware ID: {info.hardware_id}")
    good = True
    for slot in range(1, 7):
        path = folder / f"P{slot:02d}.ini"
        try:
            expected = morvane.Profile.load(path)
            actual = drive.get_profile(slot)
        except morvane.MorvaneError as e:  # a refused file, a bad checksum, no answer
            print(f"slot {slot}: FAIL: {e}")
            good = False
            continue
        differences = actual.diff(expected)
        print(f"slot {slot}: {'ok' if not differences else 'FAIL'} ({actual.name!r})")
        for d in differences:
            print(f"    {d}")
        good = good and not differences
    return good


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--device", help="serial device, e.g. /dev/ttyUSB0")
    where.add_argument("--port", type=int, help="port number (COM1.. as the port map says)")
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--profiles", required=True, type=Path, help="folder with P01.ini .. P06.ini")
    args = parser.parse_args()

    sim = None
    device = args.device
    if device is None and args.port is None:
        sim, device = start_simulated_drive()
    try:
        with morvane.Drive(args.port if args.port is not None else device, baud=args.baud) as drive:
            good = check(drive, args.profiles)
    except morvane.MorvaneError as e:  # the port cannot be opened, the drive does not answer
        print(f"FAIL: {e}")
        good = False
    finally:
        if sim is not None:
            sim.terminate()
            sim.wait()
    print("PASS" if good else "FAIL")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
