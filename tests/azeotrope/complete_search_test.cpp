// The complete azeotrope search: a superset of the classic search, every
// binary azeotrope a dense scan of bubble points finds (double azeotropes
// included), and the ternaries the classic search misses.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>

#include "azeotrope/complete_search.h"
#include "engine/engine_flash.h"
#include "search_env.h"

namespace ternival::testing {
namespace {

SearchResult RunCompleteSearch(const std::vector<std::int64_t>& ids, std::int64_t phase, double pressure = 101325.0,
                               std::string_view method = "NRTL      ",
                               std::int64_t capacity = kAzeoDefaultCapacity) {
    SearchResult r = ResultBuffers(ids, capacity);
    Complete_Azeo_Search(r.n, pressure, phase, method, ids, r.count, r.compositions, r.temperatures, r.sizes, r.phases,
                         r.codes, r.singular_compositions, r.singular_temperatures, r.singular_codes, r.error);
    return r;
}

// y - x at the bubble point of x over all the search's components,
// computed here with one flash: an azeotrope has y = x.
double Residual(const std::vector<std::int64_t>& ids, const SearchResult& r, std::int64_t a, std::int64_t phase,
                double pressure = 101325.0) {
    const auto n = static_cast<std::size_t>(r.n);
    std::vector<std::int64_t> sub;
    std::vector<double> z;
    for (std::size_t c = 0; c < n; ++c)
        if (r.x(a, static_cast<std::int64_t>(c)) > 0.0) {
            sub.push_back(ids[c]);
            z.push_back(r.x(a, static_cast<std::int64_t>(c)));
        }
    std::vector<double> y(sub.size()), x(sub.size()), x1(sub.size()), x2(sub.size());
    double t = 0.0, p = pressure, vf = 0.0, res = 0.0;
    std::int64_t err = 0;
    EngineFlash("PV", static_cast<int>(phase), "NRTL", static_cast<int>(sub.size()), sub, z, t, p, vf, y, x, res, x1,
                x2, err);
    if (err != 0) return 1.0;
    double worst = 0.0;
    for (std::size_t k = 0; k < z.size(); ++k) worst = std::max(worst, std::abs(y[k] - z[k]));
    return worst;
}

// Sign changes of y1 - x1 of the binary (i, j) on a dense grid: the
// number of its azeotropes, found without the search.
int BinaryRootsByScan(std::int64_t id_i, std::int64_t id_j, std::int64_t phase, double pressure = 101325.0) {
    const std::vector<std::int64_t> ids{id_i, id_j};
    int roots = 0;
    double prev = std::nan("");
    for (int k = 1; k < 2000; ++k) {
        const double x1 = k / 2000.0;
        const std::vector<double> z{x1, 1.0 - x1};
        std::vector<double> y(2), x(2), a(2), b(2);
        double t = 0.0, p = pressure, vf = 0.0, res = 0.0;
        std::int64_t err = 0;
        EngineFlash("PV", static_cast<int>(phase), "NRTL", 2, ids, z, t, p, vf, y, x, res, a, b, err);
        const double v = err == 0 ? y[0] - x1 : std::nan("");
        if (std::isfinite(v) && std::isfinite(prev) && (v > 0.0) != (prev > 0.0)) ++roots;
        prev = v;
    }
    return roots;
}

// Ternary azeotropes found without the search: the winding number of the
// field (y1 - x1, y2 - x2) of bubble points around every cell of a dense
// triangular grid, kept inside the triangle so that the binary azeotropes
// on its edges do not count.  A cell around a simple zero winds once.
// Where the field turns fast along a cell edge (next to a zero, or where
// it nearly vanishes along a line) the edge is halved until every piece
// turns by less than a quarter circle; returns -1 when even 2^12 pieces do
// not resolve an edge.
int TernaryRootsByWinding(const std::vector<std::int64_t>& ids, std::int64_t phase, int cells, double inset) {
    using Point = std::array<double, 3>;
    auto field = [&](const Point& z) {
        std::vector<double> y(3), x(3), l1(3), l2(3);
        double t = 0.0, p = 101325.0, vf = 0.0, res = 0.0;
        std::int64_t err = 0;
        EngineFlash("PV", static_cast<int>(phase), "NRTL", 3, ids, z, t, p, vf, y, x, res, l1, l2, err);
        return err == 0 ? std::atan2(y[1] - z[1], y[0] - z[0]) : std::nan("");
    };
    const int n = cells;
    auto point = [&](int i, int j) {
        const double a = static_cast<double>(i) / n, b = static_cast<double>(j) / n;
        return Point{inset + (1 - 3 * inset) * a, inset + (1 - 3 * inset) * b, inset + (1 - 3 * inset) * (1 - a - b)};
    };
    std::vector<double> angle((n + 1) * (n + 1), std::nan(""));
    auto at = [&](int i, int j) -> double& { return angle[static_cast<std::size_t>(i * (n + 1) + j)]; };
    for (int i = 0; i <= n; ++i)
        for (int j = 0; i + j <= n; ++j) at(i, j) = field(point(i, j));
    bool unresolved = false;
    auto wrap = [](double d) {
        while (d > std::numbers::pi) d -= 2 * std::numbers::pi;
        while (d < -std::numbers::pi) d += 2 * std::numbers::pi;
        return d;
    };
    std::function<double(const Point&, double, const Point&, double, int)> turn =
        [&](const Point& za, double ta, const Point& zb, double tb, int depth) {
            const double d = wrap(tb - ta);
            if (std::abs(d) <= std::numbers::pi / 2) return d;
            if (depth == 12 || !std::isfinite(ta) || !std::isfinite(tb)) {
                unresolved = true;
                return d;
            }
            const Point zm{(za[0] + zb[0]) / 2, (za[1] + zb[1]) / 2, (za[2] + zb[2]) / 2};
            const double tm = field(zm);
            return turn(za, ta, zm, tm, depth + 1) + turn(zm, tm, zb, tb, depth + 1);
        };
    auto winds = [&](int ia, int ja, int ib, int jb, int ic, int jc) {
        const double a = at(ia, ja), b = at(ib, jb), c = at(ic, jc);
        if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) {
            unresolved = true;
            return false;
        }
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

int TernaryAzeotropes(const SearchResult& r) {
    int count = 0;
    for (std::int64_t a = 0; a < r.count; ++a) count += r.sizes[static_cast<std::size_t>(a)] == 3;
    return count;
}

int BinaryAzeotropes(const SearchResult& r, std::int64_t i, std::int64_t j) {
    int count = 0;
    for (std::int64_t a = 0; a < r.count; ++a)
        if (r.sizes[static_cast<std::size_t>(a)] == 2 && r.x(a, i) > 0.0 && r.x(a, j) > 0.0) ++count;
    return count;
}

bool Contains(const SearchResult& big, const SearchResult& small, std::int64_t a) {
    for (std::int64_t b = 0; b < big.count; ++b) {
        double d = 0.0;
        for (std::int64_t c = 0; c < big.n; ++c) d = std::max(d, std::abs(big.x(b, c) - small.x(a, c)));
        if (d < 2e-3) return true;
    }
    return false;
}

class CompleteSearch : public SearchEnvironment {};

// A binary with two azeotropes (K-values at infinite dilution on the same
// side of 1 at both ends, as benzene/hexafluorobenzene): nearly equal
// vapour pressures and an S-shaped ln(gamma1/gamma2).  The classic search's
// screening never tries it.
TEST_F(CompleteSearch, DoubleAzeotropeOfABinary) {
    OpenText("double.toml",
             "missing = \"ideal\"\n"
             "[[component]]\nid = \"A\"\nmw = 80.0\nantoine = [22.0, -3710.0]\n"
             "[[component]]\nid = \"B\"\nmw = 80.0\nantoine = [22.0, -3666.0]\n"
             "[[method]]\nname = \"NRTL\"\nmodel = \"NRTL\"\n"
             "[[method.pair]]\ni = \"A\"\nj = \"B\"\nbij = 1028.0\nbji = -267.0\nalpha = 0.47\n");
    const auto ids = Ids({"A", "B"});
    ASSERT_EQ(BinaryRootsByScan(ids[0], ids[1], 2), 2);
    const SearchResult classic = RunSearch(ids, 2);
    EXPECT_LT(classic.count, 2);
    const SearchResult r = RunCompleteSearch(ids, 2);
    ASSERT_EQ(r.count, 2) << r.describe();
    for (std::int64_t a = 0; a < 2; ++a) EXPECT_LT(Residual(ids, r, a, 2), 1e-7) << r.describe();
    EXPECT_GT(std::abs(r.x(0, 0) - r.x(1, 0)), 0.3);
    // The bubble temperature has a minimum at one azeotrope (below both
    // boiling points) and a local maximum at the other.
    auto bubbleT = [&](double x1) {
        const std::vector<double> z{x1, 1.0 - x1};
        std::vector<double> y(2), x(2), a(2), b(2);
        double t = 0.0, p = 101325.0, vf = 0.0, res = 0.0;
        std::int64_t err = 0;
        EngineFlash("PV", 2, "NRTL", 2, ids, z, t, p, vf, y, x, res, a, b, err);
        return t;
    };
    const std::int64_t low = r.temperatures[0] < r.temperatures[1] ? 0 : 1, high = 1 - low;
    EXPECT_LT(r.temperatures[static_cast<std::size_t>(low)],
              std::min(r.singular_temperatures[0], r.singular_temperatures[1]));
    const double xh = r.x(high, 0), th = r.temperatures[static_cast<std::size_t>(high)];
    EXPECT_LT(bubbleT(xh - 0.02), th);
    EXPECT_LT(bubbleT(xh + 0.02), th);
}

// Benzene/hexafluorobenzene at 1 atm, the first double azeotrope measured:
// a minimum-boiling azeotrope at 352.45 K, x(benzene) = 0.792, and a
// maximum-boiling one at 353.45 K, x(benzene) = 0.187 (Chinikamala et al.,
// 1973), both between boiling points 0.17 K apart.  The model is NRTL fitted
// to those two points with published vapour pressures; it puts the maximum
// at 353.59 K, x = 0.168, so the tolerances are those of the fit.
TEST_F(CompleteSearch, BenzeneHexafluorobenzeneDoubleAzeotropeAsPublished) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/benzene_hexafluorobenzene.toml");
    const auto ids = Ids({"BENZENE", "C6F6"});
    ASSERT_EQ(BinaryRootsByScan(ids[0], ids[1], 2), 2);
    EXPECT_LT(RunSearch(ids, 2).count, 2);
    const SearchResult r = RunCompleteSearch(ids, 2);
    ASSERT_EQ(r.count, 2) << r.describe();
    const std::int64_t low = r.temperatures[0] < r.temperatures[1] ? 0 : 1, high = 1 - low;
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(low)], 352.45, 0.1) << r.describe();
    EXPECT_NEAR(r.x(low, 0), 0.792, 0.01) << r.describe();
    EXPECT_NEAR(r.temperatures[static_cast<std::size_t>(high)], 353.45, 0.2) << r.describe();
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
TEST_F(CompleteSearch, EightComponentsFindTheTernariesTheClassicMisses) {
    Open("eight_components.toml");
    const auto ids = Ids({"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL", "WATER", "BENZENE", "BUTANOL", "TOLUENE"});
    const SearchResult classic = RunSearch(ids, 3);
    const SearchResult r = RunCompleteSearch(ids, 3);
    for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(r, classic, a)) << a;
    auto ternaryAt = [&](std::int64_t i, std::int64_t j, std::int64_t k, double t) {
        for (std::int64_t a = 0; a < r.count; ++a)
            if (r.sizes[static_cast<std::size_t>(a)] == 3 && r.x(a, i) > 0 && r.x(a, j) > 0 && r.x(a, k) > 0 &&
                std::abs(r.temperatures[static_cast<std::size_t>(a)] - t) < 0.1)
                return a;
        return std::int64_t{-1};
    };
    const std::int64_t cwb = ternaryAt(1, 4, 5, 341.09), mwb = ternaryAt(2, 4, 5, 342.33);
    ASSERT_GE(cwb, 0) << r.describe();
    ASSERT_GE(mwb, 0) << r.describe();
    EXPECT_LT(Residual(ids, r, cwb, 3), 1e-6);
    EXPECT_LT(Residual(ids, r, mwb, 3), 1e-6);
    // And the heterogeneous acetone/chloroform/water/benzene azeotrope
    // (341.03 K), grown from the ternaries.
    std::int64_t acwb = -1;
    for (std::int64_t a = 0; a < r.count; ++a)
        if (r.sizes[static_cast<std::size_t>(a)] == 4 && r.x(a, 0) > 0 && r.x(a, 1) > 0 && r.x(a, 4) > 0 &&
            r.x(a, 5) > 0 && std::abs(r.temperatures[static_cast<std::size_t>(a)] - 341.03) < 0.1)
            acwb = a;
    ASSERT_GE(acwb, 0) << r.describe();
    EXPECT_EQ(r.phases[static_cast<std::size_t>(acwb)], 2);  // heterogeneous
    EXPECT_LT(Residual(ids, r, acwb, 3), 1e-6);
    for (std::int64_t a = classic.count; a < r.count; ++a) EXPECT_GT(r.codes[static_cast<std::size_t>(a)], 0) << a;

