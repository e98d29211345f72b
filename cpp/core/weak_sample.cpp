#include "core/weak_sample.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace movra::core {

namespace {

std::size_t checked_position(std::int64_t p, std::size_t n, const char* what) {
    if (p < 0 || static_cast<std::uint64_t>(p) >= n)
        throw std::out_of_range(std::string(what) + " position " + std::to_string(p) +
                                " is outside 0.." + std::to_string(n) + " (exclusive)");
    return static_cast<std::size_t>(p);
}

}  // namespace

std::vector<std::int64_t> complement_positions(Span<const std::int64_t> taken, std::size_t n) {
    std::vector<char> is_taken(n, 0);
    for (std::int64_t p : taken) is_taken[checked_position(p, n, "taken")] = 1;
    std::vector<std::int64_t> rest;
    rest.reserve(n - std::min(n, taken.size));
    for (std::size_t i = 0; i < n; ++i)
        if (!is_taken[i]) rest.push_back(static_cast<std::int64_t>(i));
    return rest;
}

void gather_rows(const double* x, std::size_t n_rows, std::size_t n_cols,
                 Span<const std::int64_t> split, Span<const std::int64_t> picked, bool by_feature,
                 Span<double> out) {
    const std::size_t n_picked = picked.size;
    if (out.size != n_picked * n_cols)
        throw std::out_of_range("gathered rows need " + std::to_string(n_picked * n_cols) +
                                " values, the output holds " + std::to_string(out.size));
    for (std::size_t k = 0; k < n_picked; ++k) {
        const std::size_t in_split = checked_position(picked[k], split.size, "picked");
        const std::size_t row = checked_position(split[in_split], n_rows, "split");
        const double* src = x + row * n_cols;
        for (std::size_t j = 0; j < n_cols; ++j) {
            if (by_feature)
                out[j * n_picked + k] = src[j];
            else
                out[k * n_cols + j] = src[j];
        }
    }
}

double round_decimals(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    // nearbyint rounds half to even in the default rounding mode, as numpy's rint does.
    return std::nearbyint(value * scale) / scale;
}

}  // namespace movra::core
