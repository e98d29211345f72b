// The scan's pair searches within the first feature's bins (search_pair_in_bins,
// search_pair_of_codes): each bin's sums found in a pass or two over the searched split, in the
// order the search of the bin's copied rows adds them, then judged as that search judges them.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/scan_segments.hpp"

namespace movra::core::scan_steps {

namespace {

constexpr std::size_t kBlock = kSearchBlock;
constexpr std::size_t kLanes = 4;  // as the one-feature search sums its bins

// Bin b of the first feature: its bounds (an interval's, clipped to the range) or its codes.
void set_first_bounds(const CodedFeature& first, std::size_t b, FirstFeatureBin& fb) {
    if (b >= first.n_interval_bins())
        fb.codes1 = {kMissingCode};
    else if (first.kind == FeatureKind::kCategorical)
        fb.codes1 = {static_cast<std::int32_t>(b)};
    const double nan = std::nan("");
    fb.lb1 = fb.codes1.empty() ? std::max(first.edges[b], first.range.min) : nan;
    fb.ub1 = fb.codes1.empty() ? std::min(first.edges[b + 1], first.range.max) : nan;
}

// The score profile of the searched rows of bin b for which keep(row) holds.
template <typename Keep>
ScoreProfile profile_of_bin(const SplitRows& searched, const RowBins& bins, std::size_t b,
                            Keep keep) {
    RowProfile profile;
    for (const std::int64_t row : rows_of_bin(bins, searched.n, b, keep)) {
        const auto i = static_cast<std::size_t>(row);
        profile.add(searched.scores[i], searched.weight(i));
    }
    return profile.profile();
}

// Percentile ranks of a bin's interval regions' bounds among all its rows (missing ones too, as
// percentile_of_score counts them), from its cells' counts; NaN for a set.
void rank_bounds(FirstFeatureBin& fb, std::size_t n_cells, std::int64_t present) {
    const OneFeatureSearch& s = fb.search;
    const double per_row = 100.0 / static_cast<double>(fb.support);
    for (const SliceRule& region : s.regions) {
        if (!region.codes.empty()) {
            fb.lb2q.push_back(std::nan(""));
            fb.ub2q.push_back(std::nan(""));
            continue;
        }
        std::int64_t below = 0, up_to = 0;
        for (std::size_t c = 0; c < n_cells; ++c) {
            below += s.edges[c + 1] <= region.lb ? s.bin_sums[c].count : 0;
            up_to += s.edges[c + 1] <= region.ub ? s.bin_sums[c].count : 0;
        }
        if (fb.ub2 == region.ub) up_to = present;
        fb.lb2q.push_back(static_cast<double>(below) * per_row);
        fb.ub2q.push_back(static_cast<double>(up_to) * per_row);
    }
}

// A pair with a numerical second feature: the searched rows, each one's first-feature bin, and
// its second value.
struct PairRows {
    const SplitRows& searched;
    const RowBins& bins;
    Span<const double> second;
};

// What the first pass finds in every first-feature bin: its rows, and of the second feature the
// range and the distinct values (up to the bin limit) of the present values, and the missing
// rows' sums.
struct BinTally {
    std::int64_t support = 0, present = 0;
    double low = HUGE_VAL, high = -HUGE_VAL;
    DistinctCounter distinct;
    bool counted = false;  // the distinct values reached the limit
    ScoreSums missing;
};

std::vector<BinTally> first_pass(const PairRows& p, std::size_t n_bins, std::size_t limit) {
    std::vector<BinTally> tally(n_bins);
    for (BinTally& t : tally) t.counted = limit == 0;
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < p.searched.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, p.searched.n - start);
        const std::uint32_t* b = p.bins(start, m, buffer);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = start + j;
            BinTally& t = tally[b[j]];
            const double v = p.second[i];
            ++t.support;
            if (v != v) {
                t.missing.add(p.searched.scores[i], p.searched.weight(i));
                continue;
            }
            ++t.present;
            t.low = v < t.low ? v : t.low;
            t.high = v > t.high ? v : t.high;
            if (!t.counted && t.distinct.add(v) >= limit) t.counted = true;
        }
    }
    return tally;
}

// Count and plain sum, all an unweighted search sums per lane (see search_one_feature_in_bins).
struct CountSum {
    std::int64_t count = 0;
    double sum = 0.0;
};
inline void add_to(ScoreSums& lane, double score, double w) { lane.add(score, w); }
inline void add_to(CountSum& lane, double score, double) {
    ++lane.count;
    lane.sum += score;
}
inline ScoreSums as_sums(const ScoreSums& lane) { return lane; }
inline ScoreSums as_sums(const CountSum& lane) {
    return {lane.count, lane.sum, static_cast<double>(lane.count), lane.sum};
}

