"""The xarray backend (engine "zu") against ZuDataFIle, with real xarray and Dask."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
dask = pytest.importorskip("dask")

import zudata  # noqa: E402
from zu_data_reader import ZuDataFIle  # noqa: E402
from zudata import xarray_backend  # noqa: E402

from conftest import channel_lines, floats_be, ints_be, write_zu_file  # noqa: E402
from zudata.testfiles import Member, build  # noqa: E402
from zu_files import short_traces, with_header_line  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import make_sample  # noqa: E402


def reference(path, channel, segment, unit):
    return ZuDataFIle(path).get_channel_data(channel, segment, unit)


class CountingFile:
    """A DataFile whose reads are recorded as (channel, segment, unit)."""

    def __init__(self, datafile, reads):
        self._file, self.reads = datafile, reads

    def read(self, channel, segment, unit=None, **options):
        self.reads.append((channel, segment, unit))
        return self._file.read(channel, segment, unit, **options)

    def __getattr__(self, name):
        return getattr(self._file, name)


@pytest.fixture
def reads(monkeypatch):
    log = []
    monkeypatch.setattr(xarray_backend, "_open", lambda location: CountingFile(zudata.open(location), log))
    return log


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return make_sample.write_sample(tmp_path_factory.mktemp("xr") / "sample.zip", grid=3, segments=3)


@pytest.fixture(scope="module")
def irregular(tmp_path_factory):
    """Channel a: segment 0 a 2x2 grid, 1 three traces, 2 a 3x3 grid, one of
    them short; channel b: segment 0 a 2x2 grid and segment 3 one trace."""
    header = channel_lines("0", "a", conversions=[("scaled", "volts", "1", "2")], conversion_list=True)
    header += channel_lines("1", "b", sample_type="integer-data")
    counts = {("a", 0): 4, ("a", 1): 3, ("a", 2): 9, ("b", 0): 4, ("b", 3): 1}
    members = []
    for (channel, segment), count in counts.items():
        for p in range(count):
            values = [p + segment * 0.5 + t / 8 for t in range(100 if p != 5 else 7)]
            data = floats_be(*values) if channel == "a" else ints_be(*(int(v * 8) for v in values))
            members.append((f"index/{p}/segments/{segment}/channels/{channel}.dat", data))
    return write_zu_file(tmp_path_factory.mktemp("xr") / "irregular.zip", header, members)


OPENERS = {
    "engine": lambda path, **kw: xr.open_dataset(path, engine="zu", **kw),
    "to_xarray": lambda path, **kw: zudata.to_xarray(path, **kw),
    "dask": lambda path, **kw: xr.open_dataset(path, engine="zu", chunks={}, **kw),
}


def physical_unit(channel, unit):
    """The physical unit the sample writer records for a channel's unit type."""
    written = make_sample.channel_by_name(channel)
    return "V" if unit == written.base else written.conversions[unit].unit


@pytest.mark.parametrize("opener", OPENERS)
@pytest.mark.parametrize(
    "units", [None, "distance", {"vDeflection": "force", "height": "volts", "measuredHeight": "calibrated"}]
)
def test_values_and_attributes(sample, opener, units):
    if units == "distance":
        kw = {"units": "distance", "channels": ["vDeflection", "height"]}
    else:
        kw = {"units": units}
    with OPENERS[opener](sample, **kw) as ds:
        f = ZuDataFIle(sample)
        assert list(ds.data_vars) == kw.get("channels", f.get_channels())
        assert ds.segment.values.tolist() == [0, 1, 2]
        assert ds.sizes == {"segment": 3, "i": 3, "j": 3, "sample": 100}
        assert (opener == "dask") == (ds.height.chunks is not None)
        for name, variable in ds.data_vars.items():
            unit = units if isinstance(units, str) else (units or {}).get(name, "volts")
            expected = {"channel": name, "unit_type": unit,
                        "sample_type": "float-data" if name == "height" else "integer-data"}
            # The header's physical unit, or no "units" at all where it gives none.
            if physical_unit(name, unit) is not None:
                expected["units"] = physical_unit(name, unit)
            assert variable.attrs == expected
            for k, segment in enumerate(ds.segment.values):
                np.testing.assert_array_equal(variable.isel(segment=k).values,
                                              reference(sample, name, int(segment), unit))
        header = f.header
        assert json.loads(ds.attrs["header"]) == header
        assert ds.attrs["source"] == str(sample) == ds.file.item()
        assert ds.attrs["start-time"] == header["start-time"] == "2024-05-17T10:32:11Z"
        assert "force-settings" not in ds.attrs


