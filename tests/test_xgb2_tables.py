"""The depth-2 estimators on tables as users have them: column names, parameters that name
features, categorical features and missing values."""
import re

import numpy as np
import pandas as pd
import pytest

from movra import _kernels
from movra.models.xgb2.interpret import base_margin, read_trees
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


def frame(n=400, seed=0):
    rng = np.random.RandomState(seed)
    X = pd.DataFrame({"carat": rng.uniform(0.2, 3, n), "depth": rng.normal(60, 2, n),
                      "table": rng.normal(57, 2, n)})
    y = np.log(X["carat"]) + 0.05 * (X["depth"] - 60) + 0.1 * rng.normal(size=n)
    return X, y.to_numpy()


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_names_come_from_the_columns_and_predict_checks_them(cls):
    X, y = frame()
    if cls is XGB2Classifier:
        y = y > np.median(y)
    est = cls(n_estimators=5).fit(X, y)
    assert est.feature_names_ == ["carat", "depth", "table"]
    assert list(est.feature_names_in_) == ["carat", "depth", "table"]
    methods = [est.predict] + ([est.predict_proba, est.decision_function]
                               if cls is XGB2Classifier else [])
    for method in methods:
        method(X)
        with pytest.raises(ValueError, match="must be in the same order"):
            method(X[["depth", "carat", "table"]])
        with pytest.raises(ValueError, match="unseen at fit time:\n- karat\n"
                                             ".*yet now missing:\n- carat\n"):
            method(X.rename(columns={"carat": "karat"}))
    assert cls(n_estimators=2).fit(X.to_numpy(), y).feature_names_ == ["X0", "X1", "X2"]


@pytest.mark.parametrize("params, message", [
    (dict(mono_increasing_list=("karat",)),
     "mono_increasing_list names 'karat', which is not a feature; the features are "
     "['carat', 'depth', 'table']"),
    (dict(mono_decreasing_list=("X0",)), "mono_decreasing_list names 'X0'"),
    (dict(feature_types=["banana"] * 3), "must be \"numerical\" or \"categorical\", got "
                                         "'banana'"),
    (dict(feature_types=["numerical"] * 2), "feature_types has 2 entries for 3 features"),
    (dict(feature_names=["a", "b"]), "feature_names has 2 names for 3 features"),
])
def test_parameters_that_name_no_feature_are_refused(params, message):
    X, y = frame(60)
    with pytest.raises(ValueError, match=re.escape(message)):
        XGB2Regressor(n_estimators=2, **params).fit(X, y)
    dated = X.assign(table=pd.date_range("2020-01-01", periods=len(X)))
    with pytest.raises(ValueError, match="column 'table' of dtype datetime64.* is neither"):
        XGB2Regressor(n_estimators=2).fit(dated, y)
    est = XGB2Regressor(n_estimators=2, mono_increasing_list=("carat",)).fit(X, y)
    assert est.xgb_params_["monotone_constraints"] == "(1, 0, 0)"


def mixed_frame(n=600, seed=0, k=6):
    """Numerical, category, text and boolean columns, with a few percent missing."""
    rng = np.random.RandomState(seed)
    levels = rng.normal(size=k)
    code = rng.randint(0, k, n)
    X = pd.DataFrame({
        "carat": rng.uniform(0.2, 3, n),
        "color": pd.Categorical.from_codes(code, [f"c{i}" for i in range(k)]),
        "cut": rng.choice(["Fair", "Good", "Ideal"], n).astype(object),
        "flag": rng.rand(n) > 0.5,
    })
    y = (np.log(X["carat"]) + levels[code] * X["carat"] + (X["cut"] == "Ideal")
         + 0.3 * X["flag"] + 0.1 * rng.normal(size=n)).to_numpy()
    X.loc[rng.rand(n) < 0.05, "carat"] = np.nan
    X.loc[rng.rand(n) < 0.05, "cut"] = None
    X.loc[rng.rand(n) < 0.05, "color"] = np.nan
    return X, y


