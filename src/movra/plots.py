"""Plot helpers shared by the toolbox's figures, and the weak-region marginal plot."""

import numpy as np

# Good-to-bad colours shared by the marginal plots: green is a good score, red a weak one.
_GOOD = "#1a9850"
_MIDDLE = "#fee08b"
_BAD = "#d73027"
_OK_BAR = "#6a9fcb"
_WEAK_BAR = "#d6604d"
_EMPTY_CELL = "#eeeeee"


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
        Rotation of the labels; by default x labels turn 45 degrees when they are many or long.

    Returns
    -------
    numpy.ndarray
        The tick positions kept.
    """
    if axis not in ("x", "y"):
        raise ValueError("axis must be 'x' or 'y'.")
    values = np.asarray(values, dtype=float).ravel()
    values = values[_thinned_positions(values.shape[0], max_ticks)]
    labels = _format_ticks(values)
    if axis == "x":
        longest = max((len(label) for label in labels), default=0)
        if rotation is None:
            rotation = 45 if values.shape[0] > 5 and longest > 3 or longest > 8 else 0
        # The room a label needs as a share of an axis some 6 inches long: its width when
        # level, about its height when turned.
        values = _spread_out(values, 0.035 if rotation else 0.016 * min(longest, 7))
        labels = _format_ticks(values)
        ax.set_xticks(values)
        ax.set_xticklabels(labels, rotation=rotation, ha="right" if rotation else "center",
                           rotation_mode="anchor")
    else:
        values = _spread_out(values, 0.03)
        labels = _format_ticks(values)
        ax.set_yticks(values)
        ax.set_yticklabels(labels, rotation=rotation or 0)
    return values


# ---- the marginal plot of the weak-region diagnoser ----


def _first(value):
    """A rule's "values"/"counts" may be a number or a one-element array (tree leaves)."""
    flat = np.ravel(np.asarray(value, dtype=float))
    return float(flat[0]) if flat.size else np.nan


def _interval(lb, ub, low, high):
    """An interval whose open ends (tree leaves) stop at the observed range [low, high]."""
    lb, ub = float(lb), float(ub)
    return (lb if np.isfinite(lb) else low), (ub if np.isfinite(ub) else high)


def _rule_box(rule, key, low, high):
    """The rule's interval on one feature."""
    bounds = rule["splits"].get(key, {})
    return _interval(bounds.get("lb", -np.inf), bounds.get("ub", np.inf), low, high)


def _observed(data, position, name):
    """The finite values of one feature of the searched rows."""
    column = np.asarray(data, dtype=float)[:, position]
    column = column[np.isfinite(column)]
    if column.shape[0] == 0:
        raise ValueError(f"feature {name!r} has no finite values to draw.")
    return column, float(np.min(column)), float(np.max(column))


def _is_weak(value, sign, threshold_value):
    return np.isfinite(value) and sign * value <= sign * threshold_value


def _split_name(use_test):
    return "test" if use_test else "train"


def _region_count(region, use_test):
    count = region.get("#Test" if use_test else "#Train")
    return None if count is None else int(count)


def _histogram_edges(values, bins):
    """Equal-width edges as the histogram slicer cuts them: one bin per distinct value when few."""
    n_unique = np.unique(values).shape[0]
    n_bins = max(1, min(int(bins) if bins else 10, n_unique))
    return np.histogram_bin_edges(values, bins=n_bins)


def _histogram_bins(value):
    # The slicer's own bins for histogram slicing; a finer view of the data for tree slicing.
    return value.get("bins") if value.get("method") == "histogram" else 20


def _good_to_bad_cmap(sign):
    from matplotlib.colors import LinearSegmentedColormap

    # Colours follow the metric: increasing values run from bad to good when higher is better.
    colours = [_BAD, _MIDDLE, _GOOD] if sign > 0 else [_GOOD, _MIDDLE, _BAD]
    cmap = LinearSegmentedColormap.from_list("movra_good_to_bad", colours)
    if hasattr(cmap, "with_extremes"):
        return cmap.with_extremes(bad=_EMPTY_CELL)
    cmap.set_bad(_EMPTY_CELL)  # matplotlib before 3.4
    return cmap


def _score_norm(values, threshold_value):
    """The colour scale of the cell scores and which ends of it are clipped.

    With many cells the scale spans the 2nd to 98th percentile, so that one tiny cell with an
    extreme score does not wash out the others.
    """
    from matplotlib.colors import Normalize, TwoSlopeNorm

    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return Normalize(vmin=threshold_value - 1, vmax=threshold_value + 1), "neither"
    low, high = float(np.min(finite)), float(np.max(finite))
    if finite.size >= 20:
        low_p, high_p = np.percentile(finite, [2, 98])
        low, high = min(float(low_p), threshold_value), max(float(high_p), threshold_value)
    extend = {(False, False): "neither", (True, False): "min", (False, True): "max",
              (True, True): "both"}[(bool(np.min(finite) < low), bool(np.max(finite) > high))]
    if low < threshold_value < high:
        # The neutral colour sits on the threshold, so weak cells are the red ones.
        return TwoSlopeNorm(vcenter=threshold_value, vmin=low, vmax=high), extend
    if low == high:
        low, high = low - 0.5 * abs(low or 1), high + 0.5 * abs(high or 1)
    return Normalize(vmin=low, vmax=high), extend


