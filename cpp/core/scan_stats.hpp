// How bad a weak region is, and how sure: measured on the rows the search did not use.
#pragma once

#include <cstddef>
#include <vector>

#include "core/region_stats.hpp"
#include "core/span.hpp"

namespace movra::core {

// A weighted sample's mean and the variance of that mean, weights taken as frequency-like
// reliability weights: effective size (sum w)^2 / sum w^2, unbiased variance (0 with an effective
// size of 1 or less; all 0 without weight).
struct Sample {
    double mean = 0.0;
    double variance_of_mean = 0.0;  // the squared standard error
    double effective_n = 0.0;
};
Sample sample_of(const RegionMoments& m, bool weighted);

// The region's share of the split's total score that it adds beyond the split's average:
// (sum over the region of w * (s - mean)) / (W * |mean|), signed so that positive is worse
// (-score_sign). For an error metric, the share of the split's error that the region's excess
// makes; for accuracy, the share of the split's accuracy it loses. 0 for an empty region or a
// split whose average is 0.
double region_severity(const RegionMoments& region, const RegionMoments& split, bool weighted,
                       double score_sign);

// A one-sided test that the region is weak on held-out rows: its average worse than `threshold`
// times the split's average. With w the region's share of the split's weight, that is the
// region's average against t' = threshold (1 - w) / (1 - threshold w) times the average of the
// rest, the two samples independent: Welch's statistic with the Welch-Satterthwaite degrees of
// freedom (effective sample sizes from the weights). `decided` holds the p-value where no
// statistic is needed (an empty or too small region, no variance, or a region too large to be
// weak): p = 1, or 0 when the region is weak without any variance.
struct WeakRegionTest {
    double statistic = 0.0;  // larger is weaker
    double dof = 0.0;
    bool decided = false;
    double p_value = 1.0;  // when decided
};
WeakRegionTest weak_region_test(const RegionMoments& region, const RegionMoments& split,
                                bool weighted, double threshold, double score_sign);

// Benjamini-Hochberg adjusted p-values (q-values), in the order of `p`; NaN p-values count as 1.
std::vector<double> benjamini_hochberg(Span<const double> p);

}  // namespace movra::core
