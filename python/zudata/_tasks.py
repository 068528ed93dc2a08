"""Per-file work: what runs in a worker for each file."""

from __future__ import annotations

import os
from typing import Any

from . import _header, _walk
from ._quiet import diagnostics_discarded
from ._run import Outcome, describe_error


def read_channel(path: Any, channel: str, segment: int, unit: str, with_header: bool) -> Outcome:
    from zu_data_reader import ZuDataFIle

    try:
        with diagnostics_discarded():
            data_file = ZuDataFIle(path)
            values = data_file.get_channel_data(channel, segment, unit)
            header = data_file.header if with_header else None
    except Exception as exc:
        return Outcome(error=describe_error(exc))
    return Outcome(value=values, header=header, traces=values.shape[0] * values.shape[1])


def check_file(path: Any) -> Outcome:
    """Reads every channel of every segment once, in the channel's base unit."""
    from zu_data_reader import ZuDataFIle

    where = ""
    try:
        with diagnostics_discarded():
            data_file = ZuDataFIle(path)
            header = data_file.header
            # Sorted, so that the error reported for a file is the same every run.
            channels = sorted(set(data_file.get_channels()))
            segments = _walk.listed_segments(header) or _segments_with_members(path, channels)
            if channels and not segments:
                return Outcome(error="no segment listed in the header and no channel member in the archive")
            traces = 0
            for channel in channels:
                # The base unit needs no conversion record; a header without
                # one lets the module report what is missing.
                unit = _header.base_unit(header, channel) or ""
                for segment in segments:
                    where = f"channel {channel!r}, segment {segment}: "
                    values = data_file.get_channel_data(channel, segment, unit)
                    traces += values.shape[0] * values.shape[1]
    except Exception as exc:
        return Outcome(error=where + describe_error(exc))
    return Outcome(value={"channels": len(channels), "segments": segments}, traces=traces)


def _segments_with_members(path: Any, channels: list[str]) -> list[int]:
    counts = _walk.traces_per_segment(_walk.member_names(os.fspath(path)), channels)
    return sorted({s for per_channel in counts.values() for s in per_channel})
