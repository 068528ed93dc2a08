"""zudata.read_many and zudata.to_dask, locally and on a Dask cluster."""

from __future__ import annotations

import os
import zipfile

import numpy as np
import pytest
from conftest import emulated, needs, run_child
from zu_files import (
    GRID,
    SHORT_TRACES,
    bad_crc,
    good,
    meet_in_pairs,
    npz_arrays,
    short_traces,
    truncated,
    with_header_line,
    zu,
)

import zudata
from zu_data_reader import ZuDataFIle

CALL = ("height", 1, "distance")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("zu_api")
    return {
        "a": good(d / "a.zu"),
        "b": good(d / "b.zu"),
        "truncated": truncated(d / "truncated.zu"),
        "crc": bad_crc(d / "crc.zu"),
        "small": good(d / "small.zu", grid=2),
    }


def module_result(path, call=CALL):
    try:
        return ZuDataFIle(path).get_channel_data(*call)
    except OSError as exc:
        return str(exc)


@pytest.mark.parametrize("jobs", [None, 2])
def test_read_many_reports_failures_per_file(files, capfd, jobs):
    paths = [files["a"], files["truncated"], files["b"], files["crc"]]
    results = zudata.read_many(paths, *CALL, jobs=jobs)
    # Neither this process nor the workers wrote the module's lines here.
    assert capfd.readouterr().out == ""
    assert list(results) == [files["a"], files["b"]]
    for path in results:
        np.testing.assert_array_equal(results[path], module_result(path))
    assert list(results.errors) == [files["truncated"], files["crc"]]
    assert results.errors[files["crc"]] == module_result(files["crc"])
    # Which damage it is, with the reader's own text.
    assert results.errors[files["truncated"]].endswith(f"is missing ({module_result(files['truncated'])})")
    assert "Invalid checksum" in results.errors[files["crc"]]


def test_read_many_reads_a_path_given_twice_once(files, monkeypatch):
    read = []
    real = zudata.DataFile.read

    def counted(self, *args, **kwargs):
        read.append(self.location)
        return real(self, *args, **kwargs)

    monkeypatch.setattr(zudata.DataFile, "read", counted)
    results = zudata.read_many([files["a"], files["b"], files["a"]], *CALL, jobs=2)
    assert list(results) == [files["a"], files["b"]]
    assert sorted(read) == [files["a"], files["b"]]


def _threaded_to_dask(paths):
    zudata.to_dask(paths, *CALL).max(axis=-1).compute(scheduler="threads")


@pytest.mark.parametrize(
    "work",
    [
        lambda paths: zudata.read_many(paths, *CALL, jobs=2),
        pytest.param(_threaded_to_dask, marks=needs("dask", "dask")),
    ],
    ids=["read_many", "to_dask"],
)
def test_files_are_read_at_once(files, monkeypatch, work):
    # Reads release the interpreter lock, so two at once use two cores.
    met = meet_in_pairs(monkeypatch, "read")
    work([files["a"], files["b"]])
    assert met, "the two files were never read at the same time"


def test_large_results_come_back_whole_without_processes_or_spools(tmp_path):
    # Reads run on threads of this process: nothing is spooled through
    # /dev/shm and no process is started.
    import multiprocessing

    shm = set(os.listdir("/dev/shm")) if os.path.isdir("/dev/shm") else set()
    paths = [good(tmp_path / f"big{i}.zu", grid=10) for i in range(3)]
    results = zudata.read_many(paths, *CALL, jobs=2)
    assert list(results) == paths
    for path in paths:
        np.testing.assert_array_equal(results[path], module_result(path))
        assert results[path].flags.writeable
    assert multiprocessing.active_children() == []
    if os.path.isdir("/dev/shm"):
        assert {n for n in set(os.listdir("/dev/shm")) - shm if n.startswith("zu")} == set()


