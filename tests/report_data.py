"""Fitted objects for the tests of our HTML: data whose feature names and category labels look
like markup (user data a page must show as text), a planted weak segment of each kind."""

import functools

import numpy as np
import pandas as pd

# A feature name and a category label a page would run or parse if they were not escaped.
HOSTILE_NAME = "<b>dose</b>"
HOSTILE_LABEL = "<script>alert('x')</script>"


class FirstColumnModel:
    """Predicts the first column: the noise planted in y is the model's error."""

    def predict(self, x):
        return np.nan_to_num(np.asarray(x["age"], dtype=float))


def hostile_frame(n=4000, seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "age": rng.uniform(size=n),
        HOSTILE_NAME: np.where(rng.uniform(size=n) < 0.1, np.nan, rng.uniform(size=n)),
        "channel": rng.choice(["web", "phone", HOSTILE_LABEL], n),
    })
    noise = np.where(frame["channel"] == HOSTILE_LABEL, 1.0, 0.1)
    noise = np.where(frame[HOSTILE_NAME] > 0.8, 0.6, noise)
    y = frame["age"].to_numpy() + rng.normal(size=n) * noise
    split = int(0.7 * n)
    return frame, y, np.arange(split), np.arange(split, n)


@functools.lru_cache(maxsize=None)
def fitted_scan(n=4000):
    from movra.diagnoser.sagzone import SagZoneScan

    x, y, train, test = hostile_frame(n)
    return SagZoneScan(FirstColumnModel(), task_type="regression", metric="MAE").fit(
        x, y, train, test)


@functools.lru_cache(maxsize=None)
def fitted_model():
    from movra.models.xgb2.xgboost import XGB2Regressor

    x, y, _, _ = hostile_frame(1500)
    model = XGB2Regressor(n_estimators=60, eta=0.2).fit(x, y)
    model.parse_model()
    return model
