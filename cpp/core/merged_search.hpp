// The histogram search of slice_search.hpp when the rows are spread over parts (the partitions of
// a data set on a cluster): each part's bin sums are computed where the part lives and merged by
// addition, and the verdicts, regions and rules come from the merged sums alone.
//
// A merged sum adds the same rows in another order than one pass over all of them (and than
// numpy's pairwise summation), so an average can differ from the in-memory one in its last bits.
// Where that could move it across the threshold value, the caller settles the bin with its exact
// average (exact sums of its rows, rounded once; see ExactSum) and passes it in `settled`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/region_stats.hpp"
#include "core/segment_search.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core {

// Whether the average `value` of `count` rows, merged from plain sums, could lie on the other side
// of `threshold_value` than the exact average does, where the threshold value is itself the
// exact average of `n_total` rows rounded once and the in-memory one is numpy's pairwise average
// of the same rows: the summation errors of both sides together bound the distance.
bool merged_near_tie(double value, std::int64_t count, std::int64_t n_total, double threshold_value,
                     const ScoreProfile& p);

// merged_near_tie of every bin (1 where it is near), none for an empty bin.
std::vector<std::uint8_t> merged_near_ties(Span<const double> values, Span<const double> counts,
                                           std::int64_t n_total, double threshold_value,
                                           const ScoreProfile& p);

// Every bin's rule and verdict from s.bin_sums (settled[b], where it is not NaN, stands for bin
// b's average), then the weak runs merged as the in-memory search merges them. s.edges, s.range
// and s.bin_sums must be set; `settled` is empty or has one entry per bin.
void judge_merged_bins(OneFeatureSearch& s, bool weighted, const SearchSettings& settings,
                       const std::vector<double>& settled);

// One feature's bins summed over the parts: a numerical feature's equal-width bins of the values
// that are there (`edges` and their `range`; none when every value is missing), or a categorical
// feature's categories (code c in bins[c]); then its missing rows.
struct MergedFeature {
    FeatureKind kind = FeatureKind::kNumerical;
    std::vector<double> edges;
    ValueRange range;
    std::vector<ScoreSums> bins;
    ScoreSums missing;
};

// The units search_feature judges the feature by, each as the positions of its bins (bins.size()
// for the missing rows): a numerical feature's bins, then its missing rows when it has any; a
// categorical feature's category_units.
std::vector<std::vector<std::size_t>> merged_units(const MergedFeature& f,
                                                   std::int64_t min_samples);

// search_feature's verdicts, regions and rules from the merged sums, unit by unit as merged_units
// lists them (settled[u], where given and not NaN, stands for unit u's average). For a numerical
// feature without missing rows, judge_merged_bins.
OneFeatureSearch judge_merged_feature(const MergedFeature& f, bool weighted,
                                      const SearchSettings& settings,
                                      const std::vector<double>& settled);

// The percentile ranks (0 to 100) of each region's bounds of a judged search among its rows, from
// the bins' counts alone: the share of rows below lb, and below ub (at or below where ub is the
// rows' maximum), as percentile_of_score gives them on the rows (regions start and end on edges;
// rows of the bins after the intervals, missing ones, count among the rows but below no bound).
// NaN for a region that is a set of codes.
void region_percentiles(const OneFeatureSearch& s, std::vector<double>& lbq,
                        std::vector<double>& ubq);

}  // namespace movra::core