def _colourbar_ticks(norm, threshold_value):
    if norm.vmin < threshold_value < norm.vmax:
        return np.concatenate([np.linspace(norm.vmin, threshold_value, 3)[:-1],
                               np.linspace(threshold_value, norm.vmax, 4)])
    return np.linspace(norm.vmin, norm.vmax, 5)


def _title(value, feature_text):
    method = value.get("method", "")
    text = f"{value['score_name']} by {feature_text} ({method} slicing)"
    if not value.get("weak_region_stats"):
        text += ": no weak region"
    return text


def _direction(sign):
    return "higher is better" if sign > 0 else "lower is better"


def _place_labels(ax, centres, texts, span, levels=4):
    """Region labels along the top of ``ax``, stacked where neighbours would collide.

    Returns the number of labels left out because no level had room for them.
    """
    from matplotlib.transforms import blended_transform_factory

    transform = blended_transform_factory(ax.transData, ax.transAxes)
    # About one character in data units at font size 8 on a 9-inch-wide axes.
    char = 0.0125 * span
    occupied = [[] for _ in range(levels)]
    left_out = 0
    for i in np.argsort(centres, kind="stable"):
        half = 0.5 * char * (len(texts[i]) + 1.5)
        lo, hi = centres[i] - half, centres[i] + half
        level = next((k for k in range(levels)
                      if all(hi <= a or lo >= b for a, b in occupied[k])), None)
        if level is None:
            left_out += 1
            continue
        occupied[level].append((lo, hi))
        # Inside the axes by construction: kept out of the layout, clipped if the range is odd.
        ax.text(centres[i], 0.975 - 0.07 * level, texts[i], transform=transform,
                ha="center", va="top", fontsize=8, color="#7f1d1d", clip_on=True,
                in_layout=False,
                bbox=dict(boxstyle="round,pad=0.2", facecolor="white", edgecolor="none",
                          alpha=0.8))
    return left_out


def _plot_one_feature(fig, value, max_ticks):
    from matplotlib.patches import Patch
    from matplotlib.lines import Line2D

    fidx = list(value["fidx"])
    name = value["feature_names"][fidx[0]]
    column, low, high = _observed(value["x"], fidx[0], name)
    sign = value["_sign"]
    threshold_value = float(value["threshold_value"])
    use_test = bool(value.get("use_test"))

    grid = fig.add_gridspec(2, 1, height_ratios=[3, 1])
    ax_score = fig.add_subplot(grid[0])
    ax_hist = fig.add_subplot(grid[1], sharex=ax_score)

    edges = [low, high]
    heights = []
    for rule in value.get("rule_list") or []:
        lb, ub = _rule_box(rule, "f0", low, high)
        score = _first(rule["values"])
        edges.extend([lb, ub])
        if not np.isfinite(score) or _first(rule["counts"]) == 0:
            continue
        heights.append(score)
        colour = _WEAK_BAR if _is_weak(score, sign, threshold_value) else _OK_BAR
        ax_score.bar(lb, score, width=max(ub - lb, 1e-12 * (high - low or 1)), align="edge",
                     color=colour, edgecolor="white", linewidth=0.8)
    ax_score.axhline(threshold_value, color="black", linestyle="--", linewidth=1.2)
    # A constant feature's single bin is wider than the data: show all of it.
    start, stop = min(edges), max(edges)
    span = (stop - start) or 1.0

    regions = value.get("weak_region_stats") or []
    centres, texts = [], []
    for region in regions:
        lb, ub = _interval(region["lb1"], region["ub1"], low, high)
        ax_score.axvspan(lb, ub, color=_BAD, alpha=0.12, linewidth=0)
        count = _region_count(region, use_test)
        centres.append(0.5 * (lb + ub))
        texts.append("weak" if count is None else f"n={count:,}")
    left_out = _place_labels(ax_score, np.asarray(centres), texts, span)

    top = max(heights + [threshold_value, 0.0])
    bottom = min(heights + [threshold_value, 0.0])
    # Headroom above the bars for the region labels.
    ax_score.set_ylim(bottom - 0.05 * (top - bottom), top + 0.35 * ((top - bottom) or 1.0))
    ax_score.set_ylabel(f"average {value['score_name']}\n({_direction(sign)})")
    ax_score.tick_params(labelbottom=False)
    ax_score.grid(axis="y", alpha=0.3)

    part = "leaf" if value.get("method") == "tree" else "bin"
    handles = [Patch(color=_OK_BAR, label=part), Patch(color=_WEAK_BAR, label=f"weak {part}"),
               Line2D([], [], color="black", linestyle="--",
                      label=f"threshold {threshold_value:.4g}"),
               Patch(color=_BAD, alpha=0.12, label=f"weak region ({_split_name(use_test)} n)")]
    if left_out:
        handles.append(Patch(color="none", label=f"{left_out} region labels left out"))
    ax_score.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0),
                    fontsize=8, frameon=False)

    ax_hist.hist(column, bins=_histogram_edges(column, _histogram_bins(value)), color="#9e9e9e",
                 edgecolor="white", linewidth=0.5)
    ax_hist.set_ylabel("count")
    ax_hist.set_xlabel(name)
    ax_hist.set_xlim(start - 0.01 * span, stop + 0.01 * span)
    if value.get("method") == "histogram":
        # The slicer's bin edges, including those inside merged regions.
        edges = _histogram_edges(column, value.get("bins"))
    scale_plot_ticks(ax_hist, "x", np.unique(edges), max_ticks=max_ticks)
    fig.suptitle(_title(value, name))


