#include "core/region_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace movra::core {

double average_score(const ScoreSums& sums, bool weighted, ZeroWeights rule) {
    if (sums.count == 0) return std::nan("");
    const bool unusable =
        rule == ZeroWeights::kZeroSum ? sums.weight == 0.0 : !(sums.weight > 0.0);
    if (weighted && !unusable) return sums.weighted / sums.weight;
    return sums.sum / static_cast<double>(sums.count);
}

std::vector<std::int64_t> rows_in_bound(Span<const double> column, Bound bound) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < column.size; ++i)
        if (bound.contains(column[i])) rows.push_back(static_cast<std::int64_t>(i));
    return rows;
}

std::vector<std::int64_t> rows_in_box(Span<const double> first, Bound first_bound,
                                      Span<const double> second, Bound second_bound) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < first.size; ++i)
        if (first_bound.contains(first[i]) && second_bound.contains(second[i]))
            rows.push_back(static_cast<std::int64_t>(i));
    return rows;
}

std::vector<std::vector<std::int64_t>> rows_in_regions(Span<const double> first,
                                                       Span<const double> second,
                                                       const std::vector<RegionBox>& regions) {
    std::vector<std::vector<std::int64_t>> rows(regions.size());
    if (regions.empty()) return rows;
    // Cells of the first column between consecutive distinct bounds: cell c is
    // [breaks[c - 1], breaks[c]), the first and last cells open to infinity.
    std::vector<double> breaks;
    for (const RegionBox& r : regions)
        for (double b : {r.first.lb, r.first.ub})
            if (!std::isnan(b)) breaks.push_back(b);
    std::sort(breaks.begin(), breaks.end());
    breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
    const std::size_t n_cells = breaks.size() + 1;
    const double inf = std::numeric_limits<double>::infinity();
    // The regions overlapping each cell (a superset: every row is still checked exactly).
    std::vector<std::size_t> offsets(n_cells + 1, 0);
    std::vector<std::size_t> candidates;
    for (std::size_t c = 0; c < n_cells; ++c) {
        const double lo = c == 0 ? -inf : breaks[c - 1];
        const double hi = c == breaks.size() ? inf : breaks[c];
        for (std::size_t r = 0; r < regions.size(); ++r)
            if (regions[r].first.lb < hi && regions[r].first.ub >= lo) candidates.push_back(r);
        offsets[c + 1] = candidates.size();
    }
    const bool two = !second.empty();
    // Few bounds (the usual case): counting the bounds at or below the value, without branches,
    // beats a binary search whose branches the data make unpredictable.
    const bool few = breaks.size() <= 16;
    for (std::size_t i = 0; i < first.size; ++i) {
        const double v = first[i];
        std::size_t c = 0;
        if (few) {
            for (double b : breaks) c += static_cast<std::size_t>(b <= v);
        } else {
            c = static_cast<std::size_t>(std::upper_bound(breaks.begin(), breaks.end(), v) -
                                         breaks.begin());
        }
        for (std::size_t k = offsets[c]; k < offsets[c + 1]; ++k) {
            const RegionBox& r = regions[candidates[k]];
            if (r.first.contains(v) && (!two || r.second.contains(second[i])))
                rows[candidates[k]].push_back(static_cast<std::int64_t>(i));
        }
    }
    return rows;
}

ScoreSums sums_at(Span<const double> scores, Span<const double> weights,
                  const std::vector<std::int64_t>& positions) {
    ScoreSums s;
    for (std::int64_t p : positions) {
        const auto i = static_cast<std::size_t>(p);
        s.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    return s;
}

ScoreSums sums_all(Span<const double> scores, Span<const double> weights) {
    ScoreSums s;
    for (std::size_t i = 0; i < scores.size; ++i) s.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    return s;
}

void gather(Span<const double> values, const std::vector<std::int64_t>& positions,
            Span<double> out) {
    for (std::size_t k = 0; k < positions.size(); ++k)
        out[k] = values[static_cast<std::size_t>(positions[k])];
}

void copy_column(const double* matrix, std::size_t rows, std::size_t cols, std::size_t c,
                 Span<double> out) {
    for (std::size_t i = 0; i < rows; ++i) out[i] = matrix[i * cols + c];
}

double percentile_of_score(Span<const double> values, double score, bool weak) {
    if (values.empty()) return std::nan("");
    std::size_t count = 0;
    for (double v : values) count += weak ? (v <= score) : (v < score);
    return static_cast<double>(count) * (100.0 / static_cast<double>(values.size));
}

}  // namespace movra::core
