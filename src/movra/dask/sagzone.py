"""The weak-region diagnoser on data that live on a Dask cluster."""

import numpy as np
import pandas as pd

from movra import _kernels
from movra.diagnoser.base import BaseDiagnoser
from movra.diagnoser.utils import get_scoring_metric
from movra.exceptions import MovraError
from movra.utils import TestDataResult

from . import _parts
from ._distances import binned_distance, fine_edges, psi_edges
from ._inputs import diagnoser_data, split_mask

# Columns of the per-row frame the searches read (after the one or two slicing columns).
_SCORE, _WEIGHT, _SPLIT = 0, 1, 2
_TRAIN, _TEST = 1, 2


def _frame_block(x, y, pred, weights, train, test, columns, scoring_func):
    """The rows of one partition as the searches read them, column by column (Fortran order, so
    each column is contiguous): the slicing columns, the per-sample score, the weight and the
    split code (1 training, 2 test, 3 both)."""
    n, k = x.shape[0], len(columns)
    out = np.empty((n, k + 3), order="F")
    for j, c in enumerate(columns):
        out[:, j] = x[:, c]
    out[:, k + _SCORE] = np.nan if pred is None else scoring_func(np.ravel(y), np.ravel(pred))
    out[:, k + _WEIGHT] = 1.0 if weights is None else weights
    out[:, k + _SPLIT] = (np.asarray(train, dtype=bool) * _TRAIN
                          + np.asarray(test, dtype=bool) * _TEST)
    return out


class _Frame:
    """The persisted per-row frame and how to read one partition of it."""

    def __init__(self, array, n_slicing, weighted):
        self.array = array
        self.k = n_slicing
        self.weighted = weighted

    def columns(self, block):
        return block[:, 0], (block[:, 1] if self.k == 2 else None)

    def scores(self, block):
        return block[:, self.k + _SCORE]

    def weights(self, block):
        return block[:, self.k + _WEIGHT] if self.weighted else None

    def selected(self, block, split):
        return (block[:, self.k + _SPLIT].astype(np.uint8) & split) != 0


# ---- the passes over the partitions (module-level, so that workers unpickle them) ----

def _frame_columns(x, y, pred, weights, train, test, columns, scoring_func):
    return _frame_block(x, y[:, 0], None if pred is None else pred[:, 0],
                        None if weights is None else weights[:, 0], train[:, 0], test[:, 0],
                        columns, scoring_func)


def _frame_array(data, pred, train, test, columns, scoring_func):
    import dask.array as da

    # Blockwise, so that each partition's frame is made where its rows are.
    column = [None if a is None else a[:, None]
              for a in (data.y, pred, data.weights, train, test)]
    return da.map_blocks(_frame_columns, data.x, *column, columns=columns,
                         scoring_func=scoring_func, dtype=float,
                         chunks=(data.row_chunks, (len(columns) + 3,)))


def _first_pass(block, frame, searched, limit):
    first, second = frame.columns(block)
    out = {}
    for name, split in (("train", _TRAIN), ("test", _TEST)):
        selected = frame.selected(block, split)
        ranges = [_kernels.column_ranges(c, selected) for c in (first, second) if c is not None]
        out[name + "_min"] = np.array([r["min"][0] for r in ranges])
        out[name + "_max"] = np.array([r["max"][0] for r in ranges])
        out[name + "_count"] = ranges[0]["count"]
    selected = frame.selected(block, searched)
    out["distinct"] = _kernels.distinct_values(first, limit, selected)
    out["totals"] = _kernels.score_totals(frame.scores(block), frame.weights(block), selected)
    out["counts"] = [int(np.count_nonzero(selected))]
    return out


def _merge_first(a, b, limit):
    totals = _parts.merge_dicts(a["totals"], b["totals"], {
        "count": "add", "sum": "exact", "weighted": "exact", "weight": "exact", "low": "min",
        "high": "max", "low_weight": "min"})
    out = _parts.merge_dicts(a, b, {
        "train_min": "min", "train_max": "max", "train_count": "add", "test_min": "min",
        "test_max": "max", "test_count": "add", "counts": "list"})
    out["totals"] = totals
    out["distinct"] = _union(a["distinct"], b["distinct"], limit)
    return out


