"""Heat maps of one statistic per trace, and selected traces."""

from __future__ import annotations

import re
import warnings
from typing import Any, NamedTuple
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


def missing_sample(stat: str, part: Any) -> str | None:
    """Why `stat` asks for a sample that no trace of a segment laid out as
    `part` (a SegmentLayout) holds, or None: a map of sample=K past the
    longest trace would be all padding."""
    match = _SAMPLE.match(stat)
    if match is None or part is None or int(match.group(1)) < part.samples:
        return None
    lengths = f"{part.samples}" if part.shortest == part.samples else f"{part.shortest} to {part.samples}"
    return f"has traces of {lengths} samples; {stat} does not exist"


def statistic(values: npt.NDArray[np.float64], stat: str) -> npt.NDArray[np.float64]:
    """One number per trace: (n, n, 100) -> (n, n); NaN padding is ignored,
    an all-NaN trace gives NaN."""
    match = _SAMPLE.match(stat)
    if match:
        return np.array(values[..., int(match.group(1))], dtype=np.float64)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN traces
        return _STATS[stat](values)


def unit_label(unit_type: str, physical: str | None) -> str:
    """How an axis names its values: "force (N)", or the unit type alone
    when the header gives no physical unit."""
    return f"{unit_type} ({physical})" if physical else unit_type


def image_format(path: str) -> str:
    """The image format that `path`'s suffix names ("png", "pdf", "svg",
    ...); ValueError listing the known suffixes when it names none."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    known = FigureCanvasAgg.get_supported_filetypes()
    suffix = path.rsplit(".", 1)[-1].lower() if "." in path.rsplit("/", 1)[-1] else ""
    if suffix not in known:
        names = ", ".join(f".{s}" for s in sorted(known))
        raise ValueError(f"the name must end in one of {names}")
    return suffix


class ColourRange(NamedTuple):
    """The colour bar of a map: its range, its ticks (None: chosen by
    matplotlib) and a warning about the map, or None."""

    low: float
    high: float
    ticks: list[float] | None
    warning: str | None


def colour_range(grid: npt.NDArray[np.float64]) -> ColourRange:
    """The colour bar for `grid`: the finite values' range. When there are
    none the bar is empty; when they are all equal it spans 1 % around the
    value with that one value as its only tick, so that it cannot be read
    as a spread of values. Both cases carry a warning."""
    finite = grid[np.isfinite(grid)]
    if finite.size == 0:
        return ColourRange(0.0, 1.0, [], "every trace gives NaN (no finite samples): the map is blank")
    low, high = float(finite.min()), float(finite.max())
    if low == high:
        spread = abs(low) * 0.01 or 1.0
        return ColourRange(low - spread, high + spread, [low],
                           f"every trace gives the same value, {low:g}: the map is one colour")
    return ColourRange(low, high, None, None)


def map_figure(
    values: npt.NDArray[np.float64],
    *,
    stat: str,
    unit: str,
    title: str,
    traces: list[tuple[int, int]],
    size: tuple[int, int],
) -> tuple[Any, str | None]:
    """The figure of the map (and the chosen traces), and a warning about
    its colour range or None. Row i of the map is grid row i, drawn from
    the top; column j runs across."""
    # The object API with an explicit Agg canvas needs no display and
    # touches no pyplot state.
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(1, 2 if traces else 1, squeeze=False)[0]
    grid = statistic(values, stat)
    colour = colour_range(grid)
    # NaN cells (traces without a finite sample) show grey, not as a colour
    # of the scale.
    colours = matplotlib.colormaps["viridis"].with_extremes(bad="lightgrey")
    image = axes[0].imshow(
        grid, origin="upper", cmap=colours, interpolation="nearest", vmin=colour.low, vmax=colour.high
    )
    axes[0].set_title(f"{title}\n{stat} per trace", fontsize="medium")
    for axis in (axes[0].xaxis, axes[0].yaxis):
        axis.set_major_locator(MaxNLocator(integer=True))
    axes[0].set_xlabel("j")
    axes[0].set_ylabel("i")
    bar = figure.colorbar(image, ax=axes[0])
    bar.set_label(unit)
    if colour.ticks is not None:
        bar.set_ticks(colour.ticks)
    if traces:
        for i, j in traces:
            (line,) = axes[1].plot(np.arange(values.shape[-1]), values[i, j], label=f"({i}, {j})")
            axes[0].plot(j, i, marker="o", markersize=7, markerfacecolor="none", markeredgecolor=line.get_color())
        axes[1].set_xlabel("sample")
        axes[1].set_ylabel(unit)
        axes[1].set_title("traces at (i, j)", fontsize="medium")
        axes[1].legend(fontsize="small")
    return figure, colour.warning


def draw_map(out_path: str, image_type: str, values: npt.NDArray[np.float64], **options: Any) -> str | None:
    """Writes the map of `map_figure` in `image_type` at exactly the size
    asked for (in pixels for raster formats); returns its warning."""
    figure, warning = map_figure(values, **options)
    figure.savefig(out_path, format=image_type, dpi=figure.dpi)
    return warning
