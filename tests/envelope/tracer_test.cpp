// The envelope tracer: on model two-liquid regions whose tie lines are known
// in closed form, for the shapes the examples do not have; and through
// LLE_Envelope (at 25 C) and VLLE_Envelope (at one atmosphere) with the real
// engine on ethanol/water/benzene, whose water-benzene edge splits into two
// liquids, and the homogeneous acetone/chloroform/methanol.  There the
// buffers are laid out as the map object lays them out, and the traced tie
// lines are checked against direct flashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../../envelope/envelope_tracer.h"
#include "../common/reference_activity.h"
#include "../common/slurp.h"
#include "../engine/engine_env.h"
#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "envelope/lle_envelope.h"
#include "envelope/vlle_envelope.h"

namespace ternival::testing {
namespace {

using envelope::FlashAt;
using envelope::Point;
using envelope::TieLine;
using envelope::TracerOptions;
using envelope::TracerOutputs;

using X3 = std::array<double, 3>;

// Buffers of one envelope computation, sized for nmax tie lines per
// envelope (the map's 100): 3 curves of 2 * nmax points, nmax tie lines and
// tie points.
struct EnvelopeBuffers {
    explicit EnvelopeBuffers(std::int64_t nmax = 100)
        : nmax(nmax), curves(static_cast<std::size_t>(3 * 2 * nmax * 3), 7.0),
          tie_lines(static_cast<std::size_t>(2 * nmax * 3), -1.0),
          tie_points(static_cast<std::size_t>(nmax * 3), -1.0) {}
    std::int64_t nmax, curve_count = -5, tie_count = 0, message = -5, error = -5;
    std::array<std::int64_t, 3> points{-5, -5, -5};
    std::vector<double> curves, tie_lines, tie_points;
    double plait = -7.0;

