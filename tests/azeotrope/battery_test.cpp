// A fixed-seed battery of random partially miscible NRTL ternaries at many
// pressures, with two and three phases: every azeotrope the search reports
// as sound, and every flash the engine reports as converged, is checked
// with the equations written out in the test (NRTL, Antoine, Raoult's law
// with activity coefficients, the tangent-plane test), never with the
// engine's own.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "../common/reference_activity.h"
#include "engine/engine_flash.h"
#include "search_env.h"

namespace ternival::testing {
namespace {

using reference::X;

struct State {
    double t = 0.0, vf = 0.0;
    X y{}, x{}, x1{}, x2{};
    std::int64_t error = 0;
};

State Flash(const char* type, int phase, const std::vector<std::int64_t>& ids, const X& z, double t, double p,
            double vf) {
    State s;
    s.t = t;
    s.vf = vf;
    double pp = p, result = 0.0;
    EngineFlash(type, phase, "NRTL", 3, ids, z, s.t, pp, s.vf, s.y, s.x, result, s.x1, s.x2, s.error);
    return s;
}

// The test's own account of a state: ln of each component's fugacity in a
// liquid over its pure-liquid reference, and the tangent-plane distance of
// the most stable liquid against given potentials.
struct Check {
    const reference::Reference& ref;
    double p;

    X liquidPotential(double t, const X& x) const {
        const X lg = ref.lnGamma(t, x);
        X d{};
        for (int i = 0; i < 3; ++i) d[i] = x[i] > 0.0 ? std::log(x[i]) + lg[i] : -1e300;
        return d;
    }
    X vapourPotential(double t, const X& y) const {
        X d{};
        for (int i = 0; i < 3; ++i) d[i] = y[i] > 0.0 ? std::log(y[i] * p) - ref.lnPsat(i, t) : -1e300;
        return d;
    }
    // Largest |y_i - x_i| of a liquid x at t by Raoult's law with activity
    // coefficients, and the bubble condition's error sum(x gamma Psat)/p - 1.
    std::pair<double, double> bubbleGap(double t, const X& x) const {
        const X lg = ref.lnGamma(t, x);
        double s = 0.0;
        X y{};
        for (int i = 0; i < 3; ++i) s += y[i] = x[i] * std::exp(lg[i] + ref.lnPsat(i, t)) / p;
        double gap = 0.0;
        for (int i = 0; i < 3; ++i) gap = std::max(gap, std::abs(y[i] / s - x[i]));
        return {gap, s - 1.0};
    }
    bool liquidStable(double t, const X& x) const {
        return ref.minimumLiquidDistance(t, liquidPotential(t, x)) > -1e-6;
    }
    bool vapourStable(double t, const X& y) const {
        return ref.minimumLiquidDistance(t, vapourPotential(t, y)) > -1e-6;
    }
};

std::string Text(const X& x) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "(%.6f, %.6f, %.6f)", x[0], x[1], x[2]);
    return buf;
}

class Battery : public SearchEnvironment {};

