#include "core/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace movra::core {

ValueRange value_range(Span<const double> x) {
    if (x.empty())
        throw std::invalid_argument(
            "zero-size array to reduction operation minimum which has no identity");
    ValueRange r{x[0], x[0]};
    bool has_nan = false;
    for (std::size_t i = 0; i < x.size; ++i) {
        const double v = x[i];
        // Selects rather than branches: the order of the data must not cost mispredictions.
        r.min = v < r.min ? v : r.min;
        r.max = v > r.max ? v : r.max;
        has_nan |= v != v;
    }
    if (has_nan) r.min = r.max = std::nan("");
    return r;
}

std::size_t count_distinct_up_to(Span<const double> x, std::size_t limit) {
    // A small sorted set; for continuous data it fills within the first rows and the scan stops.
    std::vector<double> seen;
    seen.reserve(limit);
    for (std::size_t i = 0; i < x.size && seen.size() < limit; ++i) {
        const double v = x[i];
        auto it = std::lower_bound(seen.begin(), seen.end(), v);
        if (it == seen.end() || *it != v) seen.insert(it, v);
    }
    return seen.size();
}

std::int64_t histogram_bin_count(Span<const double> x, std::int64_t max_bins) {
    if (max_bins <= 0) return max_bins;
    const std::size_t distinct = count_distinct_up_to(x, static_cast<std::size_t>(max_bins));
    return static_cast<std::int64_t>(distinct) < max_bins ? static_cast<std::int64_t>(distinct)
                                                          : max_bins;
}

std::string format_double(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, value);
        if (std::strtod(buf, nullptr) == value) break;
    }
    std::string text(buf);
    if (text.find_first_of(".eni") == std::string::npos) text += ".0";
    return text;
}

std::vector<double> equal_width_edges(ValueRange range, std::int64_t bins) {
    if (bins <= 0) throw std::invalid_argument("`bins` must be positive, when an integer");
    double start = range.min;
    double stop = range.max;
    if (!std::isfinite(start) || !std::isfinite(stop))
        throw std::invalid_argument("autodetected range of [" + format_double(start) + ", " +
                                    format_double(stop) + "] is not finite");
    if (start == stop) {
        start -= 0.5;
        stop += 0.5;
    }
    const auto n = static_cast<std::size_t>(bins);
    std::vector<double> edges(n + 1);
    const double delta = stop - start;
    const double div = static_cast<double>(n);
    const double step = delta / div;
    for (std::size_t i = 0; i < n; ++i) {
        const double position = static_cast<double>(i);
        // numpy divides first when the step underflows to zero (denormal ranges).
        const double offset = step == 0.0 ? position / div * delta : position * step;
        edges[i] = offset + start;
    }
    edges[n] = stop;
    for (std::size_t i = 0; i < n; ++i)
        if (!(edges[i] < edges[i + 1]))
            throw std::invalid_argument("Too many bins for data range. Cannot create " +
                                        std::to_string(n) + " finite-sized bins.");
    return edges;
}

void assign_bins(Span<const double> x, const std::vector<double>& edges, Span<std::int32_t> bins) {
    const BinLocator locate(edges);
    for (std::size_t i = 0; i < x.size; ++i) bins[i] = static_cast<std::int32_t>(locate(x[i]));
}

BinGroups group_by_bin(Span<const std::int32_t> bins, std::size_t n_bins) {
    BinGroups g;
    g.offsets.assign(n_bins + 1, 0);
    for (std::size_t i = 0; i < bins.size; ++i) ++g.offsets[static_cast<std::size_t>(bins[i]) + 1];
    for (std::size_t b = 0; b < n_bins; ++b) g.offsets[b + 1] += g.offsets[b];
    g.order.resize(bins.size);
    std::vector<std::size_t> next(g.offsets.begin(), g.offsets.end() - 1);
    for (std::size_t i = 0; i < bins.size; ++i)
        g.order[next[static_cast<std::size_t>(bins[i])]++] = static_cast<std::int64_t>(i);
    return g;
}

}  // namespace movra::core
