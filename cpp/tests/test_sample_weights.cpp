#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/binary_labels.hpp"
#include "core/sample_weights.hpp"

namespace {

using movra::core::Span;
using movra::core::WeightSelection;
using movra::core::WeightStatus;

struct Cleaned {
    WeightSelection selection;
    std::vector<std::int64_t> rows;
    std::vector<double> weights;
};

// Selection, then the rescaling by the plain sum of the kept weights.
Cleaned clean(const std::vector<double>& w) {
    Cleaned c;
    c.rows.assign(w.size(), -1);
    c.weights.assign(w.size(), -1.0);
    c.selection = movra::core::select_positive_weights(
        {w.data(), w.size()}, {c.rows.data(), c.rows.size()}, {c.weights.data(), c.weights.size()});
    if (c.selection.status != WeightStatus::ok) return c;
    c.rows.resize(c.selection.n_kept);
    c.weights.resize(c.selection.n_kept);
    double total = 0.0;
    for (double v : c.weights) total += v;
    c.selection.status =
        movra::core::rescale_to_row_count({c.weights.data(), c.weights.size()}, total);
    return c;
}

TEST(SampleWeights, DropsNonPositiveRowsAndRescalesToRowCount) {
    Cleaned c = clean({0.0, 2.0, 2.0});
    ASSERT_EQ(c.selection.status, WeightStatus::ok);
    EXPECT_EQ(c.rows, (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(c.weights, (std::vector<double>{1.0, 1.0}));

    c = clean({-1.0, 3.0, 0.0, 1.0});
    ASSERT_EQ(c.selection.status, WeightStatus::ok);
    EXPECT_EQ(c.rows, (std::vector<std::int64_t>{1, 3}));
    EXPECT_EQ(c.weights, (std::vector<double>{1.5, 0.5}));
}

TEST(SampleWeights, UnitWeightsStayExactlyOne) {
    for (std::size_t n : {1u, 3u, 7u, 8u, 129u, 1000u}) {
        Cleaned c = clean(std::vector<double>(n, 1.0));
        ASSERT_EQ(c.selection.status, WeightStatus::ok);
        ASSERT_EQ(c.selection.n_kept, n);
        for (double w : c.weights) EXPECT_EQ(w, 1.0);
    }
}

TEST(SampleWeights, RescalingIsProductThenQuotientWithTheGivenTotal) {
    std::vector<double> w{0.1, 0.7, 1e-3, 5.5, 2.0 / 3.0};
    const std::vector<double> original = w;
    const double total = 7.0;  // any total: the caller's sum is taken as given
    ASSERT_EQ(movra::core::rescale_to_row_count({w.data(), w.size()}, total), WeightStatus::ok);
    for (std::size_t k = 0; k < w.size(); ++k) EXPECT_EQ(w[k], 5.0 * original[k] / total);
}

TEST(SampleWeights, RefusesNonFiniteWeightsAndTotals) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(clean({1.0, nan, 2.0}).selection.status, WeightStatus::non_finite);
    EXPECT_EQ(clean({1.0, inf}).selection.status, WeightStatus::non_finite);
    EXPECT_EQ(clean({-inf, 1.0}).selection.status, WeightStatus::non_finite);
    // Finite weights whose sum overflows cannot be rescaled either; they stay as they were.
    const double big = std::numeric_limits<double>::max();
    EXPECT_EQ(clean({big, big}).selection.status, WeightStatus::no_positive_weight);
    std::vector<double> w{1.0, 2.0};
    for (double total : {inf, nan, 0.0, -1.0})
        EXPECT_EQ(movra::core::rescale_to_row_count({w.data(), w.size()}, total),
                  WeightStatus::no_positive_weight);
    EXPECT_EQ(w, (std::vector<double>{1.0, 2.0}));
}

TEST(SampleWeights, NoPositiveWeight) {
    EXPECT_EQ(clean({0.0, 0.0}).selection.status, WeightStatus::no_positive_weight);
    EXPECT_EQ(clean({-1.0, 0.0, -2.0}).selection.status, WeightStatus::no_positive_weight);
    EXPECT_EQ(clean({}).selection.status, WeightStatus::no_positive_weight);
}

TEST(BinaryLabels, StrictThresholdAndNaN) {
    const std::vector<double> p{0.0, 0.5, 0.5000001, 1.0, std::nan("")};
    std::vector<std::int64_t> out(p.size(), -1);
    movra::core::positive_class_indices({p.data(), p.size()}, 0.5, {out.data(), out.size()});
    EXPECT_EQ(out, (std::vector<std::int64_t>{0, 0, 1, 1, 0}));
}

TEST(BinaryLabels, ClippedLogOdds) {
    const std::vector<double> p{0.0, 0.5, 0.75, 1.0, std::nan("")};
    std::vector<double> out(p.size());
    movra::core::clipped_log_odds({p.data(), p.size()}, 1e-7, 0.9999999, {out.data(), out.size()});
    EXPECT_DOUBLE_EQ(out[0], std::log(1e-7 / (1.0 - 1e-7)));
    EXPECT_EQ(out[1], 0.0);
    EXPECT_DOUBLE_EQ(out[2], std::log(3.0));
    EXPECT_NEAR(out[3], 16.118, 1e-3);
    EXPECT_NEAR(out[3], -out[0], 1e-8);  // symmetric up to the rounding of 1 - p
    EXPECT_TRUE(std::isnan(out[4]));
}

}  // namespace
