"""Zu data files from Python: one file from many threads, many files at once.

    zudata.open(location) -> DataFile     read(), layout(), channels(), units(), ...
    read_many(paths, channel, segment, unit, *, jobs=None, client=None, progress=False)
    to_dask(paths, channel, segment, unit)
    to_xarray(location, *, units=None, channels=None, segments=None, chunks=None)

The `zu` command (zudata.cli) is built on the same pieces.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any
from collections.abc import Iterable, Mapping

import numpy as np
import numpy.typing as npt

from . import _walk
from ._api import DataFile, SegmentLayout, open
from ._errors import (
    FormatError,
    GridError,
    RequestError,
    UnknownChannelError,
    UnknownSegmentError,
    UnknownUnitError,
)
from ._progress import Progress
from ._run import run_tasks
from ._reader import __version__ as __version__
from ._tasks import read_channel

if TYPE_CHECKING:
    import xarray

__all__ = [
    "DataFile",
    "FormatError",
    "GridError",
    "ReadResults",
    "RequestError",
    "SegmentLayout",
    "UnknownChannelError",
    "UnknownSegmentError",
    "UnknownUnitError",
    "open",
    "read_many",
    "to_dask",
    "to_xarray",
]

TRACE_LENGTH = 100


class ReadResults(dict[Any, npt.NDArray[np.float64]]):
    """path -> array for every file that was read; `errors` maps each file
    that failed to its error text."""

    def __init__(self) -> None:
        super().__init__()
        self.errors: dict[Any, str] = {}


def read_many(
    paths: Iterable[str | os.PathLike[str]],
    channel: str,
    segment: int,
    unit: str,
    *,
    jobs: int | None = None,
    client: Any = None,
    progress: bool = False,
) -> ReadResults:
    """Reads one channel, segment and unit type from every file.

    `jobs` > 1 reads in that many worker processes; `client`, a
    `distributed.Client`, runs the reads on its cluster instead. A file that
    cannot be read does not stop the others: it is left out of the result
    and listed in `result.errors` with its error text. With `progress`, a
    bar on standard error counts the files.
    """
    paths = list(dict.fromkeys(paths))
    results = ReadResults()
    with Progress(len(paths), progress, "reading") as bar:
        for path, outcome in run_tasks(read_channel, paths, (channel, segment, unit, False), jobs=jobs, client=client):
            if outcome.error is None:
                results[path] = outcome.value
            else:
                results.errors[path] = outcome.error
            bar.advance(outcome.traces)
    return results


def _read_block(path: str, channel: str, segment: int, unit: str, n: int) -> npt.NDArray[np.float64]:
    outcome = read_channel(path, channel, segment, unit, False)
    if outcome.error is not None:
        raise OSError(f"{path}: {outcome.error}")
    values = outcome.value
    if values.shape != (n, n, TRACE_LENGTH):
        raise ValueError(f"{path}: expected shape {(n, n, TRACE_LENGTH)}, the file gave {values.shape}")
    return values[np.newaxis]


def to_dask(paths: Iterable[str | os.PathLike[str]], channel: str, segment: int, unit: str) -> Any:
    """A lazy dask array of shape (files, n, n, 100), one chunk per file.

    The shape comes from each file's central directory (member names only);
    nothing is decoded until the array is computed, on whichever scheduler
    is active. Raises ValueError when a file has no square grid of traces
    for the channel and segment or the files' grids differ, and OSError /
    zipfile.BadZipFile when a directory cannot be read.
    """
    import dask
    import dask.array as da

    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("to_dask needs at least one file")
    side = None
    for path in paths:
        traces = _walk.count_traces(_walk.member_names(path), channel, segment)
        n = _walk.grid_side(traces)
        if n is None:
            raise ValueError(
                f"{path}: {traces} members for channel {channel!r} in segment {segment}, not a square grid"
            )
        if side is not None and n != side:
            raise ValueError(f"{path}: a {n} x {n} grid, unlike the {side} x {side} grid of {paths[0]}")
        side = n
    assert side is not None
    read = dask.delayed(_read_block, pure=True)
    blocks = [
        da.from_delayed(read(path, channel, segment, unit, side), shape=(1, side, side, TRACE_LENGTH), dtype=np.float64)
        for path in paths
    ]
    return da.concatenate(blocks, axis=0)


def to_xarray(
    location: str | os.PathLike[str],
    *,
    units: str | Mapping[str, str] | None = None,
    channels: str | Iterable[str] | None = None,
    segments: int | Iterable[int] | None = None,
    drop_variables: str | Iterable[str] | None = None,
    chunks: Any = None,
) -> xarray.Dataset:
    """An `xarray.Dataset` of one data file, as `xarray.open_dataset(location,
    engine="zu", ...)` gives it, without relying on the installed entry
    point: one variable per channel, dimensions (segment, i, j, sample),
    loaded lazily (zudata.xarray_backend says how). `chunks={}` gives Dask
    arrays with one chunk per segment. Needs the `xarray` extra."""
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
    )
