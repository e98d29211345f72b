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

// A bin as the searches judge it by its codes: one category, the missing rows, or the small
// categories together; its codes (kMissingCode for missing) and its rows' score sums.
struct CodeUnit {
    std::vector<std::int32_t> codes;
    ScoreSums sums;
};

// A categorical feature's score sums per category code, and of its missing rows.
struct CategorySums {
    std::vector<ScoreSums> per_code;
    ScoreSums missing;
};

// The units a categorical feature is judged by: each category with at least min_samples rows,
// then missing (likewise), then the smaller ones as one group; none for a category without rows.
std::vector<CodeUnit> category_units(const CategorySums& sums, std::int64_t min_samples);

// The average that decides a verdict: settle(unit, average) gives it where rounding could flip
// it (an exact average), else the average itself.
using SettleAverage = std::function<double(std::size_t, double)>;

// The judgements of search_feature from sums, whoever found them (one pass over the rows, or
// sums merged over the partitions of a data set):
// - judge_category_units: every unit's rule and verdict, and the weak ones as one region when it
//   holds at least min_samples rows (its rule first, then the other units' rules);
// - judge_missing_bin: a numerical feature's missing rows as one more bin after its intervals
//   (settle(0, average)), its rule last, kept as a region when weak with at least min_samples
//   rows.
void judge_category_units(OneFeatureSearch& s, const std::vector<CodeUnit>& units, bool weighted,
                          const SearchSettings& settings, const SettleAverage& settle);
void judge_missing_bin(OneFeatureSearch& s, const ScoreSums& missing, bool weighted,
                       const SearchSettings& settings, const SettleAverage& settle);

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

// The rows (increasing positions among the searched rows) whose value is one of `codes`
// (kMissingCode: missing), for settling a near tie on their exact average.
using RowsOfCodes =
    std::function<std::vector<std::int64_t>(const std::vector<std::int32_t>& codes)>;

// Settles a unit's near tie on the exact average of its rows, `rows(units[u].codes)`; `profile`
// is that of every searched row. Holds references to its arguments.
SettleAverage settle_on_rows(const std::vector<CodeUnit>& units, const SearchSettings& settings,
                             const ScoreProfile& profile, const RowsOfCodes& rows);

// The same judgements for a caller that reads the rows itself (the scan): a categorical feature
// from its categories' sums (added in row order), a numerical feature's missing rows as one more
// bin of the search `s` of its other rows; near ties settled on `rows`.
void judge_categories(OneFeatureSearch& s, const CategorySums& sums, bool weighted,
                      const SearchSettings& settings, const ScoreProfile& profile,
                      const RowsOfCodes& rows);
void judge_missing_bin(OneFeatureSearch& s, const ScoreSums& missing, bool weighted,
                       const SearchSettings& settings, const ScoreProfile& profile,
                       const RowsOfCodes& rows);

// Settings for a search of part of the rows, `rows` being their positions (increasing): near
// ties are settled on the rows they stand for. `rows` must outlive the settings.
SearchSettings settings_for_rows(const SearchSettings& settings,
                                 const std::vector<std::int64_t>& rows);

}  // namespace movra::core
