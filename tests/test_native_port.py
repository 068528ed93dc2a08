"""The core on Windows: the native test driver (tests/native/driver.cpp),
cross-built with zig by scripts/cross.sh, runs under Wine over the data files
the suite makes and must print what the Linux build of the same driver
prints, byte for byte; only error texts that the operating system words may
differ. Windows paths get their own cases."""

from __future__ import annotations

import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import zu_files  # noqa: E402
from conftest import not_installed  # noqa: E402

from zudata.testfiles import HEADER_NAME, Member, build, channel_lines, floats_be, ints_be, write_zip  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
CROSS = ROOT / "build" / "cross"
CACHE = Path(os.environ.get("ZU_CROSS_CACHE", Path.home() / ".cache" / "zu_data_reader" / "cross"))


def _wine() -> str | None:
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def _have_zig() -> bool:
    try:
        import ziglang  # noqa: F401
    except ImportError:
        return False
    return True


WINE = _wine()
WINDOWS_ZLIB = Path("/usr/x86_64-w64-mingw32/lib/libz.a")
pytestmark = [
    pytest.mark.skipif(WINE is None, reason=not_installed("Wine (Debian: wine64)")),
    pytest.mark.skipif(not WINDOWS_ZLIB.exists(),
                       reason=not_installed("zlib for Windows (Debian: libz-mingw-w64-dev)")),
    pytest.mark.skipif(not _have_zig(), reason="zig is not installed (pip install ziglang; in the test extra)"),
    # Wine and the cross build cannot run with the sanitizer runtime preloaded.
    pytest.mark.no_sanitizer,
]

OS_ERROR = re.compile(r"^  open error .+ \(os error (\d+)\)$", re.M)


def _plain_env() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_"))}
    env.update(WINEDEBUG="-all", WINEPREFIX=str(CACHE / "wine"), ZU_CROSS_PY=sys.executable)
    return env


# Under pytest's own limit per test (600 s), so that a slow build fails with
# this fixture's message. The first build of zig's Windows C++ runtime can
# take longer on a loaded machine; scripts/test.sh builds the drivers before
# pytest, so that here they are found up to date.
CROSS_BUILD_SECONDS = 540


