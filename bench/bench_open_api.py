"""Benchmark: zudata.open() against ZuDataFIle on the realistic file, side
by side in one run.

    read         DataFile.read(*REQUEST, threads=1) against ZuDataFIle.get_channel_data
                 on one thread, alternating call by call
                 (target: read / get_channel_data <= 1.05)
    two threads  the same 2k reads (16, threads=1 each) done by one thread, and
                 split over two Python threads reading one DataFile at once; the ratio is the
                 speed-up (target >= 1.8 on two free cores)
    layout       DataFile.layout() against zudata.open() (the open alone)
                 and against listing the names with zipfile
                 (targets: layout / open <= 1.2, zipfile / layout >= 100)

Single-thread calls are timed by wall clock and by the calling thread's
CPU time (the GIL is released during the reads, but the work stays on the
calling thread), which preemption on a shared machine disturbs far less;
the two-thread comparison can only be timed by wall clock, so it needs two
idle cores to say anything. The report gives medians and ratios of medians
and the load average. ZuDataFIle writes diagnostic lines to descriptor 1,
which points at /dev/null around every timed call.

    python bench/bench_open_api.py [--rounds 7] [--calls 10] [--zipfile-calls 2]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time
import zipfile
from collections.abc import Callable
from pathlib import Path

import numpy as np
import zu_data_reader

import zudata

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from realistic import REQUEST, realistic_file  # noqa: E402
from two_threads import describe as two_threads_get  # noqa: E402


def timed(fn: Callable[[], object]) -> tuple[float, float]:
    """(wall-clock seconds, CPU seconds of this thread)."""
    c0, t0 = time.thread_time(), time.perf_counter()
    fn()
    t1, c1 = time.perf_counter(), time.thread_time()
    return t1 - t0, c1 - c0


class QuietFd1:
    """Descriptor 1 on /dev/null while inside."""

    def __enter__(self) -> None:
        sys.stdout.flush()
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)

    def __exit__(self, *exc: object) -> None:
        os.dup2(self.saved, 1)
        os.close(self.saved)


def in_threads(work: Callable[[int], object], count: int) -> None:
    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:9.3f} ms"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--calls", type=int, default=10, help="calls per round of each single-thread reader")
    ap.add_argument("--zipfile-calls", type=int, default=2, help="zipfile listings per round")
    ap.add_argument("--reads", type=int, default=16, help="reads in each two-thread comparison (even)")
    args = ap.parse_args()

    path = realistic_file()
    channel, segment, unit = REQUEST
    old = zu_data_reader.ZuDataFIle(path)
    new = zudata.open(path)
    with QuietFd1():
        expected = old.get_channel_data(channel, segment, unit)
    got = new.read(channel, segment, unit)
    assert np.array_equal(expected.view(np.uint64), got.view(np.uint64)), "read differs from get_channel_data"
    with zipfile.ZipFile(path) as zf:
        names = zf.namelist()
    assert new.layout()[channel][segment].traces == expected.shape[0] ** 2
    assert sum(n.endswith(f"/{segment}/channels/{channel}.dat") for n in names) == expected.shape[0] ** 2

    def gcd() -> None:
        with QuietFd1():
            old.get_channel_data(channel, segment, unit)

    # One thread per read: this compares the calls' own overhead, and the
    # speed-up of two Python threads each reading on its own core.
    def read() -> None:
        new.read(channel, segment, unit, threads=1)

    def open_close() -> None:
        zudata.open(path).close()

    def layout() -> None:
        new.layout()

    def listing() -> None:
        with zipfile.ZipFile(path) as zf:
            zf.namelist()

    def one_thread() -> None:
        for _ in range(args.reads):
            read()

    def two_threads() -> None:
        in_threads(lambda i: [read() for _ in range(args.reads // 2)], 2)

    keys = ("get_channel_data", "read", "open", "layout", "zipfile", "1 thread", "2 threads")
    wall: dict[str, list[float]] = {k: [] for k in keys}
    cpu: dict[str, list[float]] = {k: [] for k in keys}

    def record(key: str, fn: Callable[[], object]) -> None:
        w, c = timed(fn)
        wall[key].append(w)
        cpu[key].append(c)

    for fn in (gcd, read, open_close, layout, listing):
        fn()
    for _ in range(args.rounds):
        for i in range(args.calls):
            # Alternate which goes first, so neither always follows the other.
            for pair in ((("get_channel_data", gcd), ("read", read)), (("open", open_close), ("layout", layout))):
                for key, fn in pair if i % 2 == 0 else reversed(pair):
                    record(key, fn)
        for _ in range(args.zipfile_calls):
            record("zipfile", listing)
        # Alternate here too: a neighbour's burst then hits both alike.
        pair = (("1 thread", one_thread), ("2 threads", two_threads))
        for key, fn in pair if len(wall["1 thread"]) % 2 == 0 else reversed(pair):
            record(key, fn)

    med = {k: statistics.median(v) for k, v in wall.items()}
    cmed = {k: statistics.median(v) for k, v in cpu.items()}
    print(f"file: {path} ({len(names)} entries), request {REQUEST}, {args.rounds} rounds, "
          f"cpus: {os.cpu_count()}, load: {os.getloadavg()[0]:.2f}")
    print(f"{'call':<34} {'wall median':>12} {'wall min':>12} {'CPU median':>12} {'calls':>6}")
    labels = {
        "get_channel_data": "ZuDataFIle.get_channel_data",
        "read": "DataFile.read",
        "open": "zudata.open + close",
        "layout": "DataFile.layout",
        "zipfile": "zipfile.ZipFile + namelist",
        "1 thread": f"{args.reads} reads on 1 thread",
        "2 threads": f"{args.reads} reads on 2 threads",
    }
    for key in keys:
        print(f"{labels[key]:<34} {fmt(med[key])} {fmt(min(wall[key]))} {fmt(cmed[key])} {len(wall[key]):>6}")
    print("ratios of medians                      wall      CPU")
    print(f"read / get_channel_data          {med['read'] / med['get_channel_data']:8.3f}x "
          f"{cmed['read'] / cmed['get_channel_data']:7.3f}x   (target <= 1.05x)")
    print(f"1 thread / 2 threads (speed-up)  {med['1 thread'] / med['2 threads']:8.2f}x "
          f"{'':>8}   (target >= 1.8x, needs 2 idle cores)")
    print(f"  for scale, {two_threads_get()}")
    print(f"layout / open                    {med['layout'] / med['open']:8.3f}x "
          f"{cmed['layout'] / cmed['open']:7.3f}x   (target <= 1.2x)")
    print(f"zipfile / layout                 {med['zipfile'] / med['layout']:8.0f}x "
          f"{cmed['zipfile'] / cmed['layout']:7.0f}x   (target >= 100x)")


if __name__ == "__main__":
    main()
