// Vapour-liquid-liquid envelope of a boiling ternary at fixed pressure: the
// liquid compositions whose bubble point is heterogeneous, with the two
// liquids and the vapour of each tie line and the plait temperature.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Traced like LLE_Envelope, but every flash is a three-phase bubble point
// ("PV", vapour fraction 0, phase setting 3) at the given pressure, so the
// temperature varies along the envelope.  The starting temperature of each
// flash is the one the previous flash of this routine left (carried across
// calls; 0 before the first).
//
// Outputs as for LLE_Envelope, plus:
//   tie_points         the vapour (n fractions) of each stored tie line;
//   plait_temperature  bubble temperature where the two liquids of the last
//                      envelope that closed at a plait point merge; left as
//                      it was when no envelope closes at a plait point.
// message_code is 0, 501 or 502.  Tie lines are stored up to
// min(3 * nmax, tie_lines.size() / (2 n), tie_points.size() / n).
void VLLE_Envelope(std::int64_t n, double pressure, double step, std::span<const std::int64_t> ids,
                   std::string_view method, std::int64_t& curve_count,
                   std::span<std::int64_t> points_per_curve, std::span<double> curves,
                   std::int64_t& tie_line_count, std::span<double> tie_lines,
                   std::span<double> tie_points, double& plait_temperature,
                   std::int64_t& message_code, std::int64_t& error);

}  // namespace ternival