def _plot_two_features(fig, value, max_ticks, cmap):
    from matplotlib.collections import PatchCollection
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch, Rectangle

    fidx = list(value["fidx"])
    names = [value["feature_names"][fidx[0]], value["feature_names"][fidx[1]]]
    first, low1, high1 = _observed(value["x"], fidx[0], names[0])
    second, low2, high2 = _observed(value["x"], fidx[1], names[1])
    sign = value["_sign"]
    threshold_value = float(value["threshold_value"])
    use_test = bool(value.get("use_test"))

    grid = fig.add_gridspec(2, 3, width_ratios=[5, 1.2, 0.25], height_ratios=[1.2, 5])
    ax_map = fig.add_subplot(grid[1, 0])
    ax_top = fig.add_subplot(grid[0, 0], sharex=ax_map)
    ax_right = fig.add_subplot(grid[1, 1], sharey=ax_map)
    ax_bar = fig.add_subplot(grid[1, 2])
    ax_key = fig.add_subplot(grid[0, 1:])
    ax_key.axis("off")

    boxes, scores = [], []
    for rule in value.get("rule_list") or []:
        box = _rule_box(rule, "f0", low1, high1) + _rule_box(rule, "f1", low2, high2)
        if box[1] < box[0] or box[3] < box[2]:
            continue
        boxes.append(box)
        score = _first(rule["values"])
        scores.append(score if _first(rule["counts"]) > 0 else np.nan)
    # The drawn range: the data's, widened to whole cells (a constant feature's bin is wider).
    start1 = min([low1] + [b[0] for b in boxes])
    stop1 = max([high1] + [b[1] for b in boxes])
    start2 = min([low2] + [b[2] for b in boxes])
    stop2 = max([high2] + [b[3] for b in boxes])
    span1, span2 = (stop1 - start1) or 1.0, (stop2 - start2) or 1.0
    edges1 = [start1, stop1] + [b[k] for b in boxes for k in (0, 1)]
    # Degenerate cells (a single value) still get a visible sliver.
    cells = [Rectangle((b[0], b[2]), max(b[1] - b[0], 0.004 * span1),
                       max(b[3] - b[2], 0.004 * span2)) for b in boxes]
    scores = np.asarray(scores, dtype=float)
    if cmap is None:
        cmap = _good_to_bad_cmap(sign)
    norm, extend = _score_norm(scores, threshold_value)
    collection = PatchCollection(cells, cmap=cmap, norm=norm, edgecolor="white", linewidth=0.4)
    collection.set_array(np.ma.masked_invalid(scores))
    ax_map.add_collection(collection)
    colourbar = fig.colorbar(collection, cax=ax_bar, extend=extend)
    colourbar.set_label(f"average {value['score_name']} ({_direction(sign)})")
    ticks = _colourbar_ticks(norm, threshold_value)
    colourbar.set_ticks(ticks)
    colourbar.set_ticklabels(_format_ticks(ticks))
    if norm.vmin <= threshold_value <= norm.vmax:
        colourbar.ax.axhline(threshold_value, color="black", linestyle="--", linewidth=1.2)

    for region in value.get("weak_region_stats") or []:
        lb1, ub1 = _interval(region["lb1"], region["ub1"], low1, high1)
        lb2, ub2 = _interval(region["lb2"], region["ub2"], low2, high2)
        ax_map.add_patch(Rectangle((lb1, lb2), max(ub1 - lb1, 0.004 * span1),
                                   max(ub2 - lb2, 0.004 * span2), fill=False,
                                   edgecolor="black", linewidth=1.8))
        count = _region_count(region, use_test)
        if count is not None and ub1 - lb1 > 0.09 * span1 and ub2 - lb2 > 0.05 * span2:
            ax_map.text(0.5 * (lb1 + ub1), 0.5 * (lb2 + ub2), f"n={count:,}", ha="center",
                        va="center", fontsize=7, clip_on=True, in_layout=False,
                        bbox=dict(boxstyle="round,pad=0.15", facecolor="white",
                                  edgecolor="none", alpha=0.75))
    ax_map.set_xlim(start1 - 0.01 * span1, stop1 + 0.01 * span1)
    ax_map.set_ylim(start2 - 0.01 * span2, stop2 + 0.01 * span2)
    ax_map.set_xlabel(names[0])
    ax_map.set_ylabel(names[1])

    edges_first = _histogram_edges(first, _histogram_bins(value))
    edges_second = _histogram_edges(second, _histogram_bins(value))
    ax_top.hist(first, bins=edges_first, color="#9e9e9e", edgecolor="white", linewidth=0.5)
    ax_right.hist(second, bins=edges_second, orientation="horizontal", color="#9e9e9e",
                  edgecolor="white", linewidth=0.5)
    ax_top.set_ylabel("count")
    ax_right.set_xlabel("count")
    ax_top.tick_params(labelbottom=False)
    ax_right.tick_params(labelleft=False)
    if value.get("method") == "histogram":
        edges1 = edges_first
    scale_plot_ticks(ax_map, "x", np.unique(edges1), max_ticks=max_ticks)
    scale_plot_ticks(ax_map, "y", edges_second, max_ticks=max_ticks)

    handles = [Patch(facecolor="white", edgecolor="black", linewidth=1.8,
                     label=f"weak region ({_split_name(use_test)} n)"),
               Patch(color=_EMPTY_CELL, label="empty cell"),
               Line2D([], [], color="black", linestyle="--",
                      label=f"threshold {threshold_value:.4g}")]
    ax_key.legend(handles=handles, loc="center", fontsize=8, frameon=False)
    fig.suptitle(_title(value, f"{names[0]} and {names[1]}"))


