"""The histogram search for weak regions from sums merged over the partitions: the bins' edges
from a first pass, each bin judged against the threshold value on its merged sums, and the bins
within rounding of it judged again on exact sums."""

import numpy as np

from movra import _kernels
from movra.diagnoser.utils import get_scoring_metric
from movra.exceptions import MovraError

from . import _parts
from ._frame import SPLITS, TEST, TRAIN, Frame, frame_array
from ._regions import measure_regions, target_positions
from ._samples import RegionSamples

_CELL_SUMS = ("count", "sum", "weight", "weighted")


# ---- the passes over the partitions (module-level, so that workers unpickle them) ----

def _first_pass(block, frame, searched, limit):
    first, second = frame.columns(block)
    out = {}
    for name, split in SPLITS:
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


class _BoundMerge:
    """merge(a, b, limit) as a picklable two-argument callable."""

    def __init__(self, merge, limit):
        self.merge, self.limit = merge, limit

    def __call__(self, a, b):
        return self.merge(a, b, self.limit)


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


# ---- what the first pass tells ----

def _slicing_indices(slice_features, feature_names):
    """The positions of the slicing features, each once, in the order given."""
    fidx = []
    for feature in slice_features:
        if feature not in feature_names:
            raise MovraError("slicing feature %r is not one of the feature names." % (feature,))
        if feature_names.index(feature) not in fidx:
            fidx.append(feature_names.index(feature))
    if not fidx:
        raise MovraError("Only Support at most two slicing features.")
    return fidx


def _check_slicing_values(first, slice_features):
    for name, _ in SPLITS:
        low, high = first[name + "_min"], first[name + "_max"]
        for k, feature in enumerate(slice_features):
            if first[name + "_count"] > 0 and not (np.isfinite(low[k])
                                                   and np.isfinite(high[k])):
                raise MovraError("slicing feature %r holds NaN or infinite values."
                                 % (feature,))


def _overall_average(totals, weighted):
    """The searched split's average score, from its exact sums rounded once."""
    if weighted and _parts.rounded(totals["weight"]) > 0:
        return _parts.rounded(totals["weighted"]) / _parts.rounded(totals["weight"])
    return _parts.rounded(totals["sum"]) / totals["count"]


# ---- the bins of a pair of features ----

def _second_edges(profile, b, limit):
    """The second feature's equal-width edges within first bin b; None for an empty bin."""
    if profile["support"][b] == 0:
        return None
    lo2, hi2 = float(profile["min"][b]), float(profile["max"][b])
    count = min(len(profile["distinct"][b]), limit)
    return np.histogram_bin_edges(np.array([lo2, hi2]), bins=count, range=(lo2, hi2))


def _cell_offsets(second_edges):
    """Where each first bin's cells start in the merged sums, and where the last ends."""
    offsets = [0]
    for e in second_edges:
        offsets.append(offsets[-1] + (0 if e is None else len(e) - 1))
    return offsets


def _bin_stat(lb1, ub1, lb2, ub2, support):
    return {"lb1": float(lb1), "ub1": float(ub1), "lb2": lb2, "ub2": ub2, "support": support}


def _second_regions(regions, lb1, ub1, ub2, counts, second_edges, support):
    """The weak regions within one first bin, their second bounds also as percentiles of the
    bin's rows."""
    per_row = 100.0 / support
    out = []
    for lb, ub, _, _ in zip(*regions):
        below = int(counts[second_edges[1:] <= lb].sum())
        up_to = support if ub2 == ub else int(counts[second_edges[1:] <= ub].sum())
        out.append({"lb1": float(lb1), "ub1": float(ub1), "lb2": float(lb), "ub2": float(ub),
                    "lb2q": float(below) * per_row, "ub2q": float(up_to) * per_row})
    return out


def _rule(lb1, ub1, lb2, ub2, value, count):
    splits = {"f0": {"lb": float(lb1), "ub": float(ub1)}}
    if lb2 is not None:
        splits["f1"] = {"lb": float(lb2), "ub": float(ub2)}
    return {"splits": splits, "values": float(value), "counts": int(count)}


