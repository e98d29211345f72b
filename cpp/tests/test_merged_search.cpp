#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/merged_search.hpp"
#include "core/partition_stats.hpp"
#include "core/segment_search.hpp"

using namespace movra::core;

namespace {

Span<const double> view(const std::vector<double>& v, std::size_t from = 0, std::size_t to = 0) {
    return {v.data() + from, (to == 0 ? v.size() : to) - from};
}

// The feature's bins as a cluster sums them: the cells of its bins (a numerical feature's
// equal-width bins of its values, a categorical one's codes) summed over three parts.
MergedFeature merged_over_parts(FeatureKind kind, const std::vector<double>& x,
                                const std::vector<double>& scores,
                                const std::vector<double>& weights) {
    MergedFeature f;
    f.kind = kind;
    f.range = finite_range(view(x));
    std::vector<double> edges, present;
    for (double v : x)
        if (!std::isnan(v)) present.push_back(v);
    if (kind == FeatureKind::kNumerical)
        f.edges = edges = equal_width_edges(f.range, histogram_bin_count(view(present), 10));
    else
        for (double c = 0.0; c <= f.range.max + 1.0; c += 1.0) edges.push_back(c);
    const CellGrid grid(edges);
    std::vector<ScoreSums> cells(grid.n_cells());
    for (std::size_t from = 0; from < x.size(); from += 1100) {
        const std::size_t to = std::min(from + 1100, x.size());
        const auto sums = cell_score_sums(grid, view(x, from, to), {}, view(scores, from, to),
                                          view(weights, from, to), {}, nullptr);
        for (std::size_t c = 0; c < sums.size(); ++c) cells[c].add(sums[c]);
    }
    f.missing = cells.back();
    cells.pop_back();
    f.bins = cells;
    return f;
}

}  // namespace

TEST(MergedFeature, PartsAreJudgedAsTheInMemorySearchJudgesTheRows) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (FeatureKind kind : {FeatureKind::kNumerical, FeatureKind::kCategorical}) {
        for (unsigned seed = 0; seed < 6; ++seed) {
            // Values in [0, 1) or codes of very unequal categories, some missing; scores weaker
            // in a band of values and, on even seeds, where missing.
            std::vector<double> x(3000), scores(3000), weights(3000);
            for (std::size_t i = 0; i < x.size(); ++i) {
                const double v = u(rng);
                x[i] = u(rng) < 0.08                     ? std::nan("")
                       : kind == FeatureKind::kNumerical ? v
                                                         : std::floor(9.0 * v * v * v);
                const bool weak = std::isnan(x[i]) ? seed % 2 == 0 : (v > 0.6 && v < 0.8);
                scores[i] = u(rng) + (weak ? 1.5 : 0.0);
                weights[i] = 2.0 * u(rng);
            }
            SearchSettings settings;
            settings.score_sign = -1.0;
            settings.min_samples = seed < 3 ? 20 : 150;  // small categories grouped
            settings.threshold_value = 0.84;
            const OneFeatureSearch rows =
                search_feature(view(x), kind, view(scores), view(weights), settings);
            const MergedFeature f = merged_over_parts(kind, x, scores, weights);
            const OneFeatureSearch merged = judge_merged_feature(f, true, settings, {});
            EXPECT_EQ(merged_units(f, settings.min_samples).size(), rows.bin_rules.size());
            ASSERT_EQ(merged.bin_rules.size(), rows.bin_rules.size());
            for (std::size_t b = 0; b < rows.bin_rules.size(); ++b)
                EXPECT_NEAR(merged.bin_rules[b].value, rows.bin_rules[b].value, 1e-12);
            EXPECT_EQ(merged.weak_bins, rows.weak_bins);
            for (auto list : {&OneFeatureSearch::rules, &OneFeatureSearch::regions}) {
                ASSERT_EQ((merged.*list).size(), (rows.*list).size());
                for (std::size_t r = 0; r < (rows.*list).size(); ++r) {
                    EXPECT_EQ((merged.*list)[r].codes, (rows.*list)[r].codes);
                    EXPECT_EQ((merged.*list)[r].count, (rows.*list)[r].count);
                }
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
    const OneFeatureSearch s =
        judge_merged_feature(f, false, settings, {std::nan(""), 2.0, std::nan("")});
    ASSERT_EQ(s.regions.size(), 1u);
    EXPECT_EQ(s.regions[0].codes, (std::vector<std::int32_t>{2}));
}
