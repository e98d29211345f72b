import io

import numpy as np
import pytest
from matplotlib.collections import PatchCollection
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle

from sklearn.linear_model import LinearRegression

from movra.diagnoser.sagzone import SagZone
from movra.plots import plot_marginal_result, scale_plot_ticks

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
