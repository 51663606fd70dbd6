// Newton's method on y - x at the bubble point: the last digits of an
// azeotrope, wherever its estimate comes from.
#include <algorithm>
#include <cmath>
#include <vector>

#include "numerics/funeq.h"
#include "search_internal.h"

namespace ternival::azeo {

bool NewtonOnYMinusX(std::span<const std::int64_t> ids, std::span<double> z, double pressure, std::int64_t phase,
                     std::string_view method, double target, Bubble& at, bool leave_faces) {
    const std::size_t k = z.size();
    if (k < 2 || k > static_cast<std::size_t>(kAzeoMaxComponents) || ids.size() < k) return false;
    const std::size_t u = k - 1;
    const auto sk = static_cast<std::int64_t>(k);
    auto eval = [&](std::span<const double> w, Bubble& b) {
        b = BubblePoint(phase, method, sk, ids.first(k), w, pressure);
        return b.error == 0;
    };
    // The first k - 1 gaps: with every fraction and y summing to 1 the last
    // follows.
    auto residual = [&](std::span<const double> w, const Bubble& b) {
        double r = 0.0;
        for (std::size_t c = 0; c < u; ++c) r = std::max(r, std::abs(b.y[c] - w[c]));
        return r;
    };
    if (!eval(z, at)) return false;
    const auto su = static_cast<std::int64_t>(u);
    // jac[r * u + c] = d gap_r / d z_c, the layout the LU routines take.
    std::vector<double> jac(u * u), rhs(u), w(k), zz(z.begin(), z.end());
    std::vector<std::int64_t> ipvt(u);
    for (int it = 0; it < 40; ++it) {
        const double res = residual(zz, at);
        if (res < target) {
            std::copy(zz.begin(), zz.end(), z.begin());
            return true;
        }
        if (leave_faces)
            for (std::size_t c = 0; c < k; ++c)
                if (zz[c] < 1e-3 && std::abs(at.y[c] - zz[c]) > 0.05 * zz[c]) return false;
        // Jacobian of the first k - 1 gaps in the first k - 1 fractions (the
        // last one takes up the difference), by forward differences.
        for (std::size_t c = 0; c < u; ++c) {
            w = zz;
            const double h = 1e-7 * std::max(1.0, std::abs(zz[c]));
            w[c] += h;
            w[k - 1] -= h;
            Bubble bh;
            if (!eval(w, bh)) return false;
            for (std::size_t r = 0; r < u; ++r) jac[r * u + c] = ((bh.y[r] - w[r]) - (at.y[r] - zz[r])) / h;
        }
        for (std::size_t r = 0; r < u; ++r) rhs[r] = -(at.y[r] - zz[r]);
        funeq::FactorLU(su, jac, su, ipvt, 1e-300, 0.0);
        if (ipvt[u - 1] == 0) return false;
        funeq::Interchange(funeq::PivotDirection::Forward, su, ipvt, rhs);
        funeq::SolveLU(su, jac, su, rhs);
        double last = 0.0;
        for (double d : rhs) last -= d;
        // The linear model puts the root past a face whose component has
        // its K-value clearly off 1: the iterates would only creep there.
        if (leave_faces)
            for (std::size_t c = 0; c < k; ++c) {
                const double step = c < u ? rhs[c] : last;
                if (zz[c] + step <= 0.0 && std::abs(at.y[c] - zz[c]) > 0.05 * zz[c]) return false;
            }
        // Damped so that every fraction moves by at most 0.2 and stays
        // positive; halved while the residual does not fall.
        double lam = 1.0;
        for (double d : rhs)
            if (std::abs(d) > 0.2) lam = std::min(lam, 0.2 / std::abs(d));
        if (std::abs(last) > 0.2) lam = std::min(lam, 0.2 / std::abs(last));
        bool better = false;
        for (int back = 0; back < 20; ++back, lam *= 0.5) {
            double rest = 1.0, smallest = 1.0;
            for (std::size_t c = 0; c < u; ++c) {
                w[c] = zz[c] + lam * rhs[c];
                rest -= w[c];
                smallest = std::min(smallest, w[c]);
            }
            w[k - 1] = rest;
            if (std::min(smallest, rest) <= 1e-9) continue;
            Bubble bw;
            if (!eval(w, bw)) continue;
            if (residual(w, bw) < res) {
                zz = w;
                at = bw;
                better = true;
                break;
            }
        }
        if (!better) break;
    }
    if (residual(zz, at) >= target) return false;
    std::copy(zz.begin(), zz.end(), z.begin());
    return true;
}

}  // namespace ternival::azeo
