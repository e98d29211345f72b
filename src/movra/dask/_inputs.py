"""What the distributed classes accept: dask arrays and DataFrames (and numpy arrays beside
them), checked as the in-memory classes check them, by reductions over the partitions."""

import numpy as np

from movra import _kernels
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
    if array.ndim != 2:
        raise MovraError("x must be a two-dimensional array, got shape %s." % (array.shape,))
    if array.dtype.kind not in "biuf":
        raise MovraError("x must hold numeric values.")
    return _parts.aligned(array.astype(float), array.chunks[0]).rechunk({1: -1}), names


def _vector(values, name, row_chunks):
    array = _parts.as_row_array(values, row_chunks)
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim != 1:
        raise MovraError("%s must be one-dimensional, got shape %s." % (name, array.shape))
    n = sum(row_chunks)
    if array.shape[0] != n:
        raise MovraError("%s has %d values, expected %d." % (name, array.shape[0], n))
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
    p = np.asarray(estimator.predict_proba(block), dtype=float)
    return p[:, -1] if p.ndim == 2 and p.shape[1] >= 2 else np.ravel(p)


def _predictions(estimator, x, frame_columns, row_chunks, proba):
    """The model's predictions (or positive-class probabilities) per partition, lazily."""
    if _is_distributed_model(estimator):
        out = estimator.predict_proba(x) if proba else estimator.predict(x)
        out = _parts.as_row_array(out)
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
    d.n_rows = n = d.x.shape[0]
    n_features = d.x.shape[1]
    if n == 0:
        raise MovraError("x holds no rows.")
    d.y = _vector(y, "y", d.row_chunks)
    if sample_weight is not None:
        d.weights = _vector(sample_weight, "sample_weight", d.row_chunks).astype(float)
        check = _parts.map_reduce(client, _weight_check, [d.weights], _either_bad)
        if check["bad"]:
            raise MovraError("sample_weight must hold finite, non-negative values.")
    if feature_names is None:
        feature_names = frame_columns or ["X%d" % i for i in range(n_features)]
    feature_names = [str(name) for name in feature_names]
    if len(feature_names) != n_features:
        raise MovraError("feature_names has %d names for %d features."
                         % (len(feature_names), n_features))
    if feature_types is None:
        feature_types = ["numerical"] * n_features
    feature_types = list(feature_types)
    if len(feature_types) != n_features:
        raise MovraError("feature_types has %d types for %d features."
                         % (len(feature_types), n_features))
    d.feature_names, d.feature_types = feature_names, feature_types
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


def split_mask(index, name, row_chunks, n):
    """A split's rows as a boolean dask array cut like the data: from a boolean mask (dask or
    numpy) or from integer positions (numpy; the split is then the set of rows they name)."""
    import dask
    import dask.array as da

    if _parts.is_dask_collection(index):
        mask = _parts.as_row_array(index)
        if mask.ndim != 1:
            raise MovraError("%s must be one-dimensional." % name)
        if mask.dtype.kind != "b":
            raise MovraError("%s must be a boolean mask when it is a dask collection (integer "
                             "positions are taken as a numpy array)." % name)
        if mask.shape[0] != n:
            raise MovraError("%s is a boolean mask of %d values for %d rows."
                             % (name, mask.shape[0], n))
        return _parts.aligned(mask, row_chunks)
    index = np.asarray(index)
    if index.ndim != 1:
        raise MovraError("%s must be one-dimensional." % name)
    if index.dtype.kind == "b":
        if index.shape[0] != n:
            raise MovraError("%s is a boolean mask of %d values for %d rows."
                             % (name, index.shape[0], n))
        return da.from_array(index, chunks=(row_chunks,))
    if index.shape[0] and index.dtype.kind not in "iu":
        raise MovraError("%s must hold integer positions or a boolean mask." % name)
    if index.shape[0] and (index.min() < -n or index.max() >= n):
        raise MovraError("%s holds positions out of range for %d rows." % (name, n))
    positions = np.unique(np.where(index < 0, index + n, index).astype(np.int64))
    starts = np.concatenate([[0], np.cumsum(row_chunks)])
    pieces = []
    for b, size in enumerate(row_chunks):
        lo, hi = np.searchsorted(positions, [starts[b], starts[b + 1]])
        block = dask.delayed(_mask_block, pure=True)(positions[lo:hi] - starts[b], size)
        pieces.append(da.from_delayed(block, shape=(size,), dtype=bool))
    return da.concatenate(pieces) if pieces else da.zeros(0, dtype=bool)
