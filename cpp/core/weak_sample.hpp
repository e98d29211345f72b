// The weak sample and its reference: which rows of the searched split each holds, copying those
// rows out of the data set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// Positions 0..n-1 that are not among `taken` (which may repeat positions), in increasing order.
// std::out_of_range for a taken position outside 0..n-1.
std::vector<std::int64_t> complement_positions(Span<const std::int64_t> taken, std::size_t n);

// Copies the rows split[picked[k]] of the row-major matrix x (n_rows by n_cols) into out, row
// after row (by_feature false: out is picked.size by n_cols) or feature after feature
// (by_feature true: out is n_cols by picked.size, so each feature's values are contiguous).
// std::out_of_range for a position outside its array or an output of the wrong size.
void gather_rows(const double* x, std::size_t n_rows, std::size_t n_cols,
                 Span<const std::int64_t> split, Span<const std::int64_t> picked, bool by_feature,
                 Span<double> out);

// numpy's round(value, decimals) for decimals >= 0: scale, round half to even, scale back.
double round_decimals(double value, int decimals);

}  // namespace movra::core
