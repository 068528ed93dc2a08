"""get_channel_data: member selection, sample decoding, the (n, n, 100) grid."""

import gc
import json
import math
import os
import struct

import numpy as np
import pytest
import zu_data_reader
from conftest import HEADER_NAME, MEMORY_STATUS, channel_lines, floats_be, ints_be, run_child
from zudata.testfiles import Member, build, deflate, zeros_crc32, zeros_deflate

INT_CHANNEL = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")])


def open_file(zu_file, members, header=INT_CHANNEL):
    return zu_data_reader.ZuDataFIle(zu_file(header, members))


def trace(m, count=100):
    return [m * 1000 + t for t in range(count)]


def reshape_error(size, n):
    # NumPy's own wording, whichever NumPy version is installed.
    try:
        np.arange(float(size)).reshape(n, n, 100)
    except ValueError as e:
        return f"{type(e).__qualname__}: {e}"
    raise AssertionError("reshape unexpectedly succeeded")


@pytest.mark.parametrize("k", [1, 4, 9])
def test_members_fill_the_grid_in_directory_order(zu_file, k):
    n = math.isqrt(k)
    members = []
    for m in range(k):
        # Names sort the other way round, so only directory order can explain the grid.
        members.append((f"pos{k - m}/0/channels/N.dat", ints_be(*trace(m))))
        members.append((f"pos{m}/1/channels/N.dat", ints_be(*trace(99))))  # other segment
    a = open_file(zu_file, members).get_channel_data("N", 0, "volts")
    assert a.shape == (n, n, 100)
    for m in range(k):
        assert a[m // n, m % n].tolist() == trace(m)


@pytest.mark.parametrize("length", range(8))
def test_short_member_is_padded_with_nan(zu_file, length):
    header = channel_lines("1", "N", encoder=("10", "2"))
    a = open_file(zu_file, [("d/0/channels/N.dat", floats_be(1.5, 2.5)[:length])], header).get_channel_data(
        "N", 0, "volts")
    decoded = [13.0, 15.0][: length // 4]
    assert a.shape == (1, 1, 100)
    assert a[0, 0, : len(decoded)].tolist() == decoded
    padding = a[0, 0, len(decoded):]
    assert len(padding) == 100 - len(decoded)
    assert (padding.view(np.uint64) == 0x7FF8000000000000).all()


def test_stored_float_nan_stays_nan(zu_file):
    header = channel_lines("1", "N", encoder=("10", "2"))
    member = struct.pack(">I", 0x7FC00000) + struct.pack(">I", 0xFF800001) + floats_be(1.0)
    a = open_file(zu_file, [("d/0/channels/N.dat", member)], header).get_channel_data("N", 0, "volts")
    assert np.isnan(a[0, 0, :2]).all() and a[0, 0, 2] == 12.0


@pytest.mark.parametrize("sample_type, word, encoder, expected", [
    ("float-data", 0x3F800000, ("1", "2"), 3.0),
    ("float-data", 0x00000001, ("0", "1"), float(np.frombuffer(b"\1\0\0\0", "<f4")[0])),
    ("int32", 0xFFFFFFFE, ("0", "1"), -2.0),
    ("int32", 0x80000000, ("0", "1"), -2147483648.0),
    ("int32", 0x7FFFFFFF, ("0", "1"), 2147483647.0),
    ("int32", 0x3F800000, ("1", "2"), 1 + 2 * 1065353216.0),
    ("Float-data", 0x3F800000, ("0", "1"), 1065353216.0),
    ("float-data ", 0x3F800000, ("0", "1"), 1065353216.0),
    ("", 0xFFFFFFFE, ("0", "0.5"), -1.0),
])
def test_sample_decoding(zu_file, sample_type, word, encoder, expected):
    header = channel_lines("1", "N", sample_type=sample_type, encoder=encoder)
    members = [("d/0/channels/N.dat", struct.pack(">I", word))]
    assert open_file(zu_file, members, header).get_channel_data("N", 0, "volts")[0, 0, 0] == expected


@pytest.mark.parametrize("segment, member, included", [
    (7, "a/7/channels/N.dat", True), (7, "/7/channels/N.dat", True),
    (7, "a/b/c/7/channels/N.dat", True), (7, "x/17/channels/N.dat", False),
    (7, "7/channels/N.dat", False), (7, "a/07/channels/N.dat", False),
    (7, "a/7/channels/xN.dat", False), (7, "a/7/channels/n.dat", False),
    (7, "a/7/Channels/N.dat", False), (7, "a/7/channels/N.dat.bak", False),
    (0, "a/10/channels/N.dat", False), (0, "a/0/channels/N.dat", True),
    (255, "z/255/channels/N.dat", True), (25, "z/255/channels/N.dat", False),
])
def test_member_selection(zu_file, segment, member, included):
    f = open_file(zu_file, [(member, ints_be(5))])
    if included:
        assert f.get_channel_data("N", segment, "volts")[0, 0, 0] == 5.0
    else:
        with pytest.raises(OSError) as exc:
            f.get_channel_data("N", segment, "volts")
        assert exc.value.args == (f"Expected File /{segment}/channels/N.dat, but this file was "
                                  "not present in the archive.",)


@pytest.mark.parametrize("unit, name, message", [
    ("U", "N", "Expected header to have key U but it did not."),
    ("volts", "M", "No such such Channel:  M"),
    ("P", "n", "No such such Channel:  n"),
])
def test_header_errors_come_before_the_archive(zu_file, capfd, unit, name, message):
    # Members exist for the asked name; the header decides first anyway.
    f = open_file(zu_file, [("d/0/channels/M.dat", ints_be(1)), ("d/0/channels/n.dat", ints_be(1))])
    with pytest.raises(OSError) as exc:
        f.get_channel_data(name, 0, unit)
    assert exc.value.args == (message,)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("counts", [[101], [3, 101, 5, 7], [2, 2], [2, 2, 2], [2] * 5, [5] * 10])
def test_grid_that_does_not_fit_is_a_reshape_error(zu_file, capfd, counts):
    members = [(f"m{m}/0/channels/N.dat", ints_be(*range(c))) for m, c in enumerate(counts)]
    f = open_file(zu_file, members)
    capfd.readouterr()
    with pytest.raises(OSError) as exc:
        f.get_channel_data("N", 0, "P")
    size = sum(max(c, 100) for c in counts)
    assert type(exc.value) is OSError
    assert exc.value.args == (reshape_error(size, math.isqrt(len(counts))),)
    assert capfd.readouterr().out == "1,10\n11\n"


@pytest.mark.parametrize("first, line", [(b"", "NaN"), (ints_be(4), "NaN"), (ints_be(4, 6), "61")])
def test_second_value_line_comes_from_the_first_member(zu_file, capfd, first, line):
    members = [("a/0/channels/N.dat", first)] + [(f"b{i}/0/channels/N.dat", ints_be(7, 8)) for i in range(3)]
    f = open_file(zu_file, members)
    capfd.readouterr()
    f.get_channel_data("N", 0, "P")
    assert capfd.readouterr().out == f"1,10\n{line}\n"


def test_array_is_independent_and_outlives_the_file(zu_file):
    f = open_file(zu_file, [("d/0/channels/N.dat", ints_be(1, 2, 3))])
    a = f.get_channel_data("N", 0, "P")
    b = f.get_channel_data("N", 0, "P")
    assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
    a[0, 0, :] = -1.0
    assert b[0, 0, :3].tolist() == [11.0, 21.0, 31.0]
    del f
    gc.collect()
    garbage = [np.arange(100.0) for _ in range(1000)]  # reuse freed memory if any
    assert b[0, 0, :3].tolist() == [11.0, 21.0, 31.0] and np.isnan(b[0, 0, 3:]).all()
    b += 1
    assert b.sum(where=~np.isnan(b)) == 66.0 and len(garbage) == 1000


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# AddressSanitizer keeps freed memory in quarantine, so resident size grows.
@pytest.mark.no_sanitizer
def test_no_memory_or_descriptor_leak(zu_file, capfd):
    members = [(f"m{m}/0/channels/N.dat", ints_be(*trace(m))) for m in range(9)]
    good = zu_file(INT_CHANNEL, members)
    odd = zu_file(INT_CHANNEL, members[:5])

    def exercise(rounds):
        for _ in range(rounds):
            f, g = zu_data_reader.ZuDataFIle(good), zu_data_reader.ZuDataFIle(odd)
            for file, args in ((f, ("N", 0, "P")), (f, ("N", 1, "P")), (f, ("X", 0, "P")),
                               (f, ("N", 0, "U")), (g, ("N", 0, "P"))):
                try:
                    file.get_channel_data(*args)
                except OSError:
                    pass
        capfd.readouterr()

    exercise(200)
    gc.collect()
    rss, fds = rss_bytes(), len(os.listdir("/proc/self/fd"))
    exercise(3000)
    gc.collect()
    # 3000 rounds move about 50 MB through values buffers and member bytes.
    assert rss_bytes() - rss < 4 * 2**20
    assert len(os.listdir("/proc/self/fd")) - fds <= 2


# Members recorded at more than 1 MiB are decoded by streaming, in pieces
# that split samples anywhere; the count and the values must not notice.
@pytest.mark.parametrize("tail", [0, 1, 3])
@pytest.mark.parametrize("others", [0, 3])
def test_long_member_is_counted_through_the_stream(zu_file, capfd, tail, others):
    samples = np.random.default_rng(tail).integers(-2**31, 2**31, 700_002).astype(">i4")
    samples[:2] = [4, 6]
    big = samples.tobytes() + b"\x7f" * tail
    members = [("a/0/channels/N.dat", big)] + [(f"b{i}/0/channels/N.dat", ints_be(*trace(i))) for i in range(others)]
    f = open_file(zu_file, members)
    capfd.readouterr()
    with pytest.raises(OSError) as exc:
        f.get_channel_data("N", 0, "P")
    n = math.isqrt(1 + others)
    assert exc.value.args == (reshape_error(len(samples) + 100 * others, n),)
    assert capfd.readouterr().out == "1,10\n61\n"


@pytest.mark.parametrize("csize_extra", [0, 900_000])
def test_streamed_small_members_keep_their_values(tmp_path, csize_extra):
    # A recorded compressed size running past the end of the file sends the
    # member down the streaming road; its values must be the same.
    members = [Member(HEADER_NAME.encode(), INT_CHANNEL.encode())]
    for m in range(4):
        data = ints_be(*trace(m, 60 + m))
        members.append(Member(b"p%d/0/channels/N.dat" % m, data, csize=len(deflate(data)) + csize_extra))
    path = tmp_path / "d.zip"
    path.write_bytes(build(members))
    a = zu_data_reader.ZuDataFIle(str(path)).get_channel_data("N", 0, "volts")
    for m in range(4):
        assert a[m // 2, m % 2, : 60 + m].tolist() == trace(m, 60 + m)
        assert np.isnan(a[m // 2, m % 2, 60 + m:]).all()


MEMORY_PROBE = MEMORY_STATUS + r"""
import json, os, sys
import numpy as np
import zu_data_reader

np.zeros(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
path, request = sys.argv[1], json.loads(sys.argv[2])
before = status("VmRSS")
reset_peak()
try:
    f = zu_data_reader.ZuDataFIle(path)
    message = f.get_channel_data(*request).shape if request else sorted(f.header)
except OSError as e:
    message = str(e)
sys.stderr.write(json.dumps([status("VmHWM") - before, message]))
"""


def peak_extra_and_outcome(path, request=None):
    """Opens `path` (and makes `request`) in a fresh process: the peak of
    resident memory above the start, and the error text or result."""
    done = run_child(MEMORY_PROBE, path, json.dumps(request), timeout=300)
    assert done.returncode == 0, done.stderr
    extra, message = json.loads(done.stderr.splitlines()[-1])
    return extra, message


ZERO_MEMBER = 2**30


@pytest.fixture(scope="module")
def zeros_gib():
    return zeros_deflate(ZERO_MEMBER), zeros_crc32(ZERO_MEMBER)


def test_huge_member_of_zeros_is_not_held(tmp_path, zeros_gib):
    stream, crc = zeros_gib
    path = tmp_path / "zeros.zip"
    path.write_bytes(build([Member(HEADER_NAME.encode(), INT_CHANNEL.encode()),
                            Member(b"a/0/channels/N.dat", raw=stream, usize=ZERO_MEMBER, crc=crc)]))
    extra, message = peak_extra_and_outcome(path, ["N", 0, "P"])
    assert message == reshape_error(ZERO_MEMBER // 4, 1)
    assert extra < 100e6


def test_entries_sharing_one_large_member_are_not_held(tmp_path):
    size = 100 << 20
    stream, crc = zeros_deflate(size), zeros_crc32(size)
    header = Member(HEADER_NAME.encode(), INT_CHANNEL.encode())
    shared_at = 30 + len(header.name) + len(header.payload())
    entries = [Member(b"p%d/0/channels/N.dat" % i, raw=stream, usize=size, crc=crc,
                      offset=None if i == 0 else shared_at) for i in range(16)]
    path = tmp_path / "shared.zip"
    path.write_bytes(build([header] + entries))
    extra, message = peak_extra_and_outcome(path, ["N", 0, "P"])
    assert message == reshape_error(16 * size // 4, 4)
    assert extra < 100e6


def test_only_the_first_header_member_is_held(tmp_path):
    size = 50 << 20
    stream, crc = zeros_deflate(size), zeros_crc32(size)
    first = Member(HEADER_NAME.encode(), b"a=1\n")
    shared_at = len(build([first])) - 22 - 46 - len(first.name)  # where the second local header goes
    later = [Member(HEADER_NAME.encode(), raw=stream, usize=size, crc=crc,
                    offset=None if i == 0 else shared_at) for i in range(19)]
    path = tmp_path / "headers.zip"
    path.write_bytes(build([first] + later))
    extra, message = peak_extra_and_outcome(path)
    assert message == ["a"]
    assert extra < 100e6
    # Later copies are still verified.
    later[5] = Member(HEADER_NAME.encode(), raw=stream, usize=size, crc=crc ^ 1)
    path.write_bytes(build([first] + later))
    assert peak_extra_and_outcome(path)[1] == f"Invalid checksum: expected 0x{crc:08x}, got 0x{crc ^ 1:08x}"
