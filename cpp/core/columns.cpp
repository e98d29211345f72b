#include "core/columns.hpp"

#include <cmath>

namespace movra::core {

std::vector<ValueRange> extract_columns(RowMajor m, Span<const std::size_t> columns,
                                        double* const* outputs) {
    const std::size_t k = columns.size, rows = m.n_rows, width = m.n_columns;
    std::vector<ValueRange> ranges(k);
    if (rows == 0) return ranges;
    const double* in = m.data;
    std::vector<unsigned char> has_nan(k, 0);
    for (std::size_t j = 0; j < k; ++j) ranges[j] = {in[columns[j]], in[columns[j]]};
    // All wanted columns in one pass, so each row's cache line is read once; selects rather than
    // branches for the range, whose updates the data's order would make unpredictable.
    if (k == 1) {
        const std::size_t p = columns[0];
        double* o = outputs[0];
        double lo = ranges[0].min, hi = ranges[0].max;
        bool nan = false;
        for (std::size_t i = 0; i < rows; ++i) {
            const double v = in[i * width + p];
            o[i] = v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            nan |= v != v;
        }
        ranges[0] = {lo, hi};
        has_nan[0] = nan;
    } else {
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < k; ++j) {
                const double v = in[i * width + columns[j]];
                outputs[j][i] = v;
                ValueRange& r = ranges[j];
                r.min = v < r.min ? v : r.min;
                r.max = v > r.max ? v : r.max;
                has_nan[j] |= static_cast<unsigned char>(v != v);
            }
    }
    for (std::size_t j = 0; j < k; ++j)
        if (has_nan[j] != 0) ranges[j].min = ranges[j].max = std::nan("");
    return ranges;
}

}  // namespace movra::core
