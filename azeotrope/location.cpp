// Location of the azeotrope of one sub-mixture: a safeguarded secant on
// K1 - K2 for two components, the trust-region solver FUNEQ1 on
// F_i = 1 - K_i for three to twenty.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "azeotrope/search.h"
#include "numerics/funeq.h"
#include "search_internal.h"

namespace ternival {
namespace {

using azeo::Bubble;
using azeo::BubblePoint;
using azeo::Fractions;
using azeo::Line;
using azeo::Out;

constexpr std::size_t kMax = static_cast<std::size_t>(kAzeoMaxComponents);
constexpr std::size_t kLd = static_cast<std::size_t>(kAzeoKLeading);

// Residual tolerance of the secant: |K1 - K2| below it is converged.
constexpr double kSecantTolerance = 0.0002;
constexpr int kSecantMaxIterations = 25;
// Up to this iteration a step that would leave [0, 1] is cut to 90 % of the
// distance to the bound.
constexpr int kSecantGuardedIterations = 8;
constexpr double kSecantMaxStep = 0.15;

// Below this returned liquid fraction a component is considered driven out
// of the mixture unless its K-value is near 1.
constexpr double kTraceFraction = 1e-9;
constexpr double kTinyFraction = 1e-30;

// Largest |y_i - x_i| of a homogeneous azeotrope once polished.
constexpr double kPolishResidual = 1e-10;

// Sum of squared differences of the two liquids above which an azeotrope
// counts as heterogeneous.
constexpr double kHeterogeneityThreshold = 0.01;

// Solver arrays: at most 10 unknowns (LDB), work of 3 * 20.
constexpr std::int64_t kSolverLdb = 10;

// Blank component name field of the diagnostic lines.
constexpr const char* kBlankName = "        ";

// Heterogeneity test: one more flash at the azeotrope; D = sum over the
// first n - 1 components of (x1_i - x2_i)^2.
bool heterogeneityTest(std::int64_t n, std::int64_t phase, double pressure,
                       std::string_view method, std::span<const std::int64_t> ids,
                       std::span<const double> x, double& temperature) {
    const Bubble b = BubblePoint(phase, method, n, ids, x, pressure);
    temperature = b.t;
    double d = 0.0;
    for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(n); ++i) {
        const double diff = b.x1[i] - b.x2[i];
        d += diff * diff;
    }
    return d > kHeterogeneityThreshold;
}

// Two-component method.  Returns true when located; x then holds the
// azeotrope and k its K-values.
bool secantMethod(std::int64_t& error, std::int64_t print_level, std::int64_t phase,
                  double pressure, double& temperature, std::span<const std::int64_t> ids,
                  std::span<double> x, std::string_view method, std::array<double, 2>& k) {
    constexpr std::int64_t n = 2;
    // Near pure component 1; the values are the single-precision ones.
    const std::array<double, 2> near_pure{static_cast<double>(0.9999f),
                                          static_cast<double>(0.0001f)};
    Bubble b = BubblePoint(phase, method, n, ids, near_pure, pressure);
    temperature = b.t;
    if (b.x[0] <= 0.0) {
        Line(" SEVERE ERROR: COMPONENT MOLE FRACTION MISSING IN AZEOTROPE CALCULATION");
        error = 1;
        return false;
    }
    const double s0 = b.y[0] / b.x[0] - 1.0;

    std::array<double, 2> z{};
    Normalize(1.0, n, x.first(2), z);
    b = BubblePoint(phase, method, n, ids, z, pressure);
    temperature = b.t;
    if (b.x[0] == 0.0 || b.x[1] == 0.0) {
        Line(" SEVERE ERROR: COMPONENT MOLE FRACTION MISSING IN AZEOTROPE CALCULATION");
        error = 1;
        return false;
    }
    double f0 = b.y[0] / b.x[0] - b.y[1] / b.x[1];
    double xt_prev = z[0];
    double xt = xt_prev >= 0.99 ? xt_prev - 0.01 : xt_prev + 0.01;

    for (int iteration = 1;; ++iteration) {
        if (iteration > kSecantMaxIterations) {
            Line(" QZNCAZ terminated due to nonconvergence");
            return false;
        }
        const std::array<double, 2> trial{xt, 1.0 - xt};
        Normalize(1.0, n, trial, z);
        b = BubblePoint(phase, method, n, ids, z, pressure);
        temperature = b.t;
        if (b.x[0] == 0.0 || b.x[1] == 0.0) {
            Line(" SEVERE ERROR: COMPONENT MOLE FRACTIONMISSING IN AZEOTROPE SEARCH");
            error = 1;
            return false;
        }
        const double k1 = b.y[0] / b.x[0], k2 = b.y[1] / b.x[1];
        const double fx = k1 - k2;
        if (print_level >= 5) {
            Line(" At XT %14.6E FX is %14.6E", xt, fx);
            Line(" Kvalues %14.6E%14.6E", k1, k2);
        }
        if (std::fabs(fx) < kSecantTolerance) {
            k = {k1, k2};
            x[0] = xt;
            x[1] = 1.0 - xt;
            return true;
        }
        // The secant gives the length of the step, the side of the
        // azeotrope (K1 against its value near pure 1) its direction.
        double dx = xt - xt_prev;
        if (dx == 0.0) dx = 1e-30;
        const double slope = (fx - f0) / dx;
        double step = slope == 0.0 ? kSecantMaxStep : std::fabs(fx / slope);
        if (!std::isfinite(step)) step = kSecantMaxStep;
        if (s0 * (k1 - 1.0) > 0.0) step = -step;
        if (print_level >= 5)
            Line(" FX, F0, XT, SLOPE, XSTEP :%14.6E%14.6E%14.6E%14.6E%14.6E", fx, f0, xt, slope,
                 step);
        step = std::clamp(step, -kSecantMaxStep, kSecantMaxStep);
        if (iteration < kSecantGuardedIterations) {
            if (step > 0.0 && xt + step >= 1.0)
                step = static_cast<double>(0.9f) * (1.0 - xt);
            else if (step < 0.0 && xt + step <= 0.0)
                step = -0.9 * xt;
        }
        const double xt_new = xt + step;
        if (print_level >= 5) Line(" Actual XSTEP and new XT:%14.6E%14.6E", step, xt_new);
        if (xt_new < 0.0 || 1.0 - xt_new < 0.0) return false;
        f0 = fx;
        xt_prev = xt;
        xt = xt_new;
    }
}

// Multicomponent method (3 <= n <= 20).  Returns true when located; x then
// holds the azeotrope in the caller's order and k its K-values.
bool newtonMethod(std::int64_t print_level, std::int64_t n, std::int64_t phase, double pressure,
                  double& temperature, std::span<const std::int64_t> ids,
                  std::span<const double> kinf, std::span<double> x, std::string_view method,
                  Fractions& k) {
    const auto count = static_cast<std::size_t>(n);

    // Non-ideality of each component: the largest deviation from 1 (as a
    // ratio) of the K-values of the others infinitely dilute in it.
    std::array<double, kMax> kmax{};
    double previous = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        double largest = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            const double kv = kinf[j + i * kLd];
            double g = previous;
            if (kv >= 1.0)
                g = kv;
            else if (kv > 0.0)
                g = 1.0 / kv;
            else
                Line(" Error in inf dil Kvals in QZNCAZ");
            previous = g;
            largest = std::max(largest, g);
        }
        kmax[i] = largest;
    }
    std::array<std::size_t, kMax> order{};
    std::iota(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), std::size_t{0});
    std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count),
                     [&](std::size_t a, std::size_t b) { return kmax[a] < kmax[b]; });

    std::array<std::int64_t, kMax> oid{};
    std::array<double, 20> ox{}, f{}, step{}, diagx{}, diagf{};
    for (std::size_t p = 0; p < count; ++p) {
        oid[p] = ids[order[p]];
        ox[p] = x[order[p]];
        if (print_level >= 4) Line(" Component%3zu is %s", p + 1, kBlankName);
    }
    const std::span<const std::int64_t> ordered_ids = std::span(oid).first(count);

    // Solver options: caller's variable scales (all 1), automatic residual
    // scales, dogleg steps, solver print level 3 on unit 0, 70 iterations,
    // 10 Jacobians, non-negative variables, no reuse, forward differences.
    std::array<std::int64_t, kFuneqIoptSize> iopt{1, 2, 2, 3, 0, 70, 10, 1, 0, 2};
    std::array<double, kFuneqRoptSize> ropt{0.001, 1e-08, 1e-06, 0.2, 0.1, 0.05, 0.05};
    std::fill(diagx.begin(), diagx.end(), 1.0);
    std::array<double, 10 * 20> b{};
    std::array<double, 60> w{};
    std::array<std::int64_t, 20> ipvt{};

    Fractions kv{};
    std::int64_t iflag = 0;
    for (;;) {
        const std::span<double> xs = std::span(ox).first(count);
        Normalize(1.0, n, xs, xs);
        const Bubble bub = BubblePoint(phase, method, n, ordered_ids, xs, pressure);
        temperature = bub.t;
        for (std::size_t i = 0; i < count; ++i) {
            const double xi = bub.x[i];
            if (xi >= kTraceFraction) {
                kv[i] = bub.y[i] / xi;
                if (print_level >= 4)
                    Line(" Y,X,X1,X2 of%3zu is %14.6E%14.6E%14.6E%14.6E", i + 1, bub.y[i], xi,
                         bub.x1[i], bub.x2[i]);
            } else {
                if (xi > kTinyFraction) kv[i] = bub.y[i] / xi;
                if (kv[i] < 0.98 || kv[i] > 1.02) {
                    if (print_level >= 3)
                        Line(" SEARCH TERMINATED BECAUSE A MOLE     FRACTION WAS DRIVEN TO ZERO");
                    return false;
                }
            }
        }
        if (print_level >= 4)
            for (std::size_t i = 0; i < count; ++i)
                Line(" New X, K of %s is %14.6E%14.6E", kBlankName, xs[i], kv[i]);
        for (std::size_t i = 0; i < count; ++i) f[i] = 1.0 - kv[i];
        FUNEQ1(iflag, n, ox, f, step, diagx, diagf, b, kSolverLdb, w, ipvt, iopt, ropt);
        if (print_level >= 4) Line(" IFLAG is%5lld", static_cast<long long>(iflag));
        if (iflag >= 0) break;
    }
    if (iflag != 1 && iflag != 2) return false;
    for (std::size_t p = 0; p < count; ++p) {
        for (std::size_t c = 0; c < count; ++c) {
            if (ids[c] == oid[p]) {
                x[c] = ox[p];
                k[c] = kv[p];
                break;
            }
        }
    }
    return true;
}

