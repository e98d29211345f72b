#include "core/segment_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/region_stats.hpp"

namespace movra::core {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Part of the rows, taken out of the searched columns.
struct Subset {
    std::vector<std::int64_t> rows;  // positions in the full columns
    std::vector<double> x, scores, weights;
};

Subset take(Span<const double> x, Span<const double> scores, Span<const double> weights,
            std::vector<std::int64_t> rows) {
    Subset s{std::move(rows), {}, {}, {}};
    s.x.resize(s.rows.size());
    s.scores.resize(s.rows.size());
    gather(x, s.rows, {s.x.data(), s.x.size()});
    gather(scores, s.rows, {s.scores.data(), s.scores.size()});
    if (!weights.empty()) {
        s.weights.resize(s.rows.size());
        gather(weights, s.rows, {s.weights.data(), s.weights.size()});
    }
    return s;
}

// The rows of `x` whose value is one of `codes`.
RowsOfCodes rows_of_codes(Span<const double> x) {
    return
        [x](const std::vector<std::int32_t>& codes) { return rows_in_bound(x, code_set(codes)); };
}

// Per category code, and for the missing rows, the rows' score sums (weight 1 each when
// `weights` is empty). The codes are checked and counted first, so that the sums then go to a
// table of fixed size (the missing rows in its last slot) with no test per row.
CategorySums category_sums(Span<const double> x, Span<const double> scores,
                           Span<const double> weights) {
    // Whole numbers in [0, 2^31] survive a round trip through 2^52 + v unchanged (the sum has
    // no bits left for a fraction); NaN fails no test and is skipped by the maximum. Arithmetic
    // and comparisons only, so the compiler can run it on vectors.
    constexpr double kShift = 4503599627370496.0;
    bool bad = false;
    double top = -1.0;
    for (std::size_t i = 0; i < x.size; ++i) {
        const double v = x[i];
        bad |= (v < 0.0) | (v > 2147483647.0) | ((((v + kShift) - kShift) != v) & (v == v));
        top = v > top ? v : top;
    }
    if (bad) throw std::invalid_argument("a categorical column holds codes 0, 1, ... or NaN");
    const auto n_codes = static_cast<std::size_t>(top + 1.0);
    std::vector<ScoreSums> slots(n_codes + 1);
    for (std::size_t i = 0; i < x.size; ++i) {
        const double v = x[i];
        const bool missing = std::isnan(v);
        const auto code = static_cast<std::size_t>(missing ? 0.0 : v);
        slots[missing ? n_codes : code].add(scores.empty() ? 0.0 : scores[i],
                                            weights.empty() ? 1.0 : weights[i]);
    }
    CategorySums out;
    out.missing = slots.back();
    slots.pop_back();
    out.per_code = std::move(slots);
    return out;
}

OneFeatureSearch search_categories(Span<const double> x, Span<const double> scores,
                                   Span<const double> weights, const SearchSettings& settings) {
    OneFeatureSearch s;
    s.range = finite_range(x);
    judge_categories(s, category_sums(x, scores, weights), !weights.empty(), settings,
                     score_profile(scores, weights), rows_of_codes(x));
    return s;
}

// The missing rows of a numerical feature, one more bin of a search of its other rows.
void add_missing_bin(OneFeatureSearch& s, Span<const double> x, Span<const double> scores,
                     Span<const double> weights, const SearchSettings& settings) {
    ScoreSums missing;
    for (std::size_t i = 0; i < x.size; ++i)
        if (std::isnan(x[i])) missing.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    judge_missing_bin(s, missing, !weights.empty(), settings, score_profile(scores, weights),
                      rows_of_codes(x));
}

OneFeatureSearch search_numerical(Span<const double> x, Span<const double> scores,
                                  Span<const double> weights, const SearchSettings& settings,
                                  ValueRange range) {
    if (!std::isnan(range.min) && !std::isnan(range.max))
        return search_one_feature_in_range(x, scores, weights, settings, range);
    std::vector<std::int64_t> finite;
    for (std::size_t i = 0; i < x.size; ++i)
        if (!std::isnan(x[i])) finite.push_back(static_cast<std::int64_t>(i));
    OneFeatureSearch s;
    s.range = {kNaN, kNaN};
    if (!finite.empty()) {
        const Subset part = take(x, scores, weights, std::move(finite));
        s = search_one_feature(
            {part.x.data(), part.x.size()}, {part.scores.data(), part.scores.size()},
            {part.weights.data(), part.weights.size()}, settings_for_rows(settings, part.rows));
    }
    add_missing_bin(s, x, scores, weights, settings);
    return s;
}

}  // namespace

