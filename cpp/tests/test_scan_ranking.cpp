#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/scan_ranking.hpp"

using namespace movra::core;

namespace {

// Findings of a set metric (lower is better) on 100 held-out rows scoring 1 overall, where a
// region holding all of them and scoring 1 + s has severity s: severities are set directly.
ScanFindings findings_of() {
    HeldOutSplit held_out;
    held_out.score = 1.0;
    held_out.moments.count = 100;
    return ScanFindings(ScanScoring{false, false, false, -1.0}, held_out);
}

FoundRegion region(std::int64_t first, std::int64_t second, double lb1, double ub1, double severity,
                   double lb2 = 0.0, double ub2 = 1.0) {
    FoundRegion r;
    r.first = first;
    r.second = second;
    r.lb1 = lb1;
    r.ub1 = ub1;
    r.lb2 = lb2;
    r.ub2 = ub2;
    r.test.count = 100;
    r.test_score = 1.0 + severity;
    return r;
}

std::vector<std::size_t> reported_positions(const ScanFindings& f, const std::vector<double>& p) {
    const std::vector<std::uint8_t> kept = reported_regions(
        f, worst_first({f.severity().data(), f.severity().size()}, {p.data(), p.size()}));
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < kept.size(); ++i)
        if (kept[i] != 0) out.push_back(i);
    return out;
}

}  // namespace

TEST(ScanRanking, MostSevereFirstThenMoreSignificantThenOrderFound) {
    const std::vector<double> severity{0.2, 0.5, 0.2, 0.2, 0.5};
    const std::vector<double> p{0.3, 0.1, 0.01, 0.3, 0.1};
    EXPECT_EQ(worst_first({severity.data(), 5}, {p.data(), 5}),
              (std::vector<std::size_t>{1, 4, 2, 0, 3}));
}

TEST(ScanRanking, SeverityOfASetMetricAndTheSumsOfBothSplits) {
    ScanFindings f = findings_of();
    f.add(region(0, -1, 0, 1, 0.25));
    EXPECT_DOUBLE_EQ(f.severity()[0], 0.25);
    const HeldOutSplit split{RegionMoments{100, 0, 0, 0, 0, 0}, 2.0};
    EXPECT_DOUBLE_EQ(set_region_severity(25, 3.0, split, -1.0), 0.25 * 0.5);
    EXPECT_DOUBLE_EQ(set_region_severity(25, 3.0, split, +1.0), -0.25 * 0.5);
    EXPECT_EQ(set_region_severity(25, std::nan(""), split, -1.0), 0.0);
    // an additive metric's overall score averages the moments of both splits together
    FoundRegion r;
    r.train.add(1.0, 1.0);
    r.test.add(4.0, 1.0);
    r.test.add(7.0, 1.0);
    const RegionScores scores = region_scores(r, ScanScoring{});
    EXPECT_DOUBLE_EQ(scores.train, 1.0);
    EXPECT_DOUBLE_EQ(scores.test, 5.5);
    EXPECT_DOUBLE_EQ(scores.overall, 4.0);
    const std::vector<double> random{0.5, 0.9, 0.7, 0.2};  // two as bad as 0.7 or worse
    EXPECT_DOUBLE_EQ(permutation_p_value(0.7, {random.data(), 4}, -1.0), 3.0 / 5.0);
}

TEST(ScanRanking, OverlappingRegionsOfTheSameFeaturesReportedOnce) {
    ScanFindings f = findings_of();
    f.add(region(0, -1, 0.0, 2.0, 0.3));  // 0
    f.add(region(0, -1, 1.0, 3.0, 0.4));  // 1: overlaps 0, more severe
    f.add(region(0, -1, 3.0, 4.0, 0.2));  // 2: touches 1 only
    f.add(region(1, -1, 1.0, 3.0, 0.1));  // 3: another feature
    f.add(region(0, -1, 5.0, 5.0, 0.1));  // 4 and 5: the same empty bounds
    f.add(region(0, -1, 5.0, 5.0, 0.1));
    f.add(region(2, -1, 0.0, 1.0, 0.0));  // 6: not weak on the held-out rows
    const std::vector<double> p(7, 0.5);
    EXPECT_EQ(reported_positions(f, p), (std::vector<std::size_t>{1, 2, 3, 4}));
    // among equally severe overlapping regions the more significant is kept
    ScanFindings g = findings_of();
    g.add(region(0, 1, 0.0, 2.0, 0.5, 0.0, 1.0));
    g.add(region(0, 1, 1.0, 3.0, 0.5, 0.5, 2.0));
    g.add(region(0, 1, 1.0, 3.0, 0.5, 1.0, 2.0));  // touches the first on the second feature
    EXPECT_EQ(reported_positions(g, {0.2, 0.1, 0.3}), (std::vector<std::size_t>{1}));
    EXPECT_EQ(reported_positions(g, {0.1, 0.2, 0.3}), (std::vector<std::size_t>{0, 2}));
}