    // With room for one more than the classic search finds, the table is
    // full: it keeps the classic azeotropes and says the list is cut short.
    ASSERT_GT(r.count, classic.count + 1);
    const SearchResult cut = RunCompleteSearch(ids, 3, 101325.0, "NRTL      ", classic.count + 1);
    EXPECT_EQ(cut.error, kAzeoSearchFailed);
    EXPECT_EQ(cut.count, classic.count + 1);
    for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(cut, classic, a)) << a;
}

// Random NRTL ternaries (fixed seed): the complete search keeps every
// classic azeotrope, each added one has y = x, on every edge it finds as
// many binary azeotropes as a dense scan of bubble points, and inside the
// triangle as many ternary azeotropes as the winding numbers of the field
// y - x on a dense grid count.
TEST_F(CompleteSearch, RandomTernariesAgainstADenseScan) {
    std::mt19937 rng(20261207);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    int ternaries = 0, counted = 0;
    for (int mixture = 0; mixture < 12; ++mixture) {
        OpenText("r" + std::to_string(mixture) + ".toml", RandomNrtlProblem(3, uniform, 330.0, 370.0, -300, 600));
        const auto ids = Ids({"C0", "C1", "C2"});
        const SearchResult classic = RunSearch(ids, 2);
        const SearchResult r = RunCompleteSearch(ids, 2);
        for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(r, classic, a)) << mixture;
        for (std::int64_t a = classic.count; a < r.count; ++a)
            EXPECT_LT(Residual(ids, r, a, 2), 1e-6) << mixture << "\n" << r.describe();
        for (std::int64_t i = 0; i < 3; ++i)
            for (std::int64_t j = i + 1; j < 3; ++j)
                EXPECT_EQ(BinaryAzeotropes(r, i, j),
                          BinaryRootsByScan(ids[static_cast<std::size_t>(i)], ids[static_cast<std::size_t>(j)], 2))
                    << "mixture " << mixture << " edge " << i << j << "\n" << r.describe();
        const int inside = TernaryRootsByWinding(ids, 2, 64, 1e-3);
        // A field that no halving resolves (zeros about to merge) leaves
        // the mixture uncounted.
        if (inside < 0) continue;
        ++counted;
        EXPECT_EQ(TernaryAzeotropes(r), inside) << "mixture " << mixture << "\n" << r.describe();
        ternaries += inside;
    }
    RecordProperty("ternary_azeotropes", ternaries);
    RecordProperty("mixtures_counted", counted);
    EXPECT_GE(counted, 9);
    EXPECT_GT(ternaries, 0);  // the set must hold ternary azeotropes to test anything
}

