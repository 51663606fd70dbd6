// Non-ideal vapours: fugacity coefficients of a vapour mixture and of each
// member's saturated vapour.  Vapour-liquid equilibrium then reads
//   y_i phi_i P = x_i gamma_i phi_i^sat P_i^sat
// (the Poynting factor, a fraction of a per cent at the pressures of
// conceptual design, is left out).
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "problem.h"

namespace propcore {

class VapourModel {
public:
    virtual ~VapourModel() = default;
    // ln(phi_i) of the vapour y (apparent mole fractions) at t (K), p (Pa).
    virtual void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi) const = 0;
    // ln(phi) of member i's own saturated vapour at t, psat.
    virtual double lnPhiSat(std::size_t i, double t, double psat) const = 0;
};

// The vapour model `method` names over the problem's components `members`,
// or none for an ideal gas (and for a chemical vapour without any acid).
std::unique_ptr<VapourModel> MakeVapourModel(const Problem& problem, const Method& method,
                                             std::span<const std::size_t> members);

// Second virial coefficient of Tsonopoulos's correlation, m3/mol.
double TsonopoulosB(double t, double tc, double pc, double omega, double a, double b);

}  // namespace propcore
