// The azeotrope search on the example mixtures, against published azeotropes
// (Horsley's tables at 101325 Pa), against searches of sub-mixtures, and
// against dense scans of bubble points made through the engine; and its
// building blocks: scaling, the topological index worked by hand, and the
// location of one sub-mixture's azeotrope where there is none or the sizes
// are wrong; a battery of random mixtures checked with equations written out
// here; and the complete search.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../common/reference_activity.h"
#include "azeotrope/complete_search.h"
#include "numerics/diagnostics.h"
#include "search_env.h"

namespace ternival::testing {
namespace {

TEST(Normalize, ScalesToTheGivenSumInPlaceAndCopiesAZeroSum) {
    std::array<double, 3> x{1.0, 2.0, 1.0};
    Normalize(2.0, 3, x, x);
    EXPECT_EQ(x, (std::array<double, 3>{0.5, 1.0, 0.5}));
    const std::array<double, 2> zero{0.0, 0.0};
    std::array<double, 2> y{5.0, 5.0};
    Normalize(1.0, 2, zero, y);
    EXPECT_EQ(y, zero);
}

// Nodes (codes 1 and 3) count +1 on the edges and +2 inside, saddles (code
// 2) -1 on the edges and -2 inside, pure saddles 0: every consistent ternary
// map sums to 2; the sums are worked here by hand.
TEST(TopologicalIndex, BalancesNodesAgainstSaddles) {
    struct Case { std::vector<std::int64_t> counts, codes; bool consistent; } const cases[] = {
        {{1, 1, 1}, {1, 2, 3}, true},        // zeotropic: 1 + 0 + 1
        {{1, 1, 1, 2}, {1, 1, 3, 2}, true},  // a binary saddle between two stable nodes: 3 - 1
        // Acetone/chloroform/methanol at 1 atm: acetone and chloroform
        // saddles, methanol a stable node, the maximum-boiling acetone-
        // chloroform azeotrope a stable node, the two methanol azeotropes
        // unstable nodes, the ternary a saddle: 1 + 3 - 2.
        {{1, 1, 1, 2, 2, 2, 3}, {2, 2, 1, 1, 3, 3, 2}, true},
        {{1, 1, 1, 2, 2, 2, 3}, {2, 2, 1, 1, 3, 3, 1}, false},  // a ternary node where the saddle belongs
    };
    for (const Case& c : cases) EXPECT_EQ(TopologicalIndex(c.counts, c.codes) == 2, c.consistent) << c.codes.back();
}

class AzeoSearch : public SearchEnvironment {};

// A binary whose infinite-dilution K-values lie on both sides of 1 has no
// azeotrope: the secant step leaves [0, 1], quietly.  One component or more
// than twenty are refused, with the reason.
TEST_F(AzeoSearch, LocationFindsNoneInAZeotropicBinaryAndRefusesBadSizes) {
    Open("benzene_toluene_ethylbenzene.toml");
    std::vector<double> k(400, 1.0), x(21, 0.05);
    k[1] = 0.4;   // toluene dilute in benzene
    k[20] = 2.5;  // benzene dilute in toluene
    const std::vector<std::int64_t> pair = Ids({"BENZENE", "TOLUENE"}), many(21, pair[0]);
    struct Case { std::int64_t n, print_level, error; std::string told; } const cases[] = {
        {2, 0, 0, ""}, {1, 2, 1, "less than two components"}, {21, 2, 1, "only twenty components allowed"}};
    for (const Case& c : cases) {
        std::int64_t error = 0;
        bool found = true, het = false;
        double t = 0.0;
        std::ostringstream lines;
        const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, lines);
        QZNCAZ(error, c.print_level, c.n, 2, 101325.0, found, t, het, c.n != 2, c.n == 2 ? pair : many, k, x, "IDEAL");
        EXPECT_FALSE(found) << c.n;
        EXPECT_EQ(error, c.error) << c.n;
        EXPECT_TRUE(c.told.empty() ? lines.str().empty() : lines.str().find(c.told) != std::string::npos)
            << lines.str();
    }
}

// The single azeotrope of exactly the given components; fails the test when
// there is not exactly one.
std::int64_t only(const SearchResult& r, std::initializer_list<std::int64_t> members) {
    const auto found = r.with(members);
    EXPECT_EQ(found.size(), 1u) << r.describe();
    return found.empty() ? -1 : found.front();
}

TEST_F(AzeoSearch, AcetoneChloroformMethanolHasTheFourPublishedAzeotropes) {
    Open("acetone_chloroform_methanol.toml");
    const auto r = RunSearch(Ids({"ACETONE", "CHLOROFM", "METHANOL"}), 2);
    ASSERT_EQ(r.error, 0) << r.describe();
    ASSERT_EQ(r.count, 4) << r.describe();
    // Maximum-boiling acetone-chloroform (64.5 C), minimum-boiling acetone-
    // methanol (55.5 C) and chloroform-methanol (53.5 C), ternary saddle (57.5 C).
    struct Published { std::initializer_list<std::int64_t> members; double t, x0, x1, x2; std::int64_t code; };
    const Published published[] = {
        {{0, 1}, 337.65, 0.34, 0.66, 0.0, kStableNode},
        {{0, 2}, 328.65, 0.80, 0.0, 0.20, kUnstableNode},
        {{1, 2}, 326.65, 0.0, 0.65, 0.35, kUnstableNode},
        {{0, 1, 2}, 330.65, 0.34, 0.23, 0.43, kSaddle},
    };
    for (const auto& p : published) {
        const auto a = only(r, p.members);
        if (a < 0) continue;
        const auto k = static_cast<std::size_t>(a);
        EXPECT_NEAR(r.t(a), p.t, 0.6);
        EXPECT_TRUE(std::abs(r.x(a, 0) - p.x0) < 0.03 && std::abs(r.x(a, 1) - p.x1) < 0.03 &&
                    std::abs(r.x(a, 2) - p.x2) < 0.03) << r.describe();
        EXPECT_EQ(r.sizes[k], static_cast<std::int64_t>(p.members.size()));
        EXPECT_TRUE(r.phases[k] == kHomogeneous && r.codes[k] == p.code) << r.describe();
    }
    // Methanol is the other stable node; acetone and chloroform are saddles.
    EXPECT_EQ(std::vector(r.singular_codes.begin(), r.singular_codes.begin() + 3),
              (std::vector<std::int64_t>{kSaddle, kSaddle, kStableNode}));
    EXPECT_TRUE(IndexOf(r) == 2 && AzeoLastSearchState().passes == 1 && LogCount(511) == 0) << IndexOf(r);
    // The singular-point table: unit vectors, then the azeotropes as listed;
    // beyond the count nothing is written.
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(r.singular_compositions[i], i % 4 == 0 ? 1.0 : 0.0);
    for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_EQ(r.singular_temperatures[3 + a], r.temperatures[a]);
        EXPECT_EQ(r.singular_codes[3 + a], r.codes[a]);
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(r.singular_compositions[(3 + a) * 3 + c], r.compositions[a * 3 + c]);
    }
    EXPECT_TRUE(r.temperatures[4] == -7.0 && r.singular_codes[7] == -7);

