"""What two threads get done on this machine against one, for work that
needs no interpreter lock: compressing with zlib (arithmetic on data that
stays in the caches) and copying 64 MB arrays with NumPy (memory traffic).

A speed-up target of 1.8x on two cores assumes the second core adds almost
a whole core's work. On a virtual machine whose two cores share one
memory path, copying may scale far less than arithmetic, and work that
moves many bytes per result (decoding into a fresh array, the kernel's
copies out of the page cache, writing files) then cannot reach 1.8x
however the work is split.

    python bench/two_threads.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time
import zlib
from collections.abc import Callable

import numpy as np

_ARRAY_BYTES = 64 << 20


def _timed(work: Callable[[int], None], threads: int) -> float:
    """Seconds for `threads` threads each doing `work(i)` at once."""
    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def _scaling(work: Callable[[int], None], rounds: int) -> float:
    """Work done per second by two threads over that done by one (2.0: the
    second core adds a whole core), medians of interleaved rounds."""
    one, two = [], []
    for _ in range(rounds):
        one.append(_timed(work, 1))
        two.append(_timed(work, 2))
    return 2 * statistics.median(one) / statistics.median(two)


def scaling(rounds: int = 5) -> dict[str, float]:
    """{"zlib": ..., "memory copy": ...}: the speed-up two threads get on
    each kind of work."""
    data = os.urandom(1 << 20) * 4
    sources = [np.ones(_ARRAY_BYTES // 8) for _ in range(2)]
    targets = [np.empty_like(s) for s in sources]

    def compress(_: int) -> None:
        zlib.compress(data, 6)

    def copy(i: int) -> None:
        for _ in range(4):
            np.copyto(targets[i], sources[i])

    return {"zlib": _scaling(compress, rounds), "memory copy": _scaling(copy, rounds)}


def describe(rounds: int = 5) -> str:
    found = scaling(rounds)
    return "two threads against one: " + ", ".join(f"{kind} {ratio:.2f}x" for kind, ratio in found.items())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}, load average: {os.getloadavg()[0]:.2f}")
    print(describe(args.rounds))


if __name__ == "__main__":
    main()
