#include "core/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/simd.hpp"

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

bool has_nan(Span<const double> x) {
    std::size_t i = 0;
    bool nan = false;
#ifdef MOVRA_X86_SIMD
    // The compiler does not vectorize v != v by itself (it keeps NaN comparisons scalar).
    __m128d any = _mm_setzero_pd(), any2 = any;
    for (; i + 4 <= x.size; i += 4) {
        const __m128d a = _mm_loadu_pd(x.data + i), b = _mm_loadu_pd(x.data + i + 2);
        any = _mm_or_pd(any, _mm_cmpunord_pd(a, a));
        any2 = _mm_or_pd(any2, _mm_cmpunord_pd(b, b));
    }
    nan = _mm_movemask_pd(_mm_or_pd(any, any2)) != 0;
#endif
    for (; i < x.size; ++i) nan |= x[i] != x[i];
    return nan;
}

void DistinctCounter::grow() {
    std::vector<std::uint64_t> old(2 * table_.size(), kEmpty);
    old.swap(table_);
    --shift_;
    for (const std::uint64_t bits : old) {
        if (bits == kEmpty) continue;
        std::size_t h = slot(bits);
        while (table_[h] != kEmpty) h = (h + 1) & (table_.size() - 1);
        table_[h] = bits;
    }
}

std::size_t count_distinct_up_to(Span<const double> x, std::size_t limit) {
    // For continuous data the limit is reached within the first rows and the scan stops there;
    // data with few values are read to the end, a table probe per row.
    DistinctCounter seen;
    for (std::size_t i = 0; i < x.size && seen.size() < limit; ++i) seen.add(x[i]);
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

namespace {

#ifdef MOVRA_X86_SIMD
// Four guesses at once, as BinLocator computes them one by one (the same operations in the same
// order, so the same doubles): where one falls within the tolerance of a bin's edge, the four
// rows go the exact way. max_pd/min_pd return their second operand for NaN, as the selects do.
__attribute__((target("avx2"))) inline __m128i guess4(__m256d v, __m256d first, __m256d scale,
                                                      __m256d top, __m256d low, __m256d high,
                                                      bool& exact) {
    __m256d g = _mm256_mul_pd(_mm256_sub_pd(v, first), scale);
    g = _mm256_max_pd(g, _mm256_setzero_pd());
    g = _mm256_min_pd(g, top);
    const __m128i b = _mm256_cvttpd_epi32(g);
    const __m256d fraction = _mm256_sub_pd(g, _mm256_cvtepi32_pd(b));
    const __m256d near_edge = _mm256_or_pd(_mm256_cmp_pd(fraction, low, _CMP_LT_OQ),
                                           _mm256_cmp_pd(fraction, high, _CMP_GT_OQ));
    exact = _mm256_movemask_pd(near_edge) != 0;
    return b;
}

__attribute__((target("avx2"))) void locate_avx2(const BinLocator& locate, const double* x,
                                                 std::size_t n, std::uint32_t* out) {
    const BinLocator::Guess p = locate.guess();
    const __m256d first = _mm256_set1_pd(p.first), scale = _mm256_set1_pd(p.scale);
    const __m256d top = _mm256_set1_pd(p.top), low = _mm256_set1_pd(p.tolerance);
    const __m256d high = _mm256_set1_pd(1.0 - p.tolerance);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        bool exact = false;
        const __m128i b = guess4(_mm256_loadu_pd(x + i), first, scale, top, low, high, exact);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), b);
        if (exact)
            for (std::size_t j = i; j < i + 4; ++j)
                out[j] = static_cast<std::uint32_t>(locate(x[j]));
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint32_t>(locate(x[i]));
}

