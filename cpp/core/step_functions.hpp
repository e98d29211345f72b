// Piecewise-constant functions of one or two features on sorted split points, evaluated the way
// XGBoost routes a row: the value rounded to float32 goes below a split point when it is smaller,
// and a missing value (NaN) has a level of its own.
//
// With s split points p[0] < ... < p[s-1], a value falls in bin b = #{i : p[i] <= float32(x)}
// (0..s), and a missing value in bin s + 1. A 1-D function has s + 2 levels; a 2-D function on
// s1 x s2 split points has (s1 + 2) x (s2 + 2) levels, row-major, rows along the first feature.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "core/span.hpp"

namespace movra::core {

// One column of a row-major matrix: element r is data[r * stride].
struct Column {
    const double* data = nullptr;
    std::size_t size = 0;
    std::size_t stride = 1;

    double operator[](std::size_t r) const { return data[r * stride]; }
};

// Bin of one value among the split points (see above).
std::size_t step_bin(double x, Span<const double> split_points);

// True when the split points are strictly increasing and not NaN.
bool strictly_increasing(Span<const double> split_points);

// out[r] = levels[bin(x[r])]; levels.size must be split_points.size + 2.
void evaluate_step_1d(Column x, Span<const double> split_points, Span<const double> levels,
                      Span<double> out);

// out[r] = levels[bin(a[r]) * (sb + 2) + bin(b[r])].
void evaluate_step_2d(Column a, Column b, Span<const double> split_points_a,
                      Span<const double> split_points_b, Span<const double> levels,
                      Span<double> out);

// The distinct split values of each feature, ascending: row r of a split table tests feature
// feature_of_row[r] (negative for a leaf row) at split[r] (NaN skipped).
std::vector<std::vector<double>> split_points_by_feature(Span<const std::int64_t> feature_of_row,
                                                         Span<const double> split,
                                                         std::size_t n_features);

}  // namespace movra::core
