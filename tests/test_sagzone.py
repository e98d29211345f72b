"""SagZone sessions: build, fit, read the regions, the result and the weak rows."""

import inspect

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

from movra.diagnoser.sagzone import HistogramSlicing, SagZone, TreeSlicing
from movra.exceptions import MovraError
from movra.utils import TestDataResult


@pytest.fixture(scope="module")
def regression():
    rng = np.random.default_rng(1)
    n = 3000
    x = rng.uniform(0, 1, (n, 3))
    noise = np.where(x[:, 1] > 0.7, 1.0, 0.1)  # the model is weak where x1 > 0.7
    y = 2 * x[:, 0] + rng.normal(0, 1, n) * noise
    model = LinearRegression().fit(x, y)
    idx = rng.permutation(n)
    return model, x, y, idx[:2000], idx[2000:]


@pytest.fixture(scope="module")
def classification():
    rng = np.random.default_rng(2)
    n = 3000
    x = rng.uniform(0, 1, (n, 3))
    flip = (x[:, 2] < 0.3) & (rng.random(n) < 0.4)  # labels are noisy where x2 < 0.3
    y = ((x[:, 0] > 0.5) ^ flip).astype(int)
    model = LogisticRegression().fit(x, y)
    idx = rng.permutation(n)
    return model, x, y, idx[:2000], idx[2000:]


def test_constructor_defaults_signature_and_docs():
    assert str(inspect.signature(SagZone.__init__)) == (
        "(self, estimator, slice_features, task_type=None, threshold=1.2, method='histogram', "
        "bins=10, max_depth=2, min_samples=20, metric=None, use_test=False, random_state=0)")
    sz = SagZone(LinearRegression(), ["X0"])
    assert [k for k in vars(sz) if k != "random_state"][-10:] == ["slice_features", "threshold", "method", "bins", "max_depth",
                                    "min_samples", "metric", "use_test", "diag", "output"]
    assert (sz.task_type, sz.method, sz.bins, sz.max_depth, sz.min_samples, sz.threshold,
            sz.use_test, sz.random_state, sz.diag, sz.output) == (
        "regression", "histogram", 10, 2, 20, 1.2, False, 0, None, None)
    assert SagZone.__doc__.startswith("Sagzone Test") and "Parameters" in SagZone.__doc__
    assert SagZone.fit.__doc__ == "Fit sagzone diagnoser"
    assert SagZone.get_target_idx.__doc__ == "Get sample index in Weak region"
    assert SagZone.get_result.__doc__ == "Get sagzone result"
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'slice_features'"):
        SagZone(LinearRegression())


