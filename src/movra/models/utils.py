"""Evaluation of effects' step functions.

An effect's ``values`` hold sorted ``split_points`` and the ``levels`` between them. A value ``x``
falls in bin ``b = #{p in split_points : p <= float32(x)}`` (0 .. s), exactly as XGBoost routes a
row (it compares float32 values with float32 thresholds); a missing value (NaN) falls in the extra
bin ``s + 1``. A 1D effect has ``s + 2`` levels; a 2D effect has a ``(s1 + 2, s2 + 2)`` grid of
levels, rows along its first feature.
"""

import numpy as np

from movra import _kernels


def _data(X):
    # pandas objects and lists become arrays; numpy arrays pass unchanged (no copy).
    return X if isinstance(X, np.ndarray) else np.asarray(X)


def _columns(X, fidx, count):
    """Column positions of the effect's features in X (None: X holds exactly those columns)."""
    if fidx is None:
        if X.ndim == 1 and count == 1:
            return (-1,)
        if X.ndim == 2 and X.shape[1] == count:
            return tuple(range(count))
        raise ValueError("X has %s columns; pass fidx to choose the effect's %d"
                         % (X.shape[1] if X.ndim == 2 else "no", count))
    if np.ndim(fidx) == 0:
        fidx = (fidx,)
    fidx = tuple(int(i) for i in fidx)
    if len(fidx) != count:
        raise ValueError("fidx must hold %d feature index(es), got %r" % (count, fidx))
    if X.ndim == 1:
        if count == 1:
            return (-1,)
        raise ValueError("X must be two-dimensional for a 2D effect")
    return fidx


def predict_1D_func_tree(X, values, fidx=None):
    """Values of a main effect at the rows of X.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or (n_samples,)
        Data; NaN is a missing value.
    values : dict
        The effect's "values": "split_points" (s,) and "levels" (s + 2,).
    fidx : int or tuple of one int, default=None
        Column of X holding the feature; None when X is the feature's column itself.

    Returns
    -------
    ndarray of shape (n_samples,)
    """
    X = _data(X)
    (column,) = _columns(X, fidx, 1)
    return _kernels.evaluate_step_1d(X, values["split_points"], values["levels"], column)


def predict_2D_func_tree(X, values, fidx=None):
    """Values of an interaction at the rows of X.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        Data; NaN is a missing value.
    values : dict
        The effect's "values": "split_points" (a pair of sorted arrays (s1,), (s2,)) and
        "levels" of shape (s1 + 2, s2 + 2).
    fidx : tuple of two ints, default=None
        Columns of X holding the two features; None when X has exactly those two columns.

    Returns
    -------
    ndarray of shape (n_samples,)
    """
    X = _data(X)
    column_a, column_b = _columns(X, fidx, 2)
    split_points_a, split_points_b = values["split_points"]
    return _kernels.evaluate_step_2d(X, split_points_a, split_points_b, values["levels"],
                                     column_a, column_b)
