"""The C++ histogram search against the plain numpy formulation, on many random data sets."""

import math

import numpy as np
import pytest
import sklearn

from movra.diagnoser.sagzone import HistogramSlicing
from sagzone_reference import ReferenceSlicing


# scikit-learn refuses sample weights that are all zero from 1.9 on; older releases fit a tree
# whose one leaf has no weight (a NaN value).
SKLEARN_REFUSES_ALL_ZERO_WEIGHTS = tuple(int(p) for p in sklearn.__version__.split(".")[:2]) >= (1, 9)


def _same(a, b, path="value"):
    """Equal structures; floats to 1e-9 relative (summation order), NaN equal to NaN."""
    if isinstance(a, dict):
        assert isinstance(b, dict) and list(a) == list(b), path
        for key in a:
            _same(a[key], b[key], "%s[%r]" % (path, key))
    elif isinstance(a, (list, tuple)):
        assert isinstance(b, (list, tuple)) and len(a) == len(b), path
        for i, (u, v) in enumerate(zip(a, b)):
            _same(u, v, "%s[%d]" % (path, i))
    elif isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        np.testing.assert_allclose(np.asarray(a, float), np.asarray(b, float), rtol=1e-9,
                                   atol=1e-12, err_msg=path)
    else:
        fa, fb = float(a), float(b)
        if math.isnan(fa) or math.isnan(fb):
            assert math.isnan(fa) and math.isnan(fb), path
        else:
            assert fa == pytest.approx(fb, rel=1e-9, abs=1e-12), path


def _column(rng, n, kind):
    if kind == "continuous":
        return rng.normal(size=n)
    if kind == "few":  # few distinct values
        return rng.integers(0, rng.integers(1, 5), size=n).astype(float)
    if kind == "constant":
        return np.full(n, 2.5)
    # values on a grid that lands exactly on histogram edges
    return rng.integers(0, 11, size=n) / 10.0


def _data_set(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 400))
    kinds = ["continuous", "few", "constant", "edges"]
    x = np.column_stack([_column(rng, n, kinds[rng.integers(0, 4)]) for _ in range(3)])
    task = rng.choice(["regression", "proba", "label"])
    if task == "regression":
        metric = rng.choice(["MSE", "MAE", "R2"])
        if rng.random() < 0.5:  # integer errors: every sum exact, ties at the threshold exact
            y = rng.integers(0, 4, n).astype(float)
            pred = rng.integers(0, 4, n).astype(float)
        else:
            y = x[:, 0] + rng.normal(size=n)
            pred = x[:, 0] * 0.5
    elif task == "proba":
        metric = rng.choice(["LogLoss", "Brier", "AUC"])
        y = rng.integers(0, 2, n).astype(float)
        pred = rng.uniform(0.01, 0.99, n)
    else:
        metric = rng.choice(["ACC", "F1"])
        y = rng.integers(0, 2, n).astype(float)
        pred = rng.integers(0, 2, n).astype(float)
    weights = None
    if rng.random() < 0.5:
        weights = rng.integers(0, 3, n).astype(float)  # zeros included
        if rng.random() < 0.1:
            weights[:] = 0.0
    features = ["a", "b", "c"]
    slice_features = list(rng.choice(features, size=int(rng.integers(1, 3)), replace=False))
    cut = int(rng.integers(0, n)) if n > 1 else 1
    cut = min(max(cut, 1), n)
    train, test = np.arange(cut), np.arange(n)  # the test split overlaps on purpose
    settings = dict(threshold=float(rng.choice([0.5, 0.9, 1.0, 1.2, 2.0])),
                    min_samples=int(rng.choice([0, 1, 5, 30])),
                    bins=int(rng.choice([1, 2, 3, 5, 10, 50])), metric=str(metric))
    split = dict(train_x=x[train], train_y=y[train], test_x=x[test], test_y=y[test],
                 train_pred=pred[train], test_pred=pred[test], feature_names=features,
                 use_test=bool(rng.random() < 0.5),
                 train_sample_weight=None if weights is None else weights[train],
                 test_sample_weight=None if weights is None else weights[test])
    return slice_features, settings, split


@pytest.mark.parametrize("seed", range(400))
def test_histogram_search_equals_numpy_formulation(seed):
    slice_features, settings, split = _data_set(seed)
    ours = HistogramSlicing(slice_features=slice_features, **settings)
    reference = ReferenceSlicing(slice_features, **settings)
    try:
        expected = reference.fit(**split)
    except (ValueError, ZeroDivisionError) as exc:
        # numpy refuses the data (too many bins for a tiny range): so must we, alike.
        with pytest.raises(type(exc)):
            ours.fit(**split)
        return
    got = ours.fit(**split)

    assert ours.fidx == reference.fidx
    # numpy's own average, bit for bit: verdicts compare with it by equality
    np.testing.assert_array_equal(ours.threshold_value, reference.threshold_value)
    np.testing.assert_array_equal(ours.bins1d, reference.bins1d)  # bit for bit
    _same(ours.weak_region, reference.weak_region, "weak_region")
    _same(ours.rule_list, reference.rule_list, "rule_list")
    if len(ours.fidx) == 2:
        _same(ours.bin_stats, reference.bin_stats, "bin_stats")
    _same(ours.weak_region_stats, reference.weak_region_stats, "weak_region_stats")
    if expected is None:
        assert got is None
    else:
        assert list(got.columns) == list(expected.columns)
        _same(got.to_dict("list"), expected.to_dict("list"), "output")