// The second pass: the present rows summed into the cells of their bin (the bin's equal-width
// bins of the second feature), in lanes counted within the bin, so that each cell's sums are
// exactly those the search of the bin's copied rows finds.
template <typename Lane>
void sum_cells(const PairRows& p, std::vector<FirstFeatureBin>& out,
               const std::vector<BinLocator>& locators) {
    std::vector<std::size_t> first_cell(out.size() + 1, 0);
    for (std::size_t b = 0; b < out.size(); ++b) {
        const std::vector<double>& edges = out[b].search.edges;
        first_cell[b + 1] = first_cell[b] + (edges.empty() ? 0 : edges.size() - 1);
    }
    std::vector<Lane> lanes(first_cell.back() * kLanes);
    std::vector<std::size_t> counter(out.size(), 0);
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < p.searched.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, p.searched.n - start);
        const std::uint32_t* b = p.bins(start, m, buffer);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = start + j;
            const double v = p.second[i];
            if (v != v) continue;
            const std::size_t cell = first_cell[b[j]] + locators[b[j]](v);
            const std::size_t lane = counter[b[j]]++ % kLanes;
            add_to(lanes[cell * kLanes + lane], p.searched.scores[i], p.searched.weight(i));
        }
    }
    for (std::size_t b = 0; b < out.size(); ++b) {
        std::vector<ScoreSums>& sums = out[b].search.bin_sums;
        sums.assign(first_cell[b + 1] - first_cell[b], ScoreSums{});
        for (std::size_t c = 0; c < sums.size(); ++c)
            for (std::size_t l = 0; l < kLanes; ++l)
                sums[c].add(as_sums(lanes[(first_cell[b] + c) * kLanes + l]));
    }
}

// Every first-feature bin's bounds, support, the second feature's range in it and its equal-width
// bins there (a locator per bin).
std::vector<FirstFeatureBin> bins_of_pair(const CodedFeature& first,
                                          const std::vector<BinTally>& tally, std::int64_t max_bins,
                                          std::vector<BinLocator>& locators) {
    static const std::vector<double> kNoEdges{0.0, 1.0};  // a bin without a present value
    const double nan = std::nan("");
    std::vector<FirstFeatureBin> out(tally.size());
    for (std::size_t b = 0; b < tally.size(); ++b) {
        FirstFeatureBin& fb = out[b];
        const BinTally& t = tally[b];
        set_first_bounds(first, b, fb);
        fb.support = t.support;
        const bool present = t.present > 0;
        fb.lb2 = present ? t.low : nan;
        fb.ub2 = present ? t.high : nan;
        if (t.support > 0)
            fb.search.range = present ? ValueRange{t.low, t.high} : ValueRange{nan, nan};
        if (present) {
            const auto distinct = static_cast<std::int64_t>(t.distinct.size());
            fb.search.edges = equal_width_edges(fb.search.range, std::min(distinct, max_bins));
        }
        locators.emplace_back(fb.search.edges.empty() ? kNoEdges : fb.search.edges);
    }
    return out;
}

// Bin b's search judged from its tally and its cells' sums (in fb.search already).
void judge_bin(const PairRows& p, std::size_t b, const BinTally& t, FirstFeatureBin& fb,
               const SearchSettings& settings, const ScoreProfile& split_profile) {
    const bool weighted = !p.searched.weights.empty();
    const std::size_t n = p.searched.n;
    const Span<const double> second = p.second;
    OneFeatureSearch& s = fb.search;
    const std::size_t n_cells = s.edges.empty() ? 0 : s.edges.size() - 1;
    if (n_cells > 0) {
        PartProfile present(split_profile, [&] {
            return profile_of_bin(p.searched, p.bins, b,
                                  [&](std::size_t i) { return second[i] == second[i]; });
        });
        judge_bin_sums(s, weighted, settings, [&](std::size_t c, double value) {
            if (!settings.ties.exact_average ||
                !present.near_tie(value, s.bin_sums[c].count, settings.threshold_value))
                return value;
            const Bound cell{s.edges[c], s.edges[c + 1], s.edges[c + 1] == s.range.max};
            return settings.ties.exact_average(
                rows_of_bin(p.bins, n, b, [&](std::size_t i) { return cell.contains(second[i]); }));
        });
    }
    if (t.missing.count > 0) {
        PartProfile whole(split_profile, [&] {
            return profile_of_bin(p.searched, p.bins, b, [](std::size_t) { return true; });
        });
        const RowsOfCodes rows = [&](const std::vector<std::int32_t>&) {
            return rows_of_bin(p.bins, n, b, [&](std::size_t i) { return second[i] != second[i]; });
        };
        judge_part(s, settings, whole, rows,
                   [&](OneFeatureSearch& to, const SearchSettings& with,
                       const ScoreProfile& profile, const RowsOfCodes& r) {
                       judge_missing_bin(to, t.missing, weighted, with, profile, r);
                   });
    }
    rank_bounds(fb, n_cells, t.present);
}

}  // namespace