def _new_figure(figure_class, figsize):
    try:
        return figure_class(figsize=figsize, layout="constrained")
    except TypeError:  # matplotlib before 3.5
        return figure_class(figsize=figsize, constrained_layout=True)


def plot_marginal_result(result, figsize=None, max_ticks=11, cmap=None):
    """Draw a weak-region marginal result as a matplotlib figure.

    One slicing feature: the average score of every bin (or tree leaf) as bars, the threshold
    as a dashed line, the weak regions shaded with their sample counts, and the feature's
    histogram below. Two slicing features: the average score of every cell as a heat map
    coloured from good to bad, weak regions outlined, and both features' histograms at the
    margins.

    Parameters
    ----------
    result : TestDataResult or dict
        The result of ``SagZone.get_marginal``, or its value.
    figsize : tuple of float, optional
        Figure size in inches.
    max_ticks : int, default=11
        The largest number of labelled ticks per axis (all edges of 10 bins).
    cmap : matplotlib colormap, optional
        Heat-map colours for two features; by default from good (green) to bad (red)
        following the metric's direction.

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    value = getattr(result, "value", result)
    if not isinstance(value, dict):
        raise TypeError("result must be the result of get_marginal or its value dictionary.")
    fidx = list(value["fidx"])
    if len(fidx) not in (1, 2):
        raise ValueError(f"a marginal plot draws one or two slicing features, got {len(fidx)}.")
    if np.asarray(value["x"]).shape[0] == 0:
        raise ValueError("the marginal result holds no rows to draw.")
    # A standalone Figure: no pyplot state, so it works headless and shows once in a notebook.
    if len(fidx) == 1:
        fig = _new_figure(Figure, figsize or (9, 6))
        _plot_one_feature(fig, value, max_ticks)
    else:
        fig = _new_figure(Figure, figsize or (9, 7.5))
        _plot_two_features(fig, value, max_ticks, cmap)
    return fig


# ---- the effects of a depth-2 boosted model ----

_EFFECT_LINE = "#1f4e79"
_MAIN_BAR = "#4a7fb0"
_PAIR_BAR = "#b07aa1"
_MISSING_MARK = "#c45a00"
_HISTOGRAM = "#a8a8a8"
_NOTE = "#555555"
# Distinct values up to which a histogram gets one bar per value (counts, ratings, flags).
_FEW_VALUES = 25


def _margin_label(margin):
    return f"effect on the {margin}"


def _percent(share):
    """A share as a percentage: one decimal, or two significant digits below 1%."""
    value = 100.0 * share
    return f"{value:.1f}%" if value >= 0.995 or value == 0 else f"{value:#.2g}%"


def _share_text(share):
    return f"{_percent(share)} of the variance"


def _drawn_range(points, column, bars):
    """The range drawn along a feature: its training values, split points and histogram bars,
    with a margin. Step functions span all of it, so no level shrinks to a stub at an end."""
    parts = [column[np.isfinite(column)], np.asarray(points, dtype=float)]
    if bars is not None:
        parts.append(np.asarray(bars, dtype=float))
    candidates = np.concatenate(parts)
    low, high = (float(np.min(candidates)), float(np.max(candidates))) if candidates.size \
        else (0.0, 1.0)
    if low == high:
        low, high = low - 0.5, high + 0.5
    pad = 0.01 * (high - low)
    return low - pad, high + pad


def _step_edges(points, drawn_range):
    """Edges of a step function's intervals: its split points, closed by the drawn range."""
    return np.concatenate([[drawn_range[0]], np.asarray(points, dtype=float), [drawn_range[1]]])


