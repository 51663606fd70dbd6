// Distillation lines, residue curves, boundaries and isovolatility curves
// of the example mixtures, against bubble points taken here and singular
// points located by methods independent of the azeotrope search: a dense
// scan of bubble points with bisection along each edge, and Newton's method
// on y(x) - x for the ternary azeotrope.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>
#include <vector>

#include "../azeotrope/search_env.h"
#include "../common/slurp.h"
#include "rcm/dist_boundary.h"
#include "rcm/distillation_curve.h"
#include "rcm/isovolatility.h"
#include "rcm/residue_curve.h"
#include "rcm/residue_equations.h"

namespace ternival::testing {
namespace {

using X3 = std::array<double, 3>;

inline double dist2(std::span<const double> a, std::span<const double> b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

class TernaryMapFixture : public SearchEnvironment {
protected:
    void open(const char* example, std::array<const char*, 3> names) {
        Open(example);
        for (int i = 0; i < 3; ++i) ids_[i] = LookupComponentIndex(names[i]);
    }
    // Bubble point of x (two phases, the file's method).
    FlashOutcome bubble(const X3& x) const { return RunFlash("PV", 2, "", ids_, x, 0.0, pressure_, 0.0); }
    // Index of the singular point within sqrt(tol2) of x; -1 none.
    int near(std::span<const double> x, double tol2 = 1e-6) const {
        for (std::size_t j = 0; j < codes_.size(); ++j)
            if (dist2(x, std::span(singular_x_).subspan(j * 3, 3)) <= tol2) return static_cast<int>(j);
        return -1;
    }
    // A residue curve from x0 with room for 500 points, between the
    // singular points set up.
    std::vector<double> residue(const X3& x0, std::int64_t mode, std::int64_t& count, std::int64_t& error,
                                int phase = 2) const {
        std::vector<double> pts(3 * 500);
        std::int64_t dir = 0;
        count = 500;
        residue_curve(3, x0, mode, 1, static_cast<std::int64_t>(codes_.size()) - 3, singular_x_, codes_, pressure_,
                      ids_, "", phase, 0.1, count, dir, pts, error);
        return pts;
    }
    // The binary azeotrope on the edge i-j, where y_i - x_i changes sign.
    X3 edgeAzeotrope(int i, int j) const {
        auto at = [&](double s) {
            X3 x{};
            x[i] = s, x[j] = 1.0 - s;
            return x;
        };
        const auto roots = SignChanges([&](double s) { return bubble(at(s)).y[i] - s; }, 400, 1e-4);
        EXPECT_EQ(roots.size(), 1u) << "edge " << i << "-" << j;
        return at(roots.empty() ? 0.5 : roots.front());
    }
    // Newton on F(x) = y(x) - x over (x1, x2).
    X3 ternaryAzeotrope(X3 x) const {
        for (int it = 0; it < 30; ++it) {
            const auto y = bubble(x).y;
            const double f0 = y[0] - x[0], f1 = y[1] - x[1], h = 1e-6;
            if (std::abs(f0) + std::abs(f1) < 1e-12) break;
            double J[2][2];
            for (int c = 0; c < 2; ++c) {
                X3 xp = x;
                xp[c] += h, xp[2] -= h;
                const auto yp = bubble(xp).y;
                J[0][c] = ((yp[0] - xp[0]) - f0) / h, J[1][c] = ((yp[1] - xp[1]) - f1) / h;
            }
            const double det = J[0][0] * J[1][1] - J[0][1] * J[1][0];
            x[0] -= (f0 * J[1][1] - f1 * J[0][1]) / det;
            x[1] -= (J[0][0] * f1 - J[1][0] * f0) / det;
            x[2] = 1 - x[0] - x[1];
        }
        return x;
    }
    // Pure components then the given azeotropes: compositions (3 x count),
    // codes and temperatures as the map routines take them.
    void singularPoints(const std::vector<X3>& azeotropes) {
        std::vector<X3> points{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        points.insert(points.end(), azeotropes.begin(), azeotropes.end());
        singular_x_.clear(), codes_.clear(), temps_.clear();
        for (std::size_t k = 0; k < points.size(); ++k) {
            singular_x_.insert(singular_x_.end(), points[k].begin(), points[k].end());
            std::int64_t code = 0, err = 0;
            std::array<double, 2> re{};
            std::array<double, 4> v{};
            if (k < 3) code = PureComponentStability(ids_, k, pressure_, "", 2, err);
            else Stability_RCM(3, points[k], 1, pressure_, ids_, "", 2, code, re, v, err);
            codes_.push_back(code);
            temps_.push_back(bubble(points[k]).t);
        }
    }
    std::array<std::int64_t, 3> ids_{};
    double pressure_ = 101325.0;
    std::vector<double> singular_x_, temps_;
    std::vector<std::int64_t> codes_;
};

// The pairs (j, k) of equally volatile components on isovolatility curve c.
constexpr std::array<std::array<int, 2>, 3> kPairs{{{1, 2}, {0, 2}, {0, 1}}};

bool Logged(const std::string& line) { return Slurp(RunLogPath()).find(line) != std::string::npos; }

std::span<const double> PointOf(const std::vector<double>& pts, std::int64_t k) {
    return std::span(pts).subspan(static_cast<std::size_t>(k) * 3, 3);
}

class AcetoneChloroformMethanol : public TernaryMapFixture {
protected:
    void SetUp() override {
        TernaryMapFixture::SetUp();
        open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
        ac_ = edgeAzeotrope(0, 1);  // maximum-boiling
        am_ = edgeAzeotrope(0, 2);  // minimum-boiling
        cm_ = edgeAzeotrope(1, 2);
        saddle_ = ternaryAzeotrope({0.34, 0.23, 0.43});
        singularPoints({ac_, am_, cm_, saddle_});
    }
    X3 ac_{}, am_{}, cm_{}, saddle_{};
};

TEST_F(AcetoneChloroformMethanol, DistillationLineRunsBetweenNodes) {
    std::vector<double> pts(3 * 500);
    std::int64_t count = 500, dir = 0, err = 0;
    const X3 start{0.2, 0.2, 0.6};
    Distillation_Curve(3, start, 1, 1, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    ASSERT_EQ(err, 0);
    ASSERT_GT(count, 3);
    EXPECT_EQ(dir, 2);
    const int first = near(PointOf(pts, 0), 2.5e-9 * 1.0001), last = near(PointOf(pts, count - 1), 2.5e-9 * 1.0001);
    ASSERT_TRUE(first >= 0 && last >= 0);
    EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
    EXPECT_EQ(codes_[static_cast<std::size_t>(last)], kStableNode);
    // The start stands once, between the two halves, and the rest is -1.
    int hits = 0;
    for (std::int64_t k = 0; k < count; ++k) hits += dist2(PointOf(pts, k), start) == 0.0;
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(pts[static_cast<std::size_t>(count) * 3], -1.0);
    EXPECT_EQ(pts.back(), -1.0);
}

// Point budgets: a budget larger than the caller's array is refused (-2); a
// budget used up stops the curve (error 1 for distillation lines, 2 for
// residue curves) with nothing written beyond it; from a pure component every
// flash returns the start, the end test never fires and the budget runs out.
TEST_F(AcetoneChloroformMethanol, CurvesAndBoundariesKeepToTheCallersBuffers) {
    SetRunId("DCURVE  ");
    std::vector<double> pts(3 * 10, 7.0);
    std::int64_t count = 1, dir = 0, err = 0;
    Distillation_Curve(3, X3{0.3, 0.3, 0.4}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    EXPECT_TRUE(err == 1 && count == 1 && pts[3] == 7.0) << err << " " << count;
    count = 10;
    Distillation_Curve(3, X3{0.0, 0.0, 1.0}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    EXPECT_TRUE(err == 1 && count == 10) << err << " " << count;
    EXPECT_TRUE(Logged("Distillation_Curve : Reached maximum number of points for the curve."));
    count = 11;
    residue_curve(3, X3{0.3, 0.3, 0.4}, 1, 1, 4, singular_x_, codes_, pressure_, ids_, "", 2, 0.1, count, dir, pts, err);
    EXPECT_EQ(err, -2);
    count = 5;
    residue_curve(3, X3{0.3, 0.3, 0.4}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, 0.1, count, dir, pts, err);
    EXPECT_TRUE(err == 2 && count == 5) << err << " " << count;
    // Room for four boundaries of 50 points: the six edge segments and four
    // separatrices do not fit, and the surplus is logged.
    std::int64_t curves = 4;
    std::vector<std::int64_t> counts{50, 0, 0, 0}, dirs(4, 0);
    std::vector<double> buf(4 * 50 * 3);
    Dist_Boundary(3, pressure_, 4, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    EXPECT_EQ(curves, 4);
    EXPECT_TRUE(Logged("Dist_Boundary : Error in calculating distillation boundaries"));
}

// Residue curves run from an unstable node to a stable node, and the step
// control keeps every move between stored points within 0.05 in mole
// fraction, so that the points trace the curve.  Along the first the bubble
// temperature taken here rises to within 1e-6 K (where the others flatten
// out towards their stable node, the flashes scatter by more).
TEST_F(AcetoneChloroformMethanol, ResidueCurvesRiseFromUnstableToStableNodeInShortMoves) {
    for (const X3& x0 : {X3{0.3, 0.4, 0.3}, X3{0.05, 0.05, 0.9}, X3{0.8, 0.1, 0.1}}) {
        SCOPED_TRACE(::testing::Message() << "from (" << x0[0] << ", " << x0[1] << ", " << x0[2] << ")");
        std::int64_t count = 0, err = 0;
        const auto pts = residue(x0, 1, count, err);
        ASSERT_EQ(err, 0);
        ASSERT_GT(count, 5);
        const int first = near(PointOf(pts, 0)), last = near(PointOf(pts, count - 1));
        ASSERT_TRUE(first >= 0 && last >= 0);
        EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
        EXPECT_EQ(codes_[static_cast<std::size_t>(last)], kStableNode);
        double previous = 0.0, largest = 0.0;
        for (std::int64_t k = 0; k < count; ++k) {
            const double t = bubble({pts[k * 3], pts[k * 3 + 1], pts[k * 3 + 2]}).t;
            if (x0[0] == 0.3) { EXPECT_GT(t, previous - 1e-6) << "point " << k; }
            previous = t;
            if (k > 0) largest = std::max(largest, std::sqrt(dist2(PointOf(pts, k - 1), PointOf(pts, k))));
        }
        EXPECT_LE(largest, 0.05 + 1e-9);
    }
}

// J = d(x - y)/dx over (x1, x2) with x3 dependent, against central
// differences of bubble-point vapours taken here with a larger step (the
// routine's own step of 1e-6 carries the flash tolerance's noise, about 1e-3
// in the derivative).
TEST_F(AcetoneChloroformMethanol, ResidueCurveJacobianIsTheDerivativeOfTheEquations) {
    RcmContext& ctx = RCM_CONTEXT();
    ctx.pressure = pressure_;
    ctx.phase = 2;
    ctx.method.clear();
    std::copy(ids_.begin(), ids_.end(), ctx.ids.begin());
    for (const X3& at : {X3{0.3, 0.4, 0.3}, X3{0.6, 0.1, 0.3}, X3{0.1, 0.2, 0.7}}) {
        std::array<double, 3> state{at[0], at[1], at[2]};
        std::array<double, 4> pd{};
        RCM_JAC(2, 0.0, state, 0, 0, pd, 2);
        constexpr double h = 1e-4;
        for (int j = 0; j < 2; ++j) {
            X3 xp = at, xm = at;
            xp[j] += h, xp[2] -= h, xm[j] -= h, xm[2] += h;
            const auto yp = bubble(xp).y, ym = bubble(xm).y;
            for (int i = 0; i < 2; ++i)
                EXPECT_NEAR(pd[static_cast<std::size_t>(j * 2 + i)], (i == j) - (yp[i] - ym[i]) / (2 * h), 1e-2)
                    << "d(x" << i << " - y" << i << ")/dx" << j << " at (" << at[0] << ", " << at[1] << ")";
        }
    }
}

// Six edge segments (each edge split at its azeotrope) and four separatrices
// from the saddle to the four nodes.  Residue curves started either side of
// each separatrix into the saddle end at different stable nodes.
TEST_F(AcetoneChloroformMethanol, BoundariesConnectTheSaddleToTheFourNodesAndDivideTheBasins) {
    std::int64_t curves = 10, err = 0;
    std::vector<std::int64_t> counts(20, 0), dirs(20, 0);
    counts[0] = 500;
    std::vector<double> buf(20 * 500 * 3);
    Dist_Boundary(3, pressure_, 4, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    ASSERT_EQ(curves, 10);
    EXPECT_TRUE(dirs[0] == 2 && dirs[1] == 2) << "acetone -> the maximum-boiling azeotrope";
    EXPECT_TRUE(dirs[2] == -2 && dirs[5] == -2) << "the minimum-boiling azeotropes";
    EXPECT_EQ(buf[2 * 3], -1.0);  // slots of the pre-filled curves that no point reaches
    std::set<int> ends;
    int divided = 0;
    for (int k = 6; k < 10; ++k) {
        ASSERT_GT(counts[k], 1);
        const auto curve = std::span(buf).subspan(static_cast<std::size_t>(k) * 1500, 1500);
        const int end = near(curve.subspan(static_cast<std::size_t>(counts[k] - 1) * 3, 3));
        EXPECT_EQ(near(curve.first(3), 1e-5), 6) << "separatrix " << k << " starts beside the saddle";
        ASSERT_GE(end, 0) << "separatrix " << k;
        ends.insert(end);
        EXPECT_EQ(codes_[static_cast<std::size_t>(end)], dirs[k] == 2 ? kStableNode : kUnstableNode);
        if (dirs[k] != -2) continue;
        // Offset across the curve at its middle, in the (x1, x2) plane.
        const auto mid = static_cast<std::size_t>(counts[k] / 2) * 3;
        const double d0 = curve[mid + 3] - curve[mid], d1 = curve[mid + 4] - curve[mid + 1], len = std::hypot(d0, d1);
        std::array<int, 2> stable{};
        for (int side = 0; side < 2; ++side) {
            const double s = (side == 0 ? 1 : -1) * 0.02 / len;
            X3 x{curve[mid] - s * d1, curve[mid + 1] + s * d0, 0.0};
            x[2] = 1 - x[0] - x[1];
            std::int64_t n = 0, e = 0;
            const auto pts = residue(x, 2, n, e);
            stable[side] = near(PointOf(pts, n - 1));
            ASSERT_GE(stable[side], 0) << "separatrix " << k;
            EXPECT_EQ(codes_[static_cast<std::size_t>(stable[side])], kStableNode) << "separatrix " << k;
        }
        EXPECT_NE(stable[0], stable[1]) << "separatrix " << k;
        ++divided;
    }
    EXPECT_EQ(ends, (std::set<int>{2, 3, 4, 5}));  // methanol, the maximum and both minimum azeotropes
    EXPECT_EQ(divided, 2);
}

// Curve c holds the points where the two components other than c are equally
// volatile, checked with bubble points taken here, in short steps.  It leaves
// the edge without c at the binary azeotrope of the other two (j, k) and runs
// until one of them vanishes; where x_j vanishes, K_j at infinite dilution
// equals K_k, found here by a scan along that edge with a trace of j (and
// likewise for k).
TEST_F(AcetoneChloroformMethanol, IsovolatilityCurvesRunFromTheAzeotropesThroughEqualVolatilities) {
    std::int64_t curves = 20, err = 5;  // room for 20 curves of 500 points
    std::vector<std::int64_t> per(20, 0);
    std::vector<double> buf(20 * 500 * 3, 0.0);
    per[0] = 500;
    Isovolatility_Curves(3, pressure_, ids_, 2, "", curves, per, buf, err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(curves, 3);
    const std::array<X3, 3> azeotropes{cm_, am_, ac_};
    auto edgeRoots = [&](int i, int j, int k, std::vector<X3>& roots) {  // K_j = K_k on the edge x_j = 0
        for (const double s : SignChanges([&](double s) {
                 X3 x{};
                 x[i] = s, x[j] = 1e-7, x[k] = 1.0 - s - 1e-7;
                 const auto y = bubble(x).y;
                 return y[j] / x[j] - y[k] / x[k];
             }, 200, 1e-4)) {
            X3 x{};
            x[i] = s, x[k] = 1.0 - s;
            roots.push_back(x);
        }
    };
    int on_edge = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        SCOPED_TRACE(::testing::Message() << "curve " << c);
        const auto [j, k] = kPairs[c];
        ASSERT_GT(per[c], 3);
        const auto first = std::span(buf).subspan(c * 1500, 3);
        EXPECT_LT(first[c], 2e-5) << "starts on its edge";
        EXPECT_LT(dist2(first, azeotropes[c]), 1e-4);
        double worst = 0.0, longest = 0.0;
        X3 x{};
        for (std::int64_t q = 0; q < per[c]; ++q) {
            const auto at = std::span(buf).subspan((c * 500 + static_cast<std::size_t>(q)) * 3, 3);
            if (q > 0) longest = std::max(longest, std::sqrt(dist2(x, at)));
            x = {at[0], at[1], at[2]};
            if (x[j] < 1e-3 || x[k] < 1e-3) continue;  // the last point stands on an edge
            const auto y = bubble(x).y;
            worst = std::max(worst, std::abs(y[j] / x[j] - y[k] / x[k]));
        }
        EXPECT_LT(worst, 5e-4);
        EXPECT_LT(longest, 0.05);
        if (std::min(x[j], x[k]) > 0.005) continue;  // stopped inside the triangle
        ++on_edge;
        std::vector<X3> roots;
        edgeRoots(static_cast<int>(c), j, k, roots);
        edgeRoots(static_cast<int>(c), k, j, roots);
        double best = 1.0;
        for (const X3& r : roots) best = std::min(best, std::sqrt(dist2(x, r)));
        EXPECT_LT(best, 0.01) << "ends at (" << x[0] << ", " << x[1] << ", " << x[2] << ")";
    }
    EXPECT_GE(on_edge, 2);
}

TEST_F(TernaryMapFixture, ZeotropicMixtureHasEdgesOnlyAndNoIsovolatility) {
    open("benzene_toluene_ethylbenzene.toml", {"BENZENE", "TOLUENE", "ETHBENZ"});
    singularPoints({});
    std::int64_t curves = 10, err = 0;
    std::vector<std::int64_t> counts(20, 0), dirs(20, 0);
    counts[0] = 500;
    std::vector<double> buf(20 * 500 * 3);
    Dist_Boundary(3, pressure_, 0, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    ASSERT_EQ(curves, 3);
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(counts[k] == 2 && dirs[k] == 2) << "each edge's second component boils higher";
    std::int64_t iso = 20;
    std::vector<std::int64_t> per(20, 0);
    per[0] = 500;
    Isovolatility_Curves(3, pressure_, ids_, 2, "", iso, per, buf, err);
    EXPECT_TRUE(iso == 0 && buf[0] == -1.0) << iso;
}

// Ethanol/water/benzene with three-phase flashes, between the singular points
// the search reports: residue curves from the three distillation regions run
// from the ternary heteroazeotrope (found third) to each pure component.
TEST_F(TernaryMapFixture, HeterogeneousResidueCurvesRunFromTheHeteroazeotropeToAPureComponent) {
    open("ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"});
    const SearchResult r = RunSearch(std::vector<std::int64_t>(ids_.begin(), ids_.end()), 3, 100, "", pressure_);
    ASSERT_EQ(r.error, 0);
    ASSERT_EQ(r.count, 4);
    singular_x_ = r.singular_compositions;
    codes_.assign(r.singular_codes.begin(), r.singular_codes.begin() + 3 + 4);
    std::vector<int> stable_ends;
    for (const X3& x0 : {X3{0.7, 0.05, 0.25}, X3{0.15, 0.7, 0.15}, X3{0.1, 0.1, 0.8}}) {
        std::int64_t count = 0, err = 0;
        const auto pts = residue(x0, 1, count, err, 3);
        ASSERT_EQ(err, 0) << x0[0] << ' ' << x0[1];
        ASSERT_GT(count, 5);
        const int first = near(PointOf(pts, 0)), last = near(PointOf(pts, count - 1));
        EXPECT_EQ(first, 3 + 2) << "the ternary heteroazeotrope";
        ASSERT_GE(first, 0);
        EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
        EXPECT_TRUE(last >= 0 && last < 3) << "ends at a pure component";
        stable_ends.push_back(last);
    }
    EXPECT_EQ(stable_ends, (std::vector<int>{0, 1, 2}));
}

}  // namespace
}  // namespace ternival::testing
