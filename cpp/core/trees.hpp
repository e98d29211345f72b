// Boosted trees as flat node arrays, read from XGBoost's JSON model, and the rule of each leaf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// Reads the trees of a gbtree model saved by Booster.save_raw("json") (XGBoost 1.7 to 3.x).
// Throws std::invalid_argument with a readable message on malformed JSON, another booster kind,
// categorical splits or vector leaves.
TreeArrays read_xgboost_json(const char* text, std::size_t length);

// The same from Booster.save_raw("ubj"), which XGBoost writes several times faster than JSON.
TreeArrays read_xgboost_ubjson(const char* data, std::size_t length);

// What a leaf asks of one feature: float32(x) in [lower, upper), or x missing when `missing`.
struct FeatureCondition {
    std::int64_t feature = -1;
    double lower = 0.0;  // -inf when unbounded
    double upper = 0.0;  // +inf when unbounded
    bool missing = true;
};

// A leaf's value and the conditions of its path on at most two distinct features, ascending.
struct LeafRule {
    double value = 0.0;
    int n_conditions = 0;
    FeatureCondition conditions[2];
};

// The rule of every leaf of every tree, by an explicit-stack walk from each root. Throws
// std::invalid_argument for bad child or feature indices, cycles, or a path that tests more than
// two distinct features (the ensemble would then not be a sum of pairwise effects).
std::vector<LeafRule> leaf_rules(const TreeView& trees, std::size_t n_features);

// Margin of each row as XGBoost computes it, summed in double: `base_margin` plus, for every
// tree, the leaf the row reaches (float32(x) < threshold goes left; NaN follows the default
// branch). `x` is row-major, n_rows x n_columns, and the trees have passed leaf_rules. The plain
// reference the effects are held to.
void tree_margins(const TreeView& trees, double base_margin, Span<const double> x,
                  std::size_t n_columns, Span<double> out);

}  // namespace movra::core
