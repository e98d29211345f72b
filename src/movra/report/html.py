"""The pieces of our HTML: escaped text, numbers as a reader wants them, tables, figures
embedded as SVG data, and a page with its styles inline (no script, no request leaves it)."""

import base64
import html
import io
import math
import numbers

import numpy as np

from ..utils import MISSING

# Styles for the screen and for print: no fixed heights, figures scale to the page, tables
# break between rows, sections start on a new page only when they would not fit.
# Scoped to .movra: a notebook fragment must not restyle the notebook around it.
STYLE = """
.movra table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.85em; }
.movra th, .movra td { border-bottom: 1px solid #ddd; padding: 0.2em 0.6em; text-align: right; }
.movra th { background: #f3f3f3; }
.movra td.text, .movra th.text { text-align: left; }
.movra tr.significant td { background: #fbe3df; }
.movra tr.significant td:first-child { border-left: 3px solid #d6604d; }
.movra .note { color: #555; font-size: 0.9em; }
.movra .sentence { font-size: 1.05em; margin: 0.4em 0; }
.movra .unavailable { color: #7f1d1d; }
.movra img.figure { max-width: 100%; height: auto; display: block; margin: 0.5em 0; }
.movra .settings td, .movra .settings th { text-align: left; }
.movra td.bar { width: 16em; } .movra td.bar div { background: #6a9fcb; height: 0.8em; }
@media print {
  .movra section { break-inside: avoid-page; }
  .movra tr, .movra img.figure { break-inside: avoid; }
  .movra h2 { break-after: avoid; }
}
"""

# The page's own: a report is a document of its own.
PAGE_STYLE = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; color: #222;
       max-width: 1100px; margin: 1.5em auto; padding: 0 1em; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; } h2 { font-size: 1.3em; margin-top: 1.6em; }
h3 { font-size: 1.1em; margin-top: 1.2em; }
@media print { body { max-width: none; margin: 0; font-size: 10pt; } }
"""


def escape(value):
    """Text of any value, safe inside HTML text and attributes (user data: names, labels)."""
    return html.escape(str(value), quote=True)


def _is_missing_number(value):
    return isinstance(value, float) and math.isnan(value)


def text_of(value, digits=4):
    """A value as the tables show it: numbers to `digits` significant digits, a set of labels
    in braces, the missing rows as "missing", NaN and None as a dash."""
    if value is None or value is MISSING:
        return "missing" if value is MISSING else "–"
    if isinstance(value, (bool, np.bool_)):
        return "yes" if value else "no"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        value = float(value)
        if math.isnan(value):
            return "–"
        return f"{value:.{digits}g}"
    if isinstance(value, tuple):
        return "{" + ", ".join(text_of(v, digits) for v in value) + "}"
    return str(value)


def setting_text(value):
    """A setting as the user would write it: numbers and text as the tables show them,
    anything else (None, a tuple of names) as Python writes it."""
    if isinstance(value, (str, numbers.Number)):
        return text_of(value)
    return repr(value)


def _is_text(value):
    return not isinstance(value, numbers.Number) or isinstance(value, (bool, np.bool_))


def table(frame, columns=None, headers=None, row_classes=None, digits=4, caption=None):
    """A DataFrame (or its `columns`) as an HTML table; every header and cell escaped.

    `headers` renames columns for the reader; `row_classes` gives each row a CSS class (say
    "significant"); numbers are right-aligned, text left-aligned."""
    columns = list(frame.columns if columns is None else columns)
    headers = dict(headers or {})
    out = ['<table>']
    if caption:
        out.append(f"<caption>{escape(caption)}</caption>")
    out.append("<thead><tr>" + "".join(f'<th class="{"text" if _text_column(frame, c) else "num"}">'
                                       f"{escape(headers.get(c, c))}</th>" for c in columns)
               + "</tr></thead><tbody>")
    values = [frame[c].tolist() for c in columns]
    for i in range(len(frame)):
        css = row_classes[i] if row_classes is not None else ""
        cells = []
        for column in values:
            v = column[i]
            cells.append(f'<td class="{"text" if _is_text(v) else "num"}">'
                         f"{escape(text_of(v, digits))}</td>")
        out.append(f'<tr class="{escape(css)}">' + "".join(cells) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _text_column(frame, column):
    kind = getattr(frame[column].dtype, "kind", "O")
    return kind not in "iufb"


def key_values(pairs, caption=None):
    """A two-column table of names and values (settings, the data set's size)."""
    rows = "".join(f'<tr><th class="text">{escape(k)}</th><td class="text">'
                   f"{escape(setting_text(v))}</td></tr>" for k, v in pairs)
    head = f"<caption>{escape(caption)}</caption>" if caption else ""
    return f'<table class="settings">{head}<tbody>{rows}</tbody></table>'


def figure(fig, alt):
    """A matplotlib Figure as an <img> of SVG data: it needs no file and no network, and
    prints sharp. Text stays text (in the reader's sans-serif font): half the size and time of
    drawing every glyph as a path."""
    import matplotlib

    buffer = io.BytesIO()
    # A fixed salt: the same figure gives the same SVG.
    with matplotlib.rc_context({"svg.hashsalt": "movra", "svg.fonttype": "none"}):
        fig.canvas.print_figure(buffer, format="svg", metadata={"Date": None})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return (f'<img class="figure" alt="{escape(alt)}" '
            f'src="data:image/svg+xml;base64,{data}">')


def bars(names, values, headers, digits=3):
    """A table of names and values with a bar drawn to scale in each row (CSS only): a
    ranking a reader takes in at a glance, and copies as text."""
    finite = [v for v in values if isinstance(v, numbers.Real) and math.isfinite(v) and v > 0]
    top = max(finite) if finite else 1.0
    rows = []
    for name, v in zip(names, values):
        width = 100.0 * v / top if isinstance(v, numbers.Real) and math.isfinite(v) and v > 0 \
            else 0.0
        rows.append(f'<tr><td class="text">{escape(name)}</td><td class="num">'
                    f"{escape(text_of(v, digits))}</td>"
                    f'<td class="bar"><div style="width:{width:.1f}%"></div></td></tr>')
    head = "".join(f'<th class="text">{escape(h)}</th>' for h in headers)
    return (f'<table class="bars"><thead><tr>{head}<th></th></tr></thead>'
            f"<tbody>{''.join(rows)}</tbody></table>")


def paragraph(text, css=None):
    cls = f' class="{css}"' if css else ""
    return f"<p{cls}>{escape(text)}</p>"


def fragment(body):
    """A notebook fragment: our styles scoped to it."""
    return f'<div class="movra"><style>{STYLE}</style>{body}</div>'


def page(title, body):
    """A whole self-contained document."""
    return ("<!DOCTYPE html>\n"
            '<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{escape(title)}</title><style>{PAGE_STYLE}{STYLE}</style></head>"
            f'<body class="movra">{body}</body></html>\n')
