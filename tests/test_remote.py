"""Data files read from where they live: fsspec URLs, fsspec OpenFiles and
file objects, with the fetches counted at the file object that serves them."""

from __future__ import annotations

import io
import math
import threading
import time
import zipfile

import numpy as np
import pytest
from zu_files import bad_crc, good

import zudata
from zudata import _reader, _remote
from zudata.testfiles import Member, build

fsspec = pytest.importorskip("fsspec", reason="needs the remote extra")


def _all_values(f):
    return {(c, s): f.read(c, s) for c, segments in f.layout().items() for s in segments}


def _same_as_local(remote, local) -> None:
    assert remote.header == local.header
    assert remote.layout() == local.layout()
    want = _all_values(local)
    got = _all_values(remote)
    assert want.keys() == got.keys()
    for key, values in want.items():
        assert got[key].tobytes() == values.tobytes(), key


class CountingFile(io.RawIOBase):
    """A file object over `data` that counts the ranges read from it (one
    seek and read each) and can misbehave like a server."""

    def __init__(self, data: bytes, *, ignore_ranges: bool = False, shrink_to: int | None = None) -> None:
        self.data, self.pos, self.fetches = data, 0, []
        self.ignore_ranges, self.shrink_to = ignore_ranges, shrink_to

    def seek(self, offset, whence=io.SEEK_SET):
        self.pos = len(self.data) + offset if whence == io.SEEK_END else offset
        return self.pos

    def read(self, n=-1):
        if self.ignore_ranges:
            return self.data
        data = self.data if self.shrink_to is None else self.data[: self.shrink_to]
        self.fetches.append((self.pos, n))
        return data[self.pos : self.pos + n]


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return good(tmp_path_factory.mktemp("remote") / "sample.zu")


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    # Larger than the tail open fetches first, so open needs the directory
    # and header member in requests of their own.
    path = good(tmp_path_factory.mktemp("remote") / "big.zu", grid=60)
    assert path.stat().st_size > _remote.TAIL_BYTES
    return path


@pytest.mark.parametrize("tail", [_remote.TAIL_BYTES, 512], ids=["whole-file-tail", "tiny-tail"])
@pytest.mark.parametrize("kind", ["memory-url", "file-url", "openfile", "file-object", "python-file"])
def test_every_kind_of_location_reads_what_the_local_file_holds(sample, kind, tail, monkeypatch):
    monkeypatch.setattr(_remote, "TAIL_BYTES", tail)
    data = sample.read_bytes()
    with fsspec.open(f"memory://zu/{sample.name}", "wb") as out:
        out.write(data)
    with open(sample, "rb") as python_file:
        location = {
            "memory-url": f"memory://zu/{sample.name}",
            "file-url": sample.as_uri(),
            "openfile": fsspec.open(f"memory://zu/{sample.name}"),
            "file-object": CountingFile(data),
            "python-file": python_file,
        }[kind]
        with zudata.open(location) as remote, zudata.open(sample) as local:
            _same_as_local(remote, local)


def test_open_and_a_read_fetch_few_ranges_and_keep_only_what_open_needs(big, sample):
    local = zudata.open(big)
    served = CountingFile(big.read_bytes())
    with zudata.open(served) as f:
        # The tail, the directory, the header member.
        assert len(served.fetches) <= 3, served.fetches
        held = f._reader._fetched.held()
        served.fetches.clear()
        assert f.read("height", 1).tobytes() == local.read("height", 1).tobytes()
        span = max(o + n for o, n in served.fetches) - min(o for o, _ in served.fetches)
        assert len(served.fetches) <= math.ceil(span / _remote.MAX_FETCH) + 1, served.fetches
        # The read's windows are dropped afterwards: memory stays what open holds.
        assert f._reader._fetched.held() == held
    small = CountingFile(sample.read_bytes())
    with zudata.open(small):
        assert len(small.fetches) == 1  # a small file comes whole with its tail


def test_the_gap_fetched_rather_than_split_is_a_knob(big):
    fetched = {}
    for gap in (0, 8 << 20):
        served = CountingFile(big.read_bytes())
        with zudata.open(served, fetch_gap=gap) as f:
            served.fetches.clear()
            f.read("vDeflection", 2)
            fetched[gap] = len(served.fetches)
    assert fetched[8 << 20] < fetched[0]


