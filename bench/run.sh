#!/usr/bin/env bash
# Builds the release module and the C++ floor into build-bench/pyXY/, then runs
# bench/bench_channel_data.py with them (arguments are passed on) and
# bench/bench_open.py (which builds its own floor) on the same module; the
# pure-Python helpers come from python/ in this tree.
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
ninja -C "$build" zu_data_reader >/dev/null
deflate=/usr/lib/x86_64-linux-gnu/libdeflate.a
[[ -e $deflate ]] || deflate=-ldeflate
g++ -std=c++20 -O2 -o "$build/floor_channel" bench/floor_channel.cpp "$deflate"

PYTHONPATH="$build:$root/python" "$py" -P bench/bench_channel_data.py --floor "$build/floor_channel" "$@"
echo
PYTHONPATH="$build:$root/python" "$py" -P bench/bench_open.py
echo
# The xarray benchmark needs zudata.open() and xarray installed, so it runs on
# the wheel that scripts/test.sh put into .venv/, not on build-bench/.
venv_py="$root/.venv/bin/python"
if [[ -x $venv_py ]] && "$venv_py" -P -c 'import xarray, zudata; zudata.open' 2>/dev/null; then
  "$venv_py" -P bench/bench_xarray.py
else
  echo "bench_xarray.py skipped: it needs .venv/ with the xarray extra (run scripts/test.sh first)"
fi
