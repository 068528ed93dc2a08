"""Benchmark: the realistic file read over HTTP from nginx on 127.0.0.1,
behind a forwarder that adds a fixed delay (20 ms by default) to every
request, side by side with the local file in one run. Medians of --rounds.

    open+read  zudata.open(url) + read("height", 0): requests (from nginx's
               access log) and time, against the same open and read of the
               local file plus 5 round trips (targets: <= 12 requests,
               <= 1.5x)
    zipfile    zipfile.ZipFile(fsspec.open(url).open()) reading the same
               10,000 members, what a user writes today (target: zudata at
               least 5x faster)
    download   fetching the whole file and reading it locally (target:
               zudata faster when a read needs less than a third of the file)
    mfdataset  with --mfdataset N: xarray.open_mfdataset of N URLs (links to
               the same file under N names, engine "zu", parallel=True) and
               the values of read("height", 0) of each, on Dask's threaded
               scheduler against its synchronous one (one thread),
               interleaved; target for 20 URLs: threads at least 1.7x faster

Needs nginx and the remote extra; the file is written once under
$ZU_BENCH_CACHE (see bench/realistic.py).

    python bench/bench_remote.py [--delay 0.02] [--rounds 3] [--mfdataset 20 [--threads T]]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from collections.abc import Callable, Iterator
from pathlib import Path

import fsspec

import zudata

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))
from realistic import realistic_file  # noqa: E402
from remote_servers import Nginx, forwarder  # noqa: E402

CHANNEL, SEGMENT = "height", 0


def median_time(call: Callable[[], object], rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def zudata_read(location: str | Path) -> None:
    with zudata.open(location) as f:
        f.read(CHANNEL, SEGMENT)


def zipfile_read(url: str) -> None:
    suffix = f"/segments/{SEGMENT}/channels/{CHANNEL}.dat"
    with fsspec.open(url).open() as raw, zipfile.ZipFile(raw) as archive:
        for name in archive.namelist():
            if name.endswith(suffix):
                archive.read(name)


def download_read(url: str) -> None:
    with tempfile.TemporaryDirectory() as folder:
        local = Path(folder) / "copy.zu"
        fsspec.filesystem("http").get_file(url, str(local))
        zudata_read(local)


@contextlib.contextmanager
def forwarder_process(upstream: int, delay: float) -> Iterator[int]:
    """The tests' forwarder in a process of its own (so that its byte
    copying does not take the interpreter lock from the reads it serves);
    yields its port. It ends when its standard input closes."""
    code = (
        f"import sys; sys.path.insert(0, {str(HERE.parent / 'tests')!r}); from remote_servers import Forwarder; "
        f"f = Forwarder({upstream}, delay={delay}); print(f.port, flush=True); sys.stdin.read(); f.close()"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None
        yield int(child.stdout.readline())
    finally:
        assert child.stdin is not None
        child.stdin.close()
        try:
            child.wait(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait(timeout=10)


def mfdataset_read(urls: list[str], scheduler: str, threads: int | None) -> object:
    import dask
    import xarray as xr

    config: dict[str, object] = {"scheduler": scheduler}
    if threads and scheduler == "threads":
        config["num_workers"] = threads
    with (
        dask.config.set(**config),
        xr.open_mfdataset(urls, engine="zu", combine="nested", concat_dim="file", parallel=True) as ds,
    ):
        return ds[CHANNEL].sel(segment=SEGMENT).values


def mfdataset(server: Nginx, root: Path, port: int, count: int, threads: int | None, rounds: int) -> None:
    """open_mfdataset of `count` URLs, threads against one thread."""
    names = [f"copy{i:02d}.zu" for i in range(count)]
    for name in names:
        try:
            os.link(root / "realistic.zu", root / name)
        except OSError:
            shutil.copyfile(root / "realistic.zu", root / name)
    urls = [server.url(name, port) for name in names]
    before = len(server.requests())
    threaded_values = mfdataset_read(urls, "threads", threads)
    made = len(server.requests()) - before
    one_values = mfdataset_read(urls, "synchronous", None)
    assert threaded_values.tobytes() == one_values.tobytes()  # type: ignore[attr-defined]
    # Interleaved, the order swapped each round: on a shared machine the
    # load drifts, and both sides should see the same drift.
    times: dict[str, list[float]] = {"threads": [], "synchronous": []}
    for round_ in range(rounds):
        for scheduler in ("threads", "synchronous")[:: 1 if round_ % 2 == 0 else -1]:
            start = time.perf_counter()
            mfdataset_read(urls, scheduler, threads)
            times[scheduler].append(time.perf_counter() - start)
    threaded, one = statistics.median(times["threads"]), statistics.median(times["synchronous"])
    pool = threads or os.cpu_count()
    print(f"open_mfdataset of {count} URLs, {made} requests")
    print(f"  one thread (synchronous)   {one * 1000:8.1f} ms")
    print(f"  Dask threads ({pool})          {threaded * 1000:8.1f} ms  {one / threaded:.2f}x faster (target >= 1.7)")
    print(f"  load after                 {os.getloadavg()[0]:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--delay", type=float, default=0.02, help="seconds added to each request")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-zipfile", action="store_true", help="leave out the (slow) zipfile baseline")
    parser.add_argument(
        "--mfdataset",
        type=int,
        default=0,
        metavar="N",
        help="also time open_mfdataset of N URLs, Dask threads against one thread (needs xarray, dask)",
    )
    parser.add_argument("--threads", type=int, metavar="T", help="--mfdataset's Dask threads (default: one per core)")
    parser.add_argument("--only-mfdataset", action="store_true", help="time only --mfdataset")
    parser.add_argument(
        "--forwarder-process", action="store_true", help="run the delaying forwarder in a process of its own"
    )
    args = parser.parse_args()
    path = realistic_file()
    size = path.stat().st_size
    with tempfile.TemporaryDirectory() as work:
        root = Path(work) / "files"
        root.mkdir()
        try:
            os.link(path, root / "realistic.zu")
        except OSError:
            shutil.copyfile(path, root / "realistic.zu")
        server = Nginx(root, Path(work))
        try:
            with contextlib.ExitStack() as stack:
                if args.forwarder_process:
                    port = stack.enter_context(forwarder_process(server.port, args.delay))
                else:
                    port = stack.enter_context(forwarder(server.port, delay=args.delay)).port
                where = "in a process of its own" if args.forwarder_process else "on a thread of this process"
                print(f"cores {os.cpu_count()}, load {os.getloadavg()[0]:.2f}, file {size / 1e6:.1f} MB")
                print(f"delay per request            {args.delay * 1000:.0f} ms (forwarder {where})")
                if args.mfdataset:
                    mfdataset(server, root, port, args.mfdataset, args.threads, args.rounds)
                if args.only_mfdataset:
                    return
                url = server.url("realistic.zu", port)
                before = len(server.requests())
                zudata_read(url)
                requests = len(server.requests()) - before
                local = median_time(lambda: zudata_read(path), args.rounds)
                remote = median_time(lambda: zudata_read(url), args.rounds)
                download = median_time(lambda: download_read(url), args.rounds)
                bound = local + 5 * args.delay
                print(f"open+read requests           {requests} (target <= 12)")
                print(f"open+read local              {local * 1000:8.1f} ms")
                print(f"open+read over HTTP          {remote * 1000:8.1f} ms")
                print(f"  / (local + 5 round trips)  {remote / bound:8.2f} (target <= 1.5)")
                print(f"download whole file + read   {download * 1000:8.1f} ms  zudata {download / remote:.2f}x faster")
                if not args.skip_zipfile:
                    before = len(server.requests())
                    baseline = median_time(lambda: zipfile_read(url), 1)
                    made = len(server.requests()) - before
                    print(
                        f"zipfile over fsspec          {baseline * 1000:8.1f} ms  {made} requests;"
                        f"  zudata {baseline / remote:.1f}x faster (target >= 5)"
                    )
        finally:
            server.close()


if __name__ == "__main__":
    main()
