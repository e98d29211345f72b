"""Figures of the depth-2 boosted model's effects: what they draw equals the model's effects."""
import io

import numpy as np
import pytest
from matplotlib.collections import QuadMesh
from matplotlib.figure import Figure
from matplotlib.patches import StepPatch

from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor
from movra.plots import plot_effect_result

rng = np.random.default_rng(4)
N = 400
X = np.column_stack([rng.uniform(0, 10, N), rng.normal(size=N), rng.integers(1, 6, N),
                     np.full(N, 2.0)])  # the last feature is constant: never split on
SCORE = X[:, 0] - 2 * X[:, 1] + 0.5 * X[:, 1] * X[:, 2] + rng.normal(size=N)


def fit(cls, **params):
    y = SCORE if cls is XGB2Regressor else SCORE > np.median(SCORE)
    return cls(n_estimators=30, eta=0.2, **params).fit(X, y)


@pytest.fixture(scope="module", params=[XGB2Regressor, XGB2Classifier])
def model(request):
    fitted = fit(request.param)
    fitted.parse_model()
    return fitted


def steps(fig):
    (patch,) = [p for ax in fig.axes for p in ax.patches if isinstance(p, StepPatch)]
    data = patch.get_data()
    return np.asarray(data[0]), np.asarray(data[1])


def heat_map(fig, x_name):
    # The colour bar may draw its own mesh; the map is the one along the first feature.
    (mesh,) = [c for ax in fig.axes for c in ax.collections
               if isinstance(c, QuadMesh) and ax.get_xlabel() == x_name]
    return mesh


def render(fig):
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=30)
    assert buffer.getvalue()[:4] == b"\x89PNG"


@pytest.mark.parametrize("feature", [0, "X1", "X2"])
def test_main_effect_is_the_exact_step_function(model, feature):
    fig = model.plot_effect(feature)
    assert isinstance(fig, Figure)
    j = model.feature_names_.index(feature) if isinstance(feature, str) else feature
    (item,) = [e for e in model.effects_["1D"] if e["fidx"] == (j,)]
    points = item["values"]["split_points"]
    levels, edges = steps(fig)
    assert levels.shape == (len(points) + 1,)
    np.testing.assert_array_equal(edges[1:-1], points)
    rows = np.zeros((len(levels), X.shape[1]))
    rows[:, j] = 0.5 * (edges[:-1] + edges[1:])
    np.testing.assert_allclose(levels, model.partial_dependence((j,), rows), rtol=1e-12)
    margin = "log-odds" if isinstance(model, XGB2Classifier) else "prediction"
    assert any(margin in ax.get_ylabel() for ax in fig.axes)


def test_interaction_heat_map_holds_the_levels_on_the_split_grid(model):
    item = max(model.effects_["2D"], key=lambda e: e["importance"])
    a, b = item["fidx"]
    levels = item["values"]["levels"][:-1, :-1]  # without the missing-value row and column
    points = item["values"]["split_points"]
    # Given in the other order, the pair is drawn the other way round.
    for effect, x_name, grid, x_points, y_points in [
            (np.array([a, b]), f"X{a}", levels.T, *points),
            ((f"X{b}", a), f"X{b}", levels, *points[::-1])]:
        mesh = heat_map(model.plot_effect(effect), x_name)
        np.testing.assert_array_equal(np.asarray(mesh.get_array()).reshape(grid.shape), grid)
        # Cells are as wide and tall as the intervals between split points.
        corners = mesh.get_coordinates()
        np.testing.assert_array_equal(corners[0, 1:-1, 0], x_points)
        np.testing.assert_array_equal(corners[1:-1, 0, 1], y_points)
        assert mesh.norm.vmin == -mesh.norm.vmax > -np.inf  # centred at 0


def test_counts_are_the_training_rows_on_each_grid(model):
    # XGBoost's routing: the value rounded to float32 against each split point.
    def bins(j, points):
        return np.searchsorted(points, X[:, j].astype(np.float32), side="right")

    for item in model.effects_["1D"] + model.effects_["2D"]:
        points = item["values"]["split_points"]
        cells = [bins(item["fidx"][0], points)] if len(item["fidx"]) == 1 else [
            bins(j, p) for j, p in zip(item["fidx"], points)]
        expected = np.zeros_like(item["counts"])
        np.add.at(expected, tuple(cells), 1)
        np.testing.assert_array_equal(item["counts"], expected)


def test_hatched_cells_are_those_the_features_rarely_share():
    # On a 2 x 2 grid (plus the missing values' row and column), the cell of a < 1 and b >= 1
    # is empty where the margins would put 60 * 50 / 150 rows.
    counts = np.array([[60.0, 0.0, 0.0], [40.0, 50.0, 0.0], [0.0, 0.0, 0.0]])
    a = np.repeat([0.5, 1.5, 1.5], [60, 40, 50])
    b = np.repeat([0.5, 0.5, 1.5], [60, 40, 50])
    value = {"kind": "interaction", "names": ("a", "b"), "split_points": ([1.0], [1.0]),
             "levels": np.zeros((3, 3)), "counts": counts, "x": (a, b),
             "margin": "prediction", "share": 1.0}
    fig = plot_effect_result(value)
    (hatched,) = [c for ax in fig.axes for c in ax.collections if c.get_hatch() == "////"]
    (cell,) = [path.get_extents() for path in hatched.get_paths()]
    assert (cell.x1, cell.y0) == (1.0, 1.0)


