"""Data files that live elsewhere: a URL of any fsspec filesystem, an fsspec
OpenFile, or a binary file object with seek/read.

Python only fetches. The native reader reads the fetched bytes
(zudata._reader.Fetched) as if they were the file; what it needs and was not
fetched it names as a miss, which is fetched before the call is tried again,
a bounded number of times. Opening fetches the file's tail (which holds the
end record and, for small files, everything), then the directory and, in
the same round trip, the file's start, where writers put the header member:
at most three requests. Over HTTP(S) and S3 the tail is one suffix range
request whose answer also gives the file's size and ETag, so no request is
spent on the size alone; other filesystems ask for the size first.
A read asks the native reader for its windows (the same plan
a local read follows), merges neighbours whose gap costs less than a round
trip, fetches them concurrently (over HTTP(S) and S3 on the filesystem's
own session, elsewhere with fsspec's cat_ranges) and decodes them without
the interpreter lock. No answer over HTTP(S) or S3 is read past the length
asked for, whatever length the server sends.

Retries are fsspec's. A failed request, a server that ignores range
requests, a file whose size or ETag changed and a dropped connection raise
an OSError (RemoteFileError, FileNotFoundError or PermissionError) naming
the location, never wrong values.
"""

from __future__ import annotations

import errno
import os
import threading
from collections.abc import Awaitable, Callable, Iterable, Sequence
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
        # botocore's ClientError, which s3fs raises its OSErrors from.
        response = getattr(seen, "response", None)
        if isinstance(response, dict):
            status = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
            if isinstance(status, int):
                return status
        seen = seen.__cause__ or seen.__context__
    return None


def _wrapped(err: BaseException, name: str) -> OSError:
    """The OSError a caller sees for a failed request to `name`."""
    if isinstance(err, RemoteFileError):
        return err
    status = _status(err)
    if isinstance(err, PermissionError) or status in (401, 403):
        return PermissionError(errno.EACCES, "access to the remote file denied", name)
    if isinstance(err, FileNotFoundError) or status == 404:
        return FileNotFoundError(errno.ENOENT, "no such remote file", name)
    if status == 412:
        return RemoteFileError(errno.EIO, "the remote file changed after it was opened", name)
    return RemoteFileError(errno.EIO, f"request failed: {type(err).__name__}: {err}", name)


def _ignored_ranges(name: str, asked: int, got: int | None) -> RemoteFileError:
    size = "the whole file" if got is None else f"{got} bytes"
    return RemoteFileError(errno.EIO, f"the server ignored a range request (asked {asked} bytes, got {size})", name)


def _content_range(text: str | None, name: str) -> tuple[int, int, int]:
    """(first, last, size) of a Content-Range "bytes FIRST-LAST/SIZE"."""
    try:
        unit, _, span_and_size = (text or "").partition(" ")
        span, _, size = span_and_size.partition("/")
        first, _, last = span.partition("-")
        if unit != "bytes":
            raise ValueError(unit)
        return int(first), int(last), int(size)
    except ValueError:
        why = f"the server's answer to a range request is unusable: {text!r}"
        raise RemoteFileError(errno.EIO, why, name) from None


def _tail_of(first: int, last: int, size: int, body: bytes, name: str) -> tuple[int, bytes]:
    """The tail (start, bytes) an answer for the file's last bytes carries,
    once its range is checked to be what it claims and to end the file."""
    if last != size - 1 or first > last or len(body) != last - first + 1:
        raise RemoteFileError(
            errno.EIO, f"the server's answer to a range request does not match it (bytes {first}-{last}/{size})", name
        )
    return first, body


async def _at_most(read: Callable[[int], Awaitable[bytes]], limit: int) -> bytes:
    """An answer's body, or its first `limit` + 1 bytes when it is longer:
    enough to tell it is not what was asked without holding what a server
    chose to send. `read(n)` gives up to n bytes, b"" at the end."""
    parts: list[bytes] = []
    have = 0
    while have <= limit:
        part = await read(limit + 1 - have)
        if not part:
            break
        parts.append(part)
        have += len(part)
    return b"".join(parts)


