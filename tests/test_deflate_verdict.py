"""One DEFLATE verdict in every build and at every member size: zlib's.

Each stream below is one that a lenient decoder (libdeflate among them)
decodes to `len` bytes of "A" while zlib refuses it, or a valid stream of
the same shapes as a control. Members carry it alone or after stored blocks
of "A", so that it is read whole (small members) or streamed (over 1 MiB).
"""

import zlib

import numpy as np
import pytest
import zu_data_reader
from conftest import HEADER_NAME, channel_lines
from deflate_bits import dynamic_block, fixed_block, lengths_for, stored_blocks
from zudata.datafile import Member, build

INT_CHANNEL = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")])
CORRUPT = "corrupt deflate stream"

A = ord("A")
LIT = lengths_for(286, [A, 66, 256, 257], 2)  # a complete code of four symbols
COPY = [("lit", A), ("len", 257, 0, 0), ("dist", 0, 0, 0)]  # "A", then 3 more at distance 1
RUN = [("lit", A)] + [("len", 285, 0, 0), ("dist", 0, 0, 0)] * 200  # 51,601 bytes of "A"


def far_copy(symbol):
    # A 3-byte copy with distance code `symbol` and 13 zero extra bits.
    return fixed_block(RUN + [("len", 257, 0, 0), ("dist", symbol, 0, 13)])


def repeat_zeros(count):
    # The last 28 distance lengths (zeros) sent as one repeat of `count`.
    sent = [(n, 0, 0) for n in LIT + [1, 1]] + [(18, count - 11, 7)]
    return dynamic_block(LIT, [1, 1] + [0] * 28, COPY, sent)


def leading_repeat():
    # The first three lengths (zeros) sent as "repeat the previous length"
    # before there is one.
    sent = [(16, 0, 2)] + [(n, 0, 0) for n in (LIT + [1, 1])[3:]]
    return dynamic_block(LIT, [1, 1], COPY, sent)


# name -> (stream, bytes a lenient decoder makes of it, zlib accepts it)
STREAMS = {
    "fixed": (fixed_block(COPY), 4, True),
    "fixed, length symbol 286": (fixed_block([("lit", A), ("len", 286, 0, 0), ("dist", 0, 0, 0)]), 259, False),
    "fixed, length symbol 287": (fixed_block([("lit", A), ("len", 287, 0, 0), ("dist", 0, 0, 0)]), 259, False),
    "fixed, distance code 29": (far_copy(29), 51604, True),
    "fixed, distance code 30": (far_copy(30), 51604, False),
    "fixed, distance code 31": (far_copy(31), 51604, False),
    "dynamic": (dynamic_block(LIT, [1, 1], COPY), 4, True),
    "dynamic, 287 length codes": (dynamic_block(lengths_for(287, [A, 66, 256, 257], 2), [1, 1], COPY), 4, False),
    "dynamic, 288 length codes": (dynamic_block(lengths_for(288, [A, 66, 256, 257], 2), [1, 1], COPY), 4, False),
    "dynamic, 31 distance codes": (dynamic_block(LIT, [1, 1] + [0] * 29, COPY), 4, False),
    "dynamic, 32 distance codes": (dynamic_block(LIT, [1, 1] + [0] * 30, COPY), 4, False),
    "dynamic, repeat up to the last length": (repeat_zeros(28), 4, True),
    "dynamic, repeat past the last length": (repeat_zeros(40), 4, False),
    "dynamic, repeat before the first length": (leading_repeat(), 4, False),
    # One distance code of one bit: zlib takes it, but not the missing codeword.
    "dynamic, lone distance code used": (dynamic_block(LIT, [1], COPY[:2] + [("bits", 0, 1)]), 4, True),
    "dynamic, lone distance code missed": (dynamic_block(LIT, [1], COPY[:2] + [("bits", 1, 1)]), 4, False),
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
    block, made, accepted = STREAMS[name]
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
