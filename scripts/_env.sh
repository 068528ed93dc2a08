# shellcheck shell=bash
# Shared set-up for scripts/test.sh and scripts/demo.sh; source it, don't run it.
#
# Provides:
#   zu_apt_install WHY PACKAGE...  installs Debian packages with apt-get, or
#                                  with ZU_NO_INSTALL=1 only names them and
#                                  fails (ZU_NOT_INSTALLED collects them)
#   zu_ensure_build_tools          zlib and libdeflate headers (installed with
#                                  apt-get when missing) and a C++ compiler
#   zu_ensure_cross_tools          Wine and zlib for Windows (apt-get), for
#                                  scripts/cross.sh and its test
#   zu_ensure_zip_writers          other programs' ZIP writers (apt-get),
#                                  whose archives the tests read
#   zu_ensure_browser              Debian's chromium (apt-get), for the
#                                  documentation's browser check
#   zu_discover_pythons            fills ZU_MINORS (newest first) and
#                                  ZU_CANDIDATES[minor] (newline-separated
#                                  interpreters, preferred first)
#   zu_venv_dir MINOR IS_PRIMARY   prints the environment directory
#   zu_prepare_env MINOR DIR [SETTING...]
#                                  creates DIR if needed, installs the project
#                                  with the extras in ZU_EXTRAS (default: the
#                                  test, tools, dask, xarray and remote ones; each SETTING, such as
#                                  cmake.define.NAME=VALUE, goes to the build
#                                  backend as pip's -C); sets ZU_ENV_PY and
#                                  ZU_ENV_VERSION
#
# The project is always installed as a wheel (never editable) so that tests
# and the demo exercise exactly what users get, stubs included.

ZU_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

zu_log() { printf '==> %s\n' "$*"; }
zu_warn() { printf 'warning: %s\n' "$*" >&2; }
zu_die() {
  printf 'error: %s\n' "$*" >&2
  exit 1
}

# Installs Debian packages with apt-get (as root, or through sudo -n); WHY
# says what they are for, and arguments starting with "-" go to apt-get as
# options. The package lists are updated once per script: several ensure
# steps may install on a fresh machine.
#
# ZU_NO_INSTALL=1 leaves the machine as it is: nothing is installed, the
# packages are named on stderr and added to ZU_NOT_INSTALLED, and the call
# fails, so the caller goes on without them (the tests that need them skip,
# saying what is missing) or stops where the build itself needs them.
ZU_APT_UPDATED=0
ZU_NOT_INSTALLED=()
zu_apt_install() {
  local why=$1 arg
  shift
  local -a packages=()
  for arg in "$@"; do
    [[ $arg == -* ]] || packages+=("$arg")
  done
  if [[ ${ZU_NO_INSTALL:-0} == 1 ]]; then
    zu_warn "missing ${packages[*]} ($why); not installed, as ZU_NO_INSTALL=1 asks"
    ZU_NOT_INSTALLED+=("${packages[@]}")
    return 1
  fi
  zu_log "installing ${packages[*]} with apt-get ($why)" >&2
  local -a asroot=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null 2>&1 || return 1
    asroot=(sudo -n)
  fi
  if ((!ZU_APT_UPDATED)); then
    "${asroot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null || return 1
    ZU_APT_UPDATED=1
  fi
  "${asroot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" </dev/null
}

zu_ensure_build_tools() {
  if [[ ! -e /usr/include/zlib.h ]]; then
    zu_apt_install "zlib headers, which the build needs" zlib1g-dev ||
      zu_die "zlib headers (/usr/include/zlib.h) are missing and could not be installed; install zlib1g-dev"
    [[ -e /usr/include/zlib.h ]] || zu_die "zlib1g-dev is installed but /usr/include/zlib.h is still missing"
  fi
  # libdeflate speeds up member decoding; the build works without it, so a
  # failed install only warns.
  if [[ ! -e /usr/include/libdeflate.h ]]; then
    zu_apt_install "libdeflate headers" libdeflate-dev ||
      zu_warn "without libdeflate-dev the module is built on zlib alone"
  fi
  if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1; then
    zu_die "no C++ compiler found (need g++ with C++20 support; on Debian: apt-get install g++)"
  fi
}

