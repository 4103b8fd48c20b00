"""Resident memory of the running process: current, settled, and the peak while some work runs.

Shared by the benchmark worker and bench/billion.py. Linux only (it reads /proc/self).

The peak during a piece of work is read from the kernel's own high-water mark when it can be reset
(writing 5 to /proc/self/clear_refs sets VmHWM back to the current RSS, Linux 4.0+): that is exact,
and it works while a native call holds the GIL, which would stall a sampling thread on the standard
build. Elsewhere a thread samples /proc/self/statm every few milliseconds. Resetting the high-water
mark also resets ru_maxrss, so a program that reports the peak since it started (billion.py) samples
instead.
"""

from __future__ import annotations

import ctypes
import gc
import os
import resource
import threading

PAGE = os.sysconf("SC_PAGE_SIZE")
GIB = 1 << 30
# Seconds between two samples of the sampling watch.
SAMPLE_INTERVAL = 0.002
# Settling the heap before reading RSS: rounds at most, small objects churned per round, and the
# change between two readings below which the heap counts as settled.
SETTLE_ROUNDS = 10
SETTLE_OBJECTS = 100_000
SETTLE_BYTES = 1 << 20
# Words in an exception's message or a process's last output that mark a failed allocation: Python's
# MemoryError, C++'s std::bad_alloc, Rust's allocation abort, glibc failing to start a thread or to
# map a shared library.
OUT_OF_MEMORY_WORDS = ("memoryerror", "out of memory", "bad_alloc", "memory allocation", "cannot allocate memory",
                       "failed to map segment")
# What the default address-space limit leaves to the rest of the machine, out of its RAM.
LIMIT_MARGIN = 4 * GIB

_libc = ctypes.CDLL(None)


def rss() -> int:
    """Resident bytes now."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def max_rss() -> int:
    """The process's peak RSS so far (ru_maxrss), in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def resident_bytes() -> int:
    """RSS once freed heap memory has gone back to the system, so it counts only what is held.

    glibc returns free pages on malloc_trim. The free-threaded interpreter's object allocator
    (mimalloc) returns them lazily, on later allocations, so a few rounds of small allocations are
    made until two readings agree; the benchmark driver also starts load workers with
    MIMALLOC_PURGE_DELAY=0.
    """
    last = -1
    now = rss()
    for _ in range(SETTLE_ROUNDS):
        gc.collect()
        churn = [[i] for i in range(SETTLE_OBJECTS)]
        del churn
        gc.collect()
        _libc.malloc_trim(0)
        now = rss()
        if abs(now - last) < SETTLE_BYTES:
            break
        last = now
    return now


def _reset_high_water() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class SampledPeak:
    """Highest RSS seen by a thread reading /proc/self/statm every SAMPLE_INTERVAL seconds."""

    method = "sampled"

    def __init__(self, interval: float = SAMPLE_INTERVAL) -> None:
        self.interval = interval
        self.peak = 0
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def _loop(self) -> None:
        while not self._stop.wait(self.interval):
            self.peak = max(self.peak, rss())

    def __enter__(self) -> SampledPeak:
        self.peak = rss()
        self._thread = threading.Thread(target=self._loop, name="rss-sampler", daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        self.peak = max(self.peak, rss())


class HighWaterPeak:
    """The kernel's RSS high-water mark, reset on entry."""

    method = "high-water mark"

    def __init__(self) -> None:
        self.peak = 0

    def __enter__(self) -> HighWaterPeak:
        _reset_high_water()
        return self

    def __exit__(self, *exc) -> None:
        self.peak = max(_status_kib("VmHWM") * 1024, rss())


_high_water: bool | None = None  # whether the high-water mark can be reset, found on first use


def peak_watch():
    """A context manager whose .peak is the highest RSS, in bytes, while its block ran."""
    global _high_water
    if _high_water is None:
        _high_water = _reset_high_water()
    return HighWaterPeak() if _high_water else SampledPeak()


def total_memory() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no MemTotal in /proc/meminfo")


def available_memory() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return total_memory()


def default_limit(margin: int = LIMIT_MARGIN) -> int:
    """An address-space limit that leaves `margin` of the machine's RAM to everything else."""
    return max(GIB, total_memory() - margin)


def limit_address_space(limit: int) -> None:
    """Caps this process's address space (RLIMIT_AS) at `limit` bytes, 0 for no cap.

    An allocation past the cap then fails inside the process (MemoryError, std::bad_alloc, a Rust
    allocation abort) instead of pushing the machine into the kernel's out-of-memory killer. The
    process also volunteers as that killer's first choice, should the machine run short anyway.
    """
    if limit > 0:
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    try:
        with open("/proc/self/oom_score_adj", "w") as f:
            f.write("1000")
    except OSError:
        pass


def format_bytes(n: float | None) -> str:
    """Decimal units, three significant digits: 12.7 MB, 1.27 GB."""
    if n is None:
        return "–"
    if n < 1e6:
        return "< 1 MB"
    if n < 1e9:
        return f"{n / 1e6:.3g} MB"
    return f"{n / 1e9:.3g} GB"
