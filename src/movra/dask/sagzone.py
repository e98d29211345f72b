"""The weak-region diagnoser on data that live on a Dask cluster."""

from movra.diagnoser.base import BaseDiagnoser
from movra.diagnoser.utils import get_scoring_metric
from movra.exceptions import MovraError

from . import _parts, _views
from ._inputs import diagnoser_data, split_mask
from ._slicing import DaskHistogramSlicing


class DaskSagZone(BaseDiagnoser):
    """Sagzone Test on a Dask cluster.

    The weak-region diagnoser of ``movra.diagnoser.sagzone.SagZone`` for data held as dask
    arrays or DataFrames: the same parameters (``method`` must be "histogram") and the same
    results, with every statistic summed per partition on the workers and merged on the client,
    which never holds more than the bins' sums.

    Parameters
    ----------
    estimator : object
        The model to diagnose: its ``predict`` (``predict_proba`` for classification) is mapped
        over the partitions, or, for ``movra.dask`` and ``xgboost.dask`` models, called on the
        dask collection.
    slice_features : list of str
        One or two feature names to slice on.
    task_type, threshold, bins, min_samples, metric, use_test, random_state
        As for ``SagZone``.
    method : {"histogram"}, default="histogram"
        Only equal-width histograms: the tree method fits a decision tree to the rows, which
        needs them in memory (a ``MovraError`` at construction).
    max_depth : int, default=2
        Kept for the interface of ``SagZone``; unused.
    client : distributed.Client, default=None
        The cluster's client; None uses the current one.

    Notes
    -----
    Set-level metrics ("R2", "AUC", "F1") score a whole set of rows at once and cannot be summed
    over partitions: they raise a ``MovraError`` at construction.

    The bin edges, bin counts and region counts equal the in-memory ones exactly. Averages are
    merged sums of the partitions (in another order than one pass over all rows): equal to the
    in-memory averages up to the last bits. The threshold value is the exactly rounded weighted
    average of the scores (exact partial sums, rounded once), which does not depend on how the
    rows are partitioned; numpy's pairwise sum in memory can differ from it in its last bit or
    two. A bin whose merged average lies within rounding of the threshold value is judged on its
    exactly rounded average (a second pass over the rows of such bins only).
    """

    def __init__(self, estimator, slice_features, task_type=None, threshold=1.2,
                 method="histogram", bins=10, max_depth=2, min_samples=20, metric=None,
                 use_test=False, random_state=0, client=None):
        BaseDiagnoser.__init__(self, estimator, task_type, random_state)
        self.slice_features = slice_features
        self.threshold = threshold
        self.method = method
        self.bins = bins
        self.max_depth = max_depth
        self.min_samples = min_samples
        self.metric = metric
        self.use_test = use_test
        self.random_state = random_state
        self.client = client
        self.diag = None
        self.output = None
        if method == "tree":
            raise MovraError(
                "DaskSagZone searches equal-width histograms only: the tree method fits a "
                "decision tree to the rows, which needs them in memory (use SagZone on rows "
                "that fit in memory, or method='histogram').")
        if method != "histogram":
            raise MovraError("sagzone method should be either histogram or tree.")
        if not get_scoring_metric(metric)[4]:
            raise MovraError(
                "DaskSagZone needs a metric with one score per sample (MSE, MAE, ACC, LogLoss, "
                "Brier): %r scores a whole set of rows at once, which needs the rows in memory "
                "(use SagZone)." % (metric,))

    # ---- fit ----

    def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None,
            sample_weight=None, feature_names=None, feature_types=None, target_name=None,
            predict_name=None):
        """Fit sagzone diagnoser"""
        self.diag = None
        self.output = None
        client = _parts.resolve_client(self.client)
        data = diagnoser_data(self, x, y, prediction, prediction_proba, sample_weight,
                              feature_names, feature_types, client)
        n = data.n_rows
        train = split_mask(train_idx, "train_idx", data.row_chunks, n)
        test = split_mask(test_idx, "test_idx", data.row_chunks, n)
        self.x, self.y = data.x, data.y
        self.train_idx, self.test_idx = train, test
        self.sample_weight = data.weights
        self.pred, self.pred_proba = data.pred, data.pred_proba
        self.feature_names, self.feature_types = data.feature_names, data.feature_types
        self.target_name = "y" if target_name is None else target_name
        self.predict_name = "prediction" if predict_name is None else predict_name
        diag = DaskHistogramSlicing(self)
        diag.search(client, data, train, test)
        self.diag = diag
        self.output = diag.output

    def get_target_idx(self):
        """Get sample index in Weak region"""
        diag = self._fitted("get_target_idx")
        return diag.target_positions()

    def get_result(self):
        """Get sagzone result"""
        return _views.result_view(self, self._fitted("get_result"))

    def get_marginal(self):
        """Get marginal sagzone result

        The same keys as ``SagZone.get_marginal``; "x", "y" and "scores" are the searched split's
        rows as lazy dask arrays (drawing them would bring every row to the client).
        """
        return _views.marginal_view(self, self._fitted("get_marginal"))

    def get_distance(self, psi_buckets="uniform", distance_metric="PSI", compare_to="remaining",
                     distance_bins=1000):
        """Get distance result between samples in and out the weak region.

        The distributions are binned counts summed over the partitions. PSI with "uniform"
        buckets equals the in-memory value exactly (its 10 buckets over the reference sample's
        exact range are counted exactly). WD1 and KS are computed on `distance_bins` equal-width
        bins over both samples' range: KS at the bins' edges, WD1 with each value moved to its
        bin's lower edge, each off from the in-memory value by at most one bin (KS by at most
        the share of rows of one bin, WD1 by at most one bin's width). PSI with "quantile"
        buckets takes the reference's deciles from the same bins, each within one bin of
        numpy's.
        """
        return _views.distance_view(self, self._fitted("get_distance"), psi_buckets,
                                    distance_metric, compare_to, distance_bins)

    def get_shift(self, show_feature=None, compare_to="remaining", distance_bins=1000):
        """Get distribution shift between samples in and out the weak region.

        On a cluster the rows stay where they are: "data" is the binned distribution of
        `show_feature` in both samples, one row per bin and sample, with the columns "lb", "ub"
        (the bin, `distance_bins` equal-width bins over both samples' range), "count", "share"
        (of the sample's rows) and "resi_type_" (the sample: reference first, then "Weak
        Regions").
        """
        return _views.shift_view(self, self._fitted("get_shift"), show_feature, compare_to,
                                 distance_bins)

    def _fitted(self, method):
        diag = getattr(self, "diag", None)
        if diag is None:
            raise MovraError("%s needs a fitted DaskSagZone: call fit first (a fit that failed "
                             "leaves none)." % method)
        return diag