@pytest.mark.parametrize("top", [3, 15])
def test_importance_bars_are_the_sorted_shares(model, top):
    fig = model.plot_importance(top=top)
    ax = fig.axes[0]
    # Top first, as the reader sees them.
    bars = sorted(ax.containers[0], key=lambda bar: -ax.transData.transform((0, bar.get_y()))[1])
    rows = model.fanova_.importances_[:top]
    assert len(bars) == len(rows)
    widths = np.array([bar.get_width() for bar in bars])
    np.testing.assert_allclose(widths, [100 * r["share"] for r in rows], rtol=1e-12)
    assert np.all(np.diff(widths) <= 0)
    names = model.feature_names_
    labels = [" × ".join(names[i] for i in r["fidx"]) for r in rows]
    ticks = {tick.get_position()[1]: tick.get_text() for tick in ax.get_yticklabels()}
    assert [ticks[bar.get_y() + 0.5 * bar.get_height()] for bar in bars] == labels
    assert f"{model.intercept_:.4g}" in ax.get_title(loc="left")


def test_monotone_constraints_draw_monotone_curves():
    model = fit(XGB2Regressor, mono_increasing_list=("X0",), mono_decreasing_list=("X2",))
    for feature, sign in [("X0", 1), ("X2", -1)]:
        fig = model.plot_effect(feature)
        levels, _ = steps(fig)
        assert np.all(sign * np.diff(levels) >= -1e-12 * np.max(np.abs(levels)))
        word = "increase" if sign > 0 else "decrease"
        assert any(f"constrained to {word}" in ax.get_title(loc="left") for ax in fig.axes)
    assert not any("constrained" in ax.get_title(loc="left")
                   for ax in model.plot_effect("X1").axes)


def test_missing_values_level_is_drawn_apart():
    class MissingAllowed(XGB2Regressor):
        def _validate_input(self, x, y, sample_weight):
            self.n_features_in_ = x.shape[1]
            return x, y, np.ones(len(y))

    x = X.copy()
    x[::5, 0] = np.nan
    model = MissingAllowed(n_estimators=30, eta=0.2).fit(x, SCORE)
    fig = model.plot_effect(0)
    levels = model.effects_["1D"][0]["values"]["levels"]
    drawn, _ = steps(fig)
    np.testing.assert_array_equal(drawn, levels[:-1])
    (axis,) = [ax for ax in fig.axes
               if [t.get_text() for t in ax.get_xticklabels()] == [f"missing\nn={N // 5}"]]
    assert [line.get_ydata()[0] for line in axis.lines if line.get_marker() == "D"] == [
        levels[-1]]


def test_unknown_effects_raise_and_name_them(model):
    with pytest.raises(ValueError, match="no feature named 'price'"):
        model.plot_effect("price")
    with pytest.raises(ValueError, match="feature position 7 is out of range"):
        model.plot_effect(7)
    with pytest.raises(ValueError, match="no main effect of 'X3'"):
        model.plot_effect("X3")
    with pytest.raises(ValueError, match="no interaction of 'X0' and 'X3'"):
        model.plot_effect(["X0", 3])
    with pytest.raises(ValueError, match="two different features"):
        model.plot_effect((1, "X1"))
    with pytest.raises(TypeError, match="name or position"):
        model.plot_effect(1.5)
    with pytest.raises(ValueError, match="at least 1"):
        model.plot_effects(top=0)


def test_effects_grid_and_parsing_on_demand():
    model = fit(XGB2Classifier, feature_names=["a", "b", "c", "d"])
    assert not hasattr(model, "effects_")
    fig = model.plot_effects(top=4)
    rows = model.fanova_.importances_[:4]
    titles = [t.get_text() for ax in fig.axes for t in ax.texts if "%" in t.get_text()]
    assert [t.split(" (")[0] for t in titles] == [
        " × ".join("abcd"[i] for i in r["fidx"]) for r in rows]
    render(fig)
    render(model.plot_importance())
    # A second fit leaves the first fit's effects behind; the figures read the current ones.
    model.fit(X[:, ::-1], SCORE > 0)
    render(model.plot_effect("b"))
    assert model.unp_.model is model.estimator_
    with pytest.raises(ValueError, match="depth more than 2"):
        XGB2Regressor(n_estimators=5, max_depth=3).fit(X, SCORE).plot_importance()


def test_categorical_effects_are_drawn_per_category_and_name_the_class():
    import pandas as pd

    rng = np.random.RandomState(0)
    frame = pd.DataFrame({"x": X[:, 0], "cut": rng.choice(["Fair", "Good", "Ideal"], len(X))})
    frame.loc[::9, "cut"] = None
    label = np.where(SCORE + (frame["cut"] == "Ideal") > 0.5, "dear", "cheap")
    model = XGB2Classifier(n_estimators=20).fit(frame, label)
    fig = model.plot_effect("cut")
    (item,) = [e for e in model.effects_["1D"] if e["fidx"] == (1,)]
    ax = fig.axes[0]
    heights = [p.get_height() for p in ax.patches]
    np.testing.assert_allclose(heights, item["values"]["levels"][:3])
    assert [t.get_text() for t in fig.axes[1].get_xticklabels()] == ["Fair", "Good", "Ideal"]
    assert "log-odds of dear" in ax.get_ylabel()
    render(fig)
    render(model.plot_effect(("cut", "x")))
    render(model.plot_effects(top=3))
    render(model.plot_importance())
