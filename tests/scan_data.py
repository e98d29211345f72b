"""Seeded synthetic data for the scan: twenty features of different shapes and a model whose
squared error is doubled inside a planted pattern (or nowhere)."""

from types import SimpleNamespace

import numpy as np

N_FEATURES = 20

PATTERNS = {
    "interval": dict(settings=dict(method="histogram"), iou=0.4),
    "quadrants": dict(settings=dict(method="histogram"), iou=0.5),
    "box": dict(settings=dict(method="histogram"), iou=0.5),
    "tree interval": dict(settings=dict(method="tree"), iou=0.8),
    "tree box": dict(settings=dict(method="tree", max_depth=4), iou=0.8),
    "none": dict(settings=dict(method="histogram"), iou=None),
}


def _features(rng, n):
    shapes = [
        lambda: rng.normal(size=n),
        lambda: rng.uniform(-1, 1, n),
        lambda: rng.exponential(1.0, n),
        lambda: rng.lognormal(0.0, 0.75, n),
        lambda: rng.integers(0, 5, n).astype(float),
        lambda: rng.integers(0, 2, n).astype(float),
        lambda: rng.standard_t(3, n),
        lambda: np.where(rng.random(n) < 0.5, rng.normal(-2, 0.5, n), rng.normal(2, 0.5, n)),
        lambda: rng.gamma(2.0, 2.0, n),
        lambda: np.round(rng.normal(50, 10, n)),
    ]
    return np.column_stack([shapes[j % len(shapes)]() for j in range(N_FEATURES)])


def _interval(rng, column, width_share):
    """An interval of the given share of the column's range (1.5 bin widths of 10 bins: 0.15)
    inside its central 80%."""
    low, high = np.quantile(column, [0.1, 0.9])
    width = width_share * (column.max() - column.min())
    start = rng.uniform(low, max(low, high - width))
    return (column >= start) & (column < start + width)


def _quantile_interval(rng, column, share):
    """An interval holding about `share` of the rows, inside the central 80%."""
    start = rng.uniform(0.1, 0.9 - share)
    low, high = np.quantile(column, [start, start + share])
    return (column >= low) & (column < high)


def planted_data(pattern, seed, n=100000):
    rng = np.random.default_rng(seed)
    x = _features(rng, n)
    # Continuous features for intervals by share of rows; for an interval by share of the range,
    # features without far tails (there a bin width is a sensible unit).
    continuous = [0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 16, 17, 18, 19]
    spread = [0, 1, 9, 10, 11, 19]
    histogram = pattern in ("interval", "quadrants")
    first, second = rng.choice(spread if histogram else continuous, size=2, replace=False)
    planted, inside = None, np.zeros(n, dtype=bool)
    if pattern == "interval":
        inside, planted = _interval(rng, x[:, first], 0.15), (first,)
    elif pattern == "quadrants":
        a = x[:, first] > np.median(x[:, first])
        b = x[:, second] > np.median(x[:, second])
        inside, planted = a == b, (min(first, second), max(first, second))
    elif pattern == "tree interval":
        inside, planted = _quantile_interval(rng, x[:, first], 0.06), (first,)
    elif pattern == "box":
        # A box of 5-10% of the rows, each side a quantile interval of the same share, on two
        # features of flat distribution: there ten equal-width bins are as fine as the rows (on a
        # normal feature such a side is about one bin wide).
        for j in (first, second):
            x[:, j] = rng.uniform(0, 1, n)
        share = np.sqrt(rng.uniform(0.05, 0.10))
        inside = (_quantile_interval(rng, x[:, first], share)
                  & _quantile_interval(rng, x[:, second], share))
        planted = (min(first, second), max(first, second))
    elif pattern == "tree box":
        share = np.sqrt(0.08)
        inside = (_quantile_interval(rng, x[:, first], share)
                  & _quantile_interval(rng, x[:, second], share))
        planted = (min(first, second), max(first, second))
    # A model whose squared error is doubled inside the pattern.
    noise = rng.normal(size=n) * np.where(inside, np.sqrt(2.0), 1.0)
    pred = np.zeros(n)
    order = rng.permutation(n)
    names = ["X%d" % j for j in range(N_FEATURES)]
    return SimpleNamespace(
        x=x, y=pred + noise, pred=pred, train=np.sort(order[: int(0.7 * n)]),
        test=np.sort(order[int(0.7 * n):]), names=names, inside=inside,
        planted=None if planted is None else tuple(names[j] for j in planted))


def region_rows(results, planted, x, names):
    """The rows of x inside any reported region of exactly the planted feature(s)."""
    rows = np.zeros(len(x), dtype=bool)
    for _, r in results.iterrows():
        features = tuple(f for f in (r["feature_1"], r["feature_2"]) if isinstance(f, str))
        if features != planted:
            continue
        inside = np.ones(len(x), dtype=bool)
        for k, name in enumerate(features):
            column = x[:, names.index(name)]
            lb, ub = r["lb_%d" % (k + 1)], r["ub_%d" % (k + 1)]
            inside &= (column >= lb) & (column <= ub)
        rows |= inside
    return rows
