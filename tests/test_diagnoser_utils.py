import numpy as np
import pytest
import scipy.stats
from sklearn import metrics

from movra.diagnoser.utils import calculate_distance, get_scoring_metric
from movra.exceptions import MovraError

rng = np.random.default_rng(7)
Y_REG = rng.normal(size=200)
P_REG = Y_REG + rng.normal(scale=0.5, size=200)
Y_CLS = rng.integers(0, 2, size=200).astype(float)
P_PROBA = np.clip(0.3 * Y_CLS + rng.uniform(size=200) * 0.7, 0, 1)
P_LABEL = (P_PROBA > 0.5).astype(float)
W = rng.uniform(0.0, 2.0, size=200)


@pytest.mark.parametrize(
    "metric, name, sign, needs_proba, additive",
    [
        (None, "MSE", -1, False, True),
        ("mse", "MSE", -1, False, True),
        ("MAE", "MAE", -1, False, True),
        ("r2", "R2", 1, False, False),
        ("ACC", "ACC", 1, False, True),
        ("logloss", "LogLoss", -1, True, True),
        ("BRIER", "Brier", -1, True, True),
        ("AUC", "AUC", 1, True, False),
        ("f1", "F1", 1, False, False),
    ],
)
def test_metric_configuration(metric, name, sign, needs_proba, additive):
    got = get_scoring_metric(metric, average=False)
    assert got[0] == name and got[1] == sign and got[3] is needs_proba and got[4] is additive
    assert callable(got[2])


def test_unknown_metric_lists_the_known_ones():
    with pytest.raises(MovraError, match="MSE.*AUC"):
        get_scoring_metric("RMSLE")


@pytest.mark.parametrize(
    "metric, y, p, reference",
    [
        ("MSE", Y_REG, P_REG, (Y_REG - P_REG) ** 2),
        ("MAE", Y_REG, P_REG, np.abs(Y_REG - P_REG)),
        ("ACC", Y_CLS, P_LABEL, (Y_CLS == P_LABEL).astype(float)),
        ("Brier", Y_CLS, P_PROBA, (Y_CLS - P_PROBA) ** 2),
    ],
)
def test_additive_metrics_per_sample_and_averaged(metric, y, p, reference):
    _, _, func, _, _ = get_scoring_metric(metric)
    np.testing.assert_allclose(func(y, p), reference)
    _, _, mean_func, _, _ = get_scoring_metric(metric, average=True)
    assert mean_func(y, p, sample_weight=W) == pytest.approx(np.average(reference, weights=W))
    # Weights that sum to zero fall back to the plain mean instead of dividing by zero.
    assert mean_func(y, p, sample_weight=np.zeros_like(W)) == pytest.approx(reference.mean())


def test_logloss_clips_certain_predictions():
    _, _, func, _, _ = get_scoring_metric("LogLoss")
    scores = func(np.array([1.0, 0.0, 1.0]), np.array([0.0, 1.0, 0.8]))
    assert np.all(np.isfinite(scores))
    np.testing.assert_allclose(scores[:2], [-np.log(1e-15), -np.log(1 - (1 - 1e-15))])
    assert scores[2] == pytest.approx(-np.log(0.8))
    np.testing.assert_allclose(
        func(Y_CLS, P_PROBA).mean(), metrics.log_loss(Y_CLS, np.clip(P_PROBA, 1e-15, 1 - 1e-15))
    )


@pytest.mark.parametrize("weighted", [False, True])
def test_set_metrics_match_scikit_learn(weighted):
    w = W if weighted else None
    r2 = get_scoring_metric("R2")[2]
    auc = get_scoring_metric("AUC")[2]
    f1 = get_scoring_metric("F1")[2]
    assert r2(Y_REG, P_REG, sample_weight=w) == pytest.approx(
        metrics.r2_score(Y_REG, P_REG, sample_weight=w))
    # Rounded scores make many ties, which the rank statistic must count half.
    tied = np.round(P_PROBA, 1)
    assert auc(Y_CLS, tied, sample_weight=w) == pytest.approx(
        metrics.roc_auc_score(Y_CLS, tied, sample_weight=w))
    assert f1(Y_CLS, P_LABEL, sample_weight=w) == pytest.approx(
        metrics.f1_score(Y_CLS, P_LABEL, sample_weight=w))


def test_set_metrics_degenerate_sets():
    auc = get_scoring_metric("AUC")[2]
    r2 = get_scoring_metric("R2")[2]
    f1 = get_scoring_metric("F1")[2]
    assert np.isnan(auc(np.ones(5), np.linspace(0, 1, 5)))
    assert np.isnan(auc(np.array([]), np.array([])))
    assert np.isnan(r2(np.array([1.0]), np.array([2.0])))
    assert r2(np.ones(4), np.ones(4)) == 1.0
    assert r2(np.ones(4), np.zeros(4)) == 0.0
    assert f1(np.zeros(3), np.zeros(3)) == 0.0


