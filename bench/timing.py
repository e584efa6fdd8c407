"""The one timing rule of every benchmark here: the median of several runs,
garbage collector off while a run is timed, freeing the result not timed."""
from __future__ import annotations

import gc
import statistics
import time


def median_seconds(work, runs: int, clock=time.perf_counter) -> float:
    """Wall time by default; pass time.process_time for processor time."""
    times = []
    for _ in range(runs):
        gc.collect()
        gc.disable()
        try:
            start = clock()
            result = work()
            times.append(clock() - start)
            del result
        finally:
            gc.enable()
    return statistics.median(times)
