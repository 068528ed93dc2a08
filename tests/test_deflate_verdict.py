"""One DEFLATE verdict in every build and at every member size: zlib's.

Each stream below is one that a lenient decoder (libdeflate among them)
decodes to `len` bytes of "A" while zlib refuses it, or a valid stream of
the same shapes as a control. Members carry it alone or after stored blocks
of "A", so that it is read whole (small members) or streamed (over 1 MiB).
The native test driver shows which decoder gives each whole-buffer verdict
(the in-house one, libdeflate or zlib), in builds with and without
libdeflate; conftest.py fails every test after which zlib had to correct a
fast decoder's output.
"""

import random
import struct
import subprocess
import zlib

import numpy as np
import pytest
import zu_data_reader
from conftest import HEADER_NAME, channel_lines
from deflate_bits import dynamic_block, fixed_block, lengths_for, stored_blocks
from zudata.testfiles import Member, build

INT_CHANNEL = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")])
CORRUPT = "corrupt deflate stream"

A = ord("A")
LIT = lengths_for(286, [A, 66, 256, 257], 2)  # a complete code of four symbols
COPY = [("lit", A), ("len", 257, 0, 0), ("dist", 0, 0, 0)]  # "A", then 3 more at distance 1
# Dynamic blocks send eight "A"s before the copy: the in-house decoder takes
# a block only when 14 bits follow the last length of its header.
LONG_COPY = [("lit", A)] * 8 + COPY
RUN = [("lit", A)] + [("len", 285, 0, 0), ("dist", 0, 0, 0)] * 200  # 51,601 bytes of "A"


def far_copy(symbol):
    # A 3-byte copy with distance code `symbol` and 13 zero extra bits.
    return fixed_block(RUN + [("len", 257, 0, 0), ("dist", symbol, 0, 13)])


def repeat_zeros(count):
    # The last 28 distance lengths (zeros) sent as one repeat of `count`.
    sent = [(n, 0, 0) for n in LIT + [1, 1]] + [(18, count - 11, 7)]
    return dynamic_block(LIT, [1, 1] + [0] * 28, LONG_COPY, sent)


def leading_repeat():
    # The first three lengths (zeros) sent as "repeat the previous length"
    # before there is one.
    sent = [(16, 0, 2)] + [(n, 0, 0) for n in (LIT + [1, 1])[3:]]
    return dynamic_block(LIT, [1, 1], LONG_COPY, sent)


# name -> (stream, bytes a lenient decoder makes of it, zlib accepts it, the
# road a whole-buffer decode of it takes in a build with libdeflate). The
# roads: "in-house" (one final dynamic block whose header passes zlib's
# rules), "in-house,zlib" (such a block whose data the in-house decoder
# refuses, then judged by zlib) and "zlib" (everything else).
STREAMS = {
    "fixed": (fixed_block(COPY), 4, True, "zlib"),
    "fixed, length symbol 286": (fixed_block([("lit", A), ("len", 286, 0, 0), ("dist", 0, 0, 0)]), 259, False, "zlib"),
    "fixed, length symbol 287": (fixed_block([("lit", A), ("len", 287, 0, 0), ("dist", 0, 0, 0)]), 259, False, "zlib"),
    "fixed, distance code 29": (far_copy(29), 51604, True, "zlib"),
    "fixed, distance code 30": (far_copy(30), 51604, False, "zlib"),
    "fixed, distance code 31": (far_copy(31), 51604, False, "zlib"),
    "dynamic": (dynamic_block(LIT, [1, 1], LONG_COPY), 12, True, "in-house"),
    "dynamic, 287 length codes": (dynamic_block(lengths_for(287, [A, 66, 256, 257], 2), [1, 1], LONG_COPY), 12, False,
                                  "zlib"),
    "dynamic, 288 length codes": (dynamic_block(lengths_for(288, [A, 66, 256, 257], 2), [1, 1], LONG_COPY), 12, False,
                                  "zlib"),
    "dynamic, 31 distance codes": (dynamic_block(LIT, [1, 1] + [0] * 29, LONG_COPY), 12, False, "zlib"),
    "dynamic, 32 distance codes": (dynamic_block(LIT, [1, 1] + [0] * 30, LONG_COPY), 12, False, "zlib"),
    "dynamic, repeat up to the last length": (repeat_zeros(28), 12, True, "in-house"),
    "dynamic, repeat past the last length": (repeat_zeros(40), 12, False, "zlib"),
    "dynamic, repeat before the first length": (leading_repeat(), 12, False, "zlib"),
    # One distance code of one bit: zlib takes it, but not the missing codeword.
    "dynamic, lone distance code used": (dynamic_block(LIT, [1], LONG_COPY[:-1] + [("bits", 0, 1)]), 12, True, "zlib"),
    "dynamic, lone distance code missed": (dynamic_block(LIT, [1], LONG_COPY[:-1] + [("bits", 1, 1)]), 12, False,
                                           "zlib"),
    # Three literal/length codewords of two bits leave a quarter of the code
    # unused: zlib refuses the block however the data avoids the gap.
    "dynamic, incomplete literal/length code": (dynamic_block(lengths_for(286, [A, 256, 257], 2), [1, 1], LONG_COPY),
                                                12, False, "zlib"),
}

