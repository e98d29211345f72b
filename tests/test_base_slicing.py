"""BaseSlicing: construction, slice selection, rule records and weak verdicts."""

import copy
import inspect
import pickle

import numpy as np
import pandas as pd
import pytest

from movra.diagnoser.sagzone import BaseSlicing


def _slicer(metric=None, threshold=1.2, n_features=1, threshold_value=None):
    s = BaseSlicing(slice_features=["a", "b"][:n_features], threshold=threshold, metric=metric)
    s.fidx = list(range(n_features))
    if threshold_value is not None:
        s.threshold_value = threshold_value
    return s


def test_signature_and_argument_errors():
    assert str(inspect.signature(BaseSlicing.__init__)) == (
        "(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
        "min_samples=30, metric=None)")
    with pytest.raises(TypeError) as err:
        BaseSlicing(*range(7))
    assert str(err.value) == "__init__() takes from 1 to 7 positional arguments but 8 were given"
    with pytest.raises(TypeError, match="unexpected keyword argument 'bins'"):
        BaseSlicing(bins=3)


def test_docstring_states_the_threshold_rule():
    doc = BaseSlicing.__doc__
    assert "Base slice class for analyzing 1D or 2D numerical features." in doc
    assert ("The threshold is defined as threshold * test set performance (for regression), and\n"
            "1 / threshold * test set performance (for classification)") in doc


def test_attributes_in_order():
    s = BaseSlicing("model", ["a"], "regression", 1.5, 7, "MAE")
    assert list(vars(s)) == ["estimator", "slice_features", "task_type", "metric", "min_samples",
                             "score_name", "score_sign", "scoring_func", "needs_proba",
                             "is_metric_additive", "threshold"]
    assert (s.estimator, s.slice_features, s.task_type, s.metric, s.min_samples) == (
        "model", ["a"], "regression", "MAE", 7)
    assert (s.score_name, s.score_sign, s.needs_proba, s.is_metric_additive) == (
        "MAE", -1, False, True)


@pytest.mark.parametrize("metric, threshold, stored", [
    ("MSE", 1.2, 1.2),        # lower is better: kept
    ("ACC", 1.2, 1 / 1.2),    # higher is better: inverted
    ("AUC", 2, 0.5),
    ("ACC", 0, 0),            # never inverted at or below zero
    ("ACC", -2.0, -2.0),
])
def test_threshold_inversion(metric, threshold, stored):
    assert BaseSlicing(threshold=threshold, metric=metric).threshold == pytest.approx(stored)


def test_unknown_metric_propagates_the_error():
    from movra.exceptions import MovraError
    with pytest.raises(MovraError, match="Unknown metric"):
        BaseSlicing(metric="nope")


@pytest.mark.parametrize("right, expected", [(False, [0, 1]), (True, [0, 1, 2])])
def test_get_index_one_feature_bounds(right, expected):
    x = np.array([1.0, 1.5, 2.0, 0.5, np.nan])
    idx = _slicer().get_index(x, 1.0, 2.0, right=right)
    assert idx.dtype.kind == "i"
    assert idx.tolist() == expected


def test_get_index_two_features_uses_second_bounds():
    x = np.array([0.0, 1.0, 2.0, 3.0])
    assert _slicer(n_features=2).get_index(x, 100, 200, 1.0, 3.0).tolist() == [1, 2]
    assert _slicer(n_features=2).get_index(x, 100, 200, 1.0, 3.0, True).tolist() == [1, 2, 3]


@pytest.mark.parametrize("x", [[3, 1, 2], pd.Series([3, 1, 2]), np.array([3, 1, 2], np.int8),
                               np.array([[3, 9], [1, 9], [2, 9]], float)[:, 0]])
def test_get_index_accepts_lists_series_any_dtype_and_strides(x):
    assert _slicer().get_index(x, 1, 3).tolist() == [1, 2]


@pytest.mark.parametrize("bad, message", [(np.ones((2, 2)), "x must be one-dimensional"),
                                          (np.array(["a", "b"]), "x must hold numeric")])
def test_get_index_rejects_bad_x(bad, message):
    with pytest.raises(ValueError, match=message):
        _slicer().get_index(bad, 0, 1)


