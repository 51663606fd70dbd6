// Liquid-liquid envelope of a ternary at fixed temperature and pressure:
// the binodal curve of every two-liquid region with its tie lines, traced
// from the edges of the composition triangle that split into two liquids.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Component count n (must be 3), pressure, temperature, step factor (the
// map's StepSizeEnv), engine component indices and property method (the
// map's LLE model).  Every flash is an isothermal "TP" flash with phase
// setting 3.
//
// Outputs:
//   curve_count       envelopes traced (at most 3, one per starting edge);
//   points_per_curve  2 * branch points of each curve (3 entries);
//   curves            n x (2 * nmax) x 3 mole fractions, point by point; every
//                     entry is set to -1.0 first.  Curve q runs along the
//                     first liquid branch from its starting edge inwards and
//                     back along the second branch;
//   tie_line_count    in: nmax, the branch capacity (100 from the map);
//                     out: the number of tie lines stored;
//   tie_lines         two points of n fractions per tie line;
//   message_code      0 or the last of 501, 502, 513 (logged);
//   error             0; -1 (n != 3); 1 (capacity reached); 2 (a flash failed).
//
// Capacity: nothing is written past the spans handed in.  Tie lines are
// stored up to min(3 * nmax, tie_lines.size() / (2 n)); reaching that limit,
// or nmax points on a branch, ends the envelope being traced with error 1
// and message 501, and the envelope is stored as far as it was traced.
void LLE_Envelope(std::int64_t n, double pressure, double temperature, double step,
                  std::span<const std::int64_t> ids, std::string_view method,
                  std::int64_t& curve_count, std::span<std::int64_t> points_per_curve,
                  std::span<double> curves, std::int64_t& tie_line_count,
                  std::span<double> tie_lines, std::int64_t& message_code, std::int64_t& error);

}  // namespace ternival
