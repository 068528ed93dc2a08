#!/usr/bin/env bash
# The project's test command.
#
# Builds the extension and installs it as a wheel into one virtual
# environment per CPython minor version found on this machine (newest in
# .venv/, the others in .venvs/3.N/), runs the test suite in each, once more
# with the newest on a build without libdeflate (.venvs/zlib-only/), then
# cross-builds the core for Windows and macOS (scripts/cross.sh; done before
# the first pytest run, whose tests/test_native_port.py runs the Windows
# driver), builds the portable manylinux wheel and runs the suite against it
# in a fresh environment, builds and tests the CPython 3.14 wheel in a Debian testing
# root (both scripts/_wheels.sh; the first run lays the root and the
# toolchain caches under ~/.cache/zu), checks the shipped type stubs against
# the built module in the newest one, builds the documentation site with it
# and checks the site in chromium (scripts/docs.sh),
# then runs the suite again under AddressSanitizer + UndefinedBehaviorSanitizer
# with a replay of the fuzz corpus (scripts/sanitize.sh), and the static
# checks (scripts/check.sh). Compiler warnings are errors in these builds.
#
#   scripts/test.sh [pytest arguments]    e.g. scripts/test.sh -k header
#   ZU_PRIMARY_ONLY=1 scripts/test.sh     newest interpreter only
#   ZU_NO_SANITIZE=1 scripts/test.sh      skip the sanitizer run
#   ZU_VERBOSE=1 scripts/test.sh          show pip's build output
#   ZU_ZLIB_ONLY=0 scripts/test.sh        skip the extra build and test run
#                                         without libdeflate
#   ZU_NO_WHEELS=1 scripts/test.sh        skip the portable wheel (zig,
#                                         auditwheel, suite without compiler)
#                                         and the CPython 3.14 run
#   ZU_NO_INSTALL=1 scripts/test.sh       install nothing with apt-get: the
#                                         missing packages are listed, the
#                                         tests that need them skip saying
#                                         so (the build headers stay required)
#   ZU_NO_DOCS=1 scripts/test.sh          skip the documentation site
#
# Exits non-zero when any build, test run or stub check fails; a test run that
# collects no tests (pytest exit code 5) counts as a failure.
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ZU_ROOT"

zu_ensure_build_tools
zu_ensure_cross_tools
zu_ensure_zip_writers
zu_ensure_http_server
zu_discover_pythons
zu_check_no_shadow || zu_die "stray module files in the source tree"

# Warnings are errors here but not in a plain `pip install .`, so a newer
# compiler's new warnings cannot stop users from installing.
export PIP_CONFIG_SETTINGS="cmake.define.ZU_WERROR=ON"

summary=()
failed=0
primary_py=""
primary_version=""
primary_built=0

# The core, the native test drivers and the macOS extension modules for
# Windows and macOS, with zig (scripts/cross.sh), built before the first
# pytest run: tests/test_native_port.py runs the Windows driver under Wine
# and finds it up to date, instead of building zig's Windows C++ runtime
# inside one test's time limit on a fresh machine. Without zlib for Windows
# (ZU_NO_INSTALL=1) the Windows target is left out and its tests skip.
cross_step() {
  local -a targets=(linux windows macos-x86_64 macos-arm64)
  local rc=0 note
  if [[ ! -e /usr/x86_64-w64-mingw32/lib/libz.a ]]; then
    targets=(linux macos-x86_64 macos-arm64)
  fi
  zu_log "cross: building ${targets[*]} with zig before pytest (the first run builds zig's C++ runtime for each target, minutes each)"
  ZU_CROSS_PY=$1 bash scripts/cross.sh "${targets[@]}" </dev/null || rc=$?
  note="${targets[*]} (+ linux driver), warnings as errors, macOS version and exports checked"
  [[ " ${targets[*]} " == *" windows "* ]] || note+="; windows left out: no zlib for Windows"
  if ((rc == 0)); then
    summary+=("$(printf '%-12s %-6s %s' "cross" PASS "$note")")
  else
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "cross" FAIL "scripts/cross.sh exit code $rc")")
  fi
}

