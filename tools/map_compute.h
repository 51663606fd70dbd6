// The computations behind `map`, `azeotropes`, `curve` and `boundaries`:
// thin wrappers over the azeotrope search and the residue-curve-map
// routines that own the work arrays and return plain vectors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli_common.h"
#include "map_render.h"

namespace ternival::cli {

// Pure components and azeotropes of an n-component mixture.
struct AzeotropeTable {
    std::size_t n = 0;
    std::size_t count = 0;                    // azeotropes found
    std::vector<double> boiling;              // n pure boiling points, K
    std::vector<std::int64_t> pure_stability; // n codes
    // Azeotrope a: compositions[a * n + i], temperatures[a], sizes[a],
    // phase_codes[a] (1 homogeneous, 2 heterogeneous), stability[a].
    std::vector<double> compositions, temperatures;
    std::vector<std::int64_t> sizes, phase_codes, stability;
    // Singular points as the map routines take them: n x (n + count),
    // column-major, pure components first.
    std::vector<double> singular_x, singular_t;
    std::vector<std::int64_t> singular_code;
    std::int64_t error = 0;                   // Azeo_Search's error indicator
    // Per singular point (pure components first): "ok", or what makes it
    // doubtful; and the warnings to tell the user, one sentence each.
    std::vector<std::string> status;
    std::vector<std::string> warnings;
};

// Pure-component properties and the azeotrope search.  Throws
// ComputeError when the pure boiling points cannot be computed.  What the
// search could not do well is kept in status and warnings: a search that
// stopped at a limit, a failed classification, a ternary whose stability
// codes fail the topological check, and (with phase setting 2) azeotropes
// whose liquid would split into two liquids.
AzeotropeTable SearchAzeotropes(const Problem& p, const std::vector<std::int64_t>& ids);

// Fills az.status and az.warnings (see SearchAzeotropes).
void CheckAzeotropes(const Problem& p, const std::vector<std::int64_t>& ids, AzeotropeTable& az);


// Name of a stability code ("stable node", "saddle", ...).
const char* StabilityName(std::int64_t code);

enum class CurveKind { Residue, Distillation };

// One residue curve or distillation line through x0 (mode as the rcm
// routines: 1 both branches, 2 forward, 3 backward).  Returns its points;
// direction receives 2 when they run towards higher boiling.  Throws
// ComputeError on a fatal integration or flash failure.
std::vector<Composition> TraceCurve(const Problem& p, const std::vector<std::int64_t>& ids,
                                    const AzeotropeTable& az, const Composition& x0, CurveKind kind,
                                    std::int64_t mode, std::int64_t& direction);

// Distillation boundaries of a ternary map.
std::vector<Curve> Boundaries(const Problem& p, const std::vector<std::int64_t>& ids,
                              const AzeotropeTable& az);

// Bubble temperature of a liquid composition, K (kMissingValue when the
// flash fails).
double BubbleTemperature(const Problem& p, const std::vector<std::int64_t>& ids, const Composition& x);

// Fills map.envelope and map.tie_lines for the three components: the
// liquid-liquid envelope at the given temperature, or with kMissingValue
// the envelope of heterogeneous bubble points at the map's pressure.  Both
// stay empty for a mixture without a liquid split.  Returns false, leaving
// the map untouched, when the routine refused the arguments.
bool FillEnvelope(const Problem& p, const std::vector<std::int64_t>& ids, double temperature, TernaryMap& map);

// Interior starting points of the map's residue curves: a triangular grid
// with `divisions` steps per side, edges excluded.
std::vector<Composition> InteriorGrid(int divisions);

}  // namespace ternival::cli
