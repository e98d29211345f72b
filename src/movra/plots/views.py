"""Figures of the diagnoser's views: the features ranked by their distance between the weak
rows and the reference (``SagZone.plot_distance``), and one feature's two distributions
(``SagZone.plot_shift``)."""

import numpy as np

from ._style import _OK_BAR, _WEAK_BAR, _new_figure
from .marginal_layout import label_text

# The reference and the weak rows, in every figure of a shift.
_REFERENCE = "#6a9fcb"
_WEAK = _WEAK_BAR
_MAX_CATEGORIES = 30


def _value_of(result):
    return result.value if hasattr(result, "value") else result


def plot_distance_result(result, figsize=None):
    """Draw ``SagZone.get_distance``'s result: a bar per feature, largest distance on top.

    Parameters
    ----------
    result : TestDataResult or dict
        Key "resilience_shift_histogram": "x" the features, "y" their distances (NaN where
        the distance does not apply, as WD1 or KS on a categorical feature).
    figsize : tuple of float, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    value = _value_of(result)
    names = [str(f) for f in value["x"]]
    distances = np.asarray(value["y"], dtype=float)
    fig = _new_figure(Figure, figsize or (7.0, 0.35 * max(len(names), 2) + 1.4))
    ax = fig.add_subplot(1, 1, 1)
    positions = np.arange(len(names))[::-1]
    shown = np.where(np.isfinite(distances), distances, 0.0)
    ax.barh(positions, shown, color=_OK_BAR)
    ax.set_yticks(positions)
    ax.set_yticklabels(names, fontsize=8)
    top = np.nanmax(distances) if np.isfinite(distances).any() else 0.0
    if top > 0:
        ax.set_xlim(0, 1.18 * top)  # room for the numbers
    for y, d in zip(positions, distances):
        ax.annotate(f" {d:.3g}" if np.isfinite(d) else " n/a", (max(np.nan_to_num(d), 0), y),
                    va="center", fontsize=7)
    metric = value.get("distance_metric", "distance")
    ax.set_xlabel(f"{metric} between the weak rows and the reference")
    ax.grid(axis="x", color="#dddddd", linewidth=0.6)
    if not names:
        ax.text(0.5, 0.5, "no feature", ha="center", va="center", transform=ax.transAxes)
    ax.set_title(value.get("title", "Distribution shift"), fontsize=10)
    return fig


def _groups(value):
    """The reference's values and the weak rows' values of the shown feature. The group labels
    and a categorical feature stay pandas columns: compared and counted on their codes, not as
    a Python string per row."""
    import pandas as pd

    data, feature = value["data"], value["show_feature"]
    kinds = data["resi_type_"]
    weak = np.asarray(kinds == "Weak Regions", dtype=bool)
    names = [k for k in pd.unique(kinds).tolist() if k != "Weak Regions"]
    column = data[feature]
    if value.get("feature_type") != "categorical":
        column = column.to_numpy(dtype=float)
    return (names[0] if names else "Reference"), column[~weak], column[weak]


def _share(counts, total):
    return counts / total if total else np.zeros_like(counts, dtype=float)


def _numerical(fig, reference, weak, bins, names):
    ref_missing, weak_missing = np.isnan(reference), np.isnan(weak)
    any_missing = ref_missing.any() or weak_missing.any()
    # A slot for the missing values only where either group has some.
    grid = fig.add_gridspec(1, 2 if any_missing else 1,
                            width_ratios=[8, 1] if any_missing else None)
    ax = fig.add_subplot(grid[0])
    present = np.concatenate([reference[~ref_missing], weak[~weak_missing]])
    if present.size:
        edges = np.histogram_bin_edges(present, bins=bins)
        for values, colour, label in ((reference, _REFERENCE, names[0]),
                                      (weak, _WEAK, names[1])):
            counts, _ = np.histogram(values[~np.isnan(values)], bins=edges)
            ax.stairs(_share(counts, values.size), edges, color=colour, label=label,
                      fill=colour == _REFERENCE, alpha=0.45 if colour == _REFERENCE else 1.0,
                      linewidth=1.6)
    ax.set_ylabel("share of the group's rows")
    ax.legend(fontsize=8)
    ax.grid(axis="y", color="#dddddd", linewidth=0.6)
    if any_missing:
        ax_missing = fig.add_subplot(grid[1])
        shares = [_share(np.count_nonzero(m), m.size) for m in (ref_missing, weak_missing)]
        ax_missing.bar([0, 1], shares, color=[_REFERENCE, _WEAK])
        ax_missing.set_xticks([0.5])
        ax_missing.set_xticklabels(["missing"], fontsize=8)
        ax_missing.set_ylim(0, max(max(shares), ax.get_ylim()[1], 1e-9))
    return ax


def _category_shares(values):
    """Each category's share of the rows (missing values one category more, "missing")."""
    import pandas as pd

    counts = pd.Series(values).value_counts(dropna=False, sort=False)
    counts = counts[counts > 0]  # a categorical column counts its absent categories too
    names = ["missing" if pd.isna(k) else label_text(k) for k in counts.index]
    shares = _share(counts.to_numpy(dtype=float), len(values))
    merged = {}
    for name, share in zip(names, shares):
        merged[name] = merged.get(name, 0.0) + share
    return merged


