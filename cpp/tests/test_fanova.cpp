#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/fanova.hpp"
#include "core/trees.hpp"

using namespace movra::core;

namespace {

// A random ensemble of depth-2 trees on n_features, float32 thresholds, random default branches;
// with k_categories > 0, feature 0 is categorical and its splits send random sets of its codes
// right.
TreeArrays random_ensemble(std::size_t n_trees, std::size_t n_features, std::mt19937_64& rng,
                           std::int64_t k_categories = 0) {
    std::uniform_int_distribution<std::int64_t> feat(0, static_cast<std::int64_t>(n_features) - 1);
    std::normal_distribution<double> g;
    std::bernoulli_distribution coin(0.5);
    TreeArrays t;
    for (std::size_t k = 0; k < n_trees; ++k) {
        if (k % 7 == 3) {  // a tree that is a single leaf: a constant
            t.left.push_back(-1);
            t.right.push_back(-1);
            t.feature.push_back(-1);
            t.threshold.push_back(0.0);
            t.default_left.push_back(0);
            t.value.push_back(static_cast<double>(static_cast<float>(g(rng))));
            t.categorical.push_back(0);
            t.category_offsets.push_back(static_cast<std::int64_t>(t.categories.size()));
            t.tree_offsets.push_back(static_cast<std::int64_t>(t.left.size()));
            continue;
        }
        const bool stump = k % 5 == 0;
        const std::size_t n = stump ? 3 : 7;
        for (std::size_t i = 0; i < n; ++i) {
            const bool leaf = stump ? i > 0 : i > 2;
            t.left.push_back(leaf ? -1 : static_cast<std::int64_t>(2 * i + 1));
            t.right.push_back(leaf ? -1 : static_cast<std::int64_t>(2 * i + 2));
            t.feature.push_back(leaf ? -1 : feat(rng));
            t.threshold.push_back(leaf ? 0.0 : static_cast<double>(static_cast<float>(g(rng))));
            t.default_left.push_back(coin(rng) ? 1 : 0);
            t.value.push_back(leaf ? static_cast<double>(static_cast<float>(g(rng))) : 0.0);
            const bool categorical = !leaf && k_categories > 0 && t.feature.back() == 0;
            t.categorical.push_back(categorical ? 1 : 0);
            for (std::int64_t c = 0; categorical && c < k_categories; ++c)
                if (coin(rng)) t.categories.push_back(c);
            t.category_offsets.push_back(static_cast<std::int64_t>(t.categories.size()));
        }
        t.tree_offsets.push_back(static_cast<std::int64_t>(t.left.size()));
    }
    return t;
}

// Rows of normal values, or in column 0 codes 0 .. k_categories-1 when it is categorical.
std::vector<double> random_rows(std::size_t n, std::size_t p, std::mt19937_64& rng, double nan_rate,
                                std::int64_t k_categories = 0) {
    std::normal_distribution<double> g;
    std::bernoulli_distribution missing(nan_rate);
    std::uniform_int_distribution<std::int64_t> code(0,
                                                     std::max<std::int64_t>(k_categories, 1) - 1);
    std::vector<double> x(n * p);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = missing(rng)                     ? std::nan("")
               : i % p == 0 && k_categories > 0 ? static_cast<double>(code(rng))
                                                : 1.5 * g(rng);
    return x;
}

std::vector<double> effects_sum(const Effects& fx, const std::vector<double>& x, std::size_t p) {
    const std::size_t n = x.size() / p;
    std::vector<double> total(n, fx.intercept), part(n);
    for (const MainEffect& m : fx.mains) {
        evaluate_step_1d(Column{x.data() + m.feature, n, p},
                         {m.split_points.data(), m.split_points.size()},
                         {m.levels.data(), m.levels.size()}, {part.data(), n});
        for (std::size_t r = 0; r < n; ++r) total[r] += part[r];
    }
    for (const PairEffect& e : fx.pairs) {
        evaluate_step_2d(Column{x.data() + e.feature_a, n, p}, Column{x.data() + e.feature_b, n, p},
                         {e.split_points_a.data(), e.split_points_a.size()},
                         {e.split_points_b.data(), e.split_points_b.size()},
                         {e.levels.data(), e.levels.size()}, {part.data(), n});
        for (std::size_t r = 0; r < n; ++r) total[r] += part[r];
    }
    return total;
}

// XGBoost's routing written out: the value rounded to float32 against each split point.
std::size_t bin_of(double x, const std::vector<double>& points) {
    if (std::isnan(x)) return points.size() + 1;
    const auto v = static_cast<double>(static_cast<float>(x));
    std::size_t b = 0;
    for (double point : points) b += point <= v ? 1 : 0;
    return b;
}

}  // namespace

class FanovaExactness : public ::testing::TestWithParam<int> {};

