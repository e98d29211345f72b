#include "core/slice_search.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

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
        const double value = sums.count == 0
                                 ? 0.0
                                 : average_score(sums, true, settings.merge_weights);
        s.rules.push_back({lb, ub, value, sums.count});
    }
    for (std::size_t b = 0; b < s.bin_rules.size(); ++b)
        if (!merged_bin[b]) s.rules.push_back(s.bin_rules[b]);
}

// Per-thread buffers of the two-feature search, grown as needed and kept for the next call.
struct Scratch {
    std::unique_ptr<std::int32_t[]> bins;
    std::unique_ptr<double[]> second, scores, weights;
    std::size_t rows = 0, weighted_rows = 0;

    void reserve(std::size_t n, bool weighted) {
        if (n > rows) {
            // Released before the new ones are taken, so the old and new never coexist; the
            // size is set only once all are allocated (an allocation may throw).
            rows = 0;
            bins.reset();
            second.reset();
            scores.reset();
            bins.reset(new std::int32_t[n]);
            second.reset(new double[n]);
            scores.reset(new double[n]);
            rows = n;
        }
        if (weighted && n > weighted_rows) {
            weighted_rows = 0;
            weights.reset();
            weights.reset(new double[n]);
            weighted_rows = n;
        }
    }
};

Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

}  // namespace

OneFeatureSearch search_one_feature(Span<const double> x, Span<const double> scores,
                                    Span<const double> weights, const SearchSettings& settings) {
    return search_one_feature_in_range(x, scores, weights, settings, value_range(x));
}

OneFeatureSearch search_one_feature_in_range(Span<const double> x, Span<const double> scores,
                                             Span<const double> weights,
                                             const SearchSettings& settings, ValueRange range) {
    OneFeatureSearch s;
    s.range = range;
    s.edges = equal_width_edges(s.range, histogram_bin_count(x, settings.max_bins));
    const std::size_t n_bins = s.edges.size() - 1;
    const BinLocator locate(s.edges);
    const bool weighted = !weights.empty();
    // Four interleaved sets of bin sums: consecutive rows in one bin would otherwise wait on each
    // other's additions. sums_all uses the same lanes.
    constexpr std::size_t kLanes = 4;
    std::vector<ScoreSums> lanes(kLanes * n_bins);
    if (weighted) {
        for (std::size_t i = 0; i < x.size; ++i)
            lanes[locate(x[i]) * kLanes + i % kLanes].add(scores[i], weights[i]);
    } else {
        // A weight of one per row: the weight sum is the count and the weighted sum the plain
        // one, both exactly, so only those two are accumulated.
        for (std::size_t i = 0; i < x.size; ++i) {
            ScoreSums& lane = lanes[locate(x[i]) * kLanes + i % kLanes];
            ++lane.count;
            lane.sum += scores[i];
        }
        for (ScoreSums& lane : lanes) {
            lane.weight = static_cast<double>(lane.count);
            lane.weighted = lane.sum;
        }
    }
    s.bin_sums.assign(n_bins, ScoreSums{});
    for (std::size_t b = 0; b < n_bins; ++b)
        for (std::size_t l = 0; l < kLanes; ++l) s.bin_sums[b].add(lanes[b * kLanes + l]);
    for (std::size_t b = 0; b < n_bins; ++b) {
        const double value = average_score(s.bin_sums[b], weighted, ZeroWeights::kZeroSum);
        s.bin_rules.push_back({s.edges[b], s.edges[b + 1], value, s.bin_sums[b].count});
        if (s.bin_sums[b].count > 0 &&
            is_weak(value, settings.score_sign, settings.threshold_value))
            s.weak_bins.push_back(b);
    }
    if (s.weak_bins.empty()) {
        s.rules = s.bin_rules;
        return s;
    }
    // Unweighted sums stand in for the weights: a weight of one per row.
    merge_weak_bins(s, settings);
    return s;
}

