"""Benchmark: zu_data_reader against a pure-Python reader built on the
standard library's zipfile and NumPy, timed side by side in one run.

Scenarios (each timed from a closed file, so opening is always included):

  channel  ZuDataFIle(path).get_channel_data(name, 0, unit)
           vs. zipfile open, header read and parse, conversion chain,
           then every matching member read, decoded, scaled and padded
  header   ZuDataFIle(path).header
           vs. zipfile open, header read and parse into nested dicts

The file is the demo's sample (examples/make_sample.py) at a larger grid: a
grid x grid scan of three channels and three segments, 100 float32 or int32
samples per member, written once with zipfile (ZIP_DEFLATED).
Only one channel and segment is requested; the rest is directory noise that
both readers have to walk past.

Both readers must return identical results before anything is timed. The
extension writes short diagnostic lines to file descriptor 1 while it
converts; descriptor 1 is pointed at /dev/null around every measured call
(both readers alike) so that terminal output is not part of the numbers.

    python bench/bench_channel_data.py [--grid 32] [--repeat 7] [--keep FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
import tempfile
import timeit
import zipfile
from collections.abc import Callable
from pathlib import Path

import numpy as np

import zu_data_reader

HEADER = "shared-data/header.properties"
TRACE = 100
REQUEST = ("height", 0, "distance")

# The benchmark file is the demo's sample generator at a larger grid.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import make_sample  # noqa: E402


def write_file(path: Path, grid: int) -> int:
    """Writes the data file; returns its member count."""
    make_sample.write_sample(path, grid=grid)
    with zipfile.ZipFile(path) as zf:
        return len(zf.namelist())


# ---------------------------------------------------------- the baseline

def parse_header(text: str) -> dict:
    """key=value lines into nested dicts; the first line that sets a key
    wins, '#' starts a comment, the text after the last line feed is not a
    line."""
    root: dict = {}
    for line in reversed(text.split("\n")[:-1]):
        if line.startswith("#"):
            continue
        key, sep, value = line.partition("=")
        if not sep:
            raise ValueError(f"invalid header line {line}")
        *parents, last = key.split(".")
        node = root
        for part in parents:
            node = node.setdefault(part, {})
            if not isinstance(node, dict):
                raise ValueError("key passes through a value")
        node[last] = value
    return root


def resolve(header: dict, name: str, unit: str) -> tuple[float, float, str]:
    """(offset, multiplier, sample type) from raw samples to `unit`."""
    record = next(r for r in header["lcd-info"].values() if r["channel"]["name"] == name)
    try:
        scaling = record["encoder"]["scaling"]
        a, b = float(scaling["offset"]), float(scaling["multiplier"])
    except (KeyError, TypeError, ValueError):
        a, b = 0.0, 1.0
    base = record["conversion-set"]["conversions"]["base"]
    if unit == base:
        return a, b, record["type"]
    table = record["conversion-set"]["conversion"]

    def step(conv: dict) -> tuple[float, float]:
        o, m = float(conv["scaling"]["offset"]), float(conv["scaling"]["multiplier"])
        slot = conv["base-calibration-slot"]
        x, y = (a, b) if slot == base else step(table[slot])
        return o + m * x, m * y

    offset, multiplier = step(table[unit])
    return offset, multiplier, record["type"]


def baseline_channel_data(path: str, name: str, segment: int, unit: str) -> np.ndarray:
    with zipfile.ZipFile(path) as zf:
        header = parse_header(zf.read(HEADER).decode("utf-8"))
        offset, multiplier, stype = resolve(header, name, unit)
        dtype = ">f4" if stype == "float-data" else ">i4"
        suffix = f"/{segment}/channels/{name}.dat"
        traces = []
        for info in zf.infolist():
            if not info.filename.endswith(suffix):
                continue
            data = zf.read(info)
            raw = np.frombuffer(data, dtype, count=len(data) // 4).astype(np.float64)
            values = raw * multiplier + offset
            if values.size < TRACE:
                values = np.concatenate([values, np.full(TRACE - values.size, np.nan)])
            traces.append(values)
    n = math.isqrt(len(traces))
    return np.concatenate(traces).reshape(n, n, TRACE)


def baseline_header(path: str) -> dict:
    with zipfile.ZipFile(path) as zf:
        return parse_header(zf.read(HEADER).decode("utf-8"))


# ------------------------------------------------------------- the timing

@contextlib.contextmanager
def stdout_fd_silenced():
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def best_per_call(fn: Callable[[], object], repeat: int, number: int) -> float:
    return min(timeit.repeat(fn, repeat=repeat, number=number)) / number


def calls_for(fn: Callable[[], object], target_seconds: float = 0.2) -> int:
    """Calls per measurement so that one measurement takes about target_seconds."""
    once = timeit.timeit(fn, number=1)
    return max(1, int(target_seconds / max(once, 1e-9)))


def measure(
    pairs: dict[str, tuple[Callable[[], object], Callable[[], object]]], repeat: int
) -> list[tuple[str, float, float]]:
    rows = []
    with stdout_fd_silenced():
        for label, (zu, base) in pairs.items():
            number_zu, number_base = calls_for(zu), calls_for(base)
            zu_best = base_best = math.inf
            # Interleaved, so that drift in machine load hits both alike.
            for _ in range(repeat):
                zu_best = min(zu_best, best_per_call(zu, 1, number_zu))
                base_best = min(base_best, best_per_call(base, 1, number_base))
            rows.append((label, zu_best, base_best))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--grid", type=int, default=32, help="positions per side (default %(default)s)")
    parser.add_argument("--repeat", type=int, default=7,
                        help="measurements per reader; the best counts (default %(default)s)")
    parser.add_argument("--keep", type=Path, help="write the data file here and keep it")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or Path(tmp) / "bench.zu"
        members = write_file(path, args.grid)
        location = str(path)
        name, segment, unit = REQUEST
        print(f"file: {members} members, {path.stat().st_size / 1e6:.1f} MB; "
              f"request {name!r}, segment {segment}, unit {unit!r}: {args.grid * args.grid} members")

        with stdout_fd_silenced():
            ours = zu_data_reader.ZuDataFIle(location).get_channel_data(name, segment, unit)
            theirs = baseline_channel_data(location, name, segment, unit)
            ours_header = zu_data_reader.ZuDataFIle(location).header
        if ours.shape != theirs.shape or not np.array_equal(ours, theirs, equal_nan=True):
            sys.exit("the two readers disagree on the channel data; nothing timed")
        if ours_header != baseline_header(location):
            sys.exit("the two readers disagree on the header; nothing timed")
        print(f"check: identical arrays of shape {ours.shape}, identical headers")

        rows = measure(
            {
                "channel data": (
                    lambda: zu_data_reader.ZuDataFIle(location).get_channel_data(name, segment, unit),
                    lambda: baseline_channel_data(location, name, segment, unit),
                ),
                "open + header": (
                    lambda: zu_data_reader.ZuDataFIle(location).header,
                    lambda: baseline_header(location),
                ),
            },
            args.repeat,
        )

    print(f"\nbest of {args.repeat}, per call")
    print(f"{'scenario':<16}{'zu_data_reader':>16}{'zipfile+numpy':>16}{'baseline / zu':>16}")
    for label, zu, base in rows:
        print(f"{label:<16}{zu * 1e3:>13.3f} ms{base * 1e3:>13.3f} ms{base / zu:>15.1f}x")


if __name__ == "__main__":
    main()
