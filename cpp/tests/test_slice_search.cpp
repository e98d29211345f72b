#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/slice_search.hpp"

using namespace movra::core;

namespace {
Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }

// x = 0.5, 1.5, ..., 9.5 (ten rows each), plus 0 and 10 so the edges are the integers.
std::vector<double> ten_bins() {
    std::vector<double> x;
    for (int b = 0; b < 10; ++b)
        for (int k = 0; k < 10; ++k) x.push_back(b + 0.5);
    x.front() = 0.0;
    x.back() = 10.0;
    return x;
}

std::vector<double> scores_bad_in(const std::vector<double>& x, std::vector<int> bad) {
    std::vector<double> s;
    for (double v : x) {
        const int b = std::min(static_cast<int>(v), 9);
        s.push_back(std::find(bad.begin(), bad.end(), b) != bad.end() ? 9.0 : 1.0);
    }
    return s;
}
}  // namespace

TEST(SearchOneFeature, MergesAdjacentWeakBinsAndDropsSmallRegions) {
    const auto x = ten_bins();
    const auto s = scores_bad_in(x, {2, 3, 6});
    SearchSettings settings;
    settings.threshold_value = 1.2 * (1.0 * 70 + 9.0 * 30) / 100;
    settings.min_samples = 11;
    const OneFeatureSearch r = search_one_feature(view(x), view(s), {}, settings);
    ASSERT_EQ(r.edges.size(), 11u);
    EXPECT_EQ(r.weak_bins, (std::vector<std::size_t>{2, 3, 6}));
    ASSERT_EQ(r.regions.size(), 1u);  // bin 6 alone holds 10 rows < 11
    EXPECT_EQ(r.regions[0].lb, 2.0);
    EXPECT_EQ(r.regions[0].ub, 4.0);
    ASSERT_EQ(r.rules.size(), 9u);
    EXPECT_EQ(r.rules[0].count, 20);
    EXPECT_EQ(r.rules[0].value, 9.0);
    EXPECT_EQ(r.rules[1].lb, 0.0);  // the bins outside follow in order
}

TEST(SearchOneFeature, HigherIsBetterAndEmptyBins) {
    const std::vector<double> x{0, 0, 0, 10, 10, 10};
    const std::vector<double> s{1, 1, 1, 0, 0, 0};
    SearchSettings settings;
    settings.score_sign = 1.0;
    settings.threshold_value = 0.5;
    settings.max_bins = 5;  // two distinct values: two bins
    const OneFeatureSearch r = search_one_feature(view(x), view(s), {}, settings);
    ASSERT_EQ(r.bin_rules.size(), 2u);
    ASSERT_EQ(r.regions.size(), 1u);
    EXPECT_EQ(r.regions[0].lb, 5.0);
    EXPECT_EQ(r.regions[0].ub, 10.0);

    settings.max_bins = 3;
    const std::vector<double> x3{0, 0, 10, 5.0};
    const std::vector<double> s3{1, 1, 0, 1};
    const OneFeatureSearch r3 = search_one_feature(view(x3), view(s3), {}, settings);
    EXPECT_EQ(r3.bin_rules[1].count, 1);
    EXPECT_EQ(r3.bin_rules[2].count, 1);
}

TEST(SearchOneFeature, ZeroWeightRegionsFallBackToThePlainMean) {
    const auto x = ten_bins();
    const auto s = scores_bad_in(x, {0});
    std::vector<double> w(x.size(), 1.0);
    for (int k = 0; k < 10; ++k) w[static_cast<std::size_t>(k)] = 0.0;
    SearchSettings settings;
    settings.threshold_value = 1.2;
    const OneFeatureSearch r = search_one_feature(view(x), view(s), view(w), settings);
    EXPECT_EQ(r.bin_rules[0].value, 9.0);
    ASSERT_EQ(r.regions.size(), 1u);
    EXPECT_EQ(r.rules[0].value, 9.0);
}

TEST(SearchTwoFeatures, GroupsBinStatsAndPercentiles) {
    // first feature: two bins, the second empty of rows between
    const std::vector<double> a{0, 0, 0, 0, 3, 3, 3, 3, 1.2};
    const std::vector<double> b{0, 1, 2, 3, 0, 1, 2, 3, 5};
    const std::vector<double> s{1, 1, 9, 9, 1, 1, 1, 1, 1};
    SearchSettings settings;
    settings.max_bins = 3;
    settings.threshold_value = 2.0;
    settings.min_samples = 1;
    settings.merge_weights = ZeroWeights::kZeroSum;
    const TwoFeatureSearch t = search_two_features(view(a), view(b), view(s), {}, settings);
    ASSERT_EQ(t.bins.size(), 3u);
    EXPECT_EQ(t.bins[0].support, 4);
    EXPECT_EQ(t.bins[1].support, 1);
    EXPECT_EQ(t.bins[2].support, 4);
    ASSERT_EQ(t.bins[0].search.regions.size(), 1u);
    EXPECT_EQ(t.bins[0].search.regions[0].lb, 2.0);
    EXPECT_EQ(t.bins[0].search.regions[0].ub, 3.0);
    EXPECT_DOUBLE_EQ(t.bins[0].lb2q[0], 50.0);
    EXPECT_DOUBLE_EQ(t.bins[0].ub2q[0], 100.0);  // reaches the bin's maximum: weak rank
    EXPECT_EQ(t.bins[2].ub1, 3.0);
}

