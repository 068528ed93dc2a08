"""
A map of one channel
====================

The maximum force of every trace in one segment, as a map over the grid.
"""

import pathlib
import tempfile

import matplotlib.pyplot as plt
from make_sample import write_sample

import zudata

# %%
# A sample recording (with your own files, start from their paths).
path = write_sample(pathlib.Path(tempfile.mkdtemp()) / "scan.zu", grid=8)

# %%
# One channel and segment, converted into force, reduced to one number per
# trace.
with zudata.open(path) as f:
    force = f.read("vDeflection", 0, "force")
    unit = f.physical_unit("vDeflection", "force")

fig, ax = plt.subplots(figsize=(5, 4))
image = ax.imshow(force.max(axis=-1), origin="upper")
ax.set_xlabel("column j")
ax.set_ylabel("row i")
fig.colorbar(image, ax=ax, label=f"max force ({unit})")
plt.show()
