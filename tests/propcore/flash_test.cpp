// Flashes checked against independent conditions: the equilibrium
// relations themselves, mass balances, and the consistency between flash
// types (a dew point of a bubble-point vapour returns the liquid).
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "flash.h"
#include "problem.h"
#include "thermo.h"

using namespace propcore;

namespace {

// Benzene / toluene (ideal) and two liquids that barely mix (NRTL,
// tau = 3 both ways), with DIPPR-form vapour pressures.
constexpr const char* kProblem = R"(
missing = "ideal"
[[component]]
id = "BENZENE"
mw = 78.11
antoine = [83.107, -6486.2, 0.0, -9.2194, 6.9844e-6, 2.0]
[[component]]
id = "TOLUENE"
mw = 92.14
antoine = [76.945, -6729.8, 0.0, -8.179, 5.3017e-6, 2.0]
[[component]]
id = "WATER"
mw = 18.015
antoine = [73.649, -7258.2, 0.0, -7.3037, 4.1653e-6, 2.0]
[[method]]
name = "IDEAL"
model = "IDEAL"
[[method]]
name = "NRTL"
model = "NRTL"
[[method.pair]]
i = "BENZENE"
j = "WATER"
aij = 3.0
aji = 3.5
alpha = 0.2
[[method.pair]]
i = "TOLUENE"
j = "WATER"
aij = 3.2
aji = 3.8
alpha = 0.2
)";

struct Fixture : ::testing::Test {
    Problem p = ParseProblem(kProblem, "flash.toml");
    FlashOptions o;
    Mixture mix(const char* method, std::vector<std::size_t> members) const {
        for (const auto& m : p.methods)
            if (m.name == method) return Mixture(p, m, members);
        throw std::runtime_error("method");
    }
};

// Pressure exerted by liquid x at t: sum x_i gamma_i Psat_i.
double bubblePressure(const Mixture& m, double t, const std::vector<double>& x) {
    std::vector<double> lng(m.size());
    m.lnGamma(t, x, lng);
    double s = 0.0;
    for (std::size_t i = 0; i < m.size(); ++i) s += x[i] * std::exp(lng[i] + m.lnPsat(i, t));
    return s;
}

}  // namespace

TEST_F(Fixture, IdealBubblePointAgreesWithRaoultByBisection) {
    const Mixture m = mix("IDEAL", {0, 1});
    const std::vector<double> x{0.4, 0.6};
    const FlashResult r = FlashPV(m, 101325.0, 0.0, x, 2, o);
    ASSERT_EQ(r.status, kConverged);
    double lo = 300.0, hi = 420.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        (bubblePressure(m, mid, x) > 101325.0 ? hi : lo) = mid;
    }
    EXPECT_NEAR(r.t, lo, 1e-5);
    // Raoult: y_i = x_i Psat_i / P
    EXPECT_NEAR(r.y[0], 0.4 * std::exp(m.lnPsat(0, r.t)) / 101325.0, 1e-7);
    EXPECT_NEAR(r.y[0] + r.y[1], 1.0, 1e-12);
}

TEST_F(Fixture, DewPointOfTheBubbleVapourReturnsTheLiquid) {
    const Mixture m = mix("NRTL", {0, 2});  // homogeneous corner of the pair
    const std::vector<double> x{0.999, 0.001};
    const FlashResult b = FlashPV(m, 101325.0, 0.0, x, 2, o);
    ASSERT_EQ(b.status, kConverged);
    const FlashResult d = FlashPV(m, 101325.0, 1.0, b.y, 2, o);
    ASSERT_EQ(d.status, kConverged);
    EXPECT_NEAR(d.t, b.t, 1e-4);
    EXPECT_NEAR(d.x[0], x[0], 1e-6);
}

TEST_F(Fixture, TwoPhaseFlashClosesTheMassBalance) {
    const Mixture m = mix("IDEAL", {0, 1});
    const std::vector<double> z{0.5, 0.5};
    const double tb = FlashPV(m, 101325.0, 0.0, z, 2, o).t, td = FlashPV(m, 101325.0, 1.0, z, 2, o).t;
    ASSERT_LT(tb, td);
    const FlashResult r = FlashTP(m, 0.5 * (tb + td), 101325.0, z, 2, o);
    ASSERT_EQ(r.status, kConverged);
    ASSERT_GT(r.vf, 0.0);
    ASSERT_LT(r.vf, 1.0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(r.vf * r.y[i] + (1 - r.vf) * r.x[i], z[i], 1e-8);
        EXPECT_NEAR(r.y[i], r.x[i] * std::exp(m.lnPsat(i, r.t)) / 101325.0, 1e-6);
    }
    // Below the bubble point all liquid, above the dew point all vapour.
    EXPECT_EQ(FlashTP(m, tb - 5.0, 101325.0, z, 2, o).vf, 0.0);
    EXPECT_EQ(FlashTP(m, td + 5.0, 101325.0, z, 2, o).vf, 1.0);
}

