"""The marginal figure of the weak-region diagnoser (``SagZone.plot_marginal``): one slicing
feature here, two in ``marginal_pair``."""

import numpy as np

from ._style import _OK_BAR, _WEAK_BAR, _new_figure
from .marginal_layout import (BAR_FILL, direction, feature_axes, first_feature_edges,
                              first_value, region_bounds, region_count, split_name, title)
from .marginal_pair import _BAD, plot_two_features


def _is_weak(value, sign, threshold_value):
    return np.isfinite(value) and sign * value <= sign * threshold_value


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


def _draw_score_bars(ax, axis, rules, sign, threshold_value):
    """A bar of each rule's average score over its stretches (a category's slot, an interval,
    the missing slot), coloured by whether it is weak. Returns the heights drawn."""
    heights = []
    for rule in rules:
        score = first_value(rule["values"])
        if not np.isfinite(score) or first_value(rule["counts"]) == 0:
            continue
        heights.append(score)
        colour = _WEAK_BAR if _is_weak(score, sign, threshold_value) else _OK_BAR
        fill = BAR_FILL if axis.categorical else 1.0
        for lo, hi in axis.pieces(rule["splits"].get("f0"), fill):
            ax.bar(lo, score, width=max(hi - lo, 1e-12 * axis.extent), align="edge",
                   color=colour, edgecolor="white", linewidth=0.8)
    return heights


def _shade_regions(ax, axis, regions, use_test):
    """Each weak region shaded over its stretches and labelled with its count above its first
    one. Returns the number of labels left out for want of room."""
    centres, texts = [], []
    for region in regions:
        runs = axis.runs(axis.pieces(region_bounds(region, 0)))
        for lo, hi in runs:
            ax.axvspan(lo, hi, color=_BAD, alpha=0.12, linewidth=0)
        count = region_count(region, use_test)
        centres.append(0.5 * sum(runs[0]))
        texts.append("weak" if count is None else f"n={count:,}")
    return _place_labels(ax, np.asarray(centres), texts, axis.extent)


def _legend(ax, value, threshold_value, left_out):
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    part = "leaf" if value.get("method") == "tree" else "bin"
    handles = [Patch(color=_OK_BAR, label=part), Patch(color=_WEAK_BAR, label=f"weak {part}"),
               Line2D([], [], color="black", linestyle="--",
                      label=f"threshold {threshold_value:.4g}"),
               Patch(color=_BAD, alpha=0.12,
                     label=f"weak region ({split_name(bool(value.get('use_test')))} n)")]
    if left_out:
        handles.append(Patch(color="none", label=f"{left_out} region labels left out"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8,
              frameon=False)


def _plot_one_feature(fig, value, max_ticks):
    axis = feature_axes(value)[0]
    sign = value["_sign"]
    threshold_value = float(value["threshold_value"])

    grid = fig.add_gridspec(2, 1, height_ratios=[3, 1])
    ax_score = fig.add_subplot(grid[0])
    ax_hist = fig.add_subplot(grid[1], sharex=ax_score)

    heights = _draw_score_bars(ax_score, axis, value.get("rule_list") or [], sign,
                               threshold_value)
    ax_score.axhline(threshold_value, color="black", linestyle="--", linewidth=1.2)
    left_out = _shade_regions(ax_score, axis, value.get("weak_region_stats") or [],
                              bool(value.get("use_test")))
    top = max(heights + [threshold_value, 0.0])
    bottom = min(heights + [threshold_value, 0.0])
    # Headroom above the bars for the region labels.
    ax_score.set_ylim(bottom - 0.05 * (top - bottom), top + 0.35 * ((top - bottom) or 1.0))
    ax_score.set_ylabel(f"average {value['score_name']}\n({direction(sign)})")
    ax_score.tick_params(labelbottom=False)
    ax_score.grid(axis="y", alpha=0.3)
    _legend(ax_score, value, threshold_value, left_out)

    edges = np.unique(axis.interval_edges)
    if axis.categorical or not axis.observed.size:
        axis.draw_counts(ax_hist, "vertical")
    else:
        edges_hist = first_feature_edges(value, axis.observed)
        axis.draw_counts(ax_hist, "vertical", edges_hist)
        if value.get("method") == "histogram":
            # The slicer's bin edges, including those inside merged regions.
            edges = edges_hist
    ax_hist.set_ylabel("count")
    ax_hist.set_xlabel(axis.name)
    ax_hist.set_xlim(*axis.limits())
    for ax in (ax_score, ax_hist):
        axis.mark_gap(ax, "x")
    axis.set_ticks(ax_hist, "x", edges, max_ticks)
    fig.suptitle(title(value, axis.name))


def plot_marginal_result(result, figsize=None, max_ticks=11, cmap=None):
    """Draw a weak-region marginal result as a matplotlib figure.

    One slicing feature: the average score of every bin (or tree leaf) as bars, the threshold
    as a dashed line, the weak regions shaded with their sample counts, and the feature's
    histogram below. Two slicing features: the average score of every cell as a heat map
    coloured from good to bad, weak regions outlined, and both features' histograms at the
    margins. A categorical feature (one with labels in "category_labels") has a slot per
    category, named by its label, where its bars, cells and rows are drawn; missing values
    have a slot of their own, last, beside the values of a numerical feature.

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
        plot_two_features(fig, value, max_ticks, cmap)
    return fig
