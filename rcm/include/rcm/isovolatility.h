// Isovolatility curves K_j = K_k of a ternary mixture, traced from the
// binary azeotropes into the triangle by predictor-corrector continuation.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Traces the curve of pair i (0-based component absent at the start: 0 ->
// (1, 2), 1 -> (0, 2), 2 -> (0, 1)) from start (3 fractions).  Stores at
// most `capacity` points in x1, x2, x3 (and the bubble temperatures and
// K_j/K_k ratios in temperature, ratio); point_count receives the number.
void Isovolatility_Trace(std::int64_t i, std::span<const double> start, double pressure,
                         std::span<const std::int64_t> ids, int phase, std::string_view method,
                         std::int64_t capacity, std::int64_t& point_count, std::span<double> x1,
                         std::span<double> x2, std::span<double> x3, std::span<double> temperature,
                         std::span<double> ratio);

// One trace per component pair.  curve_count: in, capacity C; out, curves
// found.  points_per_curve: C entries, [0] holds the point capacity M on
// entry.  buffer: C x M x 3, point by point, filled with -1.0 first.
// error is set to 0.
void Isovolatility_Curves(std::int64_t n, double pressure, std::span<const std::int64_t> ids,
                          int phase, std::string_view method, std::int64_t& curve_count,
                          std::span<std::int64_t> points_per_curve, std::span<double> buffer,
                          std::int64_t& error);

}  // namespace ternival
