// SagZone: the user-facing weak-region diagnoser. BaseDiagnoser stores the data set; fit splits
// the rows, builds the slicer of `method` and keeps its region table.
#include <cmath>

#include "bindings/sagzone/slicing_common.hpp"
#include "core/numeric_checks.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

namespace {

using bind::Args;
using bind::optional;
using bind::required;

constexpr const char* kDoc =
    "Sagzone Test\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator : object\n"
    "    The model to diagnose.\n"
    "slice_features : list of str\n"
    "    One or two feature names to slice on.\n"
    "task_type : {\"regression\", \"classification\"}, default=None\n"
    "    The task; None infers it from the estimator.\n"
    "threshold : float, default=1.2\n"
    "    The factor that sets the minimal performance gap for a weak region.\n"
    "method : {\"histogram\", \"tree\"}, default=\"histogram\"\n"
    "    \"histogram\": equal-space binning; \"tree\": regions from a decision tree.\n"
    "bins : int, default=10\n"
    "    The number of bins for histogram slicing.\n"
    "max_depth : int, default=2\n"
    "    The tree depth for tree slicing.\n"
    "min_samples : int, default=20\n"
    "    The minimal sample size of a selected region.\n"
    "metric : str, default=None\n"
    "    The scoring metric (None is \"MSE\").\n"
    "use_test : bool, default=False\n"
    "    Search weak regions on the test rows instead of the training rows.\n"
    "random_state : int, default=0\n"
    "    The random seed, passed to the base class.\n";

py::object init(const Args& a) {
    py::object self = a[std::size_t{0}];
    deps().BaseDiagnoser.attr("__init__")(self, a["estimator"], a["task_type"],
                                          a["random_state"]);
    for (const char* name : {"slice_features", "threshold", "method", "bins", "max_depth",
                             "min_samples", "metric", "use_test", "random_state"})
        self.attr(name) = a[name];
    self.attr("diag") = py::none();
    self.attr("output") = py::none();
    return py::none();
}

py::object take(py::handle values, py::handle rows) {
    if (values.is_none()) return py::none();
    return values.attr("__getitem__")(rows);
}

// Every slicing feature must name a column, and that column must be finite on the given rows.
std::vector<std::int64_t> slicing_feature_columns(py::handle self) {
    py::list names = py::list(self.attr("feature_names"));
    std::vector<std::int64_t> columns;
    for (py::handle feature : self.attr("slice_features")) {
        bool found = false;
        for (std::size_t i = 0; i < names.size() && !found; ++i)
            if (py::object(names[i]).equal(py::reinterpret_borrow<py::object>(feature))) {
                columns.push_back(static_cast<std::int64_t>(i));
                found = true;
            }
        if (!found)
            bind::raise(deps().MovraError,
                        "slicing feature " + py::repr(feature).cast<std::string>() +
                            " is not one of the feature names.");
    }
    return columns;
}

void require_finite(py::handle self, py::handle matrix, const std::vector<std::int64_t>& columns) {
    py::list features = py::list(self.attr("slice_features"));
    // Extracted into the fit's column scope: the slicer reuses them.
    const std::vector<bind::Vector> extracted = slicing_columns(matrix, columns, "x");
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const bind::Vector& column = extracted[k];
        // The range found during extraction: finite bounds mean every value is finite.
        const std::optional<core::ValueRange> range = cached_range(column);
        const bool finite = range ? std::isfinite(range->min) && std::isfinite(range->max)
                                  : core::first_non_finite(bind::span(column)) ==
                                        static_cast<std::size_t>(column.size());
        if (!finite)
            bind::raise(deps().MovraError,
                        "slicing feature " + py::repr(features[k]).cast<std::string>() +
                            " holds NaN or infinite values.");
    }
}

