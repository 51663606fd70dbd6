// Vapour pressures and activity coefficients of a mixture: a chosen set of
// the problem's components under one property method.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "activity.h"
#include "problem.h"

namespace propcore {

class Mixture {
public:
    // `members` are 0-based component indices into the problem.
    Mixture(const Problem& problem, const Method& method, std::span<const std::size_t> members);

    std::size_t size() const { return n_; }
    Model model() const { return model_; }

    double lnPsat(std::size_t i, double t) const;
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

private:
    std::size_t n_;
    Model model_;
    std::vector<std::array<double, 6>> antoine_;
    std::unique_ptr<ActivityModel> activity_;
    mutable double tsat_p_ = -1.0;
    mutable std::vector<double> tsat_;  // NaN where not yet computed at tsat_p_
};

}  // namespace propcore
