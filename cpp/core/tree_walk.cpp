#include "core/tree_walk.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace movra::core {

namespace {

constexpr std::int64_t kLeafFeature = -2;

LeafBound* find_bound(LeafBounds& bounds, const std::string& key) {
    for (auto& entry : bounds)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

}  // namespace

std::vector<TreeLeaf> tree_leaf_rules(const FittedTreeNodes& tree, std::int64_t start,
                                      const LeafBounds& rule) {
    const double inf = std::numeric_limits<double>::infinity();
    const auto in_range = [&](std::int64_t node) {
        return node >= 0 && static_cast<std::size_t>(node) < tree.node_count;
    };
    if (!in_range(start))
        throw std::invalid_argument("node " + std::to_string(start) + " is not in the tree");

    std::vector<TreeLeaf> leaves;
    // An explicit stack; the right child is pushed first so the left subtree comes out first.
    std::vector<std::pair<std::int64_t, LeafBounds>> stack;
    stack.emplace_back(start, rule);
    std::size_t visited = 0;
    while (!stack.empty()) {
        auto [node, bounds] = std::move(stack.back());
        stack.pop_back();
        if (++visited > tree.node_count)
            throw std::invalid_argument("the tree's children arrays hold a cycle");
        const auto n = static_cast<std::size_t>(node);
        const std::int64_t feature = tree.feature[n];
        if (feature == kLeafFeature) {
            leaves.push_back(
                {std::move(bounds), tree.value[n * tree.value_stride], tree.n_node_samples[n]});
            continue;
        }
        const std::int64_t left = tree.children_left[n], right = tree.children_right[n];
        if (!in_range(left) || !in_range(right) || feature < 0)
            throw std::invalid_argument("node " + std::to_string(node) +
                                        " is a split with invalid children or feature");
        const std::string key = "f" + std::to_string(feature);
        const double threshold = tree.threshold[n];

        LeafBounds right_bounds = bounds;
        if (LeafBound* b = find_bound(right_bounds, key)) {
            if (threshold > b->lb) b->lb = threshold;
        } else {
            right_bounds.emplace_back(key, LeafBound{threshold, inf});
        }
        LeafBounds left_bounds = std::move(bounds);
        if (LeafBound* b = find_bound(left_bounds, key)) {
            if (threshold < b->ub) b->ub = threshold;
        } else {
            left_bounds.emplace_back(key, LeafBound{-inf, threshold});
        }
        stack.emplace_back(right, std::move(right_bounds));
        stack.emplace_back(left, std::move(left_bounds));
    }
    return leaves;
}

LeafBound clipped_leaf_bound(const LeafBounds& splits, std::size_t position, double min,
                             double max) {
    const std::string key = "f" + std::to_string(position);
    for (const auto& entry : splits)
        if (entry.first == key)
            return {std::max(entry.second.lb, min), std::min(entry.second.ub, max)};
    return {min, max};
}

}  // namespace movra::core
