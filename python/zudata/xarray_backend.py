"""An xarray backend for Zu data files: `xarray.open_dataset(path, engine="zu")`.

A recording becomes a Dataset with one float64 variable per channel, of
dimensions (segment, i, j, sample):

- `segment`: the segment numbers that hold a square grid of traces for at
  least one of the chosen channels, ascending;
- `i`, `j`: the grid, sized to the largest grid among those channels and
  segments; `sample`: as long as the longest trace among them (100 samples
  in a full recording, fewer when every trace is short, never more, as a
  read gives no more), shorter traces padded with NaN. All three have
  integer coordinates 0, 1, 2, ...
- a scalar coordinate `file`, the file's absolute, normalised path as a
  string (`os.path.abspath`), so that `xarray.open_mfdataset(paths,
  engine="zu", combine="nested", concat_dim="file")` stacks recordings along
  a `file` dimension labelled with their paths; select one with
  `sel(file=os.path.abspath(path))` (a pathlib.Path is no label: it is not
  equal to a string). `open_mfdataset(..., errors="warn")` leaves out the
  files that fail to open, with a warning for each.

Each variable's attrs name its `channel`, its `unit_type` and its
`sample_type`, and, where the header gives one for that unit type, its
physical unit as `units` (the CF attribute pint-xarray and cf-xarray read).

Where a channel has no members in a segment, or a member count that is not a
square, that segment of the variable is all NaN; a grid smaller than the
largest fills the corner [0:n, 0:n] and the rest is NaN. Neither is an error
and neither reads anything.

Nothing is decoded when the Dataset is made: the grid comes from the ZIP
directory (`DataFile.layout()`). Indexing a variable reads, through
`DataFile.read`, only the segments the index selects, one call per segment.
With `chunks={}` the variables are Dask arrays with one chunk per segment;
`DataFile.read` releases the interpreter lock and one `DataFile` may be read
from many threads at once, so the chunks of the threaded scheduler read in
parallel and no lock is taken around a read. The store keeps one open
`DataFile`, closed by the Dataset's `close()`; a copy of the store sent to
another process (a Dask worker) opens the file again there on first use.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

import zudata
from zudata import _header
from zudata._api import value_type
from zudata._walk import TRACE_LENGTH

__all__ = ["ZuBackendEntrypoint", "open_zu_dataset"]

DIMS = ("segment", "i", "j", "sample")


def _open(location: str, storage_options: dict[str, Any] | None = None) -> Any:
    """Opens a data file; the one place the backend opens files (tests
    replace it to watch the reads). A URL is read where it lives."""
    if storage_options:
        return zudata.open(location, storage_options=storage_options)
    return zudata.open(location)


def _open_with(location: str, storage_options: dict[str, Any] | None) -> Any:
    return _open(location, storage_options) if storage_options else _open(location)


class _FileHandle:
    """One open DataFile, shared by the variables of a Dataset.

    Reads go straight to the DataFile, which is safe to read from many
    threads at once; the lock only guards opening the file again after the
    handle was unpickled in another process. Pickling keeps the location
    alone, never the open file."""

    def __init__(
        self, location: str, datafile: Any | None = None, storage_options: dict[str, Any] | None = None
    ) -> None:
        self.location = location
        self.storage_options = storage_options
        self._file = datafile
        self._closed = False
        self._opening = threading.Lock()

    def file(self) -> Any:
        datafile = self._file
        if datafile is not None:
            return datafile
        if self._closed:
            raise ValueError("I/O operation on closed file")
        with self._opening:
            if self._closed:
                raise ValueError("I/O operation on closed file")
            if self._file is None:
                self._file = _open_with(self.location, self.storage_options)
            return self._file

    def close(self) -> None:
        """Closes the file; reads running on other threads finish first
        (DataFile.close sees to that), later ones raise ValueError."""
        with self._opening:
            self._closed = True
            datafile, self._file = self._file, None
        if datafile is not None:
            datafile.close()

    def __getstate__(self) -> dict[str, Any]:
        return {"location": self.location, "storage_options": self.storage_options}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["location"], storage_options=state.get("storage_options"))  # type: ignore[misc]


class ZuBackendArray(BackendArray):
    """One channel in one unit type: shape (segments, grid, grid, samples).

    `sides[k]` is the grid side of the channel in segment `segments[k]`, or
    None when that segment has no square grid of traces (it stays NaN)."""

    def __init__(
        self,
        handle: _FileHandle,
        channel: str,
        unit: str,
        segments: list[int],
        sides: list[int | None],
        grid: int,
        samples: int,
        dtype: str = "float64",
    ) -> None:
        self.handle = handle
        self.channel = channel
        self.unit = unit
        self.segments = segments
        self.sides = sides
        self.shape = (len(segments), grid, grid, samples)
        self.dtype = np.dtype(dtype)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[np.float64]:
        return indexing.explicit_indexing_adapter(  # type: ignore[no-any-return]
            key, self.shape, indexing.IndexingSupport.OUTER, self._outer_index
        )

    def _segment_grid(self, position: int) -> npt.NDArray[np.float64]:
        """The (grid, grid, samples) values of the position-th segment."""
        grid, samples = self.shape[1], self.shape[3]
        side = self.sides[position]
        if side is None:
            return np.full(self.shape[1:], np.nan, dtype=self.dtype)
        segment = self.segments[position]
        values = self.handle.file().read(self.channel, segment, self.unit, dtype=self.dtype)
        if values.shape != (side, side, TRACE_LENGTH):
            # The Dataset's shape came from the directory when the file was
            # opened; a file replaced since then must not give misplaced values.
            raise ValueError(
                f"{self.handle.location}: channel {self.channel!r} in segment {segment} now reads as "
                f"{values.shape}, not the {(side, side, TRACE_LENGTH)} found when the file was opened"
            )
        # A read pads every trace to 100 values; the samples past the longest
        # trace of the Dataset are that padding alone, and are left out. A
        # trace longer than 100 samples fails the read above.
        if not np.isnan(values[..., samples:]).all():
            raise ValueError(
                f"{self.handle.location}: channel {self.channel!r} in segment {segment} now has traces longer "
                f"than the {samples} samples found when the file was opened"
            )
        values = values[..., :samples]
        if side == grid:
            return values  # type: ignore[no-any-return]
        padded = np.full(self.shape[1:], np.nan, dtype=self.dtype)
        padded[:side, :side] = values
        return padded

    def _outer_index(self, key: tuple[Any, ...]) -> npt.NDArray[np.float64]:
        """Outer indexing: each element of `key` (an int, a slice or a 1-d
        integer array) selects along its own axis. Only the segments the
        first element selects are read."""
        positions = np.arange(self.shape[0])[key[0]]
        if positions.ndim == 0:
            return _outer(self._segment_grid(int(positions)), key[1:])
        parts = [_outer(self._segment_grid(int(p)), key[1:]) for p in positions]
        if not parts:
            return np.empty((0, *_outer(np.empty(self.shape[1:]), key[1:]).shape), dtype=self.dtype)
        return np.stack(parts)


def _outer(values: npt.NDArray[np.float64], key: tuple[Any, ...]) -> npt.NDArray[np.float64]:
    """`values` indexed axis by axis (NumPy would pair up several array
    indexers instead of taking their outer product)."""
    axis = 0
    for k in key:
        values = values[(slice(None),) * axis + (k,)]
        if not isinstance(k, (int, np.integer)):
            axis += 1
    return values


def _choose_channels(datafile: Any, channels: str | Iterable[str] | None, drop: set[str]) -> list[str]:
    # A name listed twice in the header is one channel (reads go by name).
    present = list(dict.fromkeys(datafile.channels()))
    if channels is None:
        chosen = present
    else:
        chosen = [channels] if isinstance(channels, str) else list(dict.fromkeys(channels))
        unknown = [c for c in chosen if c not in present]
        if unknown:
            raise zudata.UnknownChannelError(unknown[0], present)
    return [c for c in chosen if c not in drop]


def _choose_units(datafile: Any, chosen: list[str], units: str | Mapping[str, str] | None) -> dict[str, str]:
    """channel -> unit type, checked against each channel's unit types."""
    if units is None:
        wanted: dict[str, str | None] = dict.fromkeys(chosen)
    elif isinstance(units, str):
        wanted = dict.fromkeys(chosen, units)
    else:
        present = datafile.channels()
        stray = [c for c in units if c not in present]
        if stray:
            raise zudata.UnknownChannelError(stray[0], present)
        wanted = {c: units.get(c) for c in chosen}
    result = {}
    for channel, unit in wanted.items():
        if unit is None:
            result[channel] = datafile.base_unit(channel)
            continue
        known = datafile.units(channel)
        base = datafile.base_unit(channel)
        if unit not in known and unit != base:
            raise zudata.UnknownUnitError(channel, unit, known, base)
        result[channel] = unit
    return result