    // In the order (methanol, acetone, chloroform) the results follow the caller's order.
    const auto turned = RunSearch(Ids({"METHANOL", "ACETONE", "CHLOROFM"}), 2);
    ASSERT_EQ(turned.count, 4);
    const auto ac = only(turned, {1, 2});
    ASSERT_GE(ac, 0);
    EXPECT_NEAR(turned.x(ac, 1), 0.34, 0.03);
    EXPECT_EQ(turned.singular_codes[0], kStableNode);
    EXPECT_NEAR(turned.singular_temperatures[0], 337.7, 0.3);  // methanol boils at 64.7 C

    // A binary is searched once: the maximum-boiling azeotrope is its stable node.
    const auto binary = RunSearch(Ids({"ACETONE", "CHLOROFM"}), 2);
    ASSERT_EQ(binary.count, 1);
    EXPECT_EQ(AzeoLastSearchState().passes, 1);
    EXPECT_TRUE(binary.codes[0] == kStableNode && binary.singular_codes[0] == kUnstableNode &&
                binary.singular_codes[1] == kUnstableNode) << binary.describe();

    // Room for two azeotropes: the search fails and keeps the two it found,
    // classified.
    const int logged = LogCount(509);
    const auto cut = RunSearch(Ids({"ACETONE", "CHLOROFM", "METHANOL"}), 2, 2);
    EXPECT_TRUE(cut.error == kAzeoSearchFailed && cut.count == 2) << cut.describe();
    EXPECT_GT(LogCount(509), logged);
    EXPECT_TRUE(cut.codes[0] > 0 && cut.codes[1] > 0);
}

