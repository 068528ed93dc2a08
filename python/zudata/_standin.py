"""TEMPORARY stand-in for zudata.open() (issue 15, branch `open`), used only
until that branch is merged; it is deleted on that merge. It follows the
agreed Python contract closely enough to build the tools against."""

from __future__ import annotations

import contextlib
import os
import threading
import zipfile
from collections import Counter
from pathlib import Path
from typing import Any, NamedTuple

__version__ = "0.1.0"
_fd1_lock = threading.Lock()


class FormatError(OSError):
    pass


class RequestError(LookupError):
    pass


class UnknownChannelError(RequestError):
    pass


class UnknownUnitError(RequestError):
    pass


class UnknownSegmentError(RequestError):
    pass


class GridError(RequestError):
    pass


class SegmentLayout(NamedTuple):
    traces: int
    side: int | None


@contextlib.contextmanager
def _quiet():
    with _fd1_lock:
        saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def _format(exc: OSError, path: str) -> OSError:
    if exc.errno is not None:
        return exc
    return FormatError(None, str(exc), path)


class DataFile:
    def __init__(self, location: Any) -> None:
        from zu_data_reader import ZuDataFIle

        self.location = Path(location)
        self.closed = False
        try:
            self._f = ZuDataFIle(location)
        except OSError as exc:
            raise _format(exc, os.fspath(location)) from None

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()

    def close(self):
        self.closed = True

    def _check(self):
        if self.closed:
            raise ValueError("I/O operation on closed file")

    @property
    def header(self):
        self._check()
        return self._f.header

    def channels(self):
        self._check()
        return self._f.get_channels()

    def units(self, channel):
        self._check()
        if channel not in self.channels():
            raise UnknownChannelError(f"no channel {channel!r}; the file has {', '.join(self.channels())}")
        try:
            return self._f.get_channel_units(channel)
        except OSError as exc:
            raise _format(exc, str(self.location)) from None

    def _entry(self, channel):
        for e in self.header.get("lcd-info", {}).values():
            if isinstance(e, dict) and isinstance(e.get("channel"), dict) and e["channel"].get("name") == channel:
                return e
        raise UnknownChannelError(f"no channel {channel!r}; the file has {', '.join(self.channels())}")

    def base_unit(self, channel):
        return self._entry(channel)["conversion-set"]["conversions"]["base"]

    def sample_type(self, channel):
        return self._entry(channel)["type"]

    def read(self, channel, segment, unit=None):
        self._check()
        if unit is None:
            unit = self.base_unit(channel)
        if channel not in self.channels():
            raise UnknownChannelError(f"no channel {channel!r}; the file has {', '.join(self.channels())}")
        lay = self.layout().get(channel, {})
        if segment not in lay:
            raise UnknownSegmentError(
                f"no members for channel {channel!r} in segment {segment}; segments with members: {sorted(lay)}")
        if unit != self.base_unit(channel) and unit not in self.units(channel):
            raise UnknownUnitError(f"no unit type {unit!r} for {channel!r}; it has {', '.join(self.units(channel))}")
        try:
            with _quiet():
                return self._f.get_channel_data(channel, segment, unit)
        except OSError as exc:
            raise _format(exc, str(self.location)) from None

    def layout(self):
        from . import _walk

        with zipfile.ZipFile(self.location) as z:
            names = [(i.orig_filename.encode("utf-8", "surrogateescape") if i.flag_bits & 0x800
                      else i.orig_filename.encode("cp437")) for i in z.infolist()]
        chans = list(dict.fromkeys(self.channels()))
        counts = {}
        for c in chans:
            tail = b"/channels/" + c.encode() + b".dat"
            counts[c] = Counter()
            for n in names:
                if n.endswith(tail):
                    head = n[: -len(tail)]
                    d = head[head.rfind(b"/") + 1:]
                    if head.rfind(b"/") >= 0 and d.isdigit() and (len(d) == 1 or not d.startswith(b"0")) and int(d) < 256:
                        counts[c][int(d)] += 1
        out = {}
        for c in chans:
            per: Counter = counts[c]
            out[c] = {s: SegmentLayout(k, _walk.grid_side(k)) for s, k in sorted(per.items())}
        return out


def open(location):  # noqa: A001
    return DataFile(location)
