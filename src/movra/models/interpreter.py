"""Functional-ANOVA view of a model's effects."""

import numpy as np

from movra.models.utils import predict_1D_func_tree, predict_2D_func_tree


class FANOVAInterpreter:
    """Importance of each effect of a functional-ANOVA decomposition.

    The importance of an effect is its variance over the data rows; its share is that variance
    over the sum of all effects' variances. Effects are listed most important first.

    Parameters
    ----------
    effects : dict
        {"1D": [...], "2D": [...]}; items carry "fidx", "name", "values" and, optionally, an
        "importance" already measured on the same data (then it is used as given).
    intercept : float

    Attributes
    ----------
    importances_ : list of dict
        One per effect, most important first (ties keep the effects' order): "effect" ("1D"
        or "2D"), "fidx", "name", "importance", "share".
    """

    def __init__(self, effects, intercept):
        self.effects = effects
        self.intercept = intercept

    def _items(self):
        for kind in ("1D", "2D"):
            for item in self.effects.get(kind, []):
                yield kind, item

    @staticmethod
    def _evaluate(kind, item, X):
        predict = predict_1D_func_tree if kind == "1D" else predict_2D_func_tree
        return predict(X, item["values"], item["fidx"])

    def fit(self, X=None):
        """Measure the importances over the rows of X (the training data). X may be None when
        every effect carries its importance already (measured where the rows live)."""
        if X is None:
            if any(item.get("importance") is None for _, item in self._items()):
                raise ValueError("X is needed: an effect has no importance yet")
        else:
            X = np.asarray(X, dtype=np.float64)
            if X.ndim != 2 or X.shape[0] == 0:
                raise ValueError("X must be a non-empty two-dimensional array")
        rows = []
        for kind, item in self._items():
            importance = item.get("importance")
            if importance is None:
                importance = float(np.var(self._evaluate(kind, item, X)))
            rows.append({"effect": kind, "fidx": tuple(item["fidx"]), "name": item["name"],
                         "importance": float(importance)})
        total = sum(r["importance"] for r in rows)
        for r in rows:
            r["share"] = r["importance"] / total if total > 0 else 0.0
        # sorted() is stable: equal importances keep the effects' order.
        self.importances_ = sorted(rows, key=lambda r: -r["importance"])
        return self

    def importance_table(self):
        """importances_ as a pandas DataFrame."""
        import pandas as pd

        return pd.DataFrame(self.importances_,
                            columns=["effect", "fidx", "name", "importance", "share"])

    def _repr_html_(self):
        """The notebook's view: the importance table (before fit, a sentence saying so)."""
        from movra.report import display

        name = type(self).__name__
        if not hasattr(self, "importances_"):
            return display.unavailable(name, "not fitted yet: call fit().")
        return display.guarded(name, display.interpreter, name, self.importance_table(),
                               self.intercept)

    def predict(self, X):
        """Intercept plus every effect at the rows of X: the model's raw output."""
        X = np.asarray(X, dtype=np.float64)
        if X.ndim != 2:
            raise ValueError("X must be two-dimensional")
        out = np.full(X.shape[0], float(self.intercept))
        for kind, item in self._items():
            out += self._evaluate(kind, item, X)
        return out
