#include "core/category_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "core/region_stats.hpp"

namespace movra::core {

CategoryOrder order_categories(Span<const double> codes, Span<const double> scores,
                               Span<const double> weights) {
    // Slot 0 for missing, slot c + 1 for code c.
    std::vector<ScoreSums> sums;
    std::vector<std::size_t> slot_of_row(codes.size);
    for (std::size_t i = 0; i < codes.size; ++i) {
        const double v = codes[i];
        std::size_t slot = 0;
        if (!std::isnan(v)) {
            if (!(v >= 0.0) || v != std::floor(v) || v > 2147483646.0)
                throw std::invalid_argument("a categorical column holds codes 0, 1, ... or NaN");
            slot = static_cast<std::size_t>(v) + 1;
        }
        if (slot >= sums.size()) sums.resize(slot + 1);
        sums[slot].add(scores[i], weights.empty() ? 1.0 : weights[i]);
        slot_of_row[i] = slot;
    }
    std::vector<std::size_t> present;
    std::vector<double> average(sums.size(), 0.0);
    for (std::size_t s = 0; s < sums.size(); ++s)
        if (sums[s].count > 0) {
            present.push_back(s);
            average[s] = average_score(sums[s], !weights.empty(), ZeroWeights::kNotPositiveSum);
        }
    std::stable_sort(present.begin(), present.end(),
                     [&](std::size_t a, std::size_t b) { return average[a] < average[b]; });
    CategoryOrder out;
    std::vector<double> rank(sums.size(), 0.0);
    for (std::size_t r = 0; r < present.size(); ++r) {
        rank[present[r]] = static_cast<double>(r);
        out.codes.push_back(present[r] == 0 ? kMissingCode
                                            : static_cast<std::int32_t>(present[r] - 1));
    }
    out.rank_of_row.resize(codes.size);
    for (std::size_t i = 0; i < codes.size; ++i) out.rank_of_row[i] = rank[slot_of_row[i]];
    return out;
}

std::vector<std::int32_t> codes_ranked_within(const CategoryOrder& order, double lb, double ub) {
    std::vector<std::int32_t> out;
    for (std::size_t r = 0; r < order.codes.size(); ++r) {
        const auto rank = static_cast<double>(r);
        if (rank >= lb && rank < ub) out.push_back(order.codes[r]);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace movra::core
