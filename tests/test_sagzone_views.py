import inspect

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure
from sklearn.linear_model import LinearRegression

from movra.diagnoser.sagzone import SagZone
from movra.diagnoser.utils import calculate_distance
from movra.exceptions import MovraError
from movra.utils import TestDataResult

N = 900
TITLES = {"remaining": "Distribution Shift: Weak vs Remaining Regions",
          "full": "Distribution Shift: Weak vs Full Regions"}
AREAS = {"remaining": "Remaining Regions", "full": "Full Regions"}


def _data(n_features=4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, size=(N, n_features))
    y = x[:, 0] + 0.1 * rng.normal(size=N)
    pred = x[:, 0].copy()
    # The model is badly off for large first and second features: the weak corner.
    corner = (x[:, 0] > 0.7) & (x[:, 1] > 0.5)
    pred[x[:, 0] > 0.7] += 0.4
    pred[corner] += 0.4
    # The weak rows also differ in the last feature, so its distribution shifts most.
    x[corner, -1] = rng.uniform(0.8, 1.0, size=int(corner.sum()))
    order = rng.permutation(N)
    return x, y, pred, np.sort(order[:600]), np.sort(order[600:])


def _fitted(features=("X0",), method="histogram", use_test=False, threshold=1.2,
            n_features=4, feature_types=None):
    x, y, pred, train_idx, test_idx = _data(n_features)
    model = LinearRegression().fit(x, y)
    zone = SagZone(model, list(features), task_type="regression", threshold=threshold,
                   method=method, bins=10, max_depth=2, min_samples=20, metric="MSE",
                   use_test=use_test)
    zone.fit(x, y, train_idx, test_idx, prediction=pred, feature_types=feature_types)
    return zone


def _searched_rows(zone, coded=False):
    return (zone.coded_x if coded else zone.x)[zone.test_idx if zone.use_test else zone.train_idx]


def _weak_positions(zone):
    if not zone.diag.weak_region_stats:
        return np.zeros(0, dtype=int)
    return np.asarray(zone.get_target_idx())


def _samples(zone, compare_to, coded=False):
    rows = _searched_rows(zone, coded)
    weak = _weak_positions(zone)
    if compare_to == "full":
        return rows, rows[weak]
    return rows[np.setdiff1d(np.arange(len(rows)), weak)], rows[weak]


CASES = [(("X0",), "histogram"), (("X0",), "tree"), (("X0", "X1"), "histogram"),
         (("X0", "X1"), "tree")]


@pytest.mark.parametrize("features, method", CASES)
@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_distance_compares_weak_rows_of_the_searched_split(features, method, use_test,
                                                           compare_to):
    zone = _fitted(features, method, use_test)
    assert len(zone.diag.weak_region_stats) > 0
    reference, weak = _samples(zone, compare_to)
    result = zone.get_distance(psi_buckets="quantile", distance_metric="WD1",
                               compare_to=compare_to)
    assert isinstance(result, TestDataResult) and result.key == "resilience_shift_histogram"
    value = result.value
    assert list(value) == ["purpose", "distance_metric", "slice_features", "bins",
                           "threshold_value", "method", "min_samples", "metric", "title", "x",
                           "y"]
    assert value["purpose"] == "diagnose" and value["distance_metric"] == "WD1"
    assert value["title"] == TITLES[compare_to]
    assert value["slice_features"] == list(features) and value["method"] == method
    assert (value["bins"], value["min_samples"], value["metric"]) == (10, 20, "MSE")
    # The user's factor, not the slicer's absolute threshold.
    assert value["threshold_value"] == 1.2
    expected = [calculate_distance(reference[:, i], weak[:, i], buckettype="quantile",
                                   method="WD1") for i in range(4)]
    order = sorted(range(4), key=lambda i: -expected[i])
    assert value["x"] == [zone.feature_names[i] for i in order]
    np.testing.assert_array_equal(value["y"], np.round(np.array(expected)[order], 4))


def test_distance_keeps_the_ten_largest_rounded():
    zone = _fitted(n_features=13)
    reference, weak = _samples(zone, "remaining")
    value = zone.get_distance().value
    expected = np.array([calculate_distance(reference[:, i], weak[:, i]) for i in range(13)])
    assert len(value["x"]) == len(value["y"]) == 10
    assert set(value["x"]) == {f"X{i}" for i in np.argsort(expected)[::-1][:10]}
    assert np.all(np.diff(value["y"]) <= 0)
    np.testing.assert_array_equal(value["y"], np.round(np.sort(expected)[::-1][:10], 4))
    # Four decimals (a product by 1e4 is exact only up to its own rounding).
    np.testing.assert_allclose(value["y"] * 1e4, np.round(value["y"] * 1e4), rtol=0, atol=1e-6)


