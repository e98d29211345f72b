"""DaskSagZone on a LocalCluster against SagZone on the same rows: same regions, counts and
metrics, whatever the partitioning, on numbers and on frames of categories, text and missing
values; nothing but sums reaches the client; the same errors."""

import math

import numpy as np
import pandas as pd
import pytest

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")

from conftest import gather_limit  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402

from movra import _kernels  # noqa: E402
from movra.dask import DaskSagZone  # noqa: E402
from movra.diagnoser.utils import psi_edges  # noqa: E402
from movra.diagnoser.sagzone import SagZone  # noqa: E402
from movra.exceptions import MovraError  # noqa: E402
from movra.utils import MISSING  # noqa: E402


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
        if e.dtype == object:
            assert list(a) == list(e)  # sets of labels, missing rows
        elif name.startswith("#") or name.startswith("[") or name.endswith(")"):
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


# ---- frames: categories, text, booleans, nullable numbers and missing values ----

def make_frame(seed, n=4000):
    rng = np.random.default_rng(seed)
    num = rng.uniform(size=n)
    gap = np.where(rng.uniform(size=n) < 0.1, np.nan, rng.uniform(size=n))
    cat = rng.choice(list("abcdefg"), size=n, p=[.3, .2, .2, .1, .1, .09, .01])
    txt = rng.choice(["kiosk", "phone", "web", None], size=n, p=[.3, .3, .35, .05])
    ints = pd.array(np.where(rng.uniform(size=n) < 0.05, None, rng.integers(0, 5, size=n)),
                    dtype="Int64")
    frame = pd.DataFrame({"num": num, "gap": gap, "cat": pd.Categorical(cat), "txt": txt,
                          "flag": rng.uniform(size=n) < 0.3, "ints": ints})
    weak = (cat == "b") | np.isnan(gap) | ((txt == "phone") & (num > 0.5))
    y = rng.normal(scale=np.where(weak, 2.0, 0.5), size=n)
    return frame, y, rng.uniform(size=n) < 0.7, rng.uniform(0.0, 2.0, size=n)


def same_records(actual, expected):
    """Records equal, NaN equal to NaN and numbers to within rounding."""
    if isinstance(expected, dict):
        return actual.keys() == expected.keys() and all(
            same_records(actual[k], expected[k]) for k in expected)
    if isinstance(expected, (list, tuple)):
        return len(actual) == len(expected) and all(map(same_records, actual, expected))
    if isinstance(expected, float):
        return (math.isnan(expected) and math.isnan(actual)) or math.isclose(
            actual, expected, rel_tol=1e-9, abs_tol=1e-12)
    return actual == expected


def fit_frames(client, features, frame, y, train, weights, parts=3, fit=None, **params):
    """DaskSagZone on the frame in `parts` partitions (text categorized), SagZone on the same
    frame in memory."""
    dframe = dd.from_pandas(frame, npartitions=parts).categorize(columns=["txt"])
    local = SagZone(None, features, task_type="regression", **params)
    local.fit(dframe.compute(), y, np.flatnonzero(train), np.flatnonzero(~train),
              prediction=np.zeros_like(y), sample_weight=weights, **(fit or {}))
    zone = DaskSagZone(None, features, task_type="regression", client=client, **params)
    zone.fit(dframe, y, train, ~train, prediction=np.zeros_like(y), sample_weight=weights,
             **(fit or {}))
    return local, zone


def assert_same_search(local, zone):
    assert_same_table(local.output, zone.output)
    for name in ("weak_region", "rule_list", "bin_stats"):
        assert same_records(getattr(zone.diag, name, None), getattr(local.diag, name, None))
    np.testing.assert_array_equal(zone.diag.bins1d, local.diag.bins1d)
    if local.output is not None:
        np.testing.assert_array_equal(zone.get_target_idx().compute(), local.get_target_idx())



@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("features", [["cat"], ["gap"], ["txt", "num"], ["gap", "cat"],
                                      ["cat", "txt"], ["num", "gap"], ["flag", "ints"]])
def test_frames_give_the_in_memory_table(dask_client, seed, features):
    frame, y, train, weights = make_frame(seed)
    local, zone = fit_frames(dask_client, features, frame, y, train, weights if seed else None,
                             parts=2 + seed, threshold=1.05, min_samples=20 + 200 * seed,
                             use_test=seed == 1)
    assert local.output is not None or seed == 1
    assert_same_search(local, zone)
    assert [None if v is None else list(v) for v in zone.category_labels] == \
        [None if v is None else list(v) for v in local.category_labels]


