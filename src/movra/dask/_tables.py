"""A data set on the cluster as the searches read it: every partition's columns coded by the
in-memory conversion (``movra._kernels.coded_columns``), with each categorical column's categories
known on the client, so that a category has the same code in every partition."""

import numpy as np
import pandas as pd

from movra import _kernels
from movra.diagnoser import base
from movra.exceptions import MovraError

from . import _parts


class CodedTable:
    """The coded matrix of a data set (a float64 dask array, one column per feature, NaN where a
    value is missing), the features' names and types, and the categorical features' labels."""

    coded = feature_names = feature_types = category_labels = None
    frame_names = categories = None
    row_chunks = ()


def _uncategorized(name):
    return MovraError(
        f"column {name!r} is categorical, but its categories are not known on the client: call "
        f"x = x.categorize(columns=[{name!r}]) (or give it a category dtype with known categories)"
        " before fit.")


def _require_known_categories(x, names):
    for column, name, dtype in zip(x.columns, names, x.dtypes):
        if isinstance(dtype, pd.CategoricalDtype) and not x[column].cat.known:
            raise _uncategorized(name)


def _known_categories(x, names, types):
    """Per column: the categories a partition's codes are positions among (a category column's
    own), None where coded_columns finds them alike in every partition (booleans) or where there
    are none (numerical features); and the numeric columns made categorical, whose categories
    only the data tell."""
    categories, from_data = [], []
    for j, (name, dtype, kind) in enumerate(zip(names, x.dtypes, types)):
        categories.append(None)
        if kind == "numerical" or pd.api.types.is_bool_dtype(dtype):
            continue
        if isinstance(dtype, pd.CategoricalDtype):
            categories[j] = dtype.categories
        elif pd.api.types.is_numeric_dtype(dtype):
            from_data.append(j)
        else:
            raise _uncategorized(name)  # text: its labels are in the rows only
    return categories, from_data


# ---- the passes over the partitions (module-level, so that workers unpickle them) ----

def _block_labels(block, columns):
    """The labels of the given columns of one block, as coded_columns finds them."""
    return _kernels.coded_columns(block[:, columns], ["categorical"] * len(columns))[2]


def _merge_labels(a, b):
    # Sorted and distinct, as coded_columns orders the labels of a numeric column.
    return [np.union1d(p, q) for p, q in zip(a, b)]


def _partition_labels(part, column):
    """The labels of one partition's column, as coded_columns finds them."""
    return pd.Series(_kernels.coded_columns(part.iloc[:, [column]], ["categorical"])[2][0])


def _coded_partition(part, feature_types, categories, names):
    coded = _kernels.coded_columns(part, feature_types, categories=categories, names=names)[0]
    return pd.DataFrame(coded, copy=False)


def _coded_block(block, feature_types, categories, names):
    return _kernels.coded_columns(block, feature_types, categories=categories, names=names)[0]


def _labels_from_data(source, columns, client):
    """The categories of numeric columns made categorical: their distinct values, sorted."""
    if not _parts.is_dask_frame(source):
        return _parts.map_reduce(client, _block_labels, [source], _merge_labels, columns)
    # The whole frame to every call (a projection of a categorized frame trips up dask's
    # optimizer).
    found = [source.map_partitions(_partition_labels, j, meta=(None, object)) for j in columns]
    # Each partition's labels only reach the client.
    return [np.unique(labels.to_numpy()) for labels in client.gather(client.compute(found))]


# ---- the table ----

def _matrix_parts(x, feature_names, client):
    """What the coding needs of x: its blocks' source, an empty and a one-row stand-in of its
    columns, its row chunks and column names."""
    if _parts.is_dask_frame(x):
        frame_names = [str(c) for c in x.columns]
        names = base._feature_names(feature_names, frame_names, len(frame_names))
        _require_known_categories(x, names)
        lengths = _parts.partition_lengths(client, x)
        return x, x._meta, x._meta_nonempty, lengths, frame_names, names
    array = _parts.as_row_array(x)
    base.check_matrix_shape(array.shape)
    if array.dtype.kind not in "biuf":
        raise MovraError("x must hold numeric values (a dask DataFrame may hold categories).")
    array = array.rechunk({1: -1})
    names = base._feature_names(feature_names, None, array.shape[1])
    stand_in = np.zeros((1, array.shape[1]), dtype=array.dtype)
    return array, stand_in[:0], stand_in, tuple(array.chunks[0]), None, names


def coded_table(x, feature_names, feature_types, client):
    """x (a dask DataFrame or array) coded as BaseDiagnoser.fit codes a table in memory: the
    features' types from the dtypes unless given, a category column's codes its positions among
    the categories (which must be known on the client: ``categorize()``), a numeric column made
    categorical coded among its distinct values (found in one pass)."""
    source, meta, stand_in, lengths, frame_names, names = _matrix_parts(x, feature_names,
                                                                        client)
    base.check_matrix_shape((sum(lengths), len(names)))
    if feature_types is not None:
        feature_types = base.check_feature_types(feature_types, len(names))
    # The types as the in-memory conversion decides them, on a row like the data's.
    types = list(_kernels.coded_columns(stand_in, feature_types, names=names)[1])
    if _parts.is_dask_frame(source):
        categories, from_data = _known_categories(source, names, types)
    else:
        categories = [None] * len(names)
        from_data = [j for j, kind in enumerate(types) if kind == "categorical"]
    if from_data:
        for j, labels in zip(from_data, _labels_from_data(source, from_data, client)):
            categories[j] = labels
    table = CodedTable()
    _, table.feature_types, labels = _kernels.coded_columns(
        meta, types, categories=categories, names=names)
    table.category_labels = list(labels)
    table.feature_types = list(table.feature_types)
    table.feature_names, table.frame_names = names, frame_names
    table.categories = categories
    table.row_chunks = tuple(int(n) for n in lengths)
    table.coded = _coded_matrix(source, table, names)
    return table


def _coded_matrix(source, table, names):
    """The coded matrix as a lazy dask array: a partition at a time, blockwise for an array (a
    numeric one of numerical features is its own coded matrix)."""
    if _parts.is_dask_frame(source):
        meta = pd.DataFrame({j: pd.Series(dtype=float) for j in range(len(names))})
        return _parts.partitions_array(source, _coded_partition, table.row_chunks, meta,
                                       table.feature_types, table.categories, names)
    if "categorical" not in table.feature_types:
        return source.astype(float)
    return source.map_blocks(_coded_block, table.feature_types, table.categories, names,
                             dtype=float)
