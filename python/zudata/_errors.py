"""The exceptions of zudata.open() and the one place where the native
reader's failures become them."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from typing import Any

from ._reader import NativeError

__all__ = [
    "FormatError",
    "GridError",
    "RequestError",
    "UnknownChannelError",
    "UnknownSegmentError",
    "UnknownUnitError",
]


class FormatError(OSError):
    """The file is damaged or is not a data file this reader understands.

    `filename` names the file; `errno` is None (what the operating system
    refuses comes as the standard OSError subclasses instead)."""

    def __init__(self, message: str, filename: str | os.PathLike[str] | None = None) -> None:
        super().__init__(None, message, filename)

    def __str__(self) -> str:
        if self.filename is None:
            return str(self.strerror)
        return f"{self.strerror}: {os.fspath(self.filename)!r}"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.strerror, self.filename))


class RequestError(LookupError):
    """A request that this file cannot answer; the message names what exists."""


class UnknownChannelError(RequestError):
    """No channel of that name. `channels` lists the file's channels."""

    def __init__(self, channel: str, channels: list[str]) -> None:
        super().__init__(f"no channel {channel!r} in this file; its channels are {_listing(channels)}")
        self.channel = channel
        self.channels = channels


class UnknownUnitError(RequestError):
    """The channel has no such unit type. `units` lists the ones it has,
    its base unit type `base` (when known) first."""

    def __init__(self, channel: str, unit: str, units: list[str], base: str | None = None) -> None:
        listed = [u for u in units if u != base]
        shown = _listing(listed) if base is None else f"{base!r} (base)" + "".join(f", {u!r}" for u in listed)
        super().__init__(f"channel {channel!r} has no unit type {unit!r}; its unit types are {shown}")
        self.channel = channel
        self.unit = unit
        self.base = base
        self.units = listed if base is None else [base, *listed]


class UnknownSegmentError(RequestError):
    """No member of the channel in that segment. `segments` lists the
    segments in which the channel has members."""

    def __init__(self, channel: str, segment: object, segments: list[int]) -> None:
        super().__init__(
            f"channel {channel!r} has no traces in segment {segment!r}; "
            f"it has traces in segments {_listing(segments)}"
        )
        self.channel = channel
        self.segment = segment
        self.segments = segments


class GridError(RequestError):
    """The traces do not fill an (n, n, 100) grid: their count `traces` is
    not a square, or a trace holds more than 100 samples."""

    def __init__(self, channel: str, segment: int, traces: int, long_trace: bool) -> None:
        where = f"channel {channel!r} in segment {segment}"
        if long_trace:
            message = f"a trace of {where} holds more than 100 samples, so the traces do not fit (n, n, 100)"
        else:
            message = f"{where} has {traces} traces, which is not a square number, so they do not fill an n x n grid"
        super().__init__(message)
        self.channel = channel
        self.segment = segment
        self.traces = traces


def _listing(items: Iterable[object]) -> str:
    shown = [repr(item) if isinstance(item, str) else str(item) for item in items]
    return ", ".join(shown) if shown else "(none)"


def _or_none(query: Callable[[], Any]) -> Any:
    """The answer of a follow-up question that names what exists, or None
    when the file cannot answer it either."""
    try:
        return query()
    except NativeError:
        return None


def mapped_error(
    err: NativeError,
    location: str | os.PathLike[str],
    reader: Any = None,
    channel: str | None = None,
    segment: int | None = None,
    unit: str | None = None,
) -> BaseException:
    """The public exception for a failure of the native reader.

    `err.args` is (kind, message, errno, ...) with kind the core's error
    kind. `reader`, `channel`, `segment` and `unit` describe the request,
    when there was one, so that a request error can name what exists."""
    kind, message, number, *extra = err.args
    if kind == "Io" and number is not None:
        # OSError picks the subclass (FileNotFoundError, ...) from the number.
        return OSError(number, os.strerror(number), os.fspath(location))
    if reader is not None and channel is not None:
        if kind == "InvalidChannel":
            channels = _or_none(reader.channels)
            if channels is not None:
                return UnknownChannelError(channel, list(dict.fromkeys(channels)))
        if kind == "HeaderMissingKey" and unit is not None:
            units = _or_none(lambda: reader.units(channel))
            base = _or_none(lambda: reader.base_unit(channel))
            if units is not None and base is not None and unit != base and unit not in units:
                return UnknownUnitError(channel, unit, units, base)
        if kind in ("NoFile", "OutOfRange"):
            counts = _or_none(reader.layout)
            if counts is not None:
                return UnknownSegmentError(channel, segment, sorted(counts.get(channel, {})))
        if kind == "Grid" and segment is not None:
            traces, long_trace = extra
            return GridError(channel, segment, traces, long_trace)
    return FormatError(_which_damage(kind, message, location), os.fspath(location))


# What the core reports when it finds no archive, and when an archive has
# no header member.
_NO_END_RECORD = "Missing end of central directory"
_NO_HEADER_MEMBER = "Expected File shared-data header, but this file was not present in the archive."
_ZIP_STARTS = (b"PK\x03\x04", b"PK\x05\x06", b"PK\x07\x08")


def _which_damage(kind: str, message: str, location: str | os.PathLike[str]) -> str:
    """The core's message, prefixed with which of the usual cases it is
    when that message alone leaves it open: a file that is no ZIP archive
    and a truncated one both lack the end record; a ZIP archive without a
    header member is some other archive."""
    if kind == "Zip" and message == _NO_END_RECORD:
        start = _first_bytes(location)
        if start == b"":
            return f"an empty file, not a ZIP archive ({message})"
        if start is not None and start.startswith(_ZIP_STARTS):
            return f"truncated: the file starts like a ZIP archive but its end record is missing ({message})"
        if start is not None:
            return f"not a ZIP archive ({message})"
    if kind == "NoFile" and message == _NO_HEADER_MEMBER:
        return f"a ZIP archive but not a Zu data file: it has no header member ({message})"
    return message


def _first_bytes(location: str | os.PathLike[str]) -> bytes | None:
    try:
        with open(location, "rb") as file:
            return file.read(4)
    except (OSError, TypeError, ValueError):
        return None
