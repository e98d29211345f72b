"""The reports and a notebook fragment opened in headless Chromium, as a reader opens them: no
console error, no request leaving the file, every image decoded, the tables and the names a
reader looks for. Screenshots go to out/ for a look."""

import pathlib

from conftest import open_in_browser
from movra.report import display
from report_data import HOSTILE_LABEL, HOSTILE_NAME, fitted_model, fitted_scan

OUT = pathlib.Path(__file__).resolve().parents[1] / "out"


def assert_clean(facts):
    assert facts["errors"] == [], facts["errors"]
    assert facts["outside"] == [], facts["outside"]
    assert facts["images"] and all(done and width > 0 for done, width in facts["images"])


def test_scan_report_in_a_browser(browser, tmp_path):
    scan = fitted_scan()
    facts = open_in_browser(browser, scan.report(tmp_path / "scan_report.html", top=3),
                            OUT / "scan_report.png")
    assert_clean(facts)
    # The scan, each shown region's marginal, and one shift.
    assert len(facts["images"]) == 1 + min(3, len(scan.results_)) + 1
    ranked = next(t for t in facts["tables"] if "q_value" in t["headers"])
    assert ranked["rows"] == len(scan.results_)
    assert display.region_names(scan.results_.head(1))[0] in facts["text"]
    assert HOSTILE_LABEL in facts["text"] and HOSTILE_NAME in facts["text"]


def test_model_report_in_a_browser(browser, tmp_path):
    model = fitted_model()
    facts = open_in_browser(browser, model.report(tmp_path / "model_report.html", top=2),
                            OUT / "model_report.png")
    assert_clean(facts)
    n_shown = 1 + len(model.effects_["1D"]) + min(2, len(model.effects_["2D"]))
    assert len(facts["images"]) == n_shown
    importance = next(t for t in facts["tables"] if "share" in t["headers"])
    assert importance["rows"] == len(model.fanova_.importances_)
    assert model.fanova_.importances_[0]["name"] in facts["text"]


def test_scan_fragment_in_a_browser(browser, tmp_path):
    scan = fitted_scan()
    path = tmp_path / "fragment.html"
    path.write_text("<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
                    + scan._repr_html_() + "</body></html>", encoding="utf-8")
    facts = open_in_browser(browser, path, OUT / "scan_fragment.png")
    assert_clean(facts)
    assert f"{len(scan.results_)} findings reported" in facts["text"]
