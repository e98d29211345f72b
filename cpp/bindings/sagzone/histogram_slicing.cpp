// HistogramSlicing: equal-width bins of one slicing feature, or of a second feature inside every
// bin of a first one; weak bins of an additive metric merged into regions.
#include <cmath>

#include "bindings/sagzone/slicing_common.hpp"
#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/slice_search.hpp"

namespace movra::sagzone {

namespace {

using bind::Args;
using bind::optional;
using bind::required;

constexpr const char* kDoc =
    "Histogram based slicing for analyzing 1D or 2D numerical features.\n"
    "\n"
    "Equal-width bins of the slicing feature are judged weak when their score is worse than\n"
    "the threshold value; with an additive metric, touching weak bins merge into regions that\n"
    "are kept when they hold at least min_samples samples. With two slicing features the second\n"
    "feature is searched inside every bin of the first.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator, slice_features, task_type, threshold, min_samples, metric\n"
    "    As for BaseSlicing.\n"
    "bins : int, default=10\n"
    "    The largest number of bins per feature (a feature with fewer distinct values gets\n"
    "    one bin per distinct value count).\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "weak_region : list of dict\n"
    "rule_list : list of dict\n"
    "bins1d : numpy.ndarray\n"
    "    Bin edges of the (first) slicing feature.\n"
    "bin_stats : list of dict\n"
    "    Two features only: per first-feature bin, \"lb1\", \"ub1\", \"lb2\", \"ub2\", \"support\".\n";

// What the search on one feature needs from the object.
struct SearchContext {
    Scoring scoring;
    core::SearchSettings settings;
};

SearchContext context_of(py::handle self, bool two) {
    SearchContext c;
    c.scoring = scoring_of(self);
    c.settings.max_bins = py::int_(self.attr("bins")).cast<std::int64_t>();
    c.settings.threshold_value = py::float_(self.attr("threshold_value")).cast<double>();
    c.settings.score_sign = c.scoring.sign;
    c.settings.min_samples = py::int_(self.attr("min_samples")).cast<std::int64_t>();
    // Merged regions on one feature fall back to the plain mean when the weights sum to zero or
    // less; within a first-feature bin, when they sum to exactly zero.
    c.settings.merge_weights =
        two ? core::ZeroWeights::kZeroSum : core::ZeroWeights::kNotPositiveSum;
    return c;
}

// Rules of one feature's search; `lb1`/`ub1` are the fixed first-feature bounds when `two`.
py::list rules_to_python(const std::vector<core::SliceRule>& rules, bool two, py::handle lb1,
                         py::handle ub1) {
    py::list out;
    for (const core::SliceRule& r : rules) {
        py::float_ lb(r.lb), ub(r.ub);
        out.append(two ? rule_record(lb1, ub1, lb, ub, true, r.value, r.count)
                       : rule_record(lb, ub, py::none(), py::none(), false, r.value, r.count));
    }
    return out;
}

py::list regions_to_python(const core::OneFeatureSearch& s, bool two, py::handle lb1,
                           py::handle ub1) {
    py::list out;
    for (const core::SliceRule& r : s.regions) {
        py::float_ lb(r.lb), ub(r.ub);
        out.append(two ? region_record(lb1, ub1, lb, ub, true)
                       : region_record(lb, ub, py::none(), py::none(), false));
    }
    return out;
}

core::OneFeatureSearch run_search(const bind::Vector& x, const bind::Vector& scores,
                                  const std::optional<bind::Vector>& weights,
                                  const core::SearchSettings& settings) {
    const auto xs = bind::span(x), ss = bind::span(scores);
    const auto ws = span_or_empty(weights);
    const std::optional<core::ValueRange> range = cached_range(x);
    // Pure C++ over buffers we hold references to; no Python objects are touched.
    py::gil_scoped_release release;
    return range ? core::search_one_feature_in_range(xs, ss, ws, settings, *range)
                 : core::search_one_feature(xs, ss, ws, settings);
}

// The search of a set metric (no merging): rows grouped by bin, the metric called once per bin.
struct SetMetricSearch {
    std::vector<double> edges;
    py::list weak_region;
    py::list rule_list;
    double max = 0.0;
};

SetMetricSearch search_by_set_metric(const bind::Vector& x, const bind::Vector& y,
                                     const bind::Vector& preds,
                                     const std::optional<bind::Vector>& weights,
                                     const SearchContext& c, bool two, py::handle lb1,
                                     py::handle ub1) {
    SetMetricSearch out;
    const auto xs = bind::span(x);
    std::vector<std::int32_t> bin_of_row(xs.size);
    core::BinGroups groups;
    {
        // Pure C++ over a buffer we hold a reference to.
        py::gil_scoped_release release;
        const core::ValueRange range = core::value_range(xs);
        out.max = range.max;
        out.edges = core::equal_width_edges(range, core::histogram_bin_count(xs, c.settings.max_bins));
        core::assign_bins(xs, out.edges, {bin_of_row.data(), bin_of_row.size()});
        groups = core::group_by_bin({bin_of_row.data(), bin_of_row.size()}, out.edges.size() - 1);
    }
    for (std::size_t b = 0; b + 1 < out.edges.size(); ++b) {
        const std::vector<std::int64_t> rows(groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b]),
                                             groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b + 1]));
        double value = std::nan("");
        if (!rows.empty()) value = call_set_score(c.scoring.func, y, preds, weights, rows);
        py::float_ lb(out.edges[b]), ub(out.edges[b + 1]);
        const auto count = static_cast<std::int64_t>(rows.size());
        out.rule_list.append(two ? rule_record(lb1, ub1, lb, ub, true, value, count)
                                 : rule_record(lb, ub, py::none(), py::none(), false, value, count));
        if (!rows.empty() &&
            core::is_weak(value, c.settings.score_sign, c.settings.threshold_value))
            out.weak_region.append(two ? region_record(lb1, ub1, lb, ub, true)
                                       : region_record(lb, ub, py::none(), py::none(), false));
    }
    return out;
}

