"""HistogramSlicing's search for weak regions from sums merged over the partitions: the bins of a
feature of either kind (a numerical one's equal-width bins, a categorical one's categories, each
with its missing rows) from a first pass, each unit of bins judged by HistogramSlicing's own
judgement on its merged sums (those within rounding of the threshold value on exact sums), the
regions measured and tabulated as the in-memory driver tabulates them."""

import functools

import numpy as np

from movra import _kernels
from movra.diagnoser.sagzone import HistogramSlicing
from movra.exceptions import MovraError

from . import _parts
from ._frame import SPLITS, TEST, TRAIN, Frame, frame_array
from ._passes import (CELL_SUMS, BoundMerge, cell_pass, exact_pass, first_pass, merge_exact_cell,
                      merge_exact_cells, merge_first, merge_profile, profile_pass, unit_sums)
from ._regions import measure_regions, target_positions
from ._samples import RegionSamples

_NO_EDGES = np.empty(0)
_MISSING = (-1,)  # the code of the missing rows in a region's set


def _equal_width(low, high, distinct, limit):
    """numpy's edges over [low, high] for a feature with `distinct` values, as np.histogram
    cuts them (and refuses them)."""
    return np.histogram_bin_edges(np.array([low, high]), bins=min(distinct, limit),
                                  range=(low, high))


