"""What both marginal figures read from a ``SagZone.get_marginal`` result, and how they lay out a
slicing feature along an axis: a numerical one by its values (missing values in a slot beside
them), a categorical one as a slot per category (missing last)."""

import numpy as np

from .ticks import scale_plot_ticks

MISSING_TEXT = "missing"
# Share of a category slot that its bar covers, so neighbouring bars stay apart.
BAR_FILL = 0.8
_MISSING_CODE = -1


def first_value(value):
    """A rule's "values"/"counts" may be a number or a one-element array (tree leaves)."""
    flat = np.ravel(np.asarray(value, dtype=float))
    return float(flat[0]) if flat.size else np.nan


def split_name(use_test):
    return "test" if use_test else "train"


def region_count(region, use_test):
    count = region.get("#Test" if use_test else "#Train")
    return None if count is None else int(count)


def region_bounds(region, k):
    """A weak region's condition on its k-th slicing feature, as a rule's bounds dict."""
    suffix = str(k + 1)
    return {"lb": region.get("lb" + suffix, -np.inf), "ub": region.get("ub" + suffix, np.inf),
            "codes": region.get("codes" + suffix)}


def direction(sign):
    return "higher is better" if sign > 0 else "lower is better"


def title(value, feature_text):
    method = value.get("method", "")
    text = f"{value['score_name']} by {feature_text} ({method} slicing)"
    if not value.get("weak_region_stats"):
        text += ": no weak region"
    return text


def histogram_edges(values, bins):
    """Equal-width edges as the histogram slicer cuts them: one bin per distinct value when few."""
    n_unique = np.unique(values).shape[0]
    n_bins = max(1, min(int(bins) if bins else 10, n_unique))
    return np.histogram_bin_edges(values, bins=n_bins)


def histogram_bins(value):
    # The slicer's own bins for histogram slicing; a finer view of the data for tree slicing.
    return value.get("bins") if value.get("method") == "histogram" else 20


def first_feature_edges(value, column):
    """The (first) slicing feature's histogram edges: the slicer's own bins ("bins1d") for
    histogram slicing; 20 equal-width bins of the data for tree slicing, which has no bins."""
    edges = value.get("bins1d")
    if edges is not None:
        return np.asarray(edges, dtype=float)
    # A result that does not carry the slicer's edges (DaskSagZone's) is cut as the slicer cuts.
    return histogram_edges(column, histogram_bins(value))


def first_feature_counts(value, edges):
    """Rows in each first-feature bin as the two-feature histogram search counted them
    ("bin_stats"), and in its missing bin (the last one, when it has one; else None), or
    (None, None) when the result does not carry them."""
    stats = value.get("bin_stats")
    if not stats:
        return None, None
    n_bins = edges.shape[0] - 1
    missing = None
    if len(stats) == n_bins + 1 and np.isnan(float(stats[-1]["lb1"])):
        stats, missing = stats[:-1], float(stats[-1]["support"])
    if len(stats) != n_bins:
        raise ValueError(f"bin_stats holds {len(stats)} bins but bins1d has {n_bins}.")
    return np.array([float(item["support"]) for item in stats]), missing


def label_text(label):
    """A category label as a tick label: floats without trailing zeros, the rest as printed."""
    if isinstance(label, (float, np.floating)):
        return f"{label:g}"
    return str(label)


def _interval(lb, ub, low, high):
    """An interval whose open ends (tree leaves) stop at the observed range [low, high]."""
    lb, ub = float(lb), float(ub)
    return (lb if np.isfinite(lb) else low), (ub if np.isfinite(ub) else high)


def _is_set(bounds):
    return bounds is not None and bounds.get("codes") is not None


