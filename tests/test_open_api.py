"""zudata.open(): the DataFile API, its errors, layout(), threads, close()
racing reads, silence on descriptor 1 and interrupts. (Bit-identical
results against ZuDataFIle are checked on every file the suite builds, by
conftest.py.)"""

from __future__ import annotations

import os
import pickle
import signal
import subprocess
import threading
import time
import tomllib
from pathlib import Path

import numpy as np
import pytest
import zu_data_reader
from conftest import channel_lines, child_argv, floats_be, ints_be, run_child
from zudata.testfiles import Member, build, zeros_crc32, zeros_deflate

import zudata
from zudata import _walk

HEADER = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")]) + channel_lines(
    "2", "F", base="nm", conversions=[("um", "nm", "0", "0.001")]
)


def trace(m, count=100):
    return ints_be(*[m * 1000 + t for t in range(count)])


def grid_members(channel, segment, k, prefix="p", count=100):
    return [(f"{prefix}{m}/{segment}/channels/{channel}.dat", trace(m, count)) for m in range(k)]


@pytest.fixture
def sample(zu_file):
    """N: segments 0 (4 traces) and 2 (9 traces); F: segment 0 (1 trace)."""
    members = grid_members("N", 0, 4) + grid_members("N", 2, 9) + [("x/0/channels/F.dat", floats_be(1.5, 2.5))]
    return zu_file(HEADER, members)


# ---- the object ------------------------------------------------------------


def test_queries_match_the_header(sample):
    with zudata.open(sample) as f:
        assert isinstance(f, zudata.DataFile)
        assert f.location == sample and isinstance(f.location, Path)
        assert f.header == zu_data_reader.ZuDataFIle(sample).header
        assert f.header is not f.header
        assert f.channels() == ["N", "F"]
        assert f.units("N") == ["P"] and f.units("F") == ["um"]
        assert (f.base_unit("N"), f.base_unit("F")) == ("volts", "nm")
        assert (f.sample_type("N"), f.sample_type("F")) == ("int32", "float-data")
        # No unit means the base unit type.
        assert np.array_equal(f.read("N", 2), f.read("N", 2, "volts"))
        assert f.read("N", 2, "P")[1, 1, 3] == (4 * 1000 + 3) * 10 + 1


CLOSED_CALLS = {
    "header": lambda f: f.header,
    "channels": lambda f: f.channels(),
    "units": lambda f: f.units("N"),
    "base_unit": lambda f: f.base_unit("N"),
    "sample_type": lambda f: f.sample_type("N"),
    "read": lambda f: f.read("N", 0),
    "layout": lambda f: f.layout(),
}


@pytest.mark.parametrize("call", CLOSED_CALLS.values(), ids=CLOSED_CALLS.keys())
def test_closed_file_refuses_every_query(sample, call):
    f = zudata.open(sample)
    with f:
        call(f)
    assert f.closed
    f.close()  # idempotent
    with pytest.raises(ValueError, match="I/O operation on closed file"):
        call(f)
    assert f.location == sample


def test_close_releases_the_descriptor(sample):
    def fds():
        return len(os.listdir("/proc/self/fd"))

    before = fds()
    f = zudata.open(sample)
    assert fds() == before + 1
    f.close()
    assert fds() == before


def test_versions_come_from_pyproject():
    pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
    version = tomllib.loads(pyproject.read_text())["project"]["version"]
    assert zudata.__version__ == zu_data_reader.__version__ == version


def test_zu_data_reader_module_did_not_grow():
    public = {name for name in vars(zu_data_reader) if not (name.startswith("__") and name.endswith("__"))}
    assert public == {"ZuDataFIle"}
    assert zu_data_reader.__all__ == ["ZuDataFIle"]


def test_public_names_are_exported():
    for name in zudata.__all__:
        assert hasattr(zudata, name), name
    assert issubclass(zudata.FormatError, OSError)
    for cls in (zudata.UnknownChannelError, zudata.UnknownUnitError, zudata.UnknownSegmentError, zudata.GridError):
        assert issubclass(cls, zudata.RequestError) and issubclass(cls, LookupError)


# ---- errors ------------------------------------------------------------------


