// Distances between two samples of one feature from their counts in shared bins: the population
// stability index of the diagnoser's distance view, and, for samples known only by fine binned
// counts (summed over the parts of a data set), the Kolmogorov-Smirnov statistic, the first
// Wasserstein distance and PSI on the reference's deciles, each within one fine bin of the value
// on the rows.
#pragma once

#include <string>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// PSI of two samples counted in the same buckets: the sum over buckets of (e - a) ln(e / a), e
// and a each sample's share of its rows, floored at 1e-4 (an empty bucket). NaN when either
// sample is empty.
double population_stability(Span<const double> expected_counts, Span<const double> actual_counts);

// The distance `method` ("PSI", "WD1" or "KS"; std::invalid_argument otherwise) between the
// reference and the weak sample from their counts in the bins of `edges` (the bins #{inner edges
// <= v}). PSI with `quantile` buckets groups the fine bins into the reference's deciles (each the
// upper edge of the fine bin where the reference's cumulative share reaches it, the ends
// `low` and `high`, the reference's range), else the bins are the PSI buckets themselves; the
// samples' missing values, when either has some, are one more PSI bucket. KS is the largest gap
// between the cumulative shares at the edges; WD1 moves each value to its bin's lower edge (both
// on the values that are there). NaN when either sample is empty.
double binned_distance(Span<const double> edges, Span<const double> reference,
                       Span<const double> weak, const std::string& method, bool quantile,
                       double low, double high, double reference_missing = 0.0,
                       double weak_missing = 0.0);

}  // namespace movra::core
