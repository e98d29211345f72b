#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/scan.hpp"
#include "core/scan_coding.hpp"
#include "core/scan_segments.hpp"
#include "core/segment_search.hpp"

using namespace movra::core;
using namespace movra::core::scan_steps;

namespace {

struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void expect_same(const OneFeatureSearch& g, const OneFeatureSearch& w, const std::string& at) {
    EXPECT_TRUE(same(g.range.min, w.range.min) && same(g.range.max, w.range.max)) << at;
    EXPECT_EQ(g.edges, w.edges) << at;
    ASSERT_EQ(g.bin_sums.size(), w.bin_sums.size()) << at;
    for (std::size_t b = 0; b < g.bin_sums.size(); ++b) {  // summed in the same order
        EXPECT_EQ(g.bin_sums[b].count, w.bin_sums[b].count) << at;
        EXPECT_EQ(g.bin_sums[b].sum, w.bin_sums[b].sum) << at;
        EXPECT_EQ(g.bin_sums[b].weight, w.bin_sums[b].weight) << at;
        EXPECT_EQ(g.bin_sums[b].weighted, w.bin_sums[b].weighted) << at;
    }
    EXPECT_EQ(g.weak_bins, w.weak_bins) << at;
    const std::vector<SliceRule>* lists[2][3] = {{&g.bin_rules, &g.regions, &g.rules},
                                                 {&w.bin_rules, &w.regions, &w.rules}};
    for (std::size_t l = 0; l < 3; ++l) {
        ASSERT_EQ(lists[0][l]->size(), lists[1][l]->size()) << at << " list " << l;
        for (std::size_t r = 0; r < lists[0][l]->size(); ++r) {
            const SliceRule &a = (*lists[0][l])[r], &b = (*lists[1][l])[r];
            EXPECT_TRUE(same(a.lb, b.lb) && same(a.ub, b.ub) && same(a.value, b.value)) << at;
            EXPECT_EQ(a.count, b.count) << at;
            EXPECT_EQ(a.codes, b.codes) << at;
        }
    }
}

// A random data set of `width` columns, numerical or categorical, missing none, a few, most or
// all of their values, and its scores (weights, when weighted) on all its rows.
struct Data {
    std::size_t n = 0, width = 4;
    std::vector<double> x, scores, weights;
    std::vector<FeatureKind> kinds;
    std::vector<std::int64_t> rows;
    std::vector<std::vector<double>> columns;
};

Data mixed_columns(Random& rng, std::size_t n, bool integer, double shift) {
    Data d;
    d.n = n;
    d.x.resize(n * d.width);
    d.kinds.assign(d.width, FeatureKind::kNumerical);
    for (std::size_t j = 0; j < d.width; ++j) {
        const bool categorical = rng.below(2) == 0;
        const std::size_t values = 1 + rng.below(categorical ? 12 : 400);
        const std::size_t missing = rng.below(4);
        if (categorical) d.kinds[j] = FeatureKind::kCategorical;
        for (std::size_t i = 0; i < n; ++i) {
            const bool gone = missing == 1   ? rng.below(8) == 0
                              : missing == 2 ? rng.below(4) != 0
                                             : missing == 3;
            const double v = static_cast<double>(rng.below(values));
            d.x[i * d.width + j] = gone ? std::nan("") : categorical ? v : v * 0.25 - 7.0;
        }
    }
    const bool weighted = rng.below(2) == 0;
    for (std::size_t i = 0; i < n; ++i) {
        d.rows.push_back(static_cast<std::int64_t>(i));
        const bool hot = d.x[i * d.width] == 1.0 || std::isnan(d.x[i * d.width + 1]);
        // Scores and weights whose sums round: the order of the additions shows.
        const double score = integer ? static_cast<double>(rng.below(3))
                                     : static_cast<double>(rng.below(100000)) / 997.0;
        d.scores.push_back(score + (hot ? 1.5 : 0.0) - shift);
        if (weighted) d.weights.push_back(static_cast<double>(rng.below(4)) * 0.3);
    }
    d.columns.assign(d.width, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d.width; ++j) d.columns[j][i] = d.x[i * d.width + j];
    return d;
}

void expect_same(const TwoFeatureSearch& got, const TwoFeatureSearch& want, const std::string& at) {
    EXPECT_EQ(got.edges, want.edges) << at;
    ASSERT_EQ(got.bins.size(), want.bins.size()) << at;
    for (std::size_t k = 0; k < got.bins.size(); ++k) {
        const FirstFeatureBin &g = got.bins[k], &w = want.bins[k];
        EXPECT_EQ(g.support, w.support) << at;
        EXPECT_EQ(g.codes1, w.codes1) << at;
        const double bounds[2][4] = {{g.lb1, g.ub1, g.lb2, g.ub2}, {w.lb1, w.ub1, w.lb2, w.ub2}};
        for (std::size_t q = 0; q < 4; ++q)
            EXPECT_TRUE(same(bounds[0][q], bounds[1][q])) << at << " bound " << q;
        ASSERT_EQ(g.lb2q.size(), w.lb2q.size()) << at;
        for (std::size_t q = 0; q < g.lb2q.size(); ++q)
            EXPECT_TRUE(same(g.lb2q[q], w.lb2q[q]) && same(g.ub2q[q], w.ub2q[q])) << at;
        expect_same(g.search, w.search, at + " bin " + std::to_string(k));
    }
}

}  // namespace

