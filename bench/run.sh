#!/usr/bin/env bash
# Builds the release modules and the C++ floor into build-bench/pyXY/, then runs
# bench/bench_channel_data.py with them (arguments are passed on),
# bench/bench_open.py (which builds its own floor), bench/bench_open_api.py
# (zudata.open against ZuDataFIle), bench/bench_one_read.py (the directory
# index and windowed reads) and, when xarray is installed,
# bench/bench_xarray.py (the xarray backend) on the same build; the pure-Python package
# comes from python/ in this tree, with the native zudata._reader put beside it.
#
#   bash bench/run.sh [--rounds 7] [--calls 5] [--skip-big]
#
# Uses the project's .venv interpreter when there is one (scripts/test.sh
# makes it), else python3; it needs NumPy.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
py="$root/.venv/bin/python"
[[ -x $py ]] || py="$(command -v python3)"
# One build directory per interpreter: CMake keeps the Python it found.
build="$root/build-bench/$("$py" -c 'import sys; print("py%d%d" % sys.version_info[:2])')"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
ninja -C "$build" zu_data_reader zudata_reader >/dev/null
# zudata as installed: this tree's Python files and the native part built above.
pkg="$build/pkg"
rm -rf "$pkg"
mkdir -p "$pkg"
cp -r "$root/python/zudata" "$pkg/"
cp "$build"/_reader.*.so "$pkg/zudata/"
deflate=/usr/lib/x86_64-linux-gnu/libdeflate.a
[[ -e $deflate ]] || deflate=-ldeflate
g++ -std=c++20 -O2 -o "$build/floor_channel" bench/floor_channel.cpp "$deflate"

PYTHONPATH="$build:$pkg" "$py" -P bench/bench_channel_data.py --floor "$build/floor_channel" "$@"
echo
PYTHONPATH="$build:$pkg" "$py" -P bench/bench_open.py
echo
PYTHONPATH="$build:$pkg" "$py" -P bench/bench_open_api.py
echo
PYTHONPATH="$build:$pkg" "$py" -P bench/bench_one_read.py --floor "$build/floor_channel"
echo
if "$py" -c 'import xarray' 2>/dev/null; then
  PYTHONPATH="$build:$pkg" "$py" -P bench/bench_xarray.py
else
  echo "bench_xarray.py skipped: $py has no xarray (the xarray extra; scripts/test.sh installs it)"
fi
