// Levenberg-Marquardt on the two energy parameters of a binary pair, shared
// by the load-time UNIFAC estimates and the fits to measurements.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace propcore {

struct LevenbergSettings {
    double bound;               // |b| stays within this, K
    double h_floor;             // forward-difference step 1e-4 max(h_floor, |b|)
    int tries;                  // damping increases tried per iteration
    double damping;             // added to the damped diagonal
    double min_lambda;          // smallest damping factor
    double step_tol, step_rel;  // done when a step < step_tol (1 + step_rel (|b0| + |b1|))
    double ssr_tol;             // or the sum of squares falls by less than this fraction
};

// Minimises the sum of squares of residuals(b, r), which fills r and
// returns that sum (1e299 or more when it cannot be computed), from b.
// Returns the sum at the minimum found, where b ends; jac (column-major,
// two columns) holds the forward-difference Jacobian there.
template <class Residuals>
double LevenbergMarquardt2(Residuals&& residuals, std::array<double, 2>& b, const LevenbergSettings& s,
                           std::vector<double>& jac) {
    std::vector<double> r, rp;
    auto jacobian = [&] {
        jac.assign(2 * r.size(), 0.0);
        for (int q = 0; q < 2; ++q) {
            std::array<double, 2> bh = b;
            const double h = 1e-4 * std::max(s.h_floor, std::abs(b[q]));
            bh[q] += h;
            residuals(bh, rp);
            for (std::size_t k = 0; k < r.size() && k < rp.size(); ++k) jac[q * r.size() + k] = (rp[k] - r[k]) / h;
        }
    };
    double ssr = residuals(b, r);
    double lambda = 1e-3;
    for (int it = 0; it < 200 && ssr < 1e299; ++it) {
        jacobian();
        double a00 = 0, a01 = 0, a11 = 0, g0 = 0, g1 = 0;
        const std::size_t n = r.size();
        for (std::size_t k = 0; k < n; ++k) {
            a00 += jac[k] * jac[k];
            a01 += jac[k] * jac[n + k];
            a11 += jac[n + k] * jac[n + k];
            g0 += jac[k] * r[k];
            g1 += jac[n + k] * r[k];
        }
        bool improved = false, done = false;
        for (int tries = 0; tries < s.tries && !improved; ++tries) {
            const double m00 = a00 * (1 + lambda) + s.damping, m11 = a11 * (1 + lambda) + s.damping;
            const double det = m00 * m11 - a01 * a01;
            if (!(std::abs(det) > 0.0)) {
                lambda *= 10;
                continue;
            }
            std::array<double, 2> nb{b[0] - (m11 * g0 - a01 * g1) / det, b[1] - (m00 * g1 - a01 * g0) / det};
            for (double& v : nb) v = std::clamp(v, -s.bound, s.bound);
            const double nssr = residuals(nb, rp);
            if (nssr < ssr) {
                const double step = std::abs(nb[0] - b[0]) + std::abs(nb[1] - b[1]);
                done = step < s.step_tol * (1.0 + s.step_rel * (std::abs(b[0]) + std::abs(b[1]))) ||
                       ssr - nssr < s.ssr_tol * ssr;
                b = nb;
                r = rp;
                ssr = nssr;
                lambda = std::max(lambda / 3, s.min_lambda);
                improved = true;
            } else {
                lambda *= 4;
            }
        }
        if (!improved || done) break;
    }
    if (ssr < 1e299) jacobian();
    return ssr;
}

}  // namespace propcore
