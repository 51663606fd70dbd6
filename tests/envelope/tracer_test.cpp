// The envelope tracer on model two-liquid regions whose tie lines are known
// in closed form, for the shapes the examples do not have.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "../../envelope/envelope_tracer.h"

namespace {

using ternival::envelope::FlashAt;
using ternival::envelope::Point;
using ternival::envelope::TieLine;
using ternival::envelope::TracerOptions;
using ternival::envelope::TracerOutputs;

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

struct Trace {
    explicit Trace(std::int64_t nmax) : nmax(nmax), curves(static_cast<std::size_t>(18 * nmax)),
                                      ties(static_cast<std::size_t>(18 * nmax)) {}
    void trace(const FlashAt& flash, double step) {
        tie_count = nmax;
        TracerOutputs out{curve_count, points, curves, tie_count, ties, {}, nullptr, message, error, false};
        TracerOptions options{.routine = "LLE_Envelope", .vapour_test = true};
        const FlashAt counted = [&](const Point& z) {
            ++flashes;
            return flash(z);
        };
        ternival::envelope::TraceEnvelopes(3, step, counted, options, out);
    }
    Point curvePoint(std::size_t q, std::size_t p) const {
        const std::size_t at = (q * static_cast<std::size_t>(2 * nmax) + p) * 3;
        return {curves[at], curves[at + 1], curves[at + 2]};
    }
    std::int64_t nmax;
    std::int64_t curve_count = 0, tie_count = 0, message = 0, error = 0;
    int flashes = 0;
    std::array<std::int64_t, 3> points{};
    std::vector<double> curves, ties;
};

TEST(EnvelopeTracer, BandIsTracedOnceFromTheFirstEdgeToTheSecond) {
    Trace run(100);
    run.trace(band, 0.1);
    EXPECT_EQ(run.error, 0);
    EXPECT_EQ(run.message, 0);
    ASSERT_EQ(run.curve_count, 1) << "edge 2 is used by the band and not traced again";
    const auto np = static_cast<std::size_t>(run.points[0]);
    const std::size_t n = np / 2;
    EXPECT_EQ(static_cast<std::int64_t>(n), run.tie_count) << "no closing points on a band";
    // From the edge without component 1 to the edge without component 2.
    EXPECT_EQ(run.curvePoint(0, 0)[0], 0.0);
    EXPECT_EQ(run.curvePoint(0, n - 1)[1], 0.0);
    EXPECT_EQ(run.curvePoint(0, n)[1], 0.0);
    for (std::size_t p = 0; p < n; ++p) {
        EXPECT_DOUBLE_EQ(run.curvePoint(0, p)[2], 0.2) << "branch 1 keeps the liquid poor in 3";
        EXPECT_DOUBLE_EQ(run.curvePoint(0, np - 1 - p)[2], 0.8);
    }
    // Edge 2's own tie line closes the curve.
    EXPECT_NEAR(run.curvePoint(0, n - 1)[0], 0.8, 1e-12);
}

TEST(EnvelopeTracer, FirstStepGivesTheMissingComponentStepTimesHalfLength) {
    std::vector<Point> asked;
    const FlashAt record = [&](const Point& z) {
        asked.push_back(z);
        return band(z);
    };
    Trace run(100);
    run.trace(record, 0.1);
    // The start search stays on the edges; the first composition inside the
    // triangle is the first step.
    std::size_t k = 0;
    while (k < asked.size() && (asked[k][0] == 0.0 || asked[k][1] == 0.0 || asked[k][2] == 0.0)) ++k;
    ASSERT_EQ(k, 2u + 2u + 9u) << "edges 1 and 2 split at their second composition, edge 3 never";
    const Point& first = asked[k];
    // Half-length of the edge tie line (0, .8, .2)-(0, .2, .8) is 0.6.
    const double z1 = 0.1 * 0.6, sum = 1.0 + z1;
    EXPECT_NEAR(first[0], z1 / sum, 1e-12);
    EXPECT_NEAR(first[1], 0.5 / sum, 1e-12);
    EXPECT_NEAR(first[2], 0.5 / sum, 1e-12);
}

TEST(EnvelopeTracer, BranchOfNmaxPointsStopsWithTheCapacityCode) {
    Trace run(100);
    run.trace(band, 0.001);
    EXPECT_EQ(run.error, 1);
    EXPECT_EQ(run.message, 501);
    EXPECT_EQ(run.points[0], 200);
    // The band was not finished, so edge 2 is traced on its own.
    EXPECT_EQ(run.curve_count, 2);
    EXPECT_EQ(run.points[1], 200);
    EXPECT_EQ(run.tie_count, 200) << "the buffer holds 3 * nmax tie lines";
}

TEST(EnvelopeTracer, FullTieLineBufferEndsTheNextEnvelopeAtItsEdge) {
    Trace run(100);
    run.ties.resize(6 * 100);  // the map's buffer: nmax tie lines in all
    run.trace(band, 0.001);
    EXPECT_EQ(run.error, 1);
    EXPECT_EQ(run.message, 501);
    EXPECT_EQ(run.tie_count, 100);
    ASSERT_EQ(run.curve_count, 2);
    EXPECT_EQ(run.points[0], 200);
    EXPECT_EQ(run.points[1], 2) << "only the edge tie line of the second envelope";
    EXPECT_EQ(run.curvePoint(1, 2), (Point{-1.0, -1.0, -1.0}));
}

// A region closing at a plait point: liquids x3 = c -/+ w(s) along the
// line of constant z1 : z2 ratio, with width w shrinking to 0 as z1 grows.
TieLine cap(const Point& z) {
    TieLine s;
    s.x1 = s.x2 = z;
    const double w = 0.3 * (1.0 - z[0] / 0.4);
    if (w > 0 && std::abs(z[2] - 0.5) < w) {
        const double a = z[0];
        const double rest = 1 - a;
        s.x1 = {a, rest - (0.5 - w), 0.5 - w};
        s.x2 = {a, rest - (0.5 + w), 0.5 + w};
    }
    return s;
}

TEST(EnvelopeTracer, PlaitClosingStaysWithinTheBranches) {
    // With room enough: 26 tie lines, then 3 closing points.
    Trace wide(100);
    wide.trace(cap, 0.1);
    ASSERT_EQ(wide.curve_count, 1);
    EXPECT_EQ(wide.error, 0);
    EXPECT_EQ(wide.message, 0);
    ASSERT_EQ(wide.tie_count, 26);
    EXPECT_EQ(wide.points[0], 2 * (26 + 3));
    EXPECT_LE(wide.flashes, 27 + 26 + 1 + 13);
    // Branch capacities that the closing points would overrun keep the
    // curve at 2 * nmax points and report the capacity stop.
    for (std::int64_t nmax : {2, 26, 27, 28, 29}) {
        Trace run(nmax);
        run.trace(cap, 0.1);
        ASSERT_EQ(run.curve_count, 1) << nmax;
        EXPECT_EQ(run.points[0], 2 * nmax) << nmax;
        EXPECT_EQ(run.tie_count, std::min<std::int64_t>(nmax, 26));
        EXPECT_EQ(run.error, 1) << nmax;
        EXPECT_EQ(run.message, 501) << nmax;
    }
}

}  // namespace
