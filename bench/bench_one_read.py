"""Benchmark: one read of zudata.open() (directory index built at open,
members fetched in windows) beside its baselines, in one run, on the
realistic file.

    read   DataFile.read(*REQUEST) against ZuDataFIle.get_channel_data on the
           same build (the road that walks the directory and reads each
           member with its own pread) and against bench/floor_channel.cpp
           (one pread per member, libdeflate), in interleaved rounds
           (targets: with threads=1, read / floor <= 0.95; with the default
           threads on 2 cores, read / floor <= 0.55 and a speed-up of at
           least 1.8 over threads=1; the CPU column of a threaded read
           counts the calling thread only); also both with every result
           kept until the round ends, so that each read fills fresh pages
           as a session that keeps what it reads does
    open   zudata.open(path) + close(), index included, against
           ZuDataFIle(path), the open without an index (target <= 1.3)
    layout DataFile.layout() on an open file, and a request error that
           lists what exists, against zudata.open + close (target <= 1.1)
    reads  read system calls of one read (/proc/self/io)
    dtype  read(dtype=np.float32) against the float64 read, threads=1 and
           default threads (target: float32 / float64 <= 0.9), and the
           peak of resident memory one read adds, measured in a fresh
           process for each (target: float32 / float64 <= 0.5)

Single-thread calls are timed by wall clock and by the calling thread's CPU
time, which preemption on a shared machine disturbs far less. The script
prints medians, their ratios, the core count and the load average.

    python bench/bench_one_read.py --floor build-bench/pyXY/floor_channel [--rounds 7] [--calls 5]
    python bench/bench_one_read.py --dtype-only [--rounds 7] [--calls 5]   (no floor needed)
"""

from __future__ import annotations

import argparse
import os
import statistics
import resource
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import zu_data_reader

import zudata

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_channel_data import resolve, run_floor, stdout_fd_silenced  # noqa: E402
from realistic import REQUEST, realistic_file  # noqa: E402


def timed(fn: Callable[[], object], calls: int) -> tuple[list[float], list[float]]:
    """Wall-clock and thread CPU seconds of each of `calls` calls."""
    walls, cpus = [], []
    for _ in range(calls):
        c0, t0 = time.thread_time(), time.perf_counter()
        fn()
        t1, c1 = time.perf_counter(), time.thread_time()
        walls.append(t1 - t0)
        cpus.append(c1 - c0)
    return walls, cpus


def read_syscalls() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("syscr:"))


def ms(values: list[float]) -> float:
    return statistics.median(values) * 1e3


# Run in a fresh interpreter: the peak of resident memory (VmHWM, reset
# after opening) that one read of `dtype` adds, in bytes, and the page
# faults the read takes (the first read of the process: its pages are fresh).
PEAK_PROBE = r"""
import resource
import sys
import numpy as np
import zudata

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

path, name, segment, unit, dtype = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
threads = None if sys.argv[6] == "default" else int(sys.argv[6])
f = zudata.open(path)
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as c:
    c.write("5")
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
values = f.read(name, segment, unit, threads=threads, dtype=dtype)
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
print(status("VmHWM") - before, values.nbytes, faults)
"""


def peak_extra(path: str, dtype: str, threads: str = "1") -> tuple[int, int, int]:
    """(peak resident bytes one read adds, the result's bytes, its page faults)."""
    name, segment, unit = REQUEST
    argv = [sys.executable, "-P", "-c", PEAK_PROBE, path, name, str(segment), unit, dtype, threads]
    done = subprocess.run(argv, capture_output=True, text=True, check=True, timeout=300)
    extra, nbytes, faults = map(int, done.stdout.split())
    return extra, nbytes, faults


