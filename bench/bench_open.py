"""Benchmark: opening a realistic data file, side by side in one run.

    ZuDataFIle(path)                  the extension: archive checks, the whole
                                      central directory walked, the header
                                      read, verified and parsed; the object is
                                      dropped again (file closed)
    floor                             bench/floor_open.cpp, compiled here with
                                      g++ -O2 and called through ctypes: the
                                      least work any reader has to do
                                      (directory read and scanned for the
                                      header name, header inflated and
                                      CRC-checked), no checks, no parsing
    zipfile + header                  zipfile.ZipFile(path) and reading the
                                      header member

The file is bench/realistic.py's cached recording (130,001 entries, an
11.7 MB central directory). The extension and the floor alternate call by
call, so both see the same load on a shared machine; zipfile, a few hundred
times slower, gets a few calls per round. Every call is timed by wall clock
and by the CPU time of the calling thread (kernel time for the reads
included), which a busy machine disturbs far less: a call that is preempted
shows a long wall time but not a long CPU time. The report gives medians of
all calls (and the spread of the per-round wall medians) with ratios of
medians. The page cache is warm: the file is read before timing.

    python bench/bench_open.py [--rounds 7] [--calls 40] [--zipfile-calls 3]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import zu_data_reader

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from realistic import HEADER_MEMBER, realistic_file  # noqa: E402


def build_floor(directory: Path) -> ctypes.CDLL:
    lib = directory / "floor_open.so"
    cxx = os.environ.get("CXX", "g++")
    subprocess.run([cxx, "-O2", "-std=c++20", "-shared", "-fPIC", "-DFLOOR_OPEN_LIBRARY",
                    str(HERE / "floor_open.cpp"), "-o", str(lib), "-lz"], check=True)
    dll = ctypes.CDLL(str(lib))
    dll.zu_floor_open.restype = ctypes.c_int
    dll.zu_floor_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_ulonglong),
                                  ctypes.POINTER(ctypes.c_ulonglong)]
    return dll


def floor_call(dll: ctypes.CDLL, path: Path) -> tuple[int, int]:
    """One open by the floor: (entries walked, header length)."""
    entries, header_len = ctypes.c_ulonglong(), ctypes.c_ulonglong()
    if dll.zu_floor_open(os.fsencode(path), ctypes.byref(entries), ctypes.byref(header_len)) != 0:
        raise RuntimeError("the floor loop failed on the benchmark file")
    return entries.value, header_len.value


def timed(fn) -> tuple[float, float]:
    """(wall-clock seconds, CPU seconds of this thread, kernel time included)."""
    c0, t0 = time.thread_time(), time.perf_counter()
    fn()
    t1, c1 = time.perf_counter(), time.thread_time()
    return t1 - t0, c1 - c0


def parse_header(text: str) -> dict:
    """The header as the extension should show it, for a text in which no key
    is both a value and a map: the line nearest the top wins, and keys come
    in the order of their first appearance from the top."""
    root: dict = {}
    for line in text.split("\n")[:-1]:
        if line.startswith("#"):
            continue
        key, _, value = line.partition("=")
        *path, last = key.split(".")
        node = root
        for seg in path:
            node = node.setdefault(seg, {})
        node.setdefault(last, value)
    return root


def same_order(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_order(a[k], b[k]) for k in a)
    return a == b


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:9.3f} ms"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--calls", type=int, default=40,
                    help="calls per round for the extension and for the floor")
    ap.add_argument("--zipfile-calls", type=int, default=3, help="calls per round for zipfile")
    args = ap.parse_args()

    path = realistic_file()
    with zipfile.ZipFile(path) as zf:
        header_bytes = zf.read(HEADER_MEMBER)
        entry_count = len(zf.infolist())
    tmp = Path(tempfile.mkdtemp(prefix="zu_bench_open_"))
    try:
        dll = build_floor(tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)  # the loaded library stays mapped

    # Correctness first: the floor found the header, the extension parsed it.
    floor_entries, floor_len = floor_call(dll, path)
    assert floor_entries == entry_count, (floor_entries, entry_count)
    assert floor_len == len(header_bytes)
    header = zu_data_reader.ZuDataFIle(path).header
    assert same_order(header, parse_header(header_bytes.decode())), "header differs"

    def zu_open():
        zu_data_reader.ZuDataFIle(path)

    def zipfile_open():
        with zipfile.ZipFile(path) as zf:
            zf.read(HEADER_MEMBER)

    names = ("zu", "floor", "zipfile")
    wall: dict[str, list[float]] = {k: [] for k in names}
    cpu: dict[str, list[float]] = {k: [] for k in names}
    round_medians: dict[str, list[float]] = {k: [] for k in names}
    zu_open()
    zipfile_open()
    for _ in range(args.rounds):
        this_round: dict[str, list[tuple[float, float]]] = {k: [] for k in names}
        for i in range(args.calls):
            # Alternate which goes first, so neither always follows the other.
            pair = [("floor", lambda: floor_call(dll, path)), ("zu", zu_open)]
            for name, run in pair if i % 2 == 0 else reversed(pair):
                this_round[name].append(timed(run))
        this_round["zipfile"] = [timed(zipfile_open) for _ in range(args.zipfile_calls)]
        for name, times in this_round.items():
            wall[name] += [w for w, _ in times]
            cpu[name] += [c for _, c in times]
            round_medians[name].append(statistics.median(w for w, _ in times))

    med = {k: statistics.median(v) for k, v in wall.items()}
    cmed = {k: statistics.median(v) for k, v in cpu.items()}
    print(f"file: {path} ({entry_count} entries, {path.stat().st_size / 1e6:.1f} MB), "
          f"{args.rounds} rounds, cpus: {os.cpu_count()}, load: {os.getloadavg()[0]:.2f}")
    print(f"{'reader':<26} {'wall median':>12} {'round medians min..max':>26} "
          f"{'wall min':>12} {'CPU median':>12} {'calls':>6}")
    labels = {"zu": "ZuDataFIle(path)", "floor": "floor (C++ minimal loop)",
              "zipfile": "zipfile.ZipFile + header"}
    for key in names:
        lo, hi = min(round_medians[key]), max(round_medians[key])
        print(f"{labels[key]:<26} {fmt(med[key])} {fmt(lo)} ..{fmt(hi)} {fmt(min(wall[key]))} "
              f"{fmt(cmed[key])} {len(wall[key]):>6}")
    print("ratios of medians              wall     CPU")
    print(f"ZuDataFIle / floor         {med['zu'] / med['floor']:8.2f}x "
          f"{cmed['zu'] / cmed['floor']:7.2f}x   (target <= 1.5x)")
    print(f"zipfile / ZuDataFIle       {med['zipfile'] / med['zu']:8.0f}x "
          f"{cmed['zipfile'] / cmed['zu']:7.0f}x   (target >= 100x)")


if __name__ == "__main__":
    main()
