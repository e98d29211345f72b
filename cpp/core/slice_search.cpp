#include "core/slice_search.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/intervals.hpp"

namespace movra::core {

namespace {

// Runs of weak bins merged, kept when they hold at least min_samples rows, clipped to the range.
void merge_weak_bins(OneFeatureSearch& s, const SearchSettings& settings) {
    std::vector<BinInterval> weak;
    for (std::size_t b : s.weak_bins) weak.push_back({s.edges[b], s.edges[b + 1], b, b});
    std::vector<BinInterval> kept;
    for (const BinInterval& run : merge_touching_intervals(std::move(weak))) {
        // The run's rows are exactly its bins' rows: the edges are strictly increasing and only
        // the last bin (upper edge = maximum) is closed.
        std::int64_t count = 0;
        for (std::size_t b = run.first_bin; b <= run.last_bin; ++b) count += s.bin_sums[b].count;
        if (settings.min_samples <= count) kept.push_back(run);
    }
    std::vector<bool> merged_bin(s.bin_rules.size(), false);
    for (const BinInterval& run : kept) {
        SliceRule region{std::max(run.lb, s.range.min), std::min(run.ub, s.range.max), 0.0, 0};
        s.regions.push_back(region);
        // The bins lying inside the clipped region become one rule.
        ScoreSums sums;
        double lb = 0.0, ub = 0.0;
        bool any = false;
        for (std::size_t b = 0; b < s.bin_rules.size(); ++b) {
            const SliceRule& r = s.bin_rules[b];
            if (r.lb >= region.lb && r.ub <= region.ub) {
                lb = any ? std::min(lb, r.lb) : r.lb;
                ub = any ? std::max(ub, r.ub) : r.ub;
                any = true;
                merged_bin[b] = true;
                sums.add(s.bin_sums[b]);
            }
        }
        if (!any) continue;
        const double value =
            sums.count == 0 ? 0.0 : average_score(sums, true, settings.merge_weights);
        s.rules.push_back({lb, ub, value, sums.count});
    }
    for (std::size_t b = 0; b < s.bin_rules.size(); ++b)
        if (!merged_bin[b]) s.rules.push_back(s.bin_rules[b]);
}

// Count and plain sum of one lane of a bin: all an unweighted search accumulates (the weight
// sum is then the count and the weighted sum the plain sum, both exactly).
struct CountSum {
    std::int64_t count = 0;
    double sum = 0.0;
};

// Interleaved sets of bin sums: consecutive rows landing in one bin would otherwise wait on
// each other's additions. Row i goes to lane i % lanes.
constexpr std::size_t kLanes = 4;

// Rows per block of vector bin lookups (the block's bins stay in the first-level cache).
constexpr std::size_t kBlock = kSearchBlock;

static_assert(kBlock % kLanes == 0, "a block starts at lane 0");

// Calls visit(j, lane) for the rows j of a block (starting at lane 0), lane = j % kLanes: four
// rows per step, so the lane is a constant the compiler folds into the addresses.
template <typename Visit>
inline void by_lane(std::size_t m, Visit visit) {
    std::size_t j = 0;
    for (; j + kLanes <= m; j += kLanes) {
        visit(j, 0);
        visit(j + 1, 1);
        visit(j + 2, 2);
        visit(j + 3, 3);
    }
    for (; j < m; ++j) visit(j, j % kLanes);
}

// Row `score` (and `weight`) added to the lane of its cell.
inline void add_to(ScoreSums& lane, double score, double weight) { lane.add(score, weight); }
inline void add_to(CountSum& lane, double score) {
    ++lane.count;
    lane.sum += score;
}

// Lanes `first_cell .. first_cell + n` added up, lane by lane in order.
std::vector<ScoreSums> combine(const std::vector<ScoreSums>& lanes, std::size_t first_cell,
                               std::size_t n, std::size_t lane_count) {
    std::vector<ScoreSums> out(n);
    for (std::size_t b = 0; b < n; ++b)
        for (std::size_t l = 0; l < lane_count; ++l)
            out[b].add(lanes[(first_cell + b) * lane_count + l]);
    return out;
}
std::vector<ScoreSums> combine(const std::vector<CountSum>& lanes, std::size_t first_cell,
                               std::size_t n, std::size_t lane_count) {
    std::vector<ScoreSums> out(n);
    for (std::size_t b = 0; b < n; ++b)
        for (std::size_t l = 0; l < lane_count; ++l) {
            const CountSum& lane = lanes[(first_cell + b) * lane_count + l];
            out[b].add(ScoreSums{lane.count, lane.sum, static_cast<double>(lane.count), lane.sum});
        }
    return out;
}

// The rows of bin b, for settling a near tie.
using BinRows = std::function<std::vector<std::int64_t>(std::size_t b)>;

// From the bins' sums: every bin's rule, the weak bins and the merged regions, a near tie
// settled on the reference's average of exactly the bin's rows.
void judge_bins(OneFeatureSearch& s, bool weighted, const SearchSettings& settings,
                const ScoreProfile& profile, const BinRows& bin_rows) {
    const NearTies& ties = settings.ties;
    judge_bin_sums(s, weighted, settings, [&](std::size_t b, double value) {
        if (ties.exact_average &&
            near_tie(value, s.bin_sums[b].count, settings.threshold_value, profile))
            return ties.exact_average(bin_rows(b));
        return value;
    });
}

// A bin's bounds on its feature: the last bin is closed where its upper edge is the maximum.
Bound bin_bound(const OneFeatureSearch& s, std::size_t b) {
    return {s.edges[b], s.edges[b + 1], s.edges[b + 1] == s.range.max};
}

// Distinct values of `second` among each bin's rows, counted no further than `limit` (as
// count_distinct_up_to would count them over the bin's rows in order). The scan stops once every
// bin has either reached the limit or shown all its rows; for continuous data that is soon.
std::vector<std::size_t> distinct_per_bin(const RowBins& first_bins, Span<const double> second,
                                          const std::vector<std::int64_t>& support,
                                          std::size_t limit) {
    const std::size_t n_bins = support.size();
    std::vector<DistinctCounter> seen(n_bins);
    std::vector<std::int64_t> shown(n_bins, 0);
    std::vector<unsigned char> done(n_bins, 0);
    std::size_t open = 0;
    for (std::size_t b = 0; b < n_bins; ++b) {
        done[b] = static_cast<unsigned char>(support[b] == 0 || limit == 0);
        open += done[b] == 0;
    }
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < second.size && open > 0; start += kBlock) {
        const std::size_t m = std::min(kBlock, second.size - start);
        const std::uint32_t* bin_of_row = first_bins(start, m, buffer);
        for (std::size_t j = 0; j < m && open > 0; ++j) {
            const std::uint32_t b = bin_of_row[j];
            if (done[b] != 0) continue;
            if (seen[b].add(second[start + j]) >= limit || ++shown[b] == support[b]) {
                done[b] = 1;
                --open;
            }
        }
    }
    std::vector<std::size_t> out(n_bins);
    for (std::size_t b = 0; b < n_bins; ++b) out[b] = seen[b].size();
    return out;
}

}  // namespace