__attribute__((target("avx2"))) void locate_group_avx2(const std::vector<BinLocator>& locators,
                                                       const double* params,
                                                       const std::uint32_t* offsets, double top_all,
                                                       double tolerance_all,
                                                       const std::uint32_t* group, const double* x,
                                                       std::size_t n, std::uint32_t* out) {
    // Only each row's first edge and scale are gathered (params holds the pairs). The clamp and
    // the tolerance are the widest of all groups: a group's rows lie within its range, so a
    // guess beyond its last bin is a rounding of its maximum, which lands on a whole number
    // (or within the tolerance of one) and goes the exact way; a wider tolerance only sends
    // more rows that way.
    const __m256d top = _mm256_set1_pd(top_all), low = _mm256_set1_pd(tolerance_all);
    const __m256d high = _mm256_set1_pd(1.0 - tolerance_all);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i g0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(group + i));
        const __m128i g = _mm_slli_epi32(g0, 1);
        // The masked form: the plain one starts from an undefined register, which the compiler
        // reports as maybe uninitialized.
        const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        const __m256d first = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), params, g, all, 8);
        const __m256d scale = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), params + 1, g, all, 8);
        const __m128i offset = _mm_mask_i32gather_epi32(
            _mm_setzero_si128(), reinterpret_cast<const int*>(offsets), g0, _mm_set1_epi32(-1), 4);
        bool exact = false;
        const __m128i b = guess4(_mm256_loadu_pd(x + i), first, scale, top, low, high, exact);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi32(b, offset));
        if (exact)
            for (std::size_t j = i; j < i + 4; ++j)
                out[j] = offsets[group[j]] + static_cast<std::uint32_t>(locators[group[j]](x[j]));
    }
    for (; i < n; ++i)
        out[i] = offsets[group[i]] + static_cast<std::uint32_t>(locators[group[i]](x[i]));
}

// Eight guesses at once, as guess4; the lanes near an edge are returned in `near`.
MOVRA_TARGET_AVX512 inline __m256i guess8(__m512d v, __m512d first, __m512d scale, __m512d top,
                                          __m512d low, __m512d high, __mmask8& near) {
    __m512d g = _mm512_mul_pd(_mm512_sub_pd(v, first), scale);
    g = _mm512_maskz_max_pd(kAllLanes, g, _mm512_setzero_pd());
    g = _mm512_maskz_min_pd(kAllLanes, g, top);
    const __m256i b = _mm512_maskz_cvttpd_epi32(kAllLanes, g);
    const __m512d fraction = _mm512_sub_pd(g, _mm512_maskz_cvtepi32_pd(kAllLanes, b));
    near = static_cast<__mmask8>(_mm512_cmp_pd_mask(fraction, low, _CMP_LT_OQ) |
                                 _mm512_cmp_pd_mask(fraction, high, _CMP_GT_OQ));
    return b;
}

// The guessed bins `b` of the rows in `near` settled against the edges: one step down or up at
// most, as a guess with a tolerance below half a bin is never further off (the clamp to `last`
// is that of a value at or beyond the last edge). `start` is each row's first edge in `edges`.
MOVRA_TARGET_AVX512 inline __m256i settle8(__m256i b, __mmask8 near, __m512d v, const double* edges,
                                           __m256i start, __m256i last) {
    const __m256i at = _mm256_min_epi32(b, last);
    const __m256i index = _mm256_add_epi32(start, at);
    const __m512d lo = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), near, index, edges, 8);
    const __m512d hi = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), near, index, edges + 1, 8);
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
    const __mmask8 down =
        _mm256_mask_cmpgt_epi32_mask(_mm512_mask_cmp_pd_mask(near, v, lo, _CMP_LT_OQ), at, zero);
    const __mmask8 up =
        _mm256_mask_cmpgt_epi32_mask(_mm512_mask_cmp_pd_mask(near, v, hi, _CMP_GE_OQ), last, at);
    const __m256i settled =
        _mm256_mask_add_epi32(_mm256_mask_sub_epi32(at, down, at, one), up, at, one);
    return _mm256_mask_blend_epi32(near, b, settled);
}

MOVRA_TARGET_AVX512 void locate_avx512(const BinLocator& locate, const double* x, std::size_t n,
                                       std::uint32_t* out) {
    const BinLocator::Guess p = locate.guess();
    const __m512d first = _mm512_set1_pd(p.first), scale = _mm512_set1_pd(p.scale);
    const __m512d top = _mm512_set1_pd(p.top), low = _mm512_set1_pd(p.tolerance);
    const __m512d high = _mm512_set1_pd(1.0 - p.tolerance);
    const __m256i last = _mm256_set1_epi32(static_cast<int>(locate.last_bin()));
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __mmask8 near = 0;
        const __m512d v = _mm512_loadu_pd(x + i);
        __m256i b = guess8(v, first, scale, top, low, high, near);
        // Only the rows near an edge (values on the edges of discrete data, often) are settled
        // against the edges.
        if (near != 0) b = settle8(b, near, v, locate.edges(), _mm256_setzero_si256(), last);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), b);
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint32_t>(locate(x[i]));
}

