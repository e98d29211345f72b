#include "core/step_functions.hpp"

#include <algorithm>
#include <cmath>

namespace movra::core {

std::size_t step_bin(double x, Span<const double> split_points) {
    if (std::isnan(x)) return split_points.size + 1;
    // XGBoost compares float32 values; the split points are float32 numbers held as doubles.
    const double v = static_cast<double>(static_cast<float>(x));
    // First split point greater than v; written without a data-dependent branch, since rows come
    // in no order and a mispredicted branch per halving costs more than the comparison.
    const double* first = split_points.data;
    std::size_t len = split_points.size;
    while (len > 0) {
        const std::size_t half = len / 2;
        const bool right = first[half] <= v;
        first = right ? first + half + 1 : first;
        len = right ? len - half - 1 : half;
    }
    return static_cast<std::size_t>(first - split_points.data);
}

StepLocator::StepLocator(Span<const double> split_points) : points_(split_points) {
    const std::size_t s = points_.size;
    if (s < 2) return;  // bin() answers from the end points alone
    n_buckets_ = 4 * s;
    const double range = points_[s - 1] - points_[0];
    scale_ = static_cast<double>(n_buckets_) / range;
    if (!std::isfinite(scale_)) {  // a range too small or too large for the table
        scale_ = 0.0;
        n_buckets_ = 1;
    }
    start_.assign(n_buckets_ + 1, 0);
    // Count the points per bucket, then prefix sums: start_[k] = points in buckets < k.
    for (std::size_t i = 0; i < s; ++i) ++start_[bucket(points_[i]) + 1];
    for (std::size_t k = 1; k <= n_buckets_; ++k) start_[k] += start_[k - 1];
}

bool strictly_increasing(Span<const double> split_points) {
    for (std::size_t i = 0; i < split_points.size; ++i) {
        if (std::isnan(split_points[i])) return false;
        if (i > 0 && !(split_points[i - 1] < split_points[i])) return false;
    }
    return true;
}

void evaluate_step_1d(Column x, Span<const double> split_points, Span<const double> levels,
                      Span<double> out) {
    const StepLocator locate(split_points);
    for (std::size_t r = 0; r < x.size; ++r) out[r] = levels[locate.bin(x[r])];
}

void evaluate_step_2d(Column a, Column b, Span<const double> split_points_a,
                      Span<const double> split_points_b, Span<const double> levels,
                      Span<double> out) {
    const std::size_t width = split_points_b.size + 2;
    const StepLocator locate_a(split_points_a);
    const StepLocator locate_b(split_points_b);
    for (std::size_t r = 0; r < a.size; ++r)
        out[r] = levels[locate_a.bin(a[r]) * width + locate_b.bin(b[r])];
}

std::vector<std::vector<double>> split_points_by_feature(Span<const std::int64_t> feature_of_row,
                                                         Span<const double> split,
                                                         std::size_t n_features) {
    std::vector<std::vector<double>> out(n_features);
    for (std::size_t r = 0; r < feature_of_row.size; ++r) {
        const std::int64_t f = feature_of_row[r];
        if (f < 0 || static_cast<std::size_t>(f) >= n_features || std::isnan(split[r])) continue;
        out[static_cast<std::size_t>(f)].push_back(split[r]);
    }
    for (auto& points : out) {
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
    }
    return out;
}

}  // namespace movra::core
