"""SagZone and SagZoneScan on tables as users have them: text class labels, frames with text
columns, slicing features beyond two."""

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal
from sklearn.linear_model import LogisticRegression

from movra.diagnoser.sagzone import SagZone, SagZoneScan
from movra.exceptions import MovraError

METRICS = ["MSE", "MAE", "R2", "ACC", "LogLoss", "Brier", "AUC", "F1"]


@pytest.fixture(scope="module")
def labelled():
    rng = np.random.default_rng(5)
    n = 2400
    x = rng.uniform(0, 1, (n, 3))
    flip = (x[:, 2] < 0.3) & (rng.random(n) < 0.4)
    y = ((x[:, 0] > 0.5) ^ flip).astype(int)
    order = rng.permutation(n)
    return x, y, order[:1600], order[1600:]


@pytest.mark.parametrize("metric", METRICS)
def test_text_labels_score_as_their_zero_one_codes(labelled, metric):
    x, y, train, test = labelled
    names = np.array(["benign", "malignant"], dtype=object)[y]
    outputs = []
    for labels in (y, names):
        zone = SagZone(LogisticRegression().fit(x, labels), ["X2", "X0"], metric=metric,
                       min_samples=30)
        zone.fit(x, labels, train, test)
        outputs.append(zone.output)
        np.testing.assert_array_equal(zone.y, y)
    if outputs[0] is None:
        assert outputs[1] is None
    else:
        assert_frame_equal(outputs[1], outputs[0])


@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_a_third_slicing_feature_is_refused(labelled, method):
    x, y, train, test = labelled
    zone = SagZone(LogisticRegression().fit(x, y), ["X0", "X1", "X2"], method=method)
    with pytest.raises(MovraError, match=r"^Only Support at most two slicing features\.$"):
        zone.fit(x, y, train, test)
    assert zone.diag is None and zone.output is None


def test_a_frame_with_text_is_diagnosed_and_the_scan_reuses_its_coding(labelled):
    x, y, train, test = labelled
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    frame["channel"] = np.array(["web", "kiosk", "phone"])[(x[:, 1] * 3).astype(int)]
    calls = []

    class FrameModel:
        """Scores a frame by its columns (and by its text one), counting its calls."""

        def predict(self, data):
            calls.append(len(data))
            return data["a"].to_numpy() + (data["channel"] == "kiosk").to_numpy()

    scan = SagZoneScan(FrameModel(), task_type="regression", min_samples=30, pairs=False)
    scan.fit(frame, y, train, test)
    assert calls == [len(frame)] and scan.x is frame
    zone = scan.get_sagzone(0)
    assert calls == [len(frame)] and zone.x is frame and zone.coded_x is scan.coded_x
    direct = SagZone(FrameModel(), zone.slice_features, task_type="regression", min_samples=30)
    direct.fit(frame, y, train, test)
    assert_frame_equal(zone.output, direct.output)
    shown = direct.get_shift(show_feature="channel").value["data"]["channel"]
    assert set(shown) <= {"web", "kiosk", "phone"}
