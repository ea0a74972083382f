"""The Python half of bench_python: status() through the module, timed.

    python_status.py DEVICE POLLS
prints the median time of one status() in microseconds, the host CPU time per
poll, the timeouts and the errors, as bench_python --core does for the core.
"""

import statistics
import sys
import time

import morvane

device, polls = sys.argv[1], int(sys.argv[2])
with morvane.Drive(device=device) as drive:
    drive.status()  # the first request after opening is not counted
    drive.reset_counters()
    each = []
    cpu = time.process_time()
    for _ in range(polls):
        start = time.perf_counter()
        drive.status()
        each.append(time.perf_counter() - start)
    cpu = time.process_time() - cpu
    print(f"{statistics.median(each) * 1e6:.1f} {cpu / polls * 1e6:.1f} {drive.counters.to} {drive.counters.errs}")
