"""Notebook fragments (``_repr_html_``) of the diagnosers, the estimators and their results.

Each function takes what the computing side gathered (settings, tables, counts, averages,
figures) and only lays it out; none raises: a fragment that cannot be built says why."""

import numbers

from . import html
from ..plots.scan import _region_label

# Rows of a results table a fragment shows; the report shows more.
FRAGMENT_ROWS = 20


def unavailable(class_name, reason):
    """The fragment of an object with nothing to show, saying why."""
    return html.fragment(f"<p><b>{html.escape(class_name)}</b>: "
                         f'<span class="unavailable">{html.escape(reason)}</span></p>')


def guarded(class_name, build, *args):
    """build(*args), or a fragment saying why it could not be built: display never raises."""
    try:
        return build(*args)
    except Exception as error:  # noqa: BLE001 - any failure becomes a sentence, not a traceback
        return unavailable(class_name, f"the display could not be built ({type(error).__name__}: "
                                       f"{error}).")


def features_html(features):
    return " × ".join(f"<code>{html.escape(f)}</code>" for f in features)


def sagzone_sentence(content):
    """What a validator would write about a fitted SagZone, as HTML."""
    summary, features = content["summary"], features_html(content["features"])
    score = html.escape(summary["score_name"])
    if not summary["regions"]:
        return (f"No weak region on {features}: no region of at least "
                f"{html.escape(summary['min_samples'])} rows has a {html.escape(summary['split'])} "
                f"{score} worse than {html.escape(html.text_of(summary['threshold_value'], 3))} "
                f"({html.escape(summary['threshold'])} × the average).")
    plural = "s" if summary["regions"] != 1 else ""
    if "rows" not in summary:
        return f"{summary['regions']} weak region{plural} on {features}."
    return (f"{summary['regions']} weak region{plural} on {features}: {summary['rows']} test rows, "
            f"test {score} {html.escape(html.text_of(summary['weak'], 3))} against "
            f"{html.escape(html.text_of(summary['overall'], 3))} overall.")


def _settings_line(settings):
    return html.paragraph(", ".join(f"{k}={html.setting_text(v)}" for k, v in settings), "note")


def sagzone(content):
    """A SagZone: its settings, the sentence, its region table."""
    name = content["class"]
    if content["state"] != "fitted":
        return unavailable(name, content["reason"])
    body = [f"<p><b>{html.escape(name)}</b></p>", _settings_line(content["settings"]),
            f'<p class="sentence">{sagzone_sentence(content)}</p>']
    if content["table"] is not None:
        body.append(html.table(content["table"]))
    return html.fragment("".join(body))


def region_names(results):
    return [_region_label(row) for _, row in results.iterrows()]


def results_table(results, score_name, limit):
    """The scan's ranked regions in words, significant rows marked, the first `limit`."""
    shown = results.head(limit).copy()
    shown.insert(0, "region", region_names(shown))
    shown.insert(0, "rank", range(1, len(shown) + 1))
    columns = ["rank", "region", "#Test", "#Train", f"test_{score_name}",
               f"train_{score_name}", "Gap", "severity", "p_value", "q_value", "significant"]
    columns = [c for c in columns if c in shown.columns]
    marks = ["significant" if s else "" for s in shown["significant"]]
    return html.table(shown, columns, row_classes=marks, digits=3)


def scan_heading(content):
    return (f"{content['n_features']} features and {content['n_pairs']} pairs scanned: "
            f"{content['n_regions']} findings reported (a feature or a pair each), "
            f"{content['n_significant']} significant "
            f"at q ≤ {html.text_of(content['alpha'])}.")


def scan(content):
    """A SagZoneScan: its settings, the ranked regions (significant ones marked), the figure."""
    name = content["class"]
    if content["state"] != "fitted":
        return unavailable(name, content["reason"])
    results = content["results"]
    body = [f"<p><b>{html.escape(name)}</b>: {html.escape(scan_heading(content))}</p>",
            _settings_line(content["settings"])]
    body.append(results_table(results, content["score_name"], FRAGMENT_ROWS))
    if len(results) > FRAGMENT_ROWS:
        body.append(html.paragraph(f"… and {len(results) - FRAGMENT_ROWS} more rows in "
                                   "results_ (highlighted: significant).", "note"))
    if content.get("figure") is not None:
        body.append(html.figure(content["figure"], "the scan's figure"))
    return html.fragment("".join(body))


def importance_table(importances, limit=None):
    """fanova_'s importance table: each effect's variance and share, largest first."""
    shown = importances if limit is None else importances.head(limit)
    shown = shown.assign(share=[f"{100 * s:.1f}%" for s in shown["share"]])
    return html.table(shown, ["effect", "name", "importance", "share"])


def model(content):
    """A depth-2 estimator: its settings and, once decomposed, its importance table."""
    name = content["class"]
    body = [f"<p><b>{html.escape(name)}</b></p>", _settings_line(content["params"])]
    if content["state"] != "parsed":
        body.append(html.paragraph(content["reason"], "note"))
        return html.fragment("".join(body))
    body.append(html.paragraph(
        f"Fitted on {html.text_of(content['rows'])} rows and {content['features']} features; "
        f"{content['n_main']} main effects and {content['n_interactions']} interactions of the "
        f"{content['margin']}, intercept {html.text_of(content['intercept'])}.", "sentence"))
    body.append(importance_table(content["importances"], FRAGMENT_ROWS))
    return html.fragment("".join(body))


def interpreter(class_name, importances, intercept):
    """An interpreter's importance table (FANOVAInterpreter, XGBInterpreter)."""
    body = [f"<p><b>{html.escape(class_name)}</b>: intercept "
            f"{html.escape(html.text_of(intercept))}, {len(importances)} effects</p>",
            importance_table(importances, FRAGMENT_ROWS)]
    return html.fragment("".join(body))


def _scalar_items(value):
    for k, v in value.items():
        if v is None or isinstance(v, (str, numbers.Number)):
            yield k, v
        elif isinstance(v, (list, tuple)) and len(v) <= 10 and all(
                isinstance(e, (str, numbers.Number)) for e in v):
            yield k, ", ".join(html.text_of(e) for e in v)


def _result_figure(result):
    """The figure of a result's view, or None for the views that have none."""
    from ..plots import plot_distance_result, plot_marginal_result, plot_shift_result

    draw = {"sagzone_plot": plot_marginal_result,
            "resilience_shift_histogram": plot_distance_result,
            "sagzone_shift": plot_shift_result}.get(result.key)
    return None if draw is None else draw(result)


def result(result):
    """A TestDataResult: its key, its scalar settings, and its table or figure."""
    value = result.value
    body = [f"<p><b>TestDataResult</b> <code>{html.escape(result.key)}</code></p>"]
    if not isinstance(value, dict):
        body.append(html.paragraph(html.text_of(value)))
        return html.fragment("".join(body))
    body.append(html.key_values(list(_scalar_items(value))))
    figure = _result_figure(result)
    if figure is not None:
        body.append(html.figure(figure, result.key))
    elif hasattr(value.get("data"), "columns"):
        data = value["data"]
        body.append(html.table(data.head(FRAGMENT_ROWS)))
        if len(data) > FRAGMENT_ROWS:
            body.append(html.paragraph(f"… {len(data)} rows in all.", "note"))
    return html.fragment("".join(body))
