"""The `zu` command: look at, check, plot and export Zu data files.

    zu info FILE... [--json]
    zu header FILE [--json]
    zu check FILE... [--jobs N]
    zu plot FILE -c CHANNEL -s SEGMENT -u UNIT [--stat STAT] [--trace I,J]... -o MAP.png
    zu export FILE... -c CHANNEL -s SEGMENT -u UNIT -o OUT.{npy,npz,h5} [--jobs N | --dask ADDRESS]

Exit status: 0 when everything worked, 1 when a file failed, 2 for a usage
error, 130 / 143 when interrupted by SIGINT / SIGTERM.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
from pathlib import Path
from typing import Any
from collections.abc import Sequence

from . import _header, _output, _plot, _walk
from ._progress import Progress
from ._quiet import diagnostics_discarded, discard_diagnostics_for_good
from ._run import Interrupted, check_stop, describe_error, request_stop, run_tasks
from ._tasks import check_file, read_channel

EXIT_FAILED = 1
EXIT_USAGE = 2


def _say(text: str) -> None:
    print(text, file=sys.stdout)


def _warn(text: str) -> None:
    print(f"zu: {text}", file=sys.stderr, flush=True)


# --- info -----------------------------------------------------------------


def _describe(path: str) -> dict[str, Any]:
    from zu_data_reader import ZuDataFIle

    result: dict[str, Any] = {"path": path}
    try:
        with diagnostics_discarded():
            data_file = ZuDataFIle(path)
            header = data_file.header
            channels = list(dict.fromkeys(data_file.get_channels()))
            units = {c: sorted(data_file.get_channel_units(c)) for c in channels}
        counts = _walk.traces_per_segment(_walk.member_names(path), channels)
    except Exception as exc:
        result["error"] = describe_error(exc)
        return result
    sizes = {k for per_channel in counts.values() for k in per_channel.values()}
    result["grid"] = _walk.grid_side(sizes.pop()) if len(sizes) == 1 else None
    result["segments"] = sorted({s for per_channel in counts.values() for s in per_channel})
    result["listed_segments"] = _walk.listed_segments(header)
    result["channels"] = [
        {
            "name": c,
            "sample_type": _header.sample_type(header, c),
            "base_unit": _header.base_unit(header, c),
            "units": units[c],
            "traces": {str(s): k for s, k in sorted(counts[c].items())},
        }
        for c in sorted(channels)
    ]
    return result


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
        _say(f"    {c['name']}")
        _say(f"      sample type  {c['sample_type']}")
        _say(f"      unit types   {c['base_unit']} (base); {', '.join(c['units']) or 'no conversions'}")
        _say(f"      traces       {traces}  (segment:count)")


def _cmd_info(args: argparse.Namespace) -> int:
    infos = []
    for path in args.files:
        check_stop()
        info = _describe(path)
        infos.append(info)
        if not args.json:
            _print_info(info)
    if args.json:
        json.dump(infos, sys.stdout, indent=2, ensure_ascii=False)
        _say("")
    return EXIT_FAILED if any("error" in i for i in infos) else 0


# --- header ---------------------------------------------------------------


def _cmd_header(args: argparse.Namespace) -> int:
    from zu_data_reader import ZuDataFIle

    try:
        header = ZuDataFIle(args.file).header
    except Exception as exc:
        _warn(f"{args.file}: {describe_error(exc)}")
        return EXIT_FAILED
    if args.json:
        json.dump(header, sys.stdout, indent=2, sort_keys=True, ensure_ascii=False)
        _say("")
    else:
        for key, value in sorted(_header.flatten(header)):
            _say(f"{key}={value}")
    return 0


# --- check ----------------------------------------------------------------


def _cmd_check(args: argparse.Namespace) -> int:
    paths = list(dict.fromkeys(args.files))
    failed = 0
    with Progress(len(paths), sys.stderr.isatty(), "checking") as bar:
        for path, outcome in run_tasks(check_file, paths, (), jobs=args.jobs):
            bar.advance(outcome.traces)
            if outcome.error is None:
                summary = outcome.value
                _say(
                    f"OK    {path}  ({summary['channels']} channels, {len(summary['segments'])} segments, "
                    f"{outcome.traces} traces)"
                )
            else:
                failed += 1
                _say(f"FAIL  {path}  {outcome.error}")
    if len(paths) > 1:
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
    try:
        return _plot.parse_stat(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _cmd_plot(args: argparse.Namespace) -> int:
    outcome = read_channel(args.file, args.channel, args.segment, args.unit, False)
    if outcome.error is not None:
        _warn(f"{args.file}: {outcome.error}")
        return EXIT_FAILED
    values = outcome.value
    n = values.shape[0]
    outside = [f"{i},{j}" for i, j in args.trace if not (0 <= i < n and 0 <= j < n)]
    if outside:
        _warn(f"--trace {' '.join(outside)}: outside the {n} x {n} grid (I and J run from 0 to {n - 1})")
        return EXIT_USAGE
    size = args.size or ((1400, 600) if args.trace else (800, 600))
    title = f"{Path(args.file).name}: {args.channel}, segment {args.segment}"
    with _output.replaced_atomically(args.output) as temp:
        _plot.draw_map(temp, values, stat=args.stat, unit=args.unit, title=title, traces=args.trace, size=size)
        check_stop()
    _say(f"wrote {args.output}: {n} x {n} map of {args.stat} in {args.unit}, {size[0]} x {size[1]} pixels")
    return 0


# --- export ---------------------------------------------------------------


class _NothingToWrite(Exception):
    pass


def _cmd_export(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    kind = _output.FORMATS.get(Path(args.output).suffix.lower())
    if kind is None:
        parser.error(f"-o {args.output}: the name must end in .npy, .npz or .h5")
    paths = list(dict.fromkeys(args.files))
    if kind == "npy" and len(paths) > 1:
        parser.error(".npy holds one array; use .npz or .h5 for several files")
    if kind == "h5":
        import h5py  # noqa: F401  (fail before reading anything)
    client = None
    if args.dask:
        from distributed import Client

        client = Client(args.dask, timeout="30s", set_as_default=False)
    try:
        return _export(args, kind, paths, client)
    finally:
        if client is not None:
            client.close(timeout=10)


def _export(args: argparse.Namespace, kind: str, paths: list[str], client: Any) -> int:
    names = _output.dataset_names(paths, args.channel, args.segment)
    name_of = dict(zip(paths, names, strict=True))
    read_args = (args.channel, args.segment, args.unit, kind == "h5")
    failed = 0
    written = 0
    try:
        with _output.replaced_atomically(args.output) as temp:
            writer = None
            try:
                with Progress(len(paths), sys.stderr.isatty(), "exporting") as bar:
                    for path, outcome in run_tasks(read_channel, paths, read_args, jobs=args.jobs, client=client):
                        bar.advance(outcome.traces)
                        if outcome.error is not None:
                            failed += 1
                            _warn(f"{path}: {outcome.error}")
                            continue
                        # Opened only now, after any worker processes were
                        # forked, so that none of them inherits the file.
                        if writer is None:
                            writer = _output.ArrayWriter(temp, kind)
                        attrs = _output.dataset_attrs(args.unit, os.path.abspath(path), outcome.header)
                        writer.add(name_of[path], outcome.value, attrs)
                        written += 1
            finally:
                if writer is not None:
                    writer.close()
            check_stop()
            if written == 0:
                raise _NothingToWrite
    except _NothingToWrite:
        _warn(f"no file could be read; {args.output} not written")
        return EXIT_FAILED
    tail = f", {failed} failed" if failed else ""
    _say(f"wrote {args.output}: {written} array{'s' if written != 1 else ''}{tail}")
    return EXIT_FAILED if failed else 0


# --- command line ---------------------------------------------------------


def _jobs(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("--jobs must be at least 1")
    return value


def _segment(text: str) -> int:
    value = int(text)
    if not 0 <= value <= _walk.MAX_SEGMENT:
        raise argparse.ArgumentTypeError("the segment must be between 0 and 255")
    return value


def _selection(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("-c", "--channel", required=True, help="channel name")
    sub.add_argument("-s", "--segment", required=True, type=_segment, help="segment number, 0 to 255")
    sub.add_argument("-u", "--unit", required=True, help="unit type to convert into")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zu", description="Look at, check, plot and export Zu data files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="grid, segments, channels and unit types of each file")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON list of objects, one per file")

    header = commands.add_parser("header", help="the header as key=value lines")
    header.add_argument("file", metavar="FILE")
    header.add_argument("--json", action="store_true", help="the header as nested JSON objects")

    check = commands.add_parser("check", help="read every channel of every segment; exit 1 if any file fails")
    check.add_argument("files", nargs="+", metavar="FILE")
    check.add_argument("--jobs", type=_jobs, default=1, metavar="N", help="check in N processes")

    plot = commands.add_parser("plot", help="heat map of one statistic per trace")
    plot.add_argument("file", metavar="FILE")
    _selection(plot)
    plot.add_argument("--stat", type=_stat, default="max", help="max, min, mean, ptp or sample=K (default max)")
    plot.add_argument(
        "--trace", type=_position, action="append", default=[], metavar="I,J",
        help="also draw the trace at grid row I, column J (repeatable)",
    )
    plot.add_argument(
        "--size", type=_size, metavar="WxH", help="image size in pixels (default 800x600, 1400x600 with traces)"
    )
    plot.add_argument("-o", "--output", required=True, metavar="MAP.png")

    export = commands.add_parser("export", help="one channel and segment of many files into .npy, .npz or HDF5")
    export.add_argument("files", nargs="+", metavar="FILE")
    _selection(export)
    export.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.npy (one file), OUT.npz or OUT.h5")
    where = export.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_jobs, default=1, metavar="N", help="read in N processes")
    where.add_argument("--dask", metavar="ADDRESS", help="read on this Dask distributed scheduler, e.g. tcp://127.0.0.1:8786")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    # From here on the module's lines on descriptor 1 go nowhere, in this
    # process and in every worker it forks; our own output keeps going to
    # standard output.
    discard_diagnostics_for_good(keep_stdout=True)
    # Signals only set a flag; the work stops between files and unwinds
    # normally, removing any temporary output.
    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    try:
        if args.command == "export":
            return _cmd_export(args, parser)
        command = {"info": _cmd_info, "header": _cmd_header, "check": _cmd_check, "plot": _cmd_plot}
        status = command[args.command](args)
        check_stop()
        return status
    except Interrupted as stop:
        _warn("interrupted" if stop.signum == signal.SIGINT else "terminated")
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output has gone (zu info | head); nothing to report.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except ImportError as exc:
        extra = "dask" if exc.name in ("dask", "distributed") else "tools"
        _warn(f"this needs {exc.name or exc}: pip install 'zu_data_reader[{extra}]'")
        return EXIT_FAILED
    except OSError as exc:
        # Output that cannot be created, a cluster that cannot be reached.
        _warn(describe_error(exc))
        return EXIT_FAILED
    finally:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            pass


if __name__ == "__main__":
    sys.exit(main())
