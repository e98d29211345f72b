import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from movra.diagnoser.base import BaseDiagnoser
from movra.utils import TestDataResult

class BaseSlicing:
    """Base slice class for analyzing 1D or 2D numerical features."""

    estimator: Any
    slice_features: Optional[List[str]]
    task_type: Optional[str]
    metric: Optional[str]
    min_samples: int
    score_name: str
    score_sign: int
    needs_proba: bool
    is_metric_additive: bool
    threshold: float
    def __init__(
        self,
        estimator: Any = None,
        slice_features: Optional[Sequence[str]] = None,
        task_type: Optional[str] = None,
        threshold: float = 1.2,
        min_samples: int = 30,
        metric: Optional[str] = None,
    ) -> None: ...
    def get_index(
        self, x: Any, lb1: float, ub1: float, lb2: Optional[float] = None,
        ub2: Optional[float] = None, right: bool = False,
    ) -> np.ndarray: ...
    def get_rule_list(
        self, x: Any, y: Any, preds: Any, scores: Any, lb1: float, ub1: float,
        lb2: Optional[float] = None, ub2: Optional[float] = None, right: bool = False,
        sample_weight: Any = None,
    ) -> List[Dict[str, Any]]: ...
    def evaluate_slice(
        self, x: Any, y: Any, preds: Any, scores: Any, lb1: float, ub1: float,
        lb2: Optional[float] = None, ub2: Optional[float] = None, right: bool = False,
        sample_weight: Any = None,
    ) -> List[Dict[str, float]]: ...
    def fit(
        self, train_x: Any, train_y: Any, test_x: Any, test_y: Any, train_pred: Any = None,
        test_pred: Any = None, feature_names: Optional[List[str]] = None, use_test: bool = True,
        train_sample_weight: Any = None, test_sample_weight: Any = None,
        feature_types: Optional[List[str]] = None,
        category_labels: Optional[List[Optional[np.ndarray]]] = None,
    ) -> Optional[pd.DataFrame]:
        """Search weak regions and measure them on both splits.

        A region's record ("weak_region", "weak_region_stats") holds "lb1", "ub1" (and "lb2",
        "ub2"); where its condition on a feature is not an interval those are NaN and
        "codes1" (or "codes2") holds the tuple of category codes, -1 for missing (the missing
        rows of a numerical feature are ``(-1,)``). Rules ("splits" -> "f0"/"f1") likewise
        carry "codes" in the bounds of such a condition.
        """

class HistogramSlicing(BaseSlicing):
    bins: int
    def __init__(
        self,
        estimator: Any = None,
        slice_features: Optional[Sequence[str]] = None,
        task_type: Optional[str] = None,
        threshold: float = 1.2,
        min_samples: int = 30,
        bins: int = 10,
        metric: Optional[str] = None,
    ) -> None: ...
    def _fit(self, x: Any, y: Any, preds: Any, scores: Any, sample_weight: Any) -> None: ...
    def _fit1d(
        self, x: Any, y: Any, preds: Any, scores: Any, lb1: Optional[float] = None,
        ub1: Optional[float] = None, lb2: Optional[float] = None, ub2: Optional[float] = None,
        sample_weight: Any = None,
    ) -> tuple: ...
    def _fit2d(self, x: Any, y: Any, preds: Any, scores: Any, sample_weight: Any) -> tuple: ...

class TreeSlicing(BaseSlicing):
    """Tree based slicing for analyzing 1D or 2D features."""

    max_depth: int
    tree_estimator: Any
    def __init__(
        self,
        estimator: Any = None,
        slice_features: Optional[Sequence[str]] = None,
        task_type: Optional[str] = None,
        threshold: float = 1.2,
        max_depth: int = 2,
        min_samples: int = 30,
        metric: Optional[str] = None,
    ) -> None: ...
    def _dfs(self, tree: Any, curr_node_idx: int, rule: Dict[str, Dict[str, float]]) -> Iterator[Dict[str, Any]]: ...
    def _fit(self, x: Any, y: Any, preds: Any, scores: Any, sample_weight: Any = None) -> None: ...

