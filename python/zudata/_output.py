"""Output files that appear whole or not at all.

Everything is written to a temporary file beside the target and renamed
over it at the end; an error or an interruption removes the temporary file,
so no half-written output is ever left where the user asked for it.
"""

from __future__ import annotations

import contextlib
import json
import os
import tempfile
import zipfile
from pathlib import Path
from typing import Any
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

FORMATS = {".npy": "npy", ".npz": "npz", ".h5": "h5", ".hdf5": "h5"}


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def replaced_atomically(target: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a temporary path beside `target`; renames it over `target`
    when the block ends normally and deletes it otherwise."""
    target = Path(target)
    fd, temp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    os.close(fd)
    try:
        yield temp
        # mkstemp makes the file private; the result gets the usual mode.
        os.chmod(temp, 0o666 & ~_umask())
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise


class ArrayWriter:
    """Adds one named array at a time to an .npy, .npz or HDF5 file."""

    def __init__(self, temp_path: str, kind: str) -> None:
        self.kind = kind
        self._count = 0
        self._handle: Any = None
        if kind == "npz":
            # Uncompressed, like numpy.savez: the readers stay the bottleneck.
            self._handle = zipfile.ZipFile(temp_path, "w", zipfile.ZIP_STORED, allowZip64=True)
        elif kind == "h5":
            import h5py

            self._handle = h5py.File(temp_path, "w")
        else:
            self._handle = open(temp_path, "wb")

    def add(self, name: str, values: npt.NDArray[np.float64], attrs: dict[str, str]) -> None:
        if self.kind == "npz":
            values = np.ascontiguousarray(values)
            with self._handle.open(name + ".npy", "w", force_zip64=True) as member:
                # The same bytes numpy.save writes, without the copy that
                # write_array makes of the data for a stream that is not a
                # real file: the array's own memory goes to the archive.
                np.lib.format.write_array_header_1_0(member, np.lib.format.header_data_from_array_1_0(values))
                member.write(memoryview(values).cast("B"))
        elif self.kind == "h5":
            dataset = self._handle.create_dataset(name, data=values)
            dataset.attrs.update(attrs)
        else:
            if self._count:
                raise ValueError(".npy holds one array; use .npz or .h5 for several files")
            np.save(self._handle, values, allow_pickle=False)
        self._count += 1

    def close(self) -> None:
        if self._handle is not None:
            self._handle.close()
            self._handle = None


def dataset_attrs(unit: str, source: str, header: Any) -> dict[str, str]:
    return {
        "unit_type": unit,
        "source_path": source,
        "header": json.dumps(header, sort_keys=True, ensure_ascii=False),
    }


def dataset_names(paths: list[str], channel: str, segment: int) -> list[str]:
    """"<file>/<channel>/<segment>" per file; <file> is the file name, or
    the path below the files' common directory when names repeat."""
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) != len(names):
        absolute = [os.path.abspath(p) for p in paths]
        common = os.path.commonpath([os.path.dirname(a) for a in absolute])
        names = [os.path.relpath(a, common) for a in absolute]
    # HDF5 treats "/" as a group separator and "." as a reserved name.
    return [f"{n.strip('/') or '_'}/{channel.replace('/', '_') or '_'}/{segment}" for n in names]