def _distribution(values):
    """What a histogram of one feature draws: left edges, heights and widths of the bars, and
    whether there is one bar per distinct value."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return np.empty(0), np.empty(0), np.empty(0), False
    distinct, counts = np.unique(finite, return_counts=True)
    if distinct.size <= _FEW_VALUES:
        # One bar per value, centred on it: a rating of 3 is not the bin [2.8, 3.6).
        gap = np.min(np.diff(distinct)) if distinct.size > 1 else 1.0
        return distinct - 0.4 * gap, counts, np.full(distinct.size, 0.8 * gap), True
    counts, edges = np.histogram(finite, bins=30)
    return edges[:-1], counts, np.diff(edges), False


def _draw_distribution(ax, values, orientation="vertical"):
    """The feature's training distribution; returns the range the bars cover (None: no bar)."""
    starts, counts, widths, per_value = _distribution(values)
    if starts.size == 0:
        return None
    vertical = orientation == "vertical"
    if vertical:
        ax.bar(starts, counts, width=widths, align="edge", color=_HISTOGRAM, edgecolor="white",
               linewidth=0.4)
    else:
        ax.barh(starts, counts, height=widths, align="edge", color=_HISTOGRAM,
                edgecolor="white", linewidth=0.4)
    if per_value and starts.size <= 12:
        # A few distinct values: each one labelled under its bar.
        centres = starts + 0.5 * widths
        (ax.set_xticks if vertical else ax.set_yticks)(centres)
        (ax.set_xticklabels if vertical else ax.set_yticklabels)(_format_ticks(centres))
    return float(starts[0]), float(starts[-1] + widths[-1])


def _no_offset(ax):
    # Plain numbers on the axes: an offset ("+1.9e3") above a tick column is easily missed.
    for axis in (ax.xaxis, ax.yaxis):
        formatter = axis.get_major_formatter()
        if hasattr(formatter, "set_useOffset"):
            formatter.set_useOffset(False)


def _draw_main_effect(fig, spec, value, compact=False):
    """A main effect: its step function over the training histogram, missing values apart."""
    column = np.asarray(value["x"], dtype=float)
    points = np.asarray(value["split_points"], dtype=float)
    levels = np.asarray(value["levels"], dtype=float)
    n_missing = int(np.count_nonzero(np.isnan(column)))

    ratios = [7, 1] if n_missing else [1]
    grid = spec.subgridspec(2, len(ratios), height_ratios=[3, 1], width_ratios=ratios,
                            wspace=0.03, hspace=0.04)
    ax = fig.add_subplot(grid[0, 0])
    ax_hist = fig.add_subplot(grid[1, 0], sharex=ax)
    bars = _draw_distribution(ax_hist, column)
    drawn = _drawn_range(points, column, bars)
    # Exact steps: level i holds on [edges[i], edges[i + 1]); the last level is the one for
    # missing values, drawn apart.
    ax.stairs(levels[:points.size + 1], _step_edges(points, drawn), baseline=None,
              color=_EFFECT_LINE, linewidth=1.8 if compact else 2.2)
    distinct = np.unique(column[np.isfinite(column)])
    if distinct.size <= _FEW_VALUES:
        from movra.models.utils import predict_1D_func_tree

        # Few distinct values: a dot shows which level each value gets, the one at a jump
        # included (a value equal to a split point takes the level after it).
        ax.plot(distinct, predict_1D_func_tree(distinct, value), marker="o", linestyle="none",
                markersize=4.5, color=_EFFECT_LINE)
    ax.axhline(0.0, color=_NOTE, linewidth=0.7, linestyle=":")
    ax.tick_params(labelbottom=False)
    ax.grid(axis="y", alpha=0.3)
    ax_hist.set_xlim(*drawn)
    ax_hist.set_xlabel(value["name"])
    ax_hist.set_ylabel("count")
    if not compact:
        ax.set_ylabel(_margin_label(value["margin"]))

    if n_missing:
        ax_missing = fig.add_subplot(grid[0, 1], sharey=ax)
        ax_missing.plot([0.0], [levels[-1]], marker="D", markersize=7, linestyle="none",
                        color=_MISSING_MARK)
        ax_missing.axhline(0.0, color=_NOTE, linewidth=0.7, linestyle=":")
        ax_missing.set_xlim(-1.0, 1.0)
        ax_missing.set_xticks([0.0])
        ax_missing.set_xticklabels([f"missing\nn={n_missing:,}"], fontsize=8)
        ax_missing.tick_params(labelleft=False, left=False)
        ax_missing.grid(axis="y", alpha=0.3)
    _no_offset(ax)
    _no_offset(ax_hist)

    notes = []
    if value.get("monotone"):
        notes.append("constrained to " + ("increase" if value["monotone"] > 0 else "decrease"))
    if not compact:
        notes.append("0 is the average over the training data")
    if notes:
        ax.set_title("; ".join(notes), loc="left", fontsize=8, color=_NOTE)
    return ax


def _colour_limit(levels, values_at_rows, drawn_rows):
    """A symmetric colour scale for an interaction, and which of its ends are clipped.

    The limit covers 99% of the values at the training rows drawn on the grid, so that one
    extreme cell holding few rows does not wash out the others; clipped cells take the end
    colours.
    """
    at_rows = np.abs(np.asarray(values_at_rows, dtype=float)[drawn_rows])
    at_rows = at_rows[np.isfinite(at_rows)]
    largest = float(np.max(np.abs(levels))) if levels.size else 0.0
    limit = float(np.percentile(at_rows, 99)) if at_rows.size else largest
    if limit <= 0.0:
        limit = largest if largest > 0.0 else 1.0
    clipped = (bool(levels.size and np.min(levels) < -limit),
               bool(levels.size and np.max(levels) > limit))
    extend = {(False, False): "neither", (True, False): "min", (False, True): "max",
              (True, True): "both"}[clipped]
    return limit, extend