def _union(a, b, limit):
    values = np.union1d(a, b)
    return values[:limit]


def _profile_pass(block, frame, searched, edges, limit):
    first, second = frame.columns(block)
    return _kernels.first_bin_profile(first, second, edges, limit,
                                      frame.selected(block, searched))


def _merge_profile(a, b, limit):
    return {"support": a["support"] + b["support"], "min": np.minimum(a["min"], b["min"]),
            "max": np.maximum(a["max"], b["max"]),
            "distinct": [_union(x, y, limit) for x, y in zip(a["distinct"], b["distinct"])]}


def _cell_pass(block, frame, searched, edges, second_edges):
    first, second = frame.columns(block)
    return _kernels.cell_sums(first, second, edges, second_edges, frame.scores(block),
                              frame.weights(block), frame.selected(block, searched))


def _exact_pass(block, frame, searched, edges, second_edges, cells):
    first, second = frame.columns(block)
    return _kernels.exact_cell_sums(first, second, edges, second_edges, frame.scores(block),
                                    frame.weights(block), frame.selected(block, searched), cells)


def _merge_exact_cells(a, b):
    return [(x[0] + y[0], _parts.merge_exact(x[1], y[1]), _parts.merge_exact(x[2], y[2]))
            for x, y in zip(a, b)]


def _region_pass(block, frame, boxes):
    first, second = frame.columns(block)
    scores, weights = frame.scores(block), frame.weights(block)
    return {name: _kernels.region_sums(first, second, boxes[name], scores, weights,
                                       frame.selected(block, split))
            for name, split in (("train", _TRAIN), ("test", _TEST))}


def _merge_regions(a, b):
    return {name: _parts.merge_sums(a[name], b[name]) for name in a}


def _region_scores_block(block, frame, split, box):
    first, second = frame.columns(block)
    positions = _kernels.region_positions(first, second, box, frame.selected(block, split), 0)
    chosen = np.flatnonzero(frame.selected(block, split))[positions]
    return frame.scores(block)[chosen]


def _region_positions_block(block, frame, split, box, offset):
    first, second = frame.columns(block)
    return _kernels.region_positions(first, second, box, frame.selected(block, split), offset)


def _split_rows_block(block, frame, split, column):
    selected = frame.selected(block, split)
    return block[selected, column] if column is not None else None


