"""HistogramSlicing's search for weak regions from sums merged over the partitions: the bins'
edges from a first pass, each bin judged by HistogramSlicing's own judgement on its merged sums
(the bins within rounding of the threshold value on exact sums), the regions measured and
tabulated as the in-memory driver tabulates them."""

import numpy as np

from movra import _kernels
from movra.diagnoser.sagzone import HistogramSlicing
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
    return np.union1d(a, b)[:limit]


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


class DaskHistogramSlicing(HistogramSlicing):
    """What HistogramSlicing holds after a fit, found from sums over the partitions: the same
    scoring configuration, threshold, judgement of the bins and region table."""

    def search(self, client, data, train, test, use_test):
        """Search the training (or, with `use_test`, the test) rows of `data` for weak regions
        and measure them on both splits; sets what HistogramSlicing.fit sets."""
        self.use_test = use_test
        self.weak_region_stats, self.weak_region, self.rule_list = [], [], []
        self.feature_names = data.feature_names
        self.output = None
        self._resolve_fidx()
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
        searched = "test" if self.use_test else "train"
        if pred is None:
            raise MovraError(
                "%s_pred is None: the metric needs predictions of this split (predicted "
                "probabilities for a probability metric)." % searched)
        columns = self.fidx[:2]
        self._lazy_frame = frame_array(data, pred, train, test, columns, self.scoring_func)
        self._frame = Frame(client.persist(self._lazy_frame), len(columns),
                            data.weights is not None)
        self._client, self._data = client, data
        self._searched = TEST if self.use_test else TRAIN

    def _map_reduce(self, func, merge, *args):
        """func(block, frame, searched split, *args) on every partition, merged by `merge`."""
        return _parts.map_reduce(self._client, func, [self._frame.array], merge, self._frame,
                                 self._searched, *args)

    def _read_first_pass(self, first):
        searched_name = "test" if self.use_test else "train"
        self._split_counts = first["counts"]
        # The searched columns, each once: the names of self.fidx, not of slice_features, which
        # may repeat a feature.
        features = [self.feature_names[f] for f in self.fidx[:self._frame.k]]
        for name, _ in SPLITS:
            low, high = first[name + "_min"], first[name + "_max"]
            for k, feature in enumerate(features):
                if first[name + "_count"] == 0:
                    continue
                if np.isnan(low[k]) or np.isnan(high[k]):
                    raise MovraError("slicing feature %r holds missing values, which DaskSagZone "
                                     "does not search (SagZone does)." % (feature,))
                if np.isinf(low[k]) or np.isinf(high[k]):
                    raise MovraError("slicing feature %r holds infinite values." % (feature,))
        if first[searched_name + "_count"] == 0:
            raise MovraError(
                "The test split has no rows (test_idx selects none): there is nothing to "
                "search for weak regions." if self.use_test else
                "The training split has no rows (train_idx selects none): there is nothing to "
                "search for weak regions.")
        # Regions close at the searched split's maximum of each column (in the table's counts on
        # both splits and in the target rows alike).
        self._closed_at = first[searched_name + "_max"]
        self._totals = first["totals"]
        self._weighted = self._frame.weighted
        average = _kernels.exact_average(self._totals, self._weighted)
        self.threshold_value = self.threshold * np.float64(average)
        self._range = (float(first[searched_name + "_min"][0]),
                       float(first[searched_name + "_max"][0]))
        # numpy's own edges (and errors) from the global range, as np.histogram finds them.
        n_bins = min(len(first["distinct"]), int(self.bins))
        self.bins1d = np.histogram_bin_edges(np.array(self._range), bins=n_bins,
                                             range=self._range)

    # ---- each bin judged on its merged sums, near ties on exact sums ----

    def _settled(self, sums, offsets, edges, second_edges):
        """Exact averages for the cells whose merged average is near the threshold value."""
        count = sums["count"].astype(float)
        values = _kernels.average_scores(sums, self._weighted)
        totals = self._totals
        near = _kernels.merged_near_ties(np.nan_to_num(values), count, totals["count"],
                                         float(self.threshold_value), totals["low"],
                                         totals["high"], totals["low_weight"])
        cells = np.flatnonzero(near)
        settled = np.full(count.shape[0], np.nan)
        if cells.size:
            exact = self._map_reduce(_exact_pass, _merge_exact_cells, edges, second_edges,
                                     cells.tolist())
            settled[cells] = _kernels.exact_cell_averages(exact, self._weighted)
        self.near_ties_ = int(cells.size)
        return [settled[offsets[b]:offsets[b + 1]] for b in range(len(offsets) - 1)]

    def _search_one(self):
        edges = self.bins1d
        sums = self._map_reduce(_cell_pass, _parts.merge_sums, edges, None)
        settled = self._settled(sums, [0, len(edges) - 1], edges, None)[0]
        self.weak_region, self.rule_list = self._judge_bin_sums(
            edges, self._range[0], self._range[1], sums, self._weighted, settled)

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
        lb1 = float(max(self.bins1d[b], self._range[0]))
        ub1 = float(min(self.bins1d[b + 1], self._range[1]))
        support = int(profile["support"][b])
        stat = {"lb1": lb1, "ub1": ub1, "lb2": np.nan, "ub2": np.nan, "support": support}
        self.bin_stats.append(stat)
        if support == 0:
            return
        stat["lb2"], stat["ub2"] = float(profile["min"][b]), float(profile["max"][b])
        regions, rules = self._judge_bin_sums(second_edges, stat["lb2"], stat["ub2"], cell,
                                              self._weighted, settled, lb1, ub1)
        self.rule_list.extend(rules)
        self.weak_region.extend(regions)

    # ---- the regions on both splits ----

    def _measure_regions(self, test_rows):
        if test_rows == 0:
            raise MovraError(
                "test_x has no rows: the weak regions cannot be measured on the test data.")
        measures = measure_regions(self._client, self._frame, self.weak_region, self._closed_at)
        self.output = self._tabulate_regions(*measures["train"], *measures["test"])

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
        """Positions within the searched split of the rows in each weak region, region by
        region in the order of weak_region_stats, as a lazy dask array."""
        return target_positions(self._frame, self._searched, self._split_counts,
                                self.weak_region_stats, self._closed_at)

    def samples(self, client, full):
        return RegionSamples(client, self._frame, self._searched, self._data.x,
                             self.weak_region_stats, self._closed_at, full)

    def __getstate__(self):
        # No client, and the frame as its lazy graph rather than the cluster's copy of it: the
        # next client computes it again where it is needed.
        state = dict(self.__dict__)
        state.pop("_client", None)
        if "_frame" in state:
            frame = state["_frame"]
            state["_frame"] = Frame(state["_lazy_frame"], frame.k, frame.weighted)
        return state
