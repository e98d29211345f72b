"""The weak sample against the reference sample of the searched split: each feature's range and
binned counts in both (a categorical feature's counts per category), summed over the
partitions, and the distances between them."""

import numpy as np

from movra import _kernels
from movra.diagnoser.utils import psi_edges
from movra.utils import MISSING

from . import _parts
from ._regions import region_bounds

# ---- the passes over the partitions (module-level, so that workers unpickle them) ----


def _sample_weights(block, frame, searched, regions, closed_at, full):
    """Per row: how many times it is in the weak sample, and in the reference sample."""
    first, second = frame.columns(block)
    selected = frame.selected(block, searched)
    weak = _kernels.region_multiplicity(first, second, regions, closed_at,
                                        selected).astype(float)
    reference = selected.astype(float) if full else (selected & (weak == 0)).astype(float)
    return weak, reference


def _sample_ranges(x, block, frame, searched, regions, closed_at, full):
    weak, reference = _sample_weights(block, frame, searched, regions, closed_at, full)
    return {"weak": _kernels.column_ranges(x, weak > 0),
            "reference": _kernels.column_ranges(x, reference > 0)}


def _merge_sample_ranges(a, b):
    how = {"lowest": "min", "highest": "max", "missing": "add", "count": "add"}
    return {name: _parts.merge_dicts(a[name], b[name], how) for name in a}


def _sample_histograms(x, block, frame, searched, regions, closed_at, full, edges):
    weak, reference = _sample_weights(block, frame, searched, regions, closed_at, full)
    return _kernels.weighted_histograms(x, edges, weak, reference)


def _merge_histograms(a, b):
    return [p + q for p, q in zip(a, b)]


def _usable(low, high):
    return np.isfinite(low) and np.isfinite(high) and low <= high


def _fine_edges(ranges, j, n_bins):
    """`n_bins` equal-width bins over both samples' range of feature j (one edge when the range
    is a single value: one bin)."""
    low = min(ranges["reference"]["lowest"][j], ranges["weak"]["lowest"][j])
    high = max(ranges["reference"]["highest"][j], ranges["weak"]["highest"][j])
    if not _usable(low, high) or n_bins < 1:
        return np.array([0.0])
    if low == high:
        return np.array([low])
    return np.linspace(low, high, n_bins + 1)


def _bin_names(edges, labels, missing):
    """The columns naming get_shift's bins: a numerical feature's "lb" and "ub", a categorical
    one's "category" (its labels); MISSING for the missing rows, when there are any."""
    import pandas as pd

    if labels is not None:
        return {"category": pd.Series(list(labels) + [MISSING] * missing, dtype=object)}
    lb, ub = (edges[:-1], edges[1:]) if len(edges) > 1 else (edges, edges)
    if not missing:
        return {"lb": lb, "ub": ub}
    return {"lb": pd.Series(list(lb) + [MISSING], dtype=object),
            "ub": pd.Series(list(ub) + [MISSING], dtype=object)}


def _halves(counts):
    """A column's counts as weighted_histograms gives them: the weak sample's bins (its missing
    rows last), then the reference sample's."""
    n_bins = counts.shape[0] // 2
    return counts[:n_bins], counts[n_bins:]


class RegionSamples:
    """The searched split's rows as two samples: the weak one (a row once for each weak region
    that holds it) and the reference one (the rows outside the regions, or all of them when
    `full`). A categorical feature is compared over its categories, missing one of them; a
    numerical one on its values, its missing values one more PSI bucket (WD1 and KS compare the
    values that are there)."""

    def __init__(self, client, frame, searched, data, regions, closed_at, full):
        self.client, self.frame, self.searched, self.full = client, frame, searched, full
        self.x = data.coded
        self.labels = data.category_labels
        self.regions = region_bounds(regions)
        self.closed_at = np.asarray(closed_at, dtype=float)

    def _code_edges(self, j):
        """One bin per category code of feature j."""
        return np.arange(max(len(self.labels[j]), 1) + 1.0)

    def distances(self, buckettype, method, distance_bins):
        """Each feature's distance between the two samples (as calculate_distance gives it on
        the rows: exactly for PSI on uniform buckets, within a fine bin otherwise; PSI over the
        categories for a categorical feature, on which WD1 and KS are not defined: NaN)."""
        ranges = self._ranges()
        uniform_psi = method == "PSI" and buckettype == "uniform"
        edges = []
        for j in range(self.x.shape[1]):
            low, high = ranges["reference"]["lowest"][j], ranges["reference"]["highest"][j]
            if self.labels[j] is not None:
                edges.append(self._code_edges(j))
            elif uniform_psi:
                edges.append(psi_edges(low, high) if _usable(low, high) else np.array([0.0]))
            else:
                edges.append(_fine_edges(ranges, j, distance_bins))
        counts = self._counts(edges)
        out = []
        for j, e in enumerate(edges):
            weak, reference = _halves(counts[j])
            if self.labels[j] is not None:
                out.append(_kernels.population_stability(reference, weak) if method == "PSI"
                           else np.nan)
                continue
            out.append(_kernels.binned_distance(
                e, reference[:-1], weak[:-1], method, buckettype == "quantile",
                ranges["reference"]["lowest"][j], ranges["reference"]["highest"][j],
                reference[-1], weak[-1]))
        return out

    def distribution(self, position, distance_bins):
        """The binned counts of the feature at `position`: its edges (one bin per category of a
        categorical feature), then its counts in the weak sample and in the reference sample,
        each with the missing rows' count last."""
        if self.labels[position] is not None:
            edges = self._code_edges(position)
        else:
            edges = _fine_edges(self._ranges(), position, distance_bins)
        # One edge for every other feature: no bins to count.
        counts = self._counts([edges if j == position else np.array([0.0])
                               for j in range(self.x.shape[1])])[position]
        weak, reference = _halves(counts)
        return edges, weak, reference

    def shift_table(self, position, distance_bins, area_name):
        """get_shift's data for the feature at `position`: per bin (a category of a categorical
        feature) and sample its count and share, the reference sample first, the missing rows
        as a bin of their own where there are any."""
        import pandas as pd

        edges, weak, reference = self.distribution(position, distance_bins)
        labels = self.labels[position]
        missing = int(weak[-1] + reference[-1] > 0)
        named = len(labels) if labels is not None else len(weak) - 1
        rows = list(range(named)) + [len(weak) - 1] * missing
        names = _bin_names(edges, labels, missing)
        frames = []
        for counts, sample in ((reference[rows], area_name), (weak[rows], "Weak Regions")):
            total = counts.sum()
            frames.append(pd.DataFrame({
                **names, "count": counts,
                "share": counts / total if total > 0 else np.zeros_like(counts),
                "resi_type_": sample}))
        return pd.concat(frames, axis=0).reset_index(drop=True)

    def _ranges(self):
        return _parts.map_reduce(self.client, _sample_ranges, [self.x, self.frame.array],
                                 _merge_sample_ranges, self.frame, self.searched, self.regions,
                                 self.closed_at, self.full)

    def _counts(self, edges):
        return _parts.map_reduce(self.client, _sample_histograms, [self.x, self.frame.array],
                                 _merge_histograms, self.frame, self.searched, self.regions,
                                 self.closed_at, self.full, edges)
