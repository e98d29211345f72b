"""DaskSagZone on a LocalCluster against SagZone on the same rows: same regions, counts and
metrics, whatever the partitioning; nothing but sums reaches the client; the same errors."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")

from conftest import gather_limit  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402

from movra.dask import DaskSagZone  # noqa: E402
from movra.diagnoser.sagzone import SagZone  # noqa: E402
from movra.exceptions import MovraError  # noqa: E402


def make_data(seed, n=6000, discrete=False):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 4))
    if discrete:
        x[:, 1] = rng.integers(0, 3, size=n)
    y = np.sin(6 * x[:, 0]) + rng.normal(scale=0.1 + x[:, 1], size=n)
    pred = np.sin(6 * x[:, 0]) + 0.2 * x[:, 2]
    weights = rng.uniform(0.0, 2.0, size=n) * (rng.uniform(size=n) > 0.05)
    train = rng.uniform(size=n) < 0.7
    return x, y, pred, weights, train


def chunked(values, seed, parts=4):
    """Uneven row chunks, so that partition boundaries fall anywhere."""
    n = values.shape[0]
    cuts = np.sort(np.random.default_rng(seed).choice(np.arange(1, n), parts - 1, replace=False))
    chunks = tuple(np.diff(np.concatenate([[0], cuts, [n]])))
    return da.from_array(values, chunks=(chunks,) + values.shape[1:])


def fit_both(client, features, x, y, pred, weights, train, seed=0, **params):
    local = SagZone(None, features, task_type="regression", **params)
    local.fit(x, y, np.flatnonzero(train), np.flatnonzero(~train), prediction=pred,
              sample_weight=weights)
    zone = DaskSagZone(None, features, task_type="regression", client=client, **params)
    zone.fit(chunked(x, seed), chunked(y, seed), chunked(train, seed), ~train,
             prediction=chunked(pred, seed),
             sample_weight=None if weights is None else chunked(weights, seed))
    return local, zone


def assert_same_table(expected, actual):
    if expected is None:
        assert actual is None
        return
    assert list(actual.columns) == list(expected.columns)
    for name in expected.columns:
        a, e = actual[name].to_numpy(), expected[name].to_numpy()
        if name.startswith("#") or name.startswith("[") or name.endswith(")"):
            np.testing.assert_array_equal(a, e)  # counts and bounds exactly
        else:
            np.testing.assert_allclose(a, e, rtol=1e-9, atol=1e-12)


def assert_same_rules(expected, actual):
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        assert a["splits"] == e["splits"] and a["counts"] == e["counts"]
        np.testing.assert_allclose(a["values"], e["values"], rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("features", [["X1"], ["X0", "X1"]])
@pytest.mark.parametrize("weighted", [False, True])
def test_same_regions_as_in_memory(dask_client, seed, features, weighted):
    x, y, pred, weights, train = make_data(seed, discrete=seed == 2)
    local, zone = fit_both(dask_client, features, x, y, pred, weights if weighted else None,
                           train, seed=seed, threshold=1.1, min_samples=30)
    assert_same_table(local.output, zone.output)
    np.testing.assert_array_equal(zone.diag.bins1d, local.diag.bins1d)
    assert zone.diag.weak_region == local.diag.weak_region
    assert_same_rules(local.diag.rule_list, zone.diag.rule_list)
    np.testing.assert_allclose(zone.diag.threshold_value, local.diag.threshold_value,
                               rtol=4e-16)
    if len(features) == 2:
        assert zone.diag.bin_stats == local.diag.bin_stats
    if local.output is not None:
        np.testing.assert_array_equal(zone.get_target_idx().compute(), local.get_target_idx())
        for k, region in enumerate(local.diag.weak_region_stats):
            np.testing.assert_allclose(
                np.sort(zone.diag.weak_region_stats[k]["test_MSE All"].compute()),
                np.sort(region["test_MSE All"]))


def test_partitioning_does_not_change_the_answer(dask_client):
    x, y, pred, weights, train = make_data(7)
    outputs = []
    for seed in range(3):
        zone = DaskSagZone(None, ["X0", "X2"], task_type="regression", client=dask_client)
        zone.fit(chunked(x, seed, parts=2 + seed), chunked(y, seed, parts=2 + seed),
                 train, ~train, prediction=chunked(pred, seed, parts=2 + seed),
                 sample_weight=chunked(weights, seed, parts=2 + seed))
        outputs.append(zone)
    for zone in outputs[1:]:
        # The threshold value is an exact sum rounded once: the same for every partitioning.
        assert zone.diag.threshold_value == outputs[0].diag.threshold_value
        assert zone.diag.weak_region == outputs[0].diag.weak_region
        assert_same_table(outputs[0].output, zone.output)


def test_exact_ties_are_judged_as_in_memory(dask_client):
    # Squared errors 1 and 4 in the same proportion in every bin: every bin's average equals the
    # overall one, so with threshold 1 each bin lies exactly on the threshold value (weak).
    n = 4000
    x = np.tile(np.arange(40) / 40.0, n // 40)[:, None] * np.ones((1, 2))
    y = np.where(np.arange(n) % 4 == 0, 2.0, 1.0)
    pred = np.zeros(n)
    train = np.ones(n, dtype=bool)
    train[::10] = False
    local, zone = fit_both(dask_client, ["X0"], x, y, pred, None, np.arange(n) % 2 == 0,
                           threshold=1.0)
    assert zone.diag.near_ties_ > 0
    assert zone.diag.weak_region == local.diag.weak_region
    assert_same_table(local.output, zone.output)


def test_distances_from_binned_counts(dask_client):
    x, y, pred, weights, train = make_data(3)
    local, zone = fit_both(dask_client, ["X1"], x, y, pred, None, train, threshold=1.0)
    assert local.output is not None
    for compare_to in ("remaining", "full"):
        # PSI on uniform buckets depends on counts only: exactly the in-memory value.
        expected = local.get_distance(compare_to=compare_to).value
        actual = zone.get_distance(compare_to=compare_to).value
        assert actual["x"] == expected["x"]
        np.testing.assert_allclose(actual["y"], expected["y"], rtol=1e-12)
        for method, tolerance in (("KS", 0.01), ("WD1", 2e-3)):
            e = dict(zip(*[local.get_distance(distance_metric=method,
                                              compare_to=compare_to).value[k] for k in "xy"]))
            a = dict(zip(*[zone.get_distance(distance_metric=method,
                                             compare_to=compare_to).value[k] for k in "xy"]))
            for feature in set(a) & set(e):
                assert abs(a[feature] - e[feature]) <= tolerance
    shift = zone.get_shift("X1").value["data"]
    assert set(shift["resi_type_"]) == {"Remaining Regions", "Weak Regions"}
    weak = shift[shift["resi_type_"] == "Weak Regions"]["count"].sum()
    assert weak == local.get_shift("X1").value["data"]["resi_type_"].eq("Weak Regions").sum()


def test_estimator_predictions_are_mapped_over_partitions(dask_client):
    x, y, _, _, train = make_data(4)
    model = LinearRegression().fit(x, y)
    local = SagZone(model, ["X1"])
    local.fit(x, y, np.flatnonzero(train), np.flatnonzero(~train))
    zone = DaskSagZone(model, ["X1"], client=dask_client)
    zone.fit(chunked(x, 4), chunked(y, 4), chunked(train, 4), chunked(~train, 4))
    assert_same_table(local.output, zone.output)


@pytest.mark.parametrize("features", [["X1"], ["X0", "X1"]])
def test_nothing_but_sums_reaches_the_client(dask_client, features):
    x, y, pred, weights, train = make_data(5, n=20000)
    zone = DaskSagZone(None, features, task_type="regression", client=dask_client)
    with gather_limit(dask_client, limit=x.shape[0] // 10) as largest:
        zone.fit(chunked(x, 5), chunked(y, 5), chunked(train, 5), chunked(~train, 5),
                 prediction=chunked(pred, 5), sample_weight=chunked(weights, 5))
        zone.get_distance()
    assert zone.output is not None and 0 < largest[0] <= x.shape[0] // 10


def test_fit_refuses_what_needs_rows_in_memory():
    # Construction only stores the settings (as scikit-learn's estimators do); fit refuses them
    # before any work on the cluster.
    x = np.zeros((4, 2))
    for settings, message in (({"method": "tree"}, "tree method .* needs them in memory"),
                              ({"metric": "AUC"}, "needs the rows in memory"),
                              ({"method": "Tree"}, "either histogram or tree")):
        zone = DaskSagZone(None, ["X0"], task_type="regression", **settings)
        with pytest.raises(MovraError, match=message):
            zone.fit(x, x[:, 0], [0, 1], [2, 3])


def same_error(local_call, dask_call):
    with pytest.raises(MovraError) as expected:
        local_call()
    with pytest.raises(MovraError) as actual:
        dask_call()
    assert str(actual.value) == str(expected.value)


def test_bad_input_gets_the_in_memory_errors(dask_client):
    x, y, pred, weights, train = make_data(6, n=400)
    tr, te = np.flatnonzero(train), np.flatnonzero(~train)

    def both(x=x, y=y, weights=None, features=("X0",)):
        local = SagZone(None, list(features), task_type="regression")
        zone = DaskSagZone(None, list(features), task_type="regression", client=dask_client)
        return (lambda: local.fit(x, y, tr, te, prediction=pred, sample_weight=weights),
                lambda: zone.fit(chunked(x, 0), chunked(y, 0), train, ~train,
                                 prediction=chunked(pred, 0),
                                 sample_weight=None if weights is None else chunked(weights, 0)))

    inf_x = x.copy()
    inf_x[17, 0] = -np.inf
    same_error(*both(x=inf_x))
    nan_second = x.copy()
    nan_second[5, 1] = np.inf
    same_error(*both(x=nan_second, features=("X0", "X0", "X1")))  # the repeat is searched once
    same_error(*both(y=y[:-1]))
    negative = weights.copy()
    negative[3] = -1.0
    same_error(*both(weights=negative))
    same_error(*both(features=("X9",)))


def test_pickles_without_its_client_and_reads_a_split_mask_of_a_frame(dask_client):
    import pickle

    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    x, y, pred, _, train = make_data(8, n=3000)
    frame = dd.from_pandas(pd.DataFrame({"split": np.where(train, "train", "test")}),
                           npartitions=3)
    local, _ = fit_both(dask_client, ["X1"], x, y, pred, None, train, threshold=1.0)
    zone = DaskSagZone(None, ["X1"], task_type="regression", threshold=1.0, client=dask_client)
    # String columns compare to pyarrow booleans on recent pandas: accepted as masks.
    zone.fit(chunked(x, 3, parts=3), chunked(y, 3, parts=3), frame["split"] == "train",
             frame["split"] == "test", prediction=chunked(pred, 3, parts=3))
    assert_same_table(local.output, zone.output)
    restored = pickle.loads(pickle.dumps(zone))
    assert restored.client is None
    assert_same_table(local.output, restored.output)
    np.testing.assert_array_equal(restored.get_target_idx().compute(), local.get_target_idx())
    assert restored.get_distance().value["x"] == local.get_distance().value["x"]
