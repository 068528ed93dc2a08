"""The installed `zu` command, run in a subprocess on generated files."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import time
import zipfile

import numpy as np
import pytest
from conftest import child_argv, emulated, needs, run_child, write_zu_file
from zu_files import (
    GRID, ZU, bad_crc, copies, distinct, good, meet_in_pairs, npz_arrays, short_traces, single_channel, truncated,
    with_header_line, zu,
)

import zudata
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


def damage(path):
    """What zu says of the truncated sample: which damage, then the reader's text."""
    return f"truncated: the file starts like a ZIP archive but its end record is missing ({module_error(path)})"


def module_data(path, channel, segment, unit):
    return ZuDataFIle(path).get_channel_data(channel, segment, unit)


def children(pid):
    """Process ids whose parent is `pid`."""
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as listing:
            found += listing.read().split()
    return found


def shm_entries():
    """Our names in /dev/shm (other programs on the machine make theirs)."""
    return {name for name in os.listdir("/dev/shm") if name.startswith("zu")} if os.path.isdir("/dev/shm") else set()


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
            assert info["error"] == damage(info["path"])
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
    assert lines[1] == f"FAIL  {files['truncated']}  {damage(files['truncated'])}"
    crc_error = module_error(files["crc"], "height", 1, "volts")
    assert "Invalid checksum" in crc_error
    assert lines[2] == f"FAIL  {files['crc']}  channel 'height', segment 1: {crc_error}"
    assert lines[3] == "1 of 3 files OK"
    assert zu("check", files["good"]).returncode == 0


@needs("tqdm", "tools")
@pytest.mark.parametrize(
    ("command", "word"), [(["check"], "checking"), (["export", "-c", "height", "-s", "0", "-o", "OUT"], "exporting")]
)
def test_check_draws_progress_on_a_terminal(files, tmp_path, command, word):
    import fcntl
    import pty
    import struct
    import termios

    main, secondary = pty.openpty()
    if emulated() and not os.isatty(secondary):
        os.close(main)
        os.close(secondary)
        pytest.skip("this emulator answers the TCGETS2 ioctl, with which glibc 2.42 and later ask whether a "
                    "descriptor is a terminal, with ENOSYS, so no terminal is one")
    try:
        fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
        args = [str(tmp_path / "out.npz") if a == "OUT" else a for a in command]
        run = subprocess.run([ZU, *args, str(files["good"])], stdout=subprocess.PIPE, stderr=secondary,
                             stdin=subprocess.DEVNULL, timeout=60)
        os.set_blocking(main, False)
        drawn = os.read(main, 65536).decode()
    finally:
        os.close(main)
        os.close(secondary)
    assert run.returncode == 0
    assert word in drawn and "1/1" in drawn and "traces/s" in drawn
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
            assert sorted(npz_arrays(saved)) == sorted(f"{n}/vDeflection/2" for n in expected)
            for name, values in expected.items():
                np.testing.assert_array_equal(saved[f"{name}/vDeflection/2"], values)
                texts = (saved[f"{name}/vDeflection/2.unit_type"], saved[f"{name}/vDeflection/2.units"])
                assert texts == ("force", "N")
                assert saved[f"{name}/vDeflection/2.dims"].tolist() == ["i", "j", "sample"]
    else:
        with h5py.File(out, "r") as saved:
            for path in sources:
                dataset = saved[f"{path.name}/vDeflection/2"]
                np.testing.assert_array_equal(dataset[()], expected[path.name])
                assert (dataset.attrs["unit_type"], dataset.attrs["units"]) == ("force", "N")
                assert [d.label for d in dataset.dims] == ["i", "j", "sample"]
                assert dataset.attrs["source_path"] == str(path)
                assert json.loads(dataset.attrs["header"]) == ZuDataFIle(path).header


@pytest.mark.parametrize(("compression", "method"), [([], zipfile.ZIP_STORED), (["--compression", "gzip"],
                                                                                  zipfile.ZIP_DEFLATED)])
def test_export_npz_compressed_as_savez_compressed(files, tmp_path, compression, method):
    out = tmp_path / "out.npz"
    run = zu("export", files["good"], "-c", "height", "-s", "1", "-o", out, *compression)
    assert run.returncode == 0, run.stderr
    with zipfile.ZipFile(out) as archive:
        assert {info.compress_type for info in archive.infolist()} == {method}
    with np.load(out) as saved:
        np.testing.assert_array_equal(saved["good.zu/height/1"], module_data(files["good"], "height", 1, "volts"))


def test_export_keeps_the_files_that_read(files, tmp_path):
    out = tmp_path / "out.npz"
    sources = [files["truncated"], files["good"], files["crc"]]
    run = zu("export", *sources, "-c", "height", "-s", "1", "-u", "distance", "-o", out, "--jobs", "2")
    assert run.returncode == 1
    assert run.stdout == f"wrote {out}: 1 array, 2 failed\n"
    # Which damage it is, then the reader's own text.
    assert f"zu: {files['truncated']}: {damage(files['truncated'])}" in run.stderr
    assert f"zu: {files['crc']}: {module_error(files['crc'], 'height', 1, 'distance')}" in run.stderr
    with np.load(out) as saved:
        assert npz_arrays(saved) == ["good.zu/height/1"]
        np.testing.assert_array_equal(saved["good.zu/height/1"], module_data(files["good"], "height", 1, "distance"))


@pytest.mark.parametrize("as_url", [False, True], ids=["path", "file-url"])
def test_export_reports_a_selection_a_file_cannot_answer_once(files, tmp_path, as_url):
    # The check before reading finds what the one-channel file lacks; its
    # read then leaves those selections out instead of failing them again.
    bare = single_channel(tmp_path / "bare.zu", [np.arange(100, dtype=">f4").tobytes()] * 4, grid=2)
    sources = [files["good"], bare]
    names = [p.as_uri() if as_url else str(p) for p in sources]
    out = tmp_path / "out.npz"
    run = zu("export", *names, "-c", "height", "-c", "vDeflection", "-s", "1", "-o", out)
    assert run.returncode == 1
    assert run.stdout == f"wrote {out}: 2 arrays, 2 failed\n"
    assert len(run.stderr.splitlines()) == 2, run.stderr


