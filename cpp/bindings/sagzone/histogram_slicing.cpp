// HistogramSlicing: equal-width bins of one slicing feature, or of a second feature inside every
// bin of a first one; weak bins of an additive metric merged into regions.
#include <cmath>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "core/histogram.hpp"
#include "core/merged_search.hpp"
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
    "    Two features only: per first-feature bin, \"lb1\", \"ub1\", \"lb2\", \"ub2\", "
    "\"support\".\n";

// What a search needs from the object. Merged regions on one feature fall back to the plain
// mean when the weights sum to zero or less; within a first-feature bin, when they sum to
// exactly zero.
core::SearchSettings settings_of(py::handle self, const Scoring& scoring, bool two) {
    core::SearchSettings s;
    s.max_bins = py::int_(self.attr("bins")).cast<std::int64_t>();
    s.threshold_value = py::float_(self.attr("threshold_value")).cast<double>();
    s.score_sign = scoring.sign;
    s.min_samples = py::int_(self.attr("min_samples")).cast<std::int64_t>();
    s.merge_weights = two ? core::ZeroWeights::kZeroSum : core::ZeroWeights::kNotPositiveSum;
    return s;
}

// The bins of x as numpy's histogram makes them, and every row's bin.
struct Binned {
    core::ValueRange range;
    std::vector<double> edges;
    core::BinGroups groups;
};

Binned bin_rows(core::Span<const double> x, std::int64_t max_bins) {
    // Pure C++ over a buffer the caller holds a reference to.
    py::gil_scoped_release release;
    Binned b;
    b.range = core::value_range(x);
    b.edges = core::equal_width_edges(b.range, core::histogram_bin_count(x, max_bins));
    std::vector<std::int32_t> bin_of_row(x.size);
    core::assign_bins(x, b.edges, {bin_of_row.data(), x.size});
    b.groups = core::group_by_bin({bin_of_row.data(), x.size}, b.edges.size() - 1);
    return b;
}

std::vector<std::int64_t> rows_of_bin(const core::BinGroups& groups, std::size_t b) {
    const auto first = groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b]);
    const auto last = groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b + 1]);
    return {first, last};
}

// The search of a set metric (no merging): the metric called once per bin on its rows.
struct SetMetricSearch {
    Binned binned;
    py::list weak_region;
    py::list rule_list;
};

SetMetricSearch search_by_set_metric(const bind::Vector& x, const bind::Vector& y,
                                     const bind::Vector& preds,
                                     const std::optional<bind::Vector>& weights,
                                     const Scoring& scoring, const core::SearchSettings& settings,
                                     bool two, py::handle lb1, py::handle ub1) {
    SetMetricSearch out{bin_rows(bind::span(x), settings.max_bins), py::list(), py::list()};
    const std::vector<double>& edges = out.binned.edges;
    for (std::size_t b = 0; b + 1 < edges.size(); ++b) {
        const std::vector<std::int64_t> rows = rows_of_bin(out.binned.groups, b);
        double value = std::nan("");
        if (!rows.empty()) value = call_set_score(scoring.func, y, preds, weights, rows);
        const py::float_ lb(edges[b]), ub(edges[b + 1]);
        const auto count = static_cast<std::int64_t>(rows.size());
        out.rule_list.append(
            two ? bind::rule_record(lb1, ub1, lb, ub, true, value, count)
                : bind::rule_record(lb, ub, py::none(), py::none(), false, value, count));
        if (!rows.empty() && core::is_weak(value, settings.score_sign, settings.threshold_value))
            out.weak_region.append(
                two ? bind::region_record(lb1, ub1, lb, ub, true)
                    : bind::region_record(lb, ub, py::none(), py::none(), false));
    }
    return out;
}

