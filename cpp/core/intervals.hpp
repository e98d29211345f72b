// Merging of intervals on one feature: overlapping or touching intervals become one.
#pragma once

#include <cstddef>
#include <vector>

namespace movra::core {

// [lb, ub] of a run of histogram bins first_bin .. last_bin.
struct BinInterval {
    double lb = 0.0;
    double ub = 0.0;
    std::size_t first_bin = 0;
    std::size_t last_bin = 0;
};

// Sorts by lower bound (stable: equal lower bounds keep their order), then joins every interval
// whose lower bound is at or below the upper bound of the interval before it.
std::vector<BinInterval> merge_touching_intervals(std::vector<BinInterval> intervals);

}  // namespace movra::core