// As locate_group_avx2, eight rows at a time. Up to 16 groups, each row's first edge and scale
// are picked from registers by permutes; more are gathered.
template <bool kGather>
MOVRA_TARGET_AVX512 void locate_group_avx512(const double* params, const std::uint32_t* offsets,
                                             const double* edges, const std::uint32_t* edge_start,
                                             const std::uint32_t* last_bin, double top_all,
                                             double tolerance_all, std::size_t groups,
                                             const std::uint32_t* group, const double* x,
                                             std::size_t n, std::uint32_t* out) {
    const __m512d top = _mm512_set1_pd(top_all), low = _mm512_set1_pd(tolerance_all);
    const __m512d high = _mm512_set1_pd(1.0 - tolerance_all);
    // Tables of the first 16 groups' first edges and scales (unused entries zero).
    double firsts[16] = {}, scales[16] = {};
    std::uint32_t offset_table[16] = {};
    for (std::size_t g = 0; g < groups && g < 16; ++g) {
        firsts[g] = params[2 * g];
        scales[g] = params[2 * g + 1];
        offset_table[g] = offsets[g];
    }
    const __m256i offsets_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offset_table));
    const __m256i offsets_hi =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offset_table + 8));
    const __m512d first_lo = _mm512_loadu_pd(firsts), first_hi = _mm512_loadu_pd(firsts + 8);
    const __m512d scale_lo = _mm512_loadu_pd(scales), scale_hi = _mm512_loadu_pd(scales + 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + i));
        __m512d first, scale;
        __m256i offset;
        if (kGather) {
            const __m256i twice = _mm256_slli_epi32(g, 1);
            first = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), kAllLanes, twice, params, 8);
            scale = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), kAllLanes, twice, params + 1, 8);
            offset = _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), kAllLanes, g, offsets, 4);
        } else {
            const __m512i wide = _mm512_maskz_cvtepu32_epi64(kAllLanes, g);
            first = _mm512_permutex2var_pd(first_lo, wide, first_hi);
            scale = _mm512_permutex2var_pd(scale_lo, wide, scale_hi);
            offset = _mm256_permutex2var_epi32(offsets_lo, g, offsets_hi);
        }
        __mmask8 near = 0;
        const __m512d v = _mm512_loadu_pd(x + i);
        __m256i b = guess8(v, first, scale, top, low, high, near);
        if (near != 0) {
            // The guess is clamped to the most bins of any group: a row's own last bin clamps
            // it again (its value lies within its group's edges).
            const __m256i start =
                _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), near, g, edge_start, 4);
            const __m256i last =
                _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), near, g, last_bin, 4);
            b = settle8(b, near, v, edges, start, last);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_add_epi32(b, offset));
    }
    for (; i < n; ++i) {
        const std::uint32_t k = group[i];
        const BinLocator locate(edges + edge_start[k], std::size_t{last_bin[k]} + 1);
        out[i] = offsets[k] + static_cast<std::uint32_t>(locate(x[i]));
    }
}

// Two guesses at once, as guess4.
inline __m128i guess2(__m128d v, __m128d first, __m128d scale, __m128d top, __m128d low,
                      __m128d high, bool& exact) {
    __m128d g = _mm_mul_pd(_mm_sub_pd(v, first), scale);
    g = _mm_max_pd(g, _mm_setzero_pd());
    g = _mm_min_pd(g, top);
    const __m128i b = _mm_cvttpd_epi32(g);
    const __m128d fraction = _mm_sub_pd(g, _mm_cvtepi32_pd(b));
    exact =
        _mm_movemask_pd(_mm_or_pd(_mm_cmplt_pd(fraction, low), _mm_cmpgt_pd(fraction, high))) != 0;
    return b;
}

