#include "core/scan_segments.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"

namespace movra::core::scan_steps {

namespace {

constexpr std::size_t kBlock = kSearchBlock;

// A numerical feature with missing values on the searched split: the search of its other rows
// (gathered, so that their sums run in the order the search of a copied column sums them), then
// its missing rows as one more bin.
OneFeatureSearch search_with_missing(const CodedFeature& f, const SplitRows& searched,
                                     const RowBins& bins, const SearchSettings& settings,
                                     const ScoreProfile& profile) {
    const bool weighted = !searched.weights.empty();
    const auto missing_bin = static_cast<std::uint32_t>(f.n_interval_bins());
    std::vector<std::int64_t> present;
    std::vector<double> scores, weights;
    std::vector<std::uint32_t> present_bins;
    ScoreSums missing;
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < searched.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, searched.n - start);
        const std::uint32_t* b = bins(start, m, buffer);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = start + j;
            if (b[j] == missing_bin) {
                missing.add(searched.scores[i], searched.weight(i));
                continue;
            }
            present.push_back(static_cast<std::int64_t>(i));
            present_bins.push_back(b[j]);
            scores.push_back(searched.scores[i]);
            if (weighted) weights.push_back(searched.weights[i]);
        }
    }
    OneFeatureSearch s;
    s.range = f.range;
    if (!present.empty()) {
        const std::uint32_t* located = present_bins.data();
        const RowBins present_rows = [located](std::size_t start, std::size_t, std::uint32_t*) {
            return located + start;
        };
        s = search_one_feature_in_bins(
            f.range, f.edges, present_rows, {scores.data(), scores.size()},
            {weights.data(), weights.size()}, settings_for_rows(settings, present));
    }
    judge_missing_bin(s, missing, weighted, settings, profile,
                      [&](const std::vector<std::int32_t>& codes) {
                          return rows_with_codes(f, searched.n, codes);
                      });
    return s;
}

}  // namespace

std::vector<std::int64_t> rows_with_codes(const CodedFeature& f, std::size_t n,
                                          const std::vector<std::int32_t>& codes) {
    std::vector<unsigned char> member(f.n_codes, 0);
    for (const std::int32_t c : codes) member[f.code_of_category(c)] = 1;
    std::vector<std::int64_t> rows;
    with_codes(f, 0, [&](const auto* code) {
        for (std::size_t i = 0; i < n; ++i)
            if (member[code[i]] != 0) rows.push_back(static_cast<std::int64_t>(i));
    });
    return rows;
}

OneFeatureSearch search_coded_feature(const CodedFeature& f, const SplitRows& searched,
                                      const SearchSettings& settings,
                                      const ScoreProfile& split_profile, const char* simd_path) {
    const RowBins bins = searched_bins(f, simd_path);
    if (f.kind == FeatureKind::kNumerical && !f.missing_searched)
        return search_one_feature_in_bins(f.range, f.edges, bins, searched.scores, searched.weights,
                                          settings);
    // The near ties of the categories and of the missing rows are sized on every searched row.
    const ScoreProfile& profile = split_profile;
    if (f.kind == FeatureKind::kNumerical)
        return search_with_missing(f, searched, bins, settings, profile);
    // The categories' sums, each added in row order as the search of a copied column adds them.
    CategorySums sums;
    sums.per_code.resize(f.n_categories);
    std::uint32_t buffer[kBlock];
    for (std::size_t start = 0; start < searched.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, searched.n - start);
        const std::uint32_t* b = bins(start, m, buffer);
        for (std::size_t j = 0; j < m; ++j) {
            ScoreSums& to = b[j] < f.n_categories ? sums.per_code[b[j]] : sums.missing;
            to.add(searched.scores[start + j], searched.weight(start + j));
        }
    }
    OneFeatureSearch s;
    s.range = f.range;
    judge_categories(s, sums, !searched.weights.empty(), settings, profile,
                     [&](const std::vector<std::int32_t>& codes) {
                         return rows_with_codes(f, searched.n, codes);
                     });
    return s;
}

ScoreProfile RowProfile::profile() const {
    ScoreProfile p;
    if (low < 0.0 && high > 0.0) p.mixed_sign_scale = std::max(-low, high);
    p.negative_weights = low_weight < 0.0;
    return p;
}

const ScoreProfile& PartProfile::own() {
    if (!found_) own_ = find_();
    found_ = true;
    return own_;
}

bool PartProfile::near_tie(double value, std::int64_t count, double threshold_value) {
    return core::near_tie(value, count, threshold_value, split_) &&
           core::near_tie(value, count, threshold_value, own());
}

void judge_part(OneFeatureSearch& s, const SearchSettings& settings, PartProfile& profile,
                const RowsOfCodes& rows, const Judge& judge) {
    if (!settings.ties.exact_average) return judge(s, settings, profile.split(), rows);
    OneFeatureSearch trial = s;
    bool near = false;
    SearchSettings dry = settings;
    dry.ties.exact_average = [&near](const std::vector<std::int64_t>&) {
        near = true;
        return std::nan("");
    };
    judge(trial, dry, profile.split(),
          [](const std::vector<std::int32_t>&) { return std::vector<std::int64_t>{}; });
    if (!near) {
        s = std::move(trial);
        return;
    }
    judge(s, settings, profile.own(), rows);
}

}  // namespace movra::core::scan_steps
