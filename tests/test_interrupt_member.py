"""Ctrl-C while one large member decodes: every way of reading ends within a
fraction of a second, not when the member is done (seconds later)."""

from __future__ import annotations

import os
import signal
import subprocess
import time

import pytest
from conftest import channel_lines, child_argv, run_child
from zu_files import ZU
from zudata.testfiles import Member, build, zeros_crc32, zeros_deflate

# One member of 4 GiB of zeros (the most a member without ZIP64 holds, in
# whole samples) takes over a second to inflate on a fast machine; 1 GiB
# took only 0.3 s on one, which ended the read before the signal came. The
# interrupt must act long before the member's end. The aim is 0.1 s; the
# bound leaves room for a loaded machine, and the measured delay is printed
# with the test's output.
MEMBER_SIZE = (1 << 32) - 4
LATENCY_BOUND = 0.5
# How long the read runs before the signal: well inside the member.
RUNNING = 0.3

HEADER = channel_lines("1", "N", sample_type="int32", conversions=[("P", "volts", "1", "10")])


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """Two names for one file holding one 4 GiB member (two, so that a pool
    of threads reads both at once)."""
    path = tmp_path_factory.mktemp("large") / "one.zu"
    raw, crc = zeros_deflate(MEMBER_SIZE), zeros_crc32(MEMBER_SIZE)
    members = [Member(b"shared-data/header.properties", HEADER.encode()),
               Member(b"p0/0/channels/N.dat", raw=raw, usize=MEMBER_SIZE, crc=crc)]
    path.write_bytes(build(members))
    other = path.with_name("two.zu")
    os.link(path, other)
    return path, other


def interrupt(large, setup, read):
    """Runs `read` in a child after `setup`, sends SIGINT while it reads the
    large member: (how the read ended, seconds from the signal to that end,
    seconds from the signal to the child's exit)."""
    script = f"""
        import sys, time, zudata
        one, two = sys.argv[1:3]
        {setup}
        print("ready", flush=True)
        try:
            {read}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        else:
            print("finished", time.monotonic(), flush=True)
        """
    with subprocess.Popen(child_argv(script, *large), stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout is not None
            assert child.stdout.readline() == "ready\n"
            time.sleep(RUNNING)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            # Other lines are the diagnostic values zu_data_reader writes.
            line = child.stdout.readline()
            while line and not line.startswith(("interrupted", "finished")):
                line = child.stdout.readline()
            word, when = line.split()
            # A pool's threads are waited for before the child can exit.
            child.wait(timeout=30)
            gone = time.monotonic()
        finally:
            child.kill()
    return word, float(when) - sent, gone - sent


# (set-up, read): each read takes the large member on the main thread, or on
# a pool's threads while the main thread waits for them. The set-up (opening,
# importing) is done before the signal is timed.
READS = {
    "read": ("f = zudata.open(one)", "f.read('N', 0)"),
    "read_many": ("", "zudata.read_many([one], 'N', 0, None)"),
    "read_many_jobs": ("", "zudata.read_many([one, two], 'N', 0, None, jobs=2)"),
    "xarray": ("import xarray as xr; ds = xr.open_dataset(one, engine='zu')", "ds['N'].values"),
}


@pytest.mark.parametrize("how", list(READS))
def test_ctrl_c_ends_a_read_inside_one_member(large, how):
    if how == "xarray":
        pytest.importorskip("xarray")
    word, latency, exited = interrupt(large, *READS[how])
    print(f"{how}: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT, exit after {exited * 1000:.0f} ms")
    assert word == "interrupted", f"the read ran to its end {latency:.2f} s after the signal"
    assert latency < LATENCY_BOUND
    assert exited < LATENCY_BOUND + 0.5


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_ends_an_export_inside_one_member(large, tmp_path, jobs):
    """The command's handler only records the signal; the read in flight
    (on the main thread, or on the pool's) ends all the same."""
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    args = [ZU, "export", *map(str, large), "-c", "N", "-s", "0", "-o", str(out_dir / "all.npz"), "--jobs", jobs]
    with subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as process:
        try:
            deadline = time.monotonic() + 60
            # Under way once its temporary output exists; then inside the member.
            while not any(out_dir.iterdir()) and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(RUNNING)
            assert process.poll() is None, "the export ended before it could be interrupted"
            sent = time.monotonic()
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=60)
            exited = time.monotonic() - sent
        finally:
            process.kill()
    print(f"zu export --jobs {jobs}: exit {exited * 1000:.0f} ms after SIGINT")
    assert (process.returncode, stdout, stderr) == (130, "", "zu: interrupted\n")
    assert list(out_dir.iterdir()) == []
    assert exited < LATENCY_BOUND + 0.5


def test_ctrl_c_waits_for_the_module_call(large):
    """zu_data_reader's call holds the interpreter lock and is never cut
    short: the KeyboardInterrupt comes once it has run to its end."""
    setup = "import zu_data_reader; f = zu_data_reader.ZuDataFIle(one)"
    call = """
            try:
                f.get_channel_data('N', 0, 'P')
            except OSError:  # more than 100 samples in a trace
                pass"""
    # The call's whole time on this machine, left alone, in a child of its own.
    timed = run_child(f"""
        import sys, time
        one = sys.argv[1]
        {setup}
        started = time.monotonic()
        try:
            {call.strip()}
        finally:
            print(time.monotonic() - started)
    """, large[0])
    assert timed.returncode == 0, timed.stderr
    whole = float(timed.stdout.split()[-1])
    assert whole > RUNNING + 0.5, f"the member inflates in {whole:.2f} s, too fast to send a signal inside it"
    # The signal's handler runs once the call has returned, before the sleep.
    word, latency, _ = interrupt(large, setup, call.strip() + "\n            time.sleep(1)")
    assert word == "interrupted"
    # Cut short, the call would end right after the signal; run to its end,
    # it ends about (whole - RUNNING) after it.
    assert latency > 0.5 * (whole - RUNNING), f"the call was cut short: {latency:.2f} s of {whole:.2f} s"
