"""Opening archives: locating the end records, walking the central directory,
reading and verifying members, and loading the header member."""

from __future__ import annotations

import re
import struct
import zlib

import pytest

import zu_data_reader
from zudata.testfiles import SAT32, Member, build, deflate

HEADER = b"shared-data/header.properties"
OK = {"a": "1"}
MISSING = "Missing end of central directory"
EOF = "Unexpected end of file"
FILL = "failed to fill whole buffer"
CORRUPT = "corrupt deflate stream"
BAD_EOCD = "Invalid end of central directory"
TOO_SMALL = "Buffer size too small"
NOFILE = "Expected File shared-data header, but this file was not present in the archive."
CRC = zlib.crc32(b"a=1\n")


def sig_error(expected: int, actual: int) -> str:
    return f"Invalid signature: expected 0x{expected:08x}, got 0x{actual:08x}"


def hdr(text: bytes = b"a=1\n", **kw) -> Member:
    return Member(HEADER, text, **kw)


def chan(i: int, **kw) -> Member:
    return Member(b"p%d/0/channels/c.dat" % i, struct.pack(">4f", 1, 2, 3, i), **kw)


BASE = [hdr(), chan(0), chan(1)]
PLAIN = build(BASE)
EOCD_OFF = len(PLAIN) - 22
CD_SIZE, CD_OFF = struct.unpack_from("<II", PLAIN, EOCD_OFF + 12)
RECORD_OFF = CD_OFF + CD_SIZE  # where build() puts the zip64 record


@pytest.fixture
def outcome(tmp_path):
    """Opens archive bytes; gives the header dict, or the OSError message."""
    path = tmp_path / "archive.zip"

    def run(data: bytes):
        path.write_bytes(data)
        try:
            f = zu_data_reader.ZuDataFIle(str(path))
        except OSError as e:
            assert type(e) is OSError and e.args == (str(e),) and e.errno is None
            return str(e)
        return f.header

    return run


def fake_eocd(cd_offset: int) -> bytes:
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0, 0, 0, cd_offset, 0)


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", MISSING),
        (b"\0" * 5000, MISSING),
        (b"PK\x05\x06" + b"\0" * 17, EOF),
        (b"PK\x05\x06" + b"\0" * 18, NOFILE),
        # The search window is the last MiB, counted to the signature's first byte.
        (build(BASE, trailing=b"\0" * (2**20 - 22)), OK),
        (build(BASE, trailing=b"\0" * (2**20 - 21)), MISSING),
        # A signature inside the comment is nearer the end, so it wins.
        (build(BASE, comment=b"PK\x05\x06" + b"\0" * 17), EOF),
        (build(BASE, comment=b"PK\x05\x06" + b"\0" * 18), sig_error(0x02014B50, 0x04034B50)),
        (build(BASE, comment=fake_eocd(0x7FFFFFFF)), BAD_EOCD),
        (build(BASE, comment_len=1), FILL),
        (build(BASE, comment=b"abc", comment_len=900), FILL),
        (build(BASE, comment=b"abc", trailing=b"xyz" * 10), OK),
        (build(BASE, comment=b"c" * 65535), OK),
    ],
    ids=["empty", "no-signature", "signature-21-bytes-from-end", "bare-eocd",
         "eocd-at-window-start", "eocd-before-window", "comment-signature-too-late",
         "comment-signature-used", "comment-eocd-used", "comment-past-eof",
         "long-comment-past-eof", "bytes-after-comment", "max-comment"],
)
def test_end_record_search(outcome, data, expected):
    assert outcome(data) == expected


@pytest.mark.parametrize("fill", [b"\0", b"K\x05\x06"], ids=["zeros", "signature-tails"])
@pytest.mark.parametrize("chunks", [1, 2])
@pytest.mark.parametrize("split", range(5))
def test_signature_across_chunk_boundary(outcome, fill, chunks, split):
    # Trailing bytes put the signature's first byte `split` bytes before a
    # 64 KiB boundary counted from the end of the file.
    n = chunks * 65536 - 22 + split
    assert outcome(build(BASE, trailing=(fill * n)[:n])) == OK


@pytest.mark.parametrize("prefix", [b"M", b"MZ" + b"\x90" * 4094, bytes(range(256)) * 300])
def test_prepended_data(outcome, prefix):
    assert outcome(build(BASE, prefix=prefix, comment=b"sfx")) == OK


