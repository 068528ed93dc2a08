"""Writing Zu data files: the one builder behind the tests, the fuzz seeds,
the demo's sample and the benchmark recordings.

Well-formed files, written with zipfile:

    HEADER_NAME                         the header member's name
    channel_lines(cid, name, ...)       header text of one channel
    floats_be(*values), ints_be(*values)  big-endian 4-byte samples
    write_zip(target, members, ...)     a deflated archive of (name, data)

Broken and unusual archives, written byte by byte:

    Member, build(members, ...)         every field the reader looks at can
                                        be overridden, so an archive no
                                        well-behaved ZIP tool would produce
                                        can be built
    deflate(data)                       raw DEFLATE, as members hold it
    zeros_deflate(n), zeros_crc32(n)    a member of n zero bytes for any n
    SAT32                               a saturated 32-bit field

In `build`, offsets are written relative to the start of the archive proper;
bytes passed as `prefix` are prepended afterwards without correcting them, as
a self-extractor does.
"""

from __future__ import annotations

import io
import os
import struct
import zipfile
import zlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TypeVar

HEADER_NAME = "shared-data/header.properties"
SAT32 = 0xFFFFFFFF

_Target = TypeVar("_Target", bound="str | os.PathLike[str] | io.IOBase")


def channel_lines(
    cid: str,
    name: str,
    *,
    sample_type: str = "float-data",
    encoder: tuple[str, str] | None = ("0", "1"),
    encoder_unit: str | None = None,
    base: str = "volts",
    conversions: Sequence[tuple[str, str, str, str]] = (),
    conversion_list: bool = False,
) -> str:
    """Header lines of one channel, each ending in "\\n". Values are written
    as given. `conversions` holds (unit, slot, offset, multiplier) records;
    `encoder_unit` adds the encoder's unit line and `conversion_list` the
    list of conversion names, as recording software writes them."""
    p = f"lcd-info.{cid}"
    lines = [f"{p}.channel.name={name}", f"{p}.type={sample_type}"]
    if encoder is not None:
        lines += [
            f"{p}.encoder.scaling.offset={encoder[0]}",
            f"{p}.encoder.scaling.multiplier={encoder[1]}",
        ]
    if encoder_unit is not None:
        lines.append(f"{p}.encoder.scaling.unit.unit={encoder_unit}")
    lines.append(f"{p}.conversion-set.conversions.base={base}")
    if conversion_list:
        lines.append(f"{p}.conversion-set.conversions.list={' '.join(c[0] for c in conversions)}")
    for unit, slot, offset, multiplier in conversions:
        q = f"{p}.conversion-set.conversion.{unit}"
        lines += [
            f"{q}.base-calibration-slot={slot}",
            f"{q}.scaling.offset={offset}",
            f"{q}.scaling.multiplier={multiplier}",
        ]
    return "".join(line + "\n" for line in lines)


def floats_be(*values: float) -> bytes:
    return struct.pack(f">{len(values)}f", *values)


def ints_be(*values: int) -> bytes:
    return struct.pack(f">{len(values)}i", *values)


def write_zip(
    target: _Target,
    members: Iterable[tuple[str, str | bytes]],
    *,
    compresslevel: int | None = None,
    date_time: tuple[int, int, int, int, int, int] | None = None,
    comment: bytes = b"",
) -> _Target:
    """Writes every member deflated, in order, to a path or a binary stream
    (an unseekable one makes zipfile add data descriptors); returns `target`.
    Without `date_time` the members carry the current time, as zipfile
    stamps them; with it the archive is reproducible."""
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=compresslevel) as zf:
        zf.comment = comment
        for name, data in members:
            if date_time is None:
                zf.writestr(name, data, compresslevel=compresslevel)
            else:
                info = zipfile.ZipInfo(name, date_time=date_time)
                info.compress_type = zipfile.ZIP_DEFLATED
                zf.writestr(info, data, compresslevel=compresslevel)
    return target