TEST_P(FanovaExactness, EffectsSumToTheTreesAtEveryRow) {
    // 0: raw sums, 1: product density, 2: joint density; 3 to 5 the same with a categorical
    // feature.
    const int mode = GetParam();
    std::mt19937_64 rng(static_cast<unsigned>(100 + mode));
    const std::size_t p = 4;
    const std::int64_t k = mode >= 3 ? 9 : 0;
    const std::vector<std::int64_t> n_categories{k, 0, 0, 0};
    const TreeArrays trees = random_ensemble(40, p, rng, k);
    const std::vector<double> train = random_rows(300, p, rng, 0.1, k);
    FanovaOptions options;
    options.purify = mode % 3 > 0;
    options.true_to_data = mode % 3 == 2;
    const Effects fx = fanova_effects(leaf_rules(view(trees), p, {n_categories.data(), p}), 0.75,
                                      Matrix{train.data(), 300, p}, options);
    if (k > 0) {
        ASSERT_EQ(fx.mains[0].n_categories, k);
        EXPECT_EQ(fx.mains[0].levels.size(), static_cast<std::size_t>(k) + 1);
    }
    const std::vector<double> test = random_rows(500, p, rng, 0.2, k);
    std::vector<double> reference(500);
    tree_margins(view(trees), 0.75, {test.data(), test.size()}, p, {reference.data(), 500});
    const std::vector<double> total = effects_sum(fx, test, p);
    for (std::size_t r = 0; r < 500; ++r) EXPECT_NEAR(total[r], reference[r], 1e-11);
    for (const PairEffect& e : fx.pairs) EXPECT_TRUE(e.purify_converged);
}

INSTANTIATE_TEST_SUITE_P(Modes, FanovaExactness, ::testing::Values(0, 1, 2, 3, 4, 5));

TEST(Fanova, PurifiedEffectsHaveZeroMeanOverTheData) {
    std::mt19937_64 rng(7);
    const std::size_t p = 3, n = 400;
    const TreeArrays trees = random_ensemble(30, p, rng);
    const std::vector<double> x = random_rows(n, p, rng, 0.05);
    const Effects fx = fanova_effects(leaf_rules(view(trees), p), 0.0, Matrix{x.data(), n, p}, {});
    std::vector<double> part(n);
    for (const MainEffect& m : fx.mains) {
        evaluate_step_1d(Column{x.data() + m.feature, n, p},
                         {m.split_points.data(), m.split_points.size()},
                         {m.levels.data(), m.levels.size()}, {part.data(), n});
        double mean = 0, sq = 0;
        for (double v : part) mean += v;
        mean /= static_cast<double>(n);
        for (double v : part) sq += (v - mean) * (v - mean);
        EXPECT_NEAR(mean, 0.0, 1e-12);
        EXPECT_NEAR(m.importance, sq / static_cast<double>(n), 1e-12);
    }
}

TEST(Fanova, RejectsDataWithoutTheTestedColumns) {
    std::mt19937_64 rng(1);
    const TreeArrays trees = random_ensemble(10, 4, rng);
    const std::vector<double> x(2 * 2, 0.0);
    EXPECT_THROW(fanova_effects(leaf_rules(view(trees), 4), 0.0, Matrix{x.data(), 2, 2}, {}),
                 std::invalid_argument);
    EXPECT_THROW(fanova_effects(leaf_rules(view(trees), 4), 0.0, Matrix{x.data(), 0, 4}, {}),
                 std::invalid_argument);
}

TEST(Fanova, EachEffectKeepsTheRowsCountsOnItsGrid) {
    std::mt19937_64 rng(11);
    const std::size_t p = 4, n = 500;
    const TreeArrays trees = random_ensemble(40, p, rng);
    const std::vector<double> x = random_rows(n, p, rng, 0.1);
    const Effects fx = fanova_effects(leaf_rules(view(trees), p), 0.0, Matrix{x.data(), n, p}, {});
    ASSERT_FALSE(fx.pairs.empty());
    for (const MainEffect& m : fx.mains) {
        std::vector<double> expected(m.levels.size(), 0.0);
        for (std::size_t r = 0; r < n; ++r)
            expected[bin_of(x[r * p + static_cast<std::size_t>(m.feature)], m.split_points)] += 1;
        EXPECT_EQ(m.counts, expected);
    }
    for (const PairEffect& e : fx.pairs) {
        const std::size_t width = e.split_points_b.size() + 2;
        std::vector<double> expected(e.levels.size(), 0.0);
        for (std::size_t r = 0; r < n; ++r) {
            const std::size_t a =
                bin_of(x[r * p + static_cast<std::size_t>(e.feature_a)], e.split_points_a);
            const std::size_t b =
                bin_of(x[r * p + static_cast<std::size_t>(e.feature_b)], e.split_points_b);
            expected[a * width + b] += 1;
        }
        EXPECT_EQ(e.counts, expected);
    }
}