@pytest.fixture(scope="module")
def drivers() -> dict[str, list[str]]:
    """Builds (or finds up to date) both drivers; the commands that run them."""
    command = ["bash", str(ROOT / "scripts" / "cross.sh"), "linux", "windows"]
    try:
        done = subprocess.run(command, env=_plain_env(), capture_output=True, text=True,
                              timeout=CROSS_BUILD_SECONDS, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.fail(f"building the drivers took over {CROSS_BUILD_SECONDS} s; build them first: "
                    "bash scripts/cross.sh linux windows")
    assert done.returncode == 0, done.stdout + done.stderr
    return {"linux": [str(CROSS / "linux" / "driver")], "windows": [WINE, str(CROSS / "windows" / "driver.exe")]}


def run(command: list[str], *args: str, cwd: Path, stdin=subprocess.DEVNULL) -> str:
    done = subprocess.run([*command, *args], cwd=cwd, env=_plain_env(), capture_output=True, timeout=600, stdin=stdin)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout.decode("utf-8")


def both(drivers, *args: str, cwd: Path) -> tuple[str, str]:
    return run(drivers["linux"], *args, cwd=cwd), run(drivers["windows"], *args, cwd=cwd)


def _header(*channels: str, extra: str = "") -> str:
    return extra + "".join(channels)


def _channel_members(name: str, segment: int, count: int, data: bytes) -> list[tuple[str, bytes]]:
    return [(f"p{i}/{segment}/channels/{name}.dat", data) for i in range(count)]


def _zip64_archive() -> bytes:
    text = channel_lines("0", "h", conversions=[("nm", "volts", "1", "10")]).encode()
    members = [Member(HEADER_NAME.encode(), text, zip64=True)]
    members += [Member(f"p{i}/0/channels/h.dat".encode(), floats_be(i, 2.5, -1), zip64=True, lh_zip64=True)
                for i in range(4)]
    return build(members, zip64=True)


def _prepended_archive() -> bytes:
    text = channel_lines("0", "h", sample_type="integer-data").encode()
    members = [Member(HEADER_NAME.encode(), text)]
    members += [Member(f"p{i}/1/channels/h.dat".encode(), ints_be(i, -2, 2**31 - 1)) for i in range(9)]
    return build(members, prefix=b"MZ" + bytes(range(256)) * 20, comment=b"sfx")


def _descriptor_archive() -> bytes:
    text = channel_lines("0", "h").encode()
    members = [Member(HEADER_NAME.encode(), text, flags=8, dd_sig=False)]
    members += [Member(f"p{i}/0/channels/h.dat".encode(), floats_be(*range(i + 1)), flags=8) for i in range(4)]
    return build(members)


HOSTILE_HEADERS = {
    "crlf": "lcd-info.0.channel.name=h\r\nlcd-info.0.type=float-data\r\n",
    "bom": "\ufefflcd-info.0.channel.name=h\n",
    "no-equals": "a=1\nthis line has none\n",
    "cycle": channel_lines("0", "h", conversions=[("p", "q", "1", "2"), ("q", "p", "3", "4")]),
    "unnamed-channel": "lcd-info.0.type=float-data\n" + channel_lines("1", "h"),
    "bad-numbers": channel_lines("0", "h", encoder=("x", "1e400"), conversions=[("n", "volts", " 1", "2")]),
    "odd-numbers": channel_lines("0", "h", encoder=("-0", "4.9e-324"),
                                 conversions=[("a", "volts", "1e-400", "-INF"), ("b", "a", "+.5", "nan"),
                                              ("c", "b", "1.", "0x10")]),
    "value-then-map": "a=1\na.b=2\n",
    "deep": "lcd-info." + ".".join(["k"] * 500) + "=v\n",
    "non-ascii": channel_lines("0", "Höhe µm", base="µV", conversions=[("nm ✓", "µV", "0.5", "3")]),
}


def make_files(folder: Path) -> list[str]:
    """Every kind of file the suite makes, written into `folder`; the names."""
    folder.mkdir(parents=True, exist_ok=True)
    zu_files.good(folder / "good.zu")
    zu_files.truncated(folder / "truncated.zu")
    zu_files.bad_crc(folder / "bad_crc.zu")
    blobs = {
        "zip64.zu": _zip64_archive(),
        "prepended.zu": _prepended_archive(),
        "descriptor.zu": _descriptor_archive(),
        "empty.zu": b"",
        "not-a-zip.zu": b"PK\x03\x04" + bytes(5000),
        "stored-header.zu": build([Member(HEADER_NAME.encode(), b"a=1\n", raw=b"a=1\n", method=0)]),
        "corrupt-deflate.zu": build([Member(HEADER_NAME.encode(), b"a=1\n", raw=b"\xff" * 8)]),
        "bad-utf8.zu": build([Member(HEADER_NAME.encode(), b"a=\xff\xfe\n")]),
        "no-header.zu": build([Member(b"x/0/channels/h.dat", floats_be(1))]),
        # Reads that reach past the end of the file.
        "comment-past-end.zu": build([Member(HEADER_NAME.encode(), b"a=1\n")], comment_len=64),
        "member-past-end.zu": build([Member(HEADER_NAME.encode(), b"a=1\n", offset=2**31)]),
    }
    for name, data in blobs.items():
        (folder / name).write_bytes(data)
    for name, text in HOSTILE_HEADERS.items():
        write_zip(folder / f"header-{name}.zu", [(HEADER_NAME, text.encode())])
    grids = {
        "three-members": _channel_members("h", 0, 3, floats_be(1, 2)),
        "long-member": _channel_members("h", 0, 1, floats_be(*range(101))),
        "short-members": _channel_members("h", 2, 4, b"\x3f\x80\x00\x00\x01\x02\x03"),
        "nan-samples": _channel_members("h", 0, 1, floats_be(math.nan, -math.inf, 1e38)),
    }
    for name, members in grids.items():
        text = channel_lines("0", "h", encoder=("1", "2"), conversions=[("nm", "volts", "-0.5", "0.1")])
        write_zip(folder / f"grid-{name}.zu", [(HEADER_NAME, text), *members])
    return sorted(p.name for p in folder.iterdir())


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> tuple[Path, list[str]]:
    folder = tmp_path_factory.mktemp("port")
    return folder, make_files(folder)


def test_windows_driver_reads_every_file_as_linux_does(drivers, files):
    folder, names = files
    linux, windows = both(drivers, "read", *names, cwd=folder)
    assert windows == linux
    # The comparison covers data, diagnostics and the core's error texts.
    assert linux.count("\nfile ") + 1 == len(names)
    for expected in ("    members 16 values 1600 side 4 fits 1", "    diag ", "Invalid checksum",
                     "Missing end of central directory", "corrupt deflate stream", "invalid utf-8",
                     "    members 1 values 101 side 1 fits 0", "failed to fill whole buffer"):
        assert expected in linux
    assert not OS_ERROR.search(linux)


def _number_texts(rng: random.Random) -> list[str]:
    texts = ["", ".", "+", "-", "e5", "1e", "1e+", "0x1p3", " 1", "1 ", "1_0", "1\r", "nan(1)", "infinit",
             "inf", "-Infinity", "+NaN", "-nan", "1.", ".5", "+.5", "-0", "0e999999999999999999999",
             "1e-400", "-1e400", "2.4703282292062327e-324", "2.4703282292062328e-324", "4.9e-324",
             "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
             "2.2250738585072011e-308", "9007199254740993", "0." + "0" * 400 + "1e400", "1" * 400 + "e-400"]
    for _ in range(4000):
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 25)))
        point = rng.randint(0, len(digits))
        text = digits[:point] + ("." if rng.random() < 0.7 else "") + digits[point:]
        if rng.random() < 0.6:
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 330))
        texts.append(rng.choice(["", "+", "-"]) + text)
    for _ in range(1000):  # halfway and near-halfway cases between neighbours
        v = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]
        if math.isfinite(v) and v != 0:
            texts.append(f"{v:.17e}")
            texts.append(repr(v))
    return texts


