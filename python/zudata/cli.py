"""The `zu` command: look at, check, plot and export Zu data files.

    zu info FILE... [--json] [--jobs N]
    zu header FILE... [--key A.B.C]... [--json]
    zu check FILE... [--jobs N] [--quiet]
    zu plot FILE -c CHANNEL -s SEGMENT [-u UNIT] [--stat STAT] [--trace I,J]... -o MAP.{png,pdf,svg,...}
    zu export FILE... -c CHANNEL... -s SEGMENT...|all [-u UNIT]... -o OUT.{npy,npz,h5}
              [--jobs N | --dask ADDRESS [--dask-timeout S]] [--dtype float32] [--stack] [--compression gzip]

A FILE may be a directory: the Zu files (*.zu) in it, in name order; -r
adds those below it. A FILE may also be a URL (https://, s3://, any fsspec
filesystem's); --storage-options JSON passes options to its filesystem.
--jobs 0 works on one file per core.

Exit status: 0 when everything worked, 1 when a file failed, 2 for a usage
error, 130 / 143 when interrupted by SIGINT / SIGTERM; a closed pipe on
standard output ends the command as SIGPIPE ends other tools.
"""

from __future__ import annotations

import argparse
import errno
import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any, NamedTuple
from collections.abc import Sequence

from . import _header, _output, _walk
from ._api import read_stop
from ._progress import Progress
from ._reader import StopFlag
from ._run import Interrupted, Outcome, check_stop, describe_error, forget_stop, request_stop, run_tasks
from ._tasks import Catalogue, Selection, catalogue, check_file, read_selections, unmet

EXIT_FAILED = 1
EXIT_USAGE = 2

# What each exit status means, and examples of each command: `zu --help`,
# the manual page and the documentation site are all written from these
# and from the parser below.
EXIT_STATUSES = (
    (0, "everything worked"),
    (EXIT_FAILED, "a file failed (it could not be read, or lacks what was asked), or the output could not be written"),
    (EXIT_USAGE, "usage error: a bad option or argument, or a request no file can answer"),
    (130, "interrupted by SIGINT (Ctrl-C); any partial output is removed"),
    (143, "terminated by SIGTERM; any partial output is removed"),
)

EXAMPLES = {
    "info": (
        ("zu info scan.zu", "grid, segments, channels and unit types of one file"),
        ("zu info scans --json --jobs 0", "every *.zu in scans as JSON, a thread per core"),
    ),
    "header": (
        ("zu header scan.zu", "the whole header as sorted key=value lines"),
        ("zu header scans --key force-settings.spring-constant", "one value per file, as a table"),
    ),
    "check": (("zu check scans -r --quiet", "read every segment of every Zu file in scans and below; list failures"),),
    "plot": (
        (
            "zu plot scan.zu -c vDeflection -s 0 -u force --stat max --trace 0,0 -o map.png",
            "map of the maximum force per position, with the trace at row 0, column 0",
        ),
    ),
    "export": (
        (
            "zu export scans -c height -s 0 -u distance -o heights.npz",
            "segment 0 of height from every file, one array each",
        ),
        (
            "zu export scans -c height -s all -o stack.h5 --stack --jobs 2",
            "one (file, i, j, sample) dataset per channel and segment",
        ),
    ),
}


def _epilog(command: str | None) -> str:
    """The examples (and, for `zu` itself, the exit statuses) under --help."""
    if command is None:
        pairs = [pair for examples in EXAMPLES.values() for pair in examples[:1]]
    else:
        pairs = list(EXAMPLES[command])
    lines = ["examples:"] + [f"  {line}\n      {what}" for line, what in pairs]
    lines += ["", "exit status:"] + [f"  {status:<4}{what}" for status, what in EXIT_STATUSES]
    return "\n".join(lines)

# --dask-timeout counts from here, close to the start of the process; the
# command needs a moment after giving up to exit.
_STARTED = time.monotonic()
_EXIT_MARGIN = 1.0


class _NoFiles(Exception):
    """The directories named hold no Zu file, and no file was named."""


class _StdoutError(Exception):
    """Standard output cannot take our output (a full disk, /dev/full)."""


def _say(text: str) -> None:
    if sys.stdout is None:
        # Started with descriptor 1 closed: said as other tools say it.
        raise _StdoutError(os.strerror(errno.EBADF))
    try:
        print(text, file=sys.stdout)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise _StdoutError(describe_error(exc)) from None


def _warn(text: str) -> None:
    print(f"zu: {text}", file=sys.stderr, flush=True)


