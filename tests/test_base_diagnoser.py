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


def _shuffled_frame():
    frame = pd.DataFrame(X, columns=["a", "b", "c"], index=[f"r{i}" for i in range(60)])
    return frame.sample(frac=1, random_state=0)


@pytest.mark.parametrize("make", [
    lambda f: f.index[:40],                          # an Index of labels
    lambda f: pd.Series(f.index[:40]),                # a Series of labels
    lambda f: pd.Series(np.arange(60) < 40, index=f.index, dtype="boolean"),  # a mask
])
def test_rows_by_label_follow_the_frame_index(make):
    frame = _shuffled_frame()
    model = LinearRegression().fit(X, Y_REG)
    diag = BaseDiagnoser(model)
    diag.fit(frame, Y_REG, make(frame), np.arange(40, 60))
    np.testing.assert_array_equal(diag.train_idx, np.arange(40))
    np.testing.assert_array_equal(diag.test_idx, np.arange(40, 60))


@pytest.mark.parametrize("train, match", [
    (pd.Index(["r0", "nope"]), "train_idx holds 1 labels that are not in the index of x: 'nope'"),
    (pd.Series([True, None] * 30, dtype="boolean"), "train_idx holds missing values"),
])
def test_bad_row_labels(train, match):
    with pytest.raises(MovraError, match=match):
        BaseDiagnoser(LinearRegression().fit(X, Y_REG)).fit(_shuffled_frame(), Y_REG, train,
                                                            np.arange(5))


def test_text_class_labels_are_scored_as_the_positive_class():
    names = np.where(Y_CLS == 1, "malignant", "benign")
    model = LogisticRegression().fit(X, names)
    diag = BaseDiagnoser(model)
    diag.fit(X, names, np.arange(40), np.arange(40, 60))
    assert list(diag.classes) == ["benign", "malignant"]
    np.testing.assert_array_equal(diag.y, Y_CLS.astype(float))
    np.testing.assert_array_equal(diag.pred, (model.predict(X) == "malignant").astype(float))
    np.testing.assert_allclose(diag.pred_proba, model.predict_proba(X)[:, 1])
    with pytest.raises(MovraError, match="y holds labels that are not classes of the model"):
        diag.fit(X, np.where(Y_CLS == 1, "malignant", "other"), np.arange(40), np.arange(40, 60))


def test_more_than_two_classes_are_refused():
    model = LogisticRegression().fit(X, np.digitize(X[:, 0], [-0.5, 0.5]))
    with pytest.raises(MovraError, match="3 classes .*only binary classification is diagnosed"):
        BaseDiagnoser(model).fit(X, np.digitize(X[:, 0], [-0.5, 0.5]), np.arange(40),
                                 np.arange(40, 60))


def test_a_frame_is_kept_and_its_columns_coded():
    frame = pd.DataFrame({"n": pd.array([1, None] * 30, dtype="Int64"),
                          "t": ["x", "y", "z"] * 20, "b": [True, False] * 30})
    seen = []

    class FrameModel:
        def predict(self, x):
            seen.append(x)
            return np.zeros(len(x))

    diag = BaseDiagnoser(FrameModel())
    diag.fit(frame, Y_REG, np.arange(40), np.arange(40, 60),
             feature_types=["numerical", "categorical", "numerical"])
    assert diag.x is frame and seen == [frame]
    assert diag.feature_types == ["numerical", "categorical", "numerical"]
    assert diag.category_labels[0] is None and list(diag.category_labels[1]) == ["x", "y", "z"]
    np.testing.assert_array_equal(diag.coded_x[:4], [[1, 0, 1], [np.nan, 1, 0], [1, 2, 1],
                                                     [np.nan, 0, 0]])
    diag.fit(X, Y_REG, np.arange(40), np.arange(40, 60))
    assert diag.coded_x is diag.x
