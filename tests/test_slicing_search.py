"""The slicing driver, histogram slicing on one and two features, and tree slicing."""

import inspect

import numpy as np
import pytest

from movra.diagnoser.sagzone import HistogramSlicing, TreeSlicing
from movra.exceptions import MovraError


def _fit(slicer, x, y, pred, use_test=False, names=("a", "b"), test=None, w=None):
    x = np.asarray(x, float).reshape(len(y), -1)
    test_x, test_y, test_pred = test if test is not None else (x, y, pred)
    test_x = np.asarray(test_x, float).reshape(len(test_y), -1)
    return slicer.fit(train_x=x, train_y=np.asarray(y, float), test_x=np.asarray(test_x, float),
                      test_y=np.asarray(test_y, float), train_pred=np.asarray(pred, float),
                      test_pred=np.asarray(test_pred, float), feature_names=list(names),
                      use_test=use_test, train_sample_weight=w, test_sample_weight=w)


def _bad_bins(bins_bad, n_per_bin=10, bins=10):
    """One feature with `bins` equal-width bins; rows of the bins in bins_bad err by 3."""
    x = np.repeat(np.arange(bins) + 0.5, n_per_bin)
    x[0], x[-1] = 0.0, float(bins)  # the range is [0, bins]: edges at the integers
    err = np.where(np.isin(np.floor(np.minimum(x, bins - 1e-9)), bins_bad), 3.0, 0.0)
    return x, err, np.zeros_like(x)


# -- the driver ---------------------------------------------------------------------------------

def test_no_weak_region_returns_none():
    s = HistogramSlicing(slice_features=["a"], min_samples=1)
    x = np.linspace(0, 1, 50)
    assert _fit(s, x, np.ones(50), np.zeros(50)) is None
    assert s.weak_region_stats == [] and s.weak_region == []


