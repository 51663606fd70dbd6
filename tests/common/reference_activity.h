// Activity coefficients of a ternary liquid written out from the textbook
// equations, apart from the engine's models, for tests that check the
// engine's equilibria: NRTL (Renon-Prausnitz) and UNIQUAC (Abrams-Prausnitz,
// z = 10), with the parameter tables of a loaded problem.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "problem.h"

namespace reference {

using X = std::array<double, 3>;
using propcore::Method;
using propcore::Model;
using propcore::Problem;

// ln(gamma) of a ternary liquid from the method's tables.
struct Reference {
    const Problem& p;
    const Method& m;

    double tab(const std::vector<double>& v, int i, int j) const { return v[static_cast<std::size_t>(i * 3 + j)]; }

    X lnGamma(double t, const X& x) const {
        X out{};
        if (m.model == Model::Nrtl) {
            double tau[3][3], g[3][3];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    tau[i][j] = i == j ? 0.0 : tab(m.a, i, j) + tab(m.b, i, j) / t;
                    g[i][j] = std::exp(-tab(m.c, i, j) * tau[i][j]);
                }
            for (int i = 0; i < 3; ++i) {
                double s1 = 0, s2 = 0;
                for (int j = 0; j < 3; ++j) s1 += tau[j][i] * g[j][i] * x[j], s2 += g[j][i] * x[j];
                double v = s1 / s2;
                for (int j = 0; j < 3; ++j) {
                    double a = 0, b = 0;
                    for (int k = 0; k < 3; ++k) a += g[k][j] * x[k], b += x[k] * tau[k][j] * g[k][j];
                    v += x[j] * g[i][j] / a * (tau[i][j] - b / a);
                }
                out[i] = v;
            }
        } else {
            double r[3], q[3], tau[3][3];
            for (int i = 0; i < 3; ++i) r[i] = *p.components[i].r, q[i] = *p.components[i].q;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) tau[i][j] = i == j ? 1.0 : std::exp(tab(m.a, i, j) + tab(m.b, i, j) / t);
            double sr = 0, sq = 0, sl = 0, l[3];
            for (int i = 0; i < 3; ++i) {
                l[i] = 5.0 * (r[i] - q[i]) - (r[i] - 1.0);
                sr += r[i] * x[i], sq += q[i] * x[i], sl += x[i] * l[i];
            }
            double theta[3];
            for (int i = 0; i < 3; ++i) theta[i] = q[i] * x[i] / sq;
            for (int i = 0; i < 3; ++i) {
                const double phix = r[i] / sr, thph = (q[i] / sq) / phix;
                double comb = std::log(phix) + 5.0 * q[i] * std::log(thph) + l[i] - phix * sl;
                double s = 0;
                for (int j = 0; j < 3; ++j) s += theta[j] * tau[j][i];
                double res = 1.0 - std::log(s);
                for (int j = 0; j < 3; ++j) {
                    double d = 0;
                    for (int k = 0; k < 3; ++k) d += theta[k] * tau[k][j];
                    res -= theta[j] * tau[i][j] / d;
                }
                out[i] = comb + q[i] * res;
            }
        }
        return out;
    }

    double lnPsat(int i, double t) const {
        const auto& a = p.components[static_cast<std::size_t>(i)].antoine;
        return a[0] + a[1] / (t + a[2]) + a[3] * std::log(t) + a[4] * std::pow(t, a[5]);
    }

    // Smallest tangent-plane distance of liquids against chemical
    // potentials d (ln of fugacity over the pure-liquid reference): over a
    // grid of the triangle, each promising point refined by substitution.
    double minimumLiquidDistance(double t, const X& d) const {
        auto tpd = [&](const X& w) {
            const X lg = lnGamma(t, w);
            double s = 0.0;
            for (int i = 0; i < 3; ++i)
                if (w[i] > 0.0) s += w[i] * (std::log(w[i]) + lg[i] - d[i]);
            return s;
        };
        double best = 1e300;
        constexpr int kGrid = 40;
        for (int a = 0; a <= kGrid; ++a)
            for (int b = 0; a + b <= kGrid; ++b) {
                X w{a / double(kGrid), b / double(kGrid), (kGrid - a - b) / double(kGrid)};
                // Components absent from the tested phase (potential -inf)
                // stay absent from the trials.
                bool skip = false;
                for (int i = 0; i < 3; ++i) {
                    if (d[i] < -1e299) {
                        skip = skip || w[i] > 0.0;
                        w[i] = 0.0;
                    } else {
                        w[i] = std::max(w[i], 1e-12);
                    }
                }
                if (skip) continue;
                double v = tpd(w);
                if (v < best + 0.05) {
                    // Substitution towards the stationary point w ~ exp(d - ln gamma(w)).
                    for (int it = 0; it < 200; ++it) {
                        const X lg = lnGamma(t, w);
                        X nw{};
                        double s = 0.0;
                        for (int i = 0; i < 3; ++i) s += nw[i] = std::exp(d[i] - lg[i]);
                        for (double& e : nw) e /= s;
                        w = nw;
                    }
                    v = std::min(v, tpd(w));
                }
                best = std::min(best, v);
            }
        return best;
    }
};

}  // namespace reference
