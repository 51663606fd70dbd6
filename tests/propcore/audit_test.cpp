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

struct Audit {
    int flashes = 0, converged = 0, failures = 0;
};

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

struct Example {
    Problem p = LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    const Method& method(const char* name) const {
        for (const auto& mm : p.methods)
            if (mm.name == name) return mm;
        throw std::runtime_error(name);
    }
};

Audit audit(const char* method, int count, unsigned seed) {
    const Example ex;
    const Method& m = ex.method(method);
    const std::array<std::size_t, 3> members{0, 1, 2};
    const Mixture mix(ex.p, m, members);
    const Reference ref{ex.p, m};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Audit a;
    for (int k = 0; k < count; ++k) {
        // Feeds over the whole triangle, temperatures around the boiling
        // range, pressures from 0.3 to 3 atm.
        X z{-std::log(u(rng)), -std::log(u(rng)), -std::log(u(rng))};
        const double sz = z[0] + z[1] + z[2];
        for (double& v : z) v /= sz;
        const double p_ = 101325.0 * std::pow(10.0, -0.5 + u(rng));
        const FlashResult bub = FlashPV(mix, p_, 0.0, z, 3, FlashOptions{});
        const FlashResult dew = FlashPV(mix, p_, 1.0, z, 3, FlashOptions{});
        if (bub.status != kConverged || dew.status != kConverged) continue;
        const double t = bub.t - 3.0 + (dew.t - bub.t + 6.0) * u(rng);
        const FlashResult r = FlashTP(mix, t, p_, z, 3, FlashOptions{});
        ++a.flashes;
        if (r.status != kConverged) continue;
        ++a.converged;
        const std::string why = disequilibrium(ref, r, z, t, p_);
        if (!why.empty()) {
            ++a.failures;
            std::printf("%s: z = %.4f %.4f %.4f  T = %.3f  P = %.0f  vf = %.4f  liquids %d:%s\n", method, z[0], z[1],
                        z[2], t, p_, r.vf, r.liquid_phases, why.c_str());
        }
    }
    std::printf("%s: %d flashes, %d converged, %d not in equilibrium\n", method, a.flashes, a.converged, a.failures);
    return a;
}

}  // namespace

TEST(TangentPlaneAudit, NrtlFlashesAreEquilibria) {
    const Audit a = audit("NRTL", 500, 20261207);
    EXPECT_GT(a.converged, a.flashes * 95 / 100);
    EXPECT_EQ(a.failures, 0);
}

TEST(TangentPlaneAudit, UniquacFlashesAreEquilibria) {
    const Audit a = audit("UNIQUAC", 500, 7);
    EXPECT_GT(a.converged, a.flashes * 95 / 100);
    EXPECT_EQ(a.failures, 0);
}

// A grid of feeds (edges included) at 1 atm and temperatures from the
// two-liquid region through the heteroazeotrope's (where the second liquid
// appears and vanishes within hundredths of a kelvin): every flash
// converges, to an equilibrium.
TEST(TangentPlaneAudit, GridAcrossTheThreePhaseBoundaryConverges) {
    const Example ex;
    const Method& m = ex.method("NRTL");
    const std::array<std::size_t, 3> members{0, 1, 2};
    const Mixture mix(ex.p, m, members);
    const Reference ref{ex.p, m};
    int failed = 0, wrong = 0;
    for (const double t : {298.15, 330.0, 339.95, 339.99, 340.0, 340.01, 342.0}) {
        constexpr int kSteps = 20;
        // The grid, and a feed whose benzene goes almost wholly into the
        // vapour just below 340 K.
        std::vector<X> feeds{{0.1, 0.36, 0.54}};
        for (int a = 0; a <= kSteps; ++a)
            for (int b = 0; a + b <= kSteps; ++b)
                feeds.push_back({a / double(kSteps), b / double(kSteps), (kSteps - a - b) / double(kSteps)});
        for (const X& z : feeds) {
            if (std::max({z[0], z[1], z[2]}) == 1.0) continue;  // pure components
            const FlashResult r = FlashTP(mix, t, 101325.0, z, 3, FlashOptions{});
            if (r.status != kConverged) {
                ++failed;
                std::printf("not converged: z = %.2f %.2f %.2f  T = %.2f\n", z[0], z[1], z[2], t);
                continue;
            }
            const std::string why = disequilibrium(ref, r, z, t, 101325.0);
            if (!why.empty()) {
                ++wrong;
                std::printf("z = %.2f %.2f %.2f  T = %.2f:%s\n", z[0], z[1], z[2], t, why.c_str());
            }
        }
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

// Dew points with the three-phase setting are where the first liquid
// condenses: just above them no liquid lies below the vapour's tangent
// plane, just below them one does (checked with the written-out models).
TEST(TangentPlaneAudit, DewPointsAreWhereTheFirstLiquidCondenses) {
    const Example ex;
    for (const char* method : {"NRTL", "UNIQUAC"}) {
        const Method& m = ex.method(method);
        const std::array<std::size_t, 3> members{0, 1, 2};
        const Mixture mix(ex.p, m, members);
        const Reference ref{ex.p, m};
        std::mt19937 rng(99);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        int checked = 0, wrong = 0;
        for (int k = 0; k < 120; ++k) {
            X z{-std::log(u(rng)), -std::log(u(rng)), -std::log(u(rng))};
            const double sz = z[0] + z[1] + z[2];
            for (double& v : z) v /= sz;
            const double p_ = 101325.0 * std::pow(10.0, -0.5 + u(rng));
            const FlashResult dew = FlashPV(mix, p_, 1.0, z, 3, FlashOptions{});
            if (dew.status != kConverged) continue;
            ++checked;
            auto vapourPlane = [&](double t) {
                X d{};
                for (int i = 0; i < 3; ++i) d[i] = std::log(z[i] * p_) - ref.lnPsat(i, t);
                return ref.minimumLiquidDistance(t, d);
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
