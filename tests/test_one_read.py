"""One read of zudata.open(): the directory index built at open, the reads
planned over it, and a file rewritten after open."""

from __future__ import annotations

import mmap
import os
import resource
import signal
import subprocess
import struct
import threading
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest
import zu_data_reader
from conftest import channel_lines, child_argv, emulated, ints_be
from zudata.testfiles import Member, build, zeros_deflate

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
    # before each), one after another; another channel's small member
    # between every tenth, so that windows also step over bytes they do not
    # need (gaps shorter than a member are fetched).
    mixed = []
    for i, member in enumerate(members(100)):
        mixed.append(member)
        if i % 10 == 9:
            mixed.append((f"o{i}/0/channels/other.dat", bytes(16)))
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


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="counts read calls in /proc/self/io")
def test_a_segment_the_index_holds_nothing_of_fails_without_reading_the_file(zu_file):
    with zudata.open(zu_file(HEADER, members(4))) as f:
        before = _read_syscalls()
        with pytest.raises(zudata.UnknownSegmentError, match="0"):
            f.read("N", 77)
        assert _read_syscalls() - before <= 1  # the read of /proc/self/io itself


def _varied_members(k):
    """k members of one channel in segment 0: full, short (NaN-padded),
    empty and odd-length traces, each with its own values."""
    out = []
    for m in range(k):
        count = (100, 37, 0, 100, 99)[m % 5]
        data = ints_be(*range(m * 1000, m * 1000 + count)) + (b"\x01\x02" if m % 7 == 3 else b"")
        out.append((f"p{m}/0/channels/N.dat", data))
    return out


@pytest.mark.parametrize("k", [49, 50, 121])
@pytest.mark.parametrize("window", [0, 1, 700, 5000])
def test_every_thread_count_reads_the_same_bits(zu_file, k, window):
    # 50 members fill no grid: the read fails alike for every count.
    path = zu_file(HEADER + channel_lines("2", "F"), _varied_members(k))
    old = zu_data_reader.ZuDataFIle(path)
    try:
        expected = old.get_channel_data("N", 0, "volts")
    except OSError as err:
        expected = err
    with zudata.DataFile(path, _window_bytes=window) as f:
        for threads in (1, 2, 3, 8, None):
            if isinstance(expected, OSError):
                with pytest.raises(zudata.GridError):
                    f.read("N", 0, threads=threads)
                continue
            got = f.read("N", 0, threads=threads)
            assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)), threads


@pytest.mark.parametrize("threads", [0, -1, 1.5, "2"])
def test_threads_must_be_a_positive_int(zu_file, threads):
    with zudata.open(zu_file(HEADER, members(1))) as f, pytest.raises((ValueError, TypeError)):
        f.read("N", 0, threads=threads)


def test_every_thread_count_reports_the_first_bad_member(zu_file, tmp_path):
    # Members 20 and 40 of 64 carry wrong checksums; a read on one thread
    # meets member 20 first, and so must a read on any number of threads.
    # Member 20 is large (32 MiB of zeros), so that other threads reach
    # member 40 while it is still being decoded.
    good = _varied_members(64)
    big = 32 << 20
    bad = [Member(name.encode(), data, crc=0x1234 + i if i == 40 else None) for i, (name, data) in enumerate(good)]
    bad[20] = Member(good[20][0].encode(), bytes(big), raw=zeros_deflate(big), crc=0x1234)
    header = Member(b"shared-data/header.properties", HEADER.encode())
    path = tmp_path / "bad.zip"
    path.write_bytes(build([header, *bad]))
    with pytest.raises(OSError) as first:
        zu_data_reader.ZuDataFIle(path).get_channel_data("N", 0, "volts")
    assert "checksum" in str(first.value)
    for window in (1, 700):
        with zudata.DataFile(path, _window_bytes=window) as f:
            for threads in (1, 2, 3, 8):
                with pytest.raises(zudata.FormatError) as err:
                    f.read("N", 0, threads=threads)
                assert err.value.strerror == str(first.value), (window, threads)


