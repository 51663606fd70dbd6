// Liquid-liquid envelopes through the real engine: ethanol/water/benzene,
// whose water-benzene edge splits into two liquids, and the homogeneous
// acetone/chloroform/methanol.
#include "envelope/lle_envelope.h"

#include <gtest/gtest.h>

#include <vector>

#include "envelope_fixture.h"
#include "../common/reference_activity.h"

namespace {

using namespace ternival;
using namespace ternival::testing;

constexpr double kRoomTemperature = 298.15;

class EthanolWaterBenzeneLle : public EnvelopeFixture {
protected:
    void SetUp() override {
        EnvelopeFixture::SetUp();
        open("ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"});
    }
    void run(EnvelopeBuffers& b, double t, double step = 0.1) {
        b.tie_count = b.nmax;
        LLE_Envelope(3, pressure_, t, step, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count,
                     b.tie_lines, b.message, b.error);
    }
};

TEST_F(EthanolWaterBenzeneLle, EveryTieLineIsTheSplitOfItsMidpoint) {
    EnvelopeBuffers b;
    run(b, kRoomTemperature);
    EXPECT_EQ(b.error, 0);
    EXPECT_EQ(b.message, 0);
    ASSERT_EQ(b.curve_count, 1) << "only the water-benzene edge splits";
    ASSERT_GE(b.tie_count, 5);
    const auto last = static_cast<std::size_t>(b.tie_count - 1);
    for (std::size_t t = 0; t <= last; ++t) {
        const X3 a = b.tieEnd(t, 0), c = b.tieEnd(t, 1);
        for (const X3& x : {a, c}) {
            EXPECT_NEAR(x[0] + x[1] + x[2], 1.0, 1e-9);
            for (double v : x) EXPECT_GE(v, 0.0);
        }
        EXPECT_GT(distance(a, c), 1e-2) << "tie line " << t << " joins two different liquids";
        const DirectFlash f = flashTP(middle(a, c), kRoomTemperature);
        ASSERT_EQ(f.error, 0);
        EXPECT_LE(f.vf, 1e-5);
        // The same tie line, up to the last one before the plait point.
        EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-6) << "tie line " << t;
    }
}

// Both ends of every tie line have equal activities x_i gamma_i within
// 1e-9, gamma from NRTL written out in the test, up to the last tie line
// next to the plait point.
TEST_F(EthanolWaterBenzeneLle, TieLineEndsHaveEqualActivities) {
    EnvelopeBuffers b;
    run(b, kRoomTemperature);
    ASSERT_EQ(b.error, 0);
    ASSERT_GE(b.tie_count, 5);
    const propcore::Problem p = propcore::LoadProblem(std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml");
    const reference::Reference nrtl{p, p.methods[0]};
    ASSERT_EQ(p.methods[0].name, "NRTL");
    double worst = 0.0;
    for (std::int64_t t = 0; t < b.tie_count; ++t) {
        const X3 a = b.tieEnd(static_cast<std::size_t>(t), 0), c = b.tieEnd(static_cast<std::size_t>(t), 1);
        const X3 ga = nrtl.lnGamma(kRoomTemperature, a), gc = nrtl.lnGamma(kRoomTemperature, c);
        for (int i = 0; i < 3; ++i) {
            if (a[i] == 0.0 && c[i] == 0.0) continue;  // absent from the edge's tie line
            const double act_a = a[i] * std::exp(ga[i]), act_c = c[i] * std::exp(gc[i]);
            worst = std::max(worst, std::abs(act_a - act_c));
            EXPECT_LT(std::abs(act_a - act_c), 1e-9) << "tie line " << t << ", component " << i;
        }
    }
    RecordProperty("largest_activity_difference", std::to_string(worst));
}

TEST_F(EthanolWaterBenzeneLle, StartsFromTheBinarySplitOfTheWaterBenzeneEdge) {
    EnvelopeBuffers b;
    run(b, kRoomTemperature);
    ASSERT_EQ(b.curve_count, 1);
    // The first composition tried on the edge already splits.
    const double water = static_cast<double>(0.1f);
    const DirectFlash f = flashTP({0.0, water, 1.0 - water}, kRoomTemperature);
    ASSERT_EQ(f.error, 0);
    const X3 a = b.tieEnd(0, 0), c = b.tieEnd(0, 1);
    EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-10);
    EXPECT_EQ(a[0], 0.0);
    EXPECT_EQ(c[0], 0.0);
    // Mutual solubilities of the example at 25 C.
    EXPECT_NEAR(std::min(a[2], c[2]), 4.1e-4, 1e-4);
    EXPECT_NEAR(std::min(a[1], c[1]), 2.8e-3, 5e-4);

    // The curve starts at the edge's first liquid and comes back to its second.
    const auto np = static_cast<std::size_t>(b.points[0]);
    ASSERT_GE(np, 2 * static_cast<std::size_t>(b.tie_count));
    EXPECT_EQ(np % 2, 0u);
    EXPECT_EQ(b.curvePoint(0, 0), a);
    EXPECT_EQ(b.curvePoint(0, np - 1), c);
    EXPECT_EQ(b.points[1], 0);
    EXPECT_EQ(b.points[2], 0);
    for (std::size_t p = np; p < 200; ++p) EXPECT_EQ(b.curvePoint(0, p), (X3{-1.0, -1.0, -1.0}));
    for (std::size_t p = 0; p < 200; ++p) {
        EXPECT_EQ(b.curvePoint(1, p), (X3{-1.0, -1.0, -1.0}));
        EXPECT_EQ(b.curvePoint(2, p), (X3{-1.0, -1.0, -1.0}));
    }
}