@pytest.mark.parametrize("opener", ["engine", "dask"])
@pytest.mark.parametrize(("segments", "samples"), [(None, 100), ([1, 2], 37), (2, 37), ([0, 2], 100)])
def test_sample_dimension_is_as_long_as_the_longest_trace(tmp_path, opener, segments, samples):
    path = short_traces(tmp_path / "short.zu")
    with OPENERS[opener](path, segments=segments) as ds:
        assert ds.sizes["sample"] == samples
        assert ds.sample.values.tolist() == list(range(samples))
        for k, segment in enumerate(ds.segment.values):
            full = reference(path, "height", int(segment), "volts")
            np.testing.assert_array_equal(ds.height.isel(segment=k).values, full[..., :samples])
            # What is left out is the read's padding alone.
            assert np.isnan(full[..., samples:]).all()


@pytest.mark.parametrize("claimed", [None, 1 << 24])
def test_the_sample_dimension_stops_at_what_a_read_gives(tmp_path, claimed):
    # A trace of 150 samples, or a member whose directory entry claims 16 MiB
    # in a file of a few hundred bytes (a claim of 4 GiB costs as little):
    # the Dataset opens with the 100 samples a read can give, without a
    # coordinate as long as the claim, and reading the values fails as the
    # read does.
    members = [Member(b"shared-data/header.properties", channel_lines("1", "N", sample_type="int32").encode()),
               Member(b"p0/0/channels/N.dat", ints_be(*range(150)), usize=claimed)]
    path = tmp_path / "long.zu"
    path.write_bytes(build(members))
    with xr.open_dataset(path, engine="zu") as ds:
        assert ds.sizes["sample"] == 100
        with pytest.raises(OSError if claimed else zudata.GridError):
            ds["N"].load()


def test_files_of_short_and_full_traces_stack_padded(tmp_path):
    short = short_traces(tmp_path / "short.zu")
    with xr.open_mfdataset([short, short], engine="zu", combine="nested", concat_dim="file", segments=2) as ds:
        assert ds.sizes["sample"] == 37
    full = make_sample.write_sample(tmp_path / "full.zip", grid=2, segments=3)
    with xr.open_mfdataset([short, full], engine="zu", combine="nested", concat_dim="file", join="outer",
                           channels="height", segments=2) as ds:
        assert ds.sizes["sample"] == 100
        values = ds.height.values
    np.testing.assert_array_equal(values[0, 0, ..., :37], reference(short, "height", 2, "volts")[..., :37])
    assert np.isnan(values[0, 0, ..., 37:]).all()
    np.testing.assert_array_equal(values[1, 0], reference(full, "height", 2, "volts"))


def test_irregular_segments_are_nan_filled(irregular, reads):
    with xr.open_dataset(irregular, engine="zu", units={"a": "scaled"}) as ds:
        assert ds.segment.values.tolist() == [0, 2, 3]
        assert ds.sizes["i"] == ds.sizes["j"] == 3
        loaded = {name: ds[name].values for name in ("a", "b")}
    assert sorted(reads) == [("a", 0, "scaled"), ("a", 2, "scaled"), ("b", 0, "volts"), ("b", 3, "volts")]
    for name, unit, segment, k in [("a", "scaled", 0, 0), ("a", "scaled", 2, 1), ("b", "volts", 0, 0),
                                   ("b", "volts", 3, 2)]:
        expected = reference(irregular, name, segment, unit)
        n = expected.shape[0]
        np.testing.assert_array_equal(loaded[name][k, :n, :n], expected)
        assert np.isnan(loaded[name][k, n:]).all() and np.isnan(loaded[name][k, :, n:]).all()
    assert np.isnan(loaded["a"][2]).all() and np.isnan(loaded["b"][1]).all()


def test_reads_only_what_is_selected(sample, reads):
    ds = xr.open_dataset(sample, engine="zu")
    assert reads == []
    ds.vDeflection.isel(segment=1).load()
    assert reads == [("vDeflection", 1, "volts")]
    part = ds.height.sel(segment=[0, 2]).isel(i=[0, 2], j=[0, 1], sample=slice(5, 9)).values
    assert reads[1:] == [("height", 0, "volts"), ("height", 2, "volts")]
    for k, segment in enumerate([0, 2]):
        expected = reference(sample, "height", segment, "volts")[np.ix_([0, 2], [0, 1])]
        np.testing.assert_array_equal(part[k], expected[..., 5:9])
    reads.clear()
    lazy = xr.open_dataset(sample, engine="zu", chunks={}, channels=["height", "measuredHeight"], segments=[1, 2],
                           drop_variables=["height", "file"])
    assert list(lazy.data_vars) == ["measuredHeight"] and "file" not in lazy.coords
    assert lazy.measuredHeight.chunks == ((1, 1), (3,), (3,), (100,))
    lazy.measuredHeight.sel(segment=2).compute()
    assert reads == [("measuredHeight", 2, "volts")]
    ds.close()
    with pytest.raises(ValueError, match="closed"):
        ds.height.isel(segment=0).load()


