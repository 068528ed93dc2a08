"""The installed `zu` command, run in a subprocess on generated files."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time

import numpy as np
import pytest
from conftest import needs, run_child
from zu_files import GRID, ZU, bad_crc, copies, good, truncated, zu

from zu_data_reader import ZuDataFIle


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("zu")
    return {
        "good": good(d / "good.zu"),
        "truncated": truncated(d / "truncated.zu"),
        "crc": bad_crc(d / "crc.zu"),
    }


def module_error(path, *call):
    try:
        data_file = ZuDataFIle(path)
        if call:
            data_file.get_channel_data(*call)
    except OSError as exc:
        return str(exc)
    return None


def module_data(path, channel, segment, unit):
    return ZuDataFIle(path).get_channel_data(channel, segment, unit)


def no_leftovers(directory):
    return [p.name for p in directory.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize(
    ("names", "status"), [(["good"], 0), (["good", "crc"], 0), (["good", "truncated"], 1)]
)
def test_info_json_matches_the_module(files, names, status):
    run = zu("info", "--json", *(files[n] for n in names))
    assert run.returncode == status, run.stderr
    infos = json.loads(run.stdout)  # diagnostic lines would break this
    assert [i["path"] for i in infos] == [str(files[n]) for n in names]
    for info in infos:
        if "error" in info:
            assert info["error"] == module_error(info["path"])
            continue
        data_file = ZuDataFIle(info["path"])
        assert info["grid"] == GRID
        assert info["segments"] == info["listed_segments"] == [0, 1, 2]
        assert sorted(c["name"] for c in info["channels"]) == sorted(data_file.get_channels())
        for c in info["channels"]:
            assert c["units"] == sorted(data_file.get_channel_units(c["name"]))
            entry = next(e for e in data_file.header["lcd-info"].values() if e["channel"]["name"] == c["name"])
            assert c["sample_type"] == entry["type"]
            assert c["traces"] == {str(s): GRID * GRID for s in range(3)}


def test_info_text_names_every_file_and_error(files):
    run = zu("info", files["good"], files["truncated"])
    assert run.returncode == 1
    assert f"grid      {GRID} x {GRID}" in run.stdout
    assert "sample type  float-data" in run.stdout
    assert module_error(files["truncated"]) in run.stdout


@pytest.mark.parametrize("as_json", [True, False])
def test_header(files, as_json):
    header = ZuDataFIle(files["good"]).header
    run = zu("header", files["good"], *(["--json"] if as_json else []))
    assert run.returncode == 0, run.stderr
    if as_json:
        assert json.loads(run.stdout) == header
    else:
        lines = run.stdout.splitlines()
        assert lines == sorted(lines)
        assert "force-segments.count=3" in lines
        rebuilt = {}
        for line in lines:
            key, value = line.split("=", 1)
            *groups, leaf = key.split(".")
            node = rebuilt
            for g in groups:
                node = node.setdefault(g, {})
            node[leaf] = value
        assert rebuilt == header


def test_header_of_a_broken_file(files):
    run = zu("header", files["truncated"])
    assert (run.returncode, run.stdout) == (1, "")
    assert module_error(files["truncated"]) in run.stderr


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_check_reports_each_file(files, jobs):
    order = ["good", "truncated", "crc"]
    run = zu("check", "--jobs", jobs, *(files[n] for n in order))
    assert run.returncode == 1
    assert run.stderr == ""  # no progress bar when standard error is not a terminal
    lines = run.stdout.splitlines()
    assert lines[0] == f"OK    {files['good']}  (3 channels, 3 segments, {9 * GRID * GRID} traces)"
    assert lines[1] == f"FAIL  {files['truncated']}  {module_error(files['truncated'])}"
    crc_error = module_error(files["crc"], "height", 1, "volts")
    assert "Invalid checksum" in crc_error
    assert lines[2] == f"FAIL  {files['crc']}  channel 'height', segment 1: {crc_error}"
    assert lines[3] == "1 of 3 files OK"
    assert zu("check", files["good"]).returncode == 0


@needs("tqdm", "tools")
def test_check_draws_progress_on_a_terminal(files):
    import fcntl
    import pty
    import struct
    import termios

    main, secondary = pty.openpty()
    try:
        fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
        run = subprocess.run([ZU, "check", str(files["good"])], stdout=subprocess.PIPE, stderr=secondary,
                             stdin=subprocess.DEVNULL, timeout=60)
        os.set_blocking(main, False)
        drawn = os.read(main, 65536).decode()
    finally:
        os.close(main)
        os.close(secondary)
    assert run.returncode == 0
    assert "checking" in drawn and "1/1" in drawn and "traces/s" in drawn
    assert b"\r" not in run.stdout


@needs("h5py", "tools")
@pytest.mark.parametrize(
    ("suffix", "jobs"), [(".npz", "1"), (".npz", "2"), (".h5", "1"), (".h5", "2"), (".npy", "1")]
)
def test_export_round_trip(files, tmp_path, suffix, jobs):
    import h5py

    sources = [files["good"]] if suffix == ".npy" else [files["good"], files["crc"]]
    out = tmp_path / f"out{suffix}"
    run = zu("export", *sources, "-c", "vDeflection", "-s", "2", "-u", "force", "-o", out, "--jobs", jobs)
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"wrote {out}: {len(sources)} array{'s' if len(sources) > 1 else ''}\n"
    assert no_leftovers(tmp_path)
    expected = {p.name: module_data(p, "vDeflection", 2, "force") for p in sources}
    if suffix == ".npy":
        np.testing.assert_array_equal(np.load(out), expected["good.zu"])
    elif suffix == ".npz":
        with np.load(out) as saved:
            assert sorted(saved.files) == sorted(f"{n}/vDeflection/2" for n in expected)
            for name, values in expected.items():
                np.testing.assert_array_equal(saved[f"{name}/vDeflection/2"], values)
    else:
        with h5py.File(out, "r") as saved:
            for path in sources:
                dataset = saved[f"{path.name}/vDeflection/2"]
                np.testing.assert_array_equal(dataset[()], expected[path.name])
                assert dataset.attrs["unit_type"] == "force"
                assert dataset.attrs["source_path"] == str(path)
                assert json.loads(dataset.attrs["header"]) == ZuDataFIle(path).header


def test_export_keeps_the_files_that_read(files, tmp_path):
    out = tmp_path / "out.npz"
    sources = [files["truncated"], files["good"], files["crc"]]
    run = zu("export", *sources, "-c", "height", "-s", "1", "-u", "distance", "-o", out, "--jobs", "2")
    assert run.returncode == 1
    assert run.stdout == f"wrote {out}: 1 array, 2 failed\n"
    assert f"zu: {files['truncated']}: {module_error(files['truncated'])}" in run.stderr
    assert f"zu: {files['crc']}: {module_error(files['crc'], 'height', 1, 'distance')}" in run.stderr
    with np.load(out) as saved:
        assert saved.files == ["good.zu/height/1"]
        np.testing.assert_array_equal(saved["good.zu/height/1"], module_data(files["good"], "height", 1, "distance"))


@needs("h5py", "tools")
@pytest.mark.parametrize(
    ("channel", "unit", "names", "message"),
    [
        ("nosuch", "volts", ["good"], "No such such Channel:  nosuch"),
        ("height", "furlongs", ["good"], "Expected header to have key furlongs but it did not."),
        ("height", "volts", ["truncated"], None),
    ],
)
def test_export_with_nothing_readable_writes_nothing(files, tmp_path, channel, unit, names, message):
    out = tmp_path / "out.h5"
    out.write_bytes(b"an older export")
    run = zu("export", *(files[n] for n in names), "-c", channel, "-s", "0", "-u", unit, "-o", out)
    assert (run.returncode, run.stdout) == (1, "")
    assert (message or module_error(files["truncated"])) in run.stderr
    assert out.read_bytes() == b"an older export"
    assert no_leftovers(tmp_path)


@pytest.mark.parametrize(
    "args",
    [
        ["-o", "x.npy", "FILE", "FILE2"],
        ["-o", "x.txt", "FILE"],
        ["-o", "x.npz", "FILE", "-s", "256"],
        ["-o", "x.npz", "FILE", "--jobs", "0"],
        ["-o", "x.npz", "FILE", "--jobs", "2", "--dask", "tcp://127.0.0.1:1"],
    ],
)
def test_export_usage_errors(files, tmp_path, args):
    named = {"FILE": str(files["good"]), "FILE2": str(files["crc"])}
    args = [named.get(a) or (str(tmp_path / a) if a.startswith("x.") else a) for a in args]
    if "-s" not in args:
        args += ["-s", "0"]
    run = zu("export", "-c", "height", "-u", "volts", *args)
    assert run.returncode == 2
    assert list(tmp_path.iterdir()) == []


@needs("h5py", "tools")
@pytest.mark.parametrize(("sig", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_interrupted_export_leaves_nothing(files, tmp_path, sig, status, jobs):
    sources = copies(files["good"], tmp_path, 400)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    out = out_dir / "all.h5"
    process = subprocess.Popen(
        [ZU, "export", *map(str, sources), "-c", "height", "-s", "0", "-u", "distance", "-o", str(out), "--jobs", jobs],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + 60
        # Wait until the export is under way: its temporary file exists.
        while not any(out_dir.iterdir()) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.1)
        assert process.poll() is None, "the export finished before it could be interrupted"
        process.send_signal(sig)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == status, stderr
    assert stdout == ""
    assert "Traceback" not in stderr
    assert list(out_dir.iterdir()) == []


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("stat", "traces", "size", "pixels"),
    [
        ("max", [], [], (600, 800)),
        ("ptp", ["0,0", "3,2"], [], (600, 1400)),
        ("sample=50", ["1,1"], ["--size", "500x300"], (300, 500)),
    ],
)
def test_plot_writes_a_map(files, tmp_path, stat, traces, size, pixels):
    from matplotlib.image import imread

    out = tmp_path / "map.png"
    trace_args = [a for t in traces for a in ("--trace", t)]
    run = zu("plot", files["good"], "-c", "height", "-s", "0", "-u", "distance", "--stat", stat,
             *trace_args, *size, "-o", out)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"wrote {out}: {GRID} x {GRID} map of {stat} in distance")
    image = imread(out)
    assert image.shape[:2] == pixels
    # Not blank: a colour map has many distinct colours.
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 50
    assert no_leftovers(tmp_path)


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--trace", "4,0"], 2, "outside the 4 x 4 grid"),
        (["--stat", "median"], 2, "unknown statistic"),
        (["--stat", "sample=100"], 2, "unknown statistic"),
        (["-c", "nosuch"], 1, "No such such Channel:  nosuch"),
    ],
)
def test_plot_refuses(files, tmp_path, args, status, message):
    out = tmp_path / "map.png"
    base = {"-c": "height"}
    if "-c" in args:
        base = {}
    run = zu("plot", files["good"], *[a for k, v in base.items() for a in (k, v)], "-s", "0", "-u", "distance",
             *args, "-o", out)
    assert run.returncode == status
    assert message in run.stderr
    assert list(tmp_path.iterdir()) == []


def test_the_module_itself_prints(files):
    # Without these lines on descriptor 1 the JSON and stdout checks above
    # would prove nothing.
    script = "import sys, zu_data_reader as z; z.ZuDataFIle(sys.argv[1]).get_channel_data('height', 0, 'distance')"
    run = run_child(script, files["good"], timeout=60)
    assert run.returncode == 0 and run.stdout.count("\n") == 2