// The scan's searches of coded features (categorical ones, numerical ones with missing values)
// and of pairs within the first feature's bins give exactly search_feature's and
// search_feature_pair's results on the copied columns: bins, sums, verdicts, rules, regions.
TEST(ScanSegments, SearchesEqualTheColumnSearches) {
    Random rng{17};
    for (int trial = 0; trial < 150; ++trial) {
        const bool integer = rng.below(2) == 0;
        // Scores of both signs: a bin's near ties are sized on its own rows, not the split's.
        const double shift = rng.below(3) == 0 ? (integer ? 1.0 : 30.0) : 0.0;
        const Data d =
            mixed_columns(rng, 1 + rng.below(trial % 5 == 0 ? 3000 : 300), integer, shift);
        ScanRequest request;
        request.x = {d.x.data(), d.n, d.width};
        request.kinds = d.kinds;
        request.features = {0, 1, 2, 3};
        for (std::size_t a = 0; a < d.width; ++a)
            for (std::size_t b = 0; b < d.width; ++b) request.pairs.push_back({a, b});
        SearchSettings& settings = request.settings;
        settings.max_bins = 1 + static_cast<std::int64_t>(rng.below(12));
        settings.min_samples = static_cast<std::int64_t>(rng.below(30));
        settings.threshold_value =
            (integer ? 1.0 : 50.0 + static_cast<double>(rng.below(20))) - shift;
        settings.ties.exact_average = [&](const std::vector<std::int64_t>& at) {
            double sum = 0.0;
            for (const std::int64_t r : at) sum += d.scores[static_cast<std::size_t>(r)];
            return sum / static_cast<double>(at.size());
        };
        const SplitRows split{d.x.data(),
                              d.width,
                              d.rows.data(),
                              d.n,
                              {d.scores.data(), d.n},
                              {d.weights.data(), d.weights.size()}};
        const CodedFeatures coded = code_features(request, split, split);
        const ScoreProfile profile = score_profile(split.scores, split.weights);
        const auto view = [&](std::size_t j) {
            return Span<const double>{d.columns[j].data(), d.n};
        };
        const std::string at = "trial " + std::to_string(trial);
        for (std::size_t j = 0; j < d.width; ++j)
            expect_same(search_coded_feature(coded.of(j), split, settings, profile, nullptr),
                        search_feature(view(j), d.kinds[j], split.scores, split.weights, settings),
                        at + " feature " + std::to_string(j));
        settings.merge_weights = ZeroWeights::kZeroSum;
        for (const auto& [a, b] : request.pairs) {
            const bool numerical_b = d.kinds[b] == FeatureKind::kNumerical;
            // Two numerical features without missing values: search_two_features, as it is.
            if (d.kinds[a] == FeatureKind::kNumerical && numerical_b &&
                !coded.of(a).missing_searched && !has_nan(view(b)))
                continue;
            expect_same(numerical_b ? search_pair_in_bins(coded.of(a), split, view(b), settings,
                                                          profile, nullptr)
                                    : search_pair_of_codes(coded.of(a), coded.of(b), split,
                                                           settings, profile, nullptr),
                        search_feature_pair(view(a), d.kinds[a], view(b), d.kinds[b], split.scores,
                                            split.weights, settings),
                        at + " pair " + std::to_string(a) + std::to_string(b));
            if (HasFailure()) return;
        }
    }
}