TEST_F(AzeoSearch, EthanolWaterBenzeneTernaryHeteroazeotrope) {
    Open("ethanol_water_benzene.toml");
    const auto ids = Ids({"ETHANOL", "WATER", "BENZENE"});
    const auto r = RunSearch(ids, 3);
    ASSERT_EQ(r.error, 0) << r.describe();
    ASSERT_EQ(r.count, 4) << r.describe();
    // Ternary heteroazeotrope at 64.9 C, (0.228, 0.233, 0.539): the lowest
    // boiling point of the diagram.
    const auto t = only(r, {0, 1, 2});
    ASSERT_GE(t, 0);
    EXPECT_EQ(r.phases[static_cast<std::size_t>(t)], kHeterogeneous);
    EXPECT_EQ(r.codes[static_cast<std::size_t>(t)], kUnstableNode);
    EXPECT_NEAR(r.t(t), 338.05, 1.5);
    EXPECT_NEAR(r.x(t, 0), 0.228, 0.06);
    EXPECT_NEAR(r.x(t, 1), 0.233, 0.06);
    // A heteroazeotrope is where the vapour over its two liquids has the
    // composition of the liquid as a whole, to well within the 1e-5 the
    // location's own tolerance would leave (distillation lines that reach it
    // must recognise it).
    const std::vector<double> xt{r.x(t, 0), r.x(t, 1), r.x(t, 2)};
    const auto at = EngineBubble(ids, xt, 3);
    ASSERT_EQ(at.error, 0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(at.y[i], xt[i], 1e-7) << i;
    // Water-benzene splits into two liquids (69.3 C); ethanol-water (78.15 C,
    // x = 0.894) and ethanol-benzene (67.9 C, x = 0.448) do not.
    const auto wb = only(r, {1, 2}), ew = only(r, {0, 1}), eb = only(r, {0, 2});
    ASSERT_TRUE(wb >= 0 && ew >= 0 && eb >= 0);
    EXPECT_TRUE(r.phases[static_cast<std::size_t>(wb)] == kHeterogeneous &&
                r.phases[static_cast<std::size_t>(ew)] == kHomogeneous &&
                r.phases[static_cast<std::size_t>(eb)] == kHomogeneous) << r.describe();
    EXPECT_NEAR(r.t(wb), 342.45, 0.5);
    EXPECT_NEAR(r.t(ew), 351.3, 0.3);
    EXPECT_NEAR(r.x(ew, 0), 0.894, 0.01);
    EXPECT_NEAR(r.t(eb), 341.05, 0.5);
    EXPECT_NEAR(r.x(eb, 0), 0.448, 0.02);
    // The three pure components are stable nodes, the binaries saddles.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r.singular_codes[i], kStableNode);
    EXPECT_EQ(IndexOf(r), 2);

    // With vapour-liquid flashes only, nothing is flagged heterogeneous.
    const auto two = RunSearch(ids, 2);
    for (std::int64_t a = 0; a < two.count; ++a) EXPECT_EQ(two.phases[static_cast<std::size_t>(a)], kHomogeneous);
}

TEST_F(AzeoSearch, ZeotropicMixtureHasNone) {
    Open("benzene_toluene_ethylbenzene.toml");
    const auto r = RunSearch(Ids({"BENZENE", "TOLUENE", "ETHBENZ"}), 2, 100, "IDEAL");
    EXPECT_TRUE(r.error == 0 && r.count == 0) << r.describe();
    EXPECT_EQ(std::vector(r.singular_codes.begin(), r.singular_codes.begin() + 4),
              (std::vector<std::int64_t>{kUnstableNode, kSaddle, kStableNode, -7}));
    // Normal boiling points 80.1, 110.6, 136.2 C; the vapour-pressure
    // correlation of ethylbenzene is 0.7 K low there.
    EXPECT_NEAR(r.singular_temperatures[0], 353.25, 0.3);
    EXPECT_NEAR(r.singular_temperatures[1], 383.75, 0.3);
    EXPECT_NEAR(r.singular_temperatures[2], 409.35, 0.8);
}

// Azeotrope a of `small`, over big's components `members` (its first small.n
// when none are given), is in `big` at the same composition; `exact`: also at
// the same temperature (0.05 K), with the same components present.
bool Contains(const SearchResult& big, const SearchResult& small, std::int64_t a,
              std::vector<std::int64_t> members = {}, bool exact = false) {
    for (std::int64_t c = std::ssize(members); c < small.n; ++c) members.push_back(c);
    for (std::int64_t b = 0; b < big.count; ++b) {
        bool same = !exact || std::abs(big.t(b) - small.t(a)) < 0.05;
        for (std::int64_t c = 0; c < big.n; ++c) {
            const std::int64_t m = std::ranges::find(members, c) - members.begin();
            const double xs = m < small.n ? small.x(a, m) : 0.0;
            same = same && std::abs(xs - big.x(b, c)) < 2e-3 && (!exact || (xs > 0.0) == (big.x(b, c) > 0.0));
        }
        if (same) return true;
    }
    return false;
}

// Every azeotrope of the searches of all 56 ternary sub-mixtures is in the
// eight-component search's table, at the same composition and temperature.
TEST_F(AzeoSearch, EightComponentsFindWhatTheTernarySearchesFind) {
    Open("eight_components.toml");
    const auto ids = Ids({"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL", "WATER", "BENZENE", "BUTANOL", "TOLUENE"});
    const auto all = RunSearch(ids, 3);
    ASSERT_EQ(all.error, 0) << all.describe();
    int checked = 0;
    for (std::int64_t i = 0; i < 8; ++i)
        for (std::int64_t j = i + 1; j < 8; ++j)
            for (std::int64_t k = j + 1; k < 8; ++k) {
                const auto sub = RunSearch({ids[i], ids[j], ids[k]}, 3);
                for (std::int64_t a = 0; a < sub.count; ++a, ++checked)
                    EXPECT_TRUE(Contains(all, sub, a, {i, j, k}, true))
                        << i << '/' << j << '/' << k << " azeotrope " << a << "\n" << sub.describe();
            }
    EXPECT_GT(checked, 30);  // every pair and triple azeotrope appears in several sub-mixtures

    // Twenty-one components are more than the search takes.
    const int logged = LogCount(509);
    const auto r = RunSearch(std::vector<std::int64_t>(21, ids[4]), 2, 5);
    EXPECT_TRUE(r.error == kAzeoSearchFailed && r.count == 0) << r.describe();
    EXPECT_GT(LogCount(509), logged);
}

// A ternary whose classification fails the topological check in the first
// component order and satisfies it in a later one.
TEST_F(AzeoSearch, RetriesInOtherOrdersEndConsistentOrKeepTheCallersOrder) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/retried_ternary.toml");
    const SearchResult r = RunSearch(Ids({"C0", "C1", "C2"}), 2, 100, "NRTL      ", 49073.2);
    const auto& state = AzeoLastSearchState();
    ASSERT_GE(state.passes, 2) << "the first order should fail the check for this mixture";
    EXPECT_LT(state.passes, 6);
    EXPECT_EQ(IndexOf(r), 2) << r.describe();
    EXPECT_EQ(LogCount(511), 0);

    // A partially miscible ternary whose classification at 8.17 kPa fails the
    // check in every order: after the last order, which permutes the
    // components, each pure component's code agrees with a classification made
    // here at that vertex in the caller's order.
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/inconsistent_ternary.toml");
    const auto ids = Ids({"C0", "C1", "C2"});
    const double pressure = 8173.322688827733;
    const SearchResult odd = RunSearch(ids, 3, 100, "NRTL      ", pressure);
    ASSERT_EQ(AzeoLastSearchState().passes, 6);
    EXPECT_EQ(LogCount(511), 1);
    std::set<std::int64_t> distinct;
    for (std::size_t i = 0; i < 3; ++i) {
        std::array<double, 3> vertex{};
        vertex[i] = 1.0;
        std::int64_t code = 0, flag = 0;
        std::array<double, 2> re{};
        std::array<double, 4> vectors{};
        Stability_RCM(3, vertex, 1, pressure, ids, "NRTL      ", 3, code, re, vectors, flag);
        ASSERT_EQ(flag, 0);
        EXPECT_EQ(odd.singular_codes[i], code) << "component " << i << "\n" << odd.describe();
        distinct.insert(code);
    }
    EXPECT_GT(distinct.size(), 1u);  // else a permutation could not show
}

