"""Data files that live elsewhere: a URL of any fsspec filesystem, an fsspec
OpenFile, or a binary file object with seek/read.

Python only fetches. The native reader reads the fetched bytes
(zudata._reader.Fetched) as if they were the file; what it needs and was not
fetched it names as a miss, which is fetched before the call is tried again,
a bounded number of times. Opening fetches the file's tail (which holds the
end record and, for small files, everything), then the directory and, in
the same round trip, the file's start, where writers put the header member.
A read asks the native reader for its windows (the same plan
a local read follows), merges neighbours whose gap costs less than a round
trip, fetches them concurrently (fsspec's cat_ranges) and decodes them
without the interpreter lock.

Retries are fsspec's. A failed request, a server that ignores range
requests, a file whose size or ETag changed and a dropped connection raise
an OSError (RemoteFileError, FileNotFoundError or PermissionError) naming
the location, never wrong values.
"""

from __future__ import annotations

import errno
import os
import threading
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Protocol

from ._reader import Fetched, NativeError

__all__ = ["FETCH_GAP", "TAIL_BYTES", "RemoteFileError", "is_remote", "located", "open_remote"]

# The end of the file fetched first: the end record (with the longest
# comment an archive may carry) and, for files up to this size, everything.
TAIL_BYTES = 1 << 20
# Gaps between needed ranges up to this size are fetched rather than split:
# a round trip of ~20 ms on a link of ~50 MB/s costs about as much as 1 MiB.
FETCH_GAP = 1 << 20
# No fetch is larger than this, so a read covering a span of S bytes costs
# at most one request per 8 MiB of it (plus one for its last piece).
MAX_FETCH = 8 << 20
# A miss is fetched with at least this much after it: a member's local
# header and its data come in one request.
MISS_BYTES = 64 << 10
# How often one call may ask for bytes it missed before it gives up.
MAX_ROUNDS = 6


class BinaryFile(Protocol):
    """A binary file object open for reading, with seek."""

    def read(self, size: int = ..., /) -> bytes: ...
    def seek(self, offset: int, whence: int = ..., /) -> int: ...


class FsspecFile(Protocol):
    """An fsspec OpenFile: its filesystem and path."""

    fs: Any
    path: str


class RemoteFileError(OSError):
    """A remote data file could not be read as it was when it was opened: a
    request failed, the server ignored a range request, the file changed,
    or the connection dropped. Names the location."""


def is_remote(location: Any) -> bool:
    """True for what open_remote takes: a URL with a scheme, an fsspec
    OpenFile or a file object with seek and read."""
    if isinstance(location, str):
        return "://" in location
    if isinstance(location, (bytes, os.PathLike)):
        return False
    return (
        hasattr(location, "fs")
        and hasattr(location, "path")
        or (hasattr(location, "read") and hasattr(location, "seek"))
    )


def located(location: Any, storage_options: dict[str, Any] | None) -> Any:
    """What a task opens for `location`: a URL with `storage_options`
    becomes an fsspec OpenFile, which carries them (and pickles, so a
    cluster worker opens the URL itself); anything else stays as it is."""
    if storage_options and isinstance(location, str) and "://" in location:
        import fsspec  # type: ignore[import-untyped]

        return fsspec.open(location, "rb", **storage_options)
    return location


def _status(err: BaseException) -> Any:
    """The HTTP status behind `err` or what it was raised from (fsspec turns
    a refused request into FileNotFoundError), or None."""
    seen: BaseException | None = err
    for _ in range(8):
        if seen is None:
            break
        status = getattr(seen, "status", None)
        if isinstance(status, int):
            return status
        seen = seen.__cause__ or seen.__context__
    return None


def _wrapped(err: BaseException, name: str) -> OSError:
    """The OSError a caller sees for a failed request to `name`."""
    status = _status(err)
    if isinstance(err, PermissionError) or status in (401, 403):
        return PermissionError(errno.EACCES, "access to the remote file denied", name)
    if isinstance(err, FileNotFoundError) or status == 404:
        return FileNotFoundError(errno.ENOENT, "no such remote file", name)
    if status == 412:
        return RemoteFileError(errno.EIO, "the remote file changed after it was opened", name)
    return RemoteFileError(errno.EIO, f"request failed: {type(err).__name__}: {err}", name)


class _FsspecBytes:
    """Ranges of one file of an fsspec filesystem."""

    def __init__(self, fs: Any, path: str, name: str) -> None:
        self.fs, self.path, self.name = fs, path, name
        info = fs.info(path)
        self.size = int(info["size"])
        self.etag = info.get("ETag") or info.get("etag")
        # Web servers answer a request for a changed file with 412 when the
        # request names the version it expects; other filesystems are
        # checked by size alone.
        protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
        self.kwargs: dict[str, Any] = {}
        if self.etag and protocol in ("http", "https"):
            self.kwargs = {"headers": {"If-Match": self.etag}}

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        starts = [start for start, _ in ranges]
        ends = [end for _, end in ranges]
        return list(self.fs.cat_ranges([self.path] * len(ranges), starts, ends, on_error="return", **self.kwargs))


class _FileObjectBytes:
    """Ranges of a binary file object, read one after the other."""

    def __init__(self, file: Any, name: str) -> None:
        self.file, self.name = file, name
        self.lock = threading.Lock()
        with self.lock:
            self.size = int(file.seek(0, os.SEEK_END))

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        out: list[bytes] = []
        with self.lock:
            for start, end in ranges:
                self.file.seek(start)
                out.append(bytes(self.file.read(end - start)))
        return out


