// Columns of a row-major matrix copied out as contiguous vectors, with each column's range found
// on the way, so no later pass over the column is needed for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/histogram.hpp"
#include "core/span.hpp"

namespace movra::core {

// A row-major matrix we read: n_rows x n_columns doubles from `data`.
struct RowMajor {
    const double* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_columns = 0;
};

// Copies column columns[j] of `m` into outputs[j] (m.n_rows values each) and returns the range
// of each copied column as value_range gives it (NaN bounds when the column holds a NaN). Every
// column must be below m.n_columns. With no rows the ranges are {0, 0}: an empty column has none.
std::vector<ValueRange> extract_columns(RowMajor m, Span<const std::size_t> columns,
                                        double* const* outputs);

// extract_columns by the code path `path` (one of simd_paths()), for tests that compare them.
std::vector<ValueRange> extract_columns_with(const char* path, RowMajor m,
                                             Span<const std::size_t> columns,
                                             double* const* outputs);

// Whether column columns[j] holds a NaN or an infinite value on the rows at `rows` (positions
// of m's rows), read in place: one pass over those rows for all the columns.
std::vector<bool> non_finite_columns(RowMajor m, Span<const std::int64_t> rows,
                                     Span<const std::size_t> columns);

// Whether column columns[j] holds an infinite value (NaN, a missing value, is not one) on those
// rows.
std::vector<bool> infinite_columns(RowMajor m, Span<const std::int64_t> rows,
                                   Span<const std::size_t> columns);

}  // namespace movra::core
