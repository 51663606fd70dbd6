// The distillation regions of a ternary map: the areas into which the
// distillation boundaries (separatrices) and the triangle's edges divide
// it, each with the unstable node its residue curves start from and the
// stable node they end at, and its outline for drawing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "design/column.h"

namespace ternival::design {

// A singular point of the map: a pure component or an azeotrope.
struct SingularPoint {
    Composition x{};
    double t = 0.0;
    std::int64_t code = 0;  // 1 stable node, 2 saddle, 3 unstable node
    std::int64_t size = 1;  // components present: 1 pure, 2 binary, 3 ternary
};

struct Region {
    int unstable_node = -1;  // index into the singular points
    int stable_node = -1;
    std::vector<int> points;          // singular points on its outline
    std::vector<Composition> outline;  // closed polygon, not repeating its first point
};

struct Regions {
    std::vector<Region> regions;
    // Separatrices used (the boundaries that are not edges).
    int separatrices = 0;
    std::string error;  // why the regions could not be told apart
};

// `boundaries`: the curves of the boundary routine (edges and
// separatrices, any direction); their ends are matched to the singular
// points within `snap`.
Regions FindRegions(const std::vector<SingularPoint>& points, const std::vector<std::vector<Composition>>& boundaries,
                    double snap = 0.02);

// The region that holds composition x (its index), or -1 (on a boundary,
// or outside every region).
int RegionOf(const Regions& r, const Composition& x);

// True when a curve runs along an edge of the triangle (one component
// absent all along it).
bool OnAnEdge(const std::vector<Composition>& curve);

// The ingredients of a map's regions, computed with the engine: singular
// points (pure components first, then azeotropes, as the search orders
// them) and the distillation boundaries.
struct MapInput {
    std::array<std::int64_t, 3> ids{};
    double pressure = 101325.0;
    std::string method;
    int phase = 2;
    bool complete_search = true;
};
struct Topology {
    std::vector<SingularPoint> points;
    std::vector<std::vector<Composition>> boundaries;
    std::string error;
};
Topology MapTopology(const MapInput& in);

}  // namespace ternival::design
