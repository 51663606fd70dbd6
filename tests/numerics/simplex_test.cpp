#include "numerics/simplex.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

namespace {

using ternival::PerturbPair;

struct Pair {
    std::array<double, 3> p{}, m{};
};

Pair perturb(std::array<double, 3> x, std::int64_t i, std::int64_t j, double h = 1e-6) {
    Pair r;
    PerturbPair(3, h, i, j, x, r.p, r.m);
    return r;
}

// Every pair must differ by exactly h (e_i - e_j), stay in [0, 1] and keep
// the sum of the base composition.
void expectValidPair(const std::array<double, 3>& x, const Pair& r, int i, int j, double h) {
    const double sx = std::accumulate(x.begin(), x.end(), 0.0);
    EXPECT_NEAR(std::accumulate(r.p.begin(), r.p.end(), 0.0), sx, 1e-15);
    EXPECT_NEAR(std::accumulate(r.m.begin(), r.m.end(), 0.0), sx, 1e-15);
    for (int k = 0; k < 3; ++k) {
        const double expected = (k == i - 1 ? h : 0.0) - (k == j - 1 ? h : 0.0);
        EXPECT_NEAR(r.p[k] - r.m[k], expected, 1e-15) << "component " << k;
        EXPECT_GE(r.p[k], 0.0);
        EXPECT_LE(r.p[k], 1.0);
        EXPECT_GE(r.m[k], 0.0);
        EXPECT_LE(r.m[k], 1.0);
    }
}

TEST(PerturbPair, CentredInsideTheSimplex) {
    const std::array<double, 3> x{0.2, 0.3, 0.5};
    const auto r = perturb(x, 1, 3, 1e-3);
    EXPECT_DOUBLE_EQ(r.p[0], 0.2005);
    EXPECT_DOUBLE_EQ(r.m[0], 0.1995);
    EXPECT_DOUBLE_EQ(r.p[2], 0.4995);
    EXPECT_DOUBLE_EQ(r.m[2], 0.5005);
    EXPECT_DOUBLE_EQ(r.p[1], 0.3);
    expectValidPair(x, r, 1, 3, 1e-3);
}

TEST(PerturbPair, OffCentreWhenTheCompensatingFractionIsSmall) {
    // x_j = 0: xp_i = x_i + x_j/2, xm_i = xp_i - h.
    const std::array<double, 3> x{0.6, 0.4, 0.0};
    const auto r = perturb(x, 1, 3, 1e-3);
    EXPECT_DOUBLE_EQ(r.p[0], 0.6);
    EXPECT_DOUBLE_EQ(r.m[0], 0.599);
    EXPECT_DOUBLE_EQ(r.p[2], 0.0);
    expectValidPair(x, r, 1, 3, 1e-3);
}

TEST(PerturbPair, OffCentreWhenThePerturbedFractionIsSmall) {
    const std::array<double, 3> x{0.0, 0.4, 0.6};
    const auto r = perturb(x, 1, 3, 1e-3);
    EXPECT_DOUBLE_EQ(r.m[0], 0.0);
    EXPECT_DOUBLE_EQ(r.p[0], 1e-3);
    expectValidPair(x, r, 1, 3, 1e-3);
}

TEST(PerturbPair, LargestFractionCompensatesWhenThePairIsEmpty) {
    // At a pure component every pair not involving it is empty.
    const std::array<double, 3> x{0.0, 1.0, 0.0};
    const auto r = perturb(x, 1, 3);
    EXPECT_DOUBLE_EQ(r.p[0], 1e-6);
    EXPECT_DOUBLE_EQ(r.m[2], 1e-6);
    EXPECT_DOUBLE_EQ(r.p[1], 1.0 - 1e-6);
    EXPECT_DOUBLE_EQ(r.m[1], 1.0 - 1e-6);
    expectValidPair(x, r, 1, 3, 1e-6);
}

TEST(PerturbPair, EveryPairAtEveryPureComponentStaysOnTheSimplex) {
    for (int pure = 0; pure < 3; ++pure) {
        std::array<double, 3> x{};
        x[pure] = 1.0;
        for (int k = 1; k <= 2; ++k) expectValidPair(x, perturb(x, k, 3), k, 3, 1e-6);
    }
}

}  // namespace
