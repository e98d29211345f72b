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

namespace {

// Unit u's settled average where there is one, else its own.
SettleAverage settled_from(const std::vector<double>& settled, std::size_t offset) {
    return [&settled, offset](std::size_t u, double value) {
        const std::size_t k = offset + u;
        return k < settled.size() && !std::isnan(settled[k]) ? settled[k] : value;
    };
}

std::vector<CodeUnit> units_of_categories(const MergedFeature& f, std::int64_t min_samples) {
    return category_units(CategorySums{f.bins, f.missing}, min_samples);
}

}  // namespace

std::vector<std::vector<std::size_t>> merged_units(const MergedFeature& f,
                                                   std::int64_t min_samples) {
    std::vector<std::vector<std::size_t>> out;
    if (f.kind == FeatureKind::kCategorical) {
        for (const CodeUnit& u : units_of_categories(f, min_samples)) {
            std::vector<std::size_t>& bins = out.emplace_back();
            for (std::int32_t c : u.codes)
                bins.push_back(c == kMissingCode ? f.bins.size() : static_cast<std::size_t>(c));
        }
        return out;
    }
    for (std::size_t b = 0; b < f.bins.size(); ++b) out.push_back({b});
    if (f.missing.count > 0) out.push_back({f.bins.size()});
    return out;
}

OneFeatureSearch judge_merged_feature(const MergedFeature& f, bool weighted,
                                      const SearchSettings& settings,
                                      const std::vector<double>& settled) {
    OneFeatureSearch s;
    if (f.kind == FeatureKind::kCategorical) {
        // The codes that have rows, as the in-memory search finds their range.
        s.range = {std::nan(""), std::nan("")};
        for (std::size_t c = 0; c < f.bins.size(); ++c) {
            if (f.bins[c].count == 0) continue;
            if (std::isnan(s.range.min)) s.range.min = static_cast<double>(c);
            s.range.max = static_cast<double>(c);
        }
        judge_category_units(s, units_of_categories(f, settings.min_samples), weighted, settings,
                             settled_from(settled, 0));
        return s;
    }
    s.range = f.range;
    if (f.edges.empty() != f.bins.empty() ||
        (!f.edges.empty() && f.edges.size() != f.bins.size() + 1))
        throw std::invalid_argument("one more edge than bins");
    if (!f.edges.empty()) {
        s.edges = f.edges;
        s.bin_sums = f.bins;
        judge_bin_sums(s, weighted, settings, settled_from(settled, 0));
    }
    if (f.missing.count > 0)
        judge_missing_bin(s, f.missing, weighted, settings, settled_from(settled, f.bins.size()));
    return s;
}

void region_percentiles(const OneFeatureSearch& s, std::vector<double>& lbq,
                        std::vector<double>& ubq) {
    const std::size_t n_intervals = s.edges.empty() ? 0 : s.edges.size() - 1;
    std::int64_t support = 0, present = 0;
    for (std::size_t b = 0; b < s.bin_sums.size(); ++b) {
        support += s.bin_sums[b].count;
        if (b < n_intervals) present += s.bin_sums[b].count;
    }
    // Rows of the intervals that end at or below `bound`.
    const auto rows_below = [&](double bound) {
        std::int64_t rows = 0;
        for (std::size_t b = 0; b < n_intervals; ++b)
            if (s.edges[b + 1] <= bound) rows += s.bin_sums[b].count;
        return rows;
    };
    const double per_row = 100.0 / static_cast<double>(support);
    for (const SliceRule& r : s.regions) {
        if (!r.codes.empty()) {
            lbq.push_back(std::nan(""));
            ubq.push_back(std::nan(""));
            continue;
        }
        const std::int64_t up_to = r.ub == s.range.max ? present : rows_below(r.ub);
        lbq.push_back(static_cast<double>(rows_below(r.lb)) * per_row);
        ubq.push_back(static_cast<double>(up_to) * per_row);
    }
}

}  // namespace movra::core