def test_export_says_a_cause_many_files_share_once(files, tmp_path):
    sources = copies(files["truncated"], tmp_path, 5)
    for name in ("other.zu", "another.zu"):
        line = "lcd-info.0.conversion-set.conversion.force.base-calibration-slot=volts"
        with_header_line(files["good"], tmp_path / name, line)
    extra = [tmp_path / "other.zu", tmp_path / "another.zu"]
    out = tmp_path / "out.npz"
    # Only the two files with the made-up conversion have "force" for height.
    run = zu("export", *sources, files["good"], *extra, "-c", "height", "-s", "0", "-u", "force", "-o", out)
    assert run.returncode == 1
    names = ", ".join(str(p) for p in sources[:3])
    assert run.stderr.splitlines() == [
        f"zu: 5 files: {damage(sources[0])}: {names} and 2 more",
        f"zu: {files['good']}: channel 'height' has no unit type 'force'",
        f"zu: 2 files: {module_error(extra[0], 'height', 0, 'force')}: {extra[0]}, {extra[1]}",
        f"zu: no array could be read; {out} not written",
    ]
    assert run.stdout == ""


@needs("h5py", "tools")
@pytest.mark.parametrize(
    ("channel", "segment", "unit", "names", "named"),
    [
        # The message names what was asked for and what the files have; a
        # request no file can answer is a usage error.
        ("nosuch", "0", "volts", ["good", "crc"], ["nosuch", "height", "vDeflection", "measuredHeight"]),
        ("nosuch", "all", "volts", ["good"], ["nosuch", "height", "vDeflection", "measuredHeight"]),
        ("height", "0", "furlongs", ["good", "truncated"], ["furlongs", "distance", "nominal", "volts"]),
        ("height", "7", "volts", ["good"], [r"\b7\b", r"\b0\D{1,3}1\D{1,3}2\b"]),
        ("height", "0", "volts", ["truncated"], None),
    ],
)
def test_export_with_nothing_readable_writes_nothing(files, tmp_path, channel, segment, unit, names, named):
    out = tmp_path / "out.h5"
    out.write_bytes(b"an older export")
    run = zu("export", *(files[n] for n in names), "-c", channel, "-s", segment, "-u", unit, "-o", out)
    assert (run.returncode, run.stdout) == (1 if named is None else 2, "")
    assert len(run.stderr.splitlines()) == 2 if named is None else 1, run.stderr
    assert "Traceback" not in run.stderr
    for pattern in named or [re.escape(module_error(files["truncated"]))]:
        assert re.search(pattern, run.stderr), (pattern, run.stderr)
    assert out.read_bytes() == b"an older export"
    assert no_leftovers(tmp_path)


@pytest.mark.parametrize(
    "args",
    [
        ["-o", "x.npy", "FILE", "FILE2"],
        ["-o", "x.txt", "FILE"],
        ["-o", "x.npz", "FILE", "-s", "256"],
        ["-o", "x.npz", "FILE", "--jobs", "-1"],
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
    shm_before = shm_entries()
    try:
        deadline = time.monotonic() + 60
        # Wait until the export is under way: its temporary file exists.
        while not any(out_dir.iterdir()) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.1)
        assert process.poll() is None, "the export finished before it could be interrupted"
        # Reads run on threads: the command starts no process of its own.
        assert children(process.pid) == []
        process.send_signal(sig)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == status, stderr
    assert stdout == ""
    assert "Traceback" not in stderr
    assert list(out_dir.iterdir()) == []
    assert shm_entries() - shm_before == set()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_interrupted_check_reports_no_file_as_failed(tmp_path, jobs):
    # Files big enough that the signal most likely finds a check half done.
    sources = copies(good(tmp_path / "big.zu", grid=40), tmp_path, 300)
    process = subprocess.Popen([ZU, "check", *map(str, sources), "--jobs", jobs], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Long enough for the command to be at work, its handlers set; an
        # emulator starts the interpreter ten to twenty times slower.
        time.sleep(15.0 if emulated() else 1.0)
        assert process.poll() is None, "the check finished before it could be interrupted"
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert (process.returncode, stderr) == (130, "zu: interrupted\n")
    assert "FAIL" not in stdout


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
    # The physical unit, where the header gives one, follows the unit type.
    assert run.stdout.startswith(f"wrote {out}: {GRID} x {GRID} map of {stat} in distance (m), ")
    image = imread(out)
    assert image.shape[:2] == pixels
    # Not blank: a colour map has many distinct colours.
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 50
    assert no_leftovers(tmp_path)


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--trace", "4,0"], 2, "outside the 4 x 4 grid"),
        (["--stat", "median"], 2, "unknown statistic"),
        (["--stat", "sample=100"], 2, "unknown statistic"),
        (["-c", "nosuch"], 1, "'nosuch'"),
        (["-c", "nosuch"], 1, "measuredHeight"),
        (["-u", "furlongs"], 1, "nominal"),
    ],
)
def test_plot_refuses(files, tmp_path, args, status, message):
    out = tmp_path / "map.png"
    base = {"-c": "height"}
    if "-c" in args:
        base = {}
    unit = [] if "-u" in args else ["-u", "distance"]
    run = zu("plot", files["good"], *[a for k, v in base.items() for a in (k, v)], "-s", "0", *unit,
             *args, "-o", out)
    assert run.returncode == status
    assert message in run.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("as_json", "said"),
    [
        (["--json"], {"0": [100, 100], "1": [20, 37], "2": [37, 37]}),
        ([], "samples      0:100 1:20-37 2:37  (segment:samples per trace, shortest-longest)"),
    ],
)
def test_info_gives_the_samples_per_trace(tmp_path, as_json, said):
    run = zu("info", short_traces(tmp_path / "short.zu"), *as_json)
    assert (run.returncode, run.stderr) == (0, "")
    if as_json:
        assert json.loads(run.stdout)[0]["channels"][0]["samples"] == said
    else:
        assert said in run.stdout.splitlines()[-1]


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("segment", "stat", "status", "said"),
    [
        ("1", "sample=50", 2, "segment 1 of height has traces of 20 to 37 samples; sample=50 does not exist"),
        ("1", "sample=37", 2, "segment 1 of height has traces of 20 to 37 samples; sample=37 does not exist"),
        ("2", "sample=37", 2, "segment 2 of height has traces of 37 samples; sample=37 does not exist"),
        ("2", "sample=36", 0, ""),
        ("1", "sample=30", 0, ""),  # the 20-sample trace is one blank cell
        ("0", "sample=99", 0, ""),
    ],
)
def test_plot_of_a_sample_past_the_longest_trace_fails(tmp_path, segment, stat, status, said):
    path = short_traces(tmp_path / "short.zu")
    out = tmp_path / "map.png"
    run = zu("plot", path, "-c", "height", "-s", segment, "--stat", stat, "-o", out)
    assert run.returncode == status, run.stderr
    assert said in run.stderr
    assert out.exists() == (status == 0)


