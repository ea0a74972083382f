"""Shared fixtures of the Python module's tests: the simulated drive started
in the background, the command-line tool run as a user runs it, and Intel HEX
text for the firmware tests.

ctest sets PYTHONPATH to the build's python folder and MV_SIM_PATH and
MV_CLI_PATH to the programs; run by hand, the build folder next to the
sources is used.
"""

import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

_BUILD = Path(__file__).resolve().parents[2] / "build"
if "MV_SIM_PATH" not in os.environ:
    sys.path.insert(0, str(_BUILD / "python"))

SIM = os.environ.get("MV_SIM_PATH", str(_BUILD / "src" / "morvane-sim"))
CLI = os.environ.get("MV_CLI_PATH", str(_BUILD / "src" / "morvane-cli"))


class Sim:
    """morvane-sim with the given options; its terminal's path is the first line it prints."""

    def __init__(self, *options):
        self.process = subprocess.Popen([SIM, *options], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        line = self.process.stdout.readline() if ready else b""
        self.path = line.decode().strip()
        if not self.path:
            self.stop()
            raise RuntimeError("morvane-sim did not start: " + " ".join(options))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)
        self.process.stdout.close()


@pytest.fixture
def start_sim():
    """start_sim(*options) -> Sim; every simulator is stopped after the test."""
    sims = []

    def start(*options):
        sims.append(Sim(*options))
        return sims[-1]

    yield start
    for s in sims:
        s.stop()


@pytest.fixture
def sim(start_sim):
    """A simulated drive without faults."""
    return start_sim()


def cli(*args, check=None):
    """Runs morvane-cli; returns the CompletedProcess (text). check: the exit code expected."""
    r = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=60)
    if check is not None:
        assert r.returncode == check, r.stderr
    return r


def child_env():
    """The environment of a child python that imports this very module."""
    import morvane

    here = os.path.dirname(os.path.dirname(morvane.__file__))
    path = os.environ.get("PYTHONPATH")
    return {**os.environ, "PYTHONPATH": here + (os.pathsep + path if path else ""), "PYTHONDONTWRITEBYTECODE": "1"}


def task_count(expected=None):
    """Threads of the core in this process: every thread named otherwise than
    the main one (the drive client and the port's workers name theirs; Python's
    own threads keep the program's name, and one that has been joined may stay
    in /proc a moment). With `expected`, waits up to a second for it."""
    tasks = "/proc/self/task"

    def name(task):
        try:
            with open(f"{tasks}/{task}/comm") as f:
                return f.read()
        except FileNotFoundError:  # ended meanwhile
            return None

    main = name(str(os.getpid()))
    for _ in range(100 if expected is not None else 1):
        count = sum(1 for t in os.listdir(tasks) if name(t) not in (main, None))
        if count == expected:
            break
        time.sleep(0.01)
    return count


def hex_text(image):
    """Intel HEX text of {address: byte}: 16-byte data lines in address order, a
    type 04 record before each 64 KiB block, then the end record."""

    def record(offset, kind, data):
        raw = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + bytes(data)
        return ":" + (raw + bytes([(-sum(raw)) & 0xFF])).hex().upper() + "\n"

    text, upper, addresses = "", -1, sorted(image)
    i = 0
    while i < len(addresses):
        start = addresses[i]
        data = [image[start]]
        while (i + len(data) < len(addresses) and addresses[i + len(data)] == start + len(data)
               and (start + len(data)) % 16 != 0):
            data.append(image[start + len(data)])
        if start >> 16 != upper:
            upper = start >> 16
            text += record(0, 4, [upper >> 8, upper & 0xFF])
        text += record(start & 0xFFFF, 0, data)
        i += len(data)
    return text + ":00000001FF\n"


def firmware_words(image, address, count):
    """dsPIC-style words: three bytes of a program word and a 0x00 byte."""
    for a in range(address, address + count):
        image[a] = 0 if a % 4 == 3 else (a * 7 + a // 4) & 0x7F


@pytest.fixture
def small_firmware(tmp_path):
    """A small dsPIC33EP64 application: pages 4-5 and 9 in use, the last device page 21 set."""
    page = 4096
    image = {}
    firmware_words(image, 4 * page, 2 * page)
    firmware_words(image, 9 * page, 100)
    firmware_words(image, 21 * page, 16)
    path = tmp_path / "firmware.hex"
    path.write_text(hex_text(image))
    return path
