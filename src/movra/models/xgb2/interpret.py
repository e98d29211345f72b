"""Functional-ANOVA reading of a fitted XGBoost ensemble of depth-2 trees."""

import json
import math
import warnings

import numpy as np

from movra import _kernels
from movra.exceptions import MovraWarning

# How each objective turns its base_score into the margin it starts from.
_IDENTITY_OBJECTIVES = {
    "reg:squarederror", "reg:linear", "reg:squaredlogerror", "reg:pseudohubererror",
    "reg:absoluteerror", "reg:quantileerror", "binary:hinge",
}
_LOGIT_OBJECTIVES = {"binary:logistic", "reg:logistic", "binary:logitraw"}
_LOG_OBJECTIVES = {"count:poisson", "reg:gamma", "reg:tweedie", "survival:cox"}


def _booster(model):
    return model.get_booster() if hasattr(model, "get_booster") else model


def _base_score(text):
    # 1.7 writes "5E-1"; 2.x/3.x may write a list-like "[5E-1]" (one entry per target).
    text = str(text).strip().strip("[]")
    parts = [p for p in text.replace(",", " ").split() if p]
    if len(parts) != 1:
        raise ValueError("only single-output models can be decomposed (base_score %r)" % text)
    # XGBoost keeps it as float32.
    return float(np.float32(float(parts[0])))


def base_margin(booster):
    """The margin every prediction of the booster starts from (its base_score on the margin
    scale: the logit of it for logistic objectives, its log for log-link ones)."""
    config = json.loads(booster.save_config())
    learner = config["learner"]
    params = learner["learner_model_param"]
    if int(params.get("num_class", "0")) > 1 or int(params.get("num_target", "1")) > 1:
        raise ValueError("only single-output models can be decomposed")
    score = _base_score(params["base_score"])
    objective = learner["objective"]["name"]
    if objective in _IDENTITY_OBJECTIVES:
        return score
    if objective in _LOGIT_OBJECTIVES:
        return math.log(score / (1.0 - score))
    if objective in _LOG_OBJECTIVES:
        return math.log(score)
    raise ValueError("objective %r is not supported" % objective)


def read_trees(booster):
    """The booster's trees as flat node arrays (see movra._kernels.read_xgboost_trees)."""
    # UBJSON: XGBoost writes it several times faster than JSON, with the exact float32 values.
    raw = booster.save_raw(raw_format="ubj")
    return _kernels.read_xgboost_trees(raw)


