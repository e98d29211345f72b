"""Distances between two samples of one feature from their binned counts (summed over the
partitions), the counterparts of movra.diagnoser.utils.calculate_distance."""

import numpy as np

_PSI_BUCKETS = 10
_PSI_FLOOR = 1e-4


def _usable(low, high):
    return np.isfinite(low) and np.isfinite(high) and low <= high


def psi_edges(low, high):
    """The PSI buckets' edges of calculate_distance ("uniform"): 10 equal-width buckets over the
    reference sample's range, as numpy's linspace makes them. One bucket where there is no
    usable range (an empty sample gives NaN anyway)."""
    if not _usable(low, high):
        return np.array([0.0])
    return np.unique(np.linspace(low, high, _PSI_BUCKETS + 1))


def fine_edges(ranges, j, n_bins):
    """`n_bins` equal-width bins over both samples' range of feature j (one edge when the range
    is a single value: one bin)."""
    low = min(ranges["reference"]["min"][j], ranges["weak"]["min"][j])
    high = max(ranges["reference"]["max"][j], ranges["weak"]["max"][j])
    if not _usable(low, high) or n_bins < 1:
        return np.array([0.0])
    if low == high:
        return np.array([low])
    return np.linspace(low, high, n_bins + 1)


def _shares_psi(expected, actual):
    expected = np.maximum(expected, _PSI_FLOOR)
    actual = np.maximum(actual, _PSI_FLOOR)
    return float(np.sum((expected - actual) * np.log(expected / actual)))


def _quantile_buckets(edges, reference, low, high):
    """The reference's deciles read off its fine histogram (each the upper edge of the fine bin
    where the cumulative share reaches it, the ends exact), and each fine bin's bucket."""
    share = np.cumsum(reference) / reference.sum()
    deciles = np.linspace(0, 1, _PSI_BUCKETS + 1)
    cut = [low]
    for q in deciles[1:-1]:
        k = int(np.searchsorted(share, q, side="left"))
        cut.append(edges[min(k + 1, len(edges) - 1)])
    cut.append(high)
    cut = np.unique(cut)
    inner = cut[1:-1]
    return np.searchsorted(inner, edges[:-1], side="right"), inner.shape[0] + 1


def binned_distance(edges, counts, ranges, j, buckettype, method):
    """The distance of feature j between the reference sample and the weak sample from their
    counts on `edges` (the weak sample's bins, then the reference's)."""
    n_bins = counts.shape[0] // 2
    weak, reference = counts[:n_bins], counts[n_bins:]
    n_weak, n_reference = weak.sum(), reference.sum()
    if n_weak == 0 or n_reference == 0:
        return np.nan
    if method == "PSI" and buckettype == "uniform":
        return _shares_psi(reference / n_reference, weak / n_weak)
    if method == "PSI":
        low, high = ranges["reference"]["min"][j], ranges["reference"]["max"][j]
        if len(edges) < 2:
            return _shares_psi(np.array([1.0]), np.array([1.0]))
        bucket, n_buckets = _quantile_buckets(edges, reference, low, high)
        expected = np.bincount(bucket, weights=reference, minlength=n_buckets) / n_reference
        actual = np.bincount(bucket, weights=weak, minlength=n_buckets) / n_weak
        return _shares_psi(expected, actual)
    cdf_reference = np.cumsum(reference) / n_reference
    cdf_weak = np.cumsum(weak) / n_weak
    if method == "KS":
        return float(np.max(np.abs(cdf_reference - cdf_weak)))
    widths = np.diff(edges)
    return float(np.sum(np.abs(cdf_reference - cdf_weak)[:widths.shape[0]] * widths))
