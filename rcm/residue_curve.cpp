#include "rcm/residue_curve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "engine/run_log.h"
#include "numerics/lsoda.h"
#include "rcm/residue_equations.h"

namespace ternival {
namespace {

constexpr std::string_view kRoutine = "residue_curve";
constexpr std::size_t kMax = 10;

// Thresholds on squared moves between stored points.
constexpr double kMaxMove2 = 0.05 * 0.05;
constexpr double kShrinkTarget2 = static_cast<double>(0.8f) * 0.05 * 0.05;
constexpr double kGrowBelow2 = 0.015 * 0.015;
constexpr double kGrowTarget2 = 1.25 * kGrowBelow2;
constexpr double kSettled2 = 5e-5 * 5e-5;
constexpr double kAtSingular2 =
    static_cast<double>(0.0005f) * static_cast<double>(0.0005f);
constexpr double kLowClip = -1e-7;
constexpr double kHighClip = 1.0000001;

double distance2(std::span<const double> a, std::span<const double> b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

// LSODA as the curve driver uses it: scalar tolerances 1e-5, the
// residue-curve equations with their full Jacobian, default step limit.
// The integrator's state holds the N-1 independent fractions; the
// equations take the whole N-element array, so each call gets a copy with
// room for the dependent fraction.
Lsoda MakeResidueCurveIntegrator(std::int64_t neq) {
    LsodaOptions o;
    o.itol = 1;
    o.rtol = 1e-5;
    o.atol = 1e-5;
    o.jt = 1;
    o.mxstep = 500;
    auto f = [](std::int64_t m, double t, std::span<double> y, std::span<double> ydot) {
        std::array<double, kMax> full{};
        std::copy_n(y.begin(), m, full.begin());
        RCM_FUN(m, t, std::span(full).first(static_cast<std::size_t>(m) + 1), ydot);
    };
    auto jac = [](std::int64_t m, double t, std::span<double> y, std::int64_t ml, std::int64_t mu,
                  std::span<double> pd, std::int64_t nrowpd) {
        std::array<double, kMax> full{};
        std::copy_n(y.begin(), m, full.begin());
        RCM_JAC(m, t, std::span(full).first(static_cast<std::size_t>(m) + 1), ml, mu, pd, nrowpd);
    };
    return Lsoda(neq, f, jac, o);
}

struct BranchSettings {
    std::size_t n;
    std::int64_t end_test;
    std::int64_t naz;
    std::span<const double> singular_x;
    std::span<const std::int64_t> singular_code;
    double h0, hmin, hmax;
};

// Integrates one branch in the direction `sign`, storing at most `budget`
// points (column-major, n per point) in `out`.  Returns the number stored.
std::size_t runBranch(const BranchSettings& s, Lsoda& solver, std::span<const double> x0,
                      double sign, std::size_t budget, std::span<double> out,
                      std::int64_t& error) {
    const std::size_t n = s.n;
    std::array<double, kMax> y{}, prev{};
    std::copy_n(x0.begin(), n, y.begin());
    auto point = [&](std::size_t k) { return out.subspan((k - 1) * n, n); };
    if (budget >= 1) std::copy_n(x0.begin(), n, point(1).begin());
    double xi = 0.0, h = s.h0;
    int istate = 1;
    std::size_t k = 1;
    const std::int64_t node_code = sign > 0 ? 1 : 3;

    while (true) {
        if (k >= budget) {
            LogRunMessage(501, kRoutine);
            error = 2;
            return std::min(k, budget);
        }
        prev = y;
        ++k;
        solver.integrate(std::span(y).first(n - 1), xi, xi + sign * h, istate);
        if (istate == -1) {
            istate = 2;
        } else if (istate < 0) {
            LogRunMessage(sign > 0 ? 503 : 504, kRoutine);
            error = 1;
            return k - 1;
        }
        // Tidy the state back onto the simplex; clipping restarts the
        // integration from the tidied state.
        double last = 1.0;
        for (std::size_t i = 0; i + 1 < n; ++i) last -= y[i];
        y[n - 1] = last;
        bool clipped = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (y[i] < kLowClip) {
                y[i] = 0.0;
                clipped = true;
            } else if (y[i] > kHighClip) {
                y[i] = 1.0;
                clipped = true;
            }
        }
        if (clipped) {
            istate = 1;
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sum += y[i];
            for (std::size_t i = 0; i < n; ++i) y[i] /= sum;
        }
        const double d2 = distance2(std::span(y).first(n), std::span(prev).first(n));
        if (h > s.hmin && d2 > kMaxMove2) {
            y = prev;
            --k;
            istate = 1;
            h = std::max(s.hmin, kShrinkTarget2 * h / d2);
            continue;
        }
        if (h <= s.hmin) h = s.hmin;
        if (h < s.hmax) {
            if (d2 < kGrowBelow2) h = d2 == 0.0 ? s.hmax : std::min(s.hmax, kGrowTarget2 * h / d2);
        } else {
            h = s.hmax;
        }
        std::copy_n(y.begin(), n, point(k).begin());
        if (k == 2) continue;

        const double da2 = distance2(point(k), point(k - 1));
        const double db2 = distance2(point(k - 1), point(k - 2));
        if (!(da2 <= kSettled2 && db2 > da2)) continue;
        if (s.end_test == 2) return k;
        const auto columns = static_cast<std::size_t>(static_cast<std::int64_t>(n) + s.naz);
        for (std::size_t j = 0; j < columns; ++j) {
            if (s.end_test == 1 && s.singular_code[j] != node_code) continue;
            if (distance2(std::span(y).first(n), s.singular_x.subspan(j * n, n)) <= kAtSingular2)
                return k;
        }
    }
}

}  // namespace

void residue_curve(std::int64_t n, std::span<const double> x0, std::int64_t mode,
                   std::int64_t end_test, std::int64_t naz, std::span<const double> singular_x,
                   std::span<const std::int64_t> singular_code, double pressure,
                   std::span<const std::int64_t> ids, std::string_view method, int phase,
                   double h0, std::int64_t& point_count, std::int64_t& direction,
                   std::span<double> points, std::int64_t& error) {
    const auto cols_needed = static_cast<std::size_t>(std::max<std::int64_t>(0, n + naz));
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(0, n));
    // Inputs that would read or write past the caller's arrays are refused
    // as a work-storage failure before anything is touched.
    if (n < 2 || count > kMax || x0.size() < count || ids.size() < count || point_count < 1 ||
        points.size() < count * static_cast<std::size_t>(point_count) ||
        (end_test != 2 && (naz < 0 || singular_x.size() < count * cols_needed ||
                           singular_code.size() < cols_needed))) {
        LogRunMessage(505, kRoutine);
        error = -2;
        return;
    }

