"""Shared helpers: data files from zudata.testfiles, and child interpreters.

Well-formed files come from `write_zu_file` (zipfile underneath); broken
archives (bad signatures, sizes, offsets...) from zudata.testfiles.build.
"""

from __future__ import annotations

import importlib.util
import platform
import subprocess
import sys
import textwrap
from collections.abc import Iterable
from pathlib import Path

import pytest

from zudata.testfiles import HEADER_NAME, channel_lines, floats_be, ints_be, write_zip

__all__ = [
    "HEADER_NAME", "channel_lines", "child_argv", "emulated", "floats_be", "ints_be", "needs", "run_child",
    "write_zu_file",
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
    same through zudata.open() as through ZuDataFIle (tests/same_answers.py)."""
    yield
    tmp = request.node.funcargs.get("tmp_path") if hasattr(request.node, "funcargs") else None
    if tmp is None or not tmp.is_dir():
        return
    from same_answers import check_file

    for path in sorted(tmp.rglob("*")):
        check_file(path)