class FeatureAxis:
    """One slicing feature laid out along an axis of a marginal figure.

    A numerical feature runs along its values, over the observed range widened to whole rules
    (a constant feature's single bin is wider than the data); its missing values, when the rows
    or the rules have some, get a slot beside that range. A categorical feature has one unit
    slot per category, centred on its code, and the missing slot after the last one.

    Parameters
    ----------
    column : array-like
        The searched rows' coded values of the feature (NaN where missing).
    labels : array-like or None
        The feature's category labels (label k names code k), None for a numerical feature.
    name : str
    bounds : list of dict
        The feature's bounds in the rules ("lb", "ub", and "codes" for a set).
    region_bounds : list of dict, optional
        Its bounds in the weak regions (within the rules' range; they may name missing values).
    """

    def __init__(self, column, labels, name, bounds, region_bounds=()):
        column = np.asarray(column, dtype=float)
        self.name = name
        self.observed = column[np.isfinite(column)]
        self.n_missing = int(np.count_nonzero(np.isnan(column)))
        self.labels = None if labels is None else [label_text(v) for v in labels]
        refers_missing = any(_is_set(b) and _MISSING_CODE in b["codes"]
                             for b in list(bounds) + list(region_bounds))
        self.has_missing = self.n_missing > 0 or refers_missing
        if self.labels is not None:
            self._categorical_range()
        else:
            self._numerical_range(bounds)

    @property
    def categorical(self):
        return self.labels is not None

    def _categorical_range(self):
        n = len(self.labels)
        if self.observed.size and (np.min(self.observed) < 0 or np.max(self.observed) >= n):
            raise ValueError(f"feature {self.name!r} holds codes beyond its {n} labels.")
        self.low, self.high = -0.5, n - 0.5
        self.start, self.stop = self.low, self.high
        self.missing_slot = (self.stop, self.stop + 1.0) if self.has_missing else None
        self.interval_edges = []

    def _numerical_range(self, bounds):
        if self.observed.size:
            self.low, self.high = float(np.min(self.observed)), float(np.max(self.observed))
        elif self.has_missing:
            self.low, self.high = 0.0, 1.0  # nothing but missing values: a nominal range
        else:
            raise ValueError(f"feature {self.name!r} has no finite values to draw.")
        edges = [self.low, self.high]
        for b in bounds:
            if not _is_set(b):
                edges.extend(_interval(b.get("lb", -np.inf), b.get("ub", np.inf),
                                       self.low, self.high))
        self.interval_edges = edges
        self.start, self.stop = min(edges), max(edges)
        span = (self.stop - self.start) or 1.0
        self.missing_slot = ((self.stop + 0.05 * span, self.stop + 0.15 * span)
                             if self.has_missing else None)

    @property
    def end(self):
        """The upper end of what is drawn: the missing slot's, when there is one."""
        return self.missing_slot[1] if self.missing_slot else self.stop

    @property
    def extent(self):
        return (self.end - self.start) or 1.0

    def limits(self):
        margin = 0.01 * self.extent if not self.categorical else 0.1
        return self.start - margin, self.end + margin

    def slot(self, code, fill=1.0):
        """The stretch of the axis of a category code (or of missing values, code -1)."""
        if code == _MISSING_CODE:
            if self.missing_slot is None:
                raise ValueError(f"feature {self.name!r} has no slot for missing values.")
            lo, hi = self.missing_slot
        elif self.categorical:
            lo, hi = code - 0.5, code + 0.5
        else:
            raise ValueError(f"numerical feature {self.name!r} has a set of categories.")
        middle, half = 0.5 * (lo + hi), 0.5 * fill * (hi - lo)
        return middle - half, middle + half

    def pieces(self, bounds, fill=1.0):
        """The stretches of the axis a rule's (or region's) bounds cover, in order: an interval
        clipped to the observed range, or a slot per code of a set. No bounds (a tree leaf that
        does not split the feature): the whole feature."""
        if _is_set(bounds):
            return sorted(self.slot(int(code), fill) for code in bounds["codes"])
        if self.categorical and not bounds:
            codes = list(range(len(self.labels))) + ([_MISSING_CODE] if self.has_missing else [])
            return sorted(self.slot(code, fill) for code in codes)
        bounds = bounds or {}
        return [_interval(bounds.get("lb", -np.inf), bounds.get("ub", np.inf), self.low,
                          self.high)]

    @staticmethod
    def runs(pieces):
        """Touching pieces joined: the contiguous stretches of a region."""
        joined = []
        for lo, hi in sorted(pieces):
            if joined and lo <= joined[-1][1]:
                joined[-1] = (joined[-1][0], max(joined[-1][1], hi))
            else:
                joined.append((lo, hi))
        return joined

    def category_counts(self):
        """The rows of every slot of a categorical feature: its categories, then missing."""
        counts = np.bincount(self.observed.astype(np.int64), minlength=len(self.labels))
        return np.append(counts, self.n_missing) if self.has_missing else counts

    def slot_centres(self):
        """The centres of a categorical feature's slots, missing last."""
        codes = list(range(len(self.labels))) + ([_MISSING_CODE] if self.has_missing else [])
        return np.array([0.5 * sum(self.slot(code)) for code in codes])

    def set_ticks(self, ax, axis, edges, max_ticks):
        """Ticks at the bin edges of a numerical feature (its missing slot named), or one
        named tick per slot of a categorical one."""
        extra = [(0.5 * sum(self.missing_slot), MISSING_TEXT)] if self.has_missing else []
        if not self.categorical:
            scale_plot_ticks(ax, axis, edges, max_ticks=max_ticks, extra_ticks=extra)
            return
        names = self.labels + [MISSING_TEXT] * bool(self.has_missing)
        longest = max((len(n) for n in names), default=0)
        size = 8 if len(names) <= 20 else 6
        if axis == "x":
            turned = len(names) > 5 and longest > 3 or longest > 8
            ax.set_xticks(self.slot_centres())
            ax.set_xticklabels(names, rotation=45 if turned else 0, fontsize=size,
                               ha="right" if turned else "center", rotation_mode="anchor")
        else:
            ax.set_yticks(self.slot_centres())
            ax.set_yticklabels(names, fontsize=size)

    def mark_gap(self, ax, axis):
        """A faint line between a numerical feature's values and its missing slot."""
        if self.categorical or self.missing_slot is None:
            return
        at = 0.5 * (self.stop + self.missing_slot[0])
        line = ax.axvline if axis == "x" else ax.axhline
        line(at, color="#9e9e9e", linestyle=":", linewidth=1.0)

    def draw_counts(self, ax, orientation, edges=None, counts=None, missing=None):
        """The rows of the feature: a histogram on ``edges`` (or bars of ``counts`` per bin) for
        a numerical feature, a bar per category for a categorical one; missing values a bar of
        their own (``missing`` rows when given, else those of the column)."""
        style = dict(color="#9e9e9e", edgecolor="white", linewidth=0.5)
        bar = ax.bar if orientation == "vertical" else ax.barh
        if self.categorical:
            bar(self.slot_centres(), self.category_counts(), BAR_FILL, **style)
            return
        if edges is not None and len(edges) >= 2:
            if counts is None:
                ax.hist(self.observed, bins=edges, orientation=orientation, **style)
            else:
                bar(edges[:-1], counts, np.diff(edges), align="edge", **style)
        if self.missing_slot is not None:
            lo, hi = self.missing_slot
            bar(lo, self.n_missing if missing is None else missing, hi - lo, align="edge",
                **style)


def feature_axes(value):
    """A FeatureAxis for each slicing feature of a marginal result."""
    fidx = list(value["fidx"])
    data = np.asarray(value["x"], dtype=float)
    all_labels = value.get("category_labels")
    rules = value.get("rule_list") or []
    regions = value.get("weak_region_stats") or []
    axes = []
    for k, j in enumerate(fidx):
        key = f"f{k}"
        bounds = [rule["splits"][key] for rule in rules if key in rule["splits"]]
        labels = None if all_labels is None else all_labels[j]
        axes.append(FeatureAxis(data[:, j], labels, value["feature_names"][j], bounds,
                                [region_bounds(region, k) for region in regions]))
    return axes