// _fit1d on a column whose range may be known already.
py::tuple fit1d_column(py::handle self, const bind::Vector& x,
                       const std::optional<core::ValueRange>& range, py::handle y, py::handle preds,
                       py::handle scores, py::handle lb1, py::handle ub1,
                       py::handle sample_weight) {
    const bool two = py::len(self.attr("fidx")) != 1;
    const Scoring scoring = scoring_of(self);
    core::SearchSettings settings = settings_of(self, scoring, two);
    const auto n = static_cast<std::size_t>(x.size());
    const auto weights = optional_weights(sample_weight, "sample_weight", n);
    if (!scoring.additive) {
        const SetMetricSearch s = search_by_set_metric(x, bind::as_vector_of_length(y, "y", n),
                                                       bind::as_vector_of_length(preds, "preds", n),
                                                       weights, scoring, settings, two, lb1, ub1);
        return py::make_tuple(s.weak_region, s.rule_list, bind::to_numpy(s.binned.edges));
    }
    const bind::Vector s = bind::as_vector_of_length(scores, "scores", n);
    settings.ties = near_ties(s, weights);
    core::OneFeatureSearch search;
    {
        const auto xs = bind::span(x), ss = bind::span(s), ws = span_or_empty(weights);
        // Pure C++ over buffers we hold references to (near ties take the GIL themselves).
        py::gil_scoped_release release;
        search = range ? core::search_one_feature_in_range(xs, ss, ws, settings, *range)
                       : core::search_one_feature(xs, ss, ws, settings);
    }
    return py::make_tuple(bind::region_records(search.regions, two, lb1, ub1),
                          bind::rule_records(search.rules, two, lb1, ub1),
                          bind::to_numpy(search.edges));
}

py::object fit1d(const Args& a) {
    return fit1d_column(a.self(), a.vector("x"), std::nullopt, a["y"], a["preds"], a["scores"],
                        a["lb1"], a["ub1"], a["sample_weight"]);
}

// The two-feature search of an additive metric, in the core.
py::tuple fit2d_additive(py::handle self, const FitColumns::Column& first,
                         const FitColumns::Column& second, const bind::Vector& scores,
                         const std::optional<bind::Vector>& weights, const Scoring& scoring) {
    core::SearchSettings settings = settings_of(self, scoring, true);
    settings.ties = near_ties(scores, weights);
    core::TwoFeatureSearch t;
    {
        const auto f = bind::span(first.values), s = bind::span(second.values);
        const auto sc = bind::span(scores), w = span_or_empty(weights);
        // Pure C++ over buffers we hold references to (near ties take the GIL themselves).
        py::gil_scoped_release release;
        t = core::search_two_features(f, s, sc, w, settings, &first.range);
    }
    py::list weak_region, rule_list_all, bin_stats;
    for (const core::FirstFeatureBin& fb : t.bins) {
        bin_stats.append(bind::bin_stats_record(fb.lb1, fb.ub1, fb.lb2, fb.ub2, fb.support));
        if (fb.support == 0) continue;
        const py::float_ lb1(fb.lb1), ub1(fb.ub1);
        for (py::handle r : bind::rule_records(fb.search.rules, true, lb1, ub1))
            rule_list_all.append(r);
        const py::list regions = bind::region_records(fb.search.regions, true, lb1, ub1);
        for (std::size_t k = 0; k < fb.lb2q.size(); ++k) {
            py::dict item = regions[k];
            item["lb2q"] = py::float_(fb.lb2q[k]);
            item["ub2q"] = py::float_(fb.ub2q[k]);
            weak_region.append(item);
        }
    }
    self.attr("bin_stats") = bin_stats;
    return py::make_tuple(weak_region, rule_list_all, bind::to_numpy(t.edges));
}

// The two-feature search of a set metric: rows grouped by first-feature bin, then each bin's
// second feature searched by metric calls.
py::tuple fit2d_set_metric(py::handle self, const bind::Vector& first, const bind::Vector& second,
                           const bind::Vector& y, const bind::Vector& preds,
                           const std::optional<bind::Vector>& weights, const Scoring& scoring) {
    const core::SearchSettings settings = settings_of(self, scoring, true);
    const Binned binned = bin_rows(bind::span(first), settings.max_bins);
    const std::vector<double>& edges = binned.edges;
    py::list weak_region, rule_list_all, bin_stats;
    for (std::size_t b = 0; b + 1 < edges.size(); ++b) {
        const double lb1 = std::max(edges[b], binned.range.min);
        const double ub1 = std::min(edges[b + 1], binned.range.max);
        const std::vector<std::int64_t> rows = rows_of_bin(binned.groups, b);
        if (rows.empty()) {
            bin_stats.append(bind::bin_stats_record(lb1, ub1, std::nan(""), std::nan(""), 0));
            continue;
        }
        const bind::Vector x2 = bind::gather_array(bind::span(second), rows);
        const core::ValueRange range2 = core::value_range(bind::span(x2));
        bin_stats.append(bind::bin_stats_record(lb1, ub1, range2.min, range2.max,
                                                static_cast<std::int64_t>(rows.size())));
        const std::optional<bind::Vector> w2 =
            weights ? std::optional<bind::Vector>(bind::gather_array(bind::span(*weights), rows))
                    : std::nullopt;
        const SetMetricSearch s =
            search_by_set_metric(x2, bind::gather_array(bind::span(y), rows),
                                 bind::gather_array(bind::span(preds), rows), w2, scoring, settings,
                                 true, py::float_(lb1), py::float_(ub1));
        for (py::handle r : s.rule_list) rule_list_all.append(r);
        for (py::handle h : s.weak_region) {
            py::dict item = py::reinterpret_borrow<py::dict>(h);
            const double lb2 = item["lb2"].cast<double>(), ub2 = item["ub2"].cast<double>();
            item["lb2q"] = py::float_(core::percentile_of_score(bind::span(x2), lb2, false));
            item["ub2q"] =
                py::float_(core::percentile_of_score(bind::span(x2), ub2, range2.max == ub2));
            weak_region.append(item);
        }
    }
    self.attr("bin_stats") = bin_stats;
    return py::make_tuple(weak_region, rule_list_all, bind::to_numpy(edges));
}