TwoFeatureSearch search_pair_in_bins(const CodedFeature& first, const SplitRows& searched,
                                     Span<const double> second, const SearchSettings& settings,
                                     const ScoreProfile& split_profile, const char* simd_path) {
    const RowBins bins = searched_bins(first, simd_path);
    const PairRows p{searched, bins, second};
    const std::size_t limit =
        settings.max_bins > 0 ? static_cast<std::size_t>(settings.max_bins) : 0;
    const std::vector<BinTally> tally = first_pass(p, first.n_bins(), limit);
    TwoFeatureSearch t;
    if (first.kind == FeatureKind::kNumerical) t.edges = first.edges;
    std::vector<BinLocator> locators;
    locators.reserve(tally.size());
    t.bins = bins_of_pair(first, tally, settings.max_bins, locators);
    if (searched.weights.empty())
        sum_cells<CountSum>(p, t.bins, locators);
    else
        sum_cells<ScoreSums>(p, t.bins, locators);
    for (std::size_t b = 0; b < t.bins.size(); ++b)
        if (tally[b].support > 0) judge_bin(p, b, tally[b], t.bins[b], settings, split_profile);
    return t;
}

TwoFeatureSearch search_pair_of_codes(const CodedFeature& first, const CodedFeature& second,
                                      const SplitRows& searched, const SearchSettings& settings,
                                      const ScoreProfile& split_profile, const char* simd_path) {
    const RowBins bins1 = searched_bins(first, simd_path), bins2 = searched_bins(second, simd_path);
    // A cell per first-feature bin and second-feature category (the last one: missing), its rows
    // added in row order as the search of the bin's copied rows adds each category's.
    const std::size_t n_bins = first.n_bins(), stride = second.n_categories + 1;
    std::vector<ScoreSums> cells(n_bins * stride);
    std::uint32_t buffer1[kBlock], buffer2[kBlock];
    for (std::size_t start = 0; start < searched.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, searched.n - start);
        const std::uint32_t* b1 = bins1(start, m, buffer1);
        const std::uint32_t* c2 = bins2(start, m, buffer2);
        for (std::size_t j = 0; j < m; ++j)
            cells[b1[j] * stride + c2[j]].add(searched.scores[start + j],
                                              searched.weight(start + j));
    }
    TwoFeatureSearch t;
    if (first.kind == FeatureKind::kNumerical) t.edges = first.edges;
    t.bins.resize(n_bins);
    const double nan = std::nan("");
    for (std::size_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& fb = t.bins[b];
        set_first_bounds(first, b, fb);
        CategorySums sums;
        sums.per_code.assign(cells.begin() + static_cast<std::ptrdiff_t>(b * stride),
                             cells.begin() + static_cast<std::ptrdiff_t>((b + 1) * stride - 1));
        sums.missing = cells[(b + 1) * stride - 1];
        double low = HUGE_VAL, high = -HUGE_VAL;
        fb.support = sums.missing.count;
        for (std::size_t c = 0; c < sums.per_code.size(); ++c) {
            if (sums.per_code[c].count == 0) continue;
            fb.support += sums.per_code[c].count;
            low = std::min(low, static_cast<double>(c));
            high = std::max(high, static_cast<double>(c));
        }
        fb.lb2 = low <= high ? low : nan;
        fb.ub2 = low <= high ? high : nan;
        if (fb.support == 0) continue;
        fb.search.range = {fb.lb2, fb.ub2};
        PartProfile whole(split_profile, [&] {
            return profile_of_bin(searched, bins1, b, [](std::size_t) { return true; });
        });
        const RowsOfCodes rows = [&](const std::vector<std::int32_t>& codes) {
            std::vector<unsigned char> member(stride, 0);
            for (const std::int32_t c : codes)
                member[c == kMissingCode ? stride - 1 : static_cast<std::size_t>(c)] = 1;
            std::uint32_t in[kBlock];
            return rows_of_bin(bins1, searched.n, b,
                               [&](std::size_t i) { return member[*bins2(i, 1, in)] != 0; });
        };
        judge_part(fb.search, settings, whole, rows,
                   [&](OneFeatureSearch& to, const SearchSettings& with,
                       const ScoreProfile& profile, const RowsOfCodes& r) {
                       judge_categories(to, sums, !searched.weights.empty(), with, profile, r);
                   });
        rank_bounds(fb, 0, 0);
    }
    return t;
}

}  // namespace movra::core::scan_steps
