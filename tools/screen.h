// Entrainer screening: the map of A/B/E for each candidate entrainer E,
// judged by the published rules of homogeneous azeotropic, heteroazeotropic
// and extractive distillation.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace ternival::cli {

struct ScreenSettings {
    std::string a, b;        // the mixture to separate (databank names)
    double pressure = 101325.0;
    std::string model = "NRTL";
    int phase = 0;           // 2 or 3; 0: the databank file's setting (3 where the boiling liquid splits)
};

// The verdict on one candidate: a JSON object with `entrainer`, `cas`,
// `class`, `homogeneous`, `heteroazeotropic`, `extractive`, `reasons`,
// the ranking figures and a small description of the map.  A failure
// (unknown compound, engine failure, time limit) is a row with `error`.
// Opens the engine on a problem of its own: one candidate per process at
// a time.
nlohmann::json ScreenCandidate(const ScreenSettings& s, const std::string& entrainer);

}  // namespace ternival::cli