class SagZone(BaseDiagnoser):
    """Sagzone Test

    The data set as ``fit`` keeps it: ``x`` as given (a DataFrame stays one; the model is
    called on it); ``coded_x`` what the searches and views read, one float64 column per feature
    (a numerical feature's values, a categorical feature's category codes; NaN where missing;
    ``x`` itself for a numeric array); ``feature_types`` ("numerical" or "categorical" per
    feature); ``category_labels`` (per feature: None, or a categorical feature's labels, label
    k naming code k); ``classes`` (classification: the model's two classes, the second one
    positive; ``y`` and ``pred`` then hold 1.0 for it and 0.0 for the other).

    ``output`` names a categorical slicing feature's region by a column of label tuples, and a
    region of missing values by ``movra.utils.MISSING``.
    """

    x: Any
    coded_x: np.ndarray
    y: np.ndarray
    pred: np.ndarray
    pred_proba: Optional[np.ndarray]
    train_idx: np.ndarray
    test_idx: np.ndarray
    sample_weight: Optional[np.ndarray]
    classes: Optional[np.ndarray]
    feature_names: List[str]
    feature_types: List[str]
    category_labels: List[Optional[np.ndarray]]
    diag: Optional[BaseSlicing]
    output: Optional[pd.DataFrame]
    def __init__(
        self,
        estimator: Any,
        slice_features: Sequence[str],
        task_type: Optional[str] = None,
        threshold: float = 1.2,
        method: str = "histogram",
        bins: int = 10,
        max_depth: int = 2,
        min_samples: int = 20,
        metric: Optional[str] = None,
        use_test: bool = False,
        random_state: int = 0,
    ) -> None: ...
    def fit(
        self, x: Any, y: Any, train_idx: Any, test_idx: Any, prediction: Any = None,
        prediction_proba: Any = None, sample_weight: Any = None,
        feature_names: Optional[List[str]] = None, feature_types: Optional[List[str]] = None,
        target_name: Optional[str] = None, predict_name: Optional[str] = None,
    ) -> None: ...
    def get_target_idx(self) -> np.ndarray: ...
    def get_result(self) -> TestDataResult: ...
    def get_distance(
        self, psi_buckets: str = "uniform", distance_metric: str = "PSI",
        compare_to: str = "remaining",
    ) -> TestDataResult:
        """Each feature's distance between the weak rows and the reference rows.

        A categorical feature's PSI has a bucket per category (missing one of them); WD1 and
        KS are NaN for it (its categories have no order). A numerical feature's missing values
        are one more PSI bucket; WD1 and KS compare the values that are there.
        """
    def get_shift(self, show_feature: Optional[str] = None, compare_to: str = "remaining") -> TestDataResult:
        """The reference rows then the weak rows; a categorical feature shows its labels."""
    def get_marginal(self) -> TestDataResult:
        """The slicer's state for ``plot_marginal``: the settings, "weak_region_stats", "fidx",
        "rule_list", "x", "y", "threshold_value", "score_name", "_sign", "scores", "use_test",
        "is_metric_additive", "feature_names", "bins1d", "bin_stats", and "category_labels"
        (per feature, as ``category_labels``)."""
    @staticmethod
    def plot_marginal(
        result: TestDataResult, figsize: Optional[Tuple[float, float]] = None,
        max_ticks: int = 11, cmap: Any = None,
    ) -> Figure: ...
    @staticmethod
    def plot_distance(
        result: TestDataResult, figsize: Optional[Tuple[float, float]] = None
    ) -> Figure:
        """``get_distance``'s features as bars, largest distance on top."""
    @staticmethod
    def plot_shift(
        result: TestDataResult, figsize: Optional[Tuple[float, float]] = None, bins: int = 20
    ) -> Figure:
        """``get_shift``'s feature among the reference rows and the weak rows, each as shares of
        its own rows: histograms on shared bins beside a slot for missing values, or a pair of
        bars per category (missing one more)."""
    def _repr_html_(self) -> str:
        """The notebook's view: the settings, the sentence of the weak regions ("3 weak regions
        on a × b: 812 test rows, test MAE 1.9 against 1.1 overall") and the region table; before
        fit or after a failed one, a sentence saying so. Never raises."""

