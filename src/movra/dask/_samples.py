"""The weak sample against the reference sample of the searched split: each feature's range and
binned counts in both, summed over the partitions, and the distances between them."""

import numpy as np

from movra import _kernels

from . import _parts
from ._distances import binned_distance, fine_edges, psi_edges
from ._regions import region_boxes

# ---- the passes over the partitions (module-level, so that workers unpickle them) ----


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


class RegionSamples:
    """The searched split's rows as two samples: the weak one (a row once for each weak region
    that holds it) and the reference one (the rows outside the regions, or all of them when
    `full`)."""

    def __init__(self, client, frame, searched, x, regions, full):
        self.boxes = region_boxes(regions, frame.k)
        self.client, self.frame, self.searched, self.x, self.full = (
            client, frame, searched, x, full)

    def distances(self, buckettype, method, distance_bins):
        """Each feature's distance between the two samples."""
        ranges = self._ranges()
        edges = []
        for j in range(self.x.shape[1]):
            if method == "PSI" and buckettype == "uniform":
                edges.append(psi_edges(ranges["reference"]["min"][j],
                                       ranges["reference"]["max"][j]))
            else:
                edges.append(fine_edges(ranges, j, distance_bins))
        counts = self._counts(edges)
        return [binned_distance(edges[j], counts[j], ranges, j, buckettype, method)
                for j in range(len(edges))]

    def distribution(self, position, distance_bins):
        """The binned counts of the feature at `position`: its edges, then its counts in the
        weak sample and in the reference sample."""
        ranges = self._ranges()
        # One edge for every other feature: no bins to count.
        edges = [fine_edges(ranges, j, distance_bins) if j == position else np.array([0.0])
                 for j in range(self.x.shape[1])]
        counts = self._counts(edges)[position]
        n_bins = counts.shape[0] // 2
        return edges[position], counts[:n_bins], counts[n_bins:]

    def _ranges(self):
        return _parts.map_reduce(self.client, _sample_ranges, [self.x, self.frame.array],
                                 _merge_sample_ranges, self.frame, self.searched, self.boxes,
                                 self.full)

    def _counts(self, edges):
        return _parts.map_reduce(self.client, _sample_histograms, [self.x, self.frame.array],
                                 _merge_histograms, self.frame, self.searched, self.boxes,
                                 self.full, edges)