def test_operating_system_errors_are_oserror_subclasses(tmp_path):
    missing = tmp_path / "missing.zu"
    with pytest.raises(FileNotFoundError) as e:
        zudata.open(missing)
    assert (e.value.errno, e.value.filename) == (2, str(missing))
    with pytest.raises(IsADirectoryError) as e:
        zudata.open(tmp_path)
    assert e.value.filename == str(tmp_path)
    if os.geteuid() != 0:
        locked = tmp_path / "locked.zu"
        locked.write_bytes(b"")
        locked.chmod(0)
        with pytest.raises(PermissionError):
            zudata.open(locked)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"not a zip file", "Missing end of central directory"),
        (build([Member(b"shared-data/header.properties", b"a=1\xff\n")]), "Header is invalid utf8"),
        (build([Member(b"other", b"")]), "Expected File shared-data header"),
        (build([Member(b"shared-data/header.properties", b"x=1\n", crc=1)]), "Invalid checksum"),
    ],
    ids=["not-zip", "bad-utf8", "no-header", "bad-crc"],
)
def test_damaged_files_raise_format_error(tmp_path, content, message):
    path = tmp_path / "bad.zu"
    path.write_bytes(content)
    with pytest.raises(zudata.FormatError) as e:
        zudata.open(path)
    err = e.value
    assert isinstance(err, OSError) and err.errno is None and err.filename == str(path)
    assert message in str(err) and str(path) in str(err)
    again = pickle.loads(pickle.dumps(err))
    assert type(again) is zudata.FormatError and str(again) == str(err)


def test_damaged_member_raises_format_error_on_read(zu_file):
    good = zu_file(HEADER, grid_members("N", 0, 1))
    data = bytearray(good.read_bytes())
    at = data.index(b"p0/0/channels/N.dat") + len(b"p0/0/channels/N.dat")  # data follows the local name
    data[at : at + 8] = b"\xff" * 8
    good.write_bytes(bytes(data))
    with zudata.open(good) as f, pytest.raises(zudata.FormatError) as e:
        f.read("N", 0)
    assert e.value.filename == str(good)


def test_path_arguments(tmp_path):
    with pytest.raises(ValueError, match="null"):
        zudata.open(str(tmp_path / "a\0b"))
    with pytest.raises(TypeError):
        zudata.open(b"/tmp/x.zu")  # type: ignore[arg-type]


REQUESTS = {
    "channel": (("Q", 0, None), zudata.UnknownChannelError, ["'Q'", "'N'", "'F'"]),
    "channel-units": (("Q",), zudata.UnknownChannelError, ["'Q'", "'N', 'F'"]),
    "unit": (("N", 0, "kV"), zudata.UnknownUnitError, ["'kV'", "are 'volts' (base), 'P'"]),
    "unit-other-base": (("F", 0, "kV"), zudata.UnknownUnitError, ["'kV'", "are 'nm' (base), 'um'"]),
    "segment": (("N", 1, None), zudata.UnknownSegmentError, ["segment 1", "segments 0, 2"]),
    "segment-range": (("N", 256, None), zudata.UnknownSegmentError, ["256", "segments 0, 2"]),
    "segment-empty-channel": (("F", 3, None), zudata.UnknownSegmentError, ["segment 3", "segments 0"]),
}


@pytest.mark.parametrize(("args", "error", "names"), REQUESTS.values(), ids=REQUESTS.keys())
def test_request_errors_name_what_exists(sample, args, error, names):
    with zudata.open(sample) as f:
        call = f.units if len(args) == 1 else f.read
        with pytest.raises(error) as e:
            call(*args)
    for name in names:
        assert name in str(e.value)


@pytest.mark.parametrize(
    ("members", "text"),
    [
        (grid_members("N", 0, 5), "5 traces, which is not a square"),
        (grid_members("N", 0, 2), "2 traces, which is not a square"),
        (grid_members("N", 0, 3) + grid_members("N", 0, 1, "q", count=101), "more than 100 samples"),
    ],
    ids=["five", "two", "long-trace"],
)
def test_grid_errors_are_the_modules_own(zu_file, members, text):
    with zudata.open(zu_file(HEADER, members)) as f, pytest.raises(zudata.GridError) as e:
        f.read("N", 0)
    assert text in str(e.value) and "reshape" not in str(e.value)


def test_segment_must_be_an_int(sample):
    with zudata.open(sample) as f, pytest.raises(TypeError):
        f.read("N", 1.0)  # type: ignore[arg-type]


# ---- layout ---------------------------------------------------------------------

