"""The depth-2 boosted-tree estimators trained on a Dask cluster by xgboost.dask."""

import os
import tempfile
import warnings
from copy import deepcopy

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, is_classifier
from sklearn.preprocessing import LabelBinarizer
from sklearn.utils import column_or_1d
from sklearn.utils.validation import check_consistent_length, check_is_fitted

from movra import _kernels
from movra.models.interpreter import FANOVAInterpreter
from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree
from movra.models.xgb2.interpret import XGBInterpreter, read_trees
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

from . import _parts

try:  # scikit-learn 1.6 and later
    from sklearn.utils.validation import validate_data as _sklearn_validate_data
except ImportError:  # pragma: no cover - older scikit-learn
    _sklearn_validate_data = None

_DEPTH_MESSAGE = "Cannot interpret XGB with depth more than 2."
_LABEL_LIMIT = 3  # enough to tell one, two and more classes apart


def _validate_data(estimator, x, y, y_numeric):
    if _sklearn_validate_data is not None:
        return _sklearn_validate_data(estimator, x, y, y_numeric=y_numeric)
    return estimator._validate_data(x, y, y_numeric=y_numeric)


# ---- per partition ----

def _labels_block(y, selected, limit):
    y = np.asarray(y)
    if y.dtype.kind in "biuf":
        return _kernels.distinct_values(y.astype(float), limit, selected).astype(y.dtype)
    # Labels of other types (strings, objects) have no numeric kernel; pandas finds them.
    import pandas as pd

    return np.asarray(pd.unique(y[selected] if selected is not None else y)[:limit])


def _summary_block(x, y, w, classifier):
    xr = _kernels.column_ranges(x)
    yv = np.asarray(y)
    numeric_y = yv.dtype.kind in "biuf"
    yr = _kernels.column_ranges(yv.astype(float)) if numeric_y else {"any_nan": False,
                                                                     "any_inf": False}
    out = {"rows": xr["count"], "x_nan": xr["any_nan"], "x_inf": xr["any_inf"],
           "y_nan": yr["any_nan"], "y_inf": yr["any_inf"]}
    selected = None
    if w is not None:
        s = _kernels.weight_summary(w)
        out.update(w_rows=s["count"], w_positive=s["positive"], w_non_finite=s["non_finite"],
                   w_sum=s["positive_sum"])
        selected = np.asarray(w) > 0
    out["labels"] = _labels_block(yv, selected, _LABEL_LIMIT) if classifier else np.empty(0)
    return out


def _merge_summary(a, b):
    how = {"rows": "add", "x_nan": "any", "x_inf": "any", "y_nan": "any", "y_inf": "any"}
    if "w_rows" in a:
        how.update(w_rows="add", w_positive="add", w_non_finite="any", w_sum="exact")
    out = _parts.merge_dicts(a, b, how)
    labels = list(a["labels"])
    for v in b["labels"]:
        if len(labels) < _LABEL_LIMIT and not any(v == u for u in labels):
            labels.append(v)
    out["labels"] = np.asarray(labels, dtype=np.asarray(a["labels"]).dtype)
    return out


def _grid_counts_block(x, trees):
    return _kernels.grid_counts(trees, x)


def _merge_counts(a, b):
    return {"mains": [p + q for p, q in zip(a["mains"], b["mains"])],
            "pairs": [p + q for p, q in zip(a["pairs"], b["pairs"])],
            "n_rows": a["n_rows"] + b["n_rows"]}


def _encode_block(y, positive):
    return (np.asarray(y) == positive).astype(float)


def _log_odds_block(proba):
    return _kernels.clipped_log_odds(proba[:, 1], 1e-7, 0.9999999)


def _labels_of_block(proba, binarizer):
    return binarizer.inverse_transform((proba[:, 1] > 0.5).astype(np.int64))


def _effect_block(x, values, fidx):
    evaluate = predict_1D_func_tree if len(fidx) == 1 else predict_2D_func_tree
    return evaluate(x, values, fidx)


# ---- the estimators ----