def _square_sides(layout: Mapping[int, Any]) -> dict[int, int]:
    """segment -> grid side, for the segments whose trace count is a square."""
    return {segment: entry.side for segment, entry in layout.items() if entry.side is not None}


def _longest_trace(layout: Mapping[str, Mapping[int, Any]], chosen: list[str], segments: list[int]) -> int:
    """The samples of the longest trace among the square grids of `chosen`
    in `segments`: the length of the Dataset's `sample` dimension."""
    parts = (layout.get(c, {}).get(s) for c in chosen for s in segments)
    longest = max((part.samples for part in parts if part is not None and part.side is not None), default=0)
    # The lengths are what the directory claims, and a read gives at most
    # TRACE_LENGTH values a trace (a longer trace fails it): a small file
    # claiming a 4 GiB member must not have the Dataset build an 8 GB
    # `sample` coordinate.
    return min(longest, TRACE_LENGTH)


def _choose_segments(sides: dict[str, dict[int, int]], segments: int | Iterable[int] | None) -> list[int]:
    present = sorted(set().union(*sides.values())) if sides else []
    if segments is None:
        return present
    wanted = sorted({int(s) for s in ([segments] if isinstance(segments, (int, np.integer)) else segments)})
    missing = [s for s in wanted if s not in present]
    if missing:
        error = zudata.UnknownSegmentError(", ".join(sides), missing[0], present)
        listed = ", ".join(map(str, present)) or "(none)"
        error.args = (
            f"no chosen channel has a square grid of traces in segment {missing[0]}; "
            f"the segments where one has are {listed}",
        )
        raise error
    return wanted