TEST(ScanRanking, APairOnlyWhenClearlyWorseThanItsFeatures) {
    ScanFindings f = findings_of();
    f.add(region(0, -1, 0, 1, 0.5));
    f.add(region(1, -1, 0, 1, 0.2));
    f.add(region(0, 1, 0, 1, 0.54));    // not 1.1 times 0.5
    f.add(region(1, 2, 0, 1, 0.23));    // 1.15 times feature 1's, feature 2 has none
    f.add(region(1, 2, 5, 6, 0.01));    // a milder region of a reported pair
    f.add(region(0, 2, 0, 1, 0.5501));  // just over 1.1 times 0.5
    EXPECT_DOUBLE_EQ(f.worst_severity(1, 2), 0.23);
    EXPECT_EQ(f.worst_severity(2), 0.0);
    EXPECT_EQ(reported_positions(f, std::vector<double>(6, 0.5)),
              (std::vector<std::size_t>{0, 1, 3, 4, 5}));
}

TEST(ScanRanking, PairsOfAutoTakeTheTwentyWorstFeaturesOfMany) {
    std::vector<std::int64_t> columns;
    ScanFindings f = findings_of();
    for (std::int64_t c = 0; c < 31; ++c) {
        columns.push_back(100 - c);  // columns in any order; the pairs keep it
        // No region for the first ten; then more severe with each, but the 11th ties the 10th.
        if (c >= 10) f.add(region(100 - c, -1, 0, 1, 0.25 * static_cast<double>(c == 11 ? 10 : c)));
    }
    const auto pairs = pairs_to_scan(columns, PairChoice::kAuto, f);
    ASSERT_EQ(pairs.size(), 190u);
    // the 19 worst, then of the tie the one scanned first: columns 90 and 88..70
    EXPECT_EQ(pairs.front(), std::make_pair(std::int64_t{90}, std::int64_t{88}));
    EXPECT_EQ(pairs.back(), std::make_pair(std::int64_t{71}, std::int64_t{70}));
    for (const auto& [a, b] : pairs) EXPECT_TRUE(a <= 90 && a != 89 && b != 89 && a > b);
    EXPECT_TRUE(pairs_follow_features(PairChoice::kAuto, 31));
    columns.pop_back();
    EXPECT_FALSE(pairs_follow_features(PairChoice::kAuto, 30));
    EXPECT_EQ(pairs_to_scan(columns, PairChoice::kAuto, f).size(), 30u * 29u / 2u);
    EXPECT_EQ(pairs_to_scan(columns, PairChoice::kAll, f).size(), 30u * 29u / 2u);
    EXPECT_TRUE(pairs_to_scan(columns, PairChoice::kNone, f).empty());
}

TEST(ScanRanking, CellsHoldTheWorstReportedRegion) {
    ScanFindings f = findings_of();
    f.add(region(7, -1, 0, 1, 0.3));
    f.add(region(7, -1, 2, 3, 0.3));   // as severe, less significant
    f.add(region(5, 7, 0, 1, 0.8));    // a pair, both cells
    f.add(region(5, 7, 2, 3, 0.9));    // more severe but not significant
    f.add(region(5, -1, 0, 1, -0.2));  // not reported
    const std::vector<double> p{0.001, 0.01, 0.001, 0.9, 0.5};
    const ScanRanking ranking = rank_regions(f, {p.data(), p.size()}, 0.05);
    const std::vector<std::int64_t> columns{7, 5, 9};
    const CellMatrix cells = worst_by_cell(f, ranking, columns);
    ASSERT_EQ(cells.n, 3u);
    EXPECT_DOUBLE_EQ(cells.worst[0], 0.3);
    EXPECT_EQ(cells.significant[0], 1);  // the first of equals in the ranking
    EXPECT_DOUBLE_EQ(cells.worst[1], 0.9);
    EXPECT_DOUBLE_EQ(cells.worst[3], 0.9);
    EXPECT_EQ(cells.significant[1] + cells.significant[3], 0);
    for (const std::size_t empty : {2, 4, 5, 6, 7, 8}) EXPECT_TRUE(std::isnan(cells.worst[empty]));
    EXPECT_THROW(worst_by_cell(f, ranking, {7}), std::invalid_argument);
}
