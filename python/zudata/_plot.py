"""Heat maps of one statistic per trace, and selected traces."""

from __future__ import annotations

import re
import warnings
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

Stat = Callable[[npt.NDArray[np.float64]], npt.NDArray[np.float64]]

_STATS: dict[str, Stat] = {
    "max": lambda v: np.nanmax(v, axis=-1),
    "min": lambda v: np.nanmin(v, axis=-1),
    "mean": lambda v: np.nanmean(v, axis=-1),
    "ptp": lambda v: np.nanmax(v, axis=-1) - np.nanmin(v, axis=-1),
}
_SAMPLE = re.compile(r"sample=(\d+)\Z")


def parse_stat(text: str) -> str:
    """Validates a --stat value: max, min, mean, ptp or sample=K."""
    match = _SAMPLE.match(text)
    if text not in _STATS and not (match and int(match.group(1)) < 100):
        raise ValueError(f"unknown statistic {text!r}: use max, min, mean, ptp or sample=K with K from 0 to 99")
    return text


def statistic(values: npt.NDArray[np.float64], stat: str) -> npt.NDArray[np.float64]:
    """One number per trace: (n, n, 100) -> (n, n); NaN padding is ignored,
    an all-NaN trace gives NaN."""
    match = _SAMPLE.match(stat)
    if match:
        return np.array(values[..., int(match.group(1))], dtype=np.float64)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN traces
        return _STATS[stat](values)


def draw_map(
    out_path: str,
    values: npt.NDArray[np.float64],
    *,
    stat: str,
    unit: str,
    title: str,
    traces: list[tuple[int, int]],
    size: tuple[int, int],
) -> None:
    """Writes a PNG of exactly `size` pixels (width, height)."""
    # The object API with an explicit Agg canvas needs no display and
    # touches no pyplot state.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(1, 2 if traces else 1, squeeze=False)[0]
    grid = statistic(values, stat)
    image = axes[0].imshow(grid, origin="upper", cmap="viridis", interpolation="nearest")
    axes[0].set_title(f"{title}\n{stat} per trace", fontsize="medium")
    for axis in (axes[0].xaxis, axes[0].yaxis):
        axis.set_major_locator(MaxNLocator(integer=True))
    axes[0].set_xlabel("j")
    axes[0].set_ylabel("i")
    bar = figure.colorbar(image, ax=axes[0])
    bar.set_label(unit)
    if traces:
        for i, j in traces:
            (line,) = axes[1].plot(np.arange(values.shape[-1]), values[i, j], label=f"({i}, {j})")
            axes[0].plot(j, i, marker="o", markersize=7, markerfacecolor="none", markeredgecolor=line.get_color())
        axes[1].set_xlabel("sample")
        axes[1].set_ylabel(unit)
        axes[1].set_title("traces at (i, j)", fontsize="medium")
        axes[1].legend(fontsize="small")
    figure.savefig(out_path, format="png", dpi=dpi)
