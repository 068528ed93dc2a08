"""Byte-level ZIP writer for broken and unusual archives.

Every field the reader looks at can be overridden, so a test can build an
archive that no well-behaved ZIP tool would produce. Offsets are written
relative to the start of the archive proper; bytes passed as `prefix` are
prepended afterwards without correcting them, as a self-extractor does.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

SAT32 = 0xFFFFFFFF


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
    dd_sig: bool = True  # write the optional 0x08074b50 in the descriptor
    dd_crc: int | None = None  # descriptor CRC; default: CRC of data
    lh_sig: int = 0x04034B50
    lh_name: bytes | None = None  # local-header name; default: name
    lh_extra: bytes = b""
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

    `eocd` overrides EOCD fields (disk_entries, entries, cd_size, cd_offset);
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
        out += struct.pack(
            "<IHHHHHIIIHH", m.lh_sig, 20, m.flags, m.method, 0, 0x21,
            crc, len(payload) & SAT32, len(m.data) & SAT32,
            len(m.lh_name if m.lh_name is not None else m.name), len(m.lh_extra),
        )
        out += (m.lh_name if m.lh_name is not None else m.name) + m.lh_extra + payload
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
            "<IHHHHHHIIIHHHHHII", m.cd_sig, 45, 20, m.flags, m.method, 0, 0x21,
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
    fields.update(eocd or {})
    out += struct.pack(
        "<IHHHHIIH", 0x06054B50, 0, 0, fields["disk_entries"], fields["entries"],
        fields["cd_size"], fields["cd_offset"],
        len(comment) if comment_len is None else comment_len,
    )
    return prefix + bytes(out) + comment + trailing