# Wine and Windows' zlib, for the cross builds and the test that runs the
# Windows driver (scripts/cross.sh, tests/test_native_port.py). Both only
# widen what is tested, so a failed install only warns: the test then skips.
zu_ensure_cross_tools() {
  local -a missing=()
  [[ -x /usr/lib/wine/wine64 ]] || command -v wine64 >/dev/null 2>&1 || missing+=(wine64)
  [[ -e /usr/x86_64-w64-mingw32/lib/libz.a ]] || missing+=(libz-mingw-w64-dev)
  ((${#missing[@]})) || return 0
  zu_apt_install "Windows cross build and Wine" --no-install-recommends "${missing[@]}" >/dev/null ||
    zu_warn "without ${missing[*]} the Windows build and its tests under Wine are skipped"
}

# Other programs' ZIP writers (Info-ZIP's zip, 7-Zip, bsdtar), whose
# archives the tests must read in full (tests/test_shared_members.py). They
# only widen what is tested, so a failed install only warns: the tests of
# the missing writers then skip.
zu_ensure_zip_writers() {
  local -a missing=()
  command -v zip >/dev/null 2>&1 || missing+=(zip)
  command -v 7z >/dev/null 2>&1 || missing+=(p7zip-full)
  command -v bsdtar >/dev/null 2>&1 || missing+=(libarchive-tools)
  ((${#missing[@]})) || return 0
  zu_apt_install "ZIP writers whose archives the tests read" --no-install-recommends "${missing[@]}" >/dev/null ||
    zu_warn "without ${missing[*]} the tests of those writers' archives are skipped"
}

# Debian's chromium, in which scripts/docs_browser.py checks the built site
# (Playwright drives it; no browser is downloaded). Returns 1, with a
# warning, when it is missing and cannot be installed.
zu_ensure_browser() {
  [[ -x /usr/bin/chromium ]] && return 0
  zu_apt_install "the documentation's browser check" --no-install-recommends chromium >/dev/null &&
    [[ -x /usr/bin/chromium ]] && return 0
  zu_warn "could not install chromium; the documentation's browser check cannot run"
  return 1
}

# nginx, which serves the remote-file tests' files over HTTP with range
# requests (tests/test_remote_servers.py; moto's S3 server comes with the
# test extra). It only widens what is tested, so a failed install only
# warns: those tests then skip.
zu_ensure_http_server() {
  command -v nginx >/dev/null 2>&1 || [[ -x /usr/sbin/nginx ]] && return 0
  zu_apt_install "the HTTP server of the remote-file tests" --no-install-recommends nginx-light >/dev/null ||
    zu_warn "without nginx the tests of files served over HTTP are skipped"
}

# Lowest supported minor version, taken from requires-python so that the set
# of tested interpreters follows the package metadata; never below 3.11,
# because the scripts rely on `python -P`.
zu_min_minor() {
  local m
  m=$(sed -n 's/^requires-python *= *"[[:space:]]*>=[[:space:]]*3\.\([0-9][0-9]*\).*/\1/p' \
    "$ZU_ROOT/pyproject.toml" | head -n 1)
  if [[ -z $m || $m -lt 11 ]]; then m=11; fi
  printf '%s\n' "$m"
}

# Every place a CPython 3.x may live, in order of preference: PATH first (it
# reflects the user's choice, pyenv shims included), then pyenv's own builds,
# then the distribution's.
zu_candidate_paths() {
  local min=$1 n p
  for ((n = min; n <= 19; n++)); do
    type -ap "python3.$n" 2>/dev/null || true
  done
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for p in "$pyenv_root"/versions/*/bin/python3.* /usr/local/bin/python3.* /usr/bin/python3.*; do
    [[ $p =~ /python3\.[0-9]+$ && -x $p ]] && printf '%s\n' "$p"
  done
  return 0
}

zu_discover_pythons() {
  local min probe cand minor exe
  min=$(zu_min_minor)
  declare -gA ZU_CANDIDATES=() ZU_SEEN=()
  declare -ga ZU_MINORS=()
  # Identity is the real base interpreter, so shims, symlinks and venv
  # interpreters collapse onto the build they run.
  probe='import os, platform, sys
base = getattr(sys, "_base_executable", "") or sys.executable
print(sys.implementation.name, sys.version_info[0], sys.version_info[1],
      platform.python_version(), os.path.realpath(base), sep="\t")'
  while IFS= read -r cand; do
    local out impl major
    out=$(timeout 30 "$cand" -c "$probe" </dev/null 2>/dev/null) || continue
    IFS=$'\t' read -r impl major minor _ exe <<<"$out"
    [[ $impl == cpython && $major == 3 && $minor =~ ^[0-9]+$ && -x $exe ]] || continue
    ((minor >= min)) || continue
    [[ -z ${ZU_SEEN[$exe]:-} ]] || continue
    ZU_SEEN[$exe]=1
    ZU_CANDIDATES[$minor]+="$exe"$'\n'
  done < <(zu_candidate_paths "$min")
  if ((${#ZU_CANDIDATES[@]} == 0)); then
    zu_die "no working CPython >= 3.$min found (looked for python3.N on PATH, in ${PYENV_ROOT:-$HOME/.pyenv}/versions, /usr/local/bin and /usr/bin)"
  fi
  mapfile -t ZU_MINORS < <(printf '%s\n' "${!ZU_CANDIDATES[@]}" | sort -rn)
  local m
  for m in "${ZU_MINORS[@]}"; do
    zu_log "Python 3.$m candidates: $(printf '%s' "${ZU_CANDIDATES[$m]}" | paste -sd ' ' -)"
  done
}

zu_venv_dir() {
  if [[ $2 == 1 ]]; then
    printf '%s\n' "$ZU_ROOT/.venv"
  else
    printf '%s\n' "$ZU_ROOT/.venvs/3.$1"
  fi
}

# True when DIR holds a usable environment of Python 3.MINOR with pip.
zu_venv_ok() {
  [[ -x $1/bin/python ]] &&
    "$1/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != (3, $2))" </dev/null 2>/dev/null &&
    "$1/bin/python" -m pip --version </dev/null >/dev/null 2>&1
}

zu_make_venv() {
  local minor=$1 dir=$2 cand
  if zu_venv_ok "$dir" "$minor"; then
    return 0
  fi
  [[ -n $dir && $dir == "$ZU_ROOT"/* ]] || zu_die "refusing to manage environment outside the project: $dir"
  rm -rf "$dir"
  while IFS= read -r cand; do
    [[ -n $cand ]] || continue
    zu_log "creating ${dir#"$ZU_ROOT"/} with $cand"
    if "$cand" -m venv "$dir" </dev/null && zu_venv_ok "$dir" "$minor"; then
      return 0
    fi
    zu_warn "$cand could not create a working virtual environment; trying the next Python 3.$minor"
    rm -rf "$dir"
  done <<<"${ZU_CANDIDATES[$minor]}"
  return 1
}

# Sets ZU_ENV_PY and ZU_ENV_VERSION; returns 2 when no interpreter of this
# minor can host a virtual environment, 1 when building or installing fails.
zu_prepare_env() {
  local minor=$1 dir=$2 setting
  shift 2
  local -a settings=()
  for setting in "$@"; do settings+=(-C "$setting"); done
  ZU_ENV_PY="$dir/bin/python"
  ZU_ENV_VERSION="3.$minor"
  zu_make_venv "$minor" "$dir" || return 2
  ZU_ENV_VERSION=$("$ZU_ENV_PY" -c 'import platform; print(platform.python_version())' </dev/null)
  zu_log "Python $ZU_ENV_VERSION: building and installing the project into ${dir#"$ZU_ROOT"/}"
  # pip still prints the whole build log when a build fails.
  local -a verbose=(-q)
  [[ ${ZU_VERBOSE:-0} == 1 ]] && verbose=(-v)
  # pip always rebuilds and reinstalls a project given as a local directory,
  # even at an unchanged version, so the installed module is never stale;
  # the CMake build directory (build/<wheel tag>) keeps rebuilds incremental.
  # ZU_EXTRAS: the extras to install (the demo takes only what running the
  # package needs; the tests also want their tools).
  (cd "$ZU_ROOT" && "$ZU_ENV_PY" -m pip install "${verbose[@]}" "${settings[@]}" \
    ".[${ZU_EXTRAS:-test,tools,dask,xarray,remote}]" </dev/null) || return 1
  zu_check_installed "$ZU_ENV_PY" || return 1
}

# Imports the module from outside the source tree and insists that it comes
# from the environment's site-packages.
zu_check_installed() {
  (cd / && "$1" -P -c '
import os, sys, sysconfig
import zu_data_reader
found = os.path.realpath(zu_data_reader.__file__)
site = os.path.realpath(sysconfig.get_path("platlib"))
if os.path.dirname(found) != site:
    sys.exit(f"zu_data_reader was imported from {found}, expected it in {site}")
print(f"==> using {found}")
' </dev/null)
}

# Stray module files in these directories would be imported by tests instead
# of the installed wheel.
zu_check_no_shadow() {
  local d f
  for d in "$ZU_ROOT" "$ZU_ROOT/tests"; do
    for f in "$d"/zu_data_reader*; do
      if [[ -e $f ]]; then
        zu_warn "$f would shadow the installed module; remove it"
        return 1
      fi
    done
  done
}