def compare_dtypes(path: str, rounds: int, calls: int) -> None:
    """float32 beside float64 in interleaved rounds, then the memory."""
    name, segment, unit = REQUEST
    f = zudata.open(path)
    doubles = f.read(name, segment, unit)
    singles = f.read(name, segment, unit, dtype=np.float32)
    assert np.array_equal(singles.view(np.uint32), doubles.astype(np.float32).view(np.uint32))
    print("check: the float32 read equals the float64 read cast, bit for bit")
    cases: dict[str, Callable[[], object]] = {
        "float64 threads=1": lambda: f.read(name, segment, unit, threads=1),
        "float32 threads=1": lambda: f.read(name, segment, unit, threads=1, dtype=np.float32),
        "float64": lambda: f.read(name, segment, unit),
        "float32": lambda: f.read(name, segment, unit, dtype=np.float32),
    }
    wall: dict[str, list[float]] = {k: [] for k in cases}
    cpu: dict[str, list[float]] = {k: [] for k in cases}
    for _ in range(rounds):
        for label, fn in cases.items():
            w, c = timed(fn, calls)
            wall[label] += w
            cpu[label] += c
    print(f"\nmedians of {rounds} interleaved rounds of {calls} calls")
    for label in cases:
        print(f"{label:<20}{ms(wall[label]):7.2f} ms{ms(cpu[label]):7.2f} ms cpu")
    for a, b in (("float32 threads=1", "float64 threads=1"), ("float32", "float64")):
        print(f"{a} / {b}: wall {ms(wall[a]) / ms(wall[b]):.2f}, cpu {ms(cpu[a]) / ms(cpu[b]):.2f}  (target <= 0.9)")
    if os.path.exists("/proc/self/clear_refs"):
        e64, n64, _ = peak_extra(path, "float64")
        e32, n32, _ = peak_extra(path, "float32")
        print(
            f"peak memory one read adds: float64 {e64 / 1e6:.1f} MB (result {n64 / 1e6:.1f} MB), "
            f"float32 {e32 / 1e6:.1f} MB (result {n32 / 1e6:.1f} MB); ratio {e32 / e64:.2f} (target <= 0.5)"
        )
        print(f"float64 peak / result: {e64 / n64:.2f} (target <= 1.2)")
        for dtype in ("float64", "float32"):
            for threads in ("1", "default"):
                _, nbytes, faults = peak_extra(path, dtype, threads)
                pages = nbytes / resource.getpagesize()
                print(f"page faults of a first read, {dtype} threads={threads}: {faults} for a result of "
                      f"{pages:.0f} pages, {faults / pages:.2f}x (target <= 1.2)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--floor", help="the built bench/floor_channel.cpp (needed unless --dtype-only)")
    parser.add_argument("--dtype-only", action="store_true", help="only float32 against float64")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=5)
    args = parser.parse_args()
    if args.floor is None and not args.dtype_only:
        parser.error("--floor is required unless --dtype-only")

    path = str(realistic_file())
    name, segment, unit = REQUEST
    print(f"file: {path} ({os.path.getsize(path) / 1e6:.0f} MB); request {REQUEST}")
    print(f"cores: {os.cpu_count()}; load average before: {os.getloadavg()}")
    if args.dtype_only:
        compare_dtypes(path, args.rounds, args.calls)
        print(f"load average after: {os.getloadavg()}")
        return

    old = zu_data_reader.ZuDataFIle(path)
    new = zudata.open(path)
    with stdout_fd_silenced():
        walked = old.get_channel_data(name, segment, unit)
    fetched = new.read(name, segment, unit)
    assert np.array_equal(walked.view(np.uint64), fetched.view(np.uint64)), "read differs from get_channel_data"
    before = read_syscalls()
    new.read(name, segment, unit)
    read_calls = read_syscalls() - before
    with stdout_fd_silenced():
        before = read_syscalls()
        old.get_channel_data(name, segment, unit)
        walk_calls = read_syscalls() - before
    print(f"check: read equals get_channel_data bit for bit, shape {fetched.shape}")
    print(f"read system calls of one request: read {read_calls}, get_channel_data {walk_calls}")

    suffix = f"/{segment}/channels/{name}.dat"
    offset, multiplier, stype = resolve(new.header, name, unit)

    def missing_segment() -> None:
        try:
            new.read(name, 77, unit)
        except zudata.UnknownSegmentError:
            return
        raise AssertionError("segment 77 was found")

    def open_close() -> None:
        zudata.open(path).close()

    kept: list[object] = []
    cases: dict[str, Callable[[], object]] = {
        "read": lambda: new.read(name, segment, unit),
        "read threads=1": lambda: new.read(name, segment, unit, threads=1),
        "read, kept": lambda: kept.append(new.read(name, segment, unit)),
        "read threads=1, kept": lambda: kept.append(new.read(name, segment, unit, threads=1)),
        "get_channel_data": lambda: old.get_channel_data(name, segment, unit),
        "zudata.open+close": open_close,
        "ZuDataFIle open": lambda: zu_data_reader.ZuDataFIle(path),
        "layout": new.layout,
        "error listing": missing_segment,
    }
    wall: dict[str, list[float]] = {k: [] for k in [*cases, "floor"]}
    cpu: dict[str, list[float]] = {k: [] for k in cases}
    for _ in range(args.rounds):
        kept.clear()
        with stdout_fd_silenced():
            for label, fn in cases.items():
                w, c = timed(fn, args.calls)
                wall[label] += w
                cpu[label] += c
        wall["floor"] += run_floor(args.floor, path, suffix, stype, multiplier, offset, args.calls)

    print(f"\nmedians of {args.rounds} interleaved rounds of {args.calls} calls")
    print(f"{'case':<20}{'wall':>10}{'cpu':>10}")
    for label in wall:
        c = f"{ms(cpu[label]):7.2f} ms" if label in cpu else ""
        print(f"{label:<20}{ms(wall[label]):7.2f} ms{c:>10}")

    def ratio(a: str, b: str, target: str) -> None:
        by_cpu = f", cpu {ms(cpu[a]) / ms(cpu[b]):.2f}" if a in cpu and b in cpu else ""
        print(f"{a} / {b}: wall {ms(wall[a]) / ms(wall[b]):.2f}{by_cpu}  (target {target})")

    print()
    ratio("read threads=1", "floor", "<= 0.95")
    ratio("read", "floor", "<= 0.55 with 2 cores (default threads)")
    ratio("read threads=1", "read", ">= 1.8 with 2 cores (the speed-up)")
    ratio("read threads=1, kept", "read, kept", ">= 1.8 with 2 cores (the speed-up, results kept)")
    ratio("read threads=1", "get_channel_data", "none: the road before the index")
    ratio("zudata.open+close", "ZuDataFIle open", "<= 1.3")
    ratio("layout", "zudata.open+close", "<= 1.1")
    ratio("error listing", "zudata.open+close", "<= 1.1")
    compare_dtypes(path, args.rounds, args.calls)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
