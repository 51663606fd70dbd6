// Small geometric helpers on the composition simplex.
#pragma once

#include <cstdint>
#include <span>

namespace ternival {

// Two difference points of a derivative along e_i - e_j on the composition
// simplex: xp - xm = h (e_i - e_j), both points stay inside [0, 1] and keep
// the sum of x.  i and j are 1-based, i != j, n = x.size().  Near an edge
// (one of x_i, x_j not larger than h) the pair is taken off-centre; when
// x_i + x_j is too small for the step, the largest fraction of x
// compensates both points instead.
void PerturbPair(std::int64_t n, double h, std::int64_t i, std::int64_t j,
                 std::span<const double> x, std::span<double> xp, std::span<double> xm);

}  // namespace ternival
