// One residue curve through a given liquid composition.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Direction modes.
enum : std::int64_t { kBothBranches = 1, kForwardOnly = 2, kBackwardOnly = 3 };
// Direction codes of a returned curve.
enum : std::int64_t { kForwardSense = 2, kBackwardSense = -2 };

// Integrates dx/dxi = x - y(x) from x0 towards higher boiling (forward,
// ending at a stable node) and/or lower boiling (backward, ending at an
// unstable node), with the step in xi adapted from the composition change.
//
// end_test: 1 = stop close to a singular point of the branch's node type,
// 2 = stop as soon as the moves have become tiny, 3 = as 1 for any singular
// point.  singular_x is n x (n + naz) column-major, singular_code has
// n + naz entries (both read by end tests 1 and 3 only).  point_count: in,
// the budget B (columns of `points`, which holds n x B values); out, the
// number of points returned.  error: 0 success, 1 fatal integration error,
// 2 a branch exhausted the budget, -2 work storage failure.
void residue_curve(std::int64_t n, std::span<const double> x0, std::int64_t mode,
                   std::int64_t end_test, std::int64_t naz, std::span<const double> singular_x,
                   std::span<const std::int64_t> singular_code, double pressure,
                   std::span<const std::int64_t> ids, std::string_view method, int phase,
                   double h0, std::int64_t& point_count, std::int64_t& direction,
                   std::span<double> points, std::int64_t& error);

}  // namespace ternival
