"""The depth-2 boosted-tree estimators trained on a Dask cluster by xgboost.dask.

``DaskXGB2Regressor`` and ``DaskXGB2Classifier`` are ``XGB2Regressor`` and ``XGB2Classifier``:
their parameters, ``fit``'s steps, verdicts and messages, ``parse_model`` and the effects'
lookup are the in-memory classes' own. The cluster classes override only the steps that move
data: the training input's checks (reductions over partitions), the XGBoost model
(xgboost.dask), how the interpreter sees the training rows (their counts on the effects' grids,
summed over partitions) and the predictions (dask arrays).
"""

import inspect
import os
import tempfile
import warnings
from copy import deepcopy

import numpy as np
from sklearn.base import is_classifier
from sklearn.utils.validation import check_is_fitted

from movra import _kernels
from movra.exceptions import MovraError
from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree
from movra.models.xgb2.interpret import read_trees
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

from . import _parts
from . import _xgb2_inputs as _inputs

_CLIENT_DOC = """
client : distributed.Client, default=None
    The client of the cluster that trains and predicts; None uses the current one. A
    pickled estimator keeps no client.
"""
_CLUSTER_ATTRIBUTES_DOC = """
n_rows_ : int
    The number of training rows of positive weight.

On a cluster, ``estimator_`` is the xgboost.dask model and ``X_`` the validated training
rows as a dask array (they stay on the cluster).
"""


def _init_with_client(local_class):
    """The __init__ of a cluster estimator: the parameters of `local_class` in its order and with
    its defaults, then ``client``; it hands the former to ``local_class.__init__``."""
    local = inspect.signature(local_class.__init__)
    client = inspect.Parameter("client", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None)
    signature = local.replace(parameters=[*local.parameters.values(), client])

    def __init__(self, *args, **kwargs):
        arguments = signature.bind(self, *args, **kwargs)
        arguments.apply_defaults()
        params = dict(arguments.arguments)
        del params["self"]
        client = params.pop("client")
        local_class.__init__(self, **params)
        self.client = client

    __init__.__signature__ = signature
    return __init__


def _class_doc(summary, local_class):
    """`summary`, then the parameters and attributes of `local_class`, with the cluster's own
    added."""
    doc = local_class.__doc__
    parameters, _, attributes = doc[doc.index("\nParameters\n"):].partition("\nAttributes\n")
    return (summary + parameters + _CLIENT_DOC + "\nAttributes\n" + attributes
            + _CLUSTER_ATTRIBUTES_DOC)


# ---- per partition ----

def _grid_counts_block(x, trees, n_categories):
    return _kernels.grid_counts(trees, x, n_categories)


def _merge_counts(a, b):
    return {"mains": [p + q for p, q in zip(a["mains"], b["mains"])],
            "pairs": [p + q for p, q in zip(a["pairs"], b["pairs"])],
            "n_rows": a["n_rows"] + b["n_rows"]}


def _encode_block(y, binarizer):
    return binarizer.transform(y).ravel().astype(float)


def _effect_block(x, values, fidx):
    evaluate = predict_1D_func_tree if len(fidx) == 1 else predict_2D_func_tree
    return evaluate(x, values, fidx)


def _log_odds_block(proba):
    return XGB2Classifier._log_odds(proba)


def _labels_block(proba, binarizer):
    return XGB2Classifier._labels_of(proba, binarizer)


# ---- the estimators ----