// The second feature searched inside every bin of the first.
py::tuple fit2d_columns(py::handle self, const FitColumns::Column& first,
                        const FitColumns::Column& second, py::handle y, py::handle preds,
                        py::handle scores, py::handle sample_weight) {
    self.attr("bin_stats") = py::list();
    const Scoring scoring = scoring_of(self);
    const auto n = static_cast<std::size_t>(first.values.size());
    const auto weights = optional_weights(sample_weight, "sample_weight", n);
    if (scoring.additive)
        return fit2d_additive(self, first, second, bind::as_vector_of_length(scores, "scores", n),
                              weights, scoring);
    return fit2d_set_metric(self, first.values, second.values, bind::as_vector_of_length(y, "y", n),
                            bind::as_vector_of_length(preds, "preds", n), weights, scoring);
}

py::object fit2d(const Args& a) {
    const bind::Vector matrix = a.matrix("x");
    if (matrix.shape(1) < 2)
        bind::raise(PyExc_ValueError, "x must have two columns (first and second slicing feature)");
    FitColumns columns;
    const std::vector<FitColumns::Column> c = columns.get(matrix, {0, 1}, "x");
    return fit2d_columns(a.self(), c[0], c[1], a["y"], a["preds"], a["scores"], a["sample_weight"]);
}

py::object fit(const Args& a) {
    FitColumns columns;
    histogram_fit(a.self(), {a["x"], a["y"], a["preds"], a["scores"], a["sample_weight"]}, columns);
    return py::none();
}

// The verdicts of a search whose bin sums were found elsewhere (summed over the partitions of a
// data set): every bin judged on its average (settled[b] instead, where given and not NaN), the
// weak runs merged and kept, exactly as _fit1d judges and merges.
py::object judge_bin_sums(const Args& a) {
    const py::object& self = a.self();
    const bool two = py::len(self.attr("fidx")) != 1;
    const core::SearchSettings settings = settings_of(self, scoring_of(self), two);
    core::OneFeatureSearch s;
    const bind::Vector edges = a.vector("edges");
    s.edges.assign(edges.data(), edges.data() + edges.size());
    s.range = {a.number("low"), a.number("high")};
    s.bin_sums = bind::score_sums_of(a["sums"]);
    std::vector<double> settled;
    if (!a.is_none("settled")) {
        const bind::Vector v = a.vector("settled");
        settled.assign(v.data(), v.data() + v.size());
    }
    const bool weighted = a.truth("weighted");
    std::string error;
    std::vector<double> lb2q, ub2q;
    {
        // Pure C++ on copies made above.
        py::gil_scoped_release release;
        try {
            core::judge_merged_bins(s, weighted, settings, settled);
            if (two) core::region_percentiles(s, lb2q, ub2q);
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
    }
    if (!error.empty()) bind::raise(PyExc_ValueError, error);
    const py::object lb1 = two ? py::object(py::float_(a.number("lb1"))) : py::object(py::none());
    const py::object ub1 = two ? py::object(py::float_(a.number("ub1"))) : py::object(py::none());
    const py::list regions = bind::region_records(s.regions, two, lb1, ub1);
    for (std::size_t k = 0; k < lb2q.size(); ++k) {
        regions[k]["lb2q"] = py::float_(lb2q[k]);
        regions[k]["ub2q"] = py::float_(ub2q[k]);
    }
    return py::make_tuple(regions, bind::rule_records(s.rules, two, lb1, ub1));
}

py::object init(const Args& a) {
    const py::object& self = a.self();
    self.attr("bins") = a["bins"];
    deps().BaseSlicing.attr("__init__")(
        self, py::arg("estimator") = a["estimator"],
        py::arg("slice_features") = a["slice_features"], py::arg("task_type") = a["task_type"],
        py::arg("threshold") = a["threshold"], py::arg("min_samples") = a["min_samples"],
        py::arg("metric") = a["metric"]);
    return py::none();
}

}  // namespace

