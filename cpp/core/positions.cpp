#include "core/positions.hpp"

namespace movra::core {

std::size_t first_position_outside(Span<const std::int64_t> positions, std::size_t n) {
    // One unsigned comparison per position (a negative one wraps to a huge value), branch-free
    // over blocks so the common case of valid positions runs at memory speed.
    constexpr std::size_t kBlock = 1024;
    for (std::size_t start = 0; start < positions.size; start += kBlock) {
        const std::size_t end = start + kBlock < positions.size ? start + kBlock : positions.size;
        bool outside = false;
        for (std::size_t i = start; i < end; ++i)
            outside |= static_cast<std::uint64_t>(positions[i]) >= n;
        if (outside)
            for (std::size_t i = start; i < end; ++i)
                if (static_cast<std::uint64_t>(positions[i]) >= n) return i;
    }
    return positions.size;
}

std::size_t normalize_positions(Span<const std::int64_t> positions, std::size_t n,
                                Span<std::int64_t> out) {
    const auto rows = static_cast<std::int64_t>(n);
    for (std::size_t i = 0; i < positions.size; ++i) {
        const std::int64_t p = positions[i] < 0 ? positions[i] + rows : positions[i];
        if (p < 0 || p >= rows) return i;
        out[i] = p;
    }
    return positions.size;
}

std::vector<std::int64_t> mask_positions(Span<const std::uint8_t> mask) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < mask.size; ++i) count += mask[i] != 0;
    std::vector<std::int64_t> rows;
    rows.reserve(count);
    for (std::size_t i = 0; i < mask.size; ++i)
        if (mask[i] != 0) rows.push_back(static_cast<std::int64_t>(i));
    return rows;
}

}  // namespace movra::core
