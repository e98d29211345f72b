"""Functional-ANOVA decomposition of depth-2 ensembles: exactness, purity, identifiability,
monotonicity, and the estimator's parse_model / partial_dependence / _base_extract_rules."""

import json

import numpy as np
import pytest
import xgboost as xgb
from sklearn.exceptions import NotFittedError

from movra.models.interpreter import FANOVAInterpreter
from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree
from movra.models.xgb2.interpret import XGBInterpreter, _base_score
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


# ---- plain references ------------------------------------------------------------------------

def reference_margin(booster, X):
    """Base margin plus the leaf each row reaches in every tree, read from trees_to_dataframe and
    walked as XGBoost does: float32(x) < float32 split goes to "Yes", NaN to "Missing"."""
    learner = json.loads(booster.save_config())["learner"]
    score = float(np.float32(_base_score(learner["learner_model_param"]["base_score"])))
    objective = learner["objective"]["name"]
    margin = np.log(score / (1 - score)) if objective == "binary:logistic" else score
    df = booster.trees_to_dataframe()
    names = booster.feature_names or ["f%d" % i for i in range(X.shape[1])]
    col = {n: i for i, n in enumerate(names)}
    x32 = X.astype(np.float32)
    rows = np.arange(X.shape[0])
    total = np.full(X.shape[0], margin, dtype=np.float64)
    node_of = lambda ids: np.array([int(str(i).split("-")[1]) for i in ids])  # "3-5" -> 5
    for _, tree in df.groupby("Tree"):
        size = tree.Node.max() + 1
        feature = np.full(size, -1)
        split, value = np.zeros(size, np.float32), np.zeros(size)
        yes, no, missing = np.zeros(size, int), np.zeros(size, int), np.zeros(size, int)
        inner = tree[tree.Feature != "Leaf"]
        leaves = tree[tree.Feature == "Leaf"]
        feature[inner.Node] = [col[f] for f in inner.Feature]
        split[inner.Node] = inner.Split.astype(np.float32)
        yes[inner.Node], no[inner.Node] = node_of(inner.Yes), node_of(inner.No)
        missing[inner.Node] = node_of(inner.Missing)
        value[leaves.Node] = leaves.Gain.astype(np.float32).astype(np.float64)
        at = np.zeros(X.shape[0], dtype=int)
        for _ in range(size):
            go = feature[at] >= 0
            if not go.any():
                break
            v = x32[rows, np.maximum(feature[at], 0)]
            nxt = np.where(np.isnan(v), missing[at], np.where(v < split[at], yes[at], no[at]))
            at = np.where(go, nxt, at)
        total += value[at]
    return total


def effects_sum(effects, intercept, X):
    total = np.full(X.shape[0], intercept)
    for item in effects["1D"]:
        total += predict_1D_func_tree(X, item["values"], item["fidx"])
    for item in effects["2D"]:
        total += predict_2D_func_tree(X, item["values"], item["fidx"])
    return total


def bins(x, split_points):
    v = x.astype(np.float32).astype(np.float64)
    return np.where(np.isnan(x), len(split_points) + 1,
                    np.searchsorted(split_points, v, side="right"))


