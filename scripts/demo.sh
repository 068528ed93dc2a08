#!/usr/bin/env bash
# The project's demo command: builds and installs the package into
# .venv-demo/ (newest CPython on this machine) with only what running it
# needs (NumPy, matplotlib, h5py, xarray; no compiler toolchain, linters or
# test tools), writes a sample Zu data file and shows zudata, xarray and the
# zu command reading it, then the original ZuDataFIle class.
#
#   scripts/demo.sh [path/to/sample.zu]   keep the sample at that path
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ZU_ROOT"

zu_ensure_build_tools
zu_discover_pythons

ready=0
for minor in "${ZU_MINORS[@]}"; do
  rc=0
  ZU_EXTRAS=tools,xarray zu_prepare_env "$minor" "$ZU_ROOT/.venv-demo" || rc=$?
  case $rc in
    0) ready=1; break ;;
    2) zu_warn "no Python 3.$minor interpreter could create a virtual environment; trying an older one" ;;
    *) zu_die "building or installing zu_data_reader for Python $ZU_ENV_VERSION failed" ;;
  esac
done
((ready)) || zu_die "none of the Python interpreters found could create a virtual environment"

exec "$ZU_ROOT/.venv-demo/bin/python" examples/demo.py "$@"
