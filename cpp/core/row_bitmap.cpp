#include "core/row_bitmap.hpp"

#include <algorithm>
#include <cstring>

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
__attribute__((target("avx2,popcnt"))) void avx2_multi_bits(
    const double* x, const double* y, std::size_t n, const ClosedInterval* a,
    const ClosedInterval* b, std::uint64_t* words, std::size_t stride, std::size_t* counts) {
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
                const ClosedInterval* b, std::size_t k, std::uint64_t* words, std::size_t* counts) {
    for (std::size_t c0 = 0; c0 < k; c0 += 4) {
        const ClosedInterval* bb = kTwo ? b + c0 : nullptr;
        std::uint64_t* const out = words + c0;
        std::size_t* const bits_set = counts + c0;
        switch (k - c0) {
            case 1:
                avx2_multi_bits<1, kTwo>(x, y, n, a + c0, bb, out, k, bits_set);
                break;
            case 2:
                avx2_multi_bits<2, kTwo>(x, y, n, a + c0, bb, out, k, bits_set);
                break;
            case 3:
                avx2_multi_bits<3, kTwo>(x, y, n, a + c0, bb, out, k, bits_set);
                break;
            default:
                avx2_multi_bits<4, kTwo>(x, y, n, a + c0, bb, out, k, bits_set);
        }
    }
}

// Eight masks of eight rows as one word of 64 rows, the first mask lowest.
MOVRA_TARGET_AVX512 inline std::uint64_t pack_masks(const __mmask8* m) {
    const __mmask32 low = _mm512_kunpackw(_mm512_kunpackb(m[3], m[2]), _mm512_kunpackb(m[1], m[0]));
    const __mmask32 high =
        _mm512_kunpackw(_mm512_kunpackb(m[7], m[6]), _mm512_kunpackb(m[5], m[4]));
    return _cvtmask64_u64(_mm512_kunpackd(high, low));
}

// A double as an unsigned integer in the same order: zeros of both signs alike (v + 0.0 makes
// -0.0 +0.0 and leaves every other value), negative values' bits reversed below the positive
// ones, NaN of either sign beyond the infinities. So lo <= v <= hi (non-NaN bounds, lo <= hi)
// is key(v) - key(lo) <= key(hi) - key(lo) as unsigned integers: one comparison, and no
// interval holds a NaN.
inline std::uint64_t order_key(double v) {
    v += 0.0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ ((bits >> 63) != 0 ? ~std::uint64_t{0} : std::uint64_t{1} << 63);
}

MOVRA_TARGET_AVX512 inline __m512i order_keys(const double* p) {
    const __m512i bits =
        _mm512_castpd_si512(_mm512_add_pd(_mm512_loadu_pd(p), _mm512_setzero_pd()));
    // All ones for a negative value, else zero; shifted right once and with the sign bit set:
    // the bits to flip.
    const __m512i negative = _mm512_maskz_srai_epi64(kAllLanes, bits, 63);
    const __m512i flip = _mm512_or_si512(_mm512_maskz_srli_epi64(kAllLanes, negative, 1),
                                         _mm512_set1_epi64(std::int64_t{1} << 63));
    return _mm512_xor_si512(bits, flip);
}

// An interval as the offset and width of its keys; `none` when it holds nothing (NaN bound or
// lo > hi), which clears the rows' mask instead.
struct KeyInterval {
    std::uint64_t low = 0, width = 0;
    bool none = false;
};
KeyInterval key_interval(ClosedInterval a) {
    if (!(a.lo <= a.hi)) return {0, 0, true};
    const std::uint64_t low = order_key(a.lo);
    return {low, order_key(a.hi) - low, false};
}

// The rows of eight keys inside an interval, among those of `in`.
MOVRA_TARGET_AVX512 inline __mmask8 inside(__mmask8 in, __m512i keys, const KeyInterval& a) {
    const __m512i offset =
        _mm512_sub_epi64(keys, _mm512_set1_epi64(static_cast<std::int64_t>(a.low)));
    return _mm512_mask_cmp_epu64_mask(
        in, offset, _mm512_set1_epi64(static_cast<std::int64_t>(a.width)), _MM_CMPINT_LE);
}

