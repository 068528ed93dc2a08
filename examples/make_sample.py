"""Writes a synthetic Zu data file: force curves recorded on an n x n grid.

The file is a ZIP archive (every member DEFLATE-compressed) holding the
header "shared-data/header.properties" and, for every grid position p and
segment s, one member "index/<p>/segments/<s>/channels/<name>.dat" per
channel: 100 big-endian 4-byte samples (">f4" for "float-data" channels,
">i4" otherwise). Positions are written in grid order, so the m-th member of
a channel and segment is grid cell (m // n, m % n).

Segments cycle through extend (the tip approaches and presses into the
surface), pause and retract (the tip pulls off, with an adhesion dip).

Command line:

    python examples/make_sample.py sample.zu [--grid 4] [--segments 3]

As a module: `write_sample` writes a file, `expected_values` gives the
values a reader should return for a channel, segment and unit type. The
benchmark's recording (bench/realistic.py) uses the same channels and header
pieces (`recording_header`, `position_header`, `encode`). Both write through
zudata.testfiles, which needs the installed package.
"""

from __future__ import annotations

import argparse
import dataclasses
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import numpy.typing as npt

from zudata.testfiles import HEADER_NAME as HEADER_MEMBER
from zudata.testfiles import channel_lines, write_zip

SAMPLES_PER_TRACE = 100
DEFAULT_GRID = 4
DEFAULT_SEGMENTS = 3
DEFAULT_SEED = 20240517

SEGMENT_STYLES = ("extend", "pause", "retract")


@dataclasses.dataclass(frozen=True)
class Conversion:
    """One conversion record: value = slot value * multiplier + offset."""

    slot: str
    offset: float
    multiplier: float
    unit: str | None = None  # the physical unit of the values it gives


@dataclasses.dataclass(frozen=True)
class Channel:
    channel_id: str
    name: str
    sample_type: str
    encoder_offset: float
    encoder_multiplier: float
    base: str
    conversions: dict[str, Conversion]

    @property
    def dtype(self) -> str:
        return ">f4" if self.sample_type == "float-data" else ">i4"

    def header_lines(self) -> str:
        return channel_lines(
            self.channel_id,
            self.name,
            sample_type=self.sample_type,
            encoder=(repr(self.encoder_offset), repr(self.encoder_multiplier)),
            encoder_unit="V",
            base=self.base,
            conversions=[(unit, c.slot, repr(c.offset), repr(c.multiplier)) for unit, c in self.conversions.items()],
            conversion_list=True,
        ) + "".join(
            f"lcd-info.{self.channel_id}.conversion-set.conversion.{name}.scaling.unit.unit={c.unit}\n"
            for name, c in self.conversions.items()
            if c.unit is not None
        )


CHANNELS: tuple[Channel, ...] = (
    # Piezo drive voltage, stored as floats; converted to the nominal
    # extension in metres and from there to the calibrated distance.
    Channel(
        channel_id="0",
        name="height",
        sample_type="float-data",
        encoder_offset=0.0,
        encoder_multiplier=1.0,
        base="volts",
        conversions={
            "nominal": Conversion("volts", 0.0, 2.5e-7, "m"),
            "distance": Conversion("nominal", -1.2e-7, 0.987, "m"),
        },
    ),
    # Cantilever deflection from a signed 32-bit ADC spanning +-10 V with a
    # small electronic offset; volts -> metres (sensitivity) -> newtons
    # (spring constant).
    Channel(
        channel_id="1",
        name="vDeflection",
        sample_type="integer-data",
        encoder_offset=-0.0125,
        encoder_multiplier=10.0 / 2**31,
        base="volts",
        conversions={
            "distance": Conversion("volts", 0.0, 4.2e-8, "m"),
            "force": Conversion("distance", 0.0, 0.08, "N"),
        },
    ),
    # Height sensor read back as integer counts; its calibration runs in the
    # opposite direction to the drive and has an offset.
    Channel(
        channel_id="2",
        name="measuredHeight",
        sample_type="integer-data",
        encoder_offset=5.0,
        encoder_multiplier=2.0**-14,
        base="volts",
        conversions={
            "nominal": Conversion("volts", 3.5e-5, -2.5e-7, "m"),
            # No physical unit recorded for this one.
            "calibrated": Conversion("nominal", 1e-7, 1.02),
        },
    ),
)


