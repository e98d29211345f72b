#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/scan_findings.hpp"

using namespace movra::core;

namespace {

// Two columns on a 40 x 40 grid of [0, 1) (each point 4 times), a score per row of 1 plus the
// effects asked for plus a deterministic noise of mean 0.
struct Grid {
    std::vector<double> x, scores;
    std::vector<std::int64_t> rows;
};

Grid grid(double first_effect, double second_effect, double both_effect) {
    Grid g;
    std::uint32_t state = 12345;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j)
            for (int k = 0; k < 4; ++k) {
                const double a = (i + 0.5) / 40.0, b = (j + 0.5) / 40.0;
                state = state * 1664525u + 1013904223u;
                const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
                const bool in_a = a < 0.25, in_b = b < 0.25;
                g.x.push_back(a);
                g.x.push_back(b);
                g.scores.push_back(1.0 + noise + (in_a ? first_effect : 0.0) +
                                   (in_b ? second_effect : 0.0) +
                                   (in_a && in_b ? both_effect : 0.0));
                g.rows.push_back(static_cast<std::int64_t>(g.rows.size()));
            }
    return g;
}

InteractionTest test_corner(const Grid& g, const std::vector<double>& weights = {}) {
    PairCandidate pair;
    pair.first = 0;
    pair.second = 1;
    pair.boxes.push_back({Bound(0.0, 0.25), Bound(0.0, 0.25)});
    const RowMajor x{g.x.data(), g.rows.size(), 2};
    const ScanSplit held_out{{g.rows.data(), g.rows.size()},
                             {g.scores.data(), g.scores.size()},
                             {weights.data(), weights.size()}};
    return interaction_tests(x, held_out, {pair}, -1.0).at(0);
}

}  // namespace

TEST(ScanFindings, AnInteractionIsWhatEachConditionAloneDoesNotExplain) {
    // The corner is as weak as its two strips' effects added: no interaction, whatever they are.
    for (const double effect : {0.0, 0.5, 2.0}) {
        const InteractionTest additive = test_corner(grid(effect, effect / 2, 0.0));
        EXPECT_NEAR(additive.excess, 0.0, 0.05) << effect;
        EXPECT_GT(additive.p_value, 0.05) << effect;
    }
    // Weak in the corner only, or more there than the strips add: an interaction.
    for (const double first : {0.0, 0.5}) {
        const InteractionTest box = test_corner(grid(first, 0.0, 0.6));
        EXPECT_NEAR(box.excess, 0.6, 0.05);
        EXPECT_LT(box.p_value, 1e-6);
    }
    // Weights of a half everywhere change nothing; higher-is-better turns the sign.
    const Grid g = grid(0.0, 0.0, 0.6);
    EXPECT_NEAR(test_corner(g, std::vector<double>(g.rows.size(), 0.5)).statistic,
                test_corner(g).statistic, 1e-9);
}

TEST(ScanFindings, AConditionKeepingNearlyAllRowsOfTheOtherIsVacuous) {
    const Grid g = grid(0.0, 0.0, 0.0);
    const RowMajor x{g.x.data(), g.rows.size(), 2};
    const Span<const std::int64_t> rows{g.rows.data(), g.rows.size()};
    ScanRegion r;
    r.first = 0;
    r.second = 1;
    r.lb1 = 0.0;
    r.ub1 = 0.25;
    r.lb2 = 0.04;  // keeps 38 of 40 second values: 95% of the first condition's rows
    r.ub2 = 39.5 / 40.0;
    r.closed2 = true;  // the largest value
    const RegionBox kept_all = region_box(r);
    EXPECT_TRUE(kept_all.second.closed);
    r.closed2 = false;  // the rows at the largest value left out: 37 of 40
    const RegionBox open = region_box(r);
    r.lb2 = 0.1;  // 36 of 40
    const RegionBox cut = region_box(r);
    r.lb2 = 0.0;
    r.ub2 = 0.5;
    r.codes1 = {kMissingCode};  // a set: no row of this grid is missing
    const RegionBox empty = region_box(r);
    EXPECT_TRUE(empty.first.is_set);
    EXPECT_EQ(vacuous_boxes(x, rows, {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {1, 0}},
                            {kept_all, open, cut, empty, cut}),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
}