class XGBInterpreter:
    """Main effects and pairwise interactions of a fitted XGBoost model of depth-2 trees.

    Every tree is a sum of step functions of at most two features (one per leaf path); they are
    summed per feature and per pair on the union grid of their split points, and, with
    ``purification``, mass is moved out of each interaction until it has zero mean along each
    axis, and out of each main effect until it has zero mean, into the intercept. The density is
    the product of the training data's marginal frequencies (``true_to_data=False``, exact in one
    sweep) or the joint cell frequencies of the training data (``true_to_data=True``, iterated to
    convergence). Intercept plus all effects equals the model's raw margin at every row.

    Parameters
    ----------
    model : fitted xgboost.XGBRegressor, XGBClassifier or Booster
    purification : bool, default=True
    true_to_data : bool, default=False
    feature_names : list of str, default=None
        Names of the model's features; "X0", "X1", ... when None.
    feature_types : list of str, default=None
        "numerical" or "categorical" per feature. A categorical feature's column holds the
        codes 0 .. k-1 of its categories (NaN for missing), and XGBoost split it on sets of
        codes; its effects get a level per category.
    categories : list, default=None
        Per feature, None or the labels of its categories (code c is ``categories[j][c]``).
        A feature typed categorical without labels has as many categories as its codes and
        the trees need.

    Attributes
    ----------
    effects_ : dict
        "1D": items with "fidx" (a 1-tuple), "name", "values" ({"split_points", "levels"}),
        "importance" and "counts"; "2D": items with "fidx" (an ascending 2-tuple), "name",
        "values" ({"split_points": (s1, s2), "levels": (s1 + 2, s2 + 2) grid}), "importance"
        and "counts". A value x is in bin #{p <= float32(x)}; the last level of an axis is for
        missing values. "counts" holds the training rows in each bin or cell, shaped as the
        levels (what the purification weighed them by, and what the figures mark as scarce).
        On a categorical feature's axis the split points are 1 .. k-1, so that code c is in
        bin c: one level per category; its item's "values" then also hold "categories" (the
        labels; for an interaction a pair, None for a numerical feature).
    intercept_ : float
    base_margin_ : float
        The model's starting margin (from its base_score).
    purification_ : list of dict
        Per interaction: "fidx", "iterations", "converged", "residual".
    """

    def __init__(self, model, purification=True, true_to_data=False, feature_names=None,
                 feature_types=None, categories=None):
        self.model = model
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types
        self.categories = categories

    def _category_counts(self, n_features, X=None):
        """Each feature's number of categories (0: numerical), or None when none is
        categorical: the labels' count, or for a feature typed categorical without labels,
        one more than its largest code in X."""
        counts = [0] * n_features
        for j in range(n_features):
            labels = self.categories[j] if self.categories is not None else None
            typed = self.feature_types is not None and self.feature_types[j] == "categorical"
            if labels is not None:
                counts[j] = len(labels)
            elif typed and X is not None and np.any(np.isfinite(X[:, j])):
                counts[j] = int(np.nanmax(X[:, j])) + 1
        return counts if any(counts) else None

    def _labels(self, j, n_categories):
        if n_categories == 0:
            return None
        labels = self.categories[j] if self.categories is not None else None
        return list(labels) if labels is not None else list(range(n_categories))

    def fit(self, X, tolerance=1e-13, max_iterations=10000):
        """Decompose the model; X is the training data whose frequencies weigh the cells."""
        X = np.asarray(X, dtype=np.float64)
        if X.ndim != 2:
            raise ValueError("X must be two-dimensional, got shape %r" % (X.shape,))
        if X.shape[0] == 0:
            raise ValueError("X has no rows")
        booster = _booster(self.model)
        n_model = booster.num_features() if hasattr(booster, "num_features") else X.shape[1]
        if X.shape[1] != n_model:
            raise ValueError("X has %d features, the model %d" % (X.shape[1], n_model))
        names = (list(self.feature_names) if self.feature_names is not None
                 else ["X%d" % i for i in range(X.shape[1])])
        if len(names) != X.shape[1]:
            raise ValueError("%d feature names for %d features" % (len(names), X.shape[1]))

        self.base_margin_ = base_margin(booster)
        self.trees_ = read_trees(booster)
        raw = _kernels.fanova_effects(self.trees_, self.base_margin_, X,
                                      purify=bool(self.purification),
                                      true_to_data=bool(self.true_to_data),
                                      tolerance=tolerance, max_iterations=max_iterations,
                                      n_categories=self._category_counts(X.shape[1], X))
        return self._keep_effects(raw, names, max_iterations)

    def fit_counts(self, counts, n_features, tolerance=1e-13, max_iterations=10000):
        """Decompose the model from the training rows' counts on its effects' grids instead of
        the rows: ``counts`` is what ``movra._kernels.grid_counts(self.trees_, part)`` gives
        for each part of the training data, summed (so the rows may live anywhere). The result
        equals ``fit`` on the rows whose counts these are."""
        booster = _booster(self.model)
        names = (list(self.feature_names) if self.feature_names is not None
                 else ["X%d" % i for i in range(n_features)])
        if len(names) != n_features:
            raise ValueError("%d feature names for %d features" % (len(names), n_features))
        self.base_margin_ = base_margin(booster)
        self.trees_ = read_trees(booster)
        raw = _kernels.fanova_effects_from_counts(
            self.trees_, self.base_margin_, counts, n_features,
            purify=bool(self.purification), true_to_data=bool(self.true_to_data),
            tolerance=tolerance, max_iterations=max_iterations,
            n_categories=self._category_counts(n_features))
        return self._keep_effects(raw, names, max_iterations)

    def _keep_effects(self, raw, names, max_iterations):
        main_items = []
        labels = {}
        for m in raw["mains"]:
            j = int(m["feature"])
            labels[j] = self._labels(j, int(m["n_categories"]))
            values = {"split_points": m["split_points"], "levels": m["levels"]}
            if labels[j] is not None:
                values["categories"] = labels[j]
            main_items.append({
                "fidx": (j,),
                "name": names[j],
                "values": values,
                "importance": m["importance"],
                "counts": m["counts"],
            })
        pair_items = []
        self.purification_ = []
        for p in raw["pairs"]:
            a, b = (int(i) for i in p["features"])
            values = {"split_points": p["split_points"], "levels": p["levels"]}
            if labels[a] is not None or labels[b] is not None:
                values["categories"] = (labels[a], labels[b])
            pair_items.append({
                "fidx": (a, b),
                "name": "%s x %s" % (names[a], names[b]),
                "values": values,
                "importance": p["importance"],
                "counts": p["counts"],
            })
            self.purification_.append({
                "fidx": (a, b), "iterations": p["purify_iterations"],
                "converged": p["purify_converged"], "residual": p["purify_residual"],
            })
        if self.purification and self.true_to_data:
            stuck = [r["fidx"] for r in self.purification_ if not r["converged"]]
            if stuck:
                warnings.warn("purification did not converge within %d sweeps for %s"
                              % (max_iterations, stuck), MovraWarning)
        self.effects_ = {"1D": main_items, "2D": pair_items}
        self.intercept_ = raw["intercept"]
        return self

    def _repr_html_(self):
        """The notebook's view: the effects' importance table (before fit, a sentence saying
        so)."""
        from movra.models.interpreter import FANOVAInterpreter
        from movra.report import display

        name = type(self).__name__
        if not hasattr(self, "effects_"):
            return display.unavailable(name, "not fitted yet: call fit(X).")
        fanova = FANOVAInterpreter(self.effects_, self.intercept_)
        return display.guarded(name, lambda: display.interpreter(
            name, fanova.fit().importance_table(), self.intercept_))
