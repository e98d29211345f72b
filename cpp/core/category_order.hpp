// A categorical feature as a regression tree sees it: its categories (missing among them) ranked
// by their average score, so that the tree's threshold splits reach the best partitions of the
// categories into two sets, and the tree's bounds on the ranks read back as sets.
#pragma once

#include <cstdint>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

struct CategoryOrder {
    std::vector<std::int32_t> codes;  // by increasing average score (kMissingCode: missing)
    std::vector<double> rank_of_row;  // each row's category's rank, 0, 1, ...
};

// The categories of `codes` (codes 0, 1, ..., NaN for missing) with rows, ranked by their
// (weighted, where the weights sum to more than zero) average score, ties by code.
// std::invalid_argument for a code that is not a non-negative integer.
CategoryOrder order_categories(Span<const double> codes, Span<const double> scores,
                               Span<const double> weights);

// The codes whose rank lies in [lb, ub) (a tree's thresholds fall between ranks), increasing.
std::vector<std::int32_t> codes_ranked_within(const CategoryOrder& order, double lb, double ub);

}  // namespace movra::core
