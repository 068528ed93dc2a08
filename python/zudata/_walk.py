"""Facts about a data file's segments that its header states."""

from __future__ import annotations

import math
from typing import Any

# Segments are a single byte in the reader's API.
MAX_SEGMENT = 255
# Samples in one trace: the last axis of every array read.
TRACE_LENGTH = 100


def grid_side(traces: int) -> int | None:
    """n for an n x n grid of `traces` traces, or None when it is not square.
    No traces are no grid (None): there is nothing to read, and a 0 x 0
    array would only stand for a segment that is missing."""
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