void locate_sse2(const BinLocator& locate, const double* x, std::size_t n, std::uint32_t* out) {
    const BinLocator::Guess p = locate.guess();
    const __m128d first = _mm_set1_pd(p.first), scale = _mm_set1_pd(p.scale);
    const __m128d top = _mm_set1_pd(p.top), low = _mm_set1_pd(p.tolerance);
    const __m128d high = _mm_set1_pd(1.0 - p.tolerance);
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        bool exact = false;
        const __m128i b = guess2(_mm_loadu_pd(x + i), first, scale, top, low, high, exact);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), b);
        if (exact)
            for (std::size_t j = i; j < i + 2; ++j)
                out[j] = static_cast<std::uint32_t>(locate(x[j]));
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint32_t>(locate(x[i]));
}
#endif

}  // namespace

void locate_bins(const BinLocator& locate, Span<const double> x, std::uint32_t* out,
                 const char* path) {
#ifdef MOVRA_X86_SIMD
    const SimdLevel level = simd_level(path);
    // Settling a guess in one step needs a trusted one (and bins counted in 32 bits).
    const bool settle = locate.guess().tolerance < 0.5 && locate.last_bin() < (1u << 31) - 1;
    if (level == SimdLevel::kAvx512 && settle) return locate_avx512(locate, x.data, x.size, out);
    if (level >= SimdLevel::kAvx2) return locate_avx2(locate, x.data, x.size, out);
    if (level == SimdLevel::kSse2) return locate_sse2(locate, x.data, x.size, out);
#else
    (void)path;
#endif
    for (std::size_t i = 0; i < x.size; ++i) out[i] = static_cast<std::uint32_t>(locate(x[i]));
}

GroupedBinLocator::GroupedBinLocator(const std::vector<BinLocator>& locators,
                                     std::vector<std::uint32_t> offsets)
    : locators_(locators), offsets_(std::move(offsets)) {
    offsets_.resize(locators.size(), 0);
    for (const BinLocator& l : locators) {
        edge_start_.push_back(static_cast<std::uint32_t>(edges_.size()));
        last_bin_.push_back(static_cast<std::uint32_t>(l.last_bin()));
        edges_.insert(edges_.end(), l.edges(), l.edges() + l.last_bin() + 2);
    }
    for (const BinLocator& l : locators) {
        const BinLocator::Guess p = l.guess();
        params_.insert(params_.end(), {p.first, p.scale});
        top_ = std::max(top_, p.top);
        tolerance_ = std::max(tolerance_, p.tolerance);
    }
}

void GroupedBinLocator::operator()(const std::uint32_t* group, Span<const double> x,
                                   std::uint32_t* out, const char* path) const {
#ifdef MOVRA_X86_SIMD
    // The gathers' indices are 32-bit: two parameters per group.
    const SimdLevel level = simd_level(path);
    const std::size_t groups = locators_.size();
    // Settling a guess in one step needs a trusted one, and the edges' places in 32 bits.
    const bool settle = tolerance_ < 0.5 && edges_.size() < (std::size_t{1} << 31);
    if (level == SimdLevel::kAvx512 && settle && groups <= 16)
        return locate_group_avx512<false>(params_.data(), offsets_.data(), edges_.data(),
                                          edge_start_.data(), last_bin_.data(), top_, tolerance_,
                                          groups, group, x.data, x.size, out);
    if (level == SimdLevel::kAvx512 && settle && groups < (std::size_t{1} << 30))
        return locate_group_avx512<true>(params_.data(), offsets_.data(), edges_.data(),
                                         edge_start_.data(), last_bin_.data(), top_, tolerance_,
                                         groups, group, x.data, x.size, out);
    if (level >= SimdLevel::kAvx2 && groups < (std::size_t{1} << 30))
        return locate_group_avx2(locators_, params_.data(), offsets_.data(), top_, tolerance_,
                                 group, x.data, x.size, out);
#else
    (void)path;
#endif
    for (std::size_t i = 0; i < x.size; ++i)
        out[i] = offsets_[group[i]] + static_cast<std::uint32_t>(locators_[group[i]](x[i]));
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
