// The azeotrope search on the example mixtures, against published azeotropes
// (Horsley's tables at 101325 Pa) and against searches of sub-mixtures.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>

#include "engine/engine_flash.h"
#include "numerics/diagnostics.h"
#include "search_env.h"

namespace {

using namespace ternival;
using ternival::testing::IndexOf;
using ternival::testing::RandomNrtlProblem;
using ternival::testing::RunSearch;
using ternival::testing::SearchEnvironment;
using ternival::testing::SearchResult;

class AzeoSearch : public SearchEnvironment {};

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
    struct Published {
        std::initializer_list<std::int64_t> members;
        double t, x0, x1, x2;
        std::int64_t code;
    };
    // Maximum-boiling acetone-chloroform (64.5 C), minimum-boiling acetone-
    // methanol (55.5 C) and chloroform-methanol (53.5 C), ternary saddle (57.5 C).
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
        EXPECT_NEAR(r.temperatures[k], p.t, 0.6);
        EXPECT_NEAR(r.x(a, 0), p.x0, 0.03);
        EXPECT_NEAR(r.x(a, 1), p.x1, 0.03);
        EXPECT_NEAR(r.x(a, 2), p.x2, 0.03);
        EXPECT_EQ(r.sizes[k], static_cast<std::int64_t>(p.members.size()));
        EXPECT_EQ(r.phases[k], kHomogeneous);
        EXPECT_EQ(r.codes[k], p.code);
    }
    // Methanol is the other stable node; acetone and chloroform are saddles.
    EXPECT_EQ(r.singular_codes[0], kSaddle);
    EXPECT_EQ(r.singular_codes[1], kSaddle);
    EXPECT_EQ(r.singular_codes[2], kStableNode);
    EXPECT_EQ(IndexOf(r), 2);
    EXPECT_EQ(AzeoLastSearchState().passes, 1);
    EXPECT_EQ(LogCount(511), 0);
    // The singular-point table: unit vectors, then the azeotropes as listed.
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(r.singular_compositions[static_cast<std::size_t>(c + 3 * i)], c == i ? 1.0 : 0.0);
    for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_EQ(r.singular_temperatures[3 + a], r.temperatures[a]);
        EXPECT_EQ(r.singular_codes[3 + a], r.codes[a]);
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(r.singular_compositions[(3 + a) * 3 + c], r.compositions[a * 3 + c]);
    }
    // Beyond the count nothing is written.
    EXPECT_EQ(r.temperatures[4], -7.0);
    EXPECT_EQ(r.singular_codes[7], -7);
}

TEST_F(AzeoSearch, ResultsFollowTheCallersComponentOrder) {
    Open("acetone_chloroform_methanol.toml");
    const auto r = RunSearch(Ids({"METHANOL", "ACETONE", "CHLOROFM"}), 2);
    ASSERT_EQ(r.count, 4);
    const auto a = only(r, {1, 2});  // acetone-chloroform
    ASSERT_GE(a, 0);
    EXPECT_NEAR(r.x(a, 1), 0.34, 0.03);
    EXPECT_EQ(r.singular_codes[0], kStableNode);  // methanol
    EXPECT_NEAR(r.singular_temperatures[0], 337.7, 0.3);
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
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(t)], 338.05, 1.5);
    EXPECT_NEAR(r.x(t, 0), 0.228, 0.06);
    EXPECT_NEAR(r.x(t, 1), 0.233, 0.06);
    // Water-benzene splits into two liquids (69.3 C); ethanol-water (78.15 C,
    // x = 0.894) and ethanol-benzene (67.9 C, x = 0.448) do not.
    const auto wb = only(r, {1, 2}), ew = only(r, {0, 1}), eb = only(r, {0, 2});
    ASSERT_TRUE(wb >= 0 && ew >= 0 && eb >= 0);
    EXPECT_EQ(r.phases[static_cast<std::size_t>(wb)], kHeterogeneous);
    EXPECT_EQ(r.phases[static_cast<std::size_t>(ew)], kHomogeneous);
    EXPECT_EQ(r.phases[static_cast<std::size_t>(eb)], kHomogeneous);
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(wb)], 342.45, 0.5);
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(ew)], 351.3, 0.3);
    EXPECT_NEAR(r.x(ew, 0), 0.894, 0.01);
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(eb)], 341.05, 0.5);
    EXPECT_NEAR(r.x(eb, 0), 0.448, 0.02);
    // The three pure components are stable nodes, the binaries saddles.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.singular_codes[static_cast<std::size_t>(i)], kStableNode);
    EXPECT_EQ(IndexOf(r), 2);

    // With vapour-liquid flashes only, nothing is flagged heterogeneous.
    const auto two = RunSearch(ids, 2);
    for (std::int64_t a = 0; a < two.count; ++a) EXPECT_EQ(two.phases[static_cast<std::size_t>(a)], kHomogeneous);
}

