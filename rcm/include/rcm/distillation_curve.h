// Distillation line at total reflux through a given composition.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Steps stage by stage: forward, each next point is the liquid in
// equilibrium with a vapour of the current composition (dew point);
// backward, the vapour over a liquid of the current composition (bubble
// point).  Modes, end tests, direction codes as residue_curve.  points is
// filled with -1.0 first (n x capacity values).  point_count: in, the
// capacity; out, the number of points.  error: 0 complete, 1 capacity
// reached, -1 a flash failed fatally.
void Distillation_Curve(std::int64_t n, std::span<const double> x0, std::int64_t mode,
                        std::int64_t end_test, std::int64_t naz,
                        std::span<const double> singular_x,
                        std::span<const std::int64_t> singular_code, double pressure,
                        std::span<const std::int64_t> ids, std::string_view method, int phase,
                        std::int64_t& point_count, std::int64_t& direction,
                        std::span<double> points, std::int64_t& error);

}  // namespace ternival
