// Training input of the depth-2 estimators: scikit-learn's validation of X and y, then the
// sample weights cleaned in C++ (rows of non-positive weight removed, the rest rescaled to sum to
// the row count), then for the classifier the labels encoded as 0/1.
#include <cstdint>

#include "bindings/common/arrays.hpp"
#include "bindings/xgboost/estimator_methods.hpp"
#include "core/sample_weights.hpp"

namespace movra::xgb2 {

namespace {

// scikit-learn's X/y validation; it also sets n_features_in_ (and feature_names_in_).
py::tuple validate_data(py::handle self, py::handle x, py::handle y, bool y_numeric) {
    const Deps& d = deps();
    py::object checked;
    if (!d.validate_data.is_none())
        checked = d.validate_data(self, x, y, py::arg("y_numeric") = y_numeric);
    else
        checked = self.attr("_validate_data")(x, y, py::arg("y_numeric") = y_numeric);
    return py::tuple(checked);
}

py::ssize_t n_rows(py::handle x) { return py::tuple(x.attr("shape"))[0].cast<py::ssize_t>(); }

// A (n, 1) column counts as n values; any other shape than n values is refused.
bind::Vector weights_of_rows(py::handle sample_weight, py::ssize_t n) {
    py::array weights = deps().np.attr("asarray")(sample_weight);
    if (weights.ndim() == 2 && weights.shape(1) == 1) weights = weights.attr("reshape")(-1);
    if (weights.ndim() != 1 || weights.shape(0) != n)
        bind::raise(PyExc_ValueError, "sample_weight shape mismatches the input");
    return bind::as_vector(weights, "sample_weight");
}

struct TrainingRows {
    py::object x;
    py::object y;
    py::object sample_weight;
};

// numpy's own sum of the kept weights: its summation order changed between releases, and the
// rescaled weights must equal `n * w / np.sum(w)` bit for bit on the installed numpy. An overflow
// to infinity is refused afterwards, so numpy's warning about it is silenced.
double numpy_sum(const bind::Vector& weights) {
    const Deps& d = deps();
    py::object quiet = d.np.attr("errstate")(py::arg("over") = "ignore");
    quiet.attr("__enter__")();
    py::object total;
    try {
        total = d.np.attr("sum")(weights);
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    return total.cast<double>();
}

// Drops the rows of non-positive weight and rescales the others to sum to their count.
TrainingRows select_weighted_rows(py::object x, py::object y, py::handle sample_weight) {
    const py::ssize_t n = n_rows(x);
    if (sample_weight.is_none()) return {std::move(x), std::move(y), deps().np.attr("ones")(n)};

    bind::Vector weights = weights_of_rows(sample_weight, n);
    bind::Index kept_rows = bind::new_index(static_cast<std::size_t>(n));
    bind::Vector kept_weights = bind::new_vector(static_cast<std::size_t>(n));
    core::WeightSelection selection;
    {
        // The kernel reads and writes only these three arrays, which this call owns.
        py::gil_scoped_release release;
        selection = core::select_positive_weights(
            bind::span(weights), bind::mutable_span(kept_rows), bind::mutable_span(kept_weights));
    }
    // scikit-learn's estimator checks look for "weight" and "zero" in the message.
    if (selection.status == core::WeightStatus::no_positive_weight)
        bind::raise(PyExc_ValueError,
                    "Invalid sample_weight. The sample weights are all zero or negative.");
    if (selection.status != core::WeightStatus::ok)
        bind::raise(PyExc_ValueError, "Invalid sample_weight");

    const auto n_kept = static_cast<py::ssize_t>(selection.n_kept);
    if (n_kept < n) {
        py::slice first_kept(0, n_kept, 1);
        py::object rows = kept_rows[first_kept];
        x = x[rows];
        y = y[rows];
        kept_weights = bind::ensure_array<bind::Vector>(kept_weights[first_kept], "sample_weight");
    }
    const double total = numpy_sum(kept_weights);
    core::WeightStatus status;
    {
        // Rescales this call's own array in place.
        py::gil_scoped_release release;
        status = core::rescale_to_row_count(bind::mutable_span(kept_weights), total);
    }
    if (status != core::WeightStatus::ok) bind::raise(PyExc_ValueError, "Invalid sample_weight");
    return {std::move(x), std::move(y), std::move(kept_weights)};
}

void require_more_than_one_row(py::handle x) {
    if (n_rows(x) == 1) bind::raise(PyExc_ValueError, "n_samples=1");
}

py::object ravel_single_column(py::object y, bool warn) {
    if (y.attr("ndim").cast<int>() == 2 && py::tuple(y.attr("shape"))[1].cast<py::ssize_t>() == 1)
        return deps().column_or_1d(y, py::arg("warn") = warn);
    return y;
}

}  // namespace

py::object validate_regressor_input(const bind::Args& a) {
    const py::object& self = a.self();
    py::tuple checked = validate_data(self, a["x"], a["y"], true);
    py::object x = checked[0];
    py::object y = ravel_single_column(checked[1], true);
    TrainingRows rows = select_weighted_rows(std::move(x), std::move(y), a["sample_weight"]);
    require_more_than_one_row(rows.x);
    return py::make_tuple(rows.x, rows.y, rows.sample_weight);
}

py::object validate_classifier_input(const bind::Args& a) {
    const Deps& d = deps();
    const py::object& self = a.self();
    py::tuple checked = validate_data(self, a["x"], a["y"], false);
    py::object x = checked[0];
    py::object y = ravel_single_column(checked[1], false);
    TrainingRows rows = select_weighted_rows(std::move(x), std::move(y), a["sample_weight"]);
    require_more_than_one_row(rows.x);

    py::object binarizer = d.LabelBinarizer();
    self.attr("label_binarizer_") = binarizer;
    binarizer.attr("fit")(rows.y);
    const auto n_classes = py::len(binarizer.attr("classes_"));
    if (n_classes >= 3)
        bind::raise(PyExc_ValueError,
                    "multi-classification not supported. Only binary classification is "
                    "supported.");
    if (n_classes == 1)
        bind::raise(PyExc_ValueError, "Classifier can't train when only one class is present.");
    // scikit-learn's scorers, calibration and checks look up a classifier's labels here.
    self.attr("classes_") = binarizer.attr("classes_");
    // transform gives an integer column of 0/1 in the order of classes_; XGBoost gets it as a
    // float vector.
    bind::Vector labels = bind::as_vector(binarizer.attr("transform")(rows.y), "y");
    return py::make_tuple(rows.x, labels, rows.sample_weight);
}

}  // namespace movra::xgb2
