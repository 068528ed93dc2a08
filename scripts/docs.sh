#!/usr/bin/env bash
# Builds the documentation site (docs/) into build/docs/html with the
# installed package, warnings as errors and every reference resolved (-W -n),
# then checks it in a real browser (scripts/docs_browser.py: Debian's
# chromium, headless, driven by Playwright), keeping screenshots in
# build/docs/screenshots/.
#
#   ZU_DOCS_PY=.venv/bin/python scripts/docs.sh     the environment to use
#                                                   (default .venv/bin/python)
#   ZU_NO_BROWSER=1 scripts/docs.sh                 build only
#
# The docs extra of pyproject.toml is installed into that environment first
# (its packages only: the project itself is already installed there). The
# build is incremental: sphinx-gallery reruns only the examples that changed.
# Exits 1 when the build or the browser check fails, 3 when the browser check
# could not run (no chromium).
set -euo pipefail

# shellcheck source=scripts/_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ZU_ROOT"

py=${ZU_DOCS_PY:-$ZU_ROOT/.venv/bin/python}
[[ -x $py ]] || zu_die "no Python environment at $py: run scripts/test.sh first"

mapfile -t requirements < <("$py" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))')
zu_log "installing the docs extra: ${requirements[*]}"
"$py" -m pip install -q "${requirements[@]}" </dev/null

out=$ZU_ROOT/build/docs
zu_log "building the documentation into ${out#"$ZU_ROOT"/}/html"
# MPLBACKEND: the gallery's figures are drawn off-screen.
MPLBACKEND=Agg "$py" -P -m sphinx -W -n --keep-going -q -b html -d "$out/doctrees" docs "$out/html" </dev/null

[[ ${ZU_NO_BROWSER:-0} == 1 ]] && exit 0
zu_ensure_browser || exit 3
zu_log "checking the site in chromium"
"$py" -P scripts/docs_browser.py "$out/html" "$out/screenshots" </dev/null
