"""The base of the diagnosers: the task, the data set, its splits and the model's predictions."""

import numpy as np
import pandas as pd
from sklearn.base import is_classifier

from .. import _kernels
from ..exceptions import MovraError

_TASK_TYPES = ("regression", "classification")
_FEATURE_TYPES = ("numerical", "categorical")


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


def _is_frame(x):
    return hasattr(x, "columns") and hasattr(x, "iloc")


def _table(x):
    """The data set as it is kept: a DataFrame as given, numbers as a C-contiguous float64 matrix
    (what the searches read, without a copy), anything else as the array it makes (a list of
    numbers and text as objects, so that numbers are not read as text)."""
    if _is_frame(x):
        check_matrix_shape(x.shape)
        return x, [str(c) for c in x.columns]
    array = np.asarray(x)
    if array.dtype.kind in "US" and not isinstance(x, np.ndarray):
        array = np.asarray(x, dtype=object)
    check_matrix_shape(array.shape)
    if array.dtype.kind in "biuf":
        array = np.ascontiguousarray(array, dtype=np.float64)
    return array, None


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


def _feature_names(feature_names, frame_names, n_features):
    if feature_names is None:
        feature_names = frame_names or [f"X{i}" for i in range(n_features)]
    feature_names = [str(name) for name in feature_names]
    if len(feature_names) != n_features:
        raise MovraError(
            f"feature_names has {len(feature_names)} names for {n_features} features."
        )
    return feature_names


def check_feature_types(feature_types, n_features):
    """The types given: one per feature, each "numerical" or "categorical"."""
    feature_types = list(feature_types)
    if len(feature_types) != n_features:
        raise MovraError(
            f"feature_types has {len(feature_types)} types for {n_features} features."
        )
    for i, kind in enumerate(feature_types):
        if kind not in _FEATURE_TYPES:
            raise MovraError(f"feature_types[{i}] is {kind!r}: each entry must be "
                             "\"numerical\" or \"categorical\".")
    return feature_types


def feature_names_and_types(feature_names, feature_types, frame_names, n_features):
    """The names and types of the features: as given, else the DataFrame's columns and "X0",
    "X1", ..., and "numerical" each; one of each per feature."""
    feature_names = _feature_names(feature_names, frame_names, n_features)
    if feature_types is None:
        feature_types = ["numerical"] * n_features
    return feature_names, check_feature_types(feature_types, n_features)


def positive_class(proba):
    """The positive class's column of predicted probabilities (the last one); a vector as it is."""
    return proba[:, -1] if proba.ndim == 2 and proba.shape[1] >= 2 else proba


def _numeric_frame(frame):
    """Whether every column of a DataFrame holds numbers or booleans (no categories, no text)."""
    types = pd.api.types
    return all((types.is_numeric_dtype(t) or types.is_bool_dtype(t))
               and not isinstance(t, pd.CategoricalDtype) for t in frame.dtypes)


def _model_input(estimator, given, coded_x, feature_types):
    """What the model is called on: the data as given (a DataFrame keeps the names a model
    fitted on one knows), except that a scikit-learn model fitted on plain arrays gets an
    all-numeric DataFrame's numbers (it would warn about names it never had)."""
    if not _is_frame(given):
        return given
    if not (hasattr(estimator, "n_features_in_") and not hasattr(estimator, "feature_names_in_")):
        return given
    if not _numeric_frame(given):
        return given
    # Booleans are coded False 0, True 1: their numbers. Other coded columns are not.
    if all(kind == "numerical" or pd.api.types.is_bool_dtype(dtype)
           for kind, dtype in zip(feature_types, given.dtypes)):
        return coded_x
    return given.to_numpy(dtype=np.float64, na_value=np.nan)


def _label_selector(index, x):
    """Whether a split's rows are given by label: a pandas Index or non-boolean Series, when x
    is a DataFrame (its values are labels of x's index)."""
    if not _is_frame(x):
        return False
    return (isinstance(index, (pd.Index, pd.Series))
            and not pd.api.types.is_bool_dtype(index.dtype))


def _label_positions(index, name, row_labels):
    if not row_labels.is_unique:
        raise MovraError(f"{name} names rows by label, but the index of x repeats labels: pass "
                         "integer positions (a numpy array) instead.")
    labels = index if isinstance(index, pd.Index) else pd.Index(index.to_numpy())
    positions = row_labels.get_indexer(labels)
    unknown = positions < 0
    if unknown.any():
        few = ", ".join(repr(v) for v in list(labels[unknown][:5]))
        raise MovraError(f"{name} holds {int(unknown.sum())} labels that are not in the index of "
                         f"x: {few}{', ...' if unknown.sum() > 5 else ''}.")
    return positions.astype(np.intp)