    X3 curvePoint(std::size_t q, std::size_t p) const {
        const std::size_t at = (q * static_cast<std::size_t>(2 * nmax) + p) * 3;
        return {curves[at], curves[at + 1], curves[at + 2]};
    }
    X3 tieEnd(std::size_t t, std::size_t end) const {
        const std::size_t at = (2 * t + end) * 3;
        return {tie_lines[at], tie_lines[at + 1], tie_lines[at + 2]};
    }
    X3 tiePoint(std::size_t t) const { return {tie_points[3 * t], tie_points[3 * t + 1], tie_points[3 * t + 2]}; }
    // One envelope: its curve holds tie line t's liquids as point t and
    // point np - 1 - t (branch 2 reversed), an even number of points, and
    // -1 in every slot beyond them and in the other two curves.
    void expectOneEnvelopeLayout() const {
        const auto np = static_cast<std::size_t>(points[0]);
        EXPECT_EQ(np % 2, 0u);
        EXPECT_GE(np, 2 * static_cast<std::size_t>(tie_count));
        EXPECT_TRUE(curve_count == 1 && points[1] == 0 && points[2] == 0);
        for (std::size_t t = 0; t < static_cast<std::size_t>(tie_count); ++t)
            EXPECT_TRUE(curvePoint(0, t) == tieEnd(t, 0) && curvePoint(0, np - 1 - t) == tieEnd(t, 1)) << t;
        for (std::size_t q = 0; q < 3; ++q)
            for (std::size_t p = q == 0 ? np : 0; p < static_cast<std::size_t>(2 * nmax); ++p)
                EXPECT_EQ(curvePoint(q, p), (X3{-1.0, -1.0, -1.0})) << "curve " << q << ", point " << p;
    }
};

// A band across the triangle: component 3 is immiscible with 1 and 2 alike,
// and a feed with 0.2 < z3 < 0.8 splits into liquids with x3 = 0.2 and 0.8
// and the feed's ratio of 1 to 2.  It splits on edges 1 and 2, not 3.
TieLine band(const Point& z) {
    TieLine s;
    s.x1 = s.x2 = z;
    if (z[2] > 0.2 && z[2] < 0.8) {
        const double r = z[0] / (z[0] + z[1]);
        s.x1 = {0.8 * r, 0.8 * (1 - r), 0.2};
        s.x2 = {0.2 * r, 0.2 * (1 - r), 0.8};
    }
    return s;
}

// The tracer on a model region, with the map's buffers but room for 3 * nmax
// tie lines, recording the compositions flashed.
struct Trace : EnvelopeBuffers {
    explicit Trace(std::int64_t nmax) : EnvelopeBuffers(nmax) { tie_lines.resize(static_cast<std::size_t>(18 * nmax)); }
    void trace(const FlashAt& flash, double step) {
        tie_count = nmax;
        TracerOutputs out{curve_count, points, curves, tie_count, tie_lines, {}, nullptr, message, error, false};
        TracerOptions options{.routine = "LLE_Envelope", .vapour_test = true};
        const FlashAt counted = [&](const Point& z) { return asked.push_back(z), flash(z); };
        envelope::TraceEnvelopes(3, step, counted, options, out);
    }
    std::vector<Point> asked;
};

TEST(EnvelopeTracer, BandIsTracedOnceFromTheFirstEdgeToTheSecondAfterAFirstStepInside) {
    Trace run(100);
    run.trace(band, 0.1);
    EXPECT_TRUE(run.error == 0 && run.message == 0) << run.error << " " << run.message;
    ASSERT_EQ(run.curve_count, 1) << "edge 2 is used by the band and not traced again";
    const auto np = static_cast<std::size_t>(run.points[0]);
    const std::size_t n = np / 2;
    EXPECT_EQ(static_cast<std::int64_t>(n), run.tie_count) << "no closing points on a band";
    // From the edge without component 1 to the edge without component 2.
    EXPECT_TRUE(run.curvePoint(0, 0)[0] == 0.0 && run.curvePoint(0, n - 1)[1] == 0.0 && run.curvePoint(0, n)[1] == 0.0);
    for (std::size_t p = 0; p < n; ++p) {
        EXPECT_DOUBLE_EQ(run.curvePoint(0, p)[2], 0.2) << "branch 1 keeps the liquid poor in 3";
        EXPECT_DOUBLE_EQ(run.curvePoint(0, np - 1 - p)[2], 0.8);
    }
    // Edge 2's own tie line closes the curve.
    EXPECT_NEAR(run.curvePoint(0, n - 1)[0], 0.8, 1e-12);
    // The start search stays on the edges; the first composition inside the
    // triangle is the first step, which adds the missing component at step
    // times the half-length of the edge tie line.
    const auto inside = std::ranges::find_if(run.asked, [](const Point& z) { return z[0] * z[1] * z[2] != 0.0; });
    ASSERT_EQ(inside - run.asked.begin(), 2 + 2 + 9) << "edges 1 and 2 split at their second composition, edge 3 never";
    const Point& first = *inside;
    // Half-length of the edge tie line (0, .8, .2)-(0, .2, .8) is 0.6.
    const double z1 = 0.1 * 0.6, sum = 1.0 + z1;
    EXPECT_NEAR(first[0], z1 / sum, 1e-12);
    EXPECT_NEAR(first[1], 0.5 / sum, 1e-12);
    EXPECT_NEAR(first[2], 0.5 / sum, 1e-12);
}

// A step of 0.001 needs more than nmax = 100 tie lines for the band: its
// branches stop at 2 * nmax points with the capacity code, and edge 2, not
// reached, is traced on its own.  With the tracer's buffer of 3 * nmax tie
// lines both envelopes fill their branches; with the map's buffer of nmax
// tie lines the second envelope keeps only its edge tie line.
TEST(EnvelopeTracer, CapacityStopsTheBranchesAndTheNextEnvelope) {
    struct Case { std::size_t tie_values; std::int64_t ties, second_points; } const cases[] = {{18 * 100, 200, 200},
                                                                                              {6 * 100, 100, 2}};
    for (const Case& c : cases) {
        Trace run(100);
        run.tie_lines.resize(c.tie_values);
        run.trace(band, 0.001);
        EXPECT_TRUE(run.error == 1 && run.message == 501) << run.error << " " << run.message;
        EXPECT_EQ(run.tie_count, c.ties);
        ASSERT_EQ(run.curve_count, 2);
        EXPECT_EQ(run.points[0], 200);
        EXPECT_EQ(run.points[1], c.second_points);
        if (c.second_points == 2) { EXPECT_EQ(run.curvePoint(1, 2), (Point{-1.0, -1.0, -1.0})); }
    }
}

// A region closing at a plait point: liquids x3 = c -/+ w(s) along the
// line of constant z1 : z2 ratio, with width w shrinking to 0 as z1 grows.
TieLine cap(const Point& z) {
    TieLine s;
    s.x1 = s.x2 = z;
    const double w = 0.3 * (1.0 - z[0] / 0.4);
    if (w > 0 && std::abs(z[2] - 0.5) < w) {
        s.x1 = {z[0], 1 - z[0] - (0.5 - w), 0.5 - w};
        s.x2 = {z[0], 1 - z[0] - (0.5 + w), 0.5 + w};
    }
    return s;
}

TEST(EnvelopeTracer, PlaitClosingStaysWithinTheBranches) {
    // With room enough: 26 tie lines, then 3 closing points.
    Trace wide(100);
    wide.trace(cap, 0.1);
    EXPECT_TRUE(wide.curve_count == 1 && wide.error == 0 && wide.message == 0) << wide.error << " " << wide.message;
    ASSERT_EQ(wide.tie_count, 26);
    EXPECT_EQ(wide.points[0], 2 * (26 + 3));
    EXPECT_LE(wide.asked.size(), 27u + 26 + 1 + 13);
    // Branch capacities that the closing points would overrun keep the
    // curve at 2 * nmax points and report the capacity stop.
    for (std::int64_t nmax : {2, 26, 27, 28, 29}) {
        Trace run(nmax);
        run.trace(cap, 0.1);
        EXPECT_TRUE(run.curve_count == 1 && run.points[0] == 2 * nmax) << nmax;
        EXPECT_EQ(run.tie_count, std::min<std::int64_t>(nmax, 26));
        EXPECT_TRUE(run.error == 1 && run.message == 501) << nmax;
    }
}

using Xs = std::span<const double>;

double distance(Xs a, Xs b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s);
}

X3 middle(const X3& a, const X3& b) { return {0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])}; }

