"""The reports a user can send: one self-contained HTML file of a scan (``SagZoneScan.report``)
or of a depth-2 model (``XGB2Base.report``), laid out from what the computing side gathered.

A report holds figures and tables of regions or effects, never the data's rows, so its size
does not grow with the data set."""

import datetime
import os

from . import display, html

# Rows of the scan's ranked table a report lists.
REPORT_ROWS = 100


def _written_by():
    from importlib import metadata

    try:
        version = metadata.version("movra")
    except metadata.PackageNotFoundError:  # run from the source tree
        version = "(source tree)"
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    return html.paragraph(f"Written by movra {version} on {stamp}.", "note")


def _section(title, *parts, level=2):
    return (f"<section><h{level}>{html.escape(title)}</h{level}>" + "".join(parts)
            + "</section>")


def _data_facts(data):
    pairs = [("rows", data["rows"]), ("features", data["features"]),
             ("categorical features", data["categorical"]), ("training rows", data["train"]),
             ("test rows", data["test"]), ("sample weights", data["weighted"]),
             ("task", data["task_type"]), ("model", data["model"])]
    return html.key_values(pairs, "The data set")


def _scan_summary(content, names):
    text = html.escape(display.scan_heading(content))
    results = content["results"]
    if len(results):
        top = results.iloc[0]
        score = content["score_name"]
        text += (f" The most severe: <b>{html.escape(names[0])}</b>, severity "
                 f"{html.escape(html.text_of(top['severity'], 3))}, test {html.escape(score)} "
                 f"{html.escape(html.text_of(top[f'test_{score}'], 3))} against "
                 f"{html.escape(html.text_of(top[f'train_{score}'], 3))} on the training rows "
                 f"(q = {html.escape(html.text_of(top['q_value'], 2))}).")
    return f'<p class="sentence">{text}</p>'


def _region_section(region, name):
    zone = region["zone"]
    parts = [f'<p class="sentence">{display.sagzone_sentence(zone)}</p>']
    if zone.get("table") is not None:
        parts.append(html.table(zone["table"]))
    parts.append(html.figure(region["marginal"], f"marginal figure of {name}"))
    if region.get("distance") is None:
        parts.append(html.paragraph("No weak rows on the searched split: nothing shifts.", "note"))
    else:
        distance = region["distance"].value
        parts.append(_section("Features that shift most in its weak rows",
                              html.paragraph("PSI of each feature between the weak rows and the "
                                             "other rows of the searched split, largest first.",
                                             "note"),
                              html.bars(distance["x"], list(distance["y"]), ["feature", "PSI"]),
                              level=3))
    if region.get("shift_figure") is not None:
        parts.append(html.figure(region["shift_figure"], f"distribution shift in {name}"))
    return _section(f"{region['rank']}. {name}", *parts)


def scan_report_html(content):
    """The scan's report as one HTML document."""
    results = content["results"]
    names = display.region_names(results.head(max(1, len(content["regions"]))))
    score = content["score_name"]
    body = [f"<h1>Weak regions of a {html.escape(content['data']['model'])} model "
            f"({html.escape(score)})</h1>", _written_by(), _scan_summary(content, names),
            _section("Data and settings", _data_facts(content["data"]),
                     html.key_values(content["settings"], "The scan's settings"))]
    ranked = [display.results_table(results, score, REPORT_ROWS)]
    if len(results) > REPORT_ROWS:
        ranked.append(html.paragraph(f"The first {REPORT_ROWS} of {len(results)} findings.",
                                     "note"))
    ranked.append(html.paragraph("Highlighted rows are significant: their q-value is at most "
                                 f"{html.text_of(content['alpha'])}.", "note"))
    ranked.append(html.figure(content["figure"], "the scan's figure"))
    body.append(_section("Ranked findings", *ranked))
    for region, name in zip(content["regions"], names):
        body.append(_region_section(region, name))
    return html.page(f"Weak regions ({score})", "".join(body))


def _effect_sections(title, effects):
    parts = [_section(f"{e['name']} ({100 * e['share']:.1f}% of the variance)",
                      html.figure(e["figure"], f"effect of {e['name']}"), level=3)
             for e in effects]
    return _section(title, *parts) if parts else ""


def model_report_html(content):
    """The depth-2 model's report as one HTML document."""
    importances = content["importances"]
    largest = ", ".join(f"{name} ({100 * share:.1f}%)" for name, share in
                        zip(importances["name"][:3], importances["share"][:3]))
    data = content["data"]
    summary = (f"{len(content['main_effects'])} main effects and {content['n_interactions']} "
               f"interactions of the {content['margin']}, intercept "
               f"{html.text_of(content['intercept'])}; the largest: {largest}.")
    facts = html.key_values([("rows", data["rows"]), ("features", data["features"]),
                             ("categorical features", data["categorical"])], "The training data")
    shown = len(content["interactions"])
    body = [f"<h1>{html.escape(content['class'])}: main effects and interactions</h1>",
            _written_by(), html.paragraph(summary, "sentence"),
            _section("Data and settings", facts,
                     html.key_values(content["params"], "The model's settings")),
            _section("Importance", display.importance_table(importances),
                     html.figure(content["importance_figure"], "importance of the effects")),
            _effect_sections("Main effects", content["main_effects"]),
            _effect_sections(f"Interactions (the {shown} largest of "
                             f"{content['n_interactions']})", content["interactions"])]
    return html.page(f"{content['class']} report", "".join(body))


def _write(path, text):
    with open(os.fspath(path), "w", encoding="utf-8") as f:
        f.write(text)


def write_scan_report(path, content):
    _write(path, scan_report_html(content))


def write_model_report(path, content):
    _write(path, model_report_html(content))