def test_many_python_threads_each_reading_on_two(zu_file):
    # Eight callers at once, each asking for two threads: helpers are lent
    # while cores are free, and every result is still the one-thread one.
    path = zu_file(HEADER, _varied_members(121) + members(64, segment=1))
    with zudata.DataFile(path, _window_bytes=900) as f:
        expected = {s: f.read("N", s, threads=1) for s in (0, 1)}
        start = threading.Barrier(8)
        wrong = []

        def work(i):
            start.wait()
            for r in range(20):
                s = (i + r) % 2
                if not np.array_equal(f.read("N", s, threads=2).view(np.uint64), expected[s].view(np.uint64)):
                    wrong.append((i, r))

        workers = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    assert wrong == []


@pytest.mark.no_sanitizer
@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="one core lends no helper thread")
@pytest.mark.skipif(emulated(), reason="the emulator's own memory takes page faults too")
def test_a_read_on_two_threads_faults_each_page_of_its_result_about_once(zu_file):
    # Each thread fills runs of neighbouring traces. When the two filled
    # alternate traces, both faulted on the same fresh pages at once, and a
    # read took half as many faults again as its result has pages.
    k = 3600
    with zudata.DataFile(zu_file(HEADER, members(k)), _window_bytes=1) as f:
        f.read("N", 0, threads=2)  # the helper started, the allocator warm
        pages = k * 100 * 8 / resource.getpagesize()
        ratios = []
        for _ in range(3):
            fresh = mmap.mmap(-1, k * 100 * 8)  # never touched: each page faults once when written
            out = np.frombuffer(fresh, dtype=np.float64).reshape(60, 60, 100)
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            f.read("N", 0, threads=2, out=out)
            ratios.append((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / pages)
            del out
            fresh.close()
    assert min(ratios) <= 1.1, ratios


_FIRST_READ_FAULTS = r"""
import resource, sys, numpy as np, zudata
path, side = sys.argv[1], int(sys.argv[2])
with zudata.DataFile(path, _window_bytes=1) as f:
    out = np.ones((side, side, 100), dtype=np.float32)  # its pages already faulted
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    f.read("N", 0, threads=1, dtype=np.float32, out=out)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
"""


@pytest.mark.no_sanitizer
@pytest.mark.skipif(emulated(), reason="the emulator's own memory takes page faults too")
def test_the_first_read_of_a_file_touches_little_memory_of_its_own_per_member(zu_file):
    # Each member read on its own, as in a file whose channels interleave:
    # the fresh memory a first read touches besides a result it is handed
    # grows with the members. An unpacked copy of the index's entries and
    # a plan array that doubled as it grew had made it 130 bytes a member
    # (a third again of a float32 result's own 400 bytes); now it is the
    # plan's 32-byte window, a trace's count and the reader's two words.
    faults = {}
    for side in (40, 120):
        path = zu_file(HEADER, members(side * side))
        done = subprocess.run(child_argv(_FIRST_READ_FAULTS, path, side), capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        faults[side] = int(done.stdout)
    per_member = (faults[120] - faults[40]) * resource.getpagesize() / (120 * 120 - 40 * 40)
    assert per_member <= 80, faults


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
# Forking a process with threads is what this test is about.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_reads_on_threads_of_its_own(zu_file):
    # The parent's pool threads do not exist in a child made by fork().
    path = zu_file(HEADER, _varied_members(121))
    with zudata.DataFile(path, _window_bytes=900) as f:
        expected = f.read("N", 0, threads=2)
        pid = os.fork()
        if pid == 0:  # the child: exit status 0 only for the right values
            ok = np.array_equal(f.read("N", 0, threads=2).view(np.uint64), expected.view(np.uint64))
            os._exit(0 if ok else 1)
        deadline = time.monotonic() + 20
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if done[0] == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the child's read never ended")
        assert os.waitstatus_to_exitcode(done[1]) == 0


# A directory of over 1 MiB after the header's record is walked in two
# halves on two threads when a core is free: the later half starts at the
# first central-record signature past the middle, which may stand inside a
# record. Every record's comment here is a whole record of its own, named
# as a member of segment 0 and ending where the real one ends, so a walk
# started there would read in step with the directory: only the earlier
# half walking past the guess finds it out.
SPLIT_SEGMENTS = 33  # of 16 x 16 members: a directory of about 1.4 MiB


def _record_in_comment(k: int) -> bytes:
    name = f"comment{k:04d}/0/channels/N.dat".encode()
    fixed = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0x21, 0, 1, 400, len(name), 0, 0, 0, 0, 0, 0)
    return fixed + name


def _split_members(notes: int = 0) -> list[Member]:
    """The channel members, then `notes` small members of no channel, which
    move the directory's middle."""
    members = [Member(b"shared-data/header.properties", HEADER.encode())]
    for m in range(256):
        for s in range(SPLIT_SEGMENTS):
            name = f"{'x' * 40}{m:03d}/{s}/channels/N.dat".encode()
            members.append(Member(name, ints_be(*range(s + m, s + m + 100)), comment=_record_in_comment(len(members))))
    return members + [Member(f"notes/{i:02d}.txt".encode(), b"-") for i in range(notes)]


def _record_starts(members: list[Member]) -> tuple[list[int], int]:
    """Where each central record starts, from the first, and where they end."""
    offset, starts = 0, []
    for m in members:
        starts.append(offset)
        offset += 46 + len(m.name) + len(m.extra) + len(m.comment)
    return starts, offset


def _guess_lands_on_a_record(members: list[Member]) -> bool:
    starts, end = _record_starts(members)
    middle = starts[1] + (end - starts[1]) // 2  # of what follows the header's record
    start = max(s for s in starts if s <= middle)
    comment = start + 46 + len(members[starts.index(start)].name)
    # Up to its comment's record the next signature is the comment's; past
    # that, the next record's.
    return middle == start or middle > comment


def _split_file(tmp_path, on_record: bool, extra: tuple[Member, ...] = ()) -> Path:
    for notes in range(16):
        members = [*_split_members(notes), *extra]
        if _guess_lands_on_a_record(members) == on_record:
            path = tmp_path / f"split-{on_record}-{len(extra)}.zip"
            path.write_bytes(build(members))
            return path
    raise AssertionError("no count of notes puts the guess there")


def _reads_as_zudatafile(path) -> None:
    old = zu_data_reader.ZuDataFIle(str(path))
    with zudata.open(path) as f:
        layout = f.layout()["N"]
        assert [layout[s].traces for s in range(SPLIT_SEGMENTS)] == [256] * SPLIT_SEGMENTS
        for s in (0, SPLIT_SEGMENTS // 2, SPLIT_SEGMENTS - 1):
            assert np.array_equal(f.read("N", s, "volts"), old.get_channel_data("N", s, "volts"))


needs_two_cores = pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="the walk is split only with a core to spare")


# The helper may start too late to take its half (the opening thread then
# walks on alone), so each file is opened several times.
OPENS = 20


@needs_two_cores
@pytest.mark.parametrize("on_record", [True, False], ids=["guess-on-a-record", "guess-inside-a-record"])
def test_a_directory_walked_on_two_threads_indexes_what_one_thread_does(tmp_path, on_record):
    from zudata import _reader

    path = _split_file(tmp_path, on_record)
    before = _reader._split_directory_walks()
    for _ in range(OPENS):
        _reads_as_zudatafile(path)
    # A guess inside a record is found out when the earlier half walks past
    # it; the earlier half then walks the rest alone.
    split = _reader._split_directory_walks() - before
    assert split > 0 if on_record else split == 0


@needs_two_cores
@pytest.mark.parametrize("fault", ["bad record", "second header"])
def test_a_fault_in_the_later_half_fails_the_open_as_on_one_thread(tmp_path, fault):
    # The second header member is read and checked like the first, so its
    # wrong checksum fails the open.
    second = (Member(b"shared-data/header.properties", HEADER.encode(), crc=1),)
    path = _split_file(tmp_path, on_record=True, extra=second if fault == "second header" else ())
    if fault == "bad record":
        data = bytearray(path.read_bytes())
        with zipfile.ZipFile(path) as archive:
            first = archive.start_dir
        starts, _ = _record_starts(_split_members())
        data[first + starts[len(starts) * 9 // 10]] ^= 0xFF  # a signature late in the directory
        path.write_bytes(bytes(data))
    with pytest.raises(OSError) as old_error:
        zu_data_reader.ZuDataFIle(str(path))
    for _ in range(OPENS):
        with pytest.raises(zudata.FormatError) as opened:
            zudata.open(path)
        assert str(old_error.value) in str(opened.value)