// Largest distance between the pairs (a1, a2) and (b1, b2), whichever way
// round they match.
double pairDistance(Xs a1, Xs a2, Xs b1, Xs b2) {
    return std::min(std::max(distance(a1, b1), distance(a2, b2)), std::max(distance(a1, b2), distance(a2, b1)));
}

constexpr double kRoomTemperature = 298.15;

// Ethanol/water/benzene open (or, by open(), another example).
class EthanolWaterBenzene : public SessionEnvironment {
protected:
    void SetUp() override {
        SessionEnvironment::SetUp();
        open("ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"});
    }
    void open(const char* example, std::array<const char*, 3> names) {
        Open(example);
        for (std::size_t i = 0; i < 3; ++i) {
            ids_[i] = LookupComponentIndex(names[i]);
            ASSERT_GT(ids_[i], 0) << names[i];
        }
    }
    // The envelopes of the open example into b, nmax tie lines at most.
    void runLle(EnvelopeBuffers& b, double t, double step = 0.1, std::int64_t n = 3, std::string_view method = "NRTL") {
        b.tie_count = b.nmax;
        LLE_Envelope(n, pressure_, t, step, ids_, method, b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                     b.message, b.error);
    }
    void runVlle(EnvelopeBuffers& b, std::int64_t n = 3, std::string_view method = "NRTL") {
        b.tie_count = b.nmax;
        VLLE_Envelope(n, pressure_, 0.1, ids_, method, b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                      b.tie_points, b.plait, b.message, b.error);
    }
    // Three-phase flash of z: isothermal at t ("TP") or at its bubble point ("PV").
    FlashOutcome flash(const char* type, const X3& z, double t = 0.0) const {
        return RunFlash(type, 3, "", ids_, z, t, pressure_, 0.0);
    }
    long long engineCalls() const { return FlashMemory().engine_calls; }
    std::array<std::int64_t, 3> ids_{};
    double pressure_ = 101325.0;
};

