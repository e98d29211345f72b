// How a depth-2 estimator shows itself in a notebook (_repr_html_, with _repr_mimebundle_ so that
// scikit-learn's diagram does not hide it) and its report: one self-contained HTML file of its
// importance table, every main effect and the largest interactions. What they show is gathered
// here (settings, the training data's size, the decomposition's importances and figures);
// movra.report lays it out.
#include <string>

#include "bindings/xgboost/xgb2_module.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::required;

constexpr const char* kReportDoc = R"(Write the model as one self-contained HTML file.

The file needs nothing else to open, print or send: figures are embedded as SVG data, the
styles are inline, and it runs no script and loads nothing over the network. It holds the
model's settings and the training data's size, the importance table and figure, every main
effect's figure and those of the ``top`` largest interactions, each titled with its share of the
model's variance. ``parse_model`` runs first when it has not run on this fit. Feature names and
category labels are shown as text, escaped.

Parameters
----------
path : str or os.PathLike
    The file to write (overwritten).
top : int, default=5
    The number of interactions drawn, largest first.

Returns
-------
path
    The path given.

Raises
------
NotFittedError
    Before fit.
ValueError
    When ``top`` is below 0, or the model is too deep to be decomposed.
)";

std::string class_name(py::handle self) {
    return py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
}

bool fitted(py::handle self) {
    try {
        deps().check_is_fitted(self);
        return true;
    } catch (py::error_already_set& e) {
        if (e.matches(deps().NotFittedError)) return false;
        throw;
    }
}

// The decomposition belongs to the current fit (a second fit does not remove the first's).
bool effects_current(py::handle self) {
    return py::hasattr(self, "effects_") && py::hasattr(self, "fanova_") &&
           py::hasattr(self, "unp_") &&
           py::getattr(self.attr("unp_"), "model", py::none()).is(self.attr("estimator_"));
}

py::list params_of(py::handle self) {
    py::list pairs;
    const py::dict params = self.attr("get_params")(py::arg("deep") = false);
    for (auto item : params) pairs.append(py::make_tuple(item.first, item.second));
    return pairs;
}

std::string margin_of(py::handle self) {
    if (!deps().is_classifier(self).cast<bool>()) return "prediction";
    return "log-odds of " + py::str(self.attr("classes_")[py::int_(1)]).cast<std::string>();
}

// What the fragment and the report share: the settings, the data's size, the importances.
py::dict model_content(py::handle self) {
    py::dict content;
    content["class"] = class_name(self);
    content["params"] = params_of(self);
    const py::object max_depth = self.attr("max_depth");
    if (!fitted(self)) {
        content["state"] = "unfitted";
        content["reason"] = "Not fitted yet: call fit(X, y).";
    } else if (max_depth.is_none() || max_depth > py::int_(2)) {
        content["state"] = "too_deep";
        content["reason"] = "Trees deeper than 2 cannot be read as main effects and interactions.";
    } else if (!effects_current(self)) {
        content["state"] = "fitted";
        content["reason"] =
            "Fitted; its effects are not computed yet: call parse_model() (the "
            "figures and the report run it themselves).";
    } else {
        content["state"] = "parsed";
        // A cluster estimator keeps no training matrix: its size is then unknown here.
        const py::object matrix = py::getattr(self, "X_", py::none());
        const py::object rows = matrix.is_none() ? py::object(py::none())
                                                 : py::object(matrix.attr("shape")[py::int_(0)]);
        std::size_t categorical = 0;
        for (py::handle t : self.attr("feature_types_"))
            categorical += py::str(t).cast<std::string>() == "categorical" ? 1 : 0;
        content["rows"] = rows;
        content["features"] = self.attr("n_features_in_");
        content["data"] =
            py::dict(py::arg("rows") = rows, py::arg("features") = self.attr("n_features_in_"),
                     py::arg("categorical") = categorical);
        content["margin"] = margin_of(self);
        content["intercept"] = self.attr("intercept_");
        content["importances"] = self.attr("fanova_").attr("importance_table")();
        content["n_main"] = py::len(self.attr("effects_")["1D"]);
        content["n_interactions"] = py::len(self.attr("effects_")["2D"]);
    }
    return content;
}

py::object repr_html(const bind::Args& a) {
    const py::object& self = a.self();
    std::string reason;
    try {
        return deps().display_guarded(class_name(self), deps().display_model, model_content(self));
    } catch (py::error_already_set& e) {
        reason = e.what();
    }
    try {
        return deps().display_unavailable(class_name(self),
                                          "the display could not be built (" + reason + ").");
    } catch (py::error_already_set&) {
        return py::str("<p>" + class_name(self) + ": the display could not be built.</p>");
    }
}

// An effect's title and figure, for the report.
py::dict effect_entry(const py::object& self, py::handle row) {
    py::dict entry;
    const py::tuple fidx(py::reinterpret_borrow<py::object>(row["fidx"]));
    const py::list names(self.attr("feature_names_"));
    std::string name = py::str(names[fidx[0].cast<std::size_t>()]);
    if (fidx.size() == 2)
        name += " \u00d7 " + py::str(names[fidx[1].cast<std::size_t>()]).cast<std::string>();
    entry["name"] = name;
    entry["share"] = row["share"];
    entry["figure"] =
        self.attr("plot_effect")(fidx.size() == 1 ? py::object(fidx[0]) : py::object(fidx));
    return entry;
}

py::object report(const bind::Args& a) {
    const py::object& self = a.self();
    const std::int64_t top = a.integer("top");
    if (top < 0) bind::raise(PyExc_ValueError, "top must be 0 or more, got " + std::to_string(top));
    // The importance figure runs parse_model when its effects are not this fit's.
    const py::object importance_figure = self.attr("plot_importance")(py::arg("top") = 20);
    py::dict content = model_content(self);
    content["importance_figure"] = importance_figure;
    py::list main_effects, interactions;
    for (py::handle row : self.attr("fanova_").attr("importances_")) {
        const bool main = py::len(row["fidx"]) == 1;
        if (main)
            main_effects.append(effect_entry(self, row));
        else if (static_cast<std::int64_t>(py::len(interactions)) < top)
            interactions.append(effect_entry(self, row));
    }
    content["main_effects"] = main_effects;
    content["interactions"] = interactions;
    deps().write_model_report(a["path"], content);
    return a["path"];
}

}  // namespace

void add_display_methods(bind::ClassBuilder& base) {
    base.def("_repr_html_",
             "The notebook's view: the settings and, once the model is decomposed, its\n"
             "importance table; before fit, or before parse_model, a sentence saying so.\n",
             {required("self")}, repr_html)
        .def("_repr_mimebundle_",
             "The notebook's views: the text repr and _repr_html_ (instead of scikit-learn's\n"
             "diagram of the estimator).\n",
             {required("self"), optional("include"), optional("exclude")},
             [](const bind::Args& a) -> py::object {
                 py::dict bundle;
                 bundle["text/plain"] = py::repr(a.self());
                 bundle["text/html"] = repr_html(a);
                 return std::move(bundle);
             })
        .def("report", kReportDoc,
             {required("self"), required("path"), optional("top", py::int_(5))}, report);
}

}  // namespace movra::xgb2
