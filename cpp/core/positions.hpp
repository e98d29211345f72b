// Row positions as users give them (negative ones counted from the end), checked and normalised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

// The index of the first position outside 0..n-1, or positions.size when there is none.
std::size_t first_position_outside(Span<const std::int64_t> positions, std::size_t n);

// out[i] = positions[i], a negative one counted from the end (+ n); returns the index of the
// first position outside -n..n-1 (out is then incomplete), or positions.size.
std::size_t normalize_positions(Span<const std::int64_t> positions, std::size_t n,
                                Span<std::int64_t> out);

// The positions of the non-zero entries of a mask, in increasing order.
std::vector<std::int64_t> mask_positions(Span<const std::uint8_t> mask);

}  // namespace movra::core