// Every tie line at 25 C joins two different liquids that an isothermal
// flash of its midpoint gives again, and their activities x_i gamma_i agree
// within 1e-9 with gamma from NRTL written out in the test, up to the last
// tie line next to the plait point.  The envelope starts from the split of
// the first composition tried on the water-benzene edge (the example's
// mutual solubilities at 25 C); the curve runs from that tie line's first
// liquid along branch 1 and back along branch 2, each branch continuing with
// the liquid nearer its last point, and the closing points bring the
// branches together.  A smaller step gives more tie lines.
TEST_F(EthanolWaterBenzene, LleTieLinesAreSplitsWithEqualActivitiesAlongBothBranches) {
    EnvelopeBuffers b;
    const long long before = engineCalls();
    runLle(b, kRoomTemperature);
    const long long flashes = engineCalls() - before;
    EXPECT_TRUE(b.error == 0 && b.message == 0) << b.error << " " << b.message;
    ASSERT_EQ(b.curve_count, 1) << "only the water-benzene edge splits";
    ASSERT_GE(b.tie_count, 5);
    const propcore::Problem p = propcore::LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    ASSERT_EQ(p.methods[0].name, "NRTL");
    const reference::Reference nrtl{p, p.methods[0]};
    for (std::size_t t = 0; t < static_cast<std::size_t>(b.tie_count); ++t) {
        SCOPED_TRACE(::testing::Message() << "tie line " << t);
        const X3 a = b.tieEnd(t, 0), c = b.tieEnd(t, 1);
        for (const X3& x : {a, c}) {
            EXPECT_NEAR(x[0] + x[1] + x[2], 1.0, 1e-9);
            EXPECT_TRUE(x[0] >= 0.0 && x[1] >= 0.0 && x[2] >= 0.0);
        }
        EXPECT_GT(distance(a, c), 1e-2);
        const FlashOutcome f = flash("TP", middle(a, c), kRoomTemperature);
        ASSERT_EQ(f.error, 0);
        EXPECT_LE(f.vf, 1e-5);
        EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-6);
        const X3 ga = nrtl.lnGamma(kRoomTemperature, a), gc = nrtl.lnGamma(kRoomTemperature, c);
        for (int i = 0; i < 3; ++i)
            if (a[i] > 0.0 || c[i] > 0.0) {  // ethanol is absent from the edge's tie line
                EXPECT_LT(std::abs(a[i] * std::exp(ga[i]) - c[i] * std::exp(gc[i])), 1e-9) << "component " << i;
            }
    }
    const double water = static_cast<double>(0.1f);
    const FlashOutcome f = flash("TP", {0.0, water, 1.0 - water}, kRoomTemperature);
    ASSERT_EQ(f.error, 0);
    const X3 a = b.tieEnd(0, 0), c = b.tieEnd(0, 1);
    EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-10);
    EXPECT_TRUE(a[0] == 0.0 && c[0] == 0.0);
    EXPECT_NEAR(std::min(a[2], c[2]), 4.1e-4, 1e-4);
    EXPECT_NEAR(std::min(a[1], c[1]), 2.8e-3, 5e-4);

    b.expectOneEnvelopeLayout();
    const auto np = static_cast<std::size_t>(b.points[0]), n = np / 2;
    for (std::size_t p = 1; p < n; ++p) {
        const X3 r = b.curvePoint(0, p - 1);
        EXPECT_LT(distance(b.curvePoint(0, p), r), distance(b.curvePoint(0, np - 1 - p), r)) << p;
    }
    const auto last = static_cast<std::size_t>(b.tie_count - 1);
    EXPECT_LT(distance(b.curvePoint(0, n - 1), b.curvePoint(0, n)), distance(b.tieEnd(last, 0), b.tieEnd(last, 1)));
    // Ethanol rises along the envelope away from the water-benzene edge.
    EXPECT_GT(middle(b.tieEnd(last, 0), b.tieEnd(last, 1))[0], 0.2);
    // 9 flashes per edge for the start search, one per tie line, one failed
    // step and 13 for the closing (engine retries would add to this).
    EXPECT_LE(flashes, 27 + b.tie_count + 1 + 13);
    EXPECT_GE(flashes, 1 + 9 + 9 + b.tie_count - 1);

    EnvelopeBuffers fine;
    runLle(fine, kRoomTemperature, 0.05);
    EXPECT_EQ(fine.error, 0);
    EXPECT_GT(fine.tie_count, b.tie_count);
}

