#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/region_stats.hpp"

using namespace movra::core;

namespace {
Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
}  // namespace

TEST(AverageScore, WeightedPlainAndZeroSums) {
    ScoreSums s;
    s.add(1.0, 3.0);
    s.add(5.0, 1.0);
    EXPECT_DOUBLE_EQ(average_score(s, true, ZeroWeights::kZeroSum), 2.0);
    EXPECT_DOUBLE_EQ(average_score(s, false, ZeroWeights::kZeroSum), 3.0);
    ScoreSums zero;
    zero.add(1.0, 0.0);
    zero.add(5.0, 0.0);
    EXPECT_DOUBLE_EQ(average_score(zero, true, ZeroWeights::kZeroSum), 3.0);
    ScoreSums negative;
    negative.add(1.0, -1.0);
    negative.add(5.0, 0.5);
    EXPECT_DOUBLE_EQ(average_score(negative, true, ZeroWeights::kZeroSum), (-1.0 + 2.5) / -0.5);
    EXPECT_DOUBLE_EQ(average_score(negative, true, ZeroWeights::kNotPositiveSum), 3.0);
    EXPECT_TRUE(std::isnan(average_score(ScoreSums{}, true, ZeroWeights::kZeroSum)));
}

TEST(RowsInBound, OpenAndClosedUpperBound) {
    const std::vector<double> x{0.0, 1.0, 2.0, std::nan(""), 1.5};
    EXPECT_EQ(rows_in_bound(view(x), {1.0, 2.0, false}), (std::vector<std::int64_t>{1, 4}));
    EXPECT_EQ(rows_in_bound(view(x), {1.0, 2.0, true}), (std::vector<std::int64_t>{1, 2, 4}));
}

TEST(RowsInBox, BothColumns) {
    const std::vector<double> a{0, 1, 2, 3}, b{5, 6, 7, 8};
    EXPECT_EQ(rows_in_box(view(a), {1, 3, true}, view(b), {5, 8, false}),
              (std::vector<std::int64_t>{1, 2}));
}

TEST(SumsOf, WithAndWithoutWeights) {
    const std::vector<double> w{0, 2, 4};
    const std::vector<std::int64_t> first_last{0, 2}, last_two{1, 2};
    const std::vector<double> at_first_last{1, 3}, at_last_two{2, 3};
    const ScoreSums plain = sums_of(view(at_first_last), {}, first_last.data());
    EXPECT_EQ(plain.count, 2);
    EXPECT_EQ(plain.sum, 4);
    EXPECT_EQ(plain.weight, 2);
    const ScoreSums weighted = sums_of(view(at_last_two), view(w), last_two.data());
    EXPECT_EQ(weighted.weighted, 16);
}

TEST(RegionBoxes, ClosedOnlyWhereTheUpperBoundReachesTheGivenMaximum) {
    const std::vector<RegionBounds> regions{{0, 1, 5, 6}, {1, 2, 6, 7}};
    const std::vector<double> maxima{2, 6};
    const std::vector<RegionBox> boxes = region_boxes(regions, view(maxima));
    EXPECT_FALSE(boxes[0].first.closed);
    EXPECT_TRUE(boxes[0].second.closed);
    EXPECT_TRUE(boxes[1].first.closed);
    EXPECT_FALSE(boxes[1].second.closed);
    EXPECT_EQ(boxes[1].second.ub, 7);
    for (const RegionBox& b : region_boxes(regions, {}))
        EXPECT_FALSE(b.first.closed || b.second.closed);
}

TEST(PercentileOfScore, StrictAndWeak) {
    const std::vector<double> a{1, 2, 3, 3, 4};
    EXPECT_DOUBLE_EQ(percentile_of_score(view(a), 3, false), 40.0);
    EXPECT_DOUBLE_EQ(percentile_of_score(view(a), 3, true), 80.0);
    EXPECT_TRUE(std::isnan(percentile_of_score(Span<const double>{}, 3, true)));
}

TEST(ScoreProfile, MixedSignsAndNegativeWeights) {
    const std::vector<double> positive{0.0, 2.0, 3.0}, mixed{-4.0, 1.0, 3.0}, w{1.0, 0.0, 2.0};
    const std::vector<double> negative_w{1.0, -0.5, 2.0};
    EXPECT_EQ(score_profile(view(positive), {}).mixed_sign_scale, 0.0);
    EXPECT_EQ(score_profile(view(mixed), view(w)).mixed_sign_scale, 4.0);
    EXPECT_FALSE(score_profile(view(mixed), view(w)).negative_weights);
    EXPECT_TRUE(score_profile(view(positive), view(negative_w)).negative_weights);
    // Blocks of any length, lanes and tails: the same as one plain scan.
    for (std::size_t n = 2; n < 40; ++n)  // one negative score among positive ones
        for (std::size_t at = 0; at < n; ++at) {
            std::vector<double> v(n, 1.0), u(n, 1.0);
            v[at] = -2.0 - static_cast<double>(n);
            u[(at * 7) % n] = -1.0;
            ProfileAccumulator a;
            a.add({v.data(), at}, {u.data(), at});
            a.add({v.data() + at, n - at}, {u.data() + at, n - at});
            EXPECT_EQ(a.profile().mixed_sign_scale, 2.0 + static_cast<double>(n));
            EXPECT_TRUE(a.profile().negative_weights);
        }
}
