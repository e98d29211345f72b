// Tables as users have them, turned into what XGBoost and the decomposition read: a categorical
// feature (a category, text or boolean column, or a feature typed "categorical") becomes the
// codes 0 .. k-1 of its categories, fixed at fit (categories_), with NaN for a missing value;
// a numerical column passes as it is. XGBoost is told which features are categorical and
// trains set-valued splits on the codes.
#include <string>
#include <vector>

#include "bindings/xgboost/estimator_methods.hpp"

namespace movra::xgb2 {

namespace {

using bind::optional;
using bind::required;

bool is_frame(py::handle X) {
    return py::isinstance(X, deps().DataFrame) ||
           (py::hasattr(X, "columns") && py::hasattr(X, "dtypes") && py::hasattr(X, "iloc"));
}

// Boolean, text, object and category dtypes hold categories (a category dtype's kind is 'O').
bool categorical_dtype(py::handle dtype) {
    const std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
    return kind == "b" || kind == "O" || kind == "U" || kind == "S";
}

py::object column_types(py::handle X) {
    if (!is_frame(X)) return py::none();
    py::list types;
    for (py::handle dtype : X.attr("dtypes"))
        types.append(categorical_dtype(dtype) ? "categorical" : "numerical");
    return std::move(types);
}

bool any_categorical(py::handle types) {
    if (types.is_none() || py::isinstance<py::str>(types)) return false;
    for (py::handle type : types)
        if (py::isinstance<py::str>(type) && type.cast<std::string>() == "categorical") return true;
    return false;
}

std::string column_label(py::handle frame, py::ssize_t j) {
    return py::repr(frame.attr("columns")[py::int_(j)]).cast<std::string>();
}

// A categorical column's codes as float64: -1 (missing) becomes NaN.
py::object codes_as_floats(const py::object& categorical) {
    const Deps& d = deps();
    py::object codes = categorical.attr("codes");
    return d.np.attr("where")(codes.attr("__lt__")(0), d.np.attr("nan"),
                              codes.attr("astype")("float64"));
}

// The table as a DataFrame: itself, or a two-dimensional array wrapped (columns 0, 1, ...).
py::object as_frame(py::handle X) {
    if (is_frame(X)) return py::reinterpret_borrow<py::object>(X);
    return deps().DataFrame(deps().np.attr("asarray")(X));
}

// Rebuilds the frame with the given columns replaced, keeping the column labels and index.
py::object with_columns(const py::object& frame, const py::dict& replaced) {
    if (replaced.empty()) return frame;
    py::object out = frame.attr("copy")(py::arg("deep") = false);
    // Positional assignment keeps duplicate or non-string labels as they are.
    for (auto item : replaced) out.attr("isetitem")(item.first, item.second);
    return out;
}

// A numerical feature's column holds numbers (or booleans): a date, a duration or a complex
// number would otherwise reach scikit-learn's check as a dtype error that names no column.
void check_numerical_column(const py::object& frame, py::ssize_t j) {
    const py::object dtype = frame.attr("dtypes").attr("iloc")[py::int_(j)];
    const std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
    if (kind == "b" || kind == "i" || kind == "u" || kind == "f") return;
    bind::raise(PyExc_ValueError,
                "column " + column_label(frame, j) + " of dtype " +
                    py::str(dtype).cast<std::string>() +
                    " is neither numerical nor categorical: convert it to numbers, or type it "
                    "\"categorical\" in feature_types.");
}

// At fit: each feature's type and categories, and the table with categorical columns as codes.
py::object encode_training_table(py::handle self, py::handle X) {
    const Deps& d = deps();
    const bool typed_categorical = any_categorical(self.attr("feature_types"));
    py::object types_found = column_types(X);
    const bool frame_in = !types_found.is_none();
    // An array of numbers passes; _settle_features types its features once they are counted.
    self.attr("categories_") = py::none();
    if (!frame_in && !typed_categorical) return py::reinterpret_borrow<py::object>(X);
    if (!frame_in && d.np.attr("ndim")(X).cast<int>() != 2)
        return py::reinterpret_borrow<py::object>(X);  // scikit-learn's check says why
    py::object frame = as_frame(X);
    const auto n = py::len(frame.attr("columns"));
    if (!frame_in) types_found = column_types(frame);
    py::list types = feature_types_for(self, static_cast<py::ssize_t>(n), types_found);
    py::list categories;
    py::dict replaced;
    for (std::size_t j = 0; j < n; ++j) {
        if (types[j].cast<std::string>() != "categorical") {
            if (frame_in) check_numerical_column(frame, static_cast<py::ssize_t>(j));
            categories.append(py::none());
            continue;
        }
        py::object column = frame.attr(
            "iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
        py::object categorical = d.Categorical(column);
        categories.append(categorical.attr("categories").attr("tolist")());
        replaced[py::int_(j)] = codes_as_floats(categorical);
    }
    self.attr("feature_types_") = types;
    self.attr("categories_") = categories;
    return with_columns(frame, replaced);
}

// At prediction: the categorical columns as the codes of fit's categories. A label fit did not
// see is refused: XGBoost would route it as no category, which no effect accounts for.
py::object encode_prediction_table(py::handle self, py::handle X) {
    const Deps& d = deps();
    py::object categories = py::getattr(self, "categories_", py::none());
    if (categories.is_none() || !any_categorical(self.attr("feature_types_"))) {
        if (!is_frame(X) || !any_categorical(column_types(X)))
            return py::reinterpret_borrow<py::object>(X);
    }
    if (!is_frame(X) && d.np.attr("ndim")(X).cast<int>() != 2)
        return py::reinterpret_borrow<py::object>(X);
    py::object frame = as_frame(X);
    const auto n = py::len(frame.attr("columns"));
    if (categories.is_none() || n != py::len(categories))
        return frame;  // the feature count check says what is wrong
    py::dict replaced;
    for (std::size_t j = 0; j < n; ++j) {
        py::object labels = categories[py::int_(j)];
        if (labels.is_none()) continue;
        py::object column = frame.attr(
            "iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
        // Checked before the codes are made: pandas will refuse unknown labels there.
        py::object unseen = column.attr("notna")().attr("__and__")(
            column.attr("isin")(labels).attr("__invert__")());
        if (unseen.attr("any")().cast<bool>()) {
            py::object values = column.attr("to_numpy")()[unseen.attr("to_numpy")()];
            py::object shown = d.pd.attr("unique")(values)[py::slice(0, 5, 1)];
            bind::raise(PyExc_ValueError,
                        "feature " +
                            py::repr(self.attr("feature_names_")[py::int_(j)]).cast<std::string>() +
                            " (column " + column_label(frame, static_cast<py::ssize_t>(j)) +
                            ") holds categories unseen in fit: " +
                            py::repr(shown.attr("tolist")()).cast<std::string>());
        }
        replaced[py::int_(j)] =
            codes_as_floats(d.Categorical(column, py::arg("categories") = labels));
    }
    return with_columns(frame, replaced);
}

constexpr const char* kColumnTypesDoc = R"(The types a DataFrame's dtypes give its columns.

"categorical" for boolean, text, object and category columns, "numerical" for the others;
None when X is not a DataFrame (pandas or dask).
)";

constexpr const char* kEncodeDoc = R"(The table XGBoost and the effects read.

At fit (``reset=True``), sets ``categories_``: per feature, None for a numerical one, the
list of its categories for a categorical one (a category column's categories, else its
distinct values, sorted where they sort). A categorical column becomes the codes of its
categories (0 .. k-1, NaN for a missing value); a numerical one passes as it is. At
prediction the codes are those of fit's categories, and a category unseen in fit is refused.
A numerical array passes unchanged.

Parameters
----------
X : DataFrame or array-like of shape (n_samples, n_features)
reset : bool, default=False
    True at fit.
)";

constexpr const char* kTypesForDoc = R"(Each feature's type, checked.

feature_types when given (one entry per feature, each "numerical" or "categorical"), else
``column_types``, else "numerical" for all.

Parameters
----------
n_features : int
column_types : list of str or None, default=None
)";

}  // namespace

void add_table_methods(bind::ClassBuilder& base) {
    base.def_static("_column_types", kColumnTypesDoc, {required("X")},
                    [](const bind::Args& a) { return column_types(a["X"]); })
        .def("_encode_features", kEncodeDoc,
             {required("self"), required("X"), optional("reset", py::bool_(false))},
             [](const bind::Args& a) {
                 return a.truth("reset") ? encode_training_table(a.self(), a["X"])
                                         : encode_prediction_table(a.self(), a["X"]);
             })
        .def("_feature_types_for", kTypesForDoc,
             {required("self"), required("n_features"), optional("column_types")},
             [](const bind::Args& a) {
                 return feature_types_for(a.self(),
                                          static_cast<py::ssize_t>(a.integer("n_features")),
                                          a["column_types"]);
             });
}

}  // namespace movra::xgb2
