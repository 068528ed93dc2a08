import os
import pathlib
import typing

import numpy
import numpy.typing

__all__ = ["ZuDataFIle"]

@typing.final
class ZuDataFIle:
    """Main Class for reading Zu data files."""

    @property
    def location(self) -> pathlib.Path: ...
    @property
    def header(self) -> typing.Any: ...
    def __new__(cls, location: str | os.PathLike[str] | pathlib.Path) -> ZuDataFIle:
        """Creating a new ZuDataFile, requires the location to where the file is stored."""

    def get_channel_data(
        self, name: str, segment: int, unit_type: str
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    def get_channels(self) -> list[str]: ...
    def get_channel_units(self, channel_name: str) -> list[str]: ...

class ZuHeader: ...
