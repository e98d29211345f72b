"""The passes of the weak-region search over the partitions of the frame (module-level, so that
workers unpickle them), and how their results merge: ranges and missing counts, the bins' cell
sums, exact sums of the cells near the threshold value."""

import numpy as np

from movra import _kernels

from . import _parts
from ._frame import SPLITS

CELL_SUMS = ("count", "sum", "weight", "weighted")


def first_pass(block, frame, searched, limit):
    """Per split and slicing column: the range of the values that are there, the missing ones'
    count and the rows; over the searched rows: up to `limit` distinct values of the first
    column (missing ones aside) and the score totals."""
    first, second = frame.columns(block)
    out = {}
    for name, split in SPLITS:
        selected = frame.selected(block, split)
        ranges = [_kernels.column_ranges(c, selected) for c in (first, second) if c is not None]
        for key in ("lowest", "highest", "missing"):
            out[name + "_" + key] = np.array([r[key][0] for r in ranges])
        out[name + "_count"] = ranges[0]["count"]
    selected = frame.selected(block, searched)
    out["distinct"] = _kernels.distinct_values(first, limit, selected & ~np.isnan(first))
    out["totals"] = _kernels.score_totals(frame.scores(block), frame.weights(block), selected)
    out["counts"] = [int(np.count_nonzero(selected))]
    return out


def merge_first(a, b, limit):
    totals = _parts.merge_dicts(a["totals"], b["totals"], {
        "count": "add", "sum": "exact", "weighted": "exact", "weight": "exact", "low": "min",
        "high": "max", "low_weight": "min"})
    how = {"counts": "list"}
    for name, _ in SPLITS:
        how.update({name + "_lowest": "min", name + "_highest": "max", name + "_missing": "add",
                    name + "_count": "add"})
    out = _parts.merge_dicts(a, b, how)
    out["totals"] = totals
    out["distinct"] = union(a["distinct"], b["distinct"], limit)
    return out


def union(a, b, limit):
    return np.union1d(a, b)[:limit]


def profile_pass(block, frame, searched, edges, limit):
    first, second = frame.columns(block)
    return _kernels.first_bin_profile(first, second, edges, limit,
                                      frame.selected(block, searched))


def merge_profile(a, b, limit):
    return {"support": a["support"] + b["support"], "missing": a["missing"] + b["missing"],
            "min": np.minimum(a["min"], b["min"]), "max": np.maximum(a["max"], b["max"]),
            "distinct": [union(x, y, limit) for x, y in zip(a["distinct"], b["distinct"])]}


class BoundMerge:
    """merge(a, b, limit) as a picklable two-argument callable."""

    def __init__(self, merge, limit):
        self.merge, self.limit = merge, limit

    def __call__(self, a, b):
        return self.merge(a, b, self.limit)


def cell_pass(block, frame, searched, edges, second_edges):
    first, second = frame.columns(block)
    return _kernels.cell_sums(first, second, edges, second_edges, frame.scores(block),
                              frame.weights(block), frame.selected(block, searched))


def exact_pass(block, frame, searched, edges, second_edges, cells):
    first, second = frame.columns(block)
    return _kernels.exact_cell_sums(first, second, edges, second_edges, frame.scores(block),
                                    frame.weights(block), frame.selected(block, searched), cells)


def merge_exact_cell(x, y):
    """Two exact sums of cells (count, sum of w * score, sum of w) as one."""
    return (x[0] + y[0], _parts.merge_exact(x[1], y[1]), _parts.merge_exact(x[2], y[2]))


def merge_exact_cells(a, b):
    """Two lists of exact cell sums, cell by cell."""
    return [merge_exact_cell(x, y) for x, y in zip(a, b)]


def unit_sums(sums, units, offset):
    """The sums of every unit (positions in a feature's cells, from `offset` in `sums`)."""
    return {key: np.array([sums[key][offset + np.asarray(u, dtype=np.intp)].sum() for u in units],
                          dtype=sums[key].dtype)
            for key in CELL_SUMS}