def deflate(data: bytes) -> bytes:
    comp = zlib.compressobj(wbits=-15)
    return comp.compress(data) + comp.flush()


@dataclass
class Member:
    name: bytes
    data: bytes = b""
    raw: bytes | None = None  # compressed bytes written verbatim instead of deflate(data)
    crc: int | None = None  # central-directory CRC; default: CRC of data
    csize: int | None = None  # recorded sizes (central directory / zip64 extra)
    usize: int | None = None
    flags: int = 0  # bit 3 appends a data descriptor
    method: int = 8
    version: int = 20  # version needed to extract, in both headers
    date: int = 0x21  # DOS modification date, in both headers (the time is 0)
    dd_sig: bool = True  # write the optional 0x08074b50 in the descriptor
    dd_crc: int | None = None  # descriptor CRC; default: CRC of data
    lh_sig: int = 0x04034B50
    lh_name: bytes | None = None  # local-header name; default: name
    lh_extra: bytes = b""
    lh_zip64: bool = False  # saturate the local sizes, real values in a 0x0001 block before lh_extra
    cd_sig: int = 0x02014B50
    extra: bytes = b""  # central-directory extra, after any generated zip64 block
    comment: bytes = b""
    offset: int | None = None  # recorded local-header offset
    zip64: bool = False  # saturate sizes and offset, real values in a 0x0001 block

    def payload(self) -> bytes:
        return deflate(self.data) if self.raw is None else self.raw


def build(
    members: list[Member],
    *,
    prefix: bytes = b"",
    after_cd: bytes = b"",
    comment: bytes = b"",
    comment_len: int | None = None,
    eocd: dict[str, int] | None = None,
    zip64: bool = False,
    z64: dict[str, int] | None = None,
    locator_sig: int = 0x07064B50,
    record_sig: int = 0x06064B50,
    record_offset: int | None = None,
    trailing: bytes = b"",
) -> bytes:
    """Returns the archive bytes.

    `eocd` overrides EOCD fields (disk, cd_disk, disk_entries, entries,
    cd_size, cd_offset);
    `z64` overrides the same fields of the zip64 EOCD record, which is written
    together with its locator when `zip64` is set. `after_cd` is inserted
    between the central directory and the (zip64) end records.
    """
    out = bytearray()
    central = bytearray()
    for m in members:
        payload = m.payload()
        crc = zlib.crc32(m.data)
        lh_offset = len(out)
        lh_csize, lh_usize, lh_extra = len(payload) & SAT32, len(m.data) & SAT32, m.lh_extra
        if m.lh_zip64:
            lh_extra = struct.pack("<HHQQ", 1, 16, len(m.data), len(payload)) + lh_extra
            lh_csize = lh_usize = SAT32
        out += struct.pack(
            "<IHHHHHIIIHH", m.lh_sig, m.version, m.flags, m.method, 0, m.date,
            crc, lh_csize, lh_usize,
            len(m.lh_name if m.lh_name is not None else m.name), len(lh_extra),
        )
        out += (m.lh_name if m.lh_name is not None else m.name) + lh_extra + payload
        if m.flags & 8:
            if m.dd_sig:
                out += struct.pack("<I", 0x08074B50)
            out += struct.pack("<III", crc if m.dd_crc is None else m.dd_crc,
                               len(payload) & SAT32, len(m.data) & SAT32)
        usize = len(m.data) if m.usize is None else m.usize
        csize = len(payload) if m.csize is None else m.csize
        offset = lh_offset if m.offset is None else m.offset
        extra = m.extra
        if m.zip64:
            extra = struct.pack("<HHQQQ", 1, 24, usize, csize, offset) + extra
            usize = csize = offset = SAT32
        central += struct.pack(
            "<IHHHHHHIIIHHHHHII", m.cd_sig, 45, m.version, m.flags, m.method, 0, m.date,
            crc if m.crc is None else m.crc, csize, usize,
            len(m.name), len(extra), len(m.comment), 0, 0, 0, offset,
        )
        central += m.name + extra + m.comment
    cd_offset = len(out)
    out += central + after_cd
    fields = {"disk_entries": len(members), "entries": len(members),
              "cd_size": len(central), "cd_offset": cd_offset}
    if zip64:
        record_at = len(out)
        rec = {**fields, **(z64 or {})}
        out += struct.pack("<IQHHIIQQQQ", record_sig, 44, 45, 45, 0, 0,
                           rec["disk_entries"], rec["entries"], rec["cd_size"], rec["cd_offset"])
        out += struct.pack("<IIQI", locator_sig, 0,
                           record_at if record_offset is None else record_offset, 1)
        fields = {"disk_entries": 0xFFFF, "entries": 0xFFFF, "cd_size": SAT32, "cd_offset": SAT32}
    fields = {"disk": 0, "cd_disk": 0, **fields, **(eocd or {})}
    out += struct.pack(
        "<IHHHHIIH", 0x06054B50, fields["disk"], fields["cd_disk"], fields["disk_entries"], fields["entries"],
        fields["cd_size"], fields["cd_offset"],
        len(comment) if comment_len is None else comment_len,
    )
    return prefix + bytes(out) + comment + trailing