TEST_F(AzeoSearch, ZeotropicMixtureHasNone) {
    Open("benzene_toluene_ethylbenzene.toml");
    const auto r = RunSearch(Ids({"BENZENE", "TOLUENE", "ETHBENZ"}), 2, 100, "IDEAL");
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.singular_codes[0], kUnstableNode);
    EXPECT_EQ(r.singular_codes[1], kSaddle);
    EXPECT_EQ(r.singular_codes[2], kStableNode);
    // Normal boiling points 80.1, 110.6, 136.2 C; the vapour-pressure
    // correlation of ethylbenzene is 0.7 K low there.
    EXPECT_NEAR(r.singular_temperatures[0], 353.25, 0.3);
    EXPECT_NEAR(r.singular_temperatures[1], 383.75, 0.3);
    EXPECT_NEAR(r.singular_temperatures[2], 409.35, 0.8);
    EXPECT_EQ(r.singular_codes[3], -7);
}

TEST_F(AzeoSearch, BinaryIsSearchedOnce) {
    Open("acetone_chloroform_methanol.toml");
    const auto r = RunSearch(Ids({"ACETONE", "CHLOROFM"}), 2);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(AzeoLastSearchState().passes, 1);
    EXPECT_EQ(r.codes[0], kStableNode);
    EXPECT_EQ(r.singular_codes[0], kUnstableNode);
    EXPECT_EQ(r.singular_codes[1], kUnstableNode);
}

TEST_F(AzeoSearch, CapacityReachedKeepsWhatWasFound) {
    Open("acetone_chloroform_methanol.toml");
    const auto r = RunSearch(Ids({"ACETONE", "CHLOROFM", "METHANOL"}), 2, 2);
    EXPECT_EQ(r.error, kAzeoSearchFailed);
    EXPECT_EQ(r.count, 2);
    EXPECT_GE(LogCount(509), 1);
    for (std::size_t a = 0; a < 2; ++a) EXPECT_GT(r.codes[a], 0);
    EXPECT_EQ(r.singular_codes.size(), 5u);  // nothing written beyond 3 + 2
}

TEST_F(AzeoSearch, TooManyComponentsIsRefused) {
    Open("eight_components.toml");
    const auto one = Ids({"WATER"});
    const std::vector<std::int64_t> ids(21, one.front());
    const auto r = RunSearch(ids, 2, 5);
    EXPECT_EQ(r.error, kAzeoSearchFailed);
    EXPECT_EQ(r.count, 0);
    EXPECT_GE(LogCount(509), 1);
}

TEST_F(AzeoSearch, DiagnosticLinesAreDiscarded) {
    Open("acetone_chloroform_methanol.toml");
    std::ostringstream seen;
    {
        const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, seen);
        RunSearch(Ids({"ACETONE", "CHLOROFM", "METHANOL"}), 2);
        // The binding is the caller's again after the search.
        DiagnosticChannel::Stream(kAzeotropeDiagnosticUnit) << "after";
    }
    EXPECT_EQ(seen.str(), "after");
}

