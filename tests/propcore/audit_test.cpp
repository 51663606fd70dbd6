// A randomised audit of the three-phase isothermal flash: for random feeds,
// temperatures and pressures of the ethanol/water/benzene example (NRTL and
// UNIQUAC), every state reported as converged must be an equilibrium.  The
// check is written here, apart from the engine: its own NRTL and UNIQUAC,
// the mass balance, equal fugacities between the phases found, and a
// tangent-plane test of the result against any liquid (a dense grid over
// the triangle refined by substitution) and against the vapour.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <algorithm>
#include <string>
#include <vector>

#include "flash.h"
#include "problem.h"
#include "thermo.h"
#include "../common/reference_activity.h"

using namespace propcore;

namespace {

using reference::Reference;
using reference::X;

// Reasons the state r of feed z at t, p is not an equilibrium (empty when it is).
std::string disequilibrium(const Reference& ref, const FlashResult& r, const X& z, double t, double p_) {
    std::string why;
    // Mass balance.
    for (int i = 0; i < 3; ++i) {
        const double back = r.vf * r.y[i] + (1.0 - r.vf) * r.x[i];
        if (std::abs(back - z[i]) > 1e-6) why += " mass balance";
    }
    // The reference phase: a liquid when there is one, else the vapour.
    X d{};
    const bool liquid = r.vf < 1.0;
    X x1{r.x1[0], r.x1[1], r.x1[2]}, x2{r.x2[0], r.x2[1], r.x2[2]};
    if (liquid) {
        const X lg = ref.lnGamma(t, x1);
        for (int i = 0; i < 3; ++i) d[i] = x1[i] > 0.0 ? std::log(x1[i]) + lg[i] : -1e300;
        // A second liquid has the same activities.
        if (r.liquid_phases == 2) {
            const X lg2 = ref.lnGamma(t, x2);
            for (int i = 0; i < 3; ++i)
                if (z[i] > 0.0 && std::abs(std::log(x2[i]) + lg2[i] - d[i]) > 1e-6) why += " liquid activities";
        }
        // Vapour present: y_i P = x_i gamma_i Psat_i.
        if (r.vf > 0.0)
            for (int i = 0; i < 3; ++i)
                if (z[i] > 0.0 && std::abs(std::log(r.y[i] * p_) - (d[i] + ref.lnPsat(i, t))) > 1e-6)
                    why += " fugacities";
    } else {
        for (int i = 0; i < 3; ++i) d[i] = z[i] > 0.0 ? std::log(z[i] * p_) - ref.lnPsat(i, t) : -1e300;
    }
    // No liquid below the tangent plane...
    const double tpd = ref.minimumLiquidDistance(t, d);
    if (tpd < -1e-6) why += " a liquid lowers the Gibbs energy (" + std::to_string(tpd) + ")";
    // ...and, without vapour, none would form: the liquid's bubble pressure
    // is at most p.
    if (liquid && r.vf == 0.0) {
        double s = 0.0;
        for (int i = 0; i < 3; ++i)
            if (z[i] > 0.0) s += std::exp(d[i] + ref.lnPsat(i, t));
        if (s > p_ * (1.0 + 1e-6)) why += " vapour would form";
    }
    return why;
}

// A method of the ethanol/water/benzene example: the engine's mixture of
// the three components and the written-out reference of the same tables.
struct Example {
    Problem p = LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    const Method& m;
    const std::array<std::size_t, 3> members{0, 1, 2};
    const Mixture mix{p, m, members};
    const Reference ref{p, m};
    explicit Example(const char* method) : m(find(p, method)) {}
    static const Method& find(const Problem& p, const char* name) {
        for (const auto& mm : p.methods)
            if (mm.name == name) return mm;
        throw std::runtime_error(name);
    }
};

// Feeds over the whole triangle at pressures from 0.3 to 3 atm.
struct RandomFeeds {
    std::mt19937 rng;
    std::uniform_real_distribution<double> u{0.0, 1.0};
    explicit RandomFeeds(unsigned seed) : rng(seed) {}
    X feed() {
        X z{-std::log(u(rng)), -std::log(u(rng)), -std::log(u(rng))};
        const double sz = z[0] + z[1] + z[2];
        for (double& v : z) v /= sz;
        return z;
    }
    double pressure() { return 101325.0 * std::pow(10.0, -0.5 + u(rng)); }
};

}  // namespace

