#!/usr/bin/env bash
# The test suite and the fuzz corpus under AddressSanitizer and
# UndefinedBehaviorSanitizer. scripts/test.sh runs this after the plain runs.
#
# Builds the module with ZU_SANITIZE=ON into .venvs/asan/ (newest Python
# only; the CMake tree is build/asan, so rebuilds stay incremental), runs
# pytest there with the sanitizer runtime preloaded, then replays every file
# of fuzz/corpus/ through both fuzz targets, built in the same tree as plain
# programs (fuzz/replay_main.cpp), so neither clang nor libFuzzer is needed.
#
#   scripts/sanitize.sh [pytest arguments]
#
# Tests marked no_sanitizer are deselected: they measure the process itself
# (resident memory), which the sanitizer's quarantine and shadow memory
# change. Any sanitizer report ends its process and fails the run; the
# reports are kept in build/asan/sanitizer-reports/ and printed.
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ZU_ROOT"

zu_ensure_build_tools
zu_discover_pythons >/dev/null

minor=${ZU_MINORS[0]}
dir="$ZU_ROOT/.venvs/asan"
build_dir="build/asan"
py="$dir/bin/python"
zu_make_venv "$minor" "$dir" || zu_die "no Python 3.$minor could create $dir"

zu_log "sanitizers: building the module into ${dir#"$ZU_ROOT"/} (CMake tree $build_dir)"
verbose=(-q)
[[ ${ZU_VERBOSE:-0} == 1 ]] && verbose=(-v)
# Only these settings: scripts/test.sh exports one for its plain builds. The
# module keeps its debug information, so reports name files and lines.
unset PIP_CONFIG_SETTINGS
"$py" -m pip install "${verbose[@]}" -C build-dir="$build_dir" -C install.strip=false \
  -C cmake.define.ZU_SANITIZE=ON -C cmake.define.ZU_WERROR=ON -C cmake.define.ZU_BUILD_FUZZ_REPLAY=ON \
  ".[test]" </dev/null ||
  zu_die "building the sanitizer build failed"

# The runtime must be the one of the compiler that built the module, and
# come first in the process, so it is preloaded into the interpreter.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
[[ -n $cxx ]] || zu_die "no compiler recorded in $build_dir/CMakeCache.txt"
preload=""
for lib in libasan.so libubsan.so; do
  path=$("$cxx" -print-file-name="$lib")
  [[ $path == /* && -e $path ]] || zu_die "$cxx has no $lib (install its sanitizer runtime)"
  preload+="${preload:+ }$path"
done

# Python's own allocator would hide heap errors from ASan (PYTHONMALLOC), and
# the interpreter's leaks at exit are not ours, so leak detection is off for
# it; the native fuzz replay below keeps it on. pytest captures descriptor 2,
# and a report ends the process before pytest could show it, so reports go
# to files (one per process, child processes included) that are shown below.
reports="$ZU_ROOT/$build_dir/sanitizer-reports"
sanitized() {
  env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}" "$@"
}

# Prints the reports written so far; fails when there is any.
no_reports() {
  local f found=0
  for f in "$reports"/*; do
    [[ -e $f ]] || continue
    found=1
    printf '==> sanitizer report %s:\n' "${f#"$ZU_ROOT"/}"
    head -n 60 "$f"
  done
  ((found == 0))
}

failed=0
summary=()
note() {
  summary+=("$(printf '%-24s %-6s %s' "$1" "$2" "$3")")
  [[ $2 == PASS ]] || failed=1
}

rm -rf "$reports"
mkdir -p "$reports"
if sanitized "$py" -P -c 'import zu_data_reader' </dev/null; then
  zu_log "sanitizers: running pytest"
  rc=0
  # The zu tools' tests exercise pure Python around the same module calls
  # the rest of the suite makes; under the sanitizers they only cost time.
  sanitized "$py" -P -m pytest -q -m "not no_sanitizer" --ignore-glob='tests/test_zu_*' "$@" </dev/null || rc=$?
  if ! no_reports; then
    note "pytest (asan+ubsan)" FAIL "sanitizer reports (above; pytest exit code $rc)"
  elif ((rc == 0)); then
    note "pytest (asan+ubsan)" PASS "${dir#"$ZU_ROOT"/}"
  else
    note "pytest (asan+ubsan)" FAIL "pytest exit code $rc"
  fi
else
  no_reports || true
  note "pytest (asan+ubsan)" FAIL "the sanitizer build does not import"
fi

for target in data_file header deflate; do
  shopt -s nullglob
  inputs=(fuzz/corpus/"$target"/*)
  shopt -u nullglob
  label="fuzz replay ($target)"
  if ((${#inputs[@]} == 0)); then
    note "$label" FAIL "fuzz/corpus/$target is empty"
    continue
  fi
  rc=0
  ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    "$build_dir/fuzz_${target}_replay" "${inputs[@]}" </dev/null || rc=$?
  if ((rc == 0)); then
    note "$label" PASS "${#inputs[@]} inputs"
  else
    note "$label" FAIL "exit code $rc"
  fi
done

printf '%s\n' "${summary[@]}"
exit "$failed"
