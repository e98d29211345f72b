"""The depth-2 estimators on tables as users have them: column names, parameters that name
features, categorical features and missing values."""
import re

import numpy as np
import pandas as pd
import pytest

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
    est = XGB2Regressor(n_estimators=2, mono_increasing_list=("carat",)).fit(X, y)
    assert est.xgb_params_["monotone_constraints"] == "(1, 0, 0)"
