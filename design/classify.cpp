#include "design/classify.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace ternival::design {
namespace {

constexpr double kAbsent = 1e-6;

// The names of the structural codes (every labelling of a class is listed,
// its antipode included), with the standing of each name; made from
// data/serafimov.json by data/make_serafimov_table.py.
struct Named {
    std::string_view code, name;
    bool settled;  // the name is tied to published classes of mixtures
};
#include "serafimov_table.inc"

}  // namespace

MapClass ClassOf(const std::vector<SingularPoint>& points) {
    MapClass c;
    if (points.size() < 3) {
        c.error = "a map has three pure components";
        return c;
    }
    // L, I, H by boiling point at the map's pressure.
    std::array<int, 3> order{0, 1, 2};
    std::sort(order.begin(), order.end(), [&](int a, int b) { return points[static_cast<std::size_t>(a)].t < points[static_cast<std::size_t>(b)].t; });
    const int L = order[0], I = order[1], H = order[2];
    // Edge digits in the order L-I, I-H, L-H.
    const std::array<std::array<int, 2>, 3> edges{{{L, I}, {I, H}, {L, H}}};
    std::string code;
    int binaries = 0, ternaries = 0;
    std::string ternary;
    for (const auto& e : edges) {
        const int absent = 3 - e[0] - e[1];
        int found = 0;
        char digit = '0';
        for (std::size_t k = 3; k < points.size(); ++k) {
            const auto& p = points[k];
            if (p.x[static_cast<std::size_t>(absent)] > kAbsent || p.x[static_cast<std::size_t>(e[0])] < kAbsent ||
                p.x[static_cast<std::size_t>(e[1])] < kAbsent)
                continue;
            ++found;
            const double ta = points[static_cast<std::size_t>(e[0])].t, tb = points[static_cast<std::size_t>(e[1])].t;
            const bool minimum = p.t < std::min(ta, tb), maximum = p.t > std::max(ta, tb);
            if (minimum) digit = p.code == 3 ? '1' : p.code == 2 ? '2' : '?';
            else if (maximum) digit = p.code == 1 ? '3' : p.code == 2 ? '4' : '?';
            else digit = '?';
        }
        if (found > 1) {
            c.error = "an edge has more than one azeotrope: the classification takes one per edge";
            return c;
        }
        if (digit == '?') {
            c.error = "a binary azeotrope is neither a minimum nor a maximum of its edge, or its stability does not "
                      "fit one";
            return c;
        }
        binaries += found;
        code += digit;
    }
    for (std::size_t k = 3; k < points.size(); ++k) {
        const auto& p = points[k];
        if (p.size < 3 && std::min({p.x[0], p.x[1], p.x[2]}) < kAbsent) continue;
        ++ternaries;
        ternary = p.code == 3 ? "-m" : p.code == 1 ? "-M" : p.code == 2 ? "-S" : "-?";
    }
    if (ternaries > 1) {
        c.error = "more than one ternary azeotrope: the classification takes one";
        return c;
    }
    c.code = code + ternary;
    for (const Named& n : kSerafimov)
        if (n.code == c.code) {
            c.name = n.settled ? std::string(n.name) : std::string(n.name) + " (name not settled)";
            return c;
        }
    c.name = std::to_string(binaries) + "." + std::to_string(ternaries) + "-?";
    c.error = "the structure " + c.code + " is not one of the classified ternary diagrams";
    return c;
}

}  // namespace ternival::design
