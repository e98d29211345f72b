#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/weak_sample.hpp"

using namespace movra::core;

namespace {
template <typename T>
Span<const T> view(const std::vector<T>& v) {
    return {v.data(), v.size()};
}
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TEST(ComplementPositions, SkipsTakenOnesEvenRepeated) {
    const std::vector<std::int64_t> taken{4, 1, 4, 0};
    EXPECT_EQ(complement_positions(view(taken), 6), (std::vector<std::int64_t>{2, 3, 5}));
    EXPECT_EQ(complement_positions(view(std::vector<std::int64_t>{}), 3),
              (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(complement_positions(view(taken), 5), (std::vector<std::int64_t>{2, 3}));
    EXPECT_THROW(complement_positions(view(std::vector<std::int64_t>{3}), 3), std::out_of_range);
    EXPECT_THROW(complement_positions(view(std::vector<std::int64_t>{-1}), 3), std::out_of_range);
}

TEST(GatherRows, ThroughTheSplitByRowOrByFeature) {
    // 4 rows by 2 columns: row r holds (10 r, 10 r + 1).
    const std::vector<double> x{0, 1, 10, 11, 20, 21, 30, 31};
    const std::vector<std::int64_t> split{3, 1, 2};
    const std::vector<std::int64_t> picked{2, 0, 2};
    std::vector<double> rows(6);
    gather_rows(x.data(), 4, 2, view(split), view(picked), false, {rows.data(), rows.size()});
    EXPECT_EQ(rows, (std::vector<double>{20, 21, 30, 31, 20, 21}));
    std::vector<double> features(6);
    gather_rows(x.data(), 4, 2, view(split), view(picked), true,
                {features.data(), features.size()});
    EXPECT_EQ(features, (std::vector<double>{20, 30, 20, 21, 31, 21}));
}

TEST(GatherRows, RefusesPositionsOutsideAndWrongOutput) {
    const std::vector<double> x{0, 1, 10, 11};
    std::vector<double> out(2);
    const Span<double> o{out.data(), out.size()};
    const std::vector<std::int64_t> split{0, 5};
    EXPECT_THROW(
        gather_rows(x.data(), 2, 2, view(split), view(std::vector<std::int64_t>{1}), false, o),
        std::out_of_range);
    EXPECT_THROW(
        gather_rows(x.data(), 2, 2, view(split), view(std::vector<std::int64_t>{2}), false, o),
        std::out_of_range);
    EXPECT_THROW(
        gather_rows(x.data(), 2, 2, view(split), view(std::vector<std::int64_t>{0, 0}), false, o),
        std::out_of_range);
}

TEST(RoundDecimals, AsNumpyRounds) {
    EXPECT_DOUBLE_EQ(round_decimals(0.123456, 4), 0.1235);
    EXPECT_DOUBLE_EQ(round_decimals(-2.71828, 4), -2.7183);
    // Exact halves go to the even neighbour.
    EXPECT_DOUBLE_EQ(round_decimals(0.5, 0), 0.0);
    EXPECT_DOUBLE_EQ(round_decimals(1.5, 0), 2.0);
    EXPECT_DOUBLE_EQ(round_decimals(0.00125, 4), std::nearbyint(0.00125 * 1e4) / 1e4);
    EXPECT_TRUE(std::isnan(round_decimals(kNaN, 4)));
    EXPECT_TRUE(std::isinf(round_decimals(std::numeric_limits<double>::infinity(), 4)));
}
