// Piecewise-constant functions of one or two features on sorted split points, evaluated the way
// XGBoost routes a row: the value rounded to float32 goes below a split point when it is smaller,
// and a missing value (NaN) has a level of its own.
//
// With s split points p[0] < ... < p[s-1], a value falls in bin b = #{i : p[i] <= float32(x)}
// (0..s), and a missing value in bin s + 1. A 1-D function has s + 2 levels; a 2-D function on
// s1 x s2 split points has (s1 + 2) x (s2 + 2) levels, row-major, rows along the first feature.
#pragma once

#include <cmath>
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

// The same bin in a few nanoseconds: a uniform bucket table over the split points' range narrows
// the search to the points sharing the value's bucket (usually none or one). Bucketing is
// monotone in the value, so the narrowed range always holds the answer: results equal step_bin.
// Keeps a view of the split points, which must outlive it and be strictly increasing.
class StepLocator {
  public:
    explicit StepLocator(Span<const double> split_points);
    std::size_t bin(double x) const {
        if (std::isnan(x)) return points_.size + 1;
        const double v = static_cast<double>(static_cast<float>(x));
        const std::size_t s = points_.size;
        if (s == 0 || v < points_[0]) return 0;
        if (v >= points_[s - 1]) return s;
        const std::size_t k = bucket(v);
        std::size_t lo = start_[k];
        std::size_t len = start_[k + 1] - lo;
        // The table is fine enough that a bucket mostly holds at most one point: one comparison.
        if (len <= 1) return lo + static_cast<std::size_t>(len == 1 && points_[lo] <= v);
        while (len > 0) {  // first point greater than v within the bucket's points
            const std::size_t half = len / 2;
            const bool right = points_[lo + half] <= v;
            lo = right ? lo + half + 1 : lo;
            len = right ? len - half - 1 : half;
        }
        return lo;
    }

  private:
    std::size_t bucket(double v) const {
        const double t = (v - points_[0]) * scale_;
        return t < static_cast<double>(n_buckets_) ? static_cast<std::size_t>(t) : n_buckets_ - 1;
    }

    Span<const double> points_;
    double scale_ = 0.0;
    std::size_t n_buckets_ = 1;
    std::vector<std::uint32_t> start_;  // start_[k]: points in buckets before k
};

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
