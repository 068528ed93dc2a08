"""Shared helpers: data files from zudata.testfiles, and child interpreters.

Well-formed files come from `write_zu_file` (zipfile underneath); broken
archives (bad signatures, sizes, offsets...) from zudata.testfiles.build.
"""

from __future__ import annotations

import importlib.util
import os
import platform
import shutil
import subprocess
import sys
import textwrap
from collections.abc import Iterable
from pathlib import Path

import pytest

from zudata.testfiles import HEADER_NAME, channel_lines, floats_be, ints_be, write_zip

__all__ = [
    "HEADER_NAME", "channel_lines", "child_argv", "emulated", "floats_be", "ints_be", "needs", "not_installed",
    "run_child", "write_zu_file",
]


def write_zu_file(
    path: Path,
    header: str | bytes | None,
    members: Iterable[tuple[str, bytes]] = (),
) -> Path:
    """Writes a deflated ZIP with the header member (unless None) first."""
    head = [] if header is None else [(HEADER_NAME, header)]
    return write_zip(path, [*head, *members])


def _installed(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):  # ValueError: a module set to None in sys.modules
        return False


def needs(module: str, extra: str) -> pytest.MarkDecorator:
    """Skips a test of the tools that needs `module`, an optional dependency
    from the package's `extra` (scripts/test.sh installs them all)."""
    return pytest.mark.skipif(not _installed(module), reason=f"needs {module} (pip install .[{extra}])")


def not_installed(what: str) -> str:
    """Why a test that needs the program `what` skips; names the switch when
    the test command was told to install nothing (scripts/_env.sh)."""
    if os.environ.get("ZU_NO_INSTALL") == "1":
        return f"{what} is not installed (ZU_NO_INSTALL=1: the test command installs nothing)"
    return f"{what} is not installed"


def _architecture_family(name: str) -> str:
    name = name.lower()
    if name in ("x86_64", "amd64", "x86") or (len(name) == 4 and name[0] == "i" and name.endswith("86")):
        return "x86"
    if name in ("aarch64", "arm64") or name.startswith("arm"):
        return "arm"
    return name


def emulated() -> bool:
    """Whether this interpreter runs under a user-mode emulator such as
    qemu-user (the aarch64 wheels are tested so). The emulator answers
    uname() with the guest's architecture but leaves the kernel's own
    answer in /proc/sys/kernel/arch alone, so the two differ. A 32-bit
    userland on its own 64-bit kernel counts as native; a kernel without
    that file counts as native too, so the tests that skip under emulation
    run there."""
    try:
        kernel = Path("/proc/sys/kernel/arch").read_text().strip()
    except OSError:
        return False
    return _architecture_family(kernel) != _architecture_family(platform.machine())


def child_argv(script: str, *args: object) -> list[str]:
    """Command line running `script` (dedented) in a fresh interpreter that,
    like the test run, imports only installed modules."""
    return [sys.executable, "-P", "-c", textwrap.dedent(script), *map(str, args)]


# The start of a child script that measures its own memory: status(key) is
# a size from /proc/self/status in bytes, and reset_peak() starts the peak
# (VmHWM) again from now.
MEMORY_STATUS = r"""
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

def reset_peak():
    with open("/proc/self/clear_refs", "w") as c:
        c.write("5")
"""


def run_child(script: str, *args: object, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `script` with `args` in a fresh interpreter, output captured as
    text; the test fails if the child outlives `timeout` seconds."""
    try:
        return subprocess.run(child_argv(script, *args), capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process did not finish within {timeout} s")


@pytest.fixture
def zu_file(tmp_path):
    """Factory: zu_file(header, members=()) -> path of a new data file."""
    counter = iter(range(1_000_000))

    def make(header, members=()):
        return write_zu_file(tmp_path / f"data{next(counter)}.zip", header, members)

    return make


@pytest.fixture(autouse=True)
def _zudata_answers_as_zudatafile(request):
    """After each test, every data file it left in its tmp_path must read the
    same through zudata.open() as through ZuDataFIle (tests/same_answers.py),
    and no member read through zudata may have needed zlib to correct a fast
    DEFLATE decoder (the reader hides such a fault behind zlib's bytes)."""
    from zudata import _reader

    corrected = _reader._fast_road_mismatches()
    yield
    tmp = request.node.funcargs.get("tmp_path") if hasattr(request.node, "funcargs") else None
    if tmp is not None and tmp.is_dir():
        from same_answers import check_file

        for path in sorted(tmp.rglob("*")):
            check_file(path)
    assert _reader._fast_road_mismatches() == corrected, "zlib corrected a fast decoder's output"


NATIVE_CONFIGS = {"libdeflate": "ON", "zlib only": "OFF"}


@pytest.fixture(scope="session", params=list(NATIVE_CONFIGS))
def native(request) -> Path:
    """The folder of the native test programs (the test driver and the fuzz
    replays), built from this checkout with and without libdeflate in trees
    of their own under build/; skips where no compiler or CMake is found."""
    if shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None:
        pytest.skip("the native test programs need CMake and a C++ compiler")
    root = Path(__file__).resolve().parents[1]
    tree = root / "build" / ("tests-" + request.param.replace(" ", "-"))
    tree.mkdir(parents=True, exist_ok=True)
    configure = ["cmake", "-S", str(root), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release", "-DZU_WERROR=ON",
                 "-DZU_BUILD_FUZZ_REPLAY=ON", f"-DZU_WITH_LIBDEFLATE={NATIVE_CONFIGS[request.param]}",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    build = ["cmake", "--build", str(tree), "--target", "zu_test_driver", "fuzz_data_file_replay",
             "fuzz_header_replay", "fuzz_deflate_replay"]
    import fcntl

    with open(tree / "tests.lock", "w") as lock:  # another test run may share the tree
        fcntl.flock(lock, fcntl.LOCK_EX)
        output = ""
        for command in (configure, build):
            done = subprocess.run(command, capture_output=True, text=True, timeout=1200, stdin=subprocess.DEVNULL)
            assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
            output += done.stdout
    if request.param == "libdeflate" and "zu_data_reader: using libdeflate" not in output:
        pytest.skip("libdeflate is not installed")
    return tree
