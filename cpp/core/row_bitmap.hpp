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

// Sets bit i % 64 of words[(i / 64) * stride] when first[i] lies in `a` and, if `second` is not
// empty, second[i] lies in `b`; returns the number of bits set. NaN lies in no interval. A stride
// of k interleaves the bitmaps of k regions word by word (see bitmap_rows).
std::size_t box_bitmap(Span<const double> first, ClosedInterval a, Span<const double> second,
                       ClosedInterval b, std::uint64_t* words, std::size_t stride = 1);

// box_bitmap by the code path `path` (one of simd_paths()), for tests that compare them.
std::size_t box_bitmap_with(const char* path, Span<const double> first, ClosedInterval a,
                            Span<const double> second, ClosedInterval b, std::uint64_t* words,
                            std::size_t stride = 1);

// The bitmaps of k boxes (a[r] on `first` and, if `second` is not empty, b[r] on `second`),
// interleaved: region r's word w at words[w * k + r]; counts[r] the bits of region r. With
// AVX-512 each word's rows are loaded once and compared with every box; with AVX2 with up to
// four boxes per load, so the columns are read once per four boxes.
void box_bitmaps(Span<const double> first, Span<const double> second, const ClosedInterval* a,
                 const ClosedInterval* b, std::size_t k, std::uint64_t* words, std::size_t* counts);

// box_bitmaps by the code path `path` (one of simd_paths()).
void box_bitmaps_with(const char* path, Span<const double> first, Span<const double> second,
                      const ClosedInterval* a, const ClosedInterval* b, std::size_t k,
                      std::uint64_t* words, std::size_t* counts);

// The rows of `n_regions` interleaved bitmaps (word w of region r at words[w * n_regions + r]),
// each region's in increasing order into rows[r] (counts[r] of them: its bits), and
// values[row] into gathered[r] when `values` is not empty. Word by word across the regions, so
// `values` is read once from start to end however many regions there are.
void bitmap_rows(const std::uint64_t* words, std::size_t n_regions, std::size_t n_words,
                 const std::size_t* counts, Span<const double> values, std::int64_t* const* rows,
                 double* const* gathered);

}  // namespace movra::core
