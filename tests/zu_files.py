"""Data files for the zudata tests: a good sample and broken variants."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import threading
import zipfile
from pathlib import Path

from zudata.testfiles import Member, build, channel_lines, floats_be, write_zip

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import make_sample  # noqa: E402

GRID = 4
SEGMENTS = 3
BAD_CRC_MEMBER = "index/5/segments/1/channels/height.dat"
ZU = str(Path(sysconfig.get_path("scripts")) / "zu")


def good(path: Path, grid: int = GRID) -> Path:
    return make_sample.write_sample(path, grid=grid, segments=SEGMENTS)


def truncated(path: Path) -> Path:
    data = good(path).read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


def bad_crc(path: Path) -> Path:
    """The good sample with a wrong CRC-32 recorded for one height member of
    segment 1; everything else still reads."""
    with zipfile.ZipFile(good(path)) as archive:
        members = [
            Member(info.filename.encode(), archive.read(info),
                   crc=0x12345678 if info.filename == BAD_CRC_MEMBER else None)
            for info in archive.infolist()
        ]
    path.write_bytes(build(members))
    return path


def copies(source: Path, directory: Path, count: int) -> list[Path]:
    """count more names of source, for commands that read many files. Hard
    links where the file system has them: 300 copies of a 7 MB file would
    take 2 GB of a disk the suite shares with the rest of a CI run. The
    files are only read, so one inode under many names serves."""
    paths = []
    for i in range(count):
        target = directory / f"copy{i:03d}.zu"
        try:
            os.link(source, target)
        except OSError:
            shutil.copyfile(source, target)
        paths.append(target)
    return paths


def npz_arrays(saved) -> list[str]:
    """The data arrays of a loaded .npz export, without the text arrays
    ("<name>.unit_type", ...) that stand for each one's attributes."""
    return [name for name in saved.files if not name.endswith((".unit_type", ".units", ".dims"))]


def zu(*args: object, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [ZU, *map(str, args)], capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL
    )


def distinct(directory: Path, count: int, grid: int = GRID) -> list[Path]:
    """`count` recordings with different values (one seed each)."""
    return [make_sample.write_sample(directory / f"rec{i}.zu", grid=grid, segments=SEGMENTS, seed=i + 1)
            for i in range(count)]


def with_header_line(source: Path, target: Path, line: str) -> Path:
    """A copy of `source` with one more header line."""
    with zipfile.ZipFile(source) as archive:
        members = [(info.filename, archive.read(info)) for info in archive.infolist()]
    name, text = members[0]
    assert name == make_sample.HEADER_MEMBER
    members[0] = (name, text + line.encode() + b"\n")
    return write_zip(target, members)


def single_channel(path: Path, traces: list[bytes], grid: int) -> Path:
    """One float channel "height" (base unit volts) in segment 0, one
    member per trace with the given bytes."""
    header = "force-segments.count=1\n" + channel_lines("0", "height")
    members = [(f"index/{p}/segments/0/channels/height.dat", traces[p]) for p in range(grid * grid)]
    return write_zip(path, [(make_sample.HEADER_MEMBER, header), *members])


# Samples per trace of short_traces(): a 2 x 2 grid per segment.
SHORT_TRACES = {0: [100, 100, 100, 100], 1: [37, 20, 37, 37], 2: [37, 37, 37, 37]}


def short_traces(path: Path) -> Path:
    """One float channel "height" (volts) whose traces are as long as
    SHORT_TRACES says, sample t of a trace being t + 1."""
    header = f"force-segments.count={len(SHORT_TRACES)}\n" + channel_lines("0", "height")
    members = [
        (f"index/{p}/segments/{s}/channels/height.dat", floats_be(*range(1, n + 1)))
        for s, lengths in SHORT_TRACES.items()
        for p, n in enumerate(lengths)
    ]
    return write_zip(path, [(make_sample.HEADER_MEMBER, header), *members])


def meet_in_pairs(monkeypatch, method: str) -> list[bool]:
    """Makes the first call of `zudata.DataFile.<method>` wait (up to 5 s)
    for a second one on another thread. The list returned gets an entry once
    two calls met, which only happens when two files are worked on at once;
    without a partner the call goes on alone after the wait."""
    import zudata

    barrier = threading.Barrier(2, timeout=5)
    met: list[bool] = []
    real = getattr(zudata.DataFile, method)

    def waiting(self, *args, **kwargs):
        if not met and not barrier.broken:
            try:
                barrier.wait()
                met.append(True)
            except threading.BrokenBarrierError:
                pass
        return real(self, *args, **kwargs)

    monkeypatch.setattr(zudata.DataFile, method, waiting)
    return met
