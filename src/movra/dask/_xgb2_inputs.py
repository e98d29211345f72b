"""Training input of the cluster depth-2 estimators: what the in-memory estimator checks on its
rows, found by reductions over the partitions. The verdicts and their messages are the in-memory
estimator's own: scikit-learn's checks on a small stand-in that fails the same way, then the
estimator's ``_check_training_rows`` and ``_fit_labels`` on the merged counts."""

import numpy as np
from sklearn.base import is_classifier
from sklearn.utils import column_or_1d
from sklearn.utils.validation import check_consistent_length

from movra import _kernels

from . import _parts

try:  # scikit-learn 1.6 and later
    from sklearn.utils.validation import validate_data as _sklearn_validate_data
except ImportError:  # pragma: no cover - older scikit-learn
    _sklearn_validate_data = None

_LABEL_LIMIT = 3  # enough to tell one, two and more classes apart


def validate_data(estimator, x, y):
    """scikit-learn's X/y check, as the in-memory estimator runs it (it sets n_features_in_ and,
    for a DataFrame, feature_names_in_)."""
    y_numeric = not is_classifier(estimator)
    if _sklearn_validate_data is not None:
        return _sklearn_validate_data(estimator, x, y, y_numeric=y_numeric)
    return estimator._validate_data(x, y, y_numeric=y_numeric)


def row_arrays(estimator, X, y):
    """X as a dask array in one chunk of columns and y cut into its row chunks. Where a shape is
    wrong, scikit-learn's own check fails on an empty stand-in of that shape."""
    x = _parts.as_row_array(X)
    if x.ndim != 2:
        validate_data(estimator, np.empty((0,) * x.ndim), np.empty(0))
        raise ValueError("X must be two-dimensional")  # pragma: no cover
    x = x.rechunk({1: -1})
    if x.dtype.kind not in "biuf":
        x = x.astype(float)
    n, p = x.shape
    y = _parts.as_row_array(y, x.chunks[0])
    if y.ndim == 2 and y.shape[1] == 1:
        column_or_1d(np.empty((0, 1)), warn=True)  # scikit-learn's own warning
        y = y[:, 0]
    if y.ndim != 1:
        column_or_1d(np.empty((0,) + y.shape[1:]))
        raise ValueError("y must be one-dimensional")  # pragma: no cover
    if n == 0 or p == 0:
        validate_data(estimator, np.empty((n if p == 0 else 0, p)), np.empty(0))
    if y.shape[0] != n:
        check_consistent_length(np.empty((n, 0)), np.empty((y.shape[0], 0)))
    return x, _parts.aligned(y, x.chunks[0])


def weight_column(sample_weight, row_chunks):
    """The sample weights cut into the row chunks, and their shape as given; None for weights of
    another length or shape (the estimator's verdict on the shape refuses them)."""
    w = _parts.as_row_array(sample_weight, row_chunks)
    shape = w.shape
    if w.ndim == 2 and w.shape[1] == 1:
        w = w[:, 0]
    if w.ndim != 1 or w.shape[0] != sum(row_chunks):
        return None, shape
    return _parts.aligned(w.astype(float), row_chunks), shape


def _labels_block(y, selected, limit):
    y = np.asarray(y)
    if y.dtype.kind in "biuf":
        return _kernels.distinct_values(y.astype(float), limit, selected).astype(y.dtype)
    # Labels of other types (strings, objects) have no numeric kernel; pandas finds them.
    import pandas as pd

    return np.asarray(pd.unique(y[selected] if selected is not None else y)[:limit])


def _summary_block(x, y, w, classifier):
    xr = _kernels.column_ranges(x)
    yv = np.asarray(y)
    numeric_y = yv.dtype.kind in "biuf"
    yr = _kernels.column_ranges(yv.astype(float)) if numeric_y else {"any_nan": False,
                                                                     "any_inf": False}
    out = {"rows": xr["count"], "x_nan": xr["any_nan"], "x_inf": xr["any_inf"],
           "y_nan": yr["any_nan"], "y_inf": yr["any_inf"]}
    selected = None
    if w is not None:
        s = _kernels.weight_summary(w)
        out.update(w_rows=s["count"], w_positive=s["positive"], w_non_finite=s["non_finite"],
                   w_sum=s["positive_sum"])
        selected = np.asarray(w) > 0
    out["labels"] = _labels_block(yv, selected, _LABEL_LIMIT) if classifier else np.empty(0)
    return out