bool near_tie(double value, std::int64_t count, double threshold_value, const ScoreProfile& p) {
    if (p.negative_weights) return true;
    // Each side's average of `count` rows is within about count * eps of the exact one,
    // relative to the magnitudes summed (the average's own for scores of one sign); with a
    // margin of two.
    const double scale =
        std::max({std::fabs(value), std::fabs(threshold_value), p.mixed_sign_scale});
    const double bound = 8.0 * (static_cast<double>(count) + 2.0) * DBL_EPSILON * scale;
    return std::fabs(value - threshold_value) <= bound;
}

OneFeatureSearch search_one_feature(Span<const double> x, Span<const double> scores,
                                    Span<const double> weights, const SearchSettings& settings) {
    return search_one_feature_in_range(x, scores, weights, settings, value_range(x));
}

OneFeatureSearch search_one_feature_in_range(Span<const double> x, Span<const double> scores,
                                             Span<const double> weights,
                                             const SearchSettings& settings, ValueRange range) {
    const std::vector<double> edges =
        equal_width_edges(range, histogram_bin_count(x, settings.max_bins));
    const BinLocator locate(edges);
    // Bins found a block at a time by vector arithmetic, then the block's rows added up.
    const RowBins bins = [&](std::size_t start, std::size_t m, std::uint32_t* buffer) {
        locate_bins(locate, {x.data + start, m}, buffer);
        return static_cast<const std::uint32_t*>(buffer);
    };
    return search_one_feature_in_bins(range, edges, bins, scores, weights, settings);
}

