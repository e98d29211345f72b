"""The per-row frame the weak-region search reads: one dask array cut like the data, holding for
each row its slicing columns, its score, its weight and the splits it belongs to."""

import numpy as np

# A row's split code: one bit per split, so that a row can be in both.
TRAIN, TEST = 1, 2
SPLITS = (("train", TRAIN), ("test", TEST))
# Columns of the frame after the one or two slicing columns.
_SCORE, _WEIGHT, _SPLIT = 0, 1, 2


def _frame_block(x, y, pred, weights, train, test, columns, scoring_func):
    """The rows of one partition as the searches read them, column by column (Fortran order, so
    each column is contiguous): the slicing columns, the per-sample score, the weight and the
    split code (1 training, 2 test, 3 both)."""
    n, k = x.shape[0], len(columns)
    out = np.empty((n, k + 3), order="F")
    for j, c in enumerate(columns):
        out[:, j] = x[:, c]
    out[:, k + _SCORE] = np.nan if pred is None else scoring_func(np.ravel(y), np.ravel(pred))
    out[:, k + _WEIGHT] = 1.0 if weights is None else weights
    out[:, k + _SPLIT] = (np.asarray(train, dtype=bool) * TRAIN
                          + np.asarray(test, dtype=bool) * TEST)
    return out


def _frame_of_blocks(x, y, pred, weights, train, test, columns, scoring_func):
    # map_blocks hands every vector over as a one-column block.
    return _frame_block(x, y[:, 0], None if pred is None else pred[:, 0],
                        None if weights is None else weights[:, 0], train[:, 0], test[:, 0],
                        columns, scoring_func)


def frame_array(data, pred, train, test, columns, scoring_func):
    """The frame of a data set as a lazy dask array with the data's row chunks."""
    import dask.array as da

    # Blockwise, so that each partition's frame is made where its rows are.
    column = [None if a is None else a[:, None]
              for a in (data.y, pred, data.weights, train, test)]
    return da.map_blocks(_frame_of_blocks, data.coded, *column, columns=columns,
                         scoring_func=scoring_func, dtype=float,
                         chunks=(data.row_chunks, (len(columns) + 3,)))


class Frame:
    """The persisted frame and how to read it: a partition's block on a worker, or the whole
    array lazily on the client."""

    def __init__(self, array, n_slicing, weighted):
        self.array = array
        self.k = n_slicing
        self.weighted = weighted

    def columns(self, block):
        return block[:, 0], (block[:, 1] if self.k == 2 else None)

    def scores(self, block):
        return block[:, self.k + _SCORE]

    def weights(self, block):
        return block[:, self.k + _WEIGHT] if self.weighted else None

    def selected(self, block, split):
        return (block[:, self.k + _SPLIT].astype(np.uint8) & split) != 0

    def split_rows(self, array, split):
        """The rows of `array` (cut like the frame) that are in `split`, lazily."""
        return array[self.selected(self.array, split)]