TEST(SearchTwoFeatures, EmptyFirstFeatureBin) {
    const std::vector<double> a{0, 0, 3, 3};
    const std::vector<double> b{1, 2, 3, 4};
    const std::vector<double> s{1, 1, 1, 1};
    SearchSettings settings;
    settings.max_bins = 3;
    const TwoFeatureSearch t = search_two_features(view(a), view(b), view(s), {}, settings);
    ASSERT_EQ(t.bins.size(), 2u);  // two distinct values
    const std::vector<double> a4{0, 0, 3, 3, 3.0, 0.2};
    const std::vector<double> b4{1, 2, 3, 4, 5, 6};
    const std::vector<double> s4{1, 1, 1, 1, 1, 1};
    const TwoFeatureSearch t4 = search_two_features(view(a4), view(b4), view(s4), {}, settings);
    ASSERT_EQ(t4.bins.size(), 3u);
    EXPECT_EQ(t4.bins[1].support, 0);
    EXPECT_TRUE(std::isnan(t4.bins[1].lb2));
}

TEST(SearchOneFeature, WithoutWeightsEqualsUnitWeightsBitForBit) {
    std::vector<double> x, s;
    for (int i = 0; i < 103; ++i) {
        x.push_back(static_cast<double>((i * 37) % 23));
        s.push_back(0.1 * i + (i % 5 == 0 ? 1e15 : -0.7));
    }
    const std::vector<double> ones(x.size(), 1.0);
    SearchSettings settings;
    settings.max_bins = 7;
    settings.threshold_value = 1e14;
    settings.score_sign = 1.0;
    const OneFeatureSearch plain = search_one_feature(view(x), view(s), {}, settings);
    const OneFeatureSearch unit = search_one_feature(view(x), view(s), view(ones), settings);
    ASSERT_EQ(plain.bin_sums.size(), unit.bin_sums.size());
    for (std::size_t b = 0; b < plain.bin_sums.size(); ++b) {
        EXPECT_EQ(plain.bin_sums[b].count, unit.bin_sums[b].count);
        EXPECT_EQ(plain.bin_sums[b].sum, unit.bin_sums[b].sum);
        EXPECT_EQ(plain.bin_sums[b].weight, unit.bin_sums[b].weight);
        EXPECT_EQ(plain.bin_sums[b].weighted, unit.bin_sums[b].weighted);
    }
    EXPECT_EQ(plain.weak_bins, unit.weak_bins);
}

// A bin whose own average lies a rounding away from the threshold value is judged on the exact
// average the callback gives for exactly the bin's rows; far from it, the callback is not asked.
TEST(NearTies, SettledOnTheBinsRowsOnOneAndTwoFeatures) {
    const auto x = ten_bins();
    std::vector<double> s, second;
    for (std::size_t i = 0; i < x.size(); ++i) {
        s.push_back(0.1 * static_cast<double>(i % 7) + 0.3);  // sums that round
        second.push_back(static_cast<double>(i % 5));
    }
    const std::vector<double> w(x.size(), 1.0);
    for (bool two : {false, true}) {
        for (bool above : {false, true}) {
            SearchSettings settings;
            settings.score_sign = -1.0;
            settings.max_bins = 10;
            // Bin 4's own average, nudged by an ulp: a near tie; exact_average says equal.
            std::vector<std::int64_t> bin4_rows;
            double bin4 = 0.0;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (x[i] >= 4 && x[i] < 5 && (!two || second[i] < 0.8)) {
                    bin4 += s[i];
                    bin4_rows.push_back(static_cast<std::int64_t>(i));
                }
            bin4 /= static_cast<double>(bin4_rows.size());
            settings.threshold_value = std::nextafter(bin4, above ? HUGE_VAL : -HUGE_VAL);
            int asked_bin4 = 0;
            settings.ties.exact_average = [&](const std::vector<std::int64_t>& rows) {
                if (rows == bin4_rows) {
                    ++asked_bin4;
                    return settings.threshold_value;  // the reference rounds to a tie
                }
                double sum = 0.0;
                for (std::int64_t r : rows) sum += s[static_cast<std::size_t>(r)];
                return sum / static_cast<double>(rows.size());
            };
            std::vector<std::size_t> weak;
            if (two)
                weak = search_two_features(view(x), view(second), view(s), view(w), settings)
                           .bins[4]
                           .search.weak_bins;
            else
                weak = search_one_feature(view(x), view(s), view(w), settings).weak_bins;
            const std::size_t tied = two ? 0u : 4u;
            EXPECT_EQ(asked_bin4, 1) << two << above;
            EXPECT_NE(std::find(weak.begin(), weak.end(), tied), weak.end()) << two << above;
        }
    }
}

