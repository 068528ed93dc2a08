"""zudata.open() against ZuDataFIle on one file: the same channels, units
and arrays bit for bit, and for every ZuDataFIle failure the zudata
exception that stands for it. conftest.py runs this on every file a test
leaves in its tmp_path."""

from __future__ import annotations

import os
import zipfile
from pathlib import Path

import numpy as np
import zu_data_reader

import zudata

# Files larger than this are skipped: the comparison reads every channel,
# segment and unit, which would cost the big-file tests too much.
LIMIT = 4 << 20
# The same reason bounds the requests: a header of thousands of units or
# channels is compared on its first few.
MAX_CHANNELS = 8
MAX_UNITS = 6
# Small files that inflate to a lot (hostile headers, shared giant members)
# are left to their own tests, which bound time and memory themselves;
# comparing them here would cost minutes per file.
MAX_INFLATED = 64 << 20
MAX_HEADER = 256 << 10


def _inflates_to_a_lot(path: Path) -> bool:
    try:
        with zipfile.ZipFile(path) as archive:
            infos = archive.infolist()
    except (zipfile.BadZipFile, OSError, ValueError, EOFError):
        return False  # a broken directory is compared like any other file
    header = sum(i.file_size for i in infos if i.filename == "shared-data/header.properties")
    return header > MAX_HEADER or sum(i.file_size for i in infos) > MAX_INFLATED


def _outcome(call, *args):
    try:
        return call(*args), None
    except Exception as e:  # noqa: BLE001 - every failure is compared
        return None, e


def _same_tree(a, b) -> bool:
    """Equality of nested dicts of str, without recursion (headers can be
    deeper than Python's recursion limit), key order included."""
    stack = [(a, b)]
    while stack:
        x, y = stack.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, dict):
            if list(x) != list(y):
                return False
            stack.extend((x[k], y[k]) for k in x)
        elif x != y:
            return False
    return True


def _check_open_failure(path: Path, err: Exception) -> None:
    assert isinstance(err, OSError), f"{path}: zudata.open raised {err!r}"
    if type(err) is not zudata.FormatError:
        assert err.errno is not None and err.filename == os.fspath(path), repr(err)


def _check_read_failure(path, zerr: OSError, err: Exception, layout, channel, segment) -> None:
    message = str(zerr)
    if message.startswith("No such such Channel:"):
        assert isinstance(err, zudata.UnknownChannelError), repr(err)
    elif message.startswith("Expected File "):
        assert isinstance(err, zudata.UnknownSegmentError), repr(err)
        assert segment not in layout.get(channel, {})
    elif "cannot reshape" in message:
        assert isinstance(err, zudata.GridError), repr(err)
    elif message.startswith("Expected header to have key "):
        assert isinstance(err, (zudata.UnknownUnitError, zudata.FormatError)), repr(err)
    else:
        assert isinstance(err, zudata.FormatError | zudata.UnknownUnitError), f"{path}: {zerr!r} -> {err!r}"


def check_file(path: Path) -> None:
    if not path.is_file() or path.is_symlink() or path.stat().st_size > LIMIT:
        return
    if _inflates_to_a_lot(path):
        return
    old, err = _outcome(zu_data_reader.ZuDataFIle, path)
    new, nerr = _outcome(zudata.open, path)
    if old is None:
        assert new is None, f"{path}: ZuDataFIle failed with {err!r}, zudata.open did not"
        _check_open_failure(path, nerr)
        return
    assert new is not None, f"{path}: zudata.open failed with {nerr!r}"
    with new:
        assert _same_tree(new.header, old.header)
        channels, err = _outcome(old.get_channels)
        assert _outcome(new.channels)[0] == channels
        if channels is None:
            return
        layout = new.layout()
        assert list(layout) == list(dict.fromkeys(channels))
        for channel in list(dict.fromkeys(channels))[:MAX_CHANNELS]:
            units, _ = _outcome(old.get_channel_units, channel)
            assert _outcome(new.units, channel)[0] == units
            base, _ = _outcome(new.base_unit, channel)
            wanted = list(dict.fromkeys([*([base] if base is not None else []), *(units or [])]))[:MAX_UNITS]
            segments = sorted(layout[channel]) or [0]
            for segment in segments:
                for unit in wanted or ["volts"]:
                    a, zerr = _outcome(old.get_channel_data, channel, segment, unit)
                    b, nerr = _outcome(new.read, channel, segment, unit)
                    if a is None:
                        assert b is None, f"{path}: {channel} {segment} {unit}: {zerr!r} but zudata read it"
                        _check_read_failure(path, zerr, nerr, layout, channel, segment)
                        continue
                    assert b is not None, f"{path}: {channel} {segment} {unit}: {nerr!r}"
                    assert b.dtype == np.float64 and b.shape == a.shape
                    assert np.array_equal(a.view(np.uint64), b.view(np.uint64))
                    assert layout[channel][segment].traces == a.shape[0] * a.shape[1]