def _files(args: argparse.Namespace) -> list[str]:
    """The FILE arguments with each directory replaced by the Zu files
    (*.zu) in it, in name order, and with -r those of its subdirectories
    too (each directory's files before its subdirectories'), repeats of a
    file under another spelling left out."""
    paths: list[str] = []
    for path in args.files:
        if not os.path.isdir(path):
            paths.append(path)
            continue
        found = _zu_files_in(path, args.recursive)
        if not found:
            _warn(f"{path}: a directory without Zu files (*.zu){'' if args.recursive else '; -r looks below it'}")
        paths += found
    if not paths:
        raise _NoFiles
    return _unique(paths)


def _zu_files_in(directory: str, recursive: bool) -> list[str]:
    found = []
    for top, subdirectories, names in os.walk(directory, onerror=lambda exc: _warn(_path_error(exc))):
        subdirectories.sort()
        if not recursive:
            subdirectories.clear()
        found += [os.path.join(top, n) for n in sorted(names) if n.lower().endswith(".zu")]
    return [p for p in found if not os.path.isdir(p)]


def _path_error(exc: OSError) -> str:
    return f"{exc.filename}: {describe_error(exc)}" if exc.filename else describe_error(exc)


def _unique(paths: Sequence[str]) -> list[str]:
    """`paths` without repeats of one file under another spelling
    (./a.zu, a.zu, a symbolic link to it); the first spelling is kept.
    Hard links stay separate files."""
    seen: set[str] = set()
    kept = []
    for path in paths:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            kept.append(path)
    return kept


def _open(path: str, storage_options: dict[str, Any] | None) -> Any:
    from . import open as open_data_file

    return open_data_file(path, storage_options=storage_options)


def _fact(read: Any, *args: Any) -> Any:
    """One fact about a channel, or None when the header does not hold it."""
    try:
        return read(*args)
    except (LookupError, OSError):
        return None


# --- info -----------------------------------------------------------------


def _describe(path: str, storage_options: dict[str, Any] | None) -> Outcome:
    info: dict[str, Any] = {"path": path}
    try:
        with _open(path, storage_options) as data_file:
            header = data_file.header
            channels = list(dict.fromkeys(data_file.channels()))
            layout = data_file.layout()
            described = [
                {
                    "name": c,
                    "sample_type": _fact(data_file.sample_type, c),
                    "base_unit": _fact(data_file.base_unit, c),
                    "units": sorted(_fact(data_file.units, c) or []),
                    "traces": {str(s): part.traces for s, part in layout.get(c, {}).items()},
                    "samples": {str(s): [part.shortest, part.samples] for s, part in layout.get(c, {}).items()},
                }
                for c in sorted(channels)
            ]
    except Exception as exc:
        info["error"] = describe_error(exc)
        return Outcome(value=info)
    sizes = {part.traces for per_channel in layout.values() for part in per_channel.values()}
    info["grid"] = _walk.grid_side(sizes.pop()) if len(sizes) == 1 else None
    info["segments"] = sorted({s for per_channel in layout.values() for s in per_channel})
    info["listed_segments"] = _walk.listed_segments(header)
    info["channels"] = described
    return Outcome(value=info)


def _print_info(info: dict[str, Any]) -> None:
    _say(info["path"])
    if "error" in info:
        _say(f"  error     {info['error']}")
        return
    n = info["grid"]
    if n is not None:
        _say(f"  grid      {n} x {n} ({n * n} traces per channel and segment)")
    else:
        _say("  grid      none: the channels and segments do not all hold the same square number of traces")
    segments = ", ".join(map(str, info["segments"])) or "none"
    listed = ", ".join(map(str, info["listed_segments"])) or "none"
    _say(f"  segments  {segments} (header lists {listed})")
    _say("  channels")
    for c in info["channels"]:
        traces = " ".join(f"{s}:{k}" for s, k in c["traces"].items()) or "none"
        base = c["base_unit"] if c["base_unit"] is not None else "unknown"
        _say(f"    {c['name']}")
        _say(f"      sample type  {c['sample_type'] if c['sample_type'] is not None else 'unknown'}")
        _say(f"      unit types   {base} (base); {', '.join(c['units']) or 'no conversions'}")
        _say(f"      traces       {traces}  (segment:count)")
        _say(f"      samples      {_lengths(c['samples'])}  (segment:samples per trace, shortest-longest)")


def _lengths(samples: dict[str, list[int]]) -> str:
    """segment:samples per segment, a range where the traces differ."""
    said = (f"{s}:{low}" if low == high else f"{s}:{low}-{high}" for s, (low, high) in samples.items())
    return " ".join(said) or "none"


def _cmd_info(args: argparse.Namespace) -> int:
    infos = []
    for _, outcome in run_tasks(_describe, _files(args), (args.storage_options,), jobs=args.jobs):
        infos.append(outcome.value)
        if not args.json:
            _print_info(outcome.value)
    if args.json:
        _say(_header.to_json(infos))
    return EXIT_FAILED if any("error" in i for i in infos) else 0