def test_number_parsing_agrees_across_systems(drivers, tmp_path):
    texts = _number_texts(random.Random(1234))
    (tmp_path / "numbers.txt").write_bytes("\n".join(texts).encode())
    linux, windows = both(drivers, "numbers", "numbers.txt", cwd=tmp_path)
    assert windows == linux
    lines = linux.splitlines()
    assert len(lines) == len(texts)
    accepted = 0
    for text, line in zip(texts, lines, strict=True):
        if line.startswith("error "):
            continue
        accepted += 1
        expected = float(text)  # correctly rounded, as the driver must be
        got = struct.unpack("<d", bytes.fromhex(line)[::-1])[0]
        assert (math.isnan(got) and math.isnan(expected)) or struct.pack("<d", got) == struct.pack("<d", expected), text
    assert accepted > 4000


@pytest.fixture
def good_copy(drivers, files, tmp_path):
    shutil.copyfile(files[0] / "good.zu", tmp_path / "good.zu")
    return tmp_path


def test_non_ascii_file_name(drivers, good_copy):
    name = "Messung_ü_温度_😀.zu"
    (good_copy / "good.zu").rename(good_copy / name)
    linux, windows = both(drivers, "read", name, cwd=good_copy)
    assert windows == linux
    assert "members 16" in linux and "open error" not in linux


