#include "core/row_bitmap.hpp"

#include "core/simd.hpp"

namespace movra::core {

namespace {

inline bool in_box(double v, ClosedInterval a) { return (v >= a.lo) & (v <= a.hi); }

// Rows [begin, end) bit by bit: the tail and the path without vector instructions.
template <bool kTwo>
std::size_t scalar_bits(const double* x, const double* y, std::size_t begin, std::size_t end,
                        ClosedInterval a, ClosedInterval b, std::uint64_t* words,
                        std::size_t stride) {
    std::size_t count = 0;
    for (std::size_t w = begin / 64; w * 64 < end; ++w) {
        std::uint64_t bits = 0;
        const std::size_t stop = end < (w + 1) * 64 ? end : (w + 1) * 64;
        for (std::size_t i = w * 64; i < stop; ++i) {
            bool in = in_box(x[i], a);
            if (kTwo) in &= in_box(y[i], b);
            bits |= static_cast<std::uint64_t>(in) << (i % 64);
        }
        words[w * stride] = bits;
        count += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
    return count;
}

#ifdef MOVRA_X86_SIMD
// Four rows per comparison, up to four boxes per pass: each block of rows is loaded once and
// compared with every box, so the columns are read once per four boxes. Ordered, quiet
// comparisons: NaN compares false, as in C++.
template <std::size_t C, bool kTwo>
__attribute__((target("avx2,popcnt"))) void avx2_multi_bits(const double* x, const double* y,
                                                              std::size_t n,
                                                              const ClosedInterval* a,
                                                              const ClosedInterval* b,
                                                              std::uint64_t* words,
                                                              std::size_t stride,
                                                              std::size_t* counts) {
    __m256d alo[C], ahi[C], blo[C], bhi[C];
    for (std::size_t c = 0; c < C; ++c) {
        alo[c] = _mm256_set1_pd(a[c].lo);
        ahi[c] = _mm256_set1_pd(a[c].hi);
        blo[c] = _mm256_set1_pd(kTwo ? b[c].lo : 0.0);
        bhi[c] = _mm256_set1_pd(kTwo ? b[c].hi : 0.0);
    }
    const std::size_t full = n / 64;
    for (std::size_t w = 0; w < full; ++w) {
        const double* px = x + w * 64;
        const double* py = kTwo ? y + w * 64 : nullptr;
        std::uint64_t bits[C] = {};
        for (std::size_t j = 0; j < 64; j += 4) {
            const __m256d v = _mm256_loadu_pd(px + j);
            const __m256d u = kTwo ? _mm256_loadu_pd(py + j) : _mm256_setzero_pd();
            for (std::size_t c = 0; c < C; ++c) {
                __m256d in = _mm256_and_pd(_mm256_cmp_pd(v, alo[c], _CMP_GE_OQ),
                                           _mm256_cmp_pd(v, ahi[c], _CMP_LE_OQ));
                if (kTwo)
                    in = _mm256_and_pd(in, _mm256_and_pd(_mm256_cmp_pd(u, blo[c], _CMP_GE_OQ),
                                                         _mm256_cmp_pd(u, bhi[c], _CMP_LE_OQ)));
                bits[c] |= static_cast<std::uint64_t>(_mm256_movemask_pd(in)) << j;
            }
        }
        for (std::size_t c = 0; c < C; ++c) {
            words[w * stride + c] = bits[c];
            counts[c] += static_cast<std::size_t>(_mm_popcnt_u64(bits[c]));
        }
    }
    for (std::size_t c = 0; c < C; ++c)
        counts[c] += scalar_bits<kTwo>(x, y, full * 64, n, a[c], kTwo ? b[c] : ClosedInterval{},
                                       words + c, stride);
}

template <bool kTwo>
void avx2_boxes(const double* x, const double* y, std::size_t n, const ClosedInterval* a,
                const ClosedInterval* b, std::size_t k, std::uint64_t* words,
                std::size_t* counts) {
    for (std::size_t c0 = 0; c0 < k; c0 += 4) {
        const ClosedInterval* bb = kTwo ? b + c0 : nullptr;
        std::uint64_t* const out = words + c0;
        std::size_t* const bits_set = counts + c0;
        switch (k - c0) {
            case 1: avx2_multi_bits<1, kTwo>(x, y, n, a + c0, bb, out, k, bits_set); break;
            case 2: avx2_multi_bits<2, kTwo>(x, y, n, a + c0, bb, out, k, bits_set); break;
            case 3: avx2_multi_bits<3, kTwo>(x, y, n, a + c0, bb, out, k, bits_set); break;
            default: avx2_multi_bits<4, kTwo>(x, y, n, a + c0, bb, out, k, bits_set);
        }
    }
}

// Two rows per comparison: every x86-64 processor has these.
template <bool kTwo>
std::size_t sse2_bits(const double* x, const double* y, std::size_t n, ClosedInterval a,
                      ClosedInterval b, std::uint64_t* words, std::size_t stride) {
    const __m128d alo = _mm_set1_pd(a.lo), ahi = _mm_set1_pd(a.hi);
    const __m128d blo = _mm_set1_pd(b.lo), bhi = _mm_set1_pd(b.hi);
    const std::size_t full = n / 64;
    std::size_t count = 0;
    for (std::size_t w = 0; w < full; ++w) {
        const double* px = x + w * 64;
        const double* py = kTwo ? y + w * 64 : nullptr;
        std::uint64_t bits = 0;
        for (std::size_t j = 0; j < 64; j += 2) {
            const __m128d v = _mm_loadu_pd(px + j);
            __m128d in = _mm_and_pd(_mm_cmpge_pd(v, alo), _mm_cmple_pd(v, ahi));
            if (kTwo) {
                const __m128d u = _mm_loadu_pd(py + j);
                in = _mm_and_pd(in, _mm_and_pd(_mm_cmpge_pd(u, blo), _mm_cmple_pd(u, bhi)));
            }
            bits |= static_cast<std::uint64_t>(_mm_movemask_pd(in)) << j;
        }
        words[w * stride] = bits;
        count += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
    return count + scalar_bits<kTwo>(x, y, full * 64, n, a, b, words, stride);
}
#endif

template <bool kTwo>
std::size_t bits_with(const char* path, const double* x, const double* y, std::size_t n,
                      ClosedInterval a, ClosedInterval b, std::uint64_t* words,
                      std::size_t stride) {
#ifdef MOVRA_X86_SIMD
    const SimdLevel level = simd_level(path);
    if (level >= SimdLevel::kAvx2) {
        std::size_t count = 0;
        avx2_multi_bits<1, kTwo>(x, y, n, &a, &b, words, stride, &count);
        return count;
    }
    if (level == SimdLevel::kSse2) return sse2_bits<kTwo>(x, y, n, a, b, words, stride);
#else
    (void)path;
#endif
    return scalar_bits<kTwo>(x, y, 0, n, a, b, words, stride);
}

}  // namespace

std::size_t box_bitmap_with(const char* path, Span<const double> first, ClosedInterval a,
                            Span<const double> second, ClosedInterval b, std::uint64_t* words,
                            std::size_t stride) {
    return second.empty()
               ? bits_with<false>(path, first.data, nullptr, first.size, a, b, words, stride)
               : bits_with<true>(path, first.data, second.data, first.size, a, b, words, stride);
}

std::size_t box_bitmap(Span<const double> first, ClosedInterval a, Span<const double> second,
                       ClosedInterval b, std::uint64_t* words, std::size_t stride) {
    return box_bitmap_with(best_simd_path(), first, a, second, b, words, stride);
}

void box_bitmaps_with(const char* path, Span<const double> first, Span<const double> second,
                      const ClosedInterval* a, const ClosedInterval* b, std::size_t k,
                      std::uint64_t* words, std::size_t* counts) {
    for (std::size_t r = 0; r < k; ++r) counts[r] = 0;
    const bool two = !second.empty();
#ifdef MOVRA_X86_SIMD
    if (simd_level(path) >= SimdLevel::kAvx2) {
        if (two)
            avx2_boxes<true>(first.data, second.data, first.size, a, b, k, words, counts);
        else
            avx2_boxes<false>(first.data, nullptr, first.size, a, b, k, words, counts);
        return;
    }
#endif
    for (std::size_t r = 0; r < k; ++r)
        counts[r] = box_bitmap_with(path, first, a[r], second, two ? b[r] : ClosedInterval{},
                                    words + r, k);
}

void box_bitmaps(Span<const double> first, Span<const double> second, const ClosedInterval* a,
                 const ClosedInterval* b, std::size_t k, std::uint64_t* words,
                 std::size_t* counts) {
    box_bitmaps_with(best_simd_path(), first, second, a, b, k, words, counts);
}

void bitmap_rows(const std::uint64_t* words, std::size_t n_regions, std::size_t n_words,
                 const std::size_t* counts, Span<const double> values,
                 std::int64_t* const* rows, double* const* gathered) {
    std::vector<std::size_t> kept(n_regions, 0);
    const bool with_values = !values.empty();
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    for (std::size_t w = 0; w < n_words; ++w)
        for (std::size_t r = 0; r < n_regions; ++r) {
            std::size_t k = kept[r];
            std::uint64_t bits = words[w * n_regions + r];
            const std::size_t base = w * 64;
            std::int64_t* const out_rows = rows[r];
            double* const out_values = gathered[r];
            // A word's first four set bits are written without a branch on how many there are
            // (that number varies at random from word to word): extra writes land past the
            // region's rows found so far, inside its list, and are overwritten later. Needs room
            // for four and a whole word of rows (the sentinel bit 63 must be a row).
            if (k + 4 <= counts[r] && w + 1 < n_words) {
                const auto set = static_cast<std::size_t>(__builtin_popcountll(bits));
                for (int j = 0; j < 4; ++j) {
                    const std::size_t i =
                        base + static_cast<std::size_t>(__builtin_ctzll(bits | kTop));
                    out_rows[k + static_cast<std::size_t>(j)] = static_cast<std::int64_t>(i);
                    if (with_values) out_values[k + static_cast<std::size_t>(j)] = values[i];
                    bits &= bits - 1;
                }
                k += set < 4 ? set : 4;
            }
            // The rest one by one: only set bits are visited.
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t i = base + static_cast<std::size_t>(__builtin_ctzll(bits));
                out_rows[k] = static_cast<std::int64_t>(i);
                if (with_values) out_values[k] = values[i];
                ++k;
            }
            kept[r] = k;
        }
}

}  // namespace movra::core