TEST_F(Fixture, PartialVaporisationAtPressureMatchesTheIsothermalFlash) {
    const Mixture m = mix("IDEAL", {0, 1});
    const std::vector<double> z{0.3, 0.7};
    const FlashResult r = FlashPV(m, 101325.0, 0.4, z, 2, o);
    ASSERT_EQ(r.status, kConverged);
    EXPECT_NEAR(FlashTP(m, r.t, 101325.0, z, 2, o).vf, 0.4, 1e-6);
}

TEST_F(Fixture, TemperatureSpecifiedFlashesInvertThePressureOnes) {
    const Mixture m = mix("IDEAL", {0, 1});
    const std::vector<double> z{0.3, 0.7};
    const double t = 370.0;
    const FlashResult bub = FlashTV(m, t, 0.0, z, 2, o);
    EXPECT_NEAR(bub.p, bubblePressure(m, t, z), 1e-6);
    const FlashResult dew = FlashTV(m, t, 1.0, z, 2, o);
    ASSERT_EQ(dew.status, kConverged);
    EXPECT_NEAR(FlashPV(m, dew.p, 1.0, z, 2, o).t, t, 1e-4);
    const FlashResult half = FlashTV(m, t, 0.5, z, 2, o);
    EXPECT_NEAR(half.vf, 0.5, 1e-6);
    EXPECT_GT(half.p, dew.p);
    EXPECT_LT(half.p, bub.p);
}

TEST_F(Fixture, ImmiscibleLiquidsSplitWithEqualActivities) {
    const Mixture m = mix("NRTL", {0, 2});
    const std::vector<double> z{0.5, 0.5};
    std::vector<double> trial, xa, xb;
    ASSERT_TRUE(LiquidUnstable(m, 300.0, z, trial));
    double beta = 0.0;
    ASSERT_TRUE(LiquidSplit(m, 300.0, z, trial, xa, xb, beta, o));
    std::vector<double> la(2), lb(2);
    m.lnGamma(300.0, xa, la);
    m.lnGamma(300.0, xb, lb);
    for (int i = 0; i < 2; ++i) EXPECT_NEAR(std::log(xa[i]) + la[i], std::log(xb[i]) + lb[i], 1e-6);
    EXPECT_GT(std::abs(xa[0] - xb[0]), 0.9);
    // A composition inside one liquid's solubility limit is stable.
    EXPECT_FALSE(LiquidUnstable(m, 300.0, std::vector<double>{0.999, 0.001}, trial));
}

TEST_F(Fixture, HeterogeneousBubblePointIsWhereBothLiquidsBoil) {
    const Mixture m = mix("NRTL", {0, 2});
    const std::vector<double> z{0.5, 0.5};
    const FlashResult r = FlashPV(m, 101325.0, 0.0, z, 3, o);
    ASSERT_EQ(r.status, kConverged);
    ASSERT_EQ(r.liquid_phases, 2);
    // Two nearly pure liquids boil where their vapour pressures add up to P
    // (the steam-distillation temperature of benzene, about 342.4 K).
    EXPECT_NEAR(bubblePressure(m, r.t, r.x1), 101325.0, 1.0);
    EXPECT_NEAR(bubblePressure(m, r.t, r.x2), 101325.0, 1.0);
    EXPECT_NEAR(r.t, 342.4, 1.0);
    // Forced into one liquid, the unstable feed has a higher fugacity and so
    // a lower (unphysical) bubble temperature.
    EXPECT_LT(FlashPV(m, 101325.0, 0.0, z, 2, o).t, r.t - 1.0);
}

TEST_F(Fixture, ThreePhaseFlashBetweenHeteroazeotropeAndDewPoint) {
    const Mixture m = mix("NRTL", {0, 1, 2});
    const std::vector<double> z{0.2, 0.2, 0.6};
    const double tb = FlashPV(m, 101325.0, 0.0, z, 3, o).t;
    const FlashResult r = FlashTP(m, tb + 0.3, 101325.0, z, 3, o);
    ASSERT_EQ(r.status, kConverged);
    ASSERT_EQ(r.liquid_phases, 2);
    ASSERT_GT(r.vf, 0.0);
    std::vector<double> la(3), lb(3);
    m.lnGamma(r.t, r.x1, la);
    m.lnGamma(r.t, r.x2, lb);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(r.x1[i] * std::exp(la[i]), r.x2[i] * std::exp(lb[i]), 1e-5);
        EXPECT_NEAR(r.y[i] * 101325.0, r.x1[i] * std::exp(la[i] + m.lnPsat(i, r.t)), 1.0);
    }
}