LAYOUT_MEMBERS = [
    *grid_members("N", 0, 4),
    *grid_members("N", 5, 3),  # a hole at 1..4, not square
    ("p0/5/channels/N.dat", trace(9)),  # a duplicate name: read counts it too
    ("7/channels/N.dat", trace(0)),  # no directory above the segment
    ("a/17/channels/N.dat", trace(0)),  # counts for 17, not 7
    ("a/07/channels/N.dat", trace(0)),  # not how a read writes 7
    ("a/256/channels/N.dat", trace(0)),  # no such segment
    ("a/3/channels/xN.dat", trace(0)),  # another name
    ("a/3/channels/N.dat.bak", trace(0)),
    ("/255/channels/N.dat", trace(0)),  # equal to the member path itself
]


@pytest.mark.filterwarnings("ignore:Duplicate name")
def test_layout_counts_what_reads_find(zu_file):
    with zudata.open(zu_file(HEADER, LAYOUT_MEMBERS)) as f:
        layout = f.layout()
        assert layout == {
            "N": {
                0: zudata.SegmentLayout(4, 2, 100, 100),
                5: zudata.SegmentLayout(4, 2, 100, 100),
                17: zudata.SegmentLayout(1, 1, 100, 100),
                255: zudata.SegmentLayout(1, 1, 100, 100),
            },
            "F": {},
        }
        for segment in range(256):
            if segment in layout["N"]:
                n = layout["N"][segment].side
                assert f.read("N", segment).shape == (n, n, 100)
            else:
                with pytest.raises(zudata.UnknownSegmentError):
                    f.read("N", segment)


@pytest.mark.parametrize("length", [6, 12, 21])
@pytest.mark.parametrize("where", ["first", "last"])
def test_channel_names_of_one_length_differing_in_one_byte_are_told_apart(zu_file, length, where):
    # Each length compares its names by a different road (a few words, or memcmp).
    at = 0 if where == "first" else length - 1
    names = ["c" * length, "c" * at + "d" + "c" * (length - at - 1)]
    header = channel_lines("1", names[0], base="nm") + channel_lines("2", names[1], base="nm")
    with zudata.open(zu_file(header, grid_members(names[0], 0, 4) + grid_members(names[1], 0, 9))) as f:
        assert {name: f.layout()[name][0].traces for name in names} == {names[0]: 4, names[1]: 9}
        assert f.read(names[1], 0).shape == (3, 3, 100)


def test_layout_side_is_none_when_not_square(zu_file):
    with zudata.open(zu_file(HEADER, grid_members("N", 1, 3))) as f:
        assert f.layout()["N"] == {1: zudata.SegmentLayout(3, None, 100, 100)}


# No traces are no grid; squares are exact up to the member counts a ZIP64
# directory can state.
@pytest.mark.parametrize(("traces", "side"), [
    (0, None), (1, 1), (2, None), (4, 2), (8, None), (9, 3),
    ((2**32 - 1) ** 2, 2**32 - 1), ((2**32 - 1) ** 2 + 1, None), ((2**32 - 1) ** 2 - 1, None),
])
def test_grid_side(traces, side):
    assert _walk.grid_side(traces) == side


def test_layout_of_channel_names_ending_in_another(zu_file):
    # "b/7/channels/N" ends with N's member path for segment 7.
    header = HEADER + channel_lines("3", "b/7/channels/N")
    members = [("r/2/channels/b/7/channels/N.dat", trace(0)), ("s/2/channels/N.dat", trace(1))]
    with zudata.open(zu_file(header, members)) as f:
        layout = f.layout()
        assert layout["N"] == {2: zudata.SegmentLayout(1, 1, 100, 100), 7: zudata.SegmentLayout(1, 1, 100, 100)}
        assert layout["b/7/channels/N"] == {2: zudata.SegmentLayout(1, 1, 100, 100)}
        assert f.read("N", 7)[0, 0, 0] == 0


# ---- threads and closing ------------------------------------------------------------


@pytest.fixture
def busy_file(zu_file):
    members = []
    for segment in range(4):
        members += grid_members("N", segment, 64 if segment % 2 else 49, prefix=f"s{segment}p")
    return zu_file(HEADER, members)


def requests():
    return [("N", s, u) for s in range(4) for u in ("volts", "P")]


