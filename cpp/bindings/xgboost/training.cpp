// Training of the depth-2 estimators: fit's steps, the parameters handed to XGBoost, and the
// in-memory XGBoost model. A cluster estimator overrides _validate_input and _fit_xgb_raw only.
#include <string>
#include <vector>

#include "bindings/xgboost/estimator_methods.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::required;

// Unpacks exactly three values, failing like Python's own `a, b, c = value`.
std::vector<py::object> unpack_three(py::handle value) {
    std::vector<py::object> items;
    for (py::handle item : py::iter(value)) {
        if (items.size() == 3)
            bind::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    if (items.size() < 3)
        bind::raise(PyExc_ValueError, "not enough values to unpack (expected 3, got " +
                                          std::to_string(items.size()) + ")");
    return items;
}

py::object fit(const bind::Args& a) {
    const py::object& self = a.self();
    std::vector<py::object> data =
        unpack_three(self.attr("_validate_input")(a["X"], a["y"], a["sample_weight"]));
    self.attr("_settle_features")();
    self.attr("_fit_xgb_raw")(data[0], data[1], data[2]);
    self.attr("is_fitted_") = true;
    self.attr("X_") = deps().shallow_copy(data[0]);
    return self;
}

// With categorical features, XGBoost is told which they are and trains set-valued splits, which
// only its histogram methods do: "auto" trains as "hist" (1.7's "auto" may pick "exact"), and
// "exact" is refused.
void add_categorical_params(py::handle self, py::dict& params) {
    py::list codes;
    std::string categorical_names;
    py::list names(self.attr("feature_names_"));
    std::size_t j = 0;
    for (py::handle type : self.attr("feature_types_")) {
        const bool categorical = type.cast<std::string>() == "categorical";
        codes.append(categorical ? "c" : "q");
        if (categorical)
            categorical_names +=
                (categorical_names.empty() ? "" : ", ") + py::repr(names[j]).cast<std::string>();
        ++j;
    }
    if (categorical_names.empty()) return;
    py::object method = params["tree_method"];
    const std::string asked = py::isinstance<py::str>(method) ? method.cast<std::string>() : "";
    if (asked == "auto") {
        params["tree_method"] = "hist";
    } else if (asked != "hist" && asked != "approx" && asked != "gpu_hist") {
        bind::raise(PyExc_ValueError,
                    "tree_method " + py::repr(method).cast<std::string>() +
                        " cannot train the categorical features " + categorical_names +
                        "; use \"hist\" (what \"auto\" trains with here), \"approx\" or "
                        "\"gpu_hist\"");
    }
    params["enable_categorical"] = true;
    params["feature_types"] = codes;
}

py::object xgb_model_params(const bind::Args& a) {
    const py::object& self = a.self();
    py::object constraints = monotone_constraints(self);

    // In this order: the dict is the estimator's record of what XGBoost was given.
    py::dict params;
    for (const char* name : {"max_depth", "n_estimators", "eta", "gamma", "tree_method", "max_bin",
                             "reg_lambda", "reg_alpha"})
        params[name] = self.attr(name);
    params["monotone_constraints"] = constraints;
    params["random_state"] = self.attr("random_state");

    add_categorical_params(self, params);
    self.attr("xgb_params_") = params;

    // xgb_params_ keeps what the user asked for; XGBoost 2 and later train on a GPU with
    // tree_method "hist" on device "cuda" and no longer take "gpu_hist".
    py::dict model_params = params.attr("copy")();
    py::object tree_method = params["tree_method"];
    if (deps().xgb_has_device && py::isinstance<py::str>(tree_method) &&
        tree_method.cast<std::string>() == "gpu_hist") {
        model_params["tree_method"] = "hist";
        model_params["device"] = "cuda";
    }
    return model_params;
}

py::object fit_xgb_raw(const bind::Args& a) {
    const Deps& d = deps();
    const py::object& self = a.self();
    py::dict model_params = self.attr("_xgb_model_params")();
    const bool classifier = d.is_classifier(self).cast<bool>();
    py::object model = (classifier ? d.XGBClassifier : d.XGBRegressor)(**model_params);
    self.attr("estimator_") = model;
    model.attr("fit")(a["X"], a["y"].attr("ravel")(),
                      py::arg("sample_weight") = a["sample_weight"]);
    return py::none();
}

const char* const kFitDoc = R"(Fit the depth-2 boosted trees.

Parameters
----------
X : array-like of shape (n_samples, n_features)
    Training data.
y : array-like of shape (n_samples,)
    Target values (real numbers for regression, two class labels of any type for
    classification).
sample_weight : array-like of shape (n_samples,), default=None
    Sample weights. Rows of zero or negative weight are removed; the others are rescaled
    to sum to the number of remaining rows. NaN or infinite weights are refused.

Returns
-------
self : object
    The fitted estimator.
)";

const char* const kModelParamsDoc = R"(The parameters the XGBoost model is built with.

Sets ``xgb_params_``, the record of what XGBoost is given: max_depth, n_estimators, eta,
gamma, tree_method, max_bin, reg_lambda, reg_alpha, monotone_constraints (the text of a
tuple with 1 for each feature of ``feature_names_`` in mono_increasing_list, -1 in
mono_decreasing_list, 0 otherwise) and random_state, in this order. Returns a copy of it
in which, where XGBoost takes a ``device``, tree_method "gpu_hist" becomes "hist" on
device "cuda". With categorical features, ``xgb_params_`` also has enable_categorical=True
and feature_types ("c" for a categorical feature, "q" for a numerical one), and
tree_method "auto" becomes "hist" (XGBoost trains categories with its histogram methods
only; "exact" is refused with a ValueError).

Returns
-------
dict
)";

const char* const kFitRawDoc = R"(Build the XGBoost model and fit it on validated data.

Sets ``xgb_params_`` (see ``_xgb_model_params``) and ``estimator_`` (the fitted
``XGBRegressor`` or ``XGBClassifier``).

Parameters
----------
X : ndarray of shape (n_samples, n_features)
    Validated training data.
y : ndarray of shape (n_samples,)
    Validated targets (0/1 for classification).
sample_weight : ndarray of shape (n_samples,)
    Normalised sample weights.
)";

}  // namespace

void add_training_methods(bind::ClassBuilder& base) {
    const std::vector<bind::Param> data{required("self"), required("X"), required("y"),
                                        required("sample_weight")};
    base.def("fit", kFitDoc,
             {required("self"), required("X"), required("y"), optional("sample_weight")}, fit)
        .def("_xgb_model_params", kModelParamsDoc, {required("self")}, xgb_model_params)
        .def("_fit_xgb_raw", kFitRawDoc, data, fit_xgb_raw);
}

}  // namespace movra::xgb2
