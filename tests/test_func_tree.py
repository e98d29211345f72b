"""Step-function evaluation of effects against a plain numpy formulation."""

import numpy as np
import pandas as pd
import pytest

from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree


def numpy_bins(x, split_points):
    """Bin as XGBoost routes a value: float32(x) >= a split point goes up; NaN is the last bin."""
    x = np.asarray(x, dtype=np.float64)
    v = x.astype(np.float32).astype(np.float64)
    bins = np.searchsorted(split_points, v, side="right")
    return np.where(np.isnan(x), len(split_points) + 1, bins)


def float32_points(rng, k):
    return np.unique(rng.normal(size=k).astype(np.float32)).astype(np.float64)


def tricky_values(rng, split_points, n):
    """Random values, the split points themselves, their float64 neighbours, NaN and infinities."""
    parts = [rng.normal(size=n) * 2, split_points,
             np.nextafter(split_points, -np.inf), np.nextafter(split_points, np.inf),
             [np.nan, np.inf, -np.inf, 0.0]]
    x = np.concatenate([np.asarray(p, dtype=np.float64) for p in parts])
    rng.shuffle(x)
    return x


@pytest.mark.parametrize("seed", range(20))
def test_1d_matches_numpy(seed):
    rng = np.random.default_rng(seed)
    split_points = float32_points(rng, seed * 3)
    levels = rng.normal(size=len(split_points) + 2)
    x = tricky_values(rng, split_points, 200)
    X = np.column_stack([rng.normal(size=len(x)), x, rng.normal(size=len(x))])
    expected = levels[numpy_bins(x, split_points)]
    values = {"split_points": split_points, "levels": levels}
    np.testing.assert_array_equal(predict_1D_func_tree(X, values, (1,)), expected)
    np.testing.assert_array_equal(predict_1D_func_tree(X, values, 1), expected)
    np.testing.assert_array_equal(predict_1D_func_tree(x, values), expected)
    np.testing.assert_array_equal(predict_1D_func_tree(np.asfortranarray(X), values, (1,)),
                                  expected)
    np.testing.assert_array_equal(predict_1D_func_tree(X[::-1], values, (1,)), expected[::-1])
    np.testing.assert_array_equal(predict_1D_func_tree(pd.DataFrame(X), values, (1,)), expected)


@pytest.mark.parametrize("seed", range(20))
def test_2d_matches_numpy(seed):
    rng = np.random.default_rng(100 + seed)
    sa = float32_points(rng, seed)
    sb = float32_points(rng, 20 - seed)
    levels = rng.normal(size=(len(sa) + 2, len(sb) + 2))
    a = tricky_values(rng, sa, 150)
    b = rng.permutation(np.resize(tricky_values(rng, sb, 150), len(a)))
    X = np.column_stack([b, rng.normal(size=len(a)), a]).astype(np.float64)
    expected = levels[numpy_bins(a, sa), numpy_bins(b, sb)]
    values = {"split_points": (sa, sb), "levels": levels}
    np.testing.assert_array_equal(predict_2D_func_tree(X, values, (2, 0)), expected)
    np.testing.assert_array_equal(predict_2D_func_tree(X[:, [2, 0]], values), expected)
    np.testing.assert_array_equal(predict_2D_func_tree(X.astype(np.float32), values, (2, 0)),
                                  expected)


def test_integer_and_float32_inputs_read_like_float64():
    values = {"split_points": np.array([1.0, 3.0]), "levels": np.array([0.0, 1.0, 2.0, -1.0])}
    X = np.array([[0, 1], [2, 3], [4, 5]], dtype=np.int32)
    np.testing.assert_array_equal(predict_1D_func_tree(X, values, (1,)), [1.0, 2.0, 2.0])
    np.testing.assert_array_equal(predict_1D_func_tree(X.astype(np.float32), values, (0,)),
                                  [0.0, 1.0, 2.0])


def test_empty_effect_and_empty_data():
    values = {"split_points": np.array([]), "levels": np.array([5.0, -2.0])}
    np.testing.assert_array_equal(predict_1D_func_tree(np.array([[1.0], [np.nan]]), values),
                                  [5.0, -2.0])
    assert predict_1D_func_tree(np.empty((0, 3)), values, (2,)).shape == (0,)


@pytest.mark.parametrize("call, message", [
    (lambda: predict_1D_func_tree(np.zeros((2, 3)), {"split_points": [0.0], "levels": [1, 2]},
                                  (0,)), "levels"),
    (lambda: predict_1D_func_tree(np.zeros((2, 3)), {"split_points": [1.0, 0.0],
                                                     "levels": [1, 2, 3, 4]}, (0,)),
     "increasing"),
    (lambda: predict_1D_func_tree(np.zeros((2, 3)), {"split_points": [0.0], "levels": [1, 2, 3]},
                                  (3,)), "out of range"),
    (lambda: predict_1D_func_tree(np.zeros((2, 3)), {"split_points": [0.0], "levels": [1, 2, 3]}),
     "fidx"),
    (lambda: predict_1D_func_tree(np.zeros((2, 3)), {"split_points": [0.0], "levels": [1, 2, 3]},
                                  (0, 1)), "fidx"),
    (lambda: predict_2D_func_tree(np.zeros((2, 3)), {"split_points": ([0.0], [0.0]),
                                                     "levels": np.zeros((3, 4))}, (0, 1)),
     "shape"),
    (lambda: predict_2D_func_tree(np.zeros(4), {"split_points": ([], []),
                                                "levels": np.zeros((2, 2))}, (0, 1)),
     "two-dimensional"),
    (lambda: predict_1D_func_tree(np.array([["a"]]), {"split_points": [], "levels": [1, 2]}),
     "numeric"),
])
def test_bad_input_is_a_clear_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


UNCONVERTIBLE = [np.array(["a", "b", "c"]), np.array([object(), None, 1.0], dtype=object),
                 [[1.0, "x"], [2.0, 3.0]], {"not": "an array"}]


def test_kernels_refuse_unconvertible_arrays():
    from movra import _kernels

    X = np.zeros((3, 2))
    one = dict(X=X, split_points=np.array([0.5]), levels=np.arange(3.0), column=0)
    two = dict(X=X, split_points_a=np.array([0.5]), split_points_b=np.array([]),
               levels=np.zeros((3, 2)), column_a=0, column_b=1)
    for kernel, arguments in ((_kernels.evaluate_step_1d, one), (_kernels.evaluate_step_2d, two)):
        kernel(**arguments)  # the valid call works
        for name, value in arguments.items():
            if name.startswith("column"):
                continue
            for bad in UNCONVERTIBLE:
                with pytest.raises((ValueError, TypeError)):
                    kernel(**dict(arguments, **{name: bad}))
