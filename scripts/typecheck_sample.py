"""Type-checked by scripts/test.sh with `mypy --strict`, never executed.

Every assertion here holds only when mypy resolves zu_data_reader to the
stubs installed with the wheel: with no stubs the import is an error, and
with imprecise ones the `assert_type` calls or the expected-error ignores
(unused ignores are errors under --strict) fail.
"""

import os
import pathlib
from typing import Any, assert_type

import numpy
import numpy.typing

import zu_data_reader
from zu_data_reader import ZuDataFIle


def use_api(path: str, as_path: pathlib.Path, like: os.PathLike[str]) -> None:
    data_file = zu_data_reader.ZuDataFIle(path)
    assert_type(data_file, ZuDataFIle)
    assert_type(ZuDataFIle(as_path), ZuDataFIle)
    assert_type(ZuDataFIle(like), ZuDataFIle)

    assert_type(data_file.location, pathlib.Path)
    assert_type(data_file.header, Any)
    assert_type(data_file.get_channels(), list[str])
    assert_type(data_file.get_channel_units("height"), list[str])
    values = data_file.get_channel_data("height", 0, "distance")
    assert_type(values, numpy.typing.NDArray[numpy.float64])
    by_keyword = data_file.get_channel_data(name="h", segment=1, unit_type="volts")
    assert_type(by_keyword, numpy.typing.NDArray[numpy.float64])


def misuse(data_file: ZuDataFIle) -> None:
    ZuDataFIle(b"/tmp/file")  # type: ignore[arg-type]
    data_file.get_channel_data("height", "0", "volts")  # type: ignore[arg-type]
    data_file.get_channel_units()  # type: ignore[call-arg]
    data_file.location = pathlib.Path("x")  # type: ignore[misc]


class Derived(ZuDataFIle):  # type: ignore[misc]
    pass