py::object init(const Args& a) {
    py::object self = a[std::size_t{0}];
    self.attr("bins") = a["bins"];
    base_slicing_class().attr("__init__")(
        self, py::arg("estimator") = a["estimator"], py::arg("slice_features") = a["slice_features"],
        py::arg("task_type") = a["task_type"], py::arg("threshold") = a["threshold"],
        py::arg("min_samples") = a["min_samples"], py::arg("metric") = a["metric"]);
    return py::none();
}

py::object fit1d(const Args& a) {
    py::object self = a[std::size_t{0}];
    const bool two = py::len(self.attr("fidx")) != 1;
    const SearchContext c = context_of(self, two);
    const bind::Vector x = bind::as_vector(a["x"], "x");
    const auto n = static_cast<std::size_t>(x.size());
    const auto weights = optional_weights(a["sample_weight"], "sample_weight", n);
    if (!c.scoring.additive) {
        const SetMetricSearch s = search_by_set_metric(
            x, bind::as_vector_of_length(a["y"], "y", n),
            bind::as_vector_of_length(a["preds"], "preds", n), weights, c, two, a["lb1"], a["ub1"]);
        return py::make_tuple(s.weak_region, s.rule_list, to_array(s.edges));
    }
    const bind::Vector scores = bind::as_vector_of_length(a["scores"], "scores", n);
    const core::OneFeatureSearch s = run_search(x, scores, weights, c.settings);
    return py::make_tuple(regions_to_python(s, two, a["lb1"], a["ub1"]),
                          rules_to_python(s.rules, two, a["lb1"], a["ub1"]), to_array(s.edges));
}

py::dict bin_stats_entry(double lb1, double ub1, double lb2, double ub2, std::int64_t support) {
    py::dict d;
    d["lb1"] = py::float_(lb1);
    d["ub1"] = py::float_(ub1);
    d["lb2"] = py::float_(lb2);
    d["ub2"] = py::float_(ub2);
    d["support"] = py::int_(support);
    return d;
}

