// Reading a fitted depth-2 ensemble: split points, functional-ANOVA effects, partial dependence.
#include <pybind11/numpy.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/xgboost/xgb2_module.hpp"
#include "core/step_functions.hpp"

namespace movra::xgb2 {

namespace {

using bind::required;

constexpr const char* kDepthMessage = "Cannot interpret XGB with depth more than 2.";

constexpr const char* kParseModelDoc =
    R"(Decompose the fitted ensemble into main effects and pairwise interactions.

Every depth-2 tree is a sum of step functions of at most two features; they are summed per
feature and per pair and purified under the product of the training data's marginal
frequencies, so that each main effect has mean zero and each interaction zero mean along each
axis. Intercept plus all effects equals the model's raw margin (the log-odds for the
classifier) at every row, missing values included.

Returns
-------
None, or the text "Cannot interpret XGB with depth more than 2." when max_depth exceeds 2
(nothing is computed then).

Attributes set
--------------
unp_ : XGBInterpreter
    The interpreter fitted on X_.
effects_ : dict
    {"1D": [...], "2D": [...]}; each item has "fidx", "name", "values" and "importance".
intercept_ : float
fanova_ : FANOVAInterpreter
    Importance of each effect (variance over the training data and share), sorted.
)";

constexpr const char* kPartialDependenceDoc = R"(Values of one effect at the rows of X.

Parameters
----------
fidx : tuple of one or two ints
    The feature index of a main effect, or the ascending pair of an interaction, as in the
    items' "fidx".
X : array-like or DataFrame of shape (n_samples, n_features)
    Data with all the model's features; NaN (None for a label) is a missing value, and a
    categorical feature is given by its categories' labels.

Returns
-------
ndarray of shape (n_samples,)

Raises
------
NotFittedError
    Before fit, or before parse_model has computed the effects.
ValueError
    "Effect not found." when no effect has these feature indices.
)";

constexpr const char* kNewInterpreterDoc =
    R"(The XGBInterpreter that parse_model fits: purification under the product of the
training data's marginal frequencies, this fit's feature names and types.)";

constexpr const char* kFitInterpreterDoc = R"(Fit the interpreter on the training data.

The one step of parse_model that depends on where the training rows are: here
``unp.fit(self.X_)``. A cluster estimator overrides it with the rows' counts on the
effects' grids, summed over partitions (``unp.fit_counts``).

Parameters
----------
unp : XGBInterpreter
    The interpreter of ``_new_interpreter``.
)";

constexpr const char* kKeepEffectsDoc = R"(Keep a fitted interpreter's decomposition.

Sets ``unp_``, ``effects_``, ``intercept_`` and ``fanova_`` (the importances the effects
carry, sorted).

Parameters
----------
unp : XGBInterpreter
    A fitted interpreter of this model.
)";

constexpr const char* kEffectItemDoc = R"(The item of ``effects_`` with these feature indices.

Raises NotFittedError before parse_model, ValueError "Effect not found." when no effect has
them.

Parameters
----------
fidx : tuple of one or two ints
)";

constexpr const char* kExtractRulesDoc = R"(Read the distinct split values of every feature.

Sets n_splits_raw_: a dict from each name of feature_names_ to the sorted distinct split values
of that feature in the booster's trees (trees_to_dataframe), empty for an unused feature.
)";

// The interpreter parse_model fits: purified under the product of the training data's marginal
// frequencies, with this fit's feature names and types.
py::object new_interpreter(py::handle self) {
    py::dict kwargs;
    kwargs["purification"] = true;
    kwargs["true_to_data"] = false;
    kwargs["feature_names"] = self.attr("feature_names_");
    kwargs["feature_types"] = self.attr("feature_types_");
    kwargs["categories"] = py::getattr(self, "categories_", py::none());
    return deps().XGBInterpreter(self.attr("estimator_"), **kwargs);
}

// Every effect carries its importance, measured where the rows are (the interpreter's kernels),
// so the FANOVA reading needs no rows of its own.
void keep_effects(py::handle self, py::handle unp) {
    self.attr("unp_") = unp;
    self.attr("effects_") = unp.attr("effects_");
    self.attr("intercept_") = unp.attr("intercept_");
    py::object fanova = deps().FANOVAInterpreter(self.attr("effects_"), self.attr("intercept_"));
    fanova.attr("fit")();
    self.attr("fanova_") = fanova;
}

py::object parse_model(const bind::Args& a) {
    const py::object& self = a.self();
    // Python's own comparison, so any number type behaves as in Python. None leaves the depth
    // to XGBoost, whose default (6) is too deep as well.
    const py::object max_depth = self.attr("max_depth");
    if (max_depth.is_none() || max_depth > py::int_(2)) return py::str(kDepthMessage);
    deps().check_is_fitted(self);
    py::object unp = new_interpreter(self);
    self.attr("_fit_interpreter")(unp);
    keep_effects(self, unp);
    return py::none();
}

