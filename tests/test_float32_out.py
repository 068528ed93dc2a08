"""Reads into float32 and into a caller's array: values rounded once from
the float64 result, near float32's limits, and out= arrays that do not fit."""

from __future__ import annotations

import json
import os

import numpy as np
import pytest
from conftest import MEMORY_STATUS, channel_lines, floats_be, ints_be, run_child

import zudata

F32_MAX = float(np.finfo(np.float32).max)
F32_TINY = float(np.finfo(np.float32).tiny)  # smallest normal
F32_SUB = float(np.finfo(np.float32).smallest_subnormal)

# (sample type, offset, multiplier, raw samples, values the float64 read must
# give): each row puts values on one of float32's edges, so the float32 read
# is checked where rounding once (in double) and rounding twice differ.
EDGES = [
    pytest.param(
        "int32",
        "0",
        repr(2.0**103),
        [2**25 - 2, 2**25 - 1, 2**25 - 3, -(2**25 - 1), 2**25],
        [F32_MAX, F32_MAX + 2.0**103, (2**25 - 3) * 2.0**103, -(F32_MAX + 2.0**103), 2.0**128],
        id="largest-finite-halfway-to-inf",
    ),
    pytest.param(
        "int32",
        "0",
        repr(2.0**-149),
        [1, 2**23 - 1, 2**23, -1, 0],
        [F32_SUB, F32_TINY - F32_SUB, F32_TINY, -F32_SUB, 0.0],
        id="subnormals-and-smallest-normal",
    ),
    pytest.param(
        "int32",
        "0",
        repr(2.0**-150),
        [1, 3, 5, 2**24 - 1, -3],
        [2.0**-150, 3 * 2.0**-150, 5 * 2.0**-150, F32_TINY - 2.0**-150, -3 * 2.0**-150],
        id="halfway-between-subnormals",
    ),
    pytest.param(
        "int32",
        "0.75",
        "1",
        [2**24 + 1, 2**24 + 3, -(2**24 + 1), 2**25 - 1],
        [2**24 + 1.75, 2**24 + 3.75, -(2**24) + 0.75 - 1, 2**25 - 0.25],
        id="offset-decides-the-rounding",
    ),
    pytest.param(
        "float-data",
        "0",
        "0.5",
        [F32_SUB, 3 * F32_SUB, F32_MAX, -F32_MAX, float("nan")],
        [F32_SUB / 2, 1.5 * F32_SUB, F32_MAX / 2, -F32_MAX / 2, float("nan")],
        id="float-samples-halved",
    ),
    pytest.param(
        "float-data",
        "0",
        "2",
        [F32_MAX, F32_TINY, 1.0 + 2.0**-23, float("inf")],
        [2 * F32_MAX, 2 * F32_TINY, 2.0 + 2.0**-22, float("inf")],
        id="float-samples-doubled-past-the-limit",
    ),
]


def _file(zu_file, sample_type, offset, multiplier, samples, traces=1):
    header = channel_lines("1", "N", sample_type=sample_type, encoder=(offset, multiplier))
    pack = floats_be if sample_type == "float-data" else ints_be
    return zu_file(header, [(f"m{k}/0/channels/N.dat", pack(*samples)) for k in range(traces)])


def _bits(values):
    return values.view(np.uint32 if values.dtype == np.float32 else np.uint64)


@pytest.mark.parametrize(("sample_type", "offset", "multiplier", "samples", "expected"), EDGES)
@pytest.mark.parametrize("dtype", [np.float32, "float32", np.dtype("f4")], ids=["type", "name", "dtype"])
def test_float32_is_the_float64_result_rounded_once(zu_file, sample_type, offset, multiplier, samples, expected, dtype):
    path = _file(zu_file, sample_type, offset, multiplier, samples)
    with zudata.open(path) as f:
        doubles = f.read("N", 0)
        singles = f.read("N", 0, dtype=dtype)
    # The file really puts its values on the edges (the rest is NaN padding).
    np.testing.assert_array_equal(doubles[0, 0, : len(expected)], expected)
    assert np.isnan(doubles[0, 0, len(expected) :]).all()
    assert singles.dtype == np.float32 and singles.shape == doubles.shape
    with np.errstate(over="ignore"):  # NumPy's cast overflows to inf, as it should
        cast = doubles.astype(np.float32)
    np.testing.assert_array_equal(_bits(singles), _bits(cast))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dtype", [None, np.float64, np.float32])
def test_out_is_filled_in_place_and_returned(zu_file, dtype, threads):
    path = _file(zu_file, "int32", "0.5", "0.1", range(90), traces=9)
    with zudata.open(path) as f:
        expected = f.read("N", 0).astype(dtype or np.float64)
        out = np.full((3, 3, 100), 7, dtype=dtype or np.float64)
        address = out.ctypes.data
        result = f.read("N", 0, threads=threads, dtype=dtype, out=out)
    assert result is out and out.ctypes.data == address
    np.testing.assert_array_equal(_bits(out), _bits(expected))


def test_out_decides_the_dtype_when_none_is_given(zu_file):
    path = _file(zu_file, "int32", "0", repr(2.0**-150), [1, 3, 5])
    with zudata.open(path) as f:
        out = np.zeros((1, 1, 100), np.float32)
        assert f.read("N", 0, out=out) is out
        np.testing.assert_array_equal(_bits(out), _bits(f.read("N", 0).astype(np.float32)))