def test_the_module_itself_prints(files):
    # Without these lines on descriptor 1 the JSON and stdout checks above
    # would prove nothing.
    script = "import sys, zu_data_reader as z; z.ZuDataFIle(sys.argv[1]).get_channel_data('height', 0, 'distance')"
    run = run_child(script, files["good"], timeout=60)
    assert run.returncode == 0 and run.stdout.count("\n") == 2


# --- behaviours of the command line as the README promises them -----------


def h5_names(path):
    import h5py

    names = []
    with h5py.File(path, "r") as saved:
        saved.visititems(lambda name, item: names.append(name) if isinstance(item, h5py.Dataset) else None)
    return names


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("args", "status", "out", "err"),
    [
        (["--version"], 0, f"zu {zudata.__version__}\n", None),
        (["export", "GOOD", "-c", "height", "-s", "x", "-o", "x.npz"], 2, "", "whole number from 0 to 255"),
        (["export", "GOOD", "-c", "height", "-s", "all", "-o", "x.npy"], 2, "", ".npy holds one array"),
        (["export", "GOOD", "-c", "height", "-c", "vDeflection", "-s", "0", "-o", "x.npy"], 2, "", "one channel"),
        (["export", "GOOD", "-c", "height", "-s", "0", "-o", "x.npz", "--stack"], 2, "", "HDF5"),
        (["export", "GOOD", "-c", "height", "-s", "0", "-o", "x.npz", "--compression", "lzf"], 2, "", "HDF5"),
        (["export", "GOOD", "-c", "height", "-s", "0", "-o", "x.npy", "--compression", "gzip"], 2, "", ".npz"),
        (["export", "GOOD", "-c", "height", "-s", "0", "-u", "a", "-u", "b", "-o", "x.npz"], 2, "", "once per -c"),
        (["export", "GOOD", "-c", "height", "-s", "0", "-o", "x.csv"], 2, "", ".npz"),
        (["plot", "GOOD", "-c", "height", "-s", "0", "-o", "x.xyz"], 2, "", ".png"),
        (["plot", "GOOD", "-c", "height", "-s", "0", "-o", "x"], 2, "", ".pdf"),
    ],
)
def test_version_and_usage_errors(files, tmp_path, args, status, out, err):
    args = [str(files["good"]) if a == "GOOD" else str(tmp_path / a) if a.startswith("x") else a for a in args]
    run = zu(*args)
    assert run.returncode == status, run.stderr
    assert run.stdout == out
    if err is not None:
        assert err in run.stderr
        assert "_segment" not in run.stderr and "Traceback" not in run.stderr
    assert list(tmp_path.iterdir()) == []


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("suffix", "magic"), [(".png", b"\x89PNG"), (".pdf", b"%PDF"), (".jpg", b"\xff\xd8\xff"), (".svg", b"<?xml")]
)
def test_plot_format_follows_the_suffix(files, tmp_path, suffix, magic):
    out = tmp_path / f"map{suffix}"
    run = zu("plot", files["good"], "-c", "vDeflection", "-s", "0", "-u", "force", "-o", out)
    assert run.returncode == 0, run.stderr
    assert out.read_bytes().startswith(magic)
    assert no_leftovers(tmp_path)


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("trace", "warning"),
    [
        (b"", "every trace gives NaN"),  # no samples: all padding
        (np.full(100, 2.5, ">f4").tobytes(), "same value, 2.5"),
    ],
)
def test_plot_of_a_blank_or_constant_map_warns(tmp_path, trace, warning):
    from zudata import _plot

    path = single_channel(tmp_path / "flat.zu", [trace] * 9, grid=3)
    out = tmp_path / "map.png"
    run = zu("plot", path, "-c", "height", "-s", "0", "-o", out)
    assert run.returncode == 0, run.stderr
    assert warning in run.stderr
    # Without -u, the channel's base unit type.
    assert run.stdout.startswith(f"wrote {out}: 3 x 3 map of max in volts, ")
    assert out.exists()
    values = zudata.open(path).read("height", 0)
    figure, said = _plot.map_figure(values, stat="max", unit="volts", title="t", traces=[], size=(400, 300))
    figure.canvas.draw()
    low, high = figure.axes[0].images[0].get_clim()
    assert warning in said
    assert np.isfinite(low) and np.isfinite(high) and low < high
    ticks = list(figure.axes[-1].get_yticks())  # the colour bar
    finite = values[np.isfinite(values)]
    if finite.size:
        # One colour, one tick: the value itself, in the middle of the bar.
        assert ticks == [2.5] and low + high == 2 * 2.5
    else:
        assert ticks == []


