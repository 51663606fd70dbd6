// Vapour pressures and activity coefficients of a mixture: a chosen set of
// the problem's components under one property method.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "activity.h"
#include "problem.h"
#include "vapour.h"

namespace propcore {

class Mixture {
public:
    // `members` are 0-based component indices into the problem.
    Mixture(const Problem& problem, const Method& method, std::span<const std::size_t> members);

    std::size_t size() const { return n_; }
    Model model() const { return model_; }

    // ln(Psat) of the correlation, plus the vapour correction below.
    double lnPsat(std::size_t i, double t) const;
    double lnPsatPure(std::size_t i, double t) const;
    double dlnPsatPure(std::size_t i, double t) const;
    double dlnPsatdT(std::size_t i, double t) const;
    // ln(Psat) and its temperature derivative of every component at once
    // (ln t taken once).
    void lnPsatAll(double t, std::span<double> lnps, std::span<double> dlnps) const;
    // Temperature at which component i boils at pressure p (Pa); kept for
    // the last pressure asked.
    double saturationTemperature(std::size_t i, double p) const;

    // ln(gamma_i) of the liquid x at temperature t.  x may contain zeros and
    // need not be normalised exactly.
    void lnGamma(double t, std::span<const double> x, std::span<double> lng) const {
        activity_->lnGamma(t, x, lng);
    }
    // ln(gamma) and d ln(gamma_i)/d n_j of the liquid of mole numbers `moles`.
    void lnGammaDn(double t, std::span<const double> moles, std::span<double> lng, std::span<double> jac) const {
        activity_->lnGammaDn(t, moles, lng, jac);
    }

    // A non-ideal vapour enters the flashes as a correction to ln(Psat):
    //   ln K_i = ln gamma_i + ln Psat_i + c_i - ln P,
    //   c_i = ln phi_i^sat - ln phi_i(t, p, y),
    // held fixed through one solution of the equilibrium equations and
    // renewed from its result until it settles (see flash.cpp).
    bool idealVapour() const { return !vapour_; }
    // The correction of the vapour y at t, p into c, and its temperature
    // derivative at constant p and y into dc.
    void vapourCorrection(double t, double p, std::span<const double> y, std::span<double> c,
                          std::span<double> dc) const;
    // The same given ln(Psat) of the correlations and their derivatives at t.
    void vapourCorrection(double t, double p, std::span<const double> y, std::span<const double> lnps,
                          std::span<const double> dlnps, std::span<double> c, std::span<double> dc) const;
    std::span<const double> correction() const { return correction_; }
    void setCorrection(std::span<const double> c) const { correction_.assign(c.begin(), c.end()); }
    // True while a correction is being held fixed for one solution.
    bool correctionHeld() const { return held_; }
    void holdCorrection(bool on) const { held_ = on; }

private:
    std::size_t n_;
    Model model_;
    std::unique_ptr<VapourModel> vapour_;
    mutable std::vector<double> correction_;  // zeros for an ideal vapour
    mutable bool held_ = false;
    std::vector<std::array<double, 6>> antoine_;
    std::unique_ptr<ActivityModel> activity_;
    mutable double tsat_p_ = -1.0;
    mutable std::vector<double> tsat_;  // NaN where not yet computed at tsat_p_
};

}  // namespace propcore
