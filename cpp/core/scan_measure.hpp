// The scan's measurement of the regions it found: the moments of each region's rows on a split,
// a row's region found from its codes (and for a pair its second value) without a branch per row.
// Shared by the scan's own sources only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/region_stats.hpp"
#include "core/scan_coding.hpp"

namespace movra::core::scan_steps {

// One feature's regions measured on one split (0 the searched one): region_of_code maps each of
// the feature's codes to its region (at most one: the regions are disjoint) or kNoRegion; each
// region's moments are added to out[region].
constexpr std::uint32_t kNoRegion = UINT32_MAX;
void measure_single(const CodedFeature& f, std::size_t split, const SplitRows& s,
                    const std::vector<std::uint32_t>& region_of_code, RegionMoments* out);

// A region of a pair: the codes of its first feature's bin, its second feature's interval (or,
// when second_set.is_set, that set of codes) and its first-feature bin. A bin's regions are
// disjoint on the second feature, a set among them coming last (the missing rows of a numerical
// feature; a categorical one's region is its only one).
struct PairRegion {
    CodeInterval first;
    ClosedInterval second;
    std::size_t bin = 0;
    Bound second_set;
};

// A pair's regions arranged for measuring. The codes of the first feature are grouped in slots:
// the codes inside the same first-feature bins' intervals. A slot of one bin lists that bin's
// regions, disjoint on the second feature and in increasing order, padded to `width` (a power
// of two) for a search without branches; a slot of two bins (a shared bound both close) lists
// its regions to be checked one by one.
struct PairLayout {
    std::vector<std::uint32_t> slot_of_code;  // slot + 1; 0: no region holds the code
    std::size_t width = 1;
    std::vector<double> lo, hi;
    std::vector<std::uint32_t> region;
    std::vector<std::vector<std::uint32_t>> several;  // per slot: its regions when of two bins
    std::vector<std::uint8_t> of_two_bins;            // per slot
    std::vector<std::uint32_t> set_region;            // per slot: kNoRegion when none
    bool has_sets = false;
};

// The layout of a pair's regions, given in the order of their first-feature bins.
PairLayout pair_layout(const std::vector<PairRegion>& regions, std::size_t n_codes);

// A block of rows of one split: rows [start, start + m) (m at most kSearchBlock) of the first
// feature's codes on `split`, with their second values, scores and weights (null: weight 1)
// starting at the block.
struct PairBlock {
    std::size_t split = 0, start = 0, m = 0;
    const double* second = nullptr;
    const double* scores = nullptr;
    const double* weights = nullptr;
};

// A pair's regions measured on one block of rows, their moments added to out[region].
void measure_pair_block(const CodedFeature& first, const PairBlock& block, const PairLayout& p,
                        const std::vector<PairRegion>& regions, RegionMoments* out);

// The regions of a pair whose second feature is categorical, measured by both features' codes: a
// row's region is region[slot * n_second_codes + its second code], its slot found from its first
// code (slot 0: no region holds the code).
struct CodePairLayout {
    std::vector<std::uint32_t> slot_of_code;
    std::size_t n_second_codes = 0;
    std::vector<std::uint32_t> region;
};
CodePairLayout code_pair_layout(const std::vector<PairRegion>& regions, const CodedFeature& first,
                                const CodedFeature& second);

// Such a pair's regions measured on one split (0 the searched one), their moments added to
// out[region].
void measure_code_pair(const CodedFeature& first, const CodedFeature& second, std::size_t split,
                       const SplitRows& s, const CodePairLayout& p, RegionMoments* out);

}  // namespace movra::core::scan_steps