@needs("matplotlib", "tools")
@pytest.mark.parametrize(
    ("stat", "expected"),
    [
        ("max", [[99, 138], [0, np.nan]]),
        ("min", [[0, 0], [0, np.nan]]),
        ("mean", [[49.5, 69], [0, np.nan]]),
        ("ptp", [[99, 138], [0, np.nan]]),
        ("sample=69", [[69, 138], [np.nan, np.nan]]),
        ("sample=70", [[70, np.nan], [np.nan, np.nan]]),
    ],
)
def test_plot_statistics_leave_out_the_nan_padding(stat, expected):
    import matplotlib.colors
    from zudata import _plot

    # Trace (i, j) holds its first `length` samples k * scale, then NaN.
    lengths = np.array([[100, 70], [1, 0]])
    scales = np.array([[1.0, 2.0], [3.0, 4.0]])
    values = np.full((2, 2, 100), np.nan)
    for (i, j), length in np.ndenumerate(lengths):
        values[i, j, :length] = scales[i, j] * np.arange(length)
    figure, _ = _plot.map_figure(values, stat=stat, unit="V", title="t", traces=[], size=(400, 300))
    image = figure.axes[0].images[0]
    np.testing.assert_array_equal(np.ma.filled(image.get_array().astype(float), np.nan), expected)
    # NaN cells are grey, apart from every colour of the scale.
    assert matplotlib.colors.to_hex(image.cmap.get_bad()) == matplotlib.colors.to_hex("lightgrey")


@needs("matplotlib", "tools")
def test_plot_puts_row_i_down_and_column_j_across():
    from zudata import _plot

    n = 5
    values = np.zeros((n, n, 100))
    values += (10 * np.arange(n)[:, None] + np.arange(n)[None, :])[..., None]
    values[..., 7] += 100  # the max per trace is 100 + 10 i + j
    traces = [(1, 3), (4, 0)]
    figure, warning = _plot.map_figure(values, stat="max", unit="V", title="t", traces=traces, size=(800, 400))
    assert warning is None
    image = figure.axes[0].images[0]
    np.testing.assert_array_equal(image.get_array(), 100 + 10 * np.arange(n)[:, None] + np.arange(n)[None, :])
    assert image.origin == "upper"
    markers = [(line.get_xdata()[0], line.get_ydata()[0]) for line in figure.axes[0].lines]
    assert markers == [(j, i) for i, j in traces]  # x is the column j, y the row i
    for line, (i, j) in zip(figure.axes[1].lines, traces, strict=True):
        np.testing.assert_array_equal(line.get_ydata(), values[i, j])


@needs("h5py", "tools")
@pytest.mark.parametrize("suffix", [".npz", ".h5"])
def test_a_file_named_twice_is_read_once(files, tmp_path, monkeypatch, suffix):
    monkeypatch.chdir(files["good"].parent)
    os.symlink(files["good"], tmp_path / "link.zu")
    out = tmp_path / f"out{suffix}"
    run = zu("export", "good.zu", "./good.zu", files["good"], tmp_path / "link.zu", "-c", "height", "-s", "0",
             "-o", out)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout == f"wrote {out}: 1 array\n"
    if suffix == ".npz":
        with np.load(out) as saved:
            assert npz_arrays(saved) == ["good.zu/height/0"]
    else:
        assert h5_names(out) == ["good.zu/height/0"]
    for command in (["info"], ["check"], ["header", "--key", "force-segments.count"]):
        run = zu(*command, "good.zu", "./good.zu")
        assert run.returncode == 0
        assert run.stdout.count("good.zu") == 1


@pytest.mark.parametrize("jobs", ["1", "2", "3"])
def test_export_keeps_the_order_of_the_files(tmp_path, jobs):
    sources = distinct(tmp_path, 7)
    order = [sources[i] for i in (3, 0, 6, 1, 5, 2, 4)]  # neither alphabetical nor by size
    out = tmp_path / "out.npz"
    run = zu("export", *order, "-c", "vDeflection", "-s", "1", "-u", "force", "-o", out, "--jobs", jobs)
    assert run.returncode == 0, run.stderr
    with np.load(out) as saved:
        assert npz_arrays(saved) == [f"{p.name}/vDeflection/1" for p in order]
        for path in order:
            np.testing.assert_array_equal(saved[f"{path.name}/vDeflection/1"],
                                          module_data(path, "vDeflection", 1, "force"))


@pytest.mark.parametrize(
    ("selection", "parts"),
    [
        # Channels in the order given, each with its segments: ascending
        # for "all", else as given.
        (["-c", "vDeflection", "-c", "height", "-s", "all"],
         [("vDeflection", 0), ("vDeflection", 1), ("vDeflection", 2), ("height", 0), ("height", 1), ("height", 2)]),
        (["-c", "height", "-c", "vDeflection", "-s", "2", "-s", "0"],
         [("height", 2), ("height", 0), ("vDeflection", 2), ("vDeflection", 0)]),
    ],
)
def test_export_order_of_channels_and_segments(tmp_path, selection, parts):
    sources = distinct(tmp_path, 2)[::-1]
    out = tmp_path / "out.npz"
    run = zu("export", *sources, *selection, "-u", "volts", "-o", out, "--jobs", "2")
    assert run.returncode == 0, run.stderr
    with np.load(out) as saved:
        assert npz_arrays(saved) == [f"{p.name}/{c}/{s}" for p in sources for c, s in parts]
        for path in sources:
            for channel, segment in parts:
                np.testing.assert_array_equal(saved[f"{path.name}/{channel}/{segment}"],
                                              module_data(path, channel, segment, "volts"))


@needs("h5py", "tools")
@pytest.mark.parametrize("suffix", [".npz", ".h5"])
def test_export_names_files_below_their_common_folder_when_names_repeat(files, tmp_path, suffix):
    for folder in ("x", "y/z"):
        (tmp_path / folder).mkdir(parents=True)
    sources = [bad_crc(tmp_path / "y/z/s.zu"), good(tmp_path / "x/s.zu")]
    out = tmp_path / f"out{suffix}"
    run = zu("export", *sources, "-c", "height", "-s", "0", "-u", "volts", "-o", out)
    assert run.returncode == 0, run.stderr
    names = ["y/z/s.zu/height/0", "x/s.zu/height/0"]
    if suffix == ".npz":
        with np.load(out) as saved:
            assert npz_arrays(saved) == names
            for name, path in zip(names, sources, strict=True):
                np.testing.assert_array_equal(saved[name], module_data(path, "height", 0, "volts"))
    else:
        assert h5_names(out) == sorted(names)


