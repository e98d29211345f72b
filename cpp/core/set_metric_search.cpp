#include "core/set_metric_search.hpp"

#include <algorithm>
#include <cmath>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"

namespace movra::core {

namespace {

// The bins of x as numpy's histogram makes them, and the rows of every bin.
struct Binned {
    ValueRange range;
    std::vector<double> edges;
    BinGroups groups;

    std::vector<std::int64_t> rows_of(std::size_t b) const {
        const auto first = groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b]);
        const auto last = groups.order.begin() + static_cast<std::ptrdiff_t>(groups.offsets[b + 1]);
        return {first, last};
    }
};

Binned bin_rows(Span<const double> x, std::int64_t max_bins) {
    Binned b;
    b.range = value_range(x);
    b.edges = equal_width_edges(b.range, histogram_bin_count(x, max_bins));
    std::vector<std::int32_t> bin_of_row(x.size);
    assign_bins(x, b.edges, {bin_of_row.data(), x.size});
    b.groups = group_by_bin({bin_of_row.data(), x.size}, b.edges.size() - 1);
    return b;
}

}  // namespace

OneFeatureSearch search_one_feature_by_set(Span<const double> x, const SearchSettings& settings,
                                           const SetScore& score,
                                           const std::vector<std::int64_t>& rows) {
    const Binned binned = bin_rows(x, settings.max_bins);
    OneFeatureSearch s;
    s.range = binned.range;
    s.edges = binned.edges;
    for (std::size_t b = 0; b + 1 < s.edges.size(); ++b) {
        std::vector<std::int64_t> in_bin = binned.rows_of(b);
        if (!rows.empty())
            for (std::int64_t& r : in_bin) r = rows[static_cast<std::size_t>(r)];
        const double value = in_bin.empty() ? std::nan("") : score(in_bin);
        const SliceRule rule{s.edges[b], s.edges[b + 1], value,
                             static_cast<std::int64_t>(in_bin.size())};
        s.bin_rules.push_back(rule);
        if (!in_bin.empty() && is_weak(value, settings.score_sign, settings.threshold_value)) {
            s.weak_bins.push_back(b);
            s.regions.push_back(rule);
        }
    }
    s.rules = s.bin_rules;
    return s;
}

TwoFeatureSearch search_two_features_by_set(Span<const double> first, Span<const double> second,
                                            const SearchSettings& settings, const SetScore& score) {
    const Binned binned = bin_rows(first, settings.max_bins);
    TwoFeatureSearch out;
    out.edges = binned.edges;
    const double nan = std::nan("");
    for (std::size_t b = 0; b + 1 < out.edges.size(); ++b) {
        FirstFeatureBin fb;
        fb.lb1 = std::max(out.edges[b], binned.range.min);
        fb.ub1 = std::min(out.edges[b + 1], binned.range.max);
        const std::vector<std::int64_t> rows = binned.rows_of(b);
        fb.support = static_cast<std::int64_t>(rows.size());
        fb.lb2 = fb.ub2 = nan;
        if (!rows.empty()) {
            std::vector<double> x2(rows.size());
            gather(second, rows, {x2.data(), x2.size()});
            const ValueRange range2 = value_range({x2.data(), x2.size()});
            fb.lb2 = range2.min;
            fb.ub2 = range2.max;
            fb.search = search_one_feature_by_set({x2.data(), x2.size()}, settings, score, rows);
            for (const SliceRule& r : fb.search.regions) {
                fb.lb2q.push_back(percentile_of_score({x2.data(), x2.size()}, r.lb, false));
                fb.ub2q.push_back(
                    percentile_of_score({x2.data(), x2.size()}, r.ub, range2.max == r.ub));
            }
        }
        out.bins.push_back(std::move(fb));
    }
    return out;
}

namespace {

// A bin of codes scored on its rows and judged, added to the search.
void judge_codes(OneFeatureSearch& s, Span<const double> x, std::vector<std::int32_t> codes,
                 const SearchSettings& settings, const SetScore& score,
                 const std::vector<std::int64_t>& rows) {
    std::vector<std::int64_t> in_bin = rows_in_bound(x, code_set(codes));
    if (in_bin.empty()) return;
    if (!rows.empty())
        for (std::int64_t& r : in_bin) r = rows[static_cast<std::size_t>(r)];
    const double nan = std::nan("");
    const SliceRule rule{nan, nan, score(in_bin), static_cast<std::int64_t>(in_bin.size()),
                         std::move(codes)};
    s.bin_rules.push_back(rule);
    s.rules.push_back(rule);
    if (is_weak(rule.value, settings.score_sign, settings.threshold_value)) {
        s.weak_bins.push_back(s.bin_rules.size() - 1);
        s.regions.push_back(rule);
    }
}

}  // namespace

OneFeatureSearch search_feature_by_set(Span<const double> x, FeatureKind kind,
                                       const SearchSettings& settings, const SetScore& score,
                                       const std::vector<std::int64_t>& rows) {
    OneFeatureSearch s;
    if (kind == FeatureKind::kCategorical) {
        s.range = finite_range(x);
        for (std::vector<std::int32_t>& codes : category_bins(x, settings.min_samples))
            judge_codes(s, x, std::move(codes), settings, score, rows);
        return s;
    }
    std::vector<std::int64_t> finite;
    for (std::size_t i = 0; i < x.size; ++i)
        if (!std::isnan(x[i])) finite.push_back(static_cast<std::int64_t>(i));
    if (finite.size() == x.size) return search_one_feature_by_set(x, settings, score, rows);
    if (!finite.empty()) {
        std::vector<double> values(finite.size());
        gather(x, finite, {values.data(), values.size()});
        if (!rows.empty())
            for (std::int64_t& r : finite) r = rows[static_cast<std::size_t>(r)];
        s = search_one_feature_by_set({values.data(), values.size()}, settings, score, finite);
    } else {
        s.range = {std::nan(""), std::nan("")};
    }
    judge_codes(s, x, {kMissingCode}, settings, score, rows);
    return s;
}

TwoFeatureSearch search_feature_pair_by_set(Span<const double> first, FeatureKind first_kind,
                                            Span<const double> second, FeatureKind second_kind,
                                            const SearchSettings& settings, const SetScore& score) {
    if (first_kind == FeatureKind::kNumerical && second_kind == FeatureKind::kNumerical &&
        !std::isnan(value_range(first).min) && !std::isnan(value_range(second).min))
        return search_two_features_by_set(first, second, settings, score);
    return search_within_bins(first_feature_bins(first, first_kind, settings.max_bins), second,
                              [&](const std::vector<std::int64_t>& rows, Span<const double> x2) {
                                  return search_feature_by_set(x2, second_kind, settings, score,
                                                               rows);
                              });
}

}  // namespace movra::core
