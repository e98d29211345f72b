"""The weak sample against the reference sample of the searched split: each feature's range and
binned counts in both, summed over the partitions, and the distances between them."""

import numpy as np

from movra import _kernels
from movra.diagnoser.utils import psi_edges

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
    how = {"min": "min", "max": "max", "count": "add", "any_nan": "any", "any_inf": "any"}
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
    low = min(ranges["reference"]["min"][j], ranges["weak"]["min"][j])
    high = max(ranges["reference"]["max"][j], ranges["weak"]["max"][j])
    if not _usable(low, high) or n_bins < 1:
        return np.array([0.0])
    if low == high:
        return np.array([low])
    return np.linspace(low, high, n_bins + 1)


class RegionSamples:
    """The searched split's rows as two samples: the weak one (a row once for each weak region
    that holds it) and the reference one (the rows outside the regions, or all of them when
    `full`)."""

    def __init__(self, client, frame, searched, x, regions, closed_at, full):
        self.client, self.frame, self.searched, self.x, self.full = (
            client, frame, searched, x, full)
        self.regions = region_bounds(regions)
        self.closed_at = np.asarray(closed_at, dtype=float)

    def distances(self, buckettype, method, distance_bins):
        """Each feature's distance between the two samples (as calculate_distance gives it on
        the rows: exactly for PSI on uniform buckets, within a fine bin otherwise)."""
        ranges = self._ranges()
        uniform_psi = method == "PSI" and buckettype == "uniform"
        edges = []
        for j in range(self.x.shape[1]):
            low, high = ranges["reference"]["min"][j], ranges["reference"]["max"][j]
            if uniform_psi:
                edges.append(psi_edges(low, high) if _usable(low, high) else np.array([0.0]))
            else:
                edges.append(_fine_edges(ranges, j, distance_bins))
        counts = self._counts(edges)
        out = []
        for j, e in enumerate(edges):
            n_bins = counts[j].shape[0] // 2
            out.append(_kernels.binned_distance(
                e, counts[j][n_bins:], counts[j][:n_bins], method, buckettype == "quantile",
                ranges["reference"]["min"][j], ranges["reference"]["max"][j]))
        return out

    def distribution(self, position, distance_bins):
        """The binned counts of the feature at `position`: its edges, then its counts in the
        weak sample and in the reference sample."""
        ranges = self._ranges()
        # One edge for every other feature: no bins to count.
        edges = [_fine_edges(ranges, j, distance_bins) if j == position else np.array([0.0])
                 for j in range(self.x.shape[1])]
        counts = self._counts(edges)[position]
        n_bins = counts.shape[0] // 2
        return edges[position], counts[:n_bins], counts[n_bins:]

    def _ranges(self):
        return _parts.map_reduce(self.client, _sample_ranges, [self.x, self.frame.array],
                                 _merge_sample_ranges, self.frame, self.searched, self.regions,
                                 self.closed_at, self.full)

    def _counts(self, edges):
        return _parts.map_reduce(self.client, _sample_histograms, [self.x, self.frame.array],
                                 _merge_histograms, self.frame, self.searched, self.regions,
                                 self.closed_at, self.full, edges)