def test_get_rule_list_records():
    s = _slicer()
    x = np.array([0.0, 1.0, 2.0, 3.0])
    scores = np.array([1.0, 2.0, 3.0, 10.0])
    rules = s.get_rule_list(x, None, None, scores, 0.0, 3.0)
    assert rules == [{"splits": {"f0": {"lb": 0.0, "ub": 3.0}}, "values": 2.0, "counts": 3}]
    assert list(rules[0]) == ["splits", "values", "counts"]
    empty = s.get_rule_list(x, None, None, scores, 5.0, 6.0)
    assert empty[0]["counts"] == 0 and np.isnan(empty[0]["values"])
    two = _slicer(n_features=2).get_rule_list(x, None, None, scores, -1, 1, 2.0, 3.0, True)
    assert two[0]["splits"] == {"f0": {"lb": -1, "ub": 1}, "f1": {"lb": 2.0, "ub": 3.0}}
    assert two[0]["values"] == 6.5 and two[0]["counts"] == 2


def test_weighted_slice_score_and_zero_weight_sum():
    s = _slicer()
    x = np.array([0.0, 1.0, 2.0])
    scores = np.array([1.0, 4.0, 100.0])
    w = np.array([3.0, 1.0, 5.0])
    assert s.get_rule_list(x, None, None, scores, 0, 2, sample_weight=w)[0]["values"] == 7 / 4
    # weights summing to zero: the plain average instead of a division by zero
    zero = np.array([0.0, 0.0, 5.0])
    assert s.get_rule_list(x, None, None, scores, 0, 2, sample_weight=zero)[0]["values"] == 2.5


def test_set_metric_is_scored_on_the_selected_rows():
    s = _slicer(metric="R2")
    x = np.array([0.0, 1.0, 2.0, 3.0])
    y = np.array([1.0, 2.0, 3.0, 4.0])
    preds = np.array([1.0, 2.0, 3.0, 0.0])  # perfect on the first three rows only
    assert s.get_rule_list(x, y, preds, 0.3, 0, 3)[0]["values"] == 1.0
    assert s.get_rule_list(x, y, preds, 0.3, 0, 3, right=True)[0]["values"] < 0


def test_mismatched_lengths_name_the_argument():
    s = _slicer()
    with pytest.raises(ValueError, match="scores has 2 values, expected 3"):
        s.get_rule_list([0, 1, 2], None, None, [1, 2], 0, 3)
    with pytest.raises(ValueError, match="sample_weight has 1 values, expected 3"):
        s.evaluate_slice([0, 1, 2], None, None, [1, 2, 3], 0, 3, sample_weight=[1])


@pytest.mark.parametrize("metric, threshold_value, weak", [
    ("MSE", 2.0, True),    # lower is better: a score at the threshold value is weak
    ("MSE", 2.0001, False),
    ("MSE", 1.9999, True),
    ("ACC", 2.0, True),    # higher is better: at or below is weak
    ("ACC", 1.9999, False),
])
def test_evaluate_slice_direction_and_equality(metric, threshold_value, weak):
    s = _slicer(metric=metric, threshold_value=threshold_value)
    x = np.array([0.0, 1.0, 2.0])
    scores = np.array([1.0, 3.0, 50.0])
    result = s.evaluate_slice(x, None, None, scores, 0.0, 2.0)
    assert result == ([{"lb1": 0.0, "ub1": 2.0}] if weak else [])


def test_evaluate_slice_empty_and_two_features():
    s = _slicer(threshold_value=0.0)
    assert s.evaluate_slice(np.array([5.0]), None, None, np.array([1.0]), 0, 1) == []
    s2 = _slicer(n_features=2, threshold_value=0.0)
    assert s2.evaluate_slice(np.array([5.0]), None, None, np.array([1.0]), 0, 1, 4, 6) == [
        {"lb1": 0, "ub1": 1, "lb2": 4, "ub2": 6}]


def test_pickle_and_deepcopy_round_trip():
    s = BaseSlicing(slice_features=["a"], threshold=2.0, metric="MAE")
    for clone in (pickle.loads(pickle.dumps(s)), copy.deepcopy(s)):
        assert type(clone) is BaseSlicing
        assert clone.threshold == 2.0 and clone.score_name == "MAE"
