"""Two builds of the module side by side on the realistic file.

    python bench/compare_builds.py BASELINE_DIR CANDIDATE_DIR [--rounds 9] [--calls 5]

Each directory holds a built zu_data_reader (for example a CMake build tree
of another checkout). In every round a fresh process per build, in
alternating order, opens the file and times `--calls` channel-data calls
after one warm-up call, so drift in the load of a shared machine hits both
alike. Prints the median per call of each build and their ratio, in wall time
and in the calling thread's CPU time; opening is timed once per process.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from realistic import REQUEST, realistic_file  # noqa: E402

CHILD = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
import zu_data_reader
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
path, calls, request = sys.argv[2], int(sys.argv[3]), json.loads(sys.argv[4])
t0 = time.perf_counter()
f = zu_data_reader.ZuDataFIle(path)
opened = time.perf_counter() - t0
f.get_channel_data(*request)
times, cpu = [], []
for _ in range(calls):
    t0, c0 = time.perf_counter(), time.thread_time()
    f.get_channel_data(*request)
    times.append(time.perf_counter() - t0)
    cpu.append(time.thread_time() - c0)
sys.stderr.write(json.dumps([zu_data_reader.__file__, opened, times, cpu]))
"""


def run(build: str, path: Path, calls: int) -> tuple[str, float, list[float], list[float]]:
    done = subprocess.run([sys.executable, "-P", "-c", CHILD, build, str(path), str(calls), json.dumps(REQUEST)],
                          capture_output=True, text=True, timeout=600, check=True)
    module, opened, times, cpu = json.loads(done.stderr.splitlines()[-1])
    return module, opened, times, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=5)
    args = parser.parse_args()
    path = realistic_file()
    builds = {"baseline": args.baseline, "candidate": args.candidate}
    calls: dict[str, list[float]] = {k: [] for k in builds}
    cpu: dict[str, list[float]] = {k: [] for k in builds}
    opens: dict[str, list[float]] = {k: [] for k in builds}
    for r in range(args.rounds):
        order = list(builds) if r % 2 == 0 else list(reversed(builds))
        for name in order:
            module, opened, times, thread_cpu = run(builds[name], path, args.calls)
            if r == 0:
                print(f"{name}: {module}")
            calls[name] += times
            cpu[name] += thread_cpu
            opens[name].append(opened)
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    # The calling thread's CPU time is less disturbed by other processes on
    # a shared machine than the wall time; both are shown.
    for what, data in (("channel data (wall)", calls), ("channel data (thread CPU)", cpu), ("open (wall)", opens)):
        base, cand = (statistics.median(data[k]) * 1e3 for k in builds)
        print(f"{what}: baseline {base:.2f} ms, candidate {cand:.2f} ms, candidate/baseline {cand / base:.3f}")


if __name__ == "__main__":
    main()
