// What the xgboost module's files share: the Python objects imported at initialisation, and the
// functions that build its classes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "bindings/common/method.hpp"

namespace movra::xgb2 {

namespace py = pybind11;

// Imported once when the module loads; never released.
struct Deps {
    py::module_ np;
    py::module_ pd;
    py::object DataFrame;
    py::object Categorical;
    // The keyword of check_array that lets NaN through: "ensure_all_finite" (scikit-learn 1.6
    // and later) or "force_all_finite".
    std::string finite_keyword;
    py::object XGBRegressor;
    py::object XGBClassifier;
    py::object BaseEstimator;
    py::object RegressorMixin;
    py::object ClassifierMixin;
    py::object is_classifier;
    py::object check_array;
    py::object column_or_1d;
    py::object check_is_fitted;
    py::object NotFittedError;
    py::object LabelBinarizer;
    py::object XGBInterpreter;
    py::object FANOVAInterpreter;
    py::object predict_1D_func_tree;
    py::object predict_2D_func_tree;
    // movra.plots: the figures of the effects.
    py::object plot_effect_result;
    py::object plot_effect_grid;
    py::object plot_effect_importance;
    // movra.report: the layout of the notebook fragment and of the model's report.
    py::object display_model;
    py::object display_unavailable;
    py::object display_guarded;
    py::object write_model_report;
    // sklearn.utils.validation.validate_data, or None where scikit-learn predates it (the
    // estimator's own _validate_data is used then).
    py::object validate_data;
    py::object deepcopy;
    py::object shallow_copy;
    // XGBoost takes a `device` parameter (2.0 and later): GPU training is tree_method "hist" on
    // device "cuda" there, and "gpu_hist" is deprecated or rejected.
    bool xgb_has_device = false;
};

const Deps& deps();
void load_deps();

// XGB2Base, XGB2Regressor, XGB2Classifier.
void register_estimators(py::module_& m);

// parse_model, partial_dependence and _base_extract_rules, added to XGB2Base while it is built.
void add_interpretation_methods(bind::ClassBuilder& base);

// plot_importance, plot_effect and plot_effects, added to XGB2Base while it is built.
void add_plot_methods(bind::ClassBuilder& base);

// _repr_html_, _repr_mimebundle_ and report, added to XGB2Base while it is built.
void add_display_methods(bind::ClassBuilder& base);

}  // namespace movra::xgb2