class DaskXGB2Mixin:
    """What the depth-2 estimators do differently on data held as dask arrays or DataFrames:
    the steps that move data. Comes before XGB2Regressor or XGB2Classifier among the bases."""

    # Its predictions are dask arrays: DaskSagZone calls predict on the whole collection.
    _distributed_predictions = True
    _local_class = None

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
        return super().fit(X, y, sample_weight)

    def _validate_input(self, X, y, sample_weight):
        """The in-memory estimator's checks, by reductions over the partitions: one pass finds
        bad values, the weights' counts and the labels; the in-memory verdicts judge them."""
        client = _parts.resolve_client(self.client)
        frame_columns = list(X.columns) if _parts.is_dask_frame(X) else None
        _inputs.frame_categories(self, X)
        x, y = _inputs.row_arrays(self, _inputs.encoded(self, X), y)
        w, weight_shape = (None, None) if sample_weight is None else _inputs.weight_column(
            sample_weight, x.chunks[0])
        found = _inputs.summary(client, x, y, w, is_classifier(self))
        _inputs.check_values(self, found, x.shape[1], frame_columns)
        counts = _inputs.weight_counts(found)
        n_kept = self._check_training_rows(x.shape[0], weight_shape, *counts)
        if w is not None:
            x, y, w = _inputs.kept_rows(x, y, w, n_kept, counts[2])
        if is_classifier(self):
            self._fit_labels(found["labels"])
            y = y.map_blocks(_encode_block, self.label_binarizer_, dtype=float)
        self.n_rows_ = int(n_kept)
        return x.astype(float), y.astype(float), w

    def _fit_xgb_raw(self, X, y, sample_weight):
        """As in memory, with xgboost.dask's DaskXGBRegressor or DaskXGBClassifier."""
        from xgboost import dask as dxgb

        model_class = dxgb.DaskXGBClassifier if is_classifier(self) else dxgb.DaskXGBRegressor
        model = model_class(**self._xgb_model_params())
        model.client = _parts.resolve_client(self.client)
        self.estimator_ = model
        model.fit(X, y, sample_weight=sample_weight)

    def _fit_interpreter(self, unp):
        """The training rows' counts on the effects' grids, counted per partition and summed:
        the client holds the counts, never the rows."""
        client = _parts.resolve_client(self.client)
        trees = read_trees(self.estimator_.get_booster())
        n_categories = unp._category_counts(self.n_features_in_)
        counts = _parts.map_reduce(client, _grid_counts_block, [self.X_], _merge_counts, trees,
                                   n_categories)
        unp.fit_counts(counts, self.n_features_in_)

    def _prediction_input(self, X):
        if _parts.is_dask_frame(X):
            self._check_prediction_input(X)
        x = _parts.as_row_array(_inputs.encoded(self, X))
        if not _parts.is_dask_frame(X):
            self._check_prediction_input(x)
        return x.rechunk({1: -1}).astype(float)

    def partial_dependence(self, fidx, X):
        """Values of one effect at the rows of X: as in memory for a numpy array; for a dask
        array or DataFrame, a dask array evaluated per partition."""
        if not _parts.is_dask_collection(X):
            return super().partial_dependence(fidx, X)
        item = self._effect_item(fidx)
        x = _parts.as_row_array(_inputs.encoded(self, X)).rechunk({1: -1})
        return x.map_blocks(_effect_block, item["values"], item["fidx"], drop_axis=1,
                            dtype=float)

    def plot_effect(self, effect, figsize=None):
        raise self._rows_stay_on_the_cluster("plot_effect")

    def plot_effects(self, top=6, figsize=None):
        raise self._rows_stay_on_the_cluster("plot_effects")

    def _rows_stay_on_the_cluster(self, method):
        return MovraError(
            "%s.%s draws the training rows, which stay on the cluster: call to_local() and "
            "draw with the in-memory estimator (its X_ is a sample of the rows)."
            % (type(self).__name__, method))

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
        for name in ("n_features_in_", "feature_names_", "feature_types_", "categories_",
                     "is_fitted_",
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
            unp = local._new_interpreter()
            for name in ("base_margin_", "trees_", "purification_", "effects_", "intercept_"):
                setattr(unp, name, deepcopy(getattr(self.unp_, name)))
            local._keep_effects(unp)
        return local

    def __getstate__(self):
        # A client does not pickle; the fitted state does, as the local estimator's would. The
        # state may be the instance's own __dict__ (object.__getstate__), hence the copy.
        state = dict(super().__getstate__())
        state["client"] = None
        return state


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


class DaskXGB2Regressor(DaskXGB2Mixin, XGB2Regressor):
    __doc__ = _class_doc(
        "Depth-2 XGBoostRegressor on a Dask cluster.\n\n``XGB2Regressor`` on dask arrays or "
        "DataFrames: ``fit`` trains with ``xgboost.dask``; ``predict`` returns a dask array;\n"
        "``parse_model`` and ``partial_dependence`` as in memory; ``to_local`` gives the "
        "equivalent ``XGB2Regressor``.\n", XGB2Regressor)

    __init__ = _init_with_client(XGB2Regressor)
    _local_class = XGB2Regressor

    def predict(self, X):
        """Predict regression targets (a dask array)."""
        return self.estimator_.predict(self._prediction_input(X))


class DaskXGB2Classifier(DaskXGB2Mixin, XGB2Classifier):
    __doc__ = _class_doc(
        "Depth-2 XGBoostClassifier on a Dask cluster.\n\n``XGB2Classifier`` on dask arrays or "
        "DataFrames: binary classification of labels of any type; ``predict``,\n"
        "``predict_proba`` and ``decision_function`` return dask arrays; ``to_local`` gives "
        "the equivalent ``XGB2Classifier``.\n", XGB2Classifier)

    __init__ = _init_with_client(XGB2Classifier)
    _local_class = XGB2Classifier

    def predict_proba(self, X):
        """Class probabilities (a dask array of shape (n_samples, 2))."""
        return self.estimator_.predict_proba(self._prediction_input(X))

    def decision_function(self, X):
        """Log-odds of the second class (a dask array), as in memory."""
        return self.predict_proba(X).map_blocks(_log_odds_block, drop_axis=1, dtype=float)

    def predict(self, X):
        """Class labels (a dask array), the second class where its probability is above 0.5."""
        return self.predict_proba(X).map_blocks(
            _labels_block, self.label_binarizer_, drop_axis=1,
            dtype=self.label_binarizer_.classes_.dtype)