    RcmContext& ctx = RCM_CONTEXT();
    ctx.pressure = pressure;
    ctx.phase = phase;
    ctx.method.assign(method.substr(0, std::min<std::size_t>(method.size(), 9)));
    std::copy_n(ids.begin(), count, ctx.ids.begin());
    ctx.n = n;

    const std::int64_t neq = n - 1;
    Lsoda solver = MakeResidueCurveIntegrator(neq);

    error = 0;
    const auto budget = static_cast<std::size_t>(point_count);
    const BranchSettings s{count, end_test, naz, singular_x, singular_code, h0, h0 / 5.0, 5.0 * h0};
    std::vector<double> forward(count * budget), backward(count * budget);
    std::size_t nf = 0, nb = 0;
    if (mode != kBackwardOnly) nf = runBranch(s, solver, x0, +1.0, budget, forward, error);
    if (mode != kForwardOnly) {
        const std::size_t back_budget = mode == kBackwardOnly ? budget : budget - nf;
        nb = runBranch(s, solver, x0, -1.0, back_budget, backward, error);
    }

    auto column = [count](std::span<double> m, std::size_t k) { return m.subspan(k * count, count); };
    if (mode == kForwardOnly) {
        std::copy_n(forward.begin(), nf * count, points.begin());
        point_count = static_cast<std::int64_t>(nf);
        direction = kForwardSense;
    } else if (mode == kBackwardOnly) {
        std::copy_n(backward.begin(), nb * count, points.begin());
        point_count = static_cast<std::int64_t>(nb);
        direction = kBackwardSense;
    } else {
        // Lowest-boiling end first, x0 once, then the forward branch.
        if (nb == 0) {  // budget of 0 for the backward branch still keeps x0
            std::copy_n(x0.begin(), count, backward.begin());
            nb = 1;
        }
        std::size_t out = 0;
        for (std::size_t k = nb; k-- > 0;)
            std::ranges::copy(column(backward, k), column(points, out++).begin());
        for (std::size_t k = 1; k < nf; ++k)
            std::ranges::copy(column(forward, k), column(points, out++).begin());
        point_count = static_cast<std::int64_t>(out);
        direction = kForwardSense;
    }
}

}  // namespace ternival
