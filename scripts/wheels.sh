#!/usr/bin/env bash
# Builds the release files into dist/: the sdist and manylinux2014 wheels
# (manylinux_2_17) for CPython 3.11, 3.12, 3.13 and 3.14 on x86_64, and for
# CPython 3.11 and 3.14 on aarch64; checks every wheel's tag with
# `auditwheel show` and all files with `twine check` and
# `check-wheel-contents`; then runs the whole test suite against each wheel
# installed into a fresh environment with no compiler on PATH.
#
# How the wheels are made (scripts/_wheels.sh says why in full): zig, from
# the `ziglang` wheel on PyPI, compiles and links the module for
# <arch>-linux-gnu.2.17 with its own libc++ linked statically, and zlib and
# libdeflate are compiled from Debian's source packages into the module.
# This needs no manylinux container (no Docker engine runs on this project's
# machines) and gives the oldest glibc policy that still has C++20, from any
# Linux host. CPython 3.14 comes from Debian testing and the aarch64
# interpreters from Debian's arm64 packages, each in a root laid once by
# mmdebstrap and cached; arm64 roots run under qemu-user-static, with only
# the compiler running natively.
#
#   bash scripts/wheels.sh                  everything above
#   ZU_WHEELS_TEST=0 bash scripts/wheels.sh build and check only, no suites
#   ZU_WHEELS_ARCHES=x86_64 bash scripts/wheels.sh
#                                           one architecture only (and no
#                                           qemu-aarch64 binfmt_misc entry:
#                                           see zw_binfmt in _wheels.sh)
#   ZU_NO_INSTALL=1 bash scripts/wheels.sh  installs nothing with apt-get and
#                                           registers nothing with the
#                                           kernel; what needs it fails
#   ZU_WHEELS_PYTEST="-x -q" ...            pytest arguments for every run
#
# Test matrix (NumPy from PyPI's binary wheels, or Debian's build inside a
# root):
#   x86_64  cp311, cp312     NumPy 1.26 and NumPy 2.x
#   x86_64  cp313            NumPy 2.x (1.26 has no wheels for it)
#   x86_64  cp314            Debian testing's NumPy 2.x, in the testing root
#   x86_64  sdist            built in a fresh environment with the system's
#                            compiler, then the suite against that wheel
#   aarch64 cp311            Debian bookworm's NumPy 1.24, under qemu-user
#   aarch64 cp314            Debian testing's NumPy 2.x, under qemu-user
# Caches: ${XDG_CACHE_HOME:-~/.cache}/zu (ZU_CACHE_DIR overrides). Cold, the
# whole run takes one and a half to two hours on two cores, most of it
# laying the arm64 roots and the suites under emulation.
#
# Exits non-zero when any build, tag, check or test run fails.
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
# shellcheck source=scripts/_wheels.sh
source "$(dirname "${BASH_SOURCE[0]}")/_wheels.sh"
cd "$ZU_ROOT"

read -r -a arches <<<"${ZU_WHEELS_ARCHES:-x86_64 aarch64}"
# The arm64 roots need qemu-aarch64 registered with the kernel, which
# zw_binfmt announces and this undoes however the script ends.
trap zw_binfmt_restore EXIT
if [[ " ${arches[*]} " == *" aarch64 "* ]]; then
  zu_log "aarch64 wheels asked for (ZU_WHEELS_ARCHES=${arches[*]}): unless the kernel already runs arm64 programs, this run registers qemu-aarch64 with binfmt_misc while it runs (ZU_WHEELS_ARCHES=x86_64 leaves the kernel alone)"
fi
read -r -a pytest_args <<<"${ZU_WHEELS_PYTEST:--q}"
# pytest's closing line ("N passed") stays in the output with a single -q.
run_tests=${ZU_WHEELS_TEST:-1}

summary=()
failed=0
record() { summary+=("$(printf '%-34s %-6s %s' "$1" "$2" "$3")"); }
fail() {
  failed=1
  record "$1" FAIL "$2"
}

zw_tools
dist="$ZU_ROOT/dist"
work="$ZU_ROOT/build/wheels"
rm -rf "$dist" "$work"
mkdir -p "$dist" "$work"