@pytest.mark.parametrize(
    ("make_out", "dtype", "error", "message"),
    [
        (lambda: np.zeros((2, 2, 100)), None, ValueError, r"wrong shape, the read gives \(3, 3, 100\)"),
        (lambda: np.zeros((3, 3, 99)), None, ValueError, r"shape \(3, 3, 99\)"),
        (lambda: np.zeros((9, 100)), None, ValueError, r"shape \(9, 100\)"),
        (lambda: np.zeros((3, 3, 100)), np.float32, ValueError, "dtype is float64, the read gives float32"),
        (lambda: np.zeros((3, 3, 100), np.float32), np.float64, ValueError, "dtype is float32"),
        (lambda: np.zeros((3, 3, 100), np.int64), None, ValueError, "int64 is not supported"),
        (lambda: np.zeros((3, 3, 100), ">f8"), np.float64, ValueError, "dtype is >f8"),
        (lambda: np.zeros((3, 3, 100), order="F"), None, ValueError, "not C-contiguous"),
        (lambda: np.zeros((3, 3, 200))[:, :, ::2], None, ValueError, "not C-contiguous"),
        (lambda: [[[0.0] * 100] * 3] * 3, np.float64, TypeError, "expected a numpy.ndarray"),
    ],
    ids=["grid", "trace", "2d", "f64-for-f32", "f32-for-f64", "int", "big-endian", "fortran", "strided", "list"],
)
def test_a_wrong_out_is_refused_before_reading(zu_file, make_out, dtype, error, message):
    path = _file(zu_file, "int32", "0", "1", range(100), traces=9)
    out = make_out()
    before = np.array(out, copy=True)
    with zudata.open(path) as f, pytest.raises(error, match=message):
        f.read("N", 0, dtype=dtype, out=out)
    np.testing.assert_array_equal(np.asarray(out), before)


def test_a_read_only_out_is_refused(zu_file):
    path = _file(zu_file, "int32", "0", "1", range(100), traces=9)
    out = np.zeros((3, 3, 100))
    out.setflags(write=False)
    with zudata.open(path) as f, pytest.raises(ValueError, match="read-only"):
        f.read("N", 0, out=out)
    assert not out.any()


@pytest.mark.parametrize(
    ("dtype", "error"),
    [(np.int32, ValueError), ("float16", ValueError), (np.complex128, ValueError), ("no", TypeError)],
)
def test_other_dtypes_are_refused(zu_file, dtype, error):
    path = _file(zu_file, "int32", "0", "1", range(100))
    with zudata.open(path) as f, pytest.raises(error, match="dtype"):
        f.read("N", 0, dtype=dtype)


def _three_files(zu_file):
    paths = [_file(zu_file, "int32", "0", repr(2.0**-150), [1, 3, 2**24 - 1, k]) for k in range(3)]
    with zudata.open(paths[1]) as f:
        expected = f.read("N", 0).astype(np.float32)
    return paths, expected


def test_dtype_reaches_read_many(zu_file):
    paths, expected = _three_files(zu_file)
    many = zudata.read_many(paths, "N", 0, dtype="float32", jobs=2)
    assert not many.errors
    assert all(v.dtype == np.float32 for v in many.values())
    np.testing.assert_array_equal(_bits(many[paths[1]]), _bits(expected))
    with pytest.raises(ValueError, match="dtype"):
        zudata.read_many(paths, "N", 0, dtype=np.int16)


def test_dtype_reaches_to_dask(zu_file):
    pytest.importorskip("dask")
    paths, expected = _three_files(zu_file)
    lazy = zudata.to_dask(paths, "N", 0, dtype=np.float32)
    assert lazy.dtype == np.float32
    computed = lazy.compute(scheduler="synchronous")
    assert computed.dtype == np.float32
    np.testing.assert_array_equal(_bits(computed[1]), _bits(expected))


def test_dtype_reaches_the_xarray_backend(zu_file):
    xr = pytest.importorskip("xarray")
    path = _file(zu_file, "int32", "0", repr(2.0**-150), [1, 3, 2**24 - 1], traces=4)
    with zudata.open(path) as f:
        expected = f.read("N", 0).astype(np.float32)
    for opened in (
        xr.open_dataset(path, engine="zu", dtype="float32"),
        zudata.to_xarray(path, dtype=np.float32),
        zudata.to_xarray(path, dtype=np.float32, chunks={}),
    ):
        with opened as ds:
            assert ds["N"].dtype == np.float32  # lazy: known before loading
            loaded = ds["N"].values
            assert loaded.dtype == np.float32
            # The Dataset's sample dimension ends with the longest trace.
            np.testing.assert_array_equal(_bits(loaded[0]), _bits(expected[..., : loaded.shape[-1]]))


MEMORY_PROBE = MEMORY_STATUS + r"""
import json, sys
import numpy as np
import zudata

path, mode = sys.argv[1], sys.argv[2]
f = zudata.DataFile(path, _window_bytes=64 << 10)
out = np.ones((150, 150, 100), np.float32) if mode == "out" else None
before = status("VmRSS")
reset_peak()
values = f.read("N", 0, threads=1, dtype=np.float32, out=out)
sys.stderr.write(json.dumps([status("VmHWM") - before, values.dtype.name, values is out]))
"""


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="measures the peak in /proc/self/status")
def test_float32_reads_hold_no_float64_copy(zu_file):
    # 150 x 150 traces: 9 MB of float32, 18 MB as float64.
    path = _file(zu_file, "int32", "0.5", "0.25", range(100), traces=150 * 150)
    result_bytes = 150 * 150 * 100 * 4
    extra = {}
    for mode in ("new", "out"):
        done = run_child(MEMORY_PROBE, path, mode, timeout=300)
        assert done.returncode == 0, done.stderr
        extra[mode], dtype, same = json.loads(done.stderr.splitlines()[-1])
        assert dtype == "float32" and same == (mode == "out")
    assert extra["out"] < 0.5 * result_bytes, extra
    assert extra["new"] < extra["out"] + 1.3 * result_bytes, extra
