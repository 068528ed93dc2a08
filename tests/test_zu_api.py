"""zudata.read_many and zudata.to_dask, locally and on a Dask cluster."""

from __future__ import annotations

import os

import numpy as np
import pytest
from conftest import needs
from zu_files import GRID, bad_crc, good, truncated, zu

import zu_data_reader
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
    assert results.errors == {p: module_result(p) for p in (files["truncated"], files["crc"])}
    assert "Invalid checksum" in results.errors[files["crc"]]


def test_large_results_come_back_from_workers_whole(tmp_path, monkeypatch):
    # Arrays from 64 KiB up leave the workers as files in a private spool
    # directory; each arrives intact and writeable, and the directory goes
    # with the pool.
    import contextlib

    from zudata import _run
    from zudata import _tasks as tasks

    seen = []
    real = _run._spool_dir

    @contextlib.contextmanager
    def recorded():
        with real() as path:
            seen.append(path)
            yield path

    monkeypatch.setattr(_run, "_spool_dir", recorded)
    paths = [good(tmp_path / f"big{i}.zu", grid=10) for i in range(3)]
    results = zudata.read_many(paths, *CALL, jobs=2)
    assert results[paths[0]].nbytes >= _run._SPOOL_MIN_BYTES
    for path in paths:
        np.testing.assert_array_equal(results[path], module_result(path))
        assert results[path].flags.writeable
    assert len(seen) == 1 and not os.path.exists(seen[0])
    # Where the spool cannot take a file, the array comes back inline.
    outcome = _run._run_spooled(str(tmp_path / "no-such-spool"), tasks.read_channel, paths[0], *CALL, False)
    np.testing.assert_array_equal(_run._unspool(outcome).value, module_result(paths[0]))


@needs("dask", "dask")
def test_to_dask_needs_no_decode_for_its_shape(files, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("opened with the module before compute()")

    monkeypatch.setattr(zu_data_reader, "ZuDataFIle", refuse)
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
    with pytest.raises(OSError, match="crc.zu: Invalid checksum"):
        lazy.compute(scheduler="synchronous")


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
    assert list(results) == [files["a"], files["b"]]
    np.testing.assert_array_equal(results[files["b"]], module_result(files["b"]))
    assert results.errors == {files["crc"]: module_result(files["crc"])}

    lazy = zudata.to_dask([files["a"], files["b"]], *CALL)
    future = client.compute(lazy)
    values = future.result(timeout=60)
    np.testing.assert_array_equal(values, np.stack([module_result(files["a"]), module_result(files["b"])]))

    out = tmp_path / "out.npz"
    run = zu("export", *paths, "-c", CALL[0], "-s", CALL[1], "-u", CALL[2], "-o", out,
             "--dask", local.scheduler_address)
    assert run.returncode == 1
    assert run.stdout == f"wrote {out}: 2 arrays, 1 failed\n"
    assert f"{files['crc']}: {module_result(files['crc'])}" in run.stderr
    with np.load(out) as saved:
        np.testing.assert_array_equal(saved["a.zu/height/1"], module_result(files["a"]))


def _dies_on_b(path):
    from zudata._run import Outcome

    if path == "b":
        os._exit(3)
    return Outcome(value=path)


def test_a_dying_worker_costs_only_its_file():
    from zudata._run import run_tasks

    outcomes = dict(run_tasks(_dies_on_b, ["a", "b", "c", "d"], (), jobs=2))
    assert list(outcomes) == ["a", "b", "c", "d"]
    assert "worker process died" in outcomes["b"].error
    # A file read at the same moment may be blamed with it; later ones not.
    assert [outcomes[p].value for p in "cd"] == ["c", "d"]
