#include "core/order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace movra::core {

std::vector<std::size_t> largest_first(Span<const double> values, std::size_t k) {
    std::vector<std::size_t> order(values.size);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&values](std::size_t a, std::size_t b) {
        const bool a_nan = std::isnan(values[a]);
        const bool b_nan = std::isnan(values[b]);
        if (a_nan || b_nan) return !a_nan && b_nan;
        return values[a] > values[b];
    });
    if (order.size() > k) order.resize(k);
    return order;
}

}  // namespace movra::core
