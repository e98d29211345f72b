// Prediction of the fitted depth-2 estimators: the same input checks, then XGBoost's model; the
// classifier's labels and log-odds come from the positive-class probability in C++.
#include <cstdint>
#include <string>

#include "bindings/common/arrays.hpp"
#include "bindings/xgboost/estimator_methods.hpp"
#include "core/binary_labels.hpp"

namespace movra::xgb2 {

namespace {

// check_array, check_is_fitted, then the shape the model was fitted on.
py::object checked_prediction_input(py::handle self, py::handle X) {
    const Deps& d = deps();
    py::object checked = d.check_array(X);
    d.check_is_fitted(self);
    py::tuple shape(checked.attr("shape"));
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
    return checked;
}

// The positive-class column of self.predict_proba(X), as contiguous float64 (XGBoost's float32
// probabilities convert exactly).
bind::Vector positive_class_probability(py::handle self, py::handle X) {
    py::object proba = self.attr("predict_proba")(X);
    py::object column = proba[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1)];
    return bind::as_vector(column, "predict_proba(X)[:, 1]");
}

}  // namespace

py::object regressor_predict(const bind::Args& a) {
    py::object X = checked_prediction_input(a.self(), a["X"]);
    return a.self().attr("estimator_").attr("predict")(X);
}

py::object classifier_predict_proba(const bind::Args& a) {
    py::object X = checked_prediction_input(a.self(), a["X"]);
    return a.self().attr("estimator_").attr("predict_proba")(X);
}

py::object classifier_decision_function(const bind::Args& a) {
    bind::Vector proba = positive_class_probability(a.self(), a["X"]);
    bind::Vector log_odds = bind::new_vector(static_cast<std::size_t>(proba.size()));
    {
        // The kernel reads and writes only these two arrays, which this call owns.
        py::gil_scoped_release release;
        core::clipped_log_odds(bind::span(proba), 1e-7, 0.9999999, bind::mutable_span(log_odds));
    }
    return log_odds;
}

py::object classifier_predict(const bind::Args& a) {
    bind::Vector proba = positive_class_probability(a.self(), a["X"]);
    bind::Index positive = bind::new_index(static_cast<std::size_t>(proba.size()));
    {
        // The kernel reads and writes only these two arrays, which this call owns.
        py::gil_scoped_release release;
        // Strictly above one half: a probability of exactly 0.5 gives the first class.
        core::positive_class_indices(bind::span(proba), 0.5, bind::mutable_span(positive));
    }
    return a.self().attr("label_binarizer_").attr("inverse_transform")(positive);
}

}  // namespace movra::xgb2