def _merged(ranges: Iterable[tuple[int, int]], size: int, gap: int) -> list[tuple[int, int]]:
    """(start, end) pairs covering `ranges` ((offset, length) in file order),
    clipped to the file, neighbours closer than `gap` joined while the
    result stays within MAX_FETCH."""
    out: list[tuple[int, int]] = []
    for offset, length in ranges:
        start, end = offset, min(offset + length, size)
        if out:
            # Bytes an earlier range covers are not fetched twice, so what a
            # read fetches stays within the file's size whatever lengths its
            # directory claims.
            start = max(start, out[-1][1])
        if start >= end:
            continue
        if out and start - out[-1][1] <= gap and max(end, out[-1][1]) - out[-1][0] <= MAX_FETCH:
            out[-1] = (out[-1][0], max(end, out[-1][1]))
        else:
            out.append((start, end))
    return out


class RemoteReader:
    """A zudata._reader.Reader over fetched bytes: the same methods, each
    fetching what it needs first. Reads of one file are serialised (they
    share the fetched windows); reads of different files run at once."""

    def __init__(self, source: Any, gap: int) -> None:
        self._source = source
        self._gap = gap
        self._lock = threading.Lock()
        self._fetched = Fetched(source.size)
        self._kept: list[tuple[int, int]] = []  # what stays fetched while the file is open
        self._fetch([(max(0, source.size - TAIL_BYTES), source.size)], transient=False)
        self._reader = self._open()

    # ---- fetching ------------------------------------------------------------

    def _fetch(self, ranges: Sequence[tuple[int, int]], *, transient: bool) -> None:
        if not ranges:
            return
        name = self._source.name
        try:
            pieces = self._source.fetch(ranges)
        except Exception as err:  # fsspec's and its transports' errors
            raise _wrapped(err, name) from err
        for (start, end), piece in zip(ranges, pieces, strict=True):
            if isinstance(piece, BaseException):
                raise _wrapped(piece, name) from piece
            if len(piece) != end - start:
                # A whole file for a range, or fewer bytes than the size
                # said: either way these are not the bytes asked for.
                why = "the server ignored a range request" if len(piece) > end - start else "the remote file changed"
                raise RemoteFileError(errno.EIO, f"{why} (asked bytes {start}-{end}, got {len(piece)} bytes)", name)
            self._fetched.add(start, piece, transient)
            if not transient:
                self._kept.append((start, end))

    def _fetch_miss(self, err: NativeError, *, transient: bool) -> None:
        """Fetches what the failed call `err` missed, or raises `err` when it
        missed nothing (a real failure of the file)."""
        miss = self._fetched.take_miss()
        if miss is None:
            raise err
        offset, length = miss
        self._fetch([(offset, min(self._source.size, offset + max(length, MISS_BYTES)))], transient=transient)

    def _retrying(self, call: Any, *, transient: bool) -> Any:
        for _ in range(MAX_ROUNDS):
            # A miss of an earlier call that coped without the bytes (a
            # probe) is not this call's.
            self._fetched.take_miss()
            try:
                return call()
            except NativeError as err:
                self._fetch_miss(err, transient=transient)
        raise RemoteFileError(errno.EIO, f"still missing bytes after {MAX_ROUNDS} requests", self._source.name)

    def _open(self) -> Any:
        start, length = self._retrying(self._fetched.directory_range, transient=False)
        tail_start = max(0, self._source.size - TAIL_BYTES)
        if start < tail_start:
            # Writers put the header member first: its bytes come in the
            # same round trip as the directory (a request of its own).
            head = [(0, min(MISS_BYTES, start))] if start > 0 else []
            self._fetch([*head, (start, tail_start)], transient=False)
        return self._retrying(lambda: self._fetched.open(self._source.name, 0), transient=False)

    # ---- the Reader's face ------------------------------------------------------

    def read(self, channel: str, segment: int, *args: Any, **kwargs: Any) -> Any:
        with self._lock:
            try:
                try:
                    ranges = self._reader.fetch_ranges(channel, segment)
                except (NativeError, OverflowError, TypeError):
                    ranges = []  # the read itself reports what is wrong
                needed = [
                    (start, end)
                    for start, end in _merged(ranges, self._source.size, self._gap)
                    if not any(a <= start and end <= b for a, b in self._kept)
                ]
                self._fetch(needed, transient=True)
                return self._retrying(lambda: self._reader.read(channel, segment, *args, **kwargs), transient=True)
            finally:
                self._fetched.drop_transient()

    def layout(self) -> Any:
        with self._lock:
            return self._retrying(self._reader.layout, transient=False)

    def __getattr__(self, name: str) -> Any:
        # header, channels, units, base_unit, sample_type, close, closed:
        # answered from the header, which open fetched.
        return getattr(self._reader, name)


def open_remote(location: Any, storage_options: dict[str, Any] | None, gap: int | None) -> tuple[RemoteReader, str]:
    """The reader of a remote `location` and the name it goes by."""
    make: Callable[[], Any]
    if isinstance(location, str):
        import fsspec.core  # type: ignore[import-untyped]

        fs, path = fsspec.core.url_to_fs(location, **(storage_options or {}))
        name = location
        make = lambda: _FsspecBytes(fs, path, name)  # noqa: E731
    elif hasattr(location, "fs") and hasattr(location, "path"):
        fs, path = location.fs, location.path
        name = fs.unstrip_protocol(path) if hasattr(fs, "unstrip_protocol") else path
        make = lambda: _FsspecBytes(fs, path, name)  # noqa: E731
    else:
        name = str(getattr(location, "name", repr(location)))
        make = lambda: _FileObjectBytes(location, name)  # noqa: E731
    try:
        source = make()
    except OSError as err:
        raise _wrapped(err, name) from err
    except Exception as err:  # the transports' own errors
        raise _wrapped(err, name) from err
    return RemoteReader(source, FETCH_GAP if gap is None else gap), name