class DaskXGB2Base(BaseEstimator):
    """The depth-2 estimators of movra.models.xgb2.xgboost on data held as dask arrays or
    DataFrames, trained by xgboost.dask on a distributed cluster."""

    # Its predictions are dask arrays: DaskSagZone calls predict on the whole collection.
    _distributed_predictions = True
    _local_class = None
    _dask_model = None

    def __init__(self, n_estimators=100, eta=0.3, max_depth=2, tree_method="auto", max_bin=256,
                 reg_lambda=0, reg_alpha=0, gamma=0, feature_names=None, feature_types=None,
                 mono_increasing_list=(), mono_decreasing_list=(), random_state=0,
                 client=None):
        self.n_estimators = n_estimators
        self.eta = eta
        self.max_depth = max_depth
        self.tree_method = tree_method
        self.max_bin = max_bin
        self.reg_lambda = reg_lambda
        self.reg_alpha = reg_alpha
        self.gamma = gamma
        self.feature_names = feature_names
        self.feature_types = feature_types
        self.mono_increasing_list = mono_increasing_list
        self.mono_decreasing_list = mono_decreasing_list
        self.random_state = random_state
        self.client = client

    # ---- fit ----

    def fit(self, X, y, sample_weight=None):
        """Fit the depth-2 boosted trees on the cluster.

        Parameters
        ----------
        X : dask array or dask DataFrame of shape (n_samples, n_features)
        y : dask array or Series of shape (n_samples,)
        sample_weight : dask array or Series of shape (n_samples,), default=None
            As for the in-memory estimators: rows of zero or negative weight are removed, the
            others rescaled to sum to the number of remaining rows.

        Returns
        -------
        self
        """
        client = _parts.resolve_client(self.client)
        X, y, sample_weight = self._validate_input(X, y, sample_weight, client)
        n_features = self.n_features_in_
        self.feature_names_ = (["X%d" % i for i in range(n_features)]
                               if self.feature_names is None else deepcopy(self.feature_names))
        self.feature_types_ = (["numerical"] * n_features if self.feature_types is None
                               else deepcopy(self.feature_types))
        self._fit_xgb_raw(X, y, sample_weight, client)
        self.is_fitted_ = True
        self.X_ = X
        return self

    def _fit_xgb_raw(self, X, y, sample_weight, client):
        from xgboost import dask as dxgb

        constraints = []
        for name in self.feature_names_:
            if name in self.mono_increasing_list:
                constraints.append(1)
            elif name in self.mono_decreasing_list:
                constraints.append(-1)
            else:
                constraints.append(0)
        params = {name: getattr(self, name) for name in (
            "max_depth", "n_estimators", "eta", "gamma", "tree_method", "max_bin", "reg_lambda",
            "reg_alpha")}
        params["monotone_constraints"] = str(tuple(constraints))
        params["random_state"] = self.random_state
        self.xgb_params_ = params
        model_params = dict(params)
        if params["tree_method"] == "gpu_hist" and _xgb_has_device():
            model_params.update(tree_method="hist", device="cuda")
        model_class = dxgb.DaskXGBClassifier if is_classifier(self) else dxgb.DaskXGBRegressor
        model = model_class(**model_params)
        model.client = client
        self.estimator_ = model
        model.fit(X, y, sample_weight=sample_weight)

    def _validate_input(self, X, y, sample_weight, client):
        """Checks as the in-memory estimator makes them, by reductions over the partitions;
        where one fails, scikit-learn's own check runs on a small stand-in that fails the same
        way, so that the message is the in-memory one."""
        classifier = is_classifier(self)
        frame_columns = None
        if _parts.is_dask_frame(X):
            frame_columns = list(X.columns)
        x = _parts.as_row_array(X)
        if x.ndim != 2:
            _validate_data(self, np.empty((0,) * x.ndim), np.empty(0), not classifier)
            raise ValueError("X must be two-dimensional")  # pragma: no cover
        x = x.rechunk({1: -1})
        if x.dtype.kind not in "biuf":
            x = x.astype(float)
        n, p = x.shape
        y_array = _parts.as_row_array(y, x.chunks[0])
        if y_array.ndim == 2 and y_array.shape[1] == 1:
            column_or_1d(np.empty((0, 1)), warn=True)  # scikit-learn's own warning
            y_array = y_array[:, 0]
        if y_array.ndim != 1:
            column_or_1d(np.empty((0,) + y_array.shape[1:]))
            raise ValueError("y must be one-dimensional")  # pragma: no cover
        if n == 0 or p == 0:
            _validate_data(self, np.empty((n if p == 0 else 0, p)), np.empty(0),
                           not classifier)
        if y_array.shape[0] != n:
            check_consistent_length(np.empty((n, 0)), np.empty((y_array.shape[0], 0)))
        y_array = _parts.aligned(y_array, x.chunks[0])
        w = None
        if sample_weight is not None:
            w = _parts.as_row_array(sample_weight, x.chunks[0])
            if w.ndim == 2 and w.shape[1] == 1:
                w = w[:, 0]
            if w.ndim != 1 or w.shape[0] != n:
                raise ValueError("sample_weight shape mismatches the input")
            w = _parts.aligned(w.astype(float), x.chunks[0])
        summary = _parts.map_reduce(client, _summary_block, [x, y_array, w], _merge_summary,
                                    classifier)
        # The in-memory order: X, then y, then the weights, the rows left, the classes.
        standin = np.zeros((2, p))
        standin_y = np.array([0.0, 1.0])
        if summary["x_nan"] or summary["x_inf"]:
            standin[0, 0] = np.nan if summary["x_nan"] else np.inf
        elif summary["y_nan"] or summary["y_inf"]:
            standin_y[0] = np.nan if summary["y_nan"] else np.inf
        if frame_columns is not None:
            import pandas as pd

            standin = pd.DataFrame(standin, columns=frame_columns)
        _validate_data(self, standin, standin_y, not classifier)
        n_kept = n
        if w is not None:
            if summary["w_non_finite"]:
                raise ValueError("Invalid sample_weight")
            if summary["w_positive"] == 0:
                raise ValueError(
                    "Invalid sample_weight. The sample weights are all zero or negative.")
            n_kept = summary["w_positive"]
            total = _parts.rounded(summary["w_sum"])
            if not (np.isfinite(total) and total > 0):
                raise ValueError("Invalid sample_weight")
            if n_kept < n:
                keep = w > 0
                x, y_array, w = (_parts.known_rows(a[keep]) for a in (x, y_array, w))
                y_array = _parts.aligned(y_array, x.chunks[0])
                w = _parts.aligned(w, x.chunks[0])
            w = n_kept * w / total
        else:
            w = None
        if n_kept == 1:
            raise ValueError("n_samples=1")
        if classifier:
            binarizer = LabelBinarizer()
            self.label_binarizer_ = binarizer
            binarizer.fit(summary["labels"])
            n_classes = len(binarizer.classes_)
            if n_classes >= 3:
                raise ValueError("multi-classification not supported. Only binary "
                                 "classification is supported.")
            if n_classes == 1:
                raise ValueError("Classifier can't train when only one class is present.")
            self.classes_ = binarizer.classes_
            y_array = y_array.map_blocks(_encode_block, binarizer.classes_[1], dtype=float)
        else:
            y_array = y_array.astype(float)
        self.n_rows_ = int(n_kept)
        return x.astype(float), y_array, w

    # ---- prediction ----

    def _prediction_input(self, X):
        check_is_fitted(self)
        x = _parts.as_row_array(X)
        if x.ndim != 2:
            raise ValueError("Reshape your data.")
        if x.shape[1] != self.n_features_in_:
            raise ValueError(
                "The number of features in predict is\n" + " " * 21 + "different from the "
                "number of features in fit. X has %d features, but %s is expecting %d features "
                "as input." % (x.shape[1], type(self).__name__, self.n_features_in_))
        return x.rechunk({1: -1}).astype(float)

    # ---- interpretation ----

    def parse_model(self):
        """Decompose the fitted ensemble into main effects and pairwise interactions.

        As ``XGB2Regressor.parse_model``, with the training rows' counts on the effects' grids
        (the density the purification and the importances need) counted per partition and
        summed: the client holds the counts, never the rows.
        """
        if self.max_depth is None or self.max_depth > 2:
            return _DEPTH_MESSAGE
        check_is_fitted(self)
        client = _parts.resolve_client(self.client)
        unp = XGBInterpreter(self.estimator_, purification=True, true_to_data=False,
                             feature_names=self.feature_names_,
                             feature_types=self.feature_types_)
        trees = read_trees(self.estimator_.get_booster())
        counts = _parts.map_reduce(client, _grid_counts_block, [self.X_], _merge_counts, trees)
        unp.fit_counts(counts, self.n_features_in_)
        self.unp_ = unp
        self.effects_ = unp.effects_
        self.intercept_ = unp.intercept_
        self.fanova_ = FANOVAInterpreter(self.effects_, self.intercept_).fit()
        return None

    def partial_dependence(self, fidx, X):
        """Values of one effect at the rows of X (a numpy array, or a dask array whose result
        is a dask array)."""
        check_is_fitted(self)
        if not hasattr(self, "effects_"):
            from sklearn.exceptions import NotFittedError

            raise NotFittedError(
                "This %s instance has no effects yet. Call 'parse_model' before using "
                "'partial_dependence'." % type(self).__name__)
        fidx = tuple(fidx)
        if len(fidx) not in (1, 2):
            raise ValueError("Effect not found.")
        for item in self.effects_["1D" if len(fidx) == 1 else "2D"]:
            if item["fidx"] == fidx:
                if _parts.is_dask_collection(X):
                    x = _parts.as_row_array(X).rechunk({1: -1})
                    return x.map_blocks(_effect_block, item["values"], item["fidx"],
                                        drop_axis=1, dtype=float)
                return _effect_block(X, item["values"], item["fidx"])
        raise ValueError("Effect not found.")

    # ---- in memory ----

    def to_local(self, sample_rows=10000):
        """An equivalent fitted in-memory estimator (``XGB2Regressor``/``XGB2Classifier``): the
        same parameters, booster and, once ``parse_model`` has run, the same effects,
        intercept and importances, for plotting, pickling and scikit-learn tools.

        Its ``X_`` (the training values the effect figures draw as histograms) is every k-th
        training row, at most ``sample_rows`` of them: the one place where rows come to the
        client, on request. ``sample_rows=0`` brings none (``X_`` is then empty).
        """
        check_is_fitted(self)
        params = {k: v for k, v in self.get_params().items() if k != "client"}
        local = self._local_class(**params)
        for name in ("n_features_in_", "feature_names_", "feature_types_", "is_fitted_",
                     "xgb_params_", "label_binarizer_", "classes_", "feature_names_in_"):
            if hasattr(self, name):
                setattr(local, name, deepcopy(getattr(self, name)))
        local.estimator_ = _local_model(self.estimator_, is_classifier(self))
        step = max(1, -(-self.n_rows_ // sample_rows)) if sample_rows > 0 else None
        if step is None:
            local.X_ = np.empty((0, self.n_features_in_))
        else:
            local.X_ = _parts.compute(_parts.resolve_client(self.client), self.X_[::step])
        if hasattr(self, "effects_"):
            unp = XGBInterpreter(local.estimator_, purification=True, true_to_data=False,
                                 feature_names=local.feature_names_,
                                 feature_types=local.feature_types_)
            for name in ("base_margin_", "trees_", "purification_", "effects_", "intercept_"):
                setattr(unp, name, deepcopy(getattr(self.unp_, name)))
            local.unp_ = unp
            local.effects_ = unp.effects_
            local.intercept_ = unp.intercept_
            local.fanova_ = FANOVAInterpreter(local.effects_, local.intercept_).fit()
        return local

    def __getstate__(self):
        # A client does not pickle; the fitted state does, as the local estimator's would.
        state = super().__getstate__()
        state["client"] = None
        return state


def _xgb_has_device():
    import inspect

    from xgboost import XGBModel

    return "device" in inspect.signature(XGBModel.__init__).parameters


def _local_model(model, classifier):
    """The dask model's booster and scikit-learn state in an in-memory XGBoost model."""
    from xgboost import XGBClassifier, XGBRegressor

    local = (XGBClassifier if classifier else XGBRegressor)(**model.get_params())
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model.json")
        with warnings.catch_warnings():
            # XGBoost notes that a dask model's client is not saved, and that a model of
            # unknown origin is loaded: neither applies.
            warnings.simplefilter("ignore")
            model.save_model(path)
            local.load_model(path)
    return local


class DaskXGB2Regressor(RegressorMixin, DaskXGB2Base):
    """Depth-2 XGBoostRegressor on a Dask cluster.

    The parameters of ``movra.models.xgb2.xgboost.XGB2Regressor``, with the same meaning and
    defaults, and ``client`` (a ``distributed.Client``; None uses the current one). ``fit``
    takes dask arrays or DataFrames and trains with ``xgboost.dask``; ``predict`` returns a
    dask array; ``parse_model`` and ``partial_dependence`` as in memory; ``to_local`` gives the
    equivalent ``XGB2Regressor``.
    """

    _local_class = XGB2Regressor

    def predict(self, X):
        """Predict regression targets (a dask array)."""
        return self.estimator_.predict(self._prediction_input(X))


class DaskXGB2Classifier(ClassifierMixin, DaskXGB2Base):
    """Depth-2 XGBoostClassifier on a Dask cluster.

    The parameters of ``movra.models.xgb2.xgboost.XGB2Classifier``, with the same meaning and
    defaults, and ``client``. Binary classification of labels of any type; ``predict``,
    ``predict_proba`` and ``decision_function`` return dask arrays; ``to_local`` gives the
    equivalent ``XGB2Classifier``.
    """

    _local_class = XGB2Classifier

    def predict_proba(self, X):
        """Class probabilities (a dask array of shape (n_samples, 2))."""
        return self.estimator_.predict_proba(self._prediction_input(X))

    def decision_function(self, X):
        """Log-odds of the second class, the probability clipped to [1e-7, 1 - 1e-7]."""
        return self.predict_proba(X).map_blocks(_log_odds_block, drop_axis=1, dtype=float)

    def predict(self, X):
        """Class labels (a dask array), the second class where its probability is above 0.5."""
        return self.predict_proba(X).map_blocks(
            _labels_of_block, self.label_binarizer_, drop_axis=1,
            dtype=self.label_binarizer_.classes_.dtype)
