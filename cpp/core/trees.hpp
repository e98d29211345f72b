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
// A node with categorical[i] != 0 splits on a set of category codes instead of a threshold:
// categories[category_offsets[i] .. category_offsets[i+1]), ascending; a row whose code is in
// the set goes right, any other code left (XGBoost's rule, in every version we read).
struct TreeArrays {
    std::vector<std::int64_t> tree_offsets{0};
    std::vector<std::int64_t> left;
    std::vector<std::int64_t> right;
    std::vector<std::int64_t> feature;
    std::vector<double> threshold;
    std::vector<std::uint8_t> default_left;
    std::vector<double> value;
    std::vector<std::uint8_t> categorical;
    std::vector<std::int64_t> category_offsets{0};
    std::vector<std::int64_t> categories;

    std::size_t n_trees() const { return tree_offsets.size() - 1; }
    std::size_t n_nodes() const { return left.size(); }
};

// Read views of the same arrays (what the Python side hands over). Empty categorical arrays mean
// that every split is numerical.
struct TreeView {
    Span<const std::int64_t> tree_offsets;
    Span<const std::int64_t> left;
    Span<const std::int64_t> right;
    Span<const std::int64_t> feature;
    Span<const double> threshold;
    Span<const std::uint8_t> default_left;
    Span<const double> value;
    Span<const std::uint8_t> categorical;
    Span<const std::int64_t> category_offsets;
    Span<const std::int64_t> categories;

    bool splits_on_categories(std::size_t node) const {
        return categorical.size != 0 && categorical[node] != 0;
    }
    // Whether category `code` is in the set of categorical node `node`.
    bool in_category_set(std::size_t node, std::int64_t code) const;
    // Whether a non-missing value goes left at a split node: float32(x) < threshold, or for a
    // set of categories, a code outside the set (a negative value is no category: left too).
    bool goes_left(std::size_t node, double x) const;
};

TreeView view(const TreeArrays& trees);

// Throws std::invalid_argument unless the categorical arrays are empty or fit the nodes: one
// flag per node, offsets from 0 to the category count, ascending, non-negative categories.
void check_category_sets(const TreeView& trees);

// For each of n_features features, one more than the largest category code its splits on
// categories name (0 when no split treats it as categorical): the fewest categories the trees
// allow it. Features at or past n_features are ignored.
std::vector<std::int64_t> categories_in_splits(const TreeView& trees, std::size_t n_features);

// Margin of each row as XGBoost computes it, summed in double: `base_margin` plus, for every
// tree, the leaf the row reaches (goes_left above; NaN follows the default branch). `x` is
// row-major, n_rows x n_columns, and the trees have passed leaf_rules (leaf_rules.hpp), which
// checks their indices. The plain reference the effects are held to.
void tree_margins(const TreeView& trees, double base_margin, Span<const double> x,
                  std::size_t n_columns, Span<double> out);

}  // namespace movra::core