py::object fit(const Args& a) {
    py::object self = a[std::size_t{0}];
    deps().BaseDiagnoser.attr("fit")(self, a["x"], a["y"], a["train_idx"], a["test_idx"],
                                     a["prediction"], a["prediction_proba"], a["sample_weight"],
                                     a["feature_names"], a["feature_types"], a["target_name"],
                                     a["predict_name"]);
    py::object method = self.attr("method");
    py::object module = py::module_::import("movra.diagnoser.sagzone");
    py::object slicer;
    if (method.equal(py::str("tree"))) {
        slicer = module.attr("TreeSlicing")(
            py::arg("estimator") = self.attr("estimator"),
            py::arg("slice_features") = self.attr("slice_features"),
            py::arg("task_type") = self.attr("task_type"),
            py::arg("threshold") = self.attr("threshold"),
            py::arg("max_depth") = self.attr("max_depth"),
            py::arg("min_samples") = self.attr("min_samples"),
            py::arg("metric") = self.attr("metric"));
    } else if (method.equal(py::str("histogram"))) {
        slicer = module.attr("HistogramSlicing")(
            py::arg("estimator") = self.attr("estimator"),
            py::arg("slice_features") = self.attr("slice_features"),
            py::arg("task_type") = self.attr("task_type"),
            py::arg("threshold") = self.attr("threshold"),
            py::arg("min_samples") = self.attr("min_samples"), py::arg("bins") = self.attr("bins"),
            py::arg("metric") = self.attr("metric"));
    } else {
        bind::raise(deps().MovraError, "sagzone method should be either histogram or tree.");
    }
    const std::vector<std::int64_t> columns = slicing_feature_columns(self);

    py::object x = self.attr("x"), y = self.attr("y");
    py::object train_idx = self.attr("train_idx"), test_idx = self.attr("test_idx");
    py::object weights = self.attr("sample_weight");
    py::object train_x = take(x, train_idx), test_x = take(x, test_idx);
    ColumnScope columns_of_this_fit;
    require_finite(self, train_x, columns);
    require_finite(self, test_x, columns);
    self.attr("diag") = slicer;
    py::object pred = truthy(slicer.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");
    self.attr("output") = slicer.attr("fit")(
        py::arg("train_x") = train_x, py::arg("train_y") = take(y, train_idx),
        py::arg("test_x") = test_x, py::arg("test_y") = take(y, test_idx),
        py::arg("train_pred") = take(pred, train_idx), py::arg("test_pred") = take(pred, test_idx),
        py::arg("train_sample_weight") = take(weights, train_idx),
        py::arg("test_sample_weight") = take(weights, test_idx),
        py::arg("feature_names") = self.attr("feature_names"),
        py::arg("use_test") = self.attr("use_test"));
    return py::none();
}

py::object get_target_idx(const Args& a) {
    py::object diag = a[std::size_t{0}].attr("diag");
    std::vector<std::int64_t> fidx;
    for (py::handle f : diag.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    if (fidx.size() > 2) fidx.resize(2);
    const bind::Vector matrix = bind::as_matrix(diag.attr("x"), "x");
    std::vector<bind::Vector> columns;
    for (std::int64_t c : fidx) columns.push_back(column_of(matrix, c, "x"));
    std::vector<std::int64_t> positions;
    for (py::handle region : diag.attr("weak_region_stats")) {
        // Upper bounds are open here, on both features.
        std::vector<core::Bound> bounds;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const std::string i = std::to_string(k + 1);
            core::Bound b;
            b.lb = py::float_(region[py::str("lb" + i)]).cast<double>();
            b.ub = py::float_(region[py::str("ub" + i)]).cast<double>();
            bounds.push_back(b);
        }
        std::vector<std::int64_t> rows;
        {
            // Scans of buffers we hold references to; no Python objects are touched.
            py::gil_scoped_release release;
            rows = columns.size() == 1
                       ? core::rows_in_bound(bind::span(columns[0]), bounds[0])
                       : core::rows_in_box(bind::span(columns[0]), bounds[0],
                                           bind::span(columns[1]), bounds[1]);
        }
        positions.insert(positions.end(), rows.begin(), rows.end());
    }
    return to_positions(positions);
}

py::object get_result(const Args& a) {
    py::object self = a[std::size_t{0}];
    py::dict value;
    for (const char* name : {"slice_features", "bins", "method", "min_samples", "metric"})
        value[name] = self.attr(name);
    value["threshold_value"] = self.attr("diag").attr("threshold_value");
    value["data"] = self.attr("output");
    return deps().TestDataResult(py::arg("key") = "sagzone_result", py::arg("value") = value);
}

}  // namespace

void register_sagzone(py::module_& m) {
    bind::ClassBuilder cls(m, "SagZone", py::make_tuple(deps().BaseDiagnoser), kDoc);
    cls.def("__init__", "",
            {required("self"), required("estimator"), required("slice_features"),
             optional("task_type"), optional("threshold", py::float_(1.2)),
             optional("method", py::str("histogram")), optional("bins", py::int_(10)),
             optional("max_depth", py::int_(2)), optional("min_samples", py::int_(20)),
             optional("metric"), optional("use_test", py::bool_(false)),
             optional("random_state", py::int_(0))},
            init);
    cls.def("fit", "Fit sagzone diagnoser",
            {required("self"), required("x"), required("y"), required("train_idx"),
             required("test_idx"), optional("prediction"), optional("prediction_proba"),
             optional("sample_weight"), optional("feature_names"), optional("feature_types"),
             optional("target_name"), optional("predict_name")},
            fit);
    cls.def("get_target_idx", "Get sample index in Weak region", {required("self")},
            get_target_idx);
    cls.def("get_result", "Get sagzone result", {required("self")}, get_result);
    add_sagzone_views(cls);
    cls.finish();
}

}  // namespace movra::sagzone
