// The leaves of a fitted regression tree, as boxes over its input columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace movra::core {

// Flat node arrays of a fitted tree (scikit-learn's tree_ layout); a leaf has feature -2.
struct FittedTreeNodes {
    const std::int64_t* children_left = nullptr;
    const std::int64_t* children_right = nullptr;
    const std::int64_t* feature = nullptr;
    const double* threshold = nullptr;
    const double* value = nullptr;  // first entry of each node's value block
    std::size_t value_stride = 1;   // entries per node in `value`
    const std::int64_t* n_node_samples = nullptr;
    std::size_t node_count = 0;
};

struct LeafBound {
    double lb = 0.0;
    double ub = 0.0;
};

// Bounds per feature key ("f0", "f1", ...), in the order the keys were first bounded.
using LeafBounds = std::vector<std::pair<std::string, LeafBound>>;

struct TreeLeaf {
    LeafBounds splits;
    double value = 0.0;
    std::int64_t count = 0;
};

// Depth-first walk from `start` with the bounds collected so far: one rule per leaf, left
// subtree before right subtree. A left child lowers the key's upper bound to the threshold (or
// bounds it by (-inf, threshold]), a right child raises its lower bound. Throws
// std::invalid_argument for a node index out of range or a structure that is not a tree.
std::vector<TreeLeaf> tree_leaf_rules(const FittedTreeNodes& tree, std::int64_t start,
                                      const LeafBounds& rule);

// The leaf's bounds on key "f<position>", clipped to [min, max] (an unbounded side gives the
// observed extreme).
LeafBound clipped_leaf_bound(const LeafBounds& splits, std::size_t position, double min,
                             double max);

}  // namespace movra::core