@pytest.mark.parametrize("jobs", [2, 3])
def test_tasks_in_flight_stay_within_the_window(jobs):
    # Memory is bounded by the jobs, not the files: however slowly results
    # are taken, only a window of 2 x jobs tasks has started and not been
    # handed out yet.
    import threading
    import time

    from zudata._run import Outcome, run_tasks

    lock = threading.Lock()
    counts = {"started": 0, "taken": 0, "most": 0}

    def task(item):
        with lock:
            counts["started"] += 1
            counts["most"] = max(counts["most"], counts["started"] - counts["taken"])
        time.sleep(0.01)
        return Outcome(value=(item, os.getpid(), threading.get_ident()))

    items = list(range(40))
    seen = []
    for _, outcome in run_tasks(task, items, (), jobs=jobs):
        seen.append(outcome.value)
        time.sleep(0.005)
        with lock:
            counts["taken"] += 1
    assert [item for item, _, _ in seen] == items
    assert 1 < counts["most"] <= 2 * jobs
    # On threads of this process, more than one of them.
    assert {pid for _, pid, _ in seen} == {os.getpid()}
    assert 1 < len({thread for _, _, thread in seen}) <= jobs


@needs("dask", "dask")
def test_read_many_without_a_main_guard_after_dask(files):
    # Threads need no __main__ guard and do not mind other threads.
    script = """
        import sys, dask.array as da, zudata
        da.ones((4, 4), chunks=2).sum().compute()
        results = zudata.read_many(sys.argv[1:], "height", 1, "distance", jobs=2)
        print(len(results), len(results.errors))
    """
    run = run_child(script, files["a"], files["b"], files["truncated"], timeout=60)
    assert (run.returncode, run.stdout) == (0, "2 1\n"), run.stderr


@needs("dask", "dask")
def test_to_dask_needs_no_decode_for_its_shape(files, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("read before compute()")

    monkeypatch.setattr(zudata.DataFile, "read", refuse)
    lazy = zudata.to_dask([files["a"], files["b"], files["crc"]], *CALL)
    assert lazy.shape == (3, GRID, GRID, 100)
    assert lazy.dtype == np.float64
    assert lazy.chunks == ((1, 1, 1), (GRID,), (GRID,), (100,))


@needs("dask", "dask")
@pytest.mark.parametrize("scheduler", ["threads", "processes", "synchronous"])
def test_to_dask_computes_locally(files, scheduler):
    lazy = zudata.to_dask([files["a"], files["b"]], *CALL)
    values = lazy.compute(scheduler=scheduler)
    np.testing.assert_array_equal(values, np.stack([module_result(files["a"]), module_result(files["b"])]))
    # Blocks are independent: a slice only reads its own file.
    np.testing.assert_array_equal(lazy[1, 2, 3].compute(scheduler=scheduler), module_result(files["b"])[2, 3])


@needs("dask", "dask")
def test_to_dask_raises_the_file_error_on_compute(files):
    lazy = zudata.to_dask([files["a"], files["crc"]], *CALL)
    with pytest.raises(OSError, match="Invalid checksum") as raised:
        lazy.compute(scheduler="synchronous")
    assert str(files["crc"]) in str(raised.value)


@needs("dask", "dask")
@pytest.mark.parametrize(
    ("names", "call", "error", "message"),
    [
        (["a", "small"], CALL, ValueError, "a 2 x 2 grid, unlike the 4 x 4 grid"),
        (["a"], ("nosuch", 0, "volts"), ValueError, "0 members for channel 'nosuch' in segment 0"),
        (["a"], ("height", 3, "volts"), ValueError, "0 members"),
        (["truncated"], CALL, Exception, None),
        ([], CALL, ValueError, "at least one file"),
    ],
)
def test_to_dask_refuses_up_front(files, names, call, error, message):
    with pytest.raises(error, match=message):
        zudata.to_dask([files[n] for n in names], *call)


@needs("dask", "dask")
@pytest.mark.parametrize(
    "many", [lambda paths: list(zudata.read_many(paths, "height", 1).values()),
             lambda paths: list(zudata.to_dask(paths, "height", 1).compute(scheduler="synchronous"))],
    ids=["read_many", "to_dask"],
)
def test_no_unit_means_the_base_unit_as_in_read(files, many):
    # As DataFile.read: without a unit, the channel's base unit type.
    values = many([files["a"], files["b"]])
    for got, path in zip(values, [files["a"], files["b"]], strict=True):
        np.testing.assert_array_equal(got, module_result(path, ("height", 1, "volts")))


@needs("dask", "dask")
def test_to_dask_can_leave_out_the_files_that_do_not_fit(files):
    names = ["truncated", "a", "small", "crc", "b"]
    with pytest.warns(zudata.SkippedFilesWarning) as caught:
        lazy = zudata.to_dask([files[n] for n in names], *CALL, errors="warn")
    (warning,) = caught
    assert list(warning.message.skipped) == [str(files["truncated"]), str(files["small"])]
    assert "end record is missing" in warning.message.skipped[str(files["truncated"])]
    assert f"{files['small']}: a 2 x 2 grid, unlike the 4 x 4 grid of {files['a']}" in str(warning.message)
    assert lazy.shape == (3, GRID, GRID, 100)
    np.testing.assert_array_equal(lazy[[0, 2]].compute(scheduler="synchronous"),
                                  np.stack([module_result(files["a"]), module_result(files["b"])]))
    with pytest.raises(ValueError, match="no file has a square grid"), pytest.warns(zudata.SkippedFilesWarning):
        zudata.to_dask([files["truncated"]], *CALL, errors="warn")


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, worker_dashboard_address=None, timeout=60,
    ) as local, distributed.Client(local, timeout=60) as client:
        yield local, client


