"""Waiting for the drive holds no GIL; a Ctrl-C ends the wait and leaves the drive
open, so Stop reaches the drive wherever a signal lands; a script may exit while
other threads wait for the drive."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import morvane
from conftest import child_env


def test_ctrl_c_during_poll_leaves_the_drive_open_and_usable(sim):
    with morvane.Drive(device=sim.path) as drive:
        polls = []
        timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            for status in drive.poll(1500):  # the second poll would come after 1.5 s
                polls.append(status)
        timer.join()
        assert len(polls) == 1
        # The port stays open and the next call is sent at once.
        assert drive.is_open
        assert drive.status().complete
        assert drive.counters.busy == 0


def motor_running(sim):
    with morvane.Drive(device=sim.path) as drive:
        return morvane.StatusBits.START_STOP in drive.status().flags


def run_until(child, line):
    assert child.stdout.readline() == line + "\n", child.stderr.read()


RUNNING = ("import morvane, signal, sys, threading, time\n"
           "drive = morvane.Drive(device={path!r})\n"
           "drive.activate(1)\n"
           "drive.set_speed(20000)\n"
           "drive.start()\n")


@pytest.mark.parametrize("work,delay", [
    ("for status in drive.poll(200): pass", 0.0),
    ("for status in drive.poll(200): pass", 0.13),
    ("while True: drive.status()", 0.05),
    ("while True: drive.get_all()", 0.07),
    ("time.sleep(30)", 0.1),
])
def test_stop_in_finally_stops_the_motor_wherever_ctrl_c_lands(start_sim, work, delay):
    sim = start_sim()
    script = RUNNING.format(path=sim.path) + ("try:\n"
                                              "    print('running', flush=True)\n"
                                              f"    {work}\n"
                                              "finally:\n"
                                              "    drive.stop()\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=child_env())
    try:
        run_until(child, "running")
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=10)
    finally:
        child.kill()
    # Ended by the Ctrl-C, as any script ends on it; the motor was stopped first.
    assert child.returncode == -signal.SIGINT, err
    assert "KeyboardInterrupt" in err and "COM port not opened" not in err, err
    assert not motor_running(sim)


@pytest.mark.parametrize("waiting", ["main", "thread"])
def test_a_signal_handler_may_stop_the_drive_while_a_call_waits(start_sim, waiting):
    # SIGTERM lands while a call of the same drive waits (in the main thread
    # or another): the handler's stop() jumps the queue and returns; the
    # interrupted poll gives way.
    sim = start_sim()
    work = "for status in drive.poll(200): pass"
    script = RUNNING.format(path=sim.path) + (
        "def on_term(sig, frame):\n"
        "    start = time.monotonic()\n"
        "    drive.stop()\n"
        "    print('stopped in %.3f' % (time.monotonic() - start), flush=True)\n"
        "    sys.exit(0)\n"
        "signal.signal(signal.SIGTERM, on_term)\n"
        + (f"def work():\n    {work}\nthreading.Thread(target=work, daemon=True).start()\n"
           "print('running', flush=True)\nwhile True: time.sleep(1)\n" if waiting == "thread" else
           f"print('running', flush=True)\n{work}\n"))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=child_env())
    try:
        run_until(child, "running")
        time.sleep(0.3)
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert out.startswith("stopped in "), err
    assert float(out.split()[2]) < 0.5  # sent within the step in flight, not after the poll
    assert not motor_running(sim)


def test_stop_on_exit_stops_the_motor_when_the_block_fails(sim):
    with pytest.raises(ZeroDivisionError):
        with morvane.Drive(device=sim.path, stop_on_exit=True) as drive:
            drive.activate(1)
            drive.start()
            assert morvane.StatusBits.START_STOP in drive.status().flags
            1 / 0
    assert not motor_running(sim)


def test_waiting_for_the_drive_lets_other_threads_run(sim):
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    with morvane.Drive(device=sim.path) as drive:
        poll = drive.poll(1500)
        next(poll)
        counter = threading.Thread(target=count)
        counter.start()
        try:
            start = counted[0]
            next(poll)  # waits about 1.5 s for the period
            during = counted[0] - start
        finally:
            stop.set()
            counter.join()
    assert during > 10000


@pytest.mark.parametrize("work", ["for status in drive.poll(200): pass", "while True: drive.status()"])
def test_a_script_may_exit_while_a_daemon_thread_waits_for_the_drive(sim, work):
    # The interpreter ends daemon threads as they come back to Python; one
    # that is waiting for the drive then must not take the process down.
    script = ("import morvane, threading, time\n"
              f"drive = morvane.Drive(device={sim.path!r})\n"
              "def work():\n"
              f"    {work}\n"
              "threading.Thread(target=work, daemon=True).start()\n"
              "time.sleep(0.5)\n"
              "print('exiting', flush=True)\n")
    for _ in range(3):
        r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                           env=child_env())
        assert (r.returncode, r.stdout) == (0, "exiting\n"), r.stderr
    with morvane.Drive(device=sim.path) as drive:
        assert drive.status().complete