TEST_F(Battery, RandomTernariesHoldNoFalseResult) {
    std::mt19937 rng(20261208);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    int rows = 0, flashes = 0, wrong = 0;
    std::string text;
    auto fail = [&](const std::string& what) {
        ++wrong;
        std::printf("%s\n", what.c_str());
        if (std::getenv("TERNIVAL_BATTERY_DUMP")) std::printf("%s\n", text.c_str());
    };
    // TERNIVAL_BATTERY_MIXTURES widens the battery for a deeper audit.
    const int kMixtures = std::getenv("TERNIVAL_BATTERY_MIXTURES") ? std::atoi(std::getenv("TERNIVAL_BATTERY_MIXTURES")) : 40;
    for (int mixture = 0; mixture < kMixtures; ++mixture) {
        text = RandomNrtlProblem(3, uniform, 330.0, 370.0, -300.0, 1100.0);
        OpenText("b" + std::to_string(mixture) + ".toml", text);
        const propcore::Problem problem = propcore::ParseProblem(text, "battery");
        const reference::Reference ref{problem, problem.methods.front()};
        const std::vector<std::int64_t> ids = Ids({"C0", "C1", "C2"});
        for (const double p : {101325.0 * std::pow(10.0, uniform(-0.8, 0.6))}) {
            const Check check{ref, p};
            for (const int phase : {2, 3}) {
                const std::string where = "mixture " + std::to_string(mixture) + " at " +
                                          std::to_string(p) + " Pa, phase " + std::to_string(phase);
                // Azeotropes: each homogeneous one boils with y = x to 1e-9
                // and has a liquid that does not split, unless the liquid
                // check says it splits (the row is then not sound); each
                // heterogeneous one has a liquid that does split.
                const SearchResult r = RunSearch(ids, phase, kAzeoDefaultCapacity, "NRTL", p);
                for (std::int64_t a = 0; a < r.count; ++a) {
                    const X x{r.x(a, 0), r.x(a, 1), r.x(a, 2)};
                    const double t = r.temperatures[static_cast<std::size_t>(a)];
                    const bool hetero = r.phases[static_cast<std::size_t>(a)] == kHeterogeneous;
                    ++rows;
                    if (hetero) {
                        if (check.liquidStable(t, x))
                            fail(where + ": a heterogeneous azeotrope of one liquid at " + Text(x) + ", " +
                                 std::to_string(t) + " K (distance " +
                                 std::to_string(ref.minimumLiquidDistance(t, check.liquidPotential(t, x))) + ")");
                        continue;
                    }
                    if (LiquidSplitsAtBubblePoint(3, ids, "NRTL", p, x, t)) continue;  // flagged, not sound
                    const auto [gap, bubble] = check.bubbleGap(t, x);
                    if (gap > 1e-9 || std::abs(bubble) > 1e-7)
                        fail(where + ": azeotrope " + std::to_string(a) + " has |y - x| " + std::to_string(gap));
                    if (!check.liquidStable(t, x))
                        fail(where + ": the liquid of homogeneous azeotrope " + std::to_string(a) + " splits");
                }
                // Flashes of random feeds: bubble and dew points, and an
                // isothermal flash between them.
                for (int f = 0; f < 4; ++f) {
                    X z{-std::log(uniform(0.0, 1.0)), -std::log(uniform(0.0, 1.0)), -std::log(uniform(0.0, 1.0))};
                    const double sz = z[0] + z[1] + z[2];
                    for (double& v : z) v /= sz;
                    const State bub = Flash("PV", phase, ids, z, 0.0, p, 0.0);
                    const State dew = Flash("PV", phase, ids, z, 0.0, p, 1.0);
                    if (dew.error == 0) {
                        ++flashes;
                        // No liquid condenses just above the dew point.
                        if (!check.vapourStable(dew.t + 0.02, z))
                            fail(where + ": a liquid condenses above the dew point " + std::to_string(dew.t));
                    }
                    if (bub.error == 0) {
                        ++flashes;
                        X x = bub.x;
                        if (phase == 2) {
                            const auto [gap, bubble] = check.bubbleGap(bub.t, z);
                            if (std::abs(bubble) > 1e-6) fail(where + ": a bubble point off its condition");
                            (void)gap;
                        }
                        (void)x;
                    }
                    if (bub.error != 0 || dew.error != 0) continue;
                    // Anywhere between the bubble and the dew point, and
                    // just below the dew point, where the first liquid has
                    // only just appeared.
                    for (const double t : {bub.t + uniform(0.0, 1.0) * (dew.t - bub.t), dew.t - 0.05 - uniform(0.0, 1.0)}) {
                        const State s = Flash("TP", phase, ids, z, t, p, 0.0);
                        if (s.error != 0) continue;
                        ++flashes;
                        if (s.vf >= 1.0 - 1e-12 && !check.vapourStable(t, z))
                            fail(where + ": all vapour, but a liquid condenses at " + std::to_string(t));
                        if (phase == 3 && s.vf < 1.0 && !check.liquidStable(t, s.x1))
                            fail(where + ": a liquid of the three-phase flash splits at " + std::to_string(t) +
                                 " K: z " + Text(z) + " vf " + std::to_string(s.vf) + " x1 " + Text(s.x1) + " x2 " +
                                 Text(s.x2));
                    }
                }
            }
        }
    }
    std::printf("%d azeotropes and %d flashes checked, %d false\n", rows, flashes, wrong);
    EXPECT_GT(rows, 30);
    EXPECT_GT(flashes, 200);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace ternival::testing
