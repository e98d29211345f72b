#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/purify.hpp"

using namespace movra::core;

namespace {

template <typename T>
Span<T> sp(std::vector<T>& v) {
    return {v.data(), v.size()};
}
template <typename T>
Span<const T> csp(const std::vector<T>& v) {
    return {v.data(), v.size()};
}

std::vector<double> random_values(std::size_t n, std::mt19937_64& rng, double lo, double hi) {
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng);
    return v;
}

}  // namespace

TEST(PurifyPairProduct, OneSweepCentresBothAxesAndKeepsTheFunction) {
    std::mt19937_64 rng(11);
    const std::size_t na = 5, nb = 7;
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<double> f = random_values(na * nb, rng, -3, 3);
        const std::vector<double> original = f;
        std::vector<double> pa = random_values(na, rng, 0, 1), pb = random_values(nb, rng, 0, 1);
        pa[0] = 0.0;  // a cell without mass
        std::vector<double> to_a(na), to_b(nb);
        purify_pair_product(sp(f), na, nb, csp(pa), csp(pb), sp(to_a), sp(to_b));
        for (std::size_t i = 0; i < na; ++i) {
            double m = 0, w = 0;
            for (std::size_t k = 0; k < nb; ++k) m += pb[k] * f[i * nb + k], w += pb[k];
            EXPECT_NEAR(m / w, 0.0, 1e-13);
        }
        for (std::size_t k = 0; k < nb; ++k) {
            double m = 0, w = 0;
            for (std::size_t i = 0; i < na; ++i) m += pa[i] * f[i * nb + k], w += pa[i];
            EXPECT_NEAR(m / w, 0.0, 1e-13);
        }
        for (std::size_t i = 0; i < na; ++i)
            for (std::size_t k = 0; k < nb; ++k)
                EXPECT_NEAR(f[i * nb + k] + to_a[i] + to_b[k], original[i * nb + k], 1e-13);
    }
}

TEST(PurifyPairProduct, AdditiveFunctionLeavesNothing) {
    const std::size_t na = 3, nb = 4;
    std::vector<double> f(na * nb);
    for (std::size_t i = 0; i < na; ++i)
        for (std::size_t k = 0; k < nb; ++k)
            f[i * nb + k] = 2.0 * static_cast<double>(i) - static_cast<double>(k * k);
    std::vector<double> pa{1, 2, 3}, pb{4, 0, 1, 1}, to_a(na), to_b(nb);
    purify_pair_product(sp(f), na, nb, csp(pa), csp(pb), sp(to_a), sp(to_b));
    for (double v : f) EXPECT_NEAR(v, 0.0, 1e-14);
}

TEST(PurifyPairJoint, ConvergesToZeroConditionalMeans) {
    std::mt19937_64 rng(5);
    const std::size_t na = 6, nb = 4;
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<double> f = random_values(na * nb, rng, -1, 1);
        const std::vector<double> original = f;
        std::vector<double> joint = random_values(na * nb, rng, 0, 1);
        for (std::size_t k = 0; k < nb; ++k) joint[2 * nb + k] = 0.0;  // an empty row
        joint[1] = 0.0;
        std::vector<double> to_a(na), to_b(nb);
        const PurifyReport rep =
            purify_pair_joint(sp(f), na, nb, csp(joint), sp(to_a), sp(to_b), 1e-14, 10000);
        ASSERT_TRUE(rep.converged);
        EXPECT_GE(rep.iterations, 1u);
        for (std::size_t i = 0; i < na; ++i) {
            double m = 0, w = 0;
            for (std::size_t k = 0; k < nb; ++k)
                m += joint[i * nb + k] * f[i * nb + k], w += joint[i * nb + k];
            if (w > 0) {
                EXPECT_NEAR(m / w, 0.0, 1e-12);
            }
        }
        for (std::size_t k = 0; k < nb; ++k) {
            double m = 0, w = 0;
            for (std::size_t i = 0; i < na; ++i)
                m += joint[i * nb + k] * f[i * nb + k], w += joint[i * nb + k];
            EXPECT_NEAR(m / w, 0.0, 1e-12);
        }
        EXPECT_EQ(to_a[2], 0.0);  // nothing moves out of a row without mass
        for (std::size_t i = 0; i < na; ++i)
            for (std::size_t k = 0; k < nb; ++k)
                EXPECT_NEAR(f[i * nb + k] + to_a[i] + to_b[k], original[i * nb + k], 1e-12);
    }
}

TEST(PurifyPairJoint, ProductDensityNeedsOneSweepAndReportsNonConvergence) {
    const std::size_t na = 3, nb = 3;
    std::vector<double> pa{0.2, 0.3, 0.5}, pb{0.6, 0.1, 0.3}, joint(na * nb);
    for (std::size_t i = 0; i < na; ++i)
        for (std::size_t k = 0; k < nb; ++k) joint[i * nb + k] = pa[i] * pb[k];
    std::vector<double> f{1, -2, 3, 0.5, 4, -1, 2, 2, -3}, g = f, to_a(na), to_b(nb);
    PurifyReport rep = purify_pair_joint(sp(f), na, nb, csp(joint), sp(to_a), sp(to_b), 1e-13, 100);
    EXPECT_TRUE(rep.converged);
    EXPECT_LE(rep.iterations, 2u);
    // Strongly dependent density: one sweep is not enough.
    std::vector<double> diag{10, 1, 0.01, 1, 10, 1, 0.01, 1, 10};
    rep = purify_pair_joint(sp(g), na, nb, csp(diag), sp(to_a), sp(to_b), 1e-15, 1);
    EXPECT_FALSE(rep.converged);
    EXPECT_GT(rep.residual, 0.0);
}

TEST(CenterLevels, RemovesTheWeightedMean) {
    std::vector<double> v{1, 2, 6}, p{1, 1, 2};
    EXPECT_DOUBLE_EQ(center_levels(sp(v), csp(p)), 3.75);
    EXPECT_DOUBLE_EQ(v[0] * 1 + v[1] * 1 + v[2] * 2, 0.0);
}
