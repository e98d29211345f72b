// movra.diagnoser.sagzone: the weak-region diagnoser.
#include "bindings/sagzone/sagzone_module.hpp"

namespace movra::sagzone {

namespace {
Deps* loaded = nullptr;
}

Deps& deps() {
    if (loaded == nullptr) bind::raise(PyExc_RuntimeError, "movra.diagnoser.sagzone is not loaded");
    return *loaded;
}

void load_deps() {
    // A failing import fails the module's import with the underlying exception.
    auto* d = new Deps();
    d->np = py::module_::import("numpy");
    d->pd = py::module_::import("pandas");
    py::module_ stats = py::module_::import("scipy.stats");
    d->percentileofscore = stats.attr("percentileofscore");
    d->binned_statistic = stats.attr("binned_statistic");
    d->t_sf = stats.attr("t").attr("sf");
    py::module_::import("matplotlib");
    d->DecisionTreeRegressor = py::module_::import("sklearn.tree").attr("DecisionTreeRegressor");
    d->BaseDiagnoser = py::module_::import("movra.diagnoser.base").attr("BaseDiagnoser");
    py::module_ utils = py::module_::import("movra.diagnoser.utils");
    d->get_scoring_metric = utils.attr("get_scoring_metric");
    d->calculate_distance = utils.attr("calculate_distance");
    d->yield_from = utils.attr("yield_from");
    py::module_ movra_utils = py::module_::import("movra.utils");
    d->TestDataResult = movra_utils.attr("TestDataResult");
    d->MISSING = movra_utils.attr("MISSING");
    py::module_ plots = py::module_::import("movra.plots");
    d->scale_plot_ticks = plots.attr("scale_plot_ticks");
    d->plot_marginal_result = plots.attr("plot_marginal_result");
    d->plot_scan_result = plots.attr("plot_scan_result");
    d->plot_distance_result = plots.attr("plot_distance_result");
    d->plot_shift_result = plots.attr("plot_shift_result");
    py::module_ display = py::module_::import("movra.report.display");
    d->display_sagzone = display.attr("sagzone");
    d->display_scan = display.attr("scan");
    d->display_unavailable = display.attr("unavailable");
    d->display_guarded = display.attr("guarded");
    d->write_scan_report = py::module_::import("movra.report.documents").attr("write_scan_report");
    py::module_ exceptions = py::module_::import("movra.exceptions");
    d->MovraError = exceptions.attr("MovraError");
    d->MovraWarning = exceptions.attr("MovraWarning");
    d->MovraInfo = exceptions.attr("MovraInfo");
    d->keys = bind::RecordKeys::create();
    loaded = d;
}

}  // namespace movra::sagzone

PYBIND11_MODULE(sagzone, m) {
    using namespace movra::sagzone;
    m.doc() =
        "Weak-region diagnoser: finds where a model performs worse than threshold times "
        "its average, by histogram bins or a shallow regression tree on per-sample scores.";
    load_deps();
    register_base_slicing(m);
    register_histogram_slicing(m);
    register_tree_slicing(m);
    register_sagzone(m);
    register_sagzone_scan(m);
}
