// Checks of numeric input that every kernel's caller needs before it hands arrays to a kernel.
#pragma once

#include <cstddef>

#include "core/span.hpp"

namespace movra::core {

// Position of the first NaN or infinite value, or values.size when all are finite.
std::size_t first_non_finite(Span<const double> values);

}  // namespace movra::core
