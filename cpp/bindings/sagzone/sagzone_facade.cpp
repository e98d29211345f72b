// SagZone: the user-facing weak-region diagnoser. BaseDiagnoser stores the data set; fit splits
// the rows, builds the slicer of `method` and keeps its region table.
#include <algorithm>
#include <cmath>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/display.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "bindings/sagzone/slicing_driver.hpp"
#include "core/region_stats.hpp"
#include "core/segment_search.hpp"

namespace movra::sagzone {

namespace {

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
    const py::object& self = a.self();
    deps().BaseDiagnoser.attr("__init__")(self, a["estimator"], a["task_type"], a["random_state"]);
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

// A slicing column may miss values (they are a segment of their own) but holds no infinite one
// (its bins would have no width).
void require_finite(py::handle self, py::handle matrix, const std::vector<std::int64_t>& columns,
                    FitColumns& fit_columns) {
    const py::list features(self.attr("slice_features"));
    const std::vector<FitColumns::Column> extracted = fit_columns.get(matrix, columns, "x");
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const FitColumns::Column& c = extracted[k];
        const core::ValueRange r =
            std::isnan(c.range.min) ? core::finite_range(bind::span(c.values)) : c.range;
        if (std::isinf(r.min) || std::isinf(r.max))
            bind::raise(deps().MovraError, "slicing feature " +
                                               py::repr(features[k]).cast<std::string>() +
                                               " holds infinite values.");
    }
}

// The split the slicer searches must hold rows.
void require_rows(py::handle rows, bool use_test) {
    if (py::len(rows) > 0) return;
    bind::raise(deps().MovraError,
                use_test ? "The test split has no rows (test_idx selects none): there is nothing "
                           "to search for weak regions."
                         : "The training split has no rows (train_idx selects none): there is "
                           "nothing to search for weak regions.");
}

// At most two distinct slicing features, whatever the method (a third would be dropped).
void require_at_most_two(py::handle features) {
    std::vector<py::object> distinct;
    for (py::handle f : features) {
        const auto same = [&](const py::object& g) { return g.equal(f); };
        if (std::none_of(distinct.begin(), distinct.end(), same))
            distinct.push_back(py::reinterpret_borrow<py::object>(f));
    }
    if (distinct.size() > 2)
        bind::raise(deps().MovraError, "Only Support at most two slicing features.");
}

}  // namespace

