"""Output files that appear whole or not at all.

Everything is written to a temporary file beside the target and renamed
over it at the end; an error or an interruption removes the temporary file,
so no half-written output is ever left where the user asked for it.
"""

from __future__ import annotations

import contextlib
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any
from collections.abc import Iterator


if TYPE_CHECKING:
    import numpy.typing as npt

FORMATS = {".npy": "npy", ".npz": "npz", ".h5": "h5", ".hdf5": "h5"}
# The attributes an .npz keeps, each as a string array beside its array
# (with "<name>.dims", the names of its dimensions).
NPZ_ATTRS = ("unit_type", "units")


class OutputError(Exception):
    """The output file could not be written; the message names the user's
    path, never the temporary one."""


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _cannot_write(target: Path, exc: BaseException) -> OutputError:
    reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
    return OutputError(f"cannot write {target}: {reason}")


@contextlib.contextmanager
def replaced_atomically(target: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a temporary path beside `target`; renames it over `target`
    when the block ends normally and deletes it otherwise. Failures to
    create, write (OSError inside the block) or rename become OutputError."""
    import tempfile

    target = Path(target)
    try:
        fd, temp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    except OSError as exc:
        raise _cannot_write(target, exc) from None
    os.close(fd)
    try:
        try:
            yield temp
            # mkstemp makes the file private; the result gets the usual mode.
            os.chmod(temp, 0o666 & ~_umask())
            os.replace(temp, target)
        except OSError as exc:
            raise _cannot_write(target, exc) from exc
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise


def printable(name: str) -> str:
    """A file name as valid Unicode: bytes that are not UTF-8 (kept by
    Python as lone surrogates) become \\xNN escapes, one per byte."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


class ArrayWriter:
    """Adds one named array at a time to an .npy, .npz or HDF5 file."""

    def __init__(self, temp_path: str, kind: str, compression: str | None = None) -> None:
        self.kind = kind
        self._count = 0
        self._compression = compression
        self._handle: Any = None
        if kind == "npz":
            import zipfile

            # Uncompressed, like numpy.savez (the readers stay the
            # bottleneck), or deflated as numpy.savez_compressed does.
            method = zipfile.ZIP_DEFLATED if compression else zipfile.ZIP_STORED
            self._handle = zipfile.ZipFile(temp_path, "w", method, allowZip64=True)
        elif kind == "h5":
            import h5py

            self._handle = h5py.File(temp_path, "w")
        else:
            self._handle = open(temp_path, "wb")

    def add(self, name: str, values: npt.NDArray[Any], attrs: dict[str, str]) -> None:
        import numpy as np

        if self.kind == "npz":
            self._npz_member(name, values)
            # An .npz has no attributes: the unit texts are arrays of their
            # own, "<name>.unit_type" and "<name>.units".
            for key in NPZ_ATTRS:
                if key in attrs:
                    self._npz_member(f"{name}.{key}", np.array(attrs[key]))
            self._npz_member(f"{name}.dims", np.array(DIMS[-values.ndim:]))
        elif self.kind == "h5":
            dataset = self._handle.create_dataset(name, data=values, compression=self._compression)
            dataset.attrs.update(attrs)
            for axis, label in enumerate(DIMS[-values.ndim:]):
                dataset.dims[axis].label = label
        else:
            if self._count:
                raise ValueError(".npy holds one array; use .npz or .h5 for several")
            np.save(self._handle, values, allow_pickle=False)
        self._count += 1

    def _npz_member(self, name: str, values: npt.NDArray[Any]) -> None:
        import numpy as np

        values = np.ascontiguousarray(values)
        with self._handle.open(name + ".npy", "w", force_zip64=True) as member:
            # The same bytes numpy.save writes, without the copy that
            # write_array makes of the data for a stream that is not a
            # real file: the array's own memory goes to the archive.
            np.lib.format.write_array_header_1_0(member, np.lib.format.header_data_from_array_1_0(values))
            member.write(memoryview(values).cast("B"))

    def close(self) -> None:
        if self._handle is not None:
            self._handle.close()
            self._handle = None


# The dimensions of an exported array, and of a stack of them.
DIMS = ("i", "j", "sample")
STACK_DIMS = ("file", *DIMS)


class StackedWriter:
    """HDF5 with one dataset (file, i, j, sample) per channel and segment,
    named "<channel>/<segment>", grown by one row per file; the names of
    those files are the dimension scale "<channel>/<segment>_files" of its
    first axis. A file whose grid is smaller than the largest of the stack
    fills the corner [:n, :n] of its row; the rest of the row is NaN, as in
    an outer join (`padded` names those files)."""

    def __init__(self, temp_path: str, compression: str | None = None) -> None:
        import h5py

        self._h5py = h5py
        self._handle = h5py.File(temp_path, "w")
        self._compression = compression
        self._stacks: dict[str, tuple[Any, Any]] = {}
        # stack -> (file name, its grid shape) of every row
        self._rows: dict[str, list[tuple[str, tuple[int, ...]]]] = {}
        self._count = 0

    def _new_stack(self, name: str, values: npt.NDArray[Any]) -> tuple[Any, Any]:
        import numpy as np

        # Every axis may grow: a later file may have a larger grid. Space
        # never written reads as the fill value, NaN.
        data = self._handle.create_dataset(
            name, shape=(0, *values.shape), maxshape=(None,) * (values.ndim + 1), dtype=values.dtype,
            chunks=(1, *values.shape), compression=self._compression, fillvalue=np.nan,
        )
        files = self._handle.create_dataset(
            f"{name}_files", shape=(0,), maxshape=(None,), dtype=self._h5py.string_dtype("utf-8"), chunks=(256,)
        )
        files.make_scale("file")
        data.dims[0].attach_scale(files)
        for axis, label in enumerate(STACK_DIMS):
            data.dims[axis].label = label
        self._rows[name] = []
        return data, files

    def add(self, name: str, file_name: str, values: npt.NDArray[Any], unit: str, physical_unit: str | None) -> None:
        """Appends `values` as the next row of stack `name`, growing the
        stack's grid when `values` has a larger one. ValueError when its
        unit differs from the stack's first row."""
        stack = self._stacks.get(name)
        if stack is None:
            stack = self._stacks[name] = self._new_stack(name, values)
            stack[0].attrs.update(unit_attrs(unit, physical_unit))
        data, files = stack
        if values.dtype != data.dtype:
            raise ValueError(f"values of type {values.dtype}, unlike the {data.dtype} of the arrays in {name}")
        if data.attrs["unit_type"] != unit:
            raise ValueError(f"unit type {unit}, unlike the {data.attrs['unit_type']} of the arrays in {name}")
        if physical_unit is not None and data.attrs.get("units", physical_unit) != physical_unit:
            raise ValueError(f"values in {physical_unit}, unlike the {data.attrs['units']} of the arrays in {name}")
        if physical_unit is not None:
            data.attrs["units"] = physical_unit
        grown = tuple(max(have, new) for have, new in zip(data.shape[1:], values.shape, strict=True))
        row = data.shape[0]
        data.resize((row + 1, *grown))
        files.resize(row + 1, axis=0)
        data[(row, *(slice(0, n) for n in values.shape))] = values
        files[row] = file_name
        self._rows[name].append((file_name, values.shape))
        self._count += 1

    @property
    def count(self) -> int:
        return self._count

    def padded(self) -> dict[str, list[str]]:
        """stack -> the files whose rows are padded with NaN, because their
        grid is smaller than the stack's."""
        found = {}
        for name, (data, _) in self._stacks.items():
            small = [file for file, shape in self._rows[name] if shape != data.shape[1:]]
            if small:
                found[name] = small
        return found

    def close(self) -> None:
        if self._handle is not None:
            self._handle.close()
            self._handle = None


def unit_attrs(unit: str, physical_unit: str | None) -> dict[str, str]:
    """The unit type, and the physical unit as "units" when the header
    gives one (left out otherwise, never guessed)."""
    attrs = {"unit_type": unit}
    if physical_unit is not None:
        attrs["units"] = physical_unit
    return attrs


def dataset_attrs(unit: str, physical_unit: str | None, source: str, header: str | None) -> dict[str, str]:
    """The attributes of one exported array; `header` is the file's header
    as JSON text."""
    return {
        **unit_attrs(unit, physical_unit),
        "source_path": printable(source),
        "header": header if header is not None else "",
    }


def file_names(paths: list[str]) -> list[str]:
    """The name that stands for each file in the output: its file name, or
    its path below the files' common directory when names repeat."""
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) != len(names):
        absolute = [os.path.abspath(p) for p in paths]
        common = os.path.commonpath([os.path.dirname(a) for a in absolute])
        names = [os.path.relpath(a, common) for a in absolute]
    return [printable(n) for n in names]


def part_name(channel: str, segment: int) -> str:
    # HDF5 treats "/" as a group separator and "." as a reserved name.
    return f"{channel.replace('/', '_') or '_'}/{segment}"


def dataset_name(file_name: str, channel: str, segment: int) -> str:
    """"<file>/<channel>/<segment>"."""
    return f"{file_name.strip('/') or '_'}/{part_name(channel, segment)}"
