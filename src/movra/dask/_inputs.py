"""What DaskSagZone accepts: dask arrays and DataFrames (and numpy arrays beside them), checked
and coded with the in-memory diagnoser's own checks and conversion, by reductions over the
partitions."""

import numpy as np

from movra import _kernels
from movra.diagnoser import base
from movra.exceptions import MovraError

from . import _parts
from ._tables import coded_table


class DiagnoserData:
    """The data set of a DaskSagZone fit: x as given, its coded matrix and the per-row vectors,
    dask arrays cut into the same row chunks."""

    x = coded = y = weights = pred = pred_proba = None
    feature_names = feature_types = category_labels = classes = None
    n_rows = 0
    row_chunks = ()


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


def _model_output(estimator, model_x, proba, labels):
    """What the model predicts for a block: its positive class's probabilities, else its
    predictions (class labels as they are, to be read against the classes)."""
    if not proba:
        out = np.ravel(np.asarray(estimator.predict(model_x)))
        return out if labels else out.astype(float)
    return np.ravel(base.positive_class(np.asarray(estimator.predict_proba(model_x),
                                                   dtype=float)))


def _predict_block(block, estimator, proba, labels):
    return _model_output(estimator, block, proba, labels)


_CODED = object()  # stands for a partition's coded columns until they are needed


def _predict_partition(part, estimator, feature_types, categories, proba, labels):
    """The model called on a partition as given, except where the in-memory diagnoser gives a
    model its numbers (base._model_input decides)."""
    import pandas as pd

    model_x = base._model_input(estimator, part, _CODED, feature_types)
    if model_x is _CODED:
        model_x = _kernels.coded_columns(part, feature_types, categories=categories)[0]
    return pd.Series(_model_output(estimator, model_x, proba, labels))


def _predictions(zone, x, table, proba):
    """The model's predictions (or positive-class probabilities) per partition, lazily; a
    classifier's predicted labels as they are."""
    estimator, row_chunks = zone.estimator, table.row_chunks
    labels = zone.task_type == "classification" and not proba
    dtype = object if labels else float
    if _is_distributed_model(estimator):
        # A distributed model is called on what the user passed (a DataFrame keeps its names).
        model_x = x if _parts.is_dask_frame(x) else table.coded
        out = _parts.as_row_array(estimator.predict_proba(model_x) if proba
                                  else estimator.predict(model_x))
        if proba and out.ndim == 2 and out.shape[1] >= 2:
            out = out[:, -1]
        return _parts.aligned(out if labels else out.astype(float), row_chunks)
    if _parts.is_dask_frame(x):
        return _parts.partitions_array(x, _predict_partition, row_chunks, (None, dtype),
                                       estimator, table.feature_types, table.categories, proba,
                                       labels)
    return table.coded.map_blocks(_predict_block, estimator, proba, labels, drop_axis=1,
                                  dtype=dtype)


def _labels_of(y, pred):
    import pandas as pd

    return [np.asarray(pd.unique(np.ravel(np.asarray(v)))) for v in (y, pred)]


def _merge_labels(a, b):
    import pandas as pd

    return [np.asarray(pd.unique(np.concatenate([p, q]))) for p, q in zip(a, b)]


def _binary(data, estimator, client):
    """y and the predictions as 1.0 for the positive class and 0.0 for the other, against the
    classes BaseDiagnoser.fit finds: the model's, else the labels of y and of the predictions
    (found in one pass)."""
    y = pred = None
    if getattr(estimator, "classes_", None) is None:
        y, pred = _parts.map_reduce(client, _labels_of, [data.y, data.pred], _merge_labels)
    data.classes = base._class_labels(estimator, y, pred)
    data.y = data.y.map_blocks(base._positive, data.classes, "y", dtype=float)
    data.pred = data.pred.map_blocks(base._positive, data.classes, "prediction", dtype=float)


def _weight_check(w):
    r = _kernels.column_ranges(w)
    return {"bad": bool(r["any_nan"] or r["any_inf"] or (r["count"] > 0 and r["min"][0] < 0))}


def _either_bad(a, b):
    return {"bad": a["bad"] or b["bad"]}


def diagnoser_data(zone, x, y, prediction, prediction_proba, sample_weight, feature_names,
                   feature_types, client):
    """The data set of a DaskSagZone fit, checked and coded as BaseDiagnoser.fit checks and codes
    it in memory."""
    table = coded_table(x, feature_names, feature_types, client)
    d = DiagnoserData()
    d.x = x if _parts.is_dask_frame(x) else table.coded
    d.coded = table.coded
    d.row_chunks = table.row_chunks
    d.n_rows = sum(d.row_chunks)
    d.feature_names, d.feature_types = table.feature_names, table.feature_types
    d.category_labels = table.category_labels
    d.y = _vector(y, "y", d.row_chunks)
    if sample_weight is not None:
        d.weights = _vector(sample_weight, "sample_weight", d.row_chunks).astype(float)
        if _parts.map_reduce(client, _weight_check, [d.weights], _either_bad)["bad"]:
            raise MovraError(base.BAD_WEIGHTS)
    if prediction is None:
        d.pred = _predictions(zone, x, table, False)
    else:
        d.pred = _vector(prediction, "prediction", d.row_chunks)
    if zone.task_type == "classification":
        _binary(d, zone.estimator, client)
    if prediction_proba is None and zone.task_type == "classification":
        d.pred_proba = _predictions(zone, x, table, True)
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
