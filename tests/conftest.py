"""Shared helpers: well-formed Zu data files built with the standard library.

Broken archives (bad signatures, sizes, offsets...) come from the byte-level
writer in zipwriter.py instead; the standard library cannot produce them.
"""

from __future__ import annotations

import struct
import zipfile
from collections.abc import Iterable, Sequence
from pathlib import Path

import pytest

HEADER_NAME = "shared-data/header.properties"


def write_zu_file(
    path: Path,
    header: str | bytes | None,
    members: Iterable[tuple[str, bytes]] = (),
) -> Path:
    """Writes a deflated ZIP with the header member (unless None) first."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        if header is not None:
            zf.writestr(HEADER_NAME, header)
        for name, data in members:
            zf.writestr(name, data)
    return path


def channel_lines(
    cid: str,
    name: str,
    *,
    sample_type: str = "float-data",
    encoder: tuple[str, str] | None = ("0", "1"),
    base: str = "volts",
    conversions: Sequence[tuple[str, str, str, str]] = (),
) -> str:
    """Header lines of one channel. `conversions` holds (unit, slot, offset,
    multiplier) records."""
    p = f"lcd-info.{cid}"
    lines = [f"{p}.channel.name={name}", f"{p}.type={sample_type}"]
    if encoder is not None:
        lines += [
            f"{p}.encoder.scaling.offset={encoder[0]}",
            f"{p}.encoder.scaling.multiplier={encoder[1]}",
        ]
    lines.append(f"{p}.conversion-set.conversions.base={base}")
    for unit, slot, offset, multiplier in conversions:
        q = f"{p}.conversion-set.conversion.{unit}"
        lines += [
            f"{q}.base-calibration-slot={slot}",
            f"{q}.scaling.offset={offset}",
            f"{q}.scaling.multiplier={multiplier}",
        ]
    return "".join(line + "\n" for line in lines)


def floats_be(*values: float) -> bytes:
    return struct.pack(f">{len(values)}f", *values)


def ints_be(*values: int) -> bytes:
    return struct.pack(f">{len(values)}i", *values)


@pytest.fixture
def zu_file(tmp_path):
    """Factory: zu_file(header, members=()) -> path of a new data file."""
    counter = iter(range(1_000_000))

    def make(header, members=()):
        return write_zu_file(tmp_path / f"data{next(counter)}.zip", header, members)

    return make
