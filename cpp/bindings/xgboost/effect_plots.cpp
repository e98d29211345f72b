// Figures of the effects: their importance, one effect, the most important ones together. The
// drawing is matplotlib work in movra.plots; these methods find the effects and gather what the
// figures show (levels, the training rows' counts on the grids, training values, shares,
// constraints) as plain dicts.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::required;

std::string repr_of(py::handle obj) { return py::repr(obj).cast<std::string>(); }

bool equal(py::handle a, py::handle b) {
    const int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

// The effects of the current fit: parse_model runs with its defaults when it has not run yet,
// or when its effects belong to an earlier fit (a second fit does not remove them).
void ensure_parsed(const py::object& self) {
    deps().check_is_fitted(self);
    if (py::hasattr(self, "effects_") && py::hasattr(self, "fanova_") &&
        py::hasattr(self, "unp_") &&
        py::getattr(self.attr("unp_"), "model", py::none()).is(self.attr("estimator_")))
        return;
    py::object message = self.attr("parse_model")();
    if (!message.is_none())
        bind::raise(PyExc_ValueError,
                    py::str(message).cast<std::string>() + " Its effects cannot be drawn.");
}

// Names as the model's other results show them: feature_names_.
std::vector<std::string> feature_labels(const py::object& self) {
    std::vector<std::string> labels;
    for (py::handle name : self.attr("feature_names_")) labels.push_back(py::str(name));
    return labels;
}

std::string listing(const std::vector<std::string>& labels) {
    std::string text;
    const std::size_t shown = labels.size() <= 12 ? labels.size() : 10;
    for (std::size_t i = 0; i < shown; ++i) text += (i ? ", " : "") + labels[i];
    if (shown < labels.size()) text += ", ... (" + std::to_string(labels.size()) + " features)";
    return text;
}

bool in_sequence(py::handle sequence, py::handle item) {
    const int found = PySequence_Contains(sequence.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// A feature given by its name (a str) or its position (an integer).
std::size_t feature_position(const py::object& self, py::handle feature) {
    py::list names(self.attr("feature_names_"));
    const std::size_t n = names.size();
    if (py::isinstance<py::str>(feature)) {
        for (std::size_t i = 0; i < n; ++i)
            if (equal(names[i], feature)) return i;
        std::string message = "the model has no feature named " + repr_of(feature);
        // Fitted on a DataFrame without feature_names, the model names its features X0, X1, ...
        if (self.attr("feature_names").is_none() && py::hasattr(self, "feature_names_in_") &&
            in_sequence(self.attr("feature_names_in_").attr("tolist")(), feature))
            message +=
                ": it was fitted without feature_names, so its features are named X0, X1, ... "
                "(pass feature_names=list(X.columns) to the constructor to use the columns' "
                "names)";
        else
            message += "; its features are " + listing(feature_labels(self));
        bind::raise(PyExc_ValueError, message);
    }
    if (PyIndex_Check(feature.ptr()) && !PyBool_Check(feature.ptr())) {
        // Huge integers clip to the ends of the range and are reported as out of it.
        const Py_ssize_t j = PyNumber_AsSsize_t(feature.ptr(), nullptr);
        if (j == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (j < 0 || static_cast<std::size_t>(j) >= n)
            bind::raise(PyExc_ValueError, "feature position " + repr_of(feature) +
                                              " is out of range for a model of " +
                                              std::to_string(n) + " features");
        return static_cast<std::size_t>(j);
    }
    bind::raise(PyExc_TypeError,
                "a feature is given by its name (str) or its position (int), not " +
                    py::str(py::type::handle_of(feature).attr("__name__")).cast<std::string>());
}

// One feature (a main effect) or two (an interaction), in the order given.
std::vector<std::size_t> effect_features(const py::object& self, py::handle effect) {
    if (py::isinstance<py::str>(effect)) return {feature_position(self, effect)};
    if (PyIndex_Check(effect.ptr())) {
        PyObject* index = PyNumber_Index(effect.ptr());
        if (index != nullptr) {
            Py_DECREF(index);
            return {feature_position(self, effect)};
        }
        // numpy arrays of several positions have __index__ too; they are read as sequences.
        PyErr_Clear();
    }
    if (!PySequence_Check(effect.ptr()))
        bind::raise(PyExc_TypeError,
                    "effect must be a feature (its name or position) or a pair of features, "
                    "not " +
                        py::str(py::type::handle_of(effect).attr("__name__")).cast<std::string>());
    py::list items(py::reinterpret_borrow<py::object>(effect));
    if (items.size() != 1 && items.size() != 2)
        bind::raise(PyExc_ValueError, "an effect is one feature or a pair of features, got " +
                                          std::to_string(items.size()) + " in " + repr_of(effect));
    std::vector<std::size_t> features;
    for (py::handle item : items) features.push_back(feature_position(self, item));
    if (features.size() == 2 && features[0] == features[1])
        bind::raise(PyExc_ValueError,
                    "an interaction needs two different features, got " + repr_of(effect));
    return features;
}

py::tuple fidx_of(std::vector<std::size_t> features) {
    std::sort(features.begin(), features.end());
    py::tuple fidx(features.size());
    for (std::size_t k = 0; k < features.size(); ++k) fidx[k] = py::int_(features[k]);
    return fidx;
}

// The item of effects_ for these features, or ValueError naming the effect.
py::object find_effect(const py::object& self, const std::vector<std::size_t>& features) {
    const py::tuple fidx = fidx_of(features);
    for (py::handle item : self.attr("effects_")[features.size() == 1 ? "1D" : "2D"])
        if (equal(item["fidx"], fidx)) return py::reinterpret_borrow<py::object>(item);
    const std::vector<std::string> labels = feature_labels(self);
    if (features.size() == 1)
        bind::raise(PyExc_ValueError, "the model has no main effect of '" + labels[features[0]] +
                                          "' (no tree splits on it)");
    bind::raise(PyExc_ValueError, "the model has no interaction of '" + labels[features[0]] +
                                      "' and '" + labels[features[1]] +
                                      "' (no tree splits on both)");
}

// The effect's share of the model's variance, as parse_model's FANOVAInterpreter measured it.
double effect_share(const py::object& self, const py::tuple& fidx) {
    for (py::handle row : self.attr("fanova_").attr("importances_"))
        if (equal(py::tuple(row["fidx"]), fidx)) return row["share"].cast<double>();
    return 0.0;
}

// The feature's monotone constraint as fit gives it to XGBoost: 1 when its name is in
// mono_increasing_list, else -1 when in mono_decreasing_list, else 0.
int monotone_constraint(const py::object& self, std::size_t j) {
    const py::object name = py::list(self.attr("feature_names_"))[j];
    if (in_sequence(self.attr("mono_increasing_list"), name)) return 1;
    return in_sequence(self.attr("mono_decreasing_list"), name) ? -1 : 0;
}

// What the effects add up to: the prediction, or for the classifier the log-odds of its second
// class, named.
std::string margin_of(const py::object& self) {
    if (!deps().is_classifier(self).cast<bool>()) return "prediction";
    return "log-odds of " + py::str(self.attr("classes_")[py::int_(1)]).cast<std::string>();
}

// The item's category labels along its features (None for a numerical one).
py::object category_labels(const py::object& values, std::size_t n_features) {
    if (values.contains("categories")) return values["categories"];
    return n_features == 1 ? py::object(py::none())
                           : py::object(py::make_tuple(py::none(), py::none()));
}

py::object training_column(const py::object& self, std::size_t j) {
    return deps().np.attr("take")(self.attr("X_"), py::int_(j), py::arg("axis") = 1);
}

// What plot_effect_result draws for the effect of these features (in the order given).
py::dict effect_value(const py::object& self, const std::vector<std::size_t>& features) {
    const py::object item = find_effect(self, features);
    const std::vector<std::string> labels = feature_labels(self);
    const py::object values = item["values"];
    py::dict value;
    value["margin"] = margin_of(self);
    value["share"] = effect_share(self, fidx_of(features));
    if (features.size() == 1) {
        const std::size_t j = features[0];
        value["kind"] = "main";
        value["name"] = labels[j];
        value["split_points"] = values["split_points"];
        value["levels"] = values["levels"];
        value["counts"] = item["counts"];
        value["x"] = training_column(self, j);
        value["monotone"] = monotone_constraint(self, j);
        value["categories"] = category_labels(values, 1);
        return value;
    }
    // The item's grids run along its lower-indexed feature first; the figure's x axis is the
    // first feature given.
    const bool swapped = features[0] > features[1];
    const auto along_x = [swapped](const py::object& grid) {
        return swapped ? py::object(grid.attr("T")) : grid;
    };
    const py::tuple points(values["split_points"]);
    value["kind"] = "interaction";
    value["names"] = py::make_tuple(labels[features[0]], labels[features[1]]);
    value["split_points"] = swapped ? py::make_tuple(points[1], points[0]) : points;
    value["levels"] = along_x(values["levels"]);
    value["counts"] = along_x(item["counts"]);
    const py::tuple labels_of(category_labels(values, 2));
    value["categories"] = swapped ? py::make_tuple(labels_of[1], labels_of[0]) : labels_of;
    value["x"] =
        py::make_tuple(training_column(self, features[0]), training_column(self, features[1]));
    return value;
}

std::vector<std::size_t> row_features(py::handle row) {
    std::vector<std::size_t> features;
    for (py::handle j : row["fidx"]) features.push_back(j.cast<std::size_t>());
    return features;
}

std::size_t positive_count(const bind::Args& a, const char* name) {
    const std::int64_t top = a.integer(name);
    if (top < 1)
        bind::raise(PyExc_ValueError,
                    std::string(name) + " must be at least 1, got " + std::to_string(top));
    return static_cast<std::size_t>(top);
}

py::object plot_importance(const bind::Args& a) {
    const py::object& self = a.self();
    const std::size_t top = positive_count(a, "top");
    ensure_parsed(self);
    const std::vector<std::string> labels = feature_labels(self);
    py::list names, kinds, shares;
    for (py::handle row : self.attr("fanova_").attr("importances_")) {
        const std::vector<std::size_t> features = row_features(row);
        const bool main = features.size() == 1;
        names.append(main ? labels[features[0]]
                          : labels[features[0]] + " \u00d7 " + labels[features[1]]);
        kinds.append(main ? "main" : "interaction");
        shares.append(row["share"]);
    }
    py::dict value;
    value["labels"] = names;
    value["kinds"] = kinds;
    value["shares"] = shares;
    value["intercept"] = self.attr("intercept_");
    value["margin"] = margin_of(self);
    return deps().plot_effect_importance(value, py::arg("top") = top,
                                         py::arg("figsize") = a["figsize"]);
}

py::object plot_effect(const bind::Args& a) {
    const py::object& self = a.self();
    ensure_parsed(self);
    const py::dict value = effect_value(self, effect_features(self, a["effect"]));
    return deps().plot_effect_result(value, py::arg("figsize") = a["figsize"]);
}

py::object plot_effects(const bind::Args& a) {
    const py::object& self = a.self();
    const std::size_t top = positive_count(a, "top");
    ensure_parsed(self);
    py::list values;
    for (py::handle row : self.attr("fanova_").attr("importances_")) {
        if (values.size() == top) break;
        values.append(effect_value(self, row_features(row)));
    }
    return deps().plot_effect_grid(values, self.attr("intercept_"), margin_of(self),
                                   py::arg("figsize") = a["figsize"]);
}

constexpr const char* kPlotImportanceDoc = R"(Draw the importance of the effects.

Horizontal bars of each effect's share of the model's variance over the training data, in %,
as ``fanova_`` measures it (the table ``fanova_.importance_table()``), largest on top. Main
effects are labelled by their feature, interactions "a × b"; the intercept is stated above the
bars. ``parse_model`` runs first when it has not run on this fit.

Parameters
----------
top : int, default=15
    The number of effects drawn; the others are summed up in a note.
figsize : tuple of float, optional
    Figure size in inches.

Returns
-------
matplotlib.figure.Figure

Raises
------
NotFittedError
    Before fit.
ValueError
    When ``top`` is below 1, or the model is too deep to be decomposed.
)";

constexpr const char* kPlotEffectDoc = R"(Draw one effect.

A main effect is its exact step function over the split points, in the units of the model's
margin (the log-odds of ``classes_[1]`` for the classifier), above a histogram of the
feature's training values; a categorical feature's is a bar per category, labelled, above the
training rows per category.
When the training data had missing values of the feature, the level the model gives them is a
marker beside the axis, and a monotone constraint on the feature is noted. An interaction is a
heat map of its purified levels on its split grid, coloured on a scale centred at 0 (cells with
the 1% most extreme training values take the end colours), with the features' histograms at
the margins; cells where the two features rarely meet in the training data (under 10% of the
rows their histograms imply) are hatched. ``parse_model`` runs first when it has not run on this
fit.

Parameters
----------
effect : str, int, or a pair of them
    A feature's name (from ``feature_names_``) or position for a main effect; two of them for
    an interaction, the first drawn along the x axis.
figsize : tuple of float, optional
    Figure size in inches.

Returns
-------
matplotlib.figure.Figure

Raises
------
NotFittedError
    Before fit.
ValueError
    For an unknown feature or an effect the model does not have (the message names it), or a
    model too deep to be decomposed.
TypeError
    When ``effect`` is neither a name, a position nor a pair of them.
)";

constexpr const char* kPlotEffectsDoc = R"(Draw the most important effects in one figure.

Each panel is drawn as by ``plot_effect`` (interactions without their marginal histograms),
titled with the effect's share of the model's variance; most important first, row by row.
``parse_model`` runs first when it has not run on this fit.

Parameters
----------
top : int, default=6
    The number of effects drawn.
figsize : tuple of float, optional
    Figure size in inches.

Returns
-------
matplotlib.figure.Figure

Raises
------
NotFittedError
    Before fit.
ValueError
    When ``top`` is below 1, or the model is too deep to be decomposed.
)";

}  // namespace

void add_plot_methods(bind::ClassBuilder& base) {
    base.def("plot_importance", kPlotImportanceDoc,
             {required("self"), optional("top", py::int_(15)), optional("figsize")},
             plot_importance)
        .def("plot_effect", kPlotEffectDoc,
             {required("self"), required("effect"), optional("figsize")}, plot_effect)
        .def("plot_effects", kPlotEffectsDoc,
             {required("self"), optional("top", py::int_(6)), optional("figsize")}, plot_effects);
}

}  // namespace movra::xgb2
