#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/order.hpp"

using namespace movra::core;

namespace {
Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TEST(LargestFirst, DescendingNanLastTiesInOrderCut) {
    const std::vector<double> values{0.5, kNaN, 2.0, 0.5, 3.0, kNaN, -1.0};
    EXPECT_EQ(largest_first(view(values), 10), (std::vector<std::size_t>{4, 2, 0, 3, 6, 1, 5}));
    EXPECT_EQ(largest_first(view(values), 3), (std::vector<std::size_t>{4, 2, 0}));
    EXPECT_TRUE(largest_first(view(std::vector<double>{}), 10).empty());
    // Without a limit: every position, equal values (2.0 twice) in their order.
    const std::vector<double> gaps{0.5, kNaN, 2.0, 0.5, -1.0, kNaN, 2.0};
    EXPECT_EQ(largest_first(view(gaps)), (std::vector<std::size_t>{2, 6, 0, 3, 4, 1, 5}));
}
