#include "core/scan_stats.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace movra::core {

namespace {

// The moments of the split's rows outside the region.
RegionMoments rest_of(const RegionMoments& split, const RegionMoments& region) {
    RegionMoments r;
    r.count = split.count - region.count;
    r.sum = split.sum - region.sum;
    r.weight = split.weight - region.weight;
    r.weighted = split.weighted - region.weighted;
    r.weighted_sq = split.weighted_sq - region.weighted_sq;
    r.weight_sq = split.weight_sq - region.weight_sq;
    return r;
}

}  // namespace

Sample sample_of(const RegionMoments& m, bool weighted) {
    Sample s;
    const double w = weighted ? m.weight : static_cast<double>(m.count);
    const double ws = weighted ? m.weighted : m.sum;
    const double wss = m.weighted_sq;  // w = 1 when unweighted
    const double w2 = weighted ? m.weight_sq : static_cast<double>(m.count);
    if (!(w > 0.0)) return s;
    s.mean = ws / w;
    s.effective_n = w * w / w2;
    const double spread = std::max(wss / w - s.mean * s.mean, 0.0);
    if (s.effective_n > 1.0)
        s.variance_of_mean = spread * s.effective_n / (s.effective_n - 1.0) / s.effective_n;
    return s;
}

double region_severity(const RegionMoments& region, const RegionMoments& split, bool weighted,
                       double score_sign) {
    const double w = weighted ? split.weight : static_cast<double>(split.count);
    const double ws = weighted ? split.weighted : split.sum;
    const double wr = weighted ? region.weight : static_cast<double>(region.count);
    const double wsr = weighted ? region.weighted : region.sum;
    if (region.count == 0 || !(w > 0.0)) return 0.0;
    const double mean = ws / w;
    if (mean == 0.0 || !std::isfinite(mean)) return 0.0;
    return -score_sign * (wsr - wr * mean) / (w * std::fabs(mean));
}

WeakRegionTest weak_region_test(const RegionMoments& region, const RegionMoments& split,
                                bool weighted, double threshold, double score_sign) {
    WeakRegionTest t;
    t.decided = true;
    const Sample in = sample_of(region, weighted);
    const Sample out = sample_of(rest_of(split, region), weighted);
    const double total = weighted ? split.weight : static_cast<double>(split.count);
    const double share = (weighted ? region.weight : static_cast<double>(region.count)) / total;
    if (region.count < 2 || !(in.effective_n > 1.0) || !(out.effective_n > 1.0)) return t;
    // The region's average against threshold times the split's, rewritten against the rest.
    if (!(1.0 - threshold * share > 0.0)) return t;
    const double factor = threshold * (1.0 - share) / (1.0 - threshold * share);
    const double difference = -score_sign * (in.mean - factor * out.mean);
    const double a = in.variance_of_mean, b = factor * factor * out.variance_of_mean;
    const double variance = a + b;
    if (!(variance > 0.0)) {
        t.p_value = difference > 0.0 ? 0.0 : 1.0;
        return t;
    }
    t.decided = false;
    t.statistic = difference / std::sqrt(variance);
    const double da = in.effective_n - 1.0, db = out.effective_n - 1.0;
    t.dof = variance * variance / (a * a / da + b * b / db);
    return t;
}

std::vector<double> benjamini_hochberg(Span<const double> p) {
    const std::size_t m = p.size;
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto value = [&](std::size_t i) { return std::isnan(p[i]) ? 1.0 : p[i]; };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t i, std::size_t j) { return value(i) < value(j); });
    std::vector<double> q(m);
    double running = 1.0;
    for (std::size_t k = m; k-- > 0;) {
        const std::size_t i = order[k];
        running = std::min(running, value(i) * static_cast<double>(m) / static_cast<double>(k + 1));
        q[i] = running;
    }
    return q;
}

}  // namespace movra::core