# Stored "A"s before the block: none, some (still read whole), past 1 MiB.
PREFIXES = [0, 200_000, (1 << 20) + 1000]


def zlib_verdict(stream):
    try:
        return zlib.decompress(stream, -15)
    except zlib.error:
        return None


@pytest.mark.parametrize("prefix", PREFIXES)
@pytest.mark.parametrize("name", STREAMS)
@pytest.mark.parametrize("member", ["header", "channel"])
def test_every_build_gives_zlibs_verdict(tmp_path, member, name, prefix):
    block, made, accepted, _ = STREAMS[name]
    stream = stored_blocks(b"A" * prefix) + block if prefix else block
    data = b"A" * (prefix + made)
    # The test's own premise: zlib's verdict, and the lenient decoder's bytes.
    assert zlib_verdict(stream) == (data if accepted else None)
    header = Member(HEADER_NAME.encode(), INT_CHANNEL.encode())
    if member == "header":
        members = [Member(HEADER_NAME.encode(), data, raw=stream)]
    else:
        members = [header, Member(b"a/0/channels/N.dat", data, raw=stream)]
    path = tmp_path / "d.zip"
    path.write_bytes(build(members))
    try:
        f = zu_data_reader.ZuDataFIle(str(path))
        outcome = f.header if member == "header" else f.get_channel_data("N", 0, "volts")
    except OSError as e:
        outcome = str(e)
    if not accepted:
        assert outcome == CORRUPT
    elif member == "header":
        assert outcome == {}  # no line feed: no line
    elif len(data) // 4 <= 100:
        assert isinstance(outcome, np.ndarray) and outcome.shape == (1, 1, 100)
    else:
        assert outcome.startswith("ValueError: cannot reshape array of size ")


# ---- the road each stream takes ---------------------------------------------


def written_payload(seed):
    """About 90 KB that a writer codes as one dynamic block: random bytes,
    then copies of every length from 3 to 258 from every distance code,
    overlapping their source or not, each followed by one random byte."""
    rng = random.Random(seed)
    data = bytearray(rng.randbytes(4096))
    lengths = list(range(3, 259)) + [rng.randrange(3, 259) for _ in range(400)]
    for i, length in enumerate(lengths):
        bits = i % 16  # distances from 2^bits up
        distance = min(len(data), 1 << 15, rng.randrange(1 << bits, 2 << bits))
        for _ in range(length):  # byte by byte, as an overlapping copy repeats itself
            data.append(data[-distance])
        data.append(rng.randrange(256))
    return bytes(data)


# Payloads (by seed) and the levels a writer compresses each at.
WRITTEN = [(seed, level) for seed in ("first", "second") for level in (1, 6, 9)]


def road_cases():
    """(stream, output size, road in a build with libdeflate) for every
    stream above alone and after stored blocks (libdeflate's road then, for
    a header the in-house decoder takes), and for the written streams."""
    cases = []
    for block, made, _, road in STREAMS.values():
        cases.append((block, made, road))
        stored = stored_blocks(b"A" * PREFIXES[1])
        cases.append((stored + block, PREFIXES[1] + made, "libdeflate" if road.startswith("in-house") else road))
    for seed, level in WRITTEN:
        payload = written_payload(seed)
        stream = raw_deflate(payload, level, zlib.Z_DEFAULT_STRATEGY)
        cases.append((stream, len(payload), "in-house"))
        # Cut short: the in-house decoder refuses the block, and zlib judges it.
        cases.append((stream[:-3], len(payload), "in-house,zlib"))
    return cases