def _scarce_cells(columns, edges):
    """Cells of an interaction's grid where the two features rarely meet in the training data,
    as (i, j) pairs: fewer than 10% of the rows the two histograms alone would put there.

    Only cells that the histograms would give at least 5 rows are judged, so that a fine grid's
    small cells do not count as scarce by chance.
    """
    # The model compares float32 values with float32 split points; so does this count.
    a, b = (np.asarray(c, dtype=np.float32).astype(float) for c in columns)
    both = np.isfinite(a) & np.isfinite(b)
    counts, _, _ = np.histogram2d(a[both], b[both], bins=[edges[0], edges[1]])
    n = counts.sum()
    if n == 0:
        return np.empty((0, 2), dtype=int)
    expected = np.outer(counts.sum(axis=1), counts.sum(axis=0)) / n
    return np.argwhere((expected >= 5) & (counts < 0.1 * expected))


def _draw_interaction(fig, spec, value, compact=False):
    """An interaction: a heat map on its split grid, centred at 0, with the features' margins."""
    from matplotlib.collections import PatchCollection
    from matplotlib.colors import Normalize
    from matplotlib.patches import Patch, Rectangle

    names = value["names"]
    columns = [np.asarray(c, dtype=float) for c in value["x"]]
    points = [np.asarray(p, dtype=float) for p in value["split_points"]]
    # The last row and column are the levels for missing values: not on the grid.
    levels = np.asarray(value["levels"], dtype=float)[:-1, :-1]
    # Rows with a missing value take the levels that are not drawn.
    limit, extend = _colour_limit(levels, value["values_at_rows"],
                                  np.isfinite(columns[0]) & np.isfinite(columns[1]))

    if compact:
        grid = spec.subgridspec(1, 2, width_ratios=[20, 1], wspace=0.05)
        ax = fig.add_subplot(grid[0, 0])
        ax_bar = fig.add_subplot(grid[0, 1])
        bars = [None, None]
    else:
        grid = spec.subgridspec(2, 3, width_ratios=[5, 1.1, 0.22], height_ratios=[1.1, 5],
                                wspace=0.05, hspace=0.05)
        ax = fig.add_subplot(grid[1, 0])
        ax_top = fig.add_subplot(grid[0, 0], sharex=ax)
        ax_right = fig.add_subplot(grid[1, 1], sharey=ax)
        ax_bar = fig.add_subplot(grid[1, 2])
        ax_key = fig.add_subplot(grid[0, 1:])
        ax_key.axis("off")
        bars = [_draw_distribution(ax_top, columns[0]),
                _draw_distribution(ax_right, columns[1], orientation="horizontal")]
    drawn = [_drawn_range(points[k], columns[k], bars[k]) for k in (0, 1)]
    edges = [_step_edges(points[k], drawn[k]) for k in (0, 1)]

    # Cells as wide and as tall as the intervals between split points; rows of `levels` run
    # along the first feature, the mesh wants them along y.
    mesh = ax.pcolormesh(edges[0], edges[1], levels.T, cmap="RdBu_r",
                         norm=Normalize(vmin=-limit, vmax=limit), shading="flat",
                         edgecolors="white", linewidth=0.3 if levels.size <= 400 else 0.0)
    scarce = _scarce_cells(columns, edges)
    if scarce.size:
        # The model has a level there, but hardly any training row backs it.
        cells = [Rectangle((edges[0][i], edges[1][j]), edges[0][i + 1] - edges[0][i],
                           edges[1][j + 1] - edges[1][j]) for i, j in scarce]
        ax.add_collection(PatchCollection(cells, facecolor="none", edgecolor="#8a8a8a",
                                          hatch="////", linewidth=0.0))
    bar = fig.colorbar(mesh, cax=ax_bar, extend=extend)
    ax.set_xlim(*drawn[0])
    ax.set_ylim(*drawn[1])
    ax.set_xlabel(names[0])
    ax.set_ylabel(names[1])
    _no_offset(ax)
    if compact:
        return ax

    bar.set_label(_margin_label(value["margin"]))
    ax_top.set_ylabel("count")
    ax_right.set_xlabel("count")
    ax_top.tick_params(labelbottom=False)
    ax_right.tick_params(labelleft=False)
    _no_offset(ax_top)
    _no_offset(ax_right)
    handles = [Patch(facecolor="none", edgecolor="#8a8a8a", hatch="////",
                     label="the two features rarely meet here")] if scarce.size else []
    notes = ["each row and column of cells averages 0,", "weighted by the other feature's histogram"]
    if any(np.isnan(c).any() for c in columns):
        notes.append("missing values not drawn")
    handles += [Patch(color="none", label=note) for note in notes]
    ax_key.legend(handles=handles, loc="center", fontsize=8, frameon=False,
                  handlelength=1.5 if scarce.size else 0.0)
    return ax


def _sum_of_effects(margin, intercept):
    return f"{margin} = intercept {intercept:.4g} + the effects"


