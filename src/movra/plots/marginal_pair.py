"""The marginal figure of two slicing features: a heat map of the cells' scores, weak regions
outlined, the features' rows at the margins."""

import numpy as np

from ._style import _EMPTY_CELL
from .marginal_layout import (direction, feature_axes, first_feature_counts, first_feature_edges,
                              first_value, histogram_bins, histogram_edges, region_bounds,
                              region_count, split_name, title)
from .ticks import _format_ticks

# Good-to-bad colours of the scores: green is a good score, red a weak one.
_GOOD = "#1a9850"
_MIDDLE = "#fee08b"
_BAD = "#d73027"


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


def _cells(rules, axes):
    """Every rule's cells (one per pair of its contiguous stretches on the two axes) and their
    scores."""
    boxes, scores = [], []
    for rule in rules:
        score = first_value(rule["values"]) if first_value(rule["counts"]) > 0 else np.nan
        for lb1, ub1 in axes[0].runs(axes[0].pieces(rule["splits"].get("f0"))):
            for lb2, ub2 in axes[1].runs(axes[1].pieces(rule["splits"].get("f1"))):
                if ub1 < lb1 or ub2 < lb2:
                    continue
                boxes.append((lb1, ub1, lb2, ub2))
                scores.append(score)
    return boxes, np.asarray(scores, dtype=float)


def _draw_score_cells(fig, ax_map, ax_bar, boxes, scores, value, cmap, spans):
    """The cells' average scores as a heat map, with its colour bar marking the threshold."""
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    sign = value["_sign"]
    threshold_value = float(value["threshold_value"])
    # Degenerate cells (a single value) still get a visible sliver.
    cells = [Rectangle((b[0], b[2]), max(b[1] - b[0], 0.004 * spans[0]),
                       max(b[3] - b[2], 0.004 * spans[1])) for b in boxes]
    if cmap is None:
        cmap = _good_to_bad_cmap(sign)
    norm, extend = _score_norm(scores, threshold_value)
    collection = PatchCollection(cells, cmap=cmap, norm=norm, edgecolor="white", linewidth=0.4)
    collection.set_array(np.ma.masked_invalid(scores))
    ax_map.add_collection(collection)
    colourbar = fig.colorbar(collection, cax=ax_bar, extend=extend)
    colourbar.set_label(f"average {value['score_name']} ({direction(sign)})")
    ticks = _colourbar_ticks(norm, threshold_value)
    colourbar.set_ticks(ticks)
    colourbar.set_ticklabels(_format_ticks(ticks))
    if norm.vmin <= threshold_value <= norm.vmax:
        colourbar.ax.axhline(threshold_value, color="black", linestyle="--", linewidth=1.2)


def _outline_regions(ax_map, regions, use_test, axes):
    """Each weak region outlined on the heat map (a box per pair of its contiguous stretches),
    with its count where its first box has room."""
    from matplotlib.patches import Rectangle

    span1, span2 = axes[0].extent, axes[1].extent
    for region in regions:
        runs1 = axes[0].runs(axes[0].pieces(region_bounds(region, 0)))
        runs2 = axes[1].runs(axes[1].pieces(region_bounds(region, 1)))
        for lb1, ub1 in runs1:
            for lb2, ub2 in runs2:
                ax_map.add_patch(Rectangle((lb1, lb2), max(ub1 - lb1, 0.004 * span1),
                                           max(ub2 - lb2, 0.004 * span2), fill=False,
                                           edgecolor="black", linewidth=1.8))
        (lb1, ub1), (lb2, ub2) = runs1[0], runs2[0]
        count = region_count(region, use_test)
        if count is not None and ub1 - lb1 > 0.09 * span1 and ub2 - lb2 > 0.05 * span2:
            ax_map.text(0.5 * (lb1 + ub1), 0.5 * (lb2 + ub2), f"n={count:,}", ha="center",
                        va="center", fontsize=7, clip_on=True, in_layout=False,
                        bbox=dict(boxstyle="round,pad=0.15", facecolor="white",
                                  edgecolor="none", alpha=0.75))


def _draw_margins(ax_top, ax_right, axes, value):
    """The rows of both features: the first's on the slicer's bins (as the search counted them,
    when the result says), the second's on as many bins of the data (it has no bins of its own:
    it is cut inside each first-feature bin). Returns both axes' tick edges."""
    first, second = axes
    edges_first = edges_second = None
    if not first.categorical and first.observed.size:
        edges_first = first_feature_edges(value, first.observed)
        counts, missing = first_feature_counts(value, edges_first)
        first.draw_counts(ax_top, "vertical", edges_first, counts, missing)
    else:
        first.draw_counts(ax_top, "vertical")
    if not second.categorical and second.observed.size:
        edges_second = histogram_edges(second.observed, histogram_bins(value))
    second.draw_counts(ax_right, "horizontal", edges_second)
    if value.get("method") != "histogram" or edges_first is None:
        edges_first = np.unique(first.interval_edges)
    if edges_second is None:
        edges_second = np.unique(second.interval_edges)
    return edges_first, edges_second


def plot_two_features(fig, value, max_ticks, cmap):
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    axes = feature_axes(value)
    threshold_value = float(value["threshold_value"])
    use_test = bool(value.get("use_test"))

    grid = fig.add_gridspec(2, 3, width_ratios=[5, 1.2, 0.25], height_ratios=[1.2, 5])
    ax_map = fig.add_subplot(grid[1, 0])
    ax_top = fig.add_subplot(grid[0, 0], sharex=ax_map)
    ax_right = fig.add_subplot(grid[1, 1], sharey=ax_map)
    ax_bar = fig.add_subplot(grid[1, 2])
    ax_key = fig.add_subplot(grid[0, 1:])
    ax_key.axis("off")

    boxes, scores = _cells(value.get("rule_list") or [], axes)
    _draw_score_cells(fig, ax_map, ax_bar, boxes, scores, value, cmap,
                      (axes[0].extent, axes[1].extent))
    _outline_regions(ax_map, value.get("weak_region_stats") or [], use_test, axes)
    ax_map.set_xlim(*axes[0].limits())
    ax_map.set_ylim(*axes[1].limits())
    ax_map.set_xlabel(axes[0].name)
    ax_map.set_ylabel(axes[1].name)
    axes[0].mark_gap(ax_map, "x")
    axes[1].mark_gap(ax_map, "y")

    edges_first, edges_second = _draw_margins(ax_top, ax_right, axes, value)
    ax_top.set_ylabel("count")
    ax_right.set_xlabel("count")
    ax_top.tick_params(labelbottom=False)
    ax_right.tick_params(labelleft=False)
    axes[0].set_ticks(ax_map, "x", edges_first, max_ticks)
    axes[1].set_ticks(ax_map, "y", edges_second, max_ticks)

    handles = [Patch(facecolor="white", edgecolor="black", linewidth=1.8,
                     label=f"weak region ({split_name(use_test)} n)"),
               Patch(color=_EMPTY_CELL, label="empty cell"),
               Line2D([], [], color="black", linestyle="--",
                      label=f"threshold {threshold_value:.4g}")]
    ax_key.legend(handles=handles, loc="center", fontsize=8, frameon=False)
    fig.suptitle(title(value, f"{axes[0].name} and {axes[1].name}"))
