// How far every feature shifts between the weak rows of a split and the rest of it: the
// population stability index of each column, counted in place in two passes over the rows.
#pragma once

#include <cstdint>
#include <vector>

#include "core/columns.hpp"
#include "core/span.hpp"

namespace movra::core {

// PSI of each column of `x` between the weak sample (the rows split[weak[k]], a repeated
// position counted again) and the reference (the split's rows not in `weak`, or all of them
// when `full`), as the diagnoser's distance view measures it (calculate_distance, "uniform"
// buckets):
// - a numerical column: the reference's values (missing ones aside) cut by the unique edges of
//   10 equal-width buckets over their range (numpy's linspace: i * step + low, the last edge
//   exactly high), a value in the bucket of the inner edges at or below it, a value outside the
//   range in the end bucket; one more bucket of the missing values when either sample has some;
// - a categorical column (its values category codes 0, 1, ..., NaN where missing): a bucket per
//   code and one of the missing values.
// NaN for a column when either sample is empty, or when the reference's range is infinite.
// std::out_of_range for a position outside its array.
std::vector<double> weak_sample_psi(RowMajor x, Span<const std::int64_t> split,
                                    Span<const std::int64_t> weak,
                                    const std::vector<bool>& categorical, bool full);

}  // namespace movra::core
