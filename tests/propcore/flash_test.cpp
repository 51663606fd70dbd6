// Flashes checked against independent conditions: the equilibrium
// relations themselves, mass balances, and the consistency between flash
// types (a dew point of a bubble-point vapour returns the liquid).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
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
component = [
    {id = "BENZENE", mw = 78.11, antoine = [83.107, -6486.2, 0.0, -9.2194, 6.9844e-6, 2.0]},
    {id = "TOLUENE", mw = 92.14, antoine = [76.945, -6729.8, 0.0, -8.179, 5.3017e-6, 2.0]},
    {id = "WATER", mw = 18.015, antoine = [73.649, -7258.2, 0.0, -7.3037, 4.1653e-6, 2.0]},
]
[[method]]
name = "IDEAL"
model = "IDEAL"
[[method]]
name = "NRTL"
model = "NRTL"
pair = [{i = "BENZENE", j = "WATER", aij = 3.0, aji = 3.5, alpha = 0.2},
        {i = "TOLUENE", j = "WATER", aij = 3.2, aji = 3.8, alpha = 0.2}]
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

// Benzene/toluene as an ideal mixture: the bubble point is where Raoult's
// pressure, found here by bisection, reaches P, with y_i = x_i Psat_i / P;
// an isothermal flash between bubble and dew point closes the mass balance
// with Raoult's vapour, all liquid below and all vapour above; partial
// vaporisation at P matches the isothermal flash at its temperature; and
// the flashes at given temperature invert those at given pressure.  Bad
// specifications are reported, not computed.
TEST_F(Fixture, IdealFlashesAgreeWithRaoultAndWithEachOther) {
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
    EXPECT_NEAR(r.y[0], 0.4 * std::exp(m.lnPsat(0, r.t)) / 101325.0, 1e-7);
    EXPECT_NEAR(r.y[0] + r.y[1], 1.0, 1e-12);

    std::vector<double> z{0.5, 0.5};
    const double tb = FlashPV(m, 101325.0, 0.0, z, 2, o).t, td = FlashPV(m, 101325.0, 1.0, z, 2, o).t;
    ASSERT_LT(tb, td);
    const FlashResult f = FlashTP(m, 0.5 * (tb + td), 101325.0, z, 2, o);
    ASSERT_EQ(f.status, kConverged);
    ASSERT_GT(f.vf, 0.0);
    ASSERT_LT(f.vf, 1.0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(f.vf * f.y[i] + (1 - f.vf) * f.x[i], z[i], 1e-8);
        EXPECT_NEAR(f.y[i], f.x[i] * std::exp(m.lnPsat(i, f.t)) / 101325.0, 1e-6);
    }
    EXPECT_EQ(FlashTP(m, tb - 5.0, 101325.0, z, 2, o).vf, 0.0);
    EXPECT_EQ(FlashTP(m, td + 5.0, 101325.0, z, 2, o).vf, 1.0);

    z = {0.3, 0.7};
    const FlashResult partial = FlashPV(m, 101325.0, 0.4, z, 2, o);
    ASSERT_EQ(partial.status, kConverged);
    EXPECT_NEAR(FlashTP(m, partial.t, 101325.0, z, 2, o).vf, 0.4, 1e-6);
    const double t = 370.0;
    const FlashResult bub = FlashTV(m, t, 0.0, z, 2, o), dew = FlashTV(m, t, 1.0, z, 2, o);
    EXPECT_NEAR(bub.p, bubblePressure(m, t, z), 1e-6);
    ASSERT_EQ(dew.status, kConverged);
    EXPECT_NEAR(FlashPV(m, dew.p, 1.0, z, 2, o).t, t, 1e-4);
    const FlashResult half = FlashTV(m, t, 0.5, z, 2, o);
    EXPECT_NEAR(half.vf, 0.5, 1e-6);
    EXPECT_GT(half.p, dew.p);
    EXPECT_LT(half.p, bub.p);
    EXPECT_EQ(FlashPV(m, 101325.0, 1.5, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashPV(m, -1.0, 0.0, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashTP(m, 350.0, 101325.0, std::vector<double>{-0.5, 1.5}, 2, o).status, kBadSpecification);
    EXPECT_EQ(FlashTV(m, 0.0, 0.0, std::vector<double>{0.5, 0.5}, 2, o).status, kBadSpecification);
}

// Benzene and water, which barely mix: two liquids of equal activities, a
// liquid inside one's solubility limit stable; their heterogeneous bubble
// point where both liquids boil, at the steam-distillation temperature of
// benzene (about 342.4 K); and the dew point of the vapour of a nearly
// pure benzene liquid returns that liquid.
TEST_F(Fixture, ImmiscibleLiquidsSplitAndBoilTogether) {
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
    EXPECT_FALSE(LiquidUnstable(m, 300.0, std::vector<double>{0.999, 0.001}, trial));

    const FlashResult r = FlashPV(m, 101325.0, 0.0, z, 3, o);
    ASSERT_EQ(r.status, kConverged);
    ASSERT_EQ(r.liquid_phases, 2);
    EXPECT_NEAR(bubblePressure(m, r.t, r.x1), 101325.0, 1.0);
    EXPECT_NEAR(bubblePressure(m, r.t, r.x2), 101325.0, 1.0);
    EXPECT_NEAR(r.t, 342.4, 1.0);
    // Forced into one liquid, the unstable feed has a higher fugacity and so
    // a lower (unphysical) bubble temperature.
    EXPECT_LT(FlashPV(m, 101325.0, 0.0, z, 2, o).t, r.t - 1.0);

    const std::vector<double> x{0.999, 0.001};
    const FlashResult b = FlashPV(m, 101325.0, 0.0, x, 2, o);
    ASSERT_EQ(b.status, kConverged);
    const FlashResult d = FlashPV(m, 101325.0, 1.0, b.y, 2, o);
    ASSERT_EQ(d.status, kConverged);
    EXPECT_NEAR(d.t, b.t, 1e-4);
    EXPECT_NEAR(d.x[0], x[0], 1e-6);
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
        for (const int phase : {2, 3})
            for (const double vf : {0.0, 1.0}) {
                SCOPED_TRACE("limit " + std::to_string(limit) + " phase " + std::to_string(phase) + " vf " +
                             std::to_string(vf));
                const FlashResult r = FlashPV(m, 101325.0, vf, z, phase, short_o);
                if (r.status == kNotConverged) {
                    ++refused;
                    continue;
                }
                ASSERT_EQ(r.status, kConverged);
                ++answered;
                const std::vector<double>& x = r.liquid_phases == 2 ? r.x1 : r.x;
                if (vf == 0.0) {
                    // Every liquid present boils at P.
                    EXPECT_NEAR(bubblePressure(m, r.t, x), 101325.0, 1.0);
                } else {
                    // The dew liquid is in equilibrium with the feed as vapour.
                    std::vector<double> lng(3);
                    m.lnGamma(r.t, x, lng);
                    for (int i = 0; i < 3; ++i)
                        EXPECT_NEAR(z[i] * 101325.0, x[i] * std::exp(lng[i] + m.lnPsat(i, r.t)), 1.0);
                }
            }
    }
    // One or two steps cannot reach these states from a cold start.
    EXPECT_GT(refused, 0);
    EXPECT_GT(answered, 0);
}

// Benzene and water barely mix: a binary feed boils at the heteroazeotrope,
// where the vapour fraction jumps as the temperature passes one value.  A
// flash asked for a fraction there either returns that fraction, with a
// state that closes the mass balance, or says that it did not converge.
TEST_F(Fixture, PartialVaporisationGivesTheAskedFractionOrAnError) {
    const Mixture m = mix("NRTL", {0, 2});
    for (const double zb : {0.2, 0.5, 0.8})
        for (const double vf : {0.05, 0.3, 0.5, 0.7, 0.95}) {
            SCOPED_TRACE("z " + std::to_string(zb) + " vf " + std::to_string(vf));
            const std::vector<double> z{zb, 1.0 - zb};
            const FlashResult r = FlashPV(m, 101325.0, vf, z, 3, o);
            if (r.status != kConverged) continue;
            EXPECT_NEAR(r.vf, vf, 1e-6);
            for (int i = 0; i < 2; ++i) EXPECT_NEAR(r.vf * r.y[i] + (1 - r.vf) * r.x[i], z[i], 1e-6);
        }
}

// Water and benzene vapours: the first liquid to condense is water-rich or
// benzene-rich depending on the vapour.  The dew point found by a
// brute-force scan (the highest temperature, to 0.002 K, at which some
// liquid on a fine grid lies below the vapour's tangent plane) is what the
// flash must return, whether it allows two liquids or one, and below it no
// isothermal flash reports all vapour.
TEST(ThreePhaseSetting, DewPointIsWhereTheFirstLiquidCondenses) {
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
            for (int i = 0; i < 2; ++i)
                d += w[i] * (std::log(w[i]) + lng[i] + m.lnPsat(i, t) - std::log(y[i] * pressure));
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
        // With two liquids allowed afterwards or not.
        for (const int phase : {2, 3}) {
            const FlashResult r = FlashPV(m, pressure, 1.0, y, phase, o);
            ASSERT_EQ(r.status, kConverged) << "water " << water << " phase " << phase;
            EXPECT_NEAR(r.t, t, 0.02) << "water " << water << " phase " << phase;
            // Above the heteroazeotrope (342.4 K) whatever the vapour.
            EXPECT_GT(r.t, 342.0) << "water " << water << " phase " << phase;
            // Just below the dew point a liquid condenses.
            const FlashResult below = FlashTP(m, t - 0.1, pressure, y, phase, o);
            EXPECT_FALSE(below.status == kConverged && below.vf >= 1.0) << "water " << water << " phase " << phase;
        }
    }
}
