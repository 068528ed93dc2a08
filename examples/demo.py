"""Writes a sample Zu data file and reads it back with zu_data_reader.

    python examples/demo.py [path/to/sample.zu]

Without a path the sample goes to a temporary directory that is removed
afterwards. Exits with status 1 when the channel data read back differs from
what the generator wrote.

At the end the `zu` command draws a map of the sample (see MAP_ARGS) into
MAP.png beside the sample, or into the system's temporary directory when
no path is given, and says where.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import make_sample
import zu_data_reader

DEMO_CHANNEL = "height"
DEMO_SEGMENT = 0
DEMO_UNIT = "distance"
# Peak force per position of the approach segment, and two of its curves;
# docs/map.png in the repository is this picture.
MAP_ARGS = ["-c", "vDeflection", "-s", "0", "-u", "force", "--stat", "max",
            "--trace", "0,0", "--trace", "2,2", "--size", "1000x420"]


def show(path: Path) -> int:
    make_sample.write_sample(path)
    print(f"wrote sample {path}")

    data_file = zu_data_reader.ZuDataFIle(path)
    print(f"opened {data_file.location}")
    header = data_file.header
    print(f"header top-level keys: {', '.join(sorted(header))}")

    channels = data_file.get_channels()
    print(f"channels: {', '.join(sorted(channels))}")
    units = {name: data_file.get_channel_units(name) for name in channels}
    for name in sorted(units):
        print(f"  {name}: {', '.join(sorted(units[name]))}")

    name, unit = DEMO_CHANNEL, DEMO_UNIT
    if unit not in units.get(name, []):
        name = sorted(units)[0]
        unit = sorted(units[name])[0]
    print(f"get_channel_data({name!r}, {DEMO_SEGMENT}, {unit!r}):", flush=True)
    values = data_file.get_channel_data(name, DEMO_SEGMENT, unit)
    print(f"  shape {values.shape}, dtype {values.dtype}")
    print(f"  first trace at grid position (0, 0), first 5 values: {values[0, 0, :5]}")
    print(
        f"  min {np.nanmin(values):.6g}, max {np.nanmax(values):.6g}, "
        f"mean {np.nanmean(values):.6g}"
    )

    expected = make_sample.expected_values(name, DEMO_SEGMENT, unit)
    same = values.shape == expected.shape and bool(
        np.allclose(values, expected, rtol=1e-12, atol=0.0, equal_nan=True)
    )
    print(f"  matches the values the sample was written with: {'yes' if same else 'NO'}")
    return 0 if same else 1


def draw_map(sample: Path, target: Path) -> int:
    command = [sys.executable, "-m", "zudata.cli", "plot", str(sample), *MAP_ARGS, "-o", str(target)]
    print(f"zu plot {' '.join(command[4:])}")
    done = subprocess.run(command, stdout=subprocess.DEVNULL, check=False)
    if done.returncode == 0:
        print(f"wrote the map to {target}")
    return done.returncode


def main(argv: list[str]) -> int:
    # The module writes its diagnostic lines straight to file descriptor 1;
    # line buffering keeps ours in order with them.
    sys.stdout.reconfigure(line_buffering=True)  # type: ignore[union-attr]
    if len(argv) > 1:
        sample = Path(argv[1])
        return show(sample) or draw_map(sample, sample.with_name(sample.name + ".map.png"))
    with tempfile.TemporaryDirectory(prefix="zu-demo-") as tmp:
        sample = Path(tmp) / "sample.zu"
        return show(sample) or draw_map(sample, Path(tempfile.gettempdir()) / "zu-demo-map.png")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
