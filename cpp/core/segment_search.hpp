// The histogram search on features as real tables hold them: a numerical feature whose missing
// rows form a bin of their own, and a categorical feature (its rows' category codes) whose bins
// are its categories; and pairs of features of either kind.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core {

enum class FeatureKind { kNumerical, kCategorical };

// One feature of either kind, searched by an additive metric.
// - Numerical: the equal-width search of its values (search_one_feature: exactly that search
//   when nothing is missing; `known_range`, when given, is value_range(x)); its missing rows, if
//   any, are one more bin, judged like the others, never merged with an interval, and kept as a
//   region of their own when weak with at least min_samples rows. Its slices have NaN bounds
//   and the codes {kMissingCode}.
// - Categorical: x holds category codes 0, 1, ... (NaN where missing, a category of its own).
//   Each category is a bin; those with fewer than min_samples rows are judged together as one
//   group. The weak bins form one region (kept with at least min_samples rows), whose rule comes
//   first, then the other bins' rules. std::invalid_argument for a code that is not a
//   non-negative integer.
OneFeatureSearch search_feature(Span<const double> x, FeatureKind kind, Span<const double> scores,
                                Span<const double> weights, const SearchSettings& settings,
                                const ValueRange* known_range = nullptr);

// The second feature searched by search_feature within every bin of the first: a numerical first
// feature's equal-width bins (as search_two_features cuts them) then its missing rows, a
// categorical one's categories then its missing rows (such bins have NaN bounds and their codes
// in codes1). Exactly search_two_features when both are numerical and nothing is missing.
TwoFeatureSearch search_feature_pair(Span<const double> first, FeatureKind first_kind,
                                     Span<const double> second, FeatureKind second_kind,
                                     Span<const double> scores, Span<const double> weights,
                                     const SearchSettings& settings,
                                     const ValueRange* first_range = nullptr);

// The bins of a categorical feature as the searches judge them (x: its codes, NaN missing): each
// category with at least min_samples rows, then the missing rows (likewise), then the smaller
// ones as one group; each bin's codes (kMissingCode for missing).
using CategoryBins = std::vector<std::vector<std::int32_t>>;
CategoryBins category_bins(Span<const double> x, std::int64_t min_samples);

// The bins of a pair's first feature, as the pair searches cut them: a numerical feature's
// equal-width bins of its values then its missing rows, a categorical one's categories then its
// missing rows. Each bin's rows, and its codes (none for an interval).
struct FirstFeatureBins {
    std::vector<double> edges;
    ValueRange range;
    std::vector<std::vector<std::int64_t>> rows;
    std::vector<std::vector<std::int32_t>> codes;
};
FirstFeatureBins first_feature_bins(Span<const double> first, FeatureKind kind,
                                    std::int64_t max_bins);

// The second feature searched within every first bin by `search(rows, values)` (the bin's rows
// and their second-feature values), with each bin's support, ranges, and the percentile ranks of
// its interval regions' bounds among its values.
using SecondSearch = std::function<OneFeatureSearch(const std::vector<std::int64_t>& rows,
                                                    Span<const double> values)>;
TwoFeatureSearch search_within_bins(const FirstFeatureBins& bins, Span<const double> second,
                                    const SecondSearch& search);

// The smallest and largest value that is not NaN; NaN bounds when there is none.
ValueRange finite_range(Span<const double> x);

// The searches' judgement on sums found elsewhere (by a caller reading the rows its own way),
// exactly as search_feature judges its bins.

// The rows (increasing positions among the searched rows) whose value is one of `codes`
// (kMissingCode: missing), for settling a near tie on their exact average.
using RowsOfCodes =
    std::function<std::vector<std::int64_t>(const std::vector<std::int32_t>& codes)>;

// A categorical feature's score sums: per category code (empty codes allowed), and of its
// missing rows; each added in the order of the rows.
struct CategorySums {
    std::vector<ScoreSums> per_code;
    ScoreSums missing;
};

// The categorical search of search_feature on the categories' sums: s's bins, rules and region.
// `profile` is that of every searched row.
void judge_categories(OneFeatureSearch& s, const CategorySums& sums, bool weighted,
                      const SearchSettings& settings, const ScoreProfile& profile,
                      const RowsOfCodes& rows);

// A numerical feature's missing rows (their sums, added in row order) judged as one more bin of
// the search `s` of its other rows, as search_feature judges them. `profile` is that of every
// searched row.
void judge_missing_bin(OneFeatureSearch& s, const ScoreSums& missing, bool weighted,
                       const SearchSettings& settings, const ScoreProfile& profile,
                       const RowsOfCodes& rows);

// Settings for a search of part of the rows, `rows` being their positions (increasing): near
// ties are settled on the rows they stand for. `rows` must outlive the settings.
SearchSettings settings_for_rows(const SearchSettings& settings,
                                 const std::vector<std::int64_t>& rows);

}  // namespace movra::core
