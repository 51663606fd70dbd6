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
    // ln(phi_i) of the vapour y (apparent mole fractions) at t (K), p (Pa),
    // and its temperature derivative at constant p and y.
    virtual void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi,
                       std::span<double> dlnphi_dt) const = 0;
    // ln(phi) of member i's own saturated vapour at t, psat, and its
    // derivative along saturation, given dlnpsat = d ln(psat)/dt.
    virtual double lnPhiSat(std::size_t i, double t, double psat, double dlnpsat, double& dt) const = 0;
};

// The vapour model `method` names over the problem's components `members`,
// or none for an ideal gas (and for a chemical vapour without any acid).
std::unique_ptr<VapourModel> MakeVapourModel(const Problem& problem, const Method& method,
                                             std::span<const std::size_t> members);

// Second virial coefficient of Tsonopoulos's correlation, m3/mol, and
// its temperature derivative into *dbdt when given.
double TsonopoulosB(double t, double tc, double pc, double omega, double a, double b, double* dbdt = nullptr);

}  // namespace propcore
