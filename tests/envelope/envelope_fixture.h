// A ternary example opened through the engine, with the buffers of the
// envelope routines laid out as the map object lays them out, and direct
// flashes to check the traced tie lines against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../engine/engine_env.h"
#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "engine/session.h"

namespace ternival::testing {

using X3 = std::array<double, 3>;

inline constexpr std::int64_t kTieLines = 100;

// Buffers of one envelope computation, sized for nmax tie lines per
// envelope: 3 curves of 2 * nmax points, nmax tie lines and tie points.
struct EnvelopeBuffers {
    explicit EnvelopeBuffers(std::int64_t nmax = kTieLines)
        : nmax(nmax), curves(static_cast<std::size_t>(3 * 2 * nmax * 3), 7.0),
          tie_lines(static_cast<std::size_t>(2 * nmax * 3), -1.0),
          tie_points(static_cast<std::size_t>(nmax * 3), -1.0) {}
    std::int64_t nmax;
    std::int64_t curve_count = -5;
    std::array<std::int64_t, 3> points{-5, -5, -5};
    std::vector<double> curves, tie_lines, tie_points;
    std::int64_t tie_count = 0;
    std::int64_t message = -5, error = -5;
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
};

inline double distance(const X3& a, const X3& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s);
}

inline X3 middle(const X3& a, const X3& b) { return {0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])}; }

// Largest distance between the pairs (a1, a2) and (b1, b2), whichever way
// round they match.
inline double pairDistance(const X3& a1, const X3& a2, const X3& b1, const X3& b2) {
    return std::min(std::max(distance(a1, b1), distance(a2, b2)), std::max(distance(a1, b2), distance(a2, b1)));
}

struct DirectFlash {
    X3 x1{}, x2{}, y{};
    double t = 0.0, vf = 0.0;
    std::int64_t error = 0;
};

class EnvelopeFixture : public EngineEnvironment {
protected:
    void open(const char* example, std::array<const char*, 3> names) {
        session_ = std::make_unique<EngineSession>(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example,
                                                   TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
        for (std::size_t i = 0; i < 3; ++i) {
            ids_[i] = LookupComponentIndex(names[i]);
            ASSERT_GT(ids_[i], 0) << names[i];
        }
    }
    void TearDown() override {
        session_.reset();
        EngineEnvironment::TearDown();
    }
    // Isothermal three-phase flash of z.
    DirectFlash flashTP(const X3& z, double t) const {
        DirectFlash f;
        X3 x{};
        double p = pressure_, r = 0.0;
        f.t = t;
        EngineFlash("TP", 3, "", 3, ids_, z, f.t, p, f.vf, f.y, x, r, f.x1, f.x2, f.error);
        return f;
    }
    // Three-phase bubble point of the liquid z.
    DirectFlash bubble(const X3& z) const {
        DirectFlash f;
        X3 x{};
        double p = pressure_, r = 0.0;
        f.t = 0.0;
        EngineFlash("PV", 3, "", 3, ids_, z, f.t, p, f.vf, f.y, x, r, f.x1, f.x2, f.error);
        return f;
    }
    long long engineCalls() const { return FlashMemory().engine_calls; }
    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::ifstream in(RunLogPath());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::unique_ptr<EngineSession> session_;
    std::array<std::int64_t, 3> ids_{};
    double pressure_ = 101325.0;
};

}  // namespace ternival::testing