// Random binaries (fixed seed): a binary whose dense scan of bubble points
// finds exactly one azeotrope must have it found, at that composition and
// temperature.
TEST_F(AzeoSearch, RandomBinariesAgreeWithADenseScanOfBubblePoints) {
    std::uint32_t seed = 2026;
    auto uniform = [&](double lo, double hi) {
        seed = seed * 1664525u + 1013904223u;
        return lo + (hi - lo) * ((seed >> 8) / 16777216.0);
    };
    int checked = 0;
    for (int m = 0; m < 60; ++m) {
        const std::string problem = RandomNrtlProblem(2, uniform, 320.0, 380.0, -600.0, 900.0);
        OpenText("binary" + std::to_string(m) + ".toml", problem);
        const auto ids = Ids({"C0", "C1"});
        const std::vector<double> roots = BinaryAzeotropesByScan(ids, 2, 400, 1e-4);
        const SearchResult r = RunSearch(ids, 2);
        if (roots.size() != 1) continue;
        ++checked;
        ASSERT_EQ(r.count, 1) << "binary " << m << " has an azeotrope at x1 = " << roots[0] << "\n" << problem
                              << r.describe();
        EXPECT_NEAR(r.x(0, 0), roots[0], 2e-3) << "binary " << m << "\n" << problem;
        EXPECT_NEAR(r.t(0), EngineBubble(ids, std::vector<double>{roots[0], 1.0 - roots[0]}, 2).t, 0.01) << m;
    }
    EXPECT_GE(checked, 15);
}