// 250 more random NRTL ternaries, more strongly non-ideal (fixed seed): in
// every one whose field the grid resolves, the complete search finds as many
// ternary azeotropes as the winding numbers count.  The classic search
// misses some (one per sub-mixture at most) and, in one, lists an azeotrope
// of a binary with a trace of the third component as ternary; the complete
// search does neither.
TEST_F(CompleteSearch, TernaryAzeotropesOfRandomMixturesAgainstTheFieldsWinding) {
    std::mt19937 rng(777);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    int counted = 0, roots = 0, classic_misses = 0, classic_extra = 0;
    for (int mixture = 0; mixture < 250; ++mixture) {
        OpenText("w.toml", RandomNrtlProblem(3, uniform, 335.0, 350.0, -400, 800));
        const auto ids = Ids({"C0", "C1", "C2"});
        const int inside = TernaryRootsByWinding(ids, 2, 64, 1e-3);
        if (inside < 0) continue;
        ++counted;
        roots += inside;
        const int classic = TernaryAzeotropes(RunSearch(ids, 2));
        classic_misses += classic < inside;
        classic_extra += classic > inside;
        const SearchResult r = RunCompleteSearch(ids, 2);
        EXPECT_EQ(TernaryAzeotropes(r), inside) << "mixture " << mixture << "\n" << r.describe();
    }
    RecordProperty("ternary_azeotropes", roots);
    RecordProperty("classic_misses", classic_misses);
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
TEST_F(CompleteSearch, SixteenComponentsRunToTheEndAndKeepTheSubsetsAzeotropes) {
    OpenFile(std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml");
    std::vector<std::int64_t> ids;
    for (int k = 0; k < 16; ++k) ids.push_back(LookupComponentIndex("C" + std::to_string(k)));
    const SearchResult classic = RunSearch(ids, 2);
    ASSERT_EQ(classic.error, kAzeoSearchFailed) << "the file no longer takes the classic search to its limit";
    const SearchResult all = RunCompleteSearch(ids, 2, 101325.0, "NRTL      ", kCompleteSearchCapacity);
    EXPECT_EQ(all.error, kAzeoClean);
    const std::vector<std::int64_t> twelve(ids.begin(), ids.begin() + 12);
    const SearchResult sub = RunCompleteSearch(twelve, 2, 101325.0, "NRTL      ", kCompleteSearchCapacity);
    EXPECT_EQ(sub.error, kAzeoClean);
    ASSERT_GT(sub.count, 50);
    EXPECT_GT(all.count, sub.count);
    int missing = 0;
    for (std::int64_t a = 0; a < sub.count; ++a) {
        bool seen = false;
        for (std::int64_t b = 0; b < all.count && !seen; ++b) {
            double d = 0.0;
            for (std::int64_t c = 0; c < 16; ++c) d = std::max(d, std::abs(all.x(b, c) - (c < 12 ? sub.x(a, c) : 0.0)));
            seen = d < 2e-3;
        }
        if (!seen) ++missing;
    }
    EXPECT_EQ(missing, 0);
}

// Random NRTL mixtures of three to eight components (fixed seed): the
// complete search keeps every azeotrope of the classic one, and every one
// it adds has y = x at its bubble point.
TEST_F(CompleteSearch, RandomLargerMixturesAreSupersetsOfTheClassicSearch) {
    std::mt19937 rng(7);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    int added = 0, found = 0;
    for (int mixture = 0; mixture < 6; ++mixture) {
        const int n = 3 + mixture;
        OpenText("m" + std::to_string(mixture) + ".toml", RandomNrtlProblem(n, uniform, 335.0, 350.0, -400, 700));
        std::vector<std::int64_t> ids;
        for (int k = 0; k < n; ++k) ids.push_back(LookupComponentIndex("C" + std::to_string(k)));
        const SearchResult classic = RunSearch(ids, 2);
        const SearchResult r = RunCompleteSearch(ids, 2);
        for (std::int64_t a = 0; a < classic.count; ++a) EXPECT_TRUE(Contains(r, classic, a)) << mixture;
        for (std::int64_t a = classic.count; a < r.count; ++a) {
            EXPECT_LT(Residual(ids, r, a, 2), 1e-6) << mixture << "\n" << r.describe();
            ++added;
        }
        found += static_cast<int>(r.count);
    }
    RecordProperty("added", added);
    RecordProperty("found", found);
    EXPECT_GT(found, 10);  // mixtures non-ideal enough to test something
}

}  // namespace
}  // namespace ternival::testing
