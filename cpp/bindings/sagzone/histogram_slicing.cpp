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
#include "core/segment_search.hpp"
#include "core/set_metric_search.hpp"
#include "core/slice_search.hpp"

namespace movra::sagzone {

namespace {

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

// A set metric's score of the rows at `rows`, for the searches: the metric called on the rows'
// targets, predictions and weights, with the GIL. Spans and a borrowed function, not handles:
// copying the callback must not touch reference counts.
core::SetScore set_score(const Scoring& scoring, const bind::Vector& y, const bind::Vector& preds,
                         const std::optional<bind::Vector>& weights) {
    const core::Span<const double> ys = bind::span(y), ps = bind::span(preds),
                                   ws = span_or_empty(weights);
    PyObject* func = scoring.func.ptr();
    return [ys, ps, ws, func](const std::vector<std::int64_t>& rows) {
        py::gil_scoped_acquire acquire;
        py::object w = ws.empty() ? py::object(py::none()) : bind::gather_array(ws, rows);
        py::object score =
            py::handle(func)(bind::gather_array(ys, rows), bind::gather_array(ps, rows),
                             py::arg("sample_weight") = w);
        return py::float_(score).cast<double>();
    };
}

// _fit1d on a column whose range may be known already.
py::tuple fit1d_column(py::handle self, const bind::Vector& x,
                       const std::optional<core::ValueRange>& range, py::handle y, py::handle preds,
                       py::handle scores, py::handle lb1, py::handle ub1,
                       py::handle sample_weight) {
    const bool two = py::len(self.attr("fidx")) != 1;
    const core::FeatureKind kind = slicing_kind(self, two ? 1 : 0);
    const Scoring scoring = scoring_of(self);
    core::SearchSettings settings = settings_of(self, scoring, two);
    const auto n = static_cast<std::size_t>(x.size());
    const auto weights = optional_weights(sample_weight, "sample_weight", n);
    core::OneFeatureSearch search;
    if (!scoring.additive) {
        const bind::Vector yv = bind::as_vector_of_length(y, "y", n);
        const bind::Vector pv = bind::as_vector_of_length(preds, "preds", n);
        const core::SetScore score = set_score(scoring, yv, pv, weights);
        const auto xs = bind::span(x);
        // Pure C++ over buffers we hold references to (the metric takes the GIL itself).
        py::gil_scoped_release release;
        search = core::search_feature_by_set(xs, kind, settings, score);
    } else {
        const bind::Vector s = bind::as_vector_of_length(scores, "scores", n);
        settings.ties = near_ties(s, weights);
        const auto xs = bind::span(x), ss = bind::span(s), ws = span_or_empty(weights);
        // Pure C++ over buffers we hold references to (near ties take the GIL themselves).
        py::gil_scoped_release release;
        search = core::search_feature(xs, kind, ss, ws, settings, range ? &*range : nullptr);
    }
    const auto first = bind::Condition::interval(lb1, ub1);
    const bind::Condition* fixed = two ? &first : nullptr;
    return py::make_tuple(bind::region_records(deps().keys, search.regions, fixed),
                          bind::rule_records(deps().keys, search.rules, fixed),
                          bind::to_numpy(search.edges));
}

py::object fit1d(const Args& a) {
    return fit1d_column(a.self(), a.vector("x"), std::nullopt, a["y"], a["preds"], a["scores"],
                        a["lb1"], a["ub1"], a["sample_weight"]);
}

// The records of a two-feature search: weak regions with the percentile ranks of their bounds,
// every rule, bin_stats, and the first feature's edges.
py::tuple two_feature_records(py::handle self, const core::TwoFeatureSearch& t) {
    py::list weak_region, rule_list_all, bin_stats;
    for (const core::FirstFeatureBin& fb : t.bins) {
        bin_stats.append(
            bind::bin_stats_record(deps().keys, fb.lb1, fb.ub1, fb.lb2, fb.ub2, fb.support));
        if (fb.support == 0) continue;
        const bind::Condition first{py::float_(fb.lb1), py::float_(fb.ub1), fb.codes1};
        for (py::handle r : bind::rule_records(deps().keys, fb.search.rules, &first))
            rule_list_all.append(r);
        const py::list regions = bind::region_records(deps().keys, fb.search.regions, &first);
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

// The second feature searched inside every bin of the first.
py::tuple fit2d_columns(py::handle self, const FitColumns::Column& first,
                        const FitColumns::Column& second, py::handle y, py::handle preds,
                        py::handle scores, py::handle sample_weight) {
    self.attr("bin_stats") = py::list();
    const Scoring scoring = scoring_of(self);
    core::SearchSettings settings = settings_of(self, scoring, true);
    const auto n = static_cast<std::size_t>(first.values.size());
    const auto weights = optional_weights(sample_weight, "sample_weight", n);
    const auto f = bind::span(first.values), s = bind::span(second.values);
    const core::FeatureKind kind1 = slicing_kind(self, 0), kind2 = slicing_kind(self, 1);
    core::TwoFeatureSearch t;
    if (!scoring.additive) {
        const bind::Vector yv = bind::as_vector_of_length(y, "y", n);
        const bind::Vector pv = bind::as_vector_of_length(preds, "preds", n);
        const core::SetScore score = set_score(scoring, yv, pv, weights);
        // Pure C++ over buffers we hold references to (the metric takes the GIL itself).
        py::gil_scoped_release release;
        t = core::search_feature_pair_by_set(f, kind1, s, kind2, settings, score);
    } else {
        const bind::Vector sc = bind::as_vector_of_length(scores, "scores", n);
        settings.ties = near_ties(sc, weights);
        const auto sp = bind::span(sc), w = span_or_empty(weights);
        // Pure C++ over buffers we hold references to (near ties take the GIL themselves).
        py::gil_scoped_release release;
        t = core::search_feature_pair(f, kind1, s, kind2, sp, w, settings, &first.range);
    }
    return two_feature_records(self, t);
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

// The searched feature's bins from sums found elsewhere (summed over the partitions of a data
// set): one entry per bin (an interval of `edges`, or a category code), the missing rows last.
core::MergedFeature merged_feature(const Args& a) {
    const py::object& self = a.self();
    const bool two = py::len(self.attr("fidx")) != 1;
    core::MergedFeature f;
    f.kind = slicing_kind(self, two ? 1 : 0);
    std::vector<core::ScoreSums> sums = bind::score_sums_of(a["sums"]);
    if (sums.empty()) bind::raise(PyExc_ValueError, "sums must end with the missing rows' sums");
    f.missing = sums.back();
    sums.pop_back();
    f.bins = std::move(sums);
    if (f.kind == core::FeatureKind::kNumerical && !a.is_none("edges")) {
        const bind::Vector edges = a.vector("edges");
        f.edges.assign(edges.data(), edges.data() + edges.size());
        f.range = {a.number("low"), a.number("high")};
    }
    return f;
}

// The units the searched feature is judged by, as the positions of their sums.
py::object bin_units(const Args& a) {
    const core::MergedFeature f = merged_feature(a);
    const auto min_samples = py::int_(a.self().attr("min_samples")).cast<std::int64_t>();
    py::list out;
    for (const std::vector<std::size_t>& unit : core::merged_units(f, min_samples))
        out.append(bind::to_numpy(std::vector<std::int64_t>(unit.begin(), unit.end())));
    return std::move(out);
}

// The verdicts of a search whose bin sums were found elsewhere: every unit judged on its average
// (settled[u] instead, where given and not NaN), the weak ones merged and kept, exactly as
// _fit1d judges them.
py::object judge_bin_sums(const Args& a) {
    const py::object& self = a.self();
    const bool two = py::len(self.attr("fidx")) != 1;
    const core::SearchSettings settings = settings_of(self, scoring_of(self), two);
    const core::MergedFeature f = merged_feature(a);
    std::vector<double> settled;
    if (!a.is_none("settled")) {
        const bind::Vector v = a.vector("settled");
        settled.assign(v.data(), v.data() + v.size());
    }
    const bool weighted = a.truth("weighted");
    std::string error;
    core::OneFeatureSearch s;
    std::vector<double> lb2q, ub2q;
    {
        // Pure C++ on copies made above.
        py::gil_scoped_release release;
        try {
            s = core::judge_merged_feature(f, weighted, settings, settled);
            if (two) core::region_percentiles(s, lb2q, ub2q);
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
    }
    if (!error.empty()) bind::raise(PyExc_ValueError, error);
    bind::Condition first;
    if (two) {
        first = bind::Condition::interval(py::float_(a.number("lb1")), py::float_(a.number("ub1")));
        if (!a.is_none("codes1"))
            for (py::handle code : a["codes1"]) first.codes.push_back(code.cast<std::int32_t>());
    }
    const bind::Condition* fixed = two ? &first : nullptr;
    const py::list regions = bind::region_records(deps().keys, s.regions, fixed);
    for (std::size_t k = 0; k < lb2q.size(); ++k) {
        regions[k]["lb2q"] = py::float_(lb2q[k]);
        regions[k]["ub2q"] = py::float_(ub2q[k]);
    }
    return py::make_tuple(regions, bind::rule_records(deps().keys, s.rules, fixed));
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
    const bind::Param own = optional("bins", py::int_(10));
    cls.def("__init__", "", slicer_init_params(&own, 6), init);
    cls.def("_fit",
            "Set the threshold value, resolve the slicing features to columns of x and search\n"
            "one feature (_fit1d) or two (_fit2d); results are left in weak_region, rule_list\n"
            "and bins1d.\n",
            strategy_fit_params(), fit);
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
    const std::vector<bind::Param> merged{required("self"), required("edges"), required("low"),
                                          required("high"), required("sums")};
    cls.def("_bin_units",
            "The units the searched feature is judged by, from its bins' sums found elsewhere.\n\n"
            "`sums` (a dict of arrays \"count\", \"sum\", \"weight\", \"weighted\") holds one\n"
            "entry per bin (of `edges` over the values' range [low, high] for a numerical\n"
            "feature, per category code for a categorical one) and a last one for the missing\n"
            "rows. A numerical feature's units are its bins, then its missing rows when it has\n"
            "any; a categorical feature's its categories with at least min_samples rows, the\n"
            "missing rows likewise, then the smaller ones together.\n\n"
            "Returns\n-------\nlist of numpy.ndarray\n    The positions in `sums` of each unit.\n",
            merged, bin_units);
    std::vector<bind::Param> judge = merged;
    judge.push_back(required("weighted"));
    for (const char* name : {"settled", "lb1", "ub1", "codes1"}) judge.push_back(optional(name));
    cls.def(
        "_judge_bin_sums",
        "Judge the bins of a search from their sums found elsewhere.\n\n"
        "The sums are as for _bin_units, summed over the partitions of a data set, say. Each\n"
        "unit of _bin_units is judged against threshold_value on its average (on settled[u]\n"
        "where that is given and not NaN), and the weak ones merged and kept as _fit1d does.\n"
        "With two slicing features the bins are the second feature's within the first\n"
        "feature's bin [lb1, ub1] (or its set of codes `codes1`), and each region also gets the\n"
        "percentile ranks of its bounds (\"lb2q\", \"ub2q\") among the bin's rows.\n\n"
        "Returns\n-------\n(weak_region, rule_list)\n",
        judge, judge_bin_sums);
    deps().HistogramSlicing = cls.finish();
}

}  // namespace movra::sagzone