@pytest.mark.parametrize("shared", [True, False], ids=["one-file", "eight-files"])
def test_eight_threads_read_the_same_as_one(busy_file, shared):
    with zudata.open(busy_file) as f:
        expected = {r: f.read(*r) for r in requests()}
    files = [zudata.open(busy_file)] * 8 if shared else [zudata.open(busy_file) for _ in range(8)]
    failures = []
    start = threading.Barrier(8)

    def work(i):
        start.wait()
        for _ in range(5):
            for r in requests()[i % 2 :: 2]:
                got = files[i].read(*r)
                if not np.array_equal(got.view(np.uint64), expected[r].view(np.uint64)):
                    failures.append(r)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    for f in set(files):
        f.close()
    assert not failures and not any(t.is_alive() for t in threads)


def test_close_while_threads_read(busy_file):
    with zudata.open(busy_file) as f:
        expected = f.read("N", 1, "P")
    for _ in range(5):
        f = zudata.open(busy_file)
        outcomes = []
        start = threading.Barrier(5)

        def work(f=f, outcomes=outcomes, start=start):
            start.wait()
            while True:
                try:
                    got = f.read("N", 1, "P")
                except ValueError as e:
                    outcomes.append(str(e))
                    return
                outcomes.append(np.array_equal(got, expected))

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        start.wait()
        f.close()
        for t in threads:
            t.join(timeout=60)
        assert outcomes.count("I/O operation on closed file") == 4
        assert all(o is True for o in outcomes if not isinstance(o, str))


# ---- descriptor 1, logging, interrupts ------------------------------------------------------


def test_nothing_on_descriptor_one_and_values_logged(sample):
    child = run_child(
        """
        import logging, sys, zudata
        logging.basicConfig(level=logging.DEBUG, stream=sys.stderr, format="%(name)s|%(message)s")
        with zudata.open(sys.argv[1]) as f:
            f.read("N", 2, "P")
            f.read("N", 2)
            try:
                f.read("N", 5, "P")
            except zudata.UnknownSegmentError:
                pass
        """,
        sample,
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout == ""
    old = run_child(
        """
        import sys, zu_data_reader
        zu_data_reader.ZuDataFIle(sys.argv[1]).get_channel_data("N", 2, "P")
        """,
        sample,
    )
    logged = [line.rsplit(": ", 1)[1] for line in child.stderr.splitlines() if line.startswith("zudata|")]
    # The conversion line and the second value of the first read, then the
    # second read's value (no conversion), then the failing read's conversion.
    assert logged[:2] == old.stdout.splitlines()
    assert len(logged) == 4


def long_read_file(path: Path, members: int = 5000) -> Path:
    size = 1 << 20
    raw, crc = zeros_deflate(size), zeros_crc32(size)
    entries = [Member(b"shared-data/header.properties", HEADER.encode())]
    entries += [Member(f"p{m}/0/channels/N.dat".encode(), raw=raw, usize=size, crc=crc) for m in range(members)]
    path.write_bytes(build(entries))
    return path


def test_other_threads_run_python_during_a_read(tmp_path):
    """The lock is released while a read works: the main thread never waits
    for a long read on another thread to finish."""
    path = long_read_file(tmp_path / "long.zu", members=2000)
    f = zudata.open(path)
    outcome = []

    def read():
        try:
            f.read("N", 0)
        except zudata.GridError as e:  # 2000 traces: no square
            outcome.append(e)

    worker = threading.Thread(target=read)
    started = time.perf_counter()
    worker.start()
    last, longest = time.perf_counter(), 0.0
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    took = time.perf_counter() - started
    f.close()
    path.unlink()
    assert outcome, "the read did not end as expected"
    assert took > 0.3, "the read was too short to tell"
    assert longest < took / 3


def test_ctrl_c_interrupts_a_long_read(tmp_path):
    """SIGINT from outside (as a terminal sends it) during a long read ends it
    with KeyboardInterrupt within 0.1 s, measured on the system-wide
    monotonic clock from the moment the signal is sent."""
    path = long_read_file(tmp_path / "long.zu")
    script = """
        import sys, time, zudata
        f = zudata.open(sys.argv[1])
        print("ready", flush=True)
        start = time.monotonic()
        try:
            f.read("N", 0)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        except zudata.GridError:  # the read ran to its end before the signal
            print("finished", time.monotonic() - start, flush=True)
        """
    with subprocess.Popen(child_argv(script, path), stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout is not None
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            word, when = child.stdout.readline().split()
        finally:
            child.kill()
    assert word == "interrupted", f"the read ran to its end ({when} s)"
    assert float(when) - sent < 0.1
    tmp_path.joinpath("long.zu").unlink()  # too large for the per-test comparison anyway