def _dataset_attrs(datafile: Any, location: str) -> dict[str, Any]:
    header = datafile.header
    attrs = {key: value for key, value in header.items() if isinstance(value, str)}
    attrs["source"] = location
    # Written without recursion: a hostile header nests deeper than the
    # json module can go.
    attrs["header"] = _header.to_json(header, indent=None, sort_keys=True, ensure_ascii=True)
    return attrs


def open_zu_dataset(
    location: str | os.PathLike[str],
    *,
    units: str | Mapping[str, str] | None = None,
    channels: str | Iterable[str] | None = None,
    segments: int | Iterable[int] | None = None,
    drop_variables: str | Iterable[str] | None = None,
    storage_options: dict[str, Any] | None = None,
    dtype: npt.DTypeLike = None,
) -> xr.Dataset:
    """The Dataset of one data file, lazily backed (see the module docstring).

    `units`: one unit type for every channel, or channel -> unit type
    (channels not named keep their base unit type). `channels` and
    `segments` narrow the Dataset; a channel, unit type or segment that the
    file does not have raises the matching `zudata.RequestError`.
    `drop_variables` leaves out channels (or the `file` coordinate).
    `dtype`: float64 (None) or float32, as zudata.DataFile.read takes it.
    """
    dtype_name = value_type(dtype)
    location = os.fspath(location)
    drop = {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ())
    datafile = _open_with(location, storage_options)
    try:
        chosen = _choose_channels(datafile, channels, drop)
        unit_of = _choose_units(datafile, chosen, units)
        layout = datafile.layout()
        sides = {channel: _square_sides(layout.get(channel, {})) for channel in chosen}
        segment_list = _choose_segments(sides, segments)
        grid = max((sides[c].get(s, 0) for c in chosen for s in segment_list), default=0)
        samples = _longest_trace(layout, chosen, segment_list)
        handle = _FileHandle(location, datafile, storage_options)
        data_vars = {}
        for channel in chosen:
            segment_sides = [sides[channel].get(s) for s in segment_list]
            array = ZuBackendArray(
                handle, channel, unit_of[channel], segment_list, segment_sides, grid, samples, dtype_name
            )
            attrs = {"channel": channel, "unit_type": unit_of[channel]}
            # CF's "units" is the physical unit; a header that gives none
            # leaves it out rather than have the unit type's name pass for one.
            physical = datafile.physical_unit(channel, unit_of[channel])
            if physical is not None:
                attrs["units"] = physical
            attrs["sample_type"] = datafile.sample_type(channel)
            encoding = {"preferred_chunks": {"segment": 1, "i": grid, "j": grid, "sample": samples}}
            data_vars[channel] = xr.Variable(DIMS, indexing.LazilyIndexedArray(array), attrs, encoding)
        coords: dict[str, Any] = {
            "segment": ("segment", np.array(segment_list, dtype=np.int64)),
            "i": ("i", np.arange(grid)),
            "j": ("j", np.arange(grid)),
            "sample": ("sample", np.arange(samples)),
        }
        if "file" not in drop:
            coords["file"] = ((), file_label(location))
        dataset = xr.Dataset(data_vars, coords, attrs=_dataset_attrs(datafile, location))
    except BaseException:
        datafile.close()
        raise
    dataset.set_close(handle.close)
    return dataset


