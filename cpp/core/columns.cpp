#include "core/columns.hpp"

#include <cmath>

#include "core/simd.hpp"

namespace movra::core {

namespace {

// A column's running range. Selects rather than branches: the data's order must not cost
// mispredictions. `v < lo ? v : lo` keeps the earlier of equal values, as value_range does.
struct Running {
    double lo = 0.0, hi = 0.0;
    bool nan = false;
    void add(double v) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        nan |= v != v;
    }
};

// The range value_range would give for the copied column `out`. Vector lanes find the same
// smallest and largest values in another order, which only a zero's sign can tell apart: then
// the first zero in row order is the one value_range keeps.
ValueRange finish(const Running& r, const double* out, std::size_t rows) {
    if (r.nan) return {std::nan(""), std::nan("")};
    ValueRange range{r.lo, r.hi};
    if (range.min == 0.0 || range.max == 0.0) {
        std::size_t i = 0;
        while (i < rows && out[i] != 0.0) ++i;
        if (range.min == 0.0) range.min = out[i];
        if (range.max == 0.0) range.max = out[i];
    }
    return range;
}

// Rows [begin, rows) of one column, or two when o1 is set, one row at a time.
void copy_rows(const double* in, std::size_t begin, std::size_t rows, std::size_t width,
               const std::size_t* c, double* o0, double* o1, Running* r) {
    for (std::size_t i = begin; i < rows; ++i) {
        const double* row = in + i * width;
        o0[i] = row[c[0]];
        r[0].add(row[c[0]]);
        if (o1 != nullptr) {
            o1[i] = row[c[1]];
            r[1].add(row[c[1]]);
        }
    }
}

#ifdef MOVRA_X86_SIMD
// Lanes of running minima and maxima merged into `r`, in any order (see finish).
void merge_lanes(const double* lo, const double* hi, std::size_t lanes, bool nan, Running& r) {
    for (std::size_t l = 0; l < lanes; ++l) {
        r.lo = lo[l] < r.lo ? lo[l] : r.lo;
        r.hi = hi[l] > r.hi ? hi[l] : r.hi;
    }
    r.nan |= nan;
}

MOVRA_TARGET_AVX512 inline __m512d gather8(const double* base, __m512i index) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), kAllLanes, index, base, 8);
}
MOVRA_TARGET_AVX512 inline __m512d min8(__m512d a, __m512d b) {
    return _mm512_maskz_min_pd(kAllLanes, a, b);
}
MOVRA_TARGET_AVX512 inline __m512d max8(__m512d a, __m512d b) {
    return _mm512_maskz_max_pd(kAllLanes, a, b);
}

// Eight rows per gather of each column. min_pd/max_pd return their second operand unless the
// first is beyond it, as the scalar selects do. Returns the rows done.
template <bool kTwo>
MOVRA_TARGET_AVX512 std::size_t copy_avx512(const double* in, std::size_t rows, std::size_t width,
                                            const std::size_t* c, double* o0, double* o1,
                                            Running* r) {
    const auto w = static_cast<long long>(width);
    const __m512i index = _mm512_set_epi64(7 * w, 6 * w, 5 * w, 4 * w, 3 * w, 2 * w, w, 0);
    __m512d lo0 = _mm512_set1_pd(r[0].lo), hi0 = lo0;
    __m512d lo1 = _mm512_set1_pd(kTwo ? r[1].lo : 0.0), hi1 = lo1;
    __mmask8 nan0 = 0, nan1 = 0;
    std::size_t i = 0;
    for (; i + 8 <= rows; i += 8) {
        const double* row = in + i * width;
        const __m512d a = gather8(row + c[0], index);
        _mm512_storeu_pd(o0 + i, a);
        lo0 = min8(a, lo0);
        hi0 = max8(a, hi0);
        nan0 |= _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q);
        if (kTwo) {
            const __m512d b = gather8(row + c[1], index);
            _mm512_storeu_pd(o1 + i, b);
            lo1 = min8(b, lo1);
            hi1 = max8(b, hi1);
            nan1 |= _mm512_cmp_pd_mask(b, b, _CMP_UNORD_Q);
        }
    }
    double lo[8], hi[8];
    _mm512_storeu_pd(lo, lo0);
    _mm512_storeu_pd(hi, hi0);
    merge_lanes(lo, hi, 8, nan0 != 0, r[0]);
    if (kTwo) {
        _mm512_storeu_pd(lo, lo1);
        _mm512_storeu_pd(hi, hi1);
        merge_lanes(lo, hi, 8, nan1 != 0, r[1]);
    }
    return i;
}

