"""The depth-2 boosted-tree estimators: construction, validation, fitting and prediction."""
import copy
import inspect
import pickle
import pydoc
import warnings

import joblib
import numpy as np
import pandas as pd
import pytest
import sklearn.utils
import xgboost
from sklearn.base import ClassifierMixin, RegressorMixin, clone, is_classifier, is_regressor
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score

from movra.models.xgb2.xgboost import XGB2Base, XGB2Classifier, XGB2Regressor

PARAM_ORDER = [
    "n_estimators", "eta", "max_depth", "tree_method", "max_bin", "reg_lambda", "reg_alpha",
    "gamma", "feature_names", "feature_types", "mono_increasing_list",
    "mono_decreasing_list", "random_state",
]
SUBCLASS_DEFAULTS = dict(
    n_estimators=100, eta=0.3, max_depth=2, tree_method="auto", max_bin=256, reg_lambda=0,
    reg_alpha=0, gamma=0, feature_names=None, feature_types=None, mono_increasing_list=(),
    mono_decreasing_list=(), random_state=0,
)
BASE_DEFAULTS = dict(SUBCLASS_DEFAULTS, max_bin=20, reg_lambda=1)
XFAIL = {"check_sample_weights_invariance":
         ("zero sample_weight is not equivalent to removing samples",)}
FEATURE_MESSAGE = ("The number of features in predict is\n" + " " * 21
                   + "different from the number of features in fit. X has %d features, but %s "
                   "is expecting %d features as input.")


def regression_data(n=300, p=4, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.uniform(-1, 1, size=(n, p))
    y = X[:, 0] + 2 * X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=n)
    return X, y


def classification_data(n=300, p=4, seed=0, labels=(0, 1)):
    X, score = regression_data(n, p, seed)
    return X, np.where(score > 0, labels[1], labels[0])


def fitted(cls, **params):
    X, y = regression_data() if cls is XGB2Regressor else classification_data()
    return cls(n_estimators=10, **params).fit(X, y), X


# ---- construction ----------------------------------------------------------------------------

@pytest.mark.parametrize("cls, defaults", [
    (XGB2Base, BASE_DEFAULTS), (XGB2Regressor, SUBCLASS_DEFAULTS),
    (XGB2Classifier, SUBCLASS_DEFAULTS)])
def test_defaults_and_exactly_thirteen_params(cls, defaults):
    assert list(inspect.signature(cls.__init__).parameters)[1:] == PARAM_ORDER
    assert cls().get_params() == defaults and len(defaults) == 13


@pytest.mark.parametrize("cls", [XGB2Base, XGB2Regressor, XGB2Classifier])
def test_init_stores_arguments_unchanged_through_the_base(cls, monkeypatch):
    values = [object() for _ in PARAM_ORDER]
    est = cls(*values)
    assert [getattr(est, name) for name in PARAM_ORDER] == values
    assert sorted(vars(est)) == sorted(PARAM_ORDER)  # nothing else set
    with pytest.raises(TypeError, match=r"takes from 1 to 14 positional arguments but 15 were"):
        cls(*values, 1)
    if cls is not XGB2Base:  # subclasses hand all 13 values to XGB2Base by keyword
        calls = []
        original = XGB2Base.__init__
        monkeypatch.setattr(XGB2Base, "__init__",
                            lambda self, *a, **k: calls.append((a, k)) or original(self, *a, **k))
        cls(5, max_bin=7)
        assert calls == [((), dict(SUBCLASS_DEFAULTS, n_estimators=5, max_bin=7))]
        assert list(calls[0][1]) == PARAM_ORDER


