"""Runs the positive control of `make tsan`: two threads call race_on_counter from
the shared object named on the command line (tools/tsan/race.cpp) at the same time."""

import ctypes
import sys
import threading

library = ctypes.CDLL(sys.argv[1])  # CDLL: calls run without the interpreter lock
library.race_on_counter.argtypes = [ctypes.c_long]
library.race_on_counter.restype = ctypes.c_long
results = []
threads = [threading.Thread(target=lambda: results.append(library.race_on_counter(100_000))) for _ in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
if len(results) != 2 or -1 in results:
    sys.exit(f"the two threads did not run the racy routine at the same time: {results}")
print("race control: both threads ran race_on_counter, counter", max(results))
