#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/columns.hpp"
#include "core/simd.hpp"

using movra::core::extract_columns;
using movra::core::extract_columns_with;
using movra::core::RowMajor;
using movra::core::simd_paths;
using movra::core::value_range;
using movra::core::ValueRange;

namespace {

// Equal as bits: a zero's sign counts, every NaN is alike.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(ExtractColumns, CopiesAndRangesEqualThePlainLoops) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    for (std::size_t rows : {1u, 2u, 7u, 1000u}) {
        for (std::size_t width : {1u, 3u, 10u}) {
            std::vector<double> m(rows * width);
            for (double& v : m) v = normal(rng);
            if (rows > 3) m[3 * width + width - 1] = std::nan("");  // a NaN in the last column
            std::vector<std::size_t> cols{width - 1, 0};
            std::vector<double> a(rows), b(rows);
            double* outs[] = {a.data(), b.data()};
            const auto ranges =
                extract_columns(RowMajor{m.data(), rows, width}, {cols.data(), 2}, outs);
            for (std::size_t j = 0; j < 2; ++j) {
                std::vector<double> plain(rows);
                for (std::size_t i = 0; i < rows; ++i) plain[i] = m[i * width + cols[j]];
                for (std::size_t i = 0; i < rows; ++i) {
                    const double got = outs[j][i];
                    EXPECT_TRUE(got == plain[i] || (std::isnan(got) && std::isnan(plain[i])));
                }
                const auto want = value_range({plain.data(), rows});
                EXPECT_EQ(std::isnan(ranges[j].min), std::isnan(want.min));
                if (!std::isnan(want.min)) {
                    EXPECT_EQ(ranges[j].min, want.min);
                    EXPECT_EQ(ranges[j].max, want.max);
                }
            }
        }
    }
}

// Every vector path copies the same values and finds value_range's bounds bit for bit, whatever
// the number of rows around the vector widths, the columns taken (one, two, adjacent or not,
// more than two), NaN in one column only, and zeros of both signs at the bounds.
TEST(ExtractColumns, EveryPathEqualsValueRangeBitForBit) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 9);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t rows = 1 + static_cast<std::size_t>(rng() % 40);
        const std::size_t width = 1 + static_cast<std::size_t>(rng() % 6);
        const int kind = trial % 4;  // plain, non-negative with zeros, NaN in one column, constant
        std::vector<double> m(rows * width);
        for (double& v : m) {
            v = normal(rng);
            if (kind == 1) v = pick(rng) < 3 ? (pick(rng) < 5 ? 0.0 : -0.0) : std::fabs(v);
            if (kind == 3) v = pick(rng) < 5 ? 0.0 : -0.0;
        }
        if (kind == 2) m[(rng() % rows) * width + rng() % width] = std::nan("");
        const std::size_t k = 1 + static_cast<std::size_t>(rng() % 3);
        std::vector<std::size_t> cols(k);
        for (std::size_t& c : cols) c = static_cast<std::size_t>(rng() % width);
        if (k == 2 && width > 1 && trial % 3 == 0) cols = {0, 1};
        std::vector<std::vector<double>> want(k, std::vector<double>(rows));
        std::vector<ValueRange> want_range(k);
        for (std::size_t j = 0; j < k; ++j) {
            for (std::size_t i = 0; i < rows; ++i) want[j][i] = m[i * width + cols[j]];
            want_range[j] = value_range({want[j].data(), rows});
        }
        for (const char* path : simd_paths()) {
            std::vector<std::vector<double>> got(k, std::vector<double>(rows));
            std::vector<double*> outs;
            for (auto& g : got) outs.push_back(g.data());
            const auto ranges = extract_columns_with(path, RowMajor{m.data(), rows, width},
                                                     {cols.data(), k}, outs.data());
            for (std::size_t j = 0; j < k; ++j) {
                for (std::size_t i = 0; i < rows; ++i)
                    EXPECT_TRUE(same(got[j][i], want[j][i])) << path << " row " << i;
                EXPECT_TRUE(same(ranges[j].min, want_range[j].min))
                    << path << " trial " << trial << " column " << j;
                EXPECT_TRUE(same(ranges[j].max, want_range[j].max))
                    << path << " trial " << trial << " column " << j;
            }
        }
    }
}

TEST(NonFiniteColumns, FlagsNanAndInfinitiesOnTheGivenRowsOnly) {
    const double inf = std::numeric_limits<double>::infinity();
    // 4 rows x 3 columns; row 2 holds a NaN (column 0) and an infinity (column 2)
    const std::vector<double> m{1, 2, 3, 4, 5, 6, std::nan(""), 8, -inf, 10, 11, 12};
    const std::vector<std::size_t> cols{0, 1, 2};
    const std::vector<std::int64_t> all{0, 1, 2, 3}, without{3, 0, 1};
    const RowMajor view{m.data(), 4, 3};
    EXPECT_EQ(movra::core::non_finite_columns(view, {all.data(), 4}, {cols.data(), 3}),
              (std::vector<bool>{true, false, true}));
    EXPECT_EQ(movra::core::non_finite_columns(view, {without.data(), 3}, {cols.data(), 3}),
              (std::vector<bool>{false, false, false}));
}