class _FsspecBytes:
    """Ranges of one file of an fsspec filesystem. The file's size comes
    from fsspec's info, a request of its own; the subclasses learn it from
    the answer to the tail's request."""

    def __init__(self, fs: Any, path: str, name: str) -> None:
        self.fs, self.path, self.name = fs, path, name
        self.size = 0
        self.kwargs: dict[str, Any] = {}

    def tail(self, length: int) -> tuple[int, bytes | BaseException]:
        """(start, bytes) of the file's last `length` bytes (all of a
        smaller file); sets the file's size."""
        self.size = int(self.fs.info(self.path)["size"])
        start = max(0, self.size - length)
        return start, self.fetch([(start, self.size)])[0]

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes | BaseException]:
        starts = [start for start, _ in ranges]
        ends = [end for _, end in ranges]
        return list(self.fs.cat_ranges([self.path] * len(ranges), starts, ends, on_error="return", **self.kwargs))


def _gathered(loop: Any, requests: Iterable[Awaitable[bytes]]) -> list[bytes | BaseException]:
    """The answers of `requests`, sent at once on fsspec's event loop `loop`,
    each a body or the exception its request raised."""
    import asyncio

    from fsspec.asyn import sync  # type: ignore[import-untyped]

    async def all_of_them() -> list[bytes | BaseException]:
        return await asyncio.gather(*requests, return_exceptions=True)

    return list(sync(loop, all_of_them))


class _HttpBytes(_FsspecBytes):
    """A file on a web server (fsspec's HTTPFileSystem), asked for ranges on
    the filesystem's own session. The tail is a suffix range request
    ("bytes=-N"): its Content-Range gives the size, its ETag the version
    every later request names (If-Match), so a file that changes is
    answered with 412. No answer is read past the length asked for."""

    def tail(self, length: int) -> tuple[int, bytes | BaseException]:
        from fsspec.asyn import sync

        start, body, etag = sync(self.fs.loop, self._tail, length)
        request = dict(self.fs.kwargs)
        # A strong ETag only: If-Match compares strongly, so a weak one
        # would fail every request. Without one, the size alone is checked.
        if etag and not etag.startswith("W/"):
            # The caller's own headers (say, credentials) stay on every request.
            request["headers"] = {**request.get("headers", {}), "If-Match": etag}
        self.kwargs = request
        return start, body

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes | BaseException]:
        return _gathered(self.fs.loop, (self._get(start, end) for start, end in ranges))

    def _asking(self, request: dict[str, Any], span: str) -> dict[str, Any]:
        # Identity encoding: the byte counts are the file's, not a compressed body's.
        headers = {**request.get("headers", {}), "Range": f"bytes={span}", "Accept-Encoding": "identity"}
        return {**request, "headers": headers}

    async def _answer(self, request: dict[str, Any]) -> Any:
        """The answer to a GET of the file, checked not to be an error."""
        session = await self.fs.set_session()
        url = self.fs.encode_url(self.path) if hasattr(self.fs, "encode_url") else self.path
        answer = await session.get(url, **request)
        if answer.status >= 400:
            answer.release()
            if answer.status == 404:
                raise FileNotFoundError(errno.ENOENT, "no such remote file", self.name)
            answer.raise_for_status()
        return answer

    async def _get(self, start: int, end: int) -> bytes:
        # Whatever the status, a body of any other length is refused by the
        # caller: a whole file for a range, or a file that changed.
        answer = await self._answer(self._asking(self.kwargs, f"{start}-{end - 1}"))
        async with answer:
            return await _at_most(answer.content.read, end - start)

    async def _tail(self, length: int) -> tuple[int, bytes, str | None]:
        answer = await self._answer(self._asking(dict(self.fs.kwargs), f"-{length}"))
        async with answer:
            if answer.status != 206:
                # The whole file: fine for a file no larger than the tail,
                # which is all open would have asked for; anything larger is
                # not read just to find out.
                if answer.content_length is None or answer.content_length > length:
                    raise _ignored_ranges(self.name, length, answer.content_length)
                body = await _at_most(answer.content.read, length)
                self.size = len(body)
                return 0, body, answer.headers.get("ETag")
            first, last, size = _content_range(answer.headers.get("Content-Range"), self.name)
            self.size = size
            start, body = _tail_of(first, last, size, await _at_most(answer.content.read, length), self.name)
            return start, body, answer.headers.get("ETag")