// Two liquids that differ by about 0.1 in squared mole fraction at the
// azeotrope: clearly two phases, far from the trivial split.  The liquids
// are those of the three-phase bubble point there, computed here.
TEST_F(AzeoSearch, AHeteroazeotropeWithModeratelyDifferentLiquidsIsHeterogeneous) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/heterogeneous_binary.toml");
    const auto ids = Ids({"C0", "C1"});
    const SearchResult r = RunSearch(ids, 3);
    ASSERT_EQ(r.count, 1) << r.describe();
    const auto b = EngineBubble(ids, std::vector<double>{r.x(0, 0), r.x(0, 1)}, 3);
    ASSERT_EQ(b.error, 0);
    ASSERT_GT(std::pow(b.x1[0] - b.x2[0], 2) + std::pow(b.x1[1] - b.x2[1], 2), 0.05);
    EXPECT_EQ(r.phases[0], kHeterogeneous) << r.describe();
    EXPECT_NEAR(r.t(0), b.t, 0.05);
}

// Twenty strongly non-ideal components: the enumeration writes lines even at
// print level 0 (its limits, locations that do not converge).  They reach a
// caller's stream when the enumeration runs alone, never when the search
// runs it; after the search the binding is the caller's again.
TEST_F(AzeoSearch, DiagnosticLinesOfTheSearchAreDiscarded) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml");
    const auto ids = Numbered(20);
    std::ostringstream direct, seen;
    {
        const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, direct);
        std::int64_t status = 2, count = 0;
        std::vector<double> boiling(20), kinf(400), rows(100 * 20), temps(100);
        std::vector<std::int64_t> sizes(100), phases(100);
        QZALAZ(status, 0, 20, ids, 101325.0, 100, 2, "NRTL      ", boiling, kinf, count, rows, temps, sizes, phases);
    }
    ASSERT_FALSE(direct.str().empty()) << "the mixture no longer makes the enumeration write";
    {
        const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, seen);
        const DiagnosticChannel::ScopedBinding solver(DiagnosticChannel::kDefaultUnit, seen);
        RunSearch(ids, 2);
        DiagnosticChannel::Stream(kAzeotropeDiagnosticUnit) << "after";
    }
    EXPECT_EQ(seen.str(), "after");
}

using reference::X;

// The test's own account of a state: ln of each component's fugacity in a
// liquid over its pure-liquid reference, and the tangent-plane distance of
// the most stable liquid against given potentials.
struct Check {
    const reference::Reference& ref;
    double p;

    X liquidPotential(double t, std::span<const double> x) const {
        const X lg = ref.lnGamma(t, {x[0], x[1], x[2]});
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
    bool liquidStable(double t, std::span<const double> x) const {
        return ref.minimumLiquidDistance(t, liquidPotential(t, x)) > -1e-6;
    }
    bool vapourStable(double t, const X& y) const {
        return ref.minimumLiquidDistance(t, vapourPotential(t, y)) > -1e-6;
    }
};

std::string Text(std::span<const double> x) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "(%.6f, %.6f, %.6f)", x[0], x[1], x[2]);
    return buf;
}