def _cell_offsets(second_edges):
    """Where each first bin's cells start in the merged sums (its second feature's bins, then its
    missing cell), and where the last ends."""
    offsets = [0]
    for e in second_edges:
        offsets.append(offsets[-1] + (0 if e is None else len(e) - 1) + 1)
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
        self.feature_types = data.feature_types
        self.category_labels = data.category_labels
        self.output = None
        self._resolve_fidx()
        self._persist_frame(client, data, train, test)
        limit = max(int(self.bins), 0)
        first = self._map_reduce(first_pass, BoundMerge(merge_first, limit), limit)
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

    def _categorical(self, position):
        return self.feature_types[self.fidx[position]] == "categorical"

    def _check_first_pass(self, first, searched_name):
        # The searched columns, each once: the names of self.fidx, not of slice_features, which
        # may repeat a feature.
        features = [self.feature_names[f] for f in self.fidx[:self._frame.k]]
        if first[searched_name + "_count"] == 0:
            raise MovraError(
                "The test split has no rows (test_idx selects none): there is nothing to "
                "search for weak regions." if self.use_test else
                "The training split has no rows (train_idx selects none): there is nothing to "
                "search for weak regions.")
        for name, _ in SPLITS:
            low, high = first[name + "_lowest"], first[name + "_highest"]
            for k, feature in enumerate(features):
                if low[k] <= high[k] and (np.isinf(low[k]) or np.isinf(high[k])):
                    raise MovraError("slicing feature %r holds infinite values." % (feature,))

    def _read_first_pass(self, first):
        searched_name = "test" if self.use_test else "train"
        self._check_first_pass(first, searched_name)
        self._split_counts = first["counts"]
        low, high = first[searched_name + "_lowest"], first[searched_name + "_highest"]
        present = low <= high
        self._highest = high
        # Regions close at the searched split's maximum of each column (in the table's counts on
        # both splits and in the target rows alike).
        self._closed_at = np.where(present, high, np.nan)
        self._totals = first["totals"]
        self._weighted = self._frame.weighted
        average = _kernels.exact_average(self._totals, self._weighted)
        self.threshold_value = self.threshold * np.float64(average)
        self._range = (float(low[0]), float(high[0])) if present[0] else (np.nan, np.nan)
        edges = self._feature_edges(0, self._range, len(first["distinct"]))
        self._edges = _NO_EDGES.copy() if edges is None else edges
        # A categorical feature's bins are its codes, not edges of its values.
        self.bins1d = _NO_EDGES.copy() if self._categorical(0) else self._edges

    def _feature_edges(self, position, value_range, distinct):
        """The bins of the feature at `position` over `value_range` (its values that are there):
        numpy's equal-width edges (at most `bins` of them) for a numerical feature, one bin per
        code up to the searched split's highest for a categorical one; none without values."""
        low, high = value_range
        if not low <= high:
            return None
        if self._categorical(position):
            return np.arange(self._highest[position] + 2.0)
        return _equal_width(low, high, distinct, int(self.bins))

    # ---- each unit of bins judged on its merged sums, near ties on exact sums ----

    def _settled(self, groups, edges, second_edges):
        """For each searched feature (offset of its cells, the sums, its units), the exact average
        of each unit whose merged average lies near the threshold value, NaN for the others."""
        totals = self._totals
        settled, near_units, near_cells = [], [], []
        for g, (offset, sums, units) in enumerate(groups):
            per_unit = unit_sums(sums, units, offset)
            values = _kernels.average_scores(per_unit, self._weighted)
            near = _kernels.merged_near_ties(
                np.nan_to_num(values), per_unit["count"].astype(float), totals["count"],
                float(self.threshold_value), totals["low"], totals["high"],
                totals["low_weight"])
            settled.append(np.full(len(units), np.nan))
            for u in np.flatnonzero(near):
                cells = (offset + np.asarray(units[u], dtype=np.int64)).tolist()
                near_units.append((g, u, len(near_cells), len(near_cells) + len(cells)))
                near_cells.extend(cells)
        self.near_ties_ = len(near_units)
        if near_units:
            exact = self._map_reduce(exact_pass, merge_exact_cells, edges, second_edges,
                                     near_cells)
            merged = [functools.reduce(merge_exact_cell, exact[start:stop])
                      for _, _, start, stop in near_units]
            for (g, u, _, _), value in zip(near_units,
                                           _kernels.exact_cell_averages(merged, self._weighted)):
                settled[g][u] = value
        return settled

    def _search_one(self):
        edges, (low, high) = self._edges, self._range
        sums = self._map_reduce(cell_pass, _parts.merge_sums, edges, None)
        units = self._bin_units(edges, low, high, sums)
        settled = self._settled([(0, sums, units)], edges, None)[0]
        self.weak_region, self.rule_list = self._judge_bin_sums(
            edges, low, high, sums, self._weighted, settled)

    def _first_bins(self, profile):
        """The first feature's bins as the search reports them: each interval (or code), then
        the missing rows when there are any; with each bin's condition (lb1, ub1, codes1)."""
        n_values = len(profile["support"]) - 1
        bins = []
        for b in range(n_values):
            if self._categorical(0):
                bins.append((b, np.nan, np.nan, (b,)))
            else:
                bins.append((b, float(max(self._edges[b], self._range[0])),
                             float(min(self._edges[b + 1], self._range[1])), None))
        if profile["support"][n_values] > 0:
            bins.append((n_values, np.nan, np.nan, _MISSING))
        return bins

    def _search_two(self):
        self.bin_stats = []
        edges, limit = self._edges, int(self.bins)
        profile = self._map_reduce(profile_pass, BoundMerge(merge_profile, limit), edges,
                                   limit)
        ranges = list(zip(profile["min"], profile["max"]))
        second_edges = [self._feature_edges(1, r, len(d))
                        for r, d in zip(ranges, profile["distinct"])]
        sums = self._map_reduce(cell_pass, _parts.merge_sums, edges, second_edges)
        offsets = _cell_offsets(second_edges)
        searched, groups = [], []
        for b, lb1, ub1, codes1 in self._first_bins(profile):
            support = int(profile["support"][b])
            low2, high2 = ranges[b] if ranges[b][0] <= ranges[b][1] else (np.nan, np.nan)
            self.bin_stats.append({"lb1": lb1, "ub1": ub1, "lb2": float(low2),
                                   "ub2": float(high2), "support": support})
            if support == 0:
                continue
            cells = {key: sums[key][offsets[b]:offsets[b + 1]] for key in CELL_SUMS}
            groups.append((offsets[b], sums,
                           self._bin_units(second_edges[b], low2, high2, cells)))
            searched.append((second_edges[b], low2, high2, cells, lb1, ub1, codes1))
        settled = self._settled(groups, edges, second_edges)
        for (e2, low2, high2, cells, lb1, ub1, codes1), s in zip(searched, settled):
            regions, rules = self._judge_bin_sums(e2, low2, high2, cells, self._weighted, s,
                                                  lb1, ub1, codes1)
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
        return self._frame.split_rows(self._data.coded, self._searched)

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
        return RegionSamples(client, self._frame, self._searched, self._data,
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
