#!/usr/bin/env bash
# Cross-builds the C++ core, with the native test driver (tests/native), for
# the desktops besides Linux, and the driver for Linux itself, so that the
# builds can be compared (tests/test_native_port.py runs the Windows driver
# under Wine). The compiler is zig's clang (`python -m ziglang c++`, from the
# ziglang package of the test extra); warnings are errors, as on Linux.
#
#   scripts/cross.sh [TARGET...]     default: all targets
#
# Targets and what each builds, under build/cross/TARGET/:
#   linux            driver (the host's c++ and zlib)
#   windows          driver.exe for x86_64-windows-gnu, zlib from Debian's
#                    libz-mingw-w64-dev (installed with apt-get when missing)
#   macos-x86_64     driver and the extension modules zu_data_reader.so and
#   macos-arm64      _reader.so for x86_64-macos / aarch64-macos, for the
#                    oldest macOS the wheels promise (MACOSX_DEPLOYMENT_TARGET
#                    in pyproject.toml's cibuildwheel section); each built
#                    file is then checked to name that version, and each
#                    module to export its PyInit_ function alone
#                    (scripts/macho_check.py)
#
# macOS has zlib in the system (/usr/lib/libz.1.dylib) but zig ships no
# link stub for it, so one is written here, as the macOS SDK's libz.tbd has
# it, and zlib's own portable headers are taken from the host. The module is
# compiled against the host's Python and NumPy headers (their configuration
# headers are the host's; NumPy's is made neutral, see below) and linked, as macOS extension modules are, without
# libpython: -undefined dynamic_lookup.
#
# Environment:
#   ZU_CROSS_PY     Python whose headers and NumPy the macOS module is
#                   compiled against (default: .venv/bin/python)
#   ZU_CROSS_ZIG_PY Python whose ziglang compiles (default: the wheel tools'
#                   environment in the user cache, made by scripts/_wheels.sh;
#                   ZU_CROSS_PY when that cannot be made)
#   ZU_CROSS_CACHE  zig's cache and the zlib stubs, kept between runs
#                   (default: ~/.cache/zu_data_reader/cross); the first run
#                   builds zig's C++ runtime per target, a few minutes each
#   ZU_NO_INSTALL=1 zlib for Windows is not installed when missing; the
#                   windows target then fails, naming the package
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ZU_ROOT"

py=${ZU_CROSS_PY:-$ZU_ROOT/.venv/bin/python}
cache=${ZU_CROSS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zu_data_reader/cross}
export ZIG_GLOBAL_CACHE_DIR="$cache/zig" ZIG_LOCAL_CACHE_DIR="$cache/zig-local"
mkdir -p "$cache" "$ZIG_GLOBAL_CACHE_DIR"

# The oldest macOS the wheels support, as the cibuildwheel section sets it.
macos_min=$(sed -n 's/.*MACOSX_DEPLOYMENT_TARGET *= *"\([0-9.]*\)".*/\1/p' pyproject.toml | head -n 1)
[[ -n $macos_min ]] || zu_die "no MACOSX_DEPLOYMENT_TARGET in pyproject.toml"

