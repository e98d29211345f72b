from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import os

import numpy as np
from matplotlib.figure import Figure
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
    # fit's steps (_validate_input is the subclasses'); a cluster estimator overrides
    # _validate_input, _fit_xgb_raw and _fit_interpreter, and calls the others.
    def _check_training_rows(
        self,
        n_rows: int,
        weight_shape: Optional[Tuple[int, ...]] = None,
        non_finite: bool = False,
        n_positive: int = 0,
        positive_sum: float = 0.0,
    ) -> int: ...
    def _xgb_model_params(self) -> Dict[str, Any]: ...
    def _fit_xgb_raw(self, X: Any, y: Any, sample_weight: Any) -> None: ...
    def _check_prediction_input(self, X: Any) -> None: ...
    def _settle_features(self) -> None: ...
    def _check_columns(self, X: Any) -> None: ...
    @staticmethod
    def _column_types(X: Any) -> Optional[List[str]]: ...
    def _encode_features(self, X: Any, reset: bool = False) -> Any: ...
    def _feature_types_for(
        self, n_features: int, column_types: Optional[List[str]] = None
    ) -> List[str]: ...
    def parse_model(self) -> Optional[str]: ...
    def _new_interpreter(self) -> Any: ...
    def _fit_interpreter(self, unp: Any) -> None: ...
    def _keep_effects(self, unp: Any) -> None: ...
    def _effect_item(self, fidx: Sequence[int]) -> Dict[str, Any]: ...
    def partial_dependence(self, fidx: Union[Tuple[int], Tuple[int, int]], X: Any) -> np.ndarray: ...
    def _base_extract_rules(self) -> None: ...
    def plot_importance(
        self, top: int = 15, figsize: Optional[Tuple[float, float]] = None
    ) -> Figure:
        """Draw the importance of the effects.

        Horizontal bars of each effect's share of the model's variance over the training data,
        in %, as ``fanova_`` measures it (``fanova_.importance_table()``), largest on top. Main
        effects are labelled by their feature, interactions "a × b"; the intercept is stated
        above the bars. ``parse_model`` runs first when it has not run on this fit.

        Parameters
        ----------
        top : int, default=15
            The number of effects drawn; the others are summed up in a note.
        figsize : tuple of float, optional
            Figure size in inches.

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        NotFittedError
            Before fit.
        ValueError
            When ``top`` is below 1, or the model is too deep to be decomposed.
        """
    def plot_effect(
        self,
        effect: Union[str, int, Sequence[Union[str, int]]],
        figsize: Optional[Tuple[float, float]] = None,
    ) -> Figure:
        """Draw one effect.

        A main effect is its exact step function over the split points, in the units of the
        model's margin (the log-odds for the classifier), above a histogram of the feature's
        training values. When the training data had missing values of the feature, the level
        the model gives them is a marker beside the axis, and a monotone constraint on the
        feature is noted. An interaction is a heat map of its purified levels on its split grid,
        coloured on a scale centred at 0 (cells with the 1% most extreme training values take
        the end colours), with the features' histograms at the margins; cells where the two
        features rarely meet in the training data (under 10% of the rows their histograms
        imply) are hatched. ``parse_model`` runs first when it has not run on this fit.

        Parameters
        ----------
        effect : str, int, or a pair of them
            A feature's name (from ``feature_names_``) or position for a main effect; two of
            them for an interaction, the first drawn along the x axis.
        figsize : tuple of float, optional
            Figure size in inches.

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        NotFittedError
            Before fit.
        ValueError
            For an unknown feature or an effect the model does not have (the message names
            it), or a model too deep to be decomposed.
        TypeError
            When ``effect`` is neither a name, a position nor a pair of them.
        """
    def plot_effects(
        self, top: int = 6, figsize: Optional[Tuple[float, float]] = None
    ) -> Figure:
        """Draw the most important effects in one figure.

        Each panel is drawn as by ``plot_effect`` (interactions without their marginal
        histograms), titled with the effect's share of the model's variance; most important
        first, row by row. ``parse_model`` runs first when it has not run on this fit.

        Parameters
        ----------
        top : int, default=6
            The number of effects drawn.
        figsize : tuple of float, optional
            Figure size in inches.

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        NotFittedError
            Before fit.
        ValueError
            When ``top`` is below 1, or the model is too deep to be decomposed.
        """

    def _repr_html_(self) -> str:
        """The notebook's view: the settings and, once ``parse_model`` has run on this fit, the
        importance table; before fit or before ``parse_model``, a sentence saying so. Never
        raises."""
    def _repr_mimebundle_(
        self, include: Any = None, exclude: Any = None
    ) -> Dict[str, str]:
        """"text/plain" (the repr) and "text/html" (``_repr_html_``), in place of scikit-learn's
        diagram of the estimator."""
    def report(self, path: Union[str, "os.PathLike[str]"], top: int = 5) -> Any:
        """Write the model as one self-contained HTML file and return ``path``.

        Figures are embedded as SVG data and the styles are inline; the file runs no script and
        loads nothing over the network. It holds the settings and the training data's size,
        the importance table and figure, every main effect and the ``top`` largest
        interactions. ``parse_model`` runs first when it has not run on this fit. Names and
        labels are escaped.
        """

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
    def _validate_input(self, x: Any, y: Any, sample_weight: Any) -> Tuple[Any, Any, Any]: ...
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
    def _validate_input(self, x: Any, y: Any, sample_weight: Any) -> Tuple[Any, Any, Any]: ...
    def _fit_labels(self, y: Any) -> None: ...
    @staticmethod
    def _log_odds(proba: Any) -> np.ndarray: ...
    @staticmethod
    def _labels_of(proba: Any, label_binarizer: Any) -> np.ndarray: ...
    def predict_proba(self, X: Any) -> np.ndarray: ...
    def decision_function(self, X: Any) -> np.ndarray: ...
    def predict(self, X: Any) -> np.ndarray: ...
