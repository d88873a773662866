"""Timing shared by the benchmarks, which run as scripts from this folder."""

import time


def best_of(runs, step, clock=time.perf_counter):
    """The least time of `runs` calls of `step`: the one least disturbed by the rest of the machine."""
    best = float("inf")
    for _ in range(runs):
        start = clock()
        step()
        best = min(best, clock() - start)
    return best