def test_class_tree_and_docstrings():
    assert XGB2Regressor.__bases__ == (RegressorMixin, XGB2Base)
    assert XGB2Classifier.__bases__ == (ClassifierMixin, XGB2Base)
    assert is_regressor(XGB2Regressor()) and is_classifier(XGB2Classifier())
    assert XGB2Regressor.__doc__.startswith("Depth-2 XGBoostRegressor.")
    assert XGB2Classifier.__doc__.startswith("Depth-2 XGBoostClassifier.")
    for cls in (XGB2Regressor, XGB2Classifier):
        assert cls.__module__ == "movra.models.xgb2.xgboost"
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        for section in ("Parameters\n", "Attributes\n", "max_bin : int, default=256",
                        "reg_lambda : float, default=0", "xgb_params_ : dict", "Returns\n",
                        "fit(self, X, y, sample_weight=None)", "n_estimators=100"):
            assert section in text


def test_more_tags_and_sklearn_tags():
    # Missing values are accepted (a level of their own), as the tags say.
    assert XGB2Regressor()._more_tags() == {"_xfail_checks": XFAIL, "allow_nan": True}
    tags = XGB2Classifier()._more_tags()
    assert tags == {"binary_only": True, "_xfail_checks": XFAIL, "allow_nan": True}
    assert list(tags) == ["binary_only", "_xfail_checks", "allow_nan"]
    if hasattr(sklearn.utils, "get_tags"):
        assert sklearn.utils.get_tags(XGB2Classifier()).classifier_tags.multi_class is False
        assert sklearn.utils.get_tags(XGB2Regressor()).input_tags.allow_nan is True


# ---- validation ------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
@pytest.mark.parametrize("weights, kept, expected", [
    ([0, 2, 2], [1, 2], [1.0, 1.0]),
    ([1, 1, 1], [0, 1, 2], [1.0, 1.0, 1.0]),
    ([-1.0, 3, 0.5, 0.5], [1, 2, 3], [2.25, 0.375, 0.375]),
    (None, [0, 1, 2], [1.0, 1.0, 1.0]),
])
def test_weights_drop_rows_and_sum_to_row_count(cls, weights, kept, expected):
    n = 3 if weights is None else len(weights)
    X = np.arange(2.0 * n).reshape(n, 2)
    y = np.array(["a", "b", "a", "b"][:len(X)]) if cls is XGB2Classifier else X[:, 0] * 2
    x_out, y_out, w_out = cls()._validate_input(X, y, weights)
    np.testing.assert_array_equal(x_out, X[kept])
    np.testing.assert_array_equal(w_out, expected)
    expected_y = (y[kept] == "b").astype(float) if cls is XGB2Classifier else y[kept]
    np.testing.assert_array_equal(y_out, expected_y)
    assert y_out.dtype == w_out.dtype == np.float64 and y_out.ndim == w_out.ndim == 1


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
@pytest.mark.parametrize("n, weights, message", [
    (3, [1, 1], "sample_weight shape mismatches the input"),
    (3, np.ones((3, 2)), "sample_weight shape mismatches the input"),
    (3, [-1, 0, 0], "Invalid sample_weight. The sample weights are all zero or negative."),
    (3, [1, np.nan, 1], "Invalid sample_weight"),
    (3, [-np.inf, 1, 1], "Invalid sample_weight"),
    (3, [1e308, 1e308, 1], "Invalid sample_weight"),  # the sum overflows
    (2, [0, 1], "n_samples=1"),
    (1, None, "n_samples=1"),
])
def test_weight_and_size_errors(cls, n, weights, message):
    X = np.arange(2.0 * n).reshape(n, 2)
    y = np.array([0, 1, 0])[:n]
    with pytest.raises(ValueError) as info, warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().fit(X, y, sample_weight=weights)
    assert str(info.value) == message


