// Distillation boundaries of a residue-curve map: the edges split at binary
// azeotropes, and the separatrices that leave or enter saddle azeotropes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// singular_x: n x (n + naz) column-major (pure components, then
// azeotropes); codes and temperatures alike.  curve_count: in, the number
// F of curves whose storage is pre-filled with -1.0; out, curves produced.
// point_counts[0]: in, P, the most points of one curve; out, per curve.
// curves: n x P x (curves that fit), column-major.  directions: 2 when a
// curve's points run towards higher boiling, -2 otherwise.  Never stores
// more curves than curves, point_counts and directions hold; a surplus is
// logged as 512.  error_code is not written.
void Dist_Boundary(std::int64_t n, double pressure, std::int64_t naz,
                   std::span<const double> singular_x, std::span<const std::int64_t> codes,
                   std::span<const double> temperatures, double h0,
                   std::span<const std::int64_t> ids, std::string_view method, int phase,
                   std::int64_t& curve_count, std::span<std::int64_t> point_counts,
                   std::span<double> curves, std::span<std::int64_t> directions,
                   std::int64_t& error_code);

// Edge orientation flag kept between saddles and calls (false at start).
bool& EdgeOrientationFlag();

}  // namespace ternival
