#include <gtest/gtest.h>

#include <vector>

#include "core/intervals.hpp"

using movra::core::BinInterval;
using movra::core::merge_touching_intervals;

TEST(MergeTouchingIntervals, TouchingAndOverlappingJoinSeparateStay) {
    const std::vector<BinInterval> in{
        {3, 4, 3, 3}, {0, 1, 0, 0}, {1, 2, 1, 1}, {5, 6, 5, 5}, {5.5, 7, 6, 6}};
    const std::vector<BinInterval> out = merge_touching_intervals(in);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].lb, 0);
    EXPECT_EQ(out[0].ub, 2);
    EXPECT_EQ(out[0].first_bin, 0u);
    EXPECT_EQ(out[0].last_bin, 1u);
    EXPECT_EQ(out[1].lb, 3);
    EXPECT_EQ(out[2].ub, 7);
    EXPECT_EQ(out[2].last_bin, 6u);
}

TEST(MergeTouchingIntervals, ContainedIntervalKeepsTheWiderBound) {
    const auto out = merge_touching_intervals({{0, 10, 0, 0}, {2, 3, 1, 1}});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ub, 10);
}

TEST(MergeTouchingIntervals, Empty) { EXPECT_TRUE(merge_touching_intervals({}).empty()); }