// The routines write only within the buffers they are given, whatever nmax
// says: each is handed over between guard values that must stay, and the
// envelope stops with the capacity code 501, its tie lines stored and
// nothing written beyond them.
TEST_F(EthanolWaterBenzene, BufferCapacitiesAreHonoured) {
    constexpr double kGuard = 12345.0;
    constexpr std::size_t kPad = 10;
    // ties 0: every tie line is stored (at least 5), with the three closing
    // points counted in the curve; vapour_values 0: the LLE envelope.
    struct Case { const char* name; std::int64_t nmax; std::size_t curve_values, tie_values, vapour_values, point_slots;
                  std::int64_t ties, points; } const cases[] = {
        {"LLE branches of nmax = 4", 4, 3 * 2 * 4 * 3, 2 * 4 * 3, 0, 3, 4, 2 * 4},
        {"LLE, room for three tie lines", 100, 3 * 2 * 100 * 3, 3 * 6, 0, 3, 3, 6},
        {"LLE, room for four curve points", 100, 4 * 3, 2 * 100 * 3, 0, 1, 0, 0},
        {"VLLE, room for two vapours", 100, 3 * 2 * 100 * 3, 2 * 100 * 3, 2 * 3, 3, 2, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> curves(c.curve_values + 2 * kPad, kGuard), ties(c.tie_values + 2 * kPad, kGuard),
            vapours(c.vapour_values + 2 * kPad, kGuard);
        std::vector<std::int64_t> points(c.point_slots + 2, 77);
        std::int64_t curve_count = 0, tie_count = c.nmax, message = 0, error = 0;
        const auto point_span = std::span(points).subspan(1, c.point_slots);
        const auto curve_span = std::span(curves).subspan(kPad, c.curve_values);
        const auto tie_span = std::span(ties).subspan(kPad, c.tie_values);
        double plait = 0.0;
        if (c.vapour_values == 0)
            LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "NRTL", curve_count, point_span, curve_span,
                         tie_count, tie_span, message, error);
        else
            VLLE_Envelope(3, pressure_, 0.1, ids_, "NRTL", curve_count, point_span, curve_span, tie_count, tie_span,
                          std::span(vapours).subspan(kPad, c.vapour_values), plait, message, error);
        EXPECT_TRUE(error == 1 && message == 501 && curve_count == 1) << error << " " << message << " " << curve_count;
        EXPECT_TRUE(c.ties > 0 ? tie_count == c.ties : tie_count >= 5) << tie_count;
        EXPECT_EQ(points[1], c.points > 0 ? c.points : 2 * (tie_count + 3));
        EXPECT_TRUE(points.front() == 77 && points.back() == 77);
        EXPECT_EQ(curves[kPad], ties[kPad]) << "the curve starts with the first tie line's liquid";
        for (std::size_t i = 0; i < std::min<std::size_t>(3 * points[1], c.curve_values); ++i)
            EXPECT_NE(curves[kPad + i], -1.0) << "the curve's points are all written: " << i;
        for (std::size_t i = kPad + 6 * static_cast<std::size_t>(tie_count); i < ties.size(); ++i)
            EXPECT_TRUE(ties[i] == kGuard || ties[i] == -1.0) << i;
        for (std::size_t i = 0; i < kPad; ++i) {
            EXPECT_TRUE(curves[i] == kGuard && curves[curves.size() - 1 - i] == kGuard) << i;
            EXPECT_TRUE(ties[i] == kGuard && vapours[i] == kGuard && vapours[vapours.size() - 1 - i] == kGuard) << i;
        }
    }
}