@pytest.fixture
def zu_here(capsys):
    """Runs the command in this process (so that a test can watch its
    threads): zu_here(*args) -> (status, stdout)."""
    from zudata import cli

    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}

    def run(*args):
        capsys.readouterr()
        status = cli.main([str(a) for a in args])
        return status, capsys.readouterr().out

    yield run
    for sig, handler in handlers.items():
        signal.signal(sig, handler)


@pytest.mark.parametrize(
    ("command", "method", "status"),
    [
        (["info"], "layout", 0),
        (["check"], "read", 1),
        (["export", "-c", "height", "-s", "0", "-o", "OUT"], "read", 0),
    ],
)
@pytest.mark.parametrize("jobs", ["2", "0"])
def test_jobs_work_on_files_at_once(files, tmp_path, monkeypatch, zu_here, command, method, status, jobs):
    if jobs == "0" and len(os.sched_getaffinity(0)) < 2:
        pytest.skip("--jobs 0 is one job on a single core")
    met = meet_in_pairs(monkeypatch, method)
    args = [tmp_path / "out.npz" if a == "OUT" else a for a in command]
    assert zu_here(*args, files["good"], files["crc"], "--jobs", jobs)[0] == status
    assert met, f"--jobs {jobs} never worked on two files at once"


def test_a_command_run_in_process_forgets_its_stop_and_gives_ctrl_c_back(files, monkeypatch, zu_here):
    """A notebook runs the command, interrupts it, and runs it again: the
    second run is not stopped by the first's Ctrl-C, and afterwards Ctrl-C
    is the notebook's again."""
    from zudata import cli

    ours = signal.getsignal(signal.SIGINT)
    describe = cli._describe

    def interrupted(*args):
        os.kill(os.getpid(), signal.SIGINT)
        return describe(*args)

    monkeypatch.setattr(cli, "_describe", interrupted)
    assert zu_here("info", files["good"], "--jobs", "1")[0] == 128 + signal.SIGINT
    monkeypatch.setattr(cli, "_describe", describe)
    status, out = zu_here("info", files["good"], "--jobs", "1")
    assert (status, "height" in out) == (0, True)
    assert signal.getsignal(signal.SIGINT) is ours


@needs("h5py", "tools")
@pytest.mark.parametrize(
    ("selection", "expected"),
    [
        (["-c", "height", "-c", "vDeflection", "-u", "distance", "-u", "force", "-s", "2", "-s", "0"],
         [("height", 2, "distance"), ("height", 0, "distance"), ("vDeflection", 2, "force"),
          ("vDeflection", 0, "force")]),
        (["-c", "measuredHeight", "-s", "all", "--dtype", "float32", "--compression", "lzf"],
         [("measuredHeight", 0, "volts"), ("measuredHeight", 1, "volts"), ("measuredHeight", 2, "volts")]),
        (["-c", "height", "-c", "measuredHeight", "-s", "1", "-u", "nominal"],
         [("height", 1, "nominal"), ("measuredHeight", 1, "nominal")]),
    ],
)
def test_export_of_several_channels_and_segments(files, tmp_path, selection, expected):
    import h5py

    sources = [files["good"], files["crc"]]
    out = tmp_path / "out.h5"
    run = zu("export", *sources, *selection, "-o", out, "--jobs", "2")
    failures: list[str] = []
    # The crc file's height members of segment 1 are damaged.
    damaged = [(s, c, g) for s in sources for c, g, _ in expected if s == files["crc"] and (c, g) == ("height", 1)]
    written = len(sources) * len(expected) - len(damaged)
    assert run.returncode == (1 if failures or damaged else 0), run.stderr
    failed = len(failures) + len(damaged)
    assert run.stdout == f"wrote {out}: {written} array{'s' * (written != 1)}{f', {failed} failed' * bool(failed)}\n"
    assert len(run.stderr.splitlines()) == failed
    dtype = np.float32 if "float32" in selection else np.float64
    compression = "lzf" if "lzf" in selection else None
    with h5py.File(out, "r") as saved:
        names = [f"{s.name}/{c}/{g}" for s in sources for c, g, _ in expected if (s, c, g) not in damaged]
        assert h5_names(out) == sorted(names)
        for source in sources:
            for channel, segment, unit in expected:
                if (source, channel, segment) in damaged:
                    continue
                dataset = saved[f"{source.name}/{channel}/{segment}"]
                assert dataset.dtype == dtype
                assert dataset.compression == compression
                assert dataset.attrs["unit_type"] == unit
                np.testing.assert_array_equal(dataset[()], module_data(source, channel, segment, unit).astype(dtype))