OneFeatureSearch search_one_feature_in_bins(ValueRange range, std::vector<double> edges,
                                            const RowBins& bins, Span<const double> scores,
                                            Span<const double> weights,
                                            const SearchSettings& settings) {
    OneFeatureSearch s;
    s.range = range;
    s.edges = std::move(edges);
    const std::size_t n_bins = s.edges.size() - 1, n = scores.size;
    const bool weighted = !weights.empty();
    const bool ties = static_cast<bool>(settings.ties.exact_average);
    ProfileAccumulator profile;
    std::uint32_t buffer[kBlock];
    if (weighted) {
        std::vector<ScoreSums> lanes(kLanes * n_bins);
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            const std::uint32_t* bins_of_block = bins(start, m, buffer);
            const double* sc = scores.data + start;
            const double* w = weights.data + start;
            by_lane(m, [&](std::size_t j, std::size_t l) {
                add_to(lanes[bins_of_block[j] * kLanes + l], sc[j], w[j]);
            });
            if (ties) profile.add({sc, m}, {w, m});
        }
        s.bin_sums = combine(lanes, 0, n_bins, kLanes);
    } else {
        std::vector<CountSum> lanes(kLanes * n_bins);
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            const std::uint32_t* bins_of_block = bins(start, m, buffer);
            const double* sc = scores.data + start;
            by_lane(m, [&](std::size_t j, std::size_t l) {
                add_to(lanes[bins_of_block[j] * kLanes + l], sc[j]);
            });
            if (ties) profile.add({sc, m}, {});
        }
        s.bin_sums = combine(lanes, 0, n_bins, kLanes);
    }
    judge_bins(s, weighted, settings, profile.profile(), [&](std::size_t b) {
        return rows_of_bin(bins, n, b, [](std::size_t) { return true; });
    });
    return s;
}

namespace {

// The first pass of the two-feature search: per first-feature bin, the row count and the second
// feature's range.
struct FirstPass {
    std::vector<std::int64_t> support;
    std::vector<ValueRange> range2;
};

// Counts and ranges are kept in lanes as the sums are (no chain of dependent updates), a block of
// rows at a time so the block's bins are still in the first-level cache when they are read.
FirstPass first_pass(const RowBins& first_bins, Span<const double> second, std::size_t n_bins,
                     bool may_hold_nan) {
    const std::size_t n = second.size;
    struct RangeLane {
        double low = HUGE_VAL;
        double high = -HUGE_VAL;
        std::int64_t count = 0;
        std::int64_t unused = 0;  // 32 bytes: a lane's address is a shift of its index
    };
    std::vector<RangeLane> range_lanes(n_bins * kLanes);
    bool any_nan = false;
    RangeLane* const lanes = range_lanes.data();
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = std::min(kBlock, n - start);
        const std::uint32_t* b = first_bins(start, m, buffer);
        const double* v = second.data + start;
        by_lane(m, [&](std::size_t j, std::size_t l) {
            RangeLane& r = lanes[b[j] * kLanes + l];
            const double x = v[j];
            ++r.count;
            r.low = x < r.low ? x : r.low;
            r.high = x > r.high ? x : r.high;
        });
        if (may_hold_nan) any_nan |= has_nan({v, m});
    }
    FirstPass out{std::vector<std::int64_t>(n_bins, 0), std::vector<ValueRange>(n_bins)};
    for (std::size_t b = 0; b < n_bins; ++b) {
        out.range2[b] = {HUGE_VAL, -HUGE_VAL};
        for (std::size_t l = 0; l < kLanes; ++l) {
            const RangeLane& r = range_lanes[b * kLanes + l];
            out.support[b] += r.count;
            out.range2[b].min = std::min(out.range2[b].min, r.low);
            out.range2[b].max = std::max(out.range2[b].max, r.high);
        }
    }
    if (any_nan)  // a NaN makes its bin's range NaN, as value_range has it
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            const std::uint32_t* b = first_bins(start, m, buffer);
            for (std::size_t j = 0; j < m; ++j)
                if (second[start + j] != second[start + j])
                    out.range2[b[j]] = {std::nan(""), std::nan("")};
        }
    return out;
}

