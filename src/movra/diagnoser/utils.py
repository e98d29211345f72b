"""Scoring metrics and distribution distances used by the diagnosers."""

import numpy as np
import pandas as pd
import scipy.stats

from .. import _kernels
from ..exceptions import MovraError

_LOGLOSS_EPS = 1e-15


def _as_1d(values):
    return np.asarray(values, dtype=float).ravel()


def _weights(sample_weight, n):
    if sample_weight is None:
        return None
    w = _as_1d(sample_weight)
    if w.shape[0] != n:
        raise MovraError(f"sample_weight has {w.shape[0]} values, expected {n}.")
    return w


def _squared_error(y_true, y_pred, sample_weight=None):
    return (_as_1d(y_true) - _as_1d(y_pred)) ** 2


def _absolute_error(y_true, y_pred, sample_weight=None):
    return np.abs(_as_1d(y_true) - _as_1d(y_pred))


def _accuracy(y_true, y_pred, sample_weight=None):
    return (_as_1d(y_true) == _as_1d(y_pred)).astype(float)


def _log_loss(y_true, y_pred, sample_weight=None):
    y = _as_1d(y_true)
    p = np.clip(_as_1d(y_pred), _LOGLOSS_EPS, 1 - _LOGLOSS_EPS)
    return -(y * np.log(p) + (1 - y) * np.log(1 - p))


def _r2(y_true, y_pred, sample_weight=None):
    y, p = _as_1d(y_true), _as_1d(y_pred)
    if y.shape[0] < 2:
        return np.nan
    w = _weights(sample_weight, y.shape[0])
    w = np.ones_like(y) if w is None else w
    if np.sum(w) <= 0:
        return np.nan
    numerator = np.sum(w * (y - p) ** 2)
    denominator = np.sum(w * (y - np.average(y, weights=w)) ** 2)
    if denominator == 0:
        # A constant target: a perfect fit scores 1, anything else 0 (scikit-learn's convention).
        return 1.0 if numerator == 0 else 0.0
    return 1.0 - numerator / denominator


def _auc(y_true, y_pred, sample_weight=None):
    """Area under the ROC curve, ties counted half: the weighted Mann-Whitney statistic."""
    y, s = _as_1d(y_true), _as_1d(y_pred)
    w = _weights(sample_weight, y.shape[0])
    w = np.ones_like(y) if w is None else w
    positive = y == 1
    w_pos, w_neg = np.sum(w[positive]), np.sum(w[~positive])
    if w_pos <= 0 or w_neg <= 0:
        return np.nan
    order = np.argsort(s, kind="mergesort")
    s, pos_w, neg_w = s[order], (w * positive)[order], (w * ~positive)[order]
    # Group equal scores; a positive beats every negative below its group and ties half of its own.
    starts = np.flatnonzero(np.r_[True, s[1:] != s[:-1]])
    pos_group = np.add.reduceat(pos_w, starts)
    neg_group = np.add.reduceat(neg_w, starts)
    neg_below = np.cumsum(neg_group) - neg_group
    return float(np.sum(pos_group * (neg_below + 0.5 * neg_group)) / (w_pos * w_neg))


def _f1(y_true, y_pred, sample_weight=None):
    y, p = _as_1d(y_true), _as_1d(y_pred)
    w = _weights(sample_weight, y.shape[0])
    w = np.ones_like(y) if w is None else w
    tp = np.sum(w[(p == 1) & (y == 1)])
    fp = np.sum(w[(p == 1) & (y != 1)])
    fn = np.sum(w[(p != 1) & (y == 1)])
    denominator = 2 * tp + fp + fn
    return 0.0 if denominator == 0 else float(2 * tp / denominator)


# name: (score sign, function, needs probabilities, additive)
_METRICS = {
    "MSE": (-1, _squared_error, False, True),
    "MAE": (-1, _absolute_error, False, True),
    "R2": (1, _r2, False, False),
    "ACC": (1, _accuracy, False, True),
    "LogLoss": (-1, _log_loss, True, True),
    "Brier": (-1, _squared_error, True, True),
    "AUC": (1, _auc, True, False),
    "F1": (1, _f1, False, False),
}
_BY_LOWER_NAME = {name.lower(): name for name in _METRICS}


def _averaged(per_sample):
    def scoring_func(y_true, y_pred, sample_weight=None):
        scores = per_sample(y_true, y_pred)
        w = _weights(sample_weight, scores.shape[0])
        if w is not None and np.sum(w) <= 0:
            w = None
        return float(np.average(scores, weights=w))

    scoring_func.__name__ = per_sample.__name__
    return scoring_func


def get_scoring_metric(metric, average=False):
    """The scoring configuration of a metric.

    Parameters
    ----------
    metric : str or None
        One of "MSE" (also for None), "MAE", "R2", "ACC", "LogLoss", "Brier", "AUC", "F1";
        case-insensitive.
    average : bool, default=False
        With an additive metric, return the (weighted) mean instead of per-sample scores.

    Returns
    -------
    score_name : str
    score_sign : int
        1 when a higher score is better, -1 when lower is better.
    scoring_func : callable
        ``scoring_func(y_true, y_pred, sample_weight=None)``.
    needs_proba : bool
        The predictions must be probabilities of the positive class.
    is_metric_additive : bool
        ``scoring_func`` returns one score per sample (unless ``average``).
    """
    if metric is None:
        metric = "MSE"
    if not isinstance(metric, str) or metric.lower() not in _BY_LOWER_NAME:
        raise MovraError(
            f"Unknown metric {metric!r}; the metrics are {', '.join(_METRICS)}."
        )
    name = _BY_LOWER_NAME[metric.lower()]
    sign, func, needs_proba, additive = _METRICS[name]
    if additive and average:
        func = _averaged(func)
    return name, sign, func, needs_proba, additive


