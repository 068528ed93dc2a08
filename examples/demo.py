"""Writes a sample Zu data file and shows what the package makes of it.

    python examples/demo.py [path/to/sample.zu]

In the order a new user meets them: `zudata.open`, the xarray backend, the
`zu` command (which draws a map), and last the original interface,
`zu_data_reader.ZuDataFIle`. Without a path the sample goes to a temporary
directory that is removed afterwards; the map goes beside the sample, or to
the system's temporary directory. Exits with status 1 when the values read
back differ from what the generator wrote.
"""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

import make_sample

CHANNEL = "vDeflection"
SEGMENT = 0
UNIT = "force"
# Peak force per position of the approach segment, and two of its curves;
# docs/map.png in the repository is this picture.
MAP_ARGS = ["-c", CHANNEL, "-s", str(SEGMENT), "-u", UNIT, "--stat", "max",
            "--trace", "0,0", "--trace", "2,2", "--size", "1000x420"]


def heading(text: str) -> None:
    print(f"\n== {text}")


def with_unit(value: float, unit: str | None) -> str:
    return f"{value:.4g} {unit}" if unit else f"{value:.4g}"


def show_zudata(path: Path) -> bool:
    import zudata

    heading("zudata.open: the way in for Python")
    with zudata.open(path) as f:
        for channel, segments in f.layout().items():
            parts = ", ".join(f"segment {s}: {part.side} x {part.side}" for s, part in segments.items())
            units = ", ".join([f.base_unit(channel), *f.units(channel)])
            print(f"  {channel:15} {parts}; unit types {units}")
        values = f.read(CHANNEL, SEGMENT, UNIT)
        unit = f.physical_unit(CHANNEL, UNIT)
    print(f"  f.read({CHANNEL!r}, {SEGMENT}, {UNIT!r}) -> {values.dtype} array of shape {values.shape}")
    print(f"  peak {UNIT} at grid position (0, 0): {with_unit(float(np.nanmax(values[0, 0])), unit)}")
    expected = make_sample.expected_values(CHANNEL, SEGMENT, UNIT)
    same = values.shape == expected.shape and bool(np.allclose(values, expected, rtol=1e-12, atol=0.0, equal_nan=True))
    print(f"  the values the sample was written with: {'yes' if same else 'NO'}")
    return same


def show_xarray(path: Path) -> None:
    try:
        import xarray as xr
    except ImportError:
        print("\n(xarray is not installed: pip install 'zu_data_reader[xarray]' shows the Dataset view)")
        return
    heading("xarray: xr.open_dataset(path, engine='zu', units={...})")
    with xr.open_dataset(path, engine="zu", units={CHANNEL: UNIT}) as ds:
        variable = ds[CHANNEL]
        print(f"  {CHANNEL}: dims {variable.dims}, shape {variable.shape}")
        print(f"  attrs {dict(variable.attrs)}")
        peak = variable.sel(segment=SEGMENT).max("sample")  # reads segment 0 of the channel only
        print(f"  largest peak {UNIT} over the grid: {with_unit(float(peak.max()), variable.attrs.get('units'))}")


def zu(*args: str) -> subprocess.CompletedProcess[str]:
    command = Path(sysconfig.get_path("scripts")) / "zu"
    return subprocess.run([str(command), *args], capture_output=True, text=True, check=False)


def show_zu(path: Path, map_path: Path) -> int:
    heading("the zu command")
    print(f"$ zu info {path.name}")
    print("  " + zu("info", str(path)).stdout.rstrip().replace("\n", "\n  "))
    print(f"$ zu plot {path.name} {' '.join(MAP_ARGS)} -o {map_path}")
    drawn = zu("plot", str(path), *MAP_ARGS, "-o", str(map_path))
    print("  " + (drawn.stdout or drawn.stderr).rstrip())
    return drawn.returncode


def show_original_class(path: Path) -> None:
    import zu_data_reader

    heading("zu_data_reader.ZuDataFIle: the original interface, kept exactly as it was")
    data_file = zu_data_reader.ZuDataFIle(str(path))
    print(f"  get_channels() -> {sorted(data_file.get_channels())}")
    # This class prints the conversion it walked ("offset,multiplier") on
    # descriptor 1 itself; show it labelled, not mixed into our lines.
    sys.stdout.flush()
    with tempfile.TemporaryFile() as printed:
        saved = os.dup(1)
        try:
            os.dup2(printed.fileno(), 1)
            values = data_file.get_channel_data(CHANNEL, SEGMENT, UNIT)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        printed.seek(0)
        lines = printed.read().decode().splitlines()
    print(f"  get_channel_data({CHANNEL!r}, {SEGMENT}, {UNIT!r}) -> shape {values.shape}, the same array as above")
    print("  it also printed, on descriptor 1, the linear map it applied (offset,multiplier):")
    for line in lines:
        print(f"    {line}")


def main(argv: list[str]) -> int:
    with tempfile.TemporaryDirectory(prefix="zu-demo-") as tmp:
        sample = Path(argv[1]) if len(argv) > 1 else Path(tmp) / "sample.zu"
        map_path = (sample.with_name(sample.name + ".map.png") if len(argv) > 1
                    else Path(tempfile.gettempdir()) / "zu-demo-map.png")
        make_sample.write_sample(sample)
        print(f"wrote a sample recording: {sample}")
        same = show_zudata(sample)
        show_xarray(sample)
        status = show_zu(sample, map_path)
        show_original_class(sample)
        if status == 0:
            print(f"\nthe map: {map_path}")
    return 0 if same and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
