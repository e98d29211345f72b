import io

import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import PatchCollection
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle

from sklearn.linear_model import LinearRegression

from movra.diagnoser.sagzone import SagZone
from movra.plots import plot_marginal_result, plot_scan_result, scale_plot_ticks
from movra.utils import MISSING

rng = np.random.default_rng(3)
N = 600
X = np.column_stack([rng.uniform(0, 10, N), rng.uniform(1e4, 9e4, N), rng.normal(size=N)])
Y = X[:, 0] + rng.normal(size=N)
# Predictions drift away for large tenure, most where income is high as well.
PRED = X[:, 0] + (X[:, 0] > 7) * (1.5 + 2.0 * (X[:, 1] > 5e4))
NAMES = ["tenure", "income", "noise"]


def _marginal(method, two, weak=True, metric="MSE"):
    zone = SagZone(LinearRegression(), ["tenure", "income"] if two else ["tenure"],
                   task_type="regression", threshold=1.2 if weak else 50.0, method=method,
                   metric=metric, min_samples=20)
    zone.fit(X, Y, np.arange(400), np.arange(400, N), prediction=PRED, feature_names=NAMES)
    assert bool(zone.diag.weak_region_stats) is weak
    return zone.get_marginal()


def _render(fig):
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=40)
    assert buffer.getvalue()[:4] == b"\x89PNG"


def _texts(fig):
    return [t.get_text() for ax in fig.axes for t in ax.texts]


@pytest.mark.parametrize("method", ["histogram", "tree"])
@pytest.mark.parametrize("weak", [True, False])
def test_one_feature_bars_threshold_regions_and_histogram(method, weak):
    result = _marginal(method, two=False, weak=weak)
    fig = plot_marginal_result(result)
    assert isinstance(fig, Figure)
    score_ax, hist_ax = fig.axes[:2]
    value = result.value
    n_bars = sum(1 for r in value["rule_list"] if np.isfinite(np.ravel(r["values"])[0]))
    bars = [bar for container in score_ax.containers for bar in container]
    assert len(bars) == n_bars
    # Bars of tree leaves are clipped to the observed range, not drawn to infinity.
    assert all(np.isfinite(b.get_x()) and np.isfinite(b.get_width()) for b in bars)
    assert any(np.allclose(line.get_ydata(), value["threshold_value"]) for line in score_ax.lines)
    assert score_ax.get_ylabel().startswith("average MSE")
    assert hist_ax.get_xlabel() == "tenure"
    assert sum(hist_ax.containers[0].datavalues) == 400
    counts = [f"n={r['#Train']:,}" for r in value["weak_region_stats"]]
    assert sorted(t for t in _texts(fig) if t.startswith("n=")) == sorted(counts)
    assert ("no weak region" in " ".join(t.get_text() for t in fig.texts)) is (not weak)
    _render(fig)


@pytest.mark.parametrize("method", ["histogram", "tree"])
@pytest.mark.parametrize("weak", [True, False])
def test_two_features_heat_map_outlines_and_margins(method, weak):
    result = _marginal(method, two=True, weak=weak)
    fig = plot_marginal_result(result.value)
    main = next(ax for ax in fig.axes if any(isinstance(c, PatchCollection)
                                              for c in ax.collections))
    cells = next(c for c in main.collections if isinstance(c, PatchCollection))
    assert len(cells.get_paths()) == len(result.value["rule_list"])
    outlines = [p for p in main.patches if isinstance(p, Rectangle) and not p.get_fill()]
    assert len(outlines) == len(result.value["weak_region_stats"])
    assert (main.get_xlabel(), main.get_ylabel()) == ("tenure", "income")
    lo, hi = main.get_xlim()
    assert lo > -1 and hi < 11
    histograms = [ax for ax in fig.axes if ax.containers]
    assert len(histograms) == 2
    _render(fig)


@pytest.mark.parametrize("metric, sign", [("MSE", -1), ("R2", 1)])
def test_heat_map_colours_run_from_good_to_bad_with_the_metric(metric, sign):
    result = _marginal("histogram", two=True, metric=metric)
    fig = plot_marginal_result(result)
    cells = next(c for ax in fig.axes for c in ax.collections if isinstance(c, PatchCollection))
    cells.update_scalarmappable()
    scores = np.array([np.ravel(r["values"])[0] for r in result.value["rule_list"]])
    colours = cells.get_facecolors()
    finite = np.flatnonzero(np.isfinite(scores))
    worst = finite[np.argmax(-sign * scores[finite])]
    best = finite[np.argmax(sign * scores[finite])]
    # Red dominates the worst cell and green the best, whichever way the metric points.
    assert colours[worst][0] > colours[worst][1]
    assert colours[best][1] > colours[best][0]


