#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "core/distances.hpp"
#include "core/fanova.hpp"
#include "core/merged_search.hpp"
#include "core/partition_stats.hpp"
#include "core/slice_search.hpp"
#include "core/trees.hpp"

using namespace movra::core;

namespace {

Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
Span<const double> part(const std::vector<double>& v, std::size_t from, std::size_t to) {
    return {v.data() + from, to - from};
}

std::vector<double> random_values(std::size_t n, unsigned seed, double spread) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    std::vector<double> v(n);
    for (double& x : v) x = g(rng) * std::pow(10.0, spread * g(rng));
    return v;
}

}  // namespace

TEST(ExactSum, IsExactAndDoesNotDependOnHowThePartsAreMerged) {
    ExactSum small;
    for (double v : {1e16, 1.0, -1e16, 1e-20}) small.add(v);
    EXPECT_EQ(small.rounded(), 1.0);  // a plain sum gives 0

    const std::vector<double> v = random_values(5000, 1, 4.0);
    ExactSum whole;
    for (double x : v) whole.add(x);
    for (std::size_t cut : {1u, 777u, 2500u, 4999u}) {
        ExactSum a, b;
        for (double x : part(v, 0, cut)) a.add(x);
        for (double x : part(v, cut, v.size())) b.add(x);
        b.add(a);  // the other order
        EXPECT_EQ(b.rounded(), whole.rounded());
        EXPECT_TRUE(b.exact());
    }
    // Reversed order, one by one: the same rounded sum.
    ExactSum reversed;
    for (auto it = v.rbegin(); it != v.rend(); ++it) reversed.add(*it);
    EXPECT_EQ(reversed.rounded(), whole.rounded());
}

TEST(ExactSum, NonFiniteValuesFallBackToThePlainSum) {
    ExactSum s;
    s.add(1.0);
    s.add(HUGE_VAL);
    EXPECT_FALSE(s.exact());
    EXPECT_EQ(s.rounded(), HUGE_VAL);
    ExactSum overflow;
    overflow.add(1.7e308);
    overflow.add(1.7e308);
    EXPECT_FALSE(overflow.exact());
    EXPECT_TRUE(std::isinf(overflow.rounded()));
}

TEST(DistinctValues, TheUnionOfThePartsCountsAsTheWhole) {
    std::mt19937_64 rng(3);
    for (int values : {3, 9, 10, 11, 40}) {
        std::uniform_int_distribution<int> pick(0, values - 1);
        std::vector<double> x(3000);
        for (double& v : x) v = pick(rng) * 0.25 - 1.0;
        x[5] = -0.0;
        for (std::size_t limit : {1u, 10u, 64u}) {
            std::set<double> merged;
            for (std::size_t from = 0; from < x.size(); from += 700) {
                const auto d =
                    distinct_values(part(x, from, std::min(from + 700, x.size())), {}, limit);
                EXPECT_LE(d.size(), limit);
                merged.insert(d.begin(), d.end());
            }
            EXPECT_EQ(std::min(merged.size(), limit), count_distinct_up_to(view(x), limit));
        }
    }
}

