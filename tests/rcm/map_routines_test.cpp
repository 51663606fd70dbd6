// Distillation lines, residue curves, boundaries and isovolatility curves
// of the example mixtures, against singular points located independently.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "engine/run_log.h"
#include "map_fixture.h"
#include "rcm/dist_boundary.h"
#include "rcm/distillation_curve.h"
#include "rcm/isovolatility.h"
#include "rcm/residue_curve.h"
#include "rcm/residue_equations.h"

using namespace ternival;
using ternival::testing::dist2;
using ternival::testing::X3;
using ternival::testing::TernaryMapFixture;

namespace {

class AcetoneChloroformMethanol : public ternival::testing::TernaryMapFixture {
protected:
    void SetUp() override {
        TernaryMapFixture::SetUp();
        open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
        ac_ = edgeExtreme(0, 1, +1.0);  // maximum-boiling
        am_ = edgeExtreme(0, 2, -1.0);  // minimum-boiling
        cm_ = edgeExtreme(1, 2, -1.0);
        saddle_ = ternaryAzeotrope({0.34, 0.23, 0.43});
        singularPoints({ac_, am_, cm_, saddle_});
    }
    // Which singular point (index into the 7) lies within 1e-3 of x; -1 none.
    int near(std::span<const double> x, double tol2 = 1e-6) const {
        for (int j = 0; j < 7; ++j)
            if (dist2(x, std::span(singular_x_).subspan(static_cast<std::size_t>(j) * 3, 3)) <= tol2) return j;
        return -1;
    }
    std::vector<double> residue(const X3& x0, std::int64_t mode, std::int64_t& count, std::int64_t& error,
                                std::int64_t end_test = 1) {
        std::vector<double> pts(3 * 500);
        std::int64_t dir = 0;
        count = 500;
        residue_curve(3, x0, mode, end_test, 4, singular_x_, codes_, pressure_, ids_, "", 2, 0.1, count, dir, pts, error);
        return pts;
    }
    // The isovolatility curves with room for 20 curves of 500 points.
    struct Isovolatility {
        std::int64_t curves = 20, err = 5;
        std::vector<std::int64_t> per;
        std::vector<double> buf;
    };
    Isovolatility isovolatility() const {
        Isovolatility r;
        r.per.assign(20, 0);
        r.per[0] = 500;
        r.buf.assign(20 * 500 * 3, 0.0);
        Isovolatility_Curves(3, pressure_, ids_, 2, "", r.curves, r.per, r.buf, r.err);
        return r;
    }
    X3 ac_{}, am_{}, cm_{}, saddle_{};
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST_F(AcetoneChloroformMethanol, SingularPointsSatisfyTheTopologicalConstraint) {
    // Literature topology: methanol and the acetone-chloroform azeotrope are
    // the stable nodes, the two methanol azeotropes the unstable nodes, the
    // ternary azeotrope a saddle.
    EXPECT_NEAR(temps_[3], 337.7, 0.2);
    EXPECT_EQ(codes_[2], kStableNode);
    EXPECT_EQ(codes_[3], kStableNode);
    EXPECT_EQ(codes_[4], kUnstableNode);
    EXPECT_EQ(codes_[5], kUnstableNode);
    EXPECT_EQ(codes_[6], kSaddle);
    const std::vector<std::int64_t> counts{1, 1, 1, 2, 2, 2, 3};
    EXPECT_EQ(TopologicalIndex(counts, codes_), 2);
}

TEST_F(AcetoneChloroformMethanol, DistillationLineRunsBetweenNodes) {
    std::vector<double> pts(3 * 500);
    std::int64_t count = 500, dir = 0, err = 0;
    const X3 start{0.2, 0.2, 0.6};
    Distillation_Curve(3, start, 1, 1, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    ASSERT_EQ(err, 0);
    ASSERT_GT(count, 3);
    EXPECT_EQ(dir, 2);
    const int first = near(std::span(pts).first(3), 2.5e-9 * 1.0001);
    const int last = near(std::span(pts).subspan(static_cast<std::size_t>(count - 1) * 3, 3), 2.5e-9 * 1.0001);
    ASSERT_GE(first, 0);
    ASSERT_GE(last, 0);
    EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
    EXPECT_EQ(codes_[static_cast<std::size_t>(last)], kStableNode);
    // The start stands once, between the two halves, and the rest is -1.
    int hits = 0;
    for (std::int64_t k = 0; k < count; ++k) hits += dist2(std::span(pts).subspan(k * 3, 3), start) == 0.0;
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(pts[static_cast<std::size_t>(count) * 3], -1.0);
    EXPECT_EQ(pts.back(), -1.0);
}

TEST_F(AcetoneChloroformMethanol, DistillationLineCapacityAndPureStart) {
    SetRunId("DCURVE  ");
    std::vector<double> pts(3 * 10, 7.0);
    std::int64_t count = 1, dir = 0, err = 0;
    Distillation_Curve(3, X3{0.3, 0.3, 0.4}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(pts[3], 7.0);  // beyond the capacity nothing is touched
    // From a pure component every flash returns the start: the end test never
    // fires and the budget runs out.
    count = 10;
    Distillation_Curve(3, X3{0.0, 0.0, 1.0}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, count, dir, pts, err);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(count, 10);
    const std::string log = readFile(RunLogPath());
    EXPECT_NE(log.find("Distillation_Curve : Reached maximum number of points for the curve."), std::string::npos);
}

TEST_F(AcetoneChloroformMethanol, ResidueCurveRisesFromUnstableToStableNode) {
    std::int64_t count = 0, err = 0;
    const auto pts = residue({0.3, 0.4, 0.3}, 1, count, err);
    ASSERT_EQ(err, 0);
    ASSERT_GT(count, 5);
    const int first = near(std::span(pts).first(3));
    const int last = near(std::span(pts).subspan(static_cast<std::size_t>(count - 1) * 3, 3));
    ASSERT_GE(first, 0);
    ASSERT_GE(last, 0);
    EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
    EXPECT_EQ(codes_[static_cast<std::size_t>(last)], kStableNode);
    // Bubble temperature rises along a residue curve.
    double previous = 0.0;
    for (std::int64_t k = 0; k < count; ++k) {
        X3 x{pts[k * 3], pts[k * 3 + 1], pts[k * 3 + 2]};
        const double t = bubble(x);
        EXPECT_GT(t, previous - 1e-6) << "point " << k;
        previous = t;
    }
}

TEST_F(AcetoneChloroformMethanol, BoundariesConnectTheSaddleToTheFourNodes) {
    std::int64_t curves = 10, err = 0;
    std::vector<std::int64_t> counts(20, 0), dirs(20, 0);
    counts[0] = 500;
    std::vector<double> buf(20 * 500 * 3);
    Dist_Boundary(3, pressure_, 4, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    // Six edge segments (each edge split at its azeotrope) and four separatrices.
    ASSERT_EQ(curves, 10);
    EXPECT_EQ(dirs[0], 2);   // acetone -> maximum-boiling azeotrope
    EXPECT_EQ(dirs[1], 2);
    EXPECT_EQ(dirs[2], -2);  // minimum-boiling azeotropes
    EXPECT_EQ(dirs[5], -2);
    std::set<int> ends;
    for (int k = 6; k < 10; ++k) {
        ASSERT_GT(counts[k], 1);
        const auto curve = std::span(buf).subspan(static_cast<std::size_t>(k) * 1500, 1500);
        const int start = near(curve.first(3), 1e-5);
        const int end = near(curve.subspan(static_cast<std::size_t>(counts[k] - 1) * 3, 3));
        EXPECT_EQ(start, 6) << "separatrix " << k << " starts beside the saddle";
        ASSERT_GE(end, 0) << "separatrix " << k;
        ends.insert(end);
        EXPECT_EQ(codes_[static_cast<std::size_t>(end)], dirs[k] == 2 ? kStableNode : kUnstableNode);
    }
    // The four separatrices reach methanol, the maximum azeotrope and both minimum azeotropes.
    EXPECT_EQ(ends, (std::set<int>{2, 3, 4, 5}));
    // Slots of the pre-filled curves that no point reaches hold -1.
    EXPECT_EQ(buf[2 * 3], -1.0);
}

TEST_F(AcetoneChloroformMethanol, ResidueCurvesEitherSideOfABoundaryEndAtDifferentNodes) {
    std::int64_t curves = 10, err = 0;
    std::vector<std::int64_t> counts(20, 0), dirs(20, 0);
    counts[0] = 500;
    std::vector<double> buf(20 * 500 * 3);
    Dist_Boundary(3, pressure_, 4, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    ASSERT_EQ(curves, 10);
    int checked = 0;
    for (int k = 6; k < 10; ++k) {
        if (dirs[k] != -2) continue;  // the saddle's incoming separatrices divide the stable nodes' basins
        const auto curve = std::span(buf).subspan(static_cast<std::size_t>(k) * 1500, 1500);
        const std::size_t mid = static_cast<std::size_t>(counts[k] / 2);
        const X3 m{curve[mid * 3], curve[mid * 3 + 1], curve[mid * 3 + 2]};
        const X3 q{curve[mid * 3 + 3], curve[mid * 3 + 4], curve[mid * 3 + 5]};
        // Offset across the curve in the (x1, x2) plane.
        const double d0 = q[0] - m[0], d1 = q[1] - m[1], len = std::hypot(d0, d1);
        std::array<int, 2> end{};
        for (int side = 0; side < 2; ++side) {
            const double s = (side == 0 ? 1 : -1) * 0.02 / len;
            X3 x{m[0] - s * d1, m[1] + s * d0, 0};
            x[2] = 1 - x[0] - x[1];
            std::int64_t n = 0, e = 0;
            const auto pts = residue(x, 2, n, e);
            end[side] = near(std::span(pts).subspan(static_cast<std::size_t>(n - 1) * 3, 3));
        }
        EXPECT_NE(end[0], end[1]) << "separatrix " << k;
        EXPECT_EQ(codes_[static_cast<std::size_t>(end[0])], kStableNode);
        EXPECT_EQ(codes_[static_cast<std::size_t>(end[1])], kStableNode);
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

TEST_F(AcetoneChloroformMethanol, IsovolatilityCurvesStartAtTheBinaryAzeotropes) {
    const auto [curves, err, per, buf] = isovolatility();
    EXPECT_EQ(err, 0);
    ASSERT_EQ(curves, 3);
    // Pair order: (chloroform, methanol), (acetone, methanol), (acetone, chloroform).
    const std::array<X3, 3> azeotropes{cm_, am_, ac_};
    for (int c = 0; c < 3; ++c) {
        ASSERT_GT(per[c], 1);
        const auto first = std::span(buf).subspan(static_cast<std::size_t>(c) * 1500, 3);
        EXPECT_LT(first[c], 2e-5) << "curve " << c << " starts on its edge";
        EXPECT_LT(dist2(first, azeotropes[c]), 1e-4) << "curve " << c;
    }
}

TEST_F(AcetoneChloroformMethanol, ResidueCurveInputChecks) {
    std::vector<double> pts(3 * 5);
    std::int64_t count = 10, dir = 0, err = 0;  // budget larger than the array
    residue_curve(3, X3{0.3, 0.3, 0.4}, 1, 1, 4, singular_x_, codes_, pressure_, ids_, "", 2, 0.1, count, dir, pts, err);
    EXPECT_EQ(err, -2);
    count = 5;
    residue_curve(3, X3{0.3, 0.3, 0.4}, 2, 2, 4, singular_x_, codes_, pressure_, ids_, "", 2, 0.1, count, dir, pts, err);
    EXPECT_EQ(err, 2);  // budget of five points used up
    EXPECT_EQ(count, 5);
}

TEST_F(TernaryMapFixture, ZeotropicMixtureHasEdgesOnlyAndNoIsovolatility) {
    open("benzene_toluene_ethylbenzene.toml", {"BENZENE", "TOLUENE", "ETHBENZ"});
    singularPoints({});
    EXPECT_EQ(codes_[0], kUnstableNode);
    EXPECT_EQ(codes_[1], kSaddle);
    EXPECT_EQ(codes_[2], kStableNode);
    std::int64_t curves = 10, err = 0;
    std::vector<std::int64_t> counts(20, 0), dirs(20, 0);
    counts[0] = 500;
    std::vector<double> buf(20 * 500 * 3);
    Dist_Boundary(3, pressure_, 0, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    ASSERT_EQ(curves, 3);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(counts[k], 2);
        EXPECT_EQ(dirs[k], 2);  // each edge's second component boils higher
    }
    std::int64_t iso = 20;
    std::vector<std::int64_t> per(20, 0);
    per[0] = 500;
    Isovolatility_Curves(3, pressure_, ids_, 2, "", iso, per, buf, err);
    EXPECT_EQ(iso, 0);
    EXPECT_EQ(buf[0], -1.0);
}

TEST_F(TernaryMapFixture, BoundariesNeverOverrunTheCallersBuffers) {
    open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
    singularPoints({edgeExtreme(0, 1, 1.0), edgeExtreme(0, 2, -1.0), edgeExtreme(1, 2, -1.0)});
    std::int64_t curves = 4, err = 0;
    std::vector<std::int64_t> counts(4, 0), dirs(4, 0);
    counts[0] = 50;
    std::vector<double> buf(4 * 50 * 3);
    Dist_Boundary(3, pressure_, 3, singular_x_, codes_, temps_, 0.1, ids_, "", 2, curves, counts, buf, dirs, err);
    EXPECT_EQ(curves, 4);  // six edge segments do not fit; the surplus is logged
    EXPECT_NE(readFile(RunLogPath()).find("Dist_Boundary : Error in calculating distillation boundaries"),
              std::string::npos);
}

namespace {

TEST_F(AcetoneChloroformMethanol, ResidueCurveJacobianIsTheDerivativeOfTheEquations) {
    // J = d(x - y)/dx over (x1, x2) with x3 dependent, against central
    // differences of bubble-point vapours taken here with a larger step
    // (the routine's own step of 1e-6 carries the flash tolerance's noise,
    // about 1e-3 in the derivative).
    ternival::RcmContext& ctx = ternival::RCM_CONTEXT();
    ctx.pressure = pressure_;
    ctx.phase = 2;
    ctx.method.clear();
    std::copy(ids_.begin(), ids_.end(), ctx.ids.begin());
    for (const X3& at : {X3{0.3, 0.4, 0.3}, X3{0.6, 0.1, 0.3}, X3{0.1, 0.2, 0.7}}) {
        std::array<double, 3> state{at[0], at[1], at[2]};
        std::array<double, 4> pd{};
        ternival::RCM_JAC(2, 0.0, state, 0, 0, pd, 2);
        constexpr double h = 1e-4;
        for (int j = 0; j < 2; ++j) {
            X3 xp = at, xm = at, yp{}, ym{};
            xp[j] += h;
            xp[2] -= h;
            xm[j] -= h;
            xm[2] += h;
            bubble(xp, yp);
            bubble(xm, ym);
            for (int i = 0; i < 2; ++i) {
                const double expected = (i == j ? 1.0 : 0.0) - (yp[i] - ym[i]) / (2 * h);
                EXPECT_NEAR(pd[static_cast<std::size_t>(j * 2 + i)], expected, 1e-2)
                    << "d(x" << i << " - y" << i << ")/dx" << j << " at (" << at[0] << ", " << at[1] << ")";
            }
        }
    }
}

TEST_F(AcetoneChloroformMethanol, ResidueCurveStepsStayWithinTheMoveLimit) {
    // The step control keeps every move between stored points within 0.05
    // in mole fraction, so that the points trace the curve.
    for (const X3& x0 : {X3{0.3, 0.4, 0.3}, X3{0.05, 0.05, 0.9}, X3{0.8, 0.1, 0.1}}) {
        std::int64_t count = 0, err = 0;
        const auto pts = residue(x0, 1, count, err);
        ASSERT_EQ(err, 0);
        ASSERT_GT(count, 5);
        double largest = 0.0;
        for (std::int64_t k = 1; k < count; ++k)
            largest = std::max(largest, std::sqrt(dist2(std::span(pts).subspan(static_cast<std::size_t>(k - 1) * 3, 3),
                                                        std::span(pts).subspan(static_cast<std::size_t>(k) * 3, 3))));
        EXPECT_LE(largest, 0.05 + 1e-9) << "from (" << x0[0] << ", " << x0[1] << ", " << x0[2] << ")";
    }
}

TEST_F(AcetoneChloroformMethanol, IsovolatilityPointsHaveEqualVolatilities) {
    const auto [curves, err, per, buf] = isovolatility();
    ASSERT_EQ(curves, 3);
    // Curve c holds the points where the two components other than c are
    // equally volatile; checked with bubble points of our own.
    constexpr std::array<std::array<int, 2>, 3> kPairs{{{1, 2}, {0, 2}, {0, 1}}};
    for (int c = 0; c < 3; ++c) {
        ASSERT_GT(per[static_cast<std::size_t>(c)], 3);
        const auto [j, k] = kPairs[static_cast<std::size_t>(c)];
        double worst = 0.0, longest = 0.0;
        X3 previous{};
        for (std::int64_t q = 0; q < per[static_cast<std::size_t>(c)]; ++q) {
            const auto at = std::span(buf).subspan(static_cast<std::size_t>(c * 500 + q) * 3, 3);
            const X3 x{at[0], at[1], at[2]};
            if (q > 0) longest = std::max(longest, std::sqrt(dist2(x, previous)));
            previous = x;
            if (x[j] < 1e-3 || x[k] < 1e-3) continue;  // the last point stands on an edge
            X3 y{};
            bubble(x, y);
            worst = std::max(worst, std::abs(y[j] / x[j] - y[k] / x[k]));
        }
        EXPECT_LT(worst, 5e-4) << "curve " << c;
        // Consecutive points follow the curve in short steps.
        EXPECT_LT(longest, 0.05) << "curve " << c;
    }
}

}  // namespace

namespace {

TEST_F(AcetoneChloroformMethanol, IsovolatilityCurvesEndWhereTheirPairIsEquallyVolatileOnAnEdge) {
    // Curve c leaves the edge without component c at the binary azeotrope of
    // the other two (j, k) and runs until one of them vanishes.  Where x_j
    // vanishes, K_j at infinite dilution equals K_k: found here by a scan
    // along that edge with a trace of j, and likewise for k.
    const auto [curves, err, per, buf] = isovolatility();
    ASSERT_EQ(curves, 3);
    constexpr std::array<std::array<int, 2>, 3> kPairs{{{1, 2}, {0, 2}, {0, 1}}};
    auto edgeRoots = [&](int i, int j, int k) {
        // Points of the edge x_j = 0 (with a trace of j) where K_j = K_k.
        std::vector<X3> roots;
        auto f = [&](double s) {
            X3 x{};
            x[i] = s;
            x[j] = 1e-7;
            x[k] = 1.0 - s - 1e-7;
            X3 y{};
            bubble(x, y);
            return y[j] / x[j] - y[k] / x[k];
        };
        auto at = [&](double s) {
            X3 x{};
            x[i] = s;
            x[k] = 1.0 - s;
            return x;
        };
        constexpr int kGrid = 200;
        double s0 = 1e-4, f0 = f(s0);
        for (int g = 1; g <= kGrid; ++g) {
            const double s1 = 1e-4 + (1.0 - 2e-4) * g / kGrid, f1 = f(s1);
            if (std::signbit(f0) != std::signbit(f1)) {
                double lo = s0, hi = s1, flo = f0;
                for (int it = 0; it < 40; ++it) {
                    const double mid = 0.5 * (lo + hi), fm = f(mid);
                    if (std::signbit(fm) == std::signbit(flo)) {
                        lo = mid;
                        flo = fm;
                    } else {
                        hi = mid;
                    }
                }
                roots.push_back(at(0.5 * (lo + hi)));
            }
            s0 = s1;
            f0 = f1;
        }
        return roots;
    };
    int on_edge = 0;
    for (int c = 0; c < 3; ++c) {
        const auto [j, k] = kPairs[static_cast<std::size_t>(c)];
        const auto last = std::span(buf).subspan(static_cast<std::size_t>(c * 500 + per[static_cast<std::size_t>(c)] - 1) * 3, 3);
        const X3 end{last[0], last[1], last[2]};
        if (std::min(end[j], end[k]) > 0.005) continue;  // stopped inside the triangle
        ++on_edge;
        std::vector<X3> roots = edgeRoots(c, j, k);
        const auto other = edgeRoots(c, k, j);
        roots.insert(roots.end(), other.begin(), other.end());
        double best = 1.0;
        for (const X3& r : roots) best = std::min(best, std::sqrt(dist2(end, r)));
        EXPECT_LT(best, 0.01) << "curve " << c << " ends at (" << end[0] << ", " << end[1] << ", " << end[2] << ")";
    }
    EXPECT_GE(on_edge, 2);
}

}  // namespace
