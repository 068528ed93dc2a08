"""Members named by several entries, entries whose data overlap, and the
archives real ZIP writers make: a request decodes no compressed byte twice
and refuses no real archive."""

import json
import shutil
import subprocess
import zlib

import numpy as np
import pytest
import zu_data_reader
from conftest import HEADER_NAME, channel_lines, ints_be, not_installed, run_child
from deflate_bits import stored_blocks
from zudata.testfiles import Member, build, zeros_crc32, zeros_deflate

INT_CHANNEL = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")])
HEADER = Member(HEADER_NAME.encode(), INT_CHANNEL.encode())


def trace(m, count=100):
    return [m * 1000 + t for t in range(count)]


def record_length(m):
    """Bytes of a member's local header and data as build() writes them."""
    name = m.lh_name if m.lh_name is not None else m.name
    return 30 + len(name) + len(m.lh_extra) + len(m.payload())


def offset_of(members, index):
    return sum(record_length(m) for m in members[:index])


def channel(path):
    try:
        return zu_data_reader.ZuDataFIle(str(path)).get_channel_data("N", 0, "volts")
    except OSError as e:
        return str(e)


def reshape_error(size, n):
    # NumPy's own wording, without allocating `size` values.
    try:
        np.lib.stride_tricks.as_strided(np.zeros(1), (size,), (0,)).reshape(n, n, 100)
    except ValueError as e:
        return f"{type(e).__qualname__}: {e}"


