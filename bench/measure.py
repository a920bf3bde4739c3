"""Timing, memory and progress helpers for the benchmark."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import time

import numpy as np

_PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096

try:
    _libc = ctypes.CDLL("libc.so.6")
    _malloc_trim = _libc.malloc_trim
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


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


class Progress:
    """A one-line progress bar on stderr; plain periodic lines when not a tty."""

    def __init__(self, label: str, total: int, width: int = 30):
        self.label = label
        self.total = max(total, 1)
        self.width = width
        self.start = time.perf_counter()
        self.tty = sys.stderr.isatty()
        self._last_draw = self.start

    def update(self, done: int) -> None:
        now = time.perf_counter()
        frac = min(done / self.total, 1.0)
        if self.tty:
            if done < self.total and now - self._last_draw < 0.1:
                return
            self._last_draw = now
            filled = int(frac * self.width)
            bar = "#" * filled + "." * (self.width - filled)
            sys.stderr.write(f"\r  {self.label:<34} [{bar}] {done}/{self.total} {now - self.start:6.1f}s")
            sys.stderr.flush()
        elif done < self.total and now - self._last_draw >= 10.0:
            # Not a terminal (a log file, a pipe): a line every ten seconds.
            self._last_draw = now
            log(f"  {self.label}: {done}/{self.total} ({now - self.start:.0f}s)")

    def close(self) -> None:
        if self.tty:
            self.update(self.total)
            sys.stderr.write("\n")
            sys.stderr.flush()
        elif time.perf_counter() - self.start >= 2.0:
            log(f"  {self.label}: {self.total}/{self.total} ({time.perf_counter() - self.start:.1f}s)")


def time_queries(search, queries, label: str, min_seconds: float = 1.0, max_passes: int = 3):
    """Call search(q) once per query; return (queries per second, results).

    A pass over the query set shorter than min_seconds is repeated (up to
    max_passes) and the best pass counts, which damps noise from other load on
    the machine; the results are those of the first pass."""
    results = [None] * len(queries)
    bar = Progress(label, len(queries))
    step = max(1, len(queries) // 200)
    t0 = time.perf_counter()
    for i, q in enumerate(queries):
        results[i] = search(q)
        if i % step == 0:
            bar.update(i)
    best = time.perf_counter() - t0
    bar.close()
    passes = 1
    while best < min_seconds and passes < max_passes:
        t0 = time.perf_counter()
        for q in queries:
            search(q)
        best = min(best, time.perf_counter() - t0)
        passes += 1
    return len(queries) / best, results


def per_call_seconds(fn, calls: int, repeats: int = 3) -> float:
    """Best-of-repeats mean time of one fn() call."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def stream_bandwidth(nbytes: int, repeats: int = 7) -> float:
    """Single-thread read bandwidth (bytes/s): numpy sum over a float64 array of
    about nbytes, after a warm-up pass, best of several passes."""
    n = max(nbytes // 8, 1 << 16)
    a = np.ones(n, dtype=np.float64)
    a.sum()  # touch every page once
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        a.sum()
        best = min(best, time.perf_counter() - t0)
    return n * 8 / best