// Every non-empty first-feature bin's edges on the second feature (in bin order, so the first bin
// that cannot be binned is the one reported); returns each bin's first cell among all cells
// (n_bins + 1 entries) and fills `locators` (one per bin).
std::vector<std::size_t> second_feature_bins(TwoFeatureSearch& t, ValueRange range1,
                                             const FirstPass& pass,
                                             const std::vector<std::size_t>& distinct,
                                             std::int64_t max_bins,
                                             std::vector<BinLocator>& locators) {
    const std::size_t n_bins = t.edges.size() - 1;
    t.bins.resize(n_bins);
    std::vector<std::size_t> first_cell(n_bins + 1, 0);
    for (std::size_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& fb = t.bins[b];
        fb.lb1 = std::max(t.edges[b], range1.min);
        fb.ub1 = std::min(t.edges[b + 1], range1.max);
        fb.support = pass.support[b];
        first_cell[b + 1] = first_cell[b];
        if (fb.support == 0) {
            fb.lb2 = fb.ub2 = std::nan("");
            locators.emplace_back(t.edges.data(), 1);  // never used: no row lies in the bin
            continue;
        }
        const auto bins2 = static_cast<std::int64_t>(distinct[b]) < max_bins
                               ? static_cast<std::int64_t>(distinct[b])
                               : max_bins;
        fb.search.range = pass.range2[b];
        fb.search.edges = equal_width_edges(pass.range2[b], bins2);
        locators.emplace_back(fb.search.edges.data(), fb.search.edges.size() - 1);
        first_cell[b + 1] += fb.search.edges.size() - 1;
    }
    return first_cell;
}

// The second pass: every row into its cell (first-feature bin, second-feature bin), the sums
// left in each bin's search. Few cells get four lanes each; many cells are rarely hit twice in a
// row and fit the cache better with one.
void accumulate_cells(TwoFeatureSearch& t, Span<const double> second, Span<const double> scores,
                      Span<const double> weights, const RowBins& first_bins,
                      const std::vector<std::size_t>& first_cell,
                      const std::vector<BinLocator>& locators, ProfileAccumulator* profile) {
    const std::size_t n_bins = t.edges.size() - 1, n = second.size;
    const std::size_t n_cells = first_cell[n_bins];
    const std::size_t lane_count = n_cells <= 1024 ? kLanes : 1;
    // Each row's cell, a block at a time by vector arithmetic: its second-feature bin plus its
    // first-feature bin's first cell, while cells are numbered in 32 bits (always, short of
    // billions of cells); else that is added here.
    const bool offsets_fit = n_cells <= UINT32_MAX;
    std::vector<std::uint32_t> offsets;
    if (offsets_fit)
        for (std::size_t b = 0; b < n_bins; ++b)
            offsets.push_back(static_cast<std::uint32_t>(first_cell[b]));
    const GroupedBinLocator locate2(locators, std::move(offsets));
    std::uint32_t block_cells[kBlock], block_bins[kBlock];
    // visit(i, k) for every row i, k its slot among the cells' lanes (`lanes_per_cell`, 4 or 1,
    // a compile-time constant).
    const auto for_each_cell = [&](auto lanes_per_cell, auto visit) {
        constexpr std::size_t kCellLanes = decltype(lanes_per_cell)::value;
        for (std::size_t start = 0; start < n; start += kBlock) {
            const std::size_t m = std::min(kBlock, n - start);
            const std::uint32_t* b1 = first_bins(start, m, block_bins);
            locate2(b1, {second.data + start, m}, block_cells);
            if (profile != nullptr)
                profile->add({scores.data + start, m},
                             weights.empty() ? Span<const double>{}
                                             : Span<const double>{weights.data + start, m});
            by_lane(m, [&](std::size_t j, std::size_t l) {
                const std::size_t cell =
                    offsets_fit ? block_cells[j] : first_cell[b1[j]] + block_cells[j];
                visit(start + j, kCellLanes == 1 ? cell : cell * kCellLanes + l);
            });
        }
    };
    const auto accumulate = [&](auto& lanes, auto add) {
        if (lane_count == kLanes)
            for_each_cell(std::integral_constant<std::size_t, kLanes>{}, add);
        else
            for_each_cell(std::integral_constant<std::size_t, 1>{}, add);
        for (std::size_t b = 0; b < n_bins; ++b)
            if (t.bins[b].support != 0)
                t.bins[b].search.bin_sums =
                    combine(lanes, first_cell[b], first_cell[b + 1] - first_cell[b], lane_count);
    };
    if (!weights.empty()) {
        std::vector<ScoreSums> lanes(n_cells * lane_count);
        accumulate(lanes,
                   [&](std::size_t i, std::size_t k) { add_to(lanes[k], scores[i], weights[i]); });
    } else {
        std::vector<CountSum> lanes(n_cells * lane_count);
        accumulate(lanes, [&](std::size_t i, std::size_t k) { add_to(lanes[k], scores[i]); });
    }
}

