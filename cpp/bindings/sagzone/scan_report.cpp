// SagZoneScan.report: one self-contained HTML file of a scan. What it shows is gathered here: the
// data set's size, the settings, the ranked regions and the scan's figure, and for each top region
// its SagZone's table and marginal figure, and the features that shift most in its weak rows
// (PSI of every feature, counted in place over the data set by one kernel), with the
// distribution of the one that shifts most for the most severe region. movra.report lays it
// out. The regions' SagZones search the region's own columns only: the search reads no other,
// and copying every column of a large data set would cost more than the whole report.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/sagzone/display.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "core/columns.hpp"
#include "core/order.hpp"
#include "core/sample_shift.hpp"
#include "core/weak_sample.hpp"

namespace movra::sagzone {

namespace {

constexpr const char* kReportDoc = R"(Write the scan as one self-contained HTML file.

The file needs nothing else to open, print or send: figures are embedded as SVG data, the
styles are inline, and it runs no script and loads nothing over the network. It holds the data
set's size and the scan's settings, the ranked regions with their p- and q-values (significant
ones marked), the scan's figure, and for each of the ``top`` first regions its SagZone's table,
marginal figure and the features whose distribution shifts most in its weak rows (PSI against
the other rows of the searched split); for the most severe region, the distribution of the
feature that shifts most beside the region's own features. Figures and tables of regions only, never rows: a large data set
makes no larger a file. Feature names and category labels are shown as text, escaped.

Parameters
----------
path : str or os.PathLike
    The file to write (overwritten).
top : int, default=5
    The number of regions, most severe first, shown in detail.

Returns
-------
path
    The path given.
)";

py::object take_columns(const py::object& x, const py::list& cols) {
    if (py::hasattr(x, "iloc")) return x.attr("iloc")[py::make_tuple(py::slice(0, {}, {}), cols)];
    return deps().np.attr("take")(deps().np.attr("asarray")(x), cols, py::arg("axis") = 1);
}

py::object narrow(const py::object& values, const std::vector<std::int64_t>& cols) {
    if (values.is_none()) return py::none();
    py::list out;
    for (std::int64_t c : cols) out.append(values[py::int_(c)]);
    return std::move(out);
}

// The SagZone of the i-th region's features, searching a copy of those columns only (the same
// search as get_sagzone(i), whose data set would copy every column of both splits).
py::object region_sagzone(const py::object& self, std::int64_t i, std::vector<std::int64_t>& cols) {
    const py::object row = self.attr("results_").attr("iloc")[py::int_(i)];
    py::list features, positions;
    features.append(row["feature_1"]);
    if (!truthy(deps().pd.attr("isna")(row["feature_2"]))) features.append(row["feature_2"]);
    const py::list names(self.attr("feature_names"));
    for (py::handle f : features)
        for (std::size_t j = 0; j < names.size(); ++j)
            if (py::object(names[j]).equal(f)) cols.push_back(static_cast<std::int64_t>(j));
    for (std::int64_t c : cols) positions.append(c);
    py::dict settings;
    for (const char* name : {"task_type", "threshold", "method", "bins", "max_depth", "min_samples",
                             "metric", "use_test", "random_state"})
        settings[name] = self.attr(name);
    const py::object sz = deps().SagZone(self.attr("estimator"), features, **settings);
    for (const char* name : {"y", "train_idx", "test_idx", "sample_weight", "pred", "pred_proba",
                             "classes", "target_name", "predict_name"})
        sz.attr(name) = py::getattr(self, name, py::none());
    sz.attr("x") = take_columns(self.attr("x"), positions);
    sz.attr("coded_x") = take_columns(self.attr("coded_x"), positions);
    sz.attr("feature_names") = narrow(self.attr("feature_names"), cols);
    sz.attr("feature_types") = narrow(self.attr("feature_types"), cols);
    sz.attr("category_labels") = narrow(py::getattr(self, "category_labels", py::none()), cols);
    search_weak_regions(sz);
    return sz;
}

// The searched split's positions in the data set, and the positions in it of the weak rows.
struct WeakRows {
    bind::Index split;
    bind::Index weak;
};

WeakRows weak_rows(const py::object& self, const py::object& sz, std::size_t n_rows) {
    const bool test = truthy(sz.attr("use_test"));
    WeakRows w{bind::as_positions(self.attr(test ? "test_idx" : "train_idx"),
                                  test ? "test_idx" : "train_idx", n_rows),
               bind::new_index(0)};
    if (py::len(sz.attr("diag").attr("weak_region_stats")) > 0)
        w.weak = bind::as_positions(sz.attr("get_target_idx")(), "weak positions",
                                    static_cast<std::size_t>(w.split.size()));
    return w;
}

// The PSI of every feature between the weak rows and the other rows of the searched split.
std::vector<double> shift_of_features(const py::object& self, const bind::Vector& matrix,
                                      const WeakRows& w) {
    std::vector<bool> categorical;
    for (py::handle t : self.attr("feature_types"))
        categorical.push_back(py::str(t).cast<std::string>() == "categorical");
    const core::RowMajor x{matrix.data(), static_cast<std::size_t>(matrix.shape(0)),
                           static_cast<std::size_t>(matrix.shape(1))};
    // Reads arrays this call keeps alive; no Python objects are touched.
    py::gil_scoped_release release;
    return core::weak_sample_psi(x, bind::span(w.split), bind::span(w.weak), categorical, false);
}

// get_distance's result of these distances: the 10 largest, rounded to 4 decimals.
py::object distance_result(const py::object& self, const std::vector<double>& psi,
                           std::vector<std::size_t>& top) {
    top = core::largest_first({psi.data(), psi.size()}, 10);
    const py::list names(self.attr("feature_names"));
    py::list features;
    bind::Vector rounded = bind::new_vector(top.size());
    for (std::size_t k = 0; k < top.size(); ++k) {
        features.append(py::str(names[top[k]]));
        rounded.mutable_data()[k] = core::round_decimals(psi[top[k]], 4);
    }
    py::dict value;
    value["distance_metric"] = "PSI";
    value["title"] = "Distribution Shift: Weak vs Remaining Regions";
    value["x"] = features;
    value["y"] = rounded;
    return deps().TestDataResult(py::arg("key") = "resilience_shift_histogram",
                                 py::arg("value") = value);
}

// get_shift's result for one feature (its column alone): the other rows of the searched split,
// then the weak rows; a categorical feature by its labels.
py::object shift_result(const py::object& self, const bind::Vector& matrix, const WeakRows& w,
                        std::size_t feature) {
    const auto n_rows = static_cast<std::size_t>(matrix.shape(0));
    const auto n_cols = static_cast<std::size_t>(matrix.shape(1));
    const auto n_split = static_cast<std::size_t>(w.split.size());
    bind::Vector values = bind::new_vector(n_split);
    std::size_t n_weak = 0;
    {
        // Reads arrays this call keeps alive; no Python objects are touched.
        py::gil_scoped_release release;
        const std::vector<std::int64_t> reference =
            core::complement_positions(bind::span(w.weak), n_split);
        n_weak = n_split - reference.size();
        std::vector<double> column(n_rows);
        double* outputs[] = {column.data()};
        core::extract_columns({matrix.data(), n_rows, n_cols}, {&feature, 1}, outputs);
        double* out = values.mutable_data();
        core::gather_rows(column.data(), n_rows, 1, bind::span(w.split),
                          {reference.data(), reference.size()}, false, {out, reference.size()});
        core::gather_rows(column.data(), n_rows, 1, bind::span(w.split), bind::span(w.weak), false,
                          {out + reference.size(), n_weak});
    }
    const py::object np = deps().np, pd = deps().pd;
    const py::object type = self.attr("feature_types")[py::int_(feature)];
    const py::object name = self.attr("feature_names")[py::int_(feature)];
    py::object column = values;
    if (py::str(type).cast<std::string>() == "categorical") {
        const py::object codes = np.attr("nan_to_num")(values, py::arg("nan") = -1.0);
        column = pd.attr("Categorical")
                     .attr("from_codes")(
                         codes.attr("astype")("int64"),
                         py::arg("categories") = self.attr("category_labels")[py::int_(feature)]);
    }
    py::dict data;
    data[name] = column;
    data["resi_type_"] =
        pd.attr("Categorical")
            .attr("from_codes")(
                np.attr("repeat")(py::make_tuple(0, 1), py::make_tuple(n_split - n_weak, n_weak)),
                py::arg("categories") = py::make_tuple("Remaining Regions", "Weak Regions"));
    py::dict value;
    value["title"] = "Distribution Shift: Weak vs Remaining Regions";
    value["show_feature"] = name;
    value["feature_type"] = type;
    value["data"] = pd.attr("DataFrame")(data);
    return deps().TestDataResult(py::arg("key") = "sagzone_shift", py::arg("value") = value);
}

py::dict region_content(const py::object& self, const bind::Vector& matrix, std::int64_t i) {
    std::vector<std::int64_t> cols;
    const py::object sz = region_sagzone(self, i, cols);
    py::dict region;
    region["rank"] = i + 1;
    region["features"] = sz.attr("slice_features");
    region["zone"] = sagzone_display_content(sz);
    region["marginal"] = deps().plot_marginal_result(sz.attr("get_marginal")());
    const WeakRows w = weak_rows(self, sz, static_cast<std::size_t>(matrix.shape(0)));
    if (w.weak.size() == 0) return region;
    std::vector<std::size_t> top;
    const py::object distance = distance_result(self, shift_of_features(self, matrix, w), top);
    region["distance"] = distance;
    // The distribution of the feature that shifts most beyond the region's own (what the
    // region's features cannot say by themselves), for the most severe region: a figure costs
    // more to draw than anything else in the report.
    if (i > 0) return region;
    for (std::size_t f : top) {
        if (std::find(cols.begin(), cols.end(), static_cast<std::int64_t>(f)) != cols.end())
            continue;
        region["shift_figure"] = deps().plot_shift_result(shift_result(self, matrix, w, f));
        break;
    }
    return region;
}

py::dict data_facts(const py::object& self) {
    py::dict data;
    const std::size_t n = py::len(self.attr("y"));
    data["rows"] = n;
    data["features"] = py::len(self.attr("feature_names"));
    std::size_t categorical = 0;
    for (py::handle t : self.attr("feature_types"))
        categorical += py::str(t).cast<std::string>() == "categorical" ? 1 : 0;
    data["categorical"] = categorical;
    data["train"] = bind::as_positions(self.attr("train_idx"), "train_idx", n).size();
    data["test"] = bind::as_positions(self.attr("test_idx"), "test_idx", n).size();
    data["weighted"] = !self.attr("sample_weight").is_none();
    data["task_type"] = self.attr("task_type");
    data["model"] = py::type::handle_of(self.attr("estimator")).attr("__name__");
    return data;
}

py::object report(const Args& a) {
    const py::object& self = a.self();
    if (!py::hasattr(self, "results_"))
        bind::raise(deps().MovraError, "report needs a fitted SagZoneScan: call fit first.");
    const std::int64_t top = a.integer("top");
    if (top < 0) bind::raise(PyExc_ValueError, "top must be 0 or more.");
    py::dict content = scan_display_content(self);
    content["figure"] = self.attr("plot")();
    content["data"] = data_facts(self);
    const bind::Vector matrix = bind::as_matrix(self.attr("coded_x"), "coded_x");
    py::list regions;
    const auto n =
        std::min<std::int64_t>(top, static_cast<std::int64_t>(py::len(self.attr("results_"))));
    for (std::int64_t i = 0; i < n; ++i) regions.append(region_content(self, matrix, i));
    content["regions"] = regions;
    deps().write_scan_report(a["path"], content);
    return a["path"];
}

}  // namespace

void add_scan_report(bind::ClassBuilder& cls) {
    cls.def("report", kReportDoc,
            {required("self"), required("path"), optional("top", py::int_(5))}, report);
}

}  // namespace movra::sagzone
