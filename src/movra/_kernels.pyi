"""Compiled kernels of movra: reading boosted trees, functional-ANOVA effects, step functions."""

from typing import Any, Dict, Union

import numpy as np

def read_xgboost_trees(model_json: Union[bytes, bytearray, memoryview]) -> Dict[str, np.ndarray]: ...
def fanova_effects(
    trees: Dict[str, np.ndarray],
    base_margin: float,
    X: Any,
    purify: bool = ...,
    true_to_data: bool = ...,
    tolerance: float = ...,
    max_iterations: int = ...,
) -> Dict[str, Any]: ...
def tree_margins(trees: Dict[str, np.ndarray], base_margin: float, X: Any) -> np.ndarray: ...
def evaluate_step_1d(X: Any, split_points: Any, levels: Any, column: int = ...) -> np.ndarray: ...
def evaluate_step_2d(
    X: Any, split_points_a: Any, split_points_b: Any, levels: Any, column_a: int, column_b: int
) -> np.ndarray: ...