void histogram_fit(py::handle self, const StrategyCall& in, FitColumns& columns) {
    self.attr("x") = in.x;
    self.attr("y") = in.y;
    self.attr("preds") = in.preds;
    self.attr("scores") = in.scores;
    self.attr("rule_list") = py::list();
    self.attr("weak_region") = py::list();
    self.attr("threshold_value") =
        threshold_value(self.attr("threshold"), scoring_of(self), in.scores, in.sample_weight);
    const std::vector<std::int64_t> fidx = resolve_fidx(self);
    py::tuple result;
    if (fidx.size() == 1) {
        const FitColumns::Column column = columns.get(in.x, {fidx[0]}, "x")[0];
        if (own_method(self, "_fit1d", deps().HistogramSlicing))
            result = fit1d_column(self, column.values, column.range, in.y, in.preds, in.scores,
                                  py::none(), py::none(), in.sample_weight);
        else
            result = self.attr("_fit1d")(column.values, in.y, in.preds, in.scores,
                                         py::arg("sample_weight") = in.sample_weight);
    } else {
        // The two columns go to the search directly; _fit2d would only split them apart again.
        const std::vector<FitColumns::Column> c = columns.get(in.x, {fidx[0], fidx[1]}, "x");
        result = fit2d_columns(self, c[0], c[1], in.y, in.preds, in.scores, in.sample_weight);
    }
    self.attr("weak_region") = result[0];
    self.attr("rule_list") = result[1];
    self.attr("bins1d") = result[2];
}

void register_histogram_slicing(py::module_& m) {
    bind::ClassBuilder cls(m, "HistogramSlicing", py::make_tuple(deps().BaseSlicing), kDoc);
    cls.def(
        "__init__", "",
        {required("self"), optional("estimator"), optional("slice_features"), optional("task_type"),
         optional("threshold", py::float_(1.2)), optional("min_samples", py::int_(30)),
         optional("bins", py::int_(10)), optional("metric")},
        init);
    cls.def("_fit",
            "Set the threshold value, resolve the slicing features to columns of x and search\n"
            "one feature (_fit1d) or two (_fit2d); results are left in weak_region, rule_list\n"
            "and bins1d.\n",
            {required("self"), required("x"), required("y"), required("preds"), required("scores"),
             optional("sample_weight")},
            fit);
    cls.def("_fit1d",
            "Search the bins of one feature.\n\n"
            "Returns\n-------\n(weak_region, rule_list, bins1d)\n",
            {required("self"), required("x"), required("y"), required("preds"), required("scores"),
             optional("lb1"), optional("ub1"), optional("lb2"), optional("ub2"),
             optional("sample_weight")},
            fit1d);
    cls.def("_fit2d",
            "Search the second feature inside every bin of the first (x has the two columns).\n\n"
            "Returns\n-------\n(weak_region, rule_list_all, bins1d)\n"
            "    bins1d are the first feature's bin edges.\n",
            {required("self"), required("x"), required("y"), required("preds"), required("scores"),
             optional("sample_weight")},
            fit2d);
    cls.def(
        "_judge_bin_sums",
        "Judge the bins of a search from their sums found elsewhere.\n\n"
        "The sums (a dict of arrays \"count\", \"sum\", \"weight\", \"weighted\", one entry per\n"
        "bin of `edges` over the values' range [low, high]) are summed over the partitions of a\n"
        "data set, say. Each bin is judged against threshold_value on its average (on\n"
        "settled[b] where that is given and not NaN), and the weak runs merged and kept as\n"
        "_fit1d does. With two slicing features the bins are the second feature's within the\n"
        "first feature's bin [lb1, ub1], and each region also gets the percentile ranks of its\n"
        "bounds (\"lb2q\", \"ub2q\") among the bin's rows.\n\n"
        "Returns\n-------\n(weak_region, rule_list)\n",
        {required("self"), required("edges"), required("low"), required("high"), required("sums"),
         required("weighted"), optional("settled"), optional("lb1"), optional("ub1")},
        judge_bin_sums);
    deps().HistogramSlicing = cls.finish();
}

}  // namespace movra::sagzone
