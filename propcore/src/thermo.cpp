#include "thermo.h"

#include <algorithm>
#include <cmath>

namespace propcore {

Mixture::Mixture(const Problem& problem, const Method& method, std::span<const std::size_t> members)
    : n_(members.size()), model_(method.model) {
    const std::size_t np = problem.components.size();
    a_.resize(n_ * n_);
    b_.resize(n_ * n_);
    alpha_.resize(n_ * n_);
    for (std::size_t i = 0; i < n_; ++i) {
        const Component& c = problem.components[members[i]];
        antoine_.push_back(c.antoine);
        r_.push_back(c.r.value_or(0.0));
        q_.push_back(c.q.value_or(0.0));
        for (std::size_t j = 0; j < n_; ++j) {
            const std::size_t k = members[i] * np + members[j];
            a_[i * n_ + j] = method.a[k];
            b_[i * n_ + j] = method.b[k];
            alpha_[i * n_ + j] = method.alpha[k];
        }
    }
    w1_.resize(n_ * n_);
    w5_.resize(n_ * n_);
    w2_.resize(n_);
    w3_.resize(n_);
    w4_.resize(n_);
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

void Mixture::lnGamma(double t, std::span<const double> x, std::span<double> lng) const {
    const std::size_t n = n_;
    switch (model_) {
        case Model::Ideal:
            for (std::size_t i = 0; i < n; ++i) lng[i] = 0.0;
            return;
        case Model::Wilson: {
            // Lambda_ij = exp(a_ij + b_ij/T), Lambda_ii = 1
            auto& lam = w1_;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    lam[i * n + j] = i == j ? 1.0 : std::exp(a_[i * n + j] + b_[i * n + j] / t);
            auto& s = w2_;  // s_k = sum_j x_j Lambda_kj
            for (std::size_t k = 0; k < n; ++k) {
                double v = 0.0;
                for (std::size_t j = 0; j < n; ++j) v += x[j] * lam[k * n + j];
                s[k] = v;
            }
            for (std::size_t i = 0; i < n; ++i) {
                double sum = 0.0;
                for (std::size_t k = 0; k < n; ++k) sum += x[k] * lam[k * n + i] / s[k];
                lng[i] = 1.0 - std::log(s[i]) - sum;
            }
            return;
        }
        case Model::Nrtl: {
            // tau_ij = a_ij + b_ij/T, G_ij = exp(-alpha_ij tau_ij); element [i*n+j]
            auto& g = w1_;
            auto& tau = w5_;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) {
                    const double tv = i == j ? 0.0 : a_[i * n + j] + b_[i * n + j] / t;
                    tau[i * n + j] = tv;
                    g[i * n + j] = std::exp(-alpha_[i * n + j] * tv);
                }
            auto& den = w2_;  // den_j = sum_k x_k G_kj
            auto& num = w3_;  // num_j = sum_k x_k tau_kj G_kj
            for (std::size_t j = 0; j < n; ++j) {
                double d = 0.0, m = 0.0;
                for (std::size_t k = 0; k < n; ++k) {
                    d += x[k] * g[k * n + j];
                    m += x[k] * tau[k * n + j] * g[k * n + j];
                }
                den[j] = d;
                num[j] = m;
            }
            for (std::size_t i = 0; i < n; ++i) {
                double v = num[i] / den[i];
                for (std::size_t j = 0; j < n; ++j)
                    v += x[j] * g[i * n + j] / den[j] * (tau[i * n + j] - num[j] / den[j]);
                lng[i] = v;
            }
            return;
        }
        case Model::Uniquac: {
            constexpr double z = 10.0;
            auto& tau = w1_;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    tau[i * n + j] = i == j ? 1.0 : std::exp(a_[i * n + j] + b_[i * n + j] / t);
            double sr = 0.0, sq = 0.0, sl = 0.0;
            auto& l = w4_;
            for (std::size_t i = 0; i < n; ++i) {
                sr += x[i] * r_[i];
                sq += x[i] * q_[i];
                l[i] = z / 2.0 * (r_[i] - q_[i]) - (r_[i] - 1.0);
                sl += x[i] * l[i];
            }
            auto& theta = w2_;
            auto& st = w3_;  // st_i = sum_j theta_j tau_ji
            for (std::size_t i = 0; i < n; ++i) theta[i] = x[i] * q_[i] / sq;
            for (std::size_t i = 0; i < n; ++i) {
                double v = 0.0;
                for (std::size_t j = 0; j < n; ++j) v += theta[j] * tau[j * n + i];
                st[i] = v;
            }
            for (std::size_t i = 0; i < n; ++i) {
                // phi_i/x_i = r_i/sr and theta_i/phi_i = (q_i/sq)/(r_i/sr), finite at x_i = 0
                const double phix = r_[i] / sr;
                const double thph = (q_[i] / sq) / phix;
                double comb = std::log(phix) + z / 2.0 * q_[i] * std::log(thph) + l[i] - phix * sl;
                double res = 1.0 - std::log(st[i]);
                for (std::size_t j = 0; j < n; ++j) res -= theta[j] * tau[i * n + j] / st[j];
                lng[i] = comb + q_[i] * res;
            }
            return;
        }
    }
}

}  // namespace propcore
