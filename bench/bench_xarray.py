"""The xarray backend (engine "zu") against zudata.open() and DataFile.read.

bench/run.sh runs it on its build of the tree when xarray is installed;
alone, on the package installed in .venv by scripts/test.sh:

    .venv/bin/python -P bench/bench_xarray.py [--rounds 15]

The engine is given as the backend class, so that no installed entry point
is needed.

On the realistic file (bench/realistic.py), side by side and interleaved,
call by call:

- open: `zudata.open(path)` + close, against `xarray.open_dataset(path,
  engine="zu")` + close (header, ZIP directory and the Dataset's making);
  target: at most 20 ms more;
- one segment: `DataFile.read(channel, 0, unit)` on an open file, against
  `ds[channel].sel(segment=0).values` on a Dataset opened once (a fresh
  selection each call, so every call reads); target: within 1.1x;
- for information, every segment of the channel: one `read` per segment in
  a row, against the Dataset opened with `chunks={}` computed on Dask's
  threaded scheduler (one task per segment).

Before timing, the results are checked equal. Medians of wall time and of
the calling thread's CPU time (the reads run on the calling thread; the
targets are judged on wall time); the load average is printed, since the
machine is shared.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import xarray as xr

import zudata
from zudata.xarray_backend import ZuBackendEntrypoint as ZU

sys.path.insert(0, str(Path(__file__).resolve().parent))
from realistic import realistic_file  # noqa: E402

CHANNEL, SEGMENT, UNIT = "height", 0, "distance"


def median_times(pair: dict[str, Callable[[], object]], calls: int) -> dict[str, tuple[float, float]]:
    """Median wall time and median CPU time of the calling thread per call
    of each function, calls alternating in order so that neither always
    follows the other. The CPU time is what preemption on a busy machine
    disturbs least; it leaves out work done on other threads."""
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in pair}
    items = list(pair.items())
    for i in range(calls):
        for name, fn in items if i % 2 == 0 else reversed(items):
            wall, cpu = time.perf_counter(), time.thread_time()
            fn()
            times[name].append((time.perf_counter() - wall, time.thread_time() - cpu))
    return {name: (statistics.median(w for w, _ in t), statistics.median(c for _, c in t)) for name, t in times.items()}


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:9.2f} ms"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=15, help="calls of each reader per comparison")
    args = ap.parse_args()
    path = realistic_file()
    print(f"file: {path} ({path.stat().st_size / 1e6:.1f} MB), xarray {xr.__version__}, "
          f"cpus: {os.cpu_count()}, load: {os.getloadavg()[0]:.2f}")

    def open_zudata() -> None:
        zudata.open(path).close()

    def open_xarray() -> None:
        xr.open_dataset(path, engine=ZU).close()

    with zudata.open(path) as f, xr.open_dataset(path, engine=ZU, units={CHANNEL: UNIT}) as ds, \
            xr.open_dataset(path, engine=ZU, units={CHANNEL: UNIT}, chunks={}) as lazy:
        segments = [int(s) for s in ds.segment.values]
        direct = f.read(CHANNEL, SEGMENT, UNIT)
        np.testing.assert_array_equal(ds[CHANNEL].sel(segment=SEGMENT).values, direct)
        whole = lazy[CHANNEL].compute(scheduler="threads").values
        for k, s in enumerate(segments):
            np.testing.assert_array_equal(whole[k], f.read(CHANNEL, s, UNIT))
        open_xarray()  # the first call pays for what xarray sets up once

        opened = median_times({"zudata.open": open_zudata, "open_dataset": open_xarray}, args.rounds * 4)
        one = median_times(
            {"DataFile.read": lambda: f.read(CHANNEL, SEGMENT, UNIT),
             "xarray": lambda: ds[CHANNEL].sel(segment=SEGMENT).values},
            args.rounds,
        )
        every = median_times(
            {"reads in a row": lambda: [f.read(CHANNEL, s, UNIT) for s in segments],
             "dask threads": lambda: lazy[CHANNEL].compute(scheduler="threads")},
            max(3, args.rounds // 3),
        )

    def line(label: str, base: str, other: str, result: dict[str, tuple[float, float]]) -> str:
        return (f"{label:<9} {base} {ms(result[base][0])} (CPU {ms(result[base][1])})   "
                f"{other} {ms(result[other][0])} (CPU {ms(result[other][1])})")

    extra = [x - z for x, z in zip(opened["open_dataset"], opened["zudata.open"], strict=True)]
    ratio = [x / r for x, r in zip(one["xarray"], one["DataFile.read"], strict=True)]
    print(line("open", "zudata.open", "open_dataset", opened))
    print(f"          extra: wall {ms(extra[0])}, CPU {ms(extra[1])}  (target <= 20 ms) "
          f"{'ok' if extra[0] <= 0.020 else 'NOT MET'}")
    print(line("segment", "DataFile.read", "xarray", one))
    print(f"          ratio: wall {ratio[0]:.3f}x, CPU {ratio[1]:.3f}x  (target <= 1.1x) "
          f"{'ok' if ratio[0] <= 1.1 else 'NOT MET'}")
    print(f"channel   {len(segments)} reads in a row {ms(every['reads in a row'][0])}   "
          f"dask threads {ms(every['dask threads'][0])}   "
          f"speed-up {every['reads in a row'][0] / every['dask threads'][0]:.2f}x  (wall; information)")

if __name__ == "__main__":
    main()
