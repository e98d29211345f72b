#include "core/leaf_rules.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace movra::core {

namespace {

struct PathState {
    std::int64_t node;
    int n_conditions;
    FeatureCondition conditions[2];
};

// Where a node sends the rows of a path, and what its feature is.
struct Split {
    const TreeView& trees;
    std::size_t node;
    std::int64_t feature;
    std::int64_t n_categories;  // 0: numerical feature
    bool go_left;
};

// Narrows a categorical feature's admitted codes to those the split sends this way.
void narrow_categories(FeatureCondition& c, const Split& s) {
    for (std::size_t code = 0; code < c.allowed.size(); ++code) {
        const bool left = s.trees.goes_left(s.node, static_cast<double>(code));
        if (left != s.go_left) c.allowed[code] = 0;
    }
}

// Narrows the path's condition on the split's feature; false when a third distinct feature
// appears.
bool narrow(PathState& s, const Split& split) {
    int slot = -1;
    for (int c = 0; c < s.n_conditions; ++c)
        if (s.conditions[c].feature == split.feature) slot = c;
    if (slot < 0) {
        if (s.n_conditions == 2) return false;
        slot = s.n_conditions++;
        s.conditions[slot] = FeatureCondition{split.feature,
                                              -std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::infinity(),
                                              true,
                                              {}};
        s.conditions[slot].allowed.assign(static_cast<std::size_t>(split.n_categories), 1);
    }
    FeatureCondition& c = s.conditions[slot];
    if (c.categorical()) {
        narrow_categories(c, split);
    } else if (split.go_left) {
        c.upper = std::min(c.upper, split.trees.threshold[split.node]);
    } else {
        c.lower = std::max(c.lower, split.trees.threshold[split.node]);
    }
    c.missing = c.missing && (split.go_left == (split.trees.default_left[split.node] != 0));
    return true;
}

}  // namespace

std::vector<LeafRule> leaf_rules(const TreeView& trees, std::size_t n_features,
                                 Span<const std::int64_t> n_categories) {
    if (n_categories.size != 0 && n_categories.size != n_features)
        throw std::invalid_argument("n_categories must have one count per feature");
    for (std::size_t f = 0; f < n_categories.size; ++f)
        if (n_categories[f] < 0)
            throw std::invalid_argument("a category count must not be negative");
    check_category_sets(trees);
    std::vector<LeafRule> rules;
    const std::size_t n_trees = trees.tree_offsets.size == 0 ? 0 : trees.tree_offsets.size - 1;
    const auto n_nodes = static_cast<std::int64_t>(trees.left.size);
    std::vector<PathState> stack;
    for (std::size_t t = 0; t < n_trees; ++t) {
        const std::int64_t first = trees.tree_offsets[t];
        const std::int64_t size = trees.tree_offsets[t + 1] - first;
        if (first < 0 || size <= 0 || first + size > n_nodes)
            throw std::invalid_argument("tree offsets out of range");
        std::size_t visited = 0;
        stack.clear();
        stack.push_back(PathState{0, 0, {}});
        while (!stack.empty()) {
            PathState s = std::move(stack.back());
            stack.pop_back();
            // A well-formed tree visits each node once; more visits mean a cycle.
            if (++visited > static_cast<std::size_t>(size))
                throw std::invalid_argument("tree " + std::to_string(t) + " has a cycle");
            const auto i = static_cast<std::size_t>(first + s.node);
            if (trees.left[i] < 0) {
                LeafRule rule;
                rule.value = trees.value[i];
                rule.n_conditions = s.n_conditions;
                for (int c = 0; c < s.n_conditions; ++c)
                    rule.conditions[c] = std::move(s.conditions[c]);
                if (rule.n_conditions == 2 &&
                    rule.conditions[0].feature > rule.conditions[1].feature)
                    std::swap(rule.conditions[0], rule.conditions[1]);
                rules.push_back(std::move(rule));
                continue;
            }
            const std::int64_t f = trees.feature[i];
            if (f < 0 || static_cast<std::size_t>(f) >= n_features)
                throw std::invalid_argument("tree " + std::to_string(t) + " splits on feature " +
                                            std::to_string(f) + " of " +
                                            std::to_string(n_features));
            const std::int64_t k =
                n_categories.size == 0 ? 0 : n_categories[static_cast<std::size_t>(f)];
            if (trees.splits_on_categories(i) && k == 0)
                throw std::invalid_argument("tree " + std::to_string(t) + " splits feature " +
                                            std::to_string(f) +
                                            " on categories, but it is not categorical");
            const std::int64_t children[2] = {trees.left[i], trees.right[i]};
            for (int side = 0; side < 2; ++side) {
                if (children[side] <= 0 || children[side] >= size)
                    throw std::invalid_argument("tree " + std::to_string(t) +
                                                " has a child index out of range");
                PathState next = s;
                next.node = children[side];
                if (!narrow(next, Split{trees, i, f, k, side == 0}))
                    throw std::invalid_argument(
                        "tree " + std::to_string(t) +
                        " tests more than two features on one path; only depth-2 interactions "
                        "can be decomposed");
                stack.push_back(std::move(next));
            }
        }
    }
    return rules;
}

}  // namespace movra::core