def effects_sum(est, X):
    return est.intercept_ + sum(est.partial_dependence(item["fidx"], X)
                                for kind in ("1D", "2D") for item in est.effects_[kind])


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_effects_are_exact_on_categorical_frames_with_missing_values(cls, seed):
    X, y = mixed_frame(seed=seed, k=3 + 7 * seed)
    if cls is XGB2Classifier:
        y = np.where(y > np.median(y), "high", "low")
    est = cls(n_estimators=30, eta=0.5, random_state=seed).fit(X, y)
    assert est.feature_types_ == ["numerical", "categorical", "categorical", "categorical"]
    assert est.categories_[2] == ["Fair", "Good", "Ideal"] and est.categories_[3] == [False, True]
    est.parse_model()
    codes = est.X_
    walk = _kernels.tree_margins(read_trees(est.estimator_.get_booster()),
                                 base_margin(est.estimator_.get_booster()), codes)
    total = effects_sum(est, X)
    np.testing.assert_allclose(total, walk, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(total, est.estimator_.predict(codes, output_margin=True),
                               rtol=1e-5, atol=1e-5)
    for item in est.effects_["1D"]:
        counts, levels = item["counts"], item["values"]["levels"]
        assert abs(np.dot(counts, levels)) <= 1e-9 * max(1.0, np.abs(levels).max()) * len(X)
        labels = item["values"].get("categories")
        if labels is not None:  # one level per category, then the one for missing values
            assert len(levels) == len(labels) + 1
    for item in est.effects_["2D"]:
        counts, levels = item["counts"], item["values"]["levels"]
        # Purity under the product of the marginal frequencies: zero mean along each axis.
        pa, pb = counts.sum(axis=1), counts.sum(axis=0)
        np.testing.assert_allclose(levels @ pb, 0, atol=1e-9 * len(X))
        np.testing.assert_allclose(pa @ levels, 0, atol=1e-9 * len(X))
    expected = est.predict(X) if cls is XGB2Regressor else est.decision_function(X)
    assert np.isfinite(expected).all()


def test_categories_are_labels_in_and_out():
    X, y = mixed_frame(k=5)
    est = XGB2Regressor(n_estimators=20).fit(X, y)
    est.parse_model()
    item = est._effect_item((1,))
    assert item["values"]["categories"] == [f"c{i}" for i in range(5)]
    rows = pd.DataFrame({"carat": [1.0] * 6, "color": ["c0", "c1", "c2", "c3", "c4", None],
                         "cut": ["Good"] * 6, "flag": [True] * 6})
    np.testing.assert_array_equal(est.partial_dependence((1,), rows),
                                  item["values"]["levels"])
    # Text labels of a column that was a category at fit give the same predictions.
    np.testing.assert_array_equal(est.predict(X.astype({"color": object})), est.predict(X))
    with pytest.raises(ValueError, match=r"feature 'cut' \(column 'cut'\) holds categories "
                                         r"unseen in fit: \['Perfect'\]"):
        est.predict(rows.assign(cut=["Perfect"] * 6))
    with pytest.raises(ValueError, match="categorical feature 'cut'"):
        XGB2Regressor(n_estimators=2, mono_increasing_list=("cut",)).fit(X, y)
    with pytest.raises(ValueError, match="tree_method 'exact' cannot train the categorical "
                                         "features 'color', 'cut', 'flag'"):
        XGB2Regressor(n_estimators=2, tree_method="exact").fit(X, y)
    typed = XGB2Regressor(n_estimators=20, feature_types=["numerical", "categorical"])
    codes = np.column_stack([X["carat"], X["color"].cat.codes.replace(-1, np.nan)])
    assert typed.fit(codes, y).categories_ == [None, [0.0, 1.0, 2.0, 3.0, 4.0]]


def test_missing_values_get_their_own_level():
    X, y = frame(500)
    X.loc[::7, "carat"] = np.nan
    est = XGB2Regressor(n_estimators=30).fit(X.to_numpy(), y)
    est.parse_model()
    item = est._effect_item((0,))
    at_nan = est.partial_dependence((0,), np.array([[np.nan, 60.0, 57.0]]))
    assert at_nan[0] == item["values"]["levels"][-1] and item["counts"][-1] == len(X[::7])
    with pytest.raises(ValueError, match="Input y contains NaN"):
        XGB2Regressor(n_estimators=2).fit(X, np.where(np.arange(len(y)) == 3, np.nan, y))
