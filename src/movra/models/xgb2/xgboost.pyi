from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

class XGB2Base(BaseEstimator):
    n_estimators: int
    eta: float
    max_depth: int
    tree_method: str
    max_bin: int
    reg_lambda: float
    reg_alpha: float
    gamma: float
    feature_names: Optional[List[str]]
    feature_types: Optional[List[str]]
    mono_increasing_list: Sequence[str]
    mono_decreasing_list: Sequence[str]
    random_state: int
    # Fitted state.
    n_features_in_: int
    is_fitted_: bool
    feature_names_: List[str]
    feature_types_: List[str]
    xgb_params_: Dict[str, Any]
    estimator_: Any
    X_: np.ndarray
    effects_: Dict[str, List[Dict[str, Any]]]
    intercept_: float
    n_splits_raw_: Dict[str, np.ndarray]
    unp_: Any
    fanova_: Any
    def __init__(
        self,
        n_estimators: int = 100,
        eta: float = 0.3,
        max_depth: int = 2,
        tree_method: str = "auto",
        max_bin: int = 20,
        reg_lambda: float = 1,
        reg_alpha: float = 0,
        gamma: float = 0,
        feature_names: Optional[List[str]] = None,
        feature_types: Optional[List[str]] = None,
        mono_increasing_list: Sequence[str] = (),
        mono_decreasing_list: Sequence[str] = (),
        random_state: int = 0,
    ) -> None: ...
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> "XGB2Base": ...
    def _fit_xgb_raw(self, X: Any, y: Any, sample_weight: Any) -> None: ...
    def parse_model(self) -> Optional[str]: ...
    def partial_dependence(self, fidx: Union[Tuple[int], Tuple[int, int]], X: Any) -> np.ndarray: ...
    def _base_extract_rules(self) -> None: ...

class XGB2Regressor(RegressorMixin, XGB2Base):
    """Depth-2 XGBoostRegressor."""

    def __init__(
        self,
        n_estimators: int = 100,
        eta: float = 0.3,
        max_depth: int = 2,
        tree_method: str = "auto",
        max_bin: int = 256,
        reg_lambda: float = 0,
        reg_alpha: float = 0,
        gamma: float = 0,
        feature_names: Optional[List[str]] = None,
        feature_types: Optional[List[str]] = None,
        mono_increasing_list: Sequence[str] = (),
        mono_decreasing_list: Sequence[str] = (),
        random_state: int = 0,
    ) -> None: ...
    def predict(self, X: Any) -> np.ndarray: ...

class XGB2Classifier(ClassifierMixin, XGB2Base):
    """Depth-2 XGBoostClassifier."""

    label_binarizer_: Any
    def __init__(
        self,
        n_estimators: int = 100,
        eta: float = 0.3,
        max_depth: int = 2,
        tree_method: str = "auto",
        max_bin: int = 256,
        reg_lambda: float = 0,
        reg_alpha: float = 0,
        gamma: float = 0,
        feature_names: Optional[List[str]] = None,
        feature_types: Optional[List[str]] = None,
        mono_increasing_list: Sequence[str] = (),
        mono_decreasing_list: Sequence[str] = (),
        random_state: int = 0,
    ) -> None: ...
    def predict_proba(self, X: Any) -> np.ndarray: ...
    def decision_function(self, X: Any) -> np.ndarray: ...
    def predict(self, X: Any) -> np.ndarray: ...
