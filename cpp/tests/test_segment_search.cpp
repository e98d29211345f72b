#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/region_stats.hpp"
#include "core/segment_search.hpp"

using namespace movra::core;

namespace {

Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
const double kNaN = std::numeric_limits<double>::quiet_NaN();

SearchSettings settings(double threshold_value, std::int64_t min_samples) {
    SearchSettings s;
    s.max_bins = 10;
    s.threshold_value = threshold_value;
    s.score_sign = -1.0;  // an error: higher is worse
    s.min_samples = min_samples;
    return s;
}

// Random codes of `k` categories (some missing) and scores weaker in `weak` categories.
void categorical_case(std::mt19937& rng, std::size_t n, int k, const std::vector<int>& weak,
                      std::vector<double>& codes, std::vector<double>& scores) {
    std::uniform_int_distribution<int> code(-1, k - 1);
    std::uniform_real_distribution<double> noise(0.0, 1.0);
    codes.resize(n);
    scores.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int c = code(rng);
        codes[i] = c < 0 ? kNaN : c;
        bool is_weak = false;
        for (int w : weak) is_weak = is_weak || w == c;
        scores[i] = noise(rng) + (is_weak ? 3.0 : 0.0);
    }
}

}  // namespace

TEST(CodeSet, HoldsItsCodesAndMissing) {
    const Bound b = code_set({2, kMissingCode, 0});
    EXPECT_TRUE(b.contains(0.0) && b.contains(2.0) && b.contains(kNaN));
    EXPECT_FALSE(b.contains(1.0) || b.contains(3.0) || b.contains(-1.0) || b.contains(0.5));
    EXPECT_FALSE(code_set({1}).contains(kNaN));
}

TEST(SearchFeature, NumericalWithoutMissingIsTheEqualWidthSearch) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(500), s(500);
    for (std::size_t i = 0; i < x.size(); ++i) s[i] = (x[i] = u(rng)) > 0.7 ? 2.0 : u(rng);
    const SearchSettings set = settings(1.0, 20);
    const OneFeatureSearch a = search_one_feature(view(x), view(s), {}, set);
    const OneFeatureSearch b = search_feature(view(x), FeatureKind::kNumerical, view(s), {}, set);
    ASSERT_EQ(a.regions.size(), b.regions.size());
    for (std::size_t r = 0; r < a.regions.size(); ++r) EXPECT_EQ(a.regions[r].lb, b.regions[r].lb);
    EXPECT_EQ(a.rules.size(), b.rules.size());
}

TEST(SearchFeature, MissingRowsAreABinOfTheirOwn) {
    std::vector<double> x, s;
    for (int i = 0; i < 300; ++i) {
        x.push_back(i % 3 == 0 ? kNaN : i / 300.0);
        s.push_back(i % 3 == 0 ? 5.0 : 1.0);  // weak exactly where missing
    }
    const OneFeatureSearch f =
        search_feature(view(x), FeatureKind::kNumerical, view(s), {}, settings(3.0, 20));
    ASSERT_EQ(f.regions.size(), 1u);
    EXPECT_EQ(f.regions[0].codes, (std::vector<std::int32_t>{kMissingCode}));
    EXPECT_EQ(f.regions[0].count, 100);
    EXPECT_TRUE(std::isnan(f.regions[0].lb));
    EXPECT_EQ(f.rules.back().value, 5.0);
    // Too few missing rows: judged, not kept.
    EXPECT_TRUE(search_feature(view(x), FeatureKind::kNumerical, view(s), {}, settings(3.0, 101))
                    .regions.empty());
}

TEST(SearchFeature, CategoriesJudgedOneByOneSmallOnesTogether) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<double> codes, scores;
        categorical_case(rng, 2000, 7, {1, 5}, codes, scores);
        for (double& c : codes) c = c == 6.0 ? 0.0 : c;  // no category 6
        codes[0] = 7.0;  // a category of a single row, in the small group, not weak
        scores[0] = 0.0;
        const OneFeatureSearch f = search_feature(view(codes), FeatureKind::kCategorical,
                                                  view(scores), {}, settings(2.0, 50));
        ASSERT_EQ(f.regions.size(), 1u);
        EXPECT_EQ(f.regions[0].codes, (std::vector<std::int32_t>{1, 5}));
        std::int64_t rows = 0;
        for (double c : codes) rows += c == 1.0 || c == 5.0;
        EXPECT_EQ(f.regions[0].count, rows);
        EXPECT_EQ(f.rules.front().codes, f.regions[0].codes);
        EXPECT_EQ(f.bin_rules.back().codes, (std::vector<std::int32_t>{7}));
    }
    for (const double odd : {1.5, -1.0, 3e9, std::numeric_limits<double>::infinity()}) {
        const std::vector<double> bad{0.0, kNaN, odd};
        EXPECT_THROW(
            search_feature(view(bad), FeatureKind::kCategorical, view(bad), {}, settings(1.0, 1)),
            std::invalid_argument)
            << odd;
    }
}

TEST(SearchFeaturePair, EachFirstCategorySearchedAsItsOwnRows) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> codes, scores;
    categorical_case(rng, 3000, 4, {2}, codes, scores);
    std::vector<double> second(codes.size());
    for (double& v : second) v = u(rng) < 0.05 ? kNaN : u(rng);
    SearchSettings set = settings(2.0, 30);
    set.merge_weights = ZeroWeights::kZeroSum;
    const TwoFeatureSearch t =
        search_feature_pair(view(codes), FeatureKind::kCategorical, view(second),
                            FeatureKind::kNumerical, view(scores), {}, set);
    ASSERT_EQ(t.bins.size(), 5u);  // four categories, then missing
    EXPECT_EQ(t.bins.back().codes1, (std::vector<std::int32_t>{kMissingCode}));
    for (std::size_t b = 0; b < t.bins.size(); ++b) {
        const Bound in_bin = code_set(t.bins[b].codes1);
        std::vector<double> x2, s2;
        for (std::size_t i = 0; i < codes.size(); ++i)
            if (in_bin.contains(codes[i])) {
                x2.push_back(second[i]);
                s2.push_back(scores[i]);
            }
        const OneFeatureSearch alone =
            search_feature(view(x2), FeatureKind::kNumerical, view(s2), {}, set);
        EXPECT_EQ(t.bins[b].support, static_cast<std::int64_t>(x2.size()));
        ASSERT_EQ(t.bins[b].search.regions.size(), alone.regions.size());
        EXPECT_EQ(t.bins[b].search.rules.size(), alone.rules.size());
    }
    EXPECT_FALSE(t.bins[2].search.regions.empty());  // the weak category
}
