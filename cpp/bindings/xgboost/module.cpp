// movra.models.xgb2.xgboost: depth-2 boosted trees with a functional-ANOVA reading.
#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

namespace {
Deps* loaded = nullptr;
}

const Deps& deps() { return *loaded; }

void load_deps() {
    // A failing import fails the module's import with the underlying exception.
    auto* d = new Deps();
    d->np = py::module_::import("numpy");
    d->pd = py::module_::import("pandas");
    d->DataFrame = d->pd.attr("DataFrame");
    d->Categorical = d->pd.attr("Categorical");
    py::module_ xgb = py::module_::import("xgboost");
    d->XGBRegressor = xgb.attr("XGBRegressor");
    d->XGBClassifier = xgb.attr("XGBClassifier");
    py::module_ base = py::module_::import("sklearn.base");
    d->BaseEstimator = base.attr("BaseEstimator");
    d->RegressorMixin = base.attr("RegressorMixin");
    d->ClassifierMixin = base.attr("ClassifierMixin");
    d->is_classifier = base.attr("is_classifier");
    py::module_ utils = py::module_::import("sklearn.utils");
    d->check_array = utils.attr("check_array");
    d->finite_keyword = py::module_::import("inspect")
                                .attr("signature")(d->check_array)
                                .attr("parameters")
                                .contains("ensure_all_finite")
                            ? "ensure_all_finite"
                            : "force_all_finite";
    d->column_or_1d = utils.attr("column_or_1d");
    d->check_is_fitted = py::module_::import("sklearn.utils.validation").attr("check_is_fitted");
    d->NotFittedError = py::module_::import("sklearn.exceptions").attr("NotFittedError");
    d->LabelBinarizer = py::module_::import("sklearn.preprocessing").attr("LabelBinarizer");
    d->XGBInterpreter = py::module_::import("movra.models.xgb2.interpret").attr("XGBInterpreter");
    d->FANOVAInterpreter =
        py::module_::import("movra.models.interpreter").attr("FANOVAInterpreter");
    py::module_ model_utils = py::module_::import("movra.models.utils");
    d->predict_1D_func_tree = model_utils.attr("predict_1D_func_tree");
    d->predict_2D_func_tree = model_utils.attr("predict_2D_func_tree");
    py::module_ plots = py::module_::import("movra.plots");
    d->plot_effect_result = plots.attr("plot_effect_result");
    d->plot_effect_grid = plots.attr("plot_effect_grid");
    d->plot_effect_importance = plots.attr("plot_effect_importance");
    py::module_ display = py::module_::import("movra.report.display");
    d->display_model = display.attr("model");
    d->display_unavailable = display.attr("unavailable");
    d->display_guarded = display.attr("guarded");
    d->write_model_report =
        py::module_::import("movra.report.documents").attr("write_model_report");
    py::module_ validation = py::module_::import("sklearn.utils.validation");
    d->validate_data = py::getattr(validation, "validate_data", py::none());
    py::module_ copy = py::module_::import("copy");
    d->deepcopy = copy.attr("deepcopy");
    d->shallow_copy = copy.attr("copy");
    py::object xgb_init_params = py::module_::import("inspect")
                                     .attr("signature")(xgb.attr("XGBModel").attr("__init__"))
                                     .attr("parameters");
    d->xgb_has_device = xgb_init_params.contains("device");
    loaded = d;
}

}  // namespace movra::xgb2

PYBIND11_MODULE(xgboost, m) {
    using namespace movra::xgb2;
    m.doc() =
        "Depth-2 boosted trees trained by XGBoost, with monotone constraints and a "
        "functional-ANOVA decomposition into main effects and pairwise interactions.";
    load_deps();
    register_estimators(m);
}
