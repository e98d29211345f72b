#include "core/merged_search.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace movra::core {

bool merged_near_tie(double value, std::int64_t count, std::int64_t n_total, double threshold_value,
                     const ScoreProfile& p) {
    if (p.negative_weights) return true;
    // The bin's side as near_tie bounds it (any order of adding count rows), plus numpy's pairwise
    // error on the threshold's side: about log2(n) levels above blocks of up to 128 rows summed
    // eight ways; with a margin of two.
    const double scale =
        std::max({std::fabs(value), std::fabs(threshold_value), p.mixed_sign_scale});
    const double levels = std::log2(static_cast<double>(std::max<std::int64_t>(n_total, 1)) + 1.0);
    const double bound =
        8.0 * (static_cast<double>(count) + 2.0 + levels + 16.0) * DBL_EPSILON * scale;
    return std::fabs(value - threshold_value) <= bound;
}

std::vector<std::uint8_t> merged_near_ties(Span<const double> values, Span<const double> counts,
                                           std::int64_t n_total, double threshold_value,
                                           const ScoreProfile& p) {
    std::vector<std::uint8_t> out(values.size, 0);
    for (std::size_t k = 0; k < values.size; ++k) {
        const auto count = static_cast<std::int64_t>(counts[k]);
        out[k] = static_cast<std::uint8_t>(
            count > 0 && merged_near_tie(values[k], count, n_total, threshold_value, p));
    }
    return out;
}

void judge_merged_bins(OneFeatureSearch& s, bool weighted, const SearchSettings& settings,
                       const std::vector<double>& settled) {
    const std::size_t n_bins = s.bin_sums.size();
    if (s.edges.size() != n_bins + 1) throw std::invalid_argument("one more edge than bins");
    if (!settled.empty() && settled.size() != n_bins)
        throw std::invalid_argument("one settled average per bin");
    s.bin_rules.clear();
    s.weak_bins.clear();
    s.regions.clear();
    s.rules.clear();
    judge_bin_sums(s, weighted, settings, [&](std::size_t b, double value) {
        return !settled.empty() && !std::isnan(settled[b]) ? settled[b] : value;
    });
}

void region_percentiles(const OneFeatureSearch& s, std::vector<double>& lbq,
                        std::vector<double>& ubq) {
    std::int64_t support = 0;
    for (const ScoreSums& b : s.bin_sums) support += b.count;
    // Rows of the bins that end at or below `bound`.
    const auto rows_below = [&](double bound) {
        std::int64_t rows = 0;
        for (std::size_t b = 0; b < s.bin_sums.size(); ++b)
            if (s.edges[b + 1] <= bound) rows += s.bin_sums[b].count;
        return rows;
    };
    const double per_row = 100.0 / static_cast<double>(support);
    for (const SliceRule& r : s.regions) {
        const std::int64_t up_to = r.ub == s.range.max ? support : rows_below(r.ub);
        lbq.push_back(static_cast<double>(rows_below(r.lb)) * per_row);
        ubq.push_back(static_cast<double>(up_to) * per_row);
    }
}

}  // namespace movra::core