// Isothermal flashes of random feeds at temperatures around their boiling
// range, with each method: at least 95 % converge, and all that do are
// equilibria.
TEST(TangentPlaneAudit, RandomFlashesAreEquilibria) {
    for (const auto& [method, seed] : {std::pair{"NRTL", 20261207u}, std::pair{"UNIQUAC", 7u}}) {
        const Example ex(method);
        RandomFeeds random(seed);
        int flashes = 0, converged = 0, failures = 0;
        for (int k = 0; k < 500; ++k) {
            const X z = random.feed();
            const double p_ = random.pressure();
            const FlashResult bub = FlashPV(ex.mix, p_, 0.0, z, 3, FlashOptions{});
            const FlashResult dew = FlashPV(ex.mix, p_, 1.0, z, 3, FlashOptions{});
            if (bub.status != kConverged || dew.status != kConverged) continue;
            const double t = bub.t - 3.0 + (dew.t - bub.t + 6.0) * random.u(random.rng);
            const FlashResult r = FlashTP(ex.mix, t, p_, z, 3, FlashOptions{});
            ++flashes;
            if (r.status != kConverged) continue;
            ++converged;
            const std::string why = disequilibrium(ex.ref, r, z, t, p_);
            if (!why.empty()) {
                ++failures;
                std::printf("%s: z = %.4f %.4f %.4f  T = %.3f  P = %.0f  vf = %.4f  liquids %d:%s\n", method, z[0],
                            z[1], z[2], t, p_, r.vf, r.liquid_phases, why.c_str());
            }
        }
        std::printf("%s: %d flashes, %d converged, %d not in equilibrium\n", method, flashes, converged, failures);
        EXPECT_GT(converged, flashes * 95 / 100) << method;
        EXPECT_EQ(failures, 0) << method;
    }
}

// A grid of feeds (edges included) at 1 atm and temperatures from the
// two-liquid region through the heteroazeotrope's (where the second liquid
// appears and vanishes within hundredths of a kelvin): every flash
// converges, to an equilibrium.
TEST(TangentPlaneAudit, GridAcrossTheThreePhaseBoundaryConverges) {
    const Example ex("NRTL");
    // The grid, and a feed whose benzene goes almost wholly into the vapour
    // just below 340 K.
    constexpr int kSteps = 20;
    std::vector<X> feeds{{0.1, 0.36, 0.54}};
    for (int a = 0; a <= kSteps; ++a)
        for (int b = 0; a + b <= kSteps; ++b)
            if (a < kSteps && b < kSteps && a + b > 0)  // not the pure components
                feeds.push_back({a / double(kSteps), b / double(kSteps), (kSteps - a - b) / double(kSteps)});
    int failed = 0, wrong = 0;
    for (const double t : {298.15, 330.0, 339.95, 339.99, 340.0, 340.01, 342.0})
        for (const X& z : feeds) {
            const FlashResult r = FlashTP(ex.mix, t, 101325.0, z, 3, FlashOptions{});
            if (r.status != kConverged) {
                ++failed;
                std::printf("not converged: z = %.2f %.2f %.2f  T = %.2f\n", z[0], z[1], z[2], t);
            } else if (const std::string why = disequilibrium(ex.ref, r, z, t, 101325.0); !why.empty()) {
                ++wrong;
                std::printf("z = %.2f %.2f %.2f  T = %.2f:%s\n", z[0], z[1], z[2], t, why.c_str());
            }
        }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

// Dew points with the three-phase setting are where the first liquid
// condenses: just above them no liquid lies below the vapour's tangent
// plane, just below them one does (checked with the written-out models).
TEST(TangentPlaneAudit, DewPointsAreWhereTheFirstLiquidCondenses) {
    for (const char* method : {"NRTL", "UNIQUAC"}) {
        const Example ex(method);
        RandomFeeds random(99);
        int checked = 0, wrong = 0;
        for (int k = 0; k < 120; ++k) {
            const X z = random.feed();
            const double p_ = random.pressure();
            const FlashResult dew = FlashPV(ex.mix, p_, 1.0, z, 3, FlashOptions{});
            if (dew.status != kConverged) continue;
            ++checked;
            auto vapourPlane = [&](double t) {
                X d{};
                for (int i = 0; i < 3; ++i) d[i] = std::log(z[i] * p_) - ex.ref.lnPsat(i, t);
                return ex.ref.minimumLiquidDistance(t, d);
            };
            const double above = vapourPlane(dew.t + 0.05), below = vapourPlane(dew.t - 0.05);
            if (above < -1e-6 || below >= 0.0) {
                ++wrong;
                std::printf("%s dew point of %.4f %.4f %.4f at %.0f Pa = %.3f K: distance above %.2e, below %.2e\n",
                            method, z[0], z[1], z[2], p_, dew.t, above, below);
            }
        }
        EXPECT_GT(checked, 110) << method;
        EXPECT_EQ(wrong, 0) << method;
    }
}
