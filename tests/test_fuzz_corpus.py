"""The committed fuzz corpora (fuzz/corpus/) replayed through their targets'
own checks in every test run, with and without libdeflate: zlib's verdict
and bytes for every DEFLATE stream, no output of a fast decoder that zlib
had to correct in any data file, the decimal parser against from_chars.
scripts/sanitize.sh replays them under the sanitizers instead."""

import subprocess
from pathlib import Path

import pytest

# The programs would run with the sanitizer runtime preloaded but not built for it.
pytestmark = pytest.mark.no_sanitizer
CORPUS = Path(__file__).resolve().parents[1] / "fuzz" / "corpus"


@pytest.mark.parametrize("target", ["data_file", "header", "deflate"])
def test_fuzz_corpus_replays_cleanly(native, target):
    inputs = sorted(str(p) for p in (CORPUS / target).iterdir())
    assert inputs
    done = subprocess.run([str(native / f"fuzz_{target}_replay"), *inputs], capture_output=True, text=True,
                          timeout=120)
    # A target's failed check ends the process with a trap (SIGILL).
    assert done.returncode == 0, done.stderr[-2000:]
    assert f"replayed {len(inputs)} of {len(inputs)} inputs" in done.stderr
