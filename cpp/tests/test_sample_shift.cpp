#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/distances.hpp"
#include "core/sample_shift.hpp"

using namespace movra::core;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double psi(std::vector<double> e, std::vector<double> a) {
    return population_stability({e.data(), e.size()}, {a.data(), a.size()});
}
}  // namespace

TEST(WeakSamplePsi, CountsEachColumnInTheReferencesBuckets) {
    // Column 0 numerical over 0..9 with a missing value, column 1 categorical codes, column 2
    // constant. The split is rows 0..9; the weak rows are split positions 7, 8, 9 (9 twice).
    std::vector<double> x;
    for (int r = 0; r < 10; ++r) {
        x.push_back(r == 3 ? kNaN : r);
        x.push_back(r < 7 ? r % 2 : 2);
        x.push_back(5.0);
    }
    const std::vector<std::int64_t> split{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<std::int64_t> weak{7, 8, 9, 9};
    const RowMajor m{x.data(), 10, 3};
    const std::vector<double> got = weak_sample_psi(
        m, {split.data(), split.size()}, {weak.data(), weak.size()}, {false, true, false}, false);
    // Reference values 0, 1, 2, 4, 5, 6 (and one missing) over [0, 6]: edges 0, 0.6, ..., 6;
    // the weak values 7, 8, 9, 9 lie beyond the range, in the last bucket.
    const std::vector<double> ref0{1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 1};
    const std::vector<double> weak0{0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    EXPECT_DOUBLE_EQ(got[0], psi(ref0, weak0));
    EXPECT_DOUBLE_EQ(got[1], psi({4, 3, 0, 0}, {0, 0, 4, 0}));
    EXPECT_DOUBLE_EQ(got[2], 0.0);  // one bucket, no missing values: no shift

    // The full reference is every row of the split.
    const std::vector<double> full = weak_sample_psi(
        m, {split.data(), split.size()}, {weak.data(), weak.size()}, {false, true, false}, true);
    EXPECT_DOUBLE_EQ(full[1], psi({4, 3, 3, 0}, {0, 0, 4, 0}));

    // No weak rows: NaN; a position outside its array: out_of_range.
    EXPECT_TRUE(std::isnan(
        weak_sample_psi(m, {split.data(), split.size()}, {}, {false, true, false}, false)[0]));
    const std::vector<std::int64_t> outside{10};
    EXPECT_THROW(weak_sample_psi(m, {split.data(), split.size()}, {outside.data(), 1},
                                 {false, true, false}, false),
                 std::out_of_range);
}