@pytest.mark.parametrize("view", ["get_distance", "get_shift"])
@pytest.mark.parametrize("compare_to", ["Remaining", "all", None])
def test_unsupported_compare_to(view, compare_to):
    zone = _fitted()
    with pytest.raises(MovraError, match=r"^Unsupported value of compare_to\.$"):
        getattr(zone, view)(compare_to=compare_to)


@pytest.mark.parametrize("features, method", CASES)
@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_shift_table_holds_reference_rows_then_weak_rows(features, method, use_test,
                                                         compare_to):
    # A categorical feature that is not sliced (the slicing features' regions bound numbers).
    types = ["numerical", "numerical", "categorical", "numerical"]
    zone = _fitted(features, method, use_test, feature_types=types)
    reference, weak = _samples(zone, compare_to)
    result = zone.get_shift(show_feature="X2", compare_to=compare_to)
    assert isinstance(result, TestDataResult) and result.key == "sagzone_shift"
    value = result.value
    assert list(value) == ["title", "show_feature", "slice_features", "bins", "threshold_value",
                           "method", "min_samples", "metric", "feature_type", "data"]
    assert value["title"] == TITLES[compare_to] and value["show_feature"] == "X2"
    assert value["feature_type"] == "categorical" and value["threshold_value"] == 1.2
    data = value["data"]
    assert isinstance(data, pd.DataFrame)
    assert list(data.columns) == ["X0", "X1", "X2", "X3", "resi_type_"]
    assert list(data.index) == list(range(len(reference) + len(weak)))
    np.testing.assert_array_equal(data.iloc[:, :4].to_numpy(), np.vstack([reference, weak]))
    assert data["resi_type_"].tolist() == ([AREAS[compare_to]] * len(reference)
                                           + ["Weak Regions"] * len(weak))
    # The weak rows lie inside the weak regions, on the searched split.
    inside = np.zeros(len(weak), dtype=bool)
    for r in zone.diag.weak_region_stats:
        box = (weak[:, 0] >= r["lb1"]) & (weak[:, 0] <= r["ub1"])
        if len(features) == 2:
            box &= (weak[:, 1] >= r["lb2"]) & (weak[:, 1] <= r["ub2"])
        inside |= box
    assert len(weak) > 0 and inside.all()
    if compare_to == "full":
        # Every searched row, and the weak rows once more.
        assert len(data) == len(_searched_rows(zone)) + len(weak)


def test_shift_defaults_and_unknown_feature():
    zone = _fitted()
    value = zone.get_shift().value
    assert value["show_feature"] == "X0" and value["feature_type"] == "numerical"
    assert value["title"] == TITLES["remaining"]
    with pytest.raises(ValueError):
        zone.get_shift(show_feature="X9")


@pytest.mark.parametrize("features, method", CASES)
@pytest.mark.parametrize("use_test", [False, True])
def test_marginal_result_carries_the_slicer_state(features, method, use_test):
    zone = _fitted(features, method, use_test)
    result = zone.get_marginal()
    assert isinstance(result, TestDataResult) and result.key == "sagzone_plot"
    value = result.value
    assert list(value) == ["slice_features", "bins", "method", "min_samples", "metric",
                           "weak_region_stats", "fidx", "rule_list", "x", "y",
                           "threshold_value", "score_name", "_sign", "scores", "use_test",
                           "is_metric_additive", "feature_names", "bins1d", "bin_stats",
                           "category_labels"]
    assert value["category_labels"] is zone.category_labels
    diag = zone.diag
    for key, attr in [("weak_region_stats", "weak_region_stats"), ("fidx", "fidx"),
                      ("rule_list", "rule_list"), ("x", "x"), ("y", "y"),
                      ("scores", "scores"), ("_sign", "score_sign")]:
        assert value[key] is getattr(diag, attr)
    # What the histogram slicer cut and counted, for the figure to draw; tree slicing has none.
    for key in ("bins1d", "bin_stats"):
        assert value[key] is getattr(diag, key, None)
    assert (value["bins1d"] is None) is (method == "tree")
    assert (value["bin_stats"] is None) is (method == "tree" or len(features) == 1)
    assert value["threshold_value"] == diag.threshold_value
    assert value["score_name"] == "MSE" and value["use_test"] is use_test
    assert value["is_metric_additive"] is True and value["feature_names"] == zone.feature_names
    # The searched split's rows.
    np.testing.assert_array_equal(np.asarray(value["x"]), _searched_rows(zone))

    fig = SagZone.plot_marginal(result)
    assert isinstance(fig, Figure) and len(fig.axes) >= 2
    fig.savefig(__import__("io").BytesIO(), format="png", dpi=30)


def test_marginal_without_rule_list():
    zone = _fitted()
    del zone.diag.rule_list
    assert zone.get_marginal().value["rule_list"] is None