def test_prepended_data_with_wrong_cd_size(outcome):
    # The prepended length is recovered from the CD size; a wrong size leaves
    # the recorded offset in place, which points into the prefix.
    data = build(BASE, prefix=b"\x11" * 4096, eocd={"cd_size": CD_SIZE + 1})
    assert outcome(data) == sig_error(0x02014B50, 0x11111111)


LOCATOR_ERR = sig_error(0x07064B50, 0x12345678)


@pytest.mark.parametrize(
    "kw, expected",
    [
        ({"zip64": True}, OK),
        ({"zip64": True, "members": [hdr(zip64=True), chan(0, zip64=True)]}, OK),
        ({"members": [hdr(zip64=True), chan(0, zip64=True)]}, OK),
        ({"zip64": True, "locator_sig": 0x12345678}, LOCATOR_ERR),
        ({"zip64": True, "record_sig": 0xDEADBEEF}, sig_error(0x06064B50, 0xDEADBEEF)),
        ({"zip64": True, "record_offset": 2**40}, EOF),
        ({"zip64": True, "record_offset": RECORD_OFF + 56}, EOF),
        ({"zip64": True, "z64": {"cd_offset": RECORD_OFF + 1}}, BAD_EOCD),
        ({"zip64": True, "z64": {"cd_offset": RECORD_OFF, "cd_size": 0}}, NOFILE),
        # Either saturated marker makes the archive zip64 ...
        ({"zip64": True, "locator_sig": 0x12345678,
          "eocd": {"disk_entries": 0xFFFF, "entries": 3, "cd_size": CD_SIZE, "cd_offset": CD_OFF}},
         LOCATOR_ERR),
        ({"zip64": True, "locator_sig": 0x12345678,
          "eocd": {"disk_entries": 3, "entries": 3, "cd_size": CD_SIZE, "cd_offset": SAT32}},
         LOCATOR_ERR),
        # ... the others do not: the walk then runs on into the zip64 record.
        ({"zip64": True, "locator_sig": 0x12345678,
          "eocd": {"disk_entries": 3, "entries": 0xFFFF, "cd_size": SAT32, "cd_offset": CD_OFF}},
         sig_error(0x02014B50, 0x06064B50)),
        ({"members": [], "eocd": {"disk_entries": 0xFFFF}}, "Missing zip64 end of central directory"),
        ({"members": [], "eocd": {"disk_entries": 0xFFFF}, "prefix": b"\0" * 19},
         "Missing zip64 end of central directory"),
        ({"members": [], "eocd": {"disk_entries": 0xFFFF}, "prefix": b"\0" * 20}, sig_error(0x07064B50, 0)),
    ],
)
def test_zip64(outcome, kw, expected):
    members = kw.pop("members", BASE)
    assert outcome(build(members, **kw)) == expected


def test_zip64_record_values_replace_end_record(outcome):
    # The EOCD claims an empty directory; only the zip64 record finds the header.
    data = build(BASE, zip64=True, eocd={"disk_entries": 0xFFFF, "entries": 0, "cd_size": 0, "cd_offset": 0})
    assert outcome(data) == OK


@pytest.mark.parametrize(
    "kw, expected",
    [
        ({"eocd": {"cd_offset": EOCD_OFF + 1}}, BAD_EOCD),
        # Offset too large but not beyond the EOCD: recovered from the CD size.
        ({"eocd": {"cd_offset": EOCD_OFF}}, OK),
        ({"eocd": {"cd_offset": EOCD_OFF, "cd_size": 0}}, NOFILE),
        ({"members": [hdr(cd_sig=0x12345678), chan(0)]}, sig_error(0x02014B50, 0x12345678)),
        ({"members": [hdr(), chan(0, cd_sig=0x12345678)]}, sig_error(0x02014B50, 0x12345678)),
        # Fewer than 46 bytes left once the end is reached: no further record.
        ({"after_cd": b"\x99" * 10}, OK),
        ({"after_cd": b"PK\x01\x02" + bytes(24) + b"\x64\x00" + bytes(16) + b"short"}, TOO_SMALL),
        ({"after_cd": b"\x78\x56\x34\x12" + b"\0" * 42}, sig_error(0x02014B50, 0x12345678)),
        ({"members": [hdr(comment=b"c" * 65000)]}, OK),
        ({"members": [Member(b"big", comment=b"c" * 65535), hdr()]}, TOO_SMALL),
        ({"members": [hdr(extra=b"\xaa\xbb\x03\x00xyz", comment=b"note")]}, OK),
        ({"members": []}, NOFILE),
        ({"members": [chan(0), chan(1)]}, NOFILE),
    ],
)
def test_central_directory(outcome, kw, expected):
    members = kw.pop("members", BASE)
    assert outcome(build(members, **kw)) == expected