@pytest.mark.no_sanitizer  # the driver would run with the sanitizer runtime preloaded but not built for it
def test_each_stream_takes_its_road_and_gets_zlibs_verdict(native, tmp_path):
    args, expected = [], []
    for k, (stream, size, road) in enumerate(road_cases()):
        (tmp_path / f"{k}.deflate").write_bytes(stream)
        args += [str(tmp_path / f"{k}.deflate"), str(size)]
        verdict = zlib_verdict(stream)
        ok = verdict is not None and len(verdict) == size
        if native.name == "tests-zlib-only":  # a build without libdeflate decodes all with zlib
            road = "zlib"
        expected.append(f"{road} {'ok' if ok else 'refused'} {zlib.crc32(verdict) if ok else 0:08x}")
    done = subprocess.run([str(native / "zu_test_driver"), "inflate", *args], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [*expected, "mismatches 0"]


# ---- traces as writers compress them ---------------------------------------


def trace(kind, rng):
    """100 big-endian int32 samples: a slow curve (matches), mostly one value
    among rare ones (long codewords), constant stretches (copies that
    overlap their source) or noise."""
    if kind == "curve":
        values = [int(1000 * np.sin(i / 7)) for i in range(100)]
    elif kind == "skewed":
        values = [rng.randrange(1 << 31) if rng.random() < 0.15 else 0 for _ in range(100)]
    elif kind == "stretches":
        values, v = [], 0
        while len(values) < 100:
            v = rng.randrange(256)
            values += [v] * rng.randrange(1, 30)
        values = values[:100]
    else:
        values = [rng.randrange(-(1 << 31), 1 << 31) for _ in range(100)]
    return struct.pack(">100i", *values)


def raw_deflate(data, level, strategy):
    comp = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    return comp.compress(data) + comp.flush()


def mutants(stream, rng):
    """The stream, one bit flipped in its block header, one flipped further
    on, and the stream cut short by one byte."""
    flipped_early, flipped_late = bytearray(stream), bytearray(stream)
    flipped_early[rng.randrange(min(len(stream), 24))] ^= 1 << rng.randrange(8)
    flipped_late[rng.randrange(len(stream))] ^= 1 << rng.randrange(8)
    return [stream, bytes(flipped_early), bytes(flipped_late), stream[:-1]]


def zlib_yields(stream, data):
    """Whether zlib, fed the whole stream, gives exactly `data` without an
    error. Like the reader, it need not have seen the end of the stream: a
    member whose bytes are all there, checksum and size right, is read even
    when the last code (end of block) is cut off."""
    inflater = zlib.decompressobj(-15)
    try:
        return inflater.decompress(stream) + inflater.flush() == data
    except zlib.error:
        return False


@pytest.mark.parametrize("strategy", [zlib.Z_DEFAULT_STRATEGY, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FILTERED])
@pytest.mark.parametrize("kind", ["curve", "skewed", "stretches", "noise"])
def test_compressed_traces_read_as_zlib_decodes_them(tmp_path, kind, strategy):
    # Every variant of a compressed trace sits alone in a segment of its
    # own: it reads as the trace exactly when zlib decodes it to the trace's
    # bytes, and fails otherwise (wrong size or checksum, corrupt stream).
    rng = random.Random(f"{kind}-{strategy}")
    header = Member(HEADER_NAME.encode(), INT_CHANNEL.encode())
    originals, members, expected = [], [header], []
    for _ in range(16):
        data = trace(kind, rng)
        for variant in mutants(raw_deflate(data, rng.choice([1, 6, 9]), strategy), rng):
            segment = len(expected)
            members.append(Member(b"a/%d/channels/N.dat" % segment, data, raw=variant))
            expected.append(zlib_yields(variant, data))
            # The oracle holds the trace in a stored block: no Huffman decoder reads it.
            originals.append(Member(b"a/%d/channels/N.dat" % segment, data, raw=stored_blocks(data, final=True)))
    path, oracle_path = tmp_path / "d.zip", tmp_path / "stored.zip"
    path.write_bytes(build(members))
    oracle_path.write_bytes(build([header, *originals]))
    f, oracle = zu_data_reader.ZuDataFIle(str(path)), zu_data_reader.ZuDataFIle(str(oracle_path))
    for segment, readable in enumerate(expected):
        want = oracle.get_channel_data("N", segment, "volts")
        try:
            got = f.get_channel_data("N", segment, "volts")
        except OSError:
            got = None
        if readable:
            assert got is not None and np.array_equal(got.view(np.uint64), want.view(np.uint64)), segment
        else:
            assert got is None, segment
