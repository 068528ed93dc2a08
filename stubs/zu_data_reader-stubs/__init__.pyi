import os
import pathlib
import typing

import numpy
import numpy.typing

__all__ = ["ZuDataFIle"]
__version__: str

@typing.final
class ZuDataFIle:
    """Main Class for reading Zu data files."""

    @property
    def location(self) -> pathlib.Path: ...
    @property
    def header(self) -> typing.Any:
        """The header as nested dicts of str; keys in the order of their first appearance in the header."""
    def __new__(cls, location: str | os.PathLike[str] | pathlib.Path) -> ZuDataFIle:
        """Creating a new ZuDataFile, requires the location to where the file is stored."""

    def get_channel_data(
        self, name: str, segment: int, unit_type: str
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    def get_channels(self) -> list[str]:
        """Channel names, in the order of their entries in the header."""

    def get_channel_units(self, channel_name: str) -> list[str]:
        """Unit types of the first channel in the header named `channel_name`, in header order."""

class ZuHeader: ...