TEST(CellSums, PartsAddUpAndMatchTheInMemorySearch) {
    const std::vector<double> x = random_values(4000, 5, 0.0);
    std::vector<double> scores(x.size()), weights(x.size());
    std::mt19937_64 rng(6);
    std::uniform_real_distribution<double> u(0.0, 2.0);
    for (std::size_t i = 0; i < x.size(); ++i) {
        scores[i] = x[i] * x[i] + (x[i] > 0.5 ? 1.0 : 0.0);
        weights[i] = u(rng);
    }
    SearchSettings settings;
    settings.max_bins = 10;
    settings.score_sign = -1.0;
    settings.min_samples = 30;
    settings.threshold_value = 1.1 * 1.5;
    const ValueRange range = value_range(view(x));
    const std::vector<double> edges = equal_width_edges(range, 10);
    const CellGrid grid(edges);
    ASSERT_EQ(grid.n_cells(), edges.size());  // the bins, then the missing rows
    std::vector<ScoreSums> merged(grid.n_cells());
    for (std::size_t from = 0; from < x.size(); from += 1500) {
        const std::size_t to = std::min(from + 1500, x.size());
        std::int64_t unplaced = -1;
        const auto sums = cell_score_sums(grid, part(x, from, to), {}, part(scores, from, to),
                                          part(weights, from, to), {}, &unplaced);
        EXPECT_EQ(unplaced, 0);
        for (std::size_t c = 0; c < sums.size(); ++c) merged[c].add(sums[c]);
    }
    EXPECT_EQ(merged.back().count, 0);
    merged.pop_back();
    OneFeatureSearch fromParts;
    fromParts.edges = edges;
    fromParts.range = range;
    fromParts.bin_sums = merged;
    judge_merged_bins(fromParts, true, settings, {});
    const OneFeatureSearch inMemory =
        search_one_feature(view(x), view(scores), view(weights), settings);
    ASSERT_EQ(fromParts.bin_rules.size(), inMemory.bin_rules.size());
    for (std::size_t b = 0; b < inMemory.bin_rules.size(); ++b) {
        EXPECT_EQ(fromParts.bin_rules[b].count, inMemory.bin_rules[b].count);
        EXPECT_NEAR(fromParts.bin_rules[b].value, inMemory.bin_rules[b].value, 1e-12);
    }
    EXPECT_EQ(fromParts.weak_bins, inMemory.weak_bins);
    ASSERT_EQ(fromParts.regions.size(), inMemory.regions.size());
    for (std::size_t r = 0; r < inMemory.regions.size(); ++r) {
        EXPECT_EQ(fromParts.regions[r].lb, inMemory.regions[r].lb);
        EXPECT_EQ(fromParts.regions[r].ub, inMemory.regions[r].ub);
    }
    ASSERT_EQ(fromParts.rules.size(), inMemory.rules.size());
    for (std::size_t r = 0; r < inMemory.rules.size(); ++r)
        EXPECT_EQ(fromParts.rules[r].count, inMemory.rules[r].count);
}

