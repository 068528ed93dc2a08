#!/usr/bin/env bash
# Static checks: shellcheck on the shell scripts, ruff on the Python,
# clang-format on the C++, and that only src/platform/ calls the operating
# system. scripts/test.sh runs this after the test suites.
#
#   scripts/check.sh                    all three; exits non-zero on a finding
#   ZU_FORMAT_STRICT=0 scripts/check.sh formatting differences only reported
#
# The tools are the pinned ones from the test extra (pyproject.toml), taken
# from .venv/ (which scripts/test.sh creates) when it exists, else from PATH.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Formatting differences fail the check unless ZU_FORMAT_STRICT=0.
strict_format=${ZU_FORMAT_STRICT:-1}

tools_bin="$root/.venv/bin"
[[ -x $tools_bin/ruff ]] || tools_bin=""

tool() {
  local name=$1
  if [[ -n $tools_bin && -x $tools_bin/$name ]]; then
    printf '%s\n' "$tools_bin/$name"
  elif command -v "$name" >/dev/null 2>&1; then
    command -v "$name"
  else
    printf 'error: %s not found; install the test extra: pip install ".[test]"\n' "$name" >&2
    return 1
  fi
}

failed=0
# report LABEL STATUS
report() {
  if (($2 == 0)); then
    printf '==> %s: ok\n' "$1"
  else
    printf '==> %s: FAILED\n' "$1"
    failed=1
  fi
}

shopt -s nullglob
shell_scripts=(scripts/*.sh .ci/run bench/*.sh)
cxx_files=(src/*/*.cpp src/*/*.h fuzz/*.cpp fuzz/*.h bench/*.cpp tests/native/*.cpp scripts/cross/*.cpp)
shopt -u nullglob

shellcheck_bin=$(tool shellcheck)
ruff_bin=$(tool ruff)
clang_format_bin=$(tool clang-format)

# -x follows `source` lines, so functions from _env.sh are known.
rc=0
"$shellcheck_bin" -x "${shell_scripts[@]}" || rc=$?
report "shellcheck (${#shell_scripts[@]} scripts)" "$rc"

rc=0
"$ruff_bin" check --quiet . || rc=$?
report "ruff" "$rc"

format_check() {
  local out
  if out=$("$clang_format_bin" --dry-run --Werror "${cxx_files[@]}" 2>&1); then
    return 0
  fi
  # One line per file that would change, not every hunk.
  printf '%s\n' "$out" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' |
    sort -u | sed 's/^/  needs clang-format: /'
  if [[ $strict_format == 1 ]]; then
    return 1
  fi
  printf '  (reported only: ZU_FORMAT_STRICT is not 1)\n'
}
rc=0
format_check || rc=$?
report "clang-format (${#cxx_files[@]} files)" "$rc"

# The core reaches the operating system only through src/platform/, so that
# a port changes that folder alone: elsewhere in src/ no Windows test, no
# system header and no POSIX or C-library-specific call (comment lines
# aside).
platform_check() {
  local pattern hits
  pattern='_WIN32|#include <(unistd|fcntl|signal|pthread|locale|xlocale|windows|io|dlfcn)\.h>'
  pattern+='|#include <sys/|\b(pread|pwrite|lseek|fcntl|memrchr|strtod_l|newlocale|strerror_r'
  pattern+='|sigtimedwait|sigwait|sigpending|pthread_sigmask|CreateFileW?|ReadFile|GetLastError)\s*\('
  pattern+='|(^|[^A-Za-z0-9_])::(open|close|read|write)\s*\(|\bO_(RDONLY|NONBLOCK|CLOEXEC)\b|\bSIGPIPE\b'
  hits=$(grep -rnE "$pattern" src --include='*.cpp' --include='*.h' | grep -v '^src/platform/' |
    grep -vE '^[^:]+:[0-9]+:[[:space:]]*//' || true)
  [[ -z $hits ]] && return 0
  printf '  system call outside src/platform: %s\n' "${hits//$'\n'/$'\n  system call outside src/platform: '}"
  return 1
}
rc=0
platform_check || rc=$?
report "platform calls only in src/platform" "$rc"

exit "$failed"
