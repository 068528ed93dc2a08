"""What the documentation shows runs: every python and sh block of the
README and the site's pages, the `zu --help` examples, `python -m zudata`
and the installed manual page written from the parser."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import needs

from zudata import _clidoc
from zudata.cli import EXAMPLES

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
import make_sample  # noqa: E402

BIN = Path(sys.executable).parent
# Pages users read: the README and the site's own pages (docs/DEVELOPING.md
# is the developers' and is not part of the site).
PAGES = [
    page
    for page in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
    if page.name != "DEVELOPING.md" and "```" in page.read_text(encoding="utf-8")
]
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.MULTILINE | re.DOTALL)
# Lines that cannot run here: installs (the test command itself installs the
# package, and the quick start's demo and test scripts build environments of
# their own), and a command that needs a Dask scheduler already listening.
NOT_RUN = re.compile(r"^(pip install |bash scripts/(demo|test)\.sh\b|.*--dask tcp://)")


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    """The files the examples name: scan.zu (and the same recording as
    recording.zip and original.zip), a folder scans/ of three recordings,
    and the source tree's examples/."""
    scan = make_sample.write_sample(tmp_path / "scan.zu")
    for name in ("recording.zip", "original.zip"):
        shutil.copy(scan, tmp_path / name)
    (tmp_path / "scans").mkdir()
    for k in range(3):
        make_sample.write_sample(tmp_path / "scans" / f"scan{k}.zu", seed=k)
    os.symlink(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", f"{BIN}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    return tmp_path


def _run_sh(line: str, where: Path) -> None:
    run = subprocess.run(["bash", "-c", line], cwd=where, stdin=subprocess.DEVNULL, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, f"{line}\n{run.stderr}"


@needs("matplotlib", "tools")
@needs("xarray", "xarray")
@needs("dask", "dask")
@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_every_code_block_runs(page, workspace):
    text = page.read_text(encoding="utf-8")
    blocks = FENCE.findall(text)
    assert len(blocks) == len(re.findall(r"^```\w", text, re.MULTILINE)), "a block the pattern does not take"
    # The python blocks of a page share one namespace, as a reader typing
    # them in order would; `paths` is the folder the examples stack.
    namespace = {"__name__": "__doc_example__", "paths": sorted(str(p) for p in Path("scans").glob("*.zu"))}
    for language, code in blocks:
        if language == "python":
            exec(compile(code, f"{page.name}:python block", "exec"), namespace)  # noqa: S102
        elif language == "sh":
            for line in code.splitlines():
                command = line.split(" #")[0].strip()
                if command and not command.startswith("#") and not NOT_RUN.match(command):
                    _run_sh(command, workspace)
        elif language != "text":  # text: a signature or an output, not code
            pytest.fail(f"a {language} block: say whether and how it runs")


@needs("matplotlib", "tools")
@needs("h5py", "tools")
@pytest.mark.parametrize(("command", "line"), [(c, line) for c, pairs in EXAMPLES.items() for line, _ in pairs])
def test_help_examples_run(command, line, workspace):
    assert shlex.split(line)[:2] == ["zu", command]
    _run_sh(line, workspace)


def test_manual_page_is_installed_and_current():
    """docs/zu.1 is written from the parser; a changed option without a
    regenerated page fails here (python -m zudata._clidoc > docs/zu.1)."""
    installed = Path(sys.prefix) / "share" / "man" / "man1" / "zu.1"
    assert installed.read_text(encoding="utf-8") == _clidoc.manpage()
    assert (ROOT / "docs" / "zu.1").read_text(encoding="utf-8") == _clidoc.manpage()


@pytest.mark.parametrize("args", [["info", "scan.zu"], ["info", "missing.zu"], ["--version"], []])
def test_python_m_zudata_is_the_zu_command(args, workspace):
    runs = [
        subprocess.run(program + args, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
        for program in ([str(BIN / "zu")], [sys.executable, "-m", "zudata"])
    ]
    assert runs[0].returncode == runs[1].returncode
    assert runs[0].stdout == runs[1].stdout
    assert runs[0].stderr.replace("__main__.py", "zu") == runs[1].stderr.replace("__main__.py", "zu")