// Percentile ranks of the regions' bounds among the bin's values, from the cells' counts: a
// region starts at a cell's lower edge (or the bin's minimum, below which nothing lies) and ends
// at a cell's upper edge, open, or at the bin's maximum, closed.
void rank_region_bounds(FirstFeatureBin& fb) {
    const std::vector<ScoreSums>& cells = fb.search.bin_sums;
    const double per_row = 100.0 / static_cast<double>(fb.support);
    for (const SliceRule& region : fb.search.regions) {
        std::int64_t below = 0, up_to = 0;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            below += fb.search.edges[c + 1] <= region.lb ? cells[c].count : 0;
            up_to += fb.search.edges[c + 1] <= region.ub ? cells[c].count : 0;
        }
        if (fb.ub2 == region.ub) up_to = fb.support;
        fb.lb2q.push_back(static_cast<double>(below) * per_row);
        fb.ub2q.push_back(static_cast<double>(up_to) * per_row);
    }
}

}  // namespace

TwoFeatureSearch search_two_features(Span<const double> first, Span<const double> second,
                                     Span<const double> scores, Span<const double> weights,
                                     const SearchSettings& settings,
                                     const ValueRange* first_range) {
    const ValueRange range1 = first_range != nullptr ? *first_range : value_range(first);
    const std::vector<double> edges =
        equal_width_edges(range1, histogram_bin_count(first, settings.max_bins));
    // Every row's bin located once, for each pass to read. Not zeroed: every entry is written
    // before anything reads it.
    const std::unique_ptr<std::uint32_t[]> row_bins(new std::uint32_t[first.size]);
    locate_bins(BinLocator(edges), first, row_bins.get());
    const std::uint32_t* const located = row_bins.get();
    const RowBins bins = [located](std::size_t start, std::size_t, std::uint32_t*) {
        return located + start;
    };
    return search_two_features_in_bins(range1, edges, bins, second, scores, weights, settings);
}

TwoFeatureSearch search_two_features_in_bins(ValueRange first_range,
                                             std::vector<double> first_edges,
                                             const RowBins& first_bins, Span<const double> second,
                                             Span<const double> scores, Span<const double> weights,
                                             const SearchSettings& settings,
                                             bool second_may_hold_nan) {
    TwoFeatureSearch t;
    t.edges = std::move(first_edges);
    const std::size_t n_bins = t.edges.size() - 1, n = second.size;
    const FirstPass pass = first_pass(first_bins, second, n_bins, second_may_hold_nan);
    const std::vector<std::size_t> distinct =
        distinct_per_bin(first_bins, second, pass.support,
                         settings.max_bins > 0 ? static_cast<std::size_t>(settings.max_bins) : 0);
    std::vector<BinLocator> locators;
    const std::vector<std::size_t> first_cell =
        second_feature_bins(t, first_range, pass, distinct, settings.max_bins, locators);
    ProfileAccumulator profile;
    accumulate_cells(t, second, scores, weights, first_bins, first_cell, locators,
                     settings.ties.exact_average ? &profile : nullptr);

    for (std::size_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& fb = t.bins[b];
        if (fb.support == 0) continue;
        judge_bins(fb.search, !weights.empty(), settings, profile.profile(), [&](std::size_t c) {
            const Bound cell = bin_bound(fb.search, c);
            return rows_of_bin(first_bins, n, b,
                               [&](std::size_t i) { return cell.contains(second[i]); });
        });
        fb.lb2 = fb.search.range.min;
        fb.ub2 = fb.search.range.max;
        rank_region_bounds(fb);
    }
    return t;
}

void judge_bin_sums(OneFeatureSearch& s, bool weighted, const SearchSettings& settings,
                    const std::function<double(std::size_t, double)>& settle) {
    for (std::size_t b = 0; b < s.bin_sums.size(); ++b) {
        const std::int64_t count = s.bin_sums[b].count;
        double value = average_score(s.bin_sums[b], weighted, ZeroWeights::kZeroSum);
        if (count > 0) value = settle(b, value);
        s.bin_rules.push_back({s.edges[b], s.edges[b + 1], value, count});
        if (count > 0 && is_weak(value, settings.score_sign, settings.threshold_value))
            s.weak_bins.push_back(b);
    }
    if (s.weak_bins.empty()) {
        s.rules = s.bin_rules;
        return;
    }
    merge_weak_bins(s, settings);
}

}  // namespace movra::core
