"""Benchmark of the `zu` command, each case timed beside its baseline in one run.

  export  `zu export FILES... --jobs 2` against the same command with
          `--jobs 1`, on 200 data files (the demo's sample format at
          --grid x --grid positions, default 32 x 32 as in
          bench_channel_data.py, three channels and three segments; four
          distinct recordings, each hard-linked under 50 names, so that the
          page cache holds them without 1 GB of copies).
  check   `zu check FILE` on one realistic file (bench/realistic.py: a
          100 x 100 scan, 130,001 members) against a plain Python script
          that opens the file and calls get_channel_data for each of its
          channels and segments in the base unit: the same reads, without
          the tool around them. Both run as fresh processes, so interpreter
          start-up and imports count on both sides.

Runs are interleaved and repeated; the medians are compared. Target: export
ratio (jobs 1 / jobs 2) >= 1.7 on two cores; check ratio (zu / direct)
<= 1.3.

    python bench/bench_export.py [--grid 32] [--files 200] [--repeat 5] [--check-grid 100]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "examples")]

import make_sample  # noqa: E402
import realistic  # noqa: E402

ZU = str(Path(sysconfig.get_path("scripts")) / "zu")

DIRECT_CHECK = """
import sys
import zu_data_reader
f = zu_data_reader.ZuDataFIle(sys.argv[1])
header = f.header
for name in f.get_channels():
    entry = next(e for e in header["lcd-info"].values() if e["channel"]["name"] == name)
    base = entry["conversion-set"]["conversions"]["base"]
    for segment in range(int(header["force-segments"]["count"])):
        f.get_channel_data(name, segment, base)
"""


def timed(argv: list[str]) -> tuple[float, float]:
    """Wall time and CPU time (user + system, the command and its workers)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def compare(name: str, cases: dict[str, list[str]], repeat: int) -> dict[str, float]:
    """Median wall times. CPU times are printed too: on a shared machine they
    show how much work each variant does, which other load hardly changes."""
    times: dict[str, list[float]] = {label: [] for label in cases}
    cpu: dict[str, list[float]] = {label: [] for label in cases}
    for argv in cases.values():  # warm-up: page cache, bytecode
        timed(argv)
    for _ in range(repeat):
        for label, argv in cases.items():
            wall, used = timed(argv)
            times[label].append(wall)
            cpu[label].append(used)
    medians = {label: statistics.median(t) for label, t in times.items()}
    for label, t in times.items():
        print(f"  {name:7} {label:10} median {medians[label]:7.3f} s (CPU {statistics.median(cpu[label]):6.3f} s)"
              f"   runs {' '.join(f'{x:.3f}' for x in t)}")
    return medians


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--grid", type=int, default=32)
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--check-grid", type=int, default=realistic.GRID)
    parser.add_argument("--skip-check", action="store_true")
    args = parser.parse_args()
    print(f"machine: {os.cpu_count()} CPUs, load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    with tempfile.TemporaryDirectory(prefix="zu-bench-") as tmp:
        root = Path(tmp)
        originals = [make_sample.write_sample(root / f"rec{s}.zu", grid=args.grid, seed=s) for s in range(4)]
        files = []
        for i in range(args.files):
            target = root / f"file{i:03d}.zu"
            try:
                os.link(originals[i % len(originals)], target)
            except OSError:
                shutil.copyfile(originals[i % len(originals)], target)
            files.append(str(target))
        export = [ZU, "export", *files, "-c", "height", "-s", "0", "-u", "distance", "-o", str(root / "out.npz")]
        print(f"export: {args.files} files, {args.grid} x {args.grid} grid, {os.path.getsize(files[0]):,} bytes each")
        m = compare("export", {"--jobs 1": [*export, "--jobs", "1"], "--jobs 2": [*export, "--jobs", "2"]}, args.repeat)
        speedup = m["--jobs 1"] / m["--jobs 2"]
        print(f"  export speed-up, jobs 1 / jobs 2: {speedup:.2f}x (target >= 1.7x)")

    if not args.skip_check:
        path = realistic.realistic_file(args.check_grid)
        print(f"check: {path} ({os.path.getsize(path):,} bytes, {args.check_grid} x {args.check_grid} grid)")
        m = compare("check", {"zu check": [ZU, "check", str(path)],
                              "direct": [sys.executable, "-c", DIRECT_CHECK, str(path)]}, args.repeat)
        print(f"  check overhead, zu / direct: {m['zu check'] / m['direct']:.2f}x (target <= 1.3x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