// The search of the second feature inside every bin of the first.
py::tuple fit2d_columns(py::handle self, const bind::Vector& first, const bind::Vector& second,
                        py::handle y_obj, py::handle preds_obj, py::handle scores_obj,
                        py::handle weights_obj) {
    self.attr("bin_stats") = py::list();
    const SearchContext c = context_of(self, true);
    const auto n = static_cast<std::size_t>(first.size());
    const auto weights = optional_weights(weights_obj, "sample_weight", n);
    py::list weak_region, rule_list_all, bin_stats;

    if (c.scoring.additive) {
        const bind::Vector scores = bind::as_vector_of_length(scores_obj, "scores", n);
        core::TwoFeatureSearch t;
        {
            const auto f = bind::span(first), s = bind::span(second), sc = bind::span(scores);
            const auto w = span_or_empty(weights);
            const std::optional<core::ValueRange> range1 = cached_range(first);
            // Pure C++ over buffers we hold references to; no Python objects are touched.
            py::gil_scoped_release release;
            t = core::search_two_features(f, s, sc, w, c.settings, range1 ? &*range1 : nullptr);
        }
        for (const core::FirstFeatureBin& fb : t.bins) {
            bin_stats.append(bin_stats_entry(fb.lb1, fb.ub1, fb.lb2, fb.ub2, fb.support));
            if (fb.support == 0) continue;
            py::float_ lb1(fb.lb1), ub1(fb.ub1);
            for (py::handle r : rules_to_python(fb.search.rules, true, lb1, ub1))
                rule_list_all.append(r);
            py::list regions = regions_to_python(fb.search, true, lb1, ub1);
            for (std::size_t k = 0; k < fb.lb2q.size(); ++k) {
                py::dict item = regions[k];
                item["lb2q"] = py::float_(fb.lb2q[k]);
                item["ub2q"] = py::float_(fb.ub2q[k]);
                weak_region.append(item);
            }
        }
        self.attr("bin_stats") = bin_stats;
        return py::make_tuple(weak_region, rule_list_all, to_array(t.edges));
    }

    // A set metric: group rows by first-feature bin, then the per-bin search by metric calls.
    const bind::Vector y = bind::as_vector_of_length(y_obj, "y", n);
    const bind::Vector preds = bind::as_vector_of_length(preds_obj, "preds", n);
    const auto fs = bind::span(first);
    std::vector<double> edges;
    core::ValueRange range;
    core::BinGroups groups;
    {
        py::gil_scoped_release release;  // pure C++ over a buffer we hold a reference to
        range = core::value_range(fs);
        edges = core::equal_width_edges(range, core::histogram_bin_count(fs, c.settings.max_bins));
        std::vector<std::int32_t> bin_of_row(n);
        core::assign_bins(fs, edges, {bin_of_row.data(), n});
        groups = core::group_by_bin({bin_of_row.data(), n}, edges.size() - 1);
    }
    for (std::size_t b = 0; b + 1 < edges.size(); ++b) {
        const double lb1 = std::max(edges[b], range.min), ub1 = std::min(edges[b + 1], range.max);
        const std::vector<std::int64_t> rows(groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b]),
                                             groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b + 1]));
        if (rows.empty()) {
            bin_stats.append(bin_stats_entry(lb1, ub1, std::nan(""), std::nan(""), 0));
            continue;
        }
        const bind::Vector x2 = gather_array(second, rows);
        const core::ValueRange range2 = core::value_range(bind::span(x2));
        bin_stats.append(bin_stats_entry(lb1, ub1, range2.min, range2.max,
                                         static_cast<std::int64_t>(rows.size())));
        const std::optional<bind::Vector> w2 =
            weights ? std::optional<bind::Vector>(gather_array(*weights, rows)) : std::nullopt;
        const SetMetricSearch s =
            search_by_set_metric(x2, gather_array(y, rows), gather_array(preds, rows), w2, c,
                                 true, py::float_(lb1), py::float_(ub1));
        for (py::handle r : s.rule_list) rule_list_all.append(r);
        for (py::handle h : s.weak_region) {
            py::dict item = py::reinterpret_borrow<py::dict>(h);
            const double lb2 = item["lb2"].cast<double>(), ub2 = item["ub2"].cast<double>();
            item["lb2q"] = py::float_(core::percentile_of_score(bind::span(x2), lb2, false));
            item["ub2q"] = py::float_(
                core::percentile_of_score(bind::span(x2), ub2, range2.max == ub2));
            weak_region.append(item);
        }
    }
    self.attr("bin_stats") = bin_stats;
    return py::make_tuple(weak_region, rule_list_all, to_array(edges));
}