@needs("h5py", "tools")
@pytest.mark.parametrize(("compression", "dtype"), [(None, "float64"), ("gzip", "float32")])
def test_export_stacks_every_file_into_one_dataset(tmp_path, compression, dtype):
    import h5py

    sources = distinct(tmp_path, 5)
    # A smaller grid first (the stack grows) and one later (it is padded).
    small = [good(tmp_path / f"small{k}.zu", grid=2) for k in range(2)]
    order = [small[0], sources[2], sources[0], small[1], sources[4], sources[1], sources[3]]
    out = tmp_path / "stack.h5"
    extra = ["--compression", compression] if compression else []
    run = zu("export", *order, "-c", "height", "-c", "vDeflection", "-s", "0", "-u", "distance", "-o", out,
             "--stack", "--jobs", "2", "--dtype", dtype, *extra)
    # The 2 x 2 file is padded with NaN to the others' grid, as an outer join, and said so.
    assert run.returncode == 0, run.stderr
    assert run.stderr.splitlines() == [
        f"zu: {c}/0: 2 files with a smaller grid, padded with NaN: small0.zu, small1.zu"
        for c in ("height", "vDeflection")]
    assert run.stdout == f"wrote {out}: 14 arrays\n"
    with h5py.File(out, "r") as saved:
        for channel in ("height", "vDeflection"):
            data = saved[f"{channel}/0"]
            assert data.shape == (7, GRID, GRID, 100)
            assert data.dtype == np.dtype(dtype)
            assert data.compression == compression
            assert (data.attrs["unit_type"], data.attrs["units"]) == ("distance", "m")
            assert [d.label for d in data.dims] == ["file", "i", "j", "sample"]
            scale = data.dims[0][0]
            assert h5py.check_string_dtype(scale.dtype).encoding == "utf-8"
            assert list(scale.asstr()[()]) == [p.name for p in order]
            for row, path in enumerate(order):
                expected = module_data(path, channel, 0, "distance").astype(dtype)
                n = expected.shape[0]
                np.testing.assert_array_equal(data[row, :n, :n], expected)
                assert np.isnan(data[row, n:]).all() and np.isnan(data[row, :, n:]).all()


@pytest.mark.parametrize(
    ("key", "said"),
    [
        # Misspelt keys and groups: the nearest keys and groups as deep.
        ("force-segments.cuont", "no key force-segments.cuont; nearest: force-segments.count"),
        ("lcd-infos", "no key lcd-infos; nearest: lcd-info"),
        ("xyzzy.plugh", "no key xyzzy.plugh\n"),
    ],
)
def test_header_names_the_keys_nearest_a_missing_one(files, key, said):
    run = zu("header", files["good"], "--key", key)
    assert run.returncode == 1
    assert f"zu: {files['good']}: {said}" in run.stderr


def test_header_of_many_files_as_a_table_or_json(files, tmp_path):
    other = with_header_line(files["good"], tmp_path / "other.zu", "operator.name=tab\there C:\\new")
    keys = ["force-segments.count", "operator.name"]
    run = zu("header", files["good"], other, files["truncated"], *(a for k in keys for a in ("--key", k)))
    assert run.returncode == 1
    assert run.stdout.splitlines() == [
        "file\tforce-segments.count\toperator.name",
        f"{files['good']}\t3\t",
        f"{other}\t3\ttab\\there C:\\\\new",
    ]
    assert f"{files['good']}: no key operator.name\n" in run.stderr  # nothing in the header is like it
    assert module_error(files["truncated"]) in run.stderr
    # A missing key alone makes the status 1; all keys found, 0.
    assert zu("header", other, files["good"], "--key", "operator.name").returncode == 1
    assert zu("header", other, files["good"], "--key", "force-segments.count").returncode == 0
    run = zu("header", files["good"], other, *(a for k in keys for a in ("--key", k)), "--json")
    assert run.returncode == 1
    assert json.loads(run.stdout) == [
        {"path": str(files["good"]), "values": {"force-segments.count": "3", "operator.name": None}},
        {"path": str(other), "values": {"force-segments.count": "3", "operator.name": "tab\there C:\\new"}},
    ]
    run = zu("header", files["good"], other)
    assert run.returncode == 0
    assert f"{other}:operator.name=tab\there C:\\new" in run.stdout.splitlines()
    assert run.stdout.count(f"{files['good']}:force-segments.count=3\n") == 1


@needs("h5py", "tools")
def test_a_header_nested_1500_levels(files, tmp_path):
    import h5py

    key = ".".join(["deep"] * 1500)
    path = with_header_line(files["good"], tmp_path / "deep.zu", f"{key}=bottom")
    run = zu("header", path)
    assert (run.returncode, run.stderr) == (0, "")
    assert f"{key}=bottom" in run.stdout.splitlines()
    run = zu("header", path, "--json")
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.count('"deep": {') == 1499 and '"deep": "bottom"' in run.stdout
    run = zu("header", path, "--key", key)
    assert run.stdout.splitlines()[1] == f"{path}\tbottom"
    assert zu("info", path, "--json").returncode == 0
    out = tmp_path / "deep.h5"
    assert zu("export", path, "-c", "height", "-s", "0", "-o", out).returncode == 0
    with h5py.File(out, "r") as saved:
        text = saved["deep.zu/height/0"].attrs["header"]
    assert text.count('"deep": {') == 1499 and text.count('"deep": "bottom"') == 1


@needs("h5py", "tools")
def test_a_header_deeper_than_the_json_module_can_write(files, tmp_path):
    # Deeper than the json module's own limit; exported as compact JSON
    # (indented, its text would grow with the square of the depth).
    import h5py

    key = ".".join(["deep"] * 12000)
    path = with_header_line(files["good"], tmp_path / "deeper.zu", f"{key}=bottom")
    out = tmp_path / "deeper.h5"
    run = zu("export", path, "-c", "height", "-s", "0", "-o", out)
    assert (run.returncode, run.stderr) == (0, "")
    with h5py.File(out, "r") as saved:
        text = saved["deeper.zu/height/0"].attrs["header"]
    assert text.count('"deep": {') == 11999 and text.count('"deep": "bottom"') == 1


def test_info_and_check_agree_on_a_channel_without_conversions(tmp_path):
    path = single_channel(tmp_path / "bare.zu", [np.arange(100, dtype=">f4").tobytes()] * 4, grid=2)
    info = zu("info", path)
    assert (info.returncode, info.stderr) == (0, "")
    assert "unit types   volts (base); no conversions" in info.stdout
    assert "grid      2 x 2" in info.stdout
    assert zu("check", path).returncode == 0


