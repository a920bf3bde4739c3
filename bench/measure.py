"""Timing, memory and load helpers shared by the benchmark's parts."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import time

_PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096

try:
    _malloc_trim = ctypes.CDLL("libc.so.6").malloc_trim
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None


def rss_bytes() -> int:
    """Resident set size of this process, from /proc (0 where unavailable)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * _PAGE
    except OSError:
        return 0


def settle_memory() -> int:
    """Collect garbage and hand free heap pages back to the OS, then return RSS.

    Without the trim, memory freed by an earlier index stays resident and the
    next index can reuse it, which would hide its own footprint."""
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)
    return rss_bytes()


def load_average() -> list | None:
    """The 1, 5 and 15 minute load averages, or None where the OS has none."""
    return list(os.getloadavg()) if hasattr(os, "getloadavg") else None


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def best_rates(calls: dict, count: int, rounds: int, min_seconds: float = 0.0) -> dict:
    """Run every call once per round, in turn, so that load from elsewhere on
    the machine falls on all of them alike; `rounds` rounds, more (up to twice
    as many) while the time spent is under min_seconds. A call handles `count`
    queries. Returns {name: (best queries/s, result of the first round)}."""
    best = {name: float("inf") for name in calls}
    first: dict = {}
    spent, done = 0.0, 0
    while done < rounds or (spent < min_seconds and done < 2 * rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - start
            first.setdefault(name, result)
            best[name] = min(best[name], elapsed)
            spent += elapsed
        done += 1
    return {name: (count / max(best[name], 1e-12), first[name]) for name in calls}


def fsync_file(path) -> None:
    """Flush a written file to its device, as tessra's save does before renaming."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
