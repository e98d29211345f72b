// The rows inside a box on one or two columns as a bitmap, found with vector comparisons where
// the processor has them, and the rows (with values at them) read back from the bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// The values lo <= v <= hi; an empty interval when lo > hi, nothing when either is NaN.
struct ClosedInterval {
    double lo = 0.0;
    double hi = 0.0;
};

// Words of a bitmap over n rows: bit i % 64 of word i / 64 is row i.
inline std::size_t bitmap_words(std::size_t rows) { return (rows + 63) / 64; }

// Sets bit i of `words` (bitmap_words(first.size) of them) when first[i] lies in `a` and, if
// `second` is not empty, second[i] lies in `b`; returns the number of bits set. NaN lies in no
// interval.
std::size_t box_bitmap(Span<const double> first, ClosedInterval a, Span<const double> second,
                       ClosedInterval b, std::uint64_t* words);

// The rows whose bits are set, in increasing order, into `rows` (as many as bits are set) and,
// when `values` is not empty, values[row] into `gathered`.
void bitmap_rows(const std::uint64_t* words, std::size_t n_words, Span<const double> values,
                 std::int64_t* rows, double* gathered);

// box_bitmap by the code path `path` (one of simd_paths()), for tests that compare them.
std::size_t box_bitmap_with(const char* path, Span<const double> first, ClosedInterval a,
                            Span<const double> second, ClosedInterval b, std::uint64_t* words);

}  // namespace movra::core