@pytest.mark.parametrize("features, method", CASES)
def test_no_weak_region_still_gives_results(features, method):
    zone = _fitted(features, method, threshold=50.0)
    assert zone.output is None and zone.diag.weak_region_stats == []
    distance = zone.get_distance().value
    assert distance["x"] == ["X0", "X1", "X2", "X3"]
    assert np.all(np.isnan(distance["y"]))
    data = zone.get_shift(compare_to="full").value["data"]
    assert len(data) == len(_searched_rows(zone))
    assert set(data["resi_type_"]) == {"Full Regions"}
    marginal = zone.get_marginal()
    assert marginal.value["weak_region_stats"] == []
    fig = zone.plot_marginal(marginal)
    assert "no weak region" in " ".join(t.get_text() for t in fig.texts)


@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_distance_without_features(compare_to):
    zone = _fitted()
    zone.feature_names = []
    value = zone.get_distance(compare_to=compare_to).value
    assert value["title"] == TITLES[compare_to]
    assert value["x"] == [] and len(value["y"]) == 0


def test_view_signatures_and_docstrings():
    params = inspect.signature(SagZone.get_distance).parameters
    assert [(p.name, p.default) for p in params.values()][1:] == [
        ("psi_buckets", "uniform"), ("distance_metric", "PSI"), ("compare_to", "remaining")]
    params = inspect.signature(SagZone.get_shift).parameters
    assert [(p.name, p.default) for p in params.values()][1:] == [
        ("show_feature", None), ("compare_to", "remaining")]
    assert list(inspect.signature(SagZone.get_marginal).parameters) == ["self"]
    assert list(inspect.signature(SagZone.plot_marginal).parameters)[0] == "result"
    assert isinstance(inspect.getattr_static(SagZone, "plot_marginal"), staticmethod)
    assert SagZone.get_distance.__doc__.startswith(
        "Get distance result between samples in and out the weak region.")
    assert SagZone.get_shift.__doc__.startswith(
        "Get distribution shift between samples in and out the weak region.")
    assert SagZone.get_marginal.__doc__.startswith("Get marginal sagzone result")


def _table_zone(x, features=("channel",), method="histogram"):
    """A model weak on two channels and where income is missing, on a frame or an array."""
    rng = np.random.default_rng(1)
    channel = np.asarray(x["channel"] if hasattr(x, "iloc") else x[:, 0], dtype=object)
    y = rng.normal(size=N)
    pred = y + 0.2 * rng.normal(size=N)
    pred[np.isin(channel, ["kiosk", "mail"])] += 2.0 * rng.normal(size=N)[
        np.isin(channel, ["kiosk", "mail"])]
    zone = SagZone(LinearRegression(), list(features), task_type="regression", method=method,
                   min_samples=20, metric="MSE")
    zone.fit(x, y, np.arange(600), np.arange(600, N), prediction=pred,
             feature_names=["channel", "income", "z"])
    return zone


def _table(seed=0):
    rng = np.random.default_rng(seed)
    income = rng.uniform(0, 10, N)
    income[rng.random(N) < 0.15] = np.nan
    channel = pd.Categorical(rng.choice(["kiosk", "mail", "phone", "web"], N))
    return pd.DataFrame({"channel": channel, "income": income, "z": rng.normal(size=N)})


@pytest.mark.parametrize("method", ["PSI", "WD1", "KS"])
def test_distance_of_categorical_and_missing_features(method):
    zone = _table_zone(_table())
    assert zone.diag.weak_region_stats
    reference, weak = _samples(zone, "remaining", coded=True)
    value = zone.get_distance(distance_metric=method).value
    expected = {name: calculate_distance(reference[:, j], weak[:, j], method=method,
                                         feature_type=zone.feature_types[j])
                for j, name in enumerate(zone.feature_names)}
    got = dict(zip(value["x"], value["y"]))
    for name in zone.feature_names:
        np.testing.assert_array_equal(got[name], np.round(expected[name], 4))
    # The weak rows are two of four channels: far apart by PSI, no distance by WD1 or KS.
    if method == "PSI":
        assert value["x"][0] == "channel" and got["channel"] > 1
    else:
        assert value["x"][-1] == "channel" and np.isnan(got["channel"])


@pytest.mark.parametrize("as_array", [False, True])
def test_shift_of_a_categorical_feature_shows_labels(as_array):
    x = _table()
    if as_array:
        x = x.astype({"channel": object}).to_numpy(dtype=object)
    zone = _table_zone(x)
    reference, weak = _samples(zone, "remaining", coded=True)
    data = zone.get_shift(show_feature="channel").value["data"]
    labels = zone.category_labels[0][np.vstack([reference, weak])[:, 0].astype(int)]
    assert list(data["channel"]) == list(labels)
    assert set(data.loc[data["resi_type_"] == "Weak Regions", "channel"]) == {"kiosk", "mail"}
    np.testing.assert_array_equal(data["income"], np.vstack([reference, weak])[:, 1])