@pytest.mark.parametrize("two", [False, True])
def test_slicing_feature_histogram_is_drawn_on_the_slicers_bins(two):
    value = _marginal("histogram", two=two).value
    fig = plot_marginal_result(value)
    # The histogram of the (first) slicing feature: below the bars, or above the heat map.
    bars = list(fig.axes[1].containers[0])
    edges = [bar.get_x() for bar in bars] + [bars[-1].get_x() + bars[-1].get_width()]
    np.testing.assert_allclose(edges, value["bins1d"], rtol=1e-12)
    if two:
        heights = [bar.get_height() for bar in bars]
        assert heights == [item["support"] for item in value["bin_stats"]]


def test_rejects_what_it_cannot_draw():
    value = _marginal("histogram", two=False).value
    with pytest.raises(ValueError, match="one or two"):
        plot_marginal_result(dict(value, fidx=[0, 1, 2]))
    with pytest.raises(ValueError, match="no rows"):
        plot_marginal_result(dict(value, x=np.empty((0, 3))))
    with pytest.raises(TypeError):
        plot_marginal_result([1, 2])
    value = _marginal("histogram", two=True).value
    with pytest.raises(ValueError, match="bin_stats holds 1 bins but bins1d has 10"):
        plot_marginal_result(dict(value, bin_stats=value["bin_stats"][:1]))


@pytest.mark.parametrize("n, max_ticks", [
    (3, 10), (11, 11), (11, 10), (51, 10), (53, 10), (60, 10), (101, 7), (6, 2),
])
def test_scale_plot_ticks_thins_evenly_and_keeps_both_ends(n, max_ticks):
    fig = Figure()
    ax = fig.add_subplot()
    values = np.linspace(-3.0, 250.0, n)
    kept = scale_plot_ticks(ax, "x", values, max_ticks=max_ticks)
    assert 2 <= len(kept) <= max_ticks and len(kept) <= n
    assert kept[0] == values[0] and kept[-1] == values[-1]
    np.testing.assert_array_equal(ax.get_xticks(), kept)
    if n <= max_ticks:
        np.testing.assert_array_equal(kept, values)
    else:
        # A regular stride, except that the last gap may be up to half a stride off.
        steps = np.diff(np.searchsorted(values, kept))
        assert len(set(steps[:-1].tolist())) <= 1
        assert 0.5 * steps[0] <= steps[-1] <= 1.5 * steps[0]
    labels = [t.get_text() for t in ax.get_xticklabels()]
    assert len(set(labels)) == len(labels)


@pytest.mark.parametrize("values, expected", [
    ([0.0, 0.25, 0.5, 0.75, 1.0], ["0.00", "0.25", "0.50", "0.75", "1.00"]),
    ([18.0, 24.2, 30.4], ["18.0", "24.2", "30.4"]),
    ([10000.0, 25000.0, 40000.0], ["10,000", "25,000", "40,000"]),
    ([0.0, 2.5e6, 5e6], ["0", "2.50e+06", "5.00e+06"]),
])
def test_scale_plot_ticks_labels(values, expected):
    ax = Figure().add_subplot()
    scale_plot_ticks(ax, "y", values)
    assert [t.get_text() for t in ax.get_yticklabels()] == expected


def test_scale_plot_ticks_rejects_unknown_axis():
    with pytest.raises(ValueError, match="axis"):
        scale_plot_ticks(Figure().add_subplot(), "z", [0, 1])


def test_scale_plot_ticks_drops_crowded_irregular_edges():
    ax = Figure().add_subplot()
    kept = scale_plot_ticks(ax, "x", [0.03, 2.99, 6.36, 38.47])
    np.testing.assert_array_equal(kept, [0.03, 6.36, 38.47])


@pytest.mark.parametrize("two", [False, True])
def test_constant_feature_and_missing_values_still_draw(two):
    value = dict(_marginal("histogram", two=two).value)
    x = value["x"].copy()
    x[:, 0] = 4.0
    x[:5, 1] = np.nan
    # The slicer's single bin of a constant feature is one wide around the value.
    value.update(x=x, rule_list=[{"splits": {"f0": {"lb": 3.5, "ub": 4.5},
                                             "f1": {"lb": 1e4, "ub": 9e4}},
                                  "values": 1.0, "counts": 400}])
    fig = plot_marginal_result(value)
    axis = next(ax for ax in fig.axes if ax.get_xlabel() == "tenure")
    lo, hi = axis.get_xlim()
    assert lo <= 3.5 and hi >= 4.5
    _render(fig)


def _table_marginal(features, method, seed=5):
    """A frame with a categorical feature (with missing values) and a numerical one missing
    some values, and a model weak on two categories and where the number is missing."""
    r = np.random.default_rng(seed)
    n = 900
    channel = r.choice(["kiosk", "mail", "phone", "web", None], n, p=[.3, .2, .2, .2, .1])
    income = r.uniform(0, 10, n)
    income[r.random(n) < 0.15] = np.nan
    x = pd.DataFrame({"channel": pd.Series(channel, dtype="category"), "income": income})
    y = r.normal(size=n)
    weak = np.isin(channel, ["kiosk", "mail"]) | np.isnan(income)
    pred = y + 0.2 * r.normal(size=n) + weak * 2.0 * r.normal(size=n)
    zone = SagZone(LinearRegression(), features, task_type="regression", method=method,
                   min_samples=20)
    zone.fit(x, y, np.arange(600), np.arange(600, n), prediction=pred)
    assert zone.diag.weak_region_stats
    return zone.get_marginal().value


