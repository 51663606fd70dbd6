// Phase-equilibrium calculations of the engine: bubble and dew points,
// isothermal flashes and liquid-liquid splits with an ideal-gas vapour.
#pragma once

#include <span>
#include <vector>

#include "dual.h"
#include "thermo.h"

namespace propcore {

struct FlashOptions {
    int max_iterations = 500;
    double tolerance = 1e-7;
    double initial_temperature = 0.0;  // > 0: start guess (continue mode)
};

// Status of a calculation: 0 converged, 1 not converged, 2 specification
// out of range.
enum FlashStatus { kConverged = 0, kNotConverged = 1, kBadSpecification = 2 };

struct FlashResult {
    double t = 0.0, p = 0.0, vf = 0.0;
    std::vector<double> y, x, x1, x2;  // x: whole liquid; x1, x2: the two liquids
    double liquid2_fraction = 0.0;     // share of the liquid that is liquid 2
    int liquid_phases = 1;
    int status = kConverged;
};

// phase: 2 vapour-liquid, 3 vapour-liquid-liquid.
FlashResult FlashTP(const Mixture& m, double t, double p, std::span<const double> z, int phase,
                    const FlashOptions& o);
FlashResult FlashPV(const Mixture& m, double p, double vf, std::span<const double> z, int phase,
                    const FlashOptions& o);
// The same into r, reusing its storage.
void FlashPV(const Mixture& m, double p, double vf, std::span<const double> z, int phase, const FlashOptions& o,
             FlashResult& r);
FlashResult FlashTV(const Mixture& m, double t, double vf, std::span<const double> z, int phase,
                    const FlashOptions& o);

// Tangent-plane test of the liquid z at t: true when a second liquid lowers
// the Gibbs energy; trial receives the most negative stationary point.
bool LiquidUnstable(const Mixture& m, double t, std::span<const double> z, std::vector<double>& trial);

// Tangent-plane test of a vapour y at t, p against liquids: true when a
// liquid would condense from it, with that liquid's composition in trial.
bool VapourCondenses(const Mixture& m, double t, double p, std::span<const double> y, std::vector<double>& trial);

// Two-liquid split of z at t starting from the trial phase: a few
// substitution steps, then Newton on the amounts of liquid B with the
// activity models' composition derivatives, to equal activities within
// 1e-10 in ln(x gamma).
enum class Split { TwoLiquids, OneLiquid, NotConverged };
Split SplitLiquids(const Mixture& m, double t, std::span<const double> z, std::span<const double> trial,
                   std::vector<double>& xa, std::vector<double>& xb, double& beta_b, const FlashOptions& o);
// True for a converged two-liquid split (see SplitLiquids).
bool LiquidSplit(const Mixture& m, double t, std::span<const double> z, std::span<const double> trial,
                 std::vector<double>& xa, std::vector<double>& xb, double& beta_b, const FlashOptions& o);

}  // namespace propcore