def test_region_table_columns_and_statistics():
    x, y, pred = _bad_bins([2, 3])
    s = HistogramSlicing(slice_features=["a"], min_samples=5)
    out = _fit(s, x, y, pred, names=("a",))
    assert list(out.columns) == ["[a", "a)", "#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    assert out.iloc[0].tolist() == [2.0, 4.0, 20, 20, 9.0, 9.0, 0.0]
    row = s.weak_region_stats[0]
    assert list(row) == ["lb1", "ub1", "#Train", "#Test", "train_MSE All", "train_MSE",
                         "test_MSE All", "test_MSE", "Gap"]
    np.testing.assert_array_equal(row["train_MSE All"], np.full(20, 9.0))



def test_two_feature_table_columns_and_dtypes():
    x, y, pred = _bad_bins([2, 3])
    s = HistogramSlicing(slice_features=["a", "b"], min_samples=5)
    out = _fit(s, np.column_stack([x, x]), y, pred)
    assert list(out.columns) == ["[a", "a)", "[b", "b)", "#Test", "#Train", "test_MSE",
                                 "train_MSE", "Gap"]
    assert [str(t) for t in out.dtypes] == ["float64"] * 4 + ["int64"] * 2 + ["float64"] * 3
    assert list(out.index) == list(range(len(out)))


def test_fit_leaves_the_garbage_collector_as_it_was():
    import gc
    x, y, pred = _bad_bins([2, 3])
    s = HistogramSlicing(slice_features=["a"], min_samples=5)
    assert gc.isenabled()
    _fit(s, x, y, pred, names=("a",))
    assert gc.isenabled()
    gc.disable()
    try:
        _fit(s, x, y, pred, names=("a",))
        assert not gc.isenabled()
    finally:
        gc.enable()
    with pytest.raises(MovraError):  # an error too
        s.fit(train_x=x.reshape(-1, 1), train_y=y, test_x=x.reshape(-1, 1), test_y=y,
              train_pred=None, test_pred=pred, feature_names=["a"], use_test=False)
    assert gc.isenabled()

def test_upper_bound_closed_at_the_searched_maximum_on_both_splits():
    x, y, pred = _bad_bins([9])
    s = HistogramSlicing(slice_features=["a"], min_samples=1)
    _fit(s, x, y, pred, names=("a",))
    assert s.weak_region_stats[0]["#Train"] == 10  # the row at the maximum counts
    # the test data reach further: the bound stays closed at the searched (training) maximum,
    # so the rows counted are the rows the search judged
    test_x = np.append(x, 11.0)
    _fit(s, x, y, pred, names=("a",), test=(test_x, np.append(y, 0.0), np.append(pred, 0.0)))
    assert s.weak_region_stats[0]["#Train"] == 10 and s.weak_region_stats[0]["#Test"] == 10


def test_empty_training_side_gives_nan_gap_sorted_last():
    x, y, pred = _bad_bins([1, 7])
    s = HistogramSlicing(slice_features=["a"], min_samples=1)
    train = x < 5  # the training rows never reach the second region
    test = (x, y + np.where(x < 5, 1.0, 0.0), pred)
    out = _fit(s, x[train], y[train], pred[train], use_test=True, names=("a",), test=test)
    assert out["Gap"].tolist()[0] == pytest.approx(16 - 9)
    assert np.isnan(out["Gap"].tolist()[1])
    assert s.weak_region_stats[1]["train_MSE All"] == [] and s.weak_region_stats[1]["#Train"] == 0


def test_missing_predictions_raise_a_clear_error():
    s = HistogramSlicing(slice_features=["a"], metric="LogLoss")
    with pytest.raises(MovraError, match="train_pred is None"):
        s.fit(np.zeros((3, 1)), np.zeros(3), np.zeros((3, 1)), np.zeros(3), None, None, ["a"],
              use_test=False)


# -- histogram, one feature ---------------------------------------------------------------------

@pytest.mark.parametrize("values, n_edges", [([0, 1, 2] * 5, 4), (list(range(50)), 11)])
def test_bin_count_follows_distinct_values(values, n_edges):
    x = np.array(values, float)
    s = HistogramSlicing(slice_features=["a"], bins=10)
    _fit(s, x, np.zeros_like(x), np.zeros_like(x), names=("a",))
    np.testing.assert_array_equal(s.bins1d, np.histogram(x, bins=n_edges - 1)[1])


def test_adjacent_weak_bins_merge_and_separate_ones_stay_apart():
    x, y, pred = _bad_bins([1, 2, 5])
    s = HistogramSlicing(slice_features=["a"], min_samples=1)
    _fit(s, x, y, pred, names=("a",))
    assert s.weak_region == [{"lb1": 1.0, "ub1": 3.0}, {"lb1": 5.0, "ub1": 6.0}]
    merged = s.rule_list[0]
    assert merged == {"splits": {"f0": {"lb": 1.0, "ub": 3.0}}, "values": 9.0, "counts": 20}
    assert len(s.rule_list) == 1 + 1 + 7  # two merged rules, then the seven other bins
    assert [r["splits"]["f0"]["lb"] for r in s.rule_list[2:]] == [0, 3, 4, 6, 7, 8, 9]


def test_small_merged_region_is_dropped_and_its_bins_stay():
    x, y, pred = _bad_bins([1, 2, 5])
    s = HistogramSlicing(slice_features=["a"], min_samples=11)  # the single bin holds 10 rows
    _fit(s, x, y, pred, names=("a",))
    assert s.weak_region == [{"lb1": 1.0, "ub1": 3.0}]
    assert [r["counts"] for r in s.rule_list] == [20] + [10] * 8


def test_last_bin_closed_and_exact_min_samples_kept():
    x, y, pred = _bad_bins([9])
    s = HistogramSlicing(slice_features=["a"], min_samples=10)
    _fit(s, x, y, pred, names=("a",))
    assert s.weak_region == [{"lb1": 9.0, "ub1": 10.0}]
    assert s.rule_list[0]["counts"] == 10  # includes the row at the maximum


def test_set_metric_keeps_raw_bins():
    x, y, pred = _bad_bins([1, 2])
    s = HistogramSlicing(slice_features=["a"], metric="R2", min_samples=1000)
    pred = y.copy()
    y = y + np.tile(np.linspace(-1, 1, 10), 10) * (x > 5)  # bins above 5 fit badly
    _fit(s, x, y, pred, names=("a",))
    assert s.weak_region == [{"lb1": float(b), "ub1": float(b + 1)} for b in range(5, 10)]
    assert len(s.rule_list) == 10


def test_constant_feature():
    x = np.full(40, 3.0)
    s = HistogramSlicing(slice_features=["a"], min_samples=1, threshold=1.0)
    _fit(s, x, np.ones(40), np.zeros(40), names=("a",))
    np.testing.assert_array_equal(s.bins1d, [2.5, 3.5])
    assert s.weak_region == [{"lb1": 3.0, "ub1": 3.0}]
    assert s.rule_list == [{"splits": {"f0": {"lb": 2.5, "ub": 3.5}}, "values": 1.0,
                            "counts": 40}]


def test_infinite_slicing_values_are_refused_like_numpy_missing_ones_are_a_bin():
    s = HistogramSlicing(slice_features=["a"], min_samples=1)
    with pytest.raises(ValueError, match=r"autodetected range of \[0.0, inf\] is not finite"):
        _fit(s, [0.0, np.inf, 1.0], np.zeros(3), np.zeros(3), names=("a",))
    _fit(s, [0.0, np.nan, 1.0, np.nan], np.array([0.0, 2.0, 0.0, 2.0]), np.zeros(4),
         names=("a",))
    assert s.weak_region == [{"lb1": s.weak_region[0]["lb1"], "ub1": s.weak_region[0]["ub1"],
                              "codes1": (-1,)}]
    assert np.isnan(s.weak_region[0]["lb1"]) and s.rule_list[-1]["counts"] == 2


# -- histogram, two features --------------------------------------------------------------------

def test_two_features_bin_stats_regions_and_percentiles():
    rng = np.random.default_rng(3)
    a = np.concatenate([rng.uniform(0, 1, 200), rng.uniform(2, 3, 200)])  # a gap in the middle
    a[0], a[-1] = 0.0, 3.0
    b = rng.uniform(0, 1, 400)
    y = np.where((a > 2) & (b > 0.5), 2.0, 0.0)
    s = HistogramSlicing(slice_features=["a", "b"], bins=3, min_samples=5)
    _fit(s, np.column_stack([a, b]), y, np.zeros(400))
    assert [st["support"] for st in s.bin_stats] == [200, 0, 200]
    empty = s.bin_stats[1]
    assert list(empty) == ["lb1", "ub1", "lb2", "ub2", "support"]
    assert np.isnan(empty["lb2"]) and np.isnan(empty["ub2"])
    assert s.bin_stats[0]["lb1"] == a.min() and s.bin_stats[2]["ub1"] == a.max()
    (region,) = s.weak_region
    assert list(region) == ["lb1", "ub1", "lb2", "ub2", "lb2q", "ub2q"]
    inside = b[a > 2]
    assert region["ub2"] == inside.max() and region["ub2q"] == 100.0
    assert region["lb2q"] == pytest.approx(100 * np.mean(inside < region["lb2"]))
    assert all(set(r["splits"]) == {"f0", "f1"} for r in s.rule_list)


def test_duplicate_slicing_features_take_the_one_feature_path():
    x, y, pred = _bad_bins([4])
    s = HistogramSlicing(slice_features=["a", "a"], min_samples=1)
    _fit(s, np.column_stack([x, x]), y, pred)
    assert s.fidx == [0] and s.weak_region == [{"lb1": 4.0, "ub1": 5.0}]


def test_zero_weights_in_a_first_feature_bin_use_the_plain_mean():
    x, y, pred = _bad_bins([0, 1])
    y = np.where(y == 0, 1.0, y)  # squared error 9 in the weak rows, 1 elsewhere
    w = np.where(x < 2, 0.0, 1.0)  # the weak rows weigh nothing
    s = HistogramSlicing(slice_features=["a", "b"], min_samples=1, bins=2)
    _fit(s, np.column_stack([x, x]), y, pred, w=w)
    # the merged rule of the weak rows: a plain mean instead of a division by zero
    assert s.rule_list[0]["values"] == 9.0 and s.rule_list[0]["counts"] == 20
    assert s.weak_region[0]["lb2"] == 0.0


# -- tree slicing -------------------------------------------------------------------------------

def test_tree_requires_an_additive_metric():
    with pytest.raises(MovraError, match=r"^tree slicing is incompatible with this metric\.$"):
        TreeSlicing(metric="AUC")


def test_tree_constructor():
    t = TreeSlicing(slice_features=["a"], max_depth=3, min_samples=7)
    assert t.max_depth == 3
    assert t.tree_estimator.get_params()["max_depth"] == 3
    assert t.tree_estimator.get_params()["min_samples_leaf"] == 7
    assert t.tree_estimator.get_params()["random_state"] is None


@pytest.mark.parametrize("names", [["a", "b", "c"], []])
def test_tree_feature_count(names):
    t = TreeSlicing(slice_features=names)
    with pytest.raises(MovraError, match="Only Support at most two slicing features."):
        _fit(t, np.zeros((4, 3)), np.zeros(4), np.zeros(4), names=("a", "b", "c"))


def test_tree_walk_is_a_generator_left_first():
    x, y, pred = _bad_bins([7, 8, 9])
    t = TreeSlicing(slice_features=["a"], max_depth=2, min_samples=5)
    _fit(t, x, y, pred, names=("a",))
    walk = t._dfs(t.tree_estimator.tree_, 0, {})
    assert inspect.isgenerator(walk)
    rules = list(walk)
    assert rules == t.rule_list
    uppers = [r["splits"]["f0"]["ub"] for r in rules]
    assert uppers == sorted(uppers) and uppers[-1] == np.inf
    assert sum(r["counts"] for r in rules) == len(x)
    assert t.tree_estimator.n_features_in_ == 1
    # the weak leaf is bounded by the data, not by +inf
    assert t.weak_region == [{"lb1": 7.0, "ub1": 10.0}]


@pytest.mark.parametrize("bad", [np.array(["x", "y"]), None, [object(), object()], {"a": 1}])
@pytest.mark.parametrize("name", ["children_left", "feature", "threshold", "value"])
def test_tree_walk_refuses_unreadable_arrays(name, bad):
    x, y, pred = _bad_bins([7, 8, 9])
    t = TreeSlicing(slice_features=["a"], max_depth=1, min_samples=5)
    _fit(t, x, y, pred, names=("a",))
    tree = t.tree_estimator.tree_
    arrays = {k: getattr(tree, k) for k in ("children_left", "children_right", "feature",
                                            "threshold", "value", "n_node_samples")}
    arrays[name] = bad
    with pytest.raises((ValueError, TypeError)):
        list(t._dfs(type("Tree", (), arrays)(), 0, {}))


def test_tree_walk_starts_from_given_bounds():
    x, y, pred = _bad_bins([7, 8, 9])
    t = TreeSlicing(slice_features=["a"], max_depth=1, min_samples=5)
    _fit(t, x, y, pred, names=("a",))
    left, right = t._dfs(t.tree_estimator.tree_, 0, {"f0": {"lb": 1.0, "ub": 8.0}})
    assert left["splits"] == {"f0": {"lb": 1.0, "ub": 7.0}}
    assert right["splits"] == {"f0": {"lb": 7.0, "ub": 8.0}}


def test_tree_two_features_and_leaf_at_threshold_is_weak():
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, (300, 2))
    y = np.where(x[:, 1] > 0.5, 1.0, 0.0)
    t = TreeSlicing(slice_features=["b", "a"], max_depth=1, min_samples=5, threshold=2.0)
    _fit(t, x, y, np.zeros(300))
    assert t.fidx == [1, 0] and t.tree_estimator.n_features_in_ == 2
    # mean score: share of y == 1; the weak leaf's value is 1.0, so threshold 2 * mean ~ 1.0
    share = y.mean()
    t2 = TreeSlicing(slice_features=["b", "a"], max_depth=1, min_samples=5, threshold=1 / share)
    _fit(t2, x, y, np.zeros(300))
    assert t2.threshold_value == pytest.approx(1.0)
    (region,) = t2.weak_region
    assert region["lb1"] > 0.49 and region["ub1"] == x[:, 1].max()
    assert (region["lb2"], region["ub2"]) == (x[:, 0].min(), x[:, 0].max())
