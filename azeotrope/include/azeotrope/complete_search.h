// A second azeotrope search beside the classic one, aimed at every
// azeotrope of the binaries and ternaries: the classic search first (so
// its azeotropes are always among the results), then
//   - every binary scanned for sign changes of y1 - x1 along a
//     cosine-spaced grid of bubble points, each refined by regula falsi
//     (this finds double azeotropes and azeotropes the classic screening
//     skips);
//   - every ternary searched by Newton's method on y(x) - x from each cell
//     of a triangular grid around which the field y - x winds;
//   - sub-mixtures of four and more components searched by Newton from
//     each azeotrope one component smaller, with a little of one more
//     component (so a k-component azeotrope is found when Newton reaches it
//     from one of its faces' azeotropes).
// New points are classified as the classic search classifies its own and
// the whole table is laid out as Azeo_Search lays it out.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Table capacity the command gives the complete search.
inline constexpr std::int64_t kCompleteSearchCapacity = 2000;

struct CompleteSearchStats {
    std::int64_t classic = 0;  // azeotropes the classic search found
    std::int64_t added = 0;    // azeotropes the complete search added
    bool limit_reached = false;  // the table's capacity cut the list short
};

// Arguments and table layout as Azeo_Search (search.h).
void Complete_Azeo_Search(std::int64_t n, double pressure, std::int64_t phase, std::string_view method,
                          std::span<const std::int64_t> ids, std::int64_t& count,
                          std::span<double> compositions, std::span<double> temperatures,
                          std::span<std::int64_t> sizes, std::span<std::int64_t> phase_codes,
                          std::span<std::int64_t> stability, std::span<double> singular_compositions,
                          std::span<double> singular_temperatures,
                          std::span<std::int64_t> singular_stability, std::int64_t& error,
                          CompleteSearchStats* stats = nullptr);

}  // namespace ternival
