"""Benchmark: get_channel_data against the standard library and a C++ floor,
side by side in one run, on the realistic file of bench/realistic.py.

Readers of one channel and segment ("height", segment 0, unit "distance"),
all of whose results must be equal (NaN included) before anything is timed:

  zu           an open ZuDataFIle's get_channel_data(...)
  stdlib/call  zipfile opened per call: header read and parsed, conversion
               chain reduced, every matching member read, np.frombuffer,
               scaled, NaN-padded, reshaped
  stdlib/open  the same on a zipfile.ZipFile opened (and its header parsed)
               once, outside the timing
  floor        bench/floor_channel.cpp: one pread per member, libdeflate
               whole-buffer with one reused decompressor, CRC-32, conversion
               (built by bench/run.sh; its own clock, no Python)

Also: peak extra resident memory of one get_channel_data call in a fresh
process, against the size of the result; and one 512 MiB member of
incompressible data (cached like the realistic file) decoded by
get_channel_data (which then fails on the reshape, as a 512 MiB trace
cannot fit the grid) against zlib.decompress of the same raw stream.

Each reader is timed in several rounds, interleaved so that load drift on
a shared machine hits all alike; the medians over all calls are printed
with their ratios. Descriptor 1 points to /dev/null around timed calls:
the module writes its diagnostic lines there.

    python bench/bench_channel_data.py --floor build-bench/floor_channel [--rounds 7]
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib
from pathlib import Path
from collections.abc import Callable

import numpy as np

import zu_data_reader
from zudata.testfiles import HEADER_NAME as HEADER

sys.path.insert(0, str(Path(__file__).resolve().parent))
import realistic  # noqa: E402

TRACE = 100
BIG_MEMBER = 512 << 20


# ---------------------------------------------------------------- baselines

def parse_header(text: str) -> dict:
    """key=value lines into nested dicts; the first line that sets a key wins."""
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


def read_channel(zf: zipfile.ZipFile, header: dict, name: str, segment: int, unit: str) -> np.ndarray:
    offset, multiplier, stype = resolve(header, name, unit)
    dtype = ">f4" if stype == "float-data" else ">i4"
    suffix = f"/{segment}/channels/{name}.dat"
    traces = []
    for info in zf.infolist():
        if not info.filename.endswith(suffix):
            continue
        data = zf.read(info)
        values = np.frombuffer(data, dtype, count=len(data) // 4).astype(np.float64) * multiplier + offset
        if values.size < TRACE:
            values = np.concatenate([values, np.full(TRACE - values.size, np.nan)])
        traces.append(values)
    n = math.isqrt(len(traces))
    return np.concatenate(traces).reshape(n, n, TRACE)


def stdlib_per_call(path: str, name: str, segment: int, unit: str) -> np.ndarray:
    with zipfile.ZipFile(path) as zf:
        header = parse_header(zf.read(HEADER).decode("utf-8"))
        return read_channel(zf, header, name, segment, unit)


# ------------------------------------------------------------------ helpers

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


def timed_calls(fn: Callable[[], object], calls: int) -> list[float]:
    times = []
    for _ in range(calls):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return times


def run_floor(floor: str, path: str, suffix: str, stype: str, multiplier: float, offset: float,
              calls: int, out: str | None = None) -> list[float]:
    args = [floor, path, suffix, "float" if stype == "float-data" else "int",
            repr(multiplier), repr(offset), str(calls)] + ([out] if out else [])
    done = subprocess.run(args, check=True, capture_output=True, text=True)
    return [float(line) for line in done.stdout.split()]


MEMORY_PROBE = r"""
import os, sys
import numpy as np
import zu_data_reader

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

path, name, segment, unit = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
f = zu_data_reader.ZuDataFIle(path)
np.zeros(1)  # NumPy's own start-up is not the call's memory
devnull = os.open(os.devnull, os.O_WRONLY); os.dup2(devnull, 1)
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as c:  # resets the peak (VmHWM) to the current RSS
    c.write("5")
try:
    a = f.get_channel_data(name, segment, unit)
    size = a.nbytes
except OSError as e:
    size = 0
peak = status("VmHWM")
sys.stderr.write(f"{peak - before} {size}\n")
"""


def peak_extra_memory(path: str, name: str, segment: int, unit: str) -> tuple[int, int]:
    """(peak extra resident bytes of one call, result bytes), in a fresh process."""
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, name, str(segment), unit],
                          check=True, capture_output=True, text=True)
    extra, size = done.stderr.split()[-2:]
    return int(extra), int(size)


def big_member_file() -> Path:
    """A data file whose one channel member is 512 MiB of random bytes,
    deflated (level 6) into a stream of stored blocks; cached."""
    directory = realistic.cache_dir()
    path = directory / "incompressible-512MiB-v1.zu"
    if path.exists():
        return path
    directory.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=directory, suffix=".tmp")
    os.close(fd)
    try:
        rng = np.random.default_rng(1)
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
            zf.writestr(HEADER, realistic.header_text(1).encode())
            with zf.open("index/0/segments/0/channels/height.dat", "w", force_zip64=True) as member:
                for _ in range(BIG_MEMBER // (16 << 20)):
                    member.write(rng.bytes(16 << 20))
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return path


def raw_stream(path: Path, member: str) -> bytes:
    """The member's compressed bytes as stored."""
    with zipfile.ZipFile(path) as zf:
        info = zf.getinfo(member)
        with open(path, "rb") as f:
            f.seek(info.header_offset)
            local = f.read(30)
            skip = int.from_bytes(local[26:28], "little") + int.from_bytes(local[28:30], "little")
            f.seek(info.header_offset + 30 + skip)
            return f.read(info.compress_size)


