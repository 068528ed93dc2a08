"""
A stacked HDF5 export read back with h5py
=========================================

``zu export --stack`` writes one ``(file, i, j, sample)`` dataset per
channel and segment, with the file names as the first axis' dimension
scale.
"""

import pathlib
import subprocess
import sys
import tempfile

import h5py
import matplotlib.pyplot as plt
from make_sample import write_sample

folder = pathlib.Path(tempfile.mkdtemp())
for k in range(3):
    write_sample(folder / f"scan{k}.zu", seed=k)

# %%
# The command line (``zu`` itself; ``python -m zudata`` is the same).
out = folder / "stack.h5"
command = [sys.executable, "-m", "zudata", "export", str(folder), "-c", "height", "-s", "0", "-u", "distance",
           "-o", str(out), "--stack", "--dtype", "float32"]
print(subprocess.run(command, check=True, capture_output=True, text=True).stdout)

# %%
# Read back: the dataset, its units and which file each row comes from.
with h5py.File(out) as h5:
    stack = h5["height/0"]
    files = [pathlib.Path(name).name for name in h5["height/0_files"].asstr()[:]]
    print(stack.shape, stack.dtype, dict(stack.attrs))
    maxima = stack[:].max(axis=-1)

fig, axes = plt.subplots(1, len(files), figsize=(9, 3))
for ax, name, grid in zip(axes, files, maxima, strict=True):
    ax.imshow(grid)
    ax.set_title(name)
plt.show()
