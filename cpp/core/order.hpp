// Orders of values that the diagnoser reports: regions by gap, features by distance.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// Positions of the at most `k` largest values, largest first. NaN (a region without rows, a
// distance to an empty sample) ranks after every number; equal values keep their order.
std::vector<std::size_t> largest_first(Span<const double> values,
                                       std::size_t k = std::numeric_limits<std::size_t>::max());

}  // namespace movra::core
