"""The `zu` command described from its own parser: the manual page (zu.1)
and the documentation site's reference are both written from this walk,
so neither can list an option the command lacks or miss one it has.

    python -m zudata._clidoc > zu.1      the manual page
"""

from __future__ import annotations

import argparse
import sys
from typing import NamedTuple


class Option(NamedTuple):
    names: tuple[str, ...]  # ("-c", "--channel"), or ("FILE",) for a positional
    metavar: str | None  # None for a switch
    help: str
    default: object  # None when there is none worth telling
    required: bool
    repeatable: bool
    choices: tuple[str, ...] | None


class Command(NamedTuple):
    name: str
    summary: str
    usage: str
    options: tuple[Option, ...]
    examples: tuple[tuple[str, str], ...]


def _option(action: argparse.Action) -> Option:
    positional = not action.option_strings
    takes_value = action.nargs != 0
    metavar = action.metavar if isinstance(action.metavar, str) else None
    if takes_value and metavar is None:
        metavar = action.dest.upper()
    default = action.default
    if not takes_value or default in (None, [], argparse.SUPPRESS) or positional:
        default = None
    return Option(
        names=(metavar or action.dest,) if positional else tuple(action.option_strings),
        metavar=None if positional or not takes_value else metavar,
        help=action.help or "",
        default=default,
        required=positional or action.required,
        repeatable=isinstance(action, argparse._AppendAction) or action.nargs in ("+", "*"),
        choices=tuple(str(c) for c in action.choices) if action.choices else None,
    )


def commands() -> tuple[Command, ...]:
    from .cli import EXAMPLES, _parser

    parser = _parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    found = []
    for name, command in sub.choices.items():
        options = tuple(_option(a) for a in command._actions if not isinstance(a, argparse._HelpAction))
        usage = " ".join(command.format_usage().split())[len("usage: ") :]
        found.append(Command(name, command.description or "", usage, options, EXAMPLES[name]))
    return tuple(found)


def option_text(option: Option) -> str:
    names = ", ".join(option.names)
    return f"{names} {option.metavar}" if option.metavar else names


def option_notes(option: Option) -> list[str]:
    """What the help text leaves unsaid: choices, default, required, repeatable."""
    said = option.help.lower()
    notes = []
    if option.choices and not all(choice in said for choice in option.choices):
        notes.append("one of " + ", ".join(option.choices))
    if option.default is not None and "default" not in said:
        notes.append(f"default: {option.default}")
    if option.required and option.names[0].startswith("-"):
        notes.append("required")
    if option.repeatable and "repeatable" not in said:
        notes.append("one or more" if not option.names[0].startswith("-") else "repeatable")
    return notes


def _roff(text: str) -> str:
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def manpage() -> str:
    from . import __version__
    from .cli import EXIT_STATUSES, _parser

    lines = [
        f'.TH ZU 1 "" "zu {__version__}" "User Commands"',
        ".SH NAME",
        "zu \\- look at, check, plot and export Zu data files",
        ".SH SYNOPSIS",
    ]
    found = commands()
    for command in found:
        lines += [".PP", _roff(command.usage)]
    lines += [".SH DESCRIPTION", _roff(_parser().description or ""), ".PP", _roff(
        "A FILE may be a directory: the Zu files (*.zu) in it, in name order; -r adds those below it. "
        "python -m zudata runs the same command."
    )]
    for command in found:
        lines += [f".SH {command.name.upper()}", _roff(command.summary)]
        for option in command.options:
            notes = option_notes(option)
            help_text = option.help + (f" ({'; '.join(notes)})" if notes else "")
            lines += [".TP", f"\\fB{_roff(option_text(option))}\\fR", _roff(help_text)]
        lines += [".PP", "Examples:"]
        for line, what in command.examples:
            lines += [".PP", _roff(what) + ":", ".RS", f"\\fB{_roff(line)}\\fR", ".RE"]
    lines += [".SH EXIT STATUS"]
    for status, what in EXIT_STATUSES:
        lines += [".TP", f"\\fB{status}\\fR", _roff(what)]
    lines += [".SH SEE ALSO", _roff("python3 -c 'import zudata; help(zudata)'")]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.stdout.write(manpage())