# numpy sums in blocks (of 8192 values on older releases): lengths on both sides of them.
@pytest.mark.parametrize("n", [2, 9, 129, 1000, 8193, 20000, 100003])
def test_weight_cleaning_matches_numpy(n):
    rng = np.random.RandomState(n)
    for _ in range(5):
        X = rng.normal(size=(n, 2))
        y = rng.normal(size=n)
        w = rng.exponential(size=n) * (rng.uniform(size=n) > 0.3)
        w -= 0.1 * (rng.uniform(size=n) > 0.9)
        w[:2] = [0.5, 1.5]
        keep = np.where(w > 0)[0]
        expected = len(keep) * w[keep] / np.sum(w[keep])
        x_out, y_out, w_out = XGB2Regressor()._validate_input(X, y, w)
        np.testing.assert_array_equal(w_out, expected)
        np.testing.assert_array_equal(x_out, X[keep])
        np.testing.assert_array_equal(y_out, y[keep])


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_unconvertible_arrays_are_python_errors(cls):
    est, X = fitted(cls)
    y = est.predict(X)
    for weights in (np.array(["1"] * len(X)), np.array([None] * len(X), dtype=object),
                    [[1.0, 2.0]] * len(X)):
        with pytest.raises((ValueError, TypeError)):
            cls(n_estimators=2).fit(X, y, weights)
    for method in ("predict", "decision_function", "predict_proba"):
        if hasattr(est, method):
            with pytest.raises(ValueError):
                getattr(est, method)(X.astype(str))
    if cls is XGB2Classifier:  # the probabilities themselves, as a subclass might return them
        for proba in (np.full((2, 2), "p"), np.full((2, 2), None, dtype=object)):
            est.predict_proba = lambda X, proba=proba: proba
            for method in (est.predict, est.decision_function):
                with pytest.raises((ValueError, TypeError)):
                    method(X[:2])


def test_weights_as_list_series_and_column_and_input_untouched():
    X, y = regression_data(20)
    w = np.linspace(0, 2, 20)
    for form in (list(w), pd.Series(w), w.reshape(-1, 1), w):
        np.testing.assert_array_equal(XGB2Regressor()._validate_input(X, y, form)[2],
                                      19 * w[1:] / w[1:].sum())
    np.testing.assert_array_equal(w, np.linspace(0, 2, 20))  # the caller's array is untouched


def test_classifier_labels_and_class_counts():
    X = np.arange(8.0).reshape(4, 2)
    _, y, _ = XGB2Classifier()._validate_input(X, ["yes", "no", "no", "yes"], None)
    np.testing.assert_array_equal(y, [1.0, 0.0, 0.0, 1.0])
    for y, w, message in [([0, 1, 2, 1], None, "multi-classification not supported. Only "
                                               "binary classification is supported."),
                          (["a"] * 4, None, "Classifier can't train when only one class is "
                                            "present."),
                          ([0, 1, 0, 1], [1, 0, 1, 0], "Classifier can't train when only one "
                                                       "class is present.")]:
        with pytest.raises(ValueError) as info:
            XGB2Classifier().fit(X, y, w)
        assert str(info.value) == message


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_scikit_learn_validation_errors_propagate(cls):
    X = np.arange(8.0).reshape(4, 2)
    y = [0, 1, 0, 1]
    if cls is XGB2Regressor:
        bad_y, bad_y_message = np.array(list("abab"), dtype=object), "could not convert"
    else:
        bad_y, bad_y_message = [0.1, 0.2, 0.3, 0.4], "Unknown label type"
    # NaN in X is a missing value (test_xgb2_tables); in y it stays an error.
    for x_in, y_in, message in [(X, [0, 1, np.nan, 1], "NaN"),
                                (X, y[:3], "inconsistent numbers of samples"),
                                (X, None, "requires y to be passed"),
                                (np.empty((0, 2)), [], "0 sample"),
                                (X, bad_y, bad_y_message)]:
        with pytest.raises(ValueError, match=message):
            cls().fit(x_in, y_in)


