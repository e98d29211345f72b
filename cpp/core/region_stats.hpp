// Rows inside a region and the statistics of their scores.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/row_bitmap.hpp"
#include "core/span.hpp"

namespace movra::core {

// Count, sum of scores, sum of weights and sum of weight * score over a set of rows.
struct ScoreSums {
    std::int64_t count = 0;
    double sum = 0.0;
    double weight = 0.0;
    double weighted = 0.0;

    void add(double score, double w) {
        ++count;
        sum += score;
        weight += w;
        weighted += w * score;
    }
    void add(const ScoreSums& other) {
        count += other.count;
        sum += other.sum;
        weight += other.weight;
        weighted += other.weighted;
    }
};

// Sums over a set of rows that its average, its variance and its share of a split need.
// Unweighted: w = 1 for every row. Added in the order of the rows.
struct RegionMoments {
    std::int64_t count = 0;
    double sum = 0.0;          // sum of s
    double weight = 0.0;       // sum of w
    double weighted = 0.0;     // sum of w * s
    double weighted_sq = 0.0;  // sum of w * s * s
    double weight_sq = 0.0;    // sum of w * w

    void add(double s, double w) {
        ++count;
        sum += s;
        weight += w;
        weighted += w * s;
        weighted_sq += w * s * s;
        weight_sq += w * w;
    }
    void add(const RegionMoments& other) {
        count += other.count;
        sum += other.sum;
        weight += other.weight;
        weighted += other.weighted;
        weighted_sq += other.weighted_sq;
        weight_sq += other.weight_sq;
    }
};

// The moments of scores[rows[k]] (with weights[rows[k]], 1 each when `weights` is empty), added
// in the order of `rows`; all rows when `rows` is null.
RegionMoments moments_at(Span<const double> scores, Span<const double> weights,
                         const std::int64_t* rows, std::size_t n_rows);
RegionMoments moments_all(Span<const double> scores, Span<const double> weights);

// When the weighted average falls back to the plain one.
enum class ZeroWeights {
    kZeroSum,         // the weights sum to exactly zero (the average would divide by zero)
    kNotPositiveSum,  // the weights sum to zero or less
};

// Average score: weighted when `weighted`, unless the weights fall under `rule`; NaN for no rows.
double average_score(const ScoreSums& sums, bool weighted, ZeroWeights rule);
double average_score(const RegionMoments& m, bool weighted, ZeroWeights rule);

// A code that stands for the rows where a column's value is missing (NaN), in a set of the
// category codes 0, 1, ... of a categorical column.
constexpr std::int32_t kMissingCode = -1;

// One condition on one column: an interval, lb <= v < ub (lb <= v <= ub when `closed`), or a set
// of codes: the rows whose value is one of the category codes in it, and the missing rows when it
// holds kMissingCode (for a numerical column, the set {kMissingCode} is its missing rows).
struct Bound {
    Bound() = default;
    Bound(double lower, double upper, bool closed_above = false)
        : lb(lower), ub(upper), closed(closed_above) {}

    double lb = 0.0;
    double ub = 0.0;
    bool closed = false;
    bool is_set = false;
    bool missing = false;               // the set holds kMissingCode
    std::vector<std::uint8_t> members;  // members[c] != 0 for a category code c in the set

    bool contains(double v) const {
        if (!is_set) return (v >= lb) & (closed ? v <= ub : v < ub);
        // Codes are small non-negative integers. Adding 2^52 puts the integer part of a v in
        // [0, 2^52) in the low bits of the sum: that is v's code exactly when it converts back to
        // v (never for NaN, infinities, negative or fractional values). No branches: the rows of
        // a set come in no predictable order.
        double shifted = v + 4503599627370496.0;
        std::uint64_t bits;
        std::memcpy(&bits, &shifted, sizeof bits);
        const std::uint64_t code = bits & ((std::uint64_t{1} << 52) - 1);
        const bool listed = code < members.size();
        const std::uint8_t member = members[listed ? code : 0];
        return ((static_cast<double>(code) == v) & listed & (member != 0)) |
               (std::isnan(v) & missing);
    }
};

// The set of `codes` (kMissingCode among them for the missing rows) as a bound.
Bound code_set(const std::vector<std::int32_t>& codes);

// Positions of the rows inside `bound` on `column`.
std::vector<std::int64_t> rows_in_bound(Span<const double> column, const Bound& bound);

// Positions of the rows inside both bounds (columns of equal length).
std::vector<std::int64_t> rows_in_box(Span<const double> first, const Bound& first_bound,
                                      Span<const double> second, const Bound& second_bound);

// A region on one or two columns.
struct RegionBox {
    Bound first;
    Bound second;  // used when the regions have two columns
};

// The regions as boxes. An interval's upper bound is closed where it equals that column's entry of
// `closed_at` (the column's maximum in the split whose maximum closes regions, so that the rows
// at the top of a column fall in the region reaching it); columns beyond `closed_at` (all, when
// it is empty) keep every upper bound open.
struct RegionBounds {
    RegionBounds() = default;
    RegionBounds(double lower1, double upper1, double lower2, double upper2)
        : lb1(lower1), ub1(upper1), lb2(lower2), ub2(upper2) {}

    double lb1 = 0.0, ub1 = 0.0, lb2 = 0.0, ub2 = 0.0;
    // Not empty: the column's condition is this set of codes, not an interval.
    std::vector<std::int32_t> codes1, codes2;
};
std::vector<RegionBox> region_boxes(const std::vector<RegionBounds>& regions,
                                    Span<const double> closed_at);

// Sums of `values`, the scores gathered at `rows`, with weights[rows[k]] (weight 1 each when
// `weights` is empty), added in order.
ScoreSums sums_of(Span<const double> values, Span<const double> weights, const std::int64_t* rows);

// A bound as the closed interval holding the same values (for box_bitmap).
ClosedInterval closed_interval(const Bound& b);

// What bounds the rounding error of an average of scores: when the scores have both signs, a sum
// can cancel and its error is relative to the largest magnitude, not to the sum.
struct ScoreProfile {
    double mixed_sign_scale = 0.0;  // max |score| when scores have both signs, else 0
    bool negative_weights = false;  // any weight below 0: no useful bound at all
};
ScoreProfile score_profile(Span<const double> scores, Span<const double> weights);

// The same a block of rows at a time, while a pass over the rows has the block in cache.
class ProfileAccumulator {
  public:
    void add(Span<const double> scores, Span<const double> weights);
    ScoreProfile profile() const;

  private:
    double low_ = 0.0;
    double high_ = 0.0;
    double low_weight_ = 0.0;
};

// Values at `positions`.
void gather(Span<const double> values, const std::vector<std::int64_t>& positions,
            Span<double> out);

// Percentile rank of `score` among `values` (0 to 100): the share strictly below it, or at or
// below it when `weak`; NaN for no values.
double percentile_of_score(Span<const double> values, double score, bool weak);

}  // namespace movra::core