// A fixed-seed battery of random partially miscible NRTL ternaries at many
// pressures, with two and three phases: every azeotrope the search reports
// as sound, and every flash the engine reports as converged, is checked
// with the equations written out in the test (NRTL, Antoine, Raoult's law
// with activity coefficients, the tangent-plane test), never with the
// engine's own.
TEST_F(AzeoSearch, BatteryOfRandomTernariesHoldsNoFalseResult) {
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
        const double p = 101325.0 * std::pow(10.0, uniform(-0.8, 0.6));
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
                const auto bub = RunFlash("PV", phase, "NRTL", ids, z, 0.0, p, 0.0);
                const auto dew = RunFlash("PV", phase, "NRTL", ids, z, 0.0, p, 1.0);
                if (dew.error == 0) {
                    ++flashes;
                    // No liquid condenses just above the dew point.
                    if (!check.vapourStable(dew.t + 0.02, z))
                        fail(where + ": a liquid condenses above the dew point " + std::to_string(dew.t));
                }
                if (bub.error == 0) {
                    ++flashes;
                    if (phase == 2 && std::abs(check.bubbleGap(bub.t, z).second) > 1e-6)
                        fail(where + ": a bubble point off its condition");
                }
                if (bub.error != 0 || dew.error != 0) continue;
                // Anywhere between the bubble and the dew point, and
                // just below the dew point, where the first liquid has
                // only just appeared.
                for (const double t : {bub.t + uniform(0.0, 1.0) * (dew.t - bub.t), dew.t - 0.05 - uniform(0.0, 1.0)}) {
                    const auto s = RunFlash("TP", phase, "NRTL", ids, z, t, p, 0.0);
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
    std::printf("%d azeotropes and %d flashes checked, %d false\n", rows, flashes, wrong);
    EXPECT_GT(rows, 30);
    EXPECT_GT(flashes, 200);
    EXPECT_EQ(wrong, 0);
}

// ---------------------------------------------------------------------------
// The complete azeotrope search: a superset of the classic search, every
// binary azeotrope a dense scan of bubble points finds (double azeotropes
// included), and the ternaries the classic search misses, counted by the
// winding number of y - x.
SearchResult RunCompleteSearch(const std::vector<std::int64_t>& ids, std::int64_t phase,
                               std::int64_t capacity = kAzeoDefaultCapacity) {
    return RunSearch(ids, phase, capacity, "NRTL      ", 101325.0, [](auto&&... a) { Complete_Azeo_Search(a...); });
}

// max |y - x| at the bubble point of azeotrope a over its own components,
// computed here with one flash: an azeotrope has y = x.
double Residual(const std::vector<std::int64_t>& ids, const SearchResult& r, std::int64_t a, int phase) {
    std::vector<std::int64_t> sub;
    std::vector<double> z;
    for (std::int64_t c = 0; c < r.n; ++c)
        if (r.x(a, c) > 0.0) sub.push_back(ids[static_cast<std::size_t>(c)]), z.push_back(r.x(a, c));
    const auto b = EngineBubble(sub, z, phase);
    double worst = b.error == 0 ? 0.0 : 1.0;
    for (std::size_t k = 0; k < z.size(); ++k) worst = std::max(worst, std::abs(b.y[k] - z[k]));
    return worst;
}

// Ternary azeotropes found without the search: the winding number of the
// field (y1 - x1, y2 - x2) of bubble points around every cell of a dense
// triangular grid of n cells a side, kept inside the triangle so that the
// binary azeotropes on its edges do not count.  A cell around a simple zero
// winds once.
// Where the field turns fast along a cell edge (next to a zero, or where
// it nearly vanishes along a line) the edge is halved until every piece
// turns by less than a quarter circle; returns -1 when even 2^12 pieces do
// not resolve an edge.
int TernaryRootsByWinding(const std::vector<std::int64_t>& ids, int phase, int n, double inset) {
    using Point = std::array<double, 3>;
    auto field = [&](const Point& z) {
        const auto b = EngineBubble(ids, z, phase);
        return b.error == 0 ? std::atan2(b.y[1] - z[1], b.y[0] - z[0]) : std::nan("");
    };
    auto point = [&](int i, int j) {
        const double a = static_cast<double>(i) / n, b = static_cast<double>(j) / n, w = 1 - 3 * inset;
        return Point{inset + w * a, inset + w * b, inset + w * (1 - a - b)};
    };
    std::vector<double> angle((n + 1) * (n + 1), std::nan(""));
    auto at = [&](int i, int j) -> double& { return angle[static_cast<std::size_t>(i * (n + 1) + j)]; };
    for (int i = 0; i <= n; ++i)
        for (int j = 0; i + j <= n; ++j) at(i, j) = field(point(i, j));
    bool unresolved = false;
    auto wrap = [](double d) { return std::remainder(d, 2 * std::numbers::pi); };
    std::function<double(const Point&, double, const Point&, double, int)> turn =
        [&](const Point& za, double ta, const Point& zb, double tb, int depth) {
            const double d = wrap(tb - ta);
            if (std::abs(d) <= std::numbers::pi / 2) return d;
            if (depth == 12 || !std::isfinite(ta) || !std::isfinite(tb)) return unresolved = true, d;
            const Point zm{(za[0] + zb[0]) / 2, (za[1] + zb[1]) / 2, (za[2] + zb[2]) / 2};
            const double tm = field(zm);
            return turn(za, ta, zm, tm, depth + 1) + turn(zm, tm, zb, tb, depth + 1);
        };
    auto winds = [&](int ia, int ja, int ib, int jb, int ic, int jc) {
        const double a = at(ia, ja), b = at(ib, jb), c = at(ic, jc);  // a failed flash leaves the cell unresolved
        const Point pa = point(ia, ja), pb = point(ib, jb), pc = point(ic, jc);
        return std::abs(turn(pa, a, pb, b, 0) + turn(pb, b, pc, c, 0) + turn(pc, c, pa, a, 0)) > std::numbers::pi;
    };
    int roots = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; i + j < n; ++j) {
            roots += winds(i, j, i + 1, j, i, j + 1);
            if (i + j + 2 <= n) roots += winds(i + 1, j, i + 1, j + 1, i, j + 1);
        }
    return unresolved ? -1 : roots;
}

