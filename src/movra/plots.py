"""Plot helpers shared by the toolbox's figures."""

import numpy as np


def _format_tick(value):
    if value == 0 or not np.isfinite(value):
        return f"{value:g}"
    magnitude = abs(value)
    if magnitude >= 1e5 or magnitude < 1e-3:
        return f"{value:.2e}"
    return f"{value:.4g}"


def scale_plot_ticks(ax, axis, values, max_ticks=10, rotation=None):
    """Put ticks at ``values``, thinned to at most ``max_ticks`` and formatted compactly.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
    axis : {"x", "y"}
    values : array-like
        Tick positions, such as bin edges, in increasing order.
    max_ticks : int, default=10
        The largest number of labelled ticks; the first and the last value are always kept.
    rotation : float, optional
        Rotation of the labels; by default x labels turn 45 degrees when they are many.

    Returns
    -------
    numpy.ndarray
        The tick positions kept.
    """
    if axis not in ("x", "y"):
        raise ValueError("axis must be 'x' or 'y'.")
    values = np.asarray(values, dtype=float).ravel()
    if values.shape[0] > max_ticks > 1:
        keep = np.unique(np.round(np.linspace(0, values.shape[0] - 1, max_ticks)).astype(int))
        values = values[keep]
    labels = [_format_tick(v) for v in values]
    if axis == "x":
        if rotation is None:
            rotation = 45 if values.shape[0] > 5 else 0
        ax.set_xticks(values)
        ax.set_xticklabels(labels, rotation=rotation, ha="right" if rotation else "center")
    else:
        ax.set_yticks(values)
        ax.set_yticklabels(labels, rotation=rotation or 0)
    return values