# ---- fitting ---------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_fit_sets_state(cls):
    est, X = fitted(cls)
    assert est.is_fitted_ is True and est.n_features_in_ == 4
    assert est.feature_names_ == ["X0", "X1", "X2", "X3"]
    assert est.feature_types_ == ["numerical"] * 4
    assert list(est.xgb_params_) == [
        "max_depth", "n_estimators", "eta", "gamma", "tree_method", "max_bin", "reg_lambda",
        "reg_alpha", "monotone_constraints", "random_state"]
    assert est.xgb_params_["monotone_constraints"] == "(0, 0, 0, 0)"
    assert est.xgb_params_["n_estimators"] == 10
    expected_model = xgboost.XGBClassifier if cls is XGB2Classifier else xgboost.XGBRegressor
    assert type(est.estimator_) is expected_model
    assert est.X_ is not X
    np.testing.assert_array_equal(est.X_, X)
    if cls is XGB2Classifier:
        np.testing.assert_array_equal(est.classes_, [0, 1])
    names, types = ["a", "b", "c", "d"], ["numerical"] * 4
    est.set_params(feature_names=names, feature_types=types).fit(X, est.predict(X))
    assert est.feature_names_ == names and est.feature_names_ is not names
    assert est.feature_types_ == types and est.feature_types_ is not types  # a copy


@pytest.mark.parametrize("p, increasing, decreasing, text", [
    (3, ("X1",), (), "(0, 1, 0)"),
    (3, (), ("X0", "X2"), "(-1, 0, -1)"),
    (3, ("X2",), ("X2", "X0"), "(-1, 0, 1)"),
    (1, (), (), "(0,)"),
    (1, ["X0"], (), "(1,)"),
])
def test_monotone_constraints_text(p, increasing, decreasing, text):
    X, y = regression_data(p=max(p, 3))
    est = XGB2Regressor(n_estimators=2, mono_increasing_list=increasing,
                        mono_decreasing_list=decreasing).fit(X[:, :p], y)
    assert est.xgb_params_["monotone_constraints"] == text


def test_monotone_constraints_hold():
    rng = np.random.RandomState(1)
    X = rng.uniform(-1, 1, size=(500, 2))
    y = np.sin(3 * X[:, 0]) + X[:, 1] + 0.3 * rng.normal(size=500)
    est = XGB2Regressor(mono_increasing_list=("X0",), mono_decreasing_list=("X1",)).fit(X, y)
    grid = np.linspace(-1, 1, 101)
    for other in (-0.5, 0.0, 0.7):
        along_0 = est.predict(np.column_stack([grid, np.full_like(grid, other)]))
        along_1 = est.predict(np.column_stack([np.full_like(grid, other), grid]))
        assert np.all(np.diff(along_0) >= 0) and np.all(np.diff(along_1) <= 0)


@pytest.mark.parametrize("cls, model_cls", [
    (XGB2Regressor, xgboost.XGBRegressor), (XGB2Classifier, xgboost.XGBClassifier)])
def test_predictions_equal_xgboost_trained_with_the_same_params(cls, model_cls):
    X, y = regression_data(400) if cls is XGB2Regressor else classification_data(400)
    w = np.random.RandomState(3).uniform(-0.5, 2.0, size=len(X))
    est = cls(max_bin=32, mono_increasing_list=("X0",), reg_lambda=0.5).fit(X, y, w)
    Xv, yv, wv = est._validate_input(X, y, w)
    assert len(yv) == np.sum(w > 0)
    model = model_cls(**est.xgb_params_).fit(Xv, yv, sample_weight=wv)
    X_new = regression_data(100, seed=9)[0]
    if cls is XGB2Regressor:
        np.testing.assert_array_equal(est.predict(X_new), model.predict(X_new))
    else:
        np.testing.assert_array_equal(est.predict_proba(X_new), model.predict_proba(X_new))
        np.testing.assert_array_equal(est.predict(X_new), model.predict(X_new))


