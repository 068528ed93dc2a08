"""Faults that end or stall the whole process, or refuse sound archives:
diagnostic lines against unwritable or full pipes, special files, memory
exhaustion, offsets beyond what a positioned read accepts, and zip64 end
records beside an ordinary end record. Anything that could kill or hang the
interpreter runs in a child process with a timeout."""

from __future__ import annotations

import os
import pathlib
import re
import struct
import zipfile
import zlib

import pytest
import zu_data_reader

from conftest import HEADER_NAME, channel_lines, emulated, floats_be, run_child
from zudata import testfiles

HEADER = channel_lines("1", "A", encoder=("0", "2"), base="B",
                       conversions=[("P", "B", "1", "10")])
MEMBERS = [("s/0/channels/A.dat", floats_be(3.0, 4.0))]


# ---- diagnostic lines -------------------------------------------------------

SIGPIPE_CHILD = """
import os, signal, sys, threading, zu_data_reader
f = zu_data_reader.ZuDataFIle(sys.argv[1])
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
r, w = os.pipe()
os.dup2(w, 1)
os.close(w)
os.close(r)
{setup}
mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
for unit in ("P", "B", "P"):
    sys.stderr.write(f"{{f.get_channel_data('A', 0, unit)[0, 0, 1]}} ")
assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask, "signal mask changed"
sys.stderr.write(f"{{signal.SIGPIPE in signal.sigpending()}}")
"""


@pytest.mark.parametrize("setup, pending_after", [
    ("", False),
    ("signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGPIPE])", False),
    ("signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGPIPE]); "
     "signal.pthread_kill(threading.get_ident(), signal.SIGPIPE)", True),
], ids=["default-action", "blocked", "blocked-and-pending"])
def test_broken_pipe_with_default_sigpipe_drops_the_line(zu_file, setup, pending_after):
    # Command-line programs often restore SIGPIPE's default action; a write
    # to a pipe without a reader must then neither kill the process nor leave
    # a SIGPIPE of its own pending, nor take one that was there before.
    path = zu_file(HEADER, MEMBERS)
    child = run_child(SIGPIPE_CHILD.format(setup=setup), path, timeout=60)
    assert (child.returncode, child.stderr) == (0, f"81.0 8.0 81.0 {pending_after}")


FULL_PIPE_CHILD = """
import os, sys, threading, time, zu_data_reader
# Only blocking calls hand the interpreter lock over, so the drain below can
# run only while the main thread waits in such a call.
sys.setswitchinterval(1000)
f = zu_data_reader.ZuDataFIle(sys.argv[1])
r, w = os.pipe()
os.set_blocking(w, False)
filled = 0
try:
    while True:
        filled += os.write(w, b"x" * 65536)
except BlockingIOError:
    pass
os.set_blocking(w, True)
os.dup2(w, 1)
os.close(w)
seen, chunks = [], []

def drain():
    time.sleep(0.2)
    for call in (lambda: f.get_channel_data("A", 0, "B"), lambda: f.header):
        try:
            call()
            seen.append("granted")
        except RuntimeError as e:
            seen.append(str(e))
    while chunk := os.read(r, 65536):
        chunks.append(chunk)

t = threading.Thread(target=drain)
t.start()
value = float(f.get_channel_data("A", 0, "P")[0, 0, 1])
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
os.close(null)
t.join()
out = b"".join(chunks)
sys.stderr.write(repr((seen, value, out[filled:], out[:filled] == b"x" * filled)))
"""