# ---- the diagnoser ----

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
        diag = _DaskHistogramSlicing(self)
        diag.search(client, data, train, test)
        self.diag = diag
        self.output = diag.output

    def get_target_idx(self):
        """Get sample index in Weak region"""
        diag = self._fitted("get_target_idx")
        return diag.target_positions()

    def get_result(self):
        """Get sagzone result"""
        diag = self._fitted("get_result")
        value = {name: getattr(self, name)
                 for name in ("slice_features", "bins", "method", "min_samples", "metric")}
        value["threshold_value"] = diag.threshold_value
        value["data"] = self.output
        return TestDataResult(key="sagzone_result", value=value)

    def get_marginal(self):
        """Get marginal sagzone result

        The same keys as ``SagZone.get_marginal``; "x", "y" and "scores" are the searched split's
        rows as lazy dask arrays (drawing them would bring every row to the client).
        """
        diag = self._fitted("get_marginal")
        value = {name: getattr(self, name)
                 for name in ("slice_features", "bins", "method", "min_samples", "metric")}
        for key, name in (("weak_region_stats", "weak_region_stats"), ("fidx", "fidx"),
                          ("rule_list", "rule_list"), ("x", "x"), ("y", "y"),
                          ("threshold_value", "threshold_value"), ("score_name", "score_name"),
                          ("_sign", "score_sign"), ("scores", "scores"), ("use_test", "use_test"),
                          ("is_metric_additive", "is_metric_additive")):
            value[key] = getattr(diag, name)
        value["feature_names"] = self.feature_names
        return TestDataResult(key="sagzone_plot", value=value)

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
        diag = self._fitted("get_distance")
        title, _, full = _compare_to(compare_to)
        if distance_metric not in ("PSI", "WD1", "KS"):
            raise MovraError("Unsupported distance method %r; use 'PSI', 'WD1' or 'KS'."
                             % (distance_metric,))
        if distance_metric == "PSI" and psi_buckets not in ("uniform", "quantile"):
            raise MovraError("Unsupported buckettype %r; use 'uniform' or 'quantile'."
                             % (psi_buckets,))
        distances = diag.distances(psi_buckets, distance_metric, full, int(distance_bins))
        order = sorted(range(len(distances)),
                       key=lambda i: (np.isnan(distances[i]), -np.nan_to_num(distances[i])))
        top = order[:10]
        value = {
            "purpose": "diagnose", "distance_metric": distance_metric,
            "slice_features": self.slice_features, "bins": self.bins,
            "threshold_value": self.threshold, "method": self.method,
            "min_samples": self.min_samples, "metric": self.metric, "title": title,
            "x": [str(self.feature_names[i]) for i in top],
            "y": np.round(np.array([distances[i] for i in top], dtype=float), 4),
        }
        return TestDataResult(key="resilience_shift_histogram", value=value)

    def get_shift(self, show_feature=None, compare_to="remaining", distance_bins=1000):
        """Get distribution shift between samples in and out the weak region.

        On a cluster the rows stay where they are: "data" is the binned distribution of
        `show_feature` in both samples, one row per bin and sample, with the columns "lb", "ub"
        (the bin, `distance_bins` equal-width bins over both samples' range), "count", "share"
        (of the sample's rows) and "resi_type_" (the sample: reference first, then "Weak
        Regions").
        """
        diag = self._fitted("get_shift")
        if show_feature is None:
            show_feature = self.feature_names[0]
        position = self.feature_names.index(show_feature)
        feature_type = self.feature_types[position]
        title, area_name, full = _compare_to(compare_to)
        edges, weak, reference = diag.distribution(position, full, int(distance_bins))
        frames = []
        for counts, name in ((reference, area_name), (weak, "Weak Regions")):
            total = counts.sum()
            frames.append(pd.DataFrame({
                "lb": edges[:-1], "ub": edges[1:], "count": counts,
                "share": counts / total if total > 0 else np.zeros_like(counts),
                "resi_type_": name}))
        value = {
            "title": title, "show_feature": show_feature, "slice_features": self.slice_features,
            "bins": self.bins, "threshold_value": self.threshold, "method": self.method,
            "min_samples": self.min_samples, "metric": self.metric,
            "feature_type": feature_type,
            "data": pd.concat(frames, axis=0).reset_index(drop=True),
        }
        return TestDataResult(key="sagzone_shift", value=value)

    def _fitted(self, method):
        diag = getattr(self, "diag", None)
        if diag is None:
            raise MovraError("%s needs a fitted DaskSagZone: call fit first (a fit that failed "
                             "leaves none)." % method)
        return diag


def _compare_to(compare_to):
    if isinstance(compare_to, str):
        if compare_to == "remaining":
            return "Distribution Shift: Weak vs Remaining Regions", "Remaining Regions", False
        if compare_to == "full":
            return "Distribution Shift: Weak vs Full Regions", "Full Regions", True
    raise MovraError("Unsupported value of compare_to.")


