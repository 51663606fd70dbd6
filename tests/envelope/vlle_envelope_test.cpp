// Vapour-liquid-liquid envelopes through the real engine: the boiling
// ethanol/water/benzene mixture at one atmosphere.
#include "envelope/vlle_envelope.h"

#include <gtest/gtest.h>

#include <vector>

#include "envelope_fixture.h"

namespace {

using namespace ternival;
using namespace ternival::testing;

class EthanolWaterBenzeneVlle : public EnvelopeFixture {
protected:
    void SetUp() override {
        EnvelopeFixture::SetUp();
        open("ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"});
    }
    void run(EnvelopeBuffers& b, double step = 0.1) {
        b.tie_count = b.nmax;
        VLLE_Envelope(3, pressure_, step, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                      b.tie_points, b.plait, b.message, b.error);
    }
};

TEST_F(EthanolWaterBenzeneVlle, TieLinesAreThreePhaseBubblePoints) {
    EnvelopeBuffers b;
    run(b);
    EXPECT_EQ(b.error, 0);
    EXPECT_EQ(b.message, 0);
    ASSERT_EQ(b.curve_count, 1);
    ASSERT_GE(b.tie_count, 5);
    std::vector<double> temperatures;
    for (std::size_t t = 0; t < static_cast<std::size_t>(b.tie_count); ++t) {
        const X3 a = b.tieEnd(t, 0), c = b.tieEnd(t, 1), y = b.tiePoint(t);
        EXPECT_GT(distance(a, c), 1e-2);
        EXPECT_NEAR(y[0] + y[1] + y[2], 1.0, 1e-9) << "every tie line has its vapour";
        // Any liquid on a three-phase tie line boils at the same temperature
        // into the same three phases.
        const DirectFlash f = bubble(middle(a, c));
        ASSERT_EQ(f.error, 0);
        EXPECT_LT(pairDistance(a, c, f.x1, f.x2), 1e-4) << t;
        EXPECT_LT(distance(y, f.y), 1e-4) << t;
        temperatures.push_back(f.t);
    }
    // The edge tie line boils at the water-benzene heteroazeotrope; ethanol
    // lowers the three-phase temperature towards the ternary heteroazeotrope.
    EXPECT_NEAR(temperatures.front(), 342.4, 1.0);
    for (std::size_t t = 1; t < temperatures.size(); ++t) EXPECT_LT(temperatures[t], temperatures.front() - 1.0);
    const auto [lo, hi] = std::minmax_element(temperatures.begin(), temperatures.end());
    EXPECT_GT(*hi - *lo, 3.0) << "successive tie lines at different temperatures";
    EXPECT_NEAR(*lo, 338.0, 1.5);

    // The liquids merge at a plait point just beyond the last tie line.
    ASSERT_NE(b.plait, -7.0);
    EXPECT_NEAR(b.plait, temperatures.back(), 1.0);
    EXPECT_GT(b.plait, *lo);

    // Tie points past the count are untouched.
    for (std::size_t i = 3 * static_cast<std::size_t>(b.tie_count); i < b.tie_points.size(); ++i)
        EXPECT_EQ(b.tie_points[i], -1.0);
}

TEST_F(EthanolWaterBenzeneVlle, CurveLayoutMatchesTheTieLines) {
    EnvelopeBuffers b;
    run(b);
    ASSERT_EQ(b.curve_count, 1);
    const auto np = static_cast<std::size_t>(b.points[0]);
    EXPECT_EQ(np % 2, 0u);
    EXPECT_GE(np, 2 * static_cast<std::size_t>(b.tie_count));
    for (std::size_t t = 0; t < static_cast<std::size_t>(b.tie_count); ++t) {
        EXPECT_EQ(b.curvePoint(0, t), b.tieEnd(t, 0));
        EXPECT_EQ(b.curvePoint(0, np - 1 - t), b.tieEnd(t, 1));
    }
    for (std::size_t p = np; p < 200; ++p) EXPECT_EQ(b.curvePoint(0, p), (X3{-1.0, -1.0, -1.0}));
    // The edge tie line is the binary three-phase bubble point.
    const double water = static_cast<double>(0.1f);
    const DirectFlash f = bubble({0.0, water, 1.0 - water});
    EXPECT_LT(pairDistance(b.tieEnd(0, 0), b.tieEnd(0, 1), f.x1, f.x2), 1e-8);
    EXPECT_LT(distance(b.tiePoint(0), f.y), 1e-8);
}

TEST_F(EthanolWaterBenzeneVlle, PlaitTemperatureIsThatOfTheLastCall) {
    EnvelopeBuffers b;
    run(b);
    const double first = b.plait;
    EnvelopeBuffers again;
    again.plait = 1.0;
    run(again);
    EXPECT_NEAR(again.plait, first, 1e-6);
    EXPECT_EQ(again.tie_count, b.tie_count);
}

TEST_F(EthanolWaterBenzeneVlle, TiePointBufferCapacityIsHonoured) {
    constexpr double kGuard = 12345.0;
    std::vector<double> points(2 * 3 + 6, kGuard);
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    VLLE_Envelope(3, pressure_, 0.1, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                  std::span(points).first(6), b.plait, b.message, b.error);
    EXPECT_EQ(b.tie_count, 2);
    EXPECT_EQ(b.error, 1);
    EXPECT_EQ(b.message, 501);
    for (std::size_t i = 6; i < points.size(); ++i) EXPECT_EQ(points[i], kGuard);
    for (std::size_t i = 2 * 6; i < b.tie_lines.size(); ++i) EXPECT_EQ(b.tie_lines[i], -1.0);
}

TEST_F(EthanolWaterBenzeneVlle, OnlyTernariesAreTraced) {
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    VLLE_Envelope(4, pressure_, 0.1, ids_, "NRTL", b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                  b.tie_points, b.plait, b.message, b.error);
    EXPECT_EQ(b.error, -1);
    EXPECT_EQ(b.curve_count, 0);
    EXPECT_EQ(b.plait, -7.0);
}

class HomogeneousVlle : public EnvelopeFixture {};

TEST_F(HomogeneousVlle, AcetoneChloroformMethanolHasNoEnvelope) {
    open("acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"});
    EnvelopeBuffers b;
    b.tie_count = b.nmax;
    VLLE_Envelope(3, pressure_, 0.1, ids_, "", b.curve_count, b.points, b.curves, b.tie_count, b.tie_lines,
                  b.tie_points, b.plait, b.message, b.error);
    EXPECT_EQ(b.error, 0);
    EXPECT_EQ(b.message, 0);
    EXPECT_EQ(b.curve_count, 0);
    EXPECT_EQ(b.tie_count, 0);
    EXPECT_EQ(b.plait, -7.0) << "no plait point, no plait temperature";
    for (double v : b.curves) EXPECT_EQ(v, -1.0);
}

}  // namespace