def test_ties_missing_splits_and_numbers_made_categorical(dask_client):
    frame, y, train, _ = make_frame(3, n=28 * 144)
    # Every category and the missing rows at the threshold value exactly (a quarter of each in
    # every block of 28 rows scores 4, the others 1): judged on exact sums, the categories as
    # one group of small ones.
    i = np.arange(len(y))
    frame["cat"] = pd.Categorical(np.array(list("abcdefg"))[i % 7])
    frame["gap"] = np.where(np.isin(i % 28, [0, 8, 16, 24]), np.nan, frame["num"])
    tied, blocks = np.where(i % 28 < 7, 2.0, 1.0), (i // 28) % 3 > 0
    for features in (["cat"], ["gap"]):
        local, zone = fit_frames(dask_client, features, frame, tied, blocks, None, threshold=1.0,
                                 min_samples=600)
        assert zone.diag.near_ties_ > 0
        assert_same_search(local, zone)
    # A feature without values in the searched split: its missing rows alone.
    frame.loc[train, "gap"] = np.nan
    assert_same_search(*fit_frames(dask_client, ["gap", "cat"], frame, y, train, None,
                                   threshold=1.0, min_samples=5))
    types = ["categorical", "numerical", "categorical", "categorical", "categorical",
             "categorical"]
    frame["num"] = np.round(frame["num"] * 4)
    local, zone = fit_frames(dask_client, ["ints", "num"], frame, y, train, None,
                             fit={"feature_types": types}, threshold=1.0)
    assert_same_search(local, zone)
    np.testing.assert_array_equal(zone.category_labels[0], [0.0, 1.0, 2.0, 3.0, 4.0])
    x = frame[["num", "gap"]].to_numpy()
    local = SagZone(None, ["X0"], task_type="regression", threshold=1.0)
    local.fit(x, y, np.flatnonzero(train), np.flatnonzero(~train), prediction=0 * y,
              feature_types=types[:2])
    zone = DaskSagZone(None, ["X0"], task_type="regression", threshold=1.0, client=dask_client)
    zone.fit(chunked(x, 3), y, train, ~train, prediction=0 * y, feature_types=types[:2])
    assert_same_search(local, zone)


def test_categorical_distances_and_shift_count_categories(dask_client):
    frame, y, train, _ = make_frame(4)
    local, zone = fit_frames(dask_client, ["cat"], frame, y, train, None, threshold=1.1)
    rows = frame.iloc[np.flatnonzero(train)]
    weak = np.zeros(len(rows), dtype=bool)
    weak[local.get_target_idx()] = True
    result = zone.get_distance()
    distances = dict(zip(result.value["x"], result.value["y"]))
    for name in ("cat", "txt", "flag"):
        codes = rows[name].astype("category").cat.codes.to_numpy() + 1  # missing: 0
        e, a = (np.maximum(c / c.sum(), 1e-4) for c in (
            np.bincount(codes[w], minlength=codes.max() + 1) for w in (~weak, weak)))
        assert distances[name] == pytest.approx(np.sum((e - a) * np.log(e / a)), abs=1e-4)
    # A numerical feature: buckets over the reference's values, its missing values one more.
    gap = rows["gap"].to_numpy()
    inner = psi_edges(np.nanmin(gap[~weak]), np.nanmax(gap[~weak]))[1:-1]
    e, a = (np.append(np.bincount(np.searchsorted(inner, v[~np.isnan(v)], side="right"),
                                  minlength=len(inner) + 1), np.isnan(v).sum())
            for v in (gap[~weak], gap[weak]))
    assert distances["gap"] == pytest.approx(_kernels.population_stability(e, a), abs=1e-4)
    for method in ("WD1", "KS"):
        result = zone.get_distance(distance_metric=method).value
        assert np.isnan(dict(zip(result["x"], result["y"]))["cat"])
    shift = zone.get_shift("txt").value["data"]
    counts = rows["txt"][weak].value_counts(dropna=False)
    weak_rows = shift[shift["resi_type_"] == "Weak Regions"].set_index("category")["count"]
    assert weak_rows.sum() == weak.sum()
    for label, count in counts.items():
        assert weak_rows[MISSING if pd.isna(label) else label] == count


def test_text_class_labels_and_the_model_on_the_frame(dask_client):
    from sklearn.compose import make_column_transformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import make_pipeline
    from sklearn.tree import DecisionTreeClassifier

    frame, y, train, _ = make_frame(5)
    labels = np.where(y + frame["num"] > 0.6, "malignant", "benign")
    model = make_pipeline(make_column_transformer((SimpleImputer(), ["num", "gap"])),
                          DecisionTreeClassifier(max_depth=3, random_state=0)).fit(frame, labels)
    dframe = dd.from_pandas(frame, npartitions=3).categorize(columns=["txt"])
    for metric in ("ACC", "LogLoss"):
        local = SagZone(model, ["cat", "gap"], metric=metric, threshold=1.05)
        local.fit(dframe.compute(), labels, np.flatnonzero(train), np.flatnonzero(~train))
        zone = DaskSagZone(model, ["cat", "gap"], metric=metric, threshold=1.05,
                           client=dask_client)
        zone.fit(dframe, dd.from_pandas(pd.Series(labels), npartitions=2), train, ~train)
        assert list(zone.classes) == ["benign", "malignant"]
        assert_same_search(local, zone)


def test_unknown_categories_are_refused(dask_client):
    frame, y, train, _ = make_frame(6, n=200)
    dframe = dd.from_pandas(frame, npartitions=2)
    zone = DaskSagZone(None, ["num"], task_type="regression", client=dask_client)
    for x, column in ((dframe, "txt"), (dframe.categorize(columns=["txt"]).assign(
            cat=dframe["num"].round(1).astype("category")), "cat")):
        with pytest.raises(MovraError, match=r"call x = x.categorize\(columns=\['%s'\]\)"
                           % column):
            zone.fit(x, y, train, ~train, prediction=y)
