// Equal-width histogram bins, with numpy's edges bit for bit, and the bin of every row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

struct ValueRange {
    double min = 0.0;
    double max = 0.0;
};

// Smallest and largest value; NaN when any value is NaN (like numpy's min/max).
// Throws std::invalid_argument for an empty span (numpy's reduction error).
ValueRange value_range(Span<const double> x);

// Number of distinct values, counting no further than `limit` (enough to compare with a bin count).
std::size_t count_distinct_up_to(Span<const double> x, std::size_t limit);

// The number of bins a feature gets: its number of distinct values when that is below
// `max_bins`, else `max_bins`.
std::int64_t histogram_bin_count(Span<const double> x, std::int64_t max_bins);

// numpy.histogram(x, bins)[1] for a range [min, max]: start + i * step with
// step = (stop - start) / bins, the last edge exactly stop, the range widened by 0.5 on each side
// when min == max. Throws std::invalid_argument with numpy's messages for a non-finite range, a
// non-positive bin count or edges that are not strictly increasing.
std::vector<double> equal_width_edges(ValueRange range, std::int64_t bins);

// Finds the bin of a value for strictly increasing edges (see assign_bins).
class BinLocator {
public:
    explicit BinLocator(const std::vector<double>& edges)
        : edges_(edges.data()),
          last_bin_(static_cast<std::ptrdiff_t>(edges.size()) - 2),
          first_(edges.front()),
          scale_(static_cast<double>(edges.size() - 1) / (edges.back() - edges.front())) {}

    std::size_t operator()(double v) const {
        // An arithmetic guess, then corrected against the edges themselves, so the result
        // agrees with the comparisons x >= lb and x < ub whatever the rounding of the guess.
        const double guess = (v - first_) * scale_;
        std::ptrdiff_t b = 0;
        if (guess >= static_cast<double>(last_bin_))
            b = last_bin_;
        else if (guess > 0.0)
            b = static_cast<std::ptrdiff_t>(guess);
        while (b > 0 && v < edges_[b]) --b;
        while (b < last_bin_ && v >= edges_[b + 1]) ++b;
        return static_cast<std::size_t>(b);
    }

private:
    const double* edges_;
    std::ptrdiff_t last_bin_;
    double first_;
    double scale_;
};

// Bin of every row for strictly increasing edges: i such that edges[i] <= x < edges[i + 1], the
// maximum in the last bin (numpy.digitize over the inner edges, right=False).
void assign_bins(Span<const double> x, const std::vector<double>& edges, Span<std::int32_t> bins);

// Rows grouped by bin, a stable counting sort: the rows of bin b are
// order[offsets[b] .. offsets[b + 1]), in increasing row order.
struct BinGroups {
    std::vector<std::size_t> offsets;
    std::vector<std::int64_t> order;
};
BinGroups group_by_bin(Span<const std::int32_t> bins, std::size_t n_bins);

// Shortest text that reads back as the same double, as Python's repr does.
std::string format_double(double value);

}  // namespace movra::core
