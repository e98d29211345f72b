// The scan's coding of its features: each searched feature's bins over the searched split and a
// code per row of both splits (the value's place among the feature's breakpoints), so that the
// searches read bins and the measurement compares codes instead of values. Shared by the scan's
// own sources only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/scan.hpp"
#include "core/segment_search.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core::scan_steps {

// One split read in place.
struct SplitRows {
    const double* data = nullptr;
    std::size_t width = 0;
    const std::int64_t* rows = nullptr;
    std::size_t n = 0;
    Span<const double> scores, weights;

    const double* row(std::size_t i) const {
        return data + static_cast<std::size_t>(rows[i]) * width;
    }
    double weight(std::size_t i) const { return weights.empty() ? 1.0 : weights[i]; }
};

// The codes of one feature on one split, in the narrowest type the breakpoints allow.
struct CodeColumn {
    std::vector<std::uint8_t> u8;
    std::vector<std::uint16_t> u16;
    std::vector<std::uint32_t> u32;
};

// A feature as the scan sees it: its bins over the searched split and every row's code.
// - Numerical: the value's place among the breakpoints (the edges and the range's ends): 2k + 1
//   for a value equal to breakpoint k, 2k for one strictly between breakpoints k - 1 and k. Every
//   bound the searches and the measurement compare the feature with is a breakpoint, so comparing
//   codes is comparing values. Its bins are the searched split's equal-width bins of the values
//   that are not missing.
// - Categorical: the category code c (a bin of its own) for the categories of the searched split,
//   n_categories for any other value of the other split.
// Either way the last code, missing_code(), marks a missing value (NaN).
struct CodedFeature {
    std::size_t column = 0;
    FeatureKind kind = FeatureKind::kNumerical;
    ValueRange range;  // over the searched split's values that are not missing (NaN: none is)
    std::vector<double> edges;
    std::vector<double> breakpoints;
    std::size_t n_categories = 0;   // categorical: the searched split's largest code + 1
    bool missing_searched = false;  // the searched split holds a missing value
    std::size_t n_codes = 0;
    unsigned code_bytes = 1;
    CodeColumn codes[2];  // the searched split's, the other split's

    std::size_t missing_code() const { return n_codes - 1; }
    // The code of a region's category code (kMissingCode: missing).
    std::size_t code_of_category(std::int32_t c) const {
        return c == kMissingCode ? missing_code() : static_cast<std::size_t>(c);
    }
    // The bins the searches cut: the equal-width bins or the categories, then the missing rows'
    // bin when the searched split holds any.
    std::size_t n_interval_bins() const {
        return kind == FeatureKind::kCategorical ? n_categories
                                                 : (edges.empty() ? 0 : edges.size() - 1);
    }
    std::size_t n_bins() const { return n_interval_bins() + (missing_searched ? 1 : 0); }
};

// Calls visit(codes) with the feature's codes on one split (0 the searched one), typed.
template <typename Visit>
void with_codes(const CodedFeature& f, std::size_t split, Visit visit) {
    const CodeColumn& c = f.codes[split];
    if (f.code_bytes == 1) return visit(c.u8.data());
    if (f.code_bytes == 2) return visit(c.u16.data());
    visit(c.u32.data());
}

// The single features, the pairs' first features and their categorical second features of a
// scan, each coded once, and the searched split's maximum of every measured column (of its values
// that are not missing; NaN for the other columns), which closes the bounds that reach it.
struct CodedFeatures {
    std::vector<std::size_t> of_column;  // place in `features`, SIZE_MAX when not coded
    std::vector<CodedFeature> features;
    std::vector<double> searched_max;

    const CodedFeature& of(std::size_t column) const { return features[of_column[column]]; }
};
CodedFeatures code_features(const ScanRequest& request, const SplitRows& searched,
                            const SplitRows& other);

// A feature's bins (see n_bins) read from its codes on the searched split.
RowBins searched_bins(const CodedFeature& f, const char* simd_path);

// The codes of lb <= x < ub, or lb <= x <= ub where ub is the searched split's maximum (empty when
// first > last).
struct CodeInterval {
    std::size_t first = 1, last = 0;
};
CodeInterval code_interval(const CodedFeature& f, double lb, double ub, double searched_max);

// The codes of bin b of a feature (see n_bins) as the pair searches cut it; searched_max closes
// the last interval as for code_interval.
CodeInterval bin_codes(const CodedFeature& f, std::size_t b, double searched_max);

}  // namespace movra::core::scan_steps