@pytest.mark.slow
def test_on_a_local_cluster(files, cluster, tmp_path):
    local, client = cluster
    paths = [files["a"], files["crc"], files["b"]]
    results = zudata.read_many(paths, *CALL, client=client)
    assert list(results) == [files["a"], files["b"]], results.errors
    np.testing.assert_array_equal(results[files["b"]], module_result(files["b"]))
    assert results.errors == {files["crc"]: module_result(files["crc"])}

    lazy = zudata.to_dask([files["a"], files["b"]], *CALL)
    future = client.compute(lazy)
    values = future.result(timeout=60)
    np.testing.assert_array_equal(values, np.stack([module_result(files["a"]), module_result(files["b"])]))

    out = tmp_path / "out.npz"
    # A loaded machine can take longer than the default 10 s to connect,
    # which a test of its own covers.
    run = zu("export", *paths, "-c", CALL[0], "-s", CALL[1], "-u", CALL[2], "-o", out,
             "--dask", local.scheduler_address, "--dask-timeout", "60")
    assert run.returncode == 1
    assert run.stdout == f"wrote {out}: 2 arrays, 1 failed\n"
    assert f"{files['crc']}: {module_result(files['crc'])}" in run.stderr
    with np.load(out) as saved:
        np.testing.assert_array_equal(saved["a.zu/height/1"], module_result(files["a"]))


def _fails_on_b(path):
    from zudata._run import Outcome

    if path == "b":
        raise RuntimeError("a fault in the task")
    return Outcome(value=path)


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_failing_task_costs_only_its_file(jobs):
    from zudata._run import run_tasks

    outcomes = dict(run_tasks(_fails_on_b, ["a", "b", "c", "d"], (), jobs=jobs))
    assert list(outcomes) == ["a", "b", "c", "d"]
    assert outcomes["b"].error == "RuntimeError: a fault in the task"
    assert [outcomes[p].value for p in "acd"] == ["a", "c", "d"]


