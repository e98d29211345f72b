#include "core/numeric_checks.hpp"

#include <cmath>

namespace movra::core {

std::size_t first_non_finite(Span<const double> values) {
    for (std::size_t i = 0; i < values.size; ++i)
        if (!std::isfinite(values[i])) return i;
    return values.size;
}

}  // namespace movra::core
