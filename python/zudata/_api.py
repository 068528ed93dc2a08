"""zudata.open(): a data file opened for use from any number of threads.

The reading runs in the native part (zudata._reader) without the
interpreter lock; this module gives it the Python face: the context
manager, the request errors that name what exists, the diagnostic values
on the "zudata" logger and the layout as named tuples.
"""

from __future__ import annotations

import logging
import os
import pathlib
from contextvars import ContextVar
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, cast

from . import _remote
from ._errors import mapped_error
from ._reader import NativeError, Reader, StopFlag
from ._walk import grid_side

if TYPE_CHECKING:
    # Only for annotations: `zu info` and the like never need NumPy, whose
    # import costs more than reading a file's layout.
    import numpy as np
    import numpy.typing as npt

__all__ = ["DataFile", "SegmentLayout", "open"]

_log = logging.getLogger("zudata")

# The flag that ends the reads made in this context once it is set: the
# threads of a pool (which never see a signal) and a program whose signal
# handler only records the request set one. Without it, only Ctrl-C on the
# main thread ends a read.
read_stop: ContextVar[StopFlag | None] = ContextVar("zudata_read_stop", default=None)


class SegmentLayout(NamedTuple):
    """What one channel holds in one segment: `traces` members, laid out as
    a `side` x `side` grid when their count is a square (else None), each
    trace `shortest` to `samples` samples long (a member holds 4 bytes per
    sample). A read pads every trace with NaN to 100 values, so the samples
    of a trace past its own length are NaN."""

    #: The number of members (traces) of the channel in the segment.
    traces: int
    #: n when traces is n * n, else None (no square grid).
    side: int | None
    #: The samples of the longest trace.
    samples: int
    #: The samples of the shortest trace (== samples when all are as long).
    shortest: int


class DataFile:
    """One data file, open for reading. Made by zudata.open(location).

    Any number of threads may call its methods at once; read() and
    layout() run without the interpreter lock. close() (or leaving a with
    block) closes it: reads already running on other threads finish, later
    calls raise ValueError.

    The archive's directory is read once, when the file is opened, and
    its channel members indexed: read() and layout() use that index, and a
    read fetches members that lie together with one read of at most a few
    MiB. A read of a file that
    was rewritten after it was opened raises FormatError."""

    __slots__ = ("__weakref__", "_location", "_reader")

    def __init__(self, location: str | os.PathLike[str], *, _window_bytes: int = 0) -> None:
        # _window_bytes: the most bytes a read fetches at once (0: the
        # default, a few MiB); tests make it tiny.
        path = os.fspath(location)
        if isinstance(path, str) and "\0" in path:
            raise ValueError("embedded null byte")
        try:
            self._reader = Reader(location, _window_bytes)
        except NativeError as err:
            raise mapped_error(err, path) from None
        self._location = pathlib.Path(path)

    # ---- life ------------------------------------------------------------

    def close(self) -> None:
        """Closes the file; calling it again does nothing."""
        self._reader.close()

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._reader.closed

    def __enter__(self) -> DataFile:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<zudata.DataFile {os.fspath(self._location)!r} {state}>"

    # ---- what the header says ---------------------------------------------

    @property
    def location(self) -> pathlib.Path:
        """The path the file was opened from, as given (not resolved)."""
        return self._location

    @property
    def header(self) -> dict[str, Any]:
        """The whole header as nested dicts of str, built afresh on each access."""
        try:
            return self._reader.header
        except NativeError as err:
            raise mapped_error(err, self._location) from None

    def channels(self) -> list[str]:
        """The channel names, in the header's order."""
        try:
            return self._reader.channels()
        except NativeError as err:
            raise mapped_error(err, self._location) from None

    def units(self, channel: str) -> list[str]:
        """The unit types `channel` can be converted into."""
        return self._channel_query(self._reader.units, channel)

    def base_unit(self, channel: str) -> str:
        """The unit type the channel's raw samples are scaled into; read()
        uses it when no unit is given."""
        return self._channel_query(self._reader.base_unit, channel)

    def physical_unit(self, channel: str, unit: str | None = None) -> str | None:
        """The physical unit ("V", "N", ...) the header gives for `channel`'s
        values in unit type `unit` (None: the base unit type), or None when
        the header gives none. The base unit type's is the encoder's
        (`encoder.scaling.unit.unit`), another's its conversion record's
        (`conversion-set.conversion.<unit>.scaling.unit.unit`)."""
        if unit is not None and unit == self.base_unit(channel):
            unit = None
        record = _channel_record(self.header, channel)
        path = ("encoder",) if unit is None else ("conversion-set", "conversion", unit)
        node: Any = record
        for key in (*path, "scaling", "unit", "unit"):
            node = node.get(key) if isinstance(node, dict) else None
        return node if isinstance(node, str) and node.strip() else None

    def sample_type(self, channel: str) -> str:
        """The channel's sample type text ("float-data" for binary32
        samples; anything else means signed 32-bit integers)."""
        return self._channel_query(self._reader.sample_type, channel)

    def _channel_query(self, query: Any, channel: str) -> Any:
        try:
            return query(channel)
        except NativeError as err:
            raise mapped_error(err, self._location, self._reader, channel) from None

    # ---- data --------------------------------------------------------------

    def read(
        self,
        channel: str,
        segment: int,
        unit: str | None = None,
        *,
        threads: int | None = None,
        dtype: npt.DTypeLike = None,
        out: npt.NDArray[Any] | None = None,
    ) -> npt.NDArray[np.floating[Any]]:
        """Every trace of `channel` in `segment`, converted into `unit` (the
        base unit type when None): an array of shape (n, n, 100).

        `dtype` is float64 (the default) or float32 (np.float32, "float32",
        "f4"...). float32 values are computed in double and rounded once, so
        they equal the float64 result cast to float32, bit for bit, without
        a float64 copy of the whole result ever existing. `out`, a
        C-contiguous writeable array of exactly the result's shape and
        dtype (when dtype is None, out's dtype decides), is filled in place
        and returned; a wrong one raises ValueError (TypeError if it is no
        ndarray) before anything is read.

        Runs without the interpreter lock, so other threads go on meanwhile;
        Ctrl-C interrupts it. The conversion's diagnostic values go to the
        "zudata" logger at DEBUG level.

        `threads` splits the members over that many threads (the calling
        one and helpers of a pool the module keeps); None means as many as
        the machine has cores, 1 reads on the calling thread alone. The
        result is the same, bit for bit, for every count. Helpers are lent
        only while cores are free: every running read counts its calling
        thread and the helpers it holds, and together they never exceed
        the core count, so read_many(jobs=...), `zu --jobs`, to_dask and
        the xarray backend, which run several reads at once, do not
        oversubscribe the machine (their reads get helpers only when fewer
        reads than cores run)."""
        reader = self._reader
        dtype_name = value_type(dtype, out)
        lines: list[str] | None = [] if _log.isEnabledFor(logging.DEBUG) else None
        try:
            return reader.read(channel, segment, unit, lines, read_stop.get(), threads, dtype_name, out)
        except NativeError as err:
            raise mapped_error(err, self._location, reader, channel, segment, unit) from None
        except OverflowError:
            # A segment outside 0..255, which no file can hold.
            raise mapped_error(
                NativeError("OutOfRange", "segment out of range", None), self._location, reader, channel, segment
            ) from None
        finally:
            if lines:
                for line in lines:
                    _log.debug("%s %s segment %s: %s", os.fspath(self._location), channel, segment, line)

    def layout(self) -> dict[str, dict[int, SegmentLayout]]:
        """channel -> segment -> SegmentLayout for every channel and every
        segment that has members, from the archive's directory alone
        (nothing is decoded: trace lengths are the members' recorded
        sizes). A channel without members maps to {}."""
        try:
            counts = self._reader.layout()
        except NativeError as err:
            raise mapped_error(err, self._location) from None
        return {
            channel: {
                segment: SegmentLayout(traces, grid_side(traces), longest, shortest)
                for segment, (traces, shortest, longest) in segments.items()
            }
            for channel, segments in counts.items()
        }