// Every box's bits for a word of 64 rows at a time: the word's rows are read once (their keys in
// 16 registers) and tested against all boxes, one comparison per column and box, chained
// through masks. Words go to words[w * stride + r].
template <bool kTwo>
MOVRA_TARGET_AVX512 void avx512_boxes(const double* x, const double* y, std::size_t n,
                                      const ClosedInterval* a, const ClosedInterval* b,
                                      std::size_t k, std::uint64_t* words, std::size_t stride,
                                      std::size_t* counts) {
    std::vector<KeyInterval> ka(k), kb(k);
    std::vector<__mmask8> enabled(k);
    for (std::size_t r = 0; r < k; ++r) {
        ka[r] = key_interval(a[r]);
        if (kTwo) kb[r] = key_interval(b[r]);
        enabled[r] = ka[r].none || (kTwo && kb[r].none) ? 0 : kAllLanes;
    }
    const std::size_t full = n / 64;
    for (std::size_t w = 0; w < full; ++w) {
        __m512i u[8], v[8];
        for (std::size_t j = 0; j < 8; ++j) {
            u[j] = order_keys(x + w * 64 + j * 8);
            if (kTwo) v[j] = order_keys(y + w * 64 + j * 8);
        }
        for (std::size_t r = 0; r < k; ++r) {
            __mmask8 in[8];
            for (std::size_t j = 0; j < 8; ++j) {
                in[j] = inside(enabled[r], u[j], ka[r]);
                if (kTwo) in[j] = inside(in[j], v[j], kb[r]);
            }
            const std::uint64_t bits = pack_masks(in);
            words[w * stride + r] = bits;
            counts[r] += static_cast<std::size_t>(_mm_popcnt_u64(bits));
        }
    }
    for (std::size_t r = 0; r < k; ++r)
        counts[r] += scalar_bits<kTwo>(x, y, full * 64, n, a[r], kTwo ? b[r] : ClosedInterval{},
                                       words + r, stride);
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
    if (level == SimdLevel::kAvx512) {
        std::size_t count = 0;
        avx512_boxes<kTwo>(x, y, n, &a, &b, 1, words, stride, &count);
        return count;
    }
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

// The set bits of one word (rows base + bit) appended to a region's list at `k`, and values at
// them when `out_values` is set; returns the new length. The first U set bits are written
// without a branch on their number (bit 63 stands in for missing ones: the caller leaves room),
// the rest one by one.
template <int U>
inline std::size_t take_bits(std::uint64_t bits, std::size_t base, const double* values,
                             std::int64_t* out_rows, double* out_values, std::size_t k) {
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    std::size_t written = 0;
    for (int j = 0; j < U; ++j) {
        const std::size_t i = base + static_cast<std::size_t>(__builtin_ctzll(bits | kTop));
        out_rows[k + static_cast<std::size_t>(j)] = static_cast<std::int64_t>(i);
        if (out_values != nullptr) out_values[k + static_cast<std::size_t>(j)] = values[i];
        written += bits != 0;  // counted as taken: no population count (a library call here)
        bits &= bits - 1;
    }
    k += written;
    for (; bits != 0; bits &= bits - 1) {
        const std::size_t i = base + static_cast<std::size_t>(__builtin_ctzll(bits));
        out_rows[k] = static_cast<std::int64_t>(i);
        if (out_values != nullptr) out_values[k] = values[i];
        ++k;
    }
    return k;
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
    const SimdLevel level = simd_level(path);
    if (level == SimdLevel::kAvx512) {
        if (two)
            avx512_boxes<true>(first.data, second.data, first.size, a, b, k, words, k, counts);
        else
            avx512_boxes<false>(first.data, nullptr, first.size, a, b, k, words, k, counts);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        if (two)
            avx2_boxes<true>(first.data, second.data, first.size, a, b, k, words, counts);
        else
            avx2_boxes<false>(first.data, nullptr, first.size, a, b, k, words, counts);
        return;
    }
#endif
    for (std::size_t r = 0; r < k; ++r)
        counts[r] =
            box_bitmap_with(path, first, a[r], second, two ? b[r] : ClosedInterval{}, words + r, k);
}

void box_bitmaps(Span<const double> first, Span<const double> second, const ClosedInterval* a,
                 const ClosedInterval* b, std::size_t k, std::uint64_t* words,
                 std::size_t* counts) {
    box_bitmaps_with(best_simd_path(), first, second, a, b, k, words, counts);
}

void bitmap_rows(const std::uint64_t* words, std::size_t n_regions, std::size_t n_words,
                 const std::size_t* counts, Span<const double> values, std::int64_t* const* rows,
                 double* const* gathered) {
    const bool with_values = !values.empty();
    // A region's first set bits in a word are taken without a branch on how many there are
    // (that number varies at random from word to word): four, or two for a region with fewer
    // than two per word on average.
    std::vector<std::size_t> kept(n_regions, 0);
    std::vector<unsigned char> four(n_regions);
    for (std::size_t r = 0; r < n_regions; ++r) four[r] = counts[r] * 64 >= 2 * n_words * 64;
    // A few dozen words at a time, region by region: the block's values stay in the first-level
    // cache while every region reads them, and a region's state stays in registers.
    constexpr std::size_t kBlockWords = 32;
    for (std::size_t w0 = 0; w0 < n_words; w0 += kBlockWords) {
        const std::size_t w1 = std::min(n_words, w0 + kBlockWords);
        for (std::size_t r = 0; r < n_regions; ++r) {
            std::size_t k = kept[r];
            const std::size_t count = counts[r];
            const bool take_four = four[r] != 0;
            std::int64_t* const out_rows = rows[r];
            double* const out_values = with_values ? gathered[r] : nullptr;
            for (std::size_t w = w0; w < w1; ++w) {
                const std::uint64_t bits = words[w * n_regions + r];
                // Extra writes of the branch-free forms land past the region's rows found so
                // far, inside its list, and are overwritten later: they need room, and a whole
                // word of rows (the sentinel bit 63 must be a row; the last word's may not).
                const bool whole = w + 1 < n_words;
                if (take_four && whole && k + 4 <= count)
                    k = take_bits<4>(bits, w * 64, values.data, out_rows, out_values, k);
                else if (whole && k + 2 <= count)
                    k = take_bits<2>(bits, w * 64, values.data, out_rows, out_values, k);
                else
                    k = take_bits<0>(bits, w * 64, values.data, out_rows, out_values, k);
            }
            kept[r] = k;
        }
    }
}

}  // namespace movra::core
