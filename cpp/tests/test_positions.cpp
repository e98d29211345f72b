#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/positions.hpp"

using namespace movra::core;

TEST(Positions, OutsideFoundAndNegativesCountedFromTheEnd) {
    std::vector<std::int64_t> p(3000, 5);
    EXPECT_EQ(first_position_outside({p.data(), p.size()}, 6), p.size());
    p[2500] = -1;
    EXPECT_EQ(first_position_outside({p.data(), p.size()}, 6), 2500u);
    p[1200] = 6;
    EXPECT_EQ(first_position_outside({p.data(), p.size()}, 6), 1200u);
    std::vector<std::int64_t> out(3);
    const std::vector<std::int64_t> in{-1, 0, -6};
    EXPECT_EQ(normalize_positions({in.data(), 3}, 6, {out.data(), 3}), 3u);
    EXPECT_EQ(out, (std::vector<std::int64_t>{5, 0, 0}));
    const std::vector<std::int64_t> bad{2, -7, 1};
    EXPECT_EQ(normalize_positions({bad.data(), 3}, 6, {out.data(), 3}), 1u);
}

TEST(Positions, OfAMask) {
    const std::vector<std::uint8_t> mask{0, 1, 1, 0, 2};
    EXPECT_EQ(mask_positions({mask.data(), mask.size()}), (std::vector<std::int64_t>{1, 2, 4}));
    EXPECT_TRUE(mask_positions({}).empty());
}