targets=("$@")
((${#targets[@]})) || targets=(linux windows macos-x86_64 macos-arm64)

jobs=$(nproc 2>/dev/null || echo 2)

# zig keys its cached builds of each target's C and C++ runtime on where its
# own library lies, so a zig inside each fresh checkout's environment builds
# them all again, minutes per target. The wheel tools' environment stays in
# one place in the user cache, so its zig finds them built.
stable_zig_python() {
  # shellcheck source=scripts/_wheels.sh
  source "$ZU_ROOT/scripts/_wheels.sh"
  zw_tools >&2 && printf '%s\n' "$ZW_TOOLS_PY"
}
zig_py=${ZU_CROSS_ZIG_PY:-$(stable_zig_python | tail -n 1)} || true
[[ -n $zig_py ]] || zig_py=$py

zig_cxx() {
  "$zig_py" -c 'import ziglang' 2>/dev/null ||
    zu_die "ziglang is not installed in $zig_py (pip install ziglang, or the test extra)"
  printf '%s -m ziglang c++ -target %s' "$zig_py" "$1"
}

# zlib.h and zconf.h alone, so that no other host header reaches a foreign
# target.
zlib_headers() {
  local dir=$cache/zlib-include
  [[ -e /usr/include/zlib.h ]] || zu_die "/usr/include/zlib.h missing (zlib1g-dev)"
  mkdir -p "$dir"
  cp -p /usr/include/zlib.h /usr/include/zconf.h "$dir"/
  printf '%s\n' "$dir"
}

macos_zlib_stub() {
  local stub=$cache/macos-libz/libz.tbd
  mkdir -p "${stub%/*}"
  cat >"$stub" <<'TBD'
--- !tapi-tbd
tbd-version:     4
targets:         [ x86_64-macos, arm64-macos ]
install-name:    '/usr/lib/libz.1.dylib'
current-version: 1.2.12
compatibility-version: 1
exports:
  - targets:     [ x86_64-macos, arm64-macos ]
    symbols:     [ _adler32, _compress, _compress2, _compressBound, _crc32, _crc32_combine,
                   _crc32_z, _deflate, _deflateBound, _deflateEnd, _deflateInit2_,
                   _deflateInit_, _deflateReset, _get_crc_table, _inflate, _inflateEnd,
                   _inflateInit2_, _inflateInit_, _inflateReset, _inflateReset2,
                   _uncompress, _zError, _zlibCompileFlags, _zlibVersion ]
...
TBD
  printf '%s\n' "${stub%/*}"
}

# NumPy's headers with its build configuration made neutral: the host's
# says Linux has <endian.h>, which macOS lacks (NumPy then takes the byte
# order from the target CPU, as a macOS build of NumPy does).
macos_numpy_headers() {
  local src dir=$cache/macos-numpy
  src=$("$py" -c 'import numpy; print(numpy.get_include())')
  # Made once per NumPy, so that the module's objects stay up to date.
  if [[ $(cat "$dir/source" 2>/dev/null) != "$src" || "$src/numpy/_numpyconfig.h" -nt "$dir/source" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -pR "$src/numpy" "$dir/"
    sed -i '/NPY_HAVE_ENDIAN_H/d; /NPY_HAVE_SYS_ENDIAN_H/d' "$dir/numpy/_numpyconfig.h"
    printf '%s\n' "$src" >"$dir/source"
  fi
  printf '%s\n' "$dir"
}

windows_zlib() {
  local root=/usr/x86_64-w64-mingw32
  if [[ ! -e $root/lib/libz.a ]]; then
    zu_apt_install "zlib for Windows" libz-mingw-w64-dev >/dev/null ||
      zu_die "the Windows build needs zlib for Windows (libz-mingw-w64-dev)"
  fi
  local dir=$cache/windows-zlib
  mkdir -p "$dir/include"
  cp -p "$root/include/zlib.h" "$root/include/zconf.h" "$dir/include/"
  cp -p "$root/lib/libz.a" "$dir/"
  printf '%s\n' "$dir"
}

build() {
  local target=$1
  shift
  zu_log "cross: building $target"
  nice make --no-print-directory -s -j"$jobs" -f scripts/cross.mk OUT="build/cross/$target" "$@"
}

for target in "${targets[@]}"; do
  case $target in
    linux)
      build linux CXX="${CXX:-c++}" EXE=driver ZLIB_LIBS=-lz
      ;;
    windows)
      zlib=$(windows_zlib)
      build windows CXX="$(zig_cxx x86_64-windows-gnu)" EXE=driver.exe \
        ZLIB_CFLAGS="-isystem $zlib/include" ZLIB_LIBS="$zlib/libz.a -lshell32"
      ;;
    macos-x86_64 | macos-arm64)
      arch=x86_64
      [[ $target == macos-arm64 ]] && arch=aarch64
      zinc=$(zlib_headers)
      zlib=$(macos_zlib_stub)
      py_inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
      np_inc=$(macos_numpy_headers)
      # zig takes the minimum OS version in the target and writes it into
      # each file's LC_BUILD_VERSION; left out, it would be zig's newest.
      build "$target" CXX="$(zig_cxx "$arch-macos.$macos_min")" EXE=driver MODULE=zu_data_reader.so \
        READER_MODULE=_reader.so ZLIB_CFLAGS="-isystem $zinc" ZLIB_LIBS="-L$zlib -lz" \
        MODULE_CFLAGS="-isystem $py_inc -isystem $np_inc" \
        MODULE_LDFLAGS="-undefined dynamic_lookup" MODULE_EXTRA_SRCS=scripts/cross/private_new_delete.cpp
      out=build/cross/$target
      if ! "$py" scripts/macho_check.py --minos "$macos_min" "$out/driver" ||
        ! "$py" scripts/macho_check.py --minos "$macos_min" --exports _PyInit_zu_data_reader "$out/zu_data_reader.so" ||
        ! "$py" scripts/macho_check.py --minos "$macos_min" --exports _PyInit__reader "$out/_reader.so"; then
        zu_die "the $target build does not keep the macOS wheels' promises (see above)"
      fi
      ;;
    *)
      zu_die "unknown target $target (linux, windows, macos-x86_64, macos-arm64)"
      ;;
  esac
done
zu_log "cross: built ${targets[*]} under build/cross/"