TEST_F(AzeoSearch, EightComponentsFindWhatTheTernarySearchesFind) {
    Open("eight_components.toml");
    const std::vector<const char*> names{"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL",
                                         "WATER", "BENZENE", "BUTANOL", "TOLUENE"};
    std::vector<std::int64_t> ids;
    for (const char* name : names) ids.push_back(LookupComponentIndex(name));
    const auto all = RunSearch(ids, 3);
    ASSERT_EQ(all.error, 0) << all.describe();
    int checked = 0;
    for (std::int64_t i = 0; i < 8; ++i)
        for (std::int64_t j = i + 1; j < 8; ++j)
            for (std::int64_t k = j + 1; k < 8; ++k) {
                const std::int64_t member[3] = {i, j, k};
                const auto sub = RunSearch({ids[i], ids[j], ids[k]}, 3);
                for (std::int64_t a = 0; a < sub.count; ++a) {
                    // The same component set in the eight-component results.
                    bool matched = false;
                    for (std::int64_t b = 0; b < all.count && !matched; ++b) {
                        bool same = true;
                        double d = 0.0;
                        for (std::int64_t c = 0; c < 8; ++c) {
                            double xs = 0.0;
                            for (int m = 0; m < 3; ++m) if (member[m] == c) xs = sub.x(a, m);
                            same = same && (xs > 0.0) == (all.x(b, c) > 0.0);
                            d = std::max(d, std::abs(xs - all.x(b, c)));
                        }
                        matched = same && d < 2e-3 &&
                                  std::abs(sub.temperatures[static_cast<std::size_t>(a)] -
                                           all.temperatures[static_cast<std::size_t>(b)]) < 0.05;
                    }
                    EXPECT_TRUE(matched) << names[i] << '/' << names[j] << '/' << names[k] << " azeotrope "
                                         << a << "\n" << sub.describe();
                    ++checked;
                }
            }
    // Every pair and triple azeotrope appears in several sub-mixtures.
    EXPECT_GT(checked, 30);
}

}  // namespace

namespace {

// A ternary whose classification fails the topological check in the first
// component orders and satisfies it in a later one.
const std::string kRetriedTernary = std::string(TERNIVAL_TEST_DATA_DIR) + "/retried_ternary.toml";

// A partially miscible ternary whose classification at 8.17 kPa fails the
// check in every order.
const std::string kNeverConsistent = std::string(TERNIVAL_TEST_DATA_DIR) + "/inconsistent_ternary.toml";

TEST_F(AzeoSearch, ARetryInAnotherOrderEndsWithAConsistentMap) {
    OpenFile(kRetriedTernary);
    const SearchResult r = RunSearch(Ids({"C0", "C1", "C2"}), 2, 100, "NRTL      ", 49073.2);
    const auto& state = AzeoLastSearchState();
    ASSERT_GE(state.passes, 2) << "the first order should fail the check for this mixture";
    EXPECT_LT(state.passes, 6);
    EXPECT_EQ(IndexOf(r), 2) << r.describe();
    EXPECT_EQ(LogCount(511), 0);
}

TEST_F(AzeoSearch, PureComponentCodesFollowTheCallersOrderAfterEveryRetry) {
    OpenFile(kNeverConsistent);
    const auto ids = Ids({"C0", "C1", "C2"});
    const double pressure = 8173.322688827733;
    const SearchResult r = RunSearch(ids, 3, 100, "NRTL      ", pressure);
    ASSERT_EQ(AzeoLastSearchState().passes, 6);
    EXPECT_EQ(LogCount(511), 1);
    // The last order tried permutes the components; the codes still belong
    // to the caller's: each agrees with a classification made here at that
    // vertex in the caller's order.
    std::set<std::int64_t> distinct;
    for (std::size_t i = 0; i < 3; ++i) {
        std::array<double, 3> vertex{};
        vertex[i] = 1.0;
        std::int64_t code = 0, flag = 0;
        std::array<double, 2> re{};
        std::array<double, 4> vectors{};
        Stability_RCM(3, vertex, 1, pressure, ids, "NRTL      ", 3, code, re, vectors, flag);
        ASSERT_EQ(flag, 0);
        EXPECT_EQ(r.singular_codes[i], code) << "component " << i << "\n" << r.describe();
        distinct.insert(code);
    }
    EXPECT_GT(distinct.size(), 1u);  // else a permutation could not show
}

}  // namespace