def _psi_by_hand(a, b, edges):
    inner = edges[1:-1]
    pa = np.array([np.mean(np.searchsorted(inner, a, side="right") == k)
                   for k in range(len(inner) + 1)])
    pb = np.array([np.mean(np.searchsorted(inner, b, side="right") == k)
                   for k in range(len(inner) + 1)])
    pa, pb = np.maximum(pa, 1e-4), np.maximum(pb, 1e-4)
    return np.sum((pa - pb) * np.log(pa / pb))


def test_psi_uniform_and_quantile_buckets():
    a = rng.normal(size=500)
    b = rng.normal(0.5, 1.5, size=300)
    uniform = calculate_distance(a, b, buckettype="uniform", method="PSI")
    assert uniform == pytest.approx(_psi_by_hand(a, b, np.linspace(a.min(), a.max(), 11)))
    quantile = calculate_distance(a, b, buckettype="quantile", method="PSI")
    assert quantile == pytest.approx(
        _psi_by_hand(a, b, np.unique(np.quantile(a, np.linspace(0, 1, 11)))))
    assert calculate_distance(a, a) == pytest.approx(0.0)
    # A constant reference: one bucket only, no division by zero.
    assert np.isfinite(calculate_distance(np.ones(10), b))


def test_wasserstein_and_ks_and_empty_samples():
    a, b = rng.normal(size=100), rng.normal(1.0, size=80)
    assert calculate_distance(a, b, method="WD1") == pytest.approx(
        scipy.stats.wasserstein_distance(a, b))
    assert calculate_distance(a, b, method="KS") == pytest.approx(scipy.stats.ks_2samp(a, b).statistic)
    for method in ("PSI", "WD1", "KS"):
        assert np.isnan(calculate_distance(a, [], method=method))
        assert np.isnan(calculate_distance([], b, method=method))


@pytest.mark.parametrize("kwargs", [{"method": "L2"}, {"buckettype": "log"}])
def test_unsupported_distance_settings(kwargs):
    with pytest.raises(MovraError):
        calculate_distance([1.0, 2.0, 3.0], [1.0, 2.0], **kwargs)


def _shares_psi(pa, pb):
    pa, pb = np.maximum(pa, 1e-4), np.maximum(pb, 1e-4)
    return np.sum((pa - pb) * np.log(pa / pb))


@pytest.mark.parametrize("seed", range(20))
def test_categorical_psi_over_categories_and_missing(seed):
    r = np.random.default_rng(seed)
    k = int(r.integers(1, 8))
    a = r.integers(0, k, size=int(r.integers(1, 300))).astype(float)
    b = r.integers(0, k + 2, size=int(r.integers(1, 100))).astype(float)
    a[r.random(a.shape[0]) < 0.1] = np.nan
    b[r.random(b.shape[0]) < r.uniform(0, 0.5)] = np.nan
    # Missing is a category of its own (code k + 2 here).
    ca, cb = np.where(np.isnan(a), k + 2, a), np.where(np.isnan(b), k + 2, b)
    shares = [np.array([np.mean(c == v) for v in range(k + 3)]) for c in (ca, cb)]
    expected = _shares_psi(*shares)
    assert calculate_distance(a, b, feature_type="categorical") == pytest.approx(expected)
    # Labels as text, None missing: the same buckets.
    names = np.array([f"c{v}" for v in range(k + 2)] + [None], dtype=object)
    assert calculate_distance(names[ca.astype(int)], names[cb.astype(int)],
                              feature_type="categorical") == pytest.approx(expected)
    for method in ("WD1", "KS"):
        assert np.isnan(calculate_distance(a, b, method=method, feature_type="categorical"))


def test_numerical_missing_values_are_a_psi_bucket_and_left_out_of_wd1_ks():
    a, b = rng.normal(size=400), rng.normal(0.3, size=200)
    a[:40], b[:100] = np.nan, np.nan
    edges = np.linspace(np.nanmin(a), np.nanmax(a), 11)
    shares = []
    for s in (a, b):
        observed = s[~np.isnan(s)]
        counts = np.bincount(np.searchsorted(edges[1:-1], observed, side="right"), minlength=10)
        shares.append(np.append(counts, np.isnan(s).sum()) / s.shape[0])
    assert calculate_distance(a, b) == pytest.approx(_shares_psi(*shares))
    fa, fb = a[~np.isnan(a)], b[~np.isnan(b)]
    assert calculate_distance(a, b, method="WD1") == pytest.approx(
        scipy.stats.wasserstein_distance(fa, fb))
    assert calculate_distance(a, b, method="KS") == pytest.approx(
        scipy.stats.ks_2samp(fa, fb).statistic)
    assert np.isnan(calculate_distance(a, np.full(5, np.nan), method="KS"))
    with pytest.raises(MovraError, match="feature_type"):
        calculate_distance(a, b, feature_type="ordinal")