def _rule_scores(value, key):
    """The score of every code of a set on feature `key` (-1: missing), from the rules."""
    return {code: np.ravel(rule["values"])[0] for rule in value["rule_list"]
            for code in rule["splits"][key].get("codes") or ()}


def _tick_texts(ax, axis="x"):
    return [t.get_text() for t in getattr(ax, f"get_{axis}ticklabels")()]


@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_categorical_feature_has_a_labelled_bar_per_category_and_missing(method):
    value = _table_marginal(["channel"], method)
    fig = plot_marginal_result(value)
    score_ax, hist_ax = fig.axes[:2]
    labels = list(value["category_labels"][0]) + ["missing"]
    assert _tick_texts(hist_ax) == labels
    # Slot k holds code k; missing is the last slot.
    scores = _rule_scores(value, "f0")
    bars = [b for c in score_ax.containers for b in c]
    drawn = {int(round(b.get_x() + b.get_width() / 2)): b.get_height() for b in bars}
    assert drawn == {(len(labels) - 1 if code == -1 else code): s for code, s in scores.items()}
    codes = value["x"][:, value["fidx"][0]]
    counts = np.append(np.bincount(codes[~np.isnan(codes)].astype(int), minlength=4),
                       np.isnan(codes).sum())
    assert [b.get_height() for b in hist_ax.containers[0]] == list(counts)
    _render(fig)


@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_missing_values_of_a_numerical_feature_have_a_bar_beside_its_axis(method):
    value = _table_marginal(["income"], method)
    fig = plot_marginal_result(value)
    score_ax, hist_ax = fig.axes[:2]
    column = value["x"][:, value["fidx"][0]]
    high = np.nanmax(column)
    beside = [b for c in score_ax.containers for b in c if b.get_x() > high]
    assert [b.get_height() for b in beside] == [_rule_scores(value, "f0")[-1]]
    assert [b.get_height() for b in hist_ax.containers[-1]] == [np.isnan(column).sum()]
    assert _tick_texts(hist_ax)[-1] == "missing"
    assert any("n=" in t for t in _texts(fig))
    _render(fig)


@pytest.mark.parametrize("features", [["channel", "income"], ["income", "channel"]])
@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_heat_map_has_an_axis_of_categories(features, method):
    value = _table_marginal(features, method)
    fig = plot_marginal_result(value)
    main = next(ax for ax in fig.axes if any(isinstance(c, PatchCollection)
                                              for c in ax.collections))
    cells = next(c for c in main.collections if isinstance(c, PatchCollection))
    k = features.index("channel")
    axis = "xy"[k]
    assert _tick_texts(main, axis) == list(value["category_labels"][0]) + ["missing"]
    # Every category of a rule lies in a cell of the rule's score.
    boxes = [p.get_extents() for p in cells.get_paths()]
    scores = np.ma.filled(cells.get_array(), np.nan)
    for rule in value["rule_list"]:
        for code in rule["splits"][f"f{k}"]["codes"]:
            at = 4 if code == -1 else code
            inside = [s for b, s in zip(boxes, scores)
                      if (b.x0 < at < b.x1 if k == 0 else b.y0 < at < b.y1)]
            score = np.ravel(rule["values"])[0] if np.ravel(rule["counts"])[0] else np.nan
            assert np.isclose(inside, score, rtol=0, atol=0, equal_nan=True).any()
    _render(fig)


def test_scan_figure_names_sets_and_missing_values():
    results = pd.DataFrame({
        "feature_1": ["channel", "income", "age", "channel"],
        "lb_1": [np.nan, np.nan, 30.0, np.nan], "ub_1": [np.nan, np.nan, 40.0, np.nan],
        "set_1": [("kiosk", "mail"), (MISSING,), None, ("web", MISSING)],
        "feature_2": [None, None, None, "age"],
        "lb_2": [np.nan, np.nan, np.nan, 0.5], "ub_2": [np.nan, np.nan, np.nan, 2.0],
        "set_2": [None] * 4,
        "severity": [0.4, 0.3, 0.2, 0.1], "q_value": [0.01] * 4, "significant": [True] * 4})
    names = ["channel", "income", "age"]
    fig = plot_scan_result(results, names, worst=np.full((3, 3), 0.1),
                           significant=np.zeros((3, 3), bool))
    assert _tick_texts(fig.axes[1], "y") == [
        "channel in {kiosk, mail}", "income missing", "age [30, 40)",
        "channel in {web, missing} × age [0.5, 2)"]