class DaskHistogramSlicing:
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
        self.fidx = _slicing_indices(self.slice_features, self.feature_names)
        self._persist_frame(client, data, train, test)
        limit = max(int(self.bins), 0)
        first = self._map_reduce(_first_pass, _BoundMerge(_merge_first, limit), limit)
        self._read_first_pass(first)
        if self._frame.k == 1:
            self._search_one()
        else:
            self._search_two()
        if self.weak_region:
            self._measure_regions(test_rows=first["test_count"])

    def _persist_frame(self, client, data, train, test):
        pred = data.pred_proba if self.needs_proba else data.pred
        if pred is None:
            raise MovraError(
                "%s_pred is None: the metric needs predictions of this split (predicted "
                "probabilities for a probability metric)." % self._searched_name())
        columns = self.fidx[:2]
        array = client.persist(frame_array(data, pred, train, test, columns, self.scoring_func))
        self._frame = Frame(array, len(columns), data.weights is not None)
        self._client, self._data = client, data
        self._searched = TEST if self.use_test else TRAIN

    def _searched_name(self):
        return "test" if self.use_test else "train"

    def _map_reduce(self, func, merge, *args):
        """func(block, frame, searched split, *args) on every partition, merged by `merge`."""
        return _parts.map_reduce(self._client, func, [self._frame.array], merge, self._frame,
                                 self._searched, *args)

    def _read_first_pass(self, first):
        searched_name = self._searched_name()
        self._split_counts = first["counts"]
        # The searched columns, each once: the names of self.fidx, not of slice_features, which
        # may repeat a feature.
        _check_slicing_values(first, [self.feature_names[f] for f in self.fidx[:self._frame.k]])
        if first[searched_name + "_count"] == 0:
            raise MovraError(
                "The test split has no rows (test_idx selects none): there is nothing to "
                "search for weak regions." if self.use_test else
                "The training split has no rows (train_idx selects none): there is nothing to "
                "search for weak regions.")
        self._test_max = first["test_max"]
        self._totals = first["totals"]
        self._weighted = self._frame.weighted
        average = _overall_average(self._totals, self._weighted)
        self.threshold_value = self.threshold * np.float64(average)
        self._range = (float(first[searched_name + "_min"][0]),
                       float(first[searched_name + "_max"][0]))
        # numpy's own edges (and errors) from the global range, as np.histogram finds them.
        n_bins = min(len(first["distinct"]), int(self.bins))
        self.bins1d = np.histogram_bin_edges(np.array(self._range), bins=n_bins,
                                             range=self._range)

    # ---- each bin judged on its merged sums, near ties on exact sums ----

    def _exact_averages(self, edges, second_edges, cells):
        """The exactly rounded average of each cell in `cells` (a pass over their rows); NaN
        where the weights sum to zero (the plain mean of the merged sums stands there)."""
        sums = self._map_reduce(_exact_pass, _merge_exact_cells, edges, second_edges,
                                list(cells))
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
        values = _parts.merged_averages(sums, self._weighted)
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
        sums = self._map_reduce(_cell_pass, _parts.merge_sums, edges, None)
        settled = self._settled(sums, [0, len(edges) - 1], edges, None)[0]
        judged = self._judge(edges, self._range[0], self._range[1], sums, settled, False)
        self.weak_region = [{"lb1": float(lb), "ub1": float(ub)}
                            for lb, ub, _, _ in zip(*judged["regions"])]
        self.rule_list = [_rule(lb, ub, None, None, value, count)
                          for lb, ub, value, count in zip(*judged["rules"])]

    def _search_two(self):
        edges, limit = self.bins1d, int(self.bins)
        profile = self._map_reduce(_profile_pass, _BoundMerge(_merge_profile, limit), edges,
                                   limit)
        second_edges = [_second_edges(profile, b, limit) for b in range(len(edges) - 1)]
        sums = self._map_reduce(_cell_pass, _parts.merge_sums, edges, second_edges)
        offsets = _cell_offsets(second_edges)
        settled = self._settled(sums, offsets, edges, second_edges)
        self.bin_stats = []
        for b in range(len(edges) - 1):
            cell = {key: sums[key][offsets[b]:offsets[b + 1]] for key in _CELL_SUMS}
            self._search_second(b, profile, cell, settled[b], second_edges[b])

    def _search_second(self, b, profile, cell, settled, second_edges):
        """The second feature's bins within first bin b, judged."""
        lb1, ub1 = max(self.bins1d[b], self._range[0]), min(self.bins1d[b + 1], self._range[1])
        support = int(profile["support"][b])
        if support == 0:
            self.bin_stats.append(_bin_stat(lb1, ub1, np.nan, np.nan, 0))
            return
        lb2, ub2 = float(profile["min"][b]), float(profile["max"][b])
        self.bin_stats.append(_bin_stat(lb1, ub1, lb2, ub2, support))
        judged = self._judge(second_edges, lb2, ub2, cell, settled, True)
        self.rule_list.extend(_rule(lb1, ub1, lb, ub, value, count)
                              for lb, ub, value, count in zip(*judged["rules"]))
        self.weak_region.extend(_second_regions(judged["regions"], lb1, ub1, ub2, cell["count"],
                                                second_edges, support))

    # ---- the regions on both splits ----

    def _measure_regions(self, test_rows):
        if test_rows == 0:
            raise MovraError(
                "test_x has no rows: the weak regions cannot be measured on the test data.")
        features = [self.feature_names[f] for f in self.fidx[:2]]
        self.weak_region_stats, self.output = measure_regions(
            self._client, self._frame, self.weak_region, self._test_max, features,
            self.score_name)

    # ---- what the views read ----

    @property
    def x(self):
        return self._frame.split_rows(self._data.x, self._searched)

    @property
    def y(self):
        return self._frame.split_rows(self._data.y, self._searched)

    @property
    def scores(self):
        return self._frame.split_rows(self._frame.scores(self._frame.array), self._searched)

    def target_positions(self):
        """Positions within the searched split of the rows in each weak region (upper bounds
        open), region by region in the order of weak_region_stats, as a lazy dask array."""
        return target_positions(self._frame, self._searched, self._split_counts,
                                self.weak_region_stats)

    def distances(self, buckettype, method, full, distance_bins):
        return self._samples(full).distances(buckettype, method, distance_bins)

    def distribution(self, position, full, distance_bins):
        return self._samples(full).distribution(position, distance_bins)

    def _samples(self, full):
        return RegionSamples(self._client, self._frame, self._searched, self._data.x,
                             self.weak_region_stats, full)
