"""Weak segments planted in real tables (a category set, the missing rows of a number, a category
crossed with an interval) are found by SagZone, with the rows it returns agreeing with its
table."""

import numpy as np
import pandas as pd
import pytest

from movra.diagnoser.sagzone import SagZone
from movra.utils import MISSING


def planted_frame(seed, weak, n=6000):
    """A frame whose rows in the segment `weak` are predicted badly."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "channel": rng.choice(["web", "kiosk", "phone", "mail", "shop", "app"], n),
        "tier": pd.Categorical(rng.choice(["gold", "silver", "bronze"], n)),
        "income": rng.normal(50, 10, n),
        "age": rng.uniform(18, 90, n),
    })
    frame.loc[rng.uniform(size=n) < 0.08, "income"] = np.nan
    segments = {
        "channel": frame["channel"].isin(["kiosk", "mail"]).to_numpy(),
        "income": frame["income"].isna().to_numpy(),
        "tier x age": ((frame["tier"] == "gold") & (frame["age"] > 63)).to_numpy(),
    }
    noisy = segments[weak]
    prediction = 0.05 * frame["age"].to_numpy()
    y = prediction + rng.normal(0, 1, n) * np.where(noisy, 3.0, 0.5)
    order = rng.permutation(n)
    return frame, y, prediction, order[: n * 3 // 4], order[n * 3 // 4:], segments


def iou(found, planted):
    return (found & planted).sum() / max((found | planted).sum(), 1)


@pytest.mark.parametrize("method", ["histogram", "tree"])
@pytest.mark.parametrize("features, segment", [(["channel"], "channel"), (["income"], "income"),
                                               (["tier", "age"], "tier x age")])
def test_planted_segments_are_found(features, segment, method):
    found_well = 0
    seeds = range(12)
    for seed in seeds:
        frame, y, prediction, train, test, segments = planted_frame(seed, segment)
        zone = SagZone(None, features, task_type="regression", min_samples=40, method=method)
        zone.fit(frame, y, train, test, prediction=prediction)
        rows = np.zeros(len(train), dtype=bool)
        rows[zone.get_target_idx()] = True
        # The rows returned are the rows the table counts.
        assert rows.sum() == zone.output["#Train"].sum()
        found_well += iou(rows, segments[segment][train]) >= 0.9
    assert found_well >= 0.9 * len(seeds)


def test_the_table_names_sets_and_missing_rows():
    frame, y, prediction, train, test, _ = planted_frame(0, "channel")
    zone = SagZone(None, ["channel"], task_type="regression")
    zone.fit(frame, y, train, test, prediction=prediction)
    assert zone.output["channel"].tolist() == [("kiosk", "mail")]
    frame, y, prediction, train, test, _ = planted_frame(0, "income")
    zone = SagZone(None, ["income"], task_type="regression")
    zone.fit(frame, y, train, test, prediction=prediction)
    assert zone.output["[income"].iloc[0] is MISSING and zone.output["income)"].iloc[0] is MISSING