std::vector<CodeUnit> category_units(const CategorySums& sums, std::int64_t min_samples) {
    std::vector<CodeUnit> units;
    CodeUnit small;
    const auto place = [&](std::int32_t code, const ScoreSums& s) {
        if (s.count == 0) return;
        CodeUnit& to = s.count >= min_samples ? units.emplace_back() : small;
        to.codes.push_back(code);
        to.sums.add(s);
    };
    for (std::size_t c = 0; c < sums.per_code.size(); ++c)
        place(static_cast<std::int32_t>(c), sums.per_code[c]);
    place(kMissingCode, sums.missing);
    if (small.sums.count > 0) {
        std::sort(small.codes.begin(), small.codes.end());
        units.push_back(small);
    }
    return units;
}

void judge_category_units(OneFeatureSearch& s, const std::vector<CodeUnit>& units, bool weighted,
                          const SearchSettings& settings, const SettleAverage& settle) {
    CodeUnit weak;
    for (std::size_t u = 0; u < units.size(); ++u) {
        const double value =
            settle(u, average_score(units[u].sums, weighted, ZeroWeights::kZeroSum));
        s.bin_sums.push_back(units[u].sums);
        s.bin_rules.push_back({kNaN, kNaN, value, units[u].sums.count, units[u].codes});
        if (!is_weak(value, settings.score_sign, settings.threshold_value)) continue;
        s.weak_bins.push_back(u);
        weak.codes.insert(weak.codes.end(), units[u].codes.begin(), units[u].codes.end());
        weak.sums.add(units[u].sums);
    }
    std::vector<bool> in_region(units.size(), false);
    if (!s.weak_bins.empty() && settings.min_samples <= weak.sums.count) {
        std::sort(weak.codes.begin(), weak.codes.end());
        const double value = average_score(weak.sums, true, settings.merge_weights);
        s.regions.push_back({kNaN, kNaN, value, weak.sums.count, weak.codes});
        s.rules.push_back(s.regions.back());
        for (std::size_t u : s.weak_bins) in_region[u] = true;
    }
    for (std::size_t u = 0; u < units.size(); ++u)
        if (!in_region[u]) s.rules.push_back(s.bin_rules[u]);
}

void judge_missing_bin(OneFeatureSearch& s, const ScoreSums& missing, bool weighted,
                       const SearchSettings& settings, const SettleAverage& settle) {
    const double value = settle(0, average_score(missing, weighted, ZeroWeights::kZeroSum));
    const SliceRule rule{kNaN, kNaN, value, missing.count, {kMissingCode}};
    s.bin_sums.push_back(missing);
    s.bin_rules.push_back(rule);
    s.rules.push_back(rule);
    if (is_weak(value, settings.score_sign, settings.threshold_value) &&
        settings.min_samples <= missing.count) {
        s.weak_bins.push_back(s.bin_rules.size() - 1);
        s.regions.push_back(rule);
    }
}

SettleAverage settle_on_rows(const std::vector<CodeUnit>& units, const SearchSettings& settings,
                             const ScoreProfile& profile, const RowsOfCodes& rows) {
    return [&units, &settings, profile, &rows](std::size_t u, double value) {
        if (settings.ties.exact_average &&
            near_tie(value, units[u].sums.count, settings.threshold_value, profile))
            return settings.ties.exact_average(rows(units[u].codes));
        return value;
    };
}

void judge_categories(OneFeatureSearch& s, const CategorySums& sums, bool weighted,
                      const SearchSettings& settings, const ScoreProfile& profile,
                      const RowsOfCodes& rows) {
    const std::vector<CodeUnit> units = category_units(sums, settings.min_samples);
    judge_category_units(s, units, weighted, settings,
                         settle_on_rows(units, settings, profile, rows));
}

void judge_missing_bin(OneFeatureSearch& s, const ScoreSums& missing, bool weighted,
                       const SearchSettings& settings, const ScoreProfile& profile,
                       const RowsOfCodes& rows) {
    const std::vector<CodeUnit> unit{{{kMissingCode}, missing}};
    judge_missing_bin(s, missing, weighted, settings,
                      settle_on_rows(unit, settings, profile, rows));
}

SearchSettings settings_for_rows(const SearchSettings& settings,
                                 const std::vector<std::int64_t>& rows) {
    SearchSettings inner = settings;
    if (settings.ties.exact_average)
        inner.ties.exact_average =
            [&rows, outer = settings.ties.exact_average](const std::vector<std::int64_t>& within) {
                std::vector<std::int64_t> mapped(within.size());
                for (std::size_t k = 0; k < within.size(); ++k)
                    mapped[k] = rows[static_cast<std::size_t>(within[k])];
                return outer(mapped);
            };
    return inner;
}

CategoryBins category_bins(Span<const double> x, std::int64_t min_samples) {
    CategoryBins out;
    for (const CodeUnit& u : category_units(category_sums(x, {}, {}), min_samples))
        out.push_back(u.codes);
    return out;
}

