"""
Traces at chosen positions
==========================

The force curves of a few grid positions, in all three segments.
"""

import pathlib
import tempfile

import matplotlib.pyplot as plt
import numpy as np
from make_sample import write_sample

import zudata

path = write_sample(pathlib.Path(tempfile.mkdtemp()) / "scan.zu", grid=6)
positions = [(0, 0), (2, 3), (5, 5)]

# %%
# Each segment is one read; the samples of a segment follow the previous.
fig, ax = plt.subplots(figsize=(7, 4))
with zudata.open(path) as f:
    segments = sorted(f.layout()["vDeflection"])
    curves = [f.read("vDeflection", s, "force") for s in segments]
    unit = f.physical_unit("vDeflection", "force")
for i, j in positions:
    ax.plot(np.concatenate([c[i, j] for c in curves]), label=f"row {i}, column {j}")
ax.set_xlabel("sample (extend, pause, retract)")
ax.set_ylabel(f"force ({unit})")
ax.legend()
plt.show()
