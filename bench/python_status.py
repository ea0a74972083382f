"""The Python half of bench_python: status() through the module, timed.

    python_status.py DEVICE POLLS   -> prints "MICROSECONDS_PER_POLL TIMEOUTS ERRORS"
"""

import sys
import time

import morvane

device, polls = sys.argv[1], int(sys.argv[2])
with morvane.Drive(device=device) as drive:
    drive.status()  # the first request after opening is not counted
    drive.reset_counters()
    start = time.perf_counter()
    for _ in range(polls):
        drive.status()
    wall = time.perf_counter() - start
    print(f"{wall / polls * 1e6:.1f} {drive.counters.to} {drive.counters.errs}")
