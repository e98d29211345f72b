// The scan: the histogram search of many features and pairs of features over one data set, with
// everything that does not depend on the feature shared (the splits read in place, the scores,
// each feature's bins coded once), giving exactly the regions the one-feature and two-feature
// searches give on copied columns, measured on both splits as the slicing driver measures them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/columns.hpp"
#include "core/region_stats.hpp"
#include "core/segment_search.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core {

// One split of the data set, read in place.
struct ScanSplit {
    Span<const std::int64_t> rows;  // positions of the split's rows in the data set
    Span<const double> scores;      // per-sample scores, aligned with rows
    Span<const double> weights;     // aligned with rows; empty: weight 1 each
};

// A weak region of one feature (second < 0) or of a pair (first, second): its bounds as the
// diagnoser reports them ("lb1", "ub1", and for a pair "lb2", "ub2" and the percentile ranks
// "lb2q", "ub2q"), and its moments on both splits, rows selected as the slicing driver selects
// them (lb <= x < ub, or x <= ub where ub equals the searched split's largest value of that
// feature; or x in a set of codes).
struct ScanRegion {
    std::int64_t first = -1;
    std::int64_t second = -1;
    double lb1 = 0.0, ub1 = 0.0, lb2 = 0.0, ub2 = 0.0, lb2q = 0.0, ub2q = 0.0;
    // Not empty: the feature's condition is this set of category codes (kMissingCode: missing),
    // and its bounds are NaN.
    std::vector<std::int32_t> codes1, codes2;
    // An interval's upper bound is closed: it is the searched split's largest value of its feature.
    bool closed1 = false, closed2 = false;
    RegionMoments train, test;
};

struct ScanRequest {
    // The whole data set: NaN marks a missing value; the scanned columns hold no infinite value,
    // and a categorical one holds category codes 0, 1, ... (or NaN).
    RowMajor x;
    std::vector<FeatureKind> kinds;  // per column of x; empty: every column is numerical
    ScanSplit train, test;
    bool use_test = false;              // search the test split, else the training split
    std::vector<std::size_t> features;  // one-feature searches
    std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (first, second) searches
    // As for the one-feature search (threshold_value from the searched split's overall average,
    // near ties settled by settings.ties with row positions within the searched split). Merged
    // regions fall back to the plain mean when the weights sum to zero or less for one feature
    // and to exactly zero for a pair, as HistogramSlicing has it: merge_weights is ignored.
    SearchSettings settings;
    // The vector code path of the scan's own kernels, one of simd_paths(); the best when null.
    const char* simd_path = nullptr;
};

// The regions of every requested feature, then of every requested pair, each in the order its
// search gives them. Each is exactly what search_feature (or search_feature_pair) gives on the
// searched split's copied column(s), measured on both splits. The splits are never copied: each
// feature is coded once per split (a byte per row while the bins allow), and a pair's numerical
// second feature is read into one column at a time.
std::vector<ScanRegion> scan_histograms(const ScanRequest& request);

// The moments of both whole splits.
std::pair<RegionMoments, RegionMoments> split_moments(const ScanRequest& request);

}  // namespace movra::core
