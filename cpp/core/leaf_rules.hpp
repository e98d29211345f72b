// The rule of each leaf of a boosted ensemble: its value and what its path asks of at most two
// features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/trees.hpp"

namespace movra::core {

// What a leaf asks of one feature: float32(x) in [lower, upper), or x missing when `missing`.
// For a categorical feature of k categories, `allowed` has k entries, 1 for each category code
// the path admits (the bounds stay infinite).
struct FeatureCondition {
    std::int64_t feature = -1;
    double lower = 0.0;  // -inf when unbounded
    double upper = 0.0;  // +inf when unbounded
    bool missing = true;
    std::vector<std::uint8_t> allowed;

    bool categorical() const { return !allowed.empty(); }
};

// A leaf's value and the conditions of its path on at most two distinct features, ascending.
struct LeafRule {
    double value = 0.0;
    int n_conditions = 0;
    FeatureCondition conditions[2];
};

// The rule of every leaf of every tree, by an explicit-stack walk from each root. n_categories
// holds each feature's category count (0: numerical), or is empty when all are numerical; a
// categorical feature's codes are 0 .. k-1. Throws std::invalid_argument for bad child or feature
// indices, cycles, a path that tests more than two distinct features (the ensemble would then
// not be a sum of pairwise effects), or a split on categories of a numerical feature.
std::vector<LeafRule> leaf_rules(const TreeView& trees, std::size_t n_features,
                                 Span<const std::int64_t> n_categories = {});

}  // namespace movra::core