@pytest.mark.parametrize("prefix", [b"", b"J" * 333])
@pytest.mark.parametrize("pad", [0, 7, 23])
def test_central_directory_larger_than_buffer(outcome, prefix, pad):
    fillers = [Member(b"f/%05d/%s.dat" % (i, b"x" * pad)) for i in range(1500)]
    data = build(fillers + [hdr(b"last=1\n")], prefix=prefix)
    assert struct.unpack_from("<I", data, len(data) - 10)[0] > 65536
    assert outcome(data) == {"last": "1"}


LONG_TEXT = b"".join(b"k%d=%d\n" % (i, i * i) for i in range(5000))
TRUNCATED = re.compile(r"corrupt deflate stream|Invalid (size|checksum): .*")


@pytest.mark.parametrize(
    "member, expected",
    [
        (hdr(lh_sig=0x12345678), sig_error(0x04034B50, 0x12345678)),
        (hdr(offset=0x7FFFFFFF), FILL),
        # Data starts after the local header's own name and extra field.
        (hdr(lh_name=b"zz", lh_extra=b"\xaa\xbb\x04\x00abcd"), OK),
        (hdr(b"wrong=1\n", raw=b"wrong=1\n", method=0), CORRUPT),
        (hdr(raw=b"\xff" * 16), CORRUPT),
        (hdr(method=0), OK),
        (hdr(method=12), OK),
        (hdr(raw=deflate(b"a=1\n") + b"junk after stream"), OK),
        (hdr(csize=len(deflate(b"a=1\n")) + 40), OK),
        (hdr(crc=CRC ^ 1), f"Invalid checksum: expected 0x{CRC:08x}, got 0x{CRC ^ 1:08x}"),
        (hdr(crc=0), f"Invalid checksum: expected 0x{CRC:08x}, got 0x00000000"),
        (hdr(b"", crc=0xDEADBEEF), {}),  # an empty member's CRC is 0 and not compared
        (hdr(usize=5), "Invalid size: expected 5, got 4"),
        # The read that passes the recorded size is caught as a size error.
        (hdr(usize=3), "Invalid size: expected 3, got 4"),
        (hdr(usize=0), "Invalid size: expected 0, got 4"),
        (hdr(usize=2**62, zip64=True), f"Invalid size: expected {2**62}, got 4"),
        (hdr(usize=2**32, zip64=True), f"Invalid size: expected {2**32}, got 4"),
        (hdr(csize=2**64 - 1, zip64=True), EOF),
        (hdr(flags=8, crc=0), OK),
        (hdr(flags=8, crc=0, dd_sig=False), OK),
        (hdr(flags=8, dd_crc=CRC ^ 1), f"Invalid checksum: expected 0x{CRC:08x}, got 0x{CRC ^ 1:08x}"),
        (hdr(flags=8, dd_crc=CRC ^ 1, dd_sig=False),
         f"Invalid checksum: expected 0x{CRC:08x}, got 0x{CRC ^ 1:08x}"),
        (hdr(raw=b""), TRUNCATED),
        (hdr(raw=deflate(b"a=1\n")[:2]), TRUNCATED),
        (hdr(LONG_TEXT, raw=deflate(LONG_TEXT)[: len(deflate(LONG_TEXT)) // 2]), TRUNCATED),
    ],
)
def test_member_read_and_verification(outcome, member, expected):
    got = outcome(build([member, chan(0)]))
    if isinstance(expected, re.Pattern):
        assert isinstance(got, str) and expected.fullmatch(got), got
    else:
        assert got == expected


@pytest.mark.parametrize(
    "name",
    [b"Shared-data/header.properties", b"./shared-data/header.properties",
     b"x/shared-data/header.properties", b"/shared-data/header.properties",
     b"shared-data\\header.properties", b"shared-data/header.propertie",
     b"shared-data/header.properties/", b"shared-data/header.properties\0"],
)
def test_header_name_is_matched_exactly(outcome, name):
    assert outcome(build([Member(name, b"a=1\n"), chan(0)])) == NOFILE


@pytest.mark.parametrize(
    "members, expected",
    [
        ([hdr(b"a=1\n"), hdr(b"a=2\n")], OK),
        ([chan(0), hdr(b"a=2\n"), hdr(b"a=1\n")], {"a": "2"}),
        # Every matching member is verified, even those that are discarded.
        ([hdr(), hdr(b"a=2\n", crc=1)],
         f"Invalid checksum: expected 0x{zlib.crc32(b'a=2' + bytes([10])):08x}, got 0x00000001"),
        # Members that do not match are never read.
        ([hdr(), chan(0, crc=1), chan(1, lh_sig=0), chan(2, raw=b"\xff")], OK),
    ],
)
def test_which_members_are_read(outcome, members, expected):
    assert outcome(build(members)) == expected


def utf8_error(err: str) -> str:
    return f"Header is invalid utf8, {err}."


@pytest.mark.parametrize(
    "text, expected",
    [
        (b"key=val\x80\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 7")),
        (b"a=\xe0\x80\x80\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xe1\x80\x41\n", utf8_error("invalid utf-8 sequence of 2 bytes from index 2")),
        (b"a=\xf0\x90\x80\x41\n", utf8_error("invalid utf-8 sequence of 3 bytes from index 2")),
        (b"a=\xed\xa0\x80\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xc0\xaf\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xf4\x90\x80\x80\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xf8\x88\x80\x80\x80\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xc3\n", utf8_error("invalid utf-8 sequence of 1 bytes from index 2")),
        (b"a=\xe2\x82\n", utf8_error("invalid utf-8 sequence of 2 bytes from index 2")),
        (b"a=1\nb=\xc3", utf8_error("incomplete utf-8 byte sequence from index 6")),
        (b"a=1\nb=\xe2\x82", utf8_error("incomplete utf-8 byte sequence from index 6")),
        (b"a=1\nb=\xf0\x9f\x98", utf8_error("incomplete utf-8 byte sequence from index 6")),
        (b"a=\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n", {"a": "\u00e9\u20ac\U0001f600"}),
        (b"\xef\xbb\xbfa=1\n", {"\ufeffa": "1"}),
        (b"a=1\r\nb=2\r\n", {"a": "1\r", "b": "2\r"}),
        (b"", {}),
    ],
)
def test_header_text_decoding(outcome, text, expected):
    assert outcome(build([hdr(text), chan(0)])) == expected


SWEEP_TEXT = b"a=1\nb.c=2\n"
SWEEP = build([hdr(SWEEP_TEXT), chan(0), chan(1, flags=8)], comment=b"c")


def header_or_none(path):
    """A clean OSError gives None; any other exception or a crash is a fault."""
    try:
        f = zu_data_reader.ZuDataFIle(str(path))
    except OSError as e:
        assert type(e) is OSError and str(e)
        return None
    return f.header


def test_every_truncation_fails_cleanly(tmp_path):
    path = tmp_path / "sweep.zip"
    for n in range(len(SWEEP)):
        path.write_bytes(SWEEP[:n])
        assert header_or_none(path) is None, n


def test_corrupted_bytes_fail_cleanly_or_read_the_true_header(tmp_path):
    path = tmp_path / "sweep.zip"
    expected = {"a": "1", "b": {"c": "2"}}
    path.write_bytes(SWEEP)
    assert header_or_none(path) == expected
    for i in range(len(SWEEP)):
        for mask in (0xFF, 0x01, 0x80):
            data = bytearray(SWEEP)
            data[i] ^= mask
            path.write_bytes(data)
            # The header's bytes are CRC-protected, so no flip may alter them.
            assert header_or_none(path) in (None, expected), (i, mask)


# Members recorded at more than this many bytes are decoded by streaming,
# smaller ones in one piece; both roads must agree on bytes and errors.
WHOLE_MAX = 1 << 20
ROAD_SIZES = [1000, 3 * WHOLE_MAX]


def header_of_size(size: int) -> bytes:
    text = b"".join(b"k%d=%s\n" % (i, b"%x" % (i * 7919 % 100003) * 12) for i in range(size // 40))
    return text[: text.rindex(b"\n", 0, size) + 1]


def flushed_half(data: bytes) -> bytes:
    """Deflate of the first half, ending on a byte-aligned non-final block."""
    comp = zlib.compressobj(wbits=-15)
    return comp.compress(data[: len(data) // 2]) + comp.flush(zlib.Z_FULL_FLUSH)


@pytest.mark.parametrize("size", ROAD_SIZES)
@pytest.mark.parametrize(
    "kind",
    ["ok", "long", "short", "crc", "dd_crc", "corrupt", "truncated", "local_longer",
     "local_longer_dd", "local_shorter", "past_eof"],
)
def test_both_decoding_roads_agree(outcome, size, kind):
    text = header_of_size(size)
    n, crc = len(text), zlib.crc32(text)
    member, expected = {
        "ok": (hdr(text), None),
        # The read that passes the recorded size had room for 32 bytes more.
        "long": (hdr(text, usize=n // 2), f"Invalid size: expected {n // 2}, got {n // 2 + 32}"),
        "short": (hdr(text, usize=2 * n), f"Invalid size: expected {2 * n}, got {n}"),
        "crc": (hdr(text, crc=crc ^ 1), f"Invalid checksum: expected 0x{crc:08x}, got 0x{crc ^ 1:08x}"),
        "dd_crc": (hdr(text, flags=8, dd_crc=crc ^ 1),
                   f"Invalid checksum: expected 0x{crc:08x}, got 0x{crc ^ 1:08x}"),
        "corrupt": (hdr(text, raw=flushed_half(text) + b"\xff" * 16), CORRUPT),
        "truncated": (hdr(text, raw=flushed_half(text)), f"Invalid size: expected {n}, got {n // 2}"),
        # One read is guessed from the central record; a longer local one
        # needs a second read, a shorter one none.
        "local_longer": (hdr(text, lh_extra=b"\xaa\xbb\x00\x02" + b"x" * 512), None),
        "local_longer_dd": (hdr(text, flags=8, lh_extra=b"\xaa\xbb\x10\x00" + b"y" * 16), None),
        "local_shorter": (hdr(text, extra=b"\xaa\xbb\x08\x00" + b"z" * 8), None),
        # The recorded compressed size runs past the end of the file.
        "past_eof": (hdr(text, csize=len(deflate(text)) + 900_000), None),
    }[kind]
    got = outcome(build([member, chan(0)]))
    if expected is None:
        assert got == {k.decode(): v.decode() for k, v in (line.split(b"=") for line in text.split(b"\n")[:-1])}
    else:
        assert got == expected


def with_crc_zero(prefix: bytes) -> bytes:
    """`prefix` and four bytes that bring the CRC-32 of the whole to 0
    (the CRC is affine in the last four bytes: solved over GF(2))."""
    base = zlib.crc32(prefix + bytes(4))
    rows = [(zlib.crc32(prefix + (1 << i).to_bytes(4, "little")) ^ base, 1 << i) for i in range(32)]
    pivots: list[tuple[int, int]] = []
    for value, bits in rows:
        for pv, pb in sorted(pivots, reverse=True):  # highest leading bit first
            if value ^ pv < value:
                value, bits = value ^ pv, bits ^ pb
        if value:
            pivots.append((value, bits))
    target, choice = base, 0
    for pv, pb in sorted(pivots, reverse=True):
        if target ^ pv < target:
            target, choice = target ^ pv, choice ^ pb
    assert target == 0
    data = prefix + choice.to_bytes(4, "little")
    assert zlib.crc32(data) == 0
    return data


@pytest.mark.parametrize("size", ROAD_SIZES)
def test_data_whose_crc_is_zero_is_still_checked(outcome, size):
    # Only an empty member skips the comparison with the recorded CRC.
    text = header_of_size(size)
    data = with_crc_zero(text + b"#")
    got = outcome(build([hdr(data, crc=0xDEADBEEF), chan(0)]))
    assert got == "Invalid checksum: expected 0x00000000, got 0xdeadbeef"
