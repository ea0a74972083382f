"""Waiting for the drive holds no GIL, a Ctrl-C ends the wait, closes the port
and leaves no thread of the core running, in the script and at its exit."""

import os
import signal
import subprocess
import sys
import threading

import pytest

import morvane
from conftest import child_env, task_count


def test_ctrl_c_during_poll_closes_the_port_and_ends_the_core_threads(sim):
    before = task_count()
    drive = morvane.Drive(device=sim.path)
    polls = []
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        for status in drive.poll(1500):  # the second poll would come after 1.5 s
            polls.append(status)
    timer.join()
    assert len(polls) == 1
    assert not drive.is_open
    assert task_count() == before
    # The drive can be opened again and works at once (nothing left busy).
    drive.open()
    assert drive.status().complete
    assert drive.counters.busy == 0
    drive.close()


def test_a_script_stopped_by_ctrl_c_exits_and_frees_the_port(sim):
    script = ("import morvane, sys\n"
              f"drive = morvane.Drive(device={sim.path!r})\n"
              "for status in drive.poll(200):\n"
              "    print('polled', flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=child_env())
    try:
        assert child.stdout.readline() == "polled\n"
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=10)
    finally:
        child.kill()
    # Ended by the signal, as a Python script ends on an uncaught KeyboardInterrupt.
    assert child.returncode == -signal.SIGINT, err
    assert "KeyboardInterrupt" in err
    with morvane.Drive(device=sim.path) as drive:
        assert drive.status().complete


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
