"""The base of the diagnosers: the task, the data set, its splits and the model's predictions."""

import numpy as np
from sklearn.base import is_classifier

from ..exceptions import MovraError

_TASK_TYPES = ("regression", "classification")


def _infer_task_type(estimator):
    try:
        classifier = is_classifier(estimator)
    except AttributeError:
        # Newer scikit-learn reads tags that only its own estimators carry; a plain model
        # object still tells its kind by the attribute older scikit-learn used.
        classifier = getattr(estimator, "_estimator_type", None) == "classifier"
    return "classification" if classifier else "regression"


def check_matrix_shape(shape):
    """The data set's shape as every diagnoser requires it: two dimensions and rows."""
    if len(shape) != 2:
        raise MovraError(f"x must be a two-dimensional array, got shape {tuple(shape)}.")
    if shape[0] == 0:
        raise MovraError("x holds no rows.")


def _numeric_matrix(x):
    if hasattr(x, "columns") and hasattr(x, "to_numpy"):
        names = [str(c) for c in x.columns]
        x = x.to_numpy()
    else:
        names = None
    x = np.asarray(x)
    if x.ndim != 2:
        check_matrix_shape(x.shape)
    if x.dtype.kind not in "biuf":
        try:
            x = x.astype(float)
        except (TypeError, ValueError):
            raise MovraError("x must hold numeric values.") from None
    return x.astype(float, copy=False), names


def check_vector_shape(shape, name, n):
    """A per-row vector's shape (a column of one counts as a vector): one value per row."""
    if len(shape) == 2 and shape[1] == 1:
        shape = shape[:1]
    if len(shape) != 1:
        raise MovraError(f"{name} must be one-dimensional, got shape {tuple(shape)}.")
    if shape[0] != n:
        raise MovraError(f"{name} has {shape[0]} values, expected {n}.")


def _vector(values, name, n):
    values = np.asarray(values)
    check_vector_shape(values.shape, name, n)
    return values.ravel() if values.ndim == 2 else values


BAD_WEIGHTS = "sample_weight must hold finite, non-negative values."


def as_selector_array(index, name):
    """A split's rows as an array: pandas' nullable and pyarrow booleans become a numpy mask (a
    missing value cannot say whether its row is in the split)."""
    dtype = getattr(index, "dtype", None)
    if dtype is not None and not isinstance(dtype, np.dtype) and hasattr(index, "isna"):
        import pandas as pd

        if pd.api.types.is_bool_dtype(dtype):
            if bool(index.isna().any()):
                raise MovraError(f"{name} holds missing values; a mask must be True or False.")
            return index.to_numpy(dtype=bool)
    return np.asarray(index)


def check_mask_length(name, length, n):
    if length != n:
        raise MovraError(f"{name} is a boolean mask of {length} values for {n} rows.")


def split_positions(index, name, n):
    """A split's rows as integer positions, from positions or a boolean mask."""
    index = as_selector_array(index, name)
    if index.ndim != 1:
        raise MovraError(f"{name} must be one-dimensional.")
    if index.dtype.kind == "b":
        check_mask_length(name, index.shape[0], n)
        return np.flatnonzero(index)
    if index.shape[0] == 0:
        return np.zeros(0, dtype=np.intp)
    if index.dtype.kind not in "iu":
        raise MovraError(f"{name} must hold integer positions or a boolean mask.")
    if index.min() < -n or index.max() >= n:
        raise MovraError(f"{name} holds positions out of range for {n} rows.")
    return index.astype(np.intp)


def feature_names_and_types(feature_names, feature_types, frame_names, n_features):
    """The names and types of the features: as given, else the DataFrame's columns and "X0",
    "X1", ..., and "numerical" each; one of each per feature."""
    if feature_names is None:
        feature_names = frame_names or [f"X{i}" for i in range(n_features)]
    feature_names = [str(name) for name in feature_names]
    if len(feature_names) != n_features:
        raise MovraError(
            f"feature_names has {len(feature_names)} names for {n_features} features."
        )
    if feature_types is None:
        feature_types = ["numerical"] * n_features
    feature_types = list(feature_types)
    if len(feature_types) != n_features:
        raise MovraError(
            f"feature_types has {len(feature_types)} types for {n_features} features."
        )
    return feature_names, feature_types


def positive_class(proba):
    """The positive class's column of predicted probabilities (the last one); a vector as it is."""
    return proba[:, -1] if proba.ndim == 2 and proba.shape[1] >= 2 else proba


def _model_input(estimator, given, matrix):
    """What the model is called on: the DataFrame the user passed, so that a model fitted on one
    sees its own feature names; the plain matrix for anything else, and for a scikit-learn model
    fitted on plain arrays (which would warn about names it never had)."""
    if not hasattr(given, "columns"):
        return matrix
    if hasattr(estimator, "n_features_in_") and not hasattr(estimator, "feature_names_in_"):
        return matrix
    return given


class BaseDiagnoser:
    """Base class of the diagnosers.

    Parameters
    ----------
    estimator : object
        The fitted model under diagnosis, with ``predict`` (and ``predict_proba`` for
        classification).
    task_type : {"regression", "classification"} or None
        None infers it from the estimator.
    random_state : int, default=0
        Random seed.
    """

    def __init__(self, estimator, task_type=None, random_state=0):
        if task_type is None:
            task_type = _infer_task_type(estimator)
        if task_type not in _TASK_TYPES:
            raise MovraError(
                f"task_type should be 'regression' or 'classification', got {task_type!r}."
            )
        self.estimator = estimator
        self.task_type = task_type
        self.random_state = random_state

    def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None,
            sample_weight=None, feature_names=None, feature_types=None, target_name=None,
            predict_name=None):
        """Record the data set, its splits and the model's predictions."""
        x_given = x
        x, frame_names = _numeric_matrix(x)
        n, n_features = x.shape
        check_matrix_shape(x.shape)
        y = _vector(y, "y", n)
        train_idx = split_positions(train_idx, "train_idx", n)
        test_idx = split_positions(test_idx, "test_idx", n)
        if sample_weight is not None:
            sample_weight = _vector(sample_weight, "sample_weight", n).astype(float)
            if not np.all(np.isfinite(sample_weight)) or np.any(sample_weight < 0):
                raise MovraError(BAD_WEIGHTS)
        feature_names, feature_types = feature_names_and_types(
            feature_names, feature_types, frame_names, n_features)

        model_input = _model_input(self.estimator, x_given, x)
        if prediction is None:
            prediction = self.estimator.predict(model_input)
        pred = _vector(prediction, "prediction", n)
        if prediction_proba is None and self.task_type == "classification":
            prediction_proba = self.estimator.predict_proba(model_input)
        if prediction_proba is not None:
            prediction_proba = _vector(positive_class(np.asarray(prediction_proba)),
                                       "prediction_proba", n).astype(float)

        self.x = x
        self.y = y
        self.train_idx = train_idx
        self.test_idx = test_idx
        self.sample_weight = sample_weight
        self.pred = pred
        self.pred_proba = prediction_proba
        self.feature_names = feature_names
        self.feature_types = feature_types
        self.target_name = "y" if target_name is None else target_name
        self.predict_name = "prediction" if predict_name is None else predict_name