// Four rows per gather, as copy_avx512.
template <bool kTwo>
MOVRA_TARGET_AVX2 std::size_t copy_avx2(const double* in, std::size_t rows, std::size_t width,
                                        const std::size_t* c, double* o0, double* o1, Running* r) {
    const auto w = static_cast<long long>(width);
    const __m256i index = _mm256_set_epi64x(3 * w, 2 * w, w, 0);
    // The masked gather: the plain one starts from an undefined register, which the compiler
    // reports as maybe uninitialized.
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    __m256d lo0 = _mm256_set1_pd(r[0].lo), hi0 = lo0;
    __m256d lo1 = _mm256_set1_pd(kTwo ? r[1].lo : 0.0), hi1 = lo1;
    __m256d nan0 = _mm256_setzero_pd(), nan1 = nan0;
    std::size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const double* row = in + i * width;
        const __m256d a = _mm256_mask_i64gather_pd(_mm256_setzero_pd(), row + c[0], index, all, 8);
        _mm256_storeu_pd(o0 + i, a);
        lo0 = _mm256_min_pd(a, lo0);
        hi0 = _mm256_max_pd(a, hi0);
        nan0 = _mm256_or_pd(nan0, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
        if (kTwo) {
            const __m256d b =
                _mm256_mask_i64gather_pd(_mm256_setzero_pd(), row + c[1], index, all, 8);
            _mm256_storeu_pd(o1 + i, b);
            lo1 = _mm256_min_pd(b, lo1);
            hi1 = _mm256_max_pd(b, hi1);
            nan1 = _mm256_or_pd(nan1, _mm256_cmp_pd(b, b, _CMP_UNORD_Q));
        }
    }
    double lo[4], hi[4];
    _mm256_storeu_pd(lo, lo0);
    _mm256_storeu_pd(hi, hi0);
    merge_lanes(lo, hi, 4, _mm256_movemask_pd(nan0) != 0, r[0]);
    if (kTwo) {
        _mm256_storeu_pd(lo, lo1);
        _mm256_storeu_pd(hi, hi1);
        merge_lanes(lo, hi, 4, _mm256_movemask_pd(nan1) != 0, r[1]);
    }
    return i;
}

// Two rows per vector, loaded half by half, as copy_avx512.
template <bool kTwo>
std::size_t copy_sse2(const double* in, std::size_t rows, std::size_t width, const std::size_t* c,
                      double* o0, double* o1, Running* r) {
    __m128d lo0 = _mm_set1_pd(r[0].lo), hi0 = lo0;
    __m128d lo1 = _mm_set1_pd(kTwo ? r[1].lo : 0.0), hi1 = lo1;
    __m128d nan0 = _mm_setzero_pd(), nan1 = nan0;
    std::size_t i = 0;
    for (; i + 2 <= rows; i += 2) {
        const double* row = in + i * width;
        const __m128d a = _mm_loadh_pd(_mm_load_sd(row + c[0]), row + width + c[0]);
        _mm_storeu_pd(o0 + i, a);
        lo0 = _mm_min_pd(a, lo0);
        hi0 = _mm_max_pd(a, hi0);
        nan0 = _mm_or_pd(nan0, _mm_cmpunord_pd(a, a));
        if (kTwo) {
            const __m128d b = _mm_loadh_pd(_mm_load_sd(row + c[1]), row + width + c[1]);
            _mm_storeu_pd(o1 + i, b);
            lo1 = _mm_min_pd(b, lo1);
            hi1 = _mm_max_pd(b, hi1);
            nan1 = _mm_or_pd(nan1, _mm_cmpunord_pd(b, b));
        }
    }
    double lo[2], hi[2];
    _mm_storeu_pd(lo, lo0);
    _mm_storeu_pd(hi, hi0);
    merge_lanes(lo, hi, 2, _mm_movemask_pd(nan0) != 0, r[0]);
    if (kTwo) {
        _mm_storeu_pd(lo, lo1);
        _mm_storeu_pd(hi, hi1);
        merge_lanes(lo, hi, 2, _mm_movemask_pd(nan1) != 0, r[1]);
    }
    return i;
}
#endif

