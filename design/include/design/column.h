// A distillation column of a ternary from its products: section profiles
// stage by stage with constant molar overflow, the minimum reflux by the
// boundary value method (the reflux at which the rectifying and stripping
// profiles just meet), the minimum number of stages at total reflux, and
// the stages and feed stage at a given reflux.  Every phase equilibrium
// comes from EngineFlash; nothing here throws, and every failure says why.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ternival::design {

using Composition = std::array<double, 3>;

// What the column is asked to do, and with which data.
struct ColumnSpec {
    Composition feed{}, distillate{}, bottoms{};
    double q = 1.0;  // feed quality: 1 saturated liquid, 0 saturated vapour
    double pressure = 101325.0;
    std::array<std::int64_t, 3> ids{};
    std::string method;
    int phase = 2;  // 3: heterogeneous stages
};

// One equilibrium stage: the liquid leaving it, the vapour leaving it, and
// its temperature.
struct Stage {
    Composition x{}, y{};
    double t = 0.0;
};

// A column section's stages, from the product end inwards (the
// rectifying section from the top, the stripping section from the
// reboiler); `pinched` when it stopped at a fixed point, `error` non-empty
// when a flash failed (the stages up to it are kept).
struct SectionProfile {
    std::vector<Stage> stages;
    bool pinched = false;
    std::string error;
};

// The products' share of the feed from the mass balance; a reason when the
// products and the feed are not on one line with the feed between them.
struct Balance {
    double d_over_f = 0.0;
    std::string error;
};
Balance MassBalance(const ColumnSpec& spec);

// Boil-up ratio V'/B of the stripping section at reflux ratio R.
double BoilupRatio(const ColumnSpec& spec, double d_over_f, double reflux);

SectionProfile RectifyingProfile(const ColumnSpec& spec, double reflux, int max_stages);
SectionProfile StrippingProfile(const ColumnSpec& spec, double boilup, int max_stages);

// Where the two profiles meet (their liquid compositions' paths cross):
// the rectifying stages down to the one above the crossing, and the
// stripping stages from the reboiler up to the first one beyond it (the
// feed stage), counted from their ends.
struct Meeting {
    bool met = false;
    int rectifying_stages = 0;  // stages from the top down to the feed stage
    int stripping_stages = 0;   // stages from the reboiler up to the feed
    Composition x{};
};
Meeting ProfilesMeet(const SectionProfile& rectifying, const SectionProfile& stripping);

// The whole design, what the command, the server and the page read.
struct ColumnDesign {
    bool feasible = false;
    std::string reason;            // why not, or what limits the figures
    double d_over_f = 0.0;
    std::optional<double> r_min;   // minimum reflux ratio
    std::optional<int> stages_min; // total reflux, reboiler counted as a stage
    std::optional<double> reflux;  // the reflux the stages are for
    std::optional<int> stages;     // equilibrium stages, reboiler included
    std::optional<int> feed_stage; // from the top
    SectionProfile rectifying, stripping;
    // Where the sections' liquid paths cross (the feed stage's side of it).
    std::optional<Composition> meeting;
    bool total_reflux_feasible = false;
};

// Minimum reflux by the boundary value method: the smallest reflux ratio
// at which the profiles meet, found by bisection between one at which they
// do not and one at which they do (relative precision `tolerance`).
struct MinimumReflux {
    std::optional<double> r_min;
    std::string error;
};
MinimumReflux MinimumRefluxBVM(const ColumnSpec& spec, double tolerance = 1e-3);

// Stages at total reflux: the distillation line from the distillate down
// (each liquid the dew-point liquid of the vapour above it, equal to the
// liquid above at total reflux) until it passes the bottoms; nullopt with a
// reason when it never comes near them.
struct TotalReflux {
    std::optional<int> stages;
    double closest = 1.0;  // nearest approach of the line to the bottoms
    std::string error;
};
TotalReflux MinimumStages(const ColumnSpec& spec, double tolerance = 0.02);

// The design at a reflux ratio (given, or `factor` times the minimum);
// without either, only the limits (r_min, stages_min).
ColumnDesign DesignColumn(const ColumnSpec& spec, std::optional<double> reflux, std::optional<double> factor);

}  // namespace ternival::design