# Each case: isel() steps applied one after another to one variable. Every
# dimension gets an integer, a negative integer, a slice and a list, alone
# and beside the others (several lists select their outer product).
INDEXERS = {
    "issue example": [{"segment": 0, "i": 1, "sample": [5, 7]}],
    "i int": [{"i": 1}],
    "j negative": [{"j": -1}],
    "sample int": [{"sample": 3}],
    "sample negative": [{"sample": -100}],
    "segment negative, lists": [{"segment": -2, "j": [2, 0], "sample": slice(10, 2, -3)}],
    "j int between lists": [{"segment": [2, 0], "i": [0, 2], "j": 0, "sample": [-1, 0, 50]}],
    "i negative, slices": [{"segment": slice(1, None), "i": -3, "j": slice(None, None, -1), "sample": -1}],
    "three lists": [{"i": [1, 0, 2], "j": [1, 2], "sample": slice(None, 5)}],
    "all integers": [{"segment": 1, "i": -2, "j": 2, "sample": 99}],
    "stepped segments": [{"segment": slice(0, 3, 2), "i": 2, "j": slice(1, 3), "sample": [50]}],
    "empty selections": [{"segment": [], "i": 1}, {"sample": slice(5, 5)}],
    "chained": [{"segment": [0, 2], "sample": slice(10, 60)}, {"i": 0, "sample": [-1, 3]}, {"segment": -1, "j": 1}],
}


@pytest.mark.parametrize("steps", INDEXERS.values(), ids=INDEXERS)
def test_lazy_indexing_matches_the_loaded_array(irregular, reads, steps):
    with xr.open_dataset(irregular, engine="zu") as ds:
        lazy, eager = ds.a, ds.a.copy().load()
        reads.clear()
        for step in steps:
            lazy, eager = lazy.isel(step), eager.isel(step)
        values = lazy.values
        wanted = set(np.atleast_1d(lazy.segment.values).tolist())
    assert values.shape == eager.shape
    np.testing.assert_array_equal(values, eager.values)
    # Only the segments selected are read, each once.
    assert {segment for _, segment, _ in reads} <= wanted and len(reads) == len(set(reads))


@pytest.mark.parametrize(
    "kw, error, names",
    [
        ({"channels": ["height", "nope"]}, zudata.UnknownChannelError, "'vDeflection'"),
        ({"units": {"nope": "volts"}}, zudata.UnknownChannelError, "'measuredHeight'"),
        ({"units": "force"}, zudata.UnknownUnitError, "'volts' \\(base\\), 'nominal', 'distance'"),
        ({"units": {"height": "force"}}, zudata.UnknownUnitError, "'nominal', 'distance'"),
        ({"segments": [0, 5]}, zudata.UnknownSegmentError, "0, 1, 2"),
    ],
)
def test_requests_the_file_cannot_answer(sample, kw, error, names):
    with pytest.raises(error, match=names):
        xr.open_dataset(sample, engine="zu", **kw)


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("sample.zip", None, True),
        ("renamed.zu", b"not a zip", True),
        ("plain.txt", b"text", False),
        ("noheader.zip", "zip", False),
        ("missing.zip", "absent", False),
    ],
)
def test_guess_can_open(sample, tmp_path, name, content, expected):
    path = tmp_path / name
    if content is None:
        shutil.copyfile(sample, path)
    elif content == "zip":
        write_zu_file(path, None, [("a.dat", b"1234")])
    elif content != "absent":
        path.write_bytes(content)
    assert xarray_backend.ZuBackendEntrypoint().guess_can_open(path) is expected
    if expected and content is None:
        with xr.open_dataset(path) as ds:  # no engine: the entry point is found
            assert ds.attrs["source"] == str(path)


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    directory = tmp_path_factory.mktemp("many")
    return [str(make_sample.write_sample(directory / f"r{k}.zu", grid=2, segments=2, seed=k)) for k in range(3)]


def check_stacked(ds, paths):
    assert ds.file.values.tolist() == paths
    assert ds.height.dims == ("file", "segment", "i", "j", "sample")
    values = ds.vDeflection.values
    for k, path in enumerate(paths):
        for s in (0, 1):
            np.testing.assert_array_equal(values[k, s], reference(path, "vDeflection", s, "volts"))


