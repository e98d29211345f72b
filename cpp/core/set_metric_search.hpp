// The histogram search for weak regions of a metric that scores a whole set of rows at once (R2,
// AUC, F1): the same equal-width bins as the additive search, each bin scored by the caller's
// metric on its rows and judged, without merging (a set score of a union is not a function of the
// bins' scores).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/segment_search.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core {

// The score of the rows at `rows` (increasing positions into the searched columns).
using SetScore = std::function<double(const std::vector<std::int64_t>& rows)>;

// Every bin of x scored (NaN when empty) and judged: `rules` holds every bin and `regions` the weak
// ones, each with its bin's edges. Positions passed to `score` are rows[k] for x's k-th row, or k
// itself when `rows` is empty. Throws std::invalid_argument as numpy's histogram does.
OneFeatureSearch search_one_feature_by_set(Span<const double> x, const SearchSettings& settings,
                                           const SetScore& score,
                                           const std::vector<std::int64_t>& rows = {});

// The second feature searched as above inside every bin of the first (positions passed to `score`
// are rows of the two columns), with each first-feature bin's support and ranges and the
// percentile ranks of each region's bounds among the bin's second-feature values.
TwoFeatureSearch search_two_features_by_set(Span<const double> first, Span<const double> second,
                                            const SearchSettings& settings, const SetScore& score);

// One feature of either kind (see search_feature) by a set metric: a numerical feature as above,
// its missing rows one more bin; a categorical feature's category_bins; every bin scored and
// judged, every weak bin a region of its own.
OneFeatureSearch search_feature_by_set(Span<const double> x, FeatureKind kind,
                                       const SearchSettings& settings, const SetScore& score,
                                       const std::vector<std::int64_t>& rows = {});

// Two features of either kind (see search_feature_pair) by a set metric.
TwoFeatureSearch search_feature_pair_by_set(Span<const double> first, FeatureKind first_kind,
                                            Span<const double> second, FeatureKind second_kind,
                                            const SearchSettings& settings, const SetScore& score);

}  // namespace movra::core
