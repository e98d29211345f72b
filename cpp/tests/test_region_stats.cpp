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

TEST(SumsAt, WithAndWithoutWeights) {
    const std::vector<double> s{1, 2, 3}, w{0, 2, 4};
    const ScoreSums plain = sums_at(view(s), {}, {0, 2});
    EXPECT_EQ(plain.count, 2);
    EXPECT_EQ(plain.sum, 4);
    EXPECT_EQ(plain.weight, 2);
    const ScoreSums weighted = sums_at(view(s), view(w), {1, 2});
    EXPECT_EQ(weighted.weighted, 16);
    EXPECT_EQ(sums_all(view(s), view(w)).weight, 6);
}

TEST(PercentileOfScore, StrictAndWeak) {
    const std::vector<double> a{1, 2, 3, 3, 4};
    EXPECT_DOUBLE_EQ(percentile_of_score(view(a), 3, false), 40.0);
    EXPECT_DOUBLE_EQ(percentile_of_score(view(a), 3, true), 80.0);
    EXPECT_TRUE(std::isnan(percentile_of_score(Span<const double>{}, 3, true)));
}

TEST(RowsInRegions, EqualsOneSelectionPerRegionFewAndMany) {
    // A fixed pseudo-random walk of values and region bounds.
    std::vector<double> a, b;
    std::uint64_t state = 12345;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 40) / static_cast<double>(1ULL << 24) * 10.0;
    };
    for (int i = 0; i < 2003; ++i) {  // not a multiple of 8: the scan's tail too
        a.push_back(std::floor(next()));  // many ties on the bounds
        b.push_back(next());
    }
    for (std::size_t n_regions : {1u, 3u, 8u, 9u, 40u}) {
        std::vector<RegionBox> regions;
        for (std::size_t r = 0; r < n_regions; ++r) {
            const double lo = std::floor(next()), lo2 = next();
            regions.push_back({{lo, lo + std::floor(next() / 3.0), r % 2 == 0},
                               {lo2, lo2 + next() / 2.0, r % 3 == 0}});
        }
        const auto two = rows_in_regions(view(a), view(b), regions);
        const auto one = rows_in_regions(view(a), {}, regions, view(b));
        for (std::size_t r = 0; r < n_regions; ++r) {
            EXPECT_EQ(two[r].rows, rows_in_box(view(a), regions[r].first, view(b), regions[r].second));
            EXPECT_TRUE(two[r].values.empty());
            const std::vector<std::int64_t> expected = rows_in_bound(view(a), regions[r].first);
            EXPECT_EQ(one[r].rows, expected);
            // The values come along, and their sums are the sums at those rows.
            std::vector<double> at(expected.size());
            gather(view(b), expected, {at.data(), at.size()});
            EXPECT_EQ(one[r].values, at);
            const ScoreSums direct = sums_at(view(b), view(a), expected);
            const ScoreSums gathered = sums_of(view(one[r].values), view(a), expected.data());
            EXPECT_EQ(direct.count, gathered.count);
            EXPECT_EQ(direct.weighted, gathered.weighted);
            EXPECT_EQ(direct.weight, gathered.weight);
        }
    }
}

TEST(SumsAll, WithoutWeightsEqualsUnitWeightsBitForBit) {
    // Values whose sums depend on the order of addition.
    std::vector<double> s;
    for (int i = 0; i < 11; ++i) s.push_back(0.1 * i + (i % 3 == 0 ? 1e16 : -0.3));
    for (std::size_t n = 0; n <= s.size(); ++n) {
        const std::vector<double> part(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
        const std::vector<double> ones(n, 1.0);
        const ScoreSums plain = sums_all(view(part), {});
        const ScoreSums unit = sums_all(view(part), view(ones));
        EXPECT_EQ(plain.count, static_cast<std::int64_t>(n));
        EXPECT_EQ(plain.count, unit.count);
        EXPECT_EQ(plain.sum, unit.sum);
        EXPECT_EQ(plain.weight, unit.weight);
        EXPECT_EQ(plain.weighted, unit.weighted);
    }
}

TEST(RowsInRegions, ManyRegionsWithInfiniteBoundsAndNonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> a, b;
    for (int i = 0; i < 301; ++i) {
        a.push_back(i % 37 == 0 ? std::nan("") : (i % 41 == 0 ? inf : (i * 7) % 19 - 3.0));
        b.push_back((i * 11) % 13 - 6.0);
    }
    for (bool infinite : {false, true}) {
        std::vector<RegionBox> regions;
        for (int r = 0; r < 12; ++r)
            regions.push_back({{r - 4.0, r - 2.5, r % 4 == 0}, {-3.0 + r % 3, 4.0, r % 2 == 0}});
        if (infinite) {
            regions[0].first = {-inf, 0.0, false};
            regions[5].first = {5.0, inf, true};
        }
        const auto two = rows_in_regions(view(a), view(b), regions);
        const auto one = rows_in_regions(view(a), {}, regions);
        for (std::size_t r = 0; r < regions.size(); ++r) {
            EXPECT_EQ(two[r].rows, rows_in_box(view(a), regions[r].first, view(b), regions[r].second));
            EXPECT_EQ(one[r].rows, rows_in_bound(view(a), regions[r].first));
        }
    }
}