class SagZoneScan(BaseDiagnoser):
    """Scan every feature and every pair for weak regions.

    SagZone's search runs on every scanned feature and pair; each weak region is ranked by its
    severity (its share of the held-out split's error beyond the average) and tested on the
    rows the search did not use, with Benjamini-Hochberg q-values over every region found.
    """

    results_: pd.DataFrame
    """One row per finding (a feature, or a pair that adds an interaction to its two features),
    most severe first: its most severe region's "feature_1", "lb_1", "ub_1", "set_1",
    "feature_2", "lb_2", "ub_2", "set_2", the counts, the metric, "Gap", "severity", "p_value",
    "q_value", "significant"; then "n_regions", "finding_severity" (the sum of its regions'
    severities) and "interaction_p" (a pair's interaction test; NaN for a feature). "set_1"/"set_2"
    hold a tuple of labels (``movra.utils.MISSING`` for missing values) where the condition is a
    set, with NaN bounds; None for an interval."""
    regions_: pd.DataFrame
    """Every region found, most severe first, with "reported" and "finding" (the row of
    ``results_`` of a reported region's finding, -1 for none)."""
    scanned_features_: List[str]
    scanned_pairs_: List[Tuple[str, str]]
    severity_matrix_: pd.DataFrame
    significant_matrix_: pd.DataFrame
    x: Any
    coded_x: np.ndarray
    classes: Optional[np.ndarray]
    feature_names: List[str]
    feature_types: List[str]
    category_labels: List[Optional[np.ndarray]]
    def __init__(
        self,
        estimator: Any,
        task_type: Optional[str] = None,
        threshold: float = 1.2,
        method: str = "histogram",
        bins: int = 10,
        max_depth: int = 2,
        min_samples: int = 20,
        metric: Optional[str] = None,
        use_test: bool = False,
        random_state: int = 0,
        features: Optional[Sequence[str]] = None,
        pairs: Any = "auto",
        alpha: float = 0.05,
    ) -> None: ...
    def fit(
        self, x: Any, y: Any, train_idx: Any, test_idx: Any, prediction: Any = None,
        prediction_proba: Any = None, sample_weight: Any = None,
        feature_names: Optional[List[str]] = None, feature_types: Optional[List[str]] = None,
    ) -> "SagZoneScan":
        """Scan every feature and pair for weak regions."""
    def get_sagzone(self, i: int) -> SagZone:
        """The SagZone of row i's feature(s), fitted with the scan's settings and data."""
    def plot(self, top: int = 10, figsize: Optional[Tuple[float, float]] = None) -> Figure:
        """The worst severity of every feature and pair, beside bars of the top findings, each
        split into its regions (named by their intervals, sets of labels or missing values)."""
    def _repr_html_(self) -> str:
        """The notebook's view: the settings, the ranked regions (significant ones marked) and
        the scan's figure; before fit, a sentence saying so. Never raises."""
    def report(self, path: Union[str, "os.PathLike[str]"], top: int = 5) -> Any:
        """Write the scan as one self-contained HTML file and return ``path``.

        Figures are embedded as SVG data and the styles are inline; the file runs no script and
        loads nothing over the network. It holds the data set's size and the settings, the
        ranked regions with p- and q-values, the scan's figure, and for each of the ``top``
        first regions its SagZone's table and marginal figure and the features that shift most
        in its weak rows (PSI); figures and tables, never rows. Names and labels are escaped.
        """