def make_data(seed, n=600, p=5, nan_rate=0.0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    y = 3.0 + 2 * X[:, 0] + X[:, 1] * X[:, 2] + np.sin(2 * X[:, 3]) + 0.3 * rng.normal(size=n)
    if nan_rate:
        X[rng.random(X.shape) < nan_rate] = np.nan
    return rng, X, y


def probe_rows(rng, X):
    """Training rows, new rows, rows far outside the training range, rows with missing values."""
    new = rng.normal(size=(200, X.shape[1]))
    far = rng.normal(size=(50, X.shape[1])) * 20
    holes = rng.normal(size=(100, X.shape[1]))
    holes[rng.random(holes.shape) < 0.3] = np.nan
    return np.vstack([X, new, far, holes, np.full((1, X.shape[1]), np.nan)])


# ---- exactness -------------------------------------------------------------------------------

CASES = [
    # (estimator kind, monotone, NaN in training data, true_to_data)
    ("regressor", False, False, False),
    ("regressor", True, True, False),
    ("regressor", False, True, True),
    ("classifier", False, False, False),
    ("classifier", True, True, True),
]


def fit_case(kind, monotone, nan_rate, seed, n_estimators=60):
    """The package's estimator; plain XGBoost with the same settings when the training data has
    missing values (the estimator's input validation refuses them)."""
    rng, X, y = make_data(seed, nan_rate=nan_rate)
    if kind == "classifier":
        y = (y > np.median(y) + 0.5).astype(int)  # imbalanced: base score away from 0.5
    if nan_rate:
        cls = xgb.XGBRegressor if kind == "regressor" else xgb.XGBClassifier
        model = cls(max_depth=2, n_estimators=n_estimators, reg_lambda=0,
                    monotone_constraints="(%d,0,0,0,0)" % int(monotone)).fit(X, y)
        return rng, X, model
    mono = ("X0",) if monotone else ()
    cls = XGB2Regressor if kind == "regressor" else XGB2Classifier
    est = cls(n_estimators=n_estimators, mono_increasing_list=mono).fit(X, y)
    return rng, X, est.estimator_


def fit_estimator(kind, seed, n_estimators=60):
    rng, X, y = make_data(seed)
    if kind == "classifier":
        y = (y > np.median(y) + 0.5).astype(int)
    cls = XGB2Regressor if kind == "regressor" else XGB2Classifier
    return rng, X, cls(n_estimators=n_estimators).fit(X, y)


# XGBoost fits the base score to the data from 2.0 on; 1.7 starts every model from base_score
# 0.5, which the logistic objective turns into a margin of 0.
XGBOOST_FITS_BASE_SCORE = tuple(int(p) for p in xgb.__version__.split(".")[:2]) >= (2, 0)


@pytest.mark.parametrize("kind, monotone, with_nan, true_to_data", CASES)
def test_effects_sum_to_the_margin(kind, monotone, with_nan, true_to_data):
    rng, X, model = fit_case(kind, monotone, 0.1 if with_nan else 0.0, seed=len(kind) + monotone)
    interp = XGBInterpreter(model, true_to_data=true_to_data).fit(X)
    rows = probe_rows(rng, X)
    total = effects_sum(interp.effects_, interp.intercept_, rows)
    booster = model.get_booster()
    if kind == "classifier" and not XGBOOST_FITS_BASE_SCORE:
        assert interp.base_margin_ == 0.0
    else:
        assert interp.base_margin_ != 0.0
    np.testing.assert_allclose(total, reference_margin(booster, rows), rtol=1e-9, atol=1e-12)
    raw = booster.predict(xgb.DMatrix(rows), output_margin=True)
    np.testing.assert_allclose(total, raw, rtol=1e-5, atol=2e-5)


def test_without_purification_the_sums_are_raw_and_still_exact():
    rng, X, model = fit_case("regressor", False, 0.1, seed=3)
    interp = XGBInterpreter(model, purification=False).fit(X)
    rows = probe_rows(rng, X)
    np.testing.assert_allclose(effects_sum(interp.effects_, interp.intercept_, rows),
                               reference_margin(model.get_booster(), rows),
                               rtol=1e-9, atol=1e-12)
    # Raw sums are not centred: some effect has a clearly non-zero mean over the data.
    means = [abs(predict_1D_func_tree(X, it["values"], it["fidx"]).mean())
             for it in interp.effects_["1D"]]
    assert max(means) > 1e-3


def test_three_feature_trees_and_plain_boosters():
    # Without interaction limits a depth-2 tree may test three features (root, two children).
    rng = np.random.default_rng(8)
    X = rng.normal(size=(800, 6))
    y = X[:, 0] * X[:, 1] - X[:, 0] * X[:, 2] + X[:, 3]
    model = xgb.XGBRegressor(max_depth=2, n_estimators=40, base_score=1.5).fit(X, y)
    booster = model.get_booster()
    interp = XGBInterpreter(booster).fit(X)
    rows = probe_rows(rng, X)
    np.testing.assert_allclose(effects_sum(interp.effects_, interp.intercept_, rows),
                               reference_margin(booster, rows), rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("base_score", [0.2, 0.9])
def test_logistic_base_score_is_a_logit(base_score):
    # Given explicitly, so that every XGBoost release starts from a non-zero margin.
    rng, X, y = make_data(12)
    model = xgb.XGBClassifier(max_depth=2, n_estimators=30, base_score=base_score)
    model.fit(X, (y > np.median(y)).astype(int))
    interp = XGBInterpreter(model).fit(X)
    score = float(np.float32(base_score))
    assert interp.base_margin_ == pytest.approx(np.log(score / (1 - score)), rel=1e-12)
    rows = probe_rows(rng, X)
    raw = model.get_booster().predict(xgb.DMatrix(rows), output_margin=True)
    np.testing.assert_allclose(effects_sum(interp.effects_, interp.intercept_, rows), raw,
                               rtol=1e-5, atol=2e-5)


# ---- purity ----------------------------------------------------------------------------------

@pytest.mark.parametrize("true_to_data", [False, True])
def test_purity_under_the_purification_density(true_to_data):
    rng, X, model = fit_case("regressor", False, 0.05, seed=21, n_estimators=80)
    interp = XGBInterpreter(model, true_to_data=true_to_data).fit(X)
    assert interp.effects_["2D"], "the data set should yield interactions"
    for item in interp.effects_["1D"]:
        assert abs(predict_1D_func_tree(X, item["values"], item["fidx"]).mean()) < 1e-9
    for item in interp.effects_["2D"]:
        (sa, sb), levels = item["values"]["split_points"], item["values"]["levels"]
        a, b = item["fidx"]
        ba, bb = bins(X[:, a], sa), bins(X[:, b], sb)
        joint = np.zeros(levels.shape)
        np.add.at(joint, (ba, bb), 1.0)
        if not true_to_data:
            joint = np.outer(joint.sum(axis=1), joint.sum(axis=0))
        rows_mass, cols_mass = joint.sum(axis=1), joint.sum(axis=0)
        row_means = (joint * levels).sum(axis=1)[rows_mass > 0] / rows_mass[rows_mass > 0]
        col_means = (joint * levels).sum(axis=0)[cols_mass > 0] / cols_mass[cols_mass > 0]
        scale = max(1.0, np.abs(levels).max())
        assert np.abs(row_means).max() < 1e-9 * scale
        assert np.abs(col_means).max() < 1e-9 * scale
    if true_to_data:
        assert all(r["converged"] for r in interp.purification_)


# ---- identifiability -------------------------------------------------------------------------

def rewritten_booster(booster, edit):
    """A booster whose JSON trees list went through edit(trees) -> trees."""
    model = json.loads(booster.save_raw("json"))
    gb = model["learner"]["gradient_booster"]["model"]
    trees = edit(gb["trees"])
    for i, t in enumerate(trees):
        t["id"] = i
    gb["trees"] = trees
    gb["tree_info"] = [0] * len(trees)
    if "iteration_indptr" in gb:
        gb["iteration_indptr"] = list(range(len(trees) + 1))
    gb["gbtree_model_param"]["num_trees"] = str(len(trees))
    out = xgb.Booster()
    out.load_model(bytearray(json.dumps(model).encode()))
    return out


def halved_twice(trees):
    out = []
    for t in trees:
        half = json.loads(json.dumps(t))
        half["split_conditions"] = [c / 2 if l == -1 else c
                                    for c, l in zip(t["split_conditions"], t["left_children"])]
        out += [half, json.loads(json.dumps(half))]
    return out


@pytest.mark.parametrize("edit", [lambda ts: ts[::-1], halved_twice],
                         ids=["reversed", "halved-twice"])
@pytest.mark.parametrize("true_to_data", [False, True])
def test_same_function_gives_same_effects(edit, true_to_data):
    rng, X, model = fit_case("regressor", False, 0.05, seed=5)
    booster = model.get_booster()
    other = rewritten_booster(booster, edit)
    rows = probe_rows(rng, X)
    np.testing.assert_allclose(other.predict(xgb.DMatrix(rows), output_margin=True),
                               booster.predict(xgb.DMatrix(rows), output_margin=True),
                               rtol=1e-5, atol=1e-5)
    one = XGBInterpreter(booster, true_to_data=true_to_data).fit(X)
    two = XGBInterpreter(other, true_to_data=true_to_data).fit(X)
    assert one.intercept_ == pytest.approx(two.intercept_, rel=1e-9, abs=1e-12)
    for kind, predict in (("1D", predict_1D_func_tree), ("2D", predict_2D_func_tree)):
        assert [i["fidx"] for i in one.effects_[kind]] == [i["fidx"] for i in two.effects_[kind]]
        for a, b in zip(one.effects_[kind], two.effects_[kind]):
            np.testing.assert_allclose(predict(rows, a["values"], a["fidx"]),
                                       predict(rows, b["values"], b["fidx"]),
                                       rtol=1e-9, atol=1e-11)


# ---- monotone constraints --------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(3))
def test_increasing_feature_without_interactions_has_non_decreasing_effect(seed):
    rng, X, y = make_data(seed)
    y = y - 3 * np.sin(3 * X[:, 0])  # fights the constraint
    model = xgb.XGBRegressor(max_depth=2, n_estimators=60, monotone_constraints="(1,0,0,0,0)",
                             interaction_constraints="[[0], [1, 2, 3, 4]]").fit(X, y)
    interp = XGBInterpreter(model).fit(X)
    assert all(0 not in item["fidx"] for item in interp.effects_["2D"])
    (main0,) = [item for item in interp.effects_["1D"] if item["fidx"] == (0,)]
    levels = main0["values"]["levels"][:-1]  # the last level is for missing values
    assert np.all(np.diff(levels) >= -1e-12)
    assert levels[-1] > levels[0]


def test_increasing_feature_in_the_estimator():
    # One feature: no interaction can form, so the main effect carries the whole constraint.
    rng = np.random.default_rng(4)
    X = rng.normal(size=(500, 1))
    y = 2 * X[:, 0] - 3 * np.sin(3 * X[:, 0]) + 0.2 * rng.normal(size=500)
    est = XGB2Regressor(n_estimators=50, mono_increasing_list=("X0",)).fit(X, y)
    est.parse_model()
    assert est.effects_["2D"] == []
    (main0,) = est.effects_["1D"]
    levels = main0["values"]["levels"][:-1]
    assert np.all(np.diff(levels) >= -1e-12)
    assert levels[-1] > levels[0]


# ---- importances -----------------------------------------------------------------------------

def test_importances_are_variances_over_the_data_sorted_with_shares():
    rng, X, model = fit_case("regressor", False, 0.05, seed=9)
    interp = XGBInterpreter(model).fit(X)
    for kind, predict in (("1D", predict_1D_func_tree), ("2D", predict_2D_func_tree)):
        for item in interp.effects_[kind]:
            values = predict(X, item["values"], item["fidx"])
            assert item["importance"] == pytest.approx(np.var(values), rel=1e-9, abs=1e-15)
    given = FANOVAInterpreter(interp.effects_, interp.intercept_).fit(X).importance_table()
    stripped = {k: [{key: v for key, v in item.items() if key != "importance"} for item in items]
                for k, items in interp.effects_.items()}
    measured = FANOVAInterpreter(stripped, interp.intercept_).fit(X).importance_table()
    assert list(given.columns) == ["effect", "fidx", "name", "importance", "share"]
    assert given["importance"].is_monotonic_decreasing
    assert given["share"].sum() == pytest.approx(1.0)
    assert list(given["fidx"]) == list(measured["fidx"])
    np.testing.assert_allclose(given["importance"], measured["importance"], rtol=1e-9)
    assert given.iloc[0]["fidx"] == (0,)  # 2 * X0 dominates the target


def test_fanova_predict_is_the_margin():
    rng, X, est = fit_estimator("classifier", seed=2)
    est.parse_model()
    rows = probe_rows(rng, X)
    np.testing.assert_allclose(est.fanova_.predict(rows),
                               reference_margin(est.estimator_.get_booster(), rows), rtol=1e-9,
                               atol=1e-12)


# ---- the estimator's methods -----------------------------------------------------------------

@pytest.mark.parametrize("kind", ["regressor", "classifier"])
def test_parse_model_and_partial_dependence(kind):
    rng, X, est = fit_estimator(kind, seed=11)
    assert est.parse_model() is None
    assert set(est.effects_) == {"1D", "2D"}
    assert isinstance(est.unp_, XGBInterpreter)
    assert isinstance(est.fanova_, FANOVAInterpreter)
    for item in est.effects_["1D"]:
        assert item["name"] == est.feature_names_[item["fidx"][0]]
        np.testing.assert_array_equal(est.partial_dependence(item["fidx"], X),
                                      predict_1D_func_tree(X, item["values"], item["fidx"]))
    for item in est.effects_["2D"]:
        a, b = item["fidx"]
        assert a < b
        np.testing.assert_array_equal(est.partial_dependence(list(item["fidx"]), X),
                                      predict_2D_func_tree(X, item["values"], item["fidx"]))
    rows = probe_rows(rng, X)
    total = est.intercept_ + sum(est.partial_dependence(i["fidx"], rows)
                                 for k in ("1D", "2D") for i in est.effects_[k])
    np.testing.assert_allclose(total, reference_margin(est.estimator_.get_booster(), rows),
                               rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("fidx", [(4, 0), (0, 1, 2), (), (99,)])
def test_unknown_effect(fidx):
    rng, X, est = fit_estimator("regressor", seed=1, n_estimators=10)
    est.parse_model()
    with pytest.raises(ValueError, match="^Effect not found.$"):
        est.partial_dependence(fidx, X)


@pytest.mark.parametrize("max_depth", [3, None])
def test_deeper_trees_are_not_interpreted(max_depth):
    rng, X, y = make_data(0)
    est = XGB2Regressor(n_estimators=5, max_depth=max_depth).fit(X, y)
    assert est.parse_model() == "Cannot interpret XGB with depth more than 2."
    assert not hasattr(est, "effects_")
    with pytest.raises(NotFittedError, match="Call 'parse_model' before"):
        est.partial_dependence((0,), X)


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
def test_partial_dependence_needs_fit_then_parse_model(cls):
    rng, X, y = make_data(3)
    est = cls(n_estimators=5)
    for method in (lambda: est.partial_dependence((0,), X), est._base_extract_rules):
        with pytest.raises(NotFittedError, match="is not fitted yet"):
            method()
    est.fit(X, (y > np.median(y)).astype(int) if cls is XGB2Classifier else y)
    with pytest.raises(NotFittedError) as info:
        est.partial_dependence((0,), X)
    assert str(info.value) == ("This %s instance has no effects yet. Call 'parse_model' before "
                               "using 'partial_dependence'." % cls.__name__)
    assert isinstance(info.value, ValueError)
    est.parse_model()
    assert est.partial_dependence((0,), X).shape == (len(X),)
    with pytest.raises(ValueError, match="numeric"):
        est.partial_dependence((0,), X.astype(str))


def test_base_extract_rules_keys_by_feature_name():
    rng, X, y = make_data(6)
    names = ["age", "income", "height", "weight", "score"]
    est = XGB2Regressor(n_estimators=20, feature_names=names).fit(X, y)
    est._base_extract_rules()
    assert list(est.n_splits_raw_) == names
    df = est.estimator_.get_booster().trees_to_dataframe()
    for i, name in enumerate(names):
        splits = df.loc[(df.Feature == "f%d" % i) & df.Split.notna(), "Split"]
        np.testing.assert_array_equal(est.n_splits_raw_[name], np.sort(np.unique(splits)))
    assert len(est.n_splits_raw_["age"]) > 0


# ---- inputs the interpreter refuses ----------------------------------------------------------

def test_interpreter_refusals():
    rng, X, y = make_data(0)
    model = xgb.XGBRegressor(max_depth=2, n_estimators=3).fit(X, y)
    with pytest.raises(ValueError, match="features"):
        XGBInterpreter(model).fit(X[:, :4])
    with pytest.raises(ValueError, match="rows"):
        XGBInterpreter(model).fit(X[:0])
    deep = xgb.XGBRegressor(max_depth=4, n_estimators=3).fit(X, y)
    with pytest.raises(ValueError, match="more than two features"):
        XGBInterpreter(deep).fit(X)
    multi = xgb.XGBClassifier(max_depth=2, n_estimators=2).fit(X, np.arange(len(y)) % 3)
    with pytest.raises(ValueError, match="single-output"):
        XGBInterpreter(multi).fit(X)


@pytest.mark.parametrize("text, value", [("5E-1", 0.5), ("[5E-1]", 0.5),
                                         ("[2.9954782E0]", float(np.float32(2.9954782)))])
def test_base_score_forms(text, value):
    assert _base_score(text) == value


def test_kernels_refuse_malformed_trees_and_models():
    from movra import _kernels

    rng, X, y = make_data(0)
    model = xgb.XGBRegressor(max_depth=2, n_estimators=3).fit(X, y)
    trees = _kernels.read_xgboost_trees(model.get_booster().save_raw("ubj"))
    assert _kernels.fanova_effects(trees, 0.0, X)["mains"]
    for key, value in [("left", 99), ("feature", 7), ("tree_offsets", -1)]:
        bad = {k: v.copy() for k, v in trees.items()}
        bad[key][0 if key != "tree_offsets" else -1] = value
        with pytest.raises(ValueError):
            _kernels.fanova_effects(bad, 0.0, X)
    short = dict(trees, threshold=trees["threshold"][:-1])
    with pytest.raises(ValueError, match="length"):
        _kernels.fanova_effects(short, 0.0, X)
    raw = bytes(model.get_booster().save_raw("ubj"))
    for broken in (raw[: len(raw) // 2], b"{}", b"not a model", raw[:1]):
        with pytest.raises(ValueError, match="XGBoost model|trees"):
            _kernels.read_xgboost_trees(broken)


def test_kernels_refuse_unconvertible_arrays_and_buffers():
    from movra import _kernels

    rng, X, y = make_data(0)
    model = xgb.XGBRegressor(max_depth=2, n_estimators=3).fit(X, y)
    raw = bytes(model.get_booster().save_raw("ubj"))
    trees = _kernels.read_xgboost_trees(raw)
    unconvertible = [np.array(["a"] * len(trees["left"])),
                     np.array([object()] * len(trees["left"]), dtype=object), "text"]
    for kernel in (_kernels.fanova_effects, _kernels.tree_margins):
        for key in trees:
            for bad in unconvertible:
                with pytest.raises((ValueError, TypeError)):
                    kernel(dict(trees, **{key: bad}), 0.0, X)
        with_none = X.astype(object)
        with_none[0, 0] = None
        for bad in (X.astype(str), with_none):
            with pytest.raises((ValueError, TypeError)):
                kernel(trees, 0.0, bad)
    for bad in ("text", 3.0, memoryview(raw)[::-1]):
        with pytest.raises((ValueError, TypeError)):
            _kernels.read_xgboost_trees(bad)
    # A strided view is read in its logical order, not past its end.
    interleaved = bytearray(2 * len(raw))
    interleaved[::2] = raw
    strided = _kernels.read_xgboost_trees(memoryview(interleaved)[::2])
    for key in trees:
        np.testing.assert_array_equal(strided[key], trees[key])
