"""Writes the seed corpora: corpus/data_file/ for fuzz_data_file (small,
well-formed data files) and corpus/header/ for fuzz_header (their header
texts, and one of unusual numbers) and corpus/deflate/ for fuzz_deflate (raw
DEFLATE streams of every block kind, valid and not).

Each data-file seed is a ZIP archive with the header member and a few
channel members, chosen so that the fuzzer starts from inputs that open and
extract, and from the archive and header variants a real file may use (zip64 records, data
descriptors, prepended bytes, comments, stored DEFLATE blocks, chained and
cyclic conversions, short and long traces).

    .venv/bin/python fuzz/make_seeds.py [fuzz/corpus]

The archives come from zudata.testfiles, so the package must be installed
(scripts/test.sh installs it into .venv/).
"""

from __future__ import annotations

import io
import sys
import zipfile
import zlib
from pathlib import Path

from zudata.testfiles import HEADER_NAME as HEADER
from zudata.testfiles import Member, build, channel_lines, floats_be, ints_be, write_zip

# A fixed time stamp keeps the seeds reproducible.
STAMP = (2024, 5, 17, 10, 32, 11)


def text(*parts: str | list[str]) -> bytes:
    """Header text of lines and of channel_lines() blocks, in order."""
    return "".join(p if isinstance(p, str) else "".join(line + "\n" for line in p) for p in parts).encode()


def floats(n: int, start: float = 0.0) -> bytes:
    return floats_be(*(start + 0.5 * i for i in range(n)))


def ints(n: int, start: int = -3) -> bytes:
    return ints_be(*(start + i for i in range(n)))


def archive(members: list[tuple[str, bytes]], *, comment: bytes = b"", level: int | None = None) -> bytes:
    return write_zip(io.BytesIO(), members, compresslevel=level, date_time=STAMP, comment=comment).getvalue()


def zip64_archive(members: list[tuple[str, bytes]]) -> bytes:
    """Every size and offset saturated and taken from zip64 extra fields (in
    the local headers too), behind a zip64 end-of-central-directory record.
    zipfile only writes these for archives past 4 GiB."""
    return build([Member(name.encode(), data, version=45, date=0, lh_zip64=True, zip64=True) for name, data in members],
                 zip64=True, eocd={"disk": 0xFFFF, "cd_disk": 0xFFFF})


class _Unseekable(io.RawIOBase):
    """A write-only stream without tell/seek: zipfile then writes data descriptors."""

    def __init__(self) -> None:
        self.data = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, b) -> int:
        self.data += b
        return len(b)


def archive_with_descriptors(members: list[tuple[str, bytes]]) -> bytes:
    return bytes(write_zip(_Unseekable(), members, date_time=STAMP).data)


def grid(name: str, segment: int, count: int, payload: bytes) -> list[tuple[str, bytes]]:
    return [(f"index/{p}/segments/{segment}/channels/{name}.dat", payload) for p in range(count)]


def shared_members(header: bytes) -> bytes:
    """Channel members of which two more directory entries name the same
    local header and data: a read decodes it once and copies it."""
    members = [Member(HEADER.encode(), header)] + [
        Member(f"index/{p}/segments/0/channels/height.dat".encode(), floats(100, start=float(p))) for p in range(4)
    ]
    first = members[1]
    first_at = 30 + len(members[0].name) + len(members[0].payload())
    for repeat in members[3:]:
        repeat.offset = first_at
        repeat.crc = zlib.crc32(first.data)
        repeat.csize = len(first.payload())
        repeat.usize = len(first.data)
    return build(members)


def seeds() -> dict[str, bytes]:
    two_channels = text(
        ["# two channels, one chained conversion each", "file-format-version=2.0"],
        channel_lines("0", "height", conversions=[("nominal", "volts", "0", "2.5e-7"),
                                                  ("distance", "nominal", "-1.2e-7", "0.987")]),
        channel_lines("1", "vDeflection", sample_type="integer-data", encoder=("-0.0125", "4.656612873077393e-09"),
                      conversions=[("force", "volts", "0.5", "0.08")]),
    )
    members = (grid("height", 0, 4, floats(100)) + grid("vDeflection", 0, 1, ints(100))
               + grid("vDeflection", 1, 4, ints(7)))
    result = {
        "basic.zip": archive([(HEADER, two_channels)] + members),
        "zip64.zip": zip64_archive([(HEADER, two_channels)] + members[:5]),
        "descriptors.zip": archive_with_descriptors([(HEADER, two_channels)] + members[:5]),
        # Level 0 keeps the data in stored DEFLATE blocks, so the header text
        # lies in the file as is and mutations of it reach the parser (once
        # the fuzzer has matched the CRC-32, which value profiling helps with).
        "stored_blocks.zip": archive([(HEADER, two_channels)] + members[:1], level=0),
        "prepended.zip": b"#!prefix\x00" * 4 + archive([(HEADER, two_channels)] + members[:1], comment=b"zu"),
    }

    # Edge cases of the header and of extraction: a cycle in the conversion
    # chain, a missing encoder scaling, numbers in every accepted spelling,
    # CR LF values, short, empty and over-long traces, a near-miss segment.
    odd = text(
        ["lcd-info.c.channel.name=loop", "lcd-info.c.type=float-data"]
        + ["lcd-info.c.conversion-set.conversions.base=B"]
        + ["lcd-info.c.conversion-set.conversion.P.base-calibration-slot=Q",
           "lcd-info.c.conversion-set.conversion.P.scaling.offset=1",
           "lcd-info.c.conversion-set.conversion.P.scaling.multiplier=2",
           "lcd-info.c.conversion-set.conversion.Q.base-calibration-slot=P",
           "lcd-info.c.conversion-set.conversion.Q.scaling.offset=+.5",
           "lcd-info.c.conversion-set.conversion.Q.scaling.multiplier=-INF",
           "lcd-info.c.conversion-set.conversion.R.base-calibration-slot=B",
           "lcd-info.c.conversion-set.conversion.R.scaling.offset=1e3",
           "lcd-info.c.conversion-set.conversion.R.scaling.multiplier=nan"],
        channel_lines("d", "short", sample_type="integer-data", encoder=None, base="raw",
                      conversions=[("cr", "raw", "1\r", "2")]),
    )
    result["shared.zip"] = shared_members(two_channels)
    result["edges.zip"] = archive(
        [(HEADER, odd)]
        + [("a/0/channels/loop.dat", floats(101)), ("b/10/channels/loop.dat", floats(3))]
        + [("x/0/channels/short.dat", ints(1) + b"\x01\x02\x03"), ("y/0/channels/short.dat", b"")]
        + [("z/0/channels/short.dat", ints(2)), ("w/0/channels/short.dat", b"\xff\xff\xff\xfe")]
    )
    return result