def _effect_title(value):
    if value["kind"] == "main":
        return f"{value['name']}: main effect, {_share_text(value['share'])}"
    return (f"{value['names'][0]} × {value['names'][1]}: interaction, "
            f"{_share_text(value['share'])}")


def plot_effect_result(value, figsize=None):
    """Draw one effect of a depth-2 boosted model (``XGB2Base.plot_effect``).

    A main effect is its exact step function over the split points, in the units of the
    model's margin, above the feature's training histogram; the level for missing values is
    a marker beside the axis when the training data had missing values of the feature. An
    interaction is a heat map on its split grid (cells as wide as the intervals between split
    points), coloured on a scale centred at 0, with both features' histograms at the margins.

    Parameters
    ----------
    value : dict
        "kind" ("main" or "interaction"), "split_points", "levels", "x" (the training
        column, or the pair of columns), "margin", "share"; "name" and "monotone" for a main
        effect, "names" and "values_at_rows" for an interaction.
    figsize : tuple of float, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    if value["kind"] == "main":
        fig = _new_figure(Figure, figsize or (8, 5.5))
        _draw_main_effect(fig, fig.add_gridspec(1, 1)[0], value)
    else:
        fig = _new_figure(Figure, figsize or (8, 7))
        _draw_interaction(fig, fig.add_gridspec(1, 1)[0], value)
    fig.suptitle(_effect_title(value))
    return fig


def plot_effect_grid(values, intercept, margin, figsize=None):
    """Draw several effects of a depth-2 boosted model in one figure (``plot_effects``).

    Parameters
    ----------
    values : list of dict
        The effects as ``plot_effect_result`` takes them, most important first.
    intercept : float
    margin : str
        What the effects add to: "prediction" or "log-odds".
    figsize : tuple of float, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    n = len(values)
    columns = 1 if n <= 1 else 2 if n <= 4 else 3
    rows = max(1, -(-n // columns))
    fig = _new_figure(Figure, figsize or (4.6 * columns, 3.9 * rows + 0.4))
    if n == 0:
        fig.text(0.5, 0.5, f"The model is constant: intercept {intercept:.4g}", ha="center",
                 va="center")
        return fig
    grid = fig.add_gridspec(rows, columns)
    for i, value in enumerate(values):
        draw = _draw_main_effect if value["kind"] == "main" else _draw_interaction
        ax = draw(fig, grid[i // columns, i % columns], value, compact=True)
        label = value["name"] if value["kind"] == "main" else " × ".join(value["names"])
        # The title on top of the panel, above any note.
        ax.annotate(f"{label} ({_percent(value['share'])})", (0.5, 1.0),
                    xycoords="axes fraction", xytext=(0, 6 if ax.get_title(loc="left") == ""
                                                      else 16),
                    textcoords="offset points", ha="center", va="bottom",
                    fontsize=10, fontweight="bold")
    shown = sum(v["share"] for v in values)
    subtitle = _sum_of_effects(margin, intercept)
    if any(v["kind"] == "interaction" for v in values):
        subtitle += "; hatched: values the two features rarely take together"
    fig.suptitle(f"The {n} most important effects, {_percent(shown)} of the model's variance\n"
                 + subtitle, fontsize=11)
    fig.supylabel(_margin_label(margin))
    return fig


def plot_effect_importance(value, top=15, figsize=None):
    """Draw the importance of the effects of a depth-2 boosted model (``plot_importance``).

    Horizontal bars of each effect's share of the model's variance over the training data, in
    %, largest on top; main effects and interactions in two colours.

    Parameters
    ----------
    value : dict
        "labels", "kinds" ("main" or "interaction") and "shares" (fractions summing to 1),
        most important first; "intercept" and "margin".
    top : int, default=15
        The number of effects drawn; the rest are summed up in a note.
    figsize : tuple of float, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    labels = list(value["labels"])[:top]
    kinds = list(value["kinds"])[:top]
    shares = 100.0 * np.asarray(value["shares"], dtype=float)
    drawn, rest = shares[:top], shares[top:]
    n = len(labels)
    fig = _new_figure(Figure, figsize or (7.5, 1.6 + 0.32 * max(n, 3)))
    ax = fig.add_subplot()
    positions = np.arange(n)
    colours = [_MAIN_BAR if k == "main" else _PAIR_BAR for k in kinds]
    ax.barh(positions, drawn, color=colours, height=0.7)
    ax.set_yticks(positions)
    ax.set_yticklabels(labels)
    ax.invert_yaxis()  # the largest on top
    ax.set_xlim(0, max(float(np.max(drawn)) if n else 1.0, 1e-9) * 1.16)
    for y, share in zip(positions, drawn):
        ax.text(share, y, " " + _percent(share / 100.0), va="center", ha="left", fontsize=8)
    ax.set_xlabel("share of the model's variance over the training data (%)")
    ax.grid(axis="x", alpha=0.3)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    handles = [Patch(color=_MAIN_BAR, label="main effect"),
               Patch(color=_PAIR_BAR, label="interaction")]
    ax.legend(handles=[h for h, k in zip(handles, ("main", "interaction")) if k in kinds],
              loc="lower right", fontsize=8, frameon=False)
    note = _sum_of_effects(value["margin"], value["intercept"])
    if rest.size:
        note += f"; {rest.size} more effects, {_percent(rest.sum() / 100.0)} together"
    if n == 0:
        note = f"The model is constant: {value['margin']} = intercept {value['intercept']:.4g}"
    ax.set_title(note, loc="left", fontsize=9, color=_NOTE)
    fig.suptitle("Importance of the effects")
    return fig


# -- the scan ------------------------------------------------------------------------------------

def _region_label(row):
    """A region in words: "a in [lb, ub)" or "a × b" with both intervals."""
    def interval(lb, ub):
        return f"[{lb:.4g}, {ub:.4g})"
    text = f"{row['feature_1']} {interval(row['lb_1'], row['ub_1'])}"
    if _has_second(row):
        text += f" × {row['feature_2']} {interval(row['lb_2'], row['ub_2'])}"
    return text


def _has_second(row):
    second = row["feature_2"]
    return second is not None and not (isinstance(second, float) and np.isnan(second))


def plot_scan_result(results, features, top=10, figsize=None, score_name=None, *, worst,
                     significant):
    """Draw a scan: a features × features matrix of the worst severity found (single features
    on the diagonal, pairs off it, significant cells marked), beside bars of the top regions.

    Parameters
    ----------
    results : pandas.DataFrame
        ``SagZoneScan.results_``.
    features : list of str
        The scanned features, in the matrix's order.
    worst : array-like of shape (len(features), len(features))
        ``SagZoneScan.severity_matrix_``: the worst reported severity of each cell, NaN for none.
    significant : array-like of bool, the same shape
        ``SagZoneScan.significant_matrix_``: whether each cell's region is significant.
    top : int, default=10
        The number of regions drawn as bars.
    figsize : tuple of float, optional
    score_name : str, optional
        The metric's name, for the title.

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    if int(top) < 1:
        raise ValueError("top must be at least 1.")
    features = list(features)
    n = len(features)
    worst = np.asarray(worst, dtype=float)
    marked = np.asarray(significant, dtype=bool)
    if worst.shape != (n, n) or marked.shape != (n, n):
        raise ValueError(f"worst and significant must be {n} x {n} matrices, one cell per pair "
                         f"of features; got {worst.shape} and {marked.shape}.")
    side = min(max(4.0, 0.32 * n + 2.0), 11.0)
    fig = _new_figure(Figure, figsize or (side + 6.5, max(side, 0.35 * min(top, len(results)) + 2)))
    grid = fig.add_gridspec(1, 2, width_ratios=[side, 6.5])
    ax_matrix, ax_bars = fig.add_subplot(grid[0]), fig.add_subplot(grid[1])

    limit = np.nanmax(worst) if np.isfinite(worst).any() and np.nanmax(worst) > 0 else 1.0
    shown = np.ma.masked_invalid(np.clip(worst, 0, None))
    image = ax_matrix.imshow(shown, cmap="Reds", vmin=0, vmax=limit, interpolation="nearest")
    ax_matrix.set_facecolor(_EMPTY_CELL)
    rows, cols = np.nonzero(marked)
    ax_matrix.scatter(cols, rows, marker="o", s=max(6, 120 / max(n, 1)), facecolors="none",
                      edgecolors="black", linewidths=1.0)
    ax_matrix.set_xticks(range(n))
    ax_matrix.set_yticks(range(n))
    ax_matrix.set_xticklabels(features, rotation=90, fontsize=max(5, 9 - n // 10))
    ax_matrix.set_yticklabels(features, fontsize=max(5, 9 - n // 10))
    ax_matrix.set_title("worst severity of each feature (diagonal)\nand pair; o: significant",
                        fontsize=10)
    fig.colorbar(image, ax=ax_matrix, shrink=0.7, label="severity")

    shown_rows = results.head(int(top))
    labels = [_region_label(row) for _, row in shown_rows.iterrows()]
    values = shown_rows["severity"].to_numpy(dtype=float)
    colours = [_WEAK_BAR if s else _OK_BAR for s in shown_rows["significant"]]
    positions = np.arange(len(values))[::-1]
    ax_bars.barh(positions, values, color=colours)
    if len(values) and np.nanmax(values) > 0:
        ax_bars.set_xlim(0, 1.22 * np.nanmax(values))  # room for the q-values
    ax_bars.set_yticks(positions)
    ax_bars.set_yticklabels(labels, fontsize=8)
    for y, (v, q) in zip(positions, zip(values, shown_rows["q_value"])):
        ax_bars.annotate(f" q={q:.2g}", (max(v, 0), y), va="center", fontsize=7)
    ax_bars.set_xlabel("severity (share of the held-out split's excess error)")
    ax_bars.set_title(f"top {len(values)} regions (red: significant)", fontsize=10)
    ax_bars.grid(axis="x", color="#dddddd", linewidth=0.6)
    if not len(values):
        ax_bars.text(0.5, 0.5, "no weak region found", ha="center", va="center",
                     transform=ax_bars.transAxes)
    title = "Weak regions of every feature and pair"
    fig.suptitle(title + (f" ({score_name})" if score_name else ""))
    return fig
