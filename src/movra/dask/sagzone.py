"""The weak-region diagnoser on data that live on a Dask cluster."""

from movra.diagnoser.sagzone import SagZone
from movra.diagnoser.utils import check_distance
from movra.exceptions import MovraError

from . import _parts
from ._inputs import diagnoser_data, split_mask
from ._slicing import DaskHistogramSlicing


class DaskSagZone(SagZone):
    """Sagzone Test on a Dask cluster.

    ``movra.diagnoser.sagzone.SagZone`` for data held as dask arrays or DataFrames: the same
    parameters (``method`` must be "histogram"), the same search, table and views, with every
    statistic summed per partition on the workers and merged on the client, which never holds
    more than the bins' sums.

    Parameters
    ----------
    estimator : object
        The model to diagnose: its ``predict`` (``predict_proba`` for classification) is mapped
        over the partitions, or, for ``movra.dask`` and ``xgboost.dask`` models, called on the
        dask collection.
    slice_features : list of str
        One or two feature names to slice on.
    task_type, threshold, bins, max_depth, min_samples, metric, use_test, random_state
        As for ``SagZone``.
    method : {"histogram"}, default="histogram"
        Only equal-width histograms: the tree method fits a decision tree to the rows, which
        needs them in memory (``fit`` raises a ``MovraError``).
    client : distributed.Client, default=None
        The cluster's client; None uses the current one.
    distance_bins : int, default=1000
        The fine bins of ``get_distance`` (WD1, KS and quantile PSI) and of ``get_shift``.

    Notes
    -----
    ``x`` is a dask DataFrame (or array) as the model takes it: numeric, boolean, nullable,
    category and text columns, coded per partition by the in-memory conversion, with the
    feature types and labels ``SagZone`` gives them. A categorical column's categories must be
    known on the client, so that a category has one code in every partition: a category column
    with unknown categories or a text column is refused until ``x.categorize()`` makes them
    known (the codes follow the categories' order). A numeric column made categorical by
    ``feature_types`` takes its distinct values as categories (one pass). Class labels of any
    type are read against the model's ``classes_`` (else the labels of y and the predictions,
    one pass), as in memory.

    Set-level metrics ("R2", "AUC", "F1") score a whole set of rows at once and cannot be summed
    over partitions: ``fit`` raises a ``MovraError`` for them.

    The bin edges, bin counts and region counts equal the in-memory ones exactly. Averages are
    merged sums of the partitions (in another order than one pass over all rows): equal to the
    in-memory averages up to the last bits. The threshold value is the exactly rounded weighted
    average of the scores (exact partial sums, rounded once), which does not depend on how the
    rows are partitioned; numpy's pairwise sum in memory can differ from it in its last bit or
    two. A bin whose merged average lies within rounding of the threshold value is judged on its
    exactly rounded average (a second pass over the rows of such bins only).

    ``get_distance`` works on binned counts: PSI with "uniform" buckets equals the in-memory
    value exactly; WD1 and KS are computed on `distance_bins` equal-width bins over both samples'
    range, each within one bin of the in-memory value; PSI with "quantile" buckets takes the
    reference's deciles from the same bins; a numerical feature's missing values are one more
    PSI bucket (WD1 and KS compare the values that are there). A categorical feature's distance
    is PSI over its categories, missing one of them (WD1 and KS are not defined there: NaN). ``get_shift``'s "data" is the binned distribution
    of the feature in both samples ("lb", "ub" or, for a categorical feature, "category";
    "count", "share", "resi_type_"), one row per bin and sample, the missing rows a bin of their
    own (``movra.utils.MISSING``) where there are any. ``get_target_idx`` and the marginal
    view's rows are lazy dask arrays.

    A fitted DaskSagZone pickles without its client; unpickled, it computes with the current
    one.
    """

    def __init__(self, estimator, slice_features, task_type=None, threshold=1.2,
                 method="histogram", bins=10, max_depth=2, min_samples=20, metric=None,
                 use_test=False, random_state=0, client=None, distance_bins=1000):
        SagZone.__init__(self, estimator, slice_features, task_type, threshold, method, bins,
                         max_depth, min_samples, metric, use_test, random_state)
        self.client = client
        self.distance_bins = distance_bins

    def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None,
            sample_weight=None, feature_names=None, feature_types=None, target_name=None,
            predict_name=None):
        """Fit sagzone diagnoser"""
        self.diag = None
        self.output = None
        slicer = self._histogram_slicer()
        client = _parts.resolve_client(self.client)
        data = diagnoser_data(self, x, y, prediction, prediction_proba, sample_weight,
                              feature_names, feature_types, client)
        n = data.n_rows
        train = split_mask(train_idx, "train_idx", data.row_chunks, n, client)
        test = split_mask(test_idx, "test_idx", data.row_chunks, n, client)
        self.x, self.coded_x, self.y = data.x, data.coded, data.y
        self.train_idx, self.test_idx = train, test
        self.sample_weight = data.weights
        self.pred, self.pred_proba = data.pred, data.pred_proba
        self.classes = data.classes
        self.feature_names, self.feature_types = data.feature_names, data.feature_types
        self.category_labels = data.category_labels
        self.target_name = "y" if target_name is None else target_name
        self.predict_name = "prediction" if predict_name is None else predict_name
        self._slicing_columns()
        slicer.search(client, data, train, test, self.use_test)
        self.diag = slicer
        self.output = slicer.output

    def _histogram_slicer(self):
        """The slicer of the settings; the settings a cluster cannot search refused."""
        if self.method == "tree":
            raise MovraError(
                "DaskSagZone searches equal-width histograms only: the tree method fits a "
                "decision tree to the rows, which needs them in memory (use SagZone on rows "
                "that fit in memory, or method='histogram').")
        if self.method != "histogram":
            raise MovraError("sagzone method should be either histogram or tree.")
        slicer = DaskHistogramSlicing(
            estimator=self.estimator, slice_features=self.slice_features,
            task_type=self.task_type, threshold=self.threshold, min_samples=self.min_samples,
            bins=self.bins, metric=self.metric)
        if not slicer.is_metric_additive:
            raise MovraError(
                "DaskSagZone needs a metric with one score per sample (MSE, MAE, ACC, LogLoss, "
                "Brier): %r scores a whole set of rows at once, which needs the rows in memory "
                "(use SagZone)." % (self.metric,))
        return slicer

    def get_target_idx(self):
        """Get sample index in Weak region

        Positions within the searched split, region by region in the order of the table, as a
        lazy dask array.
        """
        return self._fitted_search("get_target_idx").target_positions()

    def _distances(self, psi_buckets, distance_metric, full):
        check_distance(distance_metric, psi_buckets)
        samples = self._fitted_search("get_distance").samples(self._client(), full)
        return samples.distances(psi_buckets, distance_metric, int(self.distance_bins))

    def _shift_data(self, show_feature, full, area_name):
        samples = self._fitted_search("get_shift").samples(self._client(), full)
        position = self.feature_names.index(show_feature)
        return samples.shift_table(position, int(self.distance_bins), area_name)

    def _client(self):
        return _parts.resolve_client(self.client)

    def _fitted_search(self, method):
        diag = getattr(self, "diag", None)
        if diag is None:
            raise MovraError("%s needs a fitted DaskSagZone: call fit first (a fit that failed "
                             "leaves none)." % method)
        return diag

    def __getstate__(self):
        # A client does not pickle; unpickled, the diagnoser computes with the current one.
        state = dict(self.__dict__)
        state["client"] = None
        return state
