// The histogram search for weak regions of an additive metric: bins of one feature judged by
// their average score, weak runs merged, small regions dropped; and the same search on a second
// feature inside every bin of a first one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/span.hpp"

namespace movra::core {

// A slice's bounds on the feature being binned, its score and its number of rows.
struct SliceRule {
    SliceRule() = default;
    SliceRule(double lower, double upper, double score, std::int64_t rows,
              std::vector<std::int32_t> set = {})
        : lb(lower), ub(upper), value(score), count(rows), codes(std::move(set)) {}

    double lb = 0.0;
    double ub = 0.0;
    double value = 0.0;
    std::int64_t count = 0;
    // Not empty: the slice is this set of category codes (kMissingCode for the missing rows),
    // and lb, ub are NaN.
    std::vector<std::int32_t> codes;
};

// Verdicts that summation order could flip. The threshold value comes from the reference's own
// average (numpy's); a bin whose average lies within the summation error of it is judged on the
// reference's average of that bin instead, so a tie stays a tie exactly as the reference rounds.
struct NearTies {
    // The average of the scores at `rows` (increasing positions) as the reference computes it.
    // Empty: our own averages decide every verdict.
    // The searches size the summation error from the data's score_profile, found during their
    // passes over the rows.
    std::function<double(const std::vector<std::int64_t>& rows)> exact_average;
};

struct SearchSettings {
    std::int64_t max_bins = 10;
    double threshold_value = 0.0;
    double score_sign = -1.0;
    std::int64_t min_samples = 0;
    // When a merged region's weighted score falls back to the plain average.
    ZeroWeights merge_weights = ZeroWeights::kNotPositiveSum;
    NearTies ties;
};

// Weak: the score is at or beyond the threshold value in the bad direction (NaN never is).
inline bool is_weak(double score, double score_sign, double threshold_value) {
    return score_sign * score <= score_sign * threshold_value;
}

// Whether rounding could put an average of `count` rows on the other side of `threshold_value`
// than `value` lies: the two sides' summation errors together bound the distance.
bool near_tie(double value, std::int64_t count, double threshold_value, const ScoreProfile& p);

struct OneFeatureSearch {
    ValueRange range;
    std::vector<double> edges;
    std::vector<ScoreSums> bin_sums;
    std::vector<SliceRule> bin_rules;    // every bin, in order (value NaN when empty)
    std::vector<std::size_t> weak_bins;  // the bins judged weak, in order
    std::vector<SliceRule> regions;      // kept merged regions, bounds clipped to the range
    std::vector<SliceRule> rules;        // merged rules, then the bin rules outside them
};

// One pass over the rows accumulates every bin; merging works on the bin sums alone.
// `weights` may be empty (unweighted). Throws std::invalid_argument as numpy's histogram does.
OneFeatureSearch search_one_feature(Span<const double> x, Span<const double> scores,
                                    Span<const double> weights, const SearchSettings& settings);

// The same search when the range of `x` is known already.
OneFeatureSearch search_one_feature_in_range(Span<const double> x, Span<const double> scores,
                                             Span<const double> weights,
                                             const SearchSettings& settings, ValueRange range);

// The searches read the rows in blocks of this many, the first starting at row 0.
constexpr std::size_t kSearchBlock = 512;

// The bins of rows [start, start + m) of a block (m at most kSearchBlock), for a search whose
// caller knows them already: b where edges[b] <= v < edges[b + 1], the maximum in the last bin
// (BinLocator's bins). Returns `buffer` filled, or the bins where the caller keeps them.
using RowBins =
    std::function<const std::uint32_t*(std::size_t start, std::size_t m, std::uint32_t* buffer)>;

// The rows (increasing positions below n) whose bin is b and for which keep(row) holds.
template <typename Keep>
std::vector<std::int64_t> rows_of_bin(const RowBins& bins, std::size_t n, std::size_t b,
                                      Keep keep) {
    std::vector<std::int64_t> rows;
    std::uint32_t buffer[kSearchBlock];
    for (std::size_t start = 0; start < n; start += kSearchBlock) {
        const std::size_t m = std::min(kSearchBlock, n - start);
        const std::uint32_t* in = bins(start, m, buffer);
        for (std::size_t j = 0; j < m; ++j)
            if (in[j] == b && keep(start + j)) rows.push_back(static_cast<std::int64_t>(start + j));
    }
    return rows;
}

// search_one_feature_in_range with each row's bin on `edges` (the edges of `range`) given
// instead of the values: the rows are those of `scores`.
OneFeatureSearch search_one_feature_in_bins(ValueRange range, std::vector<double> edges,
                                            const RowBins& bins, Span<const double> scores,
                                            Span<const double> weights,
                                            const SearchSettings& settings);

struct FirstFeatureBin {
    std::int64_t support = 0;
    double lb1 = 0.0;  // bin bounds clipped to the first feature's range
    double ub1 = 0.0;
    std::vector<std::int32_t> codes1;  // not empty: the bin is these codes (lb1, ub1 are NaN)
    double lb2 = 0.0;                  // range of the second feature inside the bin; NaN when empty
    double ub2 = 0.0;
    OneFeatureSearch search;         // the search on the second feature (empty bin: nothing)
    std::vector<double> lb2q, ub2q;  // percentile ranks of each region's bounds in the bin
};

struct TwoFeatureSearch {
    std::vector<double> edges;  // the first feature's
    std::vector<FirstFeatureBin> bins;
};

// The second feature searched inside every first-feature bin, in two passes over the rows: the
// first finds each row's first-feature bin and every bin's range on the second feature, the
// second adds each row to its cell (first-feature bin, second-feature bin).
// `settings.merge_weights` applies to the inner merges. `first_range`, when given, is
// value_range(first), known already.
TwoFeatureSearch search_two_features(Span<const double> first, Span<const double> second,
                                     Span<const double> scores, Span<const double> weights,
                                     const SearchSettings& settings,
                                     const ValueRange* first_range = nullptr);

// From bin sums found elsewhere (merged from parts of the rows, say; s.edges, s.range and
// s.bin_sums set, the rest empty): every bin's rule and verdict, each non-empty bin's average
// passed through `settle(bin, average)` first, then the weak runs merged into regions and rules,
// exactly as the searches above judge and merge.
void judge_bin_sums(OneFeatureSearch& s, bool weighted, const SearchSettings& settings,
                    const std::function<double(std::size_t, double)>& settle);

// search_two_features with the first feature's bins given: `first_edges` are the edges of
// `first_range`, and `first_bins` gives every row's bin on them. `second_may_hold_nan` false
// spares looking for NaN in `second` (a caller that has looked already).
TwoFeatureSearch search_two_features_in_bins(ValueRange first_range,
                                             std::vector<double> first_edges,
                                             const RowBins& first_bins, Span<const double> second,
                                             Span<const double> scores, Span<const double> weights,
                                             const SearchSettings& settings,
                                             bool second_may_hold_nan = true);

}  // namespace movra::core