def _categorical(fig, reference, weak, names):
    ax = fig.add_subplot(1, 1, 1)
    groups = [_category_shares(reference), _category_shares(weak)]
    labels = list(dict.fromkeys(list(groups[0]) + list(groups[1])))
    shares = np.array([[g.get(label, 0.0) for label in labels] for g in groups]).reshape(2, -1)
    order = np.argsort(-shares.max(axis=0), kind="stable")[:_MAX_CATEGORIES]
    x = np.arange(len(order))
    ax.bar(x - 0.2, shares[0, order], width=0.4, color=_REFERENCE, label=names[0])
    ax.bar(x + 0.2, shares[1, order], width=0.4, color=_WEAK, label=names[1])
    ax.set_xticks(x)
    ax.set_xticklabels([labels[i] for i in order], rotation=45 if len(order) > 6 else 0,
                       ha="right" if len(order) > 6 else "center", fontsize=8)
    ax.set_ylabel("share of the group's rows")
    ax.legend(fontsize=8)
    ax.grid(axis="y", color="#dddddd", linewidth=0.6)
    if len(labels) > _MAX_CATEGORIES:
        ax.set_xlabel(f"the {_MAX_CATEGORIES} categories with the largest shares of "
                      f"{len(labels)}", fontsize=8)
    return ax


def plot_shift_result(result, figsize=None, bins=20):
    """Draw ``SagZone.get_shift``'s result: the shown feature's distribution among the
    reference rows and among the weak rows, each as shares of its own rows.

    A numerical feature is two histograms on shared bins, with a slot for missing values
    beside them; a categorical one is a pair of bars per category (the 30 largest), missing
    values one category more, named "missing".

    Parameters
    ----------
    result : TestDataResult or dict
        Key "sagzone_shift": "show_feature", "feature_type" and "data" (the rows, with
        "resi_type_" naming each row's group, "Weak Regions" or the reference's name).
    figsize : tuple of float, optional
    bins : int, default=20
        Histogram bins of a numerical feature.

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure

    value = _value_of(result)
    reference_name, reference, weak = _groups(value)
    names = (reference_name, "Weak Regions")
    fig = _new_figure(Figure, figsize or (7.5, 3.6))
    if value.get("feature_type") == "categorical":
        ax = _categorical(fig, reference, weak, names)
    else:
        ax = _numerical(fig, reference, weak, int(bins), names)
    ax.set_xlabel(str(value["show_feature"]) + ("" if not ax.get_xlabel() else
                                                  "\n" + ax.get_xlabel()))
    fig.suptitle(f"{value.get('title', 'Distribution shift')}: {value['show_feature']} "
                 f"({len(reference)} and {len(weak)} rows)", fontsize=10)
    return fig
