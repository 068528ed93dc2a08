"""One read of zudata.open(): the directory index built at open, the reads
planned over it, and a file rewritten after open."""

from __future__ import annotations

import os
import zipfile

import numpy as np
import pytest
import zu_data_reader
from conftest import channel_lines, ints_be

import zudata

HEADER = channel_lines("1", "N", sample_type="int32")


def members(k, first=0, prefix="p", segment=0):
    return [(f"{prefix}{m}/{segment}/channels/N.dat", ints_be(*range(first + m, first + m + 100))) for m in range(k)]


@pytest.mark.parametrize("same_layout", [True, False], ids=["same-layout", "other-layout"])
def test_a_file_rewritten_after_open_is_an_error_not_other_values(zu_file, same_layout):
    path = zu_file(HEADER, members(4))
    with zudata.open(path) as f:
        before = f.read("N", 0)
        layout = f.layout()
        # The same names with other values (and, for the other layout, more
        # members in front), written over the open file.
        again = zu_file(HEADER, ([] if same_layout else members(9, first=1000, prefix="q")) + members(4, first=7))
        path.write_bytes(again.read_bytes())
        with pytest.raises(zudata.FormatError, match="changed after it was opened"):
            f.read("N", 0)
        # What the index knows is what the file held when it was opened.
        assert f.layout() == layout
    with zudata.open(path) as f:
        assert f.layout()["N"][0].traces == (4 if same_layout else 13)
        if same_layout:
            assert not np.array_equal(f.read("N", 0), before)


def _read_syscalls() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("syscr:"))


def _reads_of(f, *request):
    before = _read_syscalls()
    values = f.read(*request)
    return values, _read_syscalls() - before


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="counts read calls in /proc/self/io")
def test_members_are_fetched_in_windows(zu_file):
    # 100 members of 400 bytes (zipfile: 30-byte local header and name
    # before each), one after another; another channel's member between
    # every tenth, so that windows also step over bytes they do not need.
    mixed = []
    for i, member in enumerate(members(100)):
        mixed.append(member)
        if i % 10 == 9:
            mixed.append((f"o{i}/0/channels/other.dat", bytes(range(256)) * 8))
    path = zu_file(HEADER, mixed)
    expected = zu_data_reader.ZuDataFIle(path).get_channel_data("N", 0, "volts")
    with zipfile.ZipFile(path) as archive:
        sizes = [30 + len(i.filename) + i.compress_size for i in archive.infolist() if i.filename.endswith("N.dat")]
    pitch = max(sizes)  # no window of this size holds two members
    counts = {}
    for window in (0, 1, pitch, 3 * pitch, 10 * pitch):
        with zudata.DataFile(path, _window_bytes=window) as f:
            got, counts[window] = _reads_of(f, "N", 0)
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)), window
    assert counts[0] <= 3  # the default window holds them all
    assert counts[1] >= 100  # no member fits: each is read on its own
    assert 100 <= counts[pitch] <= 100 + 3
    assert 100 / 3 <= counts[3 * pitch] <= 100 / 2 + 3
    assert 100 / 10 <= counts[10 * pitch] <= 100 / 5 + 3
