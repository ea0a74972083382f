#!/usr/bin/env python3
"""Ramps a drive through a range of speeds and logs what it does to a CSV file.

At each speed the drive is polled for a while (the control window's poll,
every --period ms) and every poll becomes a line: the time, the speed asked
for, the measured speed, phase current, phase power, bus voltage and the
controller and motor temperatures. The motor is stopped at the end, also
after a Ctrl-C or an error.

    speed_sweep.py --device /dev/ttyUSB0 --from 10000 --to 60000 --step 10000
    speed_sweep.py            # against a simulated drive (morvane-sim) started for the run
"""

import argparse
import csv
import logging
import shutil
import subprocess
import sys
from datetime import datetime
from pathlib import Path
from typing import Any

import morvane


def start_simulated_drive() -> tuple["subprocess.Popen[str]", str]:
    """Starts morvane-sim (the build's own next to the module, else the one on PATH); returns it and its device."""
    built = Path(morvane.__file__).resolve().parents[2] / "src" / "morvane-sim"
    program = str(built) if built.exists() else shutil.which("morvane-sim")
    if program is None:
        sys.exit("speed_sweep: no --device or --port given and morvane-sim not found")
    sim = subprocess.Popen([program], stdout=subprocess.PIPE, text=True)
    assert sim.stdout is not None
    return sim, sim.stdout.readline().strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--device", help="serial device, e.g. /dev/ttyUSB0")
    where.add_argument("--port", type=int, help="port number (COM1.. as the port map says)")
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--from", dest="low", type=int, default=10000, help="first speed, RPM")
    parser.add_argument("--to", dest="high", type=int, default=60000, help="last speed, RPM")
    parser.add_argument("--step", type=int, default=10000, help="speed step, RPM")
    parser.add_argument("--dwell", type=float, default=1.0, help="seconds at each speed")
    parser.add_argument("--period", type=int, default=250, help="poll period, ms (200..1500)")
    parser.add_argument("--out", default="speed_sweep.csv", help="CSV file to write")
    parser.add_argument("--verbose", action="store_true", help="log every request and what the port reports")
    args = parser.parse_args()
    # The port's reports (a break, a line error, an adapter pulled out) at WARNING, each request at DEBUG.
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")

    sim = None
    device = args.device
    if device is None and args.port is None:
        sim, device = start_simulated_drive()
        print(f"speed_sweep: simulated drive at {device}")
    try:
        # A port number (COM3 is 3) or a device path; stop_on_exit sends Stop when the block fails.
        drive = morvane.Drive(args.port if args.port is not None else device, baud=args.baud, stop_on_exit=True)
        with drive, open(args.out, "w", newline="") as out:
            sweep(drive, args, csv.writer(out))
    finally:
        if sim is not None:
            sim.terminate()
            sim.wait()
    print(f"speed_sweep: written {args.out}")


# The values logged, by their names in morvane.Status, with the column headings.
COLUMNS = {"speed_rpm": "speed", "phase_current_a": "phase current", "phase_power_w": "phase power",
           "bus_voltage_v": "bus voltage", "controller_temp_c": "controller temp", "motor_temp_ohm": "motor temp"}


def sweep(drive: morvane.Drive, args: argparse.Namespace, table: Any) -> None:
    info = drive.info()
    print(f"speed_sweep: {info.name}, {info.version}, serial number {info.serial_number}")
    units = morvane.Status.units
    table.writerow(["time", "set speed (RPM)"] + [f"{heading} ({units[name]})" for name, heading in COLUMNS.items()])
    polls_per_step = max(1, round(args.dwell * 1000 / args.period))
    try:
        drive.set_speed(args.low)
        drive.start()
        for asked in range(args.low, args.high + 1, args.step):
            sent = drive.set_speed(asked)
            with drive.poll(args.period, count=polls_per_step) as polls:
                for s in polls:
                    when = datetime.fromtimestamp(s.time).isoformat(timespec="milliseconds")
                    row = s.as_dict()
                    table.writerow([when, sent] + [row[name] for name in COLUMNS])
            print(f"  {sent:6d} RPM asked: {s.speed_rpm} RPM, {s.phase_current_a} A, {s.phase_power_w} W, "
                  f"{s.controller_temp_c} C")
    finally:
        # Also after a Ctrl-C: the port stays open, so Stop reaches the drive.
        drive.stop()


if __name__ == "__main__":
    main()