def channel_by_name(name: str) -> Channel:
    for channel in CHANNELS:
        if channel.name == name:
            return channel
    raise KeyError(name)


def recording_header(settings: list[str], segments: int) -> str:
    """Header text of a recording: the `settings` lines, then those of every
    segment and every channel; one key=value line each, ending in "\\n"."""
    lines = list(settings)
    for s in range(segments):
        lines.append(f"force-segments.{s}.style={SEGMENT_STYLES[s % len(SEGMENT_STYLES)]}")
        lines.append(f"force-segments.{s}.num-points={SAMPLES_PER_TRACE}")
    return "".join(line + "\n" for line in lines) + "".join(channel.header_lines() for channel in CHANNELS)


def header_text(grid: int = DEFAULT_GRID, segments: int = DEFAULT_SEGMENTS) -> str:
    """The header member's text."""
    return recording_header(
        [
            "# Zu data file header (synthetic sample)",
            "file-format-version=2.0",
            "start-time=2024-05-17T10:32:11Z",
            "force-settings.spring-constant=0.08",
            "force-settings.sensitivity=4.2e-8",
            "force-settings.extend-k-length=1.0e-6",
            "force-settings.relative-setpoint=1.0",
            f"force-segments.count={segments}",
            f"position-pattern.grid.ilength={grid}",
            f"position-pattern.grid.jlength={grid}",
            "position-pattern.grid.ulength=1.0e-5",
            "position-pattern.grid.vlength=1.0e-5",
            f"position-pattern.number-of-points={grid * grid}",
        ],
        segments,
    )


def position_header(p: int, grid: int) -> bytes:
    """The properties member of grid position p."""
    i, j = divmod(p, grid)
    return f"position.index={p}\nposition.i={i}\nposition.j={j}\n".encode()


def _curves(
    rng: np.random.Generator, surface: float, style: str
) -> dict[str, npt.NDArray[np.float64]]:
    """Base-unit (volts) curves of every channel for one position and segment."""
    t = np.linspace(0.0, 1.0, SAMPLES_PER_TRACE)
    low, high = 20.0, 120.0
    stiffness = 0.02  # deflection volts per volt of drive past contact
    if style == "extend":
        drive = low + (high - low) * t
        deflection = stiffness * np.clip(drive - surface, 0.0, None)
    elif style == "pause":
        drive = np.full_like(t, high)
        deflection = stiffness * (high - surface) * (0.9 + 0.1 * np.exp(-6.0 * t))
    else:
        drive = high - (high - low) * t
        deflection = stiffness * np.clip(drive - surface, 0.0, None)
        adhesion = 0.15
        pulled = (drive < surface) & (drive > surface - 8.0)
        deflection = np.where(pulled, -adhesion * (surface - drive) / 8.0, deflection)
    deflection = deflection + rng.normal(0.0, 0.002, t.size)
    measured = 0.98 * drive + 0.4 + rng.normal(0.0, 0.01, t.size)
    return {"height": drive, "vDeflection": deflection, "measuredHeight": measured}


def encode(channel: Channel, volts: npt.NDArray[np.float64]) -> npt.NDArray[np.generic]:
    raw = (volts - channel.encoder_offset) / channel.encoder_multiplier
    if channel.sample_type == "float-data":
        return raw.astype(">f4")
    return np.rint(raw).astype(">i4")


