#include "bindings/sagzone/scan_table.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "bindings/sagzone/region_table.hpp"
#include "core/region_stats.hpp"
#include "core/scan_findings.hpp"

namespace movra::sagzone {

namespace {

// Random regions of the same size drawn from the held-out rows for a set metric's p-value.
constexpr int kPermutations = 99;

const ScanSplitData& held_out_data(const ScanContext& ctx) {
    return ctx.use_test ? ctx.train : ctx.test;
}

// An additive metric: Welch's statistic per region, one vectorised tail probability for all.
std::vector<double> welch_p_values(py::handle self, const core::ScanFindings& findings) {
    const double threshold = py::float_(make_probe(self).attr("threshold")).cast<double>();
    const std::vector<core::WeakRegionTest> tests = findings.weak_region_tests(threshold);
    const std::size_t n = tests.size();
    std::vector<double> p(n), statistic(n), dof(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = tests[i].p_value;
        statistic[i] = tests[i].statistic;
        dof[i] = tests[i].decided ? 1.0 : tests[i].dof;
    }
    const bind::Vector tail =
        bind::as_vector(deps().t_sf(bind::to_numpy(statistic), bind::to_numpy(dof)), "p-values");
    for (std::size_t i = 0; i < n; ++i)
        if (!tests[i].decided) p[i] = tail.data()[i];
    return p;
}

// A set metric: each region against random regions of the same size of the held-out rows, scored
// by the metric's own Python function.
std::vector<double> permutation_p_values(py::handle self, const ScanContext& ctx,
                                         const core::ScanFindings& findings) {
    const ScanSplitData& h = held_out_data(ctx);
    const py::object rng = deps().np.attr("random").attr("default_rng")(self.attr("random_state"));
    const auto n_rows = static_cast<std::int64_t>(py::len(h.y));
    std::vector<double> p(findings.regions().size(), 1.0), random(kPermutations);
    for (std::size_t i = 0; i < p.size(); ++i) {
        const core::FoundRegion& r = findings.regions()[i];
        const std::int64_t size = core::held_out_moments(r, ctx.use_test).count;
        const double observed = core::held_out_score(r, ctx.use_test);
        if (size < 2 || size >= n_rows || !std::isfinite(observed)) continue;
        for (double& score : random) {
            const py::object rows = rng.attr("choice")(n_rows, size, py::arg("replace") = false);
            const py::object w =
                h.weights.is_none() ? py::object(py::none()) : py::object(h.weights[rows]);
            score =
                py::float_(ctx.scoring_func(h.y[rows], h.pred[rows], py::arg("sample_weight") = w))
                    .cast<double>();
        }
        p[i] = core::permutation_p_value(observed, {random.data(), random.size()}, ctx.score_sign);
    }
    return p;
}

// A region's set on one feature as labels (movra.utils.MISSING for missing); None for an interval.
py::object labelled_set(const ScanContext& ctx, std::int64_t column,
                        const std::vector<std::int32_t>& codes) {
    if (codes.empty()) return py::none();
    const py::object all = py::getattr(ctx.owner, "category_labels", py::none());
    const py::object labels = all.is_none() ? py::object(py::none()) : all[py::int_(column)];
    return labelled(codes, labels);
}

py::object regions_table(const ScanContext& ctx, const core::ScanFindings& findings,
                         const core::ScanRanking& ranking, const std::vector<double>& p) {
    std::vector<std::int64_t> finding;
    for (const std::size_t i : ranking.order) finding.push_back(ranking.finding[i]);
    const std::string& m = ctx.score_name;
    const auto name = [&](std::int64_t column) {
        return py::str(ctx.names[static_cast<std::size_t>(column)]);
    };
    py::list f1, f2, lb1, ub1, lb2, ub2, set1, set2, n_test, n_train, test, train, overall, gap,
        severity, p_value, q_value, significant, reported;
    for (const std::size_t i : ranking.order) {
        const core::FoundRegion& r = findings.regions()[i];
        const core::RegionScores scores = core::region_scores(r, findings.scoring());
        f1.append(name(r.first));
        f2.append(r.is_pair() ? py::object(name(r.second)) : py::object(py::none()));
        lb1.append(r.lb1);
        ub1.append(r.ub1);
        lb2.append(r.is_pair() ? r.lb2 : std::nan(""));
        ub2.append(r.is_pair() ? r.ub2 : std::nan(""));
        set1.append(labelled_set(ctx, r.first, r.codes1));
        set2.append(r.is_pair() ? labelled_set(ctx, r.second, r.codes2) : py::object(py::none()));
        n_test.append(r.test.count);
        n_train.append(r.train.count);
        test.append(scores.test);
        train.append(scores.train);
        overall.append(scores.overall);
        gap.append(scores.test - scores.train);
        severity.append(findings.severity()[i]);
        p_value.append(p[i]);
        q_value.append(ranking.q_value[i]);
        significant.append(py::bool_(ranking.significant[i] != 0));
        reported.append(py::bool_(ranking.reported[i] != 0));
    }
    py::dict data;
    // Sets of categories (or the missing rows) only where a scanned feature can have them, so that
    // a scan of numbers keeps its columns.
    for (const auto& [key, column] : {std::pair<std::string, py::list&>{"feature_1", f1},
                                      {"lb_1", lb1},
                                      {"ub_1", ub1},
                                      {"set_1", set1},
                                      {"feature_2", f2},
                                      {"lb_2", lb2},
                                      {"ub_2", ub2},
                                      {"set_2", set2},
                                      {"#Test", n_test},
                                      {"#Train", n_train},
                                      {"test_" + m, test},
                                      {"train_" + m, train},
                                      {m, overall},
                                      {"Gap", gap},
                                      {"severity", severity},
                                      {"p_value", p_value},
                                      {"q_value", q_value},
                                      {"significant", significant},
                                      {"reported", reported}})
        if (ctx.has_sets || (key != "set_1" && key != "set_2")) data[py::str(key)] = column;
    data["finding"] = bind::to_numpy(finding);
    return deps().pd.attr("DataFrame")(data);
}

// One row per finding, most severe first: its most severe region's row of the regions' table,
// with the finding's severity and its number of regions.
py::object findings_table(const py::object& regions, const core::ScanRanking& ranking) {
    std::vector<std::int64_t> row_of(ranking.order.size()), lead, n_regions;
    for (std::size_t k = 0; k < ranking.order.size(); ++k)
        row_of[ranking.order[k]] = static_cast<std::int64_t>(k);
    std::vector<double> severity, interaction_p;
    for (const core::Finding& f : ranking.findings) {
        interaction_p.push_back(f.second >= 0 ? f.interaction_p : std::nan(""));
        lead.push_back(row_of[f.regions.front()]);
        n_regions.push_back(static_cast<std::int64_t>(f.regions.size()));
        severity.push_back(f.severity);
    }
    py::list dropped;
    dropped.append("reported");
    dropped.append("finding");
    py::object table = regions.attr("iloc")[bind::to_numpy(lead)]
                           .attr("drop")(py::arg("columns") = dropped)
                           .attr("reset_index")(py::arg("drop") = true);
    table.attr("__setitem__")("n_regions", bind::to_numpy(n_regions));
    table.attr("__setitem__")("finding_severity", bind::to_numpy(severity));
    table.attr("__setitem__")("interaction_p", bind::to_numpy(interaction_p));
    return table;
}

// A square matrix over the scanned features as a DataFrame.
template <typename T, typename Value>
py::object feature_matrix(const std::vector<Value>& cells, std::size_t n, const py::list& names) {
    const auto side = static_cast<py::ssize_t>(n);
    py::array_t<T> values(std::vector<py::ssize_t>{side, side});
    std::copy(cells.begin(), cells.end(), values.mutable_data());
    return deps().pd.attr("DataFrame")(values, py::arg("index") = names,
                                       py::arg("columns") = names);
}

}  // namespace

core::ScanFindings empty_findings(const ScanContext& ctx) {
    const core::ScanScoring scoring{ctx.use_test, ctx.additive, ctx.weighted, ctx.score_sign};
    core::HeldOutSplit held_out;
    const ScanSplitData& h = held_out_data(ctx);
    if (ctx.additive) {
        const bind::Vector scores = bind::as_vector(h.scores, "scores");
        const std::optional<bind::Vector> w =
            h.weights.is_none() ? std::nullopt
                                : std::optional<bind::Vector>(bind::as_vector(h.weights, "w"));
        held_out.moments = core::moments_all(bind::span(scores), span_or_empty(w));
    } else if (py::len(h.y) > 0) {
        held_out.score =
            py::float_(ctx.scoring_func(h.y, h.pred, py::arg("sample_weight") = h.weights))
                .cast<double>();
        held_out.moments.count = static_cast<std::int64_t>(py::len(h.y));
    }
    return core::ScanFindings(scoring, held_out);
}

ScanTables scan_tables(py::handle self, const ScanContext& ctx, const core::ScanFindings& findings,
                       const std::vector<std::int64_t>& cols) {
    const std::vector<double> p = findings.regions().empty()
                                      ? std::vector<double>{}
                                      : (ctx.additive ? welch_p_values(self, findings)
                                                      : permutation_p_values(self, ctx, findings));
    const double alpha = py::float_(self.attr("alpha")).cast<double>();
    // An additive metric's interactions are tested on the held-out rows' scores, in place; every
    // metric's pairs are checked for vacuous conditions on the searched rows.
    const ScanSplitData& h = held_out_data(ctx);
    const std::optional<bind::Vector> scores =
        ctx.additive ? std::optional<bind::Vector>(bind::as_vector(h.scores, "scores"))
                     : std::nullopt;
    const std::optional<bind::Vector> weights =
        h.weights.is_none() ? std::nullopt
                            : std::optional<bind::Vector>(bind::as_vector(h.weights, "w"));
    core::FindingRows rows;
    rows.x = {ctx.matrix.data(), static_cast<std::size_t>(ctx.matrix.shape(0)),
              static_cast<std::size_t>(ctx.matrix.shape(1))};
    rows.held_out = {bind::span(h.positions), span_or_empty(scores), span_or_empty(weights)};
    rows.searched = bind::span((ctx.use_test ? ctx.test : ctx.train).positions);
    core::ScanRanking ranking;
    core::CellMatrix cells;
    {
        // The ranking reads C++ vectors only.
        py::gil_scoped_release release;
        ranking = core::rank_regions(findings, {p.data(), p.size()}, alpha, &rows);
        cells = core::worst_by_cell(findings, ranking, cols);
    }
    py::list names;
    for (const std::int64_t c : cols) names.append(py::str(ctx.names[static_cast<std::size_t>(c)]));
    const py::object regions = regions_table(ctx, findings, ranking, p);
    return {regions, findings_table(regions, ranking),
            feature_matrix<double>(cells.worst, cells.n, names),
            feature_matrix<bool>(cells.significant, cells.n, names)};
}

}  // namespace movra::sagzone