TEST_F(EthanolWaterBenzeneLle, CurveHoldsBothBranchesOfTheTieLines) {
    EnvelopeBuffers b;
    run(b, kRoomTemperature);
    ASSERT_EQ(b.curve_count, 1);
    const auto np = static_cast<std::size_t>(b.points[0]);
    const std::size_t n = np / 2;
    // Tie line t is point t of branch 1 and point np - 1 - t (branch 2 reversed).
    for (std::size_t t = 0; t < static_cast<std::size_t>(b.tie_count); ++t) {
        EXPECT_EQ(b.curvePoint(0, t), b.tieEnd(t, 0)) << t;
        EXPECT_EQ(b.curvePoint(0, np - 1 - t), b.tieEnd(t, 1)) << t;
    }
    // Branch 1 always continues with the liquid nearer to its last point.
    for (std::size_t p = 1; p < n; ++p) {
        const X3 r = b.curvePoint(0, p - 1);
        EXPECT_LT(distance(b.curvePoint(0, p), r), distance(b.curvePoint(0, np - 1 - p), r)) << p;
    }
    // The closing points bring the branches towards each other: the inner
    // ends are nearer than the ends of the last tie line.
    const auto last = static_cast<std::size_t>(b.tie_count - 1);
    EXPECT_LT(distance(b.curvePoint(0, n - 1), b.curvePoint(0, n)), distance(b.tieEnd(last, 0), b.tieEnd(last, 1)));
    // Ethanol rises along the envelope away from the water-benzene edge.
    EXPECT_GT(middle(b.tieEnd(last, 0), b.tieEnd(last, 1))[0], 0.2);
}

TEST_F(EthanolWaterBenzeneLle, FirstStepAddsTheMissingComponentInProportionToTheTieLine) {
    for (double step : {0.1, 0.05}) {
        EnvelopeBuffers b;
        run(b, kRoomTemperature, step);
        ASSERT_GE(b.tie_count, 2);
        const X3 a = b.tieEnd(0, 0), c = b.tieEnd(0, 1);
        X3 z = middle(a, c);
        z[0] = step * distance(a, c) / std::sqrt(2.0);
        const double s = z[0] + z[1] + z[2];
        for (double& v : z) v /= s;
        const DirectFlash f = flashTP(z, kRoomTemperature);
        EXPECT_LT(pairDistance(b.tieEnd(1, 0), b.tieEnd(1, 1), f.x1, f.x2), 1e-10) << step;
    }
}

TEST_F(EthanolWaterBenzeneLle, SmallerStepGivesMoreTieLines) {
    EnvelopeBuffers coarse, fine;
    run(coarse, kRoomTemperature, 0.1);
    run(fine, kRoomTemperature, 0.05);
    EXPECT_EQ(fine.error, 0);
    EXPECT_GT(fine.tie_count, coarse.tie_count);
}

TEST_F(EthanolWaterBenzeneLle, FlashCountStaysWithinTheBudget) {
    EnvelopeBuffers b;
    const long long before = engineCalls();
    run(b, kRoomTemperature);
    const long long flashes = engineCalls() - before;
    // 9 per edge for the start search, one per tie line, one failed step
    // and 13 for the closing (engine retries would add to this).
    EXPECT_LE(flashes, 27 + b.tie_count + 1 + 13);
    EXPECT_GE(flashes, 1 + 9 + 9 + b.tie_count - 1);
}

TEST_F(EthanolWaterBenzeneLle, VapourInsideTheTwoLiquidRegionIsReported) {
    // At 340 K the water-benzene edge still has two liquids, but adding
    // ethanol brings the mixture to its boiling point.
    EnvelopeBuffers b;
    run(b, 340.0);
    EXPECT_EQ(b.message, 513);
    EXPECT_EQ(b.error, 0) << "a vapour does not change the error code";
    ASSERT_EQ(b.curve_count, 1);
    EXPECT_GE(b.tie_count, 1);
    bool logged = false;
    for (const std::string& line : logLines())
        if (line == "LLE_Envelope         : " + std::string(MessageText(513))) logged = true;
    EXPECT_TRUE(logged) << RunLogPath();
}

TEST_F(EthanolWaterBenzeneLle, NoLiquidSplitAboveTheHeteroazeotrope) {
    EnvelopeBuffers b;
    run(b, 345.0);
    EXPECT_EQ(b.curve_count, 0);
    EXPECT_EQ(b.tie_count, 0);
    EXPECT_EQ(b.error, 0);
}

