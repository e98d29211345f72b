// The features of the depth-2 estimators: their names (given, a DataFrame's columns, or X0, X1,
// ...), their types, the monotone constraints named after them, and the columns check of the
// predictions. Every decision is here once; the cluster estimators inherit it.
#include <set>
#include <string>
#include <vector>

#include "bindings/xgboost/estimator_methods.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::required;

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }
std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// A DataFrame's column names when they are all strings, as scikit-learn reads them; else none.
std::vector<std::string> string_columns(py::handle X) {
    std::vector<std::string> names;
    if (!py::hasattr(X, "columns")) return names;
    for (py::handle column : X.attr("columns")) {
        if (!py::isinstance<py::str>(column)) return {};
        names.push_back(column.cast<std::string>());
    }
    return names;
}

// "- a\n- b\n", at most five names then "- ...", as scikit-learn lists them.
std::string listed(const std::set<std::string>& names) {
    std::string out;
    std::size_t i = 0;
    for (const std::string& name : names) {
        if (i++ == 5) return out + "- ...\n";
        out += "- " + name + "\n";
    }
    return out;
}

// scikit-learn's verdict (and wording) on a frame whose columns are not the fit's.
void check_column_names(py::handle self, py::handle X) {
    if (!py::hasattr(self, "feature_names_in_")) return;
    const std::vector<std::string> given = string_columns(X);
    if (given.empty()) return;
    std::vector<std::string> fitted;
    for (py::handle name : self.attr("feature_names_in_")) fitted.push_back(text_of(name));
    if (given == fitted) return;
    const std::set<std::string> given_set(given.begin(), given.end());
    const std::set<std::string> fitted_set(fitted.begin(), fitted.end());
    std::set<std::string> unseen, missing;
    for (const std::string& name : given_set)
        if (!fitted_set.count(name)) unseen.insert(name);
    for (const std::string& name : fitted_set)
        if (!given_set.count(name)) missing.insert(name);
    std::string message = "The feature names should match those that were passed during fit.\n";
    if (!unseen.empty()) message += "Feature names unseen at fit time:\n" + listed(unseen);
    if (!missing.empty())
        message += "Feature names seen at fit time, yet now missing:\n" + listed(missing);
    if (unseen.empty() && missing.empty())
        message += "Feature names must be in the same order as they were in fit.\n";
    bind::raise(PyExc_ValueError, message);
}

// The user's names (copied), else a DataFrame's columns (feature_names_in_), else X0, X1, ...
py::list feature_names_of(py::handle self, py::ssize_t n_features) {
    py::object given = self.attr("feature_names");
    py::list names;
    if (!given.is_none()) {
        names = py::list(deps().deepcopy(given));
        if (static_cast<py::ssize_t>(names.size()) != n_features)
            bind::raise(PyExc_ValueError, "feature_names has " + std::to_string(names.size()) +
                                              " names for " + std::to_string(n_features) +
                                              " features");
    } else if (py::hasattr(self, "feature_names_in_")) {
        for (py::handle name : self.attr("feature_names_in_")) names.append(py::str(name));
    } else {
        for (py::ssize_t i = 0; i < n_features; ++i) names.append("X" + std::to_string(i));
    }
    return names;
}

bool is_type(py::handle value, const char* name) {
    return py::isinstance<py::str>(value) && value.cast<std::string>() == name;
}

}  // namespace

py::list feature_types_for(py::handle self, py::ssize_t n_features, py::handle column_types) {
    py::object given = self.attr("feature_types");
    py::list types;
    if (!given.is_none()) {
        if (py::isinstance<py::str>(given))
            bind::raise(
                PyExc_ValueError,
                "feature_types must be a list of one type per feature, got " + repr_of(given));
        types = py::list(deps().deepcopy(given));
    } else if (!column_types.is_none()) {
        types = py::list(py::reinterpret_borrow<py::object>(column_types));
    } else {
        for (py::ssize_t i = 0; i < n_features; ++i) types.append("numerical");
    }
    if (static_cast<py::ssize_t>(types.size()) != n_features)
        bind::raise(PyExc_ValueError, "feature_types has " + std::to_string(types.size()) +
                                          " entries for " + std::to_string(n_features) +
                                          " features");
    for (py::handle type : types)
        if (!is_type(type, "numerical") && !is_type(type, "categorical"))
            bind::raise(PyExc_ValueError,
                        "feature_types entries must be \"numerical\" or \"categorical\", got " +
                            repr_of(type));
    return types;
}

