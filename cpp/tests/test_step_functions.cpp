#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/step_functions.hpp"

using namespace movra::core;

namespace {
Span<const double> sp(const std::vector<double>& v) { return {v.data(), v.size()}; }
}  // namespace

TEST(StepBin, SplitPointGoesUpAndMissingHasItsOwnBin) {
    const std::vector<double> p{-1.0, 0.5, 2.0};
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(step_bin(-5.0, sp(p)), 0u);
    EXPECT_EQ(step_bin(-1.0, sp(p)), 1u);
    EXPECT_EQ(step_bin(0.4999, sp(p)), 1u);
    EXPECT_EQ(step_bin(0.5, sp(p)), 2u);
    EXPECT_EQ(step_bin(2.0, sp(p)), 3u);
    EXPECT_EQ(step_bin(inf, sp(p)), 3u);
    EXPECT_EQ(step_bin(-inf, sp(p)), 0u);
    EXPECT_EQ(step_bin(std::nan(""), sp(p)), 4u);
    EXPECT_EQ(step_bin(1.0, Span<const double>{}), 0u);
    EXPECT_EQ(step_bin(std::nan(""), Span<const double>{}), 1u);
}

TEST(StepBin, ComparesAsFloat32) {
    const double t = static_cast<double>(0.1f);  // a float32 threshold
    const std::vector<double> p{t};
    // A double just below the float32 value still rounds to it: XGBoost sends it right.
    const double below = std::nextafter(t, 0.0);
    EXPECT_EQ(step_bin(below, sp(p)), 1u);
    // Half a float32 step below rounds down to the previous float32: left.
    const double prev = static_cast<double>(std::nextafter(0.1f, 0.0f));
    EXPECT_EQ(step_bin(prev, sp(p)), 0u);
}

TEST(StepBin, MatchesLinearCountOnRandomData) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> g;
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<double> p;
        for (int i = 0; i < trial; ++i)
            p.push_back(static_cast<double>(static_cast<float>(g(rng))));
        std::sort(p.begin(), p.end());
        p.erase(std::unique(p.begin(), p.end()), p.end());
        for (int k = 0; k < 200; ++k) {
            const double x = g(rng);
            const double v = static_cast<double>(static_cast<float>(x));
            std::size_t count = 0;
            for (double q : p) count += q <= v ? 1 : 0;
            ASSERT_EQ(step_bin(x, sp(p)), count);
        }
    }
}

TEST(EvaluateStep, OneAndTwoFeaturesOnStridedColumns) {
    // Rows (a, b), row-major with a third unused column.
    const double nan = std::nan("");
    const std::vector<double> x{0.0, 5.0, 9.0,  //
                                2.0, nan, 9.0,  //
                                nan, 1.0, 9.0};
    const std::vector<double> p{1.0};       // bins: <1, >=1, missing
    const std::vector<double> q{2.0, 3.0};  // bins: <2, [2,3), >=3, missing
    const std::vector<double> levels1{10, 20, 30};
    std::vector<double> out(3);
    evaluate_step_1d(Column{x.data(), 3, 3}, sp(p), sp(levels1), {out.data(), 3});
    EXPECT_EQ(out, (std::vector<double>{10, 20, 30}));
    std::vector<double> levels2(3 * 4);
    for (std::size_t i = 0; i < levels2.size(); ++i) levels2[i] = static_cast<double>(i);
    evaluate_step_2d(Column{x.data(), 3, 3}, Column{x.data() + 1, 3, 3}, sp(p), sp(q), sp(levels2),
                     {out.data(), 3});
    EXPECT_EQ(out, (std::vector<double>{0 * 4 + 2, 1 * 4 + 3, 2 * 4 + 0}));
}

TEST(StrictlyIncreasing, RejectsTiesDisorderAndNaN) {
    EXPECT_TRUE(strictly_increasing(sp({})));
    EXPECT_TRUE(strictly_increasing(sp({1.0, 2.0})));
    EXPECT_FALSE(strictly_increasing(sp({1.0, 1.0})));
    EXPECT_FALSE(strictly_increasing(sp({2.0, 1.0})));
    EXPECT_FALSE(strictly_increasing(sp({std::nan("")})));
}

TEST(SplitPointsByFeature, SortedDistinctPerFeatureSkippingLeavesAndNaN) {
    const std::vector<std::int64_t> f{0, 1, -1, 0, 0, 1, 2};
    const std::vector<double> s{2.0, 1.0, std::nan(""), -1.0, 2.0, std::nan(""), 5.0};
    const auto out = split_points_by_feature({f.data(), f.size()}, sp(s), 2);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (std::vector<double>{-1.0, 2.0}));
    EXPECT_EQ(out[1], (std::vector<double>{1.0}));
}

TEST(StepLocator, EqualsStepBinOnSpreadClusteredAndExtremePoints) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> g;
    const double inf = std::numeric_limits<double>::infinity();
    const float big = std::numeric_limits<float>::max();
    std::vector<std::vector<double>> grids = {
        {},
        {0.25},
        {-1.0, 1.0},
        {-static_cast<double>(big), 0.0, static_cast<double>(big)},
        {1.0, static_cast<double>(std::nextafter(1.0f, 2.0f))}};
    for (int trial = 0; trial < 30; ++trial) {
        std::vector<double> p;
        for (int i = 0; i < 5 * trial; ++i) {
            // Half the points in a tight cluster: many share one bucket.
            const double v = i % 2 ? g(rng) * 100 : 3.0 + g(rng) * 1e-5;
            p.push_back(static_cast<double>(static_cast<float>(v)));
        }
        std::sort(p.begin(), p.end());
        p.erase(std::unique(p.begin(), p.end()), p.end());
        grids.push_back(p);
    }
    for (const auto& p : grids) {
        const StepLocator locate(sp(p));
        std::vector<double> xs{std::nan(""), inf, -inf, 0.0, 1e300, -1e300};
        for (double q : p) {
            xs.push_back(q);
            xs.push_back(std::nextafter(q, -inf));
            xs.push_back(std::nextafter(q, inf));
        }
        for (int k = 0; k < 300; ++k) xs.push_back(k % 2 ? g(rng) * 100 : 3.0 + g(rng) * 1e-5);
        for (double x : xs) ASSERT_EQ(locate.bin(x), step_bin(x, sp(p))) << x;
    }
}