// A heteroazeotrope is a fixed point of the boiling-point map x -> y: the
// vapour over two liquids does not change along their tie line, so on a
// binary edge the map lands on the azeotrope at once, and inside the
// triangle it converges to one that attracts it.  The solver's tolerance
// leaves the azeotrope a few 1e-5 away, too far for a distillation line
// that reaches it to recognise it; the map's steps are taken while they
// bring the vapour closer to the liquid.
void polishHeteroazeotrope(std::int64_t n, std::int64_t phase, double pressure, std::string_view method,
                           std::span<const std::int64_t> ids, std::span<double> x, double& temperature) {
    const auto count = static_cast<std::size_t>(n);
    auto gap2 = [&](const Bubble& b, std::span<const double> at) {
        double d = 0.0;
        for (std::size_t i = 0; i < count; ++i) d += (b.y[i] - at[i]) * (b.y[i] - at[i]);
        return d;
    };
    Fractions at{};
    std::copy_n(x.begin(), count, at.begin());
    Bubble b = BubblePoint(phase, method, n, ids, std::span(at).first(count), pressure);
    if (b.error != 0) return;
    double gap = gap2(b, std::span(at).first(count));
    for (int it = 0; it < 50 && gap > 1e-24; ++it) {
        Fractions next{};
        std::copy_n(b.y.begin(), count, next.begin());
        const Bubble nb = BubblePoint(phase, method, n, ids, std::span(next).first(count), pressure);
        if (nb.error != 0) return;
        const double next_gap = gap2(nb, std::span(next).first(count));
        if (!(next_gap < gap)) return;
        at = next;
        b = nb;
        gap = next_gap;
        std::copy_n(at.begin(), count, x.begin());
        temperature = b.t;
    }
}

}  // namespace