def generate_raw(
    grid: int = DEFAULT_GRID, segments: int = DEFAULT_SEGMENTS, seed: int = DEFAULT_SEED
) -> dict[tuple[str, int], npt.NDArray[np.generic]]:
    """Raw samples keyed by (channel name, segment), shape (grid * grid, 100),
    rows in member (grid) order; float32 or int32 in native byte order."""
    rng = np.random.default_rng(seed)
    raw: dict[tuple[str, int], list[npt.NDArray[np.generic]]] = {
        (c.name, s): [] for c in CHANNELS for s in range(segments)
    }
    for p in range(grid * grid):
        i, j = divmod(p, grid)
        # A gently tilted surface with a bump in the middle of the grid.
        surface = 60.0 + 1.5 * i + 0.8 * j + 6.0 * np.exp(-((i - grid / 2) ** 2 + (j - grid / 2) ** 2) / 2.0)
        surface += rng.normal(0.0, 0.3)
        for s in range(segments):
            curves = _curves(rng, surface, SEGMENT_STYLES[s % len(SEGMENT_STYLES)])
            for channel in CHANNELS:
                raw[(channel.name, s)].append(encode(channel, curves[channel.name]))
    return {key: np.stack(rows) for key, rows in raw.items()}


def to_unit(channel: Channel, raw: npt.NDArray[np.generic], unit_type: str) -> npt.NDArray[np.float64]:
    """Raw samples converted to unit_type by walking the conversion chain."""
    values = raw.astype(np.float64) * channel.encoder_multiplier + channel.encoder_offset
    chain = []
    unit = unit_type
    while unit != channel.base:
        conv = channel.conversions[unit]
        chain.append(conv)
        unit = conv.slot
    for conv in reversed(chain):
        values = values * conv.multiplier + conv.offset
    return values


def expected_values(
    name: str,
    segment: int,
    unit_type: str,
    grid: int = DEFAULT_GRID,
    segments: int = DEFAULT_SEGMENTS,
    seed: int = DEFAULT_SEED,
) -> npt.NDArray[np.float64]:
    """What a reader should return for the sample written with the same
    arguments: shape (grid, grid, 100)."""
    raw = generate_raw(grid, segments, seed)[(name, segment)]
    return to_unit(channel_by_name(name), raw, unit_type).reshape(grid, grid, SAMPLES_PER_TRACE)


def write_sample(
    path: str | Path,
    grid: int = DEFAULT_GRID,
    segments: int = DEFAULT_SEGMENTS,
    seed: int = DEFAULT_SEED,
) -> Path:
    raw = generate_raw(grid, segments, seed)

    def members() -> Iterator[tuple[str, bytes]]:
        yield HEADER_MEMBER, header_text(grid, segments).encode("utf-8")
        for p in range(grid * grid):
            yield f"index/{p}/header.properties", position_header(p, grid)
            for s in range(segments):
                for channel in CHANNELS:
                    samples = raw[(channel.name, s)][p].astype(channel.dtype)
                    yield f"index/{p}/segments/{s}/channels/{channel.name}.dat", samples.tobytes()

    return write_zip(Path(path), members())


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Write a synthetic Zu data file.")
    parser.add_argument("path", type=Path, help="file to write")
    parser.add_argument("--grid", type=int, default=DEFAULT_GRID, help="positions per side (default %(default)s)")
    parser.add_argument("--segments", type=int, default=DEFAULT_SEGMENTS,
                        help="segments per position (default %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help="random seed (default %(default)s)")
    args = parser.parse_args(argv)
    if args.grid < 1 or not 1 <= args.segments <= 256:
        parser.error("--grid must be at least 1 and --segments between 1 and 256")
    path = write_sample(args.path, args.grid, args.segments, args.seed)
    members = 1 + args.grid * args.grid * (1 + args.segments * len(CHANNELS))
    print(f"wrote {path}: {args.grid}x{args.grid} positions, {args.segments} segments, {members} members")


if __name__ == "__main__":
    main()