int Azeotropes(const SearchResult& r, std::int64_t size, std::int64_t i = -1, std::int64_t j = -1) {
    int count = 0;
    for (std::int64_t a = 0; a < r.count; ++a)
        count += r.sizes[static_cast<std::size_t>(a)] == size && (i < 0 || (r.x(a, i) > 0.0 && r.x(a, j) > 0.0));
    return count;
}

// The complete search keeps every classic azeotrope, and each one it adds
// has y = x at its bubble point.
void ExpectSupersetOfClassic(const std::vector<std::int64_t>& ids, const SearchResult& classic, const SearchResult& r,
                             int phase, const std::string& where) {
    for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(r, classic, a)) << where << " classic " << a;
    for (std::int64_t a = classic.count; a < r.count; ++a)
        EXPECT_LT(Residual(ids, r, a, phase), 1e-6) << where << "\n" << r.describe();
}

// Benzene/hexafluorobenzene at 1 atm, the first double azeotrope measured:
// a minimum-boiling azeotrope at 352.45 K, x(benzene) = 0.792, and a
// maximum-boiling one at 353.45 K, x(benzene) = 0.187 (Chinikamala et al.,
// 1973), both between boiling points 0.17 K apart.  The model is NRTL fitted
// to those two points with published vapour pressures; it puts the maximum
// at 353.59 K, x = 0.168, so the tolerances are those of the fit.  The
// classic search's screening (K-values at infinite dilution on the same side
// of 1 at both ends) never tries it; a dense scan finds both.
TEST_F(AzeoSearch, CompleteBenzeneHexafluorobenzeneDoubleAzeotropeAsPublished) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/benzene_hexafluorobenzene.toml");
    const auto ids = Ids({"BENZENE", "C6F6"});
    ASSERT_EQ(BinaryAzeotropesByScan(ids, 2, 1998, 1.0 / 2000).size(), 2u);
    EXPECT_LT(RunSearch(ids, 2).count, 2);
    const SearchResult r = RunCompleteSearch(ids, 2);
    ASSERT_EQ(r.count, 2) << r.describe();
    const std::int64_t low = r.t(0) < r.t(1) ? 0 : 1, high = 1 - low;
    EXPECT_NEAR(r.t(low), 352.45, 0.1) << r.describe();
    EXPECT_NEAR(r.x(low, 0), 0.792, 0.01) << r.describe();
    EXPECT_NEAR(r.t(high), 353.45, 0.2) << r.describe();
    EXPECT_NEAR(r.x(high, 0), 0.187, 0.025) << r.describe();
    for (std::int64_t a = 0; a < 2; ++a) EXPECT_LT(Residual(ids, r, a, 2), 1e-7) << r.describe();
    // The minimum-boiling azeotrope is the unstable node of the binary, the
    // maximum-boiling one the stable node, and the pure components saddles.
    EXPECT_EQ(r.codes[static_cast<std::size_t>(low)], kUnstableNode) << r.describe();
    EXPECT_EQ(r.codes[static_cast<std::size_t>(high)], kStableNode) << r.describe();
}

