// The scan's coding of its features: each searched feature's bins over the searched split and a
// code per row of both splits (the value's place among the feature's breakpoints), so that the
// searches read bins and the measurement compares codes instead of values. Shared by the scan's
// own sources only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/histogram.hpp"
#include "core/scan.hpp"
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

// A feature as the scan sees it: its bins over the searched split and every row's code, the
// value's place among the breakpoints (the edges and the range's ends): 2k + 1 for a value equal
// to breakpoint k, 2k for one strictly between breakpoints k - 1 and k. Every bound the searches
// and the measurement compare the feature with is a breakpoint, so comparing codes is comparing
// values.
struct CodedFeature {
    std::size_t column = 0;
    ValueRange range;  // over the searched split
    std::vector<double> edges;
    std::vector<double> breakpoints;
    std::size_t n_codes = 0;
    unsigned code_bytes = 1;
    CodeColumn codes[2];  // the searched split's, the other split's
};

// Calls visit(codes) with the feature's codes on one split (0 the searched one), typed.
template <typename Visit>
void with_codes(const CodedFeature& f, std::size_t split, Visit visit) {
    const CodeColumn& c = f.codes[split];
    if (f.code_bytes == 1) return visit(c.u8.data());
    if (f.code_bytes == 2) return visit(c.u16.data());
    visit(c.u32.data());
}

// The single features and the pairs' first features of a scan, each coded once, and the test
// split's maximum of every measured column (NaN for the others), which closes the bounds that
// reach it.
struct CodedFeatures {
    std::vector<std::size_t> of_column;  // place in `features`, SIZE_MAX when not coded
    std::vector<CodedFeature> features;
    std::vector<double> searched_max;

    const CodedFeature& of(std::size_t column) const { return features[of_column[column]]; }
};
CodedFeatures code_features(const ScanRequest& request, const SplitRows& searched,
                            const SplitRows& other);

// A feature's bins read from its codes on the searched split.
RowBins searched_bins(const CodedFeature& f, const char* simd_path);

// The codes of lb <= x < ub, or lb <= x <= ub where ub is the searched split's maximum (empty when
// first > last).
struct CodeInterval {
    std::size_t first = 1, last = 0;
};
CodeInterval code_interval(const CodedFeature& f, double lb, double ub, double searched_max);

}  // namespace movra::core::scan_steps
