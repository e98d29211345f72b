#include "core/sample_shift.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "core/distances.hpp"
#include "core/histogram.hpp"

namespace movra::core {

namespace {

constexpr int kBuckets = 10;

// The reference's observed range of a numerical column, or the largest code of a categorical
// one over both samples.
struct ColumnScope {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    std::size_t codes = 0;  // largest code + 1
};

// numpy.unique(numpy.linspace(low, high, 11)): the edges of the PSI buckets.
std::vector<double> bucket_edges(double low, double high) {
    std::vector<double> edges(kBuckets + 1);
    const double step = (high - low) / kBuckets;
    for (int i = 0; i < kBuckets; ++i)
        edges[static_cast<std::size_t>(i)] =
            step == 0.0 ? low : static_cast<double>(i) * step + low;
    edges[kBuckets] = high;
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
}

// The rows of the split in the weak sample (counts, a repeated position counting again).
std::vector<std::uint32_t> weak_counts(Span<const std::int64_t> weak, std::size_t n_split) {
    std::vector<std::uint32_t> times(n_split, 0);
    for (const std::int64_t k : weak) {
        if (k < 0 || static_cast<std::size_t>(k) >= n_split)
            throw std::out_of_range("a weak position is outside the split");
        ++times[static_cast<std::size_t>(k)];
    }
    return times;
}

const double* row_of(RowMajor x, std::int64_t row) {
    if (row < 0 || static_cast<std::size_t>(row) >= x.n_rows)
        throw std::out_of_range("a split position is outside the data set");
    return x.data + static_cast<std::size_t>(row) * x.n_columns;
}

// Pass 1: the reference's range of each numerical column, the codes of each categorical one.
std::vector<ColumnScope> scopes(RowMajor x, Span<const std::int64_t> split,
                                const std::vector<std::uint32_t>& times,
                                const std::vector<bool>& categorical, bool full) {
    std::vector<ColumnScope> out(x.n_columns);
    for (std::size_t k = 0; k < split.size; ++k) {
        const double* row = row_of(x, split[k]);
        const bool reference = full || times[k] == 0;
        for (std::size_t j = 0; j < x.n_columns; ++j) {
            const double v = row[j];
            if (std::isnan(v)) continue;
            ColumnScope& s = out[j];
            if (categorical[j]) {
                if (!(v >= 0.0) || v >= 4294967296.0 || v != std::floor(v))
                    throw std::invalid_argument(
                        "a categorical column holds a value that is no code");
                s.codes = std::max(s.codes, static_cast<std::size_t>(v) + 1);
            } else if (reference) {
                s.low = std::min(s.low, v);
                s.high = std::max(s.high, v);
            }
        }
    }
    return out;
}

// How one column's values find their bucket: a categorical column's code is its bucket; a
// numerical one's bucket is that of the inner edges at or below the value (BinLocator over the
// edges agrees with that exactly, values outside the edges in the end buckets). The last bucket of
// every column holds its missing values.
struct ColumnBuckets {
    bool categorical = false;
    std::vector<double> edges;  // numerical: the unique edges (fewer than 2: one bucket)
    std::optional<BinLocator> locate;
    std::size_t first = 0;  // the column's first bucket in the counts
    std::size_t size = 0;   // its buckets, the missing one included

    std::size_t bucket(double v) const {
        if (std::isnan(v)) return first + size - 1;
        if (categorical) return first + static_cast<std::size_t>(v);
        return first + (locate ? (*locate)(v) : 0);
    }
};

}  // namespace

std::vector<double> weak_sample_psi(RowMajor x, Span<const std::int64_t> split,
                                    Span<const std::int64_t> weak,
                                    const std::vector<bool>& categorical, bool full) {
    if (categorical.size() != x.n_columns)
        throw std::invalid_argument("one categorical flag per column is needed");
    const std::vector<std::uint32_t> times = weak_counts(weak, split.size);
    const std::vector<ColumnScope> scope = scopes(x, split, times, categorical, full);
    std::vector<ColumnBuckets> columns(x.n_columns);
    std::size_t n_buckets = 0;
    for (std::size_t j = 0; j < x.n_columns; ++j) {
        ColumnBuckets& c = columns[j];
        const ColumnScope& s = scope[j];
        c.categorical = categorical[j];
        if (!c.categorical && s.low <= s.high && std::isfinite(s.low) && std::isfinite(s.high)) {
            c.edges = bucket_edges(s.low, s.high);
            if (c.edges.size() >= 2) c.locate.emplace(c.edges);
        }
        c.first = n_buckets;
        c.size = (c.categorical ? s.codes : c.locate ? c.edges.size() - 1 : 1) + 1;
        n_buckets += c.size;
    }
    // Pass 2: every row of both samples into its bucket of every column.
    std::vector<double> counts[2] = {std::vector<double>(n_buckets, 0.0),
                                     std::vector<double>(n_buckets, 0.0)};
    double rows[2] = {0.0, 0.0};  // the reference, the weak rows
    for (std::size_t k = 0; k < split.size; ++k) {
        const double* row = row_of(x, split[k]);
        const bool reference = full || times[k] == 0;
        const auto times_weak = static_cast<double>(times[k]);
        rows[0] += reference ? 1.0 : 0.0;
        rows[1] += times_weak;
        for (std::size_t j = 0; j < x.n_columns; ++j) {
            const std::size_t b = columns[j].bucket(row[j]);
            counts[0][b] += reference ? 1.0 : 0.0;
            counts[1][b] += times_weak;
        }
    }
    std::vector<double> out(x.n_columns, std::nan(""));
    if (rows[0] == 0.0 || rows[1] == 0.0) return out;
    for (std::size_t j = 0; j < x.n_columns; ++j) {
        const ColumnBuckets& c = columns[j];
        const ColumnScope& s = scope[j];
        // An infinite value in the reference: no buckets of finite width.
        if (!c.categorical && s.low <= s.high && !(std::isfinite(s.low) && std::isfinite(s.high)))
            continue;
        std::size_t size = c.size;
        // A numerical column has its missing bucket only when either sample misses values.
        const std::size_t missing = c.first + c.size - 1;
        if (!c.categorical && counts[0][missing] == 0.0 && counts[1][missing] == 0.0) --size;
        out[j] = population_stability({counts[0].data() + c.first, size},
                                      {counts[1].data() + c.first, size});
    }
    return out;
}

}  // namespace movra::core
