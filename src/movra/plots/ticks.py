"""Tick positions and labels that keep bin edges readable."""

import numpy as np


def _format_ticks(values):
    """Labels for increasing tick positions: as few decimals as tell them apart readably."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return [f"{v:g}" for v in values]
    largest = np.max(np.abs(finite))
    steps = np.diff(np.unique(finite))
    step = np.min(steps) if steps.size else (largest if largest > 0 else 1.0)
    if largest >= 1e6 or step < 1e-4:
        return [f"{v:.3g}" if v == 0 else f"{v:.2e}" for v in values]
    # The fewest decimals that put every label within 1% of a step of its value.
    decimals = 0
    while decimals < 6 and np.max(np.abs(np.round(finite, decimals) - finite)) > 0.01 * step:
        decimals += 1
    thousands = "," if largest >= 1e4 else ""
    labels = []
    for v in values:
        text = f"{v:{thousands}.{decimals}f}" if np.isfinite(v) else f"{v:g}"
        # No "-0.00" for a value that only rounds to zero.
        labels.append(text[1:] if text.startswith("-") and text.strip("-0.,") == "" else text)
    return labels


def _thinned_positions(n, max_ticks):
    """Every k-th of n ticks, the first and the last kept, at most ``max_ticks`` of them.

    A regular stride keeps the labelled ticks evenly spaced when they are bin edges.
    """
    if n <= max_ticks or n <= 2:
        return np.arange(n)
    if max_ticks <= 1:
        return np.arange(1)
    shortest = int(np.ceil((n - 1) / (max_ticks - 1)))
    # A stride that divides the edges exactly, if one is not much coarser than needed.
    stride = next((s for s in range(shortest, 2 * shortest + 1) if (n - 1) % s == 0), shortest)
    keep = list(range(0, n, stride))
    if keep[-1] != n - 1:
        # The last edge joins or replaces the last regular tick: its gap stays 0.5 to 1.5 strides.
        if n - 1 - keep[-1] < 0.5 * stride or len(keep) >= max_ticks:
            keep[-1] = n - 1
        else:
            keep.append(n - 1)
    return np.asarray(keep)


def _spread_out(values, share):
    """Drops ticks closer than ``share`` of the range to a neighbour, as irregular edges (tree
    splits) can be, so that their labels do not collide; the first and the last tick stay."""
    if values.shape[0] <= 2 or not np.all(np.isfinite(values)):
        return values
    gap = share * (values[-1] - values[0])
    keep = [0]
    for i in range(1, values.shape[0] - 1):
        if values[i] - values[keep[-1]] >= gap and values[-1] - values[i] >= gap:
            keep.append(i)
    keep.append(values.shape[0] - 1)
    return values[keep]


def scale_plot_ticks(ax, axis, values, max_ticks=10, rotation=None, extra_ticks=()):
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
        Rotation of the labels; by default x labels turn 45 degrees when they are many or long.
    extra_ticks : sequence of (float, str), optional
        Ticks put after those of ``values`` as they are, never thinned: a slot beside the axis
        (missing values) with its name.

    Returns
    -------
    numpy.ndarray
        The tick positions kept (of ``values``).
    """
    if axis not in ("x", "y"):
        raise ValueError("axis must be 'x' or 'y'.")
    values = np.asarray(values, dtype=float).ravel()
    values = values[_thinned_positions(values.shape[0], max_ticks)]
    labels = _format_ticks(values)
    extra_positions = [float(position) for position, _ in extra_ticks]
    extra_labels = [str(label) for _, label in extra_ticks]
    if axis == "x":
        longest = max((len(label) for label in labels + extra_labels), default=0)
        if rotation is None:
            rotation = 45 if values.shape[0] > 5 and longest > 3 or longest > 8 else 0
        # The room a label needs as a share of an axis some 6 inches long: its width when
        # level, about its height when turned.
        values = _spread_out(values, 0.035 if rotation else 0.016 * min(longest, 7))
        labels = _format_ticks(values)
        ax.set_xticks(list(values) + extra_positions)
        ax.set_xticklabels(labels + extra_labels, rotation=rotation,
                           ha="right" if rotation else "center", rotation_mode="anchor")
    else:
        values = _spread_out(values, 0.03)
        labels = _format_ticks(values)
        ax.set_yticks(list(values) + extra_positions)
        ax.set_yticklabels(labels + extra_labels, rotation=rotation or 0)
    return values