# Fixed-Huffman codes of DEFLATE length symbols: (symbol, base length, extra bits).
_LENGTH_CODES = [
    (257, 3, 0), (258, 4, 0), (259, 5, 0), (260, 6, 0), (261, 7, 0), (262, 8, 0), (263, 9, 0),
    (264, 10, 0), (265, 11, 1), (266, 13, 1), (267, 15, 1), (268, 17, 1), (269, 19, 2),
    (270, 23, 2), (271, 27, 2), (272, 31, 2), (273, 35, 3), (274, 43, 3), (275, 51, 3),
    (276, 59, 3), (277, 67, 4), (278, 83, 4), (279, 99, 4), (280, 115, 4), (281, 131, 5),
    (282, 163, 5), (283, 195, 5), (284, 227, 5), (285, 258, 0),
]


def _reversed(code: int, bits: int) -> int:
    return int(f"{code:0{bits}b}"[::-1], 2)


def _length_bits(length: int) -> tuple[int, int]:
    """(value, bit count) of a match of `length` at distance 1, LSB first."""
    symbol, base, extra = next(c for c in reversed(_LENGTH_CODES) if c[1] <= length)
    code, bits = (symbol - 256, 7) if symbol < 280 else (0xC0 + symbol - 280, 8)
    value = _reversed(code, bits) | (length - base) << bits
    return value, bits + extra + 5  # distance code 0 (distance 1): five zero bits


def zeros_deflate(n: int) -> bytes:
    """Raw DEFLATE of n >= 1 zero bytes, built directly (fast for any n): one
    fixed-Huffman block of a literal 0 and matches at distance 1."""
    acc, nbits = 0b011, 3  # BFINAL=1, BTYPE=01
    acc |= _reversed(0x30, 8) << nbits  # literal 0
    nbits += 8
    full, last = divmod(n - 1, 258)
    unit, unit_bits = _length_bits(258)
    groups, single = divmod(full, 8)
    pattern = sum(unit << (unit_bits * i) for i in range(8)).to_bytes(unit_bits, "little")
    acc |= int.from_bytes(pattern * groups, "little") << nbits
    nbits += unit_bits * 8 * groups
    for _ in range(single):
        acc |= unit << nbits
        nbits += unit_bits
    if last >= 3:
        value, bits = _length_bits(last)
        acc |= value << nbits
        nbits += bits
    else:  # lengths 1 and 2 have no match code: literals instead
        for _ in range(last):
            acc |= _reversed(0x30, 8) << nbits
            nbits += 8
    nbits += 7  # end of block: seven zero bits
    return acc.to_bytes((nbits + 7) // 8, "little")


def zeros_crc32(n: int) -> int:
    crc, chunk = 0, bytes(1 << 24)
    while n > 0:
        crc = zlib.crc32(chunk[: min(n, len(chunk))], crc)
        n -= len(chunk)
    return crc
