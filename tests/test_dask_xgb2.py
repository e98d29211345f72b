"""DaskXGB2Regressor and DaskXGB2Classifier on a LocalCluster: effects exact, pure and equal to
the in-memory decomposition of the same booster, predictions equal the booster's, only counts
reach the client, and bad input gets the in-memory errors."""

import inspect
import pickle
import warnings

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")

import xgboost as xgb  # noqa: E402
from conftest import gather_limit  # noqa: E402

from movra import _kernels  # noqa: E402
from movra.dask import DaskXGB2Classifier, DaskXGB2Regressor  # noqa: E402
from movra.dask.xgb2 import DaskXGB2Mixin  # noqa: E402
from movra.exceptions import MovraError  # noqa: E402
from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree  # noqa: E402
from movra.models.xgb2.interpret import XGBInterpreter, base_margin, read_trees  # noqa: E402
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor  # noqa: E402


def make_data(seed, n=8000):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 4))
    y = np.sin(6 * x[:, 0]) + 2 * x[:, 1] * x[:, 2] + rng.normal(scale=0.1, size=n)
    return x, y


def chunked(values, parts=3):
    n = values.shape[0]
    rows = (n // parts,) * (parts - 1) + (n - (parts - 1) * (n // parts),)
    return da.from_array(values, chunks=(rows,) + values.shape[1:])


def sum_of_effects(model, x):
    total = np.full(x.shape[0], model.intercept_)
    for item in model.effects_["1D"]:
        total += predict_1D_func_tree(x, item["values"], item["fidx"])
    for item in model.effects_["2D"]:
        total += predict_2D_func_tree(x, item["values"], item["fidx"])
    return total


@pytest.fixture(scope="module")
def fitted(dask_client):
    x, y = make_data(0)
    model = DaskXGB2Regressor(n_estimators=25, eta=0.2, mono_increasing_list=("X1",),
                              client=dask_client).fit(chunked(x), chunked(y))
    model.parse_model()
    return model, x, y


def test_effects_are_exact_pure_and_those_of_the_rows(fitted):
    model, x, _ = fitted
    booster = model.estimator_.get_booster()
    trees = read_trees(booster)
    margin = _kernels.tree_margins(trees, base_margin(booster), x)
    np.testing.assert_allclose(sum_of_effects(model, x), margin, rtol=1e-9, atol=1e-9)
    # The decomposition from the partitions' counts is the one from the rows themselves.
    local = XGBInterpreter(booster, feature_names=model.feature_names_).fit(x)
    assert local.intercept_ == pytest.approx(model.intercept_, rel=1e-12)
    for kind in ("1D", "2D"):
        assert [i["fidx"] for i in local.effects_[kind]] == [i["fidx"] for i in
                                                            model.effects_[kind]]
        for a, b in zip(local.effects_[kind], model.effects_[kind]):
            np.testing.assert_array_equal(a["values"]["levels"], b["values"]["levels"])
            assert a["importance"] == b["importance"]
    # Pure: each main effect has mean zero over the training rows; identifiable: each
    # interaction's means along each axis vanish under the product of the marginals.
    for item in model.effects_["1D"]:
        assert abs(np.mean(predict_1D_func_tree(x, item["values"], item["fidx"]))) < 1e-9
    for item in model.effects_["2D"]:
        levels = item["values"]["levels"]
        a, b = item["fidx"]
        sa, sb = item["values"]["split_points"]
        pa = np.bincount(np.searchsorted(sa, x[:, a].astype(np.float32), side="right"),
                         minlength=levels.shape[0])
        pb = np.bincount(np.searchsorted(sb, x[:, b].astype(np.float32), side="right"),
                         minlength=levels.shape[1])
        np.testing.assert_allclose(levels @ pb / pb.sum(), 0, atol=1e-9)
        np.testing.assert_allclose(pa @ levels / pa.sum(), 0, atol=1e-9)


def test_predictions_are_the_boosters(fitted):
    model, x, _ = fitted
    booster = model.estimator_.get_booster()
    predicted = model.predict(chunked(x))
    assert isinstance(predicted, da.Array)
    np.testing.assert_array_equal(predicted.compute(), booster.predict(xgb.DMatrix(x)))
    np.testing.assert_array_equal(model.partial_dependence((0,), chunked(x)).compute(),
                                  model.partial_dependence((0,), x))


def test_to_local_is_the_same_model(fitted):
    model, x, _ = fitted
    local = pickle.loads(pickle.dumps(model.to_local(sample_rows=500)))
    assert isinstance(local, XGB2Regressor) and local.X_.shape[0] <= 500
    assert local.get_params() == {k: v for k, v in model.get_params().items() if k != "client"}
    np.testing.assert_array_equal(local.predict(x), model.predict(chunked(x)).compute())
    np.testing.assert_array_equal(sum_of_effects(local, x), sum_of_effects(model, x))
    assert local.fanova_.importances_ == model.fanova_.importances_
    local.plot_effect("X0")  # the figures use the effects as they are (no new parse)
    assert local.effects_ is local.unp_.effects_ and local.intercept_ == model.intercept_


def test_the_in_memory_classes_with_a_client(fitted):
    for cls, local in ((DaskXGB2Regressor, XGB2Regressor), (DaskXGB2Classifier, XGB2Classifier)):
        assert cls.__bases__ == (DaskXGB2Mixin, local)
        assert list(inspect.signature(cls).parameters) == [
            *inspect.signature(local).parameters, "client"]
        assert cls(3, eta=0.1).get_params() == dict(local(3, eta=0.1).get_params(), client=None)
        assert "max_bin : int, default=256" in cls.__doc__ and "\nclient : " in cls.__doc__
    model, x, _ = fitted
    twin = pickle.loads(pickle.dumps(model))  # without its client, fitted state intact
    assert twin.client is None and model.client is not None
    np.testing.assert_array_equal(twin.predict(chunked(x)).compute(),
                                  model.predict(chunked(x)).compute())
    assert twin.fanova_.importances_ == model.fanova_.importances_
    twin.plot_importance()  # from the effects alone
    with pytest.raises(MovraError, match="to_local"):
        twin.plot_effect("X0")  # would need the rows


def test_classifier(dask_client):
    x, y = make_data(1, n=4000)
    labels = np.where(y > 0.4, "yes", "no")
    model = DaskXGB2Classifier(n_estimators=15, client=dask_client).fit(chunked(x),
                                                                       chunked(labels))
    assert list(model.classes_) == ["no", "yes"]
    model.parse_model()
    local = model.to_local()
    assert isinstance(local, XGB2Classifier)
    np.testing.assert_array_equal(model.predict(chunked(x)).compute(), local.predict(x))
    np.testing.assert_array_equal(model.decision_function(chunked(x)).compute(),
                                  local.decision_function(x))
    np.testing.assert_allclose(sum_of_effects(model, x), local.decision_function(x),
                               atol=1e-5)  # clipped log-odds of float32 probabilities


def test_only_counts_reach_the_client(dask_client):
    x, y = make_data(2, n=40000)
    weights = np.random.default_rng(2).uniform(0, 2, size=x.shape[0])
    weights[::7] = 0.0
    limit = x.shape[0] // 10
    with gather_limit(dask_client, limit) as largest:
        model = DaskXGB2Regressor(n_estimators=10, client=dask_client)
        model.fit(chunked(x, 4), chunked(y, 4), sample_weight=chunked(weights, 4))
        model.parse_model()
        DaskXGB2Classifier(n_estimators=5, client=dask_client).fit(chunked(x, 4),
                                                                   chunked(y > 0.4, 4))
    assert 0 < largest[0] <= limit
    assert model.n_rows_ == np.count_nonzero(weights)


def errors_of(call):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call()
    except ValueError as error:
        return str(error)
    raise AssertionError("no error")


def test_missing_values_are_accepted_as_in_memory(dask_client):
    x, y = make_data(3, n=300)
    x[5, 2] = x[40, 0] = np.nan
    XGB2Regressor(n_estimators=5).fit(x, y)
    remote = DaskXGB2Regressor(n_estimators=5, client=dask_client).fit(chunked(x), chunked(y))
    remote.parse_model()
    booster = remote.estimator_.get_booster()
    margin = _kernels.tree_margins(read_trees(booster), base_margin(booster), x)
    np.testing.assert_allclose(sum_of_effects(remote, x), margin, rtol=1e-9, atol=1e-9)
    assert all(item["counts"][-1] > 0 for item in remote.effects_["1D"]
               if item["fidx"] in ((0,), (2,)))


@pytest.mark.parametrize("case", ["inf_x", "nan_y", "length", "weights_length",
                                  "nan_x_weights_length", "weights_zero", "weights_nan",
                                  "one_row", "three_classes", "one_class"])
def test_bad_input_gets_the_in_memory_errors(dask_client, case):
    x, y = make_data(3, n=300)
    w = None
    classifier = case in ("three_classes", "one_class")
    if case.startswith("nan_x"):
        x[5, 2] = np.nan
    elif case == "inf_x":
        x[5, 2] = np.inf
    elif case == "nan_y":
        y[9] = np.nan
    elif case == "length":
        y = y[:-3]
    elif case == "weights_zero":
        w = np.zeros(x.shape[0])
    elif case == "weights_nan":
        w = np.ones(x.shape[0])
        w[4] = np.nan
    elif case == "one_row":
        w = np.zeros(x.shape[0])
        w[10] = 1.0
    elif case == "three_classes":
        y = np.arange(x.shape[0]) % 3
    elif case == "one_class":
        y = np.ones(x.shape[0])
    if case.endswith("weights_length"):
        w = np.ones(x.shape[0] - 1)
    local = (XGB2Classifier if classifier else XGB2Regressor)(n_estimators=2)
    remote = (DaskXGB2Classifier if classifier else DaskXGB2Regressor)(n_estimators=2,
                                                                       client=dask_client)
    expected = errors_of(lambda: local.fit(x, y, sample_weight=w))
    actual = errors_of(lambda: remote.fit(chunked(x), chunked(y),
                                          sample_weight=None if w is None else chunked(w)))
    assert actual == expected.replace(type(local).__name__, type(remote).__name__)


def test_frames_with_known_categories_and_missing_values(dask_client):
    import dask.dataframe as dd
    import pandas as pd

    x, y = make_data(5, n=1200)
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"a": x[:, 0], "b": x[:, 1],
                          "cut": pd.Categorical(rng.choice(["Fair", "Good", "Ideal"], len(y))),
                          "flag": x[:, 2] > 0.5})
    frame.loc[::11, "cut"] = np.nan
    frame.loc[::13, "a"] = np.nan
    y = y + (frame["cut"] == "Ideal").to_numpy()
    remote = DaskXGB2Regressor(n_estimators=10, client=dask_client).fit(
        dd.from_pandas(frame, npartitions=3), dd.from_array(y, chunksize=400))
    assert remote.feature_names_ == ["a", "b", "cut", "flag"]
    assert remote.categories_ == [None, None, ["Fair", "Good", "Ideal"], [False, True]]
    remote.parse_model()
    local = remote.to_local()
    codes = local._encode_features(frame).to_numpy(dtype=float)
    booster = remote.estimator_.get_booster()
    margin = _kernels.tree_margins(read_trees(booster), base_margin(booster), codes)
    np.testing.assert_allclose(sum_of_effects(remote, codes), margin, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(
        remote.predict(dd.from_pandas(frame, npartitions=2)).compute(), local.predict(frame))
    (cut,) = [i for i in remote.effects_["1D"] if i["fidx"] == (2,)]
    assert cut["values"]["categories"] == ["Fair", "Good", "Ideal"] and cut["counts"][-1] > 0
    text = dd.from_pandas(frame.astype({"cut": object}), npartitions=3)
    with pytest.raises(ValueError, match=r"X.categorize\(columns=\['cut'\]\)"):
        DaskXGB2Regressor(n_estimators=2, client=dask_client).fit(text, y)