@pytest.mark.parametrize(
    ("line", "result"),
    [
        ("operator.name=someone", "OK    {path}  (1 channels, 1 segments, 4 traces)"),
        # Numbered groups win over the count: segment 1, which has no members.
        ("force-segments.1.name=retract", "FAIL  {path}  channel 'height', segment 1: "),
    ],
)
def test_check_reads_the_segments_the_header_lists(tmp_path, line, result):
    bare = single_channel(tmp_path / "bare.zu", [np.arange(100, dtype=">f4").tobytes()] * 4, grid=2)
    path = with_header_line(bare, tmp_path / "listed.zu", line)
    run = zu("check", path)
    assert run.returncode == (0 if result.startswith("OK") else 1)
    assert run.stdout.startswith(result.format(path=path))
    if result.startswith("FAIL"):
        assert re.search(r"segments? 0\b", run.stdout.split("segment 1: ", 1)[1]), run.stdout


def test_header_key_naming_a_group_is_no_value(files):
    run = zu("header", files["good"], "--key", "force-segments", "--key", "force-segments.count")
    assert run.returncode == 1
    assert run.stdout.splitlines() == ["file\tforce-segments\tforce-segments.count", f"{files['good']}\t\t3"]
    assert "force-segments is a group of keys" in run.stderr


def test_check_quiet_prints_only_failures(files):
    run = zu("check", "--quiet", "--jobs", "2", files["good"], files["truncated"], files["crc"])
    assert run.returncode == 1
    lines = run.stdout.splitlines()
    assert [line.split()[:2] for line in lines[:-1]] == [["FAIL", str(files["truncated"])], ["FAIL", str(files["crc"])]]
    assert lines[-1] == "1 of 3 files OK"
    assert zu("check", "-q", files["good"]).stdout == "1 of 1 files OK\n"