_PSI_BUCKETS = 10


def psi_edges(low, high):
    """The edges of the "uniform" PSI buckets: 10 of equal width over [low, high], the range of the
    reference sample (fewer when its range is a single value)."""
    return np.unique(np.linspace(low, high, _PSI_BUCKETS + 1))


def check_distance(method, buckettype, feature_type="numerical"):
    """The distance and, for PSI, the buckets: one of those calculate_distance knows."""
    if method not in ("PSI", "WD1", "KS"):
        raise MovraError(f"Unsupported distance method {method!r}; use 'PSI', 'WD1' or 'KS'.")
    if method == "PSI" and buckettype not in ("uniform", "quantile"):
        raise MovraError(
            f"Unsupported buckettype {buckettype!r}; use 'uniform' or 'quantile'."
        )
    if feature_type not in ("numerical", "categorical"):
        raise MovraError(
            f"Unsupported feature_type {feature_type!r}; use 'numerical' or 'categorical'."
        )


def _bucket_counts(values, inner, n_buckets):
    # Values outside the reference's range fall into the end buckets.
    return np.bincount(np.searchsorted(inner, values, side="right"), minlength=n_buckets)


def _psi(expected, actual, buckettype):
    """PSI over buckets of the reference's observed values, and one more bucket for the missing
    values when either sample has some."""
    expected_missing, actual_missing = np.isnan(expected), np.isnan(actual)
    observed = expected[~expected_missing]
    inner = np.empty(0)
    if observed.shape[0]:
        if buckettype == "uniform":
            edges = psi_edges(np.min(observed), np.max(observed))
        else:
            edges = np.unique(np.quantile(observed, np.linspace(0, 1, _PSI_BUCKETS + 1)))
        inner = edges[1:-1]
    n_buckets = inner.shape[0] + 1
    expected_counts = _bucket_counts(observed, inner, n_buckets)
    actual_counts = _bucket_counts(actual[~actual_missing], inner, n_buckets)
    if expected_missing.any() or actual_missing.any():
        expected_counts = np.append(expected_counts, np.count_nonzero(expected_missing))
        actual_counts = np.append(actual_counts, np.count_nonzero(actual_missing))
    return _kernels.population_stability(expected_counts, actual_counts)


def _category_psi(expected, actual):
    """PSI over the categories of both samples, missing one of them."""
    both = np.concatenate([np.asarray(expected, dtype=object).ravel(),
                           np.asarray(actual, dtype=object).ravel()])
    # Missing values (NaN, None, pd.NA) get the code -1: bucket 0 below.
    codes, categories = pd.factorize(both)
    n_buckets = categories.shape[0] + 1
    n_expected = np.asarray(expected).size
    expected_counts = np.bincount(codes[:n_expected] + 1, minlength=n_buckets)
    actual_counts = np.bincount(codes[n_expected:] + 1, minlength=n_buckets)
    return _kernels.population_stability(expected_counts, actual_counts)


def calculate_distance(a, b, buckettype="uniform", method="PSI", feature_type="numerical"):
    """Distance between two samples of one feature.

    Parameters
    ----------
    a, b : array-like
        The reference sample and the compared sample.
    buckettype : {"uniform", "quantile"}, default="uniform"
        PSI buckets of a numerical feature: 10 equal-width buckets over the range of ``a``, or
        its deciles.
    method : {"PSI", "WD1", "KS"}, default="PSI"
        Population stability index, first Wasserstein distance, Kolmogorov-Smirnov statistic.
    feature_type : {"numerical", "categorical"}, default="numerical"
        A categorical feature's samples hold categories (labels, or category codes): its PSI
        has one bucket per category, missing values (NaN, None) being one more category, and
        ``buckettype`` does not apply. WD1 and KS need ordered values: NaN for a categorical
        feature. For a numerical feature, missing values (NaN) form one more PSI bucket beside
        the buckets of the values, so a sample missing more often is farther away; WD1 and KS
        compare the values that are there and ignore the missing ones.

    Returns
    -------
    float
        The distance; NaN when either sample is empty (for WD1 and KS, when either has no
        value that is not missing).
    """
    check_distance(method, buckettype, feature_type)
    if feature_type == "categorical":
        if method != "PSI" or np.size(a) == 0 or np.size(b) == 0:
            return np.nan
        return _category_psi(a, b)
    a = _as_1d(a)
    b = _as_1d(b)
    if a.shape[0] == 0 or b.shape[0] == 0:
        return np.nan
    if method == "PSI":
        return _psi(a, b, buckettype)
    a, b = a[~np.isnan(a)], b[~np.isnan(b)]
    if a.shape[0] == 0 or b.shape[0] == 0:
        return np.nan
    if method == "WD1":
        return float(scipy.stats.wasserstein_distance(a, b))
    return float(scipy.stats.ks_2samp(a, b).statistic)


def yield_from(items):
    """A generator over `items`: compiled methods that hand out generators hand out this one."""
    yield from items
