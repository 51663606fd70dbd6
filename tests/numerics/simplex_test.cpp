// PerturbPair: the two compositions around x that a difference quotient along
// e_i - e_j takes.  Expected pairs worked by hand: centred where both
// fractions allow it, off centre next to a small fraction, and paid for by
// the largest fraction when the pair is empty.
#include "numerics/simplex.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

namespace {

using X = std::array<double, 3>;

// Every pair differs by exactly h (e_i - e_j), stays in [0, 1] and keeps the
// sum of the base composition.
void ExpectValidPair(const X& x, const X& p, const X& m, int i, int j, double h) {
    const double sum = std::accumulate(x.begin(), x.end(), 0.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), sum, 1e-15);
    EXPECT_NEAR(std::accumulate(m.begin(), m.end(), 0.0), sum, 1e-15);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(p[k] - m[k], (k == i - 1 ? h : 0.0) - (k == j - 1 ? h : 0.0), 1e-15) << "component " << k;
        EXPECT_TRUE(p[k] >= 0.0 && p[k] <= 1.0 && m[k] >= 0.0 && m[k] <= 1.0) << "component " << k;
    }
}

TEST(PerturbPair, PairsAlongEiMinusEjStayOnTheSimplex) {
    struct Case { X x; double h; X p, m; } const cases[] = {  // all with i = 1, j = 3
        {{0.2, 0.3, 0.5}, 1e-3, {0.2005, 0.3, 0.4995}, {0.1995, 0.3, 0.5005}},  // centred
        {{0.6, 0.4, 0.0}, 1e-3, {0.6, 0.4, 0.0}, {0.599, 0.4, 0.001}},          // x_j = 0: xp_i = x_i + x_j / 2
        {{0.0, 0.4, 0.6}, 1e-3, {1e-3, 0.4, 0.599}, {0.0, 0.4, 0.6}},           // x_i = 0: xm_i = x_i / 2
        {{0.0, 1.0, 0.0}, 1e-6, {1e-6, 1 - 1e-6, 0.0}, {0.0, 1 - 1e-6, 1e-6}},  // empty pair: x_2 pays
    };
    for (const Case& c : cases) {
        X p{}, m{};
        ternival::PerturbPair(3, c.h, 1, 3, c.x, p, m);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(p[k], c.p[k], 1e-15) << c.x[0] << " " << c.x[1] << ", component " << k;
            EXPECT_NEAR(m[k], c.m[k], 1e-15) << c.x[0] << " " << c.x[1] << ", component " << k;
        }
        ExpectValidPair(c.x, p, m, 1, 3, c.h);
    }
    // At a pure component every pair not involving it is empty.
    for (int pure = 0; pure < 3; ++pure) {
        X x{}, p{}, m{};
        x[pure] = 1.0;
        for (int i = 1; i <= 2; ++i) {
            ternival::PerturbPair(3, 1e-6, i, 3, x, p, m);
            ExpectValidPair(x, p, m, i, 3, 1e-6);
        }
    }
}

}  // namespace
