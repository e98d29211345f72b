#include "core/intervals.hpp"

#include <algorithm>

namespace movra::core {

std::vector<BinInterval> merge_touching_intervals(std::vector<BinInterval> intervals) {
    std::stable_sort(intervals.begin(), intervals.end(),
                     [](const BinInterval& a, const BinInterval& b) { return a.lb < b.lb; });
    std::vector<BinInterval> merged;
    for (const BinInterval& next : intervals) {
        if (!merged.empty() && next.lb <= merged.back().ub) {
            BinInterval& last = merged.back();
            if (next.ub > last.ub) last.ub = next.ub;
            last.first_bin = std::min(last.first_bin, next.first_bin);
            last.last_bin = std::max(last.last_bin, next.last_bin);
        } else {
            merged.push_back(next);
        }
    }
    return merged;
}

}  // namespace movra::core
