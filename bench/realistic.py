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
import tempfile
import zipfile
from pathlib import Path

import numpy as np

# Bump when the content changes, so that a stale cached file is not reused.
FORMAT_VERSION = 1
GRID = 100
SEGMENTS = 3
SAMPLES = 100
SEED = 20240517
HEADER_MEMBER = "shared-data/header.properties"
SEGMENT_STYLES = ("extend", "pause", "retract")

# (channel id, name, sample type, encoder offset, encoder multiplier,
#  {unit: (slot, offset, multiplier)})
CHANNELS = (
    ("0", "height", "float-data", 0.0, 1.0,
     {"nominal": ("volts", 0.0, 2.5e-7), "distance": ("nominal", -1.2e-7, 0.987)}),
    ("1", "vDeflection", "integer-data", -0.0125, 10.0 / 2**31,
     {"distance": ("volts", 0.0, 4.2e-8), "force": ("distance", 0.0, 0.08)}),
    ("2", "measuredHeight", "integer-data", 5.0, 2.0**-14,
     {"nominal": ("volts", 3.5e-5, -2.5e-7), "calibrated": ("nominal", 1e-7, 1.02)}),
)

# The request benchmarks make: one channel, one segment, a two-step chain.
REQUEST = ("height", 0, "distance")


def cache_dir() -> Path:
    env = os.environ.get("ZU_BENCH_CACHE")
    if env:
        return Path(env)
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "zu_data_reader_bench"


def header_text(grid: int) -> str:
    lines = [
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
    ]
    for s in range(SEGMENTS):
        lines.append(f"force-segments.{s}.style={SEGMENT_STYLES[s % 3]}")
        lines.append(f"force-segments.{s}.num-points={SAMPLES}")
    for cid, name, stype, enc_off, enc_mul, conversions in CHANNELS:
        key = f"lcd-info.{cid}"
        lines += [
            f"{key}.channel.name={name}",
            f"{key}.type={stype}",
            f"{key}.encoder.scaling.offset={enc_off!r}",
            f"{key}.encoder.scaling.multiplier={enc_mul!r}",
            f"{key}.encoder.scaling.unit.unit=V",
            f"{key}.conversion-set.conversions.base=volts",
            f"{key}.conversion-set.conversions.list={' '.join(conversions)}",
        ]
        for unit, (slot, off, mul) in conversions.items():
            q = f"{key}.conversion-set.conversion.{unit}"
            lines += [
                f"{q}.base-calibration-slot={slot}",
                f"{q}.scaling.offset={off!r}",
                f"{q}.scaling.multiplier={mul!r}",
            ]
    return "".join(line + "\n" for line in lines)


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
        for _cid, name, stype, enc_off, enc_mul, _conv in CHANNELS:
            raw = (volts[name] - enc_off) / enc_mul
            out[(name, s)] = raw.astype(">f4") if stype == "float-data" else np.rint(raw).astype(">i4")
    return out


def write_file(path: Path, grid: int = GRID) -> None:
    rng = np.random.default_rng(SEED)
    traces = _traces(rng, grid)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        zf.writestr(HEADER_MEMBER, header_text(grid).encode())
        for p in range(grid * grid):
            i, j = divmod(p, grid)
            zf.writestr(f"index/{p}/header.properties",
                        f"position.index={p}\nposition.i={i}\nposition.j={j}\n".encode())
            for s in range(SEGMENTS):
                prefix = f"index/{p}/segments/{s}"
                zf.writestr(f"{prefix}/segment-header.properties",
                            f"segment.index={s}\nsegment.style={SEGMENT_STYLES[s % 3]}\n"
                            f"segment.num-points={SAMPLES}\n".encode())
                for _cid, name, *_ in CHANNELS:
                    zf.writestr(f"{prefix}/channels/{name}.dat", traces[(name, s)][p].tobytes())


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