def _merge_summary(a, b):
    how = {"rows": "add", "x_nan": "any", "x_inf": "any", "y_nan": "any", "y_inf": "any"}
    if "w_rows" in a:
        how.update(w_rows="add", w_positive="add", w_non_finite="any", w_sum="exact")
    out = _parts.merge_dicts(a, b, how)
    labels = list(a["labels"])
    for v in b["labels"]:
        if len(labels) < _LABEL_LIMIT and not any(v == u for u in labels):
            labels.append(v)
    out["labels"] = np.asarray(labels, dtype=np.asarray(a["labels"]).dtype)
    return out


def summary(client, x, y, w, classifier):
    """In one pass over the partitions: whether X and y hold NaN or infinite values, the
    weights' counts and the sum of the positive ones, and up to three distinct labels of the
    rows of positive weight (for a classifier)."""
    return _parts.map_reduce(client, _summary_block, [x, y, w], _merge_summary, classifier)


def check_values(estimator, found, n_features, frame_columns):
    """scikit-learn's X/y check on a two-row stand-in holding the first bad value found (an
    infinite X before y, as the in-memory check meets them), or none: the message is the in-memory one,
    and n_features_in_ (and a DataFrame's feature_names_in_) are set as in memory."""
    standin = np.zeros((2, n_features))
    standin_y = np.array([0.0, 1.0])
    # A missing value of X is no error (it has a level of its own); an infinite one is.
    if found["x_inf"]:
        standin[0, 0] = np.inf
    elif found["y_nan"] or found["y_inf"]:
        standin_y[0] = np.nan if found["y_nan"] else np.inf
    if frame_columns is not None:
        import pandas as pd

        standin = pd.DataFrame(standin, columns=frame_columns)
    validate_data(estimator, standin, standin_y)


def weight_counts(found):
    """The arguments of the estimator's _check_training_rows after the weights' shape: whether a
    weight is not finite, the positive ones' count and sum (none when no weights were reduced)."""
    if "w_rows" not in found:
        return ()
    return found["w_non_finite"], found["w_positive"], _parts.rounded(found["w_sum"])


def kept_rows(x, y, w, n_kept, total):
    """The rows of positive weight, their weights rescaled to sum to their count (`total` is
    the sum of the positive weights)."""
    if n_kept < x.shape[0]:
        keep = w > 0
        x, y, w = (_parts.known_rows(a[keep]) for a in (x, y, w))
        y = _parts.aligned(y, x.chunks[0])
        w = _parts.aligned(w, x.chunks[0])
    return x, y, n_kept * w / total


def _encode_block(part, estimator):
    return estimator._encode_features(part).astype(float)


def frame_categories(estimator, X):
    """For a dask DataFrame, each feature's type and categories (set on the estimator as the
    in-memory fit sets them), or None for an array. The categories must be known on the
    client: a category column's own, [False, True] for a boolean one; a text column is
    refused until ``categorize()`` makes it a category."""
    import pandas as pd

    estimator.categories_ = None
    if not _parts.is_dask_frame(X):
        return
    types = estimator._feature_types_for(len(X.columns), estimator._column_types(X))
    categories = []
    for column, dtype, kind in zip(X.columns, X.dtypes, types):
        if kind != "categorical":
            categories.append(None)
        elif isinstance(dtype, pd.CategoricalDtype) and X[column].cat.known:
            categories.append(list(dtype.categories))
        elif dtype.kind == "b":
            categories.append([False, True])
        else:
            raise ValueError(
                "column %r is categorical, but its categories are not known on the client: "
                "call X = X.categorize(columns=[%r]) (or give it a category dtype with known "
                "categories) before fit" % (column, column))
    estimator.feature_types_ = types
    estimator.categories_ = categories


def encoded(estimator, X):
    """A dask DataFrame with its categorical features as the codes of the estimator's
    categories (per partition, as in memory); anything else unchanged."""
    categories = getattr(estimator, "categories_", None)
    if not _parts.is_dask_frame(X) or not any(c is not None for c in categories or ()):
        return X
    import pandas as pd

    meta = pd.DataFrame({c: pd.Series(dtype=float) for c in X.columns})
    return X.map_partitions(_encode_block, estimator, meta=meta)
