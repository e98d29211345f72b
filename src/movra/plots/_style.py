"""What the figures share: their colours and a standalone matplotlib Figure."""

# Bars and cells of the weak-region figures: a part judged fine, a weak one, an empty cell.
_OK_BAR = "#6a9fcb"
_WEAK_BAR = "#d6604d"
_EMPTY_CELL = "#eeeeee"


def _new_figure(figure_class, figsize):
    try:
        return figure_class(figsize=figsize, layout="constrained")
    except TypeError:  # matplotlib before 3.5
        return figure_class(figsize=figsize, constrained_layout=True)