void search_weak_regions(py::handle self) {
    require_at_most_two(self.attr("slice_features"));
    const py::object slicer = make_slicer(self, self.attr("slice_features"));
    const std::vector<std::int64_t> columns =
        feature_columns(self.attr("slice_features"), self.attr("feature_names"), "slicing feature");
    // The searches read the coded matrix: numbers and category codes, NaN where missing.
    const py::object x = self.attr("coded_x"), y = self.attr("y");
    const py::object train_idx = self.attr("train_idx"), test_idx = self.attr("test_idx");
    const bool use_test = truthy(self.attr("use_test"));
    require_rows(use_test ? test_idx : train_idx, use_test);
    const py::object weights = self.attr("sample_weight");
    const py::object train_x = take(x, train_idx), test_x = take(x, test_idx);
    FitColumns fit_columns;  // the slicer reads the columns this check copies out
    require_finite(self, train_x, columns, fit_columns);
    require_finite(self, test_x, columns, fit_columns);
    self.attr("diag") = slicer;
    const py::object pred =
        truthy(slicer.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");
    const DriverCall call{train_x,
                          take(y, train_idx),
                          test_x,
                          take(y, test_idx),
                          take(pred, train_idx),
                          take(pred, test_idx),
                          self.attr("feature_names"),
                          use_test,
                          self.attr("use_test"),
                          take(weights, train_idx),
                          take(weights, test_idx),
                          self.attr("feature_types"),
                          py::getattr(self, "category_labels", py::none())};
    self.attr("output") = run_driver(slicer, call, fit_columns);
}

namespace {

// After a fit that failed, the stored data no longer match any slicer: the views refuse to run
// rather than mix the two. Called while an exception propagates, so it must not raise.
void forget_search(py::handle self) noexcept {
    for (const char* name : {"diag", "output"})
        if (PyObject_SetAttrString(self.ptr(), name, Py_None) != 0) PyErr_Clear();
}

py::object fit(const Args& a) {
    const py::object& self = a.self();
    deps().BaseDiagnoser.attr("fit")(self, a["x"], a["y"], a["train_idx"], a["test_idx"],
                                     a["prediction"], a["prediction_proba"], a["sample_weight"],
                                     a["feature_names"], a["feature_types"], a["target_name"],
                                     a["predict_name"]);
    try {
        search_weak_regions(self);
    } catch (...) {
        forget_search(self);
        throw;
    }
    return py::none();
}

py::object get_target_idx(const Args& a) {
    const py::object diag = fitted_slicer(a.self(), "get_target_idx");
    std::vector<std::int64_t> fidx;
    for (py::handle f : diag.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    if (fidx.size() > 2) fidx.resize(2);
    FitColumns fit_columns;
    const std::vector<FitColumns::Column> columns = fit_columns.get(diag.attr("x"), fidx, "x");
    // Closed at the searched split's maxima, as the table counted them.
    std::vector<double> maxima;
    for (const FitColumns::Column& c : columns) maxima.push_back(c.top());
    const std::vector<core::RegionBox> boxes = bind::region_boxes(
        diag.attr("weak_region_stats"), columns.size(), {maxima.data(), maxima.size()});
    std::vector<std::int64_t> positions;
    for (const core::RegionBox& box : boxes) {
        std::vector<std::int64_t> rows;
        {
            // Scans of buffers we hold references to; no Python objects are touched.
            py::gil_scoped_release release;
            rows = columns.size() == 1
                       ? core::rows_in_bound(bind::span(columns[0].values), box.first)
                       : core::rows_in_box(bind::span(columns[0].values), box.first,
                                           bind::span(columns[1].values), box.second);
        }
        positions.insert(positions.end(), rows.begin(), rows.end());
    }
    return bind::to_numpy(positions);
}

py::object get_result(const Args& a) {
    const py::object& self = a.self();
    const py::object diag = fitted_slicer(self, "get_result");
    py::dict value;
    for (const char* name : {"slice_features", "bins", "method", "min_samples", "metric"})
        value[name] = self.attr(name);
    value["threshold_value"] = diag.attr("threshold_value");
    value["data"] = self.attr("output");
    return deps().TestDataResult(py::arg("key") = "sagzone_result", py::arg("value") = value);
}

}  // namespace

py::object fitted_slicer(py::handle self, const char* method) {
    py::object diag = py::getattr(self, "diag", py::none());
    if (diag.is_none() || !py::hasattr(diag, "weak_region_stats"))
        bind::raise(deps().MovraError, std::string(method) +
                                           " needs a fitted SagZone: call fit first (a fit that "
                                           "failed leaves none).");
    return diag;
}

void register_sagzone(py::module_& m) {
    bind::ClassBuilder cls(m, "SagZone", py::make_tuple(deps().BaseDiagnoser), kDoc);
    cls.def(
        "__init__", "",
        {required("self"), required("estimator"), required("slice_features"), optional("task_type"),
         optional("threshold", py::float_(1.2)), optional("method", py::str("histogram")),
         optional("bins", py::int_(10)), optional("max_depth", py::int_(2)),
         optional("min_samples", py::int_(20)), optional("metric"),
         optional("use_test", py::bool_(false)), optional("random_state", py::int_(0))},
        init);
    cls.def("fit", "Fit sagzone diagnoser",
            {required("self"), required("x"), required("y"), required("train_idx"),
             required("test_idx"), optional("prediction"), optional("prediction_proba"),
             optional("sample_weight"), optional("feature_names"), optional("feature_types"),
             optional("target_name"), optional("predict_name")},
            fit);
    cls.def("_slicing_columns",
            "The column positions of slice_features among feature_names, in the order given;\n"
            "a MovraError for a slicing feature that is not one of them.\n\n"
            "Returns\n-------\nlist of int\n",
            {required("self")}, [](const Args& a) -> py::object {
                py::list columns;
                for (std::int64_t c :
                     feature_columns(a.self().attr("slice_features"),
                                     a.self().attr("feature_names"), "slicing feature"))
                    columns.append(c);
                return std::move(columns);
            });
    cls.def("get_target_idx", "Get sample index in Weak region", {required("self")},
            get_target_idx);
    cls.def("get_result", "Get sagzone result", {required("self")}, get_result);
    add_sagzone_views(cls);
    add_sagzone_display(cls);
    deps().SagZone = cls.finish();
}

}  // namespace movra::sagzone