TEST(CellGrid, MissingRowsHaveCellsOfTheirOwnAndRowsOfABinWithoutEdgesNone) {
    // First bins [0, 1), [1, 2], missing; the second feature's bins in the first only.
    const CellGrid grid({0.0, 1.0, 2.0}, {{0.0, 0.5, 1.0}, {}, {}});
    EXPECT_EQ(grid.n_first_bins(), 3u);
    EXPECT_EQ(grid.n_cells(), 5u);  // 2 + missing, missing, missing
    const double nan = std::nan("");
    const std::vector<double> first{0.2, 0.7, 1.5, 2.0, nan, 0.3};
    const std::vector<double> second{0.1, 0.9, 0.3, nan, 0.5, nan};
    const std::vector<double> scores{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
    std::int64_t unplaced = 0;
    const auto sums =
        cell_score_sums(grid, view(first), view(second), view(scores), {}, {}, &unplaced);
    EXPECT_EQ(unplaced, 2);
    const std::vector<std::int64_t> expected{1, 1, 1, 1, 0};
    for (std::size_t c = 0; c < expected.size(); ++c) EXPECT_EQ(sums[c].count, expected[c]);
    EXPECT_EQ(sums[2].sum, 6.0);
    const CellGrid values_missing(std::vector<double>{});
    EXPECT_EQ(values_missing.n_cells(), 1u);
    EXPECT_THROW(CellGrid({0.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(CellGrid({0.0, 1.0}, {{1.0, 0.0}, {}}), std::invalid_argument);
    EXPECT_THROW(CellGrid({0.0, 1.0}, {{}}), std::invalid_argument);
}

TEST(MergedNearTie, CoversTheSummationErrorOfBothSides) {
    const ScoreProfile p;
    EXPECT_TRUE(merged_near_tie(1.0, 10, 1000000, 1.0, p));
    EXPECT_TRUE(merged_near_tie(1.0 + 1e-14, 10, 1000000, 1.0, p));
    EXPECT_FALSE(merged_near_tie(1.0 + 1e-9, 10, 1000000, 1.0, p));
    ScoreProfile negative;
    negative.negative_weights = true;
    EXPECT_TRUE(merged_near_tie(2.0, 1, 1, 1.0, negative));
}

TEST(WeightedHistograms, CountLikeSearchsortedRight) {
    const std::vector<double> x{-1.0, 0.0, 0.5, 1.0, 2.0, 3.0, std::nan("")};
    const std::vector<double> a(x.size(), 1.0), b{0, 0, 0, 0, 0, 0, 2.0};
    const auto h =
        weighted_histograms(x.data(), x.size(), 1, {{0.0, 1.0, 2.0, 3.0}}, view(a), view(b));
    // Inner edges 1 and 2: {-1, 0, 0.5} | {1} | {2, 3}, then the missing bin {NaN}.
    EXPECT_EQ(h[0], (std::vector<double>{3, 1, 2, 1, 0, 0, 0, 2}));
    const auto one = weighted_histograms(x.data(), x.size(), 1, {{5.0}}, view(a), view(b));
    EXPECT_EQ(one[0], (std::vector<double>{6, 1, 0, 2}));
}

TEST(BinnedDistance, MissingValuesAreOneMorePsiBucket) {
    const std::vector<double> edges{0.0, 1.0, 2.0, 3.0, 4.0}, reference{5, 1, 7, 3},
        weak{2, 4, 0, 1};
    for (bool quantile : {false, true}) {
        const double without =
            binned_distance(view(edges), view(reference), view(weak), "PSI", quantile, 0.0, 4.0);
        EXPECT_EQ(binned_distance(view(edges), view(reference), view(weak), "PSI", quantile, 0.0,
                                  4.0, 0.0, 0.0),
                  without);
        const double with = binned_distance(view(edges), view(reference), view(weak), "PSI",
                                            quantile, 0.0, 4.0, 2.0, 6.0);
        EXPECT_NE(with, without);
        if (!quantile) {
            const std::vector<double> e{5, 1, 7, 3, 2}, a{2, 4, 0, 1, 6};
            EXPECT_DOUBLE_EQ(with, population_stability(view(e), view(a)));
        }
    }
    // WD1 and KS compare the values that are there.
    EXPECT_EQ(
        binned_distance(view(edges), view(reference), view(weak), "KS", false, 0.0, 4.0, 2.0, 6.0),
        binned_distance(view(edges), view(reference), view(weak), "KS", false, 0.0, 4.0));
}

TEST(GridCounts, PartsAddUpToTheEffectsOfTheWhole) {
    // Two depth-2 trees on three features.
    TreeArrays t;
    t.left = {1, 3, 5, -1, -1, -1, -1, 1, -1, -1};
    t.right = {2, 4, 6, -1, -1, -1, -1, 2, -1, -1};
    t.feature = {0, 1, 2, -1, -1, -1, -1, 2, -1, -1};
    t.threshold = {0.0, 0.5, -0.5, 0, 0, 0, 0, 0.25, 0, 0};
    t.default_left = {1, 0, 1, 0, 0, 0, 0, 1, 0, 0};
    t.value = {0, 0, 0, 1.0, -2.0, 0.5, 3.0, 0, 0.25, -0.75};
    t.tree_offsets = {0, 7, 10};
    const std::size_t p = 3, n = 900;
    std::vector<double> x = random_values(n * p, 9, 0.0);
    x[4] = std::nan("");
    const auto rules = leaf_rules(view(t), p);
    const Effects whole = fanova_effects(rules, 0.5, Matrix{x.data(), n, p}, {});
    Effects grids = effect_grids(rules, 0.5, p);
    GridCounts total = grid_counts(grids, Matrix{x.data(), 300, p});
    for (std::size_t from = 300; from < n; from += 300) {
        const GridCounts c = grid_counts(grids, Matrix{x.data() + from * p, 300, p});
        for (std::size_t m = 0; m < c.mains.size(); ++m)
            for (std::size_t k = 0; k < c.mains[m].size(); ++k) total.mains[m][k] += c.mains[m][k];
        for (std::size_t q = 0; q < c.pairs.size(); ++q)
            for (std::size_t k = 0; k < c.pairs[q].size(); ++k) total.pairs[q][k] += c.pairs[q][k];
    }
    finish_effects(grids, total, static_cast<double>(n), {});
    EXPECT_EQ(grids.intercept, whole.intercept);
    ASSERT_EQ(grids.mains.size(), whole.mains.size());
    for (std::size_t m = 0; m < whole.mains.size(); ++m) {
        EXPECT_EQ(grids.mains[m].levels, whole.mains[m].levels);
        EXPECT_EQ(grids.mains[m].importance, whole.mains[m].importance);
    }
    ASSERT_EQ(grids.pairs.size(), whole.pairs.size());
    for (std::size_t q = 0; q < whole.pairs.size(); ++q)
        EXPECT_EQ(grids.pairs[q].levels, whole.pairs[q].levels);
    GridCounts wrong = total;
    wrong.mains[0].pop_back();
    EXPECT_THROW(finish_effects(grids, wrong, static_cast<double>(n), {}), std::invalid_argument);
}
