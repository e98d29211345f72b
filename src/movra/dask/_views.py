"""What DaskSagZone's result, marginal, distance and shift views hold, read from its fitted
search."""

import numpy as np
import pandas as pd

from movra.exceptions import MovraError
from movra.utils import TestDataResult

from ._regions import largest_first

_SETTINGS = ("slice_features", "bins", "method", "min_samples", "metric")
# The marginal view's keys and the search's attribute each one reads.
_MARGINAL = (("weak_region_stats", "weak_region_stats"), ("fidx", "fidx"),
             ("rule_list", "rule_list"), ("x", "x"), ("y", "y"),
             ("threshold_value", "threshold_value"), ("score_name", "score_name"),
             ("_sign", "score_sign"), ("scores", "scores"), ("use_test", "use_test"),
             ("is_metric_additive", "is_metric_additive"))


def _settings(zone):
    return {name: getattr(zone, name) for name in _SETTINGS}


def _compare_to(compare_to):
    """The title, the reference sample's name, and whether the reference is the full split."""
    if isinstance(compare_to, str):
        if compare_to == "remaining":
            return "Distribution Shift: Weak vs Remaining Regions", "Remaining Regions", False
        if compare_to == "full":
            return "Distribution Shift: Weak vs Full Regions", "Full Regions", True
    raise MovraError("Unsupported value of compare_to.")


def result_view(zone, diag):
    value = _settings(zone)
    value["threshold_value"] = diag.threshold_value
    value["data"] = zone.output
    return TestDataResult(key="sagzone_result", value=value)


def marginal_view(zone, diag):
    value = _settings(zone)
    for key, name in _MARGINAL:
        value[key] = getattr(diag, name)
    value["feature_names"] = zone.feature_names
    return TestDataResult(key="sagzone_plot", value=value)


def distance_view(zone, diag, psi_buckets, distance_metric, compare_to, distance_bins):
    title, _, full = _compare_to(compare_to)
    if distance_metric not in ("PSI", "WD1", "KS"):
        raise MovraError("Unsupported distance method %r; use 'PSI', 'WD1' or 'KS'."
                         % (distance_metric,))
    if distance_metric == "PSI" and psi_buckets not in ("uniform", "quantile"):
        raise MovraError("Unsupported buckettype %r; use 'uniform' or 'quantile'."
                         % (psi_buckets,))
    distances = diag.distances(psi_buckets, distance_metric, full, int(distance_bins))
    top = largest_first(distances)[:10]
    value = {
        "purpose": "diagnose", "distance_metric": distance_metric,
        "slice_features": zone.slice_features, "bins": zone.bins,
        "threshold_value": zone.threshold, "method": zone.method,
        "min_samples": zone.min_samples, "metric": zone.metric, "title": title,
        "x": [str(zone.feature_names[i]) for i in top],
        "y": np.round(np.array([distances[i] for i in top], dtype=float), 4),
    }
    return TestDataResult(key="resilience_shift_histogram", value=value)


def shift_view(zone, diag, show_feature, compare_to, distance_bins):
    if show_feature is None:
        show_feature = zone.feature_names[0]
    position = zone.feature_names.index(show_feature)
    feature_type = zone.feature_types[position]
    title, area_name, full = _compare_to(compare_to)
    edges, weak, reference = diag.distribution(position, full, int(distance_bins))
    frames = [_binned_sample(edges, reference, area_name),
              _binned_sample(edges, weak, "Weak Regions")]
    value = {
        "title": title, "show_feature": show_feature, "slice_features": zone.slice_features,
        "bins": zone.bins, "threshold_value": zone.threshold, "method": zone.method,
        "min_samples": zone.min_samples, "metric": zone.metric,
        "feature_type": feature_type,
        "data": pd.concat(frames, axis=0).reset_index(drop=True),
    }
    return TestDataResult(key="sagzone_shift", value=value)


def _binned_sample(edges, counts, name):
    """One sample's counts in the bins of `edges`, one row per bin."""
    total = counts.sum()
    return pd.DataFrame({
        "lb": edges[:-1], "ub": edges[1:], "count": counts,
        "share": counts / total if total > 0 else np.zeros_like(counts),
        "resi_type_": name})