for minor in "${ZU_MINORS[@]}"; do
  is_primary=0
  [[ -z $primary_py ]] && is_primary=1
  dir=$(zu_venv_dir "$minor" "$is_primary")

  rc=0
  zu_prepare_env "$minor" "$dir" || rc=$?
  if ((rc == 2)); then
    zu_warn "no Python 3.$minor interpreter could create a virtual environment; skipping it"
    summary+=("$(printf '%-12s %-6s %s' "Python 3.$minor" SKIP "no interpreter could create a virtual environment")")
    continue
  fi
  if ((is_primary)); then
    primary_py=$ZU_ENV_PY
    primary_version=$ZU_ENV_VERSION
    ((rc == 0)) && primary_built=1
    if ((rc == 0)); then
      cross_step "$primary_py"
    else
      failed=1
      summary+=("$(printf '%-12s %-6s %s' "cross" FAIL "not built: the primary environment (with zig) is missing")")
    fi
  fi
  if ((rc != 0)); then
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "Python $ZU_ENV_VERSION" FAIL "build or install failed (${dir#"$ZU_ROOT"/})")")
  else
    zu_log "Python $ZU_ENV_VERSION: running pytest"
    # -P keeps the working directory off sys.path, so tests can only import
    # the installed module.
    rc=0
    "$ZU_ENV_PY" -P -m pytest -q "$@" </dev/null || rc=$?
    if ((rc == 0)); then
      summary+=("$(printf '%-12s %-6s %s' "Python $ZU_ENV_VERSION" PASS "${dir#"$ZU_ROOT"/}")")
    else
      failed=1
      note="pytest exit code $rc"
      ((rc == 5)) && note+=": no tests were collected"
      summary+=("$(printf '%-12s %-6s %s' "Python $ZU_ENV_VERSION" FAIL "$note (${dir#"$ZU_ROOT"/})")")
    fi
  fi

  if ((is_primary)) && [[ ${ZU_PRIMARY_ONLY:-0} == 1 ]]; then
    break
  fi
done

[[ -n $primary_py ]] || zu_die "none of the Python interpreters found could create a virtual environment"

# The module must also build and pass on zlib alone (libdeflate missing or
# disabled): once, with the newest interpreter, in a build directory and
# environment of its own so the main build keeps its configuration.
if [[ ${ZU_ZLIB_ONLY:-1} == 1 ]]; then
  primary_minor=${ZU_MINORS[0]}
  zlib_dir="$ZU_ROOT/.venvs/zlib-only"
  rc=0
  # Settings given here replace PIP_CONFIG_SETTINGS, so warnings-as-errors
  # is repeated.
  zu_prepare_env "$primary_minor" "$zlib_dir" cmake.define.ZU_WITH_LIBDEFLATE=OFF cmake.define.ZU_WERROR=ON \
    "build-dir=build/zlib-only-{wheel_tag}" || rc=$?
  # The installed module is stripped; the build's cache shows the switch
  # reached CMake.
  if ((rc == 0)) && grep -qs '^ZU_WITH_LIBDEFLATE:BOOL=OFF$' "$ZU_ROOT"/build/zlib-only-*/CMakeCache.txt; then
    zu_log "Python $ZU_ENV_VERSION (zlib only): running pytest"
    "$ZU_ENV_PY" -P -m pytest -q "$@" </dev/null || rc=$?
    if ((rc == 0)); then
      summary+=("$(printf '%-12s %-6s %s' "zlib only" PASS "Python $ZU_ENV_VERSION, ${zlib_dir#"$ZU_ROOT"/}")")
    else
      failed=1
      summary+=("$(printf '%-12s %-6s %s' "zlib only" FAIL "pytest exit code $rc (${zlib_dir#"$ZU_ROOT"/})")")
    fi
  else
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "zlib only" FAIL "build or install failed, or libdeflate not switched off (${zlib_dir#"$ZU_ROOT"/})")")
  fi
fi

# The portable wheel users get (scripts/wheels.sh builds the full set):
# built with zig for glibc 2.17 with the newest interpreter here, its tag
# confirmed by auditwheel, and the suite run against it in a fresh
# environment without a compiler. Then CPython 3.14 from a cached Debian
# testing root: its wheel built the same way inside the root and the suite
# run there against Debian's NumPy.
if [[ ${ZU_NO_WHEELS:-0} != 1 ]]; then
  # shellcheck source=scripts/_wheels.sh
  source scripts/_wheels.sh
  primary_minor=${ZU_MINORS[0]}
  wheel_py=$(printf '%s' "${ZU_CANDIDATES[$primary_minor]}" | head -n 1)
  rc=0
  zu_log "Python 3.$primary_minor: building the portable wheel with zig"
  wheel=$(zw_build_wheel "$wheel_py" x86_64 "$ZU_ROOT/build/wheels/test-cp3$primary_minor") || rc=$?
  tag=""
  if ((rc == 0)) && tag=$(zw_show_tag "$wheel"); then
    zw_test_wheel "$wheel_py" "$wheel" "numpy>=2" "$ZU_ROOT/.venvs/wheel-test" "$@" || rc=$?
    if ((rc == 0)); then
      summary+=("$(printf '%-12s %-6s %s' "wheel" PASS "$tag, suite in a fresh environment without compiler (Python 3.$primary_minor)")")
    else
      failed=1
      summary+=("$(printf '%-12s %-6s %s' "wheel" FAIL "$tag: suite or install failed (status $rc)")")
    fi
  else
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "wheel" FAIL "build failed or auditwheel granted '${tag}', not $ZW_POLICY")")
  fi

  rc=0
  zw_debian_root testing amd64 3.14 || rc=$?
  if ((rc == 2)); then
    summary+=("$(printf '%-12s %-6s %s' "Python 3.14" SKIP "this machine cannot lay or enter a Debian testing root (see the warning above)")")
  elif ((rc != 0)); then
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "Python 3.14" FAIL "the Debian testing root could not be laid")")
  else
    tag=""
    if zw_root_build_env &&
      wheel=$(ZW_RUN=(zw_in_root "$ZW_DROOT") && zw_build_wheel "$ZW_DROOT_BUILD_PY" x86_64 "$ZU_ROOT/build/wheels/test-cp314" \
        "$(zw_multiarch_flags x86_64-linux-gnu 3.14 /usr/include)") &&
      tag=$(zw_show_tag "$wheel") && zw_test_wheel_in_root "$wheel" numpy "$@"; then
      summary+=("$(printf '%-12s %-6s %s' "Python 3.14" PASS "$tag wheel, suite in Debian testing with its NumPy")")
    else
      failed=1
      summary+=("$(printf '%-12s %-6s %s' "Python 3.14" FAIL "build, auditwheel ('${tag}') or suite failed in the Debian testing root")")
    fi
  fi
fi

if ((!primary_built)); then
  failed=1
  summary+=("$(printf '%-12s %-6s %s' "stubs" FAIL "not checked: the module did not build for Python $primary_version")")
else
  zu_log "Python $primary_version: checking the type stubs against the built module"
  rc=0
  "$primary_py" -P -m mypy.stubtest zu_data_reader zudata._reader --allowlist stubs/stubtest-allowlist.txt </dev/null || rc=$?
  if ((rc == 0)); then
    # Proves mypy resolves the stubs from the installed wheel: the samples
    # hold assertions that only hold with precise types.
    "$primary_py" -P -m mypy --strict scripts/typecheck_sample.py </dev/null || rc=$?
    "$primary_py" -P -m mypy --strict scripts/typecheck_zudata.py </dev/null || rc=$?
  fi
  if ((rc == 0)); then
    summary+=("$(printf '%-12s %-6s %s' "stubs" PASS "stubtest and mypy under Python $primary_version")")
  else
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "stubs" FAIL "stubtest or mypy under Python $primary_version")")
  fi
fi

# The documentation: built with warnings as errors against the installed
# package (API, command line and gallery come from it), then opened in a
# real browser.
if [[ ${ZU_NO_DOCS:-0} != 1 ]]; then
  if ((!primary_built)); then
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "docs" FAIL "not built: the module did not build for Python $primary_version")")
  else
    rc=0
    started=$SECONDS
    ZU_DOCS_PY=$primary_py bash scripts/docs.sh </dev/null || rc=$?
    took=$((SECONDS - started))
    if ((rc == 0)); then
      summary+=("$(printf '%-12s %-6s %s' "docs" PASS "built with -W -n and checked in chromium (${took} s; build/docs)")")
    elif ((rc == 3)); then
      summary+=("$(printf '%-12s %-6s %s' "docs" SKIP "built with -W -n; no chromium for the browser check")")
    else
      failed=1
      summary+=("$(printf '%-12s %-6s %s' "docs" FAIL "scripts/docs.sh exit code $rc")")
    fi
  fi
fi

if [[ ${ZU_NO_SANITIZE:-0} != 1 ]]; then
  rc=0
  bash scripts/sanitize.sh "$@" || rc=$?
  if ((rc == 0)); then
    summary+=("$(printf '%-12s %-6s %s' "sanitizers" PASS "pytest and fuzz corpus under ASan+UBSan (.venvs/asan)")")
  else
    failed=1
    summary+=("$(printf '%-12s %-6s %s' "sanitizers" FAIL "scripts/sanitize.sh exit code $rc")")
  fi
fi

rc=0
bash scripts/check.sh || rc=$?
if ((rc == 0)); then
  summary+=("$(printf '%-12s %-6s %s' "checks" PASS "shellcheck, ruff, clang-format")")
else
  failed=1
  summary+=("$(printf '%-12s %-6s %s' "checks" FAIL "scripts/check.sh exit code $rc")")
fi

if ((${#ZU_NOT_INSTALLED[@]})); then
  summary+=("$(printf '%-12s %-6s %s' "installs" SKIP "ZU_NO_INSTALL=1, not installed: ${ZU_NOT_INSTALLED[*]}")")
fi

printf '\n==== summary ====\n'
printf '%s\n' "${summary[@]}"
exit "$failed"
