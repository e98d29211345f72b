// Training input of the depth-2 estimators: scikit-learn's validation of X and y, then the
// sample weights cleaned in C++ (rows of non-positive weight removed, the rest rescaled to sum to
// the row count), then for the classifier the labels encoded as 0/1. The verdicts on the weights
// and the labels are methods of their own, which the cluster estimators call with what they
// reduce over partitions.
#include <cmath>
#include <cstdint>

#include "bindings/common/arrays.hpp"
#include "bindings/xgboost/estimator_methods.hpp"
#include "core/sample_weights.hpp"

namespace movra::xgb2 {

namespace {

// The table with its categorical features as codes, then scikit-learn's X/y validation, which
// lets missing values of X through (XGBoost routes them) and sets n_features_in_ (and
// feature_names_in_).
py::tuple validate_data(py::handle self, py::handle x, py::handle y, bool y_numeric) {
    const Deps& d = deps();
    py::object table = self.attr("_encode_features")(x, py::arg("reset") = true);
    py::dict options;
    options["y_numeric"] = y_numeric;
    options[py::str(d.finite_keyword)] = "allow-nan";
    py::object checked;
    if (!d.validate_data.is_none())
        checked = d.validate_data(self, table, y, **options);
    else
        checked = self.attr("_validate_data")(table, y, **options);
    return py::tuple(checked);
}

py::ssize_t n_rows(py::handle x) { return py::tuple(x.attr("shape"))[0].cast<py::ssize_t>(); }

constexpr const char* kInvalidWeight = "Invalid sample_weight";

// n values, or a column of n values: any other shape of weights is refused.
void check_weight_shape(py::ssize_t n, const py::object& shape) {
    const py::tuple dims(shape);
    const py::int_ rows(n);
    const bool column = dims.size() == 2 && py::object(dims[1]).equal(py::int_(1));
    if (!((dims.size() == 1 || column) && py::object(dims[0]).equal(rows)))
        bind::raise(PyExc_ValueError, "sample_weight shape mismatches the input");
}

// What a scan of the weights finds, in memory or summed over partitions.
struct WeightCounts {
    bool non_finite = false;     // a NaN or infinite weight
    py::ssize_t n_positive = 0;  // weights > 0: the rows that stay
    double positive_sum = 0.0;   // their sum (read only when the two above pass)
};

void check_weight_counts(const WeightCounts& counts) {
    if (counts.non_finite) bind::raise(PyExc_ValueError, kInvalidWeight);
    // scikit-learn's estimator checks look for "weight" and "zero" in the message.
    if (counts.n_positive == 0)
        bind::raise(PyExc_ValueError,
                    "Invalid sample_weight. The sample weights are all zero or negative.");
    if (!(std::isfinite(counts.positive_sum) && counts.positive_sum > 0))
        bind::raise(PyExc_ValueError, kInvalidWeight);
}

void check_rows_left(py::ssize_t n_kept) {
    if (n_kept == 1) bind::raise(PyExc_ValueError, "n_samples=1");
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
    if (sample_weight.is_none()) {
        check_rows_left(n);
        return {std::move(x), std::move(y), deps().np.attr("ones")(n)};
    }
    py::object given = deps().np.attr("asarray")(sample_weight);
    check_weight_shape(n, given.attr("shape"));
    bind::Vector weights = bind::as_vector(given.attr("reshape")(-1), "sample_weight");
    bind::Index kept_rows = bind::new_index(static_cast<std::size_t>(n));
    bind::Vector kept_weights = bind::new_vector(static_cast<std::size_t>(n));
    core::WeightSelection selection;
    {
        // The kernel reads and writes only these three arrays, which this call owns.
        py::gil_scoped_release release;
        selection = core::select_positive_weights(
            bind::span(weights), bind::mutable_span(kept_rows), bind::mutable_span(kept_weights));
    }
    WeightCounts counts;
    counts.non_finite = selection.status == core::WeightStatus::non_finite;
    counts.n_positive = static_cast<py::ssize_t>(selection.n_kept);
    if (selection.status == core::WeightStatus::ok) {
        if (counts.n_positive < n) {
            py::slice first_kept(0, counts.n_positive, 1);
            py::object rows = kept_rows[first_kept];
            x = x[rows];
            y = y[rows];
            kept_weights =
                bind::ensure_array<bind::Vector>(kept_weights[first_kept], "sample_weight");
        }
        counts.positive_sum = numpy_sum(kept_weights);
    }
    check_weight_counts(counts);
    core::WeightStatus status;
    {
        // Rescales this call's own array in place.
        py::gil_scoped_release release;
        status = core::rescale_to_row_count(bind::mutable_span(kept_weights), counts.positive_sum);
    }
    if (status != core::WeightStatus::ok) bind::raise(PyExc_ValueError, kInvalidWeight);
    check_rows_left(counts.n_positive);
    return {std::move(x), std::move(y), std::move(kept_weights)};
}

// LabelBinarizer fitted on the labels; exactly two classes are accepted.
void fit_labels(py::handle self, py::handle y) {
    py::object binarizer = deps().LabelBinarizer();
    self.attr("label_binarizer_") = binarizer;
    binarizer.attr("fit")(y);
    const auto n_classes = py::len(binarizer.attr("classes_"));
    if (n_classes >= 3)
        bind::raise(PyExc_ValueError,
                    "multi-classification not supported. Only binary classification is "
                    "supported.");
    if (n_classes == 1)
        bind::raise(PyExc_ValueError, "Classifier can't train when only one class is present.");
    // scikit-learn's scorers, calibration and checks look up a classifier's labels here.
    self.attr("classes_") = binarizer.attr("classes_");
}

py::object ravel_single_column(py::object y, bool warn) {
    if (y.attr("ndim").cast<int>() == 2 && py::tuple(y.attr("shape"))[1].cast<py::ssize_t>() == 1)
        return deps().column_or_1d(y, py::arg("warn") = warn);
    return y;
}

py::object check_training_rows(const bind::Args& a) {
    const auto n = static_cast<py::ssize_t>(a.integer("n_rows"));
    py::ssize_t n_kept = n;
    if (!a.is_none("weight_shape")) {
        check_weight_shape(n, a["weight_shape"]);
        WeightCounts counts;
        counts.non_finite = a.truth("non_finite");
        counts.n_positive = static_cast<py::ssize_t>(a.integer("n_positive"));
        counts.positive_sum = a.number("positive_sum");
        check_weight_counts(counts);
        n_kept = counts.n_positive;
    }
    check_rows_left(n_kept);
    return py::int_(n_kept);
}

constexpr const char* kCheckTrainingRowsDoc =
    R"(The number of training rows left by the sample weights, or an error.

The verdicts of fit, from what a scan of the weights finds (the in-memory estimator scans
them; a cluster estimator sums per-partition counts), in this order: weights of another
shape than n_rows values (or a column of them), a NaN or infinite weight, no positive
weight, a sum of the positive weights that is not a positive finite number, and a single
row left ("n_samples=1").

Parameters
----------
n_rows : int
    The number of training rows.
weight_shape : tuple or None, default=None
    The shape of the sample weights; None when there are none (every row stays).
non_finite : bool, default=False
    Whether a weight is NaN or infinite.
n_positive : int, default=0
    The number of positive weights.
positive_sum : float, default=0.0
    Their sum.

Returns
-------
int
    The rows of positive weight (n_rows without weights).
)";

constexpr const char* kFitLabelsDoc = R"(Fit the encoding of the two class labels.

Sets ``label_binarizer_`` (a LabelBinarizer fitted on y) and ``classes_``; refuses more
than two classes and a single one.

Parameters
----------
y : array-like of shape (n_samples,)
    The training labels, or only their distinct values.
)";

}  // namespace