def test_full_stdout_pipe_drained_by_another_thread(zu_file):
    # The usual way to capture C-level output: fd 1 is a pipe that another
    # Python thread drains. The diagnostic write waits for room without the
    # interpreter lock, and meanwhile the object is still refused to others.
    path = zu_file(HEADER, MEMBERS)
    child = run_child(FULL_PIPE_CHILD, path, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stderr == repr((["Already borrowed", "Already mutably borrowed"], 81.0,
                                 b"1,20\n81\n", True))


# ---- opening ------------------------------------------------------------------

FIFO_CHILD = """
import os, sys, zu_data_reader
writer = os.open(sys.argv[1], os.O_RDWR) if sys.argv[2] == "yes" else None
try:
    zu_data_reader.ZuDataFIle(sys.argv[1])
except OSError as e:
    sys.stderr.write(f"{type(e).__name__}: {e}")
"""


@pytest.mark.parametrize("writer", ["no", "yes"])
def test_fifo_fails_at_once(tmp_path, writer):
    # A FIFO without a writer must not block the open (with the interpreter
    # lock held): it fails at once, as it does when a writer exists.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = run_child(FIFO_CHILD, fifo, writer, timeout=20)
    assert (child.returncode, child.stderr) == (0, f"OSError: {os.strerror(29)} (os error 29)")


# ---- memory exhaustion ------------------------------------------------------

BOMB_SIZE = 256 << 20


def zeros_bomb(size=BOMB_SIZE):
    """Raw DEFLATE of `size` zero bytes (about 1/1000 of that, far denser
    than testfiles.zeros_deflate) and its CRC-32."""
    comp = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    parts, crc = [], 0
    for _ in range(size // len(chunk)):
        parts.append(comp.compress(chunk))
        crc = zlib.crc32(chunk, crc)
    parts.append(comp.flush())
    return b"".join(parts), crc


MEMORY_CHILD = """
import os, pathlib, resource, sys, numpy, zu_data_reader
bomb, good, call, room = sys.argv[1:]

def fds_on(path):
    return sum(p.resolve() == pathlib.Path(path).resolve()
               for p in pathlib.Path("/proc/self/fd").iterdir() if p.exists())

f = zu_data_reader.ZuDataFIle(bomb) if call == "get_channel_data" else None
size = int(next(line for line in open("/proc/self/status") if line.startswith("VmSize:")).split()[1])
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for ordinary work, far less than the bomb asks for.
resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + (int(room) << 20), hard))
try:
    if f is None:
        zu_data_reader.ZuDataFIle(bomb)
    else:
        f.get_channel_data("A", 0, "B")
    outcome = "no error"
except MemoryError:
    outcome = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
if f is None:
    assert fds_on(bomb) == 0, "file left open"
    f = zu_data_reader.ZuDataFIle(good)
after = (f.get_channels(), float(f.get_channel_data("A", 1, "P")[0, 0, 0]))
sys.stderr.write(repr((outcome, after)))
"""


# The sanitizer's allocator reserves address space of its own and aborts
# when a limit on it bites, so the limit cannot be tested under it.
@pytest.mark.no_sanitizer
@pytest.mark.skipif(emulated(), reason="qemu-user accepts setrlimit(RLIMIT_AS) but does not apply it (the limit would "
                    "bind the emulator's own mappings), so no allocation can fail")
@pytest.mark.parametrize("call", ["constructor", "get_channel_data"])
def test_out_of_memory_is_memory_error(zu_file, tmp_path, call):
    # A small file that asks for far more memory than the process may map:
    # the failed allocation becomes MemoryError, the file is closed or the
    # object given back, and it works normally afterwards. Opening holds the
    # header whole, so a header that inflates to 256 MiB asks for it; channel
    # members are converted as they stream, so there it takes a grid whose
    # result alone (200 x 200 empty traces: 32 MB) exceeds the room left.
    header = testfiles.Member(HEADER_NAME.encode(), HEADER.encode())
    if call == "constructor":
        packed, crc = zeros_bomb()
        members = [testfiles.Member(HEADER_NAME.encode(), raw=packed, crc=crc, usize=BOMB_SIZE)]
        room, limit = 48, 1 << 20
    else:
        traces = [testfiles.Member(b"s/0/channels/A.dat") for _ in range(200 * 200)]
        members = [header, *traces, testfiles.Member(b"s/1/channels/A.dat", floats_be(3.0))]
        room, limit = 16, 5 << 20
    path = tmp_path / "bomb.zip"
    path.write_bytes(testfiles.build(members))
    assert path.stat().st_size < limit
    good = zu_file(HEADER, [("s/1/channels/A.dat", floats_be(3.0))])
    child = run_child(MEMORY_CHILD, path, good, call, room, timeout=60)
    assert (child.returncode, child.stderr) == (0, repr(("MemoryError", (["A"], 61.0))))


# ---- offsets beyond a positioned read's range --------------------------------

EINVAL = f"{os.strerror(22)} (os error 22)"
HEADER_TEXT = b"a=1\n"


def header_member(**kw):
    return testfiles.Member(HEADER_NAME.encode(), HEADER_TEXT, **kw)


def open_error(tmp_path, data):
    path = tmp_path / "archive.zip"
    path.write_bytes(data)
    try:
        zu_data_reader.ZuDataFIle(path)
    except OSError as e:
        return str(e)
    return "opened"


@pytest.mark.parametrize("data", [
    testfiles.build([header_member()], zip64=True, record_offset=2**63),
    testfiles.build([header_member()], zip64=True, record_offset=2**64 - 1),
    testfiles.build([header_member(zip64=True, offset=2**63)]),
    testfiles.build([header_member(zip64=True, offset=2**64 - 1)]),
    # the data descriptor lies at the end of a range of 2^63 bytes
    testfiles.build([header_member(zip64=True, flags=8, csize=2**63)]),
], ids=["zip64-record", "zip64-record-max", "local-header", "local-header-max", "data-descriptor"])
def test_offsets_from_2_63_fail_as_a_positioned_read_does(tmp_path, data):
    # pread refuses such offsets with EINVAL; they are not the end of the file.
    assert open_error(tmp_path, data) == EINVAL


# ---- zip64 end record beside an unsaturated end record ----------------------

CHANNEL_DATA = floats_be(1.0, 2.0)


def zip64_members(zip64_extra):
    return [testfiles.Member(HEADER_NAME.encode(), HEADER.encode(), zip64=zip64_extra),
            testfiles.Member(b"s/0/channels/A.dat", CHANNEL_DATA, zip64=zip64_extra)]


def with_real_end_record(members, **kw):
    """A zip64 end record and locator before an end record that holds the
    real values, as libarchive writes them."""
    plain = testfiles.build(members)
    cd_size, cd_offset = struct.unpack_from("<II", plain, len(plain) - 10)
    n = len(members)
    return testfiles.build(members, zip64=True, **kw, eocd={
        "disk_entries": n, "entries": n, "cd_size": cd_size, "cd_offset": cd_offset})


@pytest.mark.parametrize("zip64_extra", [False, True])
def test_zip64_end_record_with_unsaturated_end_record(tmp_path, zip64_extra):
    path = tmp_path / "archive.zip"
    path.write_bytes(with_real_end_record(zip64_members(zip64_extra)))
    f = zu_data_reader.ZuDataFIle(path)
    assert f.get_channels() == ["A"]
    assert f.get_channel_data("A", 0, "B")[0, 0, :2].tolist() == [2.0, 4.0]


def signature_error(actual):
    return f"Invalid signature: expected 0x02014b50, got 0x{actual:08x}"


@pytest.mark.parametrize("members, kw, expected", [
    # an empty directory right before the record
    ([], {}, "Expected File shared-data header, but this file was not present in the archive."),
    # a record that does not check out leaves the walk running into it
    (None, {"locator_sig": 0x12345678}, signature_error(0x06064B50)),
    (None, {"record_sig": 0xDEADBEEF}, signature_error(0xDEADBEEF)),
    (None, {"record_offset": 0}, signature_error(0x06064B50)),
    (None, {"record_offset": 2**63}, signature_error(0x06064B50)),
], ids=["empty", "bad-locator", "bad-record", "record-inside-directory", "record-beyond-file"])
def test_zip64_end_record_beside_end_record_must_check_out(tmp_path, members, kw, expected):
    data = with_real_end_record(zip64_members(False) if members is None else members, **kw)
    assert open_error(tmp_path, data) == expected


# ---- the README's repacking recipe ------------------------------------------

def test_readme_repacking_recipe(tmp_path, monkeypatch):
    # The original stores its members, which the reader refuses, and names
    # them so that sorting by name would permute the grid.
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    recipe = re.search(r"```python\n(import zipfile\n.*?)```", readme, re.S).group(1)
    prefixes = ["2", "10", "1", "0"]
    with zipfile.ZipFile(tmp_path / "original.zip", "w", zipfile.ZIP_STORED) as zf:
        zf.writestr(HEADER_NAME, HEADER)
        for i, prefix in enumerate(prefixes):
            zf.writestr(f"{prefix}/0/channels/A.dat", floats_be(float(i)))
    with pytest.raises(OSError):
        zu_data_reader.ZuDataFIle(tmp_path / "original.zip")
    monkeypatch.chdir(tmp_path)
    exec(recipe, {})
    grid = zu_data_reader.ZuDataFIle(tmp_path / "repacked.zip").get_channel_data("A", 0, "B")
    assert grid[:, :, 0].ravel().tolist() == [0.0, 2.0, 4.0, 6.0]