// Outcomes other than a complete envelope, with the error and message codes
// and the number of envelopes they report.  LLE: a vapour inside the
// two-liquid region at 340 K (logged; the error code stays 0), no split above
// the heteroazeotrope, a binary (refused without a flash), an unknown method
// (a flash failure).  VLLE: four components (refused).  Neither for the
// homogeneous acetone/chloroform/methanol.  Without a plait point the plait
// temperature handed in stays.
TEST_F(EthanolWaterBenzene, IncompleteAndEmptyEnvelopes) {
    struct Case { const char* name; bool vlle, homogeneous; std::int64_t n; double t; const char* method;
                  std::int64_t error, message, curves; } const cases[] = {
        {"LLE, vapour at 340 K", false, false, 3, 340.0, "NRTL", 0, 513, 1},
        {"LLE above the heteroazeotrope", false, false, 3, 345.0, "NRTL", 0, 0, 0},
        {"LLE of a binary", false, false, 2, kRoomTemperature, "NRTL", -1, 0, 0},
        {"LLE, unknown method", false, false, 3, kRoomTemperature, "NOSUCH", 2, 502, -1},
        {"VLLE of four components", true, false, 4, 0.0, "NRTL", -1, 0, 0},
        {"LLE, acetone/chloroform/methanol", false, true, 3, kRoomTemperature, "", 0, 0, 0},
        {"VLLE, acetone/chloroform/methanol", true, true, 3, 0.0, "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.homogeneous) open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
        EnvelopeBuffers b;
        const long long before = engineCalls();
        if (c.vlle) runVlle(b, c.n, c.method);
        else runLle(b, c.t, 0.1, c.n, c.method);
        EXPECT_EQ(b.error, c.error);
        EXPECT_EQ(b.message, c.message);
        if (c.curves >= 0) { EXPECT_EQ(b.curve_count, c.curves); }
        if (c.curves == 0) {
            EXPECT_EQ(b.tie_count, 0);
            for (double v : b.curves) EXPECT_EQ(v, -1.0);
        }
        if (c.n != 3) { EXPECT_EQ(engineCalls(), before); }
        if (c.vlle) { EXPECT_EQ(b.plait, -7.0); }
        if (c.homogeneous) { EXPECT_EQ(b.points, (std::array<std::int64_t, 3>{0, 0, 0})); }
        if (c.message == 513) {
            EXPECT_GE(b.tie_count, 1);
            const std::string line = "\nLLE_Envelope         : " + std::string(MessageText(513)) + "\n";
            EXPECT_NE(("\n" + Slurp(RunLogPath())).find(line), std::string::npos) << "message 513 is logged";
        }
    }
}

// Any liquid on a three-phase tie line boils at one temperature into the same
// three phases: each tie line's midpoint, flashed here, gives its liquids and
// its vapour.  The edge tie line boils at the water-benzene heteroazeotrope
// (69.3 C); ethanol lowers the three-phase temperature towards the ternary
// heteroazeotrope (64.9 C); the liquids merge at a plait point just beyond
// the last tie line.  The curve holds the tie lines' liquids as the LLE
// envelope does; the edge tie line is the binary three-phase bubble point; a
// second call gives the same tie lines and overwrites the plait temperature
// it is handed.
TEST_F(EthanolWaterBenzene, VlleTieLinesAreThreePhaseBubblePointsOnEveryCall) {
    EnvelopeBuffers b;
    runVlle(b);
    EXPECT_TRUE(b.error == 0 && b.message == 0) << b.error << " " << b.message;
    ASSERT_EQ(b.curve_count, 1);
    ASSERT_GE(b.tie_count, 5);
    std::vector<double> temperatures;
    for (std::size_t t = 0; t < static_cast<std::size_t>(b.tie_count); ++t) {
        const X3 a = b.tieEnd(t, 0), c = b.tieEnd(t, 1), y = b.tiePoint(t);
        EXPECT_GT(distance(a, c), 1e-2);
        EXPECT_NEAR(y[0] + y[1] + y[2], 1.0, 1e-9) << "every tie line has its vapour";
        const FlashOutcome f = flash("PV", middle(a, c));
        ASSERT_EQ(f.error, 0);
        EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-4) << t;
        EXPECT_LT(distance(y, f.y), 1e-4) << t;
        temperatures.push_back(f.t);
    }
    EXPECT_NEAR(temperatures.front(), 342.4, 1.0);
    for (std::size_t t = 1; t < temperatures.size(); ++t) EXPECT_LT(temperatures[t], temperatures.front() - 1.0);
    const auto [lo, hi] = std::minmax_element(temperatures.begin(), temperatures.end());
    EXPECT_GT(*hi - *lo, 3.0) << "successive tie lines at different temperatures";
    EXPECT_NEAR(*lo, 338.0, 1.5);
    ASSERT_NE(b.plait, -7.0);
    EXPECT_NEAR(b.plait, temperatures.back(), 1.0);
    EXPECT_GT(b.plait, *lo);
    for (std::size_t i = 3 * static_cast<std::size_t>(b.tie_count); i < b.tie_points.size(); ++i)
        EXPECT_EQ(b.tie_points[i], -1.0) << "tie points past the count are untouched";
    b.expectOneEnvelopeLayout();
    const double water = static_cast<double>(0.1f);
    const FlashOutcome f = flash("PV", {0.0, water, 1.0 - water});
    EXPECT_LT(pairDistance(b.tieEnd(0, 0), b.tieEnd(0, 1), f.x1, f.x2), 1e-8);
    EXPECT_LT(distance(b.tiePoint(0), f.y), 1e-8);

    EnvelopeBuffers again;
    again.plait = 1.0;
    runVlle(again);
    EXPECT_NEAR(again.plait, b.plait, 1e-6);
    EXPECT_EQ(again.tie_count, b.tie_count);
}

}  // namespace
}  // namespace ternival::testing
