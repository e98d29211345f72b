"""matplotlib figures of movra's results, one module per topic. Each draws the numbers the
computing side hands over; none imports pyplot, so figures work headless."""

from .effects import plot_effect_grid, plot_effect_importance, plot_effect_result
from .marginal import plot_marginal_result
from .scan import plot_scan_result
from .ticks import scale_plot_ticks
from .views import plot_distance_result, plot_shift_result

__all__ = [
    "plot_effect_grid",
    "plot_effect_importance",
    "plot_effect_result",
    "plot_distance_result",
    "plot_marginal_result",
    "plot_scan_result",
    "plot_shift_result",
    "scale_plot_ticks",
]
