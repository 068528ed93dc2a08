"""Memory and time a small file can cost at open: the header text is held
once while it is parsed and only as far as the tree uses it afterwards,
and wide header maps are searched through their index."""

import json
import zlib

import pytest
from conftest import HEADER_NAME, MEMORY_STATUS, channel_lines, run_child, write_zu_file
from deflate_bits import stored_blocks
from zudata.testfiles import Member, build, zeros_deflate

HEADER_PROBE = MEMORY_STATUS + r"""
import json, os, sys
import zu_data_reader

before = status("VmRSS")
reset_peak()
try:
    f = zu_data_reader.ZuDataFIle(sys.argv[1])
    outcome = sorted(f.header)
except OSError as e:
    outcome = str(e)
sys.stderr.write(json.dumps([status("VmHWM") - before, status("VmRSS") - before, outcome]))
"""

GIB = 1 << 30
TEXT = channel_lines("1", "N", sample_type="int32").encode()


def crc_of_text_and_zeros(text, zeros):
    crc, chunk = zlib.crc32(text), bytes(1 << 24)
    while zeros > 0:
        crc = zlib.crc32(chunk[: min(zeros, len(chunk))], crc)
        zeros -= len(chunk)
    return crc


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("text", [b"", TEXT], ids=["zeros only", "header lines, then zeros"])
def test_a_gib_header_is_held_once_and_only_as_far_as_used(tmp_path, text):
    # A 1 GiB header text from a file of a few MB: parsing it may take its
    # size once (not a second copy), and afterwards only the few keys and
    # values the tree refers to stay. The zeros after the last line feed
    # are no line; the zeros-only text has no line at all.
    stream = (stored_blocks(text) if text else b"") + zeros_deflate(GIB)
    member = Member(HEADER_NAME.encode(), raw=stream, usize=len(text) + GIB, crc=crc_of_text_and_zeros(text, GIB))
    path = tmp_path / "big_header.zip"
    path.write_bytes(build([member]))
    assert path.stat().st_size < 10_000_000
    child = run_child(HEADER_PROBE, path, timeout=300)
    assert child.returncode == 0, child.stderr
    peak, held, outcome = json.loads(child.stderr.splitlines()[-1])
    assert outcome == (["lcd-info"] if text else [])
    assert peak <= 1.2e9, f"peak {peak / 1e6:.0f} MB"
    assert held < 50e6, f"held {held / 1e6:.0f} MB"


WIDE_MAP_CHILD = r"""
import json, sys, time
import zu_data_reader
paths = sys.argv[1:]
best = [float("inf")] * len(paths)
for _ in range(5):
    for i, p in enumerate(paths):
        start = time.perf_counter()
        zu_data_reader.ZuDataFIle(p)
        best[i] = min(best[i], time.perf_counter() - start)
sys.stderr.write(json.dumps(best))
"""


def test_wide_maps_are_indexed(tmp_path):
    # The same number of keys, once in one map and once in maps of eight:
    # with an index both open in about the same time; searching a wide
    # map's keys one by one makes it hundreds of times slower. A ratio of
    # the best of five, not an absolute time, so a loaded machine does not
    # decide.
    n = 40_000
    wide = "".join(f"wide.key{i:05}=v\n" for i in range(n))
    narrow = "".join(f"wide.k{i // 8:04}.{i % 8}=v\n" for i in range(n))
    paths = [write_zu_file(tmp_path / f"{name}.zip", text) for name, text in (("wide", wide), ("narrow", narrow))]
    child = run_child(WIDE_MAP_CHILD, *paths, timeout=300)
    assert child.returncode == 0, child.stderr
    wide_time, narrow_time = json.loads(child.stderr.splitlines()[-1])
    assert wide_time / narrow_time < 5, f"{wide_time * 1e3:.1f} ms wide, {narrow_time * 1e3:.1f} ms narrow"
