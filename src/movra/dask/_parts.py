"""Dask collections as row partitions, and reductions over them.

Every statistic the distributed classes need is a sum (or min, max, union) over rows: a kernel of
``movra._kernels`` runs once on each partition where the partition lives, the partitions' results
are merged pairwise in partition order on the workers, and only the merged result (of the size of
the bins or grids, never of the rows) reaches the client.
"""

import math

import numpy as np

from movra.exceptions import MovraError


def _dask():
    try:
        import dask
        import dask.array as da
        import distributed  # noqa: F401
    except ImportError as error:  # pragma: no cover - the extra is installed in the tests
        raise ImportError(
            "movra.dask needs dask and distributed: pip install 'movra[dask]'") from error
    return dask, da


def resolve_client(client):
    """The given client, else the current one of distributed."""
    if client is not None:
        return client
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        raise MovraError(
            "No distributed client: connect one first (distributed.Client(address)) or pass "
            "client=.") from None


def is_dask_collection(obj):
    dask, _ = _dask()
    return dask.is_dask_collection(obj)


def is_dask_frame(obj):
    return is_dask_collection(obj) and hasattr(obj, "to_dask_array") and obj.ndim == 2


def is_dask_series(obj):
    # Recent dask's Series has a `columns` attribute too: its dimensions tell it apart.
    return is_dask_collection(obj) and hasattr(obj, "to_dask_array") and obj.ndim == 1


def known_rows(array):
    """A dask array whose chunk sizes along the rows are known (they are counted per partition
    when they are not: one number per partition reaches the client)."""
    if any(math.isnan(c) for c in array.chunks[0]):
        array = array.compute_chunk_sizes()
    return array


def frame_to_array(frame, lengths=True):
    """A dask DataFrame or Series as a dask array with known partition lengths (counted, unless
    given; text, class labels say, as objects)."""
    import warnings

    with warnings.catch_warnings():
        # dask warns that it converts pandas' string columns to objects: what is read here.
        warnings.filterwarnings("ignore", "Dask currently has limited support for converting "
                                "pandas extension dtypes", UserWarning)
        return frame.to_dask_array(lengths=lengths)


def as_row_array(obj, chunks=None):
    """A dask array, DataFrame or Series, or a numpy array-like, as a dask array with known row
    chunks (a numpy array becomes one chunk, or takes `chunks`)."""
    _, da = _dask()
    if is_dask_frame(obj) or is_dask_series(obj):
        return frame_to_array(obj)
    if is_dask_collection(obj):
        if not hasattr(obj, "chunks"):
            raise TypeError("expected a dask array, DataFrame or Series, got %s"
                            % type(obj).__name__)
        return known_rows(obj)
    values = np.asarray(obj)
    if chunks is not None and values.ndim >= 1 and values.shape[0] == sum(chunks):
        return da.from_array(values, chunks=(tuple(chunks),) + values.shape[1:])
    return da.from_array(values, chunks=values.shape or ())


def aligned(array, row_chunks):
    """`array` cut into the row chunks `row_chunks` (its length must be their sum)."""
    if tuple(array.chunks[0]) == tuple(row_chunks):
        return array
    return array.rechunk((tuple(row_chunks),) + tuple(-1 for _ in array.shape[1:]))


def row_blocks(array):
    """The delayed blocks of a row-chunked array (a 2-D array in one chunk of columns)."""
    blocks = array.to_delayed()
    return list(blocks.ravel()) if array.ndim == 1 else list(blocks[:, 0])


def partition_lengths(client, frame):
    """The row count of every partition of a dask DataFrame, counted where it lives."""
    return tuple(int(n) for n in compute(client, frame.map_partitions(len)))


def partitions_array(frame, func, lengths, meta, *args):
    """func(partition, *args) for every partition of a dask DataFrame (a pandas object like
    `meta`, one row per row of the partition) as a dask array cut into `lengths`. Through the
    frame's own map_partitions, so that its partitions keep the keys of every other computation
    of the frame."""
    return frame_to_array(frame.map_partitions(func, *args, meta=meta), lengths)


def _shared(args):
    """Arguments every partition's call takes, each put in the graph once."""
    dask, _ = _dask()
    return [dask.delayed(a) if isinstance(a, (dict, list, tuple, np.ndarray)) else a
            for a in args]


def map_partitions(func, arrays, *args, **kwargs):
    """func(*blocks_of_partition_i, *args, **kwargs) for every partition, as delayed objects;
    the arrays share their row chunks (None entries are passed as None)."""
    dask, _ = _dask()
    blocks = [None if a is None else row_blocks(a) for a in arrays]
    n = len(next(b for b in blocks if b is not None))
    blocks = [[None] * n if b is None else b for b in blocks]
    call = dask.delayed(func, pure=True)
    shared = _shared(args)
    return [call(*[b[i] for b in blocks], *shared, **kwargs) for i in range(n)]


def reduce_parts(parts, merge):
    """The parts merged pairwise, neighbours first, so that the merge keeps partition order."""
    dask, _ = _dask()
    merge = dask.delayed(merge, pure=True)
    while len(parts) > 1:
        parts = [merge(parts[i], parts[i + 1]) if i + 1 < len(parts) else parts[i]
                 for i in range(0, len(parts), 2)]
    return parts[0]


def compute(client, obj):
    """One delayed result computed on the cluster and brought to the client."""
    return client.compute(obj).result()


def map_reduce(client, func, arrays, merge, *args, **kwargs):
    return compute(client, reduce_parts(map_partitions(func, arrays, *args, **kwargs), merge))


# ---- merging what the kernels return ----

def merge_exact(a, b):
    """Two exact sums (partials, plain sum, exact) as one."""
    return (np.concatenate([a[0], b[0]]), a[1] + b[1], a[2] and b[2])


def rounded(exact):
    """The exact sum rounded once (math.fsum), or the plain sum where it is not exact."""
    partials, plain, is_exact = exact
    if not is_exact:
        return float(plain)
    try:
        return math.fsum(partials.tolist())
    except OverflowError:
        return float(plain)


def merge_sums(a, b):
    """Two dicts of per-cell count and sums."""
    return {key: a[key] + b[key] for key in a}


def merged_averages(sums, weighted):
    """Each cell's average score from its merged sums: the weighted average where its weights
    sum to non-zero, else the plain mean (NaN for a cell without rows)."""
    count = sums["count"].astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        if weighted:
            return np.where(sums["weight"] != 0, sums["weighted"] / sums["weight"],
                            sums["sum"] / count)
        return sums["sum"] / count


def merge_dicts(a, b, how):
    """Two dicts merged key by key, each by its rule in `how`: "add", "min", "max" (NaN wins, as
    in numpy's min and max), "exact", "list" (concatenated), "all", "any"."""
    out = {}
    for key, rule in how.items():
        x, y = a[key], b[key]
        if rule == "add":
            out[key] = x + y
        elif rule == "min":
            out[key] = np.minimum(x, y)
        elif rule == "max":
            out[key] = np.maximum(x, y)
        elif rule == "exact":
            out[key] = merge_exact(x, y)
        elif rule == "list":
            out[key] = list(x) + list(y)
        elif rule == "any":
            out[key] = bool(x) or bool(y)
        elif rule == "all":
            out[key] = bool(x) and bool(y)
        else:
            raise ValueError(rule)
    return out