FirstFeatureBins first_feature_bins(Span<const double> first, FeatureKind kind,
                                    std::int64_t max_bins) {
    FirstFeatureBins b;
    b.range = finite_range(first);
    std::vector<std::int64_t> missing, finite;
    for (std::size_t i = 0; i < first.size; ++i)
        (std::isnan(first[i]) ? missing : finite).push_back(static_cast<std::int64_t>(i));
    if (kind == FeatureKind::kNumerical && !finite.empty()) {
        std::vector<double> values(finite.size());
        gather(first, finite, {values.data(), values.size()});
        const Span<const double> v{values.data(), values.size()};
        b.edges = equal_width_edges(b.range, histogram_bin_count(v, max_bins));
        std::vector<std::int32_t> bin(values.size());
        assign_bins(v, b.edges, {bin.data(), bin.size()});
        b.rows.resize(b.edges.size() - 1);
        b.codes.resize(b.rows.size());
        for (std::size_t k = 0; k < finite.size(); ++k)
            b.rows[static_cast<std::size_t>(bin[k])].push_back(finite[k]);
    } else if (kind == FeatureKind::kCategorical) {
        for (std::int64_t i : finite) {
            const auto c = static_cast<std::size_t>(first[static_cast<std::size_t>(i)]);
            if (c >= b.rows.size()) b.rows.resize(c + 1);
            b.rows[c].push_back(i);
        }
        for (std::size_t c = 0; c < b.rows.size(); ++c)
            b.codes.push_back({static_cast<std::int32_t>(c)});
    }
    if (!missing.empty()) {
        b.rows.push_back(std::move(missing));
        b.codes.push_back({kMissingCode});
    }
    return b;
}

TwoFeatureSearch search_within_bins(const FirstFeatureBins& bins, Span<const double> second,
                                    const SecondSearch& search) {
    TwoFeatureSearch t;
    t.edges = bins.edges;
    for (std::size_t b = 0; b < bins.rows.size(); ++b) {
        FirstFeatureBin fb;
        fb.support = static_cast<std::int64_t>(bins.rows[b].size());
        fb.codes1 = bins.codes[b];
        fb.lb1 = fb.codes1.empty() ? std::max(bins.edges[b], bins.range.min) : kNaN;
        fb.ub1 = fb.codes1.empty() ? std::min(bins.edges[b + 1], bins.range.max) : kNaN;
        fb.lb2 = fb.ub2 = kNaN;
        if (!bins.rows[b].empty()) {
            std::vector<double> x2(bins.rows[b].size());
            gather(second, bins.rows[b], {x2.data(), x2.size()});
            const Span<const double> v{x2.data(), x2.size()};
            const ValueRange range2 = finite_range(v);
            fb.lb2 = range2.min;
            fb.ub2 = range2.max;
            fb.search = search(bins.rows[b], v);
            for (const SliceRule& r : fb.search.regions) {
                fb.lb2q.push_back(r.codes.empty() ? percentile_of_score(v, r.lb, false) : kNaN);
                fb.ub2q.push_back(r.codes.empty() ? percentile_of_score(v, r.ub, range2.max == r.ub)
                                                  : kNaN);
            }
        }
        t.bins.push_back(std::move(fb));
    }
    return t;
}

ValueRange finite_range(Span<const double> x) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < x.size; ++i) {
        lo = x[i] < lo ? x[i] : lo;  // NaN compares false: skipped
        hi = x[i] > hi ? x[i] : hi;
    }
    if (lo > hi) return {kNaN, kNaN};
    return {lo, hi};
}

OneFeatureSearch search_feature(Span<const double> x, FeatureKind kind, Span<const double> scores,
                                Span<const double> weights, const SearchSettings& settings,
                                const ValueRange* known_range) {
    if (kind == FeatureKind::kCategorical) return search_categories(x, scores, weights, settings);
    return search_numerical(x, scores, weights, settings,
                            known_range ? *known_range : value_range(x));
}

TwoFeatureSearch search_feature_pair(Span<const double> first, FeatureKind first_kind,
                                     Span<const double> second, FeatureKind second_kind,
                                     Span<const double> scores, Span<const double> weights,
                                     const SearchSettings& settings,
                                     const ValueRange* first_range) {
    if (first_kind == FeatureKind::kNumerical && second_kind == FeatureKind::kNumerical) {
        const ValueRange r1 = first_range ? *first_range : value_range(first);
        const ValueRange r2 = value_range(second);
        if (!std::isnan(r1.min) && !std::isnan(r2.min))
            return search_two_features(first, second, scores, weights, settings, &r1);
    }
    return search_within_bins(first_feature_bins(first, first_kind, settings.max_bins), second,
                              [&](const std::vector<std::int64_t>& rows, Span<const double> x2) {
                                  const Subset part = take(second, scores, weights, rows);
                                  return search_feature(x2, second_kind,
                                                        {part.scores.data(), part.scores.size()},
                                                        {part.weights.data(), part.weights.size()},
                                                        settings_for_rows(settings, part.rows));
                              });
}

}  // namespace movra::core
