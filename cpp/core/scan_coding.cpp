#include "core/scan_coding.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/simd.hpp"

namespace movra::core::scan_steps {

namespace {

// Rows coded per step: their values of every coded feature stay in the second-level cache.
constexpr std::size_t kCodeBlock = 256;

// The codes of m values of a numerical feature. Where the breakpoints are the edges (always, but
// for a constant feature), the located bin b leaves four comparisons: with its lower and upper
// edge. A NaN compares false with every breakpoint: its code is then replaced by missing_code().
template <typename Code>
void code_values(const CodedFeature& f, const BinLocator& locate, const double* v, std::size_t m,
                 std::uint32_t* scratch, Code* out, const char* path) {
    const double* e = f.edges.data();
    const auto missing = static_cast<Code>(f.missing_code());
    if (!f.edges.empty() && f.breakpoints.size() == f.edges.size()) {
        locate_bins(locate, {v, m}, scratch, path);
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t b = scratch[j];
            const double x = v[j], lo = e[b], hi = e[b + 1];
            const auto above =
                static_cast<std::uint32_t>((x >= lo) + (x > lo) + (x >= hi) + (x > hi));
            out[j] = x != x ? missing : static_cast<Code>(2 * b + above);
        }
        return;
    }
    for (std::size_t j = 0; j < m; ++j) {
        std::uint32_t code = 0;
        for (const double p : f.breakpoints)
            code += static_cast<std::uint32_t>((v[j] >= p) + (v[j] > p));
        out[j] = v[j] != v[j] ? missing : static_cast<Code>(code);
    }
}

// The codes of m values of a categorical feature: the category's own code, n_categories for a
// value that is no category of the searched split, missing_code() for NaN.
template <typename Code>
void code_categories(const CodedFeature& f, const double* v, std::size_t m, Code* out) {
    const double n = static_cast<double>(f.n_categories);
    const auto other = static_cast<Code>(f.n_categories);
    const auto missing = static_cast<Code>(f.missing_code());
    for (std::size_t j = 0; j < m; ++j) {
        const double x = v[j];
        Code c = x != x ? missing : other;
        if (x >= 0.0 && x < n) {
            const auto code = static_cast<std::size_t>(x);
            if (static_cast<double>(code) == x) c = static_cast<Code>(code);
        }
        out[j] = c;
    }
}

// Whether v is a category code (a non-negative integer, in 32 bits).
bool is_category_code(double v) {
    return v >= 0.0 && v <= 2147483647.0 && static_cast<double>(static_cast<std::int32_t>(v)) == v;
}

// A feature's bins and codes from its values on the searched split: the range and the number of
// distinct values (as histogram_bin_count counts them) of those that are not missing, whether
// one is, and for a categorical feature its largest code.
void set_bins(CodedFeature& cf, double lo, double hi, std::size_t distinct, bool nan,
              std::int64_t max_bins) {
    cf.missing_searched = nan;
    cf.range = lo <= hi ? ValueRange{lo, hi} : ValueRange{std::nan(""), std::nan("")};
    if (cf.kind == FeatureKind::kCategorical) {
        cf.n_categories = lo <= hi ? static_cast<std::size_t>(hi) + 1 : 0;
        cf.n_codes = cf.n_categories + 2;
    } else {
        if (lo <= hi) {
            const auto bins = static_cast<std::int64_t>(distinct);
            cf.edges = equal_width_edges(cf.range, bins < max_bins ? bins : max_bins);
            cf.breakpoints = cf.edges;
            cf.breakpoints.push_back(cf.range.min);
            cf.breakpoints.push_back(cf.range.max);
            std::sort(cf.breakpoints.begin(), cf.breakpoints.end());
            cf.breakpoints.erase(std::unique(cf.breakpoints.begin(), cf.breakpoints.end()),
                                 cf.breakpoints.end());
        }
        cf.n_codes = 2 * cf.breakpoints.size() + 2;
    }
    cf.code_bytes = cf.n_codes <= 0x100 ? 1 : cf.n_codes <= 0x10000 ? 2 : 4;
}

// The bins of every coded feature from the searched split, in one pass over its rows.
void range_and_bins(const SplitRows& s, std::vector<CodedFeature>& features,
                    std::int64_t max_bins) {
    const std::size_t k = features.size();
    std::vector<double> lo(k, HUGE_VAL), hi(k, -HUGE_VAL);
    std::vector<unsigned char> nan(k, 0);
    std::vector<DistinctCounter> seen(k);
    const std::size_t limit = max_bins > 0 ? static_cast<std::size_t>(max_bins) : 0;
    // Numerical features whose distinct values are still counted; categorical ones.
    std::vector<std::size_t> counting, categorical;
    for (std::size_t f = 0; f < k; ++f) {
        const bool numerical = features[f].kind == FeatureKind::kNumerical;
        if (numerical && limit > 0) counting.push_back(f);
        if (!numerical) categorical.push_back(f);
    }
    for (std::size_t i = 0; i < s.n; ++i) {
        const double* row = s.row(i);
        for (std::size_t f = 0; f < k; ++f) {
            const double v = row[features[f].column];
            lo[f] = v < lo[f] ? v : lo[f];  // NaN compares false: skipped
            hi[f] = v > hi[f] ? v : hi[f];
            nan[f] |= static_cast<unsigned char>(v != v);
        }
        for (const std::size_t f : categorical) {
            const double v = row[features[f].column];
            if (v == v && !is_category_code(v))
                throw std::invalid_argument("a categorical column holds codes 0, 1, ... or NaN");
        }
        // Continuous features reach the limit within the first rows.
        for (std::size_t c = 0; c < counting.size();) {
            const std::size_t f = counting[c];
            const double v = row[features[f].column];
            if (v == v && seen[f].add(v) >= limit) {
                counting[c] = counting.back();
                counting.pop_back();
            } else {
                ++c;
            }
        }
    }
    for (std::size_t f = 0; f < k; ++f)
        set_bins(features[f], lo[f], hi[f], seen[f].size(), nan[f] != 0, max_bins);
}

// Edges for the locator of a feature without any (categorical, or every value missing): never
// used to locate a value.
const std::vector<double> kNoEdges{0.0, 1.0};

// One block of a feature's values coded into its codes on a split.
template <typename Code>
void code_block(const CodedFeature& f, const BinLocator& locate, const double* v, std::size_t m,
                std::uint32_t* scratch, Code* out, const char* path) {
    if (f.kind == FeatureKind::kCategorical) return code_categories(f, v, m, out);
    code_values(f, locate, v, m, scratch, out, path);
}

// Every coded feature's codes on one split (0 the searched one), a block of rows at a time; on
// the searched split, the maxima of the columns in `max_columns` (of the values that are not
// missing) on the way.
void code_split(const SplitRows& s, std::size_t split, std::vector<CodedFeature>& features,
                const std::vector<std::size_t>& max_columns, std::vector<double>* maxima,
                const char* path) {
    std::vector<BinLocator> locators;
    for (CodedFeature& f : features) {
        locators.emplace_back(f.edges.empty() ? kNoEdges : f.edges);
        CodeColumn& c = f.codes[split];
        if (f.code_bytes == 1) c.u8.resize(s.n);
        if (f.code_bytes == 2) c.u16.resize(s.n);
        if (f.code_bytes == 4) c.u32.resize(s.n);
    }
    const std::size_t n_max = maxima != nullptr ? max_columns.size() : 0;
    std::vector<double> hi(n_max, -HUGE_VAL);
    std::vector<unsigned char> any(n_max, 0);
    double values[kCodeBlock];
    std::uint32_t scratch[kCodeBlock];
    for (std::size_t start = 0; start < s.n; start += kCodeBlock) {
        const std::size_t m = std::min(kCodeBlock, s.n - start);
        for (std::size_t k = 0; k < features.size(); ++k) {
            CodedFeature& f = features[k];
            for (std::size_t j = 0; j < m; ++j) values[j] = s.row(start + j)[f.column];
            CodeColumn& c = f.codes[split];
            const BinLocator& locate = locators[k];
            if (f.code_bytes == 1)
                code_block(f, locate, values, m, scratch, c.u8.data() + start, path);
            if (f.code_bytes == 2)
                code_block(f, locate, values, m, scratch, c.u16.data() + start, path);
            if (f.code_bytes == 4)
                code_block(f, locate, values, m, scratch, c.u32.data() + start, path);
        }
        for (std::size_t k = 0; k < n_max; ++k)
            for (std::size_t j = 0; j < m; ++j) {
                const double v = s.row(start + j)[max_columns[k]];
                hi[k] = v > hi[k] ? v : hi[k];  // NaN compares false: skipped
                any[k] |= static_cast<unsigned char>(v == v);
            }
    }
    for (std::size_t k = 0; k < n_max; ++k)
        (*maxima)[max_columns[k]] = any[k] != 0 ? hi[k] : std::nan("");
}

// Bin b holds the codes 2b + 1 (its lower edge) and 2b + 2 (inside it), the last bin also its
// upper edge's (a constant feature's one bin all three). The same loop for every target: the
// compiler makes it vector code of the target's width.
template <typename Code>
inline void code_bins(const Code* codes, std::size_t m, std::uint32_t last, std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
#ifdef MOVRA_X86_SIMD
template <typename Code>
MOVRA_TARGET_AVX2 void code_bins_avx2(const Code* codes, std::size_t m, std::uint32_t last,
                                      std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
template <typename Code>
MOVRA_TARGET_AVX512 void code_bins_avx512(const Code* codes, std::size_t m, std::uint32_t last,
                                          std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
#endif

// A numerical feature's bins read from its codes on the searched split (none of whose values has
// code 0, below its minimum); the missing rows in the bin after the last interval.
template <typename Code>
RowBins bins_from_codes(const Code* codes, const CodedFeature& f, const char* path) {
    const std::size_t n_intervals = f.n_interval_bins();
    const auto last = static_cast<std::uint32_t>(n_intervals > 0 ? n_intervals - 1 : 0);
    using Kernel = void (*)(const Code*, std::size_t, std::uint32_t, std::uint32_t*);
    Kernel kernel = code_bins<Code>;
#ifdef MOVRA_X86_SIMD
    const SimdLevel level = simd_level(path);
    if (level == SimdLevel::kAvx512) kernel = code_bins_avx512<Code>;
    if (level == SimdLevel::kAvx2) kernel = code_bins_avx2<Code>;
#else
    (void)path;
#endif
    if (!f.missing_searched)
        return [codes, last, kernel](std::size_t start, std::size_t m, std::uint32_t* buffer) {
            kernel(codes + start, m, last, buffer);
            return static_cast<const std::uint32_t*>(buffer);
        };
    const auto missing = static_cast<std::uint32_t>(f.missing_code());
    const auto missing_bin = static_cast<std::uint32_t>(n_intervals);
    return [codes, last, kernel, missing, missing_bin](std::size_t start, std::size_t m,
                                                       std::uint32_t* buffer) {
        kernel(codes + start, m, last, buffer);
        for (std::size_t j = 0; j < m; ++j)
            buffer[j] = codes[start + j] == missing ? missing_bin : buffer[j];
        return static_cast<const std::uint32_t*>(buffer);
    };
}

// A categorical feature's bins: its codes on the searched split (the categories and the missing
// code only), the missing code in the bin after the categories.
template <typename Code>
RowBins bins_from_categories(const Code* codes, const CodedFeature& f) {
    const auto missing_bin = static_cast<std::uint32_t>(f.n_categories);
    return [codes, missing_bin](std::size_t start, std::size_t m, std::uint32_t* buffer) {
        for (std::size_t j = 0; j < m; ++j) {
            const auto c = static_cast<std::uint32_t>(codes[start + j]);
            buffer[j] = c < missing_bin ? c : missing_bin;
        }
        return static_cast<const std::uint32_t*>(buffer);
    };
}

// The place of a bound among the breakpoints (every bound the searches give is one).
std::size_t breakpoint_index(const std::vector<double>& breakpoints, double bound) {
    const auto at = std::lower_bound(breakpoints.begin(), breakpoints.end(), bound);
    if (at == breakpoints.end() || *at != bound)
        throw std::logic_error("scan: a region bound is not one of the feature's breakpoints");
    return static_cast<std::size_t>(at - breakpoints.begin());
}

}  // namespace

CodedFeatures code_features(const ScanRequest& request, const SplitRows& searched,
                            const SplitRows& other) {
    const std::size_t width = request.x.n_columns;
    CodedFeatures coded;
    coded.of_column.assign(width, SIZE_MAX);
    const auto code_column = [&](std::size_t column) {
        if (coded.of_column[column] != SIZE_MAX) return;
        coded.of_column[column] = coded.features.size();
        coded.features.emplace_back();
        coded.features.back().column = column;
        if (column < request.kinds.size()) coded.features.back().kind = request.kinds[column];
    };
    for (const std::size_t f : request.features) code_column(f);
    for (const auto& pair : request.pairs) {
        code_column(pair.first);
        // A categorical second feature is read by its codes too.
        if (pair.second < request.kinds.size() &&
            request.kinds[pair.second] == FeatureKind::kCategorical)
            code_column(pair.second);
    }
    range_and_bins(searched, coded.features, request.settings.max_bins);
    // The searched split's maxima of every measured column close the bounds that reach them.
    std::vector<std::size_t> measured;
    for (const CodedFeature& f : coded.features) measured.push_back(f.column);
    for (const auto& pair : request.pairs) measured.push_back(pair.second);
    std::sort(measured.begin(), measured.end());
    measured.erase(std::unique(measured.begin(), measured.end()), measured.end());
    coded.searched_max.assign(width, std::nan(""));
    code_split(searched, 0, coded.features, measured, &coded.searched_max, request.simd_path);
    code_split(other, 1, coded.features, measured, nullptr, request.simd_path);
    return coded;
}

RowBins searched_bins(const CodedFeature& f, const char* simd_path) {
    RowBins bins;
    with_codes(f, 0, [&](const auto* codes) {
        bins = f.kind == FeatureKind::kCategorical ? bins_from_categories(codes, f)
                                                   : bins_from_codes(codes, f, simd_path);
    });
    return bins;
}

CodeInterval code_interval(const CodedFeature& f, double lb, double ub, double searched_max) {
    const bool closed = ub == searched_max;
    return {2 * breakpoint_index(f.breakpoints, lb) + 1,
            2 * breakpoint_index(f.breakpoints, ub) + (closed ? 1 : 0)};
}

CodeInterval bin_codes(const CodedFeature& f, std::size_t b, double searched_max) {
    if (b >= f.n_interval_bins()) return {f.missing_code(), f.missing_code()};
    if (f.kind == FeatureKind::kCategorical) return {b, b};
    return code_interval(f, std::max(f.edges[b], f.range.min),
                         std::min(f.edges[b + 1], f.range.max), searched_max);
}

}  // namespace movra::core::scan_steps
