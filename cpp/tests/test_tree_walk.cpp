#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/tree_walk.hpp"

using namespace movra::core;

namespace {
// node 0: f0 <= 5 ; node 1: leaf ; node 2: f1 <= 2 ; nodes 3, 4: leaves
struct SmallTree {
    std::vector<std::int64_t> left{1, -1, 3, -1, -1}, right{2, -1, 4, -1, -1},
        feature{0, -2, 1, -2, -2}, samples{10, 4, 6, 2, 4};
    std::vector<double> threshold{5, -2, 2, -2, -2}, value{1.0, 0.5, 1.3, 2.0, 0.9};
    FittedTreeNodes arrays() const {
        return {left.data(), right.data(),   feature.data(), threshold.data(), value.data(),
                1,           samples.data(), feature.size()};
    }
};
const double inf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(TreeLeafRules, LeftBeforeRightWithCollectedBounds) {
    const SmallTree t;
    const auto leaves = tree_leaf_rules(t.arrays(), 0, {});
    ASSERT_EQ(leaves.size(), 3u);
    EXPECT_EQ(leaves[0].value, 0.5);
    EXPECT_EQ(leaves[0].count, 4);
    ASSERT_EQ(leaves[0].splits.size(), 1u);
    EXPECT_EQ(leaves[0].splits[0].first, "f0");
    EXPECT_EQ(leaves[0].splits[0].second.lb, -inf);
    EXPECT_EQ(leaves[0].splits[0].second.ub, 5);
    ASSERT_EQ(leaves[1].splits.size(), 2u);
    EXPECT_EQ(leaves[1].splits[1].first, "f1");
    EXPECT_EQ(leaves[1].splits[1].second.ub, 2);
    EXPECT_EQ(leaves[2].splits[0].second.lb, 5);
    EXPECT_EQ(leaves[2].splits[1].second.lb, 2);
    EXPECT_EQ(leaves[2].splits[1].second.ub, inf);
}

TEST(TreeLeafRules, StartingBoundsAreTightenedNotLoosened) {
    const SmallTree t;
    const auto leaves = tree_leaf_rules(t.arrays(), 0, {{"f0", {1.0, 3.0}}});
    EXPECT_EQ(leaves[0].splits[0].second.ub, 3.0);  // 5 is above 3: kept
    EXPECT_EQ(leaves[2].splits[0].second.lb, 5.0);
}

TEST(TreeLeafRules, RejectsBrokenStructures) {
    SmallTree t;
    EXPECT_THROW(tree_leaf_rules(t.arrays(), 7, {}), std::invalid_argument);
    t.left[2] = 0;  // a cycle back to the root
    EXPECT_THROW(tree_leaf_rules(t.arrays(), 0, {}), std::invalid_argument);
    SmallTree u;
    u.right[0] = 99;
    EXPECT_THROW(tree_leaf_rules(u.arrays(), 0, {}), std::invalid_argument);
}

TEST(ClippedLeafBound, ClipsAndFillsMissingKeys) {
    const LeafBounds splits{{"f1", {-inf, 2.0}}};
    const LeafBound b1 = clipped_leaf_bound(splits, 1, 0.0, 9.0);
    EXPECT_EQ(b1.lb, 0.0);
    EXPECT_EQ(b1.ub, 2.0);
    const LeafBound b0 = clipped_leaf_bound(splits, 0, -1.0, 1.0);
    EXPECT_EQ(b0.lb, -1.0);
    EXPECT_EQ(b0.ub, 1.0);
}
