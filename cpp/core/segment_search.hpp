// The histogram search on features as real tables hold them: a numerical feature whose missing
// rows form a bin of their own, and a categorical feature (its rows' category codes) whose bins
// are its categories; and pairs of features of either kind.
#pragma once

#include <cstdint>

#include "core/histogram.hpp"
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

// The smallest and largest value that is not NaN; NaN bounds when there is none.
ValueRange finite_range(Span<const double> x);

}  // namespace movra::core