TEST(NearTies, BoundScalesWithCountsMagnitudesAndSigns) {
    const double eps = DBL_EPSILON;
    EXPECT_TRUE(near_tie(1.0, 10, 1.0 + 4 * eps, ScoreProfile{}));
    EXPECT_FALSE(near_tie(1.0, 10, 1.0 + 1e-9, ScoreProfile{}));
    EXPECT_TRUE(near_tie(1.0, 10000000, 1.0 + 1e-9, ScoreProfile{}));  // long sums err more
    // scores of both signs cancel: the error is relative to their magnitude
    EXPECT_FALSE(near_tie(1e-6, 10, 1e-6 * (1 + 1e-9), ScoreProfile{}));
    EXPECT_TRUE(near_tie(1e-6, 10, 1e-6 * (1 + 1e-9), ScoreProfile{1e3, false}));
    EXPECT_TRUE(near_tie(5.0, 1, -3.0, ScoreProfile{0.0, true}));  // negative weights: no bound
    EXPECT_FALSE(near_tie(std::nan(""), 1, 1.0, ScoreProfile{}));
}

// The two-feature search's cells against the plain formulation: each first-feature bin's rows
// picked one by one, their second-feature range, distinct values and edges, and every cell's
// rows summed. Integer scores and weights make every sum exact in any order, so the sums must
// be equal; sizes and bin counts reach the vector paths (more than 16 first-feature bins, more
// than a thousand cells), data with ties on the edges, few values and empty bins.
TEST(SearchTwoFeatures, CellsEqualThePlainFormulation) {
    std::uint64_t state = 12;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = std::size_t{1} + next() % (trial % 3 == 0 ? 20 : 3000);
        const std::int64_t bins = std::int64_t{1} + static_cast<std::int64_t>(next() % 60);
        std::vector<double> a(n), b(n), s(n), w(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = trial % 4 == 1 ? static_cast<double>(next() % 7)  // few values
                                  : static_cast<double>(next() % 100000) / 1000.0;
            if (trial % 4 == 2 && a[i] > 30.0 && a[i] < 60.0) a[i] = 10.0;   // empty bins
            b[i] = trial % 5 == 3 ? static_cast<double>(next() % 11) / 10.0  // on the edges
                                  : static_cast<double>(next() % 1000) - 500.0;
            s[i] = static_cast<double>(next() % 9);
            w[i] = static_cast<double>(next() % 3);
        }
        SearchSettings settings;
        settings.max_bins = bins;
        settings.threshold_value = 4.0;
        settings.min_samples = 2;
        settings.merge_weights = ZeroWeights::kZeroSum;
        for (bool weighted : {false, true}) {
            const TwoFeatureSearch t = search_two_features(
                view(a), view(b), view(s), weighted ? view(w) : Span<const double>{}, settings);
            const std::vector<double> edges =
                equal_width_edges(value_range(view(a)), histogram_bin_count(view(a), bins));
            ASSERT_EQ(t.edges, edges);
            const BinLocator first(edges);
            for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
                std::vector<double> second, score, weight;
                for (std::size_t i = 0; i < n; ++i)
                    if (first(a[i]) == k) {
                        second.push_back(b[i]);
                        score.push_back(s[i]);
                        weight.push_back(w[i]);
                    }
                const FirstFeatureBin& fb = t.bins[k];
                ASSERT_EQ(fb.support, static_cast<std::int64_t>(second.size()));
                if (second.empty()) continue;
                const ValueRange r = value_range(view(second));
                EXPECT_EQ(fb.lb2, r.min);
                EXPECT_EQ(fb.ub2, r.max);
                const std::vector<double> edges2 =
                    equal_width_edges(r, histogram_bin_count(view(second), bins));
                ASSERT_EQ(fb.search.edges, edges2);
                std::vector<ScoreSums> cells(edges2.size() - 1);
                const BinLocator locate2(edges2);
                for (std::size_t j = 0; j < second.size(); ++j)
                    cells[locate2(second[j])].add(score[j], weighted ? weight[j] : 1.0);
                for (std::size_t c = 0; c < cells.size(); ++c) {
                    const ScoreSums& got = fb.search.bin_sums[c];
                    EXPECT_EQ(got.count, cells[c].count) << trial << " " << k << " " << c;
                    EXPECT_EQ(got.sum, cells[c].sum) << trial << " " << k << " " << c;
                    EXPECT_EQ(got.weight, cells[c].weight) << trial << " " << k << " " << c;
                    EXPECT_EQ(got.weighted, cells[c].weighted) << trial << " " << k << " " << c;
                }
            }
        }
    }
}
