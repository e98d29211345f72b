"""The marginal figure of the weak-region diagnoser (``SagZone.plot_marginal``)."""

import numpy as np

from ._style import _EMPTY_CELL, _OK_BAR, _WEAK_BAR, _new_figure
from .ticks import _format_ticks, scale_plot_ticks

# Good-to-bad colours of the scores: green is a good score, red a weak one.
_GOOD = "#1a9850"
_MIDDLE = "#fee08b"
_BAD = "#d73027"


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


def _first_feature_edges(value, column):
    """The (first) slicing feature's histogram edges: the slicer's own bins ("bins1d") for
    histogram slicing; 20 equal-width bins of the data for tree slicing, which has no bins."""
    edges = value.get("bins1d")
    if edges is not None:
        return np.asarray(edges, dtype=float)
    # A result that does not carry the slicer's edges (DaskSagZone's) is cut as the slicer cuts.
    return _histogram_edges(column, _histogram_bins(value))


def _first_feature_counts(value, edges):
    """Rows in each first-feature bin as the two-feature histogram search counted them
    ("bin_stats"), or None when the result does not carry them."""
    stats = value.get("bin_stats")
    if not stats:
        return None
    if len(stats) != edges.shape[0] - 1:
        raise ValueError(f"bin_stats holds {len(stats)} bins but bins1d has "
                         f"{edges.shape[0] - 1}.")
    return np.array([float(item["support"]) for item in stats])


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

    edges_hist = _first_feature_edges(value, column)
    ax_hist.hist(column, bins=edges_hist, color="#9e9e9e", edgecolor="white", linewidth=0.5)
    ax_hist.set_ylabel("count")
    ax_hist.set_xlabel(name)
    ax_hist.set_xlim(start - 0.01 * span, stop + 0.01 * span)
    if value.get("method") == "histogram":
        # The slicer's bin edges, including those inside merged regions.
        edges = edges_hist
    scale_plot_ticks(ax_hist, "x", np.unique(edges), max_ticks=max_ticks)
    fig.suptitle(_title(value, name))


def _draw_score_cells(fig, ax_map, ax_bar, boxes, scores, value, cmap, spans):
    """The cells' average scores as a heat map, with its colour bar marking the threshold."""
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    sign = value["_sign"]
    threshold_value = float(value["threshold_value"])
    # Degenerate cells (a single value) still get a visible sliver.
    cells = [Rectangle((b[0], b[2]), max(b[1] - b[0], 0.004 * spans[0]),
                       max(b[3] - b[2], 0.004 * spans[1])) for b in boxes]
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


def _outline_regions(ax_map, regions, use_test, ranges, spans):
    """Each weak region outlined on the heat map, with its count where it has room."""
    from matplotlib.patches import Rectangle

    low1, high1, low2, high2 = ranges
    span1, span2 = spans
    for region in regions:
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


def _plot_two_features(fig, value, max_ticks, cmap):
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    fidx = list(value["fidx"])
    names = [value["feature_names"][fidx[0]], value["feature_names"][fidx[1]]]
    first, low1, high1 = _observed(value["x"], fidx[0], names[0])
    second, low2, high2 = _observed(value["x"], fidx[1], names[1])
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
    _draw_score_cells(fig, ax_map, ax_bar, boxes, scores, value, cmap, (span1, span2))

    _outline_regions(ax_map, value.get("weak_region_stats") or [], use_test,
                     (low1, high1, low2, high2), (span1, span2))
    ax_map.set_xlim(start1 - 0.01 * span1, stop1 + 0.01 * span1)
    ax_map.set_ylim(start2 - 0.01 * span2, stop2 + 0.01 * span2)
    ax_map.set_xlabel(names[0])
    ax_map.set_ylabel(names[1])

    edges_first = _first_feature_edges(value, first)
    counts_first = _first_feature_counts(value, edges_first)
    # The second feature has no bins of its own (it is cut inside each first-feature bin): its
    # margin is a view of the data with as many bins.
    edges_second = _histogram_edges(second, _histogram_bins(value))
    if counts_first is None:
        ax_top.hist(first, bins=edges_first, color="#9e9e9e", edgecolor="white", linewidth=0.5)
    else:
        ax_top.bar(edges_first[:-1], counts_first, width=np.diff(edges_first), align="edge",
                   color="#9e9e9e", edgecolor="white", linewidth=0.5)
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
        The result of ``SagZone.get_marginal``, or its value. With histogram slicing, the
        (first) slicing feature's histogram is drawn on the slicer's bins ("bins1d"), with
        two features from the rows the search counted in them ("bin_stats").
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
