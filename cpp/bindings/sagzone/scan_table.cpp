#include "bindings/sagzone/scan_table.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/scan_stats.hpp"

namespace movra::sagzone {

namespace {

// Random regions of the same size drawn from the held-out rows for a set metric's p-value.
constexpr int kPermutations = 99;

// How much more severe a pair's worst region must be than its features' own to be reported.
constexpr double kPairMargin = 1.1;

const ScanSplitData& held_out_split(const ScanContext& ctx) {
    return ctx.use_test ? ctx.train : ctx.test;
}

const core::RegionMoments& held_out_moments(const ScanContext& ctx, const FoundRegion& r) {
    return ctx.use_test ? r.train : r.test;
}

core::RegionMoments combined(const core::RegionMoments& a, const core::RegionMoments& b) {
    core::RegionMoments m = a;
    m.count += b.count;
    m.sum += b.sum;
    m.weight += b.weight;
    m.weighted += b.weighted;
    m.weighted_sq += b.weighted_sq;
    m.weight_sq += b.weight_sq;
    return m;
}

// Whether two regions of the same features share a part of their boxes.
bool overlapping(const FoundRegion& a, const FoundRegion& b) {
    const bool first = a.lb1 < b.ub1 && b.lb1 < a.ub1;
    if (a.features.size() == 1) return first || (a.lb1 == b.lb1 && a.ub1 == b.ub1);
    return first && a.lb2 < b.ub2 && b.lb2 < a.ub2;
}

}  // namespace

ScanTable::ScanTable(const ScanContext& ctx, std::vector<FoundRegion> regions) : ctx_(ctx) {
    const ScanSplitData& h = held_out_split(ctx);
    if (ctx.additive) {
        const bind::Vector scores = bind::as_vector(h.scores, "scores");
        const std::optional<bind::Vector> w =
            h.weights.is_none() ? std::nullopt
                                : std::optional<bind::Vector>(bind::as_vector(h.weights, "w"));
        held_out_ = core::moments_all(bind::span(scores), span_or_empty(w));
    } else if (py::len(h.y) > 0) {
        held_out_score_ =
            py::float_(ctx.scoring_func(h.y, h.pred, py::arg("sample_weight") = h.weights))
                .cast<double>();
        held_out_.count = static_cast<std::int64_t>(py::len(h.y));
    }
    for (FoundRegion& r : regions) add(std::move(r));
}

void ScanTable::add(FoundRegion region) {
    severity_.push_back(severity_of(region));
    regions_.push_back(std::move(region));
}

double ScanTable::severity_of(const FoundRegion& r) const {
    const core::RegionMoments& m = held_out_moments(ctx_, r);
    if (ctx_.additive) return core::region_severity(m, held_out_, ctx_.weighted, ctx_.score_sign);
    // A set metric: the region's share of the rows times how much worse its score is.
    const double score = ctx_.use_test ? r.train_score : r.test_score;
    if (m.count == 0 || held_out_score_ == 0.0 || !std::isfinite(score)) return 0.0;
    const double share = static_cast<double>(m.count) / static_cast<double>(held_out_.count);
    return -ctx_.score_sign * share * (score - held_out_score_) / std::fabs(held_out_score_);
}

double ScanTable::worst_severity(const std::vector<std::int64_t>& features) const {
    double worst = 0.0;
    for (std::size_t i = 0; i < regions_.size(); ++i)
        if (regions_[i].features == features) worst = std::max(worst, severity_[i]);
    return worst;
}

std::vector<double> ScanTable::p_values(py::handle self) const {
    const std::size_t n = regions_.size();
    std::vector<double> p(n, 1.0);
    if (n == 0) return p;
    const double threshold = py::float_(make_probe(self).attr("threshold")).cast<double>();
    if (ctx_.additive) {
        // Welch's statistic per region, one vectorised tail probability for all of them.
        std::vector<double> statistic(n, 0.0), dof(n, 1.0);
        std::vector<bool> decided(n);
        for (std::size_t i = 0; i < n; ++i) {
            const core::WeakRegionTest t =
                core::weak_region_test(held_out_moments(ctx_, regions_[i]), held_out_,
                                       ctx_.weighted, threshold, ctx_.score_sign);
            decided[i] = t.decided;
            p[i] = t.p_value;
            statistic[i] = t.statistic;
            dof[i] = t.decided ? 1.0 : t.dof;
        }
        const py::object& sf = deps().t_sf;
        const bind::Vector tail =
            bind::as_vector(sf(bind::to_numpy(statistic), bind::to_numpy(dof)), "p-values");
        for (std::size_t i = 0; i < n; ++i)
            if (!decided[i]) p[i] = tail.data()[i];
        return p;
    }
    // A set metric: the region against random regions of the same size of the held-out rows.
    const ScanSplitData& h = held_out_split(ctx_);
    const py::module_& np = deps().np;
    const py::object rng = np.attr("random").attr("default_rng")(self.attr("random_state"));
    const auto n_rows = static_cast<std::int64_t>(py::len(h.y));
    const auto score_of = [&](const py::object& rows) {
        const py::object w =
            h.weights.is_none() ? py::object(py::none()) : py::object(h.weights[rows]);
        return py::float_(ctx_.scoring_func(h.y[rows], h.pred[rows], py::arg("sample_weight") = w))
            .cast<double>();
    };
    for (std::size_t i = 0; i < n; ++i) {
        const FoundRegion& r = regions_[i];
        const std::int64_t size = ctx_.use_test ? r.train.count : r.test.count;
        const double observed = ctx_.use_test ? r.train_score : r.test_score;
        if (size < 2 || size >= n_rows || !std::isfinite(observed)) continue;
        int as_weak = 0;
        for (int k = 0; k < kPermutations; ++k) {
            const py::object rows = rng.attr("choice")(n_rows, size, py::arg("replace") = false);
            const double random_score = score_of(rows);
            as_weak += -ctx_.score_sign * (random_score - observed) >= 0.0 ? 1 : 0;
        }
        p[i] = (1.0 + as_weak) / (1.0 + kPermutations);
    }
    return p;
}

// Every region, most severe first (the more significant first among equals).
std::vector<std::size_t> ScanTable::worst_first(const std::vector<double>& p) const {
    std::vector<std::size_t> order(regions_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        if (severity_[i] != severity_[j]) return severity_[i] > severity_[j];
        return p[i] < p[j];
    });
    return order;
}