# Wheels to test after all are built: "label|where|wheel|NumPy requirement", where
# is "host:PYTHON" or "root:SUITE:DEBARCH:VERSION".
tests=()

# Checks WHEEL's tag and copies it into dist/.
accept_wheel() {
  local label=$1 wheel=$2 tag
  if tag=$(zw_show_tag "$wheel"); then
    cp "$wheel" "$dist/"
    record "$label" OK "auditwheel: $tag"
    return 0
  fi
  fail "$label" "auditwheel show granted '${tag:-nothing}', not ${ZW_POLICY}"
  return 1
}

# --- sdist ---------------------------------------------------------------
zu_log "building the sdist"
if nice "$ZW_TOOLS_PY" -m build --sdist --outdir "$dist" . </dev/null >"$work/sdist.log" 2>&1; then
  sdist=$(find "$dist" -maxdepth 1 -name '*.tar.gz' | head -n 1)
  leaked=$(tar -tzf "$sdist" | grep -E '/(fuzz/corpus|build-bench|\.venvs?|build|dist)/' || true)
  if [[ -n $leaked ]]; then
    fail "sdist" "holds the fuzz corpus or build output: $(printf '%s\n' "$leaked" | head -n 3 | paste -sd ' ' -)"
  else
    record "sdist" OK "$(basename "$sdist"), $(tar -tzf "$sdist" | wc -l) files"
  fi
else
  tail -n 30 "$work/sdist.log" >&2
  fail "sdist" "python -m build --sdist failed ($work/sdist.log)"
  sdist=""
fi

# --- x86_64 --------------------------------------------------------------
zu_discover_pythons
for arch in "${arches[@]}"; do
  [[ $arch == x86_64 ]] || continue
  for minor in 11 12 13; do
    label="cp3$minor x86_64 wheel"
    py=$(printf '%s' "${ZU_CANDIDATES[$minor]:-}" | head -n 1)
    if [[ -z $py ]]; then
      fail "$label" "no CPython 3.$minor on this machine"
      continue
    fi
    zu_log "building the cp3$minor x86_64 wheel with $py"
    if wheel=$(zw_build_wheel "$py" x86_64 "$work/cp3$minor-x86_64") &&
      accept_wheel "$label" "$wheel"; then
      tests+=("cp3$minor x86_64, NumPy 2.x|host:$py|$dist/$(basename "$wheel")|numpy>=2")
      if ((minor <= 12)); then
        tests+=("cp3$minor x86_64, NumPy 1.26|host:$py|$dist/$(basename "$wheel")|numpy==1.26.*")
      fi
    else
      [[ ${summary[-1]} == "$label"* ]] || fail "$label" "build failed"
    fi
  done
done

# --- in Debian roots: cp314 x86_64, cp311 and cp314 aarch64 ---------------
# "ARCH SUITE DEBARCH VERSION NUMPY" for each wheel built inside a root; the
# NumPy requirement is what Debian's own build in that root satisfies, so
# the suite runs on it rather than on one from PyPI that the newest test
# dependencies would otherwise pull in.
root_builds=()
for arch in "${arches[@]}"; do
  case $arch in
    x86_64) root_builds+=("x86_64 testing amd64 3.14 numpy>=2") ;;
    aarch64) root_builds+=("aarch64 bookworm arm64 3.11 numpy==1.24.*" "aarch64 testing arm64 3.14 numpy>=2") ;;
    *) fail "$arch wheels" "no recipe for this architecture" ;;
  esac