def test_directories_give_their_zu_files_in_name_order(files, tmp_path):
    for name in ("b.zu", "a.ZU", "sub/c.zu", "sub/deeper/d.zu"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(files["good"], tmp_path / name)
    (tmp_path / "notes.txt").write_text("not a recording")
    (tmp_path / "empty").mkdir()
    for recursive, found in [([], ["a.ZU", "b.zu"]), (["-r"], ["a.ZU", "b.zu", "sub/c.zu", "sub/deeper/d.zu"])]:
        run = zu("check", *recursive, tmp_path, files["good"], "--jobs", "0")
        assert (run.returncode, run.stderr) == (0, "")
        assert [line.split()[1] for line in run.stdout.splitlines()[:-1]] == [
            *(str(tmp_path / name) for name in found), str(files["good"])]
    run = zu("info", tmp_path / "empty")
    assert (run.returncode, run.stdout) == (1, "")
    assert "a directory without Zu files" in run.stderr and "no Zu file to work on" in run.stderr


@pytest.mark.parametrize("as_json", [[], ["--json"]])
def test_info_on_threads_says_the_same_in_the_same_order(files, tmp_path, as_json):
    sources = [files["truncated"], *distinct(tmp_path, 4), files["crc"], good(tmp_path / "small.zu", grid=2)]
    one = zu("info", *sources, *as_json, "--jobs", "1")
    three = zu("info", *sources, *as_json, "--jobs", "3")
    assert one.returncode == three.returncode == 1
    assert one.stdout == three.stdout
    assert one.stdout.index("small.zu") > one.stdout.index("crc.zu") > one.stdout.index("truncated.zu")


def test_a_closed_pipe_ends_the_command_quietly(files, tmp_path):
    sources = copies(files["good"], tmp_path, 300)
    process = subprocess.Popen([ZU, "header", *map(str, sources)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = process.stdout.readline()
    process.stdout.close()
    stderr = process.stderr.read()
    process.wait(timeout=60)
    assert first.startswith(str(sources[0]).encode())
    # As `yes | head` ends: killed by SIGPIPE, nothing said.
    assert (process.returncode, stderr) == (-signal.SIGPIPE, b"")


@pytest.mark.parametrize("command", [["info"], ["header", "--json"], ["check"]])
@pytest.mark.parametrize(("stdout", "reason"), [("full", "No space left on device"), ("closed", "Bad file descriptor")])
def test_a_full_or_closed_standard_output_is_an_error_not_a_traceback(files, command, stdout, reason):
    with open("/dev/full", "w") as full:
        # Closed: descriptor 1 closed in the child, as the shell's `>&-` does.
        target = {"stdout": full} if stdout == "full" else {"preexec_fn": lambda: os.close(1)}
        run = subprocess.run([ZU, *command, str(files["good"])], stderr=subprocess.PIPE, text=True,
                             stdin=subprocess.DEVNULL, timeout=60, **target)
    assert run.returncode == 1
    assert run.stderr == f"zu: cannot write standard output: {reason}\n"


# Runs the command given after its memory limit (MiB of address space, a net
# against a runaway) and prints its exit status, peak resident memory (KiB),
# bytes written to standard output and seconds taken. Measured from a small
# interpreter in between: a process started straight from the test would
# inherit the test's peak with its address space.
MEASURED_RUN = """
    import os, resource, subprocess, sys, time
    limit = int(sys.argv[1]) << 20
    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    start = time.monotonic()
    process = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, preexec_fn=limited)
    written = sum(len(chunk) for chunk in iter(lambda: process.stdout.read(1 << 16), b""))
    _, status, usage = os.wait4(process.pid, 0)
    print(os.waitstatus_to_exitcode(status), usage.ru_maxrss, written, time.monotonic() - start)
"""


@pytest.mark.no_sanitizer
@pytest.mark.skipif(emulated(), reason="qemu-user's own memory counts in the peak, and it ignores RLIMIT_AS")
@pytest.mark.parametrize("as_json", [[], ["--json"]])
def test_a_header_40000_levels_deep_costs_memory_and_text_linear_in_its_depth(tmp_path, as_json):
    # One key a.a.(...).a.b=1: a file of a few hundred bytes.
    measured = {}
    for depth in (10_000, 40_000):
        path = write_zu_file(tmp_path / f"deep{depth}.zu", "a." * depth + "b=1\n")
        run = run_child(MEASURED_RUN, 1024, ZU, "header", path, *as_json, timeout=120)
        status, peak_kb, written, seconds = run.stdout.split()
        assert status == "0", run.stderr
        measured[depth] = (int(peak_kb) / 1024, int(written), float(seconds))
    peak_mb, written, seconds = measured[40_000]
    assert peak_mb < 100, f"peak RSS {peak_mb:.0f} MB"
    # Four times as deep, about four times the text (indenting every level
    # would make it sixteen).
    assert written < 4.5 * measured[10_000][1] and written < 10 * 40_000
    assert seconds < 30


@needs("h5py", "tools")
@needs("matplotlib", "tools")
def test_file_names_that_are_not_utf8(files, tmp_path):
    import h5py

    raw = os.fsencode(tmp_path) + b"/bad\xff.zu"
    with open(raw, "wb") as copy:
        copy.write(files["good"].read_bytes())
    name = os.fsdecode(raw)

    def run(*args):
        return subprocess.run([ZU, *args], capture_output=True, stdin=subprocess.DEVNULL, timeout=60)

    info = run("info", name)
    assert info.returncode == 0 and info.stdout.startswith(raw + b"\n")
    assert json.loads(run("info", "--json", name).stdout)[0]["path"] == name
    plot = run("plot", name, "-c", "height", "-s", "1", "-o", os.fsdecode(raw + b".png"))
    assert plot.returncode == 0, plot.stderr
    for suffix in (".npz", ".h5"):
        out = tmp_path / f"out{suffix}"
        exported = run("export", name, files["good"], "-c", "height", "-s", "1", "-o", out)
        assert exported.returncode == 0, exported.stderr
        names = npz_arrays(np.load(out)) if suffix == ".npz" else h5_names(out)
        assert sorted(names) == ["bad\\xff.zu/height/1", "good.zu/height/1"]
    with h5py.File(tmp_path / "out.h5", "r") as saved:
        assert saved["bad\\xff.zu/height/1"].attrs["source_path"].endswith("/bad\\xff.zu")


@needs("matplotlib", "tools")
@pytest.mark.parametrize("command", ["export", "plot"])
def test_an_output_folder_that_is_missing_is_named(files, tmp_path, command):
    out = tmp_path / "no" / ("out.npz" if command == "export" else "map.png")
    run = zu(command, files["good"], "-c", "height", "-s", "0", "-o", out)
    assert run.returncode == 1
    assert run.stderr == f"zu: cannot write {out}: No such file or directory\n"


@pytest.mark.no_sanitizer
def test_export_memory_stays_bounded_by_the_jobs(tmp_path):
    # 100 files of 4 MB (one recording, hard-linked under 100 names), each an
    # 8 MB array: the command's peak resident memory must not grow with the
    # file count. The 800 MB written is the whole output; a machine short of
    # that much disk cannot run the test, which is not the command's fault.
    grid = 100
    written = 100 * grid * grid * 100 * 8
    free = shutil.disk_usage(tmp_path).free
    if free < written + 500_000_000:
        pytest.skip(f"needs {written / 1e6:.0f} MB of free disk and a margin; {free / 1e6:.0f} MB free")
    rng = np.random.default_rng(7)
    traces = list(rng.normal(size=(grid * grid, 100)).astype(">f4"))
    original = single_channel(tmp_path / "big.zu", [t.tobytes() for t in traces], grid=grid)
    assert original.stat().st_size > 4_000_000
    sources = list(map(str, copies(original, tmp_path, 100)))
    out = tmp_path / "out.npz"
    # Measured from a small interpreter in between: a process started
    # straight from this one would inherit its peak with the address space.
    script = """
        import os, subprocess, sys
        process = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        stdout = process.stdout.read().decode()
        _, status, usage = os.wait4(process.pid, 0)
        print(os.waitstatus_to_exitcode(status), usage.ru_maxrss, stdout, sep="\\n", end="")
    """
    run = run_child(script, ZU, "export", *sources, "-c", "height", "-s", "0", "-o", out, "--jobs", "2", timeout=600)
    try:
        status, peak_kb, stdout = run.stdout.split("\n", 2)
        assert (status, stdout) == ("0", f"wrote {out}: 100 arrays\n"), run.stderr
        assert out.stat().st_size > written
        peak_mb = int(peak_kb) / 1024
        assert peak_mb < 200, f"peak RSS {peak_mb:.0f} MB"
    finally:
        out.unlink(missing_ok=True)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
@pytest.mark.parametrize(("entry", "user_setting", "kept_from_blas"), [
    ("zu", None, True), ("zu", "2", False), ("main", None, False),
])
def test_the_command_starts_no_blas_threads(files, entry, user_setting, kept_from_blas):
    # Threads of the process once zu has read arrays (so NumPy is loaded)
    # and returned; a user's own OPENBLAS_NUM_THREADS must still count, and
    # main() called by a program must leave the program's BLAS alone.
    script = """
        import os, sys
        from importlib.metadata import entry_points
        if sys.argv[1] == "zu":  # the function the installed command runs
            entry = entry_points(group="console_scripts")["zu"].load()
        elif sys.argv[1] == "main":
            import zudata.cli
            entry = zudata.cli.main
        if sys.argv[1] != "numpy alone":
            assert entry(["check", sys.argv[2]]) == 0
        import numpy
        # The reader's own pool threads (named zu-read) are no BLAS threads.
        names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        print(sum(name != "zu-read" for name in names))
    """
    # OpenBLAS also takes its thread count from these; Dask's nanny sets
    # OMP_NUM_THREADS in this process once a cluster test has run.
    blas_settings = ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS")
    env = {k: v for k, v in os.environ.items() if k not in blas_settings}

    def threads(how, setting=None):
        child_env = env if setting is None else {**env, "OPENBLAS_NUM_THREADS": setting}
        run = subprocess.run(child_argv(script, how, files["good"]), env=child_env, capture_output=True,
                             text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        return int(run.stdout.splitlines()[-1])

    plain = threads("numpy alone", user_setting)
    if plain == 1:
        pytest.skip("this NumPy starts no BLAS threads here (one core, or no OpenBLAS)")
    assert threads(entry, user_setting) == (1 if kept_from_blas else plain)
