#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/merged_search.hpp"
#include "core/partition_stats.hpp"
#include "core/segment_search.hpp"

using namespace movra::core;

namespace {

Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
Span<const double> part(const std::vector<double>& v, std::size_t from, std::size_t to) {
    return {v.data() + from, to - from};
}
const double kNaN = std::nan("");

// A feature of either kind with missing values and scores weaker at some of its values: a
// numerical one's values in [0, 1), a categorical one's codes of very unequal categories.
void feature_case(unsigned seed, FeatureKind kind, std::vector<double>& x,
                  std::vector<double>& scores, std::vector<double>& weights) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n = 3000;
    x.resize(n);
    scores.resize(n);
    weights.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = u(rng);
        x[i] = kind == FeatureKind::kNumerical ? v : std::floor(9.0 * v * v * v);
        if (u(rng) < 0.08) x[i] = kNaN;
        const bool weak = std::isnan(x[i]) ? seed % 2 == 0 : (v > 0.6 && v < 0.8);
        scores[i] = u(rng) + (weak ? 1.5 : 0.0);
        weights[i] = 2.0 * u(rng);
    }
}

// The feature's bins as a cluster sums them: the cells of its bins summed over three parts.
MergedFeature merged_over_parts(FeatureKind kind, const std::vector<double>& x,
                                const std::vector<double>& scores,
                                const std::vector<double>& weights, std::int64_t max_bins) {
    MergedFeature f;
    f.kind = kind;
    f.range = finite_range(view(x));
    std::vector<double> present;
    for (double v : x)
        if (!std::isnan(v)) present.push_back(v);
    std::vector<double> edges;
    if (kind == FeatureKind::kNumerical) {
        edges = equal_width_edges(f.range, histogram_bin_count(view(present), max_bins));
        f.edges = edges;
    } else {
        for (double c = 0.0; c <= f.range.max + 1.0; c += 1.0) edges.push_back(c);
    }
    const CellGrid grid(edges);
    std::vector<ScoreSums> cells(grid.n_cells());
    for (std::size_t from = 0; from < x.size(); from += 1100) {
        const std::size_t to = std::min(from + 1100, x.size());
        const auto sums = cell_score_sums(grid, part(x, from, to), {}, part(scores, from, to),
                                          part(weights, from, to), {}, nullptr);
        for (std::size_t c = 0; c < sums.size(); ++c) cells[c].add(sums[c]);
    }
    f.missing = cells.back();
    cells.pop_back();
    f.bins = cells;
    return f;
}

}  // namespace

TEST(MergedFeature, PartsAreJudgedAsTheInMemorySearchJudgesTheRows) {
    for (FeatureKind kind : {FeatureKind::kNumerical, FeatureKind::kCategorical}) {
        for (unsigned seed = 0; seed < 6; ++seed) {
            std::vector<double> x, scores, weights;
            feature_case(seed, kind, x, scores, weights);
            SearchSettings settings;
            settings.max_bins = 10;
            settings.score_sign = -1.0;
            settings.min_samples = seed < 3 ? 20 : 150;  // small categories grouped
            settings.threshold_value = 1.05 * (0.5 + 0.2 * 1.5);
            const OneFeatureSearch rows =
                search_feature(view(x), kind, view(scores), view(weights), settings);
            const MergedFeature f = merged_over_parts(kind, x, scores, weights, 10);
            const OneFeatureSearch merged = judge_merged_feature(f, true, settings, {});
            EXPECT_EQ(merged_units(f, settings.min_samples).size(), rows.bin_rules.size());
            ASSERT_EQ(merged.bin_rules.size(), rows.bin_rules.size());
            for (std::size_t b = 0; b < rows.bin_rules.size(); ++b) {
                EXPECT_EQ(merged.bin_rules[b].count, rows.bin_rules[b].count);
                EXPECT_EQ(merged.bin_rules[b].codes, rows.bin_rules[b].codes);
                EXPECT_NEAR(merged.bin_rules[b].value, rows.bin_rules[b].value, 1e-12);
            }
            EXPECT_EQ(merged.weak_bins, rows.weak_bins);
            ASSERT_EQ(merged.rules.size(), rows.rules.size());
            for (std::size_t r = 0; r < rows.rules.size(); ++r) {
                EXPECT_EQ(merged.rules[r].codes, rows.rules[r].codes);
                EXPECT_EQ(merged.rules[r].count, rows.rules[r].count);
            }
            ASSERT_EQ(merged.regions.size(), rows.regions.size());
            for (std::size_t r = 0; r < rows.regions.size(); ++r) {
                EXPECT_EQ(merged.regions[r].codes, rows.regions[r].codes);
                EXPECT_TRUE(merged.regions[r].lb == rows.regions[r].lb ||
                            std::isnan(rows.regions[r].lb));
            }
        }
    }
}

TEST(MergedFeature, SettledAveragesDecideTheirUnits) {
    MergedFeature f;
    f.kind = FeatureKind::kCategorical;
    f.bins = {{30, 30.0, 30.0, 30.0}, {5, 10.0, 5.0, 10.0}, {40, 40.0, 40.0, 40.0}};
    f.missing = {6, 6.0, 6.0, 6.0};
    SearchSettings settings;
    settings.score_sign = -1.0;
    settings.min_samples = 10;
    settings.threshold_value = 1.5;
    // Units: code 0, code 2, then the small ones (missing and code 1) together.
    const auto units = merged_units(f, settings.min_samples);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[2], (std::vector<std::size_t>{3, 1}));
    EXPECT_TRUE(judge_merged_feature(f, false, settings, {}).regions.empty());
    const OneFeatureSearch s = judge_merged_feature(f, false, settings, {kNaN, 2.0, kNaN});
    ASSERT_EQ(s.regions.size(), 1u);
    EXPECT_EQ(s.regions[0].codes, (std::vector<std::int32_t>{2}));
}
