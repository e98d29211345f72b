"""The weak regions measured on both splits: their rows and average scores summed over the
partitions, and their rows as lazy dask arrays."""

import numpy as np

from movra import _kernels

from . import _parts
from ._frame import SPLITS


def region_bounds(regions):
    """The regions' bounds alone ("lb1", "ub1"[, "lb2", "ub2"]), as the kernels read them: what
    is shipped to the workers (a region's other entries may be lazy arrays of its scores)."""
    bounds = []
    for region in regions:
        kept = {key: float(region[key]) for key in ("lb1", "ub1", "lb2", "ub2") if key in region}
        kept.update({key: region[key] for key in ("codes1", "codes2") if key in region})
        bounds.append(kept)
    return bounds


# ---- the passes over the partitions (module-level, so that workers unpickle them) ----

def _region_pass(block, frame, regions, closed_at):
    first, second = frame.columns(block)
    scores, weights = frame.scores(block), frame.weights(block)
    return {name: _kernels.region_sums(first, second, regions, closed_at, scores, weights,
                                       frame.selected(block, split))
            for name, split in SPLITS}


def _merge_regions(a, b):
    return {name: _parts.merge_sums(a[name], b[name]) for name in a}


def _region_positions_block(block, frame, split, region, closed_at, offset):
    first, second = frame.columns(block)
    return _kernels.region_positions(first, second, region, closed_at,
                                     frame.selected(block, split), offset)


def _region_scores_block(block, frame, split, region, closed_at):
    positions = _region_positions_block(block, frame, split, region, closed_at, 0)
    chosen = np.flatnonzero(frame.selected(block, split))[positions]
    return frame.scores(block)[chosen]


# ---- the regions' statistics ----

def measure_regions(client, frame, weak_region, closed_at):
    """Each split's measures of the weak regions, as BaseSlicing._tabulate_regions takes them:
    the regions' row counts, their scores (lazily) and their average scores. An upper bound is
    closed where it reaches `closed_at` (the searched split's maximum of that column)."""
    closed_at = np.asarray(closed_at, dtype=float)
    sums = _parts.map_reduce(client, _region_pass, [frame.array], _merge_regions, frame,
                             region_bounds(weak_region), closed_at)
    measures = {}
    for side, split in SPLITS:
        counts = sums[side]["count"].astype(np.int64)
        scores = [region_scores(frame, split, region, closed_at) if count else []
                  for region, count in zip(region_bounds(weak_region), counts)]
        measures[side] = (counts, scores, _kernels.average_scores(sums[side], frame.weighted))
    return measures


# ---- the regions' rows, lazily ----

def _concatenated(pieces, dtype):
    """Delayed pieces of unknown lengths as one lazy dask array."""
    import dask.array as da

    return da.concatenate([da.from_delayed(piece, shape=(np.nan,), dtype=dtype)
                           for piece in pieces])


def region_scores(frame, split, region, closed_at):
    """The scores of a split's rows inside one region, lazily, partition by partition."""
    import dask

    call = dask.delayed(_region_scores_block, pure=True)
    return _concatenated([call(block, frame, split, region, closed_at)
                          for block in _parts.row_blocks(frame.array)], float)


def target_positions(frame, searched, split_counts, regions, closed_at):
    """Positions within the searched split of the rows in each region, region by region, as a
    lazy dask array."""
    import dask

    if not regions:
        raise ValueError("need at least one array to concatenate")
    blocks = _parts.row_blocks(frame.array)
    offsets = np.concatenate([[0], np.cumsum(split_counts)[:-1]]).astype(np.int64)
    call = dask.delayed(_region_positions_block, pure=True)
    closed_at = np.asarray(closed_at, dtype=float)
    return _concatenated([call(block, frame, searched, region, closed_at, int(o))
                          for region in region_bounds(regions)
                          for block, o in zip(blocks, offsets)], np.int64)
