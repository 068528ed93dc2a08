"""Faults that end or stall the whole process, or refuse sound archives:
diagnostic lines against unwritable or full pipes, special files, memory
exhaustion, offsets beyond what a positioned read accepts, and zip64 end
records beside an ordinary end record. Anything that could kill or hang the
interpreter runs in a child process with a timeout."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import channel_lines, floats_be

HEADER = channel_lines("1", "A", encoder=("0", "2"), base="B",
                       conversions=[("P", "B", "1", "10")])
MEMBERS = [("s/0/channels/A.dat", floats_be(3.0, 4.0))]


def run_child(script, *args, timeout=60):
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                              capture_output=True, text=True, timeout=timeout, env=os.environ)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process did not finish within {timeout} s")


# ---- diagnostic lines -------------------------------------------------------

SIGPIPE_CHILD = """
import os, signal, sys, threading, zu_data_reader
f = zu_data_reader.ZuDataFIle(sys.argv[1])
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
r, w = os.pipe()
os.dup2(w, 1)
os.close(w)
os.close(r)
{setup}
mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
for unit in ("P", "B", "P"):
    sys.stderr.write(f"{{f.get_channel_data('A', 0, unit)[0, 0, 1]}} ")
assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask, "signal mask changed"
sys.stderr.write(f"{{signal.SIGPIPE in signal.sigpending()}}")
"""


@pytest.mark.parametrize("setup, pending_after", [
    ("", False),
    ("signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGPIPE])", False),
    ("signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGPIPE]); "
     "signal.pthread_kill(threading.get_ident(), signal.SIGPIPE)", True),
], ids=["default-action", "blocked", "blocked-and-pending"])
def test_broken_pipe_with_default_sigpipe_drops_the_line(zu_file, setup, pending_after):
    # Command-line programs often restore SIGPIPE's default action; a write
    # to a pipe without a reader must then neither kill the process nor leave
    # a SIGPIPE of its own pending, nor take one that was there before.
    path = zu_file(HEADER, MEMBERS)
    child = run_child(SIGPIPE_CHILD.format(setup=setup), path)
    assert (child.returncode, child.stderr) == (0, f"81.0 8.0 81.0 {pending_after}")
