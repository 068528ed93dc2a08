"""Zu data files from Python: one file from many threads, many files at once.

The ways in::

    zudata.open(location) -> DataFile     read(), layout(), channels(), units(), ...
    read_many(paths, channel, segment, unit=None, *, jobs=None, client=None, progress=False)
    to_dask(paths, channel, segment, unit=None, *, errors="raise")
    to_xarray(location, *, units=None, channels=None, segments=None, chunks=None)

The `zu` command (zudata.cli) is built on the same pieces.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any
from collections.abc import Iterable, Mapping

from . import _remote
from ._api import DataFile, SegmentLayout, open, value_type
from ._errors import (
    FormatError,
    GridError,
    RequestError,
    UnknownChannelError,
    UnknownSegmentError,
    UnknownUnitError,
)
from ._progress import Progress
from ._run import describe_error, run_tasks
from ._reader import __version__ as __version__
from ._remote import RemoteFileError
from ._tasks import read_channel
from ._walk import TRACE_LENGTH

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import xarray

__all__ = [
    "DataFile",
    "FormatError",
    "GridError",
    "ReadResults",
    "RemoteFileError",
    "RequestError",
    "SegmentLayout",
    "SkippedFilesWarning",
    "UnknownChannelError",
    "UnknownSegmentError",
    "UnknownUnitError",
    "open",
    "read_many",
    "to_dask",
    "to_xarray",
]


class ReadResults(dict[Any, Any]):
    """path -> array for every file that was read; `errors` maps each file
    that failed to its error text."""

    def __init__(self) -> None:
        super().__init__()
        self.errors: dict[Any, str] = {}


def read_many(
    paths: Iterable[str | os.PathLike[str]],
    channel: str,
    segment: int,
    unit: str | None = None,
    *,
    jobs: int | None = None,
    client: Any = None,
    progress: bool = False,
    storage_options: dict[str, Any] | None = None,
    dtype: npt.DTypeLike = None,
) -> ReadResults:
    """Reads one channel, segment and unit type (None: the channel's base
    unit type) from every file.

    `jobs` > 1 reads that many files at once on threads of this process;
    `client`, a `distributed.Client`, runs the reads on its cluster instead
    (relative paths are made absolute first). A file that cannot be read
    does not stop the others: it is left out of the result and listed in
    `result.errors` with its error text. A path given twice is read once.
    With `progress`, a bar on standard error counts the files. URLs are
    read where they live (see zudata.open), with `storage_options`; on a
    cluster each worker opens them itself.
    `dtype`: float64 (None) or float32, as DataFile.read takes it.

    Each read may borrow helper threads (see DataFile.read's `threads`)
    only while the reads running and the helpers they hold leave cores
    free, so `jobs` reads at once never make jobs x cores busy threads.
    """
    dtype_name = value_type(dtype)
    paths = list(dict.fromkeys(paths))
    items = [_remote.located(p, storage_options) for p in paths]
    sent = [p if _remote.is_remote(p) else os.path.abspath(p) for p in items] if client is not None else None
    results = ReadResults()
    with Progress(len(paths), progress, "reading") as bar:
        outcomes = run_tasks(
            read_channel, items, (channel, segment, unit, False, dtype_name), jobs=jobs, client=client, sent_items=sent
        )
        for path, (_, outcome) in zip(paths, outcomes, strict=True):
            if outcome.error is None:
                results[path] = outcome.value
            else:
                results.errors[path] = outcome.error
            bar.advance(outcome.traces)
    return results


def _read_block(
    path: str,
    channel: str,
    segment: int,
    unit: str | None,
    n: int,
    storage_options: dict[str, Any] | None = None,
    dtype: str = "float64",
) -> npt.NDArray[np.floating[Any]]:
    with open(path, storage_options=storage_options) as data_file:
        try:
            values = data_file.read(channel, segment, unit, dtype=dtype)
        except OSError as exc:
            if exc.filename is None:
                exc.filename = path
            raise
    if values.shape != (n, n, TRACE_LENGTH):
        raise ValueError(f"{path}: expected shape {(n, n, TRACE_LENGTH)}, the file gave {values.shape}")
    return values[None]


def _layout_of(
    path: str, channel: str, segment: int, storage_options: dict[str, Any] | None = None
) -> SegmentLayout | None:
    with open(path, storage_options=storage_options) as data_file:
        return data_file.layout().get(channel, {}).get(segment)


class SkippedFilesWarning(UserWarning):
    """Files that `to_dask(..., errors="warn")` left out; `skipped` maps
    each one to the reason."""

    def __init__(self, skipped: dict[str, str]) -> None:
        listed = "; ".join(f"{path}: {reason}" for path, reason in skipped.items())
        super().__init__(f"{len(skipped)} file{'s' * (len(skipped) != 1)} left out: {listed}")
        self.skipped = skipped


def _layout_or_error(
    path: str, channel: str, segment: int, storage_options: dict[str, Any] | None
) -> SegmentLayout | None | BaseException:
    try:
        return _layout_of(path, channel, segment, storage_options)
    except (OSError, LookupError, ValueError) as exc:
        return exc


def to_dask(
    paths: Iterable[str | os.PathLike[str]],
    channel: str,
    segment: int,
    unit: str | None = None,
    *,
    errors: str = "raise",
    storage_options: dict[str, Any] | None = None,
    dtype: npt.DTypeLike = None,
) -> Any:
    """A lazy dask array of shape (files, n, n, 100), one chunk per file, in
    `unit` (None: the channel's base unit type), of `dtype` (float64 when
    None, or float32, as DataFile.read takes it).

    The shape comes from each file's layout (its central directory, no
    decoding); nothing is decoded until the array is computed, on whichever
    scheduler is active. The reads release the interpreter lock, so the
    threaded scheduler reads on every core; a block read borrows helper
    threads only while fewer reads than cores run (see DataFile.read), so
    the scheduler's threads and the helpers never exceed the cores.

    With errors="raise", a file that cannot be opened raises OSError
    (FormatError), and one without a square grid of traces for the channel
    and segment, or with a grid unlike the first file's, ValueError. With
    errors="warn", such files are left out and one SkippedFilesWarning
    names each with its reason (as xarray.open_mfdataset's errors="warn"
    does); an error met later, while computing, still raises.
    URLs are read where they live, with `storage_options` (see zudata.open).
    """
    import dask
    import warnings
    from concurrent.futures import ThreadPoolExecutor

    import dask.array as da
    import numpy as np

    dtype_name = value_type(dtype)
    if errors not in ("raise", "warn"):
        raise ValueError(f"errors must be 'raise' or 'warn', not {errors!r}")
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("to_dask needs at least one file")
    # Opening and listing release the interpreter lock: on threads, the
    # files' directories are read on every core.
    with ThreadPoolExecutor(max_workers=min(len(paths), os.cpu_count() or 1)) as pool:
        parts = list(pool.map(lambda path: _layout_or_error(path, channel, segment, storage_options), paths))
    side = None
    kept: list[str] = []
    skipped: dict[str, str] = {}
    for path, part in zip(paths, parts, strict=True):
        problem = _unfit(path, part, channel, segment, side, kept[0] if kept else None)
        if problem is None:
            assert isinstance(part, SegmentLayout)
            side = part.side
            kept.append(path)
        elif errors == "raise":
            raise problem
        else:
            skipped[path] = describe_error(problem).removeprefix(f"{path}: ")
    if skipped:
        warnings.warn(SkippedFilesWarning(skipped), stacklevel=2)
    if side is None:
        raise ValueError(f"no file has a square grid of channel {channel!r} in segment {segment}")
    read = dask.delayed(_read_block, pure=True)
    blocks = [
        da.from_delayed(
            read(path, channel, segment, unit, side, storage_options, dtype_name),
            shape=(1, side, side, TRACE_LENGTH),
            dtype=np.dtype(dtype_name),
        )
        for path in kept
    ]
    return da.concatenate(blocks, axis=0)


def _unfit(
    path: str, part: Any, channel: str, segment: int, side: int | None, first: str | None
) -> BaseException | None:
    """Why a file cannot join the stack, or None."""
    if isinstance(part, BaseException):
        return part
    traces = 0 if part is None else part.traces
    n = None if part is None else part.side
    if n is None:
        return ValueError(f"{path}: {traces} members for channel {channel!r} in segment {segment}, not a square grid")
    if side is not None and n != side:
        return ValueError(f"{path}: a {n} x {n} grid, unlike the {side} x {side} grid of {first}")
    return None


def to_xarray(
    location: str | os.PathLike[str],
    *,
    units: str | Mapping[str, str] | None = None,
    channels: str | Iterable[str] | None = None,
    segments: int | Iterable[int] | None = None,
    drop_variables: str | Iterable[str] | None = None,
    chunks: Any = None,
    storage_options: dict[str, Any] | None = None,
    dtype: npt.DTypeLike = None,
) -> xarray.Dataset:
    """An `xarray.Dataset` of one data file, as `xarray.open_dataset(location,
    engine="zu", ...)` gives it, without relying on the installed entry
    point: one variable per channel, dimensions (segment, i, j, sample),
    loaded lazily (zudata.xarray_backend says how). `chunks={}` gives Dask
    arrays with one chunk per segment; `dtype` float32 reads the variables as
    float32 (see DataFile.read). Needs the `xarray` extra."""
    import xarray

    from .xarray_backend import ZuBackendEntrypoint

    return xarray.open_dataset(
        location,
        engine=ZuBackendEntrypoint,
        chunks=chunks,
        units=units,
        channels=channels,
        segments=segments,
        drop_variables=drop_variables,
        storage_options=storage_options,
        dtype=dtype,
    )
