// Purification of pairwise effects: moving mass out of an interaction into its two main effects
// until the interaction has zero mean along each axis under a density over its grid cells. The
// function itself never changes: what leaves the interaction is returned to be added to the mains.
#pragma once

#include <cstddef>

#include "core/span.hpp"

namespace movra::core {

// Product density pa (rows) x pb (columns), both non-negative with positive sums. One sweep is
// exact: each row's mean under pb goes to to_rows, then each column's mean under pa to to_cols.
// levels is row-major na x nb; to_rows (na) and to_cols (nb) are overwritten.
void purify_pair_product(Span<double> levels, std::size_t na, std::size_t nb, Span<const double> pa,
                         Span<const double> pb, Span<double> to_rows, Span<double> to_cols);

struct PurifyReport {
    std::size_t iterations = 0;
    bool converged = false;
    double residual = 0.0;  // largest row or column mean left, after the last sweep
};

// Joint density (row-major na x nb, non-negative): alternately moves each row's and each
// column's conditional mean out, until no mean exceeds tolerance * max|levels| or
// max_iterations sweeps have run. Rows and columns without mass keep their levels.
// to_rows and to_cols accumulate what moved (overwritten first).
PurifyReport purify_pair_joint(Span<double> levels, std::size_t na, std::size_t nb,
                               Span<const double> joint, Span<double> to_rows, Span<double> to_cols,
                               double tolerance, std::size_t max_iterations);

// Subtracts the mean of `levels` under the weights p (positive sum) and returns it.
double center_levels(Span<double> levels, Span<const double> p);

}  // namespace movra::core