def median_ms(times: list[float]) -> float:
    return statistics.median(times) * 1e3


# --------------------------------------------------------------------- main

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--floor", required=True, help="the built bench/floor_channel.cpp")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds (default %(default)s)")
    parser.add_argument("--calls", type=int, default=5, help="zu and floor calls per round (default %(default)s)")
    parser.add_argument("--big-rounds", type=int, default=3, help="rounds of the 512 MiB member (default %(default)s)")
    parser.add_argument("--skip-big", action="store_true", help="leave out the 512 MiB member")
    args = parser.parse_args()

    path = str(realistic.realistic_file())
    name, segment, unit = realistic.REQUEST
    suffix = f"/{segment}/channels/{name}.dat"
    with zipfile.ZipFile(path) as zf:
        entries = len(zf.infolist())
        header = parse_header(zf.read(HEADER).decode("utf-8"))
    offset, multiplier, stype = resolve(header, name, unit)
    print(f"file: {path}: {entries} entries, {os.path.getsize(path) / 1e6:.1f} MB")
    print(f"request: {name!r}, segment {segment}, unit {unit!r}; cpus: {os.cpu_count()}, "
          f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    zu = zu_data_reader.ZuDataFIle(path)
    open_zf = zipfile.ZipFile(path)
    open_header = parse_header(open_zf.read(HEADER).decode("utf-8"))
    readers: dict[str, Callable[[], np.ndarray]] = {
        "zu": lambda: zu.get_channel_data(name, segment, unit),
        "stdlib/call": lambda: stdlib_per_call(path, name, segment, unit),
        "stdlib/open": lambda: read_channel(open_zf, open_header, name, segment, unit),
    }

    with stdout_fd_silenced():
        results = {label: fn() for label, fn in readers.items()}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "floor.f64")
        run_floor(args.floor, path, suffix, stype, multiplier, offset, 1, out)
        results["floor"] = np.fromfile(out, np.float64).reshape(results["zu"].shape)
    for label, a in results.items():
        if a.shape != results["zu"].shape or not np.array_equal(a, results["zu"], equal_nan=True):
            sys.exit(f"{label} disagrees with zu on the channel data; nothing timed")
    print(f"check: all four readers return identical arrays of shape {results['zu'].shape}")

    times: dict[str, list[float]] = {label: [] for label in ("zu", "floor", "stdlib/call", "stdlib/open")}
    for _ in range(args.rounds):
        with stdout_fd_silenced():
            times["zu"] += timed_calls(readers["zu"], args.calls)
            times["stdlib/call"] += timed_calls(readers["stdlib/call"], 1)
            times["stdlib/open"] += timed_calls(readers["stdlib/open"], 1)
        times["floor"] += run_floor(args.floor, path, suffix, stype, multiplier, offset, args.calls)
    open_zf.close()

    zu_ms = median_ms(times["zu"])
    print(f"\nper call, median of {args.rounds} interleaved rounds")
    print(f"{'reader':<14}{'calls':>6}{'median':>12}{'reader / zu':>14}")
    for label, ts in times.items():
        ms = median_ms(ts)
        print(f"{label:<14}{len(ts):>6}{ms:>9.2f} ms{ms / zu_ms:>13.2f}x")
    print(f"zu / floor = {zu_ms / median_ms(times['floor']):.2f}  (target <= 1.0)")
    print(f"stdlib/call / zu = {median_ms(times['stdlib/call']) / zu_ms:.1f}  (target >= 20)")
    print(f"stdlib/open / zu = {median_ms(times['stdlib/open']) / zu_ms:.1f}  (target >= 7)")

    extra, size = peak_extra_memory(path, name, segment, unit)
    print(f"\npeak extra resident memory of one call: {extra / 1e6:.1f} MB for a result of "
          f"{size / 1e6:.1f} MB: {extra / size:.2f}x the result  (target <= 2)")

    if args.skip_big:
        return
    big = big_member_file()
    member = "index/0/segments/0/channels/height.dat"
    raw = raw_stream(big, member)
    big_zu = zu_data_reader.ZuDataFIle(str(big))

    def zu_big() -> None:
        try:
            big_zu.get_channel_data(name, 0, "volts")
        except OSError as e:
            if "cannot reshape" not in str(e):
                raise

    zu_big_times: list[float] = []
    zlib_times: list[float] = []
    for _ in range(args.big_rounds):
        with stdout_fd_silenced():
            zu_big_times += timed_calls(zu_big, 1)
        t0 = time.perf_counter()
        decoded = zlib.decompress(raw, -15)
        zlib_times.append(time.perf_counter() - t0)
        assert len(decoded) == BIG_MEMBER
        del decoded
    ratio = statistics.median(zu_big_times) / statistics.median(zlib_times)
    print(f"\n512 MiB incompressible member ({len(raw) / 2**20:.1f} MiB stored), median of {args.big_rounds}:")
    print(f"get_channel_data {median_ms(zu_big_times):.0f} ms, zlib.decompress {median_ms(zlib_times):.0f} ms: "
          f"{ratio:.2f}x  (target <= 2)")
    extra, _ = peak_extra_memory(str(big), name, 0, "volts")
    print(f"peak extra resident memory decoding it: {extra / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
