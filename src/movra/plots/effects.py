"""Figures of the effects of a depth-2 boosted model (``XGB2Base.plot_effect`` and kin)."""

import numpy as np

from ._style import _new_figure
from .ticks import _format_ticks

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


def _category_ticks(ax, labels, axis="x"):
    """Category labels under their positions 0 .. k-1, thinned to at most 30 shown."""
    step = max(1, -(-len(labels) // 30))
    positions = np.arange(0, len(labels), step)
    texts = [str(labels[i]) for i in positions]
    if axis == "x":
        ax.set_xticks(positions)
        ax.set_xticklabels(texts, rotation=0 if len(texts) <= 6 else 60,
                           ha="center" if len(texts) <= 6 else "right", fontsize=8)
    else:
        ax.set_yticks(positions)
        ax.set_yticklabels(texts, fontsize=8)


def _draw_missing_level(fig, cell, ax, level, n_missing):
    """The level of the missing values, a marker beside the effect's axis."""
    ax_missing = fig.add_subplot(cell, sharey=ax)
    ax_missing.plot([0.0], [level], marker="D", markersize=7, linestyle="none",
                    color=_MISSING_MARK)
    ax_missing.axhline(0.0, color=_NOTE, linewidth=0.7, linestyle=":")
    ax_missing.set_xlim(-1.0, 1.0)
    ax_missing.set_xticks([0.0])
    ax_missing.set_xticklabels([f"missing\nn={n_missing:,}"], fontsize=8)
    ax_missing.tick_params(labelleft=False, left=False)
    ax_missing.grid(axis="y", alpha=0.3)


def _draw_categorical_main_effect(fig, area, value, compact=False):
    """A categorical main effect: a bar per category over the training rows per category, the
    level of missing values apart."""
    labels = list(value["categories"])
    k = len(labels)
    levels = np.asarray(value["levels"], dtype=float)
    counts = np.asarray(value["counts"], dtype=float)
    n_missing = int(counts[-1])
    ratios = [7, 1] if n_missing else [1]
    grid = area.subgridspec(2, len(ratios), height_ratios=[3, 1], width_ratios=ratios,
                            wspace=0.03, hspace=0.04)
    ax = fig.add_subplot(grid[0, 0])
    ax_hist = fig.add_subplot(grid[1, 0], sharex=ax)
    positions = np.arange(k)
    ax.bar(positions, levels[:k], width=0.7, color=_MAIN_BAR)
    ax.axhline(0.0, color=_NOTE, linewidth=0.7, linestyle=":")
    ax.tick_params(labelbottom=False)
    ax.grid(axis="y", alpha=0.3)
    ax_hist.bar(positions, counts[:k], width=0.7, color=_HISTOGRAM)
    ax_hist.set_xlim(-0.6, k - 0.4)
    _category_ticks(ax_hist, labels)
    ax_hist.set_xlabel(value["name"])
    ax_hist.set_ylabel("count")
    if not compact:
        ax.set_ylabel(_margin_label(value["margin"]))
        ax.set_title("one bar per category; 0 is the average over the training data",
                     loc="left", fontsize=8, color=_NOTE)
    if n_missing:
        _draw_missing_level(fig, grid[0, 1], ax, levels[-1], n_missing)
    _no_offset(ax)
    return ax


def _draw_main_effect(fig, area, value, compact=False):
    """A main effect: its step function over the training histogram, missing values apart."""
    if value.get("categories") is not None:
        return _draw_categorical_main_effect(fig, area, value, compact)
    column = np.asarray(value["x"], dtype=float)
    points = np.asarray(value["split_points"], dtype=float)
    levels = np.asarray(value["levels"], dtype=float)
    # The training rows in the bin for missing values, as the decomposition counted them.
    n_missing = int(np.asarray(value["counts"])[-1])

    ratios = [7, 1] if n_missing else [1]
    grid = area.subgridspec(2, len(ratios), height_ratios=[3, 1], width_ratios=ratios,
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
        _draw_missing_level(fig, grid[0, 1], ax, levels[-1], n_missing)
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


def _colour_limit(levels, counts):
    """A symmetric colour scale for an interaction, and which of its ends are clipped.

    The limit covers 99% of the values at the training rows drawn on the grid (each cell's
    level once per row in it), so that one extreme cell holding few rows does not wash out the
    others; clipped cells take the end colours.
    """
    at_rows = np.repeat(np.abs(levels).ravel(), counts.astype(np.int64).ravel())
    largest = float(np.max(np.abs(levels))) if levels.size else 0.0
    limit = float(np.percentile(at_rows, 99)) if at_rows.size else largest
    if limit <= 0.0:
        limit = largest if largest > 0.0 else 1.0
    clipped = (bool(levels.size and np.min(levels) < -limit),
               bool(levels.size and np.max(levels) > limit))
    extend = {(False, False): "neither", (True, False): "min", (False, True): "max",
              (True, True): "both"}[clipped]
    return limit, extend


def _scarce_cells(counts):
    """Cells of an interaction's grid where the two features rarely meet in the training data,
    as (i, j) pairs: fewer than 10% of the rows the two histograms alone would put there.

    ``counts`` are the training rows in each cell of the drawn grid. Only cells that the
    histograms would give at least 5 rows are judged, so that a fine grid's small cells do not
    count as scarce by chance.
    """
    n = counts.sum()
    if n == 0:
        return np.empty((0, 2), dtype=int)
    expected = np.outer(counts.sum(axis=1), counts.sum(axis=0)) / n
    return np.argwhere((expected >= 5) & (counts < 0.1 * expected))


def _draw_interaction(fig, area, value, compact=False):
    """An interaction: a heat map on its split grid, centred at 0, with the features' margins."""
    from matplotlib.colors import Normalize

    names = value["names"]
    columns = [np.asarray(c, dtype=float) for c in value["x"]]
    points = [np.asarray(p, dtype=float) for p in value["split_points"]]
    # The last row and column are the levels for missing values: not on the grid.
    levels = np.asarray(value["levels"], dtype=float)[:-1, :-1]
    counts = np.asarray(value["counts"], dtype=float)
    # Rows with a missing value take the levels that are not drawn.
    limit, extend = _colour_limit(levels, counts[:-1, :-1])

    if compact:
        grid = area.subgridspec(1, 2, width_ratios=[20, 1], wspace=0.05)
        ax = fig.add_subplot(grid[0, 0])
        ax_bar = fig.add_subplot(grid[0, 1])
        bars = [None, None]
    else:
        grid = area.subgridspec(2, 3, width_ratios=[5, 1.1, 0.22], height_ratios=[1.1, 5],
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
    categories = value.get("categories") or (None, None)
    for k in (0, 1):
        if categories[k] is not None:
            # A cell per category, centred on its code.
            n_categories = len(categories[k])
            edges[k] = np.arange(n_categories + 1) - 0.5
            drawn[k] = (-0.5, n_categories - 0.5)

    # Cells as wide and as tall as the intervals between split points; rows of `levels` run
    # along the first feature, the mesh wants them along y.
    mesh = ax.pcolormesh(edges[0], edges[1], levels.T, cmap="RdBu_r",
                         norm=Normalize(vmin=-limit, vmax=limit), shading="flat",
                         edgecolors="white", linewidth=0.3 if levels.size <= 400 else 0.0)
    scarce = _hatch_scarce_cells(ax, counts[:-1, :-1], edges)
    bar = fig.colorbar(mesh, cax=ax_bar, extend=extend)
    ax.set_xlim(*drawn[0])
    ax.set_ylim(*drawn[1])
    ax.set_xlabel(names[0])
    ax.set_ylabel(names[1])
    for k, axis in ((0, "x"), (1, "y")):
        if categories[k] is not None:
            _category_ticks(ax, categories[k], axis)
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
    _interaction_key(ax_key, bool(scarce.size), counts[-1, :].any() or counts[:, -1].any())
    return ax


def _hatch_scarce_cells(ax, counts, edges):
    """Hatches the cells where the two features rarely meet; returns those cells."""
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    scarce = _scarce_cells(counts)
    if scarce.size:
        # The model has a level there, but hardly any training row backs it.
        cells = [Rectangle((edges[0][i], edges[1][j]), edges[0][i + 1] - edges[0][i],
                           edges[1][j + 1] - edges[1][j]) for i, j in scarce]
        ax.add_collection(PatchCollection(cells, facecolor="none", edgecolor="#8a8a8a",
                                          hatch="////", linewidth=0.0))
    return scarce


def _interaction_key(ax_key, scarce, missing):
    """The interaction's legend: the hatch of scarce cells, and notes on what is drawn."""
    from matplotlib.patches import Patch

    handles = [Patch(facecolor="none", edgecolor="#8a8a8a", hatch="////",
                     label="the two features rarely meet here")] if scarce else []
    notes = ["each row and column of cells averages 0,", "weighted by the other feature's histogram"]
    if missing:
        notes.append("missing values not drawn")
    handles += [Patch(color="none", label=note) for note in notes]
    ax_key.legend(handles=handles, loc="center", fontsize=8, frameon=False,
                  handlelength=1.5 if scarce else 0.0)


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
        "kind" ("main" or "interaction"), "split_points", "levels", "counts" (the training
        rows in each bin or cell of the levels, missing values' last), "x" (the training
        column, or the pair of columns, drawn as histograms), "margin", "share"; "name" and
        "monotone" for a main effect, "names" for an interaction.
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