// Whether each region is reported: weak on the held-out rows too (a positive severity), pairs
// weaker than both their features' own regions, and of the regions of the same features the
// most severe where they overlap.
std::vector<bool> ScanTable::reported(const std::vector<std::size_t>& order) const {
    std::vector<bool> keep(regions_.size(), false);
    std::vector<std::size_t> kept;
    for (std::size_t i : order) {
        const FoundRegion& r = regions_[i];
        if (!(severity_[i] > 0.0)) continue;
        if (r.features.size() == 2) {
            // A pair is weaker than its features when its worst region is clearly more severe
            // than theirs: a pair region that is a single feature's region cut by a second
            // feature differs from it by noise only.
            const double own =
                std::max(worst_severity({r.features[0]}), worst_severity({r.features[1]}));
            if (!(worst_severity(r.features) > kPairMargin * own)) continue;
        }
        bool repeat = false;
        for (std::size_t k : kept)
            repeat |= regions_[k].features == r.features && overlapping(regions_[k], r);
        if (!repeat) {
            kept.push_back(i);
            keep[i] = true;
        }
    }
    return keep;
}

py::object ScanTable::results(py::handle self) const {
    const std::vector<double> p = p_values(self);
    const std::vector<double> q = core::benjamini_hochberg({p.data(), p.size()});
    const double alpha = py::float_(self.attr("alpha")).cast<double>();
    const std::vector<std::size_t> rows = worst_first(p);
    const std::vector<bool> keep = reported(rows);
    const std::string& m = ctx_.score_name;
    py::list f1, f2, lb1, ub1, lb2, ub2, n_test, n_train, test, train, overall, gap, severity,
        p_value, q_value, significant, is_reported;
    for (std::size_t i : rows) {
        const FoundRegion& r = regions_[i];
        f1.append(py::str(ctx_.names[static_cast<std::size_t>(r.features[0])]));
        f2.append(r.features.size() > 1
                      ? py::object(py::str(ctx_.names[static_cast<std::size_t>(r.features[1])]))
                      : py::object(py::none()));
        lb1.append(r.lb1);
        ub1.append(r.ub1);
        lb2.append(r.lb2);
        ub2.append(r.ub2);
        n_test.append(r.test.count);
        n_train.append(r.train.count);
        const auto avg = [&](const core::RegionMoments& mo) {
            return core::average_score(mo, ctx_.weighted, core::ZeroWeights::kZeroSum);
        };
        const double te = ctx_.additive ? avg(r.test) : r.test_score;
        const double tr = ctx_.additive ? avg(r.train) : r.train_score;
        test.append(te);
        train.append(tr);
        overall.append(ctx_.additive ? avg(combined(r.train, r.test)) : r.overall_score);
        gap.append(te - tr);
        severity.append(severity_[i]);
        p_value.append(p[i]);
        q_value.append(q[i]);
        significant.append(py::bool_(q[i] <= alpha));
        is_reported.append(py::bool_(keep[i]));
    }
    py::dict data;
    data["feature_1"] = f1;
    data["lb_1"] = lb1;
    data["ub_1"] = ub1;
    data["feature_2"] = f2;
    data["lb_2"] = lb2;
    data["ub_2"] = ub2;
    data["#Test"] = n_test;
    data["#Train"] = n_train;
    data[py::str("test_" + m)] = test;
    data[py::str("train_" + m)] = train;
    data[py::str(m)] = overall;
    data["Gap"] = gap;
    data["severity"] = severity;
    data["p_value"] = p_value;
    data["q_value"] = q_value;
    data["significant"] = significant;
    data["reported"] = is_reported;
    return deps().pd.attr("DataFrame")(data);
}

}  // namespace movra::sagzone