def file_label(location: str | os.PathLike[str]) -> str:
    """The `file` coordinate of a location: its absolute, normalised path as
    a string (os.path.abspath), the form xarray.open_mfdataset hands its
    files on in, so that one file has one label however it was named."""
    return os.path.abspath(os.fspath(location))


def _looks_like_zu(location: str) -> bool:
    """A ZIP archive that opens as a data file, header member included: the
    end of the file, the archive directory and the header are read, no
    channel member."""
    try:
        _open(location).close()
    except (OSError, ValueError, LookupError):
        return False
    return True


class ZuBackendEntrypoint(BackendEntrypoint):
    """`engine="zu"`: Zu data files as Datasets of (segment, i, j, sample)
    variables, one per channel."""

    description = "Zu data files (ZIP recordings of channel traces) through zudata"
    open_dataset_parameters = (
        "filename_or_obj",
        "drop_variables",
        "units",
        "channels",
        "segments",
        "storage_options",
        "dtype",
    )

    def open_dataset(
        self,
        filename_or_obj: str | os.PathLike[Any] | Any,
        *,
        drop_variables: str | Iterable[str] | None = None,
        units: str | Mapping[str, str] | None = None,
        channels: str | Iterable[str] | None = None,
        segments: int | Iterable[int] | None = None,
        storage_options: dict[str, Any] | None = None,
        dtype: npt.DTypeLike = None,
    ) -> xr.Dataset:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(f"engine 'zu' opens files by path or URL, not {type(filename_or_obj).__name__}")
        return open_zu_dataset(
            filename_or_obj,
            units=units,
            channels=channels,
            segments=segments,
            drop_variables=drop_variables,
            storage_options=storage_options,
            dtype=dtype,
        )

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        location = os.fspath(filename_or_obj)
        if not isinstance(location, str):
            return False
        if location.lower().endswith(".zu"):
            return True
        return _looks_like_zu(location)
