// How a SagZone and a SagZoneScan show themselves: a short __repr__, and a notebook fragment
// (_repr_html_) laid out by movra.report.display from what the fit holds: the settings, the
// region table, and the sentence a validator would write, whose counts and averages are measured
// here on the test rows.
#include "bindings/sagzone/display.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/sagzone/fit_columns.hpp"
#include "bindings/sagzone/scan_table.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

namespace {

std::string repr_of(py::handle obj) { return py::repr(obj).cast<std::string>(); }

// The weak regions of a fitted SagZone measured together on the test rows: how many rows they
// hold and their score, against the score of all test rows.
struct WeakSummary {
    std::size_t rows = 0;
    double weak = 0.0;
    double overall = 0.0;
};

// The test rows inside any weak region, as positions among the test rows (the regions do not
// overlap), closed at the searched split's maxima as the table counted them.
std::vector<std::int64_t> weak_test_rows(const py::object& self, const py::object& diag,
                                         const bind::Index& test) {
    std::vector<std::int64_t> fidx;
    for (py::handle f : diag.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    if (fidx.size() > 2) fidx.resize(2);
    FitColumns searched, all;
    std::vector<double> maxima;
    for (const FitColumns::Column& c : searched.get(diag.attr("x"), fidx, "x"))
        maxima.push_back(c.top());
    std::vector<bind::Vector> columns;
    const std::vector<std::int64_t> positions(test.data(), test.data() + test.size());
    for (const FitColumns::Column& c : all.get(self.attr("coded_x"), fidx, "coded_x"))
        columns.push_back(bind::gather_array(bind::span(c.values), positions));
    const std::vector<core::RegionBox> boxes = bind::region_boxes(
        diag.attr("weak_region_stats"), columns.size(), {maxima.data(), maxima.size()});
    std::vector<std::int64_t> rows;
    for (const core::RegionBox& box : boxes) {
        std::vector<std::int64_t> inside;
        {
            // Scans of buffers held above; no Python objects are touched.
            py::gil_scoped_release release;
            inside = columns.size() == 1 ? core::rows_in_bound(bind::span(columns[0]), box.first)
                                         : core::rows_in_box(bind::span(columns[0]), box.first,
                                                             bind::span(columns[1]), box.second);
        }
        rows.insert(rows.end(), inside.begin(), inside.end());
    }
    return rows;
}

WeakSummary weak_summary(const py::object& self, const py::object& diag) {
    const bind::Vector y_all = bind::as_vector(self.attr("y"), "y");
    const auto n = static_cast<std::size_t>(y_all.size());
    const bind::Index test = bind::as_positions(self.attr("test_idx"), "test_idx", n);
    const std::vector<std::int64_t> positions(test.data(), test.data() + test.size());
    const std::vector<std::int64_t> rows = weak_test_rows(self, diag, test);
    const Scoring scoring = scoring_of(diag);
    const py::object pred = self.attr(truthy(diag.attr("needs_proba")) ? "pred_proba" : "pred");
    const bind::Vector y = bind::gather_array(bind::span(y_all), positions);
    const bind::Vector preds =
        bind::gather_array(bind::span(bind::as_vector_of_length(pred, "pred", n)), positions);
    std::optional<bind::Vector> weights;
    if (!self.attr("sample_weight").is_none())
        weights = bind::gather_array(
            bind::span(bind::as_vector_of_length(self.attr("sample_weight"), "sample_weight", n)),
            positions);
    WeakSummary out;
    out.rows = rows.size();
    if (scoring.additive) {
        const bind::Vector scores =
            bind::as_vector_of_length(scoring.func(y, preds), "scores", positions.size());
        const core::RegionMoments weak =
            core::moments_at(bind::span(scores), span_or_empty(weights), rows.data(), rows.size());
        const core::RegionMoments all =
            core::moments_all(bind::span(scores), span_or_empty(weights));
        out.weak = core::average_score(weak, weights.has_value(), core::ZeroWeights::kZeroSum);
        out.overall = core::average_score(all, weights.has_value(), core::ZeroWeights::kZeroSum);
        return out;
    }
    std::vector<std::int64_t> every(positions.size());
    std::iota(every.begin(), every.end(), std::int64_t{0});
    out.weak = call_set_score(scoring.func, y, preds, weights, rows);
    out.overall = call_set_score(scoring.func, y, preds, weights, every);
    return out;
}

py::list settings_of(const py::object& self, std::initializer_list<const char*> names) {
    py::list pairs;
    const bool tree = py::object(self.attr("method")).equal(py::str("tree"));
    for (const char* name : names) {
        // A histogram search has no depth, a tree no bins.
        if (std::string(name) == (tree ? "bins" : "max_depth")) continue;
        pairs.append(py::make_tuple(name, self.attr(name)));
    }
    return pairs;
}

py::dict sagzone_summary(const py::object& self, const py::object& diag) {
    py::dict summary;
    summary["regions"] = py::len(diag.attr("weak_region_stats"));
    summary["score_name"] = diag.attr("score_name");
    summary["split"] = truthy(diag.attr("use_test")) ? "test" : "training";
    summary["min_samples"] = self.attr("min_samples");
    summary["threshold"] = self.attr("threshold");
    summary["threshold_value"] = diag.attr("threshold_value");
    if (py::len(diag.attr("weak_region_stats")) == 0) return summary;
    try {
        const WeakSummary s = weak_summary(self, diag);
        summary["rows"] = s.rows;
        summary["weak"] = s.weak;
        summary["overall"] = s.overall;
    } catch (py::error_already_set&) {
        // Rows kept elsewhere (a cluster's): the sentence goes without the test rows' numbers.
    }
    return summary;
}

py::dict sagzone_content(const py::object& self) {
    py::dict content;
    content["class"] = py::type::handle_of(self).attr("__name__");
    content["settings"] = settings_of(
        self, {"method", "threshold", "bins", "max_depth", "min_samples", "metric", "use_test"});
    content["features"] = self.attr("slice_features");
    const py::object diag = py::getattr(self, "diag", py::none());
    if (!py::hasattr(self, "coded_x")) {
        content["state"] = "unfitted";
        content["reason"] =
            "not fitted yet: call fit(x, y, train_idx, test_idx) to search for "
            "weak regions.";
    } else if (diag.is_none() || !py::hasattr(diag, "weak_region_stats")) {
        content["state"] = "failed";
        content["reason"] =
            "its last fit failed, so there are no weak regions to show: fit it "
            "again.";
    } else {
        content["state"] = "fitted";
        content["table"] = self.attr("output");
        content["summary"] = sagzone_summary(self, diag);
    }
    return content;
}

py::object sagzone_repr(const Args& a) {
    const py::object& self = a.self();
    std::string text = py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                       "(slice_features=" + repr_of(self.attr("slice_features")) +
                       ", method=" + repr_of(self.attr("method")) +
                       ", metric=" + repr_of(self.attr("metric")) +
                       ", threshold=" + repr_of(self.attr("threshold")) + ")";
    const py::object diag = py::getattr(self, "diag", py::none());
    if (!py::hasattr(self, "coded_x"))
        text += ": not fitted";
    else if (diag.is_none() || !py::hasattr(diag, "weak_region_stats"))
        text += ": its last fit failed";
    else {
        const std::size_t k = py::len(diag.attr("weak_region_stats"));
        text += ": " + std::to_string(k) + " weak region" + (k == 1 ? "" : "s");
    }
    return py::str(text);
}

py::dict scan_content(const py::object& self, bool with_figure) {
    py::dict content;
    content["class"] = py::type::handle_of(self).attr("__name__");
    content["settings"] = settings_of(self, {"metric", "method", "threshold", "bins", "max_depth",
                                             "min_samples", "use_test", "pairs", "alpha"});
    if (!py::hasattr(self, "results_")) {
        content["state"] = "unfitted";
        content["reason"] =
            "not fitted yet: call fit(x, y, train_idx, test_idx) to scan every "
            "feature and pair.";
        return content;
    }
    const py::object results = self.attr("results_");
    content["state"] = "fitted";
    content["results"] = results;
    content["score_name"] = py::str(make_probe(self).attr("score_name"));
    content["alpha"] = self.attr("alpha");
    content["n_features"] = py::len(self.attr("scanned_features_"));
    content["n_pairs"] = py::len(self.attr("scanned_pairs_"));
    content["n_regions"] = py::len(results);
    content["n_significant"] = py::int_(results["significant"].attr("sum")());
    if (with_figure) content["figure"] = self.attr("plot")();
    return content;
}

py::object scan_repr(const Args& a) {
    const py::object& self = a.self();
    std::string text = py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                       "(metric=" + repr_of(self.attr("metric")) +
                       ", method=" + repr_of(self.attr("method")) +
                       ", threshold=" + repr_of(self.attr("threshold")) +
                       ", alpha=" + repr_of(self.attr("alpha")) + ")";
    if (!py::hasattr(self, "results_")) return py::str(text + ": not fitted");
    const py::object results = self.attr("results_");
    text += ": " + std::to_string(py::len(self.attr("scanned_features_"))) + " features and " +
            std::to_string(py::len(self.attr("scanned_pairs_"))) + " pairs scanned, " +
            std::to_string(py::len(results)) + " regions (" +
            std::to_string(py::int_(results["significant"].attr("sum")()).cast<long long>()) +
            " significant)";
    return py::str(text);
}

}  // namespace

py::object displayed(py::handle self, const std::function<py::object()>& build) {
    std::string reason;
    try {
        return build();
    } catch (py::error_already_set& e) {
        reason = e.what();
    } catch (std::exception& e) {
        reason = e.what();
    }
    const std::string name = py::str(py::type::handle_of(self).attr("__name__"));
    try {
        return deps().display_unavailable(name, "the display could not be built (" + reason + ").");
    } catch (py::error_already_set&) {
        return py::str("<p>" + name + ": the display could not be built.</p>");
    }
}

void add_sagzone_display(bind::ClassBuilder& cls) {
    cls.def("__repr__", "", {required("self")}, sagzone_repr)
        .def("_repr_html_",
             "The notebook's view: the settings, the sentence a validator would write (the\n"
             "weak regions' test rows and score against all test rows) and the region table;\n"
             "before fit or after a failed one, a sentence saying so.\n",
             {required("self")}, [](const Args& a) {
                 return displayed(a.self(), [&] {
                     return deps().display_guarded(py::type::handle_of(a.self()).attr("__name__"),
                                                   deps().display_sagzone,
                                                   sagzone_content(a.self()));
                 });
             });
}

void add_scan_display(bind::ClassBuilder& cls) {
    cls.def("__repr__", "", {required("self")}, scan_repr)
        .def("_repr_html_",
             "The notebook's view: the settings, the ranked regions (significant ones marked)\n"
             "and the scan's figure; before fit, a sentence saying so.\n",
             {required("self")}, [](const Args& a) {
                 return displayed(a.self(), [&] {
                     return deps().display_guarded(py::type::handle_of(a.self()).attr("__name__"),
                                                   deps().display_scan,
                                                   scan_content(a.self(), true));
                 });
             });
}

py::dict scan_display_content(py::handle self) {
    return scan_content(py::reinterpret_borrow<py::object>(self), false);
}

py::dict sagzone_display_content(py::handle self) {
    return sagzone_content(py::reinterpret_borrow<py::object>(self));
}

}  // namespace movra::sagzone