class _DaskHistogramSlicing:
    """What the in-memory slicer holds after a fit, found from sums over the partitions."""

    def __init__(self, zone):
        (self.score_name, self.score_sign, self.scoring_func, self.needs_proba,
         self.is_metric_additive) = get_scoring_metric(zone.metric, average=False)
        threshold = zone.threshold
        self.threshold = 1 / threshold if self.score_sign > 0 and threshold > 0 else threshold
        self.bins = zone.bins
        self.min_samples = zone.min_samples
        self.use_test = zone.use_test
        self.slice_features = zone.slice_features
        self.feature_names = zone.feature_names
        self.weak_region = []
        self.rule_list = []
        self.weak_region_stats = []
        self.output = None

    # ---- the search ----

    def search(self, client, data, train, test):
        names = self.feature_names
        fidx = []
        for feature in self.slice_features:
            if feature not in names:
                raise MovraError("slicing feature %r is not one of the feature names."
                                 % (feature,))
            if names.index(feature) not in fidx:
                fidx.append(names.index(feature))
        if not fidx:
            raise MovraError("Only Support at most two slicing features.")
        self.fidx = fidx
        columns = fidx[:2]
        pred = data.pred_proba if self.needs_proba else data.pred
        searched_name = "test" if self.use_test else "train"
        if pred is None:
            raise MovraError(
                "%s_pred is None: the metric needs predictions of this split (predicted "
                "probabilities for a probability metric)." % searched_name)
        weighted = data.weights is not None
        frame_array = _frame_array(data, pred, train, test, columns, self.scoring_func)
        frame_array = client.persist(frame_array)
        frame = _Frame(frame_array, len(columns), weighted)
        self._client, self._frame, self._data = client, frame, data
        self._searched = _TEST if self.use_test else _TRAIN
        limit = int(self.bins) if int(self.bins) > 0 else 0

        first = _parts.map_reduce(
            client, _first_pass, [frame_array], _merge_first_with(limit), frame, self._searched,
            limit)
        self._split_counts = first["counts"]
        for name in ("train", "test"):
            low, high = first[name + "_min"], first[name + "_max"]
            for k, feature in enumerate(self.slice_features[:len(columns)]):
                if first[name + "_count"] > 0 and not (np.isfinite(low[k])
                                                       and np.isfinite(high[k])):
                    raise MovraError("slicing feature %r holds NaN or infinite values."
                                     % (feature,))
        searched_count = first[searched_name + "_count"]
        if searched_count == 0:
            raise MovraError(
                "The test split has no rows (test_idx selects none): there is nothing to "
                "search for weak regions." if self.use_test else
                "The training split has no rows (train_idx selects none): there is nothing to "
                "search for weak regions.")
        self._test_max = first["test_max"]
        totals = first["totals"]
        self._totals = totals
        self._weighted_average = weighted and _parts.rounded(totals["weight"]) > 0
        if self._weighted_average:
            average = _parts.rounded(totals["weighted"]) / _parts.rounded(totals["weight"])
        else:
            average = _parts.rounded(totals["sum"]) / totals["count"]
        self.threshold_value = self.threshold * np.float64(average)
        self._weighted = weighted
        self._range = (float(first[searched_name + "_min"][0]),
                       float(first[searched_name + "_max"][0]))
        # numpy's own edges (and errors) from the global range, as np.histogram finds them.
        n_bins = min(len(first["distinct"]), int(self.bins))
        self.bins1d = np.histogram_bin_edges(np.array(self._range), bins=n_bins,
                                             range=self._range)
        if len(columns) == 1:
            self._search_one()
        else:
            self._search_two(first)
        if self.weak_region:
            self._measure_regions(test_rows=first["test_count"])

    def _exact_averages(self, edges, second_edges, cells):
        """The exactly rounded average of each cell in `cells` (a pass over their rows); NaN
        where the weights sum to zero (the plain mean of the merged sums stands there)."""
        parts = _parts.map_partitions(_exact_pass, [self._frame.array], self._frame,
                                      self._searched, edges, second_edges, list(cells))
        sums = _parts.compute(self._client, _parts.reduce_parts(parts, _merge_exact_cells))
        averages = []
        for count, weighted, weight in sums:
            if not self._weighted:
                averages.append(_parts.rounded(weighted) / count if count else np.nan)
            elif _parts.rounded(weight) != 0:
                averages.append(_parts.rounded(weighted) / _parts.rounded(weight))
            else:
                averages.append(np.nan)
        return averages

    def _settled(self, sums, offsets, edges, second_edges):
        """Exact averages for the cells whose merged average is near the threshold value."""
        count = sums["count"].astype(float)
        with np.errstate(invalid="ignore", divide="ignore"):
            if self._weighted:
                values = np.where(sums["weight"] != 0, sums["weighted"] / sums["weight"],
                                  sums["sum"] / count)
            else:
                values = sums["sum"] / count
        totals = self._totals
        near = _kernels.merged_near_ties(np.nan_to_num(values), count, totals["count"],
                                         float(self.threshold_value), totals["low"],
                                         totals["high"], totals["low_weight"])
        cells = np.flatnonzero(near)
        settled = np.full(count.shape[0], np.nan)
        if cells.size:
            settled[cells] = self._exact_averages(edges, second_edges, cells.tolist())
        self.near_ties_ = int(cells.size)
        return [settled[offsets[b]:offsets[b + 1]] for b in range(len(offsets) - 1)]

    def _judge(self, edges, low, high, sums, settled, two):
        return _kernels.judge_merged_bins(
            edges, low, high, sums, self._weighted, float(self.threshold_value),
            float(self.score_sign), int(self.min_samples), two, settled)

    def _search_one(self):
        edges = self.bins1d
        sums = _parts.map_reduce(self._client, _cell_pass, [self._frame.array],
                                 _parts.merge_sums, self._frame, self._searched, edges, None)
        settled = self._settled(sums, [0, len(edges) - 1], edges, None)[0]
        judged = self._judge(edges, self._range[0], self._range[1], sums, settled, False)
        self.weak_region = [{"lb1": float(lb), "ub1": float(ub)}
                            for lb, ub, _, _ in zip(*judged["regions"])]
        self.rule_list = [_rule(lb, ub, None, None, value, count)
                          for lb, ub, value, count in zip(*judged["rules"])]

    def _search_two(self, first):
        edges = self.bins1d
        limit = int(self.bins)
        profile = _parts.map_reduce(self._client, _profile_pass, [self._frame.array],
                                    _merge_profile_with(limit), self._frame, self._searched,
                                    edges, limit)
        low1, high1 = self._range
        second_edges, bin_ranges = [], []
        for b in range(len(edges) - 1):
            if profile["support"][b] == 0:
                second_edges.append(None)
                continue
            lo2, hi2 = float(profile["min"][b]), float(profile["max"][b])
            count = min(len(profile["distinct"][b]), limit)
            second_edges.append(np.histogram_bin_edges(np.array([lo2, hi2]), bins=count,
                                                       range=(lo2, hi2)))
            bin_ranges.append((lo2, hi2))
        sums = _parts.map_reduce(self._client, _cell_pass, [self._frame.array],
                                 _parts.merge_sums, self._frame, self._searched, edges,
                                 second_edges)
        offsets = [0]
        for e in second_edges:
            offsets.append(offsets[-1] + (0 if e is None else len(e) - 1))
        settled = self._settled(sums, offsets, edges, second_edges)
        self.bin_stats = []
        for b in range(len(edges) - 1):
            lb1, ub1 = max(edges[b], low1), min(edges[b + 1], high1)
            support = int(profile["support"][b])
            if support == 0:
                self.bin_stats.append({"lb1": float(lb1), "ub1": float(ub1), "lb2": np.nan,
                                       "ub2": np.nan, "support": 0})
                continue
            lb2, ub2 = float(profile["min"][b]), float(profile["max"][b])
            self.bin_stats.append({"lb1": float(lb1), "ub1": float(ub1), "lb2": lb2,
                                   "ub2": ub2, "support": support})
            cell = {key: sums[key][offsets[b]:offsets[b + 1]]
                    for key in ("count", "sum", "weight", "weighted")}
            judged = self._judge(second_edges[b], lb2, ub2, cell, settled[b], True)
            self.rule_list.extend(_rule(lb1, ub1, lb, ub, value, count)
                                  for lb, ub, value, count in zip(*judged["rules"]))
            counts, e2 = cell["count"], second_edges[b]
            per_row = 100.0 / support
            for lb, ub, _, _ in zip(*judged["regions"]):
                below = int(counts[e2[1:] <= lb].sum())
                up_to = support if ub2 == ub else int(counts[e2[1:] <= ub].sum())
                self.weak_region.append({"lb1": float(lb1), "ub1": float(ub1),
                                         "lb2": float(lb), "ub2": float(ub),
                                         "lb2q": float(below) * per_row,
                                         "ub2q": float(up_to) * per_row})

    # ---- the regions on both splits ----

    def _boxes(self, closed_at=None):
        k = len(self.fidx[:2])
        rows = []
        for region in self.weak_region:
            row = []
            for f in range(2):
                if f < k:
                    lb, ub = region["lb%d" % (f + 1)], region["ub%d" % (f + 1)]
                    closed = closed_at is not None and ub == closed_at[f]
                    row += [lb, ub, float(closed)]
                else:
                    row += [0.0, 0.0, 0.0]
            rows.append(row)
        return np.array(rows, dtype=float).reshape(-1, 6)

    def _measure_regions(self, test_rows):
        if test_rows == 0:
            raise MovraError(
                "test_x has no rows: the weak regions cannot be measured on the test data.")
        # An upper bound is closed where it reaches the test data's maximum of that column.
        boxes = self._boxes(closed_at=self._test_max)
        sums = _parts.map_reduce(self._client, _region_pass, [self._frame.array],
                                 _merge_regions, self._frame, {"train": boxes, "test": boxes})
        name = self.score_name
        sides = {}
        for side in ("train", "test"):
            s = sums[side]
            averages = []
            for r in range(len(self.weak_region)):
                count = int(s["count"][r])
                if count == 0:
                    averages.append(np.nan)
                elif self._weighted and s["weight"][r] != 0:
                    averages.append(float(s["weighted"][r] / s["weight"][r]))
                else:
                    averages.append(float(s["sum"][r] / count))
            sides[side] = (s["count"].astype(np.int64), averages)
        gaps = [sides["test"][1][r] - sides["train"][1][r] for r in range(len(self.weak_region))]
        order = sorted(range(len(gaps)), key=lambda r: (np.isnan(gaps[r]),
                                                        -np.nan_to_num(gaps[r])))
        rows = []
        for r in range(len(self.weak_region)):
            row = dict(self.weak_region[r])
            row["#Train"] = int(sides["train"][0][r])
            row["#Test"] = int(sides["test"][0][r])
            for side, split in (("train", _TRAIN), ("test", _TEST)):
                count = int(sides[side][0][r])
                row["%s_%s All" % (side, name)] = (
                    self._region_scores(split, boxes[r:r + 1]) if count else [])
                row["%s_%s" % (side, name)] = sides[side][1][r]
            row["Gap"] = gaps[r]
            rows.append(row)
        self.weak_region_stats = [rows[r] for r in order]
        features = [self.feature_names[f] for f in self.fidx[:2]]
        table, names = {}, []
        for f, feature in enumerate(features):
            for bound in ("lb", "ub"):
                key = "%s%d" % (bound, f + 1)
                table[key] = np.array([rows[r][key] for r in order], dtype=float)
            names += ["[" + str(feature), str(feature) + ")"]
        table["#Test"] = np.array([rows[r]["#Test"] for r in order], dtype=np.int64)
        table["#Train"] = np.array([rows[r]["#Train"] for r in order], dtype=np.int64)
        for side in ("test", "train"):
            key = "%s_%s" % (side, name)
            table[key] = np.array([rows[r][key] for r in order], dtype=float)
        table["Gap"] = np.array([gaps[r] for r in order], dtype=float)
        names += ["#Test", "#Train", "test_" + name, "train_" + name, "Gap"]
        output = pd.DataFrame(table)
        # Set afterwards: two features of the same name must still give two columns each.
        output.columns = names
        self.output = output

    def _region_scores(self, split, box):
        """The scores of a split's rows inside one region, lazily, partition by partition."""
        import dask
        import dask.array as da

        blocks = _parts.row_blocks(self._frame.array)
        call = dask.delayed(_region_scores_block, pure=True)
        pieces = [da.from_delayed(call(block, self._frame, split, box), shape=(np.nan,),
                                  dtype=float) for block in blocks]
        return da.concatenate(pieces)

    # ---- what the views read ----

    @property
    def x(self):
        return self._split_rows(self._data.x)

    @property
    def y(self):
        return self._split_rows(self._data.y)

    @property
    def scores(self):
        return self._split_rows(self._frame.array[:, self._frame.k + _SCORE])

    def _split_rows(self, array):
        mask = self._frame.array[:, self._frame.k + _SPLIT].astype(np.uint8) & self._searched
        return array[mask != 0]

    def target_positions(self):
        """Positions within the searched split of the rows in each weak region (upper bounds
        open), region by region in the order of weak_region_stats, as a lazy dask array."""
        import dask
        import dask.array as da

        if not self.weak_region_stats:
            raise ValueError("need at least one array to concatenate")
        blocks = _parts.row_blocks(self._frame.array)
        offsets = np.concatenate([[0], np.cumsum(self._split_counts)[:-1]]).astype(np.int64)
        call = dask.delayed(_region_positions_block, pure=True)
        pieces = []
        for region in self.weak_region_stats:
            box = self._region_box(region)
            pieces += [da.from_delayed(call(block, self._frame, self._searched, box, int(o)),
                                       shape=(np.nan,), dtype=np.int64)
                       for block, o in zip(blocks, offsets)]
        return da.concatenate(pieces)

    def _region_box(self, region):
        row = [region["lb1"], region["ub1"], 0.0]
        row += [region["lb2"], region["ub2"], 0.0] if len(self.fidx) > 1 else [0.0, 0.0, 0.0]
        return np.array([row], dtype=float)

    # ---- distances ----

    def _target_boxes(self):
        return np.array([self._region_box(r)[0] for r in self.weak_region_stats],
                        dtype=float).reshape(-1, 6)

    def distances(self, buckettype, method, full, distance_bins):
        boxes = self._target_boxes()
        x = self._data.x
        ranges = _parts.map_reduce(self._client, _sample_ranges, [x, self._frame.array],
                                   _merge_sample_ranges, self._frame, self._searched, boxes,
                                   full)
        n_features = x.shape[1]
        edges = []
        for j in range(n_features):
            if method == "PSI" and buckettype == "uniform":
                edges.append(psi_edges(ranges["reference"]["min"][j],
                                       ranges["reference"]["max"][j]))
            else:
                edges.append(fine_edges(ranges, j, distance_bins))
        counts = _parts.map_reduce(self._client, _sample_histograms, [x, self._frame.array],
                                   _merge_histograms, self._frame, self._searched, boxes, full,
                                   edges)
        return [binned_distance(edges[j], counts[j], ranges, j, buckettype, method)
                for j in range(n_features)]

    def distribution(self, position, full, distance_bins):
        boxes = self._target_boxes()
        x = self._data.x
        ranges = _parts.map_reduce(self._client, _sample_ranges, [x, self._frame.array],
                                   _merge_sample_ranges, self._frame, self._searched, boxes,
                                   full)
        n_features = x.shape[1]
        edges = [fine_edges(ranges, j, distance_bins) if j == position else np.array([0.0])
                 for j in range(n_features)]
        counts = _parts.map_reduce(self._client, _sample_histograms, [x, self._frame.array],
                                   _merge_histograms, self._frame, self._searched, boxes, full,
                                   edges)[position]
        n_bins = counts.shape[0] // 2
        return edges[position], counts[:n_bins], counts[n_bins:]