class _S3Bytes(_FsspecBytes):
    """An object of an S3 store (s3fs). The tail is a ranged get_object,
    whose ContentRange gives the size and whose ETag every later request
    names (IfMatch), so an object replaced since is answered with 412. No
    answer is read past the length asked for."""

    def __init__(self, fs: Any, path: str, name: str) -> None:
        super().__init__(fs, path, name)
        bucket, key, version = fs.split_path(path)
        self.request: dict[str, Any] = {"Bucket": bucket, "Key": key}
        if version:
            self.request["VersionId"] = version

    def tail(self, length: int) -> tuple[int, bytes | BaseException]:
        from fsspec.asyn import sync

        start, body = sync(self.fs.loop, self._tail, length)
        return start, body

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes | BaseException]:
        return _gathered(self.fs.loop, (self._get(start, end) for start, end in ranges))

    async def _get(self, start: int, end: int) -> bytes:
        answer = await self.fs._call_s3("get_object", Range=f"bytes={start}-{end - 1}", **self.request)
        try:
            return bytes(await _at_most(answer["Body"].read, end - start))
        finally:
            answer["Body"].close()

    async def _tail(self, length: int) -> tuple[int, bytes]:
        answer = await self.fs._call_s3("get_object", Range=f"bytes=-{length}", **self.request)
        try:
            body = await _at_most(answer["Body"].read, length)
        finally:
            answer["Body"].close()
        if answer.get("ETag"):
            self.request["IfMatch"] = answer["ETag"]
        if not answer.get("ContentRange"):
            # The whole object: what a store may answer for a range that
            # covers all of it.
            if len(body) > length:
                raise _ignored_ranges(self.name, length, None)
            self.size = len(body)
            return 0, body
        first, last, size = _content_range(answer["ContentRange"], self.name)
        self.size = size
        return _tail_of(first, last, size, body, self.name)


def _fsspec_bytes(fs: Any, path: str, name: str) -> _FsspecBytes:
    """The fetcher for `path` of `fs`: one that learns the size from the
    tail's answer where the filesystem allows it."""
    protocols = {fs.protocol} if isinstance(fs.protocol, str) else set(fs.protocol)
    if protocols & {"http", "https"} and hasattr(fs, "set_session"):
        return _HttpBytes(fs, path, name)
    if protocols & {"s3", "s3a"} and hasattr(fs, "_call_s3"):
        return _S3Bytes(fs, path, name)
    return _FsspecBytes(fs, path, name)


class _FileObjectBytes:
    """Ranges of a binary file object, read one after the other."""

    def __init__(self, file: Any, name: str) -> None:
        self.file, self.name = file, name
        self.lock = threading.Lock()
        self.size = 0

    def tail(self, length: int) -> tuple[int, bytes | BaseException]:
        with self.lock:
            self.size = int(self.file.seek(0, os.SEEK_END))
        start = max(0, self.size - length)
        return start, self.fetch([(start, self.size)])[0]

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes | BaseException]:
        out: list[bytes | BaseException] = []
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
        self._kept: list[tuple[int, int]] = []  # what stays fetched while the file is open
        # The tail's request is the first: it tells the size where it can.
        self._tail_start, tail = self._requested(lambda: source.tail(TAIL_BYTES))
        self._fetched = Fetched(source.size)
        self._add(self._tail_start, source.size, tail, transient=False)
        self._reader = self._open()

    # ---- fetching ------------------------------------------------------------

    def _requested(self, request: Callable[[], Any]) -> Any:
        try:
            return request()
        except Exception as err:  # fsspec's and its transports' errors
            raise _wrapped(err, self._source.name) from err

    def _add(self, start: int, end: int, piece: bytes | BaseException, *, transient: bool) -> None:
        name = self._source.name
        if isinstance(piece, BaseException):
            raise _wrapped(piece, name) from piece
        if len(piece) != end - start:
            # A whole file for a range, or fewer bytes than the size said:
            # either way these are not the bytes asked for.
            # (A longer answer is read only until it is known to be longer.)
            if len(piece) > end - start:
                why, got = "the server ignored a range request", "more"
            else:
                why, got = "the remote file changed", f"{len(piece)} bytes"
            raise RemoteFileError(errno.EIO, f"{why} (asked bytes {start}-{end}, got {got})", name)
        self._fetched.add(start, piece, transient)
        if not transient:
            self._kept.append((start, end))

    def _fetch(self, ranges: Sequence[tuple[int, int]], *, transient: bool) -> None:
        if not ranges:
            return
        pieces = self._requested(lambda: self._source.fetch(ranges))
        for (start, end), piece in zip(ranges, pieces, strict=True):
            self._add(start, end, piece, transient=transient)

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
        tail_start = self._tail_start
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
        make = lambda: _fsspec_bytes(fs, path, name)  # noqa: E731
    elif hasattr(location, "fs") and hasattr(location, "path"):
        fs, path = location.fs, location.path
        name = fs.unstrip_protocol(path) if hasattr(fs, "unstrip_protocol") else path
        make = lambda: _fsspec_bytes(fs, path, name)  # noqa: E731
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
