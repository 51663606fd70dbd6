// The residue-curve equations dx_i/dxi = x_i - y_i(x), i = 1..N-1, in the
// form the integrator calls them.  The state array holds N fractions; the
// last one is dependent and rewritten on every call.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ternival {

// Process-wide context of one curve computation: filled by the curve driver
// before it integrates, read by RCM_FUN and RCM_JAC.
struct RcmContext {
    double pressure = 101325.0;
    int phase = 2;
    std::string method;  // property method, at most 9 significant characters
    std::array<std::int64_t, 10> ids{};
    std::int64_t n = 0;               // set by each evaluation to neq + 1
    double bubble_temperature = 0.0;  // written by each flash, read by nothing
};

RcmContext& RCM_CONTEXT();

// Right-hand side: ydot[i] = x[i] - y[i] for the prepared composition x.
void RCM_FUN(std::int64_t neq, double t, std::span<double> y, std::span<double> ydot);

// Full Jacobian, column-major with leading dimension neq: identity minus the
// central-difference derivative of the vapour composition; 2*neq flashes.
void RCM_JAC(std::int64_t neq, double t, std::span<double> y, std::int64_t ml, std::int64_t mu,
             std::span<double> pd, std::int64_t nrowpd);

// Rewrites y[neq] = 1 - sum(y[0..neq)) and returns in x the composition that
// is flashed: clipped into [0, 1] and scaled back when it sums above one.
void PrepareComposition(std::int64_t neq, std::span<double> y, std::span<double> x);

}  // namespace ternival