TEST_F(EthanolWaterBenzeneLle, BranchCapacityEndsTheEnvelope) {
    // Buffers sized for nmax = 4, inside guard values the routine must not touch.
    constexpr std::int64_t nmax = 4;
    constexpr double kGuard = 12345.0;
    std::vector<double> curves(3 * 2 * nmax * 3 + 20, kGuard), ties(2 * nmax * 3 + 20, kGuard);
    std::vector<std::int64_t> points(3 + 2, 77);
    std::int64_t curve_count = 0, tie_count = nmax, message = 0, error = 0;
    LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "NRTL", curve_count,
                 std::span(points).subspan(1, 3), std::span(curves).subspan(10, 3 * 2 * nmax * 3), tie_count,
                 std::span(ties).subspan(10, 2 * nmax * 3), message, error);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(message, 501);
    EXPECT_EQ(curve_count, 1);
    EXPECT_EQ(points[1], 2 * nmax);
    EXPECT_EQ(tie_count, nmax);
    EXPECT_EQ(points.front(), 77);
    EXPECT_EQ(points.back(), 77);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(curves[i], kGuard);
        EXPECT_EQ(curves[curves.size() - 1 - i], kGuard);
        EXPECT_EQ(ties[i], kGuard);
        EXPECT_EQ(ties[ties.size() - 1 - i], kGuard);
    }
    for (std::size_t i = 10; i < 10 + 2 * nmax * 3; ++i) EXPECT_NE(curves[i], -1.0) << "curve 1 is full";
}

TEST_F(EthanolWaterBenzeneLle, TieLineBufferCapacityIsHonoured) {
    // The map's capacity of 100, but a buffer of three tie lines only.
    constexpr double kGuard = 12345.0;
    std::vector<double> ties(3 * 6 + 6, kGuard);
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count,
                 std::span(ties).first(18), b.message, b.error);
    EXPECT_EQ(b.tie_count, 3);
    EXPECT_EQ(b.error, 1);
    EXPECT_EQ(b.message, 501);
    EXPECT_EQ(b.points[0], 6);
    for (std::size_t i = 18; i < ties.size(); ++i) EXPECT_EQ(ties[i], kGuard);
}

TEST_F(EthanolWaterBenzeneLle, CurveBufferSmallerThanItsLayoutIsHonoured) {
    // nmax = 100 asks for curves of 200 points; the buffer holds 4 points.
    constexpr double kGuard = 12345.0;
    std::vector<double> curves(4 * 3 + 9, kGuard);
    std::vector<std::int64_t> points(1, 77);
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "NRTL", b.curve_count, points,
                 std::span(curves).first(12), b.tie_count, b.tie_lines, b.message, b.error);
    EXPECT_EQ(b.error, 1);
    EXPECT_EQ(b.message, 501);
    EXPECT_EQ(b.curve_count, 1);
    EXPECT_GE(b.tie_count, 5) << "the tie lines are all stored";
    EXPECT_EQ(points[0], 2 * (b.tie_count + 3));
    EXPECT_EQ(curves[0], b.tie_lines[0]) << "the curve's first points are written";
    for (std::size_t i = 12; i < curves.size(); ++i) EXPECT_EQ(curves[i], kGuard);
}

TEST_F(EthanolWaterBenzeneLle, OnlyTernariesAreTraced) {
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    const long long before = engineCalls();
    LLE_Envelope(2, pressure_, kRoomTemperature, 0.1, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count,
                 b.tie_lines, b.message, b.error);
    EXPECT_EQ(b.error, -1);
    EXPECT_EQ(b.message, 0);
    EXPECT_EQ(b.curve_count, 0);
    EXPECT_EQ(b.tie_count, 0);
    EXPECT_EQ(engineCalls(), before);
    for (double v : b.curves) EXPECT_EQ(v, -1.0);
}

TEST_F(EthanolWaterBenzeneLle, UnknownMethodIsAFlashFailure) {
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "NOSUCH", b.curve_count, b.points, b.curves,
                 b.tie_count, b.tie_lines, b.message, b.error);
    EXPECT_EQ(b.error, 2);
    EXPECT_EQ(b.message, 502);
}

class HomogeneousLle : public EnvelopeFixture {};

TEST_F(HomogeneousLle, AcetoneChloroformMethanolHasNoEnvelope) {
    open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    LLE_Envelope(3, pressure_, kRoomTemperature, 0.1, ids_, "", b.curve_count, b.points, b.curves, b.tie_count,
                 b.tie_lines, b.message, b.error);
    EXPECT_EQ(b.error, 0);
    EXPECT_EQ(b.message, 0);
    EXPECT_EQ(b.curve_count, 0);
    EXPECT_EQ(b.tie_count, 0);
    EXPECT_EQ(b.points, (std::array<std::int64_t, 3>{0, 0, 0}));
    for (double v : b.curves) EXPECT_EQ(v, -1.0);
}

}  // namespace
