"""`python -m zudata`: the `zu` command, for where its script is not on PATH."""

import sys

from .cli import command

sys.exit(command())
