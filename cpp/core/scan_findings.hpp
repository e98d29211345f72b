// A scan's findings: the reported regions of one feature or one pair taken together. A pair is a
// finding only when it adds an interaction to its two features, judged on the held-out rows, and
// a region of a pair whose second condition keeps (nearly) every row of its first is no pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/region_stats.hpp"
#include "core/scan.hpp"
#include "core/scan_ranking.hpp"

namespace movra::core {

// A pair's interaction is tested on its most severe regions, at most this many (the others add
// little to its finding), and on at most this many held-out rows, evenly spaced.
constexpr std::size_t kTestedRegions = 4;
constexpr std::size_t kTestedRows = std::size_t{1} << 16;

// A region of a pair whose condition on one feature holds this share of the rows of its
// condition on the other (on the searched split) or more is that one feature's region.
constexpr double kVacuousShare = 0.95;

// A region's conditions as the scan measures them: a set of codes, or an interval (closed above
// where the region says so).
RegionBox region_box(const ScanRegion& r);

// A pair to be tested: its regions' boxes (disjoint).
struct PairCandidate {
    std::int64_t first = -1, second = -1;
    std::vector<RegionBox> boxes;
};

// Whether a pair's regions are weaker on the held-out rows than their conditions on each feature
// alone explain. For each region, the held-out rows of neither of its conditions give a base, the
// rows of its first condition only the effect of that condition over the base, and so for its
// second; the region's rows are expected at the base plus both effects (so a pair whose regions
// only split one feature's region is no interaction). The statistic is the pair's rows' excess
// over that expectation (positive: weaker) over its standard error; p from the normal tail (1
// with fewer than two rows inside, or a region without rows of neither condition). A region
// vacuous on the held-out rows (see vacuous_boxes) is left out. Each distinct condition is tested
// once per row, whichever regions and pairs share it.
struct InteractionTest {
    double excess = 0.0;
    double statistic = 0.0;
    double p_value = 1.0;
};
std::vector<InteractionTest> interaction_tests(const RowMajor& x, const ScanSplit& held_out,
                                               const std::vector<PairCandidate>& pairs,
                                               double score_sign);

// Whether each box (of a pair) is vacuous on the searched split: the rows of both conditions are
// at least kVacuousShare of the rows of either condition alone.
std::vector<std::uint8_t> vacuous_boxes(
    const RowMajor& x, Span<const std::int64_t> searched,
    const std::vector<std::pair<std::int64_t, std::int64_t>>& columns,
    const std::vector<RegionBox>& boxes);

}  // namespace movra::core
