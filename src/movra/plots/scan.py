"""The figure of a scan of every feature and pair (``SagZoneScan.plot``)."""

import numpy as np

from ..utils import MISSING
from ._style import _EMPTY_CELL, _OK_BAR, _WEAK_BAR, _new_figure
from .marginal_layout import label_text


def _condition(feature, lb, ub, labels):
    """One feature's condition in words: "a [lb, ub)", "a in {x, y}" or "a missing"."""
    if _is_absent(labels):
        return f"{feature} [{lb:.4g}, {ub:.4g})"
    labels = list(labels)
    if labels == [MISSING]:
        return f"{feature} missing"
    names = ", ".join("missing" if label is MISSING else label_text(label) for label in labels)
    return f"{feature} in {{{names}}}"


def _region_label(row):
    """A region in words: one condition, or "a ... × b ..." for a pair."""
    text = _condition(row["feature_1"], row["lb_1"], row["ub_1"], row.get("set_1"))
    if _has_second(row):
        text += " × " + _condition(row["feature_2"], row["lb_2"], row["ub_2"], row.get("set_2"))
    return text


def _is_absent(value):
    return value is None or (isinstance(value, float) and np.isnan(value))


def _has_second(row):
    return not _is_absent(row["feature_2"])


def _finding_label(row):
    """A finding in words: its most severe region, and how many more it holds."""
    more = int(row.get("n_regions", 1)) - 1
    return _region_label(row) + (f" (+{more} more)" if more > 0 else "")


def _segments(results, regions):
    """The severity of each region of each finding (its cells, for a pair), most severe first;
    the finding's row's own severity without its regions."""
    if regions is None or "finding" not in regions:
        return [[v] for v in results["severity"].to_numpy(dtype=float)]
    by_finding = regions[regions["finding"] >= 0].groupby("finding")["severity"]
    cells = {i: list(v.to_numpy(dtype=float)) for i, v in by_finding}
    return [cells.get(i, [row["severity"]]) for i, row in results.iterrows()]


def plot_scan_result(results, features, top=10, figsize=None, score_name=None, *, worst,
                     significant, regions=None):
    """Draw a scan: a features × features matrix of the worst severity found (single features
    on the diagonal, pairs off it, significant cells marked), beside bars of the top findings,
    each split into its regions (a pair's cells).

    Parameters
    ----------
    results : pandas.DataFrame
        ``SagZoneScan.results_``. A region of a set of categories ("set_1"/"set_2", a tuple of
        labels) is named by them ("channel in {kiosk, mail}"), one of missing values as such
        ("income missing"), an interval by its bounds ("age [30, 40)").
    features : list of str
        The scanned features, in the matrix's order.
    top : int, default=10
        The number of findings drawn as bars.
    figsize : tuple of float, optional
    score_name : str, optional
        The metric's name, for the title.
    worst : array-like of shape (len(features), len(features))
        ``SagZoneScan.severity_matrix_``: the worst reported severity of each cell, NaN for none.
    significant : array-like of bool, the same shape
        ``SagZoneScan.significant_matrix_``: whether each cell's region is significant.
    regions : pandas.DataFrame, optional
        ``SagZoneScan.regions_``: the regions of each finding ("finding"), drawn as the parts of
        its bar; without it each bar is the row's own region.

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

    _draw_matrix(fig, ax_matrix, worst, marked, features)
    _draw_findings(ax_bars, results.head(int(top)), regions)
    title = "Weak regions of every feature and pair"
    fig.suptitle(title + (f" ({score_name})" if score_name else ""))
    return fig


def _draw_matrix(fig, ax_matrix, worst, marked, features):
    """The worst severity of each feature and pair, significant cells circled."""
    n = len(features)
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


def _draw_findings(ax_bars, shown_rows, regions):
    """A bar per finding, split into its regions, with its q-value."""
    labels = [_finding_label(row) for _, row in shown_rows.iterrows()]
    parts = _segments(shown_rows, regions)
    values = np.array([np.sum(np.clip(p, 0, None)) for p in parts], dtype=float)
    colours = [_WEAK_BAR if s else _OK_BAR for s in shown_rows["significant"]]
    positions = np.arange(len(values))[::-1]
    for y, part, colour in zip(positions, parts, colours):
        left = np.concatenate([[0.0], np.cumsum(np.clip(part, 0, None))[:-1]])
        ax_bars.barh(np.full(len(part), y), np.clip(part, 0, None), left=left, color=colour,
                     edgecolor="white", linewidth=0.8)
    if len(values) and np.nanmax(values) > 0:
        ax_bars.set_xlim(0, 1.22 * np.nanmax(values))  # room for the q-values
    ax_bars.set_yticks(positions)
    ax_bars.set_yticklabels(labels, fontsize=8)
    for y, (v, q) in zip(positions, zip(values, shown_rows["q_value"])):
        ax_bars.annotate(f" q={q:.2g}", (max(v, 0), y), va="center", fontsize=7)
    ax_bars.set_xlabel("severity (share of the held-out split's excess error)")
    ax_bars.set_title(f"top {len(values)} findings, by region (red: significant)", fontsize=10)
    ax_bars.grid(axis="x", color="#dddddd", linewidth=0.6)
    if not len(values):
        ax_bars.text(0.5, 0.5, "no weak region found", ha="center", va="center",
                     transform=ax_bars.transAxes)
