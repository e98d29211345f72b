"""What DaskSagZone accepts: dask arrays and DataFrames (and numpy arrays beside them), checked
with the in-memory diagnoser's own checks, by reductions over the partitions."""

import numpy as np

from movra import _kernels
from movra.diagnoser import base
from movra.exceptions import MovraError

from . import _parts


class DiagnoserData:
    """The data set of a DaskSagZone fit: dask arrays cut into the same row chunks."""

    x = y = weights = pred = pred_proba = None
    feature_names = feature_types = None
    n_rows = 0
    row_chunks = ()


def _matrix(x):
    """x as a 2-D float64 dask array in one chunk of columns, and a DataFrame's column names."""
    names = None
    if _parts.is_dask_frame(x):
        names = [str(c) for c in x.columns]
        if any(np.dtype(t).kind not in "biuf" for t in x.dtypes):
            raise MovraError("x must hold numeric values.")
    array = _parts.as_row_array(x)
    base.check_matrix_shape(array.shape)
    if array.dtype.kind not in "biuf":
        raise MovraError("x must hold numeric values.")
    return _parts.aligned(array.astype(float), array.chunks[0]).rechunk({1: -1}), names


def _vector(values, name, row_chunks):
    array = _parts.as_row_array(values, row_chunks)
    base.check_vector_shape(array.shape, name, sum(row_chunks))
    if array.ndim == 2:
        array = array[:, 0]
    return _parts.aligned(array, row_chunks)


def _is_distributed_model(estimator):
    if getattr(estimator, "_distributed_predictions", False):
        return True
    try:
        from xgboost.dask import DaskScikitLearnBase
    except ImportError:  # pragma: no cover
        return False
    return isinstance(estimator, DaskScikitLearnBase)


def _predict_block(block, estimator, columns, proba):
    if columns is not None:
        import pandas as pd

        block = pd.DataFrame(block, columns=columns)
    if not proba:
        return np.ravel(np.asarray(estimator.predict(block), dtype=float))
    return np.ravel(base.positive_class(np.asarray(estimator.predict_proba(block), dtype=float)))


def _predictions(estimator, x, frame_columns, row_chunks, proba):
    """The model's predictions (or positive-class probabilities) per partition, lazily."""
    if _is_distributed_model(estimator):
        out = _parts.as_row_array(estimator.predict_proba(x) if proba else estimator.predict(x))
        if proba and out.ndim == 2 and out.shape[1] >= 2:
            out = out[:, -1]
        return _parts.aligned(out.astype(float), row_chunks)
    columns = frame_columns if (frame_columns is not None
                                and hasattr(estimator, "feature_names_in_")) else None
    return x.map_blocks(_predict_block, estimator, columns, proba, drop_axis=1, dtype=float)


def _weight_check(w):
    r = _kernels.column_ranges(w)
    return {"bad": bool(r["any_nan"] or r["any_inf"] or (r["count"] > 0 and r["min"][0] < 0))}


def _either_bad(a, b):
    return {"bad": a["bad"] or b["bad"]}


def diagnoser_data(zone, x, y, prediction, prediction_proba, sample_weight, feature_names,
                   feature_types, client):
    """The data set of a DaskSagZone fit, checked as BaseDiagnoser.fit checks it."""
    d = DiagnoserData()
    d.x, frame_columns = _matrix(x)
    d.row_chunks = tuple(d.x.chunks[0])
    d.n_rows = d.x.shape[0]
    d.y = _vector(y, "y", d.row_chunks)
    if sample_weight is not None:
        d.weights = _vector(sample_weight, "sample_weight", d.row_chunks).astype(float)
        if _parts.map_reduce(client, _weight_check, [d.weights], _either_bad)["bad"]:
            raise MovraError(base.BAD_WEIGHTS)
    d.feature_names, d.feature_types = base.feature_names_and_types(
        feature_names, feature_types, frame_columns, d.x.shape[1])
    estimator = zone.estimator
    # A distributed model is called on what the user passed (a DataFrame keeps its names).
    model_x = x if _is_distributed_model(estimator) and _parts.is_dask_frame(x) else d.x
    if prediction is None:
        d.pred = _predictions(estimator, model_x, frame_columns, d.row_chunks, False)
    else:
        d.pred = _vector(prediction, "prediction", d.row_chunks)
    if prediction_proba is None and zone.task_type == "classification":
        d.pred_proba = _predictions(estimator, model_x, frame_columns, d.row_chunks, True)
    elif prediction_proba is not None:
        proba = _parts.as_row_array(prediction_proba, d.row_chunks)
        if proba.ndim == 2 and proba.shape[1] >= 2:
            proba = proba[:, -1]
        d.pred_proba = _vector(proba, "prediction_proba", d.row_chunks).astype(float)
    return d


def _mask_block(positions, size):
    mask = np.zeros(size, dtype=bool)
    mask[positions] = True
    return mask


def _any_missing(block):
    return {"bad": bool(np.any(block))}


def _dask_mask(index, name, row_chunks, n, client):
    """A dask collection as a boolean mask cut like the data (pandas' nullable and pyarrow
    booleans included, once no value is missing)."""
    if _parts.is_dask_series(index) and not isinstance(index.dtype, np.dtype):
        import pandas as pd

        if pd.api.types.is_bool_dtype(index.dtype):
            missing = _parts.as_row_array(index.isna())
            if _parts.map_reduce(client, _any_missing, [missing], _either_bad)["bad"]:
                raise MovraError(f"{name} holds missing values; a mask must be True or False.")
            index = index.astype(bool)
    mask = _parts.as_row_array(index)
    if mask.ndim != 1:
        raise MovraError("%s must be one-dimensional." % name)
    if mask.dtype.kind != "b":
        raise MovraError("%s must be a boolean mask when it is a dask collection (integer "
                         "positions are taken as a numpy array)." % name)
    base.check_mask_length(name, mask.shape[0], n)
    return _parts.aligned(mask, row_chunks)


def split_mask(index, name, row_chunks, n, client):
    """A split's rows as a boolean dask array cut like the data: from a boolean mask (dask,
    numpy or pandas) or from integer positions (the split is then the set of rows they name)."""
    import dask
    import dask.array as da

    if _parts.is_dask_collection(index):
        return _dask_mask(index, name, row_chunks, n, client)
    array = base.as_selector_array(index, name)
    if array.ndim == 1 and array.dtype.kind == "b":
        base.check_mask_length(name, array.shape[0], n)
        return da.from_array(array, chunks=(row_chunks,))
    rows = base.split_positions(array, name, n)
    positions = np.unique(np.where(rows < 0, rows + n, rows)).astype(np.int64)
    starts = np.concatenate([[0], np.cumsum(row_chunks)])
    pieces = []
    for b, size in enumerate(row_chunks):
        lo, hi = np.searchsorted(positions, [starts[b], starts[b + 1]])
        block = dask.delayed(_mask_block, pure=True)(positions[lo:hi] - starts[b], size)
        pieces.append(da.from_delayed(block, shape=(size,), dtype=bool))
    return da.concatenate(pieces) if pieces else da.zeros(0, dtype=bool)