def value_type(dtype: Any, out: Any = None) -> str:
    """"float64" or "float32" for a read's `dtype` (None: out's dtype when
    out is an array, else float64); any other dtype is a ValueError, and
    something that is no dtype at all a TypeError."""
    if dtype is None:
        found = getattr(out, "dtype", None)
        if found is None:
            return "float64"
        dtype = found
    import numpy as np

    try:
        resolved = np.dtype(dtype)
    except TypeError as err:
        raise TypeError(f"dtype: {dtype!r} is no dtype ({err})") from None
    if resolved == np.float64:
        return "float64"
    if resolved == np.float32:
        return "float32"
    raise ValueError(f"dtype: {resolved} is not supported; reads give float64 or float32")


def _channel_record(header: dict[str, Any], channel: str) -> dict[str, Any]:
    """The first record under "lcd-info" named `channel`, as the reads pick
    it; {} when there is none."""
    table = header.get("lcd-info")
    for record in table.values() if isinstance(table, dict) else ():
        names = record.get("channel") if isinstance(record, dict) else None
        if isinstance(names, dict) and names.get("name") == channel:
            return record
    return {}


def open(  # noqa: A001 - the package's way in
    location: str | os.PathLike[str] | _remote.BinaryFile | _remote.FsspecFile,
    *,
    storage_options: dict[str, Any] | None = None,
    fetch_gap: int | None = None,
) -> DataFile:
    """Opens the data file at `location` (see DataFile): a local path, a URL
    of any installed fsspec filesystem ("https://", "s3://", "memory://",
    "file://"...; `storage_options` go to that filesystem), an fsspec
    OpenFile, or a binary file object with seek and read.

    A remote file is fetched in few requests: its tail, directory and header
    at open, and for each read the windows it needs, fetched concurrently.
    Gaps between windows up to `fetch_gap` bytes (default 1 MiB, about what
    a 20 ms round trip costs at 50 MB/s) are fetched rather than split; a
    slower link or a longer round trip wants a larger one. A failed request
    or a file that changed raises an OSError naming the location."""
    if _remote.is_remote(location):
        return _open_remote(location, storage_options, fetch_gap)
    return DataFile(cast("str | os.PathLike[str]", location))


def _open_remote(location: Any, storage_options: dict[str, Any] | None, fetch_gap: int | None) -> DataFile:
    name = location if isinstance(location, str) else repr(location)
    try:
        reader, name = _remote.open_remote(location, storage_options, fetch_gap)
    except NativeError as err:
        raise mapped_error(err, name) from None
    file = DataFile.__new__(DataFile)
    file._reader = reader  # type: ignore[assignment]  # the same methods, fetching first
    file._location = name  # type: ignore[assignment]  # a URL is no local path
    return file