@pytest.mark.slow
def test_export_on_a_cluster_sends_absolute_paths(files, cluster, tmp_path, monkeypatch):
    import subprocess

    from zu_files import ZU

    local, client = cluster
    # The workers were started in another directory than this one.
    monkeypatch.chdir(files["a"].parent)
    results = zudata.read_many(["a.zu", "b.zu"], *CALL, client=client)
    assert results.errors == {}
    np.testing.assert_array_equal(results["b.zu"], module_result(files["b"]))
    # The workers run elsewhere (another directory): relative names must
    # reach them resolved.
    out = tmp_path / "out.npz"
    run = subprocess.run([ZU, "export", "a.zu", "b.zu", "-c", CALL[0], "-s", str(CALL[1]), "-u", CALL[2],
                          "-o", str(out), "--dask", local.scheduler_address, "--dask-timeout", "60"],
                         cwd=files["a"].parent,
                         capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    with np.load(out) as saved:
        assert npz_arrays(saved) == ["a.zu/height/1", "b.zu/height/1"]
        np.testing.assert_array_equal(saved["b.zu/height/1"], module_result(files["b"]))


@pytest.mark.slow
@needs("h5py", "tools")
def test_export_on_a_cluster_of_a_header_deeper_than_pickle_can_go(files, cluster, tmp_path):
    import h5py

    local, _ = cluster
    depth = 20_000
    path = with_header_line(files["a"], tmp_path / "deep.zu", "deep." * depth + "b=1")
    out = tmp_path / "out.h5"
    run = zu("export", path, "-c", CALL[0], "-s", str(CALL[1]), "-o", out, "--dask", local.scheduler_address,
             "--dask-timeout", "60")
    assert (run.returncode, run.stderr) == (0, ""), run.stderr
    with h5py.File(out, "r") as saved:
        dataset = saved["deep.zu/height/1"]
        np.testing.assert_array_equal(dataset[()], module_result(path, CALL[:2] + ("volts",)))
        text = dataset.attrs["header"]
    assert text.count('"deep": {') == depth and '"deep": {"b": "1"}' in text


@needs("distributed", "dask")
@pytest.mark.parametrize(
    ("address", "timeout", "reason"),
    [
        ("notanaddress", [], "HOST:PORT"),
        ("tcp://127.0.0.1:1", [], "Connection refused"),
        ("SILENT", ["--dask-timeout", "3"], "within 3 s"),  # accepts connections, never answers
        ("SILENT", [], "within 10 s"),
    ],
)
def test_an_unreachable_scheduler_is_a_usage_error_within_the_timeout(files, tmp_path, address, timeout, reason):
    import socket
    import time

    pytest.importorskip("distributed")
    with socket.create_server(("127.0.0.1", 0)) as silent:
        if address == "SILENT":
            address = f"tcp://127.0.0.1:{silent.getsockname()[1]}"
        limit = float(timeout[1]) if timeout else 10.0
        start = time.monotonic()
        run = zu("export", files["a"], "-c", "height", "-s", "0", "-o", tmp_path / "out.npz", "--dask", address,
                 *timeout, timeout=60)
        took = time.monotonic() - start
    assert run.returncode == 2
    assert run.stderr.startswith(f"zu: --dask {address}: no Dask scheduler could be reached there")
    assert reason in run.stderr and "Traceback" not in run.stderr
    # The timeout counts from the command's start; the rest is the
    # interpreter's start-up and exit, slower on a loaded machine, and
    # slower still under an emulator (ten to twenty times).
    assert took < limit + (30 if emulated() else 5)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("content", "said"),
    [
        ("truncated", "truncated: the file starts like a ZIP archive but its end record is missing"),
        (b"%PDF-1.7 not a recording" * 100, "not a ZIP archive"),
        (b"", "an empty file, not a ZIP archive"),
        ("no header", "a ZIP archive but not a Zu data file: it has no header member"),
    ],
)
def test_open_says_which_damage_with_the_readers_text(tmp_path, content, said):
    path = tmp_path / "x.zu"
    if content == "truncated":
        truncated(path)
    elif content == "no header":
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("notes.txt", "not a recording")
    else:
        path.write_bytes(content)
    detail = str(pytest.raises(OSError, ZuDataFIle, str(path)).value)
    with pytest.raises(zudata.FormatError) as e:
        zudata.open(path)
    assert e.value.strerror == f"{said} ({detail})"
    assert e.value.filename == str(path)


@pytest.mark.parametrize(
    ("segment", "expected"),
    [
        (0, zudata.SegmentLayout(4, 2, samples=100, shortest=100)),
        (1, zudata.SegmentLayout(4, 2, samples=37, shortest=20)),
        (2, zudata.SegmentLayout(4, 2, samples=37, shortest=37)),
    ],
)
def test_layout_gives_the_trace_lengths_a_read_finds(tmp_path, segment, expected):
    with zudata.open(short_traces(tmp_path / "short.zu")) as f:
        assert f.layout()["height"][segment] == expected
        values = f.read("height", segment).reshape(-1, 100)
    # Each trace holds its own samples, then NaN up to the fixed 100.
    lengths = [int(np.count_nonzero(~np.isnan(trace))) for trace in values]
    assert lengths == SHORT_TRACES[segment]
