"""Type-checked by scripts/test.sh with `mypy --strict`, never executed.

The assertions hold only when mypy reads zudata's own annotations and the
stub of its native part from the installed wheel (py.typed).
"""

import os
import pathlib
from typing import Any, assert_type

import numpy
import numpy.typing

import zudata


def use_api(path: str, like: os.PathLike[str]) -> None:
    assert_type(zudata.__version__, str)
    with zudata.open(path) as data_file:
        assert_type(data_file, zudata.DataFile)
        assert_type(data_file.location, pathlib.Path)
        assert_type(data_file.header, dict[str, Any])
        assert_type(data_file.closed, bool)
        assert_type(data_file.channels(), list[str])
        assert_type(data_file.units("height"), list[str])
        assert_type(data_file.base_unit("height"), str)
        assert_type(data_file.sample_type("height"), str)
        assert_type(data_file.read("height", 0), numpy.typing.NDArray[numpy.floating[Any]])
        assert_type(data_file.read("height", 0, "distance"), numpy.typing.NDArray[numpy.floating[Any]])
        layout = data_file.layout()
        assert_type(layout, dict[str, dict[int, zudata.SegmentLayout]])
        assert_type(layout["height"][0].side, int | None)
    assert_type(zudata.open(like), zudata.DataFile)


def handle(error: zudata.FormatError, request: zudata.RequestError) -> None:
    assert_type(error.filename, Any)
    assert isinstance(request, LookupError)


def misuse(data_file: zudata.DataFile) -> None:
    zudata.open(b"/tmp/file")  # type: ignore[arg-type]
    data_file.read("height", "0")  # type: ignore[arg-type]
    data_file.location = pathlib.Path("x")  # type: ignore[misc]
