"""
Per-file statistics over a folder with Dask
===========================================

One lazy array over every file of a folder, reduced on Dask's threaded
scheduler: the reads release the interpreter lock, so they run on every
core of this machine.
"""

import pathlib
import tempfile

import dask
import matplotlib.pyplot as plt
from make_sample import write_sample

import zudata

folder = pathlib.Path(tempfile.mkdtemp())
paths = [str(write_sample(folder / f"scan{k:02}.zu", seed=k)) for k in range(6)]

# %%
# Shape (files, n, n, 100), one chunk per file; nothing is read yet.
lazy = zudata.to_dask(paths, "height", 0, "distance")
print(lazy)

# %%
# The mean and spread of each file's heights, computed on threads.
with dask.config.set(scheduler="threads"):
    means, spreads = dask.compute(lazy.mean(axis=(1, 2, 3)), lazy.std(axis=(1, 2, 3)))

fig, ax = plt.subplots(figsize=(6, 3.5))
ax.errorbar(range(len(paths)), means, yerr=spreads, fmt="o")
ax.set_xticks(range(len(paths)), [pathlib.Path(p).stem for p in paths])
ax.set_ylabel("height (distance)")
plt.show()