namespace {

// Bubble-point vapour of a binary liquid x1 at the pressure, through the
// engine but not through the search.
double VapourOf(const std::vector<std::int64_t>& ids, double x1, double pressure, int phase, double& t) {
    std::array<double, 2> z{x1, 1.0 - x1}, y{}, x{}, a{}, b{};
    double p = pressure, vf = 0.0, r = 0.0;
    t = 0.0;
    std::int64_t err = 0;
    EngineFlash("PV", phase, "NRTL      ", 2, ids, z, t, p, vf, y, x, r, a, b, err);
    return err == 0 ? y[0] : std::nan("");
}

TEST_F(AzeoSearch, RandomBinariesAgreeWithADenseScanOfBubblePoints) {
    // Each binary's azeotropes are where y1 - x1 changes sign along a dense
    // grid of bubble points; a binary with exactly one such change must
    // have that azeotrope found, at that composition and temperature.
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
        std::vector<double> roots;
        constexpr int kGrid = 400;
        double t = 0.0, previous = VapourOf(ids, 1e-4, 101325.0, 2, t) - 1e-4;
        for (int g = 1; g <= kGrid; ++g) {
            const double x = 1e-4 + (1.0 - 2e-4) * g / kGrid;
            const double d = VapourOf(ids, x, 101325.0, 2, t) - x;
            if (std::signbit(d) != std::signbit(previous)) {
                // Bisection to the root.
                double lo = x - (1.0 - 2e-4) / kGrid, hi = x, dlo = previous;
                for (int it = 0; it < 50; ++it) {
                    const double mid = 0.5 * (lo + hi), dm = VapourOf(ids, mid, 101325.0, 2, t) - mid;
                    if (std::signbit(dm) == std::signbit(dlo)) {
                        lo = mid;
                        dlo = dm;
                    } else {
                        hi = mid;
                    }
                }
                roots.push_back(0.5 * (lo + hi));
            }
            previous = d;
        }
        const SearchResult r = RunSearch(ids, 2);
        if (roots.size() != 1) continue;
        ++checked;
        ASSERT_EQ(r.count, 1) << "binary " << m << " has an azeotrope at x1 = " << roots[0] << "\n" << problem
                              << r.describe();
        double troot = 0.0;
        VapourOf(ids, roots[0], 101325.0, 2, troot);
        EXPECT_NEAR(r.x(0, 0), roots[0], 2e-3) << "binary " << m << "\n" << problem;
        EXPECT_NEAR(r.temperatures[0], troot, 0.01) << "binary " << m;
    }
    EXPECT_GE(checked, 15);
}

}  // namespace

namespace {

TEST_F(AzeoSearch, AHeteroazeotropeWithModeratelyDifferentLiquidsIsHeterogeneous) {
    // Two liquids that differ by about 0.1 in squared mole fraction at the
    // azeotrope: clearly two phases, far from the trivial split.
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/heterogeneous_binary.toml");

    const auto ids = Ids({"C0", "C1"});
    const SearchResult r = RunSearch(ids, 3);
    ASSERT_EQ(r.count, 1) << r.describe();
    // The liquids of the three-phase bubble point there, computed here.
    std::array<double, 2> z{r.x(0, 0), r.x(0, 1)}, y{}, x{}, x1{}, x2{};
    double t = 0, p = 101325, vf = 0, res = 0;
    std::int64_t err = 0;
    EngineFlash("PV", 3, "NRTL      ", 2, ids, z, t, p, vf, y, x, res, x1, x2, err);
    ASSERT_EQ(err, 0);
    const double d = (x1[0] - x2[0]) * (x1[0] - x2[0]) + (x1[1] - x2[1]) * (x1[1] - x2[1]);
    ASSERT_GT(d, 0.05);
    EXPECT_EQ(r.phases[0], 2) << r.describe();
    EXPECT_NEAR(r.temperatures[0], t, 0.05);
}

}  // namespace

namespace {

TEST_F(AzeoSearch, UnconditionalDiagnosticLinesOfTheSearchAreDiscarded) {
    // Twenty strongly non-ideal components: the enumeration writes lines even
    // at print level 0 (its limits, locations that do not converge).  They
    // reach a caller's stream when the enumeration runs alone, never when
    // the search runs it.
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml");
    std::vector<std::int64_t> ids;
    for (int k = 0; k < 20; ++k) ids.push_back(LookupComponentIndex("C" + std::to_string(k)));
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
    }
    EXPECT_EQ(seen.str(), "");
}

}  // namespace
