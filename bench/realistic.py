"""A realistic Zu data file for benchmarks, generated once and cached.

The file looks like a real recording of a force-curve scan:

* a square grid of GRID x GRID positions (100 x 100 by default);
* per position one small properties member ("index/<p>/header.properties")
  and, for each of three segments, one small segment properties member
  ("index/<p>/segments/<s>/segment-header.properties") and three channel
  members ("index/<p>/segments/<s>/channels/<name>.dat"), each 100
  big-endian 4-byte samples (400 bytes) of a noisy force curve;
* the header member "shared-data/header.properties" first;
* every member raw DEFLATE at level 6 (the zipfile/zlib default).

With the default grid that is 10,000 x 13 + 1 = 130,001 entries, about 50 MB
of file, and 10,000 members per channel and segment.

The file is deterministic (fixed seed) and written once into a cache
directory outside the repository ($ZU_BENCH_CACHE, else
$XDG_CACHE_HOME/zu_data_reader_bench, else ~/.cache/zu_data_reader_bench);
later calls return the cached path. Writing goes to a temporary name first
and is renamed into place, so concurrent first calls cannot see a half-written
file.

    from realistic import realistic_file, REQUEST
    path = realistic_file()            # Path of the cached file
    python bench/realistic.py [--grid 100]   # writes it and prints the path
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import zipfile
from collections.abc import Iterator
from pathlib import Path

import numpy as np

# The channels, header pieces and sample encoding are the demo sample's.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from make_sample import (  # noqa: E402
    CHANNELS,
    HEADER_MEMBER,
    SEGMENT_STYLES,
    encode,
    position_header,
    recording_header,
)
from make_sample import SAMPLES_PER_TRACE as SAMPLES  # noqa: E402

from zudata.testfiles import write_zip  # noqa: E402

__all__ = ["GRID", "HEADER_MEMBER", "REQUEST", "cache_dir", "header_text", "realistic_file"]

# Bump when the content changes, so that a stale cached file is not reused.
FORMAT_VERSION = 1
GRID = 100
SEGMENTS = 3
SEED = 20240517

# The request benchmarks make: one channel, one segment, a two-step chain.
REQUEST = ("height", 0, "distance")


def cache_dir() -> Path:
    env = os.environ.get("ZU_BENCH_CACHE")
    if env:
        return Path(env)
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "zu_data_reader_bench"


def header_text(grid: int) -> str:
    return recording_header(
        [
            "# Zu data file header (benchmark recording)",
            "file-format-version=2.0",
            "start-time=2024-05-17T10:32:11Z",
            "force-settings.spring-constant=0.08",
            "force-settings.sensitivity=4.2e-8",
            "force-settings.relative-setpoint=1.0",
            f"force-segments.count={SEGMENTS}",
            f"position-pattern.grid.ilength={grid}",
            f"position-pattern.grid.jlength={grid}",
            "position-pattern.grid.ulength=1.0e-5",
            "position-pattern.grid.vlength=1.0e-5",
            f"position-pattern.number-of-points={grid * grid}",
        ],
        SEGMENTS,
    )


def _traces(rng: np.random.Generator, grid: int) -> dict[tuple[str, int], np.ndarray]:
    """Encoded traces keyed by (channel name, segment): (grid*grid, SAMPLES)
    arrays already in their big-endian storage type."""
    positions = grid * grid
    i, j = np.divmod(np.arange(positions), grid)
    surface = (60.0 + 1.5 * i * (32.0 / grid) + 0.8 * j * (32.0 / grid)
               + rng.normal(0.0, 0.3, positions))[:, None]
    t = np.linspace(0.0, 1.0, SAMPLES)[None, :]
    low, high, stiffness = 20.0, 120.0, 0.02
    out = {}
    for s in range(SEGMENTS):
        style = SEGMENT_STYLES[s % 3]
        if style == "extend":
            drive = np.broadcast_to(low + (high - low) * t, (positions, SAMPLES))
            deflection = stiffness * np.clip(drive - surface, 0.0, None)
        elif style == "pause":
            drive = np.full((positions, SAMPLES), high)
            deflection = stiffness * (high - surface) * (0.9 + 0.1 * np.exp(-6.0 * t))
        else:
            drive = np.broadcast_to(high - (high - low) * t, (positions, SAMPLES))
            deflection = stiffness * np.clip(drive - surface, 0.0, None)
            pulled = (drive < surface) & (drive > surface - 8.0)
            deflection = np.where(pulled, -0.15 * (surface - drive) / 8.0, deflection)
        deflection = deflection + rng.normal(0.0, 0.002, (positions, SAMPLES))
        measured = 0.98 * drive + 0.4 + rng.normal(0.0, 0.01, (positions, SAMPLES))
        # The drive is recorded as read back, with a little noise too.
        drive = drive + rng.normal(0.0, 0.001, (positions, SAMPLES))
        volts = {"height": drive, "vDeflection": deflection, "measuredHeight": measured}
        for channel in CHANNELS:
            out[(channel.name, s)] = encode(channel, volts[channel.name])
    return out


def write_file(path: Path, grid: int = GRID) -> None:
    traces = _traces(np.random.default_rng(SEED), grid)

    def members() -> Iterator[tuple[str, bytes]]:
        yield HEADER_MEMBER, header_text(grid).encode()
        for p in range(grid * grid):
            yield f"index/{p}/header.properties", position_header(p, grid)
            for s in range(SEGMENTS):
                prefix = f"index/{p}/segments/{s}"
                yield (f"{prefix}/segment-header.properties",
                       f"segment.index={s}\nsegment.style={SEGMENT_STYLES[s % 3]}\n"
                       f"segment.num-points={SAMPLES}\n".encode())
                for channel in CHANNELS:
                    yield f"{prefix}/channels/{channel.name}.dat", traces[(channel.name, s)][p].tobytes()

    write_zip(path, members(), compresslevel=6)


def realistic_file(grid: int = GRID) -> Path:
    """Path of the cached file for this grid, writing it first if needed."""
    directory = cache_dir()
    path = directory / f"realistic-v{FORMAT_VERSION}-grid{grid}.zu"
    if path.exists():
        return path
    directory.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=path.name + ".", suffix=".tmp")
    os.close(fd)
    try:
        write_file(Path(tmp), grid)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description="Write (once) and print the realistic benchmark file.")
    parser.add_argument("--grid", type=int, default=GRID, help="positions per side (default %(default)s)")
    args = parser.parse_args()
    if args.grid < 1:
        parser.error("--grid must be at least 1")
    path = realistic_file(args.grid)
    with zipfile.ZipFile(path) as zf:
        entries = len(zf.infolist())
    print(f"{path}: {entries} entries, {path.stat().st_size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
