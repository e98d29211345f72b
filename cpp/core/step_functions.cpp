#include "core/step_functions.hpp"

#include <cmath>

namespace movra::core {

std::size_t step_bin(double x, Span<const double> split_points) {
    if (std::isnan(x)) return split_points.size + 1;
    // XGBoost compares float32 values; the split points are float32 numbers held as doubles.
    const double v = static_cast<double>(static_cast<float>(x));
    std::size_t lo = 0;
    std::size_t hi = split_points.size;
    while (lo < hi) {  // first split point greater than v
        const std::size_t mid = lo + (hi - lo) / 2;
        if (split_points[mid] <= v) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
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
    for (std::size_t r = 0; r < x.size; ++r) out[r] = levels[step_bin(x[r], split_points)];
}

void evaluate_step_2d(Column a, Column b, Span<const double> split_points_a,
                      Span<const double> split_points_b, Span<const double> levels,
                      Span<double> out) {
    const std::size_t width = split_points_b.size + 2;
    for (std::size_t r = 0; r < a.size; ++r)
        out[r] = levels[step_bin(a[r], split_points_a) * width + step_bin(b[r], split_points_b)];
}

}  // namespace movra::core