@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("weighted", [False, True])
def test_regression_session_histogram(regression, use_test, weighted):
    model, x, y, train, test = regression
    w = np.random.default_rng(0).integers(0, 3, len(y)).astype(float) if weighted else None
    sz = SagZone(model, ["X1"], use_test=use_test)
    assert sz.fit(x, y, train, test, sample_weight=w) is None
    assert isinstance(sz.diag, HistogramSlicing) and not hasattr(sz.diag, "max_depth")
    out = sz.output
    searched = x[test] if use_test else x[train]
    assert list(out.columns) == ["[X1", "X1)", "#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    # the weak region covers the noisy part of X1
    assert out["[X1"].min() == pytest.approx(0.7, abs=0.1) and out["X1)"].max() == searched[:, 1].max()
    searched = x[test] if use_test else x[train]
    np.testing.assert_array_equal(sz.diag.x, searched)
    # the weak rows: region by region, as the table counts them (closed at the searched maximum)
    top = searched[:, 1].max()
    expected = np.concatenate([
        np.where((searched[:, 1] >= r["lb1"])
                 & ((searched[:, 1] < r["ub1"]) | ((r["ub1"] == top) & (searched[:, 1] == top))))[0]
        for r in sz.diag.weak_region_stats])
    np.testing.assert_array_equal(sz.get_target_idx(), expected)
    assert searched[:, 1].argmax() in sz.get_target_idx()
    counted = out["#Test"] if use_test else out["#Train"]
    assert len(sz.get_target_idx()) == counted.sum()
    result = sz.get_result()
    assert isinstance(result, TestDataResult) and result.key == "sagzone_result"
    assert list(result.value) == ["slice_features", "bins", "method", "min_samples", "metric",
                                  "threshold_value", "data"]
    assert result.value["data"] is out
    assert result.value["threshold_value"] == sz.diag.threshold_value


def test_regression_session_tree_two_features(regression):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1", "X0"], method="tree", max_depth=3)
    sz.fit(x, y, train, test)
    assert isinstance(sz.diag, TreeSlicing) and not hasattr(sz.diag, "bins")
    assert sz.diag.max_depth == 3 and sz.diag.tree_estimator.n_features_in_ == 2
    assert list(sz.output.columns)[:4] == ["[X1", "X1)", "[X0", "X0)"]
    for region in sz.diag.weak_region:  # clipped to the data, never infinite
        assert np.isfinite(list(region.values())).all()
    rows = sz.get_target_idx()
    first = sz.diag.weak_region_stats[0]
    def below(column, ub):  # closed at the searched split's maximum
        top = x[train, column].max()
        return (x[train, column] < ub) | ((ub == top) & (x[train, column] == top))

    inside = ((x[train, 1] >= first["lb1"]) & below(1, first["ub1"]) &
              (x[train, 0] >= first["lb2"]) & below(0, first["ub2"]))
    np.testing.assert_array_equal(rows[:inside.sum()], np.where(inside)[0])


@pytest.mark.parametrize("metric, method, column", [
    ("ACC", "histogram", "test_ACC"),
    ("LogLoss", "tree", "test_LogLoss"),
    ("AUC", "histogram", "test_AUC"),      # a set metric: no merging
    ("Brier", "histogram", "test_Brier"),
])
def test_classification_sessions(classification, metric, method, column):
    model, x, y, train, test = classification
    sz = SagZone(model, ["X2"], method=method, metric=metric, threshold=1.1)
    sz.fit(x, y, train, test)
    assert sz.task_type == "classification"
    assert sz.output is not None and column in sz.output.columns
    assert sz.output["[X2"].min() < 0.3
    if sz.diag.needs_proba and method == "histogram":  # probabilities reached the slicer
        np.testing.assert_array_equal(sz.diag.preds, model.predict_proba(x[train])[:, 1])


def test_two_feature_histogram_with_weights_and_use_test(classification):
    model, x, y, train, test = classification
    w = np.ones(len(y))
    w[::7] = 0.0
    sz = SagZone(model, ["X2", "X0"], bins=5, metric="ACC", use_test=True, min_samples=5)
    sz.fit(x, y, train, test, sample_weight=w)
    assert len(sz.diag.bin_stats) == 5
    assert all({"lb2q", "ub2q"} <= set(r) for r in sz.diag.weak_region)
    rows = sz.get_target_idx()
    assert rows.dtype.kind == "i" and rows.max() < len(test)


def test_unknown_method_fails_after_storing_the_data(regression):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"], method="Tree")
    with pytest.raises(MovraError, match=r"^sagzone method should be either histogram or tree\.$"):
        sz.fit(x, y, train, test)
    assert sz.diag is None and sz.x is not None


def test_no_weak_region(regression):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"], threshold=100.0)
    sz.fit(x, y, train, test)
    assert sz.output is None and sz.diag.weak_region_stats == []
    idx = sz.get_target_idx()
    assert idx.shape == (0,) and idx.dtype.kind == "i"


@pytest.mark.parametrize("features, message", [
    (["nope"], "slicing feature 'nope' is not one of the feature names"),
    (["X1", "X2"], "slicing feature 'X2' holds infinite values"),
])
def test_slicing_features_are_validated_before_the_search(regression, features, message):
    model, x, y, train, test = regression
    prediction = model.predict(x)
    x = x.copy()
    x[test[0], 2] = -np.inf  # missing values are a segment; infinite ones cannot be binned
    x[train[0], 0] = np.inf  # not a slicing column: fine
    sz = SagZone(model, features)
    with pytest.raises(MovraError, match=message):
        sz.fit(x, y, train, test, prediction=prediction)
    assert sz.diag is None


def test_probability_metric_without_probabilities(regression):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"], metric="LogLoss")
    with pytest.raises(MovraError, match="train_pred is None"):
        sz.fit(x, y, train, test)


def test_refit_replaces_the_slicer(regression):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"])
    sz.fit(x, y, train, test)
    first = sz.diag
    sz.fit(x, y, train, test)
    assert sz.diag is not first


VIEWS = ["get_result", "get_target_idx", "get_distance", "get_shift", "get_marginal"]


@pytest.mark.parametrize("view", VIEWS)
def test_views_need_a_fitted_diagnoser(regression, view):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"])
    with pytest.raises(MovraError, match="^%s needs a fitted SagZone: call fit first" % view):
        getattr(sz, view)()
    sz.fit(x, y, train, test)
    getattr(sz, view)()
    # a fit that fails once the new data are stored leaves no slicer to mix with them
    with pytest.raises(MovraError, match="no rows"):
        sz.fit(x, y, train[:0], test)
    assert sz.diag is None and sz.output is None
    with pytest.raises(MovraError, match="needs a fitted SagZone"):
        getattr(sz, view)()


@pytest.mark.parametrize("use_test", [False, True])
def test_searched_split_without_rows(regression, use_test):
    model, x, y, train, test = regression
    sz = SagZone(model, ["X1"], use_test=use_test)
    empty = np.array([], dtype=int)
    split = "test" if use_test else "training"
    with pytest.raises(MovraError, match="^The %s split has no rows" % split):
        sz.fit(x, y, train if use_test else empty, empty if use_test else test)


@pytest.mark.parametrize("features", [["X1"], ["X1", "X0"]])
def test_huge_bins_are_capped_by_the_distinct_values(regression, features):
    model, x, y, train, test = regression
    sz = SagZone(model, features, bins=10 ** 11, min_samples=1)
    sz.fit(x, y, train, test)
    assert len(sz.diag.bins1d) == len(np.unique(x[train, 1])) + 1


@pytest.mark.parametrize("fitted_on", ["frame", "array"])
@pytest.mark.parametrize("task", ["regression", "classification"])
def test_a_dataframe_gets_no_feature_name_warnings(regression, classification, task, fitted_on):
    # A model fitted on a DataFrame is called on the DataFrame, one fitted on arrays on arrays.
    import warnings

    import pandas as pd

    _, x, y, train, test = regression if task == "regression" else classification
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    model = (LinearRegression() if task == "regression" else LogisticRegression()).fit(
        frame if fitted_on == "frame" else x, y)
    sz = SagZone(model, ["b"], task_type=task)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        sz.fit(frame, y, train, test)
    assert sz.feature_names == ["a", "b", "c"]
    np.testing.assert_allclose(sz.pred, model.predict(frame if fitted_on == "frame" else x))


@pytest.mark.parametrize("dtype", ["boolean", "bool[pyarrow]"])
def test_pandas_boolean_masks_select_the_splits(regression, dtype):
    pd = pytest.importorskip("pandas")
    if "pyarrow" in dtype:
        pytest.importorskip("pyarrow")
    model, x, y, train, _ = regression
    in_train = np.zeros(len(y), dtype=bool)
    in_train[train] = True
    plain = SagZone(model, ["X1"])
    plain.fit(x, y, in_train, ~in_train)
    zone = SagZone(model, ["X1"])
    zone.fit(x, y, pd.Series(in_train, dtype=dtype), pd.Series(~in_train, dtype=dtype))
    assert zone.output.equals(plain.output)
    holed = pd.Series(in_train, dtype=dtype)
    holed[3] = None
    with pytest.raises(MovraError, match="train_idx holds missing values"):
        zone.fit(x, y, holed, ~in_train)


def test_a_subclass_search_is_called_through_python(regression):
    model, x, y, train, test = regression
    calls = []

    class CountingSlicing(HistogramSlicing):
        def _fit1d(self, *args, **kwargs):
            calls.append(len(args[0]))
            return HistogramSlicing._fit1d(self, *args, **kwargs)

    slicer = CountingSlicing(slice_features=["X1"], min_samples=20)
    sz = SagZone(model, ["X1"])
    sz.fit(x, y, train, test)
    out = slicer.fit(x[train], y[train], x[test], y[test], model.predict(x[train]),
                     model.predict(x[test]), feature_names=["X0", "X1", "X2"], use_test=False)
    assert calls == [len(train)] and out.equals(sz.output)
