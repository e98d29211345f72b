#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/numeric_checks.hpp"

using movra::core::first_non_finite;
using movra::core::Span;

TEST(FirstNonFinite, AllFiniteGivesSize) {
    std::vector<double> v{1.0, -2.0, 0.0, 1e308};
    EXPECT_EQ(first_non_finite(Span<const double>{v.data(), v.size()}), v.size());
}

TEST(FirstNonFinite, FindsNaNAndInfinities) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> a{1.0, nan, inf};
    std::vector<double> b{1.0, 2.0, -inf};
    EXPECT_EQ(first_non_finite(Span<const double>{a.data(), a.size()}), 1u);
    EXPECT_EQ(first_non_finite(Span<const double>{b.data(), b.size()}), 2u);
}

TEST(FirstNonFinite, EmptySpan) { EXPECT_EQ(first_non_finite(Span<const double>{}), 0u); }
