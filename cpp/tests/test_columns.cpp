#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/columns.hpp"

using movra::core::extract_columns;
using movra::core::RowMajor;
using movra::core::value_range;

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
