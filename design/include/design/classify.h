// The class of a ternary map in Serafimov's classification of ternary VLE
// diagrams (26 classes, as tabulated by Kiva, Hilmen and Skogestad, Chem.
// Eng. Sci. 58 (2003) 1903), from its singular points.
#pragma once

#include <string>
#include <vector>

#include "design/regions.h"

namespace ternival::design {

struct MapClass {
    // The structural code, computable from any map without ambiguity:
    // three digits for the edges L-I, I-H and L-H (components ordered by
    // boiling point at the map's pressure): 0 no azeotrope, 1 a minimum
    // azeotrope that is an unstable node, 2 a minimum azeotrope that is a
    // saddle, 3 a maximum azeotrope that is a stable node, 4 a maximum
    // azeotrope that is a saddle; then "-m", "-M" or "-S" for a ternary
    // azeotrope that is an unstable node, a stable node or a saddle.
    std::string code;
    // Serafimov's class ("3.1-4"); "M.T-?" where the structure's name is
    // not settled; empty with `error` when the map has no generic structure.
    std::string name;
    std::string error;
};

MapClass ClassOf(const std::vector<SingularPoint>& points);

}  // namespace ternival::design
