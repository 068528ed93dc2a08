"""Per-file work: what runs on a thread (or a cluster worker) for each file.

Every task opens the file with `zudata.open`, whose reads release the
interpreter lock, so tasks on several threads use several cores.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from . import _header, _walk
from ._run import Outcome, describe_error, stop_requested


def _open(path: Any, storage_options: dict[str, Any] | None = None) -> Any:
    from . import open as open_data_file

    return open_data_file(path, storage_options=storage_options)


class Selection(NamedTuple):
    """One channel in some segments and one unit type. `segment` None means
    every segment that has members for the channel; `unit` None the
    channel's base unit type."""

    channel: str
    segment: int | None
    unit: str | None


class Piece:
    """One array read (with the unit type it is in), or the error that
    stopped it."""

    __slots__ = ("channel", "error", "physical_unit", "segment", "unit", "value")

    def __init__(self, channel: str, segment: int | None, unit: str | None, error: str | None = None) -> None:
        self.channel = channel
        self.segment = segment
        self.unit = unit
        self.physical_unit: str | None = None
        self.value: Any = None
        self.error = error


def _header_text(data_file: Any) -> str:
    """The header as compact, sorted JSON. A task sends the text, not the
    nested dicts: pickling those to another process recurses once per
    level, and a hostile header nests deeper than pickle can go."""
    return _header.to_json(data_file.header, indent=None, sort_keys=True)


def read_channel(
    path: Any, channel: str, segment: int, unit: str | None, with_header: bool, dtype: str = "float64"
) -> Outcome:
    """One channel of one segment, as `DataFile.read` returns it."""
    try:
        with _open(path) as data_file:
            values = data_file.read(channel, segment, unit, dtype=dtype)
            header = _header_text(data_file) if with_header else None
    except Exception as exc:
        return Outcome(error=describe_error(exc))
    return Outcome(value=values, header=header, traces=values.shape[0] * values.shape[1])


class Catalogue(NamedTuple):
    """What one file holds, as far as a request is concerned: channel ->
    its unit types (base included; None when the header cannot say) and
    the segments in which it has traces."""

    units: dict[str, set[str] | None]
    segments: dict[str, set[int]]


def catalogue(path: Any, storage_options: dict[str, Any] | None = None) -> Outcome:
    """The file's `Catalogue`, from its header and directory (nothing is
    decoded)."""
    try:
        with _open(path, storage_options) as data_file:
            channels = list(dict.fromkeys(data_file.channels()))
            layout = data_file.layout()
            units: dict[str, set[str] | None] = {}
            for channel in channels:
                try:
                    units[channel] = {data_file.base_unit(channel), *data_file.units(channel)}
                except (LookupError, OSError):
                    units[channel] = None  # the read will say what is wrong
    except Exception as exc:
        return Outcome(error=describe_error(exc))
    segments = {channel: set(layout.get(channel, {})) for channel in channels}
    return Outcome(value=Catalogue(units, segments))


def unmet(selection: Selection, found: Catalogue) -> str | None:
    """Why a file with catalogue `found` cannot answer `selection`, in words
    that do not depend on the file (so that files can share them), or None."""
    channel, segment, unit = selection
    if channel not in found.units:
        return f"no channel {channel!r}"
    units = found.units[channel]
    if unit is not None and units is not None and unit not in units:
        return f"channel {channel!r} has no unit type {unit!r}"
    segments = found.segments[channel]
    if segment is None and not segments:
        return f"channel {channel!r} has no traces in any segment"
    if segment is not None and segment not in segments:
        return f"channel {channel!r} has no traces in segment {segment}"
    return None


def read_selections(
    path: Any,
    selections: tuple[Selection, ...],
    with_header: bool,
    dtype: str | None,
    skipped: dict[Any, frozenset[int]] | None = None,
    storage_options: dict[str, Any] | None = None,
) -> Outcome:
    """Every selection from one file, but those whose positions
    `skipped[path]` holds: a list of `Piece`s in selection order, segments
    ascending within a selection of every segment. An error that concerns
    the whole file (it cannot be opened) is the outcome's error."""
    leave_out = (skipped or {}).get(path, frozenset())
    try:
        with _open(path, storage_options) as data_file:
            header = _header_text(data_file) if with_header else None
            layout = data_file.layout() if any(s.segment is None for s in selections) else None
            pieces: list[Piece] = []
            for position, selection in enumerate(selections):
                if position in leave_out:
                    continue
                if selection.segment is not None:
                    segments = [selection.segment]
                else:
                    segments = list(layout.get(selection.channel, {})) if layout is not None else []
                    if not segments:
                        pieces.append(Piece(*selection, error=_no_members(data_file, selection.channel)))
                        continue
                pieces += [_read_piece(data_file, selection._replace(segment=s), dtype) for s in segments]
    except Exception as exc:
        return Outcome(error=describe_error(exc))
    traces = sum(p.value.shape[0] * p.value.shape[1] for p in pieces if p.value is not None)
    return Outcome(value=pieces, header=header, traces=traces)


def _read_piece(data_file: Any, selection: Selection, dtype: str | None) -> Piece:
    """One channel of one segment, in `dtype` when given; the unit type
    recorded is the one the values are in."""
    piece = Piece(*selection)
    if stop_requested():
        piece.error = "not read: interrupted"
        return piece
    try:
        # The reader rounds each value once into the type asked for, the
        # same bits as a cast of the float64 values, without that copy.
        values = data_file.read(selection.channel, selection.segment, selection.unit, dtype=dtype or "float64")
        if selection.unit is None:
            piece.unit = data_file.base_unit(selection.channel)
        piece.physical_unit = data_file.physical_unit(selection.channel, piece.unit)
    except Exception as exc:
        piece.error = describe_error(exc)
        return piece
    piece.value = values
    return piece


def _no_members(data_file: Any, channel: str) -> str:
    from ._errors import UnknownChannelError

    channels = data_file.channels()
    if channel not in channels:
        return str(UnknownChannelError(channel, channels))
    return f"channel {channel!r} has no traces in any segment"


def check_file(path: Any, storage_options: dict[str, Any] | None = None) -> Outcome:
    """Reads every channel of every segment once, in the channel's base unit."""
    where = ""
    try:
        with _open(path, storage_options) as data_file:
            header = data_file.header
            # Sorted, so that the error reported for a file is the same every run.
            channels = sorted(set(data_file.channels()))
            segments = _walk.listed_segments(header)
            if not segments:
                layout = data_file.layout()
                segments = sorted({s for per_channel in layout.values() for s in per_channel})
            if channels and not segments:
                return Outcome(error="no segment listed in the header and no channel member in the archive")
            traces = 0
            for channel in channels:
                for segment in segments:
                    if stop_requested():
                        return Outcome(error="not finished: interrupted")
                    where = f"channel {channel!r}, segment {segment}: "
                    values = data_file.read(channel, segment)
                    traces += values.shape[0] * values.shape[1]
    except Exception as exc:
        return Outcome(error=where + describe_error(exc))
    return Outcome(value={"channels": len(channels), "segments": segments}, traces=traces)