// The effects exist only once parse_model has run on a fitted model of depth at most 2.
// NotFittedError is also a ValueError and an AttributeError, as callers may expect either.
void require_parsed(py::handle self) {
    const Deps& d = deps();
    d.check_is_fitted(self);
    if (!py::hasattr(self, "effects_"))
        bind::raise(d.NotFittedError,
                    "This " +
                        py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                        " instance has no effects yet. Call 'parse_model' before using "
                        "'partial_dependence'.");
}

py::object effect_item(py::handle self, py::handle fidx_given) {
    require_parsed(self);
    // A list or a tuple of indices names the same effect.
    const py::tuple fidx(py::reinterpret_borrow<py::object>(fidx_given));
    const std::size_t ndim = fidx.size();
    if (ndim != 1 && ndim != 2) bind::raise(PyExc_ValueError, "Effect not found.");
    for (py::handle item : self.attr("effects_")[ndim == 1 ? "1D" : "2D"])
        if (py::object(item["fidx"]).equal(fidx)) return py::reinterpret_borrow<py::object>(item);
    bind::raise(PyExc_ValueError, "Effect not found.");
}

py::object partial_dependence(const bind::Args& a) {
    const Deps& d = deps();
    py::object item = effect_item(a.self(), a["fidx"]);
    py::object fidx = item["fidx"];
    const py::object evaluate =
        py::len(fidx) == 1 ? d.predict_1D_func_tree : d.predict_2D_func_tree;
    // Categorical features' labels become their codes, as at prediction.
    return evaluate(a.self().attr("_encode_features")(a["X"]), item["values"], fidx);
}

py::object base_extract_rules(const bind::Args& a) {
    const py::object& self = a.self();
    deps().check_is_fitted(self);
    py::object booster = self.attr("estimator_").attr("get_booster")();
    py::object table = booster.attr("trees_to_dataframe")();
    const auto n_features = self.attr("n_features_in_").cast<std::size_t>();

    // The booster's name of each feature: its own names when it has them, else "f0", "f1", ...
    std::unordered_map<std::string, std::int64_t> index_of;
    py::object booster_names = booster.attr("feature_names");
    for (std::size_t i = 0; i < n_features; ++i) {
        const std::string name = booster_names.is_none()
                                     ? "f" + std::to_string(i)
                                     : py::str(booster_names[py::int_(i)]).cast<std::string>();
        index_of.emplace(name, static_cast<std::int64_t>(i));
    }
    py::list features = table["Feature"].attr("tolist")();
    bind::Index feature_of_row = bind::new_index(static_cast<std::size_t>(py::len(features)));
    std::int64_t* f = feature_of_row.mutable_data();
    for (std::size_t r = 0; r < features.size(); ++r) {
        auto it = index_of.find(py::str(features[r]).cast<std::string>());
        f[r] = it == index_of.end() ? -1 : it->second;
    }
    bind::Vector split = bind::as_vector_of_length(table["Split"], "Split", features.size());
    std::vector<std::vector<double>> points;
    {
        // Reads the two arrays held above; writes C++ vectors only.
        py::gil_scoped_release release;
        points = core::split_points_by_feature(bind::span(feature_of_row), bind::span(split),
                                               n_features);
    }
    py::dict out;
    py::object names = self.attr("feature_names_");
    for (std::size_t i = 0; i < n_features; ++i) {
        bind::Vector v = bind::new_vector(points[i].size());
        if (!points[i].empty())
            std::memcpy(v.mutable_data(), points[i].data(), points[i].size() * sizeof(double));
        out[names[py::int_(i)]] = v;
    }
    self.attr("n_splits_raw_") = out;
    return py::none();
}

}  // namespace

void add_interpretation_methods(bind::ClassBuilder& base) {
    base.def("parse_model", kParseModelDoc, {required("self")}, parse_model)
        .def("_new_interpreter", kNewInterpreterDoc, {required("self")},
             [](const bind::Args& a) { return new_interpreter(a.self()); })
        .def("_fit_interpreter", kFitInterpreterDoc, {required("self"), required("unp")},
             [](const bind::Args& a) {
                 a["unp"].attr("fit")(a.self().attr("X_"));
                 return py::none();
             })
        .def("_keep_effects", kKeepEffectsDoc, {required("self"), required("unp")},
             [](const bind::Args& a) {
                 keep_effects(a.self(), a["unp"]);
                 return py::none();
             })
        .def("_effect_item", kEffectItemDoc, {required("self"), required("fidx")},
             [](const bind::Args& a) { return effect_item(a.self(), a["fidx"]); })
        .def("partial_dependence", kPartialDependenceDoc,
             {required("self"), required("fidx"), required("X")}, partial_dependence)
        .def("_base_extract_rules", kExtractRulesDoc, {required("self")}, base_extract_rules);
}

}  // namespace movra::xgb2
