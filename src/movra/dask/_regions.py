"""The weak regions measured on both splits: their rows and average scores summed over the
partitions, the regions' table, and their rows as lazy dask arrays."""

import numpy as np
import pandas as pd

from movra import _kernels

from . import _parts
from ._frame import SPLITS


def region_boxes(regions, n_slicing, closed_at=None):
    """The regions as the kernels read them, one row each: per feature (two; an absent second
    one all zeros) the lower bound, the upper bound and whether that is closed, which it is
    where it equals the feature's value in `closed_at`."""
    rows = []
    for region in regions:
        row = []
        for f in range(2):
            if f < n_slicing:
                lb, ub = region["lb%d" % (f + 1)], region["ub%d" % (f + 1)]
                closed = closed_at is not None and ub == closed_at[f]
                row += [lb, ub, float(closed)]
            else:
                row += [0.0, 0.0, 0.0]
        rows.append(row)
    return np.array(rows, dtype=float).reshape(-1, 6)


def largest_first(values):
    """Positions of `values` from the largest down, NaN last."""
    return sorted(range(len(values)),
                  key=lambda i: (np.isnan(values[i]), -np.nan_to_num(values[i])))


# ---- the passes over the partitions (module-level, so that workers unpickle them) ----

def _region_pass(block, frame, boxes):
    first, second = frame.columns(block)
    scores, weights = frame.scores(block), frame.weights(block)
    return {name: _kernels.region_sums(first, second, boxes[name], scores, weights,
                                       frame.selected(block, split))
            for name, split in SPLITS}


def _merge_regions(a, b):
    return {name: _parts.merge_sums(a[name], b[name]) for name in a}


def _region_positions_block(block, frame, split, box, offset):
    first, second = frame.columns(block)
    return _kernels.region_positions(first, second, box, frame.selected(block, split), offset)


def _region_scores_block(block, frame, split, box):
    positions = _region_positions_block(block, frame, split, box, 0)
    chosen = np.flatnonzero(frame.selected(block, split))[positions]
    return frame.scores(block)[chosen]


# ---- the regions' statistics and table ----

def measure_regions(client, frame, weak_region, test_max, features, score_name):
    """The weak regions' statistics on both splits, largest gap first, and their table."""
    # An upper bound is closed where it reaches the test data's maximum of that column.
    boxes = region_boxes(weak_region, frame.k, closed_at=test_max)
    sums = _parts.map_reduce(client, _region_pass, [frame.array], _merge_regions, frame,
                             {"train": boxes, "test": boxes})
    counts = {side: sums[side]["count"].astype(np.int64) for side, _ in SPLITS}
    averages = {side: _parts.merged_averages(sums[side], frame.weighted).tolist()
                for side, _ in SPLITS}
    gaps = [test - train for test, train in zip(averages["test"], averages["train"])]
    rows = []
    for r, region in enumerate(weak_region):
        row = dict(region)
        row["#Train"], row["#Test"] = int(counts["train"][r]), int(counts["test"][r])
        for side, split in SPLITS:
            row["%s_%s All" % (side, score_name)] = (
                region_scores(frame, split, boxes[r:r + 1]) if counts[side][r] else [])
            row["%s_%s" % (side, score_name)] = averages[side][r]
        row["Gap"] = gaps[r]
        rows.append(row)
    stats = [rows[r] for r in largest_first(gaps)]
    return stats, region_table(stats, features, score_name)


def region_table(stats, features, score_name):
    """One row per region in the order of `stats`: the bounds on each slicing feature, the rows
    and average scores of both splits, and their gap."""
    table, names = {}, []
    for f, feature in enumerate(features):
        for bound in ("lb", "ub"):
            key = "%s%d" % (bound, f + 1)
            table[key] = np.array([row[key] for row in stats], dtype=float)
        names += ["[" + str(feature), str(feature) + ")"]
    measured = (("#Test", np.int64), ("#Train", np.int64), ("test_" + score_name, float),
                ("train_" + score_name, float), ("Gap", float))
    for key, dtype in measured:
        table[key] = np.array([row[key] for row in stats], dtype=dtype)
        names.append(key)
    output = pd.DataFrame(table)
    # Set afterwards: two features of the same name must still give two columns each.
    output.columns = names
    return output


# ---- the regions' rows, lazily ----

def _concatenated(pieces, dtype):
    """Delayed pieces of unknown lengths as one lazy dask array."""
    import dask.array as da

    return da.concatenate([da.from_delayed(piece, shape=(np.nan,), dtype=dtype)
                           for piece in pieces])


def region_scores(frame, split, box):
    """The scores of a split's rows inside one region, lazily, partition by partition."""
    import dask

    call = dask.delayed(_region_scores_block, pure=True)
    return _concatenated([call(block, frame, split, box)
                          for block in _parts.row_blocks(frame.array)], float)


def target_positions(frame, searched, split_counts, regions):
    """Positions within the searched split of the rows in each region (upper bounds open),
    region by region, as a lazy dask array."""
    import dask

    if not regions:
        raise ValueError("need at least one array to concatenate")
    blocks = _parts.row_blocks(frame.array)
    offsets = np.concatenate([[0], np.cumsum(split_counts)[:-1]]).astype(np.int64)
    call = dask.delayed(_region_positions_block, pure=True)
    boxes = region_boxes(regions, frame.k)
    return _concatenated([call(block, frame, searched, boxes[r:r + 1], int(o))
                          for r in range(len(regions))
                          for block, o in zip(blocks, offsets)], np.int64)