def header_seeds() -> dict[str, bytes]:
    """The distinct header member texts of the data-file seeds, for fuzz_header."""
    result = {}
    for name, data in seeds().items():
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            header = zf.read(HEADER)
        if header not in result.values():
            result[name.replace(".zip", ".properties")] = header
    result["numbers.properties"] = text(
        channel_lines("n", "numbers", sample_type="integer-data", base="B",
                      conversions=[("a", "B", "1.", "-.5e-3"), ("b", "a", "1e308", "4.9e-324"),
                                   ("c", "b", "-Infinity", "+0"),
                                   ("d", "c", "123456789012345678901234567890", "2.2250738585072011e-308")])
    )
    return result


def deflate_seeds() -> dict[str, bytes]:
    """Raw DEFLATE streams for fuzz_deflate: zlib's own block kinds over
    sample-like data, and hand-made blocks that only zlib refuses (from the
    tests' bit writer)."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
    from deflate_bits import dynamic_block  # noqa: PLC0415
    from test_deflate_verdict import LIT, STREAMS  # noqa: PLC0415

    samples = floats(100) + ints(100) + b"header=value\n" * 20
    result = {}
    for level, strategy, label in [(0, zlib.Z_DEFAULT_STRATEGY, "stored"), (6, zlib.Z_DEFAULT_STRATEGY, "dynamic"),
                                   (6, zlib.Z_FIXED, "fixed"), (1, zlib.Z_HUFFMAN_ONLY, "huffman"),
                                   (9, zlib.Z_RLE, "rle")]:
        for n in (0, 1, 400, len(samples)):
            comp = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
            result[f"zlib-{label}-{n}"] = comp.compress(samples[:n]) + comp.flush()
    # Codewords longer than a first-level table (one common byte among
    # hundreds of rare ones), copies that overlap their source, and a
    # stream cut short by one byte.
    # Byte k appears 2^(k mod 13) times: codeword lengths from 2 to 15 bits.
    skewed = b"".join(bytes([k]) * (1 << (k % 13)) for k in range(3, 45))
    runs = b"".join(bytes([i % 251, (i * 7) % 253]) * (1 + i % 40) for i in range(300))
    for label, data, strategy in [("skewed", skewed, zlib.Z_HUFFMAN_ONLY), ("runs", runs, zlib.Z_DEFAULT_STRATEGY)]:
        comp = zlib.compressobj(9, zlib.DEFLATED, -15, 9, strategy)
        stream = comp.compress(data) + comp.flush()
        result[f"zlib-dynamic-{label}"] = stream
        result[f"zlib-dynamic-{label}-cut"] = stream[:-1]
    # "A", a copy from two bytes back (before the start of the output), then
    # enough "A"s that the header is not the end of the input.
    result["block-dynamic-distance-too-far-back"] = dynamic_block(
        LIT, [1, 1], [("lit", 65), ("len", 257, 0, 0), ("dist", 1, 0, 0)] + [("lit", 65)] * 12)
    # A block whose end-of-block codeword is a single 0 bit, cut where only
    # that codeword and padding remain: zero bits past the input would end
    # it, but the stream is short of its end.
    lit = [0] * 286
    lit[256], lit[65], lit[257], lit[66] = 1, 2, 3, 3
    for n in range(8, 16):
        block = dynamic_block(lit, [1, 1], [("lit", 65)] * n)
        if block[-1] == 0:
            result["block-dynamic-end-of-block-cut"] = block[:-1]
            break
    for name, (stream, _, _) in STREAMS.items():
        result["block-" + name.replace(",", "").replace(" ", "-")] = stream
    return result


def write_all(out: Path, files: dict[str, bytes]) -> None:
    out.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (out / name).write_bytes(data)
        print(f"{out / name}: {len(data)} bytes")


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("corpus")
    write_all(out / "data_file", seeds())
    write_all(out / "header", header_seeds())
    write_all(out / "deflate", deflate_seeds())


if __name__ == "__main__":
    main()
