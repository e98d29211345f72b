// Prediction of the fitted depth-2 estimators: the same input checks, then XGBoost's model; the
// classifier's labels and log-odds come from the positive-class probability in C++.
#include <cstdint>
#include <string>

#include "bindings/common/arrays.hpp"
#include "bindings/xgboost/estimator_methods.hpp"
#include "core/binary_labels.hpp"

namespace movra::xgb2 {

namespace {

// Fitted, with a DataFrame's columns those of fit, two-dimensional, with the number of features
// of fit.
void check_prediction_input(py::handle self, py::handle X) {
    const Deps& d = deps();
    d.check_is_fitted(self);
    check_prediction_columns(self, X);
    py::tuple shape(X.attr("shape"));
    if (shape.size() != 2) bind::raise(PyExc_ValueError, "Reshape your data.");
    py::object n_features_in = self.attr("n_features_in_");
    if (py::object(shape[1]).not_equal(n_features_in)) {
        // Our sentence, then scikit-learn's own wording, which its estimator checks look for.
        const std::string class_name =
            py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
        bind::raise(PyExc_ValueError,
                    "The number of features in predict is\n" + std::string(21, ' ') +
                        "different from the number of features in fit. X has " +
                        py::str(shape[1]).cast<std::string>() + " features, but " + class_name +
                        " is expecting " + py::str(n_features_in).cast<std::string>() +
                        " features as input.");
    }
}

// The checks above on a DataFrame's columns first (check_array drops them), then on the array
// with categorical features as codes and missing values as NaN.
py::object checked_prediction_input(py::handle self, py::handle X) {
    const Deps& d = deps();
    d.check_is_fitted(self);
    check_prediction_columns(self, X);
    py::object table = self.attr("_encode_features")(X);
    py::dict options;
    options[py::str(d.finite_keyword)] = "allow-nan";
    py::object checked = d.check_array(table, **options);
    check_prediction_input(self, checked);
    return checked;
}

constexpr const char* kCheckPredictionInputDoc = R"(Check the input of a prediction.

Raises NotFittedError before fit, and ValueError when X is a DataFrame whose columns are
not those of fit (named as scikit-learn names them), is not two-dimensional, or has another
number of features than in fit.

Parameters
----------
X : object with a ``shape``
    The input samples (already converted to an array, or a table).
)";

// The positive-class column of predict_proba's output, as contiguous float64 (XGBoost's float32
// probabilities convert exactly).
bind::Vector positive_class_probability(py::handle proba) {
    py::object column = proba[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1)];
    return bind::as_vector(column, "predict_proba(X)[:, 1]");
}

py::object log_odds_of(py::handle proba_given) {
    bind::Vector proba = positive_class_probability(proba_given);
    bind::Vector log_odds = bind::new_vector(static_cast<std::size_t>(proba.size()));
    {
        // The kernel reads and writes only these two arrays, which this call owns.
        py::gil_scoped_release release;
        core::clipped_log_odds(bind::span(proba), 1e-7, 0.9999999, bind::mutable_span(log_odds));
    }
    return log_odds;
}

py::object labels_of(py::handle proba_given, py::handle label_binarizer) {
    bind::Vector proba = positive_class_probability(proba_given);
    bind::Index positive = bind::new_index(static_cast<std::size_t>(proba.size()));
    {
        // The kernel reads and writes only these two arrays, which this call owns.
        py::gil_scoped_release release;
        // Strictly above one half: a probability of exactly 0.5 gives the first class.
        core::positive_class_indices(bind::span(proba), 0.5, bind::mutable_span(positive));
    }
    return label_binarizer.attr("inverse_transform")(positive);
}

constexpr const char* kLogOddsDoc = R"(Log-odds of the second class from class probabilities.

The probability is clipped to [1e-7, 1 - 1e-7] first, so the values are finite.

Parameters
----------
proba : array-like of shape (n_samples, 2)
    predict_proba's output.
)";

constexpr const char* kLabelsOfDoc = R"(Class labels from class probabilities.

The second class where its probability is strictly above 0.5.

Parameters
----------
proba : array-like of shape (n_samples, 2)
    predict_proba's output.
label_binarizer : LabelBinarizer
    The fitted encoding of the two labels (``label_binarizer_``).
)";

}  // namespace

void add_prediction_input_check(bind::ClassBuilder& base) {
    base.def("_check_prediction_input", kCheckPredictionInputDoc,
             {bind::required("self"), bind::required("X")}, [](const bind::Args& a) {
                 check_prediction_input(a.self(), a["X"]);
                 return py::none();
             });
}

void add_probability_readings(bind::ClassBuilder& classifier) {
    classifier
        .def_static("_log_odds", kLogOddsDoc, {bind::required("proba")},
                    [](const bind::Args& a) { return log_odds_of(a["proba"]); })
        .def_static(
            "_labels_of", kLabelsOfDoc,
            {bind::required("proba"), bind::required("label_binarizer")},
            [](const bind::Args& a) { return labels_of(a["proba"], a["label_binarizer"]); });
}

py::object regressor_predict(const bind::Args& a) {
    py::object X = checked_prediction_input(a.self(), a["X"]);
    return a.self().attr("estimator_").attr("predict")(X);
}

py::object classifier_predict_proba(const bind::Args& a) {
    py::object X = checked_prediction_input(a.self(), a["X"]);
    return a.self().attr("estimator_").attr("predict_proba")(X);
}

py::object classifier_decision_function(const bind::Args& a) {
    return log_odds_of(a.self().attr("predict_proba")(a["X"]));
}

py::object classifier_predict(const bind::Args& a) {
    const py::object& self = a.self();
    py::object proba = self.attr("predict_proba")(a["X"]);
    return labels_of(proba, self.attr("label_binarizer_"));
}

}  // namespace movra::xgb2
