// Drawing of a ternary diagram with cairo: SVG, PNG or PDF by file suffix.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ternival::cli {

using Composition = std::array<double, 3>;  // Top, Left, Right

struct SingularPoint {
    Composition x{};
    double temperature = 0.0;
    std::int64_t code = 0;  // 1 stable node, 2 saddle, 3 unstable node
    bool heterogeneous = false;
    std::string label;
};

struct Curve {
    std::vector<Composition> points;
    std::int64_t direction = 2;  // 2: points run towards higher boiling
};

struct TieLine {
    Composition a{}, b{};
};

// A column drawn on the map: its mass-balance line through the feed, its
// products and the liquid compositions of its sections' stages.
struct ColumnOverlay {
    bool shown = false;
    Composition feed{}, distillate{}, bottoms{};
    std::vector<Composition> rectifying, stripping;
};

struct TernaryMap {
    std::array<std::string, 3> names;
    double pressure = 101325.0;
    std::string method;
    std::vector<SingularPoint> singular;
    std::vector<Curve> boundaries, residue_curves, envelope;
    std::vector<TieLine> tie_lines;
    // Outlines of the distillation regions, shaded and numbered.
    std::vector<std::vector<Composition>> regions;
    ColumnOverlay column;
};

// Throws std::runtime_error when the suffix is unknown or cairo fails.
void RenderMap(const TernaryMap& map, const std::string& path);

}  // namespace ternival::cli
