"""Notebook display and reports, as HTML: user text escaped, nothing outside the file, the
tables and sections a reader expects, numbers as the computing side measures them, and a display
that never raises."""

import html.parser

import numpy as np
import pytest
from matplotlib.figure import Figure

from movra import _kernels
from movra.diagnoser.sagzone import SagZone, SagZoneScan
from movra.diagnoser.utils import calculate_distance
from movra.models.xgb2.xgboost import XGB2Regressor
from movra.report import display
from report_data import (HOSTILE_LABEL, HOSTILE_NAME, FirstColumnModel, fitted_model,
                         fitted_scan, hostile_frame)


class Page(html.parser.HTMLParser):
    """What a browser would load and show: tags, attributes pointing elsewhere, text, and each
    table's headers and body rows."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.links, self.text, self.tables = [], [], [], []
        self.part = None  # "thead" or "tbody" while inside one
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.links += [v for k, v in attrs if k in ("src", "href", "srcset", "action") and v]
        if tag == "table":
            self.tables.append({"headers": [], "rows": 0})
        elif tag in ("thead", "tbody"):
            self.part = tag
        elif tag == "th" and self.part == "thead":
            self.tables[-1]["headers"].append("")
        elif tag == "tr" and self.part == "tbody":
            self.tables[-1]["rows"] += 1

    def handle_endtag(self, tag):
        if tag in ("thead", "tbody"):
            self.part = None

    def handle_data(self, data):
        self.text.append(data)
        if self.part == "thead" and self.lasttag == "th":
            self.tables[-1]["headers"][-1] += data


def check_self_contained(text):
    page = Page(text)
    assert "script" not in page.tags and "link" not in page.tags and "iframe" not in page.tags
    assert all(link.startswith("data:") for link in page.links), page.links
    assert "url(" not in text and "@import" not in text
    return page


def test_user_text_is_escaped_everywhere(tmp_path):
    scan, model = fitted_scan(), fitted_model()
    zone = scan.get_sagzone(0)
    pages = [scan._repr_html_(), zone._repr_html_(), model._repr_html_(),
             scan.report(tmp_path / "scan.html") and (tmp_path / "scan.html").read_text(),
             model.report(tmp_path / "model.html") and (tmp_path / "model.html").read_text()]
    shown = []
    for text in pages:
        assert "<script" not in text.lower() and "<b>dose" not in text
        shown.append("".join(check_self_contained(text).text))
    # The scan's regions name both; its top region is the label's; the model has both features.
    for text in shown[:1] + shown[2:]:
        assert HOSTILE_NAME in text
    for text in shown[:2] + shown[3:4]:
        assert HOSTILE_LABEL in text


def test_scan_report_holds_the_ranked_regions_and_each_top_region(tmp_path):
    scan = fitted_scan()
    path = scan.report(tmp_path / "scan.html", top=2)
    page = check_self_contained(path.read_text(encoding="utf-8"))
    ranked = next(t for t in page.tables if "q_value" in t["headers"])
    assert ranked["rows"] == len(scan.results_)
    assert {"rank", "region", "severity", "p_value", "significant"} <= set(ranked["headers"])
    assert page.tags.count("section") >= 2 + 2
    text = "".join(page.text)
    assert display.region_names(scan.results_.head(1))[0] in text
    assert f"{len(scan.y)}" in text  # the data set's size


def test_report_size_does_not_grow_with_the_rows(tmp_path):
    small, large = fitted_scan(3000), fitted_scan(30000)
    sizes = [s.report(tmp_path / f"{i}.html").stat().st_size for i, s in enumerate((small, large))]
    assert sizes[1] < 1.5 * sizes[0]


def test_model_report_holds_every_main_effect_and_the_top_interactions(tmp_path):
    model = fitted_model()
    page = check_self_contained(model.report(tmp_path / "m.html", top=1).read_text())
    n_main = len(model.effects_["1D"])
    assert page.tags.count("img") == 1 + n_main + min(1, len(model.effects_["2D"]))
    importance = next(t for t in page.tables if "share" in t["headers"])
    assert importance["rows"] == len(model.fanova_.importances_)


def test_the_sentence_counts_and_averages_the_weak_test_rows():
    # Searched on the test rows, get_target_idx gives the rows the sentence counts.
    x, y, train, test = hostile_frame()
    weights = np.random.default_rng(3).uniform(0.5, 2.0, len(y))
    errors = np.abs(y - x["age"].to_numpy())[test]
    for w in (None, weights[test]):
        zone = SagZone(FirstColumnModel(), ["channel", HOSTILE_NAME], task_type="regression",
                       metric="MAE", use_test=True)
        zone.fit(x, y, train, test, sample_weight=None if w is None else weights)
        rows = zone.get_target_idx()
        weak = np.average(errors[rows], weights=None if w is None else w[rows])
        overall = np.average(errors, weights=w)
        assert (f"{len(rows)} test rows, test MAE {weak:.3g} against {overall:.3g} overall"
                in zone._repr_html_())


def test_display_never_raises():
    x, y, train, test = hostile_frame(600)
    unfitted = SagZone(FirstColumnModel(), ["age"])
    failed = SagZone(FirstColumnModel(), ["age", "channel", HOSTILE_NAME], task_type="regression")
    with pytest.raises(Exception):
        failed.fit(x, y, train, test)  # three slicing features are refused
    quiet = SagZone(FirstColumnModel(), ["age"], task_type="regression", threshold=50.0)
    quiet.fit(x, y, train, test)
    deep = XGB2Regressor(max_depth=3, n_estimators=5).fit(x[["age"]], y)
    shown = {
        "not fitted": [unfitted, SagZoneScan(FirstColumnModel()), XGB2Regressor()],
        "last fit failed": [failed],
        "No weak region": [quiet],
        "deeper than 2": [deep],
        "not computed yet": [XGB2Regressor(n_estimators=5).fit(x[["age"]], y)],
    }
    for words, objects in shown.items():
        for obj in objects:
            text = obj._repr_html_()
            assert words.lower() in text.lower(), (obj, text[-300:])
            assert len(repr(obj)) < 200 and "\n" not in repr(obj)
    assert repr(quiet).endswith(": 0 weak regions")
    bundle = deep._repr_mimebundle_()
    assert bundle["text/html"] == deep._repr_html_() and bundle["text/plain"] == repr(deep)


def test_a_display_that_cannot_be_built_says_why():
    zone = fitted_scan().get_sagzone(0)
    zone.slice_features = 42  # no list of features
    text = zone._repr_html_()
    assert "could not be built" in text and "Traceback" not in text


def test_results_show_their_figure_or_table():
    zone = fitted_scan().get_sagzone(0)
    for result in (zone.get_marginal(), zone.get_distance(), zone.get_shift("channel"),
                   zone.get_shift(HOSTILE_NAME)):
        assert 'src="data:image/svg+xml;base64,' in result._repr_html_()
    text = zone.get_result()._repr_html_()
    assert "<table>" in text and HOSTILE_LABEL not in text.replace("&lt;", "<").split("<table>")[0]


def test_shift_figure_draws_each_groups_shares():
    zone = fitted_scan().get_sagzone(0)
    for feature in ("channel", HOSTILE_NAME):
        figure = SagZone.plot_shift(zone.get_shift(feature))
        assert isinstance(figure, Figure)
        bars = [p.get_height() for ax in figure.axes for p in ax.patches
                if type(p).__name__ == "Rectangle"]
        if feature == "channel":  # a pair of bars per category: each group's shares sum to 1
            assert np.isclose(sum(bars), 2.0)
    distance = zone.get_distance()
    ax = SagZone.plot_distance(distance).axes[0]
    assert [t.get_text() for t in ax.get_yticklabels()] == distance.value["x"]


def test_weak_sample_psi_matches_calculate_distance():
    rng = np.random.default_rng(1)
    for trial in range(150):
        n = int(rng.integers(1, 200))
        x = rng.normal(size=(n, 4)) * rng.choice([1e-9, 1.0, 1e6])
        x[:, 1] = np.round(x[:, 1])  # values on the buckets' edges
        x[:, 2] = rng.integers(0, 5, n)
        if trial % 3 == 0:
            x[:, 3] = 3.0
        x[rng.uniform(size=x.shape) < rng.uniform(0, 0.3)] = np.nan
        categorical = [False, False, True, False]
        split = rng.permutation(n)[: max(1, n // 2)]
        weak = rng.choice(len(split), size=int(rng.integers(0, len(split) + 1)))
        full = bool(trial % 2)
        got = _kernels.weak_sample_psi(x, split, weak, categorical, full)
        rows = x[split]
        reference = rows if full else np.delete(rows, np.unique(weak), axis=0)
        want = [calculate_distance(reference[:, j], rows[weak, j],
                                   feature_type="categorical" if categorical[j] else "numerical")
                for j in range(4)]
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)


def test_dask_sagzone_display_is_a_string(dask_client):
    from movra.dask import DaskSagZone

    da = pytest.importorskip("dask.array")
    x, y, train, test = hostile_frame(2000)
    age = x[["age"]].to_numpy()
    zone = DaskSagZone(None, ["X0"], task_type="regression", metric="MAE", client=dask_client)
    assert isinstance(zone._repr_html_(), str)
    in_train = np.arange(len(y)) < len(train)
    zone.fit(da.from_array(age, chunks=500), da.from_array(y, chunks=500),
             da.from_array(in_train, chunks=500), da.from_array(~in_train, chunks=500),
             prediction=da.from_array(age[:, 0], chunks=500))
    assert isinstance(zone._repr_html_(), str) and isinstance(repr(zone), str)