@pytest.mark.parametrize("seed", range(40))
def test_tree_walk_and_regions_equal_numpy_formulation(seed):
    from sagzone_reference import ReferenceTreeSlicing
    from movra.diagnoser.sagzone import TreeSlicing

    slice_features, settings, split = _data_set(seed)
    metric = settings["metric"] if settings["metric"] in ("MSE", "MAE", "ACC", "LogLoss",
                                                          "Brier") else "MSE"
    ours = TreeSlicing(slice_features=slice_features, threshold=settings["threshold"],
                       max_depth=3, min_samples=max(settings["min_samples"], 1), metric=metric)
    w = split["test_sample_weight" if split["use_test"] else "train_sample_weight"]
    if w is not None and not w.any() and SKLEARN_REFUSES_ALL_ZERO_WEIGHTS:
        with pytest.raises(ValueError, match="non-zero"):  # scikit-learn's refusal propagates
            ours.fit(**split)
        return
    ours.fit(**split)
    reference = ReferenceTreeSlicing(slice_features, threshold=settings["threshold"],
                                     max_depth=3, min_samples=max(settings["min_samples"], 1),
                                     metric=metric)
    # the same fitted tree for both walks: tree fitting may break ties at random
    reference.tree_estimator = ours.tree_estimator
    reference.tree_estimator.fit = lambda *args, **kwargs: None
    reference.fit(**split)
    np.testing.assert_array_equal(ours.threshold_value, reference.threshold_value)
    _same(ours.rule_list, reference.rule_list, "rule_list")
    _same(ours.weak_region, reference.weak_region, "weak_region")
    _same(ours.weak_region_stats, reference.weak_region_stats, "weak_region_stats")


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n_features", [1, 2])
def test_many_separate_weak_regions_equal_numpy_formulation(weighted, n_features):
    # Every other bin weak: dozens of regions, past the per-region bitmaps of the statistics.
    rng = np.random.default_rng(7)
    n, bins = 6000, 80
    x = rng.uniform(0, bins, (n, 2))
    bad = (np.floor(x[:, 0]) % 2 == 0) & (x[:, 1] < bins * 0.6)
    y = rng.normal(0, 0.1, n) + np.where(bad, 3.0, 0.0)
    w = rng.uniform(0, 2, n) if weighted else None
    split = dict(train_x=x[:4000], train_y=y[:4000], test_x=x[4000:], test_y=y[4000:],
                 train_pred=np.zeros(4000), test_pred=np.zeros(2000), feature_names=["a", "b"],
                 use_test=False, train_sample_weight=None if w is None else w[:4000],
                 test_sample_weight=None if w is None else w[4000:])
    features = ["a", "b"][:n_features]
    ours = HistogramSlicing(slice_features=features, bins=bins, min_samples=5)
    reference = ReferenceSlicing(features, bins=bins, min_samples=5)
    got, expected = ours.fit(**split), reference.fit(**split)
    assert len(ours.weak_region) > 30
    _same(ours.weak_region_stats, reference.weak_region_stats, "weak_region_stats")
    _same(got.to_dict("list"), expected.to_dict("list"), "output")


@pytest.mark.parametrize("seed", range(40))
def test_ties_at_threshold_one_follow_numpy_rounding(seed):
    # A constant first feature has one bin holding every row: at threshold 1 its average is the
    # threshold value up to rounding, and only numpy's own rounding of both may decide.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 3000))
    x = np.column_stack([np.full(n, 2.5), rng.normal(size=n)])
    y, pred = rng.normal(size=n), rng.normal(size=n) * 0.3
    w = rng.uniform(0, 3, n) if seed % 2 else None
    features = ["a", "b"] if seed % 3 == 0 else ["a"]
    split = dict(train_x=x, train_y=y, test_x=x, test_y=y, train_pred=pred, test_pred=pred,
                 feature_names=["a", "b"], use_test=False, train_sample_weight=w,
                 test_sample_weight=w)
    ours = HistogramSlicing(slice_features=features, threshold=1.0, min_samples=1, bins=1)
    reference = ReferenceSlicing(features, threshold=1.0, min_samples=1, bins=1)
    ours.fit(**split)
    reference.fit(**split)
    assert ours.threshold_value == reference.threshold_value
    _same(ours.weak_region, reference.weak_region, "weak_region")
    _same(ours.rule_list, reference.rule_list, "rule_list")


@pytest.mark.parametrize("seed", range(20))
def test_single_leaf_at_threshold_one_follows_numpy_rounding(seed):
    from movra.diagnoser.sagzone import TreeSlicing

    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 2000))
    x = rng.normal(size=(n, 1))
    y, pred = rng.normal(size=n), np.zeros(n)
    w = rng.uniform(0.5, 2, n) if seed % 2 else None
    ours = TreeSlicing(slice_features=["a"], threshold=1.0, min_samples=n)  # one leaf
    ours.fit(x, y, x, y, pred, pred, ["a"], use_test=False, train_sample_weight=w,
             test_sample_weight=w)
    average = np.average((y - pred) ** 2, weights=w)
    assert ours.threshold_value == average
    (leaf,) = ours.rule_list
    assert (len(ours.weak_region) == 1) == (leaf["values"] >= average)  # MSE: higher is worse
