import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

from movra.diagnoser.base import BaseDiagnoser
from movra.exceptions import MovraError, MovraInfo, MovraWarning
from movra.utils import TestDataResult

rng = np.random.default_rng(3)
X = rng.normal(size=(60, 3))
Y_REG = X @ [1.0, -2.0, 0.5] + rng.normal(size=60)
Y_CLS = (X[:, 0] > 0).astype(int)


def test_exceptions_hierarchy():
    assert issubclass(MovraError, Exception)
    assert issubclass(MovraWarning, UserWarning) and issubclass(MovraInfo, UserWarning)


def test_test_data_result_keeps_key_and_value():
    value = {"data": pd.DataFrame({"a": [1, 2]}), "bins": 10}
    result = TestDataResult(key="sagzone_result", value=value)
    assert result.key == "sagzone_result" and result.value is value
    assert "sagzone_result" in repr(result) and "'bins': 10" in repr(result)


@pytest.mark.parametrize(
    "model, y, expected",
    [(LinearRegression(), Y_REG, "regression"), (LogisticRegression(), Y_CLS, "classification")],
)
def test_task_type_is_inferred(model, y, expected):
    model.fit(X, y)
    assert BaseDiagnoser(model).task_type == expected


class _PlainModel:
    """A model that is not a scikit-learn estimator."""

    def __init__(self, kind=None):
        if kind is not None:
            self._estimator_type = kind

    def predict(self, x):
        return np.zeros(len(x))


@pytest.mark.parametrize("kind, expected", [(None, "regression"), ("classifier", "classification")])
def test_task_type_of_a_plain_model(kind, expected):
    assert BaseDiagnoser(_PlainModel(kind)).task_type == expected


def test_bad_task_type():
    with pytest.raises(MovraError, match="task_type"):
        BaseDiagnoser(LinearRegression(), task_type="ranking")


def test_fit_records_the_data_set_and_predictions():
    model = LogisticRegression().fit(X, Y_CLS)
    diag = BaseDiagnoser(model)
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    mask = np.arange(60) < 40
    diag.fit(frame, Y_CLS, mask, ~mask)
    assert diag.feature_names == ["a", "b", "c"]
    assert diag.feature_types == ["numerical"] * 3
    np.testing.assert_array_equal(diag.train_idx, np.arange(40))
    np.testing.assert_array_equal(diag.test_idx, np.arange(40, 60))
    np.testing.assert_array_equal(diag.pred, model.predict(X))
    np.testing.assert_allclose(diag.pred_proba, model.predict_proba(X)[:, 1])
    assert diag.sample_weight is None

    diag.fit(X, Y_CLS, np.arange(30), np.arange(30, 60), prediction=np.zeros(60),
             prediction_proba=np.full(60, 0.25), sample_weight=np.ones(60))
    assert diag.feature_names == ["X0", "X1", "X2"]
    np.testing.assert_array_equal(diag.pred, 0.0)
    np.testing.assert_array_equal(diag.pred_proba, 0.25)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"y": Y_REG[:-1]}, "y has 59 values"),
        ({"train_idx": np.array([0, 60])}, "train_idx"),
        ({"test_idx": np.array([0.5])}, "test_idx"),
        ({"sample_weight": -np.ones(60)}, "sample_weight"),
        ({"sample_weight": np.full(60, np.nan)}, "sample_weight"),
        ({"feature_names": ["a"]}, "feature_names"),
        ({"x": X[:, 0]}, "two-dimensional"),
        ({"x": np.full((60, 3), np.datetime64("2020-01-01"))}, "column 'X0' of dtype datetime"),
    ],
)
def test_fit_rejects_bad_input(kwargs, match):
    model = LinearRegression().fit(X, Y_REG)
    args = {"x": X, "y": Y_REG, "train_idx": np.arange(40), "test_idx": np.arange(40, 60)}
    args.update(kwargs)
    with pytest.raises(MovraError, match=match):
        BaseDiagnoser(model).fit(**args)