// The eight-component example with three phases: the classic search finds
// no chloroform/water/benzene and no methanol/water/benzene azeotrope,
// although they exist (341.09 and 342.33 K), nor the heterogeneous
// acetone/chloroform/water/benzene one (341.03 K); the complete search finds
// all three and keeps everything the classic one found.
TEST_F(AzeoSearch, CompleteEightComponentsFindTheTernariesTheClassicMisses) {
    Open("eight_components.toml");
    const auto ids = Ids({"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL", "WATER", "BENZENE", "BUTANOL", "TOLUENE"});
    const SearchResult classic = RunSearch(ids, 3);
    const SearchResult r = RunCompleteSearch(ids, 3);
    ExpectSupersetOfClassic(ids, classic, r, 3, "eight components");
    auto find = [&](std::initializer_list<std::int64_t> members, double t) {
        for (std::int64_t a : r.with(members))
            if (std::abs(r.t(a) - t) < 0.1) return a;
        return std::int64_t{-1};
    };
    const std::int64_t cwb = find({1, 4, 5}, 341.09), mwb = find({2, 4, 5}, 342.33), acwb = find({0, 1, 4, 5}, 341.03);
    ASSERT_TRUE(cwb >= 0 && mwb >= 0 && acwb >= 0) << r.describe();
    EXPECT_EQ(r.phases[static_cast<std::size_t>(acwb)], kHeterogeneous);
    for (std::int64_t a : {cwb, mwb, acwb}) EXPECT_LT(Residual(ids, r, a, 3), 1e-6) << a;
    for (std::int64_t a = classic.count; a < r.count; ++a) EXPECT_GT(r.codes[static_cast<std::size_t>(a)], 0) << a;

    // With room for one more than the classic search finds, the table is
    // full: it keeps the classic azeotropes and says the list is cut short.
    ASSERT_GT(r.count, classic.count + 1);
    const SearchResult cut = RunCompleteSearch(ids, 3, classic.count + 1);
    EXPECT_EQ(cut.error, kAzeoSearchFailed);
    EXPECT_EQ(cut.count, classic.count + 1);
    for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(cut, classic, a)) << a;
}

// 250 random NRTL ternaries (fixed seed): in every one whose field the grid
// resolves, the complete search finds as many ternary azeotropes as the
// winding numbers count; in the first twelve it also keeps every classic
// azeotrope and finds on every edge as many binary azeotropes as a dense scan
// of bubble points.  The classic search misses some ternaries (one per
// sub-mixture at most) and, in one, lists an azeotrope of a binary with a
// trace of the third component as ternary; the complete search does neither.
TEST_F(AzeoSearch, CompleteRandomTernariesAgainstTheFieldsWindingAndADenseScan) {
    std::mt19937 rng(777);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    int counted = 0, roots = 0, classic_misses = 0, classic_extra = 0;
    for (int mixture = 0; mixture < 250; ++mixture) {
        OpenText("w.toml", RandomNrtlProblem(3, uniform, 335.0, 350.0, -400, 800));
        const auto ids = Numbered(3);
        const std::string where = "mixture " + std::to_string(mixture);
        const int inside = TernaryRootsByWinding(ids, 2, 64, 1e-3);
        const SearchResult classic = RunSearch(ids, 2), r = RunCompleteSearch(ids, 2);
        if (mixture < 12) {
            ExpectSupersetOfClassic(ids, classic, r, 2, where);
            for (std::int64_t i = 0; i < 3; ++i)
                for (std::int64_t j = i + 1; j < 3; ++j)
                    EXPECT_EQ(Azeotropes(r, 2, i, j),
                              std::ssize(BinaryAzeotropesByScan(std::vector{ids[i], ids[j]}, 2, 1998, 1.0 / 2000)))
                        << where << " edge " << i << j << "\n" << r.describe();
        }
        // A field that no halving resolves (zeros about to merge) leaves the
        // mixture uncounted.
        if (inside < 0) continue;
        ++counted;
        roots += inside;
        classic_misses += Azeotropes(classic, 3) < inside;
        classic_extra += Azeotropes(classic, 3) > inside;
        EXPECT_EQ(Azeotropes(r, 3), inside) << where << "\n" << r.describe();
    }
    EXPECT_GE(counted, 245);
    EXPECT_GT(roots, 100);
    // The set must hold what the test is for.
    EXPECT_GE(classic_misses, 2);
    EXPECT_GE(classic_extra, 1);
}

// Sixteen strongly non-ideal components, where the classic search stops at
// its limit on sub-mixtures tried in vain: the complete search runs to the
// end, says nothing is missing, and keeps every azeotrope it finds among the
// first twelve of them.
TEST_F(AzeoSearch, CompleteSixteenComponentsRunToTheEndAndKeepTheSubsetsAzeotropes) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml");
    const auto ids = Numbered(16);
    ASSERT_EQ(RunSearch(ids, 2).error, kAzeoSearchFailed) << "the file no longer takes the classic search to its limit";
    const SearchResult all = RunCompleteSearch(ids, 2, kCompleteSearchCapacity);
    EXPECT_EQ(all.error, kAzeoClean);
    const SearchResult sub = RunCompleteSearch(Numbered(12), 2, kCompleteSearchCapacity);
    EXPECT_EQ(sub.error, kAzeoClean);
    ASSERT_GT(sub.count, 50);
    EXPECT_GT(all.count, sub.count);
    for (std::int64_t a = 0; a < sub.count; ++a) EXPECT_TRUE(Contains(all, sub, a)) << a << "\n" << sub.describe();
}

}  // namespace
}  // namespace ternival::testing