TwoFeatureSearch search_two_features(Span<const double> first, Span<const double> second,
                                     Span<const double> scores, Span<const double> weights,
                                     const SearchSettings& settings,
                                     const ValueRange* first_range) {
    TwoFeatureSearch t;
    const ValueRange range1 = first_range != nullptr ? *first_range : value_range(first);
    t.edges = equal_width_edges(range1, histogram_bin_count(first, settings.max_bins));
    const std::size_t n_bins = t.edges.size() - 1;
    // Buffers filled completely below, taken from this thread's scratch: fresh multi-megabyte
    // buffers on every call would cost a page fault and a page clearing per 4 KiB.
    const bool weighted = !weights.empty();
    Scratch& scratch = thread_scratch();
    scratch.reserve(first.size, weighted);
    std::int32_t* const bin_of_row = scratch.bins.get();
    // Each row's bin and the bins' sizes in one pass.
    std::vector<std::size_t> offsets(n_bins + 1, 0);
    {
        const BinLocator locate(t.edges);
        for (std::size_t i = 0; i < first.size; ++i) {
            const std::size_t b = locate(first[i]);
            bin_of_row[i] = static_cast<std::int32_t>(b);
            ++offsets[b + 1];
        }
    }
    for (std::size_t b = 0; b < n_bins; ++b) offsets[b + 1] += offsets[b];
    double* const x2 = scratch.second.get();
    double* const s2 = scratch.scores.get();
    double* const w2 = scratch.weights.get();
    // Rows scattered into contiguous groups by first-feature bin (a stable counting sort that
    // reads every row once, in order); the second feature's range in every group comes along.
    std::vector<ValueRange> range2(n_bins, ValueRange{HUGE_VAL, -HUGE_VAL});
    std::vector<unsigned char> nan2(n_bins, 0);
    {
        std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
        const auto scatter = [&](auto with_weights) {
            for (std::size_t i = 0; i < first.size; ++i) {
                const auto b = static_cast<std::size_t>(bin_of_row[i]);
                const std::size_t k = next[b]++;
                const double v = second[i];
                x2[k] = v;
                s2[k] = scores[i];
                if (with_weights) w2[k] = weights[i];
                ValueRange& r = range2[b];
                r.min = v < r.min ? v : r.min;
                r.max = v > r.max ? v : r.max;
                nan2[b] |= static_cast<unsigned char>(v != v);
            }
        };
        if (weighted)
            scatter(std::true_type{});
        else
            scatter(std::false_type{});
    }
    for (std::size_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin fb;
        fb.lb1 = std::max(t.edges[b], range1.min);
        fb.ub1 = std::min(t.edges[b + 1], range1.max);
        const std::size_t begin = offsets[b], end = offsets[b + 1];
        fb.support = static_cast<std::int64_t>(end - begin);
        if (begin == end) {
            fb.lb2 = fb.ub2 = std::nan("");
            t.bins.push_back(std::move(fb));
            continue;
        }
        const Span<const double> values{x2 + begin, end - begin};
        const Span<const double> group_weights =
            weighted ? Span<const double>{w2 + begin, end - begin} : Span<const double>{};
        // A NaN makes the range NaN, as value_range has it.
        if (nan2[b] != 0) range2[b].min = range2[b].max = std::nan("");
        fb.search = search_one_feature_in_range(values, {s2 + begin, end - begin},
                                                group_weights, settings, range2[b]);
        fb.lb2 = fb.search.range.min;
        fb.ub2 = fb.search.range.max;
        for (const SliceRule& region : fb.search.regions) {
            fb.lb2q.push_back(percentile_of_score(values, region.lb, false));
            fb.ub2q.push_back(percentile_of_score(values, region.ub, fb.ub2 == region.ub));
        }
        t.bins.push_back(std::move(fb));
    }
    return t;
}

}  // namespace movra::core