// Flashes cut short by the caller's iteration limit say so: each answer
// is either "not converged" or a state that satisfies its equations,
// checked here from the model.
TEST_F(Fixture, AnIterationLimitIsReportedNotHiddenInAResult) {
    const Mixture m = mix("NRTL", {0, 1, 2});
    const std::vector<double> z{0.3, 0.3, 0.4};
    int refused = 0, answered = 0;
    for (const int limit : {1, 2, 3, 500}) {
        FlashOptions short_o;
        short_o.max_iterations = limit;
        for (const int phase : {2, 3}) {
            const FlashResult b = FlashPV(m, 101325.0, 0.0, z, phase, short_o);
            if (b.status == kNotConverged) {
                ++refused;
            } else {
                ASSERT_EQ(b.status, kConverged);
                ++answered;
                // Every liquid present boils at P.
                EXPECT_NEAR(bubblePressure(m, b.t, b.liquid_phases == 2 ? b.x1 : b.x), 101325.0, 1.0)
                    << "limit " << limit << " phase " << phase;
            }
            const FlashResult d = FlashPV(m, 101325.0, 1.0, z, phase, short_o);
            if (d.status == kNotConverged) {
                ++refused;
            } else {
                ASSERT_EQ(d.status, kConverged);
                ++answered;
                // The dew liquid is in equilibrium with the feed as vapour.
                std::vector<double> lng(3);
                const std::vector<double>& x = d.liquid_phases == 2 ? d.x1 : d.x;
                m.lnGamma(d.t, x, lng);
                for (int i = 0; i < 3; ++i)
                    EXPECT_NEAR(z[i] * 101325.0, x[i] * std::exp(lng[i] + m.lnPsat(i, d.t)), 1.0)
                        << "limit " << limit << " phase " << phase;
            }
        }
    }
    // One or two steps cannot reach these states from a cold start.
    EXPECT_GT(refused, 0);
    EXPECT_GT(answered, 0);
}