py::object fit2d(const Args& a) {
    const bind::Vector matrix = bind::as_matrix(a["x"], "x");
    if (matrix.shape(1) < 2)
        bind::raise(PyExc_ValueError, "x must have two columns (first and second slicing feature)");
    const std::vector<bind::Vector> columns = slicing_columns(a["x"], {0, 1}, "x");
    return fit2d_columns(a[std::size_t{0}], columns[0], columns[1], a["y"], a["preds"],
                         a["scores"], a["sample_weight"]);
}

py::object fit(const Args& a) {
    py::object self = a[std::size_t{0}];
    py::object x = a["x"], y = a["y"], preds = a["preds"], scores = a["scores"];
    py::object sample_weight = a["sample_weight"];
    self.attr("x") = x;
    self.attr("y") = y;
    self.attr("preds") = preds;
    self.attr("scores") = scores;
    self.attr("rule_list") = py::list();
    self.attr("weak_region") = py::list();
    const Scoring scoring = scoring_of(self);
    py::object average;
    if (scoring.additive) {
        const bind::Vector s = bind::as_vector(scores, "scores");
        average = py::float_(
            overall_average(s, optional_weights(sample_weight, "sample_weight",
                                                static_cast<std::size_t>(s.size()))));
    } else {
        average = scores;  // the caller passes the overall score of a set metric
    }
    PyObject* product = PyNumber_Multiply(self.attr("threshold").ptr(), average.ptr());
    if (product == nullptr) throw py::error_already_set();
    self.attr("threshold_value") = py::reinterpret_steal<py::object>(product);

    const std::vector<std::int64_t> fidx = resolve_fidx(self);
    if (fidx.empty())
        bind::raise(deps().MovraError, "Only Support at most two slicing features.");
    py::tuple result;
    if (fidx.size() == 1) {
        const std::vector<bind::Vector> column = slicing_columns(x, {fidx[0]}, "x");
        result = self.attr("_fit1d")(column[0], y, preds, scores,
                                     py::arg("sample_weight") = sample_weight);
    } else {
        // The two columns go to the search directly; _fit2d would only split them apart again.
        const std::vector<bind::Vector> columns = slicing_columns(x, {fidx[0], fidx[1]}, "x");
        result = fit2d_columns(self, columns[0], columns[1], y, preds, scores, sample_weight);
    }
    self.attr("weak_region") = result[0];
    self.attr("rule_list") = result[1];
    self.attr("bins1d") = result[2];
    return py::none();
}

}  // namespace

void register_histogram_slicing(py::module_& m) {
    bind::ClassBuilder cls(m, "HistogramSlicing", py::make_tuple(base_slicing_class()), kDoc);
    cls.def("__init__", "",
            {required("self"), optional("estimator"), optional("slice_features"),
             optional("task_type"), optional("threshold", py::float_(1.2)),
             optional("min_samples", py::int_(30)), optional("bins", py::int_(10)),
             optional("metric")},
            init);
    cls.def("_fit",
            "Set the threshold value, resolve the slicing features to columns of x and search\n"
            "one feature (_fit1d) or two (_fit2d); results are left in weak_region, rule_list\n"
            "and bins1d.\n",
            {required("self"), required("x"), required("y"), required("preds"),
             required("scores"), optional("sample_weight")},
            fit);
    cls.def("_fit1d",
            "Search the bins of one feature.\n\n"
            "Returns\n-------\n(weak_region, rule_list, bins1d)\n",
            {required("self"), required("x"), required("y"), required("preds"),
             required("scores"), optional("lb1"), optional("ub1"), optional("lb2"),
             optional("ub2"), optional("sample_weight")},
            fit1d);
    cls.def("_fit2d",
            "Search the second feature inside every bin of the first (x has the two columns).\n\n"
            "Returns\n-------\n(weak_region, rule_list_all, bins1d)\n"
            "    bins1d are the first feature's bin edges.\n",
            {required("self"), required("x"), required("y"), required("preds"),
             required("scores"), optional("sample_weight")},
            fit2d);
    cls.finish();
}

}  // namespace movra::sagzone