def test_file_another_process_holds_open_for_writing(drivers, good_copy):
    # The holder shares reading only, as a recording program might; reading
    # works only when the reader in turn shares write access.
    holder = subprocess.Popen([*drivers["windows"], "hold", "good.zu"], cwd=good_copy, env=_plain_env(),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert holder.stdout.readline() == b"held\n"
        linux, windows = both(drivers, "read", "good.zu", cwd=good_copy)
    finally:
        holder.stdin.close()
        holder.wait(timeout=120)
    assert windows == linux
    assert "members 16" in windows


def test_file_renamed_while_open(drivers, good_copy):
    linux = run(drivers["linux"], "renamed", "good.zu", "moved.zu", cwd=good_copy)
    (good_copy / "moved.zu").rename(good_copy / "good.zu")
    windows = run(drivers["windows"], "renamed", "good.zu", "moved.zu", cwd=good_copy)
    assert windows == linux
    assert windows.startswith("renamed\n") and "members 16" in windows


def _free_drive_letter() -> str:
    devices = CACHE / "wine" / "dosdevices"
    used = {p.name[0].upper() for p in devices.iterdir()} if devices.is_dir() else set()
    return next(c for c in "QRSTUVWXY" if c not in used)


@pytest.mark.parametrize(
    ("case", "codes"),
    [("directory", {5}), ("missing file", {2}), ("missing folder", {3}), ("missing drive", {3, 15, 21})],
)
def test_windows_paths_that_cannot_be_read(drivers, tmp_path, case, codes):
    (tmp_path / "folder.zu").mkdir()
    path = {"directory": "folder.zu", "missing file": "absent.zu", "missing folder": "absent/x.zu",
            "missing drive": f"{_free_drive_letter()}:\\data\\x.zu"}[case]
    windows = run(drivers["windows"], "read", path, cwd=tmp_path)
    found = OS_ERROR.search(windows)
    assert found, windows
    assert int(found.group(1)) in codes, windows


LONG = "x" * 250  # any path holding it reaches the 260 characters that need the long form

# (path given, path the Windows build opens)
LONG_PATHS = [
    (f"C:\\data\\{LONG}\\f.zu", f"\\\\?\\C:\\data\\{LONG}\\f.zu"),
    (f"c:/data/{LONG}/f.zu", f"\\\\?\\c:\\data\\{LONG}\\f.zu"),
    (f"C:\\data\\.\\old\\..\\{LONG}\\\\f.zu", f"\\\\?\\C:\\data\\{LONG}\\f.zu"),
    (f"C:\\..\\..\\{LONG}\\f.zu", f"\\\\?\\C:\\{LONG}\\f.zu"),
    (f"\\\\server\\share\\{LONG}\\f.zu", f"\\\\?\\UNC\\server\\share\\{LONG}\\f.zu"),
    (f"//server/share/../{LONG}/f.zu", f"\\\\?\\UNC\\server\\share\\{LONG}\\f.zu"),
    ("C:\\" + "y" * 257, "\\\\?\\C:\\" + "y" * 257),  # 260 characters
    # Unchanged: shorter than 260 characters, relative, drive-relative,
    # rooted on the current drive, no share, already extended or a device.
    ("C:\\" + "y" * 256, None),  # 259 characters
    ("c:/data/../f.zu", None),
    (f"data\\{LONG}\\f.zu", None),
    (f"C:data\\{LONG}\\f.zu", None),
    (f"\\data\\{LONG}\\f.zu", None),
    (f"\\\\server{LONG}", None),
    (f"\\\\?\\C:\\{LONG}/./f.zu", None),
    (f"\\\\.\\pipe\\{LONG}", None),
]


def test_long_windows_paths_take_the_extended_form(drivers, tmp_path):
    given = [path for path, _ in LONG_PATHS]
    expected = [path if extended is None else extended for path, extended in LONG_PATHS]
    linux, windows = both(drivers, "longpath", *given, cwd=tmp_path)
    assert windows == linux
    assert linux.splitlines() == expected


def test_file_behind_a_long_absolute_path(drivers, good_copy):
    # Wine opens long paths without the prefix too, so this shows only that
    # the extended form the build makes (separators, "." and "..") opens the
    # file; the test above shows which paths get it.
    deep = good_copy / ("d" * 200) / ("e" * 100)
    deep.mkdir(parents=True)
    shutil.copyfile(good_copy / "good.zu", deep / "good.zu")
    path = f"Z:{good_copy}/{'d' * 200}/./{'e' * 100}/../{'e' * 100}/good.zu"
    assert len(path) > 300
    windows = run(drivers["windows"], "read", path, cwd=good_copy)
    assert "open error" not in windows, windows
    assert "members 16" in windows