def test_open_mfdataset_threads(recordings, tmp_path):
    with dask.config.set(scheduler="threads"):
        with xr.open_mfdataset(recordings, engine="zu", combine="nested", concat_dim="file") as ds:
            check_stacked(ds, recordings)
        bigger = str(make_sample.write_sample(tmp_path / "big.zu", grid=3, segments=3))
        with xr.open_mfdataset([recordings[0], bigger], engine="zu", combine="nested", concat_dim="file",
                               join="outer") as ds:
            assert ds.sizes == {"file": 2, "segment": 3, "i": 3, "j": 3, "sample": 100}
            values = ds.height.values
    assert np.isnan(values[0, 2]).all() and np.isnan(values[0, :2, 2]).all()
    np.testing.assert_array_equal(values[0, 1, :2, :2], reference(recordings[0], "height", 1, "volts"))
    np.testing.assert_array_equal(values[1, 2], reference(bigger, "height", 2, "volts"))


def test_the_file_coordinate_is_one_label_per_file(recordings, monkeypatch):
    folder, name = os.path.split(recordings[0])
    monkeypatch.chdir(folder)
    spellings = [name, f"./{name}", Path(folder) / ".." / Path(folder).name / name]
    labels = {xr.open_dataset(s, engine="zu").file.item() for s in spellings}
    assert labels == {recordings[0]}
    with xr.open_mfdataset([Path(name), recordings[1]], engine="zu", combine="nested", concat_dim="file") as ds:
        assert ds.height.sel(file=os.path.abspath(name)).shape == (2, 2, 2, 100)


@pytest.mark.slow
def test_open_mfdataset_on_a_local_cluster(recordings):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, worker_dashboard_address=None, timeout=60,
    ) as local, distributed.Client(local, timeout=60) as client:
        with xr.open_mfdataset(recordings, engine="zu", combine="nested", concat_dim="file") as ds:
            ds = client.compute(ds).result(timeout=60)
        check_stacked(ds, recordings)


@pytest.mark.parametrize("writer", ["netcdf", "zarr"])
def test_attributes_survive_writing(sample, tmp_path, writer):
    with xr.open_dataset(sample, engine="zu", units={"vDeflection": "force"}) as ds:
        if writer == "netcdf":
            pytest.importorskip("h5netcdf")
            ds.to_netcdf(tmp_path / "out.nc", engine="h5netcdf")
            back = xr.open_dataset(tmp_path / "out.nc", engine="h5netcdf")
        else:
            pytest.importorskip("zarr")
            ds.to_zarr(tmp_path / "out.zarr")
            back = xr.open_zarr(tmp_path / "out.zarr")
        with back:
            assert back.vDeflection.attrs["units"] == "N"
            xr.testing.assert_identical(back.load(), ds.load())  # attributes included


def test_a_header_deeper_than_the_json_module_can_write(sample, tmp_path):
    depth = 40_000
    path = with_header_line(sample, tmp_path / "deep.zu", "deep." * depth + "b=1")
    with xr.open_dataset(path, engine="zu") as ds:
        text = ds.attrs["header"]
        np.testing.assert_array_equal(ds.height[1].values, reference(sample, "height", 1, "volts"))
    # Compact JSON, too deep for json.loads: the deep part is checked as text.
    nested = '"deep": ' + '{"deep": ' * (depth - 1) + '{"b": "1"}' + "}" * (depth - 1)
    assert text.count(nested) == 1
    assert json.loads(text.replace(nested, '"deep": "1"')) == {**ZuDataFIle(sample).header, "deep": "1"}


def test_a_copy_elsewhere_refuses_a_file_replaced_since_opening(tmp_path):
    path = make_sample.write_sample(tmp_path / "moving.zu", grid=3, segments=1)
    with xr.open_dataset(path, engine="zu") as ds:
        copy = pickle.loads(pickle.dumps(ds))  # as a Dask worker gets it: the path, not the open file
        make_sample.write_sample(tmp_path / "new.zu", grid=2, segments=1).replace(path)
        np.testing.assert_array_equal(ds.height[0].values, make_sample.expected_values("height", 0, "volts", 3, 1))
        with pytest.raises(ValueError, match=r"now reads as \(2, 2, 100\)"):
            copy.height[0].load()


def test_dask_chunks_read_at_the_same_time(sample, monkeypatch):
    """The first two reads wait for each other: serialised reads would break
    the barrier."""
    barrier, started = threading.Barrier(2, timeout=20), []

    class MeetingFile(CountingFile):
        def read(self, *args, **options):
            started.append(args)
            if len(started) <= 2:
                barrier.wait()
            return self._file.read(*args, **options)

    monkeypatch.setattr(xarray_backend, "_open", lambda location: MeetingFile(zudata.open(location), []))
    with xr.open_dataset(sample, engine="zu", chunks={}, channels="height") as ds:
        values = ds.height.compute(scheduler="threads", num_workers=2).values
    assert sorted(s for _, s, _ in started) == [0, 1, 2]
    np.testing.assert_array_equal(values[1], reference(sample, "height", 1, "volts"))
