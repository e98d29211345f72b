#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/scan_stats.hpp"

using namespace movra::core;

namespace {
RegionMoments moments(const std::vector<double>& s, const std::vector<double>& w = {}) {
    return moments_all({s.data(), s.size()}, {w.data(), w.size()});
}
}  // namespace

TEST(BenjaminiHochberg, MatchesTheStepUpRule) {
    const std::vector<double> p{0.01, 0.04, 0.03, 0.5, std::nan(""), 0.002};
    const std::vector<double> q = benjamini_hochberg({p.data(), p.size()});
    // sorted: 0.002 0.01 0.03 0.04 0.5 nan(1) over m = 6
    EXPECT_DOUBLE_EQ(q[5], 0.002 * 6 / 1);
    EXPECT_DOUBLE_EQ(q[0], 0.01 * 6 / 2);
    EXPECT_DOUBLE_EQ(q[2], 0.04 * 6 / 4);  // the larger p's smaller ratio carries down
    EXPECT_DOUBLE_EQ(q[1], 0.04 * 6 / 4);
    EXPECT_DOUBLE_EQ(q[3], 0.5 * 6 / 5);
    EXPECT_DOUBLE_EQ(q[4], 1.0);
}

TEST(RegionSeverity, ShareOfTheExcessErrorSignedByDirection) {
    const std::vector<double> split{1, 1, 1, 1, 3, 3};  // mean 10/6
    const RegionMoments all = moments(split), region = moments({3, 3});
    const double mean = 10.0 / 6.0;
    EXPECT_DOUBLE_EQ(region_severity(region, all, false, -1.0), (6 - 2 * mean) / (6 * mean));
    EXPECT_DOUBLE_EQ(region_severity(region, all, false, +1.0), -(6 - 2 * mean) / (6 * mean));
    EXPECT_EQ(region_severity(RegionMoments{}, all, false, -1.0), 0.0);
    // weights count like repeated rows
    const RegionMoments weighted = moments(split, {1, 1, 1, 1, 2, 2});
    const RegionMoments repeated = moments({1, 1, 1, 1, 3, 3, 3, 3});
    EXPECT_DOUBLE_EQ(region_severity(moments({3, 3}, {2, 2}), weighted, true, -1.0),
                     region_severity(moments({3, 3, 3, 3}), repeated, false, -1.0));
}

TEST(WeakRegionTest, DirectionThresholdAndDecidedCases) {
    std::vector<double> split, inside;
    for (int i = 0; i < 400; ++i) {
        const double s = 1.0 + 0.1 * (i % 7);
        split.push_back(i < 100 ? 2.5 * s : s);
        if (i < 100) inside.push_back(2.5 * s);
    }
    const RegionMoments all = moments(split), region = moments(inside);
    const WeakRegionTest worse = weak_region_test(region, all, false, 1.2, -1.0);
    EXPECT_FALSE(worse.decided);
    EXPECT_GT(worse.statistic, 5.0);  // much worse than 1.2 times the average
    EXPECT_GT(worse.dof, 50.0);
    // a higher-is-better metric reads the same region as good
    EXPECT_LT(weak_region_test(region, all, false, 1 / 1.2, +1.0).statistic, -5.0);
    // a threshold the region does not reach
    EXPECT_LT(weak_region_test(region, all, false, 3.0, -1.0).statistic, 0.0);
    // too few rows, and a region holding too much of the split to be weak
    EXPECT_TRUE(weak_region_test(moments({9}), all, false, 1.2, -1.0).decided);
    const WeakRegionTest everything = weak_region_test(all, all, false, 1.2, -1.0);
    EXPECT_TRUE(everything.decided);
    EXPECT_EQ(everything.p_value, 1.0);
    // no variance at all: decided by the difference alone
    const std::vector<double> flat{1, 1, 1, 1, 1, 1, 5, 5, 5};
    const WeakRegionTest sure =
        weak_region_test(moments({5, 5, 5}), moments(flat), false, 1.2, -1.0);
    EXPECT_TRUE(sure.decided);
    EXPECT_EQ(sure.p_value, 0.0);
}
