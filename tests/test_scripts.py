"""The shell scripts' promises about the machine they run on: ZU_NO_INSTALL=1
installs nothing, and checkouts sharing the wheel-tools cache never delete
each other's tools. apt-get, the host Python and pip are stand-ins written
here, so nothing is installed or downloaded."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPTS = ROOT / "scripts"
BASH = shutil.which("bash")

pytestmark = [
    pytest.mark.skipif(BASH is None, reason="needs bash"),
    pytest.mark.skipif(not (SCRIPTS / "_env.sh").is_file(), reason="needs the scripts of a source checkout"),
]


def _bash(script: str, *, env: dict[str, str]) -> subprocess.Popen[str]:
    return subprocess.Popen([BASH, "-c", script], env=env, cwd=ROOT, text=True, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def _executable(path: Path, text: str) -> None:
    path.write_text(text)
    path.chmod(0o755)


@pytest.mark.parametrize("no_install", ["1", "0"])
def test_no_install_switch_names_missing_tools_and_runs_no_apt(tmp_path, no_install):
    # A PATH with no ZIP writer on it, whose apt-get (and sudo) only record
    # that they ran.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    calls = tmp_path / "apt-calls"
    _executable(bin_dir / "apt-get", f'#!/bin/sh\necho "$*" >>"{calls}"\n')
    _executable(bin_dir / "sudo", '#!/bin/sh\nshift\nexec "$@"\n')
    for tool in ("id", "env", "dirname"):
        os.symlink(shutil.which(tool), bin_dir / tool)
    script = f"""
        set -euo pipefail
        source "{SCRIPTS}/_env.sh"
        zu_ensure_zip_writers
        printf 'not installed: %s\\n' "${{ZU_NOT_INSTALLED[*]}}"
    """
    env = {"PATH": str(bin_dir), "HOME": str(tmp_path), "ZU_NO_INSTALL": no_install}
    child = _bash(script, env=env)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    apt = calls.read_text() if calls.exists() else ""
    if no_install == "1":
        assert apt == ""
        assert "not installed: zip p7zip-full libarchive-tools" in out
        assert "missing zip p7zip-full libarchive-tools" in err and "ZU_NO_INSTALL=1" in err
    else:
        # The stand-ins above are what would have installed.
        assert "install -y -q --no-install-recommends zip p7zip-full libarchive-tools" in apt


@pytest.mark.skipif(shutil.which("flock") is None, reason="needs flock (util-linux)")
def test_first_runs_of_two_checkouts_share_the_wheel_tools(tmp_path):
    # A stand-in host Python whose venv's pip takes a while to install and
    # fails if its environment is deleted meanwhile, as a real install would
    # be broken; each install is logged.
    log = tmp_path / "installs"
    fake_python = tmp_path / "python3-host"
    _executable(fake_python, f"""#!/bin/bash
set -e
[[ $1 == -m && $2 == venv ]] || exit 1
mkdir -p "$3/bin"
cat >"$3/bin/python" <<'VENV'
#!/bin/bash
env_dir=$(cd "$(dirname "$0")/.." && pwd)
case "$1 $2" in
  "-m pip")
    echo "$env_dir" >>"{log}"
    sleep 2
    [[ -x $env_dir/bin/python ]] || exit 1
    mkdir -p "$env_dir/lib/ziglang"
    printf '#!/bin/sh\\n' >"$env_dir/lib/ziglang/zig" && chmod +x "$env_dir/lib/ziglang/zig" ;;
  "-c import ziglang") [[ -d $env_dir/lib/ziglang ]] ;;
  *) echo "$env_dir/lib/ziglang/zig" ;;
esac
VENV
chmod +x "$3/bin/python"
""")
    script = f"""
        set -euo pipefail
        source "{SCRIPTS}/_env.sh"
        source "{SCRIPTS}/_wheels.sh"
        zw_host_python() {{ echo "{fake_python}"; }}
        zw_tools
        [[ -x $ZW_ZIG ]]
        echo "zig at $ZW_ZIG"
    """
    env = {"PATH": os.environ["PATH"], "HOME": str(tmp_path), "ZU_CACHE_DIR": str(tmp_path / "cache")}
    first = _bash(script, env=env)
    second = _bash(script, env=env)
    results = [child.communicate(timeout=60) for child in (first, second)]
    for child, (out, err) in zip((first, second), results, strict=True):
        assert child.returncode == 0, out + err
        assert "zig at " in out
    assert log.read_text().count("\n") == 1, log.read_text()
    assert (tmp_path / "cache" / "wheel-tools" / ".zu-stamp").is_file()
