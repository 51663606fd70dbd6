#include "thermo.h"

#include <algorithm>
#include <cmath>

namespace propcore {

Mixture::Mixture(const Problem& problem, const Method& method, std::span<const std::size_t> members)
    : n_(members.size()), model_(method.model), activity_(MakeActivityModel(problem, method, members)) {
    for (std::size_t i : members) antoine_.push_back(problem.components[i].antoine);
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

double Mixture::lnPsat(std::size_t i, double t) const {
    const auto& c = antoine_[i];
    double v = c[0] + c[1] / (t + c[2]) + c[3] * std::log(t);
    if (c[4] != 0.0) v += c[4] * power(t, c[5]);
    return v;
}

double Mixture::dlnPsatdT(std::size_t i, double t) const {
    const auto& c = antoine_[i];
    double v = -c[1] / ((t + c[2]) * (t + c[2])) + c[3] / t;
    if (c[4] != 0.0) v += c[4] * c[5] * power(t, c[5] - 1.0);
    return v;
}

double Mixture::saturationTemperature(std::size_t i, double p) const {
    const double target = std::log(p);
    double t = 350.0;
    for (int it = 0; it < 100; ++it) {
        const double g = lnPsat(i, t) - target;
        double d = dlnPsatdT(i, t);
        if (!(d > 1e-8)) d = 1e-8;
        double step = g / d;
        step = std::clamp(step, -60.0, 60.0);
        t -= step;
        t = std::clamp(t, 30.0, 3000.0);
        if (std::abs(step) < 1e-9 * t) break;
    }
    return t;
}

}  // namespace propcore