def _merge_first_with(limit):
    return _BoundMerge(_merge_first, limit)


def _merge_profile_with(limit):
    return _BoundMerge(_merge_profile, limit)


class _BoundMerge:
    """merge(a, b, limit) as a picklable two-argument callable."""

    def __init__(self, merge, limit):
        self.merge, self.limit = merge, limit

    def __call__(self, a, b):
        return self.merge(a, b, self.limit)


def _sample_weights(block, frame, searched, boxes, full):
    """Per row: how many times it is in the weak sample, and in the reference sample."""
    first, second = frame.columns(block)
    selected = frame.selected(block, searched)
    weak = _kernels.region_multiplicity(first, second, boxes, selected).astype(float)
    reference = selected.astype(float) if full else (selected & (weak == 0)).astype(float)
    return weak, reference


def _sample_ranges(x, block, frame, searched, boxes, full):
    weak, reference = _sample_weights(block, frame, searched, boxes, full)
    return {"weak": _kernels.column_ranges(x, weak > 0),
            "reference": _kernels.column_ranges(x, reference > 0)}


def _merge_sample_ranges(a, b):
    how = {"min": "min", "max": "max", "count": "add", "any_nan": "any", "any_inf": "any"}
    return {name: _parts.merge_dicts(a[name], b[name], how) for name in a}


def _sample_histograms(x, block, frame, searched, boxes, full, edges):
    weak, reference = _sample_weights(block, frame, searched, boxes, full)
    return _kernels.weighted_histograms(x, edges, weak, reference)


def _merge_histograms(a, b):
    return [p + q for p, q in zip(a, b)]


def _rule(lb1, ub1, lb2, ub2, value, count):
    splits = {"f0": {"lb": float(lb1), "ub": float(ub1)}}
    if lb2 is not None:
        splits["f1"] = {"lb": float(lb2), "ub": float(ub2)}
    return {"splits": splits, "values": float(value), "counts": int(count)}