void Normalize(double scale, std::int64_t n, std::span<const double> x, std::span<double> y) {
    if (n <= 0) return;
    const auto count = std::min({static_cast<std::size_t>(n), x.size(), y.size()});
    if (scale < 0.0001) {
        Line(" WARNING - NORMALIZATION ROUTINE CALLED FOR VERY");
        Line(" SMALL VALUES -> RESULTS MAY BE ERRONEOUS");
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += x[i];
    if (sum == 0.0 || !std::isfinite(sum)) {
        if (x.data() != y.data()) std::copy_n(x.begin(), count, y.begin());
        return;
    }
    const double factor = scale / sum;
    for (std::size_t i = 0; i < count; ++i) y[i] = factor * x[i];
}

void QZNCAZ(std::int64_t& error, std::int64_t print_level, std::int64_t n, std::int64_t phase,
            double pressure, bool& found, double& temperature, bool& heterogeneous,
            bool estimate_given, std::span<const std::int64_t> ids,
            std::span<const double> kinf, std::span<double> x, std::string_view method) {
    found = false;
    heterogeneous = false;
    if (print_level >= 4) {
        Line(" SEARCHING AZEOTROPE AT %14.6E N/M2 FOR:", pressure);
        Line("  COMP ID   COMP NAME");
        for (std::size_t i = 0; i < std::min<std::size_t>(ids.size(), kMax) &&
                                static_cast<std::int64_t>(i) < n;
             ++i)
            Line(" %8lld   %s", static_cast<long long>(ids[i]), kBlankName);
        Line(" Using %3lld phase flash", static_cast<long long>(phase));
    }
    if (n < 2) {
        if (print_level >= 2)
            Line(" Search for azeotrope impossible because less than two components given!");
        error = 1;
        return;
    }
    if (n > kAzeoMaxComponents) {
        if (print_level >= 2)
            Line(" Search for azeotrope impossible because only twenty components allowed!");
        error = 1;
        return;
    }
    const auto count = static_cast<std::size_t>(n);
    // Arrays too short for n would be read or written out of bounds.
    if (ids.size() < count || x.size() < count || kinf.size() < kLd * (count - 1) + count) {
        error = 1;
        return;
    }
    if (!estimate_given) std::fill_n(x.begin(), count, 1.0 / static_cast<double>(n));

    Fractions k{};
    if (n == 2) {
        std::array<double, 2> k2{};
        found = secantMethod(error, print_level, phase, pressure, temperature, ids, x, method, k2);
        k[0] = k2[0];
        k[1] = k2[1];
    } else {
        found = newtonMethod(print_level, n, phase, pressure, temperature, ids, kinf, x, method, k);
    }
    if (!found) return;
    if (phase == 3)
        heterogeneous = heterogeneityTest(n, phase, pressure, method, ids, x, temperature);
    if (heterogeneous) {
        polishHeteroazeotrope(n, phase, pressure, method, ids, x, temperature);
    } else {
        // The location stops at |K1 - K2| < 2e-4 (or the solver's own
        // tolerance): Newton on y - x takes the azeotrope to its last
        // digits.  A point Newton cannot improve stays as located.
        Bubble at;
        if (azeo::NewtonOnYMinusX(ids.first(count), x.first(count), pressure, phase, method, kPolishResidual, at)) {
            temperature = at.t;
            for (std::size_t i = 0; i < count; ++i) k[i] = x[i] > 0.0 ? at.y[i] / x[i] : k[i];
        }
    }
    if (print_level >= 4) {
        Line(" At termination:");
        for (std::size_t i = 0; i < count; ++i)
            Line(" ICOMP,X,K%5zu%14.6E%14.6E", i + 1, x[i], k[i]);
    }
}

}  // namespace ternival