@pytest.mark.parametrize("shared", [[1], [1, 3], [0, 1, 2]])
def test_entries_naming_one_member_get_its_values(tmp_path, shared):
    # Entries 1.. of `shared` point at the member of entry shared[0].
    members = [HEADER] + [Member(b"p%d/0/channels/N.dat" % m, ints_be(*trace(m, 50 + m))) for m in range(4)]
    first = shared[0]
    for m in shared[1:]:
        members[1 + m].offset = offset_of(members, 1 + first)
        members[1 + m].crc = zlib.crc32(members[1 + first].data)
        members[1 + m].csize = len(members[1 + first].payload())
        members[1 + m].usize = len(members[1 + first].data)
    path = tmp_path / "d.zip"
    path.write_bytes(build(members))
    a = channel(path)
    for m in range(4):
        source = first if m in shared else m
        assert a[m // 2, m % 2, : 50 + source].tolist() == trace(source, 50 + source)
        assert np.isnan(a[m // 2, m % 2, 50 + source:]).all()


@pytest.mark.parametrize("filler", [0, (1 << 20) + 5000])
def test_data_running_into_another_entry_is_refused(tmp_path, filler):
    # Member 0's stream is a stored block whose bytes hold a whole second
    # member (local header and data); an entry points at that copy. Both
    # decode on their own, but their compressed bytes overlap.
    inner = Member(b"p1/0/channels/N.dat", ints_be(*trace(1)))
    inner_bytes = build([inner])[: record_length(inner)]
    outer_data = inner_bytes + bytes(filler)
    outer = Member(b"p0/0/channels/N.dat", outer_data, raw=stored_blocks(outer_data, final=True))
    members = [HEADER, outer, inner,
               Member(b"p2/0/channels/N.dat", ints_be(*trace(2))), Member(b"p3/0/channels/N.dat", ints_be(*trace(3)))]
    outer_at = offset_of(members, 1)
    inner.offset = outer_at + 30 + len(outer.name) + 5  # past the stored block's own header
    path = tmp_path / "d.zip"
    path.write_bytes(build(members))
    assert channel(path) == (f"Overlapping entries: the data of the member at offset {outer_at} runs into "
                             f"the member at offset {inner.offset} (possible zip bomb)")


def test_one_local_header_described_two_ways_is_refused(tmp_path):
    members = [HEADER] + [Member(b"p%d/0/channels/N.dat" % m, ints_be(*trace(m))) for m in range(4)]
    at = offset_of(members, 1)
    members[2].offset = at
    members[2].crc = zlib.crc32(members[1].data)
    members[2].csize = len(members[1].payload())  # the usize (400) stays, the data is the same length:
    members[2].usize = 396  # one sample short
    path = tmp_path / "d.zip"
    path.write_bytes(build(members))
    assert channel(path) == (f"Overlapping entries: the data of the member at offset {at} runs into "
                             f"the member at offset {at} (possible zip bomb)")


BOMB_CHILD = r"""
import json, os, sys, time
import zu_data_reader
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
f = zu_data_reader.ZuDataFIle(sys.argv[1])
start = time.monotonic()
try:
    f.get_channel_data("N", 0, "volts")
    outcome = "no error"
except OSError as e:
    outcome = str(e)
sys.stderr.write(json.dumps([time.monotonic() - start, outcome]))
"""


def test_a_member_named_by_1024_entries_is_decoded_once(tmp_path):
    # A few MB of file: 1,024 entries at one member of 1 GiB of zeros.
    # Decoding it once takes about a second; once per entry, minutes.
    size = 1 << 30
    stream, crc = zeros_deflate(size), zeros_crc32(size)
    members = [HEADER, Member(b"p0/0/channels/N.dat", raw=stream, crc=crc, usize=size)]
    at = offset_of(members, 1)
    members += [Member(b"p%d/0/channels/N.dat" % i, raw=b"", crc=crc, usize=size, csize=len(stream), offset=at)
                for i in range(1, 1024)]
    path = tmp_path / "bomb.zip"
    path.write_bytes(build(members))
    assert path.stat().st_size < 10_000_000
    child = run_child(BOMB_CHILD, path, timeout=120)
    assert child.returncode == 0, child.stderr
    elapsed, outcome = json.loads(child.stderr.splitlines()[-1])
    assert outcome == reshape_error(1024 * (size // 4), 32)
    # A few seconds on a quiet machine; the bound leaves room for a loaded one
    # and still fails a reader that inflates the member once per entry.
    assert elapsed < 60, f"{elapsed:.1f} s"


# ---- archives of real ZIP writers ------------------------------------------

def sample_tree(root):
    """A data file's members as files: the header, a 2 x 2 grid of segment-0
    traces (one empty), one segment-1 trace of 1.5 MiB (streamed, not read
    whole) and a stray file. Returns the names and the segment-0 traces."""
    files = {HEADER_NAME: INT_CHANNEL.encode()}
    values = {0: trace(0), 1: [], 2: trace(2, 30), 3: trace(3)}
    for m, v in values.items():
        files[f"index/{m}/segments/0/channels/N.dat"] = ints_be(*v)
    files["index/0/segments/1/channels/N.dat"] = ints_be(*range(LONG_TRACE))
    files["index/0/segments/0/segment-header.properties"] = b"a=1\n"
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return sorted(files), values


LONG_TRACE = 3 * 2**17

WRITERS = {
    "zip": lambda names, out: ["zip", "-q", "-X", str(out), *names],
    "zip-streamed": lambda names, out: ["zip", "-q", "-fd", str(out), *names],
    "7z": lambda names, out: ["7z", "a", "-tzip", "-bd", "-bso0", str(out), *names],
    "jar": lambda names, out: ["jar", "--create", "--no-manifest", "--file", str(out), *names],
    "bsdtar": lambda names, out: ["bsdtar", "--format", "zip", "-cf", str(out), *names],
}


@pytest.mark.parametrize("writer", WRITERS)
def test_real_writers_archives_read_in_full(tmp_path, writer):
    tool = WRITERS[writer]([], tmp_path)[0]
    if shutil.which(tool) is None:
        pytest.skip(not_installed(tool))
    root = tmp_path / "tree"
    names, values = sample_tree(root)
    out = tmp_path / "d.zip"
    subprocess.run(WRITERS[writer](names, out), cwd=root, check=True, capture_output=True, timeout=120)
    f = zu_data_reader.ZuDataFIle(str(out))
    assert f.header["lcd-info"]["1"]["channel"]["name"] == "N"
    a = f.get_channel_data("N", 0, "volts")
    for m, v in values.items():
        assert a[m // 2, m % 2, : len(v)].tolist() == v
        assert np.isnan(a[m // 2, m % 2, len(v):]).all()
    # The long trace is decoded and verified in full, then fails the grid.
    with pytest.raises(OSError) as exc:
        f.get_channel_data("N", 1, "volts")
    assert exc.value.args == (reshape_error(LONG_TRACE, 1),)
