#include "thermo.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace propcore {

Mixture::Mixture(const Problem& problem, const Method& method, std::span<const std::size_t> members)
    : n_(members.size()),
      model_(method.model),
      vapour_(MakeVapourModel(problem, method, members)),
      correction_(members.size(), 0.0),
      activity_(MakeActivityModel(problem, method, members)) {
    for (std::size_t i : members) antoine_.push_back(problem.components[i].antoine);
}

void Mixture::vapourCorrection(double t, double p, std::span<const double> y, std::span<double> c,
                               std::span<double> dc) const {
    std::vector<double> lnps(n_), dlnps(n_);
    for (std::size_t i = 0; i < n_; ++i) lnps[i] = lnPsatPure(i, t), dlnps[i] = dlnPsatPure(i, t);
    vapourCorrection(t, p, y, lnps, dlnps, c, dc);
}

void Mixture::vapourCorrection(double t, double p, std::span<const double> y, std::span<const double> lnps,
                               std::span<const double> dlnps, std::span<double> c, std::span<double> dc) const {
    if (!vapour_) {
        std::fill(c.begin(), c.end(), 0.0);
        std::fill(dc.begin(), dc.end(), 0.0);
        return;
    }
    vapour_->lnPhi(t, p, y, c, dc);
    for (std::size_t i = 0; i < n_; ++i) {
        double dsat = 0.0;
        const double sat = vapour_->lnPhiSat(i, t, std::exp(lnps[i]), dlnps[i], dsat);
        c[i] = sat - c[i];
        dc[i] = dsat - dc[i];
    }
}

namespace {

// t^e, with the exponents the published correlations use (1, 2, 6) as
// products rather than through pow.
double power(double t, double e) {
    if (e == 2.0) return t * t;
    if (e == 1.0) return t;
    if (e == 6.0) {
        const double t3 = t * t * t;
        return t3 * t3;
    }
    return std::pow(t, e);
}

}  // namespace

double Mixture::lnPsat(std::size_t i, double t) const { return lnPsatPure(i, t) + correction_[i]; }

double Mixture::lnPsatPure(std::size_t i, double t) const {
    const auto& c = antoine_[i];
    double v = c[0] + c[1] / (t + c[2]) + c[3] * std::log(t);
    if (c[4] != 0.0) v += c[4] * power(t, c[5]);
    return v;
}

double Mixture::dlnPsatdT(std::size_t i, double t) const { return dlnPsatPure(i, t); }

double Mixture::dlnPsatPure(std::size_t i, double t) const {
    const auto& c = antoine_[i];
    double v = -c[1] / ((t + c[2]) * (t + c[2])) + c[3] / t;
    if (c[4] != 0.0) v += c[4] * c[5] * power(t, c[5] - 1.0);
    return v;
}

void Mixture::lnPsatAll(double t, std::span<double> lnps, std::span<double> dlnps) const {
    const double lnt = std::log(t), inv = 1.0 / t;
    for (std::size_t i = 0; i < n_; ++i) {
        const auto& c = antoine_[i];
        const double tc = t + c[2];
        double v = c[0] + c[1] / tc + c[3] * lnt;
        double d = -c[1] / (tc * tc) + c[3] * inv;
        if (c[4] != 0.0) {
            const double pw = power(t, c[5]);
            v += c[4] * pw;
            d += c[4] * c[5] * pw * inv;
        }
        lnps[i] = v + correction_[i];
        dlnps[i] = d;
    }
}

double Mixture::saturationTemperature(std::size_t i, double p) const {
    if (p != tsat_p_) {
        tsat_.assign(n_, std::numeric_limits<double>::quiet_NaN());
        tsat_p_ = p;
    }
    if (!std::isnan(tsat_[i])) return tsat_[i];
    const double target = std::log(p);
    double t = 350.0;
    for (int it = 0; it < 100; ++it) {
        const double g = lnPsatPure(i, t) - target;
        double d = dlnPsatdT(i, t);
        if (!(d > 1e-8)) d = 1e-8;
        double step = g / d;
        step = std::clamp(step, -60.0, 60.0);
        t -= step;
        t = std::clamp(t, 30.0, 3000.0);
        if (std::abs(step) < 1e-9 * t) break;
    }
    tsat_[i] = t;
    return t;
}

}  // namespace propcore
