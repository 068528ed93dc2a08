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
    grouped    the same two on a copy of the realistic file whose members are
               grouped by segment and channel (grid order kept within each),
               so that the read needs a small part of the file, the case the
               download target is about; the copy is written once beside the
               realistic file, and its read is checked equal to the original's
    mfdataset  with --mfdataset N: xarray.open_mfdataset of N URLs (links to
               the same file under N names, engine "zu", parallel=True) and
               the values of read("height", 0) of each, on Dask's threaded
               scheduler against its synchronous one (one thread),
               interleaved; target for 20 URLs: threads at least 1.7x faster

Needs nginx and the remote extra; the file is written once under
$ZU_BENCH_CACHE (see bench/realistic.py).

    python bench/bench_remote.py [--delay 0.02] [--rate MBPS] [--rounds 3] [--mfdataset 20 [--threads T]]
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


def member_group(name: str) -> tuple[int, str] | None:
    """(segment, channel) of a channel member's name, else None."""
    parts = name.split("/")
    if len(parts) == 6 and parts[2] == "segments" and parts[4] == "channels" and parts[5].endswith(".dat"):
        return int(parts[3]), parts[5][: -len(".dat")]
    return None


def grouped_copy(path: Path) -> Path:
    """A copy of `path` with every other member first, in its order, then the
    channel members grouped by (segment, channel), each group in the
    original order (which is the grid's); written once, beside `path`."""
    target = path.with_name(path.stem + "-grouped.zu")
    if target.exists():
        return target
    partial = target.with_suffix(".partial")
    with zipfile.ZipFile(path) as source, zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as out:
        infos = source.infolist()
        groups: dict[tuple[int, str], list[zipfile.ZipInfo]] = {}
        for info in infos:
            key = member_group(info.filename)
            if key is None:
                out.writestr(info.filename, source.read(info))
            else:
                groups.setdefault(key, []).append(info)
        for key in sorted(groups):
            for info in groups[key]:
                out.writestr(info.filename, source.read(info))
    partial.rename(target)
    return target


def read_span(path: Path) -> int:
    """Bytes from the first to the end of the last member the read needs."""
    suffix = f"/segments/{SEGMENT}/channels/{CHANNEL}.dat"
    with zipfile.ZipFile(path) as archive:
        infos = [i for i in archive.infolist() if i.filename.endswith(suffix)]
    start = min(i.header_offset for i in infos)
    end = max(i.header_offset + 30 + len(i.filename.encode()) + len(i.extra) + i.compress_size for i in infos)
    return end - start


def download_read(url: str) -> None:
    with tempfile.TemporaryDirectory() as folder:
        local = Path(folder) / "copy.zu"
        fsspec.filesystem("http").get_file(url, str(local))
        zudata_read(local)


@contextlib.contextmanager
def forwarder_process(upstream: int, delay: float, rate: float | None) -> Iterator[int]:
    """The tests' forwarder in a process of its own (so that its byte
    copying does not take the interpreter lock from the reads it serves);
    yields its port. It ends when its standard input closes."""
    code = (
        f"import sys; sys.path.insert(0, {str(HERE.parent / 'tests')!r}); from remote_servers import Forwarder; "
        f"f = Forwarder({upstream}, delay={delay}, rate={rate}); print(f.port, flush=True); sys.stdin.read(); f.close()"
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
    parser.add_argument("--skip-grouped", action="store_true", help="leave out the grouped copy")
    parser.add_argument(
        "--rate", type=float, metavar="MBPS", help="the forwarder's answers share a link of this many MB a second"
    )
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
    rate = args.rate * 1e6 if args.rate else None
    path = realistic_file()
    size = path.stat().st_size
    grouped = None if args.skip_grouped or args.only_mfdataset else grouped_copy(path)
    with tempfile.TemporaryDirectory() as work:
        root = Path(work) / "files"
        root.mkdir()
        for source, name in ((path, "realistic.zu"), (grouped, "grouped.zu")):
            if source is None:
                continue
            try:
                os.link(source, root / name)
            except OSError:
                shutil.copyfile(source, root / name)
        server = Nginx(root, Path(work))
        try:
            with contextlib.ExitStack() as stack:
                if args.forwarder_process:
                    port = stack.enter_context(forwarder_process(server.port, args.delay, rate))
                else:
                    port = stack.enter_context(forwarder(server.port, delay=args.delay, rate=rate)).port
                where = "in a process of its own" if args.forwarder_process else "on a thread of this process"
                print(f"cores {os.cpu_count()}, load {os.getloadavg()[0]:.2f}, file {size / 1e6:.1f} MB")
                print(f"delay per request            {args.delay * 1000:.0f} ms (forwarder {where})")
                if rate:
                    print(f"link                         {args.rate:g} MB/s, shared by all connections")
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
                if grouped is not None:
                    compare_grouped(server, port, path, grouped, args.rounds)
        finally:
            server.close()


def compare_grouped(server: Nginx, port: int, original: Path, grouped: Path, rounds: int) -> None:
    with zudata.open(original) as a, zudata.open(grouped) as b:
        assert (a.read(CHANNEL, SEGMENT).tobytes() == b.read(CHANNEL, SEGMENT).tobytes()), "the grouped copy differs"
    url = server.url("grouped.zu", port)
    span, total = read_span(grouped), grouped.stat().st_size
    before = len(server.requests())
    zudata_read(url)
    requests = len(server.requests()) - before
    remote = median_time(lambda: zudata_read(url), rounds)
    download = median_time(lambda: download_read(url), rounds)
    print(f"grouped copy: {total / 1e6:.1f} MB, the read's members span {span / 1e6:.1f} MB ({span / total:.0%})")
    print(f"  open+read over HTTP        {remote * 1000:8.1f} ms  {requests} requests")
    print(f"  download whole file + read {download * 1000:8.1f} ms  zudata {download / remote:.2f}x faster"
          " (target: faster, as the read needs less than a third of the file)")


if __name__ == "__main__":
    main()
