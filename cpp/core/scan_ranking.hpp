// What a scan makes of the regions its searches found: how severe each is on the rows the search
// did not use, their ranking, which of them are reported, which pairs are searched at all, and
// the worst severity of every feature and pair that the scan's figure draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "core/region_stats.hpp"
#include "core/scan.hpp"
#include "core/scan_stats.hpp"
#include "core/span.hpp"

namespace movra::core {

// A weak region found by one search (histogram or tree), measured on both splits: its moments,
// and for a set metric its score on each split and on both (NaN where it holds no row) with the
// moments' counts only.
struct FoundRegion : ScanRegion {
    double train_score = 0.0, test_score = 0.0, overall_score = 0.0;

    FoundRegion() = default;
    explicit FoundRegion(const ScanRegion& r) : ScanRegion(r) {}
    bool is_pair() const { return second >= 0; }
};

// How the scan scores its regions.
struct ScanScoring {
    bool use_test = false;   // the search ran on the test rows: the training rows are held out
    bool additive = true;    // per-sample scores summed in moments, else a set metric's scores
    bool weighted = false;   // sample weights given
    double score_sign = -1;  // +1 when higher is better
};

// The held-out split as a whole: an additive metric's moments, or a set metric's score and row
// count (moments.count).
struct HeldOutSplit {
    RegionMoments moments;
    double score = 0.0;
};

// A region's moments and set score on the held-out rows.
const RegionMoments& held_out_moments(const FoundRegion& r, bool use_test);
double held_out_score(const FoundRegion& r, bool use_test);

// A set metric's severity: the region's share of the held-out rows times how much worse its
// score is than the split's, relative to the split's (positive is worse). 0 for an empty region,
// a split scoring 0 or a region without a finite score.
double set_region_severity(std::int64_t count, double score, const HeldOutSplit& split,
                           double score_sign);

// The region's metric on the test split, the training split and both: averages of the moments
// (weighted unless the weights sum to zero), or a set metric's scores.
struct RegionScores {
    double test = 0.0, train = 0.0, overall = 0.0;
};
RegionScores region_scores(const FoundRegion& r, const ScanScoring& scoring);

// A set metric's p-value from random regions of the same size drawn from the held-out rows: the
// share of them (the region itself counted once) scoring as badly as the region or worse.
double permutation_p_value(double observed, Span<const double> random_scores, double score_sign);

// The regions of a scan in the order found, each with its severity on the held-out rows, and the
// worst severity of every feature and pair so far.
class ScanFindings {
  public:
    ScanFindings(const ScanScoring& scoring, const HeldOutSplit& held_out);
    void add(FoundRegion region);

    // The worst severity among the regions of exactly these features (second < 0: the feature
    // alone); 0 when there is none.
    double worst_severity(std::int64_t first, std::int64_t second = -1) const;
    // The weak-region test of every region on the held-out rows (an additive metric).
    std::vector<WeakRegionTest> weak_region_tests(double threshold) const;

    const std::vector<FoundRegion>& regions() const { return regions_; }
    const std::vector<double>& severity() const { return severity_; }
    const ScanScoring& scoring() const { return scoring_; }

  private:
    ScanScoring scoring_;
    HeldOutSplit held_out_;
    std::vector<FoundRegion> regions_;
    std::vector<double> severity_;
    std::map<std::pair<std::int64_t, std::int64_t>, double> worst_;
};

// Positions of the regions, most severe first and the more significant (smaller p) first among
// equals; the order found among regions equal in both.
std::vector<std::size_t> worst_first(Span<const double> severity, Span<const double> p);

// Whether two regions of the same features share a part of their boxes (two regions of one
// feature with the same bounds do, even when empty).
bool overlapping(const ScanRegion& a, const ScanRegion& b);

// Of the regions visited in `order` (worst_first), those weak on the held-out rows too (a
// positive severity) and, of overlapping regions of the same features, the first visited.
std::vector<std::uint8_t> distinct_regions(const ScanFindings& findings,
                                           const std::vector<std::size_t>& order);

// Without the rows to test an interaction on (a set metric), a pair is reported only when its
// finding is this much more severe than either feature's: a single feature's region cut by a
// second feature differs from it by noise only.
constexpr double kPairMargin = 1.1;

// The distinct regions reported without testing interactions: every feature's, and a pair's only
// when the sum of its regions' severities is more than kPairMargin times either feature's, less
// (with `rows`) its vacuous regions (see vacuous_boxes).
struct FindingRows;
std::vector<std::uint8_t> reported_regions(const ScanFindings& findings,
                                           const std::vector<std::size_t>& order,
                                           const FindingRows* rows = nullptr);

// The reported regions of one feature (second < 0) or one pair, as one finding: its severity is
// the sum of its regions' (they are disjoint: for an additive metric, the severity of their
// union), its regions most severe first.
struct Finding {
    std::int64_t first = -1, second = -1;
    double severity = 0.0;
    std::vector<std::size_t> regions;
    double interaction_p = 1.0;  // a pair tested on the held-out rows; else 1
};

// What an interaction is tested on: the data set, the held-out split with its per-sample scores
// (an additive metric; none for a set metric) and the searched split's rows, read in place.
struct FindingRows {
    RowMajor x;
    ScanSplit held_out;
    Span<const std::int64_t> searched;
};

// The scan's verdict on every region: its place in the ranking, q-value, significance at the
// false discovery rate alpha, and whether it is reported; and the findings, most severe first
// (the finding of each region: its position there, -1 when not reported).
struct ScanRanking {
    std::vector<std::size_t> order;  // worst_first
    std::vector<double> q_value;     // per region, in the order found
    std::vector<std::uint8_t> significant, reported;
    std::vector<Finding> findings;
    std::vector<std::int64_t> finding;
};

// With the held-out rows' scores (an additive metric), a pair is reported when one of its
// distinct regions is weak on the held-out rows at level alpha, their severities sum to more than
// either feature's, and its interaction test (see interaction_tests, on its kTestedRegions most
// severe regions) passes at the false discovery rate alpha among the pairs with a region; less
// its vacuous regions (see vacuous_boxes). Without, as reported_regions has it.
ScanRanking rank_regions(const ScanFindings& findings, Span<const double> p, double alpha,
                         const FindingRows* rows = nullptr);

// Which pairs the scan searches: none, every pair of the scanned features, or "auto": every pair,
// unless there are more than kAllPairsUpTo features, then every pair of the kAutoFeatures whose
// own worst region is most severe.
enum class PairChoice { kNone, kAll, kAuto };
constexpr std::size_t kAllPairsUpTo = 30;
constexpr std::size_t kAutoFeatures = 20;

// Whether the pairs depend on the features' own regions (which must then be found first).
bool pairs_follow_features(PairChoice choice, std::size_t n_features);

// The pairs (first, second) of the scanned columns, in the columns' order.
std::vector<std::pair<std::int64_t, std::int64_t>> pairs_to_scan(
    const std::vector<std::int64_t>& columns, PairChoice choice, const ScanFindings& findings);

// The worst reported severity of every cell of the scanned columns' matrix (a feature on the
// diagonal, a pair at both of its cells), row-major, NaN where no region is reported, and
// whether that region is significant; of equally severe regions, the first in the ranking.
struct CellMatrix {
    std::size_t n = 0;
    std::vector<double> worst;
    std::vector<std::uint8_t> significant;
};
CellMatrix worst_by_cell(const ScanFindings& findings, const ScanRanking& ranking,
                         const std::vector<std::int64_t>& columns);

}  // namespace movra::core