TEST_F(Fixture, BadSpecificationsAreReportedNotComputed) {
    const Mixture m = mix("IDEAL", {0, 1});
    EXPECT_EQ(FlashPV(m, 101325.0, 1.5, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashPV(m, -1.0, 0.0, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashTP(m, 350.0, 101325.0, std::vector<double>{-0.5, 1.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashTV(m, 0.0, 0.0, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
}

TEST_F(Fixture, PartialVaporisationGivesTheAskedFractionOrAnError) {
    // Benzene and water barely mix: a binary feed boils at the
    // heteroazeotrope, where the vapour fraction jumps as the temperature
    // passes one value.  A flash asked for a fraction there either returns
    // that fraction, with a state that closes the mass balance, or says
    // that it did not converge.
    const Mixture m = mix("NRTL", {0, 2});
    int answered = 0, refused = 0;
    for (const double zb : {0.2, 0.5, 0.8})
        for (const double vf : {0.05, 0.3, 0.5, 0.7, 0.95}) {
            const std::vector<double> z{zb, 1.0 - zb};
            const FlashResult r = FlashPV(m, 101325.0, vf, z, 3, o);
            if (r.status != kConverged) {
                ++refused;
                continue;
            }
            ++answered;
            EXPECT_NEAR(r.vf, vf, 1e-6) << "z " << zb << " vf " << vf;
            for (int i = 0; i < 2; ++i)
                EXPECT_NEAR(r.vf * r.y[i] + (1 - r.vf) * r.x[i], z[i], 1e-6) << "z " << zb << " vf " << vf;
        }
    EXPECT_GT(answered + refused, 0);
    RecordProperty("refused", refused);
}

namespace {

// Smallest tangent-plane distance of a liquid trial against the vapour y at
// t, p over a dense grid of the triangle (a brute-force stability test).
double leastLiquidDistance(const Mixture& m, double t, double p, const std::vector<double>& y) {
    constexpr int kGrid = 200;
    double least = 1e300;
    std::vector<double> w(3), lng(3);
    for (int a = 0; a <= kGrid; ++a)
        for (int b = 0; a + b <= kGrid; ++b) {
            w = {(a + 0.5) / (kGrid + 1.5), (b + 0.5) / (kGrid + 1.5), 0.0};
            w[2] = 1.0 - w[0] - w[1];
            m.lnGamma(t, w, lng);
            double d = 0.0;
            for (int i = 0; i < 3; ++i) d += w[i] * (std::log(w[i]) + lng[i] + m.lnPsat(i, t) - std::log(y[i] * p));
            least = std::min(least, d);
        }
    return least;
}

}  // namespace

TEST(ThreePhaseSetting, AVapourFromWhichLiquidsCondenseIsNotReportedAllVapour) {
    const Problem p = LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    const Mixture m(p, p.methods[p.default_method], std::vector<std::size_t>{0, 1, 2});
    const FlashOptions o;
    const double pressure = 101325.0;
    // Just above the heterogeneous bubble point (340.465 K) of this feed:
    // vapour and two liquids.
    const std::vector<double> z{0.025, 0.325, 0.65};
    const FlashResult r = FlashTP(m, 340.76, pressure, z, 3, o);
    ASSERT_EQ(r.status, kConverged);
    EXPECT_NEAR(r.vf, 0.085, 0.01);
    ASSERT_EQ(r.liquid_phases, 2);
    std::vector<double> la(3), lb(3);
    m.lnGamma(r.t, r.x1, la);
    m.lnGamma(r.t, r.x2, lb);
    for (int i = 0; i < 3; ++i) {
        const double f1 = r.x1[i] * std::exp(la[i] + m.lnPsat(i, r.t));
        const double f2 = r.x2[i] * std::exp(lb[i] + m.lnPsat(i, r.t));
        EXPECT_NEAR(f1, r.y[i] * pressure, 1e-4 * pressure) << "component " << i;
        EXPECT_NEAR(f2, r.y[i] * pressure, 1e-4 * pressure) << "component " << i;
        EXPECT_NEAR(r.vf * r.y[i] + (1 - r.vf) * r.x[i], z[i], 1e-6);
    }
    // A scan in temperature through the heterogeneous region and past the
    // dew point: whatever is reported all vapour with success must be a
    // vapour no liquid can condense from.
    int all_vapour = 0;
    for (const auto& feed : {z, std::vector<double>{0.2, 0.3, 0.5}, std::vector<double>{0.05, 0.6, 0.35}})
        for (double t = 336.0; t <= 372.0; t += 0.5) {
            const FlashResult s = FlashTP(m, t, pressure, feed, 3, o);
            if (s.status != kConverged || s.vf < 1.0) continue;
            ++all_vapour;
            EXPECT_GT(leastLiquidDistance(m, t, pressure, feed), -1e-7)
                << "reported all vapour at " << t << " K, feed " << feed[0] << ", " << feed[1];
        }
    EXPECT_GT(all_vapour, 10);
}

TEST(ThreePhaseSetting, DewPointIsWhereTheFirstLiquidCondenses) {
    // Water and benzene vapours: the first liquid to condense is water-rich
    // or benzene-rich depending on the vapour.  The dew point found by a
    // brute-force scan (the highest temperature, to 0.002 K, at which some
    // liquid on a fine grid lies below the vapour's tangent plane) is what
    // the flash must return.
    const Problem p = LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    const Mixture m(p, p.methods[p.default_method], std::vector<std::size_t>{1, 2});
    const FlashOptions o;
    const double pressure = 101325.0;
    auto condenses = [&](double t, const std::vector<double>& y) {
        std::vector<double> w(2), lng(2);
        for (int g = 1; g < 4000; ++g) {
            w = {g / 4000.0, 1.0 - g / 4000.0};
            m.lnGamma(t, w, lng);
            double d = 0.0;
            for (int i = 0; i < 2; ++i) d += w[i] * (std::log(w[i]) + lng[i] + m.lnPsat(i, t) - std::log(y[i] * pressure));
            if (d < 0.0) return true;
        }
        return false;
    };
    for (const double water : {0.2, 0.3, 0.35, 0.4, 0.43, 0.6, 0.8}) {
        const std::vector<double> y{water, 1.0 - water};
        // Down in steps of 0.5 K to the first condensation, then bisection.
        double t = 380.0;
        while (t > 320.0 && !condenses(t, y)) t -= 0.5;
        double above = t + 0.5;
        for (int it = 0; it < 8; ++it) {
            const double mid = 0.5 * (t + above);
            (condenses(mid, y) ? t : above) = mid;
        }
        const FlashResult r = FlashPV(m, pressure, 1.0, y, 3, o);
        ASSERT_EQ(r.status, kConverged) << "water " << water;
        EXPECT_NEAR(r.t, t, 0.02) << "water " << water;
        // Above the heteroazeotrope (342.4 K) whatever the vapour.
        EXPECT_GT(r.t, 342.0) << "water " << water;
    }
}