// One or two columns (o1 null for one) in one pass over the rows; returns the rows done by
// vector code (the rest are copied one by one).
template <bool kTwo>
std::size_t copy_vector(SimdLevel level, const double* in, std::size_t rows, std::size_t width,
                        const std::size_t* c, double* o0, double* o1, Running* r) {
#ifdef MOVRA_X86_SIMD
    if (level == SimdLevel::kAvx512) return copy_avx512<kTwo>(in, rows, width, c, o0, o1, r);
    if (level == SimdLevel::kAvx2) return copy_avx2<kTwo>(in, rows, width, c, o0, o1, r);
    if (level == SimdLevel::kSse2) return copy_sse2<kTwo>(in, rows, width, c, o0, o1, r);
#else
    (void)level, (void)in, (void)rows, (void)width, (void)c, (void)o0, (void)o1, (void)r;
#endif
    return 0;
}

}  // namespace

std::vector<ValueRange> extract_columns_with(const char* path, RowMajor m,
                                             Span<const std::size_t> columns,
                                             double* const* outputs) {
    const std::size_t k = columns.size, rows = m.n_rows, width = m.n_columns;
    std::vector<ValueRange> ranges(k);
    if (rows == 0) return ranges;
    const double* in = m.data;
    std::vector<Running> running(k);
    for (std::size_t j = 0; j < k; ++j) running[j].lo = running[j].hi = in[columns[j]];
    if (k <= 2) {
        // Both columns in one pass, so each row's cache lines are read once.
        const SimdLevel level = simd_level(path);
        double* o1 = k == 2 ? outputs[1] : nullptr;
        const std::size_t done = k == 2 ? copy_vector<true>(level, in, rows, width, columns.data,
                                                            outputs[0], o1, running.data())
                                        : copy_vector<false>(level, in, rows, width, columns.data,
                                                             outputs[0], o1, running.data());
        copy_rows(in, done, rows, width, columns.data, outputs[0], o1, running.data());
    } else {
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < k; ++j) {
                const double v = in[i * width + columns[j]];
                outputs[j][i] = v;
                running[j].add(v);
            }
    }
    for (std::size_t j = 0; j < k; ++j) ranges[j] = finish(running[j], outputs[j], rows);
    return ranges;
}

std::vector<ValueRange> extract_columns(RowMajor m, Span<const std::size_t> columns,
                                        double* const* outputs) {
    return extract_columns_with(nullptr, m, columns, outputs);
}

std::vector<bool> non_finite_columns(RowMajor m, Span<const std::int64_t> rows,
                                     Span<const std::size_t> columns) {
    // v - v is 0 for a finite value and NaN for NaN or an infinity: one test per value, and the
    // flags stay in registers across the rows.
    std::vector<double> probe(columns.size, 0.0);
    for (std::size_t i = 0; i < rows.size; ++i) {
        const double* row = m.data + static_cast<std::size_t>(rows[i]) * m.n_columns;
        for (std::size_t j = 0; j < columns.size; ++j) {
            const double v = row[columns[j]];
            probe[j] += v - v;
        }
    }
    std::vector<bool> out(columns.size);
    for (std::size_t j = 0; j < columns.size; ++j) out[j] = probe[j] != 0.0 || probe[j] != probe[j];
    return out;
}

std::vector<bool> infinite_columns(RowMajor m, Span<const std::int64_t> rows,
                                   Span<const std::size_t> columns) {
    std::vector<unsigned char> found(columns.size, 0);
    for (std::size_t i = 0; i < rows.size; ++i) {
        const double* row = m.data + static_cast<std::size_t>(rows[i]) * m.n_columns;
        for (std::size_t j = 0; j < columns.size; ++j)
            found[j] |= static_cast<unsigned char>(std::fabs(row[columns[j]]) == HUGE_VAL);
    }
    return {found.begin(), found.end()};
}

}  // namespace movra::core