namespace {

// A name of a monotone list that is no feature, or a categorical feature, is refused.
void check_monotone_names(py::handle self, const char* parameter) {
    py::object names = self.attr("feature_names_");
    py::object types = self.attr("feature_types_");
    for (py::handle name : self.attr(parameter)) {
        if (!contains(names, name))
            bind::raise(PyExc_ValueError, std::string(parameter) + " names " + repr_of(name) +
                                              ", which is not a feature; the features are " +
                                              repr_of(names));
        const py::object position = names.attr("index")(name);
        if (is_type(types[position], "categorical"))
            bind::raise(PyExc_ValueError,
                        std::string(parameter) + " names the categorical feature " + repr_of(name) +
                            ": a categorical feature has no order to be monotone in");
    }
}

// str() of the tuple of constraints: "(1, 0, -1)", "(0,)" for one feature, "()" for none.
std::string monotone_constraints_text(const std::vector<int>& constraints) {
    std::string text = "(";
    for (std::size_t i = 0; i < constraints.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(constraints[i]);
    }
    if (constraints.size() == 1) text += ",";
    return text + ")";
}

constexpr const char* kSettleFeaturesDoc = R"(Name and type the features of a fit.

Sets ``feature_names_`` (feature_names, else a DataFrame's columns, else "X0", "X1", ...).
When ``categories_`` is None (the input was an array of numbers), also ``feature_types_``
(feature_types, else "numerical" for all) and ``categories_`` (None per feature). Refuses a
feature_names or feature_types of another length than the features, and a type other than
"numerical" or "categorical".
)";

constexpr const char* kCheckColumnsDoc = R"(Refuse a DataFrame whose columns are not the fit's.

Raises ValueError, in scikit-learn's words, naming the columns unseen at fit time, those
missing, or saying that the order differs. An array, or a frame without string column
names, is taken by position.

Parameters
----------
X : DataFrame or array-like
)";

}  // namespace

py::object monotone_constraints(py::handle self) {
    check_monotone_names(self, "mono_increasing_list");
    check_monotone_names(self, "mono_decreasing_list");
    py::object increasing = self.attr("mono_increasing_list");
    py::object decreasing = self.attr("mono_decreasing_list");
    std::vector<int> constraints;
    for (py::handle name : self.attr("feature_names_")) {
        if (contains(increasing, name))
            constraints.push_back(1);
        else if (contains(decreasing, name))
            constraints.push_back(-1);
        else
            constraints.push_back(0);
    }
    return py::str(monotone_constraints_text(constraints));
}

void check_prediction_columns(py::handle self, py::handle X) { check_column_names(self, X); }

void add_feature_methods(bind::ClassBuilder& base) {
    base.def("_settle_features", kSettleFeaturesDoc, {required("self")},
             [](const bind::Args& a) {
                 const py::object& self = a.self();
                 const auto n = self.attr("n_features_in_").cast<py::ssize_t>();
                 py::list names = feature_names_of(self, n);
                 if (py::getattr(self, "categories_", py::none()).is_none()) {
                     self.attr("feature_types_") = feature_types_for(self, n, py::none());
                     py::list none_each;
                     for (py::ssize_t j = 0; j < n; ++j) none_each.append(py::none());
                     self.attr("categories_") = none_each;
                 }
                 self.attr("feature_names_") = names;
                 return py::none();
             })
        .def("_check_columns", kCheckColumnsDoc, {required("self"), required("X")},
             [](const bind::Args& a) {
                 check_column_names(a.self(), a["X"]);
                 return py::none();
             });
}

}  // namespace movra::xgb2
