// Continuation of a two-liquid envelope across the composition triangle,
// shared by the isothermal (LLE) and the bubble-point (VLLE) envelopes.  The
// two differ only in the flash that produces each tie line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace ternival::envelope {

using Point = std::array<double, 3>;

// What the tracer reads from one flash.
struct TieLine {
    Point x1{}, x2{};   // the two liquids (equal when the liquid does not split)
    Point y{};          // vapour
    double beta = 0.0;  // vapour fraction
    double t = 0.0;     // temperature
    std::int64_t error = 0;
};

using FlashAt = std::function<TieLine(const Point& z)>;

struct TracerOptions {
    std::string_view routine;  // name written to the run log
    // Isothermal envelope: a vapour-bearing flash closes the envelope, and an
    // edge composition that is all vapour is skipped in the start search.
    bool vapour_test = false;
};

struct TracerOutputs {
    std::int64_t& curve_count;
    std::span<std::int64_t> points_per_curve;
    std::span<double> curves;
    std::int64_t& tie_line_count;  // in: nmax; out: tie lines stored
    std::span<double> tie_lines;
    std::span<double> tie_points;  // empty: vapours are not kept
    double* plait_temperature;     // nullptr: not reported
    std::int64_t& message_code;
    std::int64_t& error;
    bool keep_vapour = false;
};

void TraceEnvelopes(std::int64_t n, double step, const FlashAt& flash, const TracerOptions& options,
                    TracerOutputs& out);

}  // namespace ternival::envelope