@pytest.mark.parametrize(
    ("served", "error", "text"),
    [
        (dict(ignore_ranges=True), zudata.RemoteFileError, "ignored a range request"),
        (dict(shrink_to=1000), zudata.RemoteFileError, "changed"),
    ],
    ids=["ranges-ignored", "shrunk"],
)
def test_a_server_that_does_not_give_the_bytes_asked_for_is_an_error(big, served, error, text):
    with pytest.raises(error, match=text) as caught:
        zudata.open(CountingFile(big.read_bytes(), **served))
    assert "CountingFile" in str(caught.value)


def test_a_missing_object_names_the_url():
    with pytest.raises(FileNotFoundError) as caught:
        zudata.open("memory://zu/no-such-file.zu")
    assert "memory://zu/no-such-file.zu" in str(caught.value)


def test_a_broken_remote_file_fails_as_the_local_one_does(tmp_path):
    path = bad_crc(tmp_path / "bad.zu")
    with zudata.open(path) as local, zudata.open(CountingFile(path.read_bytes())) as remote:
        with pytest.raises(zudata.FormatError) as want:
            local.read("height", 1)
        with pytest.raises(zudata.FormatError) as got:
            remote.read("height", 1)
        assert str(got.value).replace(str(remote.location), "<at>") == str(want.value).replace(str(path), "<at>")
        assert np.array_equal(remote.read("height", 0), local.read("height", 0))


def test_ranges_that_claim_the_rest_of_the_file_fetch_it_once():
    # A directory can claim any member length: each range runs to the
    # file's end, yet a read fetches each byte at most once.
    size = 100 << 20
    merged = _remote._merged([(i * 1000, 1 << 40) for i in range(10_000)], size, _remote.FETCH_GAP)
    assert sum(end - start for start, end in merged) == size
    assert all(a[1] <= b[0] for a, b in zip(merged, merged[1:], strict=False))


@pytest.mark.parametrize("piece", [3, 61, 4096])
def test_fetched_bytes_read_as_the_file_whatever_the_pieces(sample, tmp_path, piece):
    # A read over fetched bytes goes on from one fetched piece into the
    # next, as a read of the file does. When it stopped at each piece's
    # end, the directory walk met the few bytes after its last record (here
    # 10 before the end record) on their own and failed ("Buffer size too
    # small") where the walk over the file ends.
    with zipfile.ZipFile(sample) as archive:
        members = [Member(info.filename.encode(), archive.read(info)) for info in archive.infolist()]
    data = build(members, after_cd=bytes(10))
    path = tmp_path / "after_cd.zu"
    path.write_bytes(data)
    fetched = _reader.Fetched(len(data))
    for at in range(0, len(data), piece):
        fetched.add(at, data[at : at + piece], False)
    reader = fetched.open(str(path), 0)
    with zudata.open(path) as local:
        assert reader.layout() == local._reader.layout()
        for (channel, segment), values in _all_values(local).items():
            got = reader.read(channel, segment, None, None, None, 1, "float64", None)
            assert got.tobytes() == values.tobytes(), (channel, segment)


def test_fetched_bytes_are_kept_without_holding_the_interpreter_lock():
    # While one read copies the megabytes it fetched, the threads fetching
    # the next ranges (fsspec's event loop, other reads) run.
    fetched = _reader.Fetched(64 << 20)
    data = bytes(64 << 20)
    began, first_run_after, running, stop = [math.inf], [math.inf], threading.Event(), threading.Event()

    def other_thread():
        running.set()
        while not stop.is_set():
            now = time.perf_counter()
            if now > began[0] and first_run_after[0] == math.inf:
                first_run_after[0] = now

    thread = threading.Thread(target=other_thread)
    thread.start()
    try:
        assert running.wait(10)
        began[0] = time.perf_counter()
        fetched.add(0, data, True)
        ended = time.perf_counter()
    finally:
        stop.set()
        thread.join(10)
    assert fetched.held() == len(data)
    # Not merely after the copy, when the lock came back.
    assert first_run_after[0] < began[0] + (ended - began[0]) / 2