# --- header ---------------------------------------------------------------


def _read_header(path: str, storage_options: dict[str, Any] | None) -> Outcome:
    try:
        with _open(path, storage_options) as data_file:
            return Outcome(value=data_file.header)
    except Exception as exc:
        return Outcome(error=describe_error(exc))


def _cell(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _values(path: str, header: dict[str, Any], keys: list[str]) -> tuple[dict[str, Any], bool]:
    """The value (or group) at each dotted key, None where it is missing,
    and whether every key was there (each missing one is reported)."""
    values: dict[str, Any] = {}
    complete = True
    for key in keys:
        try:
            values[key] = _header.lookup(header, key)
        except KeyError:
            _warn(f"{path}: no key {key}{_nearest_keys(header, key)}")
            values[key] = None
            complete = False
    return values, complete


_MAX_KEYS_COMPARED = 50_000


def _nearest_keys(header: dict[str, Any], key: str) -> str:
    """"; nearest: a, b" naming the header's keys (or groups of keys) most
    like a misspelt one, or "" when none is close."""
    import difflib

    # Keys and groups as deep as the one asked for (a deeper prefix cannot
    # be its spelling).
    depth = key.count(".") + 1
    known: set[str] = set()
    for dotted, _ in _header.flatten(header):
        known.add(".".join(dotted.split(".", depth)[:depth]))
        if len(known) > _MAX_KEYS_COMPARED:
            break  # a hostile header must not make a typo cost minutes
    nearest = difflib.get_close_matches(key, known, n=3, cutoff=0.6)
    return f"; nearest: {', '.join(nearest)}" if nearest else ""


def _table_row(path: str, values: dict[str, Any]) -> bool:
    """Prints one row of the --key table; False when a key names a group."""
    cells = []
    complete = True
    for key, value in values.items():
        if isinstance(value, dict):
            _warn(f"{path}: {key} is a group of keys, not one value (--json shows it)")
            complete = False
            value = None
        cells.append("" if value is None else _cell(value))
    _say("\t".join([_cell(path), *cells]))
    return complete


def _cmd_header(args: argparse.Namespace) -> int:
    paths = _files(args)
    keys = list(dict.fromkeys(args.key))
    status = 0
    rows: list[dict[str, Any]] = []
    if keys and not args.json:
        _say("\t".join(["file", *(_cell(k) for k in keys)]))
    for path, outcome in run_tasks(_read_header, paths, (args.storage_options,)):
        if outcome.error is not None:
            _warn(f"{path}: {outcome.error}")
            status = EXIT_FAILED
            rows.append({"path": path, "error": outcome.error})
            continue
        header = outcome.value
        if keys:
            values, complete = _values(path, header, keys)
            if args.json:
                rows.append({"path": path, "values": values})
            else:
                complete = _table_row(path, values) and complete
            status = status if complete else EXIT_FAILED
        elif args.json:
            rows.append({"path": path, "header": header})
        else:
            prefix = f"{path}:" if len(paths) > 1 else ""
            for key, value in sorted(_header.flatten(header)):
                _say(f"{prefix}{key}={value}")
    if args.json:
        if len(paths) == 1 and not keys and "header" in rows[0]:
            _say(_header.to_json(rows[0]["header"], sort_keys=True))
        elif rows and not (len(paths) == 1 and "error" in rows[0]):
            _say(_header.to_json(rows))
    return status


# --- check ----------------------------------------------------------------


def _cmd_check(args: argparse.Namespace) -> int:
    paths = _files(args)
    failed = 0
    with Progress(len(paths), sys.stderr.isatty(), "checking") as bar:
        for path, outcome in run_tasks(check_file, paths, (args.storage_options,), jobs=args.jobs):
            bar.advance(outcome.traces)
            if outcome.error is None:
                if not args.quiet:
                    summary = outcome.value
                    _say(
                        f"OK    {path}  ({summary['channels']} channels, {len(summary['segments'])} segments, "
                        f"{outcome.traces} traces)"
                    )
            else:
                failed += 1
                _say(f"FAIL  {path}  {outcome.error}")
    if len(paths) > 1 or args.quiet:
        _say(f"{len(paths) - failed} of {len(paths)} files OK")
    return EXIT_FAILED if failed else 0


# --- plot -----------------------------------------------------------------


def _position(text: str) -> tuple[int, int]:
    try:
        i, j = (int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected I,J (two integers), got {text!r}") from None
    return i, j


def _size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels, got {text!r}") from None
    if not (100 <= width <= 10000 and 100 <= height <= 10000):
        raise argparse.ArgumentTypeError("width and height must be between 100 and 10000 pixels")
    return width, height


def _stat(text: str) -> str:
    from . import _plot

    try:
        return _plot.parse_stat(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _cmd_plot(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from . import _plot

    try:
        image_type = _plot.image_format(args.output)
    except ValueError as exc:
        parser.error(f"-o {args.output}: {exc}")
    try:
        with _open(args.file, args.storage_options) as data_file:
            values = data_file.read(args.channel, args.segment, args.unit)
            missing = _plot.missing_sample(args.stat, data_file.layout().get(args.channel, {}).get(args.segment))
            unit_type = args.unit if args.unit is not None else data_file.base_unit(args.channel)
            unit = _plot.unit_label(unit_type, data_file.physical_unit(args.channel, unit_type))
    except Exception as exc:
        _warn(f"{args.file}: {describe_error(exc)}")
        return EXIT_FAILED
    check_stop()
    if missing is not None:
        _warn(f"{args.file}: segment {args.segment} of {args.channel} {missing}")
        return EXIT_USAGE
    n = values.shape[0]
    outside = [f"{i},{j}" for i, j in args.trace if not (0 <= i < n and 0 <= j < n)]
    if outside:
        _warn(f"--trace {' '.join(outside)}: outside the {n} x {n} grid (I and J run from 0 to {n - 1})")
        return EXIT_USAGE
    size = args.size or ((1400, 600) if args.trace else (800, 600))
    title = f"{_output.printable(Path(args.file).name)}: {args.channel}, segment {args.segment}"
    with _output.replaced_atomically(args.output) as temp:
        warning = _plot.draw_map(
            temp, image_type, values, stat=args.stat, unit=unit, title=title, traces=args.trace, size=size
        )
        check_stop()
    if warning:
        _warn(f"{args.file}: {warning}")
    _say(f"wrote {args.output}: {n} x {n} map of {args.stat} in {unit}, {size[0]} x {size[1]} pixels")
    return 0


# --- export ---------------------------------------------------------------


class _NothingToWrite(Exception):
    pass


def _selections(args: argparse.Namespace, parser: argparse.ArgumentParser) -> tuple[Selection, ...]:
    channels = list(dict.fromkeys(args.channel))
    units = args.unit or []
    if len(units) > 1 and len(units) != len(args.channel):
        parser.error("give -u once (for every channel) or once per -c, in the same order")
    if len(units) > 1:
        pairs = list(dict.fromkeys(zip(args.channel, units, strict=True)))
    else:
        pairs = [(c, units[0] if units else None) for c in channels]
    segments: list[int | None] = [None] if "all" in args.segment else list(dict.fromkeys(args.segment))
    return tuple(Selection(c, s, u) for c, u in pairs for s in segments)


def _cmd_export(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    kind = _output.FORMATS.get(Path(args.output).suffix.lower())
    if kind is None:
        parser.error(f"-o {args.output}: the name must end in .npy, .npz, .h5 or .hdf5")
    selections = _selections(args, parser)
    paths = _files(args)
    if kind == "npy" and (len(paths) > 1 or len(selections) > 1 or selections[0].segment is None):
        parser.error(".npy holds one array: one file, one channel, one segment; use .npz or .h5 for more")
    if kind != "h5" and args.stack:
        parser.error("--stack is for HDF5 output (.h5)")
    if kind == "npy" and args.compression:
        parser.error("--compression is for .npz (gzip) and HDF5 output (.h5)")
    if kind == "npz" and args.compression not in (None, "gzip"):
        parser.error(f"--compression {args.compression} is for HDF5 output; .npz takes gzip (as savez_compressed)")
    if kind == "h5":
        import h5py  # noqa: F401  (fail before reading anything)
    checked = _check_request(paths, selections, args.jobs, args.storage_options)
    if checked.usage is not None:
        _warn(checked.usage)
        return EXIT_USAGE
    client = None
    if args.dask:
        client = _connect(args.dask, args.dask_timeout)
    try:
        return _export(args, kind, checked, selections, client)
    finally:
        if client is not None:
            client.close(timeout=10)


def _sent(path: str) -> str:
    """What a read task is given for `path`, and the key of its skipped
    selections: a cluster's workers do not share our working directory, so
    a local path is made absolute; a URL stays as it is (each worker opens
    it itself)."""
    return path if "://" in path else os.path.abspath(path)


class _Checked(NamedTuple):
    """A request checked against every file's catalogue: the files that
    open, the positions of the selections each cannot answer (by `_sent`
    path), the failures found so far as (path, cause), and the usage error
    when no file can answer some selection."""

    paths: list[str]
    skipped: dict[str, frozenset[int]]
    failures: list[tuple[str, str]]
    usage: str | None


def _check_request(
    paths: list[str], selections: tuple[Selection, ...], jobs: int, storage_options: dict[str, Any] | None
) -> _Checked:
    """Checks every selection against every file's catalogue (header and
    directory; nothing decoded) before anything is read, so that a request
    no file can answer is one usage error, not one error per file."""
    catalogues: dict[str, Catalogue] = {}
    failures: list[tuple[str, str]] = []
    with Progress(len(paths), sys.stderr.isatty(), "checking") as bar:
        for path, outcome in run_tasks(catalogue, paths, (storage_options,), jobs=jobs):
            bar.advance(0)
            if outcome.error is not None:
                failures.append((path, outcome.error))
            else:
                catalogues[path] = outcome.value
    skipped: dict[str, set[int]] = {}
    for position, selection in enumerate(selections):
        causes = {path: unmet(selection, found) for path, found in catalogues.items()}
        if catalogues and all(causes.values()):
            return _Checked([], {}, failures, _nobody_has(selection, list(catalogues.values())))
        for path, cause in causes.items():
            if cause is not None:
                skipped.setdefault(_sent(path), set()).add(position)
                failures.append((path, cause))
    readable = [p for p in paths if p in catalogues]
    return _Checked(readable, {p: frozenset(s) for p, s in skipped.items()}, failures, None)


def _nobody_has(selection: Selection, catalogues: list[Catalogue]) -> str:
    """The usage error for a selection that no file can answer, naming what
    the files have instead."""
    channel, segment, unit = selection
    asked = f"channel {channel!r}, {'every segment' if segment is None else f'segment {segment}'}"
    asked += f", unit type {unit!r}" if unit is not None else ""
    having = [c for c in catalogues if channel in c.units]
    if not having:
        channels = sorted({name for c in catalogues for name in c.units})
        return f"no file has {asked}: no file has that channel; the files' channels are {_listing(channels)}"
    units = [c.units[channel] for c in having]
    if unit is not None and all(u is not None and unit not in u for u in units):
        known = sorted({name for u in units if u is not None for name in u})
        return f"no file has {asked}: the channel's unit types are {_listing(known)}"
    segments = sorted({s for c in having for s in c.segments[channel]})
    return f"no file has {asked}: the channel has traces in segments {_listing(segments)}"


def _listing(items: list[Any]) -> str:
    return ", ".join(repr(i) if isinstance(i, str) else str(i) for i in items) or "(none)"


# Files named when many share one cause.
_NAMED_IN_A_GROUP = 3


def _report_failures(failures: list[tuple[str, str]]) -> None:
    """Says each cause once, in the order first met: for one file as
    "path: cause", for several with their count and the first few names."""
    by_cause: dict[str, list[str]] = {}
    for path, cause in failures:
        by_cause.setdefault(cause, []).append(path)
    for cause, paths in by_cause.items():
        paths = list(dict.fromkeys(paths))
        if len(paths) == 1:
            _warn(f"{paths[0]}: {cause}")
            continue
        named = ", ".join(paths[:_NAMED_IN_A_GROUP])
        more = f" and {len(paths) - _NAMED_IN_A_GROUP} more" if len(paths) > _NAMED_IN_A_GROUP else ""
        _warn(f"{len(paths)} files: {cause}: {named}{more}")


def _say_padded(padded: dict[str, list[str]]) -> None:
    """Names the files of each stack whose smaller grid is padded with NaN."""
    for name, files in padded.items():
        named = ", ".join(files[:_NAMED_IN_A_GROUP])
        more = f" and {len(files) - _NAMED_IN_A_GROUP} more" if len(files) > _NAMED_IN_A_GROUP else ""
        _warn(f"{name}: {len(files)} file{'s' * (len(files) != 1)} with a smaller grid, padded with NaN: {named}{more}")


def _connect(address: str, timeout: float) -> Any:
    """A client of the scheduler at `address`. When none answers within
    `timeout` seconds of the command's start, says why on standard error
    and ends the process with the usage status."""
    deadline = _STARTED + timeout - _EXIT_MARGIN
    reason = _probe(address, max(deadline - time.monotonic(), 0.1))
    if reason is None:
        client, reason = _client_by(address, deadline)
        if client is not None:
            return client
    _warn(f"--dask {address}: no Dask scheduler could be reached there within {timeout:g} s: {reason}")
    # A client that failed after connecting (the other end is no scheduler,
    # or does not answer) holds the interpreter's exit for twice its timeout
    # in its own clean-up. Nothing of ours needs cleaning yet: no output
    # file exists before the client does.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    os._exit(EXIT_USAGE)


def _probe(address: str, timeout: float) -> str | None:
    """Why a TCP scheduler address cannot be right or reached, or None.
    A refused or unroutable address fails here at once, where the Dask
    client would keep retrying until its timeout."""
    import socket

    scheme, _, rest = address.rpartition("://")
    if scheme not in ("", "tcp"):
        return None  # tls://, ucx://...: left to the client
    host, colon, port = rest.rpartition(":")
    host = host.strip("[]")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        return "the address must be HOST:PORT or tcp://HOST:PORT"
    try:
        socket.create_connection((host, int(port)), timeout=timeout).close()
    except OSError as exc:
        return describe_error(exc) if str(exc) else type(exc).__name__
    return None


def _client_by(address: str, deadline: float) -> tuple[Any, str]:
    """(client, "") or (None, reason). The client is made on a thread of its
    own: one that fails after a connection (the other end is no scheduler)
    waits twice its timeout in its own clean-up, which must not hold up the
    command."""
    from distributed import Client

    result: dict[str, Any] = {}

    def attempt() -> None:
        try:
            seconds = max(deadline - time.monotonic(), 0.5)
            result["client"] = Client(address, timeout=f"{seconds}s", set_as_default=False)
        except Exception as exc:
            # Only the text leaves the thread: the traceback holds the failed
            # client, whose clean-up must run here, not in the main thread.
            result["error"] = describe_error(exc) if str(exc) else type(exc).__name__

    thread = threading.Thread(target=attempt, name="zu-dask-connect", daemon=True)
    thread.start()
    while thread.is_alive() and time.monotonic() < deadline:
        thread.join(0.05)
        check_stop()
    if "client" in result:
        return result["client"], ""
    return None, result.get("error", "no answer")


def _export(
    args: argparse.Namespace, kind: str, checked: _Checked, selections: tuple[Selection, ...], client: Any
) -> int:
    paths = checked.paths
    failures = list(checked.failures)
    try:
        written = _write_export(args, kind, paths, selections, checked.skipped, client, failures)
    finally:
        _report_failures(failures)
    if written == 0:
        _warn(f"no array could be read; {args.output} not written")
        return EXIT_FAILED
    failed = len(failures)
    tail = f", {failed} failed" if failed else ""
    _say(f"wrote {args.output}: {written} array{'s' if written != 1 else ''}{tail}")
    return EXIT_FAILED if failed else 0


def _write_export(
    args: argparse.Namespace,
    kind: str,
    paths: list[str],
    selections: tuple[Selection, ...],
    skipped: dict[str, frozenset[int]],
    client: Any,
    failures: list[tuple[str, str]],
) -> int:
    """Reads and writes; returns the number of arrays written (0: no output
    left behind). Each failure is added to `failures`."""
    if not paths:
        return 0
    file_names = dict(zip(paths, _output.file_names(paths), strict=True))
    with_header = kind == "h5" and not args.stack
    sent = [_sent(p) for p in paths]
    read_args = (selections, with_header, args.dtype, skipped, args.storage_options)
    written = 0
    try:
        with _output.replaced_atomically(args.output) as temp:
            writer: Any
            if args.stack:
                writer = _output.StackedWriter(temp, args.compression)
            else:
                writer = _output.ArrayWriter(temp, kind, args.compression)
            try:
                with Progress(len(paths), sys.stderr.isatty(), "exporting") as bar:
                    outcomes = run_tasks(
                        read_selections, paths, read_args, jobs=args.jobs, client=client, sent_items=sent
                    )
                    for path, outcome in outcomes:
                        bar.advance(outcome.traces)
                        if outcome.error is not None:
                            failures.append((path, outcome.error))
                            continue
                        for piece in outcome.value:
                            if piece.error is not None:
                                failures.append((path, piece.error))
                                continue
                            part = _output.part_name(piece.channel, piece.segment)
                            try:
                                if args.stack:
                                    writer.add(part, file_names[path], piece.value, piece.unit, piece.physical_unit)
                                else:
                                    attrs = _output.dataset_attrs(
                                        piece.unit, piece.physical_unit, os.path.abspath(path), outcome.header
                                    )
                                    writer.add(_output.dataset_name(file_names[path], piece.channel, piece.segment),
                                               piece.value, attrs)
                            except ValueError as exc:
                                failures.append((path, str(exc)))
                                continue
                            written += 1
                        # The arrays go as soon as they are written.
                        outcome.value = None
                if args.stack:
                    _say_padded(writer.padded())
            finally:
                writer.close()
            check_stop()
            if written == 0:
                raise _NothingToWrite
    except _NothingToWrite:
        return 0
    return written


# --- command line ---------------------------------------------------------


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("--jobs must be 0 (every core) or more")
    return value or _cores()


# Each job holds up to two files' arrays at a time, so on a machine with
# very many cores the default stops here; its reads still borrow the other
# cores as helper threads.
_MOST_DEFAULT_JOBS = 8


def _default_jobs() -> int:
    return min(_cores(), _MOST_DEFAULT_JOBS)


def _cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _segment(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"the segment must be a whole number from 0 to 255, got {text!r}") from None
    if not 0 <= value <= _walk.MAX_SEGMENT:
        raise argparse.ArgumentTypeError(f"the segment must be between 0 and 255, got {text!r}")
    return value


def _segment_or_all(text: str) -> int | str:
    return "all" if text == "all" else _segment(text)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError("the timeout must be more than 0 and at most 3600 seconds")
    return value


def _storage_options(text: str) -> dict[str, Any]:
    import json

    try:
        value = json.loads(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"not JSON: {exc}") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(f"expected a JSON object, got {text!r}")
    return value


def _with_storage_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--storage-options", type=_storage_options, metavar="JSON",
        help="options for the filesystem of each FILE given as a URL, as a JSON object (fsspec's storage_options), "
        "for example '{\"anon\": true}' for a public S3 bucket; local files ignore them",
    )


def _command(commands: Any, name: str, summary: str) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name,
        help=summary,
        description=summary,
        epilog=_epilog(name),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    return parser


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog="zu",
        description="Look at, check, plot and export Zu data files.",
        epilog=_epilog(None),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"zu {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = _command(commands, "info", "grid, segments, channels and unit types of each file")
    _with_storage_options(info)
    info.add_argument("files", nargs="+", metavar="FILE", help="a Zu file, a directory of them (*.zu), or a URL")
    info.add_argument("-r", "--recursive", action="store_true", help="also the Zu files below each directory")
    info.add_argument("--json", action="store_true", help="one JSON list of objects, one per file")
    info.add_argument(
        "--jobs", type=_jobs, default=_default_jobs(), metavar="N",
        help="look at N files at once (threads; default: a thread per core, at most 8; 0: a thread per core)",
    )

    header = _command(commands, "header", "the header as key=value lines, or chosen values as a table")
    _with_storage_options(header)
    header.add_argument("files", nargs="+", metavar="FILE", help="a Zu file, a directory of them (*.zu), or a URL")
    header.add_argument("-r", "--recursive", action="store_true", help="also the Zu files below each directory")
    header.add_argument(
        "--json", action="store_true", help="JSON: the nested header, or a list with one object per file"
    )
    header.add_argument(
        "--key", action="append", default=[], metavar="A.B.C",
        help="only this dotted key's value: a tab-separated table with one row per file (repeatable: one column each)",
    )

    check = _command(commands, "check", "read every channel of every segment; exit 1 if any file fails")
    _with_storage_options(check)
    check.add_argument("files", nargs="+", metavar="FILE", help="a Zu file, a directory of them (*.zu), or a URL")
    check.add_argument("-r", "--recursive", action="store_true", help="also the Zu files below each directory")
    check.add_argument(
        "--jobs", type=_jobs, default=_default_jobs(), metavar="N",
        help="check N files at once (threads; default: a thread per core, at most 8; 0: a thread per core)"
    )
    check.add_argument("-q", "--quiet", action="store_true", help="print only the files that fail and the count")

    plot = _command(commands, "plot", "heat map of one statistic per trace")
    _with_storage_options(plot)
    plot.set_defaults(parser=plot)
    plot.add_argument("file", metavar="FILE", help="a Zu file, or a URL")
    plot.add_argument("-c", "--channel", required=True, help="channel name")
    plot.add_argument("-s", "--segment", required=True, type=_segment, help="segment number, 0 to 255")
    plot.add_argument("-u", "--unit", help="unit type to convert into (default: the channel's base unit type)")
    plot.add_argument("--stat", type=_stat, default="max", help="max, min, mean, ptp or sample=K (default max)")
    plot.add_argument(
        "--trace", type=_position, action="append", default=[], metavar="I,J",
        help="also draw the trace at grid row I, column J (repeatable)",
    )
    plot.add_argument(
        "--size", type=_size, metavar="WxH", help="image size in pixels (default 800x600, 1400x600 with traces)"
    )
    plot.add_argument("-o", "--output", required=True, metavar="MAP.png",
                      help="the image; its suffix picks the format (.png, .pdf, .svg, .jpg, ...)")

    export = _command(commands, "export", "channels and segments of many files into .npy, .npz or HDF5")
    _with_storage_options(export)
    export.set_defaults(parser=export)
    export.add_argument("files", nargs="+", metavar="FILE", help="a Zu file, a directory of them (*.zu), or a URL")
    export.add_argument("-r", "--recursive", action="store_true", help="also the Zu files below each directory")
    export.add_argument("-c", "--channel", required=True, action="append", help="channel name (repeatable)")
    export.add_argument(
        "-s", "--segment", required=True, type=_segment_or_all, action="append",
        help="segment number, 0 to 255, or 'all' for every segment with members (repeatable)",
    )
    export.add_argument(
        "-u", "--unit", action="append",
        help="unit type: once for every channel, or once per -c in order (default: each channel's base unit type)",
    )
    export.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.npy (one array), OUT.npz or OUT.h5")
    export.add_argument(
        "--dtype", choices=["float64", "float32"], help="store the values as this type (default float64)"
    )
    export.add_argument(
        "--stack", action="store_true",
        help="HDF5: one (file, i, j, sample) dataset per channel and segment, the file names as its dimension "
        "scale; smaller grids are padded with NaN",
    )
    export.add_argument(
        "--compression", choices=["gzip", "lzf"], help="compress the arrays: .h5 gzip or lzf, .npz gzip (deflate)"
    )
    where = export.add_mutually_exclusive_group()
    where.add_argument(
        "--jobs", type=_jobs, default=_default_jobs(), metavar="N",
        help="read N files at once (threads; default: a thread per core, at most 8; 0: a thread per core)"
    )
    where.add_argument("--dask", metavar="ADDRESS", help="read on this Dask distributed scheduler, e.g. tcp://127.0.0.1:8786")
    export.add_argument("--dask-timeout", type=_seconds, default=10.0, metavar="S",
                        help="give up on reaching the --dask scheduler after S seconds (default 10)")
    return parser


def _die_of_sigpipe() -> int:
    """Ends the process the way a closed pipe ends other tools: silently,
    killed by SIGPIPE (status 141 in the shell)."""
    # Output still buffered must not be flushed (and fail again) at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE  # not reached on Linux


def _silence_stdout() -> None:
    # What is left in the buffer cannot be written; let it go nowhere at exit.
    if sys.stdout is None:
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def command(argv: Sequence[str] | None = None) -> int:
    """The `zu` program: main() in a process of its own, where OpenBLAS is
    kept from starting its thread pool when NumPy loads.

    No command does linear algebra, but OpenBLAS starts a thread per core at
    load, and those threads spin for about a tenth of a second waiting for
    work: on a two-core machine they take a core from `--jobs 2` just when
    the reads begin. A value the user set is left alone. main() itself
    leaves the environment alone, as a program that calls it may do linear
    algebra of its own."""
    if "numpy" not in sys.modules:
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    return main(argv)


def _stop_on_signals() -> dict[int, Any]:
    """Makes SIGINT and SIGTERM only set flags while a command runs: the
    reads in flight end, the work stops between files and unwinds
    normally, removing any temporary output. Gives the handlers replaced.
    Only the main thread may set handlers; elsewhere none are changed."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    return {signum: signal.signal(signum, request_stop) for signum in (signal.SIGINT, signal.SIGTERM)}


def _restore_signals(previous: dict[int, Any]) -> None:
    # A caller that runs the command in its own process (a notebook) gets
    # its Ctrl-C back afterwards. None: a handler not set from Python,
    # which cannot be set again from here.
    for signum, handler in previous.items():
        if handler is not None:
            signal.signal(signum, handler)


def main(argv: Sequence[str] | None = None) -> int:
    # File names that are not UTF-8 reach us as lone surrogates; printed
    # back as the bytes they were, as ls does.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    parser = _parser()
    args = parser.parse_args(argv)
    forget_stop()
    previous = _stop_on_signals()
    obeyed = read_stop.set(StopFlag())
    try:
        try:
            if args.command == "export":
                status = _cmd_export(args, args.parser)
            elif args.command == "plot":
                status = _cmd_plot(args, args.parser)
            else:
                handlers = {"info": _cmd_info, "header": _cmd_header, "check": _cmd_check}
                status = handlers[args.command](args)
            check_stop()
        finally:
            read_stop.reset(obeyed)
            try:
                if sys.stdout is not None:
                    sys.stdout.flush()
            finally:
                _restore_signals(previous)
        return status
    except Interrupted as stop:
        _warn("interrupted" if stop.signum == signal.SIGINT else "terminated")
        return 128 + stop.signum
    except BrokenPipeError:
        return _die_of_sigpipe()
    except _StdoutError as exc:
        _silence_stdout()
        _warn(f"cannot write standard output: {exc}")
        return EXIT_FAILED
    except _NoFiles:
        _warn("no Zu file to work on")
        return EXIT_FAILED
    except _output.OutputError as exc:
        _warn(str(exc))
        return EXIT_FAILED
    except ImportError as exc:
        extra = "dask" if exc.name in ("dask", "distributed") else "tools"
        _warn(f"this needs {exc.name or exc}: pip install 'zu_data_reader[{extra}]'")
        return EXIT_FAILED
    except OSError as exc:
        if exc.filename is None and sys.stdout is not None:
            # The flush above, or another write to standard output.
            _silence_stdout()
            _warn(f"cannot write standard output: {describe_error(exc)}")
        else:
            _warn(describe_error(exc) if exc.filename is None else f"{exc.filename}: {describe_error(exc)}")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(command())
