"""What a data file holds, from its ZIP central directory alone.

Only member names are looked at; member data is always read through
`zu_data_reader`, which verifies it.
"""

from __future__ import annotations

import math
import os
import zipfile
from collections import Counter
from typing import Any
from collections.abc import Iterable

# Segments are a single byte in the reader's API.
MAX_SEGMENT = 255
_UTF8_NAME_FLAG = 0x800


def member_names(path: str | os.PathLike[str]) -> list[bytes]:
    """The stored names of all members, as bytes (the reader compares bytes)."""
    with zipfile.ZipFile(path) as archive:
        return [_stored_name(info) for info in archive.infolist()]


def _stored_name(info: zipfile.ZipInfo) -> bytes:
    # zipfile decodes names without the UTF-8 flag as cp437, which maps every
    # byte, so encoding back recovers the stored bytes exactly.
    if info.flag_bits & _UTF8_NAME_FLAG:
        return info.orig_filename.encode("utf-8", "surrogateescape")
    return info.orig_filename.encode("cp437")


def member_suffix(channel: str, segment: int) -> bytes:
    return f"/{segment}/channels/{channel}.dat".encode("utf-8", "surrogatepass")


def count_traces(names: Iterable[bytes], channel: str, segment: int) -> int:
    suffix = member_suffix(channel, segment)
    return sum(1 for name in names if name.endswith(suffix))


def traces_per_segment(names: Iterable[bytes], channels: Iterable[str]) -> dict[str, Counter[int]]:
    """For each channel, the number of its members in every segment that has any.

    A member counts for segment s exactly when its name ends with the path
    the reader looks for, so these numbers are what `get_channel_data`
    would find.
    """
    tails = {c: b"/channels/" + c.encode("utf-8", "surrogatepass") + b".dat" for c in set(channels)}
    counts: dict[str, Counter[int]] = {c: Counter() for c in tails}
    for name in names:
        for channel, tail in tails.items():
            if name.endswith(tail):
                segment = _segment_before(name[: -len(tail)])
                if segment is not None:
                    counts[channel][segment] += 1
    return counts


def _segment_before(head: bytes) -> int | None:
    """The segment number ending `head` as a whole directory name."""
    slash = head.rfind(b"/")
    digits = head[slash + 1 :]
    if slash < 0 or not digits.isdigit() or not digits.isascii():
        return None
    # The reader writes the segment in plain decimal, so "007" never matches.
    if len(digits) > 1 and digits.startswith(b"0"):
        return None
    value = int(digits)
    return value if value <= MAX_SEGMENT else None


def grid_side(traces: int) -> int | None:
    """n for an n x n grid of `traces` traces, or None when it is not square."""
    n = math.isqrt(traces)
    return n if traces > 0 and n * n == traces else None


def listed_segments(header: Any) -> list[int]:
    """Segments the header describes under "force-segments".

    Numbered groups win; otherwise a plain "count". Empty when the header
    says nothing usable.
    """
    group = header.get("force-segments") if isinstance(header, dict) else None
    if not isinstance(group, dict):
        return []
    numbered = sorted(
        int(key)
        for key, value in group.items()
        if isinstance(value, dict) and key.isascii() and key.isdigit() and int(key) <= MAX_SEGMENT
        and (key == "0" or not key.startswith("0"))
    )
    if numbered:
        return numbered
    count = group.get("count")
    if isinstance(count, str) and count.strip().isdigit():
        return list(range(min(int(count.strip()), MAX_SEGMENT + 1)))
    return []