void add_training_row_check(bind::ClassBuilder& base) {
    base.def(
        "_check_training_rows", kCheckTrainingRowsDoc,
        {bind::required("self"), bind::required("n_rows"), bind::optional("weight_shape"),
         bind::optional("non_finite", py::bool_(false)), bind::optional("n_positive", py::int_(0)),
         bind::optional("positive_sum", py::float_(0.0))},
        check_training_rows);
}

void add_label_encoding(bind::ClassBuilder& classifier) {
    classifier.def("_fit_labels", kFitLabelsDoc, {bind::required("self"), bind::required("y")},
                   [](const bind::Args& a) {
                       fit_labels(a.self(), a["y"]);
                       return py::none();
                   });
}

py::object validate_regressor_input(const bind::Args& a) {
    const py::object& self = a.self();
    py::tuple checked = validate_data(self, a["x"], a["y"], true);
    py::object x = checked[0];
    py::object y = ravel_single_column(checked[1], true);
    TrainingRows rows = select_weighted_rows(std::move(x), std::move(y), a["sample_weight"]);
    return py::make_tuple(rows.x, rows.y, rows.sample_weight);
}

py::object validate_classifier_input(const bind::Args& a) {
    const py::object& self = a.self();
    py::tuple checked = validate_data(self, a["x"], a["y"], false);
    py::object x = checked[0];
    py::object y = ravel_single_column(checked[1], false);
    TrainingRows rows = select_weighted_rows(std::move(x), std::move(y), a["sample_weight"]);
    fit_labels(self, rows.y);
    // transform gives an integer column of 0/1 in the order of classes_; XGBoost gets it as a
    // float vector.
    bind::Vector labels =
        bind::as_vector(self.attr("label_binarizer_").attr("transform")(rows.y), "y");
    return py::make_tuple(rows.x, labels, rows.sample_weight);
}

}  // namespace movra::xgb2