done
for entry in "${root_builds[@]}"; do
  read -r arch suite debarch version numpy_req <<<"$entry"
  tag="cp${version/./}"
  label="$tag $arch wheel"
  rc=0
  zw_debian_root "$suite" "$debarch" "$version" || rc=$?
  if ((rc != 0)); then
    fail "$label" "no Debian $suite $debarch root with CPython $version could be laid or entered (status $rc)"
    continue
  fi
  zw_root_build_env || {
    fail "$label" "no build environment inside ${ZW_DROOT##*/}"
    continue
  }
  zu_log "building the $tag $arch wheel inside ${ZW_DROOT##*/}"
  ZW_RUN=(zw_in_root "$ZW_DROOT")
  if wheel=$(zw_build_wheel "$ZW_DROOT_BUILD_PY" "$arch" "$work/$tag-$arch" \
    "$(zw_multiarch_flags "$arch-linux-gnu" "$version" /usr/include)") &&
    accept_wheel "$label" "$wheel"; then
    tests+=("$tag $arch, Debian's NumPy|root:$suite:$debarch:$version|$dist/$(basename "$wheel")|$numpy_req")
  else
    [[ ${summary[-1]} == "$label"* ]] || fail "$label" "build failed"
  fi
  ZW_RUN=()
done

# --- metadata and contents checks -----------------------------------------
if "$ZW_TOOLS_PY" -m twine check --strict "$dist"/* </dev/null; then
  record "twine check" OK "$(find "$dist" -maxdepth 1 -type f | wc -l) files"
else
  fail "twine check" "see above"
fi
# Each wheel's top-level names are exactly these: the module built for the
# wheel's interpreter and architecture, its stubs and the tools package
# (none of them is installed by another distribution).
cwc_failed=0
for wheel in "$dist"/*.whl; do
  name=$(basename "$wheel")
  py_tag=$(printf '%s' "$name" | cut -d- -f3)
  wheel_arch=$(printf '%s' "$name" | sed -n 's/.*_\(x86_64\|aarch64\)\.whl$/\1/p')
  module="zu_data_reader.cpython-${py_tag#cp}-$wheel_arch-linux-gnu.so"
  "$(dirname "$ZW_TOOLS_PY")/check-wheel-contents" --toplevel "$module,zu_data_reader-stubs,zudata" \
    "$wheel" </dev/null || cwc_failed=1
done
if ((cwc_failed == 0)); then
  record "check-wheel-contents" OK "top level: zu_data_reader.<ext>, zu_data_reader-stubs, zudata"
else
  fail "check-wheel-contents" "see above"
fi

# --- test runs ------------------------------------------------------------
if [[ $run_tests == 1 ]]; then
  if [[ -n $sdist ]]; then
    # The sdist alone, in a fresh environment, with the system's compiler.
    py=$(zw_host_python)
    label="sdist -> wheel, $(basename "$py")"
    rm -rf "$work/sdist-env" "$work/sdist-wheel"
    if "$py" -m venv "$work/sdist-env" </dev/null &&
      (cd "$work" && nice "$work/sdist-env/bin/python" -m pip wheel -q --no-deps -w "$work/sdist-wheel" "$sdist" </dev/null); then
      sdist_wheel=$(find "$work/sdist-wheel" -name '*.whl' | head -n 1)
      if zw_test_wheel "$py" "$sdist_wheel" "numpy>=2" "$ZU_ROOT/.venvs/wheel-test" "${pytest_args[@]}"; then
        record "$label" PASS "suite against the wheel built from the sdist"
      else
        fail "$label" "suite failed against the wheel built from the sdist"
      fi
    else
      fail "$label" "the sdist did not build into a wheel"
    fi
  fi
  for entry in "${tests[@]}"; do
    IFS='|' read -r label where wheel numpy_req <<<"$entry"
    rc=0
    case $where in
      host:*)
        zw_test_wheel "${where#host:}" "$wheel" "$numpy_req" "$ZU_ROOT/.venvs/wheel-test" "${pytest_args[@]}" || rc=$?
        ;;
      root:*)
        IFS=: read -r _ suite debarch version <<<"$where"
        zw_debian_root "$suite" "$debarch" "$version" && zw_test_wheel_in_root "$wheel" "$numpy_req" "${pytest_args[@]}" || rc=$?
        ;;
    esac
    if ((rc == 0)); then
      record "$label" PASS "whole suite, no compiler on PATH"
    else
      fail "$label" "pytest or install failed (status $rc)"
    fi
  done
fi

printf '\n==== wheels ====\n'
find "$dist" -maxdepth 1 -type f -printf '%f\n' | sort
printf '\n==== summary ====\n'
printf '%s\n' "${summary[@]}"
exit "$failed"
