"""A table's columns as the coded matrix the searches read (movra._kernels.coded_columns), checked
against pandas' own answer on random frames of every column kind."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest

from movra._kernels import coded_columns
from movra.exceptions import MovraError
from movra.utils import MISSING

try:
    import pyarrow  # noqa: F401

    TEXT_DTYPES = [object, "string[python]", "string[pyarrow]"]
    BOOL_DTYPES = [bool, "boolean", "bool[pyarrow]"]
except ImportError:
    TEXT_DTYPES = [object, "string[python]"]
    BOOL_DTYPES = [bool, "boolean"]
MISSING_VALUES = [None, np.nan, pd.NA, pd.NaT]


def _holes(rng, values, share=0.2):
    values = np.array(values, dtype=object)
    holes = rng.random(len(values)) < share
    values[holes] = [MISSING_VALUES[i] for i in rng.integers(0, 4, int(holes.sum()))]
    return values


def _random_frame(rng, n):
    """Every kind of column, missing values where its dtype has them."""
    words = np.array(["kiosk", "phone", "web", "mail", "Ärzte", "b", "a"])[:rng.integers(2, 8)]
    numbers = rng.normal(size=n)
    numbers[rng.random(n) < 0.1] = np.nan
    text = rng.choice(words, n)
    cats = list(rng.permutation(words)) + ["unused"]
    frame = {
        "float": numbers,
        "int": rng.integers(-3, 4, n),
        "Int64": pd.array(np.where(rng.random(n) < 0.1, None, rng.integers(0, 9, n)).tolist(),
                          dtype="Int64"),
        "Float64": pd.array(np.where(rng.random(n) < 0.1, None, numbers), dtype="Float64"),
        "category": pd.Categorical(np.where(rng.random(n) < 0.1, None, text), categories=cats),
        "objects": _holes(rng, text),
    }
    for i, dtype in enumerate(TEXT_DTYPES[1:]):
        frame[f"text{i}"] = pd.array(np.where(rng.random(n) < 0.1, None, text), dtype=dtype)
    for i, dtype in enumerate(BOOL_DTYPES):
        flags = rng.random(n) < 0.4
        frame[f"bool{i}"] = flags if dtype is bool else pd.array(
            np.where(rng.random(n) < 0.1, None, flags).tolist(), dtype=dtype)
    return pd.DataFrame(frame).iloc[:, rng.permutation(len(frame))]


def _expected_labels(column):
    if isinstance(column.dtype, pd.CategoricalDtype):
        return list(column.cat.categories)
    if pd.api.types.is_bool_dtype(column.dtype):
        return [False, True]
    return sorted(set(column.dropna()))


def _check_column(coded, kind, labels, column):
    missing = column.isna().to_numpy()
    np.testing.assert_array_equal(np.isnan(coded), missing)
    if kind == "numerical":
        assert labels is None
        np.testing.assert_array_equal(coded[~missing],
                                      column[~missing].to_numpy(dtype=float))
        return
    assert list(labels) == _expected_labels(column)
    codes = coded[~missing].astype(int)
    assert (codes == coded[~missing]).all()
    assert list(np.asarray(labels, dtype=object)[codes]) == list(column[~missing])


@pytest.mark.parametrize("seed", range(12))
def test_codes_and_labels_agree_with_pandas(seed):
    rng = np.random.default_rng(seed)
    frame = _random_frame(rng, int(rng.integers(1, 300)))
    numeric = [c for c in frame if c in ("float", "int", "Int64", "Float64")]
    coded, kinds, labels = coded_columns(frame)
    assert coded.flags.c_contiguous and coded.dtype == np.float64
    assert coded.shape == frame.shape
    assert kinds == ["numerical" if c in numeric else "categorical" for c in frame]
    for j, name in enumerate(frame):
        _check_column(coded[:, j], kinds[j], labels[j], frame[name])

    # Numbers as categories: their sorted distinct values.
    coded, kinds, labels = coded_columns(frame[numeric], ["categorical"] * len(numeric))
    for j, name in enumerate(numeric):
        _check_column(coded[:, j], "categorical", labels[j], frame[name])

    # Codes do not depend on the order of the rows.
    order = rng.permutation(len(frame))
    shuffled, _, shuffled_labels = coded_columns(frame.iloc[order])
    np.testing.assert_array_equal(shuffled, coded_columns(frame)[0][order])
    for a, b in zip(shuffled_labels, coded_columns(frame)[2]):
        assert (a is None and b is None) or list(a) == list(b)


@pytest.mark.parametrize("seed", range(4))
def test_known_categories_give_the_same_codes_in_every_part(seed):
    rng = np.random.default_rng(seed)
    frame = _random_frame(rng, 200)
    _, kinds, labels = coded_columns(frame)
    known = [None if k == "numerical" else list(rng.permutation(np.asarray(l, dtype=object)))
             + ["never seen"] for k, l in zip(kinds, labels)]
    for part in (frame.iloc[:70], frame.iloc[70:]):
        coded, part_kinds, part_labels = coded_columns(part, kinds, known)
        assert part_kinds == kinds
        for j, name in enumerate(frame):
            if known[j] is None:
                continue
            assert list(part_labels[j]) == known[j]
            column = part[name]
            missing = column.isna().to_numpy()
            got = np.asarray(known[j], dtype=object)[coded[~missing, j].astype(int)]
            assert list(got) == list(column[~missing])


def test_a_numeric_array_is_its_own_coded_matrix():
    x = np.arange(12.0).reshape(4, 3)
    coded, kinds, labels = coded_columns(x)
    assert coded is x and kinds == ["numerical"] * 3 and labels == [None] * 3
    coded, kinds, labels = coded_columns(x, ["numerical", "categorical", "numerical"])
    assert coded is not x and list(coded[:, 1]) == [0, 1, 2, 3] and list(labels[1]) == [1, 4, 7, 10]
    text = np.array([["b", 1.5], ["a", None]], dtype=object)
    coded, kinds, labels = coded_columns(text)
    assert kinds == ["categorical", "numerical"] and list(labels[0]) == ["a", "b"]
    np.testing.assert_array_equal(coded, [[1, 1.5], [0, np.nan]])


@pytest.mark.parametrize("column, kwargs, message", [
    (pd.to_datetime(["2020-01-01", "2021-01-01"]), {}, "column 'c' of dtype datetime64"),
    (pd.to_timedelta([1, 2], unit="s"), {}, "column 'c' of dtype timedelta64"),
    (np.array([1, "a"], dtype=object), {}, "column 'c' holds values of mixed"),
    (pd.Series([[1], [2]]), {}, "column 'c' holds values of mixed"),
    (pd.Series([{"a": 1}, None]), {}, "column 'c' holds values of mixed"),
    (np.array(["a", "b"], dtype=object), {"feature_types": ["numerical"]},
     "column 'c' holds text; it cannot be a numerical feature"),
    (pd.Categorical(["a", "b"]), {"feature_types": ["numerical"]},
     "column 'c' holds categories that are not numbers"),
    (np.array(["a", "b"], dtype=object), {"categories": [["a"]]},
     "column 'c' holds the label 'b', which is not among its known categories"),
    ([1.0, 2.0], {"feature_types": ["nominal"]}, r"feature_types\[0\] is 'nominal'"),
    ([1.0, 2.0], {"feature_types": ["numerical"] * 2}, "feature_types has 2 types for 1"),
])
def test_columns_that_cannot_be_sliced_are_named(column, kwargs, message):
    with pytest.raises(MovraError, match=message):
        coded_columns(pd.DataFrame({"c": column}), **kwargs)


def test_missing_is_one_object_everywhere():
    assert repr(MISSING) == "<missing>" and type(MISSING)() is MISSING
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(MISSING, protocol)) is MISSING
    assert copy.copy(MISSING) is MISSING and copy.deepcopy([MISSING])[0] is MISSING