def _rows(index, name, x, n):
    """A split's rows as integer positions: from positions or a boolean mask, or from labels of
    a DataFrame's index."""
    if _label_selector(index, x):
        return _label_positions(index, name, x.index)
    return split_positions(index, name, n)


def _distinct(values):
    return np.asarray(pd.unique(values))


def _class_labels(estimator, y, pred):
    """The two classes, negative first: the model's ``classes_``, else the distinct values of y
    and the predictions (0 and 1 when those are all they hold)."""
    classes = getattr(estimator, "classes_", None)
    if classes is None:
        values = _distinct(np.concatenate([np.ravel(y), np.ravel(pred)]))
        numeric = values.dtype.kind in "biuf"
        if numeric and np.isin(values, [0, 1]).all():
            classes = np.array([0, 1])
        else:
            classes = np.sort(values) if numeric else np.array(sorted(values), dtype=object)
    classes = np.asarray(classes)
    if classes.ndim != 1 or classes.shape[0] < 2:
        raise MovraError(f"The model knows fewer than two classes ({list(np.ravel(classes))}): "
                         "a binary classifier is diagnosed.")
    if classes.shape[0] > 2:
        few = ", ".join(repr(c) for c in list(classes[:5]))
        raise MovraError(f"The model has {classes.shape[0]} classes ({few}"
                         f"{', ...' if classes.shape[0] > 5 else ''}): only binary classification "
                         "is diagnosed (two classes, the second one positive).")
    return classes


def _positive(values, classes, name):
    """Labels as 1.0 for the positive class (``classes[1]``) and 0.0 for the other."""
    found = pd.Index(classes).get_indexer(values)
    unknown = found < 0
    if unknown.any():
        few = ", ".join(repr(v) for v in list(_distinct(values[unknown])[:5]))
        raise MovraError(f"{name} holds labels that are not classes of the model "
                         f"({', '.join(repr(c) for c in classes)}): {few}.")
    return (found == 1).astype(np.float64)


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
        """Record the data set, its splits and the model's predictions.

        ``x`` is kept as given (a DataFrame stays one; numbers become a float64 matrix) and the
        model is called on it; ``coded_x`` is what the searches read: one float64 column per
        feature, a numerical feature's values (NaN where missing) or a categorical feature's
        codes (label k of ``category_labels`` has code k). For classification, ``y`` and
        ``pred`` hold 1.0 for the positive class ``classes[1]`` (the model's ``classes_[1]``, as
        in scikit-learn) and 0.0 for the other, and ``pred_proba`` is the positive class's
        probability; a model with more than two classes is refused.
        """
        x, frame_names = _table(x)
        n, n_features = x.shape
        y = _vector(y, "y", n)
        train_idx = _rows(train_idx, "train_idx", x, n)
        test_idx = _rows(test_idx, "test_idx", x, n)
        if sample_weight is not None:
            sample_weight = _vector(sample_weight, "sample_weight", n).astype(float)
            if not np.all(np.isfinite(sample_weight)) or np.any(sample_weight < 0):
                raise MovraError(BAD_WEIGHTS)
        feature_names = _feature_names(feature_names, frame_names, n_features)
        if feature_types is not None:
            feature_types = check_feature_types(feature_types, n_features)
        coded_x, feature_types, category_labels = _kernels.coded_columns(
            x, feature_types, names=feature_names)

        model_input = _model_input(self.estimator, x, coded_x, feature_types)
        if prediction is None:
            prediction = self.estimator.predict(model_input)
        pred = _vector(prediction, "prediction", n)
        classes = None
        if self.task_type == "classification":
            classes = _class_labels(self.estimator, y, pred)
            y, pred = _positive(y, classes, "y"), _positive(pred, classes, "prediction")
            if prediction_proba is None:
                prediction_proba = self.estimator.predict_proba(model_input)
        if prediction_proba is not None:
            prediction_proba = _vector(positive_class(np.asarray(prediction_proba)),
                                       "prediction_proba", n).astype(float)

        self.x = x
        self.coded_x = coded_x
        self.y = y
        self.train_idx = train_idx
        self.test_idx = test_idx
        self.sample_weight = sample_weight
        self.pred = pred
        self.pred_proba = prediction_proba
        self.classes = classes
        self.feature_names = feature_names
        self.feature_types = feature_types
        self.category_labels = category_labels
        self.target_name = "y" if target_name is None else target_name
        self.predict_name = "prediction" if predict_name is None else predict_name