def test_gpu_hist_is_kept_in_params_but_trained_as_hist_on_cuda():
    X, y = regression_data(60)
    est = XGB2Regressor(tree_method="gpu_hist", n_estimators=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # XGBoost falls back to the CPU without a GPU
        try:
            est.fit(X, y)
        except xgboost.core.XGBoostError as error:  # a build without CUDA may refuse
            assert "gpu_hist" not in str(error)
    assert est.xgb_params_["tree_method"] == "gpu_hist"
    if "device" in est.estimator_.get_params():
        assert est.estimator_.get_params()["tree_method"] == "hist"
        assert est.estimator_.get_params()["device"] == "cuda"


# ---- prediction ------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_prediction_input_checks(cls):
    method = "predict" if cls is XGB2Regressor else "predict_proba"
    X = np.ones((5, 4))
    with pytest.raises(NotFittedError):
        getattr(cls(), method)(X)
    est, _ = fitted(cls)
    with pytest.raises(ValueError, match="Expected 2D array"):
        getattr(est, method)(np.ones(4))
    for name in ("predict", "decision_function", "predict_proba"):
        if hasattr(est, name):
            with pytest.raises(ValueError) as info:
                getattr(est, name)(np.ones((5, 3)))
            assert str(info.value) == FEATURE_MESSAGE % (3, cls.__name__, 4)


@pytest.mark.parametrize("labels", [
    ("no", "yes"), (False, True), (-1, 1), (3, 7), (0.0, 2.0), ("a", "b")])
def test_labels_round_trip(labels):
    X, y = classification_data(labels=labels)
    y = np.asarray(y, dtype=np.asarray(labels).dtype)
    est = XGB2Classifier(n_estimators=20).fit(X, y)
    pred = est.predict(X)
    assert pred.dtype == y.dtype
    assert set(pred.tolist()) == set(labels)
    assert np.mean(pred == y) > 0.8
    proba = est.predict_proba(X)
    np.testing.assert_array_equal(pred, np.where(proba[:, 1] > 0.5, labels[1], labels[0]))


def test_decision_function_clips_in_float64_and_threshold_is_strict():
    est, X = fitted(XGB2Classifier)
    proba = est.predict_proba(X)
    expected = np.log(np.clip(proba[:, 1].astype(np.float64), 1e-7, 0.9999999))
    expected -= np.log1p(-np.clip(proba[:, 1].astype(np.float64), 1e-7, 0.9999999))
    np.testing.assert_allclose(est.decision_function(X), expected, rtol=1e-12, atol=1e-12)

    est.predict_proba = lambda X: np.array(
        [[0.0, 1.0], [1.0, 0.0], [0.5, 0.5], [0.25, 0.75]], dtype=np.float32)
    scores = est.decision_function(None)
    assert scores.dtype == np.float64
    top = np.log(0.9999999 / (1 - 0.9999999))
    assert abs(top - 16.118) < 1e-3
    np.testing.assert_allclose(scores, [top, np.log(1e-7 / (1 - 1e-7)), 0.0, np.log(3)],
                               rtol=1e-12)
    np.testing.assert_array_equal(est.predict(None), [1, 0, 0, 1])


# ---- scikit-learn tooling --------------------------------------------------------------------

@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_clone_set_params_and_persistence(cls, tmp_path):
    est, X = fitted(cls, feature_names=["a", "b", "c", "d"])
    twin = clone(est)
    assert twin.get_params() == est.get_params() and not hasattr(twin, "is_fitted_")
    assert twin.set_params(eta=0.1, max_bin=64) is twin
    assert (twin.eta, twin.max_bin, est.eta) == (0.1, 64, 0.3)

    method = "predict_proba" if cls is XGB2Classifier else "predict"
    joblib.dump(est, tmp_path / "model.joblib")
    copies = [pickle.loads(pickle.dumps(est, protocol=p)) for p in (2, pickle.HIGHEST_PROTOCOL)]
    copies += [copy.deepcopy(est), joblib.load(tmp_path / "model.joblib")]
    for other in copies:
        assert type(other) is cls
        for name in {method, "predict"}:
            np.testing.assert_array_equal(getattr(other, name)(X), getattr(est, name)(X))


def test_grid_search_and_cross_validation():
    X, y = classification_data(200, labels=("neg", "pos"))
    scores = cross_val_score(XGB2Classifier(n_estimators=30), X, y, cv=3, scoring="roc_auc")
    assert scores.shape == (3,) and np.all(scores > 0.7)
    Xr, yr = regression_data(200)
    search = GridSearchCV(XGB2Regressor(n_estimators=5), {"max_depth": [1, 2]}, cv=2).fit(Xr, yr)
    assert search.best_params_["max_depth"] in (1, 2)
