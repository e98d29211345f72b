// Boosted trees as flat node arrays, and the margin a row gets from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// Every tree's nodes, one after the other; tree t owns nodes [tree_offsets[t], tree_offsets[t+1]).
// Children are numbered within their tree; a leaf has left == -1 and its value in `value`.
// Thresholds and leaf values are the model's float32 numbers, held exactly as doubles.
struct TreeArrays {
    std::vector<std::int64_t> tree_offsets{0};
    std::vector<std::int64_t> left;
    std::vector<std::int64_t> right;
    std::vector<std::int64_t> feature;
    std::vector<double> threshold;
    std::vector<std::uint8_t> default_left;
    std::vector<double> value;

    std::size_t n_trees() const { return tree_offsets.size() - 1; }
    std::size_t n_nodes() const { return left.size(); }
};

// Read views of the same arrays (what the Python side hands over).
struct TreeView {
    Span<const std::int64_t> tree_offsets;
    Span<const std::int64_t> left;
    Span<const std::int64_t> right;
    Span<const std::int64_t> feature;
    Span<const double> threshold;
    Span<const std::uint8_t> default_left;
    Span<const double> value;
};

TreeView view(const TreeArrays& trees);

// Margin of each row as XGBoost computes it, summed in double: `base_margin` plus, for every
// tree, the leaf the row reaches (float32(x) < threshold goes left; NaN follows the default
// branch). `x` is row-major, n_rows x n_columns, and the trees have passed leaf_rules
// (leaf_rules.hpp), which checks their indices. The plain reference the effects are held to.
void tree_margins(const TreeView& trees, double base_margin, Span<const double> x,
                  std::size_t n_columns, Span<double> out);

}  // namespace movra::core
